// The Python module's core without Python, on simulated meters: what a
// script's reader is handed and when, lost and closed meters, and the
// threads (these run under the sanitizers, which the module itself cannot).

#include "python/MeterSession.h"

#include "sim/SimulatedMeter.h"
#include "usb/driver/CombinedUsbDriver.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zelmora {
namespace {

using namespace std::chrono_literals;
using Outcome = CMeterSession::Outcome;

class MeterSessionTest : public ::testing::Test {
protected:
    MeterSessionTest() {
        access.tuning.pollSpeedUp = 20;
        access.makeDriver = [this](const AppOptions&, std::vector<std::string>& problems) {
            problems.emplace_back("real meters cannot be reached: none here");
            auto combined = std::make_unique<CombinedUsbDriver>();
            combined->Add(bus);
            return std::unique_ptr<UsbDriver>(std::move(combined));
        };
    }

    std::shared_ptr<SimulatedMeter> Plug(const std::string& id, const std::string& model = "KV50") {
        auto meter = std::make_shared<SimulatedMeter>(
            SimulatedMeter::Config{.meterId = id, .probeModel = model});
        meter->PlugInto(*bus);
        return meter;
    }

    std::shared_ptr<CMeterSession> Open(const std::string& id) {
        return CMeterSession::Open(id, AppOptions{}, {}, access);
    }

    static CMeterSession::Deadline In(std::chrono::milliseconds time) {
        return std::chrono::steady_clock::now() + time;
    }

    std::shared_ptr<VirtualUsbDriver> bus = std::make_shared<VirtualUsbDriver>();
    MeterAccess access;
};

TEST_F(MeterSessionTest, OpensTheMeterWithTheIdOrSaysWhyNot) {
    Plug("300000001");
    auto cut = Plug("300000002");
    cut->SetMeterFaults({.identity1 = SimulatedMeter::ShortText{10, false}});

    try {
        Open("399999999");
        FAIL() << "no such meter";
    } catch (const MeterNotFoundError& e) {
        EXPECT_STREQ(e.what(), "no meter 399999999 is present; "
                               "real meters cannot be reached: none here");
    }
    EXPECT_THROW(Open("300000002"), MeterStartError) << "listed, but its probe is not named";

    auto session = Open("300000001");
    EXPECT_EQ(session->Family(), "KV");
    EXPECT_EQ(session->Model(), "KV50");
    // One link per meter: the process has it open already.
    EXPECT_THROW(Open("300000001"), MeterStartError);
    session->Close();
    session->Close();
    EXPECT_TRUE(session->IsClosed());
    EXPECT_THROW(session->GetStatistics(), MeterClosedError);
    EXPECT_THROW(session->Reset(), MeterClosedError);
    EXPECT_EQ(session->TakeNext(std::nullopt, nullptr).outcome, Outcome::Closed);
    // Closed, it is free again; so it is after a failed open.
    EXPECT_NO_THROW(Open("300000001"));
    EXPECT_NO_THROW(Open("300000001")) << "the one before went with its last owner";
}

TEST_F(MeterSessionTest, HandsOutEverySampleOnceInOrder) {
    Plug("300000001");
    auto session = Open("300000001");
    std::vector<std::int64_t> counts;
    auto take = [&](int n) {
        std::vector<MeterSample> samples;
        for (int i = 0; i < n; ++i) {
            CMeterSession::Next next = session->TakeNext(In(5s), nullptr);
            EXPECT_EQ(next.outcome, Outcome::Sample);
            samples.push_back(next.sample);
        }
        return samples;
    };
    for (const MeterSample& sample : take(30)) {
        counts.push_back(sample.count);
    }
    // A reader that cannot use what it took gives it back.
    session->PutBack(take(7));
    std::this_thread::sleep_for(50ms); // a backlog builds up meanwhile
    for (const MeterSample& sample : take(40)) {
        counts.push_back(sample.count);
    }
    for (std::size_t i = 0; i < counts.size(); ++i) {
        ASSERT_EQ(counts[i], static_cast<std::int64_t>(i));
    }

    // A deadline leaves the samples taken after it for the next reader.
    const auto deadline = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(30ms);
    std::int64_t last = counts.back();
    CMeterSession::Next next;
    while ((next = session->TakeNext(deadline, nullptr)).outcome == Outcome::Sample) {
        EXPECT_EQ(next.sample.count, ++last);
        EXPECT_LE(next.sample.monotonicTime, deadline);
    }
    EXPECT_EQ(next.outcome, Outcome::TimedOut);
    next = session->TakeNext(In(5s), nullptr);
    EXPECT_EQ(next.sample.count, last + 1);

    // A fresh read skips the backlog: its sample is taken after the call.
    std::this_thread::sleep_for(30ms);
    const auto called = std::chrono::steady_clock::now();
    next = session->ReadFresh(In(5s), nullptr);
    ASSERT_EQ(next.outcome, Outcome::Sample);
    EXPECT_GT(next.sample.monotonicTime, called);
}

TEST_F(MeterSessionTest, AReadTakesNothingAndWaitsForNoOtherReader) {
    Plug("300000001");
    auto session = Open("300000001");
    std::this_thread::sleep_for(30ms); // a backlog builds up meanwhile
    CMeterSession::Next read = session->ReadFresh(In(10s), nullptr);
    ASSERT_EQ(read.outcome, Outcome::Sample);
    EXPECT_EQ(session->TakeNext(In(10s), nullptr).sample.count, 0) << "the backlog is still there";

    // A reader on another thread takes every sample in order while this one
    // reads: neither waits for the other.
    std::vector<std::int64_t> taken;
    std::thread reader([&] {
        for (int i = 0; i < 150; ++i) {
            const CMeterSession::Next next = session->TakeNext(In(30s), nullptr);
            ASSERT_EQ(next.outcome, Outcome::Sample);
            taken.push_back(next.sample.count);
        }
    });
    std::int64_t last = read.sample.count;
    for (int i = 0; i < 40; ++i) {
        read = session->ReadFresh(In(30s), nullptr);
        ASSERT_EQ(read.outcome, Outcome::Sample);
        EXPECT_GT(read.sample.count, last) << "a read gives a sample taken after the call";
        last = read.sample.count;
    }
    reader.join();
    ASSERT_EQ(taken.size(), 150U);
    for (std::size_t i = 0; i < taken.size(); ++i) {
        ASSERT_EQ(taken[i], static_cast<std::int64_t>(i) + 1);
    }
    EXPECT_EQ(session->GetLostSampleCount(), 0U);
}

TEST_F(MeterSessionTest, ReadingAloneKeepsTheQueueBoundedAndTellsWhatItDropped) {
    access.tuning = {.pollSpeedUp = 50, .queueCapacity = 10};
    Plug("300000001");
    auto session = Open("300000001");
    std::int64_t last = 0;
    while (last < 100) {
        const CMeterSession::Next read = session->ReadFresh(In(10s), nullptr);
        ASSERT_EQ(read.outcome, Outcome::Sample);
        last = read.sample.count;
    }
    const std::uint64_t lost = session->GetLostSampleCount();
    EXPECT_GE(lost, 80U);
    EXPECT_GE(session->TakeUntoldLostSampleCount(), lost);
    const CMeterSession::Next next = session->TakeNext(In(10s), nullptr);
    EXPECT_GE(next.sample.count, static_cast<std::int64_t>(lost));
    EXPECT_EQ(session->TakeUntoldLostSampleCount(), session->GetLostSampleCount() - lost)
        << "told once";
}

TEST_F(MeterSessionTest, AMeterClosedUnderAWaitingReaderOpensAgainAtOnce) {
    access.tuning.pollSpeedUp = 1; // the stop waits the meter's 100 ms to settle
    auto meter = Plug("300000001");
    meter->SetMeterFaults({.sampleReplyLength = 2});
    auto session = Open("300000001");
    std::atomic<bool> waiting = false;
    std::thread reader([&] {
        waiting = true;
        EXPECT_EQ(session->TakeNext(std::nullopt, nullptr).outcome, Outcome::Closed);
        // The close on the other thread may still be stopping the meter.
        EXPECT_NO_THROW(Open("300000001")->Close());
    });
    while (!waiting) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    session->Close();
    reader.join();
}

TEST_F(MeterSessionTest, AForkedChildCannotUseTheMeterAndLeavesItAlone) {
    Plug("300000001");
    auto session = Open("300000001");
    ASSERT_EQ(session->TakeNext(In(10s), nullptr).outcome, Outcome::Sample);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // No gtest here: the child reports by its exit status.
        int failures = 0;
        auto refused = [&](auto call) {
            try {
                call();
            } catch (const MeterForkedError&) {
                return;
            } catch (...) {
            }
            ++failures;
        };
        refused([&] { (void)session->TakeNext(In(1s), nullptr); });
        refused([&] { (void)session->ReadFresh(In(1s), nullptr); });
        refused([&] { (void)session->GetStatistics(); });
        refused([&] { session->Reset(); });
        refused([&] { session->SetIntervalMs(200); });
        refused([&] { session->CheckOpen(); });
        failures += session->IsClosed() ? 0 : 1;
        // The link's threads are not in the child: neither of these may wait
        // for them.
        CMeterSession::CloseAll();
        session.reset();
        _exit(failures);
    }
    int status = 0;
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(10ms);
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child did not end";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "calls the child was not refused";
    // The parent's meter runs on.
    EXPECT_FALSE(session->IsClosed());
    EXPECT_EQ(session->TakeNext(In(10s), nullptr).outcome, Outcome::Sample);
}

TEST_F(MeterSessionTest, ALostMeterHandsOutItsSamplesFirst) {
    auto meter = Plug("300000001");
    meter->SetMeterFaults({.removeAfterSamples = 5});
    auto session = Open("300000001");
    while (session->Link().IsRunning()) {
        std::this_thread::sleep_for(5ms);
    }
    for (std::int64_t count = 0; count < 5; ++count) {
        const CMeterSession::Next next = session->TakeNext(std::nullopt, nullptr);
        ASSERT_EQ(next.outcome, Outcome::Sample);
        EXPECT_EQ(next.sample.count, count);
    }
    EXPECT_EQ(session->TakeNext(std::nullopt, nullptr).outcome, Outcome::Lost);
    EXPECT_EQ(session->ReadFresh(std::nullopt, nullptr).outcome, Outcome::Lost);
    // Its statistics stay readable.
    EXPECT_EQ(session->GetStatistics().window.count, 5);
}

TEST_F(MeterSessionTest, AWaitEndsWithACloseAnInterruptionOrItsDeadline) {
    auto meter = Plug("300000001");
    meter->SetMeterFaults({.sampleReplyLength = 2}); // answers, but no sample comes of it
    auto session = Open("300000001");

    EXPECT_EQ(session->TakeNext(In(30ms), nullptr).outcome, Outcome::TimedOut);
    std::atomic<int> asked = 0;
    EXPECT_EQ(session->TakeNext(std::nullopt, [&] { return ++asked == 3; }).outcome,
              Outcome::Interrupted);

    std::atomic<bool> waiting = false;
    std::thread reader([&] {
        waiting = true;
        EXPECT_EQ(session->TakeNext(std::nullopt, nullptr).outcome, Outcome::Closed);
    });
    while (!waiting) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    session->Close();
    reader.join();
    EXPECT_FALSE(meter->IsMeasuring()) << "closing sends the stop request";
}

TEST_F(MeterSessionTest, TwoMetersInTwoThreadsWhileAThirdControlsThem) {
    Plug("300000001");
    Plug("300000002", "ZN21");
    auto first = Open("300000001");
    auto second = Open("300000002");
    std::atomic<bool> done = false;
    auto read = [&done](CMeterSession& session) {
        for (std::int64_t count = 0; count < 60; ++count) {
            const CMeterSession::Next next = session.TakeNext(std::nullopt, nullptr);
            ASSERT_EQ(next.outcome, Outcome::Sample);
            ASSERT_EQ(next.sample.count, count);
        }
    };
    std::thread a([&] { read(*first); });
    std::thread b([&] { read(*second); });
    std::thread control([&] {
        second->SetIntervalMs(200);
        while (!done) {
            first->SetAveraging(3);
            second->SetIntervalMs(200); // the same again: the poll goes on undisturbed
            (void)first->GetStatistics();
            (void)second->GetLostSampleCount();
            std::this_thread::sleep_for(1ms);
        }
    });
    a.join();
    b.join();
    done = true;
    control.join();
    EXPECT_EQ(first->Averaging(), 3);

    // Every open meter closes at the interpreter's end, readers or not.
    std::thread reader([&] { (void)first->TakeNext(std::nullopt, nullptr); });
    CMeterSession::CloseAll();
    reader.join();
    EXPECT_TRUE(first->IsClosed());
    EXPECT_TRUE(second->IsClosed());
}

TEST(MeterSessionSettingsTest, ScriptArgumentsMeetTheSharedLimits) {
    EXPECT_EQ(IntervalMsFromSeconds(0.1), 100);
    EXPECT_EQ(IntervalMsFromSeconds(2.5), 2500);
    for (const double bad : {0.05, 86400.5, -1.0, std::nan(""), 1e300}) {
        EXPECT_THROW(IntervalMsFromSeconds(bad), std::invalid_argument) << bad;
    }
    try {
        IntervalMsFromSeconds(0.05);
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "interval takes a time in seconds from 100ms to 1d, not 0.05");
    }
    // The limits hold for the time given, not for the whole milliseconds it
    // rounds to.
    EXPECT_THROW(IntervalMsFromSeconds(0.0999), std::invalid_argument);
    EXPECT_THROW(IntervalMsFromSeconds(86400.0004), std::invalid_argument);
    EXPECT_EQ(IntervalMsFromSeconds(0.1004), 100);
    EXPECT_EQ(IntervalMsFromSeconds(0.3), 300);
    try {
        CheckedAveraging(0);
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "averaging takes a whole number from 1 to 20000, not '0'");
    }
    EXPECT_EQ(CheckedAveraging(20000), 20000);
    EXPECT_EQ(CheckedAveraging("7"), 7);
    EXPECT_THROW(CheckedAveraging("9223372036854775808"), std::invalid_argument);
    try {
        CheckedCount("100000000000000000000");
        ADD_FAILURE() << "too large for any count";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "count takes a whole number from 1 to 2147483647, "
                               "not '100000000000000000000'");
    }
    EXPECT_THROW(CheckedCount(0), std::invalid_argument);
    EXPECT_THROW(CheckedCount(1LL << 40), std::invalid_argument);
    EXPECT_EQ(DurationFromSeconds(60), 60s);

    // Real meters unless simulated ones are asked for, as on the command line.
    EXPECT_TRUE(ScriptMeterOptions(0, std::nullopt, {}).realMeters);
    EXPECT_FALSE(ScriptMeterOptions(2, std::nullopt, {}).realMeters);
    EXPECT_TRUE(ScriptMeterOptions(2, true, {}).realMeters);
    EXPECT_TRUE(ScriptMeterOptions(2, std::nullopt, {"1234:abcd"}).realMeters);
    EXPECT_FALSE(ScriptMeterOptions(0, false, {}).realMeters);
    EXPECT_THROW(ScriptMeterOptions(16, std::nullopt, {}), std::invalid_argument);
    EXPECT_THROW(ScriptMeterOptions(-1, std::nullopt, {}), std::invalid_argument);
    EXPECT_THROW(ScriptMeterOptions(0, std::nullopt, {"1234"}), std::invalid_argument);
    EXPECT_THROW(ScriptMeterOptions(0, false, {"1234:abcd"}), std::invalid_argument);
}

} // namespace
} // namespace zelmora
