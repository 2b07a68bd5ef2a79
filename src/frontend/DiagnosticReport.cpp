#include "frontend/DiagnosticReport.h"

#include "frontend/MeterDriver.h"
#include "usb/driver/MatchList.h"
#include "usb/driver/MeterFinder.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#if ZELMORA_HAVE_LIBUSB
#include "usb/driver/LibusbDriver.h"
#endif
#if defined(_WIN32)
#include <windows.h>
#else
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

#ifndef ZELMORA_BUILD_TYPE
#define ZELMORA_BUILD_TYPE ""
#endif

namespace zelmora {

namespace {

// The longest header line read; a header is a few hundred bytes.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string BuildText() {
    std::string compiler;
#if defined(__clang__)
    compiler = "Clang " __clang_version__;
#elif defined(__GNUC__)
    compiler = "GCC " __VERSION__;
#else
    compiler = "an unknown compiler";
#endif
#if defined(_WIN32)
    compiler += sizeof(void*) == 8 ? ", Windows 64-bit" : ", Windows 32-bit";
#endif
    std::string type = ZELMORA_BUILD_TYPE;
    std::string text = compiler + (type.empty() ? "" : ", " + type);
#if defined(__SANITIZE_ADDRESS__)
    text += ", address sanitizer";
#endif
#if defined(__SANITIZE_THREAD__)
    text += ", thread sanitizer";
#endif
    return text;
}

std::string SystemText() {
#if defined(_WIN32)
    // GetVersionEx answers what the program's manifest claims; the kernel's
    // own call tells the truth.
    struct VersionInfo {
        ULONG size;
        ULONG major;
        ULONG minor;
        ULONG build;
        ULONG platform;
        WCHAR servicePack[128];
    };
    using GetVersion = LONG(WINAPI*)(VersionInfo*);
    using WineVersion = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    VersionInfo info{};
    info.size = sizeof info;
    std::string text = "Windows";
    if (ntdll != nullptr) {
        auto get = reinterpret_cast<GetVersion>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (get != nullptr && get(&info) == 0) {
            text += Format(" %lu.%lu build %lu", info.major, info.minor, info.build);
        }
        auto wine = reinterpret_cast<WineVersion>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
        if (wine != nullptr && wine() != nullptr) {
            text += Format(" (Wine %s)", wine());
        }
    }
    return text;
#else
    // The machine's name is left out: it is the machine's, not the
    // problem's.
    struct utsname name {};
    if (::uname(&name) != 0) {
        return "unknown (uname failed)";
    }
    return Format("%s %s %s %s", name.sysname, name.release, name.version, name.machine);
#endif
}

std::string UsbLibraryText() {
#if ZELMORA_HAVE_LIBUSB
    return LibusbDriver::LibraryVersion();
#elif defined(_WIN32)
    return "none: the meter's kernel driver publishes the meters";
#else
    return "none: this build has no backend for real meters";
#endif
}

std::string ListingText(const DiagnosticReportRequest& request) {
    std::vector<std::string> problems;
    std::optional<std::vector<UsbDeviceInfo>> devices;
    if (request.finder != nullptr) {
        devices = request.finder->ListUsbDevices();
    } else {
        devices = ListAllUsbDevices(request.options, problems);
    }
    std::string text;
    for (const std::string& problem : problems) {
        text += "problem: " + problem + "\n";
    }
    if (!devices) {
        return text + std::string(kNoUsbListing) + "\n";
    }
    if (devices->empty()) {
        return text + "No USB device was found.\n";
    }
    for (const UsbDeviceInfo& device : *devices) {
        text += DescribeUsbDevice(device) + "\n";
    }
    return text;
}

std::string MatchListText(const AppOptions& options) {
#if ZELMORA_HAVE_LIBUSB
    std::string text;
    const std::vector<std::string> files = MatchList::DefaultFiles();
    text += "Files read, in order:\n";
    for (const std::string& file : files) {
        std::error_code error;
        const bool exists = std::filesystem::exists(PathOf(file), error);
        text += "  " + file + (exists ? "\n" : " (not there)\n");
    }
    std::vector<std::string> problems;
    const std::vector<MatchList::Entry> entries =
        MatchList::BuildWithSources(files, options.usbIds, &problems);
    for (const std::string& problem : problems) {
        text += "problem: " + problem + "\n";
    }
    if (entries.empty()) {
        return text + "The match list is empty: no USB device is taken for a meter.\n";
    }
    for (const MatchList::Entry& entry : entries) {
        text += MatchList::FormatId(entry.id) + "  from " + entry.source + "\n";
    }
    return text;
#else
    (void)options;
    return "none: the meter's kernel driver publishes the meters, so there is no list of USB ids "
           "to match\n";
#endif
}

std::string OptionsText(const AppOptions& options) {
    std::string text;
    text += Format("simulated meters: %d\n", options.simulatedMeters);
    text += std::string("real meters: ") + (options.realMeters ? "yes" : "no") + "\n";
    std::string ids;
    for (const std::string& id : options.usbIds) {
        ids += (ids.empty() ? "" : " ") + id;
    }
    text += "--usb-id: " + (ids.empty() ? std::string("none") : ids) + "\n";
    text +=
        "--trace: " + (options.traceFile.empty() ? std::string("off") : options.traceFile) + "\n";
    if (options.scpi.port != 0) {
        text += Format("--scpi: port %d\n", options.scpi.port);
    }
    if (options.bench) {
        text += "--bench: yes\n";
    }
    return text;
}

std::string Heading(const std::string& title) {
    return "\n" + title + "\n" + std::string(title.size(), '-') + "\n";
}

// The time now, UTC or local.
std::tm Now(bool utc) {
    const std::time_t now = std::time(nullptr);
    std::tm time{};
#if defined(_WIN32)
    utc ? gmtime_s(&time, &now) : localtime_s(&time, &now);
#else
    utc ? gmtime_r(&now, &time) : localtime_r(&now, &time);
#endif
    return time;
}

// Whether `c` may go on a folder's name, so that the home folder's name
// followed by it names another folder.
bool ContinuesName(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.' ||
           c == '~' || c == '$' || c == '@' || static_cast<unsigned char>(c) >= 0x80;
}

bool SameText(std::string_view a, std::string_view b) {
#if defined(_WIN32)
    // Windows' file names are the same in either case.
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
#else
    return a == b;
#endif
}

std::string Replace(std::string_view text, std::string_view home) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (i + home.size() <= text.size() && SameText(text.substr(i, home.size()), home) &&
            (i + home.size() == text.size() || !ContinuesName(text[i + home.size()]))) {
            out += '~';
            i += home.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

} // namespace

std::optional<double> TraceLineTime(std::string_view line) {
    std::size_t i = line.find_first_not_of(" \t\r");
    if (i == std::string_view::npos || line[i] != '{') {
        return std::nullopt;
    }
    int depth = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == '{' || c == '[') {
            ++depth;
            ++i;
        } else if (c == '}' || c == ']') {
            if (--depth <= 0) {
                return std::nullopt;
            }
            ++i;
        } else if (c == '"') {
            const std::size_t start = ++i;
            while (i < line.size() && line[i] != '"') {
                i += line[i] == '\\' ? 2 : 1;
            }
            if (i >= line.size()) {
                return std::nullopt;
            }
            const std::string_view name = line.substr(start, i - start);
            ++i;
            if (depth != 1 || name != "t") {
                continue;
            }
            const std::size_t colon = line.find_first_not_of(" \t", i);
            if (colon == std::string_view::npos || line[colon] != ':') {
                continue; // a value "t", not a name
            }
            const std::size_t number = line.find_first_not_of(" \t", colon + 1);
            if (number == std::string_view::npos ||
                (line[number] != '-' &&
                 std::isdigit(static_cast<unsigned char>(line[number])) == 0)) {
                return std::nullopt;
            }
            return ScanDouble(line.substr(number));
        } else {
            ++i;
        }
    }
    return std::nullopt;
}

std::string TraceTail(const std::string& path, double seconds, std::size_t maxBytes) {
    std::ifstream file(PathOf(path), std::ios::binary);
    if (!file) {
        return "# the trace file cannot be read\n";
    }
    file.seekg(0, std::ios::end);
    const auto size = static_cast<std::size_t>(std::max<std::streamoff>(file.tellg(), 0));
    file.seekg(0);
    std::string head(std::min(size, kMaxHeaderBytes), '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    const std::size_t headerEnd = head.find('\n');
    if (headerEnd == std::string::npos) {
        return size == 0 ? "# the trace file is empty\n"
                         : "# the trace file holds no complete line yet\n";
    }
    std::string text = head.substr(0, headerEnd + 1);

    const std::size_t bodyStart = headerEnd + 1;
    const std::size_t start = size > bodyStart + maxBytes ? size - maxBytes : bodyStart;
    file.clear();
    file.seekg(static_cast<std::streamoff>(start));
    std::string body(size - start, '\0');
    file.read(body.data(), static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<std::size_t>(file.gcount()));

    std::string_view rest = body;
    const bool cut = start > bodyStart;
    if (cut) {
        // The read began inside a line unless the byte before it ended one.
        char before = '\n';
        file.clear();
        file.seekg(static_cast<std::streamoff>(start - 1));
        file.get(before);
        if (before != '\n') {
            const std::size_t end = rest.find('\n');
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        }
    }
    struct Line {
        std::string_view text;
        double t;
    };
    std::vector<Line> lines;
    std::size_t untimed = 0;
    bool halfWritten = false;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) {
            halfWritten = true;
            break;
        }
        const std::string_view line = rest.substr(0, end + 1);
        rest.remove_prefix(end + 1);
        if (const auto t = TraceLineTime(line)) {
            lines.push_back({line, *t});
        } else if (line.find_first_not_of(" \t\r\n") != std::string_view::npos) {
            ++untimed;
        }
    }
    std::string notes;
    if (lines.empty()) {
        notes += "# the trace holds no request yet\n";
    } else {
        const double from = lines.back().t - seconds;
        const auto first = std::find_if(lines.begin(), lines.end(),
                                        [from](const Line& line) { return line.t >= from; });
        if (cut && first == lines.begin()) {
            notes += Format("# earlier lines of these minutes may be left out: the report keeps "
                            "the last %u KiB of a trace at most\n",
                            static_cast<unsigned>(maxBytes / 1024));
        }
        // A trace that reached its size cap stopped recording long before
        // the report: its last minutes are not the program's.
        if (lines.back().text.find(R"("op":"end","reason":"cut")") != std::string_view::npos) {
            notes += "# the trace was cut at its size cap: these are its last minutes before "
                     "the cut, not the program's last minutes\n";
        }
        notes += Format("# the last %g seconds of the trace: %u lines\n", seconds,
                        static_cast<unsigned>(lines.end() - first));
        for (auto line = first; line != lines.end(); ++line) {
            notes.append(line->text);
        }
    }
    std::string tail;
    if (halfWritten) {
        tail += "# the last line was still being written and is left out\n";
    }
    if (untimed > 0) {
        tail += Format("# %u line%s without a time (\"t\") left out\n",
                       static_cast<unsigned>(untimed), untimed == 1 ? "" : "s");
    }
    return text + notes + tail;
}

std::string HideHomeFolder(std::string_view text, std::string home) {
    while (home.size() > 1 && (home.back() == '/' || home.back() == '\\')) {
        home.pop_back();
    }
    if (home.size() <= 1 || (home.size() <= 3 && home[1] == ':')) {
        return std::string(text); // "/" or "C:\": everything is in it
    }
    std::string slashes = home;
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    std::string backslashes = home;
    std::replace(backslashes.begin(), backslashes.end(), '/', '\\');
    std::string json;
    for (const char c : backslashes) {
        json += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    // The longest form first, so that a shorter one does not cut into it.
    std::string result = Replace(text, json);
    result = Replace(result, backslashes);
    return Replace(result, slashes);
}

std::string HomeFolder() {
#if defined(_WIN32)
    wchar_t profile[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, profile, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string home(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, profile, static_cast<int>(length), home.data(), size, nullptr,
                        nullptr);
    return home;
#else
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) {
        return user->pw_dir;
    }
    return {};
#endif
}

std::string DefaultReportName() {
    const std::tm local = Now(false);
    char name[64] = {};
    std::strftime(name, sizeof name, "zelmora-report-%Y%m%d-%H%M%S.txt", &local);
    return name;
}

std::string DefaultReportPath() {
    const std::string home = HomeFolder();
    if (home.empty()) {
        return DefaultReportName();
    }
#if defined(_WIN32)
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    return home + (home.back() == separator ? "" : std::string(1, separator)) + DefaultReportName();
}

std::string BuildWindowReport(const std::string& program, const std::string& version,
                              const AppOptions& options, MeterFinder* finder,
                              std::vector<std::pair<std::string, std::string>> settings) {
    DiagnosticReportRequest request;
    request.program = program;
    request.version = version;
    request.options = options;
    request.finder = finder;
    request.settingsTitle = "Window settings";
    request.settings = std::move(settings);
    return BuildDiagnosticReport(request);
}

std::string BuildDiagnosticReport(const DiagnosticReportRequest& request) {
    std::string text = "Zelmora diagnostic report\n"
                       "=========================\n"
                       "This file holds only what is below: the program's version and build, "
                       "the operating\nsystem, the USB library, the USB devices plugged in, the "
                       "meter match list, the last\nminutes of the trace file when one is on, and "
                       "the program's settings. Nothing else\nfrom this computer is in it: the "
                       "home folder is written \"~\" and no user name\nappears.\n";
    const std::tm utc = Now(true);
    char written[32] = {};
    std::strftime(written, sizeof written, "%Y-%m-%dT%H:%M:%SZ", &utc);
    text += "Written: " + std::string(written) + "\n";

    text += Heading("Program");
    text += "program: " + request.program + "\n";
    text += "version: " + request.version + "\n";
    text += "build: " + BuildText() + "\n";

    text += Heading("Operating system");
    text += SystemText() + "\n";

    text += Heading("USB library");
    text += UsbLibraryText() + "\n";

    text += Heading("USB devices (as Help > Find my meter lists them)");
    text += ListingText(request);

    text += Heading("Match list in use");
    text += MatchListText(request.options);

    text += Heading("Command line");
    text += OptionsText(request.options);

    if (!request.settingsTitle.empty()) {
        text += Heading(request.settingsTitle);
        for (const auto& [name, value] : request.settings) {
            text += name + ": " + value + "\n";
        }
    }

    text +=
        Heading(Format("Trace (the last %d minutes)", static_cast<int>(kReportTraceSeconds / 60)));
    if (request.options.traceFile.empty()) {
        text += "No trace: the program was started without --trace FILE.\n";
    } else {
        text += "file: " + request.options.traceFile + "\n";
        text += TraceTail(request.options.traceFile);
    }
    return HideHomeFolder(text, HomeFolder());
}

} // namespace zelmora
