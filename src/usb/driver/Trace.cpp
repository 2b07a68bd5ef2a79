#include "usb/driver/Trace.h"

#include "usb/driver/DriverRequest.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zelmora {

namespace {

using Json = nlohmann::ordered_json;

struct KindName {
    TraceEvent::Kind kind;
    const char* name;
};
constexpr std::array<KindName, 9> kKinds = {{
    {TraceEvent::Kind::List, "list"},
    {TraceEvent::Kind::Open, "open"},
    {TraceEvent::Kind::Close, "close"},
    {TraceEvent::Kind::Sync, "sync"},
    {TraceEvent::Kind::Submit, "submit"},
    {TraceEvent::Kind::Collect, "collect"},
    {TraceEvent::Kind::RegisterInterface, "register-interface"},
    {TraceEvent::Kind::RegisterHandle, "register-handle"},
    {TraceEvent::Kind::Unregister, "unregister"},
}};

const char* KindText(TraceEvent::Kind kind) {
    for (const KindName& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "?";
}

const char* OutcomeText(SubmitOutcome outcome) {
    switch (outcome) {
    case SubmitOutcome::Completed:
        return "completed";
    case SubmitOutcome::Pending:
        return "pending";
    case SubmitOutcome::Failed:
        break;
    }
    return "failed";
}

const char* WaitText(WaitOutcome outcome) {
    switch (outcome) {
    case WaitOutcome::Signalled:
        return "signalled";
    case WaitOutcome::TimedOut:
        return "timeout";
    case WaitOutcome::Failed:
        break;
    }
    return "failed";
}

// For "%llu": the platform's printf does not take every "%zu".
unsigned long long Count(std::size_t count) {
    return count;
}

// Seconds with microseconds: enough for pacing, short on disk.
double Seconds(double t) {
    return static_cast<double>(static_cast<long long>(t * 1e6 + 0.5)) / 1e6;
}

// The setup packet and layout of a request block, for the reader of the
// file; replay takes the bytes.
Json DecodeSetup(std::span<const std::uint8_t> block) {
    const auto header = DriverRequest::DecodeHeader(block);
    if (!header) {
        return nullptr;
    }
    Json setup;
    setup["requestType"] = header->requestType;
    setup["request"] = header->request;
    setup["value"] = header->value;
    setup["index"] = header->index;
    setup["length"] = header->length;
    setup["endpoint"] = header->endpointAddress;
    return setup;
}

} // namespace

std::string TracePlatform() {
#if defined(_WIN32)
    return "windows";
#elif defined(__linux__)
    return "linux";
#elif defined(__APPLE__)
    return "macos";
#else
    return "other";
#endif
}

std::string TraceNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
}

std::FILE* OpenTraceFile(const std::string& path, const char* mode) {
#if defined(_WIN32)
    auto widen = [](const std::string& text) {
        const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0);
        std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 0, L'\0');
        if (length > 0) {
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                static_cast<int>(text.size()), wide.data(), length);
        }
        return wide;
    };
    const std::wstring wide = widen(path);
    if (wide.empty()) {
        return nullptr;
    }
    return _wfopen(wide.c_str(), widen(mode).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

std::string TraceCode(std::uint32_t code) {
    return Format("0x%06X", static_cast<unsigned>(code));
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = digit(text[2 * i]);
        const int low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return bytes;
}

std::string FormatTraceHeader(const TraceHeader& header) {
    Json line;
    line["format"] = kTraceFormatName;
    line["version"] = kTraceFormatVersion;
    line["program"] = header.program;
    line["programVersion"] = header.programVersion;
    line["platform"] = header.platform;
    line["backend"] = header.backend;
    line["started"] = header.started;
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatTraceEvent(const TraceEvent& event) {
    using Kind = TraceEvent::Kind;
    Json line;
    line["t"] = Seconds(event.t);
    line["op"] = KindText(event.kind);
    switch (event.kind) {
    case Kind::List:
        line["guid"] = event.guid;
        if (event.paths) {
            line["paths"] = *event.paths;
        } else {
            line["paths"] = nullptr;
        }
        break;
    case Kind::Open:
        line["path"] = event.path;
        line["handle"] = event.handle;
        break;
    case Kind::Close:
        line["handle"] = event.handle;
        line["ok"] = event.ok;
        break;
    case Kind::Sync:
        line["handle"] = event.handle;
        line["code"] = TraceCode(event.code);
        if (IsTransferCode(event.code)) {
            line["setup"] = DecodeSetup(event.in);
        }
        line["in"] = HexBytes(event.in);
        line["outSize"] = event.outSize;
        line["out"] = HexBytes(event.out);
        line["bytes"] = event.bytes;
        line["ok"] = event.ok;
        break;
    case Kind::Submit:
        line["r"] = event.request;
        line["handle"] = event.handle;
        line["code"] = TraceCode(event.code);
        if (IsTransferCode(event.code)) {
            line["setup"] = DecodeSetup(event.in);
        }
        line["in"] = HexBytes(event.in);
        line["outcome"] = OutcomeText(event.outcome);
        line["error"] = event.error;
        break;
    case Kind::Collect: {
        line["r"] = event.request;
        Json waits = Json::array();
        for (const WaitOutcome wait : event.waits) {
            waits.push_back(WaitText(wait));
        }
        line["waits"] = std::move(waits);
        if (IsTransferCode(event.code) && event.out.size() >= DriverRequest::kHeaderSize) {
            line["status"] = {
                {"completion",
                 DriverRequest::Read32(event.out, DriverRequest::kOffsetCompletionStatus)},
                {"bus", DriverRequest::Read32(event.out, DriverRequest::kOffsetBusStatus)}};
        }
        line["out"] = HexBytes(event.out);
        line["bytes"] = event.bytes;
        line["ok"] = event.ok;
        if (event.abandoned) {
            line["abandoned"] = true;
        }
        break;
    }
    case Kind::RegisterInterface:
        line["guid"] = event.guid;
        line["registration"] = event.registration;
        break;
    case Kind::RegisterHandle:
        line["handle"] = event.handle;
        line["registration"] = event.registration;
        break;
    case Kind::Unregister:
        line["registration"] = event.registration;
        line["ok"] = event.ok;
        break;
    }
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatTraceEnd(double t, std::string_view reason, std::string_view why,
                           std::uint64_t dropped) {
    Json line;
    line["t"] = Seconds(t);
    line["op"] = "end";
    line["reason"] = std::string(reason);
    if (!why.empty()) {
        line["why"] = std::string(why);
    }
    line["dropped"] = dropped;
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatTraceDropped(double t, std::uint64_t count) {
    Json line;
    line["t"] = Seconds(t);
    line["op"] = "dropped";
    line["count"] = count;
    return line.dump();
}

namespace {

// Reads the fields of one line, stopping at the first that is missing or
// of the wrong type.
class LineReader {
public:
    LineReader(const Json& object, std::size_t line, std::string& error)
        : m_object(object), m_line(line), m_error(error) {}

    bool Failed() const { return !m_error.empty(); }

    void Fail(const std::string& what) {
        if (m_error.empty()) {
            m_error = Format("line %llu: ", Count(m_line)) + what;
        }
    }

    const Json* Field(const char* name) {
        const auto found = m_object.find(name);
        if (found == m_object.end()) {
            Fail(std::string("'") + name + "' is missing");
            return nullptr;
        }
        return &*found;
    }

    double Number(const char* name) {
        const Json* field = Field(name);
        if (field && !field->is_number()) {
            Fail(std::string("'") + name + "' is not a number");
            return 0;
        }
        return field ? field->get<double>() : 0;
    }

    std::uint64_t Unsigned(const char* name, std::uint64_t max) {
        const Json* field = Field(name);
        if (!field) {
            return 0;
        }
        if (!field->is_number_unsigned() || field->get<std::uint64_t>() > max) {
            Fail(std::string("'") + name + "' is not a whole number from 0 to " +
                 Format("%llu", static_cast<unsigned long long>(max)));
            return 0;
        }
        return field->get<std::uint64_t>();
    }

    bool Boolean(const char* name) {
        const Json* field = Field(name);
        if (field && !field->is_boolean()) {
            Fail(std::string("'") + name + "' is not true or false");
            return false;
        }
        return field ? field->get<bool>() : false;
    }

    std::string Text(const char* name) {
        const Json* field = Field(name);
        if (field && !field->is_string()) {
            Fail(std::string("'") + name + "' is not a text");
            return {};
        }
        return field ? field->get<std::string>() : std::string();
    }

    std::vector<std::uint8_t> Bytes(const char* name) {
        const std::string text = Text(name);
        if (Failed()) {
            return {};
        }
        auto bytes = ParseHexBytes(text);
        if (!bytes) {
            Fail(std::string("'") + name + "' is not hex bytes");
            return {};
        }
        return std::move(*bytes);
    }

    std::uint32_t Code(const char* name) {
        const std::string text = Text(name);
        if (Failed()) {
            return 0;
        }
        unsigned value = 0;
        char extra = 0;
        if (!text.starts_with("0x") || text.size() > 10 ||
            std::sscanf(text.c_str() + 2, "%x%c", &value, &extra) != 1) {
            Fail(std::string("'") + name + "' is not a request code such as 0x220020");
            return 0;
        }
        return static_cast<std::uint32_t>(value);
    }

private:
    const Json& m_object;
    std::size_t m_line;
    std::string& m_error;
};

std::optional<TraceEvent::Kind> KindOf(std::string_view name) {
    for (const KindName& entry : kKinds) {
        if (name == entry.name) {
            return entry.kind;
        }
    }
    return std::nullopt;
}

bool ReadEvent(LineReader& in, TraceEvent& event) {
    using Kind = TraceEvent::Kind;
    constexpr std::uint64_t kMax32 = 0xFFFFFFFF;
    constexpr std::uint64_t kMaxNumber = 0xFFFFFFFFFFFFull;
    switch (event.kind) {
    case Kind::List: {
        event.guid = in.Text("guid");
        const Json* paths = in.Field("paths");
        if (paths && !paths->is_null()) {
            if (!paths->is_array()) {
                in.Fail("'paths' is neither a list nor null");
                break;
            }
            event.paths.emplace();
            for (const Json& path : *paths) {
                if (!path.is_string()) {
                    in.Fail("'paths' holds something other than texts");
                    break;
                }
                event.paths->push_back(path.get<std::string>());
            }
        }
        break;
    }
    case Kind::Open:
        event.path = in.Text("path");
        event.handle = in.Unsigned("handle", kMaxNumber);
        break;
    case Kind::Close:
        event.handle = in.Unsigned("handle", kMaxNumber);
        event.ok = in.Boolean("ok");
        break;
    case Kind::Sync:
        event.handle = in.Unsigned("handle", kMaxNumber);
        event.code = in.Code("code");
        event.in = in.Bytes("in");
        event.outSize = static_cast<std::uint32_t>(in.Unsigned("outSize", kMax32));
        event.out = in.Bytes("out");
        event.bytes = static_cast<std::uint32_t>(in.Unsigned("bytes", kMax32));
        event.ok = in.Boolean("ok");
        if (!in.Failed() && event.out.size() != event.outSize) {
            in.Fail("'out' does not hold 'outSize' bytes");
        }
        break;
    case Kind::Submit: {
        event.request = in.Unsigned("r", kMaxNumber);
        event.handle = in.Unsigned("handle", kMaxNumber);
        event.code = in.Code("code");
        event.in = in.Bytes("in");
        const std::string outcome = in.Text("outcome");
        if (outcome == "completed") {
            event.outcome = SubmitOutcome::Completed;
        } else if (outcome == "pending") {
            event.outcome = SubmitOutcome::Pending;
        } else if (outcome == "failed") {
            event.outcome = SubmitOutcome::Failed;
        } else if (!in.Failed()) {
            in.Fail("'outcome' is none of completed, pending, failed");
        }
        event.error = static_cast<std::uint32_t>(in.Unsigned("error", kMax32));
        break;
    }
    case Kind::Collect: {
        event.request = in.Unsigned("r", kMaxNumber);
        const Json* waits = in.Field("waits");
        if (waits && !waits->is_array()) {
            in.Fail("'waits' is not a list");
            break;
        }
        if (waits) {
            for (const Json& wait : *waits) {
                const std::string text = wait.is_string() ? wait.get<std::string>() : "";
                const WaitOutcome outcome = text == "signalled" ? WaitOutcome::Signalled
                                            : text == "timeout" ? WaitOutcome::TimedOut
                                                                : WaitOutcome::Failed;
                if (text != "signalled" && text != "timeout" && text != "failed") {
                    in.Fail("'waits' holds something other than signalled, timeout, failed");
                    break;
                }
                if (!event.waits.push_back(outcome)) {
                    in.Fail(Format("'waits' holds more than %llu", Count(TraceWaits::kMax)));
                    break;
                }
            }
        }
        event.out = in.Bytes("out");
        event.bytes = static_cast<std::uint32_t>(in.Unsigned("bytes", kMax32));
        event.ok = in.Boolean("ok");
        break;
    }
    case Kind::RegisterInterface:
        event.guid = in.Text("guid");
        event.registration = in.Unsigned("registration", kMaxNumber);
        break;
    case Kind::RegisterHandle:
        event.handle = in.Unsigned("handle", kMaxNumber);
        event.registration = in.Unsigned("registration", kMaxNumber);
        break;
    case Kind::Unregister:
        event.registration = in.Unsigned("registration", kMaxNumber);
        event.ok = in.Boolean("ok");
        break;
    }
    return !in.Failed();
}

} // namespace

std::optional<Trace> ParseTrace(std::string_view text, std::string& error) {
    error.clear();
    Trace trace;
    std::map<std::uint64_t, std::size_t> submits;
    bool ended = false;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        ++lineNumber;
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            error = Format("line %llu is cut short: it has no line end", Count(lineNumber));
            return std::nullopt;
        }
        std::string_view lineText = text.substr(start, end - start);
        start = end + 1;
        if (lineText.ends_with('\r')) {
            lineText.remove_suffix(1);
        }
        if (ended) {
            error =
                Format("line %llu: there is more after the trace's end line", Count(lineNumber));
            return std::nullopt;
        }
        const Json object = Json::parse(lineText, nullptr, false);
        if (object.is_discarded() || !object.is_object()) {
            error = Format("line %llu is not a JSON object", Count(lineNumber));
            return std::nullopt;
        }
        LineReader in(object, lineNumber, error);
        if (lineNumber == 1) {
            if (in.Text("format") != kTraceFormatName) {
                in.Fail(std::string("this is not a trace: 'format' is not '") + kTraceFormatName +
                        "'");
                return std::nullopt;
            }
            const std::uint64_t version = in.Unsigned("version", 1000000);
            if (in.Failed()) {
                return std::nullopt;
            }
            if (version != static_cast<std::uint64_t>(kTraceFormatVersion)) {
                in.Fail(Format("the trace has format version %llu; this program reads version %d",
                               static_cast<unsigned long long>(version), kTraceFormatVersion));
                return std::nullopt;
            }
            trace.header.program = in.Text("program");
            trace.header.programVersion = in.Text("programVersion");
            trace.header.platform = in.Text("platform");
            trace.header.backend = in.Text("backend");
            trace.header.started = in.Text("started");
            if (in.Failed()) {
                return std::nullopt;
            }
            continue;
        }
        const std::string op = in.Text("op");
        const double t = in.Number("t");
        if (in.Failed()) {
            return std::nullopt;
        }
        if (op == "end") {
            const std::string reason = in.Text("reason");
            if (in.Failed()) {
                return std::nullopt;
            }
            trace.cut = reason != "closed";
            ended = true;
            continue;
        }
        if (op == "dropped") {
            in.Fail("the program lost events here while writing the trace; a trace with gaps "
                    "cannot be played back");
            return std::nullopt;
        }
        const auto kind = KindOf(op);
        if (!kind) {
            in.Fail("'" + op + "' is not an operation of a trace");
            return std::nullopt;
        }
        TraceEntry entry;
        entry.line = lineNumber;
        entry.event.kind = *kind;
        entry.event.t = t;
        if (!ReadEvent(in, entry.event)) {
            return std::nullopt;
        }
        if (*kind == TraceEvent::Kind::Submit) {
            if (!submits.emplace(entry.event.request, trace.entries.size()).second) {
                in.Fail(Format("request %llu is submitted twice",
                               static_cast<unsigned long long>(entry.event.request)));
                return std::nullopt;
            }
        } else if (*kind == TraceEvent::Kind::Collect) {
            const auto submit = submits.find(entry.event.request);
            if (submit == submits.end() ||
                trace.entries[submit->second].event.outcome == SubmitOutcome::Failed ||
                trace.entries[submit->second].collect) {
                in.Fail(Format("request %llu is collected without a running submission",
                               static_cast<unsigned long long>(entry.event.request)));
                return std::nullopt;
            }
            TraceEntry& submitted = trace.entries[submit->second];
            if (entry.event.out.size() != submitted.event.in.size()) {
                in.Fail(Format("the block of request %llu changes its size",
                               static_cast<unsigned long long>(entry.event.request)));
                return std::nullopt;
            }
            entry.event.code = submitted.event.code;
            submitted.collect = trace.entries.size();
        }
        trace.entries.push_back(std::move(entry));
    }
    if (lineNumber == 0) {
        error = "the trace is empty";
        return std::nullopt;
    }
    trace.lastLine = lineNumber;
    trace.unfinished = !ended;
    return trace;
}

std::optional<Trace> ReadTraceFile(const std::string& path, std::string& error) {
    std::FILE* file = OpenTraceFile(path, "rb");
    if (file == nullptr) {
        error = "cannot open the trace '" + path + "'";
        return std::nullopt;
    }
    std::string text;
    std::array<char, 65536> chunk{};
    std::size_t read = 0;
    while ((read = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        text.append(chunk.data(), read);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read the trace '" + path + "'";
        return std::nullopt;
    }
    return ParseTrace(text, error);
}

} // namespace zelmora
