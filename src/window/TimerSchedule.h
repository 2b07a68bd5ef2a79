#pragma once

// The schedule of a window timer that can sleep through ticks known to do
// nothing, for any host's timers.
//
// A window that shows no change should cost the machine nothing, yet its
// timers tick every 10 and 40 ms; each tick wakes the whole event loop.
// While the window's logic says a timer's ticks can change nothing, the
// host puts the timer to sleep; when that may change, the host wakes it,
// and the next tick comes at the moment the timer would have ticked
// anyway, one whole number of periods after the last tick delivered. So
// the operator sees every change at the same moment as with a timer that
// never slept.
//
// The host owns the real timer and arms or disarms it as the schedule's
// answers say: periodic after Start and after the first tick of a wake, a
// single shot for a wake, none while asleep or stopped.

#include <chrono>
#include <optional>

namespace zelmora {

class CTimerSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // (Re)started, awake: the host arms a periodic timer of GetPeriod(),
    // the first tick one period from `now`.
    void Start(int periodMs, Clock::time_point now);
    void Stop();
    // The period while started, asleep or awake; -1 when stopped.
    int GetPeriod() const { return m_period; }
    // Started and not asleep: ticks are delivered.
    bool IsAwake() const { return m_period >= 0 && !m_asleep; }

    // No ticks until Wake; the period and its step are kept. True when the
    // host must disarm its timer (it was awake).
    bool Sleep();
    // Ticks again. When the timer was asleep: the wait in whole
    // milliseconds to the next moment in step, for which the host arms a
    // single shot; nothing otherwise.
    std::optional<int> Wake(Clock::time_point now);
    // A tick delivered at `now`. True when it was the single shot of a
    // wake, after which the host arms the periodic timer again.
    bool OnTick(Clock::time_point now);

private:
    int m_period = -1;
    bool m_asleep = false;
    // Armed once to the next moment in step, then periodically.
    bool m_stepping = false;
    // The last tick delivered, or the start: the moments in step follow it
    // a whole number of periods later.
    Clock::time_point m_lastTick;
};

} // namespace zelmora
