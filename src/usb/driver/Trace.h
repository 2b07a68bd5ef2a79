#pragma once

// The file format of a USB trace: every call that crosses the driver seam,
// with its reply, one JSON object a line. The first line names the format,
// its version and where the trace was taken; docs/trace-format.md describes
// every field. The writer side turns events into lines; the reader side
// checks a whole file before anything is played back from it.

#include "usb/driver/UsbDriver.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

inline constexpr const char* kTraceFormatName = "zelmora-trace";
inline constexpr int kTraceFormatVersion = 1;

// Where the trace was taken: its first line.
struct TraceHeader {
    std::string program;
    std::string programVersion;
    std::string platform;
    std::string backend;
    // ISO 8601 in UTC, "2026-12-10T04:00:00Z".
    std::string started;
};

// The platform this program was built for: "linux", "windows" ...
std::string TracePlatform();
// The present time as ISO 8601 in UTC.
std::string TraceNow();

// How the waits on one request ended, in order: the first kMax of them,
// kept in place so that recording one costs the tick no allocation.
class TraceWaits {
public:
    static constexpr std::size_t kMax = 16;

    // False, and nothing kept, when kMax are kept already.
    bool push_back(WaitOutcome outcome) {
        if (m_count >= kMax) {
            return false;
        }
        m_list[m_count++] = outcome;
        return true;
    }
    std::size_t size() const { return m_count; }
    WaitOutcome operator[](std::size_t i) const { return m_list[i]; }
    const WaitOutcome* begin() const { return m_list.data(); }
    const WaitOutcome* end() const { return m_list.data() + m_count; }

private:
    std::array<WaitOutcome, kMax> m_list{};
    std::size_t m_count = 0;
};

// One call across the seam, as the tracing driver saw it. Which fields
// mean something depends on the kind (see docs/trace-format.md).
struct TraceEvent {
    enum class Kind {
        List,
        Open,
        Close,
        Sync,
        Submit,
        Collect,
        RegisterInterface,
        RegisterHandle,
        Unregister,
    };
    Kind kind = Kind::List;
    double t = 0;
    // Trace-local numbers: the handle (0: none), the overlapped request, a
    // registration (0: none).
    std::uint64_t handle = 0;
    std::uint64_t request = 0;
    std::uint64_t registration = 0;
    std::uint32_t code = 0;
    std::string guid;
    std::string path;
    std::optional<std::vector<std::string>> paths;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    std::uint32_t outSize = 0;
    std::uint32_t bytes = 0;
    bool ok = false;
    SubmitOutcome outcome = SubmitOutcome::Failed;
    std::uint32_t error = 0;
    TraceWaits waits;
    // Collect: the record was destroyed without the request being
    // collected.
    bool abandoned = false;
};

// The lines of a trace, each without its line end.
std::string FormatTraceHeader(const TraceHeader& header);
std::string FormatTraceEvent(const TraceEvent& event);
// The last line of a trace: why it ends ("closed", or "cut" with the reason
// in `why`) and how many events the writer could not keep up with.
std::string FormatTraceEnd(double t, std::string_view reason, std::string_view why,
                           std::uint64_t dropped);
// A note that `count` events are missing here: the writer fell behind.
std::string FormatTraceDropped(double t, std::uint64_t count);

std::string HexBytes(std::span<const std::uint8_t> bytes);
// Nothing when the text is not an even number of hex digits.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text);

// A trace read back and checked: every line parsed, every field a replay
// needs present and of its type, the requests and their collection paired.
struct TraceEntry {
    TraceEvent event;
    // 1-based line in the file.
    std::size_t line = 0;
    // Submit: the index of its collection in the entries, if the trace has
    // one.
    std::optional<std::size_t> collect;
};

struct Trace {
    TraceHeader header;
    std::vector<TraceEntry> entries;
    // The line count of the file, for "the trace ends at line N".
    std::size_t lastLine = 0;
    // The trace was cut by its size cap: a replay may run out early.
    bool cut = false;
    // The trace has no end line: the program that wrote it stopped without
    // closing it (a crash, a kill). Its whole lines are kept.
    bool unfinished = false;
};

// Reads a trace from its text; nothing, with the reason and the line in
// `error`, when the text is not a trace of a version this program reads,
// ends inside a line, or holds a line that is not what it should be. A
// trace without its end line is taken, as unfinished.
std::optional<Trace> ParseTrace(std::string_view text, std::string& error);
// Reads a trace file.
std::optional<Trace> ReadTraceFile(const std::string& path, std::string& error);

// Opens a file by its UTF-8 path (the platform's wide path on Windows);
// nullptr when it cannot.
std::FILE* OpenTraceFile(const std::string& path, const char* mode);

// Human-readable names: "0x220020", "completed", "timeout" ...
std::string TraceCode(std::uint32_t code);

} // namespace zelmora
