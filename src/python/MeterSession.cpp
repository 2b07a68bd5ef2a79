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
#include <cmath>
#include <map>

namespace zelmora {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A wait is cut into slices this long, so that the interruption check (a
// Ctrl-C) is asked often enough for a person; a sample ends a slice at once.
constexpr milliseconds kWaitSlice(50);

// The meters this process has open, by id: one link per meter. An entry
// without a session is a meter being opened.
struct OpenMeter {
    const CMeterSession* session = nullptr;
    std::weak_ptr<CMeterSession> weak;
};
std::mutex g_openMutex;
std::map<std::string, OpenMeter> g_open;

const RunSetting& Setting(std::string_view name) {
    return *FindRunSetting(name);
}

std::string NumberText(double value) {
    std::string text;
    AppendNumber(text, value);
    return text;
}

// A time in seconds within the limits of the shared setting, in whole
// milliseconds.
std::int64_t TimeSetting(std::string_view name, double seconds) {
    const RunSetting& setting = Setting(name);
    const double ms = std::round(seconds * 1000);
    if (!std::isfinite(ms) || ms < static_cast<double>(setting.min) ||
        ms > static_cast<double>(setting.max)) {
        throw std::invalid_argument(std::string(name) + " takes a time in seconds from " +
                                    DescribeLimits(setting) + ", not " + NumberText(seconds));
    }
    return static_cast<std::int64_t>(ms);
}

// A whole number checked and read as every front end reads it.
std::int64_t IntegerSetting(std::string_view name, long long value) {
    RunSettings settings;
    const std::string error = ApplyRunSetting(Setting(name), Format("%lld", value), settings);
    if (!error.empty()) {
        throw std::invalid_argument(std::string(name) + " " + error);
    }
    return value;
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
    return static_cast<int>(IntegerSetting("averaging", n));
}

std::int64_t CheckedCount(long long n) {
    return IntegerSetting("count", n);
}

std::vector<MeterEntry> ListMeters(const AppOptions& options, const MeterAccess& access,
                                   std::vector<std::string>& problems) {
    const std::unique_ptr<UsbDriver> driver = access.makeDriver(options, problems);
    std::vector<MeterEntry> entries;
    {
        CDeviceLink scanner(*driver, access.tuning);
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
    : m_id(std::move(id)), m_driver(std::move(driver)) {
    if (share) {
        CShareHub::Settings settings = CShareHub::FromEnvironment("python");
        settings.pollSpeedUp = tuning.pollSpeedUp;
        m_sources = std::make_shared<CShareHub>(*m_driver, std::move(settings));
    } else {
        m_sources = std::make_shared<LocalMeterSources>(*m_driver, tuning.pollSpeedUp);
    }
    m_link = std::make_unique<CDeviceLink>(*m_driver, tuning, m_sources);
}

std::shared_ptr<CMeterSession> CMeterSession::Open(const std::string& id, const AppOptions& options,
                                                   Settings settings, const MeterAccess& access) {
    // The id is taken before the meter is looked for, so that two threads
    // cannot both start it.
    {
        std::lock_guard lock(g_openMutex);
        if (auto found = g_open.find(id); found != g_open.end()) {
            throw MeterStartError("meter " + id + " is open already");
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
    Close();
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
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed) {
            return;
        }
        m_bClosed = true;
        m_buffer.clear();
    }
    // Wakes a reader waiting on another thread, which then finds it closed.
    m_link->StopMeter();
    std::lock_guard lock(g_openMutex);
    if (auto found = g_open.find(m_id); found != g_open.end() && found->second.session == this) {
        g_open.erase(found);
    }
}

bool CMeterSession::IsClosed() const {
    std::lock_guard lock(m_mutex);
    return m_bClosed;
}

void CMeterSession::CheckOpenLocked() const {
    if (m_bClosed) {
        throw MeterClosedError();
    }
}

void CMeterSession::TakeWaitingLocked() {
    for (MeterSample& sample : m_link->TakeSamples(&m_nLostSamples)) {
        m_buffer.push_back(std::move(sample));
    }
}

CMeterSession::Next CMeterSession::TakeNext(Deadline deadline, const Interruption& interrupted) {
    for (;;) {
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
            if (!m_buffer.empty()) {
                if (deadline && m_buffer.front().monotonicTime > *deadline) {
                    return {Outcome::TimedOut, {}};
                }
                Next next{Outcome::Sample, std::move(m_buffer.front())};
                m_buffer.pop_front();
                return next;
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
        milliseconds slice = kWaitSlice;
        if (deadline) {
            slice = std::min(slice, std::chrono::ceil<milliseconds>(*deadline - now));
        }
        m_link->WaitForSample(slice);
    }
}

CMeterSession::Next CMeterSession::ReadFresh(Deadline deadline, const Interruption& interrupted) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_bClosed) {
            TakeWaitingLocked();
            m_buffer.clear();
        }
    }
    return TakeNext(deadline, interrupted);
}

void CMeterSession::PutBack(std::vector<MeterSample> samples) {
    std::lock_guard lock(m_mutex);
    if (!m_bClosed) {
        m_buffer.insert(m_buffer.begin(), std::make_move_iterator(samples.begin()),
                        std::make_move_iterator(samples.end()));
    }
}

CDeviceLink::Statistics CMeterSession::GetStatistics() const {
    std::lock_guard lock(m_mutex);
    CheckOpenLocked();
    return m_link->GetStatistics();
}

std::uint64_t CMeterSession::GetLostSampleCount() const {
    std::lock_guard lock(m_mutex);
    return m_nLostSamples;
}

void CMeterSession::Reset() {
    std::lock_guard control(m_controlMutex);
    std::lock_guard lock(m_mutex);
    CheckOpenLocked();
    // Under the session's lock, so that no reader is handed a sample of the
    // old collection after the reset.
    m_link->ResetStatistics();
    m_buffer.clear();
}

void CMeterSession::SetAveraging(int n) {
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        CheckOpenLocked();
    }
    m_link->SetAverageCount(n);
    m_settings.averaging = n;
}

void CMeterSession::SetIntervalMs(int ms) {
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        CheckOpenLocked();
    }
    // The link restarts its poll with every new period; the same one again
    // would only put off the next sample.
    if (ms != m_settings.intervalMs) {
        m_link->SetPollPeriod(ms);
        m_settings.intervalMs = ms;
    }
}

int CMeterSession::IntervalMs() const {
    std::lock_guard control(m_controlMutex);
    return m_settings.intervalMs;
}

int CMeterSession::Averaging() const {
    std::lock_guard control(m_controlMutex);
    return m_settings.averaging;
}

} // namespace zelmora
