#pragma once

// A window timer that can sleep through ticks known to do nothing.
//
// A window that shows no change should cost the machine nothing, yet its
// timers tick every 10 and 40 ms; each tick wakes the whole event loop.
// While the window's logic says a timer's ticks can change nothing, the
// host puts the timer to sleep; when that may change, the host wakes it,
// and the next tick comes at the moment the timer would have ticked
// anyway, one whole number of periods after the last tick delivered. So
// the operator sees every change at the same moment as with a timer that
// never slept.

#include <QTimer>
#include <chrono>
#include <functional>

namespace zelmora {

class CWindowTimer {
public:
    explicit CWindowTimer(std::function<void()> tick);

    CWindowTimer(const CWindowTimer&) = delete;
    CWindowTimer& operator=(const CWindowTimer&) = delete;

    // (Re)starts the ticks with this period, awake, the first one period
    // from now.
    void Start(int periodMs);
    void Stop();
    // The period while started, asleep or awake; -1 when stopped.
    int GetPeriod() const { return m_period; }
    // Started and not asleep: ticks are delivered.
    bool IsAwake() const { return m_period >= 0 && !m_asleep; }

    // No ticks until Wake; the period and its step are kept.
    void Sleep();
    // Ticks again, the first at the next moment in step with the period.
    void Wake();

private:
    void OnTimeout();

    std::function<void()> m_tick;
    QTimer m_timer;
    int m_period = -1;
    bool m_asleep = false;
    // The timer runs once to the next moment in step, then periodically.
    bool m_stepping = false;
    // The last tick delivered, or the start: the moments in step follow it
    // a whole number of periods later.
    std::chrono::steady_clock::time_point m_lastTick;
};

} // namespace zelmora
