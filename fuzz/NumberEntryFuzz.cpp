// The number boxes' scanning and commit rules on any text, under a comma
// locale: ScanInt and ScanDouble read exactly what std::from_chars (which
// never looks at the locale) reads from the same leading number, and a
// committed interval is shown as a text that commits the same value again.

#include "FuzzInput.h"
#include "util/NumberEntry.h"
#include "util/TextFormat.h"

#include <cfloat>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kBlanks = " \t\n\v\f\r";

// The leading number as "%d" and "%lf" see it, told by from_chars: blanks,
// then a sign ('+' is the scan's only addition to from_chars), then digits.
struct Reference {
    std::size_t start = 0; // where the sign or the digits begin
    bool negative = false;
};

Reference Locate(std::string_view text) {
    Reference reference;
    reference.start = std::min(text.find_first_not_of(kBlanks), text.size());
    if (reference.start < text.size() &&
        (text[reference.start] == '+' || text[reference.start] == '-')) {
        reference.negative = text[reference.start] == '-';
        ++reference.start;
    }
    return reference;
}

void CheckInt(std::string_view text) {
    std::size_t end = 0;
    const std::optional<int> value = zelmora::ScanInt(text, &end);
    const Reference reference = Locate(text);
    const std::string_view rest = text.substr(reference.start);
    long long magnitude = 0;
    const auto [last, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude);
    // from_chars takes its own '-'; after the scan's sign there must be a digit.
    const bool digitFirst = !rest.empty() && rest[0] >= '0' && rest[0] <= '9';
    if (!digitFirst || error != std::errc{}) {
        if (value) {
            std::abort();
        }
        return;
    }
    const long long expected = reference.negative ? -magnitude : magnitude;
    const bool fits = expected >= INT32_MIN && expected <= INT32_MAX;
    if (value.has_value() != fits ||
        (fits && (*value != expected || end != static_cast<std::size_t>(last - text.data())))) {
        std::abort();
    }
}

void CheckDouble(std::string_view text) {
    std::size_t end = 0;
    const std::optional<double> value = zelmora::ScanDouble(text, &end);
    const Reference reference = Locate(text);
    const std::string_view rest = text.substr(reference.start);
    // The scan reads plain decimals only: no '-' of from_chars' own after
    // the sign, no "inf", "nan" or hexadecimal.
    const bool decimalFirst =
        !rest.empty() && ((rest[0] >= '0' && rest[0] <= '9') || rest[0] == '.');
    double magnitude = 0;
    const auto [last, error] =
        decimalFirst ? std::from_chars(rest.data(), rest.data() + rest.size(), magnitude,
                                       std::chars_format::general)
                     : std::from_chars_result{rest.data(), std::errc::invalid_argument};
    if (error == std::errc::invalid_argument) {
        if (value) {
            std::abort();
        }
        return;
    }
    if (error == std::errc::result_out_of_range) {
        // Too large is no number; too small reads as (nearly) zero.
        if (value &&
            (end != static_cast<std::size_t>(last - text.data()) || std::fabs(*value) >= DBL_MIN)) {
            std::abort();
        }
        return;
    }
    const double expected = reference.negative ? -magnitude : magnitude;
    if (!value || *value != expected || end != static_cast<std::size_t>(last - text.data())) {
        std::abort();
    }
}

void CheckInterval(std::string_view text, int unit) {
    constexpr int kUnitMs[] = {1000, 60000, 3600000};
    constexpr int kDecimals[] = {1, 2, 3};
    const int unitMs = kUnitMs[unit];
    const std::optional<int> ms = zelmora::AcceptIntervalMs(text, unitMs, 100, 1800000000);
    if (!ms) {
        return;
    }
    if (*ms < 100 || *ms > 1800000000) {
        std::abort();
    }
    // What the box shows afterwards commits the same milliseconds again.
    const std::string shown = zelmora::ShowsIntervalExactly(text, *ms, unitMs)
                                  ? std::string(text)
                                  : zelmora::FormatIntervalForEntry(*ms, unitMs, kDecimals[unit]);
    if (zelmora::AcceptIntervalMs(shown, unitMs, 100, 1800000000) != ms) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The operator's locale writes 0,5; nothing here may follow it.
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelmora::fuzz::Input input(data, size);
    const int unit = input.Byte() % 3;
    const int ms = static_cast<int>(100 + input.Value<std::uint32_t>() % 1799999901u);
    const std::string text = input.Rest();
    CheckInt(text);
    CheckDouble(text);
    CheckInterval(text, unit);
    const int min = -5 + static_cast<int>(size % 11);
    if (const std::optional<int> accepted = zelmora::AcceptInt(text, min, min + 20000)) {
        if (*accepted < min || *accepted > min + 20000 || zelmora::ScanInt(text) != accepted) {
            std::abort();
        }
    }
    // Any interval in use, in any unit, is shown as a text that commits it.
    constexpr int kUnitMs[] = {1000, 60000, 3600000};
    constexpr int kDecimals[] = {1, 2, 3};
    const std::string shown = zelmora::FormatIntervalForEntry(ms, kUnitMs[unit], kDecimals[unit]);
    if (zelmora::AcceptIntervalMs(shown, kUnitMs[unit], 100, 1800000000) != ms) {
        std::abort();
    }
    return 0;
}
