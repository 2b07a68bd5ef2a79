// The program's command line.

#include "frontend/AppOptions.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#if defined(ZELMORA_PROGRAM)
#include <sys/wait.h>
#endif

namespace zelmora {
namespace {

using Action = AppOptions::Action;

TEST(AppOptionsTest, SimulatedMeterCounts) {
    EXPECT_EQ(AppOptions::Parse({}).simulatedMeters, 0);
    EXPECT_EQ(AppOptions::Parse({}).action, Action::Run);
    EXPECT_EQ(AppOptions::Parse({"--simulate"}).simulatedMeters, 1);
    EXPECT_EQ(AppOptions::Parse({"--simulate=3"}).simulatedMeters, 3);
    EXPECT_EQ(AppOptions::Parse({"--simulate", "2"}).simulatedMeters, 2);
    EXPECT_EQ(AppOptions::Parse({"--simulate=15"}).simulatedMeters, 15);
    EXPECT_EQ(AppOptions::Parse({"--simulate=2", "--simulate"}).simulatedMeters, 1);
}

TEST(AppOptionsTest, BadCountsAndUnknownArgumentsAreErrors) {
    for (const char* bad : {"--simulate=0", "--simulate=16", "--simulate=abc", "--simulate=3x",
                            "--simulate=", "--simulate= 3", "--simulate=99999999999"}) {
        const AppOptions options = AppOptions::Parse({bad});
        EXPECT_EQ(options.action, Action::Error) << bad;
        EXPECT_FALSE(options.error.empty()) << bad;
    }
    EXPECT_EQ(AppOptions::Parse({"--simulate", "x"}).action, Action::Error);
    EXPECT_EQ(AppOptions::Parse({"--frobnicate"}).action, Action::Error);
}

// Qt's own options are passed over, in exactly the forms Qt takes them, so
// that every other mistake is reported before Qt looks for a display.
TEST(AppOptionsTest, QtsOwnOptionsArePassedOver) {
    for (const std::vector<std::string>& qt : {std::vector<std::string>{"-platform", "offscreen"},
                                               {"--platform", "offscreen"},
                                               {"-style=fusion"},
                                               {"-style", "fusion", "--simulate=2"},
                                               {"-reverse", "--simulate"},
                                               {"--simulate=2", "-qwindowgeometry", "800x600"},
                                               {"-platform"}}) {
        EXPECT_EQ(AppOptions::Parse(qt).action, Action::Run) << qt.front();
    }
    EXPECT_EQ(AppOptions::Parse({"-style", "fusion", "--simulate=2"}).simulatedMeters, 2);
    EXPECT_EQ(AppOptions::Parse({"-platform", "--simulate"}).simulatedMeters, 0)
        << "the value of -platform is Qt's, whatever it looks like";
    for (const std::vector<std::string>& ours : {std::vector<std::string>{"--frobnicate"},
                                                 {"-"},
                                                 {"stray"},
                                                 {"--simulate=x", "-platform", "offscreen"},
                                                 {"-platform", "offscreen", "--simulate=x"},
                                                 {"--usb-id", "12"},
                                                 {"--platforms"},
                                                 {"--platform=offscreen"},
                                                 {"-reverse=1"}}) {
        const AppOptions options = AppOptions::Parse(ours);
        EXPECT_EQ(options.action, Action::Error) << ours.front();
    }
    EXPECT_EQ(AppOptions::Parse({"--platform=offscreen"}).argument, "--platform=offscreen");
}

#if defined(ZELMORA_PROGRAM)
// Without any display: a mistake must end in the usage text, not in Qt's
// abort for want of a platform.
TEST(AppOptionsTest, TheProgramAnswersAMistakeWithoutADisplay) {
    const std::string command =
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + ZELMORA_PROGRAM +
        " --platform=offscreen 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 2) << output;
    EXPECT_NE(output.find("unknown argument '--platform=offscreen'"), std::string::npos) << output;
    EXPECT_NE(output.find("Usage: "), std::string::npos) << output;
}
#endif

TEST(AppOptionsTest, RealMetersUnlessOnlySimulatedOnesAreAskedFor) {
    EXPECT_TRUE(AppOptions::Parse({}).realMeters);
    EXPECT_FALSE(AppOptions::Parse({"--simulate"}).realMeters);
    EXPECT_TRUE(AppOptions::Parse({"--simulate", "--real"}).realMeters);
    EXPECT_TRUE(AppOptions::Parse({"--real", "--simulate=2"}).realMeters);

    const AppOptions ids = AppOptions::Parse({"--usb-id", "1234:abcd", "--usb-id=0A0B:0C0D"});
    EXPECT_EQ(ids.action, Action::Run);
    EXPECT_EQ(ids.usbIds, (std::vector<std::string>{"1234:abcd", "0A0B:0C0D"}));
    EXPECT_TRUE(AppOptions::Parse({"--simulate", "--usb-id", "1234:abcd"}).realMeters)
        << "naming a meter's id asks for real meters";
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--usb-id"},
                                                {"--usb-id", "1234"},
                                                {"--usb-id=12345:abcd"},
                                                {"--usb-id", "--simulate"},
                                                {"--usb-id=xyzw:abcd"}}) {
        EXPECT_EQ(AppOptions::Parse(bad).action, Action::Error) << bad.back();
    }
}

TEST(AppOptionsTest, BenchOpensTheBenchViewBesideTheWindow) {
    EXPECT_FALSE(AppOptions::Parse({"--simulate=3"}).bench);
    const AppOptions options = AppOptions::Parse({"--simulate=3", "--bench"});
    EXPECT_EQ(options.action, Action::Run);
    EXPECT_TRUE(options.bench);
    EXPECT_EQ(options.simulatedMeters, 3);
    EXPECT_NE(AppOptions::HelpText("zelmora").find("--bench"), std::string::npos);
    // Both programs have the view.
    const AppOptions windows =
        AppOptions::Parse({"--simulate=3", "--bench"}, AppOptions::Host::Windows);
    EXPECT_EQ(windows.action, Action::Run);
    EXPECT_TRUE(windows.bench);
    EXPECT_NE(AppOptions::HelpText("zelmora.exe", AppOptions::Host::Windows).find("--bench"),
              std::string::npos);
}

TEST(AppOptionsTest, HelpAndVersionWin) {
    EXPECT_EQ(AppOptions::Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(AppOptions::Parse({"-h"}).action, Action::Help);
    EXPECT_EQ(AppOptions::Parse({"--simulate=2", "--version"}).action, Action::Version);
    EXPECT_EQ(AppOptions::Parse({"--help", "--frobnicate"}).action, Action::Help);
    EXPECT_NE(AppOptions::HelpText("zelmora").find("--simulate[=N]"), std::string::npos);
}

// --scpi and --allow mean what they mean for zelmora-cli serve, on both
// hosts; a mistake is found before any meter is opened or port bound.
TEST(AppOptionsTest, ServingOptions) {
    for (const auto host : {AppOptions::Host::Qt, AppOptions::Host::Windows}) {
        EXPECT_EQ(AppOptions::Parse({}, host).scpi.port, 0);
        AppOptions options = AppOptions::Parse(
            {"--simulate=2", "--scpi", "0.0.0.0:5025", "--allow=10.0.,::1"}, host);
        ASSERT_EQ(options.action, Action::Run) << options.error;
        EXPECT_EQ(options.simulatedMeters, 2);
        EXPECT_EQ(options.scpi.address, "0.0.0.0");
        EXPECT_EQ(options.scpi.port, 5025);
        EXPECT_EQ(options.scpi.allow, (std::vector<std::string>{"10.0.", "::1"}));
        options = AppOptions::Parse({"--scpi=[::1]:6000"}, host);
        EXPECT_EQ(options.scpi.address, "::1");
        EXPECT_EQ(options.scpi.HostText(), "[::1]");
        EXPECT_EQ(AppOptions::Parse({"--scpi", "5025"}, host).scpi.address, "127.0.0.1");
        for (const std::vector<std::string>& bad : {std::vector<std::string>{"--scpi"},
                                                    {"--scpi", "0"},
                                                    {"--scpi", "65536"},
                                                    {"--scpi", ":5025"},
                                                    {"--scpi=host:x"},
                                                    {"--scpi", "5025", "--allow", "10.0.,"},
                                                    {"--scpi", "5025", "--allow", "evil.example"},
                                                    {"--allow", "10.0."}}) {
            options = AppOptions::Parse(bad, host);
            EXPECT_EQ(options.action, Action::Error) << bad.back();
            EXPECT_FALSE(options.error.empty()) << bad.back();
        }
        EXPECT_NE(AppOptions::HelpText("zelmora", host).find("--scpi [ADDR:]PORT"),
                  std::string::npos);
    }
}

// The Windows program has no list of USB ids, no USB listing and no Qt:
// what it cannot do it refuses, and its usage does not offer it.
// Both programs take a trace to write or to play back, with the file as
// the next argument or after "="; a missing file is a mistake, not "off".
TEST(AppOptionsTest, TraceAndReplayOnBothHosts) {
    for (const auto host : {AppOptions::Host::Qt, AppOptions::Host::Windows}) {
        const AppOptions traced = AppOptions::Parse({"--trace", "t.jsonl", "--simulate"}, host);
        EXPECT_EQ(traced.action, Action::Run);
        EXPECT_EQ(traced.traceFile, "t.jsonl");
        EXPECT_EQ(traced.replayFile, "");
        const AppOptions replayed =
            AppOptions::Parse({"--replay=r b.jsonl", "--replay-pace"}, host);
        EXPECT_EQ(replayed.action, Action::Run);
        EXPECT_EQ(replayed.replayFile, "r b.jsonl");
        EXPECT_TRUE(replayed.replayPace);
        EXPECT_FALSE(AppOptions::Parse({"--replay", "r.jsonl"}, host).replayPace);
        for (const std::vector<std::string>& missing :
             std::vector<std::vector<std::string>>{{"--trace"}, {"--trace="}, {"--replay"}}) {
            const AppOptions options = AppOptions::Parse(missing, host);
            EXPECT_EQ(options.action, Action::Error) << missing[0];
            EXPECT_NE(options.error.find("needs a file name"), std::string::npos) << options.error;
        }
        const std::string help = AppOptions::HelpText("zelmora", host);
        for (const char* offered : {"--trace FILE", "--replay FILE", "--replay-pace"}) {
            EXPECT_NE(help.find(offered), std::string::npos) << offered;
        }
    }
}

TEST(AppOptionsTest, TheWindowsCommandLineHasOnlyWhatWindowsDoes) {
    constexpr auto kWindows = AppOptions::Host::Windows;
    EXPECT_EQ(AppOptions::Parse({"--simulate", "3"}, kWindows).simulatedMeters, 3);
    EXPECT_TRUE(AppOptions::Parse({"--simulate=2", "--real"}, kWindows).realMeters);
    EXPECT_EQ(AppOptions::Parse({"--help"}, kWindows).action, Action::Help);
    EXPECT_EQ(AppOptions::Parse({"--version"}, kWindows).action, Action::Version);
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"--usb-id", "1234:abcd"},
          {"--simulate", "--usb-id=1234:abcd"},
          {"--list-usb"},
          {"-platform", "offscreen"},
          {"-style=fusion"}}) {
        const AppOptions options = AppOptions::Parse(refused, kWindows);
        EXPECT_EQ(options.action, Action::Error) << refused.back();
        EXPECT_FALSE(options.error.empty()) << refused.back();
    }
    EXPECT_NE(AppOptions::Parse({"--usb-id", "1234:abcd"}, kWindows).error.find("Windows"),
              std::string::npos);

    const std::string help = AppOptions::HelpText("zelmora.exe", kWindows);
    for (const char* offered :
         {"Usage: zelmora.exe", "--simulate[=N]", "--real", "--help", "--version"}) {
        EXPECT_NE(help.find(offered), std::string::npos) << offered;
    }
    for (const char* absent : {"--usb-id", "--list-usb", "meters.conf", "match list"}) {
        EXPECT_EQ(help.find(absent), std::string::npos) << absent;
    }
    EXPECT_NE(AppOptions::HelpText("zelmora").find("--usb-id"), std::string::npos)
        << "the Qt window keeps its options";
}

} // namespace
} // namespace zelmora
