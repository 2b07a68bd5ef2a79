#pragma once

// The seam between what talks to a meter and what a front end makes of its
// readings. A source delivers the raw readings of one meter (the meter's
// own reply words, stamped when they were taken) to every listener that
// joined it; the listener (a CDeviceLink) converts them, averages them and
// keeps its own statistics, queue and collection. Whether the source polls
// the USB meter in this process or receives the readings of another process
// that owns the meter is the source's business only.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelmora {

// One reply of the meter to the sample request, as the poll took it.
struct MeterReading {
    // Counts the source's readings from 0; a listener that joins later sees
    // a later number first.
    std::uint64_t sequence = 0;
    int wavelength = 0;
    unsigned reading = 0;
    unsigned range = 0;
    std::chrono::system_clock::time_point utcTime{};
    std::chrono::steady_clock::time_point monotonicTime{};

    friend bool operator==(const MeterReading&, const MeterReading&) = default;
};

// What a listener is told. Every call comes on the source's own thread
// (the poll's, or the thread that receives an owner's messages); calls to
// one listener never overlap. A listener must not call its source from
// inside a call.
class ReadingListener {
public:
    virtual ~ReadingListener() = default;
    // Whether the listener takes another reading now. A source that polls
    // asks the meter only when one of its listeners does (a collection that
    // reached its limit costs the meter nothing).
    virtual bool WantsReading() = 0;
    virtual void OnReading(const MeterReading& reading) = 0;
    // Readings taken but lost on their way to this listener (a reader that
    // fell behind the owner's queue).
    virtual void OnReadingsLost(std::uint64_t count) = 0;
    // The readings stop for a while (the owner went away) and come again
    // (another process, or this one, polls the meter now).
    virtual void OnGap(bool resumed) = 0;
    // The source ends: the meter was lost or closed. No call follows.
    virtual void OnClosed() = 0;
};

class MeterSource {
public:
    virtual ~MeterSource() = default;

    // The probe the meter identified itself with.
    virtual std::string GetProbeFamily() const = 0;
    virtual std::string GetProbeModel() const = 0;
    // The poll period the meter is polled with.
    virtual int GetPollPeriod() const = 0;
    // True while readings come or may come again (during a gap too).
    virtual bool IsOpen() const = 0;

    // Asks for readings every `periodMs`. False with the reason in
    // `problem` when the source cannot serve that period (an owner in
    // another process keeps its own); the listener keeps what it had.
    virtual bool SetPollPeriod(int periodMs, std::string& problem) = 0;

    // Joins and leaves the readings. Once Leave returns the listener is not
    // called any more. `stopMeter`: when this was the last listener, whether
    // the meter is sent its stop request as it is let go.
    virtual void Join(ReadingListener& listener) = 0;
    virtual void Leave(ReadingListener& listener, bool stopMeter) = 0;

    // Takes one reading at once, as the poll's timer would (tests drive the
    // poll with it). Nothing where the source does not poll.
    virtual void PollNow() = 0;
};

// A meter as it identified itself: its id, the driver's path of the
// device (where it sits) and its probe.
struct MeterIdentity {
    std::string id;
    std::string path;
    std::string probeModel;
    std::string probeFamily;
};

// Gives a meter's source by the meter's id, as a front end's Start asks.
class MeterSources {
public:
    virtual ~MeterSources() = default;
    // The meters that other processes poll, as their owners tell: a scan
    // takes these from here and sends their devices no request, since only
    // a meter's owner talks to it. None where nothing is shared.
    virtual std::vector<MeterIdentity> MetersOwnedElsewhere() { return {}; }
    // The running source of the meter with this id, polled every
    // `periodMs`; none when there is no such meter or it does not start
    // (`problem` then says why when there is more to say than that).
    virtual std::shared_ptr<MeterSource> Open(const std::string& meterId, int periodMs,
                                              std::string& problem) = 0;
};

// What a reading converts to, before any averaging: the power in the
// family's unit and whether it is in range.
struct ConvertedReading {
    double power = 0;
    bool converted = false;
    bool overRange = false;
};
ConvertedReading ConvertReading(const std::string& family, const std::string& model,
                                unsigned reading, unsigned range);

} // namespace zelmora
