#pragma once

// Numbers become text, and text becomes numbers, in the C locale only.
//
// Qt sets the process locale from the environment, so a plain printf would
// write 0,5 under a German locale and a plain sscanf would stop at the
// point of "0.5". Every format and parse of the program goes through here.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define ZELMORA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZELMORA_PRINTF(fmt, args)
#endif

namespace zelmora {

// printf-style formatting, always with a point as the decimal separator and
// no grouping.
std::string Format(const char* format, ...) ZELMORA_PRINTF(1, 2);
std::string FormatV(const char* format, std::va_list args) ZELMORA_PRINTF(1, 0);

// What "%d" reads: leading blanks skipped, an optional sign, then the
// longest run of digits; anything after it is ignored. Empty when the text
// does not start with a number or the number does not fit an int (where
// the runtime's scan would give an undefined result). `end`, when given,
// receives the index just past the number read.
std::optional<int> ScanInt(std::string_view text, std::size_t* end = nullptr);

// What "%lf" reads: leading blanks skipped, then the longest decimal
// number (sign, digits, point, exponent); anything after it is ignored.
// Only finite numbers count: "inf", "nan" and values too large for a
// double are not read, so callers can convert the result safely. `end`,
// when given, receives the index just past the number read.
std::optional<double> ScanDouble(std::string_view text, std::size_t* end = nullptr);

// "%02d:%02d:%02d(%03d)" of a span of milliseconds: hours are not wrapped
// at 24 and may have any number of digits.
std::string FormatElapsed(std::uint64_t totalMs);

// `text` made safe to echo to a terminal or a message: every byte outside
// printable ASCII becomes "\xNN" (so no escape sequence reaches the
// terminal), and a text longer than `maxChars` is cut there with "..."
// after it.
std::string PrintableExcerpt(std::string_view text, std::size_t maxChars);

// Whether `text` is well-formed UTF-8: no malformed or overlong sequence,
// no surrogate, nothing beyond U+10FFFF.
bool IsWellFormedUtf8(std::string_view text);

// UTF-8 text from an untrusted source (a device's name) made safe to show
// and to keep on one line: well-formed printable characters stay as they
// are; control characters (line breaks too), bidirectional overrides and
// malformed bytes each become '?'; a text of more than `maxChars`
// characters is cut there with "..." after it.
std::string PrintableLine(std::string_view utf8, std::size_t maxChars);

// UTF-16LE bytes (a USB string descriptor's text) as UTF-8; an odd last
// byte is dropped and an unpaired surrogate becomes U+FFFD. Not made
// printable: see PrintableLine.
std::string Utf8FromUtf16Le(std::span<const std::uint8_t> bytes);

// "%02d:%02d:%02d(%03d)" of a time of day.
std::string FormatClock(int hour, int minute, int second, int millisecond);

} // namespace zelmora
