// A new user's first start with a real meter, through real libusb on
// emulated devices: the window says why it lists no meter and what to do
// next, and Find my meter takes the user from there to a listed meter
// that measures, using nothing but what the window shows.

#include "FakeHost.h"
#include "UsbFsEmulation.h"
#include "frontend/DiagnosticReport.h"
#include "sim/SimulatedMeter.h"
#include "support/TempFolder.h"
#include "usb/driver/LibusbDriver.h"
#include "usb/driver/LibusbMeterFinder.h"
#include "window/FindMeterDlgLogic.h"
#include "window/ZelmoraDlgLogic.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <thread>

namespace zelmora {
namespace {

using test::FakeDialogHost;
using test::FakeWindowHost;
using test::TempFolder;
using Ids = ZelmoraDlgIds;

constexpr UsbId kMeterId{SimulatedMeter::kUsbIds.vendorId, SimulatedMeter::kUsbIds.productId};
constexpr UsbId kRefusedId{0x1234, 0x5679};
const std::string kNext = " Next: Help > Find my meter…";

// Plugged in: the meter (port 1, not listed out of the box), a keyboard
// (port 2) and a second meter the user may not open (port 3).
class FirstContactTest : public ::testing::Test {
protected:
    void SetUp() override {
        emulation.Add(meter, 1, 2);
        emulation.Add(keyboard, 2, 3);
        emulation.Add(refused, 3, 4, false, false);
    }

    // The window on real libusb with this match list, started as the host
    // starts it.
    void Open(std::vector<UsbId> matchList) {
        std::string error;
        driver = LibusbDriver::Create(std::move(matchList), &error);
        ASSERT_NE(driver, nullptr) << error;
        finder = std::make_unique<LibusbMeterFinder>(*driver, userFile);
        logic = std::make_unique<CZelmoraDlgLogic>(*driver, host, host);
        logic->SetMeterFinder(finder.get());
        logic->OnInitDialog();
    }

    std::vector<std::string> Listed() const { return host.At(Ids::kIdMeterList).entries; }

    UsbFsEmulation emulation;
    std::shared_ptr<SimulatedMeter> meter = SimulatedMeter::MakeDemo("KV", "210400101", 1);
    std::shared_ptr<NamedDevice> keyboard =
        std::make_shared<NamedDevice>(0x046d, 0xc31c, u"Example Devices", u"USB Keyboard");
    std::shared_ptr<NamedDevice> refused = std::make_shared<NamedDevice>(
        kRefusedId.vendorId, kRefusedId.productId, u"Acme Optics", u"Power meter 2");
    TempFolder folder;
    const std::string userFile = folder.Path("config/zelmora/meters.conf");
    FakeWindowHost host;
    std::unique_ptr<LibusbDriver> driver;
    std::unique_ptr<LibusbMeterFinder> finder;
    std::unique_ptr<CZelmoraDlgLogic> logic;
};

TEST_F(FirstContactTest, NoneListedSaysSoAndStartDoesNothing) {
    Open({});
    EXPECT_TRUE(Listed().empty());
    EXPECT_TRUE(host.At(Ids::kIdNoMeter).visible);
    EXPECT_FALSE(host.At(Ids::kIdLostSamples).visible);
    EXPECT_EQ(host.GetText(Ids::kIdNoMeter),
              "No meter found: no USB id is on the meter list yet." + kNext);

    // Start with an empty list is still nothing at all.
    logic->OnCommand(Ids::kIdStartStop);
    EXPECT_EQ(host.GetText(Ids::kIdStartStop), "Start");
    EXPECT_EQ(host.GetText(Ids::kIdPower), "0.0W");
    EXPECT_EQ(meter->GetCounters().starts, 0u);
}

TEST_F(FirstContactTest, AListedMeterThatMayNotBeOpenedIsNamed) {
    Open({kRefusedId, {0xdead, 0xbeef}});
    EXPECT_TRUE(Listed().empty());
    EXPECT_EQ(host.GetText(Ids::kIdNoMeter),
              "No meter found: no permission to open 1234:5679." + kNext);

    // Rescan says it again; with the meter listed the line goes.
    driver->AddToMatchList(kMeterId);
    logic->OnCommand(Ids::kIdRescan);
    EXPECT_EQ(Listed(), std::vector<std::string>{"210400101"});
    EXPECT_FALSE(host.At(Ids::kIdNoMeter).visible);
}

TEST_F(FirstContactTest, FindMyMeterTakesANewUserToAMeasuringMeter) {
    Open({});
    std::vector<std::string> entries;
    std::vector<std::string> outcomes;
    std::string clipboard;
    bool copyEnabled = true;
    host.answerDialog = [&](CDialogLogic& dialog, FakeDialogHost& controls) {
        entries = controls.At(FindMeterIds::kIdDevices).entries;
        EXPECT_EQ(controls.At(FindMeterIds::kIdCopy).enabled, false);
        // The meter, as the list shows it.
        controls.SetListSelection(FindMeterIds::kIdDevices, 0);
        dialog.OnCommand(controls, FindMeterIds::kIdAdd);
        outcomes.push_back(controls.GetText(FindMeterIds::kIdOutcome));
        copyEnabled = controls.At(FindMeterIds::kIdCopy).enabled;
        // Then the one that may not be opened: the rule, ready to copy.
        controls.SetListSelection(FindMeterIds::kIdDevices, 2);
        dialog.OnCommand(controls, FindMeterIds::kIdAdd);
        outcomes.push_back(controls.GetText(FindMeterIds::kIdOutcome));
        EXPECT_TRUE(controls.At(FindMeterIds::kIdCopy).enabled);
        dialog.OnCommand(controls, FindMeterIds::kIdCopy);
        clipboard = controls.clipboard;
        // The list marks what is listed now; adding again adds nothing.
        EXPECT_NE(controls.At(FindMeterIds::kIdDevices).entries[0].find("[on the meter list]"),
                  std::string::npos);
        controls.SetListSelection(FindMeterIds::kIdDevices, 0);
        dialog.OnOK(controls);
        outcomes.push_back(controls.GetText(FindMeterIds::kIdOutcome));
        dialog.OnCancel(controls);
    };
    logic->OnCommand(Ids::kCmdFindMeter);

    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].starts_with(MatchList::FormatId(kMeterId) + "  1-1  "));
    EXPECT_EQ(entries[1], "046d:c31c  1-2  Example Devices USB Keyboard");
    EXPECT_EQ(entries[2], "1234:5679  1-3  Acme Optics Power meter 2  [no permission]");
    EXPECT_EQ(keyboard->otherRequests, 0);

    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0], MatchList::FormatId(kMeterId) + " was added to your meter list (" +
                               userFile +
                               "). You may open it.\r\nThe window looked again and lists the "
                               "meter 210400101: choose it and press Start.");
    EXPECT_FALSE(copyEnabled);
    EXPECT_NE(outcomes[1].find("You may not open 1234:5679 yet."), std::string::npos);
    EXPECT_NE(outcomes[1].find(LibusbMeterFinder::UdevRule(kRefusedId)), std::string::npos);
    EXPECT_EQ(clipboard, finder->HowToGrantAccess(kRefusedId).commands);
    EXPECT_NE(clipboard.find("sudo tee /etc/udev/rules.d/70-zelmora-1234-5679.rules"),
              std::string::npos);
    EXPECT_TRUE(outcomes[2].starts_with(MatchList::FormatId(kMeterId) +
                                        " is on the meter list already. You may open it."));

    // The file keeps both, each once.
    std::ifstream file(userFile);
    const std::string written{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(MatchList::Parse(written, userFile, nullptr),
              (std::vector<UsbId>{kMeterId, kRefusedId}));

    // Back in the window: the meter is listed and measures.
    EXPECT_EQ(Listed(), std::vector<std::string>{"210400101"});
    EXPECT_FALSE(host.At(Ids::kIdNoMeter).visible);
    logic->OnCommand(Ids::kIdStartStop);
    EXPECT_EQ(host.GetText(Ids::kIdStartStop), "Stop");
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host.GetText(Ids::kIdCount).empty() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        logic->OnTimer(Ids::kRefreshTimer);
    }
    EXPECT_FALSE(host.GetText(Ids::kIdCount).empty());

    // While it measures, adding does not rescan behind the operator's back.
    host.answerDialog = [&](CDialogLogic& dialog, FakeDialogHost& controls) {
        controls.SetListSelection(FindMeterIds::kIdDevices, 1);
        dialog.OnCommand(controls, FindMeterIds::kIdAdd);
        outcomes.push_back(controls.GetText(FindMeterIds::kIdOutcome));
        dialog.OnCancel(controls);
    };
    logic->OnCommand(Ids::kCmdFindMeter);
    EXPECT_NE(outcomes.back().find("A meter is measuring"), std::string::npos);
    EXPECT_EQ(host.GetText(Ids::kIdStartStop), "Stop");
    logic->OnCommand(Ids::kIdStartStop);
}

// The diagnostic report lists the USB devices through real libusb exactly
// as Find my meter shows them, the one the user may not open marked.
TEST_F(FirstContactTest, TheReportListsTheDevicesAsFindMyMeterDoes) {
    Open({kMeterId, kRefusedId});
    std::vector<std::string> entries;
    host.answerDialog = [&](CDialogLogic& dialog, FakeDialogHost& controls) {
        entries = controls.At(FindMeterIds::kIdDevices).entries;
        dialog.OnCancel(controls);
    };
    logic->OnCommand(Ids::kCmdFindMeter);
    ASSERT_EQ(entries.size(), 3u);
    std::string listing;
    for (const std::string& entry : entries) {
        listing += entry + "\n";
    }
    EXPECT_NE(listing.find("[no permission]"), std::string::npos) << listing;

    const std::string report =
        BuildWindowReport("zelmora", "1.0", {}, finder.get(), logic->GetReportSettings());
    EXPECT_NE(report.find("lists them)\n" + std::string(48, '-') + "\n" + listing + "\n"),
              std::string::npos)
        << report;
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    return zelmora::RunEmulatedTests(argc, argv);
}
