// The hand-over between the timer's thread and the window's thread, and
// releases racing a tick. Meant to run under ThreadSanitizer too.

#include "meter/DeviceLink.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace zelmora {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool Eventually(const std::function<bool()>& condition, milliseconds limit = milliseconds(5000)) {
    const auto until = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// Ticks as fast as it can from a second thread, beside the link's own
// timer, so that a short test sees thousands of samples.
class Hammer {
public:
    explicit Hammer(CDeviceLink& link)
        : m_thread([this, &link] {
              while (!m_done) {
                  CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(&link), 0, 0);
                  std::this_thread::yield();
              }
          }) {}
    ~Hammer() {
        m_done = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// A link started on a meter whose power rises steadily, polled every 100 ms
// by its own timer.
struct RampingMeterLink {
    RampingMeterLink() {
        meter->PlugInto(driver);
        link.SetPollPeriod(100);
        link.Rescan();
        link.Start("100000001");
    }

    VirtualUsbDriver driver;
    std::shared_ptr<SimulatedMeter> meter = std::make_shared<SimulatedMeter>(
        SimulatedMeter::Config{.meterId = "100000001",
                               .probeModel = "KV50",
                               .signal = SignalModel::Ramped(1.0, 4.5, 2000000)});
    CDeviceLink link{driver};
};

// What must hold within one sample whatever happens around it: the power
// rises steadily, so the newest sample is also the maximum; the count and
// the nominal duration come from the same stamp.
std::string Inconsistency(const MeterSample& s, int periodMs) {
    if (s.powerText != s.maxText) {
        return "power " + s.powerText + " with maximum " + s.maxText;
    }
    if (!s.countText.empty()) {
        const auto count = ScanInt(s.countText);
        if (!count || s.durationText != FormatElapsed((*count + 1ull) * periodMs)) {
            return "count " + s.countText + " with duration " + s.durationText;
        }
    }
    return {};
}

TEST(DeviceLinkConcurrencyTest, ReadersSeeWholeSamplesWhileTicksResetsAndSettingsRace) {
    RampingMeterLink running;
    CDeviceLink& link = running.link;
    ASSERT_TRUE(link.IsRunning());

    int samples = 0;
    std::string firstProblem;
    {
        Hammer hammer(link);
        // 1.5 s of racing, longer on a loaded machine until enough samples
        // have come to say the race was run at all.
        const auto until = Clock::now() + milliseconds(1500);
        const auto latest = Clock::now() + milliseconds(20000);
        for (int i = 0; Clock::now() < until || (samples <= 20 && Clock::now() < latest); ++i) {
            if (link.HasNewSample()) {
                const MeterSample sample = link.TakeSample();
                ++samples;
                if (firstProblem.empty()) {
                    firstProblem = Inconsistency(sample, 100);
                }
            }
            // Every other accessor and setting, as the window uses them.
            link.GetMeanText();
            link.GetStdDevPercentText();
            link.GetTimeStampText();
            link.GetWavelength();
            switch (i % 64) {
            case 0:
                link.ResetStatistics();
                break;
            case 8:
                link.SetAverageCount(1 + i % 7);
                break;
            case 16:
                link.SetCollectionMode(CDeviceLink::kContinuousMode);
                break;
            case 24:
                link.SetSampleSize(i % 3 == 0 ? 0 : 500);
                break;
            case 32:
                link.TakePower();
                break;
            case 40:
                link.TakePowerText();
                break;
            case 48:
                if (i % 1024 == 48) {
                    link.SetPollPeriod(100); // restarts the timer under the ticks
                }
                break;
            default:
                break;
            }
        }
        // Releases and restarts while ticks keep coming.
        for (int i = 0; i < 3; ++i) {
            link.Stop();
            EXPECT_FALSE(link.IsRunning());
            link.Start("100000001");
            EXPECT_TRUE(link.IsRunning());
            link.Rescan();
            link.Start("100000001");
        }
    }
    EXPECT_EQ(firstProblem, "");
    EXPECT_GT(samples, 20);
    EXPECT_TRUE(link.IsRunning());
}

TEST(DeviceLinkConcurrencyTest, BatchesTakenWhileTicksRaceHoldEverySampleOnce) {
    RampingMeterLink running;
    CDeviceLink& link = running.link;
    ASSERT_TRUE(link.IsRunning());

    // Counts run on without a gap, except where the queue overflowed: there
    // the gap is exactly the losses reported with the batch, and it comes
    // before the batch (the oldest samples go).
    std::uint64_t nextCount = 0;
    std::uint64_t lostBefore = 0;
    std::uint64_t samples = 0;
    std::string firstProblem;
    {
        Hammer hammer(link);
        const auto until = Clock::now() + milliseconds(1500);
        const auto latest = Clock::now() + milliseconds(20000);
        while ((Clock::now() < until || (samples <= 20 && Clock::now() < latest)) &&
               firstProblem.empty()) {
            std::uint64_t lost = 0;
            const std::vector<MeterSample> batch = link.TakeSamples(&lost);
            nextCount += lost - lostBefore;
            lostBefore = lost;
            for (const MeterSample& sample : batch) {
                ++samples;
                const auto count = ScanInt(sample.countText);
                if (!count || static_cast<std::uint64_t>(*count) != nextCount) {
                    firstProblem = "count " + sample.countText + " where " +
                                   std::to_string(nextCount) + " was due";
                    break;
                }
                if (const std::string problem = Inconsistency(sample, 100); !problem.empty()) {
                    firstProblem = problem;
                    break;
                }
                ++nextCount;
            }
            std::this_thread::yield();
        }
    }
    link.Stop();
    EXPECT_EQ(firstProblem, "");
    EXPECT_GT(samples, 20u);
}

// A meter that never answers a sample request: the tick waits in the
// transfer for its 10 s time-out. Stop, Rescan and destruction must not.
class HangingRequestTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HangingRequestTest, ReleaseAbortsTheRequestInsteadOfWaiting) {
    const std::string action = GetParam();
    VirtualUsbDriver driver;
    auto meter = std::make_shared<SimulatedMeter>(SimulatedMeter::Config{.meterId = "100000001"});
    meter->PlugInto(driver);
    auto link = std::make_unique<CDeviceLink>(driver);
    link->SetPollPeriod(100);
    link->Rescan();
    meter->SetMeterFaults({.sampleNeverAnswers = true});
    link->Start("100000001");
    ASSERT_TRUE(link->IsRunning());
    ASSERT_TRUE(Eventually([&] { return driver.PendingRequestCount() == 1; }));

    const auto start = Clock::now();
    if (action == "Stop") {
        link->Stop();
    } else if (action == "Rescan") {
        link->Rescan();
        EXPECT_EQ(link->GetMeterCount(), 1);
    } else {
        link.reset();
        EXPECT_EQ(meter->GetCounters().stops, 2u) << "destruction sends the stop request";
    }
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_GE(driver.AbortCount(), 1u);
    EXPECT_EQ(driver.PendingRequestCount(), 0u);
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
    if (link) {
        EXPECT_FALSE(link->IsRunning());
        EXPECT_FALSE(link->HasNewSample());
    }
}

INSTANTIATE_TEST_SUITE_P(DeviceLinkConcurrencyTest, HangingRequestTest,
                         ::testing::Values("Stop", "Rescan", "Destroy"));

// A new poll period while a slow meter holds the tick: the window's call
// returns at once and leaves the request alone; the tick arms the timer with
// the new period when its answer comes, and polling goes on.
TEST(DeviceLinkConcurrencyTest, NewPeriodDuringASlowRequestIsTakenUpWhenTheTickEnds) {
    VirtualUsbDriver driver;
    auto meter = std::make_shared<SimulatedMeter>(SimulatedMeter::Config{.meterId = "100000001"});
    meter->PlugInto(driver);
    CDeviceLink link(driver);
    link.SetPollPeriod(100);
    link.Rescan();
    link.Start("100000001");
    ASSERT_TRUE(link.IsRunning());
    meter->SetFaults({.answerDelayMs = 3000});
    ASSERT_TRUE(Eventually([&] { return driver.PendingRequestCount() == 1; }));
    const std::uint64_t asked = meter->GetCounters().sampleRequests;

    link.SetPollPeriod(150);
    EXPECT_EQ(driver.PendingRequestCount(), 1u) << "the call waited for the meter's answer";
    EXPECT_EQ(driver.AbortCount(), 0u);
    EXPECT_TRUE(link.IsRunning());

    meter->SetFaults({});
    EXPECT_TRUE(Eventually([&] { return meter->GetCounters().sampleRequests >= asked + 3; },
                           milliseconds(8000)))
        << "polling stopped after the slow answer";
    EXPECT_TRUE(link.IsRunning());
    link.Stop();
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
}

TEST(DeviceLinkConcurrencyTest, UnplugWhileSamplingClosesTheMeter) {
    VirtualUsbDriver driver;
    auto meter = std::make_shared<SimulatedMeter>(SimulatedMeter::Config{.meterId = "100000001"});
    const auto id = meter->PlugInto(driver);
    CDeviceLink link(driver);
    link.SetPollPeriod(100);
    link.Rescan();
    link.Start("100000001");
    {
        Hammer hammer(link);
        ASSERT_TRUE(Eventually([&] { return meter->GetCounters().samplesAnswered > 10; }));
        driver.Unplug(id);
        ASSERT_TRUE(Eventually([&] { return !link.IsRunning(); }));
    }
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
    link.Stop();
}

} // namespace
} // namespace zelmora
