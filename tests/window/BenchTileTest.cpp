// A bench tile's logic: that it reads a power exactly as the main window
// does for every probe and range, its peak, statistics, dBm, relative and
// zero arithmetic, and a meter that goes away and comes back.

#include "window/BenchTile.h"

#include "meter/DeviceLink.h"
#include "meter/PeriodicTimer.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace zelmora {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A sample of a "KV" probe on range 2 (watts, limit 5 W), taken `ms` after
// a fixed start.
MeterSample Watts(double power, int ms, SampleStatus status = SampleStatus::Ok) {
    MeterSample sample;
    sample.power = power;
    sample.status = status;
    sample.unit = PowerUnit::Watt;
    sample.range = 2;
    sample.monotonicTime = Clock::time_point{} + std::chrono::hours(1) + milliseconds(ms);
    return sample;
}

CBenchTile KvTile() {
    return CBenchTile("100000001", "KV", "KV50");
}

std::string Shown(const CBenchTile& tile) {
    const CBenchTile::View view = tile.Describe();
    return view.value + view.unit;
}

// Every row of both conversion tables through a real link: the tile's
// number and unit are the main window's live text, and its statistics the
// window's statistics texts, for every family, model variant and range.
TEST(BenchTile, ReadsEveryProbeAndRangeAsTheMainWindowDoes) {
    struct Probe {
        const char* model;
        int ranges;
    };
    const Probe probes[] = {{"KV50", 7}, {"RM40", 7}, {"RM41", 7}, {"RM47", 7}, {"ZN10", 12}};
    VirtualUsbDriver driver;
    int n = 0;
    for (const Probe& probe : probes) {
        const std::string id = std::to_string(300000000 + ++n);
        auto meter = std::make_shared<SimulatedMeter>(
            SimulatedMeter::Config{.meterId = id, .probeModel = probe.model});
        meter->PlugInto(driver);
        CDeviceLink link(driver);
        link.SetPollPeriod(static_cast<int>(PeriodicTimer::kMaxPeriodMs));
        link.Rescan();
        link.Start(id);
        ASSERT_TRUE(link.IsRunning()) << probe.model;
        for (int range = 0; range < probe.ranges; ++range) {
            for (const std::uint16_t reading : {1, 7, 123, 2999}) {
                const std::string where = std::string(probe.model) + " range " +
                                          std::to_string(range) + " reading " +
                                          std::to_string(reading);
                link.ResetStatistics();
                meter->SetScript({{1064, reading, static_cast<std::uint8_t>(range)}});
                CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(&link), 0, 0);
                ASSERT_TRUE(link.HasNewSample()) << where;
                const MeterSample sample = link.TakeSample();
                CBenchTile tile(id, link.GetProbeFamily(), link.GetProbeModel());
                tile.OnSample(sample);
                const CBenchTile::View view = tile.Describe();
                if (sample.status == SampleStatus::OverRange) {
                    EXPECT_EQ(view.value, "Over Range") << where;
                    continue;
                }
                ASSERT_EQ(sample.status, SampleStatus::Ok) << where;
                EXPECT_FALSE(view.isReason) << where;
                EXPECT_EQ(view.value + view.unit, sample.powerText) << where;
                EXPECT_EQ(view.meanText, sample.meanText) << where;
                EXPECT_EQ(view.minText, sample.minText) << where;
                EXPECT_EQ(view.maxText, sample.maxText) << where;
            }
        }
    }
}

TEST(BenchTile, ReasonsWhenThereIsNoReading) {
    CBenchTile tile = KvTile();
    EXPECT_EQ(tile.Describe().value, "Waiting");

    tile.OnSample(Watts(6.2, 0, SampleStatus::OverRange));
    CBenchTile::View view = tile.Describe();
    EXPECT_TRUE(view.isReason);
    EXPECT_TRUE(view.overRange);
    EXPECT_EQ(view.value, "Over Range");
    EXPECT_EQ(view.barFraction, 1.0);
    // An over-range number is no peak and no statistic.
    EXPECT_FALSE(view.hasPeak);
    EXPECT_EQ(view.meanText, "");

    tile.OnSample(Watts(1.0, 100, SampleStatus::NoConversion));
    EXPECT_EQ(tile.Describe().value, "No conversion");
    EXPECT_FALSE(tile.ShownPower());
}

TEST(BenchTile, PeakHoldsUntilResetAndStatisticsFollowTheReset) {
    CBenchTile tile = KvTile();
    tile.OnSample(Watts(1.0, 0));
    tile.OnSample(Watts(4.0, 100));
    tile.OnSample(Watts(2.0, 200));
    CBenchTile::View view = tile.Describe();
    EXPECT_EQ(view.value + view.unit, "2.000W");
    EXPECT_DOUBLE_EQ(view.barFraction, 2.0 / 5);
    EXPECT_DOUBLE_EQ(view.peakFraction, 4.0 / 5);
    EXPECT_EQ(view.peakText, "50.0% of peak");
    EXPECT_EQ(view.meanText, "2.333W");
    EXPECT_EQ(view.minText, "1.000W");
    EXPECT_EQ(view.maxText, "4.000W");
    // Population deviation 1.2472 of the mean 2.3333.
    EXPECT_EQ(view.stdDevPercentText, "53.45%");

    // Over range between readings leaves peak and statistics alone.
    tile.OnSample(Watts(9.0, 300, SampleStatus::OverRange));
    tile.ResetPeak();
    view = tile.Describe();
    EXPECT_FALSE(view.hasPeak);
    EXPECT_EQ(view.meanText, "");
    tile.OnSample(Watts(3.0, 400));
    view = tile.Describe();
    EXPECT_DOUBLE_EQ(view.peakFraction, 3.0 / 5);
    EXPECT_EQ(view.peakText, "100.0% of peak");
    EXPECT_EQ(view.meanText, "3.000W");
    EXPECT_EQ(view.stdDevPercentText, "0.00%");
}

TEST(BenchTile, DbmOfEveryFamilyAndOfNoPower) {
    CBenchTile tile = KvTile();
    tile.SetMode(BenchMode::Dbm);
    tile.OnSample(Watts(1.0, 0));
    EXPECT_EQ(Shown(tile), "30.00dBm");
    tile.OnSample(Watts(0.001, 100));
    EXPECT_EQ(Shown(tile), "0.00dBm");
    // 0 W has no level: no infinity, no "nan" on the tile.
    tile.OnSample(Watts(0, 200));
    EXPECT_EQ(Shown(tile), "---dBm");
    tile.OnSample(Watts(7, 300, SampleStatus::OverRange));
    EXPECT_EQ(tile.Describe().value, "Over Range");

    // "ZN" numbers are milliwatts already.
    CBenchTile zn("100000002", "ZN", "ZN10");
    zn.SetMode(BenchMode::Dbm);
    MeterSample sample = Watts(0.01, 0);
    sample.unit = PowerUnit::Milliwatt;
    zn.OnSample(sample);
    EXPECT_EQ(Shown(zn), "-20.00dBm");
}

TEST(BenchTile, RelativeToAReference) {
    CBenchTile tile = KvTile();
    // Nothing to refer to yet.
    EXPECT_FALSE(tile.TakeReference());
    tile.OnSample(Watts(0, 0));
    EXPECT_FALSE(tile.TakeReference());
    EXPECT_EQ(tile.Mode(), BenchMode::RangeUnit);

    tile.OnSample(Watts(2.0, 100));
    ASSERT_TRUE(tile.TakeReference());
    EXPECT_EQ(tile.Mode(), BenchMode::Relative);
    EXPECT_EQ(Shown(tile), "+0.00dB");
    EXPECT_EQ(tile.Describe().extraText, "100.0%");
    EXPECT_EQ(tile.Describe().modeText, "Relative to 2.000W");

    tile.OnSample(Watts(1.0, 200));
    EXPECT_EQ(Shown(tile), "-3.01dB");
    EXPECT_EQ(tile.Describe().extraText, "50.0%");
    tile.OnSample(Watts(0, 300));
    EXPECT_EQ(Shown(tile), "---dB");
    EXPECT_EQ(tile.Describe().extraText, "0.0%");

    // The modes go round; relative only while a reference exists.
    tile.NextMode();
    EXPECT_EQ(tile.Mode(), BenchMode::RangeUnit);
    tile.NextMode();
    EXPECT_EQ(tile.Mode(), BenchMode::Dbm);
    tile.NextMode();
    EXPECT_EQ(tile.Mode(), BenchMode::Relative);
    CBenchTile fresh = KvTile();
    fresh.NextMode();
    fresh.NextMode();
    EXPECT_EQ(fresh.Mode(), BenchMode::RangeUnit);
}

TEST(BenchTile, ZeroSubtractsTheMeanOfTheNextSecond) {
    CBenchTile tile = KvTile();
    tile.OnSample(Watts(3.0, 0));
    tile.OnSample(Watts(2.0, 50));
    ASSERT_TRUE(tile.TakeReference());
    tile.ToggleZero();
    EXPECT_EQ(tile.Describe().zeroText, "ZEROING");
    // The second starts with the first sample after the key; it is not
    // subtracted from the samples it is made of.
    tile.OnSample(Watts(0.10, 100));
    EXPECT_EQ(Shown(tile), "-13.01dB");
    tile.OnSample(Watts(0.20, 600));
    tile.OnSample(Watts(0.30, 1099));
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Taking);

    tile.OnSample(Watts(1.2, 1100));
    ASSERT_EQ(tile.Zero(), CBenchTile::ZeroState::Active);
    EXPECT_DOUBLE_EQ(tile.Background(), 0.2);
    CBenchTile::View view = tile.Describe();
    EXPECT_EQ(view.zeroText, "ZERO 0.200W");
    // The reference was in unzeroed numbers: gone, and with it the mode.
    EXPECT_FALSE(tile.Reference());
    EXPECT_EQ(tile.Mode(), BenchMode::RangeUnit);
    EXPECT_EQ(view.value + view.unit, "1.000W");
    // Peak and statistics begin with the zeroed numbers.
    EXPECT_EQ(view.maxText, "1.000W");
    EXPECT_DOUBLE_EQ(view.peakFraction, 1.0 / 5);

    // Below the background: a negative reading, and no dBm.
    tile.OnSample(Watts(0.15, 1200));
    EXPECT_EQ(Shown(tile), "-0.050W");
    tile.SetMode(BenchMode::Dbm);
    EXPECT_EQ(Shown(tile), "---dBm");

    // The key again ends the zero.
    tile.ToggleZero();
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Off);
    tile.SetMode(BenchMode::RangeUnit);
    EXPECT_EQ(Shown(tile), "0.150W");
    EXPECT_EQ(tile.Describe().zeroText, "");
}

TEST(BenchTile, ZeroIsGivenUpOnOverRangeOrAMeterAway) {
    CBenchTile tile = KvTile();
    tile.ToggleZero();
    tile.OnSample(Watts(0.1, 0));
    tile.OnSample(Watts(6, 500, SampleStatus::OverRange));
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Off);
    EXPECT_EQ(tile.Describe().extraText, "Zero given up: Over Range");

    tile.ToggleZero();
    tile.OnSample(Watts(0.1, 600));
    tile.SetConnected(false);
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Off);
    tile.SetConnected(true);
    tile.OnSample(Watts(0.1, 5000));
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Off);
    EXPECT_EQ(Shown(tile), "0.100W");

    // A second pressed while taking gives it up too.
    tile.ToggleZero();
    tile.OnSample(Watts(0.1, 6000));
    tile.ToggleZero();
    tile.OnSample(Watts(0.1, 8000));
    EXPECT_EQ(tile.Zero(), CBenchTile::ZeroState::Off);
}

TEST(BenchTile, MeterUnpluggedAndBack) {
    CBenchTile tile = KvTile();
    tile.OnSample(Watts(2.0, 0));
    tile.OnSample(Watts(4.0, 100));
    tile.SetConnected(false);
    CBenchTile::View view = tile.Describe();
    EXPECT_TRUE(view.isReason);
    EXPECT_EQ(view.value, "Disconnected");
    EXPECT_EQ(view.barFraction, 0.0);
    EXPECT_FALSE(tile.TakeReference());
    // What was measured stays readable.
    EXPECT_EQ(view.maxText, "4.000W");
    EXPECT_TRUE(view.hasPeak);

    tile.SetConnected(true);
    EXPECT_EQ(tile.Describe().value, "Waiting");
    tile.OnSample(Watts(3.0, 5000));
    view = tile.Describe();
    EXPECT_EQ(view.value + view.unit, "3.000W");
    EXPECT_EQ(view.peakText, "75.0% of peak");
    EXPECT_EQ(view.meanText, "3.000W");

    // The trend shows the time away as one gap.
    const auto& trend = tile.Trend();
    ASSERT_EQ(trend.size(), 4u);
    EXPECT_TRUE(trend[1].power);
    EXPECT_FALSE(trend[2].power);
    EXPECT_EQ(trend[3].power, 3.0);
}

TEST(BenchTile, TrendKeepsTheLastMinute) {
    CBenchTile tile = KvTile();
    for (int ms = 0; ms <= 120000; ms += 100) {
        tile.OnSample(Watts(1.0, ms));
    }
    const auto& trend = tile.Trend();
    ASSERT_FALSE(trend.empty());
    EXPECT_EQ(trend.back().time - trend.front().time, CBenchTile::kTrendSpan);
    EXPECT_EQ(trend.size(), 601u);
}

} // namespace
} // namespace zelmora
