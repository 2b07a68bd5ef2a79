#include "usb/driver/MatchList.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace zelmora {
namespace {

TEST(MatchListTest, ParsesIdsStrictly) {
    EXPECT_EQ(MatchList::ParseId("046d:C52b"), (UsbId{0x046d, 0xc52b}));
    EXPECT_EQ(MatchList::ParseId("  1234:5678\t"), (UsbId{0x1234, 0x5678}));
    for (const char* bad : {"", "1234", "1234:567", "12345:6789", "0x12:5678", "12g4:5678",
                            "1234:5678:9", "1234 :5678", "-123:5678"}) {
        EXPECT_FALSE(MatchList::ParseId(bad)) << bad;
    }
    EXPECT_EQ(MatchList::FormatId({0x00AB, 0xCDEF}), "00ab:cdef");
}

TEST(MatchListTest, ReadsFileTextWithCommentsAndReportsBadLines) {
    std::vector<std::string> problems;
    const auto ids = MatchList::Parse("# meters of the lab\n"
                                      "\n"
                                      "1234:5678   # bench 1\r\n"
                                      "  ABCD:0001\n"
                                      "1234:5678\n"
                                      "meter\n"
                                      "  # 9999:9999\n"
                                      "0001:0002",
                                      "meters.conf", &problems);
    EXPECT_EQ(ids, (std::vector<UsbId>{{0x1234, 0x5678}, {0xabcd, 0x0001}, {0x0001, 0x0002}}));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "meters.conf:6: not a vendor:product id (vvvv:pppp): meter");
    EXPECT_TRUE(MatchList::Parse("", "x", nullptr).empty());
}

TEST(MatchListTest, BuildsFromFilesThenOptionsEachIdOnce) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("zelmora-match-" +
                      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    const std::string system = (dir / "system.conf").string();
    const std::string user = (dir / "user.conf").string();
    std::ofstream(system) << "1111:2222\n3333:4444\n";
    std::ofstream(user) << "3333:4444\n5555:6666\nnonsense\n";

    std::vector<std::string> problems;
    const auto ids = MatchList::Build({system, (dir / "missing.conf").string(), user},
                                      {"7777:8888", "1111:2222", "zz"}, &problems);
    EXPECT_EQ(ids, (std::vector<UsbId>{
                       {0x1111, 0x2222}, {0x3333, 0x4444}, {0x5555, 0x6666}, {0x7777, 0x8888}}));
    // A missing file is normal; the bad line and the bad option are not.
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0], user + ":3: not a vendor:product id (vvvv:pppp): nonsense");
    EXPECT_EQ(problems[1], "--usb-id zz: not a vendor:product id (vvvv:pppp)");
    std::filesystem::remove_all(dir);
}

#ifndef _WIN32
// Whatever stands in a match list's place, start-up goes on at once with
// one line about it; nothing but a regular file of sane size is read.
TEST(MatchListTest, OnlyRegularFilesAreReadAndAnythingElseIsToldInOneLine) {
    namespace fs = std::filesystem;
    const auto dir = fs::temp_directory_path() /
                     ("zelmora-match-odd-" +
                      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir / "folder.conf");
    const std::string fifo = (dir / "fifo.conf").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.conf");
    const std::string large = (dir / "large.conf").string();
    {
        std::ofstream file(large, std::ios::binary);
        file << "1111:2222\n" << std::string(2 << 20, '#') << "\n";
    }
    const std::string good = (dir / "good.conf").string();
    std::ofstream(good) << "3333:4444\n";

    std::vector<std::string> problems;
    const auto ids = MatchList::Build(
        {(dir / "folder.conf").string(), fifo, (dir / "zero.conf").string(), large, good}, {},
        &problems);
    EXPECT_EQ(ids, (std::vector<UsbId>{{0x3333, 0x4444}}));
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[0], (dir / "folder.conf").string() + ": is a folder, not a file");
    EXPECT_EQ(problems[1], fifo + ": is not a regular file");
    EXPECT_EQ(problems[2], (dir / "zero.conf").string() + ": is not a regular file");
    EXPECT_EQ(problems[3], large + ": is larger than 1024 KiB, which no match list is");
    fs::remove_all(dir);
}

TEST(MatchListTest, EchoedLinesAreShortAndPrintable) {
    std::vector<std::string> problems;
    MatchList::Parse("\x1b]0;owned\x07\x1b[2J\n" + std::string(10 << 20, 'x') + "\n", "m.conf",
                     &problems);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0],
              "m.conf:1: not a vendor:product id (vvvv:pppp): \\x1b]0;owned\\x07\\x1b[2J");
    EXPECT_EQ(problems[1],
              "m.conf:2: not a vendor:product id (vvvv:pppp): " + std::string(80, 'x') + "...");
    problems.clear();
    MatchList::Build({}, {"\x1b[31mred"}, &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "--usb-id \\x1b[31mred: not a vendor:product id (vvvv:pppp)");
}

TEST(MatchListTest, UserFileFollowsXdgConfigHome) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(MatchList::DefaultFiles("/etc"),
              (std::vector<std::string>{"/etc/zelmora/meters.conf", "/cfg/zelmora/meters.conf"}));
    ::setenv("XDG_CONFIG_HOME", "", 1);
    ::setenv("HOME", "/home/op", 1);
    EXPECT_EQ(MatchList::DefaultFiles("/etc").back(), "/home/op/.config/zelmora/meters.conf");
    if (saved) {
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}
#endif

} // namespace
} // namespace zelmora
