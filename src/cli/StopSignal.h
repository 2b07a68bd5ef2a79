#pragma once

// What ends an open-ended run from outside: SIGINT (Ctrl-C) or SIGTERM for
// the program, a call for a program that embeds the run (and the tests).

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zelmora {

class StopSignal {
public:
    virtual ~StopSignal() = default;
    // Waits up to `timeout` for a stop; true once one has come.
    virtual bool WaitFor(std::chrono::milliseconds timeout) = 0;
};

// A stop asked for by a call, from any thread.
class CStopRequest final : public StopSignal {
public:
    void Request();
    bool WaitFor(std::chrono::milliseconds timeout) override;

private:
    std::mutex m_mutex;
    std::condition_variable m_requested;
    bool m_bRequested = false;
};

#if !defined(_WIN32)
// SIGINT and SIGTERM, taken synchronously: they are blocked in every thread
// from construction on (make it before any thread starts, so that every
// thread inherits the block) and waited for with sigtimedwait, so no signal
// handler runs and no other thread is ever interrupted by them.
class CTerminationSignals final : public StopSignal {
public:
    CTerminationSignals();
    bool WaitFor(std::chrono::milliseconds timeout) override;

private:
    bool m_bReceived = false;
};
#else
// Ctrl-C, Ctrl-Break, the console's closing, a log-off and a shutdown, from
// the console's control handler (which runs on a thread of its own). One
// per process, for the whole run: Windows ends the process once the handler
// returns from the last three, so there the handler waits (a few seconds at
// most) until this is destroyed, which is when the run has ended in order.
class CTerminationSignals final : public StopSignal {
public:
    CTerminationSignals();
    ~CTerminationSignals() override;
    CTerminationSignals(const CTerminationSignals&) = delete;
    CTerminationSignals& operator=(const CTerminationSignals&) = delete;
    bool WaitFor(std::chrono::milliseconds timeout) override;

    // What the handler does with a console event (CTRL_..._EVENT); false
    // for one it leaves to the next handler.
    static bool OnConsoleEvent(unsigned long event);
};
#endif

} // namespace zelmora
