#include "window/BenchTile.h"

#include "meter/DeviceLink.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

namespace zelmora {

namespace {

// A live text such as "12.34mW" split into its number and its unit.
void SplitUnit(const std::string& text, std::string& value, std::string& unit) {
    std::size_t end = text.size();
    while (end > 0 && std::isalpha(static_cast<unsigned char>(text[end - 1])) != 0) {
        --end;
    }
    value = text.substr(0, end);
    unit = text.substr(end);
}

double Fraction(double value, std::optional<double> limit) {
    if (!limit || *limit <= 0 || !std::isfinite(value)) {
        return 0;
    }
    return std::clamp(value / *limit, 0.0, 1.0);
}

} // namespace

CBenchTile::CBenchTile(std::string meterId, std::string probeFamily, std::string probeModel)
    : m_meterId(std::move(meterId)), m_family(std::move(probeFamily)),
      m_model(std::move(probeModel)) {}

void CBenchTile::OnSample(const MeterSample& sample) {
    m_connected = true;
    m_hasSample = true;
    m_status = sample.status;
    m_unit = sample.unit;
    m_now = sample.monotonicTime;
    if (sample.status == SampleStatus::NoConversion) {
        // The power number is an older reading's: nothing to show or count.
        AddToTrend(sample.monotonicTime, std::nullopt);
        return;
    }
    m_power = sample.power;
    m_range = sample.range;
    if (sample.status == SampleStatus::OverRange) {
        if (m_zeroState == ZeroState::Taking) {
            // Light above the range is no background.
            m_zeroState = ZeroState::Off;
            m_note = "Zero given up: Over Range";
        }
        AddToTrend(sample.monotonicTime, std::nullopt);
        return;
    }

    if (m_zeroState == ZeroState::Taking) {
        if (!m_zeroStart) {
            m_zeroStart = sample.monotonicTime;
        }
        if (sample.monotonicTime - *m_zeroStart < kZeroSpan) {
            m_zeroSum += sample.power;
            m_zeroCount += 1;
        } else if (m_zeroCount > 0) {
            m_background = m_zeroSum / m_zeroCount;
            m_zeroState = ZeroState::Active;
            ResetStatistics();
            m_reference.reset();
            if (m_mode == BenchMode::Relative) {
                m_mode = BenchMode::RangeUnit;
            }
        }
    }

    const double shown = *ShownPower();
    if (!m_peak || shown > *m_peak) {
        m_peak = shown;
    }
    m_count += 1;
    if (m_count == 1) {
        m_min = m_max = shown;
    } else {
        m_min = std::min(m_min, shown);
        m_max = std::max(m_max, shown);
    }
    const double delta = shown - m_mean;
    m_mean += delta / static_cast<double>(m_count);
    m_m2 += delta * (shown - m_mean);
    AddToTrend(sample.monotonicTime, shown);
}

void CBenchTile::SetConnected(bool connected) {
    if (connected == m_connected) {
        return;
    }
    m_connected = connected;
    if (!connected) {
        if (m_zeroState == ZeroState::Taking) {
            m_zeroState = ZeroState::Off;
            m_note = "Zero given up: meter away";
        }
        m_hasSample = false;
        AddToTrend(m_now, std::nullopt);
    }
}

void CBenchTile::ResetPeak() {
    ResetStatistics();
}

void CBenchTile::ResetStatistics() {
    m_peak.reset();
    m_count = 0;
    m_mean = m_m2 = m_min = m_max = 0;
}

void CBenchTile::NextMode() {
    switch (m_mode) {
    case BenchMode::RangeUnit:
        m_mode = BenchMode::Dbm;
        break;
    case BenchMode::Dbm:
        m_mode = m_reference ? BenchMode::Relative : BenchMode::RangeUnit;
        break;
    case BenchMode::Relative:
        m_mode = BenchMode::RangeUnit;
        break;
    }
}

bool CBenchTile::TakeReference() {
    const std::optional<double> shown = ShownPower();
    if (!shown || *shown <= 0) {
        m_note = "No reference: no power";
        return false;
    }
    m_reference = shown;
    m_mode = BenchMode::Relative;
    m_note.clear();
    return true;
}

void CBenchTile::ToggleZero() {
    m_note.clear();
    if (m_zeroState == ZeroState::Off) {
        m_zeroState = ZeroState::Taking;
        m_zeroStart.reset();
        m_zeroSum = 0;
        m_zeroCount = 0;
        return;
    }
    const bool wasActive = m_zeroState == ZeroState::Active;
    m_zeroState = ZeroState::Off;
    if (wasActive) {
        m_background = 0;
        ResetStatistics();
        m_reference.reset();
        if (m_mode == BenchMode::Relative) {
            m_mode = BenchMode::RangeUnit;
        }
    }
}

std::optional<double> CBenchTile::ShownPower() const {
    if (!m_connected || !m_hasSample || m_status != SampleStatus::Ok) {
        return std::nullopt;
    }
    return m_zeroState == ZeroState::Active ? m_power - m_background : m_power;
}

double CBenchTile::Milliwatts(double power) const {
    return m_unit == PowerUnit::Watt ? power * 1000 : power;
}

std::string CBenchTile::FormatLive(double power) const {
    return CDeviceLink::FormatPowerText(m_family, m_model, m_range, power);
}

std::string CBenchTile::FormatStatistic(double power) const {
    return CDeviceLink::FormatStatisticText(m_family, m_range, power);
}

CBenchTile::View CBenchTile::Describe() const {
    View view;
    view.title = m_meterId + "  " + m_model;
    switch (m_mode) {
    case BenchMode::RangeUnit:
        view.modeText = "Range unit";
        break;
    case BenchMode::Dbm:
        view.modeText = "dBm";
        break;
    case BenchMode::Relative:
        view.modeText = "Relative to " + (m_reference ? FormatLive(*m_reference) : std::string());
        break;
    }
    if (m_zeroState == ZeroState::Taking) {
        view.zeroText = "ZEROING";
    } else if (m_zeroState == ZeroState::Active) {
        view.zeroText = "ZERO " + FormatLive(m_background);
    }
    view.extraText = m_note;

    const std::optional<double> limit = CDeviceLink::RangeLimit(m_family, m_model, m_range);
    if (m_peak) {
        view.hasPeak = true;
        view.peakFraction = Fraction(*m_peak, limit);
    }
    if (m_count > 0) {
        view.meanText = FormatStatistic(m_mean);
        view.minText = FormatStatistic(m_min);
        view.maxText = FormatStatistic(m_max);
        const double stdDev = std::sqrt(std::max(m_m2 / static_cast<double>(m_count), 0.0));
        view.stdDevPercentText =
            Format("%.2lf%%", m_mean != 0 ? stdDev / std::fabs(m_mean) * 100 : 0.0);
    }

    view.isReason = true;
    if (!m_connected) {
        view.value = "Disconnected";
        return view;
    }
    if (!m_hasSample) {
        view.value = "Waiting";
        return view;
    }
    if (m_status == SampleStatus::NoConversion) {
        view.value = "No conversion";
        return view;
    }
    if (m_status == SampleStatus::OverRange) {
        view.value = "Over Range";
        view.overRange = true;
        view.barFraction = 1;
        return view;
    }
    const double shown = *ShownPower();
    view.isReason = false;
    view.barFraction = Fraction(shown, limit);
    if (m_peak && *m_peak > 0) {
        view.peakText = Format("%.1lf%% of peak", shown / *m_peak * 100);
    }
    switch (m_mode) {
    case BenchMode::RangeUnit:
        SplitUnit(FormatLive(shown), view.value, view.unit);
        break;
    case BenchMode::Dbm:
        view.unit = "dBm";
        // No power, or less than the background, has no level in dBm.
        view.value = shown > 0 ? Format("%.2lf", 10 * std::log10(Milliwatts(shown))) : "---";
        break;
    case BenchMode::Relative: {
        const double reference = m_reference.value_or(0);
        view.unit = "dB";
        view.value = shown > 0 && reference > 0
                         ? Format("%+.2lf", 10 * std::log10(shown / reference))
                         : "---";
        if (reference > 0) {
            view.extraText = Format("%.1lf%%", shown / reference * 100);
        }
        break;
    }
    }
    return view;
}

void CBenchTile::AddToTrend(std::chrono::steady_clock::time_point time,
                            std::optional<double> power) {
    // One gap mark is enough between two stretches of values.
    if (!power && (m_trend.empty() || !m_trend.back().power)) {
        return;
    }
    m_trend.push_back({time, power});
    while (!m_trend.empty() && time - m_trend.front().time > kTrendSpan) {
        m_trend.pop_front();
    }
}

} // namespace zelmora
