#pragma once

// The pieces of text every record writer is made of, in the C locale
// whatever the process locale is.

#include <chrono>
#include <string>
#include <string_view>

namespace zelmora {

// ISO 8601 in UTC with milliseconds: 2026-12-08T13:05:22.471Z.
void AppendUtcTime(std::string& out, std::chrono::system_clock::time_point time);
std::string FormatUtcTime(std::chrono::system_clock::time_point time);

// The shortest text that reads back to the same double ("0.1", "12.34",
// "1e-05"); a point whatever the locale.
void AppendNumber(std::string& out, double value);
void AppendInteger(std::string& out, long long value);

// A CSV field: quoted (with its quotes doubled) only when it holds a comma,
// a quote or a line break.
void AppendCsvField(std::string& out, std::string_view text);
// A JSON string with its quotes; control characters escaped.
void AppendJsonString(std::string& out, std::string_view text);

} // namespace zelmora
