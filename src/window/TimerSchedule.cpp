#include "window/TimerSchedule.h"

namespace zelmora {

void CTimerSchedule::Start(int periodMs, Clock::time_point now) {
    m_period = periodMs < 0 ? 0 : periodMs;
    m_asleep = false;
    m_stepping = false;
    m_lastTick = now;
}

void CTimerSchedule::Stop() {
    m_period = -1;
    m_asleep = false;
    m_stepping = false;
}

bool CTimerSchedule::Sleep() {
    if (!IsAwake()) {
        return false;
    }
    m_asleep = true;
    m_stepping = false;
    return true;
}

std::optional<int> CTimerSchedule::Wake(Clock::time_point now) {
    if (m_period < 0 || !m_asleep) {
        return std::nullopt;
    }
    m_asleep = false;
    m_stepping = true;
    using std::chrono::milliseconds;
    const auto period = milliseconds(m_period);
    auto next = m_lastTick + period;
    if (m_period > 0 && next <= now) {
        next += period * ((now - next) / period + 1);
    }
    const auto wait = std::chrono::ceil<milliseconds>(next - now);
    return static_cast<int>(wait.count() < 0 ? 0 : wait.count());
}

bool CTimerSchedule::OnTick(Clock::time_point now) {
    m_lastTick = now;
    if (!m_stepping) {
        return false;
    }
    // In step again: periodic from here.
    m_stepping = false;
    return true;
}

} // namespace zelmora
