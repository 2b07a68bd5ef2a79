#pragma once

// A periodic callback on a thread of its own, the stand-in for the
// platform's multimedia timer (timeSetEvent with TIME_PERIODIC and
// timeKillEvent), with the same shape so that a Windows build can map the
// two calls straight onto those.
//
// - Deadlines are absolute: the n-th callback is due at start + n periods,
//   however long the callbacks take, so the rate does not drift.
// - Callbacks of one timer never overlap. A callback that overruns one or
//   more deadlines makes the timer skip them: the next callback starts at
//   the next deadline still ahead, never in a burst to catch up.
// - KillEvent waits for a callback of that timer that is running, so that
//   once it returns no callback of the timer runs or starts. Called from
//   inside that timer's own callback it returns at once instead (waiting
//   there would wait for itself); no further callback starts.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zelmora {

class PeriodicTimer {
public:
    // The multimedia timer's callback: timer id, message (always 0), the
    // user data given to SetEvent, two reserved words (0).
    using Callback = void (*)(std::uint32_t timerId, std::uint32_t message, std::uintptr_t user,
                              std::uintptr_t reserved1, std::uintptr_t reserved2);

    // The periods the platform's timer accepts.
    static constexpr std::uint32_t kMinPeriodMs = 1;
    static constexpr std::uint32_t kMaxPeriodMs = 1000000;

    PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;
    // Kills every timer still running and waits for their callbacks. Must
    // not run inside one of this object's callbacks.
    ~PeriodicTimer();

    // Starts calling `callback` every periodMs milliseconds, the first time
    // one period from now. The resolution is accepted for the platform's
    // sake and not otherwise used. Returns the timer's id, never 0; 0 when
    // the timer could not be created (no callback, a period out of range,
    // no thread).
    std::uint32_t SetEvent(std::uint32_t periodMs, std::uint32_t resolutionMs, Callback callback,
                           std::uintptr_t user);

    // Stops a timer (see the header comment for when it waits). False when
    // no running timer has that id.
    bool KillEvent(std::uint32_t timerId);

private:
    struct Timer;

    void Run(const std::shared_ptr<Timer>& timer);
    // With m_mutex held: joins the threads of killed timers that have left
    // their loop, which therefore never block.
    void ReapExitedLocked();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::uint32_t, std::shared_ptr<Timer>> m_timers; // running timers by id
    std::vector<std::shared_ptr<Timer>> m_killedFromInside;   // threads still to be joined
    std::uint32_t m_nextId = 1;
};

} // namespace zelmora
