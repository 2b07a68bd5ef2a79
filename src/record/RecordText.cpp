#include "record/RecordText.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace zelmora {

namespace {

void AppendDigits(std::string& out, long long value, int width) {
    std::array<char, 24> digits{};
    int n = 0;
    do {
        digits[static_cast<std::size_t>(n++)] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = n; i < width; ++i) {
        out.push_back('0');
    }
    while (n > 0) {
        out.push_back(digits[static_cast<std::size_t>(--n)]);
    }
}

} // namespace

void AppendUtcTime(std::string& out, std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    // The calendar of the C++ library, not gmtime: no time zone, no locale,
    // and the same on every platform.
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date(day);
    const hh_mm_ss clock(ms - day);
    AppendDigits(out, static_cast<int>(date.year()), 4);
    out.push_back('-');
    AppendDigits(out, static_cast<unsigned>(date.month()), 2);
    out.push_back('-');
    AppendDigits(out, static_cast<unsigned>(date.day()), 2);
    out.push_back('T');
    AppendDigits(out, clock.hours().count(), 2);
    out.push_back(':');
    AppendDigits(out, clock.minutes().count(), 2);
    out.push_back(':');
    AppendDigits(out, clock.seconds().count(), 2);
    out.push_back('.');
    AppendDigits(out, clock.subseconds().count(), 3);
    out.push_back('Z');
}

std::string FormatUtcTime(std::chrono::system_clock::time_point time) {
    std::string text;
    AppendUtcTime(text, time);
    return text;
}

void AppendNumber(std::string& out, double value) {
    // to_chars without a format or precision is locale-free and gives the
    // shortest text that reads back to the same double.
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

void AppendInteger(std::string& out, long long value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out.push_back('"');
    for (const char c : text) {
        if (c == '"') {
            out.push_back('"');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr std::string_view kHex = "0123456789abcdef";
    out.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            out.append("\\u00");
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

} // namespace zelmora
