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
// Ctrl-C, Ctrl-Break and the console's closing, from the console's control
// handler (which runs on a thread of its own). One per process.
class CTerminationSignals final : public StopSignal {
public:
    CTerminationSignals();
    bool WaitFor(std::chrono::milliseconds timeout) override;
};
#endif

} // namespace zelmora
