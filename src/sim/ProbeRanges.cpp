#include "sim/ProbeRanges.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace zelmora {

namespace {

constexpr std::uint32_t kMaxReading = 0xFFFF;

std::string EffectiveModel(std::string_view model) {
    std::string effective(model);
    if (effective == "ZN62") {
        effective = "RM43";
    }
    if (effective.size() >= 4 && effective[3] == 'A') {
        effective.erase(3, 1);
    }
    return effective;
}

} // namespace

ProbeRanges::ProbeRanges(std::string_view probeModel) {
    const std::string model = EffectiveModel(probeModel);
    const std::string family = model.substr(0, 2);
    if (family == "ZN") {
        m_ranges = {
            {5, 1, 1000000, 0.003}, {4, 1, 100000, 0.03}, {3, 1, 10000, 0.3}, {2, 1, 1000, 3},
            {1, 1, 100, 30},        {0, 1, 10, 300},      {7, 1, 1, 3000},    {6, 10, 1, 30000},
        };
    } else {
        const bool rm = family == "RM";
        const bool fineRange4 =
            model == "RM41" || model == "RM42" || model == "RM43" || model == "RM47";
        m_ranges = {
            {0, 1, 100000, 0.03},
            {1, 1, 10000, 0.3},
            {2, 1, 1000, rm ? 3.0 : 5.0},
            {3, 1, 100, 15},
            fineRange4 ? Range{4, 1, 100, 30} : Range{4, 1, 10, 50},
            {5, 1, 10, 300},
            {6, 1, 1, 700, true},
        };
    }
}

double ProbeRanges::PowerOf(const Range& range, std::uint32_t reading) {
    return static_cast<double>(reading) * range.multiplier / range.divisor;
}

double ProbeRanges::PowerOf(const Measurement& measurement) const {
    for (const Range& range : m_ranges) {
        if (range.index == measurement.range) {
            return PowerOf(range, measurement.reading);
        }
    }
    return 0;
}

bool ProbeRanges::InRange(const Range& range, double power) {
    return range.limitInRange ? power <= range.limit : power < range.limit;
}

ProbeRanges::Measurement ProbeRanges::Measure(double power) const {
    power = std::max(power, 0.0);
    for (const Range& range : m_ranges) {
        const double counts = std::round(power * range.divisor / range.multiplier);
        if (counts > kMaxReading) {
            continue;
        }
        const auto reading = static_cast<std::uint32_t>(counts);
        if (InRange(range, PowerOf(range, reading))) {
            return {static_cast<std::uint16_t>(reading), range.index, false};
        }
    }
    // Above the top range: the smallest reading that is over range there, or
    // the quantised power when it is higher.
    const Range& top = m_ranges.back();
    std::uint32_t reading = static_cast<std::uint32_t>(
        std::min<double>(kMaxReading, top.limit * top.divisor / top.multiplier));
    while (reading > 0 && !InRange(top, PowerOf(top, reading - 1))) {
        --reading;
    }
    while (reading < kMaxReading && InRange(top, PowerOf(top, reading))) {
        ++reading;
    }
    const double counts = std::round(power * top.divisor / top.multiplier);
    if (counts > reading) {
        reading = static_cast<std::uint32_t>(std::min<double>(counts, kMaxReading));
    }
    return {static_cast<std::uint16_t>(reading), top.index, true};
}

} // namespace zelmora
