#include "usb/driver/TracingUsbDriver.h"

#include "util/TextFormat.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zelmora {

// The queue and the writer thread behind a tracing driver. Shared with the
// overlapped records it traces, which may outlive the driver's calls.
class TraceWriter {
public:
    // How often the writer takes what is queued, writes it and flushes the
    // file: what a crash may lose. The queue holds the calls of far more
    // than this at any sensible poll period.
    static constexpr std::chrono::milliseconds kWritePeriod{250};

    TraceWriter(std::FILE* file, std::uint64_t capBytes, std::size_t queueEvents)
        : m_file(file), m_capBytes(capBytes), m_queueEvents(queueEvents),
          m_start(std::chrono::steady_clock::now()) {
        // The queue and the writer's batch take turns; both are made full
        // size and touched now, so that queueing a call never allocates or
        // faults in a page.
        for (std::vector<TraceEvent>* events : {&m_queue, &m_batch}) {
            events->resize(queueEvents);
            events->clear();
        }
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

    double Now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

    // On the caller's thread: queues, or counts the event as dropped when
    // the queue is full. Never waits for the writer.
    void Push(TraceEvent&& event) {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed) {
                return;
            }
            if (m_queue.size() >= m_queueEvents) {
                ++m_dropped;
                ++m_droppedUnwritten;
                return;
            }
            // No wake-up call: that would cost the tick a system call. The
            // writer comes by itself every kWritePeriod.
            m_queue.push_back(std::move(event));
        }
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
        std::vector<TraceEvent>& batch = m_batch;
        for (;;) {
            std::uint64_t dropped = 0;
            bool stopping = false;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait_for(lock, kWritePeriod, [this] { return m_stopping; });
                batch.swap(m_queue);
                dropped = std::exchange(m_droppedUnwritten, 0);
                stopping = m_stopping;
            }
            for (const TraceEvent& event : batch) {
                if (!Append(FormatTraceEvent(event))) {
                    break;
                }
            }
            batch.clear();
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
    const std::size_t m_queueEvents;
    const std::chrono::steady_clock::time_point m_start;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<TraceEvent> m_queue;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_droppedUnwritten = 0;
    bool m_stopping = false;
    bool m_closed = false;
    std::string m_fault;

    // The writer thread's (and after it, the destructor's) own.
    std::vector<TraceEvent> m_batch;
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
        const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
        return found == m_handles.end() ? 0 : found->second;
    }
    void DropHandle(DriverHandle handle) {
        std::lock_guard lock(m_mutex);
        m_handles.erase(static_cast<std::uintptr_t>(handle));
    }
    std::uint64_t NextRequest() {
        std::lock_guard lock(m_mutex);
        return ++m_lastRequest;
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
        TraceEvent event;
        event.kind = TraceEvent::Kind::Collect;
        event.t = m_writer->Now();
        event.request = m_request;
        event.code = m_code;
        event.waits = m_waits;
        event.out.assign(m_block.begin(), m_block.end());
        event.bytes = bytes;
        event.ok = ok;
        event.abandoned = abandoned;
        m_writer->Push(std::move(event));
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

} // namespace

std::unique_ptr<TracingUsbDriver> TracingUsbDriver::Create(std::unique_ptr<UsbDriver>& inner,
                                                           const Settings& settings,
                                                           std::string& error) {
    std::FILE* file = OpenTraceFile(settings.path, "wb");
    if (file == nullptr) {
        error = "cannot write the trace '" + settings.path + "'";
        return nullptr;
    }
    auto writer = std::make_shared<TraceWriter>(file, settings.capBytes,
                                                std::max<std::size_t>(settings.queueEvents, 1));
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
    TraceEvent event;
    event.kind = TraceEvent::Kind::List;
    event.t = m_writer->Now();
    event.guid = FormatGuid(interfaceClass);
    event.paths = paths;
    m_writer->Push(std::move(event));
    return paths;
}

DriverHandle TracingUsbDriver::OpenDevice(const std::string& path) {
    const DriverHandle handle = m_inner->OpenDevice(path);
    TraceEvent event;
    event.kind = TraceEvent::Kind::Open;
    event.t = m_writer->Now();
    event.path = path;
    event.handle = handle == kInvalidDriverHandle ? 0 : m_numbers->AddHandle(handle);
    m_writer->Push(std::move(event));
    return handle;
}

bool TracingUsbDriver::CloseDevice(DriverHandle handle) {
    const bool ok = m_inner->CloseDevice(handle);
    TraceEvent event;
    event.kind = TraceEvent::Kind::Close;
    event.t = m_writer->Now();
    event.handle = m_numbers->Handle(handle);
    event.ok = ok;
    if (ok) {
        m_numbers->DropHandle(handle);
    }
    m_writer->Push(std::move(event));
    return ok;
}

bool TracingUsbDriver::SyncRequest(DriverHandle handle, std::uint32_t code,
                                   std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                   std::uint32_t& bytesReturned) {
    TraceEvent event;
    event.kind = TraceEvent::Kind::Sync;
    event.t = m_writer->Now();
    // Before the call: `in` and `out` may be the same bytes.
    event.in.assign(in.begin(), in.end());
    const bool ok = m_inner->SyncRequest(handle, code, in, out, bytesReturned);
    event.handle = m_numbers->Handle(handle);
    event.code = code;
    event.outSize = static_cast<std::uint32_t>(out.size());
    event.out.assign(out.begin(), out.end());
    event.bytes = bytesReturned;
    event.ok = ok;
    m_writer->Push(std::move(event));
    return ok;
}

SubmitResult TracingUsbDriver::StartRequest(DriverHandle handle, std::uint32_t code,
                                            std::span<std::uint8_t> block,
                                            OverlappedRecord& record) {
    TraceEvent event;
    event.kind = TraceEvent::Kind::Submit;
    event.t = m_writer->Now();
    event.request = m_numbers->NextRequest();
    event.handle = m_numbers->Handle(handle);
    event.code = code;
    event.in.assign(block.begin(), block.end());
    auto state = std::make_unique<TracingState>(m_writer, event.request, code, block);
    const SubmitResult result = m_inner->SubmitRequest(handle, code, block, state->Inner());
    event.outcome = result.outcome;
    event.error = result.error;
    // The submission goes into the queue before its collection can.
    m_writer->Push(std::move(event));
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
    TraceEvent event;
    event.kind = TraceEvent::Kind::RegisterInterface;
    event.t = m_writer->Now();
    event.guid = FormatGuid(interfaceClass);
    event.registration = m_numbers->AddRegistration(registration);
    m_writer->Push(std::move(event));
    return registration;
}

NotificationHandle TracingUsbDriver::RegisterHandleNotification(NotifyWindow window,
                                                                DriverHandle handle) {
    const NotificationHandle registration = m_inner->RegisterHandleNotification(window, handle);
    TraceEvent event;
    event.kind = TraceEvent::Kind::RegisterHandle;
    event.t = m_writer->Now();
    event.handle = m_numbers->Handle(handle);
    event.registration = m_numbers->AddRegistration(registration);
    m_writer->Push(std::move(event));
    return registration;
}

bool TracingUsbDriver::UnregisterNotification(NotificationHandle notification) {
    const bool ok = m_inner->UnregisterNotification(notification);
    TraceEvent event;
    event.kind = TraceEvent::Kind::Unregister;
    event.t = m_writer->Now();
    event.registration = m_numbers->Registration(notification);
    event.ok = ok;
    m_writer->Push(std::move(event));
    return ok;
}

} // namespace zelmora
