#include "share/SharePipe.h"
#include "share/ShareTransport.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <windows.h>

namespace zelmora {

namespace {

// How long a client waits for a free end of a busy pipe, and how often it
// tries.
constexpr DWORD kBusyWaitMs = 2000;
constexpr int kBusyTries = 5;

std::string SystemMessage(DWORD code) {
    return std::system_category().message(static_cast<int>(code));
}

// An event for one thread's own overlapped calls. Its handle's low bit is
// set, so that a call that completes at once is not also queued to the
// event loop's completion port, which would take it for one of its own.
class CPrivateEvent {
public:
    CPrivateEvent() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CPrivateEvent() {
        if (m_event != nullptr) {
            ::CloseHandle(m_event);
        }
    }
    CPrivateEvent(const CPrivateEvent&) = delete;
    CPrivateEvent& operator=(const CPrivateEvent&) = delete;
    HANDLE Get() const { return m_event; }
    HANDLE Unqueued() const {
        return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(m_event) | 1);
    }

private:
    HANDLE m_event;
};

} // namespace

// --- The owner's side ----------------------------------------------------------

struct CShareListener::Native {
    std::string name;
    // The end that waits for the next client; a new one is made before a
    // connected one is handed out, so that a client always finds one.
    std::optional<ShareStream> waiting;
    std::string problem;
    bool closed = false;

    bool MakeEnd(asio::io_context& loop, bool first) {
        DWORD error = 0;
        HANDLE pipe = CreateOwnPipe(name, first, PIPE_UNLIMITED_INSTANCES, error);
        if (pipe == INVALID_HANDLE_VALUE) {
            problem = "cannot serve the meter on " + name + ": " + SystemMessage(error);
            waiting.reset();
            return false;
        }
        waiting.emplace(loop, pipe);
        return true;
    }
};

CShareListener::CShareListener(asio::io_context& loop)
    : m_loop(loop), m_native(std::make_shared<Native>()) {}

CShareListener::~CShareListener() {
    Close();
}

bool CShareListener::Open(const std::string& endpoint, std::string& problem) {
    m_native->name = endpoint;
    // The first end of its name: a pipe cannot outlive its process, so one
    // found there belongs to a live process that should not be there.
    if (!m_native->MakeEnd(m_loop, true)) {
        problem = m_native->problem;
        return false;
    }
    return true;
}

void CShareListener::AsyncAccept(AcceptHandler handler) {
    std::shared_ptr<Native> native = m_native;
    asio::io_context& loop = m_loop;
    if (!native->waiting) {
        asio::post(loop, [handler = std::move(handler), &loop] {
            handler(asio::error::bad_descriptor, ShareStream(loop));
        });
        return;
    }
    // The handler may run after Close, even after the listener is gone:
    // a connection made just before is then closed, unused.
    asio::windows::overlapped_ptr connect(
        loop, [native, &loop, handler](const asio::error_code& error, std::size_t) {
            if (error || native->closed || !native->waiting) {
                handler(error ? error : asio::error::operation_aborted, ShareStream(loop));
                return;
            }
            ShareStream connected = std::move(*native->waiting);
            native->MakeEnd(loop, false);
            handler({}, std::move(connected));
        });
    const BOOL ok = ::ConnectNamedPipe(native->waiting->native_handle(), connect.get());
    const DWORD error = ::GetLastError();
    if (!ok && error == ERROR_PIPE_CONNECTED) {
        // The client came before the call.
        connect.complete(asio::error_code(), 0);
    } else if (!ok && error != ERROR_IO_PENDING) {
        connect.complete(asio::error_code(static_cast<int>(error), asio::system_category()), 0);
    } else {
        connect.release();
    }
}

void CShareListener::Close() {
    m_native->closed = true;
    if (m_native->waiting) {
        asio::error_code ignored;
        m_native->waiting->close(ignored);
        m_native->waiting.reset();
    }
}

std::ptrdiff_t SendNow(ShareStream& stream, const asio::const_buffer* buffers, std::size_t count) {
    thread_local CPrivateEvent event;
    if (event.Get() == nullptr || count == 0) {
        return 0;
    }
    // A pipe takes one buffer a write: several are copied into one, so
    // that what is queued for a client still goes in one write.
    const char* data = static_cast<const char*>(buffers[0].data());
    std::size_t size = buffers[0].size();
    thread_local std::string joined;
    if (count > 1) {
        joined.clear();
        for (std::size_t i = 0; i < std::min(count, kMaxSendBuffers); ++i) {
            joined.append(static_cast<const char*>(buffers[i].data()), buffers[i].size());
        }
        data = joined.data();
        size = joined.size();
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Unqueued();
    HANDLE pipe = stream.native_handle();
    DWORD sent = 0;
    if (::WriteFile(pipe, data, static_cast<DWORD>(size), &sent, &overlapped)) {
        return static_cast<std::ptrdiff_t>(sent);
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    // The pipe's buffer is full: what went through stays sent, the rest
    // waits for the asynchronous write.
    ::CancelIoEx(pipe, &overlapped);
    if (!::GetOverlappedResult(pipe, &overlapped, &sent, TRUE) &&
        ::GetLastError() != ERROR_OPERATION_ABORTED) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(sent);
}

bool PeerIsThisUser(ShareStream&) {
    // The pipe's access list lets no other user open it.
    return true;
}

void LimitSendBuffer(ShareStream&, std::size_t) {
    // The pipe's buffer was made small.
}

void CloseStream(ShareStream& stream) {
    asio::error_code ignored;
    // Closing, unlike disconnecting, leaves what was written for the client
    // to read.
    stream.close(ignored);
}

void RemoveEndpoint(const std::string&) {
    // A pipe goes with its last handle.
}

std::int64_t ThisProcessId() {
    return static_cast<std::int64_t>(::GetCurrentProcessId());
}

// --- The client's side ---------------------------------------------------------

struct CShareConnection::Native {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    HANDLE stopEvent = nullptr;
    DWORD timeoutMs = INFINITE;

    ~Native() {
        for (HANDLE handle : {readEvent, writeEvent, stopEvent}) {
            if (handle != nullptr) {
                ::CloseHandle(handle);
            }
        }
        if (pipe != INVALID_HANDLE_VALUE) {
            ::CloseHandle(pipe);
        }
    }

    // Waits for an overlapped call to end, or for the stop; false (the call
    // cancelled) on the stop or after `timeoutMs`.
    bool Finish(OVERLAPPED& overlapped, DWORD timeout, DWORD& bytes, std::string& problem) {
        const HANDLE events[2] = {overlapped.hEvent, stopEvent};
        const DWORD woken = ::WaitForMultipleObjects(2, events, FALSE, timeout);
        if (woken != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &overlapped);
        }
        if (::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE)) {
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_OPERATION_ABORTED) {
            problem = woken == WAIT_TIMEOUT ? "the owner did not answer in time" : "closed";
        } else if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
            problem = "the owner hung up";
            bytes = 0;
            return true;
        } else {
            problem = SystemMessage(error);
        }
        return false;
    }
};

CShareConnection::CShareConnection(std::unique_ptr<Native> native) : m_native(std::move(native)) {}

CShareConnection::~CShareConnection() = default;

std::unique_ptr<CShareConnection> CShareConnection::Connect(const std::string& endpoint,
                                                            Failure& failure) {
    failure = Failure::NoOwner;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kBusyTries; ++attempt) {
        // Identification only: the owner learns who connects but cannot act
        // as this user.
        pipe = ::CreateFileA(
            endpoint.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            failure = Failure::OtherUser;
            return nullptr;
        }
        // Every end busy for a moment: the owner makes the next one.
        if (error != ERROR_PIPE_BUSY || (!::WaitNamedPipeA(endpoint.c_str(), kBusyWaitMs) &&
                                         ::GetLastError() != ERROR_SEM_TIMEOUT)) {
            return nullptr;
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto native = std::make_unique<Native>();
    native->pipe = pipe;
    native->readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    native->writeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    native->stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (native->readEvent == nullptr || native->writeEvent == nullptr ||
        native->stopEvent == nullptr) {
        return nullptr;
    }
    failure = Failure::None;
    return std::unique_ptr<CShareConnection>(new CShareConnection(std::move(native)));
}

void CShareConnection::SetReadTimeout(int seconds) {
    m_native->timeoutMs = seconds > 0 ? static_cast<DWORD>(seconds) * 1000 : INFINITE;
}

std::ptrdiff_t CShareConnection::Read(char* buffer, std::size_t size, std::string& problem) {
    Native& native = *m_native;
    if (::WaitForSingleObject(native.stopEvent, 0) == WAIT_OBJECT_0) {
        problem = "closed";
        return -1;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = native.readEvent;
    ::ResetEvent(native.readEvent);
    DWORD received = 0;
    if (!::ReadFile(native.pipe, buffer, static_cast<DWORD>(size), &received, &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
            problem = "the owner hung up";
            return 0;
        }
        if (error != ERROR_IO_PENDING) {
            problem = SystemMessage(error);
            return -1;
        }
    }
    if (!native.Finish(overlapped, native.timeoutMs, received, problem)) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(received);
}

bool CShareConnection::SendAll(const std::string& bytes) {
    Native& native = *m_native;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = native.writeEvent;
        ::ResetEvent(native.writeEvent);
        DWORD written = 0;
        if (!::WriteFile(native.pipe, bytes.data() + sent, static_cast<DWORD>(bytes.size() - sent),
                         &written, &overlapped)) {
            if (::GetLastError() != ERROR_IO_PENDING) {
                return false;
            }
            std::string problem;
            // A request is a short line: an owner that does not take it in
            // ten seconds is not answering.
            if (!native.Finish(overlapped, 10000, written, problem) || written == 0) {
                return false;
            }
        }
        sent += written;
    }
    return true;
}

void CShareConnection::Interrupt() {
    ::SetEvent(m_native->stopEvent);
}

} // namespace zelmora
