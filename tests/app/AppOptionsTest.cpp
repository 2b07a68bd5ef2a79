// The program's command line.

#include "app/AppOptions.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(AppOptions::Parse({"-platform", "offscreen"}).action, Action::Error);
}

// Only an argument Qt may take waits for Qt; every other mistake is reported
// before Qt looks for a display.
TEST(AppOptionsTest, OnlyQtsOwnOptionsWaitForQt) {
    for (const std::vector<std::string>& qt : {std::vector<std::string>{"-platform", "offscreen"},
                                               {"--platform", "offscreen"},
                                               {"-style=fusion"},
                                               {"-reverse", "--simulate"},
                                               {"--simulate=2", "-qwindowgeometry", "800x600"}}) {
        const AppOptions options = AppOptions::Parse(qt);
        EXPECT_EQ(options.action, Action::Error) << qt.front();
        EXPECT_TRUE(options.MayBeQtOption()) << qt.front();
    }
    for (const std::vector<std::string>& ours : {std::vector<std::string>{"--frobnicate"},
                                                 {"-"},
                                                 {"stray"},
                                                 {"--simulate=x", "-platform", "offscreen"},
                                                 {"--usb-id", "12"},
                                                 {"--platforms"}}) {
        const AppOptions options = AppOptions::Parse(ours);
        EXPECT_EQ(options.action, Action::Error) << ours.front();
        EXPECT_FALSE(options.MayBeQtOption()) << ours.front();
    }
    EXPECT_EQ(AppOptions::Parse({"--simulate=x"}).argument, "--simulate=x");
    EXPECT_FALSE(AppOptions::Parse({"--simulate"}).MayBeQtOption());
}

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

TEST(AppOptionsTest, HelpAndVersionWin) {
    EXPECT_EQ(AppOptions::Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(AppOptions::Parse({"-h"}).action, Action::Help);
    EXPECT_EQ(AppOptions::Parse({"--simulate=2", "--version"}).action, Action::Version);
    EXPECT_EQ(AppOptions::Parse({"--help", "--frobnicate"}).action, Action::Help);
    EXPECT_NE(AppOptions::HelpText("zelmora").find("--simulate[=N]"), std::string::npos);
}

} // namespace
} // namespace zelmora
