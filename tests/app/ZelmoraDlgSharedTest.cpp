// The window on a meter that another process's window owns, through the Qt
// host: two windows, each with a hub of its own as two processes have, on
// the same meter id. The attached one shows the same boxes and statistics
// and writes the same log records as the owner's for the same samples.

#include "LogFixture.h"

#include <QTemporaryDir>
#include <chrono>

namespace zelmora {

using test::CountingMeter;
using test::Prompter;
using test::ReadLog;
using test::TypePath;
using test::WindowFixture;

class ZelmoraDlgSharedTest : public QObject {
    Q_OBJECT

    static constexpr int kWait = 20000;
    static constexpr CDeviceLink::TestTuning kFast{.pollSpeedUp = 10};

    // Every box the statistics and the last sample show.
    static QStringList Boxes(const WindowFixture& fixture) {
        QStringList texts;
        for (const int id : {1000, 1002, 1003, 1004, 1005, 1006, 1008}) {
            texts << fixture.Text(id);
        }
        return texts;
    }

    // Once the meter gives no more samples: both windows have taken the
    // last one the owner got (the power box shows it; the ramp never gives
    // the same power twice) and it stays so.
    static bool BothTookTheLastSample(const WindowFixture& owner, const WindowFixture& attached) {
        auto state = [&] {
            return QStringList{owner.Text(1000), attached.Text(1000), owner.Text(1008),
                               attached.Text(1008)};
        };
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
        while (std::chrono::steady_clock::now() < until) {
            const QStringList before = state();
            // Samples in flight when the meter went quiet come in meanwhile.
            QTest::qWait(300);
            if (state() == before && !before[0].isEmpty() && before[0] == before[1]) {
                return true;
            }
        }
        return false;
    }

private slots:
    void anAttachedWindowShowsAndLogsWhatTheOwnersDoes() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const auto ownersMeter = CountingMeter();
        const auto attachedsMeter = CountingMeter();
        WindowFixture owner({ownersMeter}, kFast, WindowFixture::SharedHub(kFast));
        WindowFixture attached({attachedsMeter}, kFast, WindowFixture::SharedHub(kFast));
        QVERIFY(owner.IsActive());
        Prompter ownerPrompts(owner.Window());
        Prompter attachedPrompts(attached.Window());
        TypePath(owner, folder.filePath("owner.csv"));
        TypePath(attached, folder.filePath("attached.csv"));

        owner.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(owner.Text(1008).toInt() >= 3, kWait);
        attached.Click(1020);
        QCOMPARE(attached.Text(1020), QString("Stop"));
        QCOMPARE(attached.Text(1057), QString("Graphic(W)"));
        QTRY_VERIFY_WITH_TIMEOUT(attached.Text(1008).toInt() >= 3, kWait);

        // The meter holds its samples back while both start afresh and log.
        ownersMeter->SetMeterFaults({.sampleReplyLength = 2});
        QVERIFY(BothTookTheLastSample(owner, attached));
        owner.Click(1012);
        attached.Click(1012);
        owner.Click(1017);
        attached.Click(1017);
        ownersMeter->SetMeterFaults({});
        QTRY_VERIFY_WITH_TIMEOUT(attached.Text(1008).toInt() >= 40, kWait);
        ownersMeter->SetMeterFaults({.sampleReplyLength = 2});
        QVERIFY(BothTookTheLastSample(owner, attached));
        owner.Click(1017);
        attached.Click(1017);

        QCOMPARE(Boxes(attached), Boxes(owner));
        QVERIFY(attached.Text(1008).toInt() >= 40);
        QVERIFY2(!attached.Control(1060)->isVisible(), "nothing lost");
        QCOMPARE(attachedsMeter->GetCounters().sampleRequests, 0u);
        QVERIFY(ownerPrompts.messages.empty());
        QVERIFY(attachedPrompts.messages.empty());

        // The same records: the header's first line and every sample's.
        const test::LogContents owned = ReadLog(folder.filePath("owner.csv"));
        const test::LogContents watched = ReadLog(folder.filePath("attached.csv"));
        QVERIFY(owned.wellEnded && watched.wellEnded);
        QVERIFY(watched.lines.size() >= 42);
        QCOMPARE(watched.lines.size(), owned.lines.size());
        QCOMPARE(watched.lines[0], owned.lines[0]);
        for (std::size_t i = 2; i < owned.lines.size(); ++i) {
            QCOMPARE(watched.lines[i], owned.lines[i]);
        }
        attached.Click(1020);
        owner.Click(1020);
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::ZelmoraDlgSharedTest)
#include "ZelmoraDlgSharedTest.moc"
