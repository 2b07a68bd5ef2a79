// The main window with simulated meters: listing, Start and Stop, the live
// read-out with its statistics and units, the collection limit, and a meter
// that disappears while it runs.

#include "WindowFixture.h"
#include "app/GraphView.h"
#include "app/WindowTimer.h"
#include "usb/driver/ReplayUsbDriver.h"

#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <chrono>
#include <map>

namespace zelmora {

using test::WindowFixture;

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject {
public:
    void Watch(QWidget* widget) {
        widget->installEventFilter(this);
        m_paints[widget] = 0;
    }
    int Paints(QWidget* widget) const { return m_paints.at(widget); }
    void Reset() {
        for (auto& [widget, paints] : m_paints) {
            paints = 0;
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            m_paints[static_cast<QWidget*>(watched)] += 1;
        }
        return false;
    }

private:
    std::map<QWidget*, int> m_paints;
};

class ZelmoraDlgMeterTest : public QObject {
    Q_OBJECT

    static constexpr int kWait = 5000;

    static std::vector<std::shared_ptr<SimulatedMeter>> ThreeFamilies() {
        return {WindowFixture::Meter("100000001", "KV50", 0.012, 1064),
                WindowFixture::Meter("100000002", "RM41", 2.4, 10600),
                WindowFixture::Meter("100000003", "ZN21", 0.35, 633)};
    }

    static int Count(const WindowFixture& fixture) { return fixture.Text(1008).toInt(); }

private slots:
    void rescanListsTheMetersAndSelectsTheFirst() {
        const auto meters = ThreeFamilies();
        WindowFixture fixture({meters[0]});
        auto* list = fixture.As<QComboBox>(1028);
        QCOMPARE(list->count(), 1);
        meters[1]->PlugInto(fixture.Driver());
        meters[2]->PlugInto(fixture.Driver());
        fixture.Click(1037);
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->itemText(0), QString("100000001"));
        QCOMPARE(list->itemText(2), QString("100000003"));
        QCOMPARE(list->currentIndex(), 0);
    }

    void startShowsReadingsStatisticsAndUnits() {
        WindowFixture fixture(ThreeFamilies());
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1020), QString("Stop"));
        QCOMPARE(fixture.Text(1057), QString("Graphic(W)"));
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 2, kWait);

        QVERIFY2(fixture.Text(1000).endsWith("mW"), qPrintable(fixture.Text(1000)));
        QVERIFY(fixture.Text(1000).startsWith("12."));
        for (const int id : {1005, 1002, 1003, 1006}) {
            QVERIFY2(fixture.Text(id).endsWith("W"), qPrintable(fixture.Text(id)));
        }
        QCOMPARE(fixture.Text(1001), QString("1064"));
        const QRegularExpression elapsed("^\\d\\d:\\d\\d:\\d\\d\\(\\d\\d\\d\\)$");
        QVERIFY2(elapsed.match(fixture.Text(1042)).hasMatch(), qPrintable(fixture.Text(1042)));

        // The graph is drawn and shown from the first sample on.
        auto* view = fixture.Window().findChild<CGraphView*>("graphView");
        QTRY_VERIFY_WITH_TIMEOUT(!view->GetImage().isNull(), kWait);
        QCOMPARE(view->GetImage().size(), fixture.Window().GetGraphRect().size());
        QCOMPARE(view->geometry(), fixture.Window().GetGraphRect());

        // μm and "% of Mean" take effect with the next sample.
        fixture.Select(1038, 1);
        fixture.Click(1004);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.Text(1001), QString("1.064"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Text(1006).endsWith("%"), kWait);

        // Stop: the button returns, the counting ends.
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1020), QString("Start"));
        const QString last = fixture.Text(1008);
        QTest::qWait(300);
        QCOMPARE(fixture.Text(1008), last);
    }

    // The timers sleep while their ticks could change nothing, and keep
    // their periods: before Start, between samples, after Stop once the
    // last samples are in. A sample wakes the refresh and then the graph;
    // a reset wakes the graph.
    void timersSleepWhileNothingCanChange() {
        WindowFixture fixture(ThreeFamilies());
        CZelmoraDlg& window = fixture.Window();
        const int refresh = CZelmoraDlg::kRefreshTimer;
        const int graph = CZelmoraDlg::kGraphTimer;
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsTimerAwake(refresh), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsTimerAwake(graph), kWait);
        QCOMPARE(window.GetTimerPeriod(refresh), 10);
        QCOMPARE(window.GetTimerPeriod(graph), 40);

        auto* view = window.findChild<CGraphView*>("graphView");
        const qint64 before = view->GetImage().cacheKey();
        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 2, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(view->GetImage().cacheKey() != before, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsTimerAwake(refresh), kWait);
        const int running = Count(fixture);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) > running + 2, kWait);

        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsTimerAwake(refresh), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsTimerAwake(graph), kWait);
        const QString last = fixture.Text(1008);
        const qint64 stopped = view->GetImage().cacheKey();
        fixture.Click(1012);
        QTRY_VERIFY_WITH_TIMEOUT(view->GetImage().cacheKey() != stopped, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsTimerAwake(graph), kWait);
        QCOMPARE(window.GetTimerPeriod(refresh), 10);
        QVERIFY(!last.isEmpty());
    }

    // A timer woken from sleep ticks again in step with its period: no
    // sooner than a whole number of periods after its last tick.
    void aWokenTimerTicksInStep() {
        using Clock = std::chrono::steady_clock;
        std::vector<Clock::time_point> ticks;
        CWindowTimer timer([&ticks] { ticks.push_back(Clock::now()); });
        timer.Start(50);
        QTRY_VERIFY_WITH_TIMEOUT(!ticks.empty(), kWait);
        timer.Sleep();
        const Clock::time_point last = ticks.back();
        QVERIFY(!timer.IsAwake());
        QCOMPARE(timer.GetPeriod(), 50);
        QTest::qWait(170);
        QCOMPARE(ticks.back(), last);

        const Clock::time_point woken = Clock::now();
        timer.Wake();
        QVERIFY(timer.IsAwake());
        QTRY_VERIFY_WITH_TIMEOUT(ticks.back() != last, kWait);
        const auto period = std::chrono::milliseconds(50);
        Clock::time_point inStep = last + period;
        while (inStep <= woken) {
            inStep += period;
        }
        // A timer may fire up to a millisecond early on its clock.
        QVERIFY(ticks.back() >= inStep - std::chrono::milliseconds(1));
        const std::size_t seen = ticks.size();
        QTRY_VERIFY_WITH_TIMEOUT(ticks.size() > seen, kWait);
        timer.Stop();
        QCOMPARE(timer.GetPeriod(), -1);
    }

    // Each sample repaints the boxes whose text changed and the graph, and
    // nothing else; once the meter stopped, the timers go on ticking and
    // repaint nothing.
    void repaintsOnlyWhatChanged() {
        // A steady power: the count and the duration change, the power,
        // the wavelength and the statistics do not.
        WindowFixture fixture({WindowFixture::Meter("100000001", "KV50", 0.012, 1064)});
        QWidget* power = fixture.Control(1000);
        QWidget* wavelength = fixture.Control(1001);
        QWidget* mean = fixture.Control(1005);
        QWidget* count = fixture.Control(1008);
        QWidget* graph = fixture.Window().findChild<CGraphView*>("graphView");
        PaintCounter counter;
        for (QWidget* widget : {power, wavelength, mean, count, graph}) {
            counter.Watch(widget);
        }
        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 3, kWait);
        const QString wavelengthText = fixture.Text(1001);
        const QString meanText = fixture.Text(1005);
        QTest::qWait(100);
        counter.Reset();
        const int before = Count(fixture);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= before + 3, kWait);
        QTest::qWait(100);
        QCOMPARE(fixture.Text(1001), wavelengthText);
        QCOMPARE(fixture.Text(1005), meanText);
        QVERIFY(counter.Paints(count) >= 3);
        QVERIFY(counter.Paints(graph) >= 3);
        QCOMPARE(counter.Paints(wavelength), 0);
        QCOMPARE(counter.Paints(mean), 0);

        fixture.Click(1020);
        QCOMPARE(fixture.Text(1020), QString("Start"));
        QTest::qWait(200);
        counter.Reset();
        QTest::qWait(300);
        for (QWidget* widget : {power, wavelength, mean, count, graph}) {
            QCOMPARE(counter.Paints(widget), 0);
        }
    }

    void graphViewShowsItsImageExactly() {
        // Every pixel different, and a size and a partial area whose edges
        // fall inside the bands the view copies in.
        QImage image(333, 257, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                image.setPixel(x, y, qRgb(x & 255, y & 255, (x * 7 + y * 13) & 255));
            }
        }
        CGraphView view;
        view.resize(image.size());
        view.SetImage(image);

        QImage whole(image.size(), QImage::Format_RGB32);
        whole.fill(Qt::white);
        view.render(&whole);
        QCOMPARE(whole, image);

        const QRect area(5, 61, 300, 131);
        QImage part(area.size(), QImage::Format_RGB32);
        part.fill(Qt::white);
        view.render(&part, QPoint(), QRegion(area));
        QCOMPARE(part, image.copy(area));
    }

    void graphTitleFollowsTheProbeFamily() {
        WindowFixture fixture(ThreeFamilies());
        fixture.Select(1028, 2); // ZN, milliwatts
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1057), QString("Graphic(mW)"));
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Text(1001) == "633", kWait);
        fixture.Click(1020);
        fixture.Select(1028, 1); // RM, watts
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1057), QString("Graphic(W)"));
        QTRY_VERIFY_WITH_TIMEOUT(
            fixture.Text(1000).endsWith("W") && !fixture.Text(1000).endsWith("mW"), kWait);
        fixture.Click(1020);
    }

    void fixedCollectionStopsAtItsSize() {
        WindowFixture fixture(ThreeFamilies());
        fixture.Enter(1011, "3");
        fixture.Click(1009);
        fixture.Click(1020);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.Text(1008), QString("3"), kWait);
        // The meter stays open and the button says Stop; the line under the
        // graph says why nothing moves.
        auto* line = fixture.As<QLabel>(1062);
        QTRY_VERIFY_WITH_TIMEOUT(line->isVisible(), kWait);
        QCOMPARE(line->text(), QString("complete: 4 of 4; Reset starts a new one"));
        QTest::qWait(400);
        QCOMPARE(fixture.Text(1008), QString("3"));
        QCOMPARE(fixture.Text(1020), QString("Stop"));
        // Continuous again: the collection restarts without a limit.
        fixture.Click(1010);
        QVERIFY(!line->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) > 4, kWait);
    }

    void resetRestartsTheCount() {
        WindowFixture fixture(ThreeFamilies());
        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 5, kWait);
        fixture.Click(1012);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) < 4, kWait);
    }

    void timeIntervalPollsAtTheInterval() {
        WindowFixture fixture(ThreeFamilies());
        fixture.Click(1013);
        fixture.Enter(1045, "0.2");
        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 2, kWait);
        // Elapsed time is counted in poll periods of 200 ms.
        QTRY_VERIFY_WITH_TIMEOUT(
            fixture.Text(1042).endsWith("(200)") || fixture.Text(1042).endsWith("(400)") ||
                fixture.Text(1042).endsWith("(600)") || fixture.Text(1042).endsWith("(800)") ||
                fixture.Text(1042).endsWith("(000)"),
            kWait);
    }

    void meterUnpluggedWhileRunning() {
        const auto meters = ThreeFamilies();
        WindowFixture fixture(meters);
        fixture.Click(1020);
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 1, kWait);
        fixture.Driver().Unplug(1);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.Text(1000), QString("Disconnected"), kWait);
        QCOMPARE(fixture.Text(1020), QString("Start"));
        // The rest of the read-out stays as it was.
        QVERIFY(!fixture.Text(1005).isEmpty());
        // Start again with the meter gone: nothing runs, and the window
        // says so instead of showing "Stop".
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1020), QString("Start"));
        auto* line = fixture.As<QLabel>(1062);
        QVERIFY(line->isVisible());
        QCOMPARE(line->text(), QString("Meter 100000001 did not start: Rescan looks for meters "
                                       "again."));
    }

    // A replayed trace that the window runs past: the line under the graph
    // says why the meter is gone, in the driver's words, and the words fit.
    void aReplayThatNoLongerMatchesSaysWhy() {
        std::string error;
        const std::unique_ptr<ReplayUsbDriver> driver =
            ReplayUsbDriver::Load(std::string(ZELMORA_TRACES_DIR) + "/plain.jsonl",
                                  ReplayUsbDriver::Pace::AsAsked, error);
        QVERIFY2(driver, error.c_str());
        CZelmoraDlg window(*driver, nullptr, {.pollSpeedUp = 10});
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto* line = qobject_cast<QLabel*>(window.GetControl(1062));
        QVERIFY(line != nullptr && !line->isVisible());
        QTest::mouseClick(window.GetControl(1020), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(line->isVisible(), kWait);
        const std::string fault = driver->Fault();
        QVERIFY(fault.starts_with("replay: line "));
        QCOMPARE(line->text(), QString::fromStdString(fault));
        QVERIFY2(line->sizeHint().width() <= line->width(),
                 qPrintable(QString("%1 > %2").arg(line->sizeHint().width()).arg(line->width())));
        auto* button = qobject_cast<QAbstractButton*>(window.GetControl(1020));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("Start"), kWait);
    }

    // While a meter runs the list shows it and cannot change; a Rescan that
    // closes it brings the button back to "Start" and says why under the
    // graph.
    void rescanWhileRunningSaysNothingRuns() {
        WindowFixture fixture(ThreeFamilies());
        auto* list = fixture.As<QComboBox>(1028);
        fixture.Click(1020);
        QVERIFY(!list->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(Count(fixture) >= 1, kWait);
        fixture.Click(1037);
        QCOMPARE(fixture.Text(1020), QString("Start"));
        QVERIFY(list->isEnabled());
        auto* line = fixture.As<QLabel>(1062);
        QVERIFY(line->isVisible());
        QCOMPARE(line->text(), QString("Rescan closed meter 100000001: nothing is measured."));
        // The longest of its texts fits the line.
        line->setText("Rescan closed meter 100000001: nothing is measured, logging is off.");
        QVERIFY2(line->sizeHint().width() <= line->width(),
                 qPrintable(QString("%1 > %2").arg(line->sizeHint().width()).arg(line->width())));
        QTest::qWait(100);
        QVERIFY(fixture.Text(1000) != "Disconnected");
        QCOMPARE(list->count(), 3);
        fixture.Click(1020);
        QCOMPARE(fixture.Text(1020), QString("Stop"));
        QVERIFY(!line->isVisible());
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::ZelmoraDlgMeterTest)
#include "ZelmoraDlgMeterTest.moc"
