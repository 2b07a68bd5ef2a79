#include "util/NumberEntry.h"

#include "util/TextFormat.h"

#include <algorithm>

namespace zelmora {

namespace {

bool OnlyBlanks(std::string_view text) {
    return text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
}

} // namespace

std::optional<int> AcceptInt(std::string_view typed, int min, int max) {
    const std::optional<int> value = ScanInt(typed);
    if (value && *value >= min && *value <= max) {
        return value;
    }
    return std::nullopt;
}

std::optional<int> AcceptIntervalMs(std::string_view typed, int unitMs, int minMs, int maxMs) {
    const std::optional<double> value = ScanDouble(typed);
    if (!value) {
        return std::nullopt;
    }
    const double ms = *value * unitMs;
    // Checked as a double first: truncating a number beyond an int's range
    // would be undefined. trunc(ms) lies in [minMs, maxMs] exactly when ms
    // lies in [minMs, maxMs + 1).
    if (ms >= minMs && ms < maxMs + 1.0) {
        return static_cast<int>(ms);
    }
    return std::nullopt;
}

bool ShowsIntervalExactly(std::string_view typed, int ms, int unitMs) {
    std::size_t end = 0;
    const std::optional<double> value = ScanDouble(typed, &end);
    return value && OnlyBlanks(typed.substr(end)) && *value * unitMs == ms;
}

std::string FormatIntervalForEntry(int ms, int unitMs, int decimals) {
    // Worked in whole numbers: ms / unitMs with `places` decimals is
    // numerator / 10^places. The text read back is multiplied by the unit
    // and cut to whole milliseconds, so a text just below the value (0.0000661
    // hr for 238 ms) commits one millisecond less: beside the nearest text,
    // the ones rounded up are tried, and nine places always leave room.
    const auto wholeMs = static_cast<unsigned long long>(std::max(ms, 0));
    const auto unit = static_cast<unsigned long long>(std::max(unitMs, 1));
    std::string nearest;
    for (int places = std::max(decimals, 0); places <= std::max(decimals, 9); ++places) {
        unsigned long long scale = 1;
        for (int i = 0; i < places; ++i) {
            scale *= 10;
        }
        const unsigned long long scaled = wholeMs * scale;
        const unsigned long long floor = scaled / unit;
        const unsigned long long remainder = scaled % unit;
        const unsigned long long ceiling = floor + (remainder != 0 ? 1 : 0);
        const unsigned long long rounded = floor + (remainder * 2 >= unit ? 1 : 0);
        for (const unsigned long long numerator : {rounded, ceiling, ceiling + 1}) {
            std::string text = Format("%llu", numerator / scale);
            if (places > 0) {
                text += Format(".%0*llu", places, numerator % scale);
            }
            if (nearest.empty()) {
                nearest = text;
            }
            const std::optional<double> back = ScanDouble(text);
            if (back && static_cast<long long>(*back * unitMs) == ms) {
                return text;
            }
        }
    }
    return nearest;
}

} // namespace zelmora
