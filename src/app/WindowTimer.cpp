#include "app/WindowTimer.h"

#include <utility>

namespace zelmora {

CWindowTimer::CWindowTimer(std::function<void()> tick) : m_tick(std::move(tick)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { OnTimeout(); });
}

void CWindowTimer::Start(int periodMs) {
    m_schedule.Start(periodMs, CTimerSchedule::Clock::now());
    m_timer.setSingleShot(false);
    m_timer.start(m_schedule.GetPeriod());
}

void CWindowTimer::Stop() {
    m_timer.stop();
    m_schedule.Stop();
}

void CWindowTimer::Sleep() {
    if (m_schedule.Sleep()) {
        m_timer.stop();
    }
}

void CWindowTimer::Wake() {
    if (const std::optional<int> wait = m_schedule.Wake(CTimerSchedule::Clock::now())) {
        m_timer.setSingleShot(true);
        m_timer.start(*wait);
    }
}

void CWindowTimer::OnTimeout() {
    if (m_schedule.OnTick(CTimerSchedule::Clock::now())) {
        m_timer.setSingleShot(false);
        m_timer.start(m_schedule.GetPeriod());
    }
    m_tick();
}

} // namespace zelmora
