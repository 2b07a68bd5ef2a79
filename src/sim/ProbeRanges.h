#pragma once

// The measuring ranges of a simulated probe, as the meter's firmware sees
// them: for a true power it picks the most sensitive range whose limit the
// power stays under, quantises the power into that range's 16-bit reading,
// and reports over range on the top range when no range holds the power.
// The ranges are those the program's conversion reads back, by family:
// "KV" and "RM" in watts, "ZN" in milliwatts; the "ZN62" probe reads out
// like an "RM43".

#include <cstdint>
#include <string_view>
#include <vector>

namespace zelmora {

class ProbeRanges {
public:
    struct Measurement {
        std::uint16_t reading = 0;
        std::uint8_t range = 0;
        bool overRange = false;
    };

    // The ranges of a probe by its model code as the identity text carries
    // it (four characters, the last possibly "A"). A family the meter does
    // not know reads out on the "KV" ranges.
    explicit ProbeRanges(std::string_view probeModel);

    Measurement Measure(double power) const;

    // The power a measurement stands for, computed as the program computes
    // it; 0 for a range the probe does not have.
    double PowerOf(const Measurement& measurement) const;

private:
    struct Range {
        std::uint8_t index = 0;
        double multiplier = 1; // power = reading * multiplier / divisor
        double divisor = 1;
        double limit = 0;
        bool limitInRange = false; // the limit itself is still in range
    };
    static double PowerOf(const Range& range, std::uint32_t reading);
    static bool InRange(const Range& range, double power);

    std::vector<Range> m_ranges; // most sensitive first
};

} // namespace zelmora
