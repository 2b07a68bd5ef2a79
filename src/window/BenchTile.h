#pragma once

// One meter's tile in the bench view, without a toolkit: what an operator
// aligning a beam reads from across the table. The tile takes the meter's
// samples and keeps its own peak, statistics, reference, background and
// trend; it never writes to the meter, its link or any record, so zeroing
// or a relative reading here changes nothing anywhere else.
//
// Numbers are kept in the probe family's unit (watts for "KV" and "RM",
// milliwatts for "ZN"), as the samples carry them, and turned into text
// by the link's own formatting for the sample's range, so a tile shows a
// power exactly as the main window does.
//
// Everything runs on the window's thread.

#include "meter/MeterSample.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace zelmora {

// How a tile shows the live power.
enum class BenchMode : std::uint8_t {
    RangeUnit, // the range's own unit and decimals
    Dbm,       // decibels over one milliwatt
    Relative,  // against the reference, in dB and in %
};

class CBenchTile {
public:
    // The background is the mean of the in-range samples of this long.
    static constexpr std::chrono::milliseconds kZeroSpan{1000};
    // The trend line covers this long.
    static constexpr std::chrono::seconds kTrendSpan{60};

    CBenchTile(std::string meterId, std::string probeFamily, std::string probeModel);

    const std::string& MeterId() const { return m_meterId; }
    const std::string& ProbeFamily() const { return m_family; }
    const std::string& ProbeModel() const { return m_model; }

    // --- Input ---------------------------------------------------------------

    void OnSample(const MeterSample& sample);
    // The meter went away (unplugged, closed) or came back. While it is
    // away the tile says so; peak, statistics, reference and zero stay, a
    // background being taken is given up, and the trend has a gap.
    void SetConnected(bool connected);
    bool IsConnected() const { return m_connected; }

    // --- Actions -------------------------------------------------------------

    // The tile's reset: the peak and the statistics start again.
    void ResetPeak();
    void SetMode(BenchMode mode) { m_mode = mode; }
    // Range unit, dBm, relative (only once a reference is taken), again.
    void NextMode();
    BenchMode Mode() const { return m_mode; }
    // Takes the power shown now as the reference and shows the relative
    // reading. False, and nothing changes, without a positive in-range
    // power to refer to.
    bool TakeReference();
    std::optional<double> Reference() const { return m_reference; }
    // Without a zero: the mean of the next second becomes the background
    // subtracted from what the tile shows. While it is being taken, or once
    // it is in force: back to no zero. A change of zero starts peak and
    // statistics again and drops the reference, as they were taken in
    // other numbers.
    void ToggleZero();
    enum class ZeroState : std::uint8_t { Off, Taking, Active };
    ZeroState Zero() const { return m_zeroState; }
    double Background() const { return m_background; }

    // --- What the tile shows -------------------------------------------------

    struct View {
        std::string title;     // "ABC123456  RM41"
        std::string value;     // "12.34", or why there is none
        std::string unit;      // "mW", "dBm", "dB"; empty with a reason
        bool isReason = false; // value says why there is no reading
        bool overRange = false;
        std::string modeText;    // "Range unit", "dBm", "Relative to 12.3mW"
        std::string extraText;   // the relative reading in %, or a note
        std::string zeroText;    // "ZERO -0.012mW", "ZEROING", empty
        double barFraction = 0;  // the power over the range's limit, 0..1
        double peakFraction = 0; // the peak over the range's limit, 0..1
        bool hasPeak = false;
        std::string peakText; // "87.5% of peak"
        std::string meanText;
        std::string stdDevPercentText;
        std::string minText;
        std::string maxText;
    };
    View Describe() const;

    // The trend of the last kTrendSpan: the shown power (background
    // subtracted) of in-range samples, in the family's unit; a point
    // without a value is a gap (the meter away, or over range).
    struct TrendPoint {
        std::chrono::steady_clock::time_point time{};
        std::optional<double> power;
    };
    const std::deque<TrendPoint>& Trend() const { return m_trend; }
    // The time of the newest sample, the trend's right edge.
    std::chrono::steady_clock::time_point Now() const { return m_now; }

    // The power the tile shows now in the family's unit, background
    // subtracted; nothing without an in-range reading.
    std::optional<double> ShownPower() const;

private:
    void ResetStatistics();
    void AddToTrend(std::chrono::steady_clock::time_point time, std::optional<double> power);
    std::string FormatLive(double power) const;
    std::string FormatStatistic(double power) const;
    double Milliwatts(double power) const;

    std::string m_meterId;
    std::string m_family;
    std::string m_model;
    bool m_connected = true;

    // The newest sample's facts.
    bool m_hasSample = false;
    SampleStatus m_status = SampleStatus::Ok;
    PowerUnit m_unit = PowerUnit::None;
    double m_power = 0;
    int m_range = -1;
    std::chrono::steady_clock::time_point m_now{};

    BenchMode m_mode = BenchMode::RangeUnit;
    std::optional<double> m_reference;
    std::string m_note;

    ZeroState m_zeroState = ZeroState::Off;
    double m_background = 0;
    std::optional<std::chrono::steady_clock::time_point> m_zeroStart;
    double m_zeroSum = 0;
    int m_zeroCount = 0;

    // Peak and statistics since the tile's reset (Welford's running sums).
    std::optional<double> m_peak;
    std::int64_t m_count = 0;
    double m_mean = 0;
    double m_m2 = 0;
    double m_min = 0;
    double m_max = 0;

    std::deque<TrendPoint> m_trend;
};

} // namespace zelmora
