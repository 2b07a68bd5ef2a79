// The bench view on the offscreen platform, beside the main window, with
// the meters shared as the program shares them: every meter gets a live
// tile, the main window's meter is joined rather than opened again, and
// the main window's log is the same as without the view.

#include "app/BenchWindow.h"

#include "LogFixture.h"
#include "WindowFixture.h"
#include "share/ShareHub.h"

#include <QtTest>
#include <string>
#include <vector>

namespace zelmora {

using test::CountingMeter;
using test::Prompter;
using test::ReadLog;
using test::TypePath;
using test::WindowFixture;

class BenchWindowTest : public QObject {
    Q_OBJECT

    static constexpr int kWait = 10000;
    static constexpr CDeviceLink::TestTuning kFast{.pollSpeedUp = 10};
    // A Fixed collection of this many samples and one more.
    static constexpr int kSampleSize = 40;

    QTemporaryDir m_folder;

    static std::vector<std::shared_ptr<SimulatedMeter>> ThreeMeters() {
        return {CountingMeter(), WindowFixture::Meter("100000002", "RM41", 2.5),
                WindowFixture::Meter("100000003", "ZN10", 0.004)};
    }

    static bool AllLive(CBenchWindow& bench) {
        const auto& tiles = bench.View().Tiles();
        return tiles.size() == 3 && std::all_of(tiles.begin(), tiles.end(), [](const auto& tile) {
                   return !tile.Describe().isReason;
               });
    }

    // A Fixed collection of the counting meter logged by the main window,
    // with or without the bench view open while it runs; the log's lines.
    void LogARun(const QString& name, bool withBench, std::vector<std::string>& lines) {
        WindowFixture fixture(ThreeMeters(), kFast, WindowFixture::SharedHub(kFast));
        Prompter prompter(fixture.Window());
        const QString path = m_folder.filePath(name);
        TypePath(fixture, path);
        fixture.Click(1009);
        fixture.Enter(1011, QString::number(kSampleSize));
        fixture.Click(1017);
        fixture.Click(1020);
        if (withBench) {
            QTRY_VERIFY_WITH_TIMEOUT(fixture.Text(1008).toInt() >= 3, kWait);
            fixture.Window().OpenBenchView();
            CBenchWindow* bench = fixture.Window().GetBenchView();
            QVERIFY(bench != nullptr);
            QTRY_VERIFY_WITH_TIMEOUT(AllLive(*bench), kWait);
            // One opening per meter: the main window's meter is joined.
            QCOMPARE(fixture.Driver().OpenHandleCount(), std::size_t(3));
            QCOMPARE_GE(bench->View().Tiles()[1].Describe().value.size(), 1u);
        }
        QTRY_COMPARE_WITH_TIMEOUT(fixture.Text(1008).toInt(), kSampleSize, kWait);
        if (withBench) {
            // The main window's collection is complete; the view's meters
            // run on.
            CBenchWindow* bench = fixture.Window().GetBenchView();
            const auto before = bench->View().Tiles()[0].Trend().size();
            QTRY_VERIFY_WITH_TIMEOUT(bench->View().Tiles()[0].Trend().size() > before + 5, kWait);
        }
        fixture.Click(1017);
        QVERIFY(prompter.messages.empty());
        const test::LogContents log = ReadLog(path);
        QVERIFY(log.wellEnded);
        lines = log.lines;
    }

private slots:
    void initTestCase() { QVERIFY(m_folder.isValid()); }

    void theMainWindowsLogIsTheSameWithTheBenchView() {
        std::vector<std::string> alone;
        std::vector<std::string> beside;
        LogARun("alone.csv", false, alone);
        if (QTest::currentTestFailed()) {
            return;
        }
        LogARun("beside.csv", true, beside);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(alone.size(), std::size_t(2 + kSampleSize + 1));
        QCOMPARE(beside.size(), alone.size());
        // Line 1 is the date and time the log was opened; every other byte
        // is the same.
        for (std::size_t i = 0; i < alone.size(); ++i) {
            if (i != 1) {
                QCOMPARE(beside[i], alone[i]);
            }
        }
    }

    void everyMeterHasALiveTileWorkedByKeys() {
        WindowFixture fixture(ThreeMeters(), kFast, WindowFixture::SharedHub(kFast));
        // Opened from the Help menu.
        QCOMPARE(fixture.Window().GetBenchView(), nullptr);
        fixture.Window().GetCommand(CZelmoraDlg::kCmdBenchView)->trigger();
        QVERIFY(fixture.Window().GetBenchView() != nullptr);
        CBenchWindow& bench = *fixture.Window().GetBenchView();
        QVERIFY(QTest::qWaitForWindowExposed(&bench));
        QTRY_VERIFY_WITH_TIMEOUT(AllLive(bench), kWait);
        const auto& tiles = bench.View().Tiles();
        QCOMPARE(tiles[0].MeterId(), std::string("100000001"));
        QCOMPARE(tiles[1].Describe().value + tiles[1].Describe().unit, std::string("2.500W"));
        QCOMPARE(tiles[2].Describe().value + tiles[2].Describe().unit, std::string("4.00uW"));

        QTest::keyClick(&bench, Qt::Key_Tab);
        QTest::keyClick(&bench, Qt::Key_Tab);
        QCOMPARE(bench.View().Focus(), std::size_t(2));
        QTest::keyClick(&bench, Qt::Key_M);
        QCOMPARE(tiles[2].Mode(), BenchMode::Dbm);
        QTest::keyClick(&bench, Qt::Key_R);
        QCOMPARE(tiles[2].Mode(), BenchMode::Relative);
        QTest::keyClick(&bench, Qt::Key_Z);
        QCOMPARE(tiles[2].Zero(), CBenchTile::ZeroState::Taking);
        QTRY_COMPARE_WITH_TIMEOUT(tiles[2].Zero(), CBenchTile::ZeroState::Active, kWait);
        QCOMPARE(tiles[0].Zero(), CBenchTile::ZeroState::Off);

        // The view follows the window's size, drawn whole.
        bench.resize(500, 900);
        QTRY_COMPARE_WITH_TIMEOUT(bench.Image().size(), QSize(500, 900), kWait);
        QCOMPARE(bench.View().Columns(), 1);
    }

    void aMeterUnpluggedAndBack() {
        WindowFixture fixture({CountingMeter()}, kFast, WindowFixture::SharedHub(kFast));
        const auto plugged =
            WindowFixture::Meter("100000003", "ZN10", 0.004)->PlugInto(fixture.Driver());
        fixture.Window().OpenBenchView();
        CBenchWindow& bench = *fixture.Window().GetBenchView();
        QTRY_VERIFY_WITH_TIMEOUT(bench.View().Tiles().size() == 2 &&
                                     !bench.View().Tiles()[1].Describe().isReason,
                                 kWait);
        QVERIFY(fixture.Driver().Unplug(plugged));
        QTRY_COMPARE_WITH_TIMEOUT(bench.View().Tiles()[1].Describe().value,
                                  std::string("Disconnected"), kWait);
        WindowFixture::Meter("100000003", "ZN10", 0.004)->PlugInto(fixture.Driver());
        QTRY_COMPARE_WITH_TIMEOUT(bench.View().Tiles()[1].Describe().unit, std::string("uW"),
                                  kWait);
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::BenchWindowTest)
#include "BenchWindowTest.moc"
