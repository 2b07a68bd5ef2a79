#pragma once

// A Qt window timer that can sleep through ticks known to do nothing; its
// schedule (why and when it ticks again) is CTimerSchedule's.

#include "window/TimerSchedule.h"

#include <QTimer>
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
    int GetPeriod() const { return m_schedule.GetPeriod(); }
    // Started and not asleep: ticks are delivered.
    bool IsAwake() const { return m_schedule.IsAwake(); }

    // No ticks until Wake; the period and its step are kept.
    void Sleep();
    // Ticks again, the first at the next moment in step with the period.
    void Wake();

private:
    void OnTimeout();

    std::function<void()> m_tick;
    QTimer m_timer;
    CTimerSchedule m_schedule;
};

} // namespace zelmora
