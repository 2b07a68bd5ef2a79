#include "util/TextFormat.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <vector>

#if defined(_WIN32)
#include <stdlib.h>
#endif

namespace zelmora {

namespace {

#if defined(_WIN32)
_locale_t CLocale() {
    static const _locale_t locale = _create_locale(LC_ALL, "C");
    return locale;
}

// Returns the length of the whole text, as C99's vsnprintf does. The
// runtime's _vsnprintf_l returns -1 instead when the text does not fit, so
// the length is measured first (it does not depend on the locale: only the
// decimal point's character differs).
ZELMORA_PRINTF(3, 0)
int FormatInC(char* buffer, std::size_t size, const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    const int length = _vscprintf(format, copy);
    va_end(copy);
    if (length >= 0 && static_cast<std::size_t>(length) < size) {
        _vsnprintf_l(buffer, size, format, CLocale(), args);
    }
    return length;
}
double ParseDecimalInC(const char* number) {
    return _strtod_l(number, nullptr, CLocale());
}
#else
locale_t CLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

// uselocale switches only the calling thread, so the timer thread and the
// window's thread can format at the same time.
ZELMORA_PRINTF(3, 0)
int FormatInC(char* buffer, std::size_t size, const char* format, std::va_list args) {
    const locale_t previous = uselocale(CLocale());
    const int length = std::vsnprintf(buffer, size, format, args);
    uselocale(previous);
    return length;
}

double ParseDecimalInC(const char* number) {
    const locale_t previous = uselocale(CLocale());
    const double value = std::strtod(number, nullptr);
    uselocale(previous);
    return value;
}
#endif

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view SkipBlanks(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    return text.substr(i);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::string FormatV(const char* format, std::va_list args) {
    char small[128];
    std::va_list copy;
    va_copy(copy, args);
    const int length = FormatInC(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        return std::string(small, static_cast<std::size_t>(length));
    }
    std::vector<char> large(static_cast<std::size_t>(length) + 1);
    FormatInC(large.data(), large.size(), format, args);
    return std::string(large.data(), static_cast<std::size_t>(length));
}

std::string Format(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::optional<int> ScanInt(std::string_view text, std::size_t* end) {
    const std::size_t blanks = text.size() - SkipBlanks(text).size();
    text.remove_prefix(blanks);
    bool negative = false;
    std::size_t sign = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        sign = 1;
        text.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < text.size() && IsDigit(text[digits])) {
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    // Read the magnitude with room for INT_MIN, then apply the sign.
    long long magnitude = 0;
    const auto [last, error] = std::from_chars(text.data(), text.data() + digits, magnitude);
    if (error != std::errc{} || last != text.data() + digits) {
        return std::nullopt;
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    if (end != nullptr) {
        *end = blanks + sign + digits;
    }
    return static_cast<int>(value);
}

std::optional<double> ScanDouble(std::string_view text, std::size_t* end) {
    const std::size_t blanks = text.size() - SkipBlanks(text).size();
    text.remove_prefix(blanks);
    // Find the longest prefix shaped like a decimal number, as a scan would.
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t numberStart = i;
    std::size_t mantissaDigits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        ++i;
        ++mantissaDigits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            ++i;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) {
        return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            ++j;
        }
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j])) {
                ++j;
            }
            i = j;
        }
    }
    // The prefix is plain decimal (no hex, no "inf" or "nan"), so the
    // runtime's conversion in the C locale reads exactly it. Overflow gives
    // HUGE_VAL, which the finiteness test below turns away; underflow gives
    // a number of the right tiny size.
    const std::string number(text.substr(numberStart, i - numberStart));
    const double magnitude = ParseDecimalInC(number.c_str());
    if (!std::isfinite(magnitude)) {
        return std::nullopt;
    }
    if (end != nullptr) {
        *end = blanks + i;
    }
    return negative ? -magnitude : magnitude;
}

std::string FormatElapsed(std::uint64_t totalMs) {
    const auto ms = static_cast<unsigned>(totalMs % 1000);
    const auto seconds = static_cast<unsigned>((totalMs / 1000) % 60);
    const auto minutes = static_cast<unsigned>((totalMs / 60000) % 60);
    const unsigned long long hours = totalMs / 3600000;
    return Format("%02llu:%02u:%02u(%03u)", hours, minutes, seconds, ms);
}

std::string PrintableExcerpt(std::string_view text, std::size_t maxChars) {
    std::string printable;
    const bool cut = text.size() > maxChars;
    for (const char c : text.substr(0, maxChars)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            printable += c;
        } else {
            printable += Format("\\x%02x", static_cast<unsigned>(byte));
        }
    }
    if (cut) {
        printable += "...";
    }
    return printable;
}

namespace {

void AppendUtf8(std::string& text, char32_t c) {
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The character at text[i], moving i past it; nothing for a malformed
// sequence (i then moves by one byte).
std::optional<char32_t> DecodeUtf8(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        return lead;
    }
    int length = 0;
    char32_t c = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 1;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 2;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 3;
        c = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (text.size() - i < static_cast<std::size_t>(length)) {
        return std::nullopt;
    }
    for (int k = 0; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and what lies beyond Unicode are malformed.
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return std::nullopt;
    }
    i += static_cast<std::size_t>(length);
    return c;
}

bool IsShown(char32_t c) {
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    // Line and paragraph separators, and the marks and overrides that turn
    // the text around it.
    const bool layout = c == 0x2028 || c == 0x2029 || (c >= 0x200E && c <= 0x200F) ||
                        (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    return !control && !layout && c != 0xFEFF;
}

} // namespace

bool IsWellFormedUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (!DecodeUtf8(text, i)) {
            return false;
        }
    }
    return true;
}

std::string PrintableLine(std::string_view utf8, std::size_t maxChars) {
    std::string line;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        if (chars == maxChars) {
            line += "...";
            break;
        }
        const std::optional<char32_t> c = DecodeUtf8(utf8, i);
        if (c && IsShown(*c)) {
            AppendUtf8(line, *c);
        } else {
            line += '?';
        }
        ++chars;
    }
    return line;
}

std::string Utf8FromUtf16Le(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t c = static_cast<char32_t>(bytes[i] | bytes[i + 1] << 8);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
            const auto low = static_cast<char32_t>(bytes[i + 2] | bytes[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(text, c);
    }
    return text;
}

std::string FormatClock(int hour, int minute, int second, int millisecond) {
    return Format("%02d:%02d:%02d(%03d)", hour, minute, second, millisecond);
}

} // namespace zelmora
