// Help > Save a diagnostic report… in the window logic: where it asks to
// save, what it writes, a write that fails, and the USB listing it holds
// being the one Find my meter shows.

#include "FakeHost.h"
#include "frontend/DiagnosticReport.h"
#include "support/ListedUsbDevices.h"
#include "support/TempFolder.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "window/FindMeterDlgLogic.h"
#include "window/ZelmoraDlgLogic.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>

namespace zelmora {
namespace {

using test::FakeDialogHost;
using test::FakeWindowHost;
using test::TempFolder;
using Ids = ZelmoraDlgIds;

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::vector<UsbDeviceInfo> ThreeDevices() {
    return {
        {.id = {0x1d6b, 0x0002}, .bus = 1, .address = 1},
        {.id = {0x046d, 0xc31c},
         .manufacturer = "Example Devices",
         .product = "USB Keyboard",
         .bus = 1,
         .ports = "2",
         .address = 3},
        {.id = {0x1234, 0x5678},
         .manufacturer = "Acme Optics",
         .product = "Power meter",
         .bus = 1,
         .ports = "3.1",
         .address = 4,
         .listed = true,
         .access = DeviceAccess::NoPermission},
    };
}

struct ReportWindow {
    ReportWindow() {
        finder.devices = ThreeDevices();
        logic = std::make_unique<CZelmoraDlgLogic>(driver, host, host);
        logic->SetMeterFinder(&finder);
        logic->SetReportSource({[this](const CZelmoraDlgLogic::ReportSettings& settings) {
                                    givenSettings = settings;
                                    return BuildWindowReport("zelmora", "1.2.3", {}, &finder,
                                                             settings);
                                },
                                [] { return std::string("home/zelmora-report-1.txt"); }});
        logic->OnInitDialog();
    }
    ~ReportWindow() { logic->OnClose(); }

    VirtualUsbDriver driver;
    test::ListedUsbDevices finder;
    FakeWindowHost host;
    std::unique_ptr<CZelmoraDlgLogic> logic;
    CZelmoraDlgLogic::ReportSettings givenSettings;
};

TEST(SaveReportTest, HelpSavesTheReportWhereTheOperatorChose) {
    TempFolder folder;
    ReportWindow window;
    window.host.chosenFile = folder.Path("report.txt");
    window.logic->OnCommand(Ids::kCmdSaveReport);

    ASSERT_EQ(window.host.saveRequests.size(), 1u);
    const SaveFileRequest& request = window.host.saveRequests[0];
    EXPECT_EQ(request.title, "Save a diagnostic report");
    EXPECT_EQ(request.initialPath, "home/zelmora-report-1.txt");
    EXPECT_EQ(request.defaultExtension, "txt");
    EXPECT_TRUE(window.host.messageBoxes.empty());

    const std::string report = ReadText(folder.Path("report.txt"));
    EXPECT_TRUE(report.starts_with("Zelmora diagnostic report\n")) << report;
    EXPECT_NE(report.find("\nWindow settings\n"), std::string::npos);
    // The window's settings as it keeps them.
    std::map<std::string, std::string> settings(window.givenSettings.begin(),
                                                window.givenSettings.end());
    EXPECT_EQ(settings["averaging"], "1");
    EXPECT_EQ(settings["graph points"], "2000");
    EXPECT_EQ(settings["measuring"], "no");
    EXPECT_EQ(settings["log file"], window.host.GetText(Ids::kIdLogPath));
    EXPECT_NE(report.find("\ngraph points: 2000\n"), std::string::npos);

    // The listing is Find my meter's, line for line.
    CFindMeterDlgLogic find(window.finder, nullptr);
    FakeDialogHost dialog(find.GetResource());
    find.OnInitDialog(dialog);
    std::string listing;
    for (const std::string& entry : dialog.At(FindMeterIds::kIdDevices).entries) {
        listing += entry + "\n";
    }
    ASSERT_EQ(dialog.At(FindMeterIds::kIdDevices).entries.size(), 3u);
    EXPECT_NE(report.find("Find my meter lists them)\n------------------------------------------"
                          "------\n" +
                          listing + "\n"),
              std::string::npos)
        << report;
}

TEST(SaveReportTest, AFailedWriteIsToldAndACancelWritesNothing) {
    TempFolder folder;
    ReportWindow window;
    window.host.chosenFile = std::nullopt;
    window.logic->OnCommand(Ids::kCmdSaveReport);
    EXPECT_EQ(window.host.saveRequests.size(), 1u);
    EXPECT_TRUE(window.host.messageBoxes.empty());
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));

    const std::string path = folder.Path("no-such-folder/report.txt");
    window.host.chosenFile = path;
    window.logic->OnCommand(Ids::kCmdSaveReport);
    ASSERT_EQ(window.host.messageBoxes.size(), 1u);
    EXPECT_TRUE(window.host.messageBoxes[0].starts_with(
        "The diagnostic report could not be saved:\n" + path + "\n\n"))
        << window.host.messageBoxes[0];
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));

    // A file already there stays whole when the new one cannot replace it.
    std::filesystem::create_directory(folder.Path("taken"));
    window.host.chosenFile = folder.Path("taken");
    window.logic->OnCommand(Ids::kCmdSaveReport);
    EXPECT_EQ(window.host.messageBoxes.size(), 2u);
    EXPECT_TRUE(std::filesystem::is_directory(folder.Path("taken")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);
}

} // namespace
} // namespace zelmora
