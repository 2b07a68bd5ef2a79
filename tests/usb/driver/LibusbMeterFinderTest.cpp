// Finding a meter whose id is not listed yet, through real libusb on
// emulated devices: every device present with its names, read with
// standard requests only; why no meter was listed; the user's own match
// list file, written without losing a line.

#include "usb/driver/LibusbMeterFinder.h"

#include "UsbFsEmulation.h"
#include "meter/DeviceLink.h"
#include "sim/SimulatedMeter.h"
#include "support/TempFolder.h"
#include "usb/driver/LibusbDriver.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>

namespace zelmora {
namespace {

using test::TempFolder;

constexpr UsbId kMeterId{SimulatedMeter::kUsbIds.vendorId, SimulatedMeter::kUsbIds.productId};
constexpr UsbId kKeyboardId{0x046d, 0xc31c};
constexpr UsbId kRefusedId{0x1234, 0x5679};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A meter on port 1, a keyboard with a name that tries to break lines and
// steer a terminal on port 2, and on port 3 a second meter that the user
// may not open.
class LibusbMeterFinderTest : public ::testing::Test {
protected:
    void SetUp() override {
        emulation.Add(meter, 1, 2);
        emulation.Add(keyboard, 2, 3);
        refusedPath = emulation.Add(refused, 3, 4, false, false);
    }

    std::unique_ptr<LibusbDriver> Driver(std::vector<UsbId> matchList) {
        std::string error;
        auto driver = LibusbDriver::Create(std::move(matchList), &error);
        EXPECT_NE(driver, nullptr) << error;
        return driver;
    }

    // Rescans as the window does and says why nothing was listed.
    MeterAbsence::Reason Absence(LibusbDriver& driver, int* listed = nullptr) {
        CDeviceLink link(driver);
        link.Rescan();
        if (listed) {
            *listed = link.GetMeterCount();
        }
        return LibusbMeterFinder(driver, "").ExplainNoMeter().reason;
    }

    UsbFsEmulation emulation;
    std::shared_ptr<SimulatedMeter> meter = SimulatedMeter::MakeDemo("KV", "210400101", 1);
    std::shared_ptr<NamedDevice> keyboard = std::make_shared<NamedDevice>(
        kKeyboardId.vendorId, kKeyboardId.productId, u"Exam\nple\x1b[31m", u"USB Keyboard");
    std::shared_ptr<NamedDevice> refused = std::make_shared<NamedDevice>(
        kRefusedId.vendorId, kRefusedId.productId, u"Acme Optics", u"Power meter 2");
    std::string refusedPath;
};

TEST_F(LibusbMeterFinderTest, ListsEveryDeviceWithStandardRequestsOnly) {
    const auto driver = Driver({kMeterId, kRefusedId});
    LibusbMeterFinder finder(*driver, "");
    const std::vector<UsbDeviceInfo> devices = finder.ListUsbDevices();
    ASSERT_EQ(devices.size(), 3u);

    EXPECT_EQ(devices[0].id, kMeterId);
    EXPECT_EQ(devices[0].ports, "1");
    EXPECT_TRUE(devices[0].listed);
    EXPECT_EQ(devices[0].access, DeviceAccess::Opened);

    // Read from the device: whatever it sends stays on one printable line.
    EXPECT_EQ(devices[1].id, kKeyboardId);
    EXPECT_EQ(devices[1].manufacturer, "Exam?ple?[31m");
    EXPECT_EQ(devices[1].product, "USB Keyboard");
    EXPECT_FALSE(devices[1].listed);
    EXPECT_EQ(devices[1].access, DeviceAccess::Opened);

    // It may not be opened, so its names are the kernel's copies.
    EXPECT_EQ(devices[2].manufacturer, "Acme Optics");
    EXPECT_EQ(devices[2].product, "Power meter 2");
    EXPECT_EQ(devices[2].access, DeviceAccess::NoPermission);
    EXPECT_EQ(DescribeUsbDevice(devices[2]),
              "1234:5679  1-3  Acme Optics Power meter 2  [on the meter list]  [no permission]");

    EXPECT_EQ(keyboard->otherRequests, 0);
    EXPECT_EQ(refused->otherRequests, 0);

    EXPECT_EQ(finder.CheckAccess(devices[1]), DeviceAccess::Opened);
    EXPECT_EQ(finder.CheckAccess(devices[2]), DeviceAccess::NoPermission);
    emulation.Remove(refusedPath);
    EXPECT_EQ(finder.CheckAccess(devices[2]), DeviceAccess::Failed);
}

TEST_F(LibusbMeterFinderTest, TellsWhyNoMeterWasListed) {
    EXPECT_EQ(Absence(*Driver({})), MeterAbsence::Reason::ListEmpty);
    EXPECT_EQ(Absence(*Driver({{0xdead, 0xbeef}})), MeterAbsence::Reason::NoneMatched);

    const auto refusing = Driver({kRefusedId});
    EXPECT_EQ(Absence(*refusing), MeterAbsence::Reason::NoPermission);
    EXPECT_EQ(LibusbMeterFinder(*refusing, "").ExplainNoMeter().devices,
              std::vector<UsbId>{kRefusedId});
    // Gone since: no longer the reason.
    emulation.Remove(refusedPath);
    EXPECT_EQ(Absence(*refusing), MeterAbsence::Reason::NoneMatched);

    // Listed by mistake, it opens but does not answer as a meter.
    EXPECT_EQ(Absence(*Driver({kKeyboardId})), MeterAbsence::Reason::NotAMeter);

    int listed = 0;
    Absence(*Driver({kMeterId}), &listed);
    EXPECT_EQ(listed, 1);
}

TEST_F(LibusbMeterFinderTest, AnAddedIdIsListedAtOnceAndKeptOnce) {
    TempFolder folder;
    const std::string file = folder.Path("config/zelmora/meters.conf");
    const auto driver = Driver({});
    LibusbMeterFinder finder(*driver, file);
    EXPECT_EQ(Absence(*driver), MeterAbsence::Reason::ListEmpty);

    // A note from a device cannot add a line of its own to the file.
    const MatchListAddition first = finder.AddToMatchList(kMeterId, "Maker Meter\n1234:5679");
    EXPECT_TRUE(first.added) << first.error;
    EXPECT_FALSE(first.alreadyThere);
    EXPECT_EQ(first.path, file);
    const std::string written = ReadFile(file);
    EXPECT_TRUE(written.starts_with("# Zelmora: my own meters"));
    EXPECT_TRUE(
        written.ends_with("\n# Maker Meter?1234:5679\n" + MatchList::FormatId(kMeterId) + "\n"))
        << written;
    EXPECT_EQ(MatchList::Build({file}, {}, nullptr), std::vector<UsbId>{kMeterId});
    // The folders made for it are the user's alone.
    struct stat status {};
    ASSERT_EQ(::stat(folder.Path("config").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    int listed = 0;
    Absence(*driver, &listed);
    EXPECT_EQ(listed, 1);

    const MatchListAddition again = finder.AddToMatchList(kMeterId, "again");
    EXPECT_TRUE(again.added);
    EXPECT_TRUE(again.alreadyThere);
    EXPECT_EQ(ReadFile(file), written);
}

TEST_F(LibusbMeterFinderTest, KeepsWhatTheFileHeldAndRefusesWhatIsNoFile) {
    TempFolder folder;
    const std::string file = folder.Path("meters.conf");
    WriteFile(file, "# mine\nabcd:0001  # the old one");
    const auto driver = Driver({});
    const MatchListAddition added = LibusbMeterFinder(*driver, file).AddToMatchList(kRefusedId, "");
    EXPECT_TRUE(added.added) << added.error;
    EXPECT_EQ(ReadFile(file), "# mine\nabcd:0001  # the old one\n1234:5679\n");

    // A named pipe in its place neither hangs nor takes the line.
    const std::string pipe = folder.Path("pipe.conf");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const MatchListAddition refusedPipe =
        LibusbMeterFinder(*driver, pipe).AddToMatchList(kMeterId, "");
    EXPECT_FALSE(refusedPipe.added);
    EXPECT_NE(refusedPipe.error.find("is not a regular file"), std::string::npos)
        << refusedPipe.error;

    const MatchListAddition refusedFolder =
        LibusbMeterFinder(*driver, folder.Path("")).AddToMatchList(kMeterId, "");
    EXPECT_FALSE(refusedFolder.added);
    EXPECT_NE(refusedFolder.error.find("folder"), std::string::npos) << refusedFolder.error;

    const MatchListAddition noHome = LibusbMeterFinder(*driver, "").AddToMatchList(kMeterId, "");
    EXPECT_FALSE(noHome.added);
    EXPECT_NE(noHome.error.find("HOME"), std::string::npos);
    // Nothing failed was taken into the list in use.
    EXPECT_EQ(driver->GetMatchList(), std::vector<UsbId>{kRefusedId});
}

} // namespace
} // namespace zelmora
