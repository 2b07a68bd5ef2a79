// Renders a PNG of the main window with simulated meters streaming, for the
// README:  zelmora_screenshot <output.png> [seconds] [--bench]
// With --bench the picture is of the bench view, opened beside the window.
// Runs on any Qt platform (scripts/screenshot.sh uses a virtual X server).

#include "app/BenchWindow.h"
#include "app/ZelmoraApp.h"
#include "app/ZelmoraDlg.h"
#include "frontend/AppOptions.h"
#include "usb/driver/UsbDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication::setApplicationName(QStringLiteral("Zelmora"));
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() < 2) {
        std::fputs("usage: zelmora_screenshot <output.png> [seconds] [--bench]\n", stderr);
        return 2;
    }
    const QString output = arguments[1];
    const int seconds = arguments.size() > 2 ? arguments[2].toInt() : 6;
    const bool bench = arguments.contains(QStringLiteral("--bench"));

    zelmora::AppOptions options;
    options.simulatedMeters = 3;
    const auto setup = zelmora::CZelmoraApp::CreateDriver(options);
    zelmora::CZelmoraDlg window(*setup.driver, nullptr, {}, setup.finder.get());
    window.show();

    int status = 1;
    QTimer::singleShot(500, &window, [&window, bench] {
        static_cast<QAbstractButton*>(window.GetControl(zelmora::CZelmoraDlg::kIdStartStop))
            ->click();
        if (bench) {
            window.OpenBenchView();
            window.GetBenchView()->resize(1200, 420);
        }
    });
    QTimer::singleShot(500 + seconds * 1000, &window, [&] {
        QWidget* shown = bench ? static_cast<QWidget*>(window.GetBenchView()) : &window;
        if (shown->grab().save(output)) {
            status = 0;
        } else {
            std::fprintf(stderr, "zelmora_screenshot: cannot write %s\n", qPrintable(output));
        }
        window.done(0);
    });
    window.exec();
    return status;
}
