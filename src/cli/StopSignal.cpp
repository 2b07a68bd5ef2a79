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

CStopRequest& ConsoleStop() {
    static CStopRequest stop;
    return stop;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        ConsoleStop().Request();
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

CTerminationSignals::CTerminationSignals() {
    ConsoleStop();
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

bool CTerminationSignals::WaitFor(std::chrono::milliseconds timeout) {
    return ConsoleStop().WaitFor(timeout);
}

#endif

} // namespace zelmora
