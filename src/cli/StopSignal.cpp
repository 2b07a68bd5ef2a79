#include "cli/StopSignal.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zelmora {

void CStopRequest::Request() {
    {
        std::lock_guard lock(m_mutex);
        m_bRequested = true;
    }
    m_requested.notify_all();
}

bool CStopRequest::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_requested.wait_for(lock, timeout, [this] { return m_bRequested; });
}

#if !defined(_WIN32)

namespace {

sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

CTerminationSignals::CTerminationSignals() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool CTerminationSignals::WaitFor(std::chrono::milliseconds timeout) {
    if (m_bReceived) {
        return true;
    }
    const sigset_t set = TerminationSet();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(seconds.count());
    wait.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds).count());
    // A signal of another kind ends the wait early (EINTR); the caller
    // waits again.
    m_bReceived = sigtimedwait(&set, nullptr, &wait) > 0;
    return m_bReceived;
}

#else

namespace {

// Windows ends the process as soon as the handler returns from a console's
// closing, a log-off or a shutdown, and at the latest some 5 s after the
// event: the handler holds it for the run to end in order (the meters
// stopped, the records written) within that time.
constexpr DWORD kEndInOrderMs = 4500;

struct ConsoleState {
    CStopRequest stop;
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
};

ConsoleState& Console() {
    static ConsoleState state;
    return state;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    return CTerminationSignals::OnConsoleEvent(event) ? TRUE : FALSE;
}

} // namespace

CTerminationSignals::CTerminationSignals() {
    Console();
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

CTerminationSignals::~CTerminationSignals() {
    ConsoleState& console = Console();
    {
        std::lock_guard lock(console.mutex);
        console.ended = true;
    }
    console.changed.notify_all();
}

bool CTerminationSignals::OnConsoleEvent(unsigned long event) {
    ConsoleState& console = Console();
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        console.stop.Request();
        return true;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        console.stop.Request();
        std::unique_lock lock(console.mutex);
        console.changed.wait_for(lock, std::chrono::milliseconds(kEndInOrderMs),
                                 [&console] { return console.ended; });
        return true;
    }
    default:
        return false;
    }
}

bool CTerminationSignals::WaitFor(std::chrono::milliseconds timeout) {
    return Console().stop.WaitFor(timeout);
}

#endif

} // namespace zelmora
