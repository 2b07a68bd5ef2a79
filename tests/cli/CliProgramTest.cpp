// The program zelmora-cli itself: what only a process shows (its signals,
// its standard output closed by the reader) and the README's first example
// read by Python's csv module.

#include "CliTestSupport.h"
#include "util/TextFormat.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zelmora {
namespace {

using namespace std::chrono_literals;

std::size_t CsvRecordCount(const std::string& path) {
    std::size_t records = 0;
    for (const std::string& line : Lines(ReadFile(path))) {
        records += line.starts_with("20") ? 1 : 0;
    }
    return records;
}

TEST(CliProgramTest, SigintAndSigtermEndTheRunInOrder) {
    const TempFolder folder;
    for (const int signal : {SIGINT, SIGTERM}) {
        const std::string out = folder / Format("run%d.csv", signal);
        const std::string err = folder / "err";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(errFd, 2);
            ::execl(ZELMORA_CLI_PROGRAM, "zelmora-cli", "log", "--simulate=2", "-o", out.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 1000 && CsvRecordCount(out) < 6; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal itself";
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::string message = ReadFile(err);
        EXPECT_TRUE(message.starts_with(
            Format("zelmora-cli: stopped: %zu records from 2 meters", CsvRecordCount(out))))
            << message;
        EXPECT_EQ(Lines(message).size(), 1u) << message;
        EXPECT_GE(CsvRecordCount(out), 6u);
    }
}

TEST(CliProgramTest, AReaderThatGoesAwayEndsTheRunQuietly) {
    const TempFolder folder;
    const std::string command =
        "bash -c '" ZELMORA_CLI_PROGRAM " log --simulate=1 -o - 2>" + (folder / "err") +
        " | head -n 12 >/dev/null; echo ${PIPESTATUS[0]} >" + (folder / "status") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(folder / "status"), "0\n");
    EXPECT_EQ(ReadFile(folder / "err"), "");
}

// The README's example, exactly: Python's csv module reads it without help.
TEST(CliProgramTest, TheFirstExampleIsACsvThatPythonReads) {
    const TempFolder folder;
    const std::string command = ZELMORA_CLI_PROGRAM " log --simulate=2 --count 20 -o - > " +
                                (folder / "example.csv") + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(CheckedByPython("csv", folder / "example.csv", 2, 20))
        << ReadFile(folder / "example.csv");
}

} // namespace
} // namespace zelmora
