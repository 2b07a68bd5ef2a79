#pragma once

// The messages between the owner of a meter and the processes that watch
// it: one JSON object per line (LF), each with a "class". docs/sharing-
// protocol.md describes them for clients written elsewhere.
//
//   owner:  {"class":"hello","zelmora":"share","version":1,"meter":...}
//   client: {"class":"watch","interval_ms":200}
//   owner:  {"class":"watching","interval_ms":200,"every":2}
//   owner:  {"class":"sample",...}   {"class":"lost","samples":12}
//   owner:  {"class":"end","why":"owner_stops"|"meter_lost","reason":...}
//   either: {"class":"error","reason":...} and then the connection closes
//
// An owner whose hello says "joins":true serves further meters of its
// process on the same connection: after the first watch a client may send
// {"class":"watch","interval_ms":100,"meter":"..."} (answered by a
// "watching" or a "refused" naming that meter) and {"class":"unwatch",
// "meter":"..."}; every sample, loss and end then names its meter. A client
// that never asks gets the stream it always got, the "meter" fields apart.
//
// Every line is bounded (kMaxLineLength); a decoder never trusts a field it
// did not check.

#include "meter/MeterSource.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelmora {

constexpr int kShareProtocolVersion = 1;
// The longest line either side sends or accepts, its LF included.
constexpr std::size_t kMaxLineLength = 4096;

struct ShareMessage {
    enum class Kind { Hello, Watch, Watching, Sample, Lost, End, Error, Unwatch, Refused };
    Kind kind = Kind::Error;

    // hello; watch, unwatch, watching, refused, sample, lost and end name
    // their meter with it where the connection carries several (may be
    // empty there: the endpoint's own meter).
    std::string meterId;
    // hello
    int version = 0;
    // hello: further meters of the owner's process may be watched on the
    // connection.
    bool joins = false;
    std::string probeFamily;
    std::string probeModel;
    std::int64_t ownerPid = 0;
    std::string ownerProgram;
    // The driver's path of the meter's device, so that a scan can tell it
    // from the others without asking it; may be empty.
    std::string devicePath;
    // hello (the owner's poll period), watch (asked), watching (served)
    int intervalMs = 0;
    // watching: every n-th of the owner's readings is served
    int every = 1;

    // sample: the reading, and what it converts to without averaging
    MeterReading reading;
    std::optional<double> power;
    std::string unit;
    std::string status;

    // lost
    std::uint64_t lostSamples = 0;
    // end: "owner_stops" (another may take the meter over) or "meter_lost"
    std::string why;
    // end, error, refused
    std::string reason;
};

// One line, LF included. Texts that are not valid UTF-8 are sent with the
// replacement character.
std::string EncodeMessage(const ShareMessage& message);

// A line without its LF. None, with what is wrong in `error`, for anything
// that is not one of the messages above with its fields in range.
std::optional<ShareMessage> DecodeMessage(std::string_view line, std::string& error);

// Splits a byte stream into lines of at most kMaxLineLength. Feed it what
// arrives; Next gives the whole lines one by one.
class CLineSplitter {
public:
    void Feed(std::string_view bytes);
    enum class Result { Line, NeedMore, TooLong };
    // A line without its LF in `line`; TooLong once a line passes the
    // limit (the stream is useless from there on).
    Result Next(std::string& line);

private:
    std::string m_buffer;
    // Where the next line starts, and how far the search for its end got.
    std::size_t m_nStart = 0;
    std::size_t m_nScanned = 0;
};

} // namespace zelmora
