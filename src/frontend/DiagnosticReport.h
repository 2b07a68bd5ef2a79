#pragma once

// The diagnostic report: one UTF-8 text file a user attaches to a bug
// report about a real meter. It holds the program's version and build, the
// operating system, the USB library, the USB devices plugged in (listed as
// Find my meter lists them), the match list in use and where each id came
// from, the last minutes of the trace file when --trace is on, and the
// program's settings. Nothing else is read from the machine, and the home
// folder is written "~" wherever it appears, so no user name is in it; the
// report says so at its top.
//
// Both windows (Help > Save a diagnostic report…) and zelmora-cli report
// write it with this.

#include "frontend/AppOptions.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelmora {

class MeterFinder;

struct DiagnosticReportRequest {
    // The program writing it ("zelmora", "zelmora-cli") and its version.
    std::string program;
    std::string version;
    // Its command line: the meter options, the match list's and the trace's.
    AppOptions options;
    // The finder the window's Find my meter lists the devices with, when
    // it has one; without it the devices are listed as --list-usb lists
    // them.
    MeterFinder* finder = nullptr;
    // The program's own settings, name and value, under a title of their
    // own ("Window settings").
    std::string settingsTitle;
    std::vector<std::pair<std::string, std::string>> settings;
};

// The whole report, as of now.
std::string BuildDiagnosticReport(const DiagnosticReportRequest& request);

// The report of a window's Help > Save a diagnostic report…: `program`'s,
// with the window's settings and the finder its Find my meter lists with
// (none where it has none).
std::string BuildWindowReport(const std::string& program, const std::string& version,
                              const AppOptions& options, MeterFinder* finder,
                              std::vector<std::pair<std::string, std::string>> settings);

// Where a report is proposed to go: DefaultReportName() in the home folder
// (the current folder when there is none).
std::string DefaultReportPath();

// The last minutes of a trace file kept in the report.
inline constexpr double kReportTraceSeconds = 5 * 60;
// At most this much of a trace's end is read for it.
inline constexpr std::size_t kReportTraceBytes = 1024 * 1024;

// The trace at `path` for the report: its first line (the header, which
// says what recorded it) and every complete line whose "t" is within
// `seconds` of the last line's, read from at most the last `maxBytes` of
// the file. A last line still being written (no line end yet), and lines
// that are not objects with a "t", are left out; what was left out, and
// why, is told in lines beginning with "# " after the header.
std::string TraceTail(const std::string& path, double seconds = kReportTraceSeconds,
                      std::size_t maxBytes = kReportTraceBytes);

// The seconds of a trace line: the number of its object's "t" member.
// Nothing for a line that is not an object with one.
std::optional<double> TraceLineTime(std::string_view line);

// `text` with every path in the home folder `home` written from "~" on:
// as it is, with the other separator, and as JSON writes it (backslashes
// doubled). Only whole folder names are replaced: home "/home/al" leaves
// "/home/alice" as it is. A home folder of "/" or "" replaces nothing.
std::string HideHomeFolder(std::string_view text, std::string home);

// The user's home folder (HOME, or the user database; USERPROFILE on
// Windows); empty when there is none.
std::string HomeFolder();

// "zelmora-report-20261210-041500.txt" for the local time now.
std::string DefaultReportName();

} // namespace zelmora
