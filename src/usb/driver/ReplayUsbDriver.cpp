#include "usb/driver/ReplayUsbDriver.h"

#include "usb/driver/DriverRequest.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace zelmora {

namespace {

// Handles and registrations given out: the trace's numbers, moved off the
// small values so that a stray 0 or 1 is never taken for one.
constexpr std::uintptr_t kHandleBase = 0x7E000000;
constexpr std::uintptr_t kRegistrationBase = 0x7D000000;

const char* OpName(TraceEvent::Kind kind) {
    using Kind = TraceEvent::Kind;
    switch (kind) {
    case Kind::List:
        return "a device listing";
    case Kind::Open:
        return "an open";
    case Kind::Close:
        return "a close";
    case Kind::Sync:
        return "a buffered request";
    case Kind::Submit:
        return "an overlapped request";
    case Kind::Collect:
        return "a collection";
    case Kind::RegisterInterface:
        return "a class notification";
    case Kind::RegisterHandle:
        return "a handle notification";
    case Kind::Unregister:
        return "a notification release";
    }
    return "a call";
}

// For "%llu": the platform's printf does not take every "%zu".
unsigned long long Count(std::size_t count) {
    return count;
}

// The stream of a recorded call: its handle, or 0 for a call on none.
std::uint64_t StreamOf(const TraceEvent& event) {
    using Kind = TraceEvent::Kind;
    const bool onHandle = event.kind == Kind::Close || event.kind == Kind::Sync ||
                          event.kind == Kind::Submit || event.kind == Kind::RegisterHandle;
    return onHandle ? event.handle : 0;
}

std::uint64_t NumberOf(std::uintptr_t value, std::uintptr_t base) {
    return value > base && value - base < 0x1000000 ? value - base : 0;
}

} // namespace

// The trace and where the program is in it; shared with the records of
// requests played back.
//
// The calls are played back in the recorded order one stream at a time:
// the calls on each handle in theirs, and those on no handle (listings,
// opens, class notifications) in theirs. Between streams the order may
// differ, as it does between two runs whose threads (a scan closing one
// device while another thread lists them) take turns differently. A call
// on a handle is only ever matched with a recorded call on the same
// handle, so the handle itself never differs; a handle the trace does not
// know has an empty stream.
class ReplayCursor {
public:
    ReplayCursor(Trace trace, ReplayUsbDriver::Pace pace)
        : m_trace(std::move(trace)), m_pace(pace), m_start(std::chrono::steady_clock::now()) {
        for (std::size_t i = 0; i < m_trace.entries.size(); ++i) {
            const TraceEvent& event = m_trace.entries[i].event;
            // Collections are found through their submissions.
            if (event.kind != TraceEvent::Kind::Collect) {
                m_streams[StreamOf(event)].push_back(i);
            }
        }
    }

    std::mutex& Mutex() { return m_mutex; }

    // With the mutex held: the next call of the trace on `handle` (0: the
    // calls on no handle) if it is of `kind`; nothing, and the fault set,
    // when it is not or the trace has none.
    const TraceEntry* Next(TraceEvent::Kind kind, std::uint64_t handle = 0) {
        if (!m_fault.empty()) {
            return nullptr;
        }
        std::deque<std::size_t>& stream = m_streams[handle];
        if (stream.empty()) {
            SetFault(Format("replay: the program asks for %s, but the trace ends at line %llu",
                            OpName(kind), Count(m_trace.lastLine)) +
                     (m_trace.cut          ? " (it was cut at its size cap)"
                      : m_trace.unfinished ? " (it has no end line: the program that wrote it "
                                             "stopped without closing it)"
                                           : ""));
            return nullptr;
        }
        const TraceEntry& entry = m_trace.entries[stream.front()];
        if (entry.event.kind != kind) {
            return Differs(entry, Format("the program asks for %s where the trace has %s",
                                         OpName(kind), OpName(entry.event.kind)));
        }
        stream.pop_front();
        return &entry;
    }

    // Sets the fault for a call that differs from `entry`; nullptr.
    const TraceEntry* Differs(const TraceEntry& entry, const std::string& what) {
        SetFault(Format("replay: line %llu of the trace: ", Count(entry.line)) + what);
        return nullptr;
    }

    void SetFault(std::string fault) {
        if (m_fault.empty()) {
            m_fault = std::move(fault);
        }
    }

    bool Faulty() const { return !m_fault.empty(); }
    std::string Fault() {
        std::lock_guard lock(m_mutex);
        return m_fault;
    }

    const TraceEntry& Entry(std::size_t index) const { return m_trace.entries[index]; }
    std::size_t LastLine() const { return m_trace.lastLine; }

    // How long to hold an answer back to keep the recorded pace.
    std::chrono::steady_clock::duration Delay(double t) const {
        if (m_pace != ReplayUsbDriver::Pace::Recorded) {
            return {};
        }
        const auto due = m_start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(t));
        return std::max(due - std::chrono::steady_clock::now(),
                        std::chrono::steady_clock::duration::zero());
    }
    bool Paced() const { return m_pace == ReplayUsbDriver::Pace::Recorded; }

private:
    std::mutex m_mutex;
    const Trace m_trace;
    const ReplayUsbDriver::Pace m_pace;
    const std::chrono::steady_clock::time_point m_start;
    std::map<std::uint64_t, std::deque<std::size_t>> m_streams;
    std::string m_fault;
};

namespace {

void Sleep(std::chrono::steady_clock::duration delay) {
    if (delay > std::chrono::steady_clock::duration::zero()) {
        std::this_thread::sleep_for(delay);
    }
}

// A request played back: its waits end as recorded, its collection writes
// the recorded block back.
class ReplayState final : public OverlappedState {
public:
    ReplayState(std::shared_ptr<ReplayCursor> cursor, std::size_t submit,
                std::span<std::uint8_t> block)
        : m_cursor(std::move(cursor)), m_submit(submit), m_block(block) {}

    WaitOutcome Wait(std::uint32_t timeoutMs) override {
        std::chrono::steady_clock::duration delay{};
        WaitOutcome outcome = WaitOutcome::Signalled;
        {
            std::lock_guard lock(m_cursor->Mutex());
            const TraceEntry* collect = Collect();
            if (!collect) {
                return WaitOutcome::Failed;
            }
            const auto& waits = collect->event.waits;
            if (m_waits < waits.size()) {
                outcome = waits[m_waits++];
            }
            if (outcome == WaitOutcome::TimedOut && m_cursor->Paced() && timeoutMs != kInfinite) {
                delay = std::chrono::milliseconds(timeoutMs);
            } else if (outcome == WaitOutcome::Signalled) {
                delay = m_cursor->Delay(collect->event.t);
            }
        }
        Sleep(delay);
        return outcome;
    }

    void End() override {}

    bool Result(std::uint32_t& bytesReturned) override {
        bytesReturned = 0;
        std::lock_guard lock(m_cursor->Mutex());
        const TraceEntry* collect = Collect();
        if (!collect) {
            return false;
        }
        // The sizes were checked at the submission.
        std::copy(collect->event.out.begin(), collect->event.out.end(), m_block.begin());
        bytesReturned = collect->event.bytes;
        return collect->event.ok;
    }

private:
    // With the mutex held: the recorded collection; nothing, and the fault
    // set, when the trace ends before it.
    const TraceEntry* Collect() {
        if (m_cursor->Faulty()) {
            return nullptr;
        }
        const TraceEntry& submit = m_cursor->Entry(m_submit);
        if (!submit.collect) {
            m_cursor->SetFault(Format("replay: the trace ends at line %llu before the request of "
                                      "line %llu ended",
                                      Count(m_cursor->LastLine()), Count(submit.line)));
            return nullptr;
        }
        return &m_cursor->Entry(*submit.collect);
    }

    std::shared_ptr<ReplayCursor> m_cursor;
    std::size_t m_submit;
    std::span<std::uint8_t> m_block;
    std::size_t m_waits = 0;
};

std::string SetupDifference(std::span<const std::uint8_t> asked,
                            std::span<const std::uint8_t> recorded) {
    const auto a = DriverRequest::DecodeHeader(asked);
    const auto r = DriverRequest::DecodeHeader(recorded);
    if (!a || !r) {
        return {};
    }
    const struct {
        const char* name;
        unsigned asked;
        unsigned recorded;
    } fields[] = {
        {"requestType", a->requestType, r->requestType},
        {"request", a->request, r->request},
        {"value", a->value, r->value},
        {"index", a->index, r->index},
        {"length", a->length, r->length},
        {"endpoint", a->endpointAddress, r->endpointAddress},
    };
    for (const auto& field : fields) {
        if (field.asked != field.recorded) {
            return Format("the request's %s is 0x%X where the trace has 0x%X", field.name,
                          field.asked, field.recorded);
        }
    }
    return {};
}

} // namespace

ReplayUsbDriver::ReplayUsbDriver(Trace trace, Pace pace)
    : m_cursor(std::make_shared<ReplayCursor>(std::move(trace), pace)) {}

ReplayUsbDriver::~ReplayUsbDriver() = default;

std::unique_ptr<ReplayUsbDriver> ReplayUsbDriver::Load(const std::string& path, Pace pace,
                                                       std::string& error) {
    std::string problem;
    auto trace = ReadTraceFile(path, problem);
    if (!trace) {
        error = "the trace '" + path + "' cannot be played back: " + problem;
        auto refused = std::make_unique<ReplayUsbDriver>(Trace{}, pace);
        std::lock_guard lock(refused->m_cursor->Mutex());
        refused->m_cursor->SetFault(error);
        return refused;
    }
    return std::make_unique<ReplayUsbDriver>(std::move(*trace), pace);
}

std::string ReplayUsbDriver::Fault() const {
    return m_cursor->Fault();
}

std::optional<std::vector<std::string>>
ReplayUsbDriver::ListDevicePaths(const Guid& interfaceClass) {
    std::chrono::steady_clock::duration delay{};
    std::optional<std::vector<std::string>> paths;
    {
        std::lock_guard lock(m_cursor->Mutex());
        const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::List);
        if (entry && entry->event.guid != FormatGuid(interfaceClass)) {
            entry = m_cursor->Differs(*entry, "the program lists the class " +
                                                  FormatGuid(interfaceClass) +
                                                  " where the trace lists " + entry->event.guid);
        }
        if (!entry) {
            // Once the replay has failed, its devices are gone.
            return std::vector<std::string>{};
        }
        paths = entry->event.paths;
        delay = m_cursor->Delay(entry->event.t);
    }
    Sleep(delay);
    return paths;
}

DriverHandle ReplayUsbDriver::OpenDevice(const std::string& path) {
    std::chrono::steady_clock::duration delay{};
    DriverHandle handle = kInvalidDriverHandle;
    {
        std::lock_guard lock(m_cursor->Mutex());
        const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::Open);
        if (entry && entry->event.path != path) {
            entry = m_cursor->Differs(*entry, "the program opens '" + path +
                                                  "' where the trace opens '" + entry->event.path +
                                                  "'");
        }
        if (!entry) {
            return kInvalidDriverHandle;
        }
        if (entry->event.handle != 0) {
            handle = DriverHandle{kHandleBase + static_cast<std::uintptr_t>(entry->event.handle)};
        }
        delay = m_cursor->Delay(entry->event.t);
    }
    Sleep(delay);
    return handle;
}

bool ReplayUsbDriver::CloseDevice(DriverHandle handle) {
    std::lock_guard lock(m_cursor->Mutex());
    const std::uint64_t number = NumberOf(static_cast<std::uintptr_t>(handle), kHandleBase);
    const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::Close, number);
    // After a failed replay a handle still closes, so nothing stays open.
    return entry ? entry->event.ok : true;
}

bool ReplayUsbDriver::SyncRequest(DriverHandle handle, std::uint32_t code,
                                  std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                  std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    std::chrono::steady_clock::duration delay{};
    bool ok = false;
    {
        std::lock_guard lock(m_cursor->Mutex());
        const std::uint64_t number = NumberOf(static_cast<std::uintptr_t>(handle), kHandleBase);
        const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::Sync, number);
        if (entry) {
            const TraceEvent& recorded = entry->event;
            if (recorded.code != code) {
                entry = m_cursor->Differs(*entry, "the request code is " + TraceCode(code) +
                                                      " where the trace has " +
                                                      TraceCode(recorded.code));
            } else if (recorded.in.size() != in.size() ||
                       !std::equal(in.begin(), in.end(), recorded.in.begin())) {
                entry =
                    m_cursor->Differs(*entry, "the request's input is " + HexBytes(in) +
                                                  " where the trace has " + HexBytes(recorded.in));
            } else if (recorded.outSize != out.size()) {
                entry = m_cursor->Differs(
                    *entry, Format("the request's output holds %llu bytes where the trace's "
                                   "holds %u",
                                   Count(out.size()), static_cast<unsigned>(recorded.outSize)));
            }
        }
        if (!entry) {
            return false;
        }
        std::copy(entry->event.out.begin(), entry->event.out.end(), out.begin());
        bytesReturned = entry->event.bytes;
        ok = entry->event.ok;
        delay = m_cursor->Delay(entry->event.t);
    }
    Sleep(delay);
    return ok;
}

SubmitResult ReplayUsbDriver::StartRequest(DriverHandle handle, std::uint32_t code,
                                           std::span<std::uint8_t> block,
                                           OverlappedRecord& record) {
    std::chrono::steady_clock::duration delay{};
    SubmitResult result;
    {
        std::lock_guard lock(m_cursor->Mutex());
        const std::uint64_t number = NumberOf(static_cast<std::uintptr_t>(handle), kHandleBase);
        const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::Submit, number);
        if (entry) {
            const TraceEvent& recorded = entry->event;
            std::string setup;
            if (recorded.code != code) {
                entry = m_cursor->Differs(*entry, "the request code is " + TraceCode(code) +
                                                      " where the trace has " +
                                                      TraceCode(recorded.code));
            } else if (IsTransferCode(code) &&
                       !(setup = SetupDifference(block, recorded.in)).empty()) {
                entry = m_cursor->Differs(*entry, setup);
            } else if (recorded.in.size() != block.size()) {
                entry = m_cursor->Differs(
                    *entry,
                    Format("the request block holds %llu bytes where the trace's holds %llu",
                           Count(block.size()), Count(recorded.in.size())));
            }
        }
        if (!entry) {
            return {SubmitOutcome::Failed, kErrorDeviceNotConnected};
        }
        result = {entry->event.outcome, entry->event.error};
        if (result.outcome != SubmitOutcome::Failed) {
            const auto index = static_cast<std::size_t>(entry - &m_cursor->Entry(0));
            record.Attach(std::make_unique<ReplayState>(m_cursor, index, block));
        }
        delay = m_cursor->Delay(entry->event.t);
    }
    Sleep(delay);
    return result;
}

NotificationHandle ReplayUsbDriver::RegisterInterfaceNotification(NotifyWindow,
                                                                  const Guid& interfaceClass) {
    std::lock_guard lock(m_cursor->Mutex());
    const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::RegisterInterface);
    if (entry && entry->event.guid != FormatGuid(interfaceClass)) {
        entry = m_cursor->Differs(
            *entry, "the program registers for the class " + FormatGuid(interfaceClass) +
                        " where the trace registers for " + entry->event.guid);
    }
    if (!entry || entry->event.registration == 0) {
        return kNoNotification;
    }
    return NotificationHandle{kRegistrationBase +
                              static_cast<std::uintptr_t>(entry->event.registration)};
}

NotificationHandle ReplayUsbDriver::RegisterHandleNotification(NotifyWindow, DriverHandle handle) {
    std::lock_guard lock(m_cursor->Mutex());
    const std::uint64_t number = NumberOf(static_cast<std::uintptr_t>(handle), kHandleBase);
    const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::RegisterHandle, number);
    if (!entry || entry->event.registration == 0) {
        return kNoNotification;
    }
    return NotificationHandle{kRegistrationBase +
                              static_cast<std::uintptr_t>(entry->event.registration)};
}

bool ReplayUsbDriver::UnregisterNotification(NotificationHandle notification) {
    std::lock_guard lock(m_cursor->Mutex());
    const std::uint64_t number =
        NumberOf(static_cast<std::uintptr_t>(notification), kRegistrationBase);
    const TraceEntry* entry = m_cursor->Next(TraceEvent::Kind::Unregister);
    if (entry && entry->event.registration != number) {
        entry = m_cursor->Differs(
            *entry, Format("the program releases registration %llu where "
                           "the trace releases %llu",
                           static_cast<unsigned long long>(number),
                           static_cast<unsigned long long>(entry->event.registration)));
    }
    return entry ? entry->event.ok : true;
}

} // namespace zelmora
