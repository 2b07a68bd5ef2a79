#include "meter/DeviceLink.h"

#include "meter/MeterPoller.h"
#include "sim/SimulatedMeter.h"
#include "support/CommaLocale.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>

namespace zelmora {
namespace {

using std::chrono::milliseconds;
using Reply = SimulatedMeter::ScriptedReply;

// A period that never elapses within a test: the test drives the ticks.
constexpr int kManualPeriod = static_cast<int>(PeriodicTimer::kMaxPeriodMs);

class DeviceLinkTest : public ::testing::Test {
protected:
    std::shared_ptr<SimulatedMeter> Plug(SimulatedMeter::Config config) {
        auto meter = std::make_shared<SimulatedMeter>(std::move(config));
        meter->PlugInto(driver);
        return meter;
    }

    // Plugs a meter with this probe and starts it with ticks driven by the
    // test.
    std::shared_ptr<SimulatedMeter> StartManual(const std::string& model,
                                                const std::string& id = "100000001") {
        auto meter = Plug({.meterId = id, .probeModel = model});
        link->SetPollPeriod(kManualPeriod);
        link->Rescan();
        link->Start(id);
        EXPECT_TRUE(link->IsRunning()) << model;
        return meter;
    }

    void Tick() {
        CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(link.get()), 0, 0);
    }

    // One scripted reply, ticked in.
    MeterSample Sample(SimulatedMeter& meter, std::uint16_t reading, std::uint8_t range) {
        meter.SetScript({{1064, reading, range}});
        Tick();
        EXPECT_TRUE(link->HasNewSample());
        return link->TakeSample();
    }

    // Waits for a condition that another thread brings about.
    static bool Eventually(const auto& condition, milliseconds limit = milliseconds(5000)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        return true;
    }

    VirtualUsbDriver driver;
    std::unique_ptr<CDeviceLink> link = std::make_unique<CDeviceLink>(driver);
};

// --- Identification and listing --------------------------------------------

TEST_F(DeviceLinkTest, ListsMetersAndStartsTheOneWithTheId) {
    auto first = Plug({.meterId = "678912453", .probeModel = "RM41"});
    Plug({.meterId = "555555555", .typeCode = "4711"}); // another meter type
    auto shortId = Plug({.meterId = "444444444"});
    shortId->SetMeterFaults({.identity2 = SimulatedMeter::ShortText{7, true}});
    auto second = Plug({.meterId = "100000002", .probeModel = "KV50"});

    link->SetPollPeriod(kManualPeriod);
    link->Rescan();
    EXPECT_EQ(link->GetMeterList(), (std::vector<std::string>{"678912453", "100000002"}));
    ASSERT_EQ(link->GetMeterCount(), 2);
    std::string ids[CDeviceLink::kMaxMeters];
    link->GetMeterList(ids);
    EXPECT_EQ(ids[1], "100000002");
    const auto listing = link->GetMeterListing();
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[1].id, "100000002");
    EXPECT_EQ(listing[1].probeModel, "KV50");
    EXPECT_EQ(listing[1].probeFamily, "KV");
    EXPECT_EQ(listing[0].probeFamily, "RM");
    EXPECT_EQ(listing[0].path, *driver.DevicePath(1)) << "the first device plugged";

    link->Start("678912453");
    EXPECT_TRUE(link->IsRunning());
    EXPECT_EQ(link->GetProbeModel(), "RM41");
    EXPECT_EQ(link->GetProbeFamily(), "RM");
    // The identifying object stopped the measurement, the meter object
    // started it.
    const auto counters = first->GetCounters();
    EXPECT_EQ(counters.stops, 1u);
    EXPECT_EQ(counters.starts, 1u);
    EXPECT_TRUE(first->IsMeasuring());
    EXPECT_EQ(second->GetCounters().starts, 0u);

    // Stop sends nothing; the probe codes remain.
    link->Stop();
    EXPECT_FALSE(link->IsRunning());
    EXPECT_EQ(first->GetCounters().stops, 1u);
    EXPECT_EQ(link->GetProbeFamily(), "RM");
    EXPECT_EQ(driver.OpenHandleCount(), 0u);

    // Ids that are not listed start nothing.
    for (const char* id : {"555555555", "444444444", "999999999", ""}) {
        link->Start(id);
        EXPECT_FALSE(link->IsRunning()) << id;
    }
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
}

TEST_F(DeviceLinkTest, ProbeModelCodes) {
    struct Case {
        const char* identity;
        const char* model;
        const char* family;
    };
    int n = 0;
    for (const Case c :
         {Case{"ZN62", "RM43", "RM"}, Case{"KV3A", "KV3", "KV"}, Case{"RM4A", "RM4", "RM"},
          Case{"ZN10", "ZN10", "ZN"}, Case{"QX11", "QX11", "QX"}}) {
        const std::string id = "30000000" + std::to_string(++n);
        StartManual(c.identity, id);
        EXPECT_EQ(link->GetProbeModel(), c.model) << c.identity;
        EXPECT_EQ(link->GetProbeFamily(), c.family) << c.identity;
        link->Stop();
    }
}

TEST_F(DeviceLinkTest, IdentityTooShortForTheModelAbandonsTheDevice) {
    // Long enough for the id (8 characters), too short for the model code.
    auto cut = Plug({.meterId = "100000001", .probeModel = "KV50"});
    cut->SetMeterFaults({.identity1 = SimulatedMeter::ShortText{10, true}});
    auto good = Plug({.meterId = "100000001", .probeModel = "RM41"});
    link->SetPollPeriod(kManualPeriod);
    link->Rescan();
    EXPECT_EQ(link->GetMeterList(), (std::vector<std::string>{"100000001", "100000001"}));

    // The first device with the id is abandoned, the second one starts; the
    // busy flag was cleared, or the tick would wait for ever.
    link->Start("100000001");
    EXPECT_TRUE(link->IsRunning());
    EXPECT_EQ(cut->GetCounters().starts, 0u);
    EXPECT_EQ(good->GetCounters().starts, 1u);
    EXPECT_EQ(link->GetProbeModel(), "RM41");
    good->SetScript({{1064, 700, 6}});
    Tick();
    EXPECT_EQ(link->TakePowerText(), "700W");
}

TEST_F(DeviceLinkTest, ListsTheMetersOnTheFirstFifteenDeviceNumbers) {
    for (int i = 1; i <= 17; ++i) {
        Plug({.meterId = std::to_string(100000000 + i)});
    }
    link->Rescan();
    const auto ids = link->GetMeterList();
    ASSERT_EQ(ids.size(), 15u);
    EXPECT_EQ(ids.front(), "100000001");
    EXPECT_EQ(ids.back(), "100000015");
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
}

TEST_F(DeviceLinkTest, StopRescanAndDestructionRelease) {
    // Stop while idle: nothing at all.
    auto meter = Plug({.meterId = "100000001"});
    link->Stop();
    EXPECT_EQ(meter->GetCounters().identity1, 0u);

    // Rescan while running: the poll ends without a stop request, the list
    // is fresh.
    link->SetPollPeriod(kManualPeriod);
    link->Rescan();
    link->Start("100000001");
    ASSERT_TRUE(link->IsRunning());
    const auto stopsBefore = meter->GetCounters().stops;
    Plug({.meterId = "100000002"});
    link->Rescan();
    EXPECT_FALSE(link->IsRunning());
    EXPECT_EQ(meter->GetCounters().stops, stopsBefore);
    EXPECT_EQ(link->GetMeterCount(), 2);
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
    Tick();
    EXPECT_FALSE(link->HasNewSample());

    // Destruction of a running link stops the meter.
    link->Start("100000001");
    ASSERT_TRUE(link->IsRunning());
    link.reset();
    EXPECT_EQ(meter->GetCounters().stops, stopsBefore + 2);
    EXPECT_FALSE(meter->IsMeasuring());
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
}

// --- Conversion ------------------------------------------------------------

struct Row {
    const char* model;
    std::uint8_t range;
    std::uint16_t reading;
    const char* text; // live text, or "Over Range"
    double power;
    const char* statText; // the statistics texts of a single sample
};

TEST_F(DeviceLinkTest, ConvertsEveryRowAtItsBoundaries) {
    const Row rows[] = {
        {"KV50", 0, 2999, "29.99mW", 0.02999, "30.0mW"},
        {"KV50", 0, 3000, "Over Range", 0.03, nullptr},
        {"KV50", 1, 2999, "299.9mW", 0.2999, "299.9mW"},
        {"KV50", 1, 3000, "Over Range", 0.3, nullptr},
        {"KV50", 2, 4999, "4.999W", 4.999, "4.999W"},
        {"KV50", 2, 5000, "Over Range", 5, nullptr},
        {"RM40", 2, 2999, "2.999W", 2.999, "2.999W"},
        {"RM40", 2, 3000, "Over Range", 3, nullptr},
        {"KV50", 3, 1499, "14.99W", 14.99, "14.99W"},
        {"KV50", 3, 1500, "Over Range", 15, nullptr},
        {"KV50", 4, 499, "49.9W", 49.9, "49.9W"},
        {"KV50", 4, 500, "Over Range", 50, nullptr},
        {"RM40", 4, 499, "49.9W", 49.9, "49.9W"},
        {"RM40", 4, 500, "Over Range", 50, nullptr},
        {"RM41", 4, 2999, "29.99W", 29.99, "30.0W"},
        {"RM42", 4, 3000, "Over Range", 30, nullptr},
        {"ZN62", 4, 2999, "29.99W", 29.99, "30.0W"},
        {"RM43", 4, 3000, "Over Range", 30, nullptr},
        {"RM47", 4, 2999, "29.99W", 29.99, "30.0W"},
        {"KV50", 5, 2999, "299.9W", 299.9, "299.9W"},
        {"KV50", 5, 3000, "Over Range", 300, nullptr},
        {"RM40", 6, 700, "700W", 700, "700W"},
        {"RM40", 6, 701, "Over Range", 701, nullptr},
        {"ZN10", 0, 2999, "299.9mW", 299.9, "299.9mW"},
        {"ZN10", 0, 3000, "Over Range", 300, nullptr},
        {"ZN10", 1, 2999, "29.99mW", 29.99, "29.99mW"},
        {"ZN10", 1, 3000, "Over Range", 30, nullptr},
        {"ZN10", 2, 2999, "2.999mW", 2.999, "2.999mW"},
        {"ZN10", 2, 3000, "Over Range", 3, nullptr},
        {"ZN10", 3, 2999, "299.9uW", 0.2999, "299.9uW"},
        {"ZN10", 3, 3000, "Over Range", 0.3, nullptr},
        {"ZN10", 4, 2999, "29.99uW", 0.02999, "29.99uW"},
        {"ZN10", 4, 3000, "Over Range", 0.03, nullptr},
        {"ZN10", 5, 2999, "2.999uW", 0.002999, "2.999uW"},
        {"ZN10", 5, 3000, "Over Range", 0.003, nullptr},
        {"ZN10", 6, 2999, "29.99W", 29990, "29.99W"},
        {"ZN10", 6, 3000, "Over Range", 30000, nullptr},
        {"ZN10", 7, 2999, "2.999W", 2999, "2.999W"},
        {"ZN10", 7, 3000, "Over Range", 3000, nullptr},
        {"ZN10", 8, 2999, "299.9mW", 299.9, "299.9mW"},
        {"ZN10", 8, 3000, "Over Range", 300, nullptr},
        {"ZN10", 9, 2999, "29.99mW", 29.99, "29.99mW"},
        {"ZN10", 9, 3000, "Over Range", 30, nullptr},
        {"ZN10", 10, 2999, "2.999mW", 2.999, "2.999mW"},
        {"ZN10", 10, 3000, "Over Range", 3, nullptr},
        {"ZN10", 11, 2999, "299.9uW", 0.2999, "299.9uW"},
        {"ZN10", 11, 3000, "Over Range", 0.3, nullptr},
    };
    std::shared_ptr<SimulatedMeter> meter;
    std::string model;
    int n = 0;
    for (const Row& row : rows) {
        if (row.model != model) {
            link->Stop();
            model = row.model;
            meter = StartManual(model, std::to_string(200000000 + ++n));
        }
        const std::string where = model + " range " + std::to_string(row.range) + " reading " +
                                  std::to_string(row.reading);
        link->ResetStatistics();
        const MeterSample sample = Sample(*meter, row.reading, row.range);
        EXPECT_EQ(sample.powerText, row.text) << where;
        EXPECT_DOUBLE_EQ(sample.power, row.power) << where;
        if (row.statText != nullptr) {
            EXPECT_EQ(sample.minText, row.statText) << where;
            EXPECT_EQ(sample.maxText, row.statText) << where;
            EXPECT_EQ(sample.meanText, row.statText) << where;
            EXPECT_EQ(sample.countText, "0") << where;
        } else {
            // Over range leaves the collection alone.
            EXPECT_EQ(sample.minText, "") << where;
            EXPECT_EQ(link->GetCountText(), "0") << where;
        }
        EXPECT_EQ(sample.wavelength, 1064);
    }
}

TEST_F(DeviceLinkTest, RangesWithoutConversionKeepThePreviousPower) {
    auto meter = StartManual("KV50");
    Sample(*meter, 1234, 2);
    for (const std::uint8_t range : {7, 100, 255}) {
        const MeterSample sample = Sample(*meter, 999, range);
        EXPECT_EQ(sample.powerText, "1.234W");
        EXPECT_DOUBLE_EQ(sample.power, 1.234);
        // Not over range: the sample is counted with the previous number,
        // the texts of the range table stay as they were.
        EXPECT_EQ(sample.meanText, "1.234W");
    }
    EXPECT_EQ(link->GetCountText(), "3");
    link->Stop();

    // A family the tables do not know converts nothing.
    meter = StartManual("QX11", "100000002");
    link->ResetStatistics();
    const MeterSample sample = Sample(*meter, 1234, 2);
    EXPECT_EQ(sample.powerText, "");
    EXPECT_EQ(sample.power, 0);
    EXPECT_EQ(sample.meanText, "1.234W") << "mean text is not cleared by a reset";
    EXPECT_EQ(sample.stdDevPercentText, "0.000%");
    EXPECT_EQ(sample.countText, "0");
}

// The numbers beside the texts: what a record of the sample is made of.
TEST_F(DeviceLinkTest, SampleNumbersFollowTheTexts) {
    auto meter = StartManual("ZN11");
    const auto before = std::chrono::system_clock::now();
    MeterSample sample = Sample(*meter, 2999, 5);
    EXPECT_EQ(sample.status, SampleStatus::Ok);
    EXPECT_EQ(sample.unit, PowerUnit::Milliwatt);
    EXPECT_EQ(sample.range, 5);
    EXPECT_EQ(sample.count, 0);
    EXPECT_EQ(sample.elapsedMs, static_cast<std::uint64_t>(kManualPeriod));
    EXPECT_GE(sample.utcTime, before);
    EXPECT_LE(sample.utcTime, std::chrono::system_clock::now());

    // Over range: not counted, so it shares its count with the next sample.
    sample = Sample(*meter, 3000, 5);
    EXPECT_EQ(sample.status, SampleStatus::OverRange);
    EXPECT_EQ(sample.count, 1);
    EXPECT_EQ(sample.elapsedMs, static_cast<std::uint64_t>(kManualPeriod));
    const auto overRangeTime = sample.monotonicTime;
    sample = Sample(*meter, 5, 12);
    EXPECT_EQ(sample.status, SampleStatus::NoConversion);
    EXPECT_EQ(sample.count, 1);
    EXPECT_EQ(sample.range, 12);
    EXPECT_GE(sample.monotonicTime, overRangeTime);
    EXPECT_EQ(Sample(*meter, 5, 0).count, 2);

    link->ResetStatistics();
    EXPECT_EQ(link->TakeSample().range, -1);
    link->Stop();
    auto unknown = StartManual("QX11", "100000002");
    EXPECT_EQ(Sample(*unknown, 5, 0).unit, PowerUnit::None);
}

TEST_F(DeviceLinkTest, NumbersUseAPointWhateverTheProcessLocale) {
    MeterSample sample;
    {
        const CommaLocale comma;
        ASSERT_TRUE(comma.IsActive()) << "a comma locale (de_DE.UTF-8) must be installed";
        auto meter = StartManual("KV50");
        sample = Sample(*meter, 2999, 0);
    }
    EXPECT_EQ(sample.powerText, "29.99mW");
    EXPECT_EQ(sample.stdDevPercentText, "0.000%");
}

// --- Statistics and collection ---------------------------------------------

TEST_F(DeviceLinkTest, StatisticsOfOneTwoThree) {
    auto meter = StartManual("KV50");
    meter->SetScript({{1064, 1000, 2}, {1064, 2000, 2}, {1064, 3000, 2}});
    for (const char* count : {"0", "1", "2"}) {
        Tick();
        EXPECT_EQ(link->GetCountText(), count);
    }
    EXPECT_EQ(link->GetMeanText(), "2.000W");
    EXPECT_EQ(link->GetMinText(), "1.000W");
    EXPECT_EQ(link->GetMaxText(), "3.000W");
    EXPECT_EQ(link->GetStdDevText(), "0.816W");
    EXPECT_EQ(link->GetStdDevPercentText(), "40.825%");
    // The same statistics as numbers, for front ends that compute with them.
    const CDeviceLink::Statistics numbers = link->GetStatistics();
    EXPECT_EQ(numbers.count, 3);
    EXPECT_EQ(numbers.unit, PowerUnit::Watt);
    EXPECT_DOUBLE_EQ(numbers.mean, 2);
    EXPECT_DOUBLE_EQ(numbers.min, 1);
    EXPECT_DOUBLE_EQ(numbers.max, 3);
    EXPECT_NEAR(numbers.stdDev, 0.8165, 1e-4);
    EXPECT_NEAR(numbers.stdDevPercent, 40.825, 1e-3);
    EXPECT_EQ(numbers.elapsedMs, 3ull * kManualPeriod);

    // Equal samples leave the extremes alone; a single sample has no spread.
    link->ResetStatistics();
    EXPECT_EQ(Sample(*meter, 2000, 2).stdDevText, "0.000W");
    const MeterSample same = Sample(*meter, 2000, 2);
    EXPECT_EQ(same.minText, "2.000W");
    EXPECT_EQ(same.maxText, "2.000W");
    EXPECT_EQ(same.stdDevPercentText, "0.000%");

    // A dark probe: a mean of 0 gives 0 %, not a quotient of zeros.
    link->ResetStatistics();
    const CDeviceLink::Statistics none = link->GetStatistics();
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(std::isnan(none.mean) && std::isnan(none.min) && std::isnan(none.max))
        << "no extremes of an empty collection";
    EXPECT_EQ(Sample(*meter, 0, 2).stdDevPercentText, "0.000%");
    EXPECT_EQ(Sample(*meter, 0, 2).stdDevPercentText, "0.000%");
    EXPECT_EQ(link->GetStatistics().stdDevPercent, 0);

    // Extremes that span ranges are written in the current range's unit.
    link->ResetStatistics();
    Sample(*meter, 2999, 0);
    const MeterSample mixed = Sample(*meter, 1500, 2);
    EXPECT_EQ(mixed.minText, "0.030W");
    EXPECT_EQ(mixed.maxText, "1.500W");
}

TEST_F(DeviceLinkTest, LiveDataAveraging) {
    auto meter = StartManual("RM40");
    link->SetAverageCount(3);
    const double expected[] = {3, 4.5, 6, 9};
    int i = 0;
    for (const std::uint16_t watts : {3, 6, 9, 12}) {
        const MeterSample sample = Sample(*meter, watts, 6);
        EXPECT_DOUBLE_EQ(sample.power, expected[i++]);
        // The text is the raw sample's.
        EXPECT_EQ(sample.powerText, std::to_string(watts) + "W");
    }
    EXPECT_EQ(link->GetMeanText(), "8W") << "statistics describe the raw samples";

    // Lowering the length from 5 to 2 drops all but the newest old value
    // at the next sample.
    link->ResetStatistics();
    link->SetAverageCount(5);
    for (const std::uint16_t watts : {1, 2, 3, 4, 5}) {
        Sample(*meter, watts, 6);
    }
    EXPECT_DOUBLE_EQ(link->TakePower(), 3);
    link->SetAverageCount(2);
    EXPECT_DOUBLE_EQ(Sample(*meter, 6, 6).power, 5.5);
    EXPECT_DOUBLE_EQ(Sample(*meter, 10, 6).power, 8);

    // A length of 1 passes the raw sample; one below 1 behaves the same
    // instead of emptying the window for ever.
    for (const int length : {1, 0, -3}) {
        link->SetAverageCount(length);
        EXPECT_DOUBLE_EQ(Sample(*meter, 42, 6).power, 42) << length;
        EXPECT_DOUBLE_EQ(Sample(*meter, 7, 6).power, 7) << length;
    }
}

TEST_F(DeviceLinkTest, ResetStartsANewCollection) {
    auto meter = StartManual("KV50");
    Sample(*meter, 1000, 2);
    Sample(*meter, 3000, 2);
    link->ResetStatistics();
    EXPECT_FALSE(link->HasNewSample());
    EXPECT_EQ(link->TakePowerText(), "");
    EXPECT_EQ(link->TakePower(), 0);
    EXPECT_EQ(link->GetWavelength(), 0);
    EXPECT_EQ(link->GetMinText(), "");
    EXPECT_EQ(link->GetMaxText(), "");
    // These stay until the next sample rewrites them.
    EXPECT_EQ(link->GetMeanText(), "2.000W");
    EXPECT_EQ(link->GetCountText(), "1");
    const MeterSample next = Sample(*meter, 2500, 2);
    EXPECT_EQ(next.minText, "2.500W");
    EXPECT_EQ(next.maxText, "2.500W");
    EXPECT_EQ(next.countText, "0");
    EXPECT_EQ(next.durationText, FormatElapsed(kManualPeriod)); // one period of the manual timer
    // At the longest period three samples pass 2^32 ms (49.7 days); the
    // elapsed time goes on counting instead of wrapping.
    Sample(*meter, 2500, 2);
    EXPECT_EQ(Sample(*meter, 2500, 2).durationText, "1789:34:10(941)");

    // An invalid mode is ignored but still resets.
    link->SetCollectionMode(CDeviceLink::kFixedMode);
    link->SetSampleSize(0);
    link->SetCollectionMode(2);
    Sample(*meter, 1000, 2);
    Tick();
    EXPECT_FALSE(link->HasNewSample()) << "still Fixed: one sample for a size of 0";
}

TEST_F(DeviceLinkTest, CollectionGates) {
    auto meter = StartManual("KV50");
    // Fixed, size 2: three counted samples; over range does not count.
    link->SetCollectionMode(CDeviceLink::kFixedMode);
    link->SetSampleSize(2);
    meter->SetScript({{0, 1000, 2}, {0, 9999, 2}, {0, 1100, 2}, {0, 1200, 2}, {0, 1300, 2}});
    std::vector<std::string> counts;
    for (int i = 0; i < 5; ++i) {
        Tick();
        if (link->HasNewSample()) {
            counts.push_back(link->TakeSample().countText);
        }
    }
    EXPECT_EQ(counts, (std::vector<std::string>{"0", "0", "1", "2"}));
    EXPECT_EQ(meter->GetCounters().samplesAnswered, 4u) << "the gate stops before the request";
    link->ResetStatistics();
    Tick();
    EXPECT_EQ(link->TakeSample().countText, "0");

    // Continuous without a limit never stops; with one it stops like Fixed.
    link->SetCollectionMode(CDeviceLink::kContinuousMode);
    link->SetSampleSize(0);
    for (int i = 0; i < 12; ++i) {
        Tick();
    }
    EXPECT_EQ(link->GetCountText(), "11");
    link->SetCollectionMode(CDeviceLink::kContinuousMode);
    link->SetSampleSize(1);
    for (int i = 0; i < 4; ++i) {
        Tick();
    }
    EXPECT_EQ(link->GetCountText(), "1");
}

TEST_F(DeviceLinkTest, StampsCountTimeAndNominalDuration) {
    auto meter = Plug({.meterId = "100000001", .probeModel = "KV50"});
    link->SetPollPeriod(99); // ignored
    link->SetPollPeriod(250);
    link->SetPollPeriod(99);
    link->Rescan();
    link->SetCollectionMode(CDeviceLink::kFixedMode);
    link->SetSampleSize(3);
    link->Start("100000001");
    // The timer and the test both tick; the gate stops at four samples.
    ASSERT_TRUE(Eventually([&] {
        Tick();
        return link->GetCountText() == "3";
    }));
    EXPECT_EQ(link->GetDurationText(), "00:00:01(000)");
    EXPECT_TRUE(std::regex_match(link->GetTimeStampText(),
                                 std::regex(R"(\d\d:[0-5]\d:[0-5]\d\(\d\d\d\))")));
}

// --- Hand-over to the window -------------------------------------------------

TEST_F(DeviceLinkTest, EverySampleWaitsInOrderUntilTaken) {
    auto meter = StartManual("KV50");
    meter->SetScript({{1064, 1000, 2}, {1064, 9999, 2}, {1064, 1100, 2}, {1064, 1200, 2}});
    for (int i = 0; i < 4; ++i) {
        Tick();
    }
    ASSERT_TRUE(link->HasNewSample());
    std::uint64_t lost = 99;
    const std::vector<MeterSample> samples = link->TakeSamples(&lost);
    EXPECT_EQ(lost, 0u);
    ASSERT_EQ(samples.size(), 4u);
    // Each whole: an over-range sample is handed over too, with the count
    // it did not advance.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"1.000W", "0"}, {"Over Range", "0"}, {"1.100W", "1"}, {"1.200W", "2"}};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].powerText, expected[i].first) << i;
        EXPECT_EQ(samples[i].countText, expected[i].second) << i;
    }
    EXPECT_DOUBLE_EQ(samples[1].power, 9.999);
    EXPECT_DOUBLE_EQ(samples[3].power, 1.2);
    EXPECT_FALSE(link->HasNewSample());
    EXPECT_TRUE(link->TakeSamples().empty());

    // The single-value takes give the newest and drop the rest.
    meter->SetScript({{1064, 1300, 2}, {1064, 1400, 2}});
    Tick();
    Tick();
    EXPECT_EQ(link->TakeSample().countText, "4");
    EXPECT_FALSE(link->HasNewSample());
    EXPECT_TRUE(link->TakeSamples().empty());

    // A reset drops what waits from the old collection; that is no loss.
    Tick();
    link->ResetStatistics();
    EXPECT_FALSE(link->HasNewSample());
    EXPECT_TRUE(link->TakeSamples().empty());
    EXPECT_EQ(link->GetLostSampleCount(), 0u);
}

TEST_F(DeviceLinkTest, AFullQueueDropsItsOldestSamplesAndCountsThem) {
    link = std::make_unique<CDeviceLink>(driver, CDeviceLink::TestTuning{.queueCapacity = 5});
    StartManual("KV50");
    for (int i = 0; i < 8; ++i) {
        Tick();
    }
    EXPECT_EQ(link->GetLostSampleCount(), 3u);
    std::uint64_t lost = 0;
    std::vector<MeterSample> samples = link->TakeSamples(&lost);
    EXPECT_EQ(lost, 3u);
    ASSERT_EQ(samples.size(), 5u);
    // The newest remain: the read-out and the graph stay at the present.
    EXPECT_EQ(samples.front().countText, "3");
    EXPECT_EQ(samples.back().countText, "7");

    Tick();
    samples = link->TakeSamples(&lost);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].countText, "8");
    EXPECT_EQ(lost, 3u) << "the count of losses only grows";
}

// --- Faults ----------------------------------------------------------------

TEST_F(DeviceLinkTest, ShortReplyIsDroppedAndPollingGoesOn) {
    auto meter = StartManual("KV50");
    Sample(*meter, 1000, 2);
    meter->SetMeterFaults({.sampleReplyLength = 4});
    meter->SetScript({{1064, 2000, 2}});
    Tick();
    EXPECT_FALSE(link->HasNewSample());
    EXPECT_TRUE(link->IsRunning());
    EXPECT_EQ(link->GetCountText(), "0");
    meter->SetMeterFaults({});
    EXPECT_EQ(Sample(*meter, 3000, 2).countText, "1");
}

TEST_F(DeviceLinkTest, FailedReadClosesTheMeterFromTheTimerThread) {
    // The timer's own tick finds the error, closes the meter and kills its
    // own timer without waiting for itself.
    auto meter = Plug({.meterId = "100000001", .probeModel = "KV50"});
    link->SetPollPeriod(100);
    link->Rescan();
    link->Start("100000001");
    ASSERT_TRUE(link->IsRunning());
    ASSERT_TRUE(Eventually([&] { return meter->GetCounters().samplesAnswered >= 1; }));
    meter->SetMeterFaults({.sampleErrorStatus = 0xC0000004});
    ASSERT_TRUE(Eventually([&] { return !link->IsRunning(); }));
    // The timer thread closes the device just after letting go of it.
    EXPECT_TRUE(Eventually([&] { return driver.OpenHandleCount() == 0u; }));
    link->TakeSample();
    const auto requests = meter->GetCounters().sampleRequests;
    std::this_thread::sleep_for(milliseconds(250));
    EXPECT_EQ(meter->GetCounters().sampleRequests, requests) << "no tick after the failure";
    EXPECT_FALSE(link->HasNewSample());

    // Unplugged after three samples: the same, and Start again finds nothing.
    auto second = Plug({.meterId = "100000002", .probeModel = "KV50"});
    second->SetMeterFaults({.removeAfterSamples = 3});
    link->Rescan();
    link->ResetStatistics();
    link->Start("100000002");
    ASSERT_TRUE(Eventually([&] { return !link->IsRunning(); }));
    EXPECT_EQ(link->GetCountText(), "2");
    EXPECT_TRUE(Eventually([&] { return driver.OpenHandleCount() == 0u; }));
    link->Start("100000002");
    EXPECT_FALSE(link->IsRunning());
}

// A link that only watches a meter another link records joins its poll
// as it is: the recording link's period, and so its records, stay as they
// were, and both links get every reading.
TEST_F(DeviceLinkTest, AWatchingLinkKeepsTheRunningPeriod) {
    auto meter = Plug({.meterId = "100000001", .probeModel = "KV50"});
    auto sources = std::make_shared<LocalMeterSources>(driver);
    CDeviceLink recording(driver, {}, sources);
    CDeviceLink watching(driver, {}, sources);
    recording.SetPollPeriod(kManualPeriod);
    recording.Rescan();
    recording.Start("100000001");
    ASSERT_TRUE(recording.IsRunning());
    const auto pollPeriod = [&] {
        std::string problem;
        return sources->Open("100000001", 100, problem)->GetPollPeriod();
    };

    watching.SetPollPeriod(100);
    watching.Start("100000001", true);
    ASSERT_TRUE(watching.IsRunning());
    EXPECT_EQ(pollPeriod(), kManualPeriod);
    EXPECT_EQ(driver.OpenHandleCount(), 1u) << "one opening for both";
    meter->SetScript({{1064, 1234, 2}});
    CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(&recording), 0, 0);
    EXPECT_EQ(recording.TakeSample().powerText, "1.234W");
    EXPECT_EQ(watching.TakeSample().powerText, "1.234W");

    // The watcher leaving lets the meter run on for the recording link.
    watching.Stop();
    EXPECT_TRUE(recording.IsRunning());

    // Without the flag a second link sets its own period.
    watching.SetPollPeriod(100);
    watching.Start("100000001");
    EXPECT_EQ(pollPeriod(), 100);
}

TEST_F(DeviceLinkTest, AWaitForASampleEndsWithTheSampleOrTheMeter) {
    EXPECT_FALSE(link->WaitForSample(milliseconds(60000))) << "no meter runs: nothing to wait for";

    auto meter = Plug({.meterId = "100000001", .probeModel = "KV50"});
    meter->SetMeterFaults({.removeAfterSamples = 3});
    link->SetPollPeriod(100);
    link->Rescan();
    // A notifier hears of the same: each sample, then the closure.
    std::atomic<int> notes{0};
    link->SetSampleNotifier([&notes] { ++notes; });
    link->Start("100000001");
    ASSERT_TRUE(link->IsRunning());
    // Each wait is woken by the tick's publication, then by the failed read
    // that closes the meter; none lasts its minute.
    std::vector<MeterSample> samples;
    while (link->WaitForSample(milliseconds(60000)) || link->IsRunning()) {
        for (MeterSample& sample : link->TakeSamples()) {
            samples.push_back(std::move(sample));
        }
    }
    for (MeterSample& sample : link->TakeSamples()) {
        samples.push_back(std::move(sample));
    }
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples.back().count, 2);
    EXPECT_FALSE(link->WaitForSample(milliseconds(60000)));
    EXPECT_EQ(notes.load(), 4);
    link->SetSampleNotifier(nullptr);

    // A waiter on another thread is let go by Stop as well.
    auto second = Plug({.meterId = "100000002", .probeModel = "KV50"});
    link->SetPollPeriod(kManualPeriod);
    link->Rescan();
    link->Start("100000002");
    ASSERT_TRUE(link->IsRunning());
    std::thread waiter([this] { EXPECT_FALSE(link->WaitForSample(milliseconds(60000))); });
    std::this_thread::sleep_for(milliseconds(20));
    link->Stop();
    waiter.join();
    EXPECT_EQ(notes.load(), 4) << "no call once the notifier is taken away";
}

// A reader that sleeps until notified and then asks whether the meter
// still runs must never find it closed before the notifier told of the
// closure: it would act on a loss it was never woken for, and one that
// looked a moment earlier would sleep through it. The race is short, so a
// reader spins on the question through many closures.
TEST_F(DeviceLinkTest, AClosedMeterIsToldBeforeItIsSeen) {
    auto meter = Plug({.meterId = "100000001", .probeModel = "KV50"});
    CDeviceLink fast(driver, {.pollSpeedUp = 10});
    std::atomic<int> notes{0};
    fast.SetSampleNotifier([&notes] { ++notes; });
    fast.SetPollPeriod(100);
    fast.Rescan();
    int seenEarly = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        meter->SetMeterFaults({});
        fast.Start("100000001");
        ASSERT_TRUE(fast.IsRunning());
        meter->SetMeterFaults({.sampleErrorStatus = 0xC0000004});
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fast.IsRunning() && std::chrono::steady_clock::now() < until) {
        }
        ASSERT_FALSE(fast.IsRunning());
        // No sample comes after the closure, so the closure's note is the
        // last one: once the wait ends with the meter closed, it was given.
        const int seen = notes.load();
        while (fast.WaitForSample(milliseconds(10000))) {
            fast.TakeSamples();
        }
        if (notes.load() != seen) {
            ++seenEarly;
        }
    }
    EXPECT_EQ(seenEarly, 0);
    fast.SetSampleNotifier(nullptr);
}

} // namespace
} // namespace zelmora
