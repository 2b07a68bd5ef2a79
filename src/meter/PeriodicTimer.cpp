#include "meter/PeriodicTimer.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace zelmora {

namespace {
using Clock = std::chrono::steady_clock;
} // namespace

struct PeriodicTimer::Timer {
    std::uint32_t id = 0;
    Clock::duration period{};
    Callback callback = nullptr;
    std::uintptr_t user = 0;
    std::thread thread;
    std::thread::id threadId; // set before the thread can run a callback
    bool killed = false;      // no further callback starts
    bool exited = false;      // the thread has left its loop
};

PeriodicTimer::PeriodicTimer() = default;

PeriodicTimer::~PeriodicTimer() {
    std::vector<std::shared_ptr<Timer>> all;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [id, timer] : m_timers) {
            timer->killed = true;
            all.push_back(std::move(timer));
        }
        m_timers.clear();
        for (auto& timer : m_killedFromInside) {
            all.push_back(std::move(timer));
        }
        m_killedFromInside.clear();
    }
    m_changed.notify_all();
    for (const auto& timer : all) {
        if (timer->thread.joinable()) {
            timer->thread.join();
        }
    }
}

std::uint32_t PeriodicTimer::SetEvent(std::uint32_t periodMs, std::uint32_t /*resolutionMs*/,
                                      Callback callback, std::uintptr_t user) {
    if (callback == nullptr || periodMs < kMinPeriodMs || periodMs > kMaxPeriodMs) {
        return 0;
    }
    auto timer = std::make_shared<Timer>();
    timer->period = std::chrono::milliseconds(periodMs);
    timer->callback = callback;
    timer->user = user;

    std::lock_guard lock(m_mutex);
    ReapExitedLocked();
    while (m_nextId == 0 || m_timers.contains(m_nextId)) {
        ++m_nextId;
    }
    timer->id = m_nextId++;
    try {
        // The thread takes m_mutex before it looks at the timer, so the id
        // and the thread id below are in place before its first callback.
        timer->thread = std::thread([this, timer] { Run(timer); });
    } catch (const std::system_error&) {
        return 0;
    }
    timer->threadId = timer->thread.get_id();
    m_timers.emplace(timer->id, timer);
    return timer->id;
}

bool PeriodicTimer::KillEvent(std::uint32_t timerId) {
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_timers.find(timerId);
        if (found == m_timers.end()) {
            return false;
        }
        timer = std::move(found->second);
        m_timers.erase(found);
        timer->killed = true;
        if (timer->threadId == std::this_thread::get_id()) {
            // From inside its own callback: the thread ends when the callback
            // returns and is joined later by someone else.
            m_killedFromInside.push_back(std::move(timer));
            return true;
        }
    }
    m_changed.notify_all();
    timer->thread.join();
    return true;
}

void PeriodicTimer::Run(const std::shared_ptr<Timer>& timer) {
    std::unique_lock lock(m_mutex);
    Clock::time_point deadline = Clock::now() + timer->period;
    while (!timer->killed) {
        if (m_changed.wait_until(lock, deadline, [&] { return timer->killed; })) {
            break;
        }
        if (Clock::now() < deadline) {
            continue;
        }
        lock.unlock();
        timer->callback(timer->id, 0, timer->user, 0, 0);
        lock.lock();
        // The next deadline on the grid still ahead: a callback that overran
        // skips the ticks it missed rather than firing them in a burst.
        deadline += timer->period;
        const Clock::time_point now = Clock::now();
        if (deadline <= now) {
            deadline += ((now - deadline) / timer->period + 1) * timer->period;
        }
    }
    timer->exited = true;
}

void PeriodicTimer::ReapExitedLocked() {
    std::erase_if(m_killedFromInside, [](const std::shared_ptr<Timer>& timer) {
        if (!timer->exited) {
            return false;
        }
        timer->thread.join();
        return true;
    });
}

} // namespace zelmora
