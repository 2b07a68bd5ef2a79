// The periodic timer on Windows: the platform's multimedia timer itself
// (timeSetEvent, timeKillEvent), with the guarantees the meter link relies
// on added around it. The multimedia timer runs callbacks on its own
// thread, but timeKillEvent does not wait for a callback that is running
// and missed periods may be caught up in a burst; both are handled here.

#include "meter/PeriodicTimer.h"

#include <chrono>
#include <utility>

// mmsystem.h needs the types of windows.h first.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

namespace zelmora {

namespace {

using Clock = std::chrono::steady_clock;

// A killed timer's state is kept this long before it is freed: an event
// that the platform had already begun to deliver when the timer was killed
// still finds it, sees it killed and returns.
constexpr auto kRetireDelay = std::chrono::seconds(2);

// The longest period the platform's timer takes. A longer period is counted
// out in events of this one.
constexpr std::uint32_t kLongestPlatformPeriodMs = 1000000;
constexpr std::uint32_t kLongPeriodStepMs = 1000;

} // namespace

struct PeriodicTimer::Timer {
    PeriodicTimer* owner = nullptr;
    std::uint32_t id = 0; // the multimedia timer's id, once known
    Clock::duration period{};
    Callback callback = nullptr;
    std::uintptr_t user = 0;
    Clock::duration tolerance{}; // half a platform period
    Clock::time_point nextDue{}; // on the grid of set time + n periods
    Clock::time_point retired{};
    bool ready = false;      // the id is known; callbacks may run
    bool killed = false;     // no further callback starts
    bool running = false;    // a callback is running now
    DWORD runningThread = 0; // the thread it runs on
};

// Called by the platform for every event of a timer; `timer` is its state.
void FirePlatformTimer(std::uintptr_t timer) {
    auto& state = *reinterpret_cast<PeriodicTimer::Timer*>(timer);
    PeriodicTimer& self = *state.owner;
    {
        std::lock_guard lock(self.m_mutex);
        // An event well before the next deadline is either one of the
        // shorter platform periods of a long timer or a catch-up for periods
        // that a long callback missed: skipped, so the rate never bursts.
        // Callbacks of one timer never overlap.
        if (!state.ready || state.killed || state.running ||
            Clock::now() + state.tolerance < state.nextDue) {
            return;
        }
        state.running = true;
        state.runningThread = GetCurrentThreadId();
    }
    state.callback(state.id, 0, state.user, 0, 0);
    {
        std::lock_guard lock(self.m_mutex);
        // The next deadline on the grid still ahead.
        state.nextDue += state.period;
        const Clock::time_point now = Clock::now();
        if (state.nextDue <= now) {
            state.nextDue += ((now - state.nextDue) / state.period + 1) * state.period;
        }
        state.running = false;
        state.runningThread = 0;
    }
    self.m_changed.notify_all();
}

namespace {

void CALLBACK OnTimerEvent(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    FirePlatformTimer(static_cast<std::uintptr_t>(user));
}

} // namespace

PeriodicTimer::PeriodicTimer() = default;

PeriodicTimer::~PeriodicTimer() {
    std::vector<std::uint32_t> ids;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_timers) {
            ids.push_back(entry.first);
        }
    }
    for (const std::uint32_t id : ids) {
        KillEvent(id);
    }
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] {
        for (const auto& timer : m_killedFromInside) {
            if (timer->running) {
                return false;
            }
        }
        return true;
    });
    m_killedFromInside.clear();
}

void PeriodicTimer::ReapExitedLocked() {
    const Clock::time_point now = Clock::now();
    std::erase_if(m_killedFromInside, [now](const std::shared_ptr<Timer>& timer) {
        return !timer->running && now - timer->retired > kRetireDelay;
    });
}

std::uint32_t PeriodicTimer::SetEvent(std::uint32_t periodMs, std::uint32_t resolutionMs,
                                      Callback callback, std::uintptr_t user) {
    if (callback == nullptr || periodMs < kMinPeriodMs || periodMs > kMaxPeriodMs) {
        return 0;
    }
    auto timer = std::make_shared<Timer>();
    timer->owner = this;
    timer->period = std::chrono::milliseconds(periodMs);
    timer->callback = callback;
    timer->user = user;
    const std::uint32_t platformPeriodMs =
        periodMs <= kLongestPlatformPeriodMs ? periodMs : kLongPeriodStepMs;
    timer->tolerance = std::chrono::milliseconds(platformPeriodMs) / 2;
    {
        std::lock_guard lock(m_mutex);
        ReapExitedLocked();
        timer->nextDue = Clock::now() + timer->period;
    }
    const MMRESULT id = timeSetEvent(
        platformPeriodMs, resolutionMs, &OnTimerEvent, reinterpret_cast<DWORD_PTR>(timer.get()),
        TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (id == 0) {
        return 0;
    }
    std::lock_guard lock(m_mutex);
    timer->id = id;
    timer->ready = true;
    m_timers.emplace(id, std::move(timer));
    return id;
}

bool PeriodicTimer::KillEvent(std::uint32_t timerId) {
    std::shared_ptr<Timer> timer;
    bool fromInside = false;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_timers.find(timerId);
        if (found == m_timers.end()) {
            return false;
        }
        timer = std::move(found->second);
        m_timers.erase(found);
        timer->killed = true;
        fromInside = timer->running && timer->runningThread == GetCurrentThreadId();
    }
    timeKillEvent(timerId);
    std::unique_lock lock(m_mutex);
    if (!fromInside) {
        // Waiting from inside would wait for ourselves.
        m_changed.wait(lock, [&] { return !timer->running; });
    }
    timer->retired = Clock::now();
    m_killedFromInside.push_back(std::move(timer));
    return true;
}

} // namespace zelmora
