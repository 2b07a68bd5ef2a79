// Minutes of logging while the window is kept busy: the meter polls fifty
// times faster than its nominal 100 ms, and the test holds the window's
// thread for long stretches, opens a modal dialog and switches the display
// as an operator might, between short spells of event processing. Every
// sample must reach the file once, whole, in order.

#include "LogFixture.h"
#include "ModalHelper.h"

#include <QAction>
#include <chrono>
#include <thread>

namespace zelmora {

using test::CountingMeter;
using test::ParseRecord;
using test::PowerOfSample;
using test::Record;
using test::WindowFixture;

class ZelmoraDlgLogSoakTest : public QObject {
    Q_OBJECT

    // Five minutes of samples at the nominal 100 ms.
    static constexpr int kSamples = 3000;

private slots:
    void everySampleOfMinutesOfLoggingLandsOnceWhileTheWindowIsBusy() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        WindowFixture fixture({CountingMeter()}, {.pollSpeedUp = 50});
        test::Prompter prompter(fixture.Window());
        const QString path = folder.filePath("soak.csv");
        test::TypePath(fixture, path);
        fixture.Click(1020);
        fixture.Click(1017);
        QCOMPARE(fixture.Text(1017), QString("Off"));

        const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        for (int round = 0; fixture.Text(1008).toInt() < kSamples; ++round) {
            QVERIFY2(std::chrono::steady_clock::now() < limit, "the meter stopped sampling");
            switch (round % 4) {
            case 0:
                // Busy: a long computation or a slow drawing.
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                break;
            case 1: {
                // A modal dialog with its own event loop.
                test::ModalAnswerer closeIt([](QWidget& modal) { modal.close(); });
                fixture.Window().GetCommand(CZelmoraDlg::kCmdAbout)->trigger();
                break;
            }
            case 2:
                fixture.Click(1004); // "% of Mean"
                fixture.Window().repaint();
                break;
            default:
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                break;
            }
            QTest::qWait(20);
        }
        fixture.Click(1017);
        fixture.Click(1020);
        QVERIFY(prompter.messages.empty());
        QVERIFY(fixture.Window().findChild<QLabel*>("lostSamples")->isHidden());

        const test::LogContents log = test::ReadLog(path);
        QVERIFY(log.wellEnded);
        QCOMPARE(log.lines[0], std::string("100000001"));
        QVERIFY(log.lines.size() >= 2 + kSamples / 2);
        long long next = -1;
        for (std::size_t i = 2; i < log.lines.size(); ++i) {
            const std::optional<Record> record = ParseRecord(log.lines[i]);
            QVERIFY2(record, log.lines[i].c_str());
            const long long count = std::stoll(record->x);
            if (next >= 0) {
                QCOMPARE(count, next);
            }
            next = count + 1;
            QCOMPARE(record->power, PowerOfSample(count));
        }
        QVERIFY(next >= kSamples);
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::ZelmoraDlgLogSoakTest)
#include "ZelmoraDlgLogSoakTest.moc"
