#include "app/WindowTimer.h"

#include <utility>

namespace zelmora {

CWindowTimer::CWindowTimer(std::function<void()> tick) : m_tick(std::move(tick)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { OnTimeout(); });
}

void CWindowTimer::Start(int periodMs) {
    m_period = periodMs < 0 ? 0 : periodMs;
    m_asleep = false;
    m_stepping = false;
    m_lastTick = std::chrono::steady_clock::now();
    m_timer.setSingleShot(false);
    m_timer.start(m_period);
}

void CWindowTimer::Stop() {
    m_timer.stop();
    m_period = -1;
    m_asleep = false;
    m_stepping = false;
}

void CWindowTimer::Sleep() {
    if (!IsAwake()) {
        return;
    }
    m_timer.stop();
    m_asleep = true;
    m_stepping = false;
}

void CWindowTimer::Wake() {
    if (m_period < 0 || !m_asleep) {
        return;
    }
    m_asleep = false;
    using std::chrono::milliseconds;
    const auto now = std::chrono::steady_clock::now();
    const auto period = milliseconds(m_period);
    auto next = m_lastTick + period;
    if (m_period > 0 && next <= now) {
        next += period * ((now - next) / period + 1);
    }
    const auto wait = std::chrono::ceil<milliseconds>(next - now);
    m_stepping = true;
    m_timer.setSingleShot(true);
    m_timer.start(static_cast<int>(wait.count() < 0 ? 0 : wait.count()));
}

void CWindowTimer::OnTimeout() {
    m_lastTick = std::chrono::steady_clock::now();
    if (m_stepping) {
        // In step again: periodic from here.
        m_stepping = false;
        m_timer.setSingleShot(false);
        m_timer.start(m_period);
    }
    m_tick();
}

} // namespace zelmora
