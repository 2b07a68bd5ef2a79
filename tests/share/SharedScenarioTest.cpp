// The whole picture: a window owns a meter and logs it while zelmora-cli
// logs it and a Python script collects it, at the same time, each in a
// process of its own. Each of them gets the window's samples, every one once
// and in order; and closing the window stops neither of them.

#include "SharedWindowFixture.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"
#include "util/TextFormat.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelmora {
namespace {

using namespace std::chrono_literals;
using test::Exited;
using test::Wait;

constexpr const char* kMeter = "210400101";
// The window's buttons: Start/Stop and the log's toggle.
constexpr int kStartButton = 1020;
constexpr int kLogButton = 1017;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

// A power in watts as the window's log writes it.
std::string AsLogged(double watts) {
    return Format("%.6lf", watts);
}

// The powers of the window's log file, in order.
std::vector<std::string> WindowPowers(const std::string& path) {
    std::vector<std::string> powers;
    for (std::string line : Split(ReadFile(path), '\n')) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto comma = line.find(',');
        // The header lines hold no comma and a number of their own.
        if (comma != std::string::npos && line.find(", ") == std::string::npos) {
            powers.push_back(line.substr(comma + 1));
        }
    }
    return powers;
}

// The powers of zelmora-cli's CSV records, as the window would log them.
std::vector<std::string> CliPowers(const std::string& path) {
    std::vector<std::string> powers;
    for (const std::string& line : Split(ReadFile(path), '\n')) {
        const std::vector<std::string> fields = Split(line, ',');
        if (line.starts_with("20") && fields.size() == 8) {
            powers.push_back(AsLogged(std::atof(fields[4].c_str())));
        }
    }
    return powers;
}

std::vector<std::string> Lines(const std::string& path) {
    return Split(ReadFile(path), '\n');
}

// `part` as one run of consecutive entries of `whole`.
bool ConsecutiveIn(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    for (std::size_t start = 0; !part.empty() && start + part.size() <= whole.size(); ++start) {
        if (std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(start))) {
            return true;
        }
    }
    return false;
}

// The Python module collecting n samples of the meter, their powers (as
// the window logs them) into `out`.
pid_t Collect(const std::string& out, const std::string& err) {
    const std::string script = "import sys\n"
                               "sys.path.insert(0, sys.argv[1])\n"
                               "import zelmora\n"
                               "with zelmora.open(sys.argv[2], simulate=1) as meter:\n"
                               "    data = meter.collect(100)\n"
                               "with open(sys.argv[3], 'w') as f:\n"
                               "    for power in data['power']:\n"
                               "        f.write('%.6f\\n' % power)\n";
    return test::Spawn(ZELMORA_PYTHON, {"-c", script, ZELMORA_PYTHON_MODULE_DIR, kMeter, out}, err);
}

pid_t Log(const std::string& out, const std::string& err) {
    return test::Spawn(ZELMORA_CLI_PROGRAM,
                       {"log", "--simulate=1", kMeter, "--count", "100", "-o", out}, err);
}

// The window of the program with a simulated meter 210400101 where
// `--simulate=1` plugs it, polling `pollSpeedUp` times faster than its
// period so that a hundred samples take a second or two.
struct Window : test::SharedWindow {
    Window(const std::string& folder, int pollSpeedUp)
        : test::SharedWindow(folder, pollSpeedUp, kMeter) {}
};

TEST(SharedScenarioTest, TheWindowsSamplesReachTheCliAndPythonAndOutliveTheWindow) {
    test::TempFolder folder{"zelmora-scenario-"};
    auto window = std::make_unique<Window>(folder.Path(), 5);
    window->logic->OnCommand(kStartButton);
    ASSERT_EQ(window->host.GetText(kStartButton), "Stop");
    window->logic->OnCommand(kLogButton);
    const std::string windowLog = folder.Path("Power Data.csv");
    ASSERT_TRUE(window->RefreshUntil([&] { return WindowPowers(windowLog).size() >= 5; }));

    // With the window open throughout: each gets 100 of its samples.
    const pid_t cli = Log(folder.Path("cli.csv"), folder.Path("cli.err"));
    const pid_t python = Collect(folder.Path("python.txt"), folder.Path("python.err"));
    int cliStatus = -1;
    int pythonStatus = -1;
    ASSERT_TRUE(window->RefreshUntil([&] {
        return (cliStatus >= 0 || Exited(cli, cliStatus)) &&
               (pythonStatus >= 0 || Exited(python, pythonStatus));
    }));
    EXPECT_EQ(cliStatus, 0) << ReadFile(folder.Path("cli.err"));
    EXPECT_EQ(pythonStatus, 0) << ReadFile(folder.Path("python.err"));
    // The window's log holds what it took until now.
    window->RefreshUntil([] { return false; }, 1s);
    const std::vector<std::string> logged = WindowPowers(windowLog);
    const std::vector<std::string> byCli = CliPowers(folder.Path("cli.csv"));
    const std::vector<std::string> byPython = Lines(folder.Path("python.txt"));
    ASSERT_EQ(byCli.size(), 100u);
    ASSERT_EQ(byPython.size(), 100u);
    EXPECT_TRUE(ConsecutiveIn(byCli, logged)) << "zelmora-cli's samples are the window's";
    EXPECT_TRUE(ConsecutiveIn(byPython, logged)) << "Python's samples are the window's";
    EXPECT_EQ(window->meter->GetCounters().starts, 1u) << "polled by the window alone";

    // The window closes while both are on their way: they take the meter
    // over and go on to their hundred.
    const pid_t lateCli = Log(folder.Path("late.csv"), folder.Path("late.err"));
    const pid_t latePython = Collect(folder.Path("late.txt"), folder.Path("late-python.err"));
    ASSERT_TRUE(
        window->RefreshUntil([&] { return CliPowers(folder.Path("late.csv")).size() >= 10; }));
    window->logic->OnCommand(kLogButton);
    window.reset();
    EXPECT_EQ(Wait(lateCli), 0) << ReadFile(folder.Path("late.err"));
    EXPECT_EQ(Wait(latePython), 0) << ReadFile(folder.Path("late-python.err"));
    EXPECT_EQ(CliPowers(folder.Path("late.csv")).size(), 100u);
    EXPECT_EQ(Lines(folder.Path("late.txt")).size(), 100u);
    const std::string late = ReadFile(folder.Path("late.csv"));
    EXPECT_NE(late.find("# meter_lost: 210400101"), std::string::npos) << late;
}

} // namespace
} // namespace zelmora
