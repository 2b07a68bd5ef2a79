#include "util/NumberEntry.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <cmath>

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
    const double inUnit = static_cast<double>(ms) / unitMs;
    // A unit of 10^k ms needs k decimals to name every millisecond; the
    // larger units are not powers of ten, so one decimal more than that
    // (and the search stops at the first text that reads back).
    const int enough = static_cast<int>(std::ceil(std::log10(static_cast<double>(unitMs)))) + 1;
    std::string text;
    // Past `enough`, only a product that rounds below the whole millisecond
    // needs more places; 17 significant digits always read back.
    for (int places = decimals; places <= std::max(decimals, enough + 17); ++places) {
        text = Format("%.*lf", places, inUnit);
        const std::optional<double> back = ScanDouble(text);
        if (back && static_cast<long long>(*back * unitMs) == ms) {
            break;
        }
    }
    return text;
}

} // namespace zelmora
