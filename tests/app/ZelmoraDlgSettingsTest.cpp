// The collection settings of the main window: the number boxes with their
// accepted and restored values, the interval units and the total time, the
// collection modes with timer 0, and the graph limits dialog.

#include "ModalHelper.h"
#include "WindowFixture.h"
#include "app/SetPowerRegionDlg.h"

#include <QAction>

namespace zelmora {

using test::WindowFixture;

class ZelmoraDlgSettingsTest : public QObject {
    Q_OBJECT

    enum : int { kAveraging = 1007, kSampleSize = 1011, kPointCount = 1043, kInterval = 1045 };
    static constexpr int kUnit = 1046;
    static constexpr int kTotal = 1015;

    static int RefreshPeriod(WindowFixture& fixture) {
        return fixture.Window().GetTimerPeriod(CZelmoraDlg::kRefreshTimer);
    }

private slots:
    // Each row: box, typed text, the text the box shows after the commit,
    // then a rejected entry that must bring back the kept value.
    void commitKeepsOrRestores_data() {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("kept");
        QTest::newRow("averaging 20000") << int(kAveraging) << "20000"
                                         << "20000"
                                         << "20000";
        QTest::newRow("averaging 20001") << int(kAveraging) << "20001"
                                         << "1"
                                         << "1";
        QTest::newRow("averaging 0") << int(kAveraging) << "0"
                                     << "1"
                                     << "1";
        QTest::newRow("averaging overflow") << int(kAveraging) << "99999999999"
                                            << "1"
                                            << "1";
        QTest::newRow("averaging 1e9") << int(kAveraging) << "1e9"
                                       << "1"
                                       << "1";
        QTest::newRow("sample size 12abc") << int(kSampleSize) << "12abc"
                                           << "12"
                                           << "12";
        QTest::newRow("sample size 20000") << int(kSampleSize) << "20000"
                                           << "20000"
                                           << "20000";
        QTest::newRow("sample size 20001") << int(kSampleSize) << "20001"
                                           << "200"
                                           << "200";
        QTest::newRow("sample size 50000") << int(kSampleSize) << "50000"
                                           << "200"
                                           << "200";
        QTest::newRow("sample size 0") << int(kSampleSize) << "0"
                                       << "200"
                                       << "200";
        QTest::newRow("sample size -5") << int(kSampleSize) << "-5"
                                        << "200"
                                        << "200";
        QTest::newRow("sample size blank") << int(kSampleSize) << ""
                                           << "200"
                                           << "200";
        QTest::newRow("sample size overflow") << int(kSampleSize) << "99999999999"
                                              << "200"
                                              << "200";
        QTest::newRow("point count 0") << int(kPointCount) << "0"
                                       << "0"
                                       << "0";
        QTest::newRow("point count -1") << int(kPointCount) << "-1"
                                        << "2000"
                                        << "2000";
        QTest::newRow("point count leading blanks") << int(kPointCount) << "  35"
                                                    << "35"
                                                    << "35";
        QTest::newRow("point count 1e3") << int(kPointCount) << "1e3"
                                         << "1"
                                         << "1";
    }

    void commitKeepsOrRestores() {
        QFETCH(int, box);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(QString, kept);
        WindowFixture fixture;
        fixture.Click(1013); // shows the point count box
        fixture.Enter(box, typed);
        QCOMPARE(fixture.Text(box), shown);
        // A rejected entry writes the kept value back.
        fixture.Type(box, "x");
        fixture.ClickBackground();
        QCOMPARE(fixture.Text(box), kept);
    }

    void intervalInEachUnit() {
        WindowFixture fixture;
        fixture.Click(1013);
        QCOMPARE(RefreshPeriod(fixture), 80);

        // sec: 0.05 is 50 ms, below the limit; timer 0 restarts all the same.
        fixture.Enter(kInterval, "0.05");
        QCOMPARE(fixture.Text(kInterval), QString("0.1"));
        QCOMPARE(RefreshPeriod(fixture), 80);
        fixture.Enter(kInterval, "0.1");
        QCOMPARE(fixture.Text(kInterval), QString("0.1"));
        fixture.Enter(kInterval, "1.5");
        QCOMPARE(fixture.Text(kInterval), QString("1.5"));
        QCOMPARE(RefreshPeriod(fixture), 1200);
        QCOMPARE(fixture.Text(kTotal), QString("00:50:00(000)"));
        // The box says what runs: a comma ends the number (2 s, whatever the
        // locale), and a part of a millisecond is cut off.
        fixture.Enter(kInterval, "2,5");
        QCOMPARE(fixture.Text(kInterval), QString("2.0"));
        QCOMPARE(RefreshPeriod(fixture), 1600);
        fixture.Enter(kInterval, "0.2505");
        QCOMPARE(fixture.Text(kInterval), QString("0.25"));
        QCOMPARE(RefreshPeriod(fixture), 200);
        fixture.Enter(kInterval, "1.5");

        // min: 2.5 is 150000 ms and stays as typed; in sec it reads 150.0.
        fixture.Select(kUnit, 1);
        QCOMPARE(fixture.Text(kInterval), QString("0.03"));
        fixture.Enter(kInterval, "2.5");
        QCOMPARE(fixture.Text(kInterval), QString("2.5"));
        QCOMPARE(RefreshPeriod(fixture), 120000);
        fixture.Select(kUnit, 0);
        QCOMPARE(fixture.Text(kInterval), QString("150.0"));

        // hr: 1 hour with 2000 points; 500 hours is the largest interval.
        fixture.Select(kUnit, 2);
        QCOMPARE(fixture.Text(kInterval), QString("0.042"));
        fixture.Enter(kInterval, "1");
        QCOMPARE(fixture.Text(kTotal), QString("2000:00:00(000)"));
        fixture.Enter(kInterval, "500");
        QCOMPARE(fixture.Text(kInterval), QString("500"));
        QCOMPARE(RefreshPeriod(fixture), 1440000000);
        fixture.Enter(kInterval, "500.001");
        QCOMPARE(fixture.Text(kInterval), QString("500.000"));
        // Far beyond an int, and not a number at all: the kept value.
        fixture.Enter(kInterval, "1e300");
        QCOMPARE(fixture.Text(kInterval), QString("500.000"));
        fixture.Enter(kInterval, "-1");
        QCOMPARE(fixture.Text(kInterval), QString("500.000"));
        fixture.Enter(kInterval, ".");
        QCOMPARE(fixture.Text(kInterval), QString("500.000"));
        QCOMPARE(RefreshPeriod(fixture), 1440000000);
    }

    void totalTimeOfLargeCollections() {
        WindowFixture fixture;
        fixture.Click(1013);
        fixture.Enter(kPointCount, "0");
        QCOMPARE(fixture.Text(kTotal), QString("00:00:00(000)"));
        fixture.Enter(kPointCount, "7");
        fixture.Enter(kInterval, "0.1234");
        QCOMPARE(fixture.Text(kInterval), QString("0.123"));
        QCOMPARE(fixture.Text(kTotal), QString("00:00:00(861)"));
        // The largest point count times the largest interval: hours are
        // neither wrapped nor cut.
        fixture.Select(kUnit, 2);
        fixture.Enter(kInterval, "500");
        fixture.Enter(kPointCount, "2147483647");
        QCOMPARE(fixture.Text(kTotal), QString("1073741823500:00:00(000)"));
    }

    void timeIntervalAndStreaming() {
        WindowFixture fixture;
        const int group[] = {1045, 1046, 1015, 1044, 1050, 1043, 1048, 1049};
        QCOMPARE(RefreshPeriod(fixture), 10);
        fixture.Click(1013);
        QVERIFY(fixture.IsChecked(1013));
        QVERIFY(!fixture.IsChecked(1014));
        for (const int id : group) {
            QVERIFY(fixture.Control(id)->isVisible());
        }
        fixture.Click(1014);
        QVERIFY(fixture.IsChecked(1014));
        QVERIFY(!fixture.IsChecked(1013));
        for (const int id : group) {
            QVERIFY(fixture.Control(id)->isHidden());
        }
        QCOMPARE(RefreshPeriod(fixture), 80);
        // The two radio pairs do not affect each other.
        fixture.Click(1009);
        QVERIFY(fixture.IsChecked(1009));
        QVERIFY(!fixture.IsChecked(1010));
        QVERIFY(fixture.IsChecked(1014));
        fixture.Click(1010);
        QVERIFY(fixture.IsChecked(1010));
        QVERIFY(!fixture.IsChecked(1009));
    }

    void setPowerRegionFromTheToolbar() {
        WindowFixture fixture;
        QAction* command = fixture.Window().GetCommand(CZelmoraDlg::kCmdSetPowerRegion);
        fixture.Click(1029); // Autoscale off enables the button
        QVERIFY(command->isEnabled());

        auto run = [&](const QStringList& typed, bool sure) {
            QStringList shown;
            const test::ModalAnswerer answerer([&](QWidget& modal) {
                auto& dialog = static_cast<CSetPowerRegionDlg&>(modal);
                const int ids[] = {1054, 1055, 1056, 1057};
                for (int i = 0; i < 4; ++i) {
                    auto* edit = qobject_cast<QLineEdit*>(dialog.GetControl(ids[i]));
                    shown << edit->text();
                    if (!typed.isEmpty()) {
                        edit->setText(typed[i]);
                    }
                }
                QTest::mouseClick(dialog.GetControl(sure ? 1 : 2), Qt::LeftButton);
            });
            command->trigger();
            return shown;
        };
        QCOMPARE(run({}, false), (QStringList{"0.0000", "0.0010", "0", "200"}));
        QCOMPARE(run({"0.5", "2", "10", "90"}, true),
                 (QStringList{"0.0000", "0.0010", "0", "200"}));
        QCOMPARE(run({"7", "8", "1", "2"}, false), (QStringList{"0.5000", "2.0000", "10", "90"}));
        QCOMPARE(run({}, false), (QStringList{"0.5000", "2.0000", "10", "90"}));
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::ZelmoraDlgSettingsTest)
#include "ZelmoraDlgSettingsTest.moc"
