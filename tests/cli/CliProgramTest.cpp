// The program zelmora-cli itself: what only a process shows (its signals,
// its standard output closed by the reader) and the README's first example
// read by Python's csv module.

#include "CliTestSupport.h"
#include "support/ChildProcess.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Runs zelmora-cli with these arguments; standard error to `err`.
pid_t StartProgram(const std::vector<std::string>& arguments, const std::string& err) {
    return test::Spawn(ZELMORA_CLI_PROGRAM, arguments, err);
}

// A stop while fifteen meters start, one after the other, ends the run at
// once: the meters not started yet stay unstarted, those started are
// stopped, and only what they took is written.
TEST(CliProgramTest, ASignalDuringStartUpStopsAtOnce) {
    const TempFolder folder;
    const std::string out = folder / "startup.csv";
    const std::string err = folder / "err";
    const pid_t child = StartProgram({"log", "--simulate=15", "-o", out}, err);
    ASSERT_GT(child, 0);
    // The output is opened just before the first meter starts.
    for (int i = 0; i < 2000 && ::access(out.c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    ::kill(child, SIGTERM);
    EXPECT_EQ(test::Wait(child), 0);

    const std::string text = ReadFile(out);
    const std::string message = ReadFile(err);
    std::size_t described = 0;
    for (const std::string& line : Lines(text)) {
        described += line.starts_with("# meter: ") ? 1 : 0;
    }
    EXPECT_LT(described, 15u) << "the start-up went on after the signal\n" << text;
    EXPECT_TRUE(message.starts_with(
        Format("zelmora-cli: stopped: %zu records from %zu meter", CsvRecordCount(out), described)))
        << message;
}

// A stall of the whole process (SIGSTOP) shows in elapsed_s as in
// time_utc: both measure the same time.
TEST(CliProgramTest, AStallOfTheProcessShowsInElapsedTime) {
    const TempFolder folder;
    const std::string out = folder / "stall.csv";
    const pid_t child = StartProgram({"log", "--simulate=1", "-o", out}, folder / "err");
    ASSERT_GT(child, 0);
    for (int i = 0; i < 1000 && CsvRecordCount(out) < 5; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ::kill(child, SIGSTOP);
    std::this_thread::sleep_for(1500ms); // the stall itself
    ::kill(child, SIGCONT);
    const std::size_t before = CsvRecordCount(out);
    for (int i = 0; i < 1000 && CsvRecordCount(out) < before + 5; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ::kill(child, SIGTERM);
    ASSERT_EQ(test::Wait(child), 0);

    double lastUtc = -1;
    double lastElapsed = 0;
    double longestGap = 0;
    for (const std::string& line : Lines(ReadFile(out))) {
        if (!line.starts_with("20")) {
            continue;
        }
        int hours = 0;
        int minutes = 0;
        double seconds = 0;
        double elapsed = 0;
        ASSERT_EQ(
            std::sscanf(line.c_str() + 11, "%d:%d:%lfZ,%lf", &hours, &minutes, &seconds, &elapsed),
            4)
            << line;
        const double utc = hours * 3600.0 + minutes * 60.0 + seconds;
        if (lastUtc >= 0 && utc >= lastUtc) { // not across midnight
            EXPECT_NEAR(elapsed - lastElapsed, utc - lastUtc, 0.05) << line;
            longestGap = std::max(longestGap, utc - lastUtc);
        }
        lastUtc = utc;
        lastElapsed = elapsed;
    }
    EXPECT_GT(longestGap, 1.0) << "the stall is in the records";
}

// On a terminal that shows the records too, no status line is drawn over
// them: every line is a record, a comment or a message.
TEST(CliProgramTest, RecordsOnTheTerminalOfTheStatusLineAreNotMixedWithIt) {
    int terminal = -1;
    int program = -1;
    ASSERT_EQ(::openpty(&terminal, &program, nullptr, nullptr, nullptr), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(terminal);
        ::dup2(program, 1);
        ::dup2(program, 2);
        ::execl(ZELMORA_CLI_PROGRAM, "zelmora-cli", "log", "--simulate=1", "--count", "15",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(program);
    std::string shown;
    char buffer[4096];
    // The terminal reads EIO once the program has closed its side.
    for (ssize_t got = 0; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    EXPECT_EQ(test::Wait(child), 0);
    EXPECT_EQ(shown.find("\x1b"), std::string::npos) << shown;
    std::size_t records = 0;
    for (std::string line : Lines(shown)) {
        if (line.ends_with('\r')) {
            line.pop_back();
        }
        EXPECT_TRUE(line.starts_with("20") || line.starts_with("#") ||
                    line.starts_with("time_utc,") || line.starts_with("zelmora-cli: 15 records"))
            << line;
        records += line.starts_with("20") ? 1 : 0;
    }
    EXPECT_EQ(records, 15u) << shown;
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

TEST(CliProgramTest, TheReportGoesToAFileOrStandardOutputWithoutTheHomeFolder) {
    const TempFolder home;
    const std::vector<std::string> environment = {"HOME=" + home.Path(), "XDG_CONFIG_HOME="};
    const std::string report = home / "report.txt";
    const pid_t child = test::Spawn(
        ZELMORA_CLI_PROGRAM, {"report", "--simulate=1", "--usb-id", "abcd:0001", "-o", report},
        home / "err", environment);
    ASSERT_EQ(test::Wait(child), 0);
    EXPECT_EQ(ReadFile(home / "err"),
              "zelmora-cli: wrote the diagnostic report to " + report + "\n");
    const std::string text = ReadFile(report);
    EXPECT_TRUE(text.starts_with("Zelmora diagnostic report\n")) << text;
    EXPECT_EQ(text.find(home.Path()), std::string::npos) << text;
    for (const char* part :
         {"\nprogram: zelmora-cli\n", "\nUSB library\n", "\nUSB devices",
          "abcd:0001  from --usb-id\n", "~/.config/zelmora/meters.conf", "simulated meters: 1\n",
          "output: ~/report.txt\n", "No trace: the program was started without --trace FILE.\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }

    // "-o -" is standard output, and nothing is said on standard error.
    const std::string command = "HOME=" + home.Path() + " " ZELMORA_CLI_PROGRAM " report -o - > " +
                                (home / "out.txt") + " 2> " + (home / "err2");
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(ReadFile(home / "out.txt").starts_with("Zelmora diagnostic report\n"));
    EXPECT_EQ(ReadFile(home / "err2"), "");
}

TEST(CliProgramTest, AReportReadsARunsTraceAndLeavesItAsItWasAndAListingRecordsOneTrace) {
    const TempFolder home;
    const std::vector<std::string> environment = {
        "HOME=" + home.Path(),
        "XDG_CONFIG_HOME=", "ZELMORA_SHARE_SCOPE=report-" + std::to_string(::getpid())};
    const std::string trace = home / "meter.jsonl";
    pid_t child =
        test::Spawn(ZELMORA_CLI_PROGRAM,
                    {"log", "--simulate=1", "--count", "3", "--trace", trace, "-o", home / "a.csv"},
                    home / "err", environment);
    ASSERT_EQ(test::Wait(child), 0) << ReadFile(home / "err");
    const std::string recorded = ReadFile(trace);
    ASSERT_NE(recorded.find("\"op\":\"collect\""), std::string::npos) << recorded;

    child =
        test::Spawn(ZELMORA_CLI_PROGRAM, {"report", "--trace", trace, "-o", home / "report.txt"},
                    home / "err", environment);
    ASSERT_EQ(test::Wait(child), 0) << ReadFile(home / "err");
    EXPECT_EQ(ReadFile(trace), recorded);
    const std::string report = ReadFile(home / "report.txt");
    const std::string lastLine = recorded.substr(recorded.rfind('\n', recorded.size() - 2) + 1);
    EXPECT_NE(report.find(lastLine), std::string::npos) << report;

    // Listing every device with a trace on records one trace, from one
    // recorder: the listing's own look at the devices is not a second one.
    const std::string listed = home / "list.jsonl";
    child = test::Spawn(ZELMORA_CLI_PROGRAM, {"list", "--all-usb", "--trace", listed}, home / "err",
                        environment);
    (void)test::Wait(child);
    const std::string text = ReadFile(listed);
    EXPECT_TRUE(text.starts_with("{\"format\":\"zelmora-trace\"")) << text;
    EXPECT_EQ(text.find("zelmora-trace", 20), std::string::npos) << text;
}

TEST(CliProgramTest, AReportThatCannotBeWrittenOrAskedWronglyFails) {
    const TempFolder folder;
    const std::string missing = folder / "no-such-folder/report.txt";
    pid_t child = test::Spawn(ZELMORA_CLI_PROGRAM, {"report", "-o", missing}, folder / "err");
    EXPECT_EQ(test::Wait(child), 4);
    EXPECT_TRUE(ReadFile(folder / "err")
                    .starts_with("zelmora-cli: cannot write the report to " + missing + ": "))
        << ReadFile(folder / "err");
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()) ||
                !std::filesystem::exists(folder / "no-such-folder"));

    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"report", "210400101"},
                                                  {"report", "--json"},
                                                  {"report", "--count", "3"}}) {
        child = test::Spawn(ZELMORA_CLI_PROGRAM, wrong, folder / "err");
        EXPECT_EQ(test::Wait(child), 2) << wrong[1];
        EXPECT_NE(ReadFile(folder / "err").find("Usage:"), std::string::npos) << wrong[1];
    }
    EXPECT_NE(ReadFile(folder / "err").find("--count is an option of log, not of report"),
              std::string::npos)
        << ReadFile(folder / "err");
}

} // namespace
} // namespace zelmora
