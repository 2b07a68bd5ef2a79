#include "usb/driver/TracingUsbDriver.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelmora {

namespace {

// A call as the caller describes it to the writer: everything it names is
// only borrowed until Push returns.
struct TraceCall {
    TraceCall(TraceEvent::Kind callKind, std::int64_t callNs) : kind(callKind), ns(callNs) {}

    TraceEvent::Kind kind;
    std::int64_t ns;
    std::uint64_t handle = 0;
    std::uint64_t request = 0;
    std::uint64_t registration = 0;
    std::uint32_t code = 0;
    std::uint32_t outSize = 0;
    std::uint32_t bytes = 0;
    std::uint32_t error = 0;
    bool ok = false;
    bool abandoned = false;
    SubmitOutcome outcome = SubmitOutcome::Failed;
    const TraceWaits* waits = nullptr;
    std::span<const std::uint8_t> in;
    std::span<const std::uint8_t> out;
    std::string_view guid;
    std::string_view path;
    const std::optional<std::vector<std::string>>* paths = nullptr;
};

// How a call lies in the queue: this fixed part, then the bytes of `in`,
// `out`, the GUID and the path, then each listed path as its length and
// its bytes. Plain bytes, so that queueing a call is a few copies into
// memory the queue already has.
struct PackedCall {
    std::uint32_t size; // of the whole entry, this part included
    std::uint8_t kind;
    std::uint8_t ok;
    std::uint8_t abandoned;
    std::uint8_t outcome;
    std::uint8_t waitCount;
    std::uint8_t hasPaths;
    std::array<std::uint8_t, TraceWaits::kMax> waits;
    std::int64_t ns;
    std::uint64_t handle;
    std::uint64_t request;
    std::uint64_t registration;
    std::uint32_t code;
    std::uint32_t outSize;
    std::uint32_t bytes;
    std::uint32_t error;
    std::uint32_t inSize;
    std::uint32_t outCount;
    std::uint32_t guidSize;
    std::uint32_t pathSize;
    std::uint32_t pathCount;
};
static_assert(std::is_trivially_copyable_v<PackedCall>);

// The paths of a listing that succeeded; nullptr for any other call.
const std::vector<std::string>* ListedPaths(const TraceCall& call) {
    return call.paths != nullptr && call.paths->has_value() ? &**call.paths : nullptr;
}

std::size_t PackedSize(const TraceCall& call) {
    std::size_t size =
        sizeof(PackedCall) + call.in.size() + call.out.size() + call.guid.size() + call.path.size();
    if (const auto* paths = ListedPaths(call)) {
        for (const std::string& path : *paths) {
            size += sizeof(std::uint32_t) + path.size();
        }
    }
    return size;
}

std::uint8_t* PutBytes(std::uint8_t* to, const void* from, std::size_t size) {
    if (size > 0) {
        std::memcpy(to, from, size);
    }
    return to + size;
}

void Pack(const TraceCall& call, std::size_t size, std::uint8_t* to) {
    PackedCall packed{};
    packed.size = static_cast<std::uint32_t>(size);
    packed.kind = static_cast<std::uint8_t>(call.kind);
    packed.ok = call.ok;
    packed.abandoned = call.abandoned;
    packed.outcome = static_cast<std::uint8_t>(call.outcome);
    if (call.waits != nullptr) {
        packed.waitCount = static_cast<std::uint8_t>(call.waits->size());
        for (std::size_t i = 0; i < call.waits->size(); ++i) {
            packed.waits[i] = static_cast<std::uint8_t>((*call.waits)[i]);
        }
    }
    packed.ns = call.ns;
    packed.handle = call.handle;
    packed.request = call.request;
    packed.registration = call.registration;
    packed.code = call.code;
    packed.outSize = call.outSize;
    packed.bytes = call.bytes;
    packed.error = call.error;
    packed.inSize = static_cast<std::uint32_t>(call.in.size());
    packed.outCount = static_cast<std::uint32_t>(call.out.size());
    packed.guidSize = static_cast<std::uint32_t>(call.guid.size());
    packed.pathSize = static_cast<std::uint32_t>(call.path.size());
    const std::vector<std::string>* paths = ListedPaths(call);
    packed.hasPaths = paths != nullptr;
    packed.pathCount = paths != nullptr ? static_cast<std::uint32_t>(paths->size()) : 0;
    to = PutBytes(to, &packed, sizeof packed);
    to = PutBytes(to, call.in.data(), call.in.size());
    to = PutBytes(to, call.out.data(), call.out.size());
    to = PutBytes(to, call.guid.data(), call.guid.size());
    to = PutBytes(to, call.path.data(), call.path.size());
    if (paths != nullptr) {
        for (const std::string& path : *paths) {
            const auto length = static_cast<std::uint32_t>(path.size());
            to = PutBytes(to, &length, sizeof length);
            to = PutBytes(to, path.data(), path.size());
        }
    }
}

// The inverse of Pack, on the writer's side, into an event whose buffers
// are reused; returns the size of the entry.
std::size_t Unpack(const std::uint8_t* from, TraceEvent& event) {
    PackedCall packed;
    std::memcpy(&packed, from, sizeof packed);
    const std::uint8_t* at = from + sizeof packed;
    auto take = [&at](std::size_t size) {
        const std::uint8_t* begin = at;
        at += size;
        return begin;
    };
    event.kind = static_cast<TraceEvent::Kind>(packed.kind);
    event.t = static_cast<double>(packed.ns) / 1e9;
    event.handle = packed.handle;
    event.request = packed.request;
    event.registration = packed.registration;
    event.code = packed.code;
    event.outSize = packed.outSize;
    event.bytes = packed.bytes;
    event.error = packed.error;
    event.ok = packed.ok != 0;
    event.abandoned = packed.abandoned != 0;
    event.outcome = static_cast<SubmitOutcome>(packed.outcome);
    event.waits = TraceWaits{};
    for (std::size_t i = 0; i < packed.waitCount; ++i) {
        event.waits.push_back(static_cast<WaitOutcome>(packed.waits[i]));
    }
    const std::uint8_t* in = take(packed.inSize);
    event.in.assign(in, in + packed.inSize);
    const std::uint8_t* out = take(packed.outCount);
    event.out.assign(out, out + packed.outCount);
    event.guid.assign(reinterpret_cast<const char*>(take(packed.guidSize)), packed.guidSize);
    event.path.assign(reinterpret_cast<const char*>(take(packed.pathSize)), packed.pathSize);
    event.paths.reset();
    if (packed.hasPaths != 0) {
        event.paths.emplace();
        for (std::uint32_t i = 0; i < packed.pathCount; ++i) {
            std::uint32_t length = 0;
            std::memcpy(&length, take(sizeof length), sizeof length);
            event.paths->emplace_back(reinterpret_cast<const char*>(take(length)), length);
        }
    }
    return packed.size;
}

} // namespace

// The queue and the writer thread behind a tracing driver. Shared with the
// overlapped records it traces, which may outlive the driver's calls.
class TraceWriter {
public:
    // How often the writer takes what is queued, writes it and flushes the
    // file: what a crash may lose. The queue holds the calls of far more
    // than this at any sensible poll period.
    static constexpr std::chrono::milliseconds kWritePeriod{250};

    TraceWriter(std::FILE* file, std::uint64_t capBytes, std::size_t queueBytes)
        : m_file(file), m_capBytes(capBytes), m_start(std::chrono::steady_clock::now()) {
        // The queue and the writer's batch take turns. Both are made full
        // size now, so queueing a call never allocates; the calls of one
        // turn are packed from the start, so the bytes the tick writes to
        // are the few kilobytes that stay in its cache.
        m_queue.resize(queueBytes);
        m_batch.resize(queueBytes);
    }

    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    ~TraceWriter() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (!m_capped) {
            WriteLine(FormatTraceEnd(Now(), "closed", {}, m_dropped));
        }
        std::fclose(m_file);
    }

    bool Begin(const TraceHeader& header) {
        if (!WriteLine(FormatTraceHeader(header)) || std::fflush(m_file) != 0) {
            return false;
        }
        m_thread = std::thread([this] { Run(); });
        return true;
    }

    // Nanoseconds since the trace began.
    std::int64_t Ns() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - m_start)
            .count();
    }
    double Now() const { return static_cast<double>(Ns()) / 1e9; }

    // On the caller's thread: queues, or counts the call as dropped when
    // the queue has no room for it. Never waits for the writer.
    void Push(const TraceCall& call) {
        const std::size_t size = PackedSize(call);
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            return;
        }
        if (size > m_queue.size() - m_queued) {
            ++m_dropped;
            ++m_droppedUnwritten;
            return;
        }
        // No wake-up call: that would cost the tick a system call. The
        // writer comes by itself every kWritePeriod.
        Pack(call, size, m_queue.data() + m_queued);
        m_queued += size;
    }

    std::uint64_t Dropped() const {
        std::lock_guard lock(m_mutex);
        return m_dropped;
    }

    std::string Fault() const {
        std::lock_guard lock(m_mutex);
        return m_fault;
    }

private:
    void Run() {
        for (;;) {
            std::size_t batched = 0;
            std::uint64_t dropped = 0;
            bool stopping = false;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait_for(lock, kWritePeriod, [this] { return m_stopping; });
                m_batch.swap(m_queue);
                batched = std::exchange(m_queued, 0);
                dropped = std::exchange(m_droppedUnwritten, 0);
                stopping = m_stopping;
            }
            for (std::size_t at = 0; at < batched;) {
                at += Unpack(m_batch.data() + at, m_event);
                if (!Append(FormatTraceEvent(m_event))) {
                    break;
                }
            }
            if (dropped > 0) {
                Append(FormatTraceDropped(Now(), dropped));
            }
            std::fflush(m_file);
            if (stopping) {
                return;
            }
        }
    }

    // Writes a line unless the cap is reached; at the cap, the end line
    // says so and later events are let go.
    bool Append(const std::string& line) {
        if (m_capped) {
            return false;
        }
        // Room is kept for the end line.
        constexpr std::uint64_t kEndRoom = 256;
        if (m_written + line.size() + 1 + kEndRoom > m_capBytes) {
            m_capped = true;
            {
                std::lock_guard lock(m_mutex);
                m_closed = true;
            }
            WriteLine(FormatTraceEnd(
                Now(), "cut",
                Format("the trace reached its size cap of %llu bytes; later calls are not in it",
                       static_cast<unsigned long long>(m_capBytes)),
                Dropped()));
            return false;
        }
        return WriteLine(line);
    }

    bool WriteLine(const std::string& line) {
        const bool written = std::fwrite(line.data(), 1, line.size(), m_file) == line.size() &&
                             std::fputc('\n', m_file) != EOF;
        m_written += line.size() + 1;
        if (!written) {
            std::lock_guard lock(m_mutex);
            if (m_fault.empty()) {
                m_fault = "the trace file cannot be written (the disk may be full)";
            }
        }
        return written;
    }

    std::FILE* m_file;
    const std::uint64_t m_capBytes;
    const std::chrono::steady_clock::time_point m_start;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::uint8_t> m_queue;
    std::size_t m_queued = 0;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_droppedUnwritten = 0;
    bool m_stopping = false;
    bool m_closed = false;
    std::string m_fault;

    // The writer thread's (and after it, the destructor's) own.
    std::vector<std::uint8_t> m_batch;
    TraceEvent m_event;
    std::uint64_t m_written = 0;
    bool m_capped = false;
};

// Trace-local numbers of handles, requests and registrations: small, in
// the order they appear, the same on every platform.
class TracingUsbDriver::Numbers {
public:
    std::uint64_t AddHandle(DriverHandle handle) {
        std::lock_guard lock(m_mutex);
        const std::uint64_t number = ++m_lastHandle;
        m_handles[static_cast<std::uintptr_t>(handle)] = number;
        return number;
    }
    std::uint64_t Handle(DriverHandle handle) const {
        std::lock_guard lock(m_mutex);
        return HandleLocked(handle);
    }
    void DropHandle(DriverHandle handle) {
        std::lock_guard lock(m_mutex);
        m_handles.erase(static_cast<std::uintptr_t>(handle));
    }
    // A new request's number and its handle's, under one lock: the tick
    // asks for both.
    std::pair<std::uint64_t, std::uint64_t> NextRequest(DriverHandle handle) {
        std::lock_guard lock(m_mutex);
        return {++m_lastRequest, HandleLocked(handle)};
    }
    std::uint64_t AddRegistration(NotificationHandle registration) {
        if (registration == kNoNotification) {
            return 0;
        }
        std::lock_guard lock(m_mutex);
        const std::uint64_t number = ++m_lastRegistration;
        m_registrations[static_cast<std::uintptr_t>(registration)] = number;
        return number;
    }
    std::uint64_t Registration(NotificationHandle registration) const {
        std::lock_guard lock(m_mutex);
        const auto found = m_registrations.find(static_cast<std::uintptr_t>(registration));
        return found == m_registrations.end() ? 0 : found->second;
    }

private:
    std::uint64_t HandleLocked(DriverHandle handle) const {
        const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
        return found == m_handles.end() ? 0 : found->second;
    }

    mutable std::mutex m_mutex;
    std::map<std::uintptr_t, std::uint64_t> m_handles;
    std::map<std::uintptr_t, std::uint64_t> m_registrations;
    std::uint64_t m_lastHandle = 0;
    std::uint64_t m_lastRequest = 0;
    std::uint64_t m_lastRegistration = 0;
};

namespace {

// An overlapped request passed on to the inner driver through a record of
// its own, so that every wait and the collection are seen on the way.
class TracingState final : public OverlappedState {
public:
    TracingState(std::shared_ptr<TraceWriter> writer, std::uint64_t request, std::uint32_t code,
                 std::span<std::uint8_t> block)
        : m_writer(std::move(writer)), m_request(request), m_code(code), m_block(block) {}

    ~TracingState() override {
        if (!m_reported) {
            // Destroyed without being collected: the request ends first,
            // and only then may its block be read.
            m_inner.Release();
            Report(false, 0, true);
        }
    }

    OverlappedRecord& Inner() { return m_inner; }
    // For a submission that failed: nothing ran, so nothing is collected.
    void Discard() { m_reported = true; }

    WaitOutcome Wait(std::uint32_t timeoutMs) override {
        OverlappedState* state = m_inner.State();
        const WaitOutcome outcome = state ? state->Wait(timeoutMs) : WaitOutcome::Failed;
        // A caller that waits again and again on a request that never
        // ends is told by the first waits; the rest are left out.
        m_waits.push_back(outcome);
        return outcome;
    }

    void End() override {
        if (OverlappedState* state = m_inner.State()) {
            state->End();
        }
    }

    bool Result(std::uint32_t& bytesReturned) override {
        OverlappedState* state = m_inner.State();
        bytesReturned = 0;
        const bool ok = state ? state->Result(bytesReturned) : false;
        if (!m_reported) {
            Report(ok, bytesReturned, false);
        }
        return ok;
    }

private:
    void Report(bool ok, std::uint32_t bytes, bool abandoned) {
        m_reported = true;
        TraceCall call(TraceEvent::Kind::Collect, m_writer->Ns());
        call.request = m_request;
        call.code = m_code;
        call.waits = &m_waits;
        call.out = m_block;
        call.bytes = bytes;
        call.ok = ok;
        call.abandoned = abandoned;
        m_writer->Push(call);
    }

    std::shared_ptr<TraceWriter> m_writer;
    std::uint64_t m_request;
    std::uint32_t m_code;
    std::span<std::uint8_t> m_block;
    TraceWaits m_waits;
    bool m_reported = false;
    // Last, so that it is released before the members above go.
    OverlappedRecord m_inner;
};

// What a synchronous request sends, kept before the call as the reply may
// be written over it: on the stack when it is as small as the meter's
// requests are.
class CopiedBytes {
public:
    explicit CopiedBytes(std::span<const std::uint8_t> bytes) : m_size(bytes.size()) {
        if (bytes.size() <= m_small.size()) {
            std::copy(bytes.begin(), bytes.end(), m_small.begin());
        } else {
            m_large.assign(bytes.begin(), bytes.end());
        }
    }
    std::span<const std::uint8_t> Bytes() const {
        return m_size <= m_small.size() ? std::span<const std::uint8_t>(m_small.data(), m_size)
                                        : std::span<const std::uint8_t>(m_large);
    }

private:
    std::size_t m_size;
    std::array<std::uint8_t, 256> m_small;
    std::vector<std::uint8_t> m_large;
};

} // namespace

std::unique_ptr<TracingUsbDriver> TracingUsbDriver::Create(std::unique_ptr<UsbDriver>& inner,
                                                           const Settings& settings,
                                                           std::string& error) {
    std::FILE* file = OpenTraceFile(settings.path, "wb");
    if (file == nullptr) {
        error = "cannot write the trace '" + settings.path + "'";
        return nullptr;
    }
    auto writer = std::make_shared<TraceWriter>(file, settings.capBytes, settings.queueBytes);
    if (!writer->Begin(settings.header)) {
        error = "cannot write the trace '" + settings.path + "'";
        return nullptr;
    }
    return std::unique_ptr<TracingUsbDriver>(new TracingUsbDriver(std::move(inner), writer));
}

TracingUsbDriver::TracingUsbDriver(std::unique_ptr<UsbDriver> inner,
                                   std::shared_ptr<TraceWriter> writer)
    : m_inner(std::move(inner)), m_writer(std::move(writer)),
      m_numbers(std::make_unique<Numbers>()) {}

TracingUsbDriver::~TracingUsbDriver() = default;

std::uint64_t TracingUsbDriver::Dropped() const {
    return m_writer->Dropped();
}

std::string TracingUsbDriver::Fault() const {
    std::string fault = m_inner->Fault();
    return fault.empty() ? m_writer->Fault() : fault;
}

std::optional<std::vector<std::string>>
TracingUsbDriver::ListDevicePaths(const Guid& interfaceClass) {
    auto paths = m_inner->ListDevicePaths(interfaceClass);
    const std::string guid = FormatGuid(interfaceClass);
    TraceCall call(TraceEvent::Kind::List, m_writer->Ns());
    call.guid = guid;
    call.paths = &paths;
    m_writer->Push(call);
    return paths;
}

DriverHandle TracingUsbDriver::OpenDevice(const std::string& path) {
    const DriverHandle handle = m_inner->OpenDevice(path);
    TraceCall call(TraceEvent::Kind::Open, m_writer->Ns());
    call.path = path;
    call.handle = handle == kInvalidDriverHandle ? 0 : m_numbers->AddHandle(handle);
    m_writer->Push(call);
    return handle;
}

bool TracingUsbDriver::CloseDevice(DriverHandle handle) {
    const bool ok = m_inner->CloseDevice(handle);
    TraceCall call(TraceEvent::Kind::Close, m_writer->Ns());
    call.handle = m_numbers->Handle(handle);
    call.ok = ok;
    if (ok) {
        m_numbers->DropHandle(handle);
    }
    m_writer->Push(call);
    return ok;
}

bool TracingUsbDriver::SyncRequest(DriverHandle handle, std::uint32_t code,
                                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                   std::uint32_t& bytesReturned) {
    TraceCall call(TraceEvent::Kind::Sync, m_writer->Ns());
    // Before the call: `in` and `out` may be the same bytes.
    const CopiedBytes sent(in);
    const bool ok = m_inner->SyncRequest(handle, code, in, out, bytesReturned);
    call.handle = m_numbers->Handle(handle);
    call.code = code;
    call.in = sent.Bytes();
    call.outSize = static_cast<std::uint32_t>(out.size());
    call.out = out;
    call.bytes = bytesReturned;
    call.ok = ok;
    m_writer->Push(call);
    return ok;
}

SubmitResult TracingUsbDriver::StartRequest(DriverHandle handle, std::uint32_t code,
                                            std::span<std::uint8_t> block,
                                            OverlappedRecord& record) {
    TraceCall call(TraceEvent::Kind::Submit, m_writer->Ns());
    std::tie(call.request, call.handle) = m_numbers->NextRequest(handle);
    call.code = code;
    // Copied before the request starts: from then on the backend may
    // write into the block.
    const CopiedBytes sent(block);
    call.in = sent.Bytes();
    auto state = std::make_unique<TracingState>(m_writer, call.request, code, block);
    const SubmitResult result = m_inner->SubmitRequest(handle, code, block, state->Inner());
    call.outcome = result.outcome;
    call.error = result.error;
    // The submission goes into the queue before its collection can.
    m_writer->Push(call);
    if (result.outcome != SubmitOutcome::Failed) {
        record.Attach(std::move(state));
    } else {
        state->Discard();
    }
    return result;
}

NotificationHandle TracingUsbDriver::RegisterInterfaceNotification(NotifyWindow window,
                                                                   const Guid& interfaceClass) {
    const NotificationHandle registration =
        m_inner->RegisterInterfaceNotification(window, interfaceClass);
    const std::string guid = FormatGuid(interfaceClass);
    TraceCall call(TraceEvent::Kind::RegisterInterface, m_writer->Ns());
    call.guid = guid;
    call.registration = m_numbers->AddRegistration(registration);
    m_writer->Push(call);
    return registration;
}

NotificationHandle TracingUsbDriver::RegisterHandleNotification(NotifyWindow window,
                                                                DriverHandle handle) {
    const NotificationHandle registration = m_inner->RegisterHandleNotification(window, handle);
    TraceCall call(TraceEvent::Kind::RegisterHandle, m_writer->Ns());
    call.handle = m_numbers->Handle(handle);
    call.registration = m_numbers->AddRegistration(registration);
    m_writer->Push(call);
    return registration;
}

bool TracingUsbDriver::UnregisterNotification(NotificationHandle notification) {
    const bool ok = m_inner->UnregisterNotification(notification);
    TraceCall call(TraceEvent::Kind::Unregister, m_writer->Ns());
    call.registration = m_numbers->Registration(notification);
    call.ok = ok;
    m_writer->Push(call);
    return ok;
}

} // namespace zelmora
