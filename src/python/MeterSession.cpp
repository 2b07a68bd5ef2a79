#include "python/MeterSession.h"

#include "frontend/MeterDriver.h"
#include "frontend/RunSettings.h"
#include "meter/MeterPoller.h"
#include "record/RecordText.h"
#include "share/ShareHub.h"
#include "usb/driver/MatchList.h"
#include "usb/driver/UsbDriver.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace zelmora {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A wait is cut into slices this long, so that the interruption check (a
// Ctrl-C) is asked often enough for a person; a sample ends a slice at once.
constexpr milliseconds kWaitSlice(50);

// How long an Open waits for a Close of the same meter on another thread
// to end (it stops the meter, which takes the meter's settling time).
constexpr milliseconds kCloseWait(30000);
constexpr milliseconds kCloseWaitStep(5);

// The meters this process has open, by id: one link per meter. An entry
// without a session is a meter being opened.
struct OpenMeter {
    const CMeterSession* session = nullptr;
    std::weak_ptr<CMeterSession> weak;
    bool closing = false; // its Close is under way
};
// Never destroyed: a daemon thread of a script may still close a meter
// while the process's statics are torn down.
std::mutex& g_openMutex = *new std::mutex;
std::map<std::string, OpenMeter>& g_open = *new std::map<std::string, OpenMeter>;

// How many fork()s made this process from the one that started: a
// session opened before the last one is a forked-away copy. (Cheaper than
// asking for the process id at every call, a system call.)
std::atomic<std::uint64_t> g_forks = 0;

// A fork() while another thread holds the list's lock would leave it held
// for ever in the child, whose exit closes the meters through the list.
void RegisterForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_atfork([] { g_openMutex.lock(); }, [] { g_openMutex.unlock(); },
                       [] {
                           g_forks.fetch_add(1);
                           g_openMutex.unlock();
                       });
    });
}

const RunSetting& Setting(std::string_view name) {
    return *FindRunSetting(name);
}

std::string NumberText(double value) {
    std::string text;
    AppendNumber(text, value);
    return text;
}

// A time in seconds within the limits of the shared setting, in whole
// milliseconds. The limits hold for the time given, not for its rounding:
// 0.0999 s is below 100 ms, although it rounds to it. The slack only
// absorbs the binary representation of a limit written in seconds.
std::int64_t TimeSetting(std::string_view name, double seconds) {
    const RunSetting& setting = Setting(name);
    const double exact = seconds * 1000;
    const double slack = 1e-9;
    const double ms = std::round(exact);
    if (!std::isfinite(exact) || exact < static_cast<double>(setting.min) - slack ||
        exact > static_cast<double>(setting.max) + slack) {
        throw std::invalid_argument(std::string(name) + " takes a time in seconds from " +
                                    DescribeLimits(setting) + ", not " + NumberText(seconds));
    }
    return static_cast<std::int64_t>(ms);
}

// A whole number checked and read as every front end reads it.
std::int64_t IntegerSetting(std::string_view name, std::string_view decimal) {
    RunSettings settings;
    const std::string error = ApplyRunSetting(Setting(name), decimal, settings);
    if (!error.empty()) {
        throw std::invalid_argument(std::string(name) + " " + error);
    }
    // In the limits, so it fits the type the setting stores.
    return std::stoll(std::string(decimal));
}

} // namespace

MeterAccess MeterAccess::Default() {
    return {&CreateMeterDriver, {}, true};
}

AppOptions ScriptMeterOptions(long long simulate, std::optional<bool> real,
                              const std::vector<std::string>& usbIds) {
    if (simulate < 0 || simulate > CDeviceLink::kMaxMeters) {
        throw std::invalid_argument(Format("simulate takes a count from 0 to %d, not %lld",
                                           CDeviceLink::kMaxMeters, simulate));
    }
    AppOptions options;
    options.simulatedMeters = static_cast<int>(simulate);
    for (const std::string& id : usbIds) {
        if (!MatchList::ParseId(id)) {
            throw std::invalid_argument("usb_ids take vendor:product ids such as 1234:abcd, not '" +
                                        id + "'");
        }
    }
    if (!usbIds.empty() && real == false) {
        throw std::invalid_argument("usb_ids name real meters, which real=False leaves out");
    }
    options.usbIds = usbIds;
    options.askedForReal = real == true || !usbIds.empty();
    options.SettleMeters();
    if (real == false) {
        options.realMeters = false;
    }
    return options;
}

int IntervalMsFromSeconds(double seconds) {
    return static_cast<int>(TimeSetting("interval", seconds));
}

std::chrono::milliseconds DurationFromSeconds(double seconds) {
    return milliseconds(TimeSetting("duration", seconds));
}

int CheckedAveraging(long long n) {
    return CheckedAveraging(Format("%lld", n));
}

std::int64_t CheckedCount(long long n) {
    return CheckedCount(Format("%lld", n));
}

int CheckedAveraging(std::string_view decimal) {
    return static_cast<int>(IntegerSetting("averaging", decimal));
}

std::int64_t CheckedCount(std::string_view decimal) {
    return IntegerSetting("count", decimal);
}

std::vector<MeterEntry> ListMeters(const AppOptions& options, const MeterAccess& access,
                                   std::vector<std::string>& problems) {
    const std::unique_ptr<UsbDriver> driver = access.makeDriver(options, problems);
    std::vector<MeterEntry> entries;
    {
        // Shared, a meter another process polls is listed from its owner
        // and sent no request that would cut into the owner's.
        std::shared_ptr<MeterSources> sources;
        if (access.share) {
            CShareHub::Settings settings = CShareHub::FromEnvironment("python");
            settings.pollSpeedUp = access.tuning.pollSpeedUp;
            sources = std::make_shared<CShareHub>(*driver, std::move(settings));
        }
        CDeviceLink scanner(*driver, access.tuning, sources);
        scanner.Rescan();
        for (const CDeviceLink::MeterListing& meter : scanner.GetMeterListing()) {
            const MeterPlace place = PlaceOfMeter(meter.path);
            entries.push_back(
                {meter.id, meter.probeFamily, meter.probeModel, place.backend, place.port});
        }
    }
    return entries;
}

// --- The session ---------------------------------------------------------------

CMeterSession::CMeterSession(std::string id, std::unique_ptr<UsbDriver> driver,
                             CDeviceLink::TestTuning tuning, bool share)
    : m_id(std::move(id)), m_pid(getpid()), m_nForks(g_forks.load()), m_driver(std::move(driver)),
      m_nCapacity(std::max<std::size_t>(tuning.queueCapacity, 1)) {
    if (share) {
        CShareHub::Settings settings = CShareHub::FromEnvironment("python");
        settings.pollSpeedUp = tuning.pollSpeedUp;
        m_sources = std::make_shared<CShareHub>(*m_driver, std::move(settings));
    } else {
        m_sources = std::make_shared<LocalMeterSources>(*m_driver, tuning.pollSpeedUp);
    }
    m_link = std::make_unique<CDeviceLink>(*m_driver, tuning, m_sources);
    m_link->SetSampleNotifier([this] { Wake(); });
}

std::shared_ptr<CMeterSession> CMeterSession::Open(const std::string& id, const AppOptions& options,
                                                   Settings settings, const MeterAccess& access) {
    RegisterForkHandlers();
    // The id is taken before the meter is looked for, so that two threads
    // cannot both start it. A meter that another thread is closing is free
    // as soon as its Close returns: a script that saw its reader end with
    // the close may open it again at once. (A poll, not a condition: a
    // condition waited on at a fork() is unusable in the child.)
    {
        std::unique_lock lock(g_openMutex);
        const auto giveUp = steady_clock::now() + kCloseWait;
        auto found = g_open.find(id);
        while (found != g_open.end() && found->second.closing && steady_clock::now() < giveUp) {
            lock.unlock();
            std::this_thread::sleep_for(kCloseWaitStep);
            lock.lock();
            found = g_open.find(id);
        }
        if (found != g_open.end()) {
            throw MeterStartError(
                "meter " + id + (found->second.closing ? " is still closing" : " is open already"));
        }
        g_open.emplace(id, OpenMeter{});
    }
    auto release = [&id] {
        std::lock_guard lock(g_openMutex);
        if (auto found = g_open.find(id);
            found != g_open.end() && found->second.session == nullptr) {
            g_open.erase(found);
        }
    };
    try {
        std::vector<std::string> problems;
        std::unique_ptr<UsbDriver> driver = access.makeDriver(options, problems);
        std::shared_ptr<CMeterSession> session(
            new CMeterSession(id, std::move(driver), access.tuning, access.share));
        CDeviceLink& link = *session->m_link;
        link.Rescan();
        const std::vector<std::string> present = link.GetMeterList();
        if (std::find(present.begin(), present.end(), id) == present.end()) {
            std::string message = "no meter " + id + " is present";
            for (const std::string& problem : problems) {
                message += "; " + problem;
            }
            throw MeterNotFoundError(message);
        }
        link.SetPollPeriod(settings.intervalMs);
        link.SetAverageCount(settings.averaging);
        link.Start(id);
        if (!link.IsRunning()) {
            const std::string problem = link.GetStartProblem();
            throw MeterStartError("meter " + id + " does not start" +
                                  (problem.empty() ? "" : ": " + problem));
        }
        session->m_settings = settings;
        session->m_family = link.GetProbeFamily();
        session->m_model = link.GetProbeModel();
        std::lock_guard lock(g_openMutex);
        g_open[id] = {session.get(), session};
        return session;
    } catch (...) {
        release();
        throw;
    }
}

CMeterSession::~CMeterSession() {
    if (InForkedChild()) {
        // The child has none of the link's threads: destroying the link
        // would wait for them for ever. Its memory goes with the child.
        (void)m_link.release();
        // The shared meters' event loop is one of those threads too.
        (void)new std::shared_ptr<MeterSources>(std::move(m_sources));
        (void)m_driver.release();
        return;
    }
    Close();
}

bool CMeterSession::InForkedChild() const {
    return g_forks.load(std::memory_order_relaxed) != m_nForks;
}

void CMeterSession::CheckNotForked() const {
    if (InForkedChild()) {
        throw MeterForkedError(Format("meter %s belongs to the process that opened it (%ld): "
                                      "a child made by fork() cannot use it",
                                      m_id.c_str(), static_cast<long>(m_pid)));
    }
}

void CMeterSession::CheckOpen() const {
    CheckNotForked();
    std::lock_guard lock(m_mutex);
    CheckOpenLocked();
}

void CMeterSession::Wake() {
    {
        std::lock_guard lock(m_wakeMutex);
        ++m_nWakes;
    }
    m_woken.notify_all();
}

std::uint64_t CMeterSession::WakeCount() const {
    std::lock_guard lock(m_wakeMutex);
    return m_nWakes;
}

void CMeterSession::SleepUntilWoken(std::uint64_t seen, steady_clock::time_point until) const {
    std::unique_lock lock(m_wakeMutex);
    m_woken.wait_until(lock, until, [&] { return m_nWakes != seen; });
}

void CMeterSession::CloseAll() {
    std::vector<std::weak_ptr<CMeterSession>> open;
    {
        std::lock_guard lock(g_openMutex);
        for (const auto& [id, meter] : g_open) {
            open.push_back(meter.weak);
        }
    }
    for (const std::weak_ptr<CMeterSession>& weak : open) {
        if (const std::shared_ptr<CMeterSession> session = weak.lock()) {
            session->Close();
        }
    }
}

void CMeterSession::Close() {
    if (InForkedChild()) {
        return;
    }
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed) {
            return;
        }
    }
    // Marked before a reader can see the meter closed, so that a reader
    // that opens it again then waits for this close instead of failing.
    {
        std::lock_guard lock(g_openMutex);
        if (auto found = g_open.find(m_id);
            found != g_open.end() && found->second.session == this) {
            found->second.closing = true;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_bClosed = true;
        m_buffer.clear();
        m_newest.reset();
    }
    // Readers waiting on other threads find it closed at once, without
    // waiting for the meter to stop (a lost meter is not stopped at all).
    Wake();
    m_link->StopMeter();
    std::lock_guard lock(g_openMutex);
    if (auto found = g_open.find(m_id); found != g_open.end() && found->second.session == this) {
        g_open.erase(found);
    }
}

bool CMeterSession::IsClosed() const {
    if (InForkedChild()) {
        return true;
    }
    std::lock_guard lock(m_mutex);
    return m_bClosed;
}

void CMeterSession::CheckOpenLocked() const {
    if (m_bClosed) {
        throw MeterClosedError();
    }
}

void CMeterSession::TakeWaitingLocked() {
    std::vector<MeterSample> taken = m_link->TakeSamples(&m_nLinkLost);
    if (taken.empty()) {
        return;
    }
    for (const MeterSample& sample : taken) {
        if (sample.status != SampleStatus::Ok) {
            continue; // no power of its own (no_conversion), or not counted (over range)
        }
        const double x = sample.power;
        ++m_nAveraged;
        const double delta = x - m_dAveragedMean;
        m_dAveragedMean += delta / static_cast<double>(m_nAveraged);
        m_dAveragedSquares += delta * (x - m_dAveragedMean);
        m_dAveragedMin = m_nAveraged == 1 ? x : std::min(m_dAveragedMin, x);
        m_dAveragedMax = m_nAveraged == 1 ? x : std::max(m_dAveragedMax, x);
    }
    m_nTaken += taken.size();
    m_newest = taken.back();
    for (MeterSample& sample : taken) {
        m_buffer.push_back(std::move(sample));
    }
    // Nobody may be streaming (a script that only reads): the samples kept
    // for the next reader are bounded as the link's queue is, the oldest
    // dropped and counted.
    while (m_buffer.size() > m_nCapacity) {
        m_buffer.pop_front();
        ++m_nDropped;
    }
}

template <typename Ready>
CMeterSession::Next CMeterSession::Wait(Deadline deadline, const Interruption& interrupted,
                                        Ready ready) {
    CheckNotForked();
    for (;;) {
        // The wake count is read before the take: a sample queued after the
        // take changes it, so the sleep below cannot miss it.
        const std::uint64_t seen = WakeCount();
        // The clock is read before the take: a sample taken before the
        // deadline was queued before the clock passed it (the tick stamps
        // and queues a sample under one lock), so none is left behind.
        const auto now = steady_clock::now();
        {
            std::lock_guard lock(m_mutex);
            if (m_bClosed) {
                return {Outcome::Closed, {}};
            }
            // Whether it ran is asked before the take, so that every sample
            // it queued before it stopped is handed out before the loss.
            const bool running = m_link->IsRunning();
            TakeWaitingLocked();
            if (std::optional<Next> next = ready()) {
                return std::move(*next);
            }
            if (!running) {
                return {Outcome::Lost, {}};
            }
        }
        if (deadline && now >= *deadline) {
            return {Outcome::TimedOut, {}};
        }
        if (interrupted && interrupted()) {
            return {Outcome::Interrupted, {}};
        }
        auto until = now + kWaitSlice;
        if (deadline) {
            until = std::min(until, *deadline);
        }
        SleepUntilWoken(seen, until);
    }
}

CMeterSession::Next CMeterSession::TakeNext(Deadline deadline, const Interruption& interrupted) {
    return Wait(deadline, interrupted, [&]() -> std::optional<Next> {
        if (m_buffer.empty()) {
            return std::nullopt;
        }
        if (deadline && m_buffer.front().monotonicTime > *deadline) {
            return Next{Outcome::TimedOut, {}};
        }
        Next next{Outcome::Sample, std::move(m_buffer.front())};
        m_buffer.pop_front();
        return next;
    });
}

CMeterSession::Next CMeterSession::ReadFresh(Deadline deadline, const Interruption& interrupted) {
    // What was queued before the call is taken first: a sample taken from
    // the link after that was queued after the call.
    std::uint64_t before = 0;
    {
        CheckNotForked();
        std::lock_guard lock(m_mutex);
        if (!m_bClosed) {
            TakeWaitingLocked();
        }
        before = m_nTaken;
    }
    return Wait(deadline, interrupted, [&]() -> std::optional<Next> {
        if (m_nTaken == before) {
            return std::nullopt;
        }
        return Next{Outcome::Sample, *m_newest};
    });
}

void CMeterSession::PutBack(std::vector<MeterSample> samples) {
    CheckNotForked();
    std::lock_guard lock(m_mutex);
    if (!m_bClosed) {
        m_buffer.insert(m_buffer.begin(), std::make_move_iterator(samples.begin()),
                        std::make_move_iterator(samples.end()));
    }
}

CMeterSession::Statistics CMeterSession::GetStatistics() {
    CheckNotForked();
    std::lock_guard lock(m_mutex);
    CheckOpenLocked();
    // The samples waiting in the link count for both figures.
    TakeWaitingLocked();
    Statistics statistics{m_link->GetStatistics(), {}};
    AveragedStatistics& averaged = statistics.averaged;
    averaged.count = m_nAveraged;
    if (m_nAveraged == 0) {
        const double none = std::numeric_limits<double>::quiet_NaN();
        averaged.mean = averaged.stdDev = averaged.min = averaged.max = none;
        averaged.stdDevPercent = 0;
        return statistics;
    }
    averaged.mean = m_dAveragedMean;
    averaged.stdDev =
        std::sqrt(std::max(0.0, m_dAveragedSquares / static_cast<double>(m_nAveraged)));
    averaged.stdDevPercent = m_dAveragedMean == 0 ? 0 : averaged.stdDev / m_dAveragedMean * 100;
    averaged.min = m_dAveragedMin;
    averaged.max = m_dAveragedMax;
    return statistics;
}

std::uint64_t CMeterSession::GetLostSampleCount() const {
    CheckNotForked();
    std::lock_guard lock(m_mutex);
    return m_nLinkLost + m_nDropped;
}

std::uint64_t CMeterSession::TakeUntoldLostSampleCount() {
    CheckNotForked();
    std::lock_guard lock(m_mutex);
    const std::uint64_t lost = m_nLinkLost + m_nDropped;
    return lost - std::exchange(m_nLostTold, lost);
}

void CMeterSession::Reset() {
    CheckNotForked();
    std::lock_guard control(m_controlMutex);
    std::lock_guard lock(m_mutex);
    CheckOpenLocked();
    // Under the session's lock, so that no reader is handed a sample of the
    // old collection after the reset.
    m_link->ResetStatistics();
    m_buffer.clear();
    m_nAveraged = 0;
    m_dAveragedMean = m_dAveragedSquares = 0;
}

void CMeterSession::SetAveraging(int n) {
    CheckNotForked();
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        CheckOpenLocked();
    }
    m_link->SetAverageCount(n);
    m_settings.averaging = n;
}

void CMeterSession::SetIntervalMs(int ms) {
    CheckNotForked();
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        CheckOpenLocked();
    }
    // The link restarts its poll with every new period; the same one again
    // would only put off the next sample.
    if (ms != m_settings.intervalMs) {
        // A shared meter's owner keeps its period while others watch it,
        // and an attached meter has its owner's: the interval stays as it
        // was, and the caller is told.
        if (!m_link->SetPollPeriod(ms)) {
            throw MeterStartError(m_link->GetStartProblem());
        }
        m_settings.intervalMs = ms;
    }
}

int CMeterSession::IntervalMs() const {
    CheckNotForked();
    std::lock_guard control(m_controlMutex);
    return m_settings.intervalMs;
}

int CMeterSession::Averaging() const {
    CheckNotForked();
    std::lock_guard control(m_controlMutex);
    return m_settings.averaging;
}

} // namespace zelmora
