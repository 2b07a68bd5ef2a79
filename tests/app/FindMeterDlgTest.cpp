// Find my meter in the Qt window, on real libusb with emulated devices: the
// no-meter line, the list box of every device, adding the meter and the
// one the user may not open, the commands on the clipboard, and the meter
// listed in the window afterwards.

#include "ModalHelper.h"
#include "UsbFsEmulation.h"
#include "app/QtDialog.h"
#include "app/ZelmoraApp.h"
#include "app/ZelmoraDlg.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/LibusbDriver.h"
#include "usb/driver/LibusbMeterFinder.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace zelmora {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "app_find_meter_tests";
    static char* argv[] = {name, nullptr};
    static QApplication application(argc, argv);
    return application;
}

template <class Widget>
Widget* Find(QWidget& dialog, int id) {
    return qobject_cast<Widget*>(static_cast<CQtDialog&>(dialog).GetControl(id));
}

TEST(FindMeterDlg, TakesTheUserFromNoMeterToAListedOne) {
    App();
    UsbFsEmulation emulation;
    emulation.Add(SimulatedMeter::MakeDemo("RM", "210400102", 2), 1, 2);
    emulation.Add(
        std::make_shared<NamedDevice>(0x046d, 0xc31c, u"Example Devices", u"USB Keyboard"), 2, 3);
    emulation.Add(std::make_shared<NamedDevice>(0x1234, 0x5679, u"Acme Optics", u"Power meter 2"),
                  3, 4, false, false);
    QTemporaryDir home;
    std::string error;
    const auto driver = LibusbDriver::Create({}, &error);
    ASSERT_NE(driver, nullptr) << error;
    LibusbMeterFinder finder(*driver, home.filePath("zelmora/meters.conf").toStdString());
    CZelmoraDlg window(*driver, nullptr, {}, &finder);
    window.show();

    auto* line = Find<QLabel>(window, CZelmoraDlg::kIdNoMeter);
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(line->text().toStdString(),
              "No meter found: no USB id is on the meter list yet. Next: Help > Find my meter…");

    std::vector<std::string> outcomes;
    int rows = 0;
    bool copyEnabled = false;
    const test::ModalAnswerer answerer([&](QWidget& dialog) {
        auto* list = Find<QListWidget>(dialog, FindMeterIds::kIdDevices);
        auto* add = Find<QPushButton>(dialog, FindMeterIds::kIdAdd);
        auto* outcome = Find<QPlainTextEdit>(dialog, FindMeterIds::kIdOutcome);
        auto* copy = Find<QPushButton>(dialog, FindMeterIds::kIdCopy);
        if (list != nullptr && add != nullptr && outcome != nullptr && copy != nullptr) {
            rows = list->count();
            list->setCurrentRow(0);
            add->click();
            outcomes.push_back(outcome->toPlainText().toStdString());
            list->setCurrentRow(2);
            add->click();
            outcomes.push_back(outcome->toPlainText().toStdString());
            copyEnabled = copy->isEnabled();
            copy->click();
        }
        // Closed as the operator does; a missing control fails the test
        // instead of leaving it waiting on an open dialog.
        if (auto* close = Find<QPushButton>(dialog, DialogIds::kIdCancel)) {
            close->click();
        } else {
            dialog.close();
        }
    });
    window.GetCommand(CZelmoraDlg::kCmdFindMeter)->trigger();
    ASSERT_TRUE(answerer.Answered());

    EXPECT_EQ(rows, 3);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(copyEnabled);
    EXPECT_NE(outcomes[0].find("was added to your meter list"), std::string::npos) << outcomes[0];
    EXPECT_NE(outcomes[0].find("lists the meter 210400102"), std::string::npos) << outcomes[0];
    EXPECT_NE(outcomes[1].find(LibusbMeterFinder::UdevRule({0x1234, 0x5679})), std::string::npos)
        << outcomes[1];
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              finder.HowToGrantAccess({0x1234, 0x5679}).commands);

    auto* meters = Find<QComboBox>(window, CZelmoraDlg::kIdMeterList);
    ASSERT_EQ(meters->count(), 1);
    EXPECT_EQ(meters->currentText(), QString("210400102"));
    EXPECT_FALSE(line->isVisible());
}

// zelmora --list-usb: the same devices without a window, the user's own
// match list marking the one added there.
TEST(FindMeterDlg, ListUsbPrintsEveryDeviceWithoutAWindow) {
    UsbFsEmulation emulation;
    emulation.Add(SimulatedMeter::MakeDemo("RM", "210400102", 2), 1, 2);
    emulation.Add(std::make_shared<NamedDevice>(0x1234, 0x5679, u"Acme Optics", u"Power meter 2"),
                  3, 4, false, false);
    QTemporaryDir config;
    ASSERT_TRUE(QDir(config.path()).mkpath("zelmora"));
    std::ofstream(config.filePath("zelmora/meters.conf").toStdString()) << "1234:5679\n";
    const char* const previous = std::getenv("XDG_CONFIG_HOME");
    const std::string kept = previous != nullptr ? previous : "";
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);

    static char name[] = "zelmora";
    static char option[] = "--list-usb";
    char* argv[] = {name, option, nullptr};
    int argc = 2;
    CZelmoraApp app(argc, argv);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(app.InitInstance());
    const std::string listing = testing::internal::GetCapturedStdout();
    if (previous != nullptr) {
        ::setenv("XDG_CONFIG_HOME", kept.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }

    EXPECT_EQ(app.GetExitCode(), 0);
    EXPECT_TRUE(listing.starts_with("ID         PLACE")) << listing;
    EXPECT_NE(listing.find("\n" +
                           MatchList::FormatId({SimulatedMeter::kUsbIds.vendorId,
                                                SimulatedMeter::kUsbIds.productId}) +
                           "  1-1               -           yes"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("\n1234:5679  1-3               listed      no permission  "
                           "Acme Optics Power meter 2"),
              std::string::npos)
        << listing;
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    return zelmora::RunEmulatedTests(argc, argv);
}
