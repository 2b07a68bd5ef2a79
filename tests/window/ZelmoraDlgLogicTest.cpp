// The window logic on a host without a toolkit: what the window shows at
// start-up, how its number boxes commit, the graph limits dialog, logging
// from a simulated meter with its files and its failures, a lost meter,
// and the Help and About commands. Built for every platform, so these run
// under Wine too, on the Windows runtime's formatting and files.

#include "window/ZelmoraDlgLogic.h"

#include "FakeHost.h"
#include "log/LogPath.h"
#include "sim/SimulatedMeter.h"
#include "support/TempFolder.h"
#include "usb/driver/ReplayUsbDriver.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"
#include "window/SetPowerRegionDlgLogic.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <thread>

namespace zelmora {
namespace {

using test::FakeDialogHost;
using test::FakeWindowHost;
using test::TempFolder;
using Ids = ZelmoraDlgIds;

std::shared_ptr<SimulatedMeter> Meter(std::string id, SignalModel signal,
                                      std::string probe = "KV50") {
    SimulatedMeter::Config config;
    config.meterId = std::move(id);
    config.probeModel = std::move(probe);
    config.signal = signal;
    return std::make_shared<SimulatedMeter>(std::move(config));
}

// Sample n of this meter reads (1000 + n) / 1000 W, so a record tells which
// sample it holds.
std::shared_ptr<SimulatedMeter> CountingMeter() {
    return Meter("100000001", SignalModel::Ramped(1.0, 4.0, 3000));
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(bytes.substr(start, end - start));
    }
    EXPECT_EQ(start, bytes.size()) << "a line without CR LF at the end of " << path;
    return lines;
}

// The logic on a fake host, with meters on the virtual backend.
struct Window {
    explicit Window(const std::vector<std::shared_ptr<SimulatedMeter>>& meters = {},
                    CDeviceLink::TestTuning tuning = {.pollSpeedUp = 10},
                    const std::string& desktop = "desktop") {
        for (const auto& meter : meters) {
            meter->PlugInto(driver);
        }
        host.desktop = desktop;
        logic = std::make_unique<CZelmoraDlgLogic>(driver, host, host, tuning);
        host.onLostFocus = [this](int id) { logic->OnKillFocus(id); };
        logic->OnInitDialog();
    }

    // Types into a box and presses Enter.
    void Enter(int id, const std::string& text) {
        host.Type(id, text);
        logic->OnOK();
    }
    void Select(int list, int index) {
        host.SetListSelection(list, index);
        logic->OnListChanged(list);
    }
    // Runs the refresh timer until `done` holds; false after 10 s.
    template <class Condition>
    bool RefreshUntil(Condition done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            logic->OnTimer(Ids::kRefreshTimer);
        }
        return true;
    }
    int Count() const { return std::atoi(host.GetText(Ids::kIdCount).c_str()); }

    VirtualUsbDriver driver;
    FakeWindowHost host;
    std::unique_ptr<CZelmoraDlgLogic> logic;
};

TEST(ZelmoraDlgLogic, StartsAsTheTemplateSays) {
    Window window;
    const FakeWindowHost& host = window.host;
    const std::pair<int, const char*> texts[] = {
        {1000, "0.0W"},          {1007, "1"},     {1011, "200"}, {1043, "2000"},    {1045, "0.10"},
        {1015, "00:03:20(000)"}, {1020, "Start"}, {1017, "On"},  {1057, "Graphic"},
    };
    for (const auto& [id, text] : texts) {
        EXPECT_EQ(host.GetText(id), text) << id;
    }
    EXPECT_EQ(host.At(1038).entries, (std::vector<std::string>{"nm", "μm"}));
    EXPECT_EQ(host.At(1041).entries,
              (std::vector<std::string>{"X:Count,Y:Power", "X:Time,Y:Power", "X:Timer,Y:Power"}));
    EXPECT_EQ(host.At(1046).entries, (std::vector<std::string>{"sec", "min", "hr"}));
    for (const int id : {1038, 1041, 1046}) {
        EXPECT_EQ(host.GetListSelection(id), 0);
    }
    EXPECT_TRUE(host.At(1028).entries.empty());
    EXPECT_EQ(host.GetListSelection(1028), -1);
    for (const int id : {1029, 1010, 1014}) {
        EXPECT_TRUE(host.IsChecked(id)) << id;
    }
    for (const int id : {1045, 1046, 1015, 1044, 1050, 1043, 1048, 1049, 1030, 1056, 1060}) {
        EXPECT_FALSE(host.At(id).visible) << id;
    }
    // No meter, and no finder to say why: the next step all the same.
    EXPECT_TRUE(host.At(1061).visible);
    EXPECT_EQ(host.GetText(1061), "No meter found. Next: Help > Find my meter…");
    EXPECT_EQ(host.timers, (std::map<int, int>{{0, 10}, {1, 40}}));
    EXPECT_EQ(host.commands, (std::map<int, bool>{{Ids::kCmdSetPowerRegion, false}}));
    EXPECT_EQ(host.focus, 1028);
    // The platform's separator between the desktop and the file's name.
    EXPECT_EQ(host.GetText(1019), std::string("desktop") + kLogPathSeparator + "Power Data.csv");
    const HostRect frame = host.At(1030).rect;
    const HostRect area = window.logic->GetGraphArea();
    EXPECT_EQ(std::tie(area.left, area.top, area.width, area.height),
              std::tie(frame.left, frame.top, frame.width, frame.height));

    // The graph is drawn from the first paint on, every tick of timer 1.
    window.logic->OnTimer(Ids::kGraphTimer);
    EXPECT_EQ(host.frames, 0);
    window.logic->OnPaint(true);
    window.logic->OnTimer(Ids::kGraphTimer);
    EXPECT_EQ(host.frames, 0);
    window.logic->OnPaint(false);
    window.logic->OnTimer(Ids::kGraphTimer);
    EXPECT_EQ(host.frames, 1);
    EXPECT_FALSE(host.lastFrame.SegmentsOfColor(Rgb(255, 0, 0)).empty());
}

// Timer 1 keeps its period, but a tick redraws the graph only when what it
// shows changed: not before Start, not between samples, not once the meter
// stopped; a new sample, a reset and new limits each redraw it.
TEST(ZelmoraDlgLogic, RedrawsTheGraphOnlyWhenItChanged) {
    Window window({CountingMeter()});
    FakeWindowHost& host = window.host;
    const auto graphTicks = [&](int ticks) {
        for (int i = 0; i < ticks; ++i) {
            window.logic->OnTimer(Ids::kGraphTimer);
        }
        return host.frames;
    };
    window.logic->OnPaint(false);
    EXPECT_EQ(graphTicks(1), 1);
    window.logic->OnTimer(Ids::kRefreshTimer);
    EXPECT_EQ(graphTicks(5), 1);

    window.logic->OnCommand(1020);
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= 3; }));
    EXPECT_EQ(graphTicks(1), 2);
    EXPECT_EQ(graphTicks(5), 2);
    EXPECT_FALSE(host.lastFrame.SegmentsOfColor(Rgb(0, 255, 0)).empty());
    const int count = window.Count();
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() > count; }));
    EXPECT_EQ(graphTicks(5), 3);

    window.logic->OnCommand(1020);
    EXPECT_EQ(host.GetText(1020), "Start");
    window.logic->OnTimer(Ids::kRefreshTimer);
    const int stopped = graphTicks(1);
    EXPECT_EQ(graphTicks(5), stopped);

    window.logic->OnCommand(1012);
    EXPECT_EQ(graphTicks(5), stopped + 1);
    EXPECT_TRUE(host.lastFrame.SegmentsOfColor(Rgb(0, 255, 0)).empty());
}

// Where the window's pixels are the screen's, the graph's text is as large
// to the eye at 144 and 192 DPI as at 96: the logic gives the graph the
// host's DPI at start-up, and the new area and DPI when the window moved to
// a screen of another DPI, and draws it again at once.
TEST(ZelmoraDlgLogic, TheGraphTakesTheWindowsDpi) {
    VirtualUsbDriver driver;
    FakeWindowHost host;
    host.dpi = 144;
    CZelmoraDlgLogic logic(driver, host, host);
    logic.OnInitDialog();
    logic.OnPaint(false);
    logic.OnTimer(Ids::kGraphTimer);
    ASSERT_EQ(host.frames, 1);
    EXPECT_EQ(logic.GetGraph().GetDisplayDpi(), 144);
    ASSERT_FALSE(host.lastFrame.Texts().empty());
    EXPECT_EQ(host.lastFrame.Texts().front().font.height, 15);

    host.dpi = 192;
    host.At(1030).rect = {20, 30, 800, 500};
    logic.OnDpiChanged();
    EXPECT_EQ(host.frames, 2) << "drawn again at once";
    EXPECT_EQ(host.graphArea.width, 800);
    EXPECT_EQ(host.graphArea.height, 500);
    EXPECT_EQ(host.lastFrame.Texts().front().font.height, 20);
    // The y axis stands 100 pixels in, the x axis 60 pixels up.
    const auto axes = host.lastFrame.SegmentsOfColor(Rgb(255, 0, 0));
    ASSERT_EQ(axes.size(), 2u);
    EXPECT_EQ(axes[0].x0, 100);
    EXPECT_EQ(axes[1].y0, 440);
}

// A host sleeps through the ticks the logic calls idle, so a timer may be
// called idle only while its next tick would change nothing: not while a
// started meter may fail or a sample waits, not while the graph has
// something new to show.
TEST(ZelmoraDlgLogic, CallsATimerIdleOnlyWhileItsTicksChangeNothing) {
    Window window({CountingMeter()});
    FakeWindowHost& host = window.host;
    CZelmoraDlgLogic& logic = *window.logic;
    const auto idle = [&](int timer) { return logic.IsTimerIdle(timer); };
    // Ticks the graph timer until it is idle; an idle tick draws nothing.
    const auto drawUntilIdle = [&] {
        for (int i = 0; i < 4 && !idle(Ids::kGraphTimer); ++i) {
            logic.OnTimer(Ids::kGraphTimer);
        }
        const int frames = host.frames;
        logic.OnTimer(Ids::kGraphTimer);
        return idle(Ids::kGraphTimer) && host.frames == frames;
    };

    // Before the first paint nothing is drawn, and before Start nothing
    // comes.
    EXPECT_TRUE(idle(Ids::kRefreshTimer));
    EXPECT_TRUE(idle(Ids::kGraphTimer));
    logic.OnPaint(false);
    EXPECT_FALSE(idle(Ids::kGraphTimer));
    EXPECT_TRUE(drawUntilIdle());
    EXPECT_EQ(host.frames, 1);

    logic.OnCommand(1020);
    EXPECT_FALSE(idle(Ids::kRefreshTimer));
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= 2; }));
    EXPECT_FALSE(idle(Ids::kRefreshTimer));
    EXPECT_FALSE(idle(Ids::kGraphTimer));
    EXPECT_TRUE(drawUntilIdle());

    // Samples the meter gave before Stop wait for the next tick.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    logic.OnCommand(1020);
    EXPECT_EQ(host.GetText(1020), "Start");
    EXPECT_FALSE(idle(Ids::kRefreshTimer));
    const int stopped = window.Count();
    logic.OnTimer(Ids::kRefreshTimer);
    EXPECT_GT(window.Count(), stopped);
    EXPECT_TRUE(idle(Ids::kRefreshTimer));
    EXPECT_FALSE(idle(Ids::kGraphTimer));
    EXPECT_TRUE(drawUntilIdle());

    // A reset empties the graph: something new to show.
    logic.OnCommand(1012);
    EXPECT_FALSE(idle(Ids::kGraphTimer));
    EXPECT_TRUE(drawUntilIdle());
}

// With a notifier the refresh may rest while the meter runs: whenever it
// is not idle, the notifier has been called since the last look, so a host
// that sleeps until notified misses no sample and no lost meter.
TEST(ZelmoraDlgLogic, WithANotifierTheRefreshRestsBetweenSamples) {
    Window window({CountingMeter()}, {.pollSpeedUp = 4});
    CZelmoraDlgLogic& logic = *window.logic;
    std::atomic<int> notes{0};
    logic.SetSampleNotifier([&notes] { ++notes; });
    logic.OnCommand(1020);
    int rests = 0;
    // The count before the last look: a sample that waits now came after
    // that look, and so was told after it.
    int seen = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (window.Count() < 20 && std::chrono::steady_clock::now() < limit) {
        const int beforeLook = notes.load();
        if (logic.IsTimerIdle(Ids::kRefreshTimer)) {
            ++rests;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            EXPECT_NE(notes.load(), seen);
            logic.OnTimer(Ids::kRefreshTimer);
        }
        seen = beforeLook;
    }
    EXPECT_GE(window.Count(), 20);
    EXPECT_GT(rests, 0);

    const int beforeUnplug = notes.load();
    window.driver.Unplug(1);
    while (window.host.GetText(1000) != "Disconnected" &&
           std::chrono::steady_clock::now() < limit) {
        if (!logic.IsTimerIdle(Ids::kRefreshTimer)) {
            logic.OnTimer(Ids::kRefreshTimer);
        }
    }
    EXPECT_EQ(window.host.GetText(1000), "Disconnected");
    EXPECT_GT(notes.load(), beforeUnplug);
    logic.OnTimer(Ids::kRefreshTimer);
    EXPECT_TRUE(logic.IsTimerIdle(Ids::kRefreshTimer));
    logic.SetSampleNotifier(nullptr);
}

TEST(ZelmoraDlgLogic, NumberBoxesShowTheValueInUse) {
    Window window;
    FakeWindowHost& host = window.host;
    // Enter commits the focused box only.
    window.Enter(1007, "20001");
    EXPECT_EQ(host.GetText(1007), "1");
    window.Enter(1007, "20000");
    EXPECT_EQ(host.GetText(1007), "20000");
    host.SetText(1011, "7");
    host.focus = 1028;
    window.logic->OnOK();
    EXPECT_EQ(host.GetText(1011), "7");
    // A click on the background moves the focus away, which commits.
    host.Type(1011, "12abc");
    window.logic->OnLButtonDown();
    EXPECT_EQ(host.focus, 1056);
    EXPECT_EQ(host.GetText(1011), "12");
    window.Enter(1011, "-5");
    EXPECT_EQ(host.GetText(1011), "12");
    // Esc does nothing.
    window.logic->OnCancel();
    EXPECT_EQ(host.endResult, 0);

    // Time Interval: the interval in each unit, the total time, timer 0.
    window.logic->OnCommand(1013);
    EXPECT_TRUE(host.At(1045).visible);
    EXPECT_EQ(host.timers[0], 80);
    struct Row {
        int unit;
        const char* typed;
        const char* shown;
        int refreshMs;
        const char* total;
    };
    const Row rows[] = {
        {0, "0.05", "0.1", 80, "00:03:20(000)"},
        {0, "1.5", "1.5", 1200, "00:50:00(000)"},
        {0, "2,5", "2.0", 1600, "01:06:40(000)"},
        {1, "2.5", "2.5", 120000, "83:20:00(000)"},
        {2, "500", "500", 1440000000, "1000000:00:00(000)"},
        {2, "500.001", "500.000", 1440000000, "1000000:00:00(000)"},
    };
    for (const Row& row : rows) {
        window.Select(1046, row.unit);
        window.Enter(1045, row.typed);
        EXPECT_EQ(host.GetText(1045), row.shown) << row.typed;
        EXPECT_EQ(host.timers[0], row.refreshMs) << row.typed;
        EXPECT_EQ(host.GetText(1015), row.total) << row.typed;
    }
    window.Select(1046, 0);
    EXPECT_EQ(host.GetText(1045), "1800000.0");
    window.Enter(1043, "2147483647");
    EXPECT_EQ(host.GetText(1015), "1073741823500:00:00(000)");
    window.logic->OnCommand(1014);
    EXPECT_FALSE(host.At(1045).visible);
    EXPECT_EQ(host.timers[0], 80);
}

TEST(SetPowerRegionDlgLogic, ChecksTheLimitsAsTheyWillBeStored) {
    struct Case {
        const char* minPower;
        const char* maxPower;
        const char* minX;
        const char* maxX;
        bool accepted;
    };
    const Case cases[] = {
        {"1", "1.0004", "0", "200", true},   {"0", "1", "100", "30000", true},
        {"2", "2", "0", "200", false},       {"0", "1", "50", "50", false},
        {"", "1", "0", "200", false},        {"0", "1", "20000", "25000", false},
        {"0", "1", "25000", "30000", false}, {"0", "1", "0", "99999999999", false},
    };
    for (const Case& c : cases) {
        CSetPowerRegionDlgLogic dialog;
        FakeDialogHost host(dialog.GetResource());
        dialog.SetRegion(0, 200.7, 0.0, 0.001);
        dialog.OnInitDialog(host);
        EXPECT_EQ(host.GetText(1054), "0.0000");
        EXPECT_EQ(host.GetText(1055), "0.0010");
        EXPECT_EQ(host.GetText(1057), "200");
        EXPECT_EQ(host.focus, DialogIds::kIdOk);
        host.SetText(1054, c.minPower);
        host.SetText(1055, c.maxPower);
        host.SetText(1056, c.minX);
        host.SetText(1057, c.maxX);
        dialog.OnOK(host);
        EXPECT_EQ(dialog.IsAccepted(), c.accepted) << c.minX << " " << c.maxX;
        if (c.accepted) {
            EXPECT_EQ(host.endResult, DialogIds::kIdOk);
            EXPECT_TRUE(host.messageBoxes.empty());
        } else {
            EXPECT_EQ(host.endResult, 0);
            EXPECT_EQ(host.messageBoxes, std::vector<std::string>{"Power Value Wrong!"});
            EXPECT_EQ(dialog.GetMaxX(), 200);
        }
    }
    CSetPowerRegionDlgLogic widened;
    FakeDialogHost host(widened.GetResource());
    host.SetText(1054, "1");
    host.SetText(1055, "1.0004");
    host.SetText(1056, "100");
    host.SetText(1057, "30000");
    widened.OnOK(host);
    EXPECT_DOUBLE_EQ(widened.GetMaxPower(), 1.001);
    EXPECT_EQ(widened.GetMaxX(), 20000);
}

TEST(ZelmoraDlgLogic, TheToolbarButtonSetsTheGraphLimits) {
    Window window;
    FakeWindowHost& host = window.host;
    window.logic->OnCommand(Ids::kCmdSetPowerRegion); // Cancel changes nothing
    host.SetChecked(1029, false);
    window.logic->OnCommand(1029);
    EXPECT_TRUE(host.commands[Ids::kCmdSetPowerRegion]);
    host.answerDialog = [](CDialogLogic& dialog, FakeDialogHost& controls) {
        controls.SetText(1054, "0.5");
        controls.SetText(1055, "2");
        controls.SetText(1056, "10");
        controls.SetText(1057, "90");
        dialog.OnOK(controls);
    };
    window.logic->OnCommand(Ids::kCmdSetPowerRegion);
    EXPECT_EQ(host.dialogsRun, 2);
    double from = 0;
    double to = 0;
    window.logic->GetGraph().GetXLimits(from, to);
    EXPECT_EQ(from, 10);
    EXPECT_EQ(to, 90);
    window.logic->GetGraph().GetYLimits(from, to);
    EXPECT_EQ(from, 0.5);
    EXPECT_EQ(to, 2);
    // An accepted dialog redraws the graph.
    window.logic->OnTimer(Ids::kGraphTimer);
    EXPECT_EQ(host.frames, 1);
}

TEST(ZelmoraDlgLogic, LogsEverySampleOnceAndProposesTheNextName) {
    TempFolder folder;
    Window window({CountingMeter()}, {.pollSpeedUp = 10}, folder.Path());
    FakeWindowHost& host = window.host;
    EXPECT_EQ(host.At(1028).entries, std::vector<std::string>{"100000001"});
    window.logic->OnCommand(1020);
    EXPECT_EQ(host.GetText(1020), "Stop");
    EXPECT_EQ(host.GetText(1057), "Graphic(W)");
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= 3; }));
    window.logic->OnCommand(1017);
    EXPECT_EQ(host.GetText(1017), "Off");
    EXPECT_TRUE(host.IsChecked(1051));
    const int first = window.Count();
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= first + 20; }));
    window.logic->OnCommand(1017);
    EXPECT_EQ(host.GetText(1017), "On");
    EXPECT_FALSE(host.IsChecked(1051));
    EXPECT_EQ(host.GetText(1019), folder.Path("Power Data_1.csv"));

    const std::vector<std::string> lines = ReadLines(folder.Path("Power Data.csv"));
    ASSERT_GE(lines.size(), 22u);
    EXPECT_EQ(lines[0], "100000001");
    EXPECT_NE(lines[1].find(", 20"), std::string::npos) << lines[1];
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const long n = std::atol(lines[2].c_str()) + static_cast<long>(i) - 2;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%ld,%ld.%06ld", n, (1000 + n) / 1000,
                      (1000 + n) % 1000 * 1000);
        EXPECT_EQ(lines[i], expected);
    }
    EXPECT_TRUE(host.warnings.empty());
    EXPECT_TRUE(host.questions.empty());

    // Closed while logging: what the meter has already given is logged, the
    // file closes, no new name is proposed and the dialog ends.
    window.logic->OnCommand(1017);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    window.logic->OnClose();
    EXPECT_EQ(host.endResult, DialogIds::kIdCancel);
    EXPECT_TRUE(host.timers.empty());
    EXPECT_EQ(host.GetText(1019), folder.Path("Power Data_1.csv"));
    const std::vector<std::string> closed = ReadLines(folder.Path("Power Data_1.csv"));
    ASSERT_GE(closed.size(), 3u);
    EXPECT_EQ(closed.back().substr(0, closed.back().find(',')), host.GetText(1008));
}

TEST(ZelmoraDlgLogic, TellsWhatKeepsLoggingOff) {
    TempFolder folder;
    Window window({}, {}, folder.Path());
    FakeWindowHost& host = window.host;
    // A file with data is emptied only when the operator agrees.
    const std::string path = folder.Path("yesterday.csv");
    std::ofstream(path, std::ios::binary) << "100000001\r\n";
    host.SetText(1019, path);
    window.logic->OnCommand(1017);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0], "Log Data To File|The log file already holds data:\n" + path +
                                     "\n\nOverwrite it?|Overwrite|Cancel");
    EXPECT_EQ(host.GetText(1017), "On");
    EXPECT_EQ(ReadLines(path).size(), 1u);
    host.answer = true;
    window.logic->OnCommand(1017);
    EXPECT_EQ(host.GetText(1017), "Off");
    window.logic->OnCommand(1017);
    const std::vector<std::string> header = ReadLines(path);
    ASSERT_EQ(header.size(), 2u);
    EXPECT_EQ(header[0], "No Device");

    // A file that cannot be opened is told, with the reason and the path.
    const std::string missing = folder.Path("no such folder") + kLogPathSeparator + "x.csv";
    host.SetText(1019, missing);
    window.logic->OnCommand(1017);
    EXPECT_EQ(host.GetText(1017), "On");
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_EQ(host.warnings[0].rfind("Log Data To File|The log file could not be opened (", 0), 0u);
    EXPECT_NE(host.warnings[0].find(missing), std::string::npos);

    // "Open" asks the platform's save-file dialog for a csv or txt file.
    host.chosenFile = folder.Path("picked.txt");
    window.logic->OnCommand(1018);
    ASSERT_EQ(host.saveRequests.size(), 1u);
    EXPECT_EQ(host.saveRequests[0].filters.size(), 2u);
    EXPECT_EQ(host.saveRequests[0].filters[1].pattern, "*.txt");
    EXPECT_EQ(host.saveRequests[0].defaultExtension, "csv");
    EXPECT_EQ(host.GetText(1019), folder.Path("picked.txt"));
}

TEST(ZelmoraDlgLogic, AMeterLostWhileRunningShowsDisconnected) {
    Window window({Meter("100000002", SignalModel::Constant(0.012))});
    FakeWindowHost& host = window.host;
    window.logic->OnCommand(1020);
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= 1; }));
    EXPECT_EQ(host.GetText(1001), "1064");
    window.Select(1038, 1);
    ASSERT_TRUE(window.RefreshUntil([&] { return host.GetText(1001) == "1.064"; }));
    // A failed read closes the meter on the poll's thread: the refresh must
    // keep ticking until the window has shown it.
    EXPECT_FALSE(window.logic->IsTimerIdle(Ids::kRefreshTimer));
    window.driver.Unplug(1);
    ASSERT_TRUE(window.RefreshUntil([&] { return host.GetText(1000) == "Disconnected"; }));
    EXPECT_EQ(host.GetText(1020), "Start");
    EXPECT_FALSE(host.GetText(1005).empty());
    window.logic->OnTimer(Ids::kRefreshTimer);
    EXPECT_TRUE(window.logic->IsTimerIdle(Ids::kRefreshTimer));
}

// A collection and a log file hold one meter each. Start on another meter
// (milliwatts after watts here) begins a new collection, ends the first
// meter's file whole and logs on to the next numbered name; Start again on
// the same meter goes on with both.
TEST(ZelmoraDlgLogic, StartOnAnotherMeterKeepsCollectionsAndFilesApart) {
    TempFolder folder;
    Window window({CountingMeter(), Meter("100000003", SignalModel::Constant(0.35), "ZN21")},
                  {.pollSpeedUp = 10}, folder.Path());
    FakeWindowHost& host = window.host;
    ASSERT_EQ(host.At(1028).entries, (std::vector<std::string>{"100000001", "100000003"}));
    window.logic->OnCommand(1017);
    window.logic->OnCommand(1020);
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= 3; }));
    window.logic->OnCommand(1020);
    // The same meter again: one collection, one file.
    window.logic->OnCommand(1020);
    const int before = window.Count();
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= before + 3; }));
    EXPECT_TRUE(host.warnings.empty());
    window.logic->OnCommand(1020);

    window.Select(1028, 1);
    window.logic->OnCommand(1020);
    EXPECT_EQ(host.GetText(1057), "Graphic(mW)");
    EXPECT_EQ(host.GetText(1017), "Off");
    ASSERT_TRUE(window.RefreshUntil(
        [&] { return host.GetText(1000).ends_with("mW") && window.Count() >= 3; }));
    // Nothing of the first meter is left in the statistics or the graph.
    EXPECT_EQ(host.GetText(1003), "0.350mW");
    EXPECT_EQ(host.GetText(1005), "0.350mW");
    double from = 0;
    double to = 0;
    window.logic->GetGraph().GetYLimits(from, to);
    EXPECT_LT(to, 1.0) << "autoscaled to the milliwatts only";
    const std::string first = folder.Path("Power Data.csv");
    const std::string second = folder.Path("Power Data_1.csv");
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_EQ(host.warnings[0], "Log Data To File|The log file of 100000001 was closed with every "
                                "record in it:\n" +
                                    first + "\n\nMeter 100000003 is logged to a new file:\n" +
                                    second);
    window.logic->OnCommand(1017);

    const std::vector<std::string> kv = ReadLines(first);
    ASSERT_GE(kv.size(), 8u);
    EXPECT_EQ(kv[0], "100000001");
    for (std::size_t i = 2; i < kv.size(); ++i) {
        EXPECT_EQ(kv[i], Format("%d,1.%03d000", static_cast<int>(i) - 2, static_cast<int>(i) - 2))
            << "every sample, once, in order";
    }
    const std::vector<std::string> zn = ReadLines(second);
    ASSERT_GE(zn.size(), 5u);
    EXPECT_EQ(zn[0], "100000003");
    for (std::size_t i = 2; i < zn.size(); ++i) {
        EXPECT_EQ(zn[i], Format("%d,0.350000", static_cast<int>(i) - 2)) << "a new count from 0";
    }
}

// Rescan closes a running meter: the window says nothing runs (the button,
// the line under the graph), stops logging with every record in the file
// and frees the meter list, which showed the running meter meanwhile.
TEST(ZelmoraDlgLogic, ARescanThatClosesTheRunningMeterSaysSo) {
    TempFolder folder;
    Window window({CountingMeter(), Meter("100000002", SignalModel::Constant(0.012))},
                  {.pollSpeedUp = 10}, folder.Path());
    FakeWindowHost& host = window.host;
    EXPECT_TRUE(host.At(1028).enabled);
    window.logic->OnCommand(1020);
    EXPECT_FALSE(host.At(1028).enabled);
    EXPECT_EQ(host.GetText(1028), "100000001");
    window.logic->OnCommand(1017);
    ASSERT_TRUE(window.RefreshUntil([&] { return window.Count() >= 3; }));
    EXPECT_FALSE(host.At(1062).visible);

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    window.logic->OnCommand(1037);
    EXPECT_EQ(host.GetText(1020), "Start");
    EXPECT_TRUE(host.At(1028).enabled);
    EXPECT_EQ(host.GetText(1017), "On");
    EXPECT_FALSE(host.IsChecked(1051));
    EXPECT_EQ(host.GetText(1019), folder.Path("Power Data_1.csv"));
    EXPECT_TRUE(host.At(1062).visible);
    EXPECT_EQ(host.GetText(1062), "Rescan closed meter 100000001: nothing is measured, logging is "
                                  "off.");
    // Every sample the meter gave before is in the file, the last one shown.
    const std::vector<std::string> lines = ReadLines(folder.Path("Power Data.csv"));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines.back().substr(0, lines.back().find(',')), host.GetText(1008));
    window.logic->OnTimer(Ids::kRefreshTimer);
    EXPECT_EQ(host.GetText(1000).find("Disconnected"), std::string::npos);
    EXPECT_TRUE(window.logic->IsTimerIdle(Ids::kRefreshTimer));

    // Start again: the line goes; a Rescan with nothing running says nothing.
    window.logic->OnCommand(1020);
    EXPECT_EQ(host.GetText(1020), "Stop");
    EXPECT_FALSE(host.At(1062).visible);
    window.logic->OnCommand(1020);
    window.logic->OnCommand(1037);
    EXPECT_FALSE(host.At(1062).visible);

    // A meter that is gone by Start is not shown as running.
    window.driver.Unplug(2);
    window.Select(1028, 1);
    window.logic->OnCommand(1020);
    EXPECT_EQ(host.GetText(1020), "Start");
    EXPECT_TRUE(host.At(1028).enabled);
    EXPECT_EQ(host.GetText(1062), "Meter 100000002 did not start: Rescan looks for meters again.");
    EXPECT_TRUE(host.At(1062).visible);
}

// A replayed trace that the window's requests run past: the meter it loses
// must not just look unplugged. The line under the graph says why, in the
// driver's words, before the missing meter, and keeps saying it.
TEST(ZelmoraDlgLogic, ADriverThatCannotGoOnSaysWhyUnderTheGraph) {
    std::string error;
    const std::unique_ptr<ReplayUsbDriver> driver = ReplayUsbDriver::Load(
        std::string(ZELMORA_TRACES_DIR) + "/plain.jsonl", ReplayUsbDriver::Pace::AsAsked, error);
    ASSERT_TRUE(driver) << error;
    FakeWindowHost host;
    CZelmoraDlgLogic logic(*driver, host, host, {.pollSpeedUp = 10});
    logic.OnInitDialog();
    ASSERT_EQ(driver->Fault(), "");
    ASSERT_EQ(host.At(1028).entries.size(), 1u);
    EXPECT_FALSE(host.At(1062).visible);

    logic.OnCommand(1020);
    ASSERT_EQ(host.GetText(1020), "Stop");
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host.GetText(1020) != "Start" && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        logic.OnTimer(Ids::kRefreshTimer);
    }
    const std::string fault = driver->Fault();
    ASSERT_NE(fault, "") << "the recorded run asked for 20 samples only";
    EXPECT_EQ(fault.rfind("replay: ", 0), 0u) << fault;
    EXPECT_EQ(host.GetText(1000), "Disconnected");
    EXPECT_TRUE(host.At(1062).visible);
    EXPECT_EQ(host.GetText(1062), fault);
    EXPECT_TRUE(host.warnings.empty()) << "told once, on the line";

    // Nothing is found after it: the fault is why, not the meter list.
    logic.OnCommand(1037);
    EXPECT_TRUE(host.At(1028).entries.empty());
    EXPECT_FALSE(host.At(1061).visible);
    EXPECT_TRUE(host.At(1062).visible);
    EXPECT_EQ(host.GetText(1062), fault);
    logic.OnTimer(Ids::kRefreshTimer);
    EXPECT_EQ(host.GetText(1062), fault);
    logic.OnClose();
}

// A Fixed collection that reached its size takes no more samples while the
// meter stays open: the line under the graph says so until Reset starts a
// new one. The line gives way to the missing meter and takes the lost
// samples' place.
TEST(ZelmoraDlgLogic, ACompleteCollectionSaysSo) {
    Window window({CountingMeter()});
    FakeWindowHost& host = window.host;
    host.SetChecked(1009, true);
    host.SetChecked(1010, false);
    window.logic->OnCommand(1009);
    window.Enter(1011, "5");
    window.logic->OnCommand(1020);
    ASSERT_TRUE(window.RefreshUntil([&] { return host.At(1062).visible; }));
    EXPECT_EQ(host.GetText(1062), "complete: 6 of 6; Reset starts a new one");
    EXPECT_EQ(host.GetText(1008), "5");
    EXPECT_EQ(host.GetText(1020), "Stop");
    EXPECT_FALSE(host.At(1061).visible);

    window.logic->OnCommand(1012);
    EXPECT_FALSE(host.At(1062).visible);
    ASSERT_TRUE(window.RefreshUntil([&] { return host.At(1062).visible; }));
    EXPECT_EQ(host.GetText(1008), "5");
    // A larger size goes on with the collection.
    window.Enter(1011, "8");
    EXPECT_FALSE(host.At(1062).visible);
    ASSERT_TRUE(window.RefreshUntil([&] { return host.At(1062).visible; }));
    EXPECT_EQ(host.GetText(1062), "complete: 9 of 9; Reset starts a new one");
}

// Beside the program first, then in the installed documentation folder, so
// that a program started from anywhere finds its own manuals; the current
// folder last; missing everywhere, a message names every place looked in.
TEST(ZelmoraDlgLogic, FindsTheManualsFromAnyFolder) {
    const TempFolder current;
    const TempFolder program;
    const TempFolder docs;
    // Back to where it was before the folders go.
    struct InFolder {
        explicit InFolder(const std::string& folder) { std::filesystem::current_path(folder); }
        ~InFolder() { std::filesystem::current_path(previous); }
        const std::filesystem::path previous = std::filesystem::current_path();
    } in(current.Path());
    Window window;
    FakeWindowHost& host = window.host;
    host.manualFolders = {program.Path(), docs.Path()};
    const std::string english = "Operation Manual_Eng.pdf";
    auto openEnglish = [&] {
        window.logic->OnCommand(Ids::kCmdManualEnglish);
        return host.documents.empty() ? std::string() : host.documents.back();
    };
    std::ofstream(current.Path(english)).flush();
    EXPECT_EQ(openEnglish(), (std::filesystem::current_path() / english).string());
    std::ofstream(docs.Path(english)).flush();
    EXPECT_EQ(openEnglish(), docs.Path(english));
    std::ofstream(program.Path(english)).flush();
    EXPECT_EQ(openEnglish(), program.Path(english));

    const std::string current_ = std::filesystem::current_path().string();
    window.logic->OnCommand(Ids::kCmdManualChinese);
    EXPECT_EQ(host.documents.size(), 3u);
    ASSERT_EQ(host.messageBoxes.size(), 1u);
    EXPECT_EQ(host.messageBoxes[0], "The manual \"Operation Manual_Chs.pdf\" was not found. It "
                                    "was looked for in:\n" +
                                        program.Path() + "\n" + docs.Path() + "\n" + current_);
}

TEST(ZelmoraDlgLogic, AboutAndFindMyMeterWithoutAFinder) {
    Window window;
    FakeWindowHost& host = window.host;
    std::string caption;
    host.answerDialog = [&caption](CDialogLogic& dialog, FakeDialogHost& controls) {
        caption = dialog.GetResource().caption;
        dialog.OnOK(controls);
        EXPECT_EQ(controls.endResult, DialogIds::kIdOk);
    };
    window.logic->OnCommand(Ids::kCmdAbout);
    EXPECT_EQ(caption, "关于 Zelmora");

    // Where a kernel driver publishes the meters there is nothing to find.
    window.logic->OnCommand(Ids::kCmdFindMeter);
    EXPECT_EQ(host.dialogsRun, 1);
    ASSERT_EQ(host.messageBoxes.size(), 1u);
    EXPECT_NE(host.messageBoxes[0].find("install the driver from the meter's maker"),
              std::string::npos);
}

TEST(CNumberEditLogic, TakesOnlyWhatANumberIsTypedWith) {
    for (const char32_t c : U"0123456789-.\b") {
        EXPECT_TRUE(c == 0 || CNumberEditLogic::IsAccepted(c)) << static_cast<int>(c);
    }
    for (const char32_t c : {U'e', U' ', U',', U'+', char32_t{3}, char32_t{22}, U'１', U'٣'}) {
        EXPECT_FALSE(CNumberEditLogic::IsAccepted(c)) << static_cast<int>(c);
    }
}

} // namespace
} // namespace zelmora
