#include "cli/LogRun.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <thread>

namespace zelmora {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How often the run takes the samples from the links: often enough that a
// reader of the output sees them promptly, seldom enough to cost nothing.
constexpr milliseconds kTurn(100);
// A status line redrawn a few times a second.
constexpr milliseconds kProgressPeriod(250);
// A lost meter is looked for again after this long.
constexpr milliseconds kReconnectPeriod(1000);

} // namespace

CLogRun::CLogRun(UsbDriver& driver, LogRunSettings settings, std::vector<RecordSink*> sinks,
                 StopSignal& stop, CProgressLine& console,
                 std::vector<const PublishSink*> publishers)
    : m_driver(driver), m_settings(std::move(settings)), m_sinks(std::move(sinks)),
      m_publishers(std::move(publishers)), m_stop(stop), m_console(console) {
    m_metadata.program = m_settings.program;
    m_metadata.version = m_settings.version;
    m_metadata.intervalMs = m_settings.run.intervalMs;
    m_metadata.averaging = m_settings.run.averaging;
    m_metadata.unit = m_settings.run.unit;
    m_timerPeriod = milliseconds(m_settings.run.intervalMs / std::max(m_settings.pollSpeedUp, 1));
}

CLogRun::~CLogRun() = default;

bool CLogRun::Start(const std::vector<std::string>& ids) {
    const RunSettings& run = m_settings.run;
    // The run starts with its first meter.
    m_started = steady_clock::now();
    m_metadata.started = std::chrono::system_clock::now();
    for (const std::string& id : ids) {
        // Starting a meter takes a while (a slow one seconds): a stop that
        // comes meanwhile ends the start-up at once, and Run stops the
        // meters started so far and hands over what they took.
        if (m_stop.WaitFor(milliseconds(0))) {
            break;
        }
        Meter meter;
        meter.id = id;
        const CDeviceLink::TestTuning tuning{.pollSpeedUp = m_settings.pollSpeedUp,
                                             .queueCapacity = m_settings.queueCapacity};
        meter.link = m_settings.sources
                         ? std::make_unique<CDeviceLink>(m_driver, tuning, m_settings.sources)
                         : std::make_unique<CDeviceLink>(m_driver, tuning);
        CDeviceLink& link = *meter.link;
        link.SetPollPeriod(run.intervalMs);
        link.SetAverageCount(run.averaging);
        // A count is the link's own limit, so that no meter takes a sample
        // more than asked for; over-range samples are not counted.
        if (run.count) {
            link.SetCollectionMode(CDeviceLink::kFixedMode);
            link.SetSampleSize(static_cast<int>(*run.count - 1));
        } else {
            link.SetCollectionMode(CDeviceLink::kContinuousMode);
            link.SetSampleSize(0);
        }
        link.Start(id);
        if (!link.IsRunning()) {
            const std::string problem = link.GetStartProblem();
            m_console.Message(m_settings.program + ": meter " + id + " does not start" +
                              (problem.empty() ? "" : ": " + problem));
            m_meters.clear();
            return false;
        }
        meter.info = {id, link.GetProbeFamily(), link.GetProbeModel(), std::nullopt};
        m_meters.push_back(std::move(meter));
    }
    return true;
}

LogRunResult CLogRun::Run() {
    bool failed = false;
    while (!failed) {
        const bool interrupted = m_stop.WaitFor(kTurn);
        Collect(false);
        failed = !Deliver(false);
        if (interrupted) {
            m_result.interrupted = true;
            break;
        }
        if (failed || Finished()) {
            break;
        }
        Reconnect();
        ShowProgress();
    }
    m_console.Clear();
    StopMeters();
    if (!failed) {
        Collect(true);
        Deliver(true);
    }
    for (RecordSink* sink : m_sinks) {
        sink->End();
    }
    for (const Meter& meter : m_meters) {
        if (meter.lost) {
            m_result.lostMeters.push_back(meter.id);
        }
    }
    m_result.meters = m_meters.size();
    m_result.elapsed = steady_clock::now() - m_started;
    return m_result;
}

void CLogRun::Collect(bool final) {
    // Every sample stamped before this moment has been published (the tick
    // stamps and publishes under the link's lock), so those taken below
    // that are older can be handed over in order; younger ones wait for
    // the next turn, when the other links' samples of their time are in.
    const auto due = steady_clock::now();
    for (std::size_t i = 0; i < m_meters.size(); ++i) {
        Meter& meter = m_meters[i];
        const bool running = meter.link->IsRunning();
        std::uint64_t lost = 0;
        for (MeterSample& sample : meter.link->TakeSamples(&lost)) {
            if (!meter.seen) {
                meter.seen = true;
                meter.info.wavelength = sample.wavelength;
            }
            const auto& count = m_settings.run.count;
            if (count && sample.status != SampleStatus::OverRange && sample.count >= *count - 1) {
                meter.done = true;
            }
            meter.lastPower = sample.powerText;
            const auto at = sample.monotonicTime;
            m_waiting.push_back({at, std::move(sample), i, {}});
        }
        // The owner in another process went away and the meter was taken
        // over: the gap is marked where it was.
        for (const CDeviceLink::Gap& gap : meter.link->TakeGaps()) {
            AddEvent(meter, gap.resumed ? RunEvent::Kind::MeterBack : RunEvent::Kind::MeterLost, 0,
                     gap.monotonicTime, gap.utcTime);
            m_console.Message(m_settings.program + ": meter " + meter.id +
                              (gap.resumed ? " is back" : "'s owner went away; taking it over"));
        }
        if (lost > meter.lostSamples) {
            AddEvent(meter, RunEvent::Kind::SamplesLost, lost - meter.lostSamples);
            m_console.Message(Format("%s: meter %s: %llu samples lost (the queue was full)",
                                     m_settings.program.c_str(), meter.id.c_str(),
                                     static_cast<unsigned long long>(lost - meter.lostSamples)));
            m_result.lostSamples += lost - meter.lostSamples;
            meter.lostSamples = lost;
        }
        if (!running && !meter.lost && !final) {
            meter.lost = true;
            AddEvent(meter, RunEvent::Kind::MeterLost);
            m_console.Message(m_settings.program + ": meter " + meter.id + " lost" +
                              (m_settings.reconnect ? "; waiting for it to come back" : ""));
            meter.nextAttempt = steady_clock::now() + kReconnectPeriod;
        }
    }
    const auto unsorted = m_waiting.begin() + static_cast<std::ptrdiff_t>(m_nReady);
    std::stable_sort(unsorted, m_waiting.end(),
                     [](const Item& a, const Item& b) { return a.at < b.at; });
    m_nReady = final ? m_waiting.size()
                     : static_cast<std::size_t>(std::partition_point(unsorted, m_waiting.end(),
                                                                     [due](const Item& item) {
                                                                         return item.at <= due;
                                                                     }) -
                                                m_waiting.begin());
}

void CLogRun::AddEvent(Meter& meter, RunEvent::Kind kind, std::uint64_t samples) {
    AddEvent(meter, kind, samples, steady_clock::now(), std::chrono::system_clock::now());
}

void CLogRun::AddEvent(Meter& meter, RunEvent::Kind kind, std::uint64_t samples,
                       steady_clock::time_point at, std::chrono::system_clock::time_point utc) {
    Item item;
    item.at = at;
    item.meter = static_cast<std::size_t>(&meter - m_meters.data());
    item.event = {kind, utc, meter.id, samples, {}};
    m_waiting.push_back(std::move(item));
}

bool CLogRun::Deliver(bool final) {
    if (!m_bBegun) {
        // The metadata tells each meter's wavelength, which its first sample
        // brings: it waits for those (or their loss) a little while.
        const bool allSeen = std::all_of(m_meters.begin(), m_meters.end(),
                                         [](const Meter& m) { return m.seen || m.lost; });
        if (!final && !allSeen &&
            steady_clock::now() < m_started + 2 * m_timerPeriod + milliseconds(1000)) {
            return true;
        }
        m_metadata.meters.clear();
        for (const Meter& meter : m_meters) {
            m_metadata.meters.push_back(meter.info);
        }
        for (RecordSink* sink : m_sinks) {
            if (!sink->Begin(m_metadata)) {
                m_result.failedSink = sink;
                return false;
            }
        }
        m_bBegun = true;
    }
    std::vector<Record> records;
    bool delivered = true;
    std::size_t i = 0;
    for (; i < m_nReady && delivered; ++i) {
        Item& item = m_waiting[i];
        if (item.sample) {
            records.push_back(
                MakeRecord(*item.sample, m_meters[item.meter].id, m_settings.run.unit));
            records.back().elapsedMs = ElapsedMs(item.sample->monotonicTime);
            continue;
        }
        delivered = DeliverRecords(records);
        for (RecordSink* sink : m_sinks) {
            if (delivered && !sink->Note(item.event)) {
                m_result.failedSink = sink;
                delivered = false;
            }
        }
    }
    delivered = delivered && DeliverRecords(records);
    m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(i));
    m_nReady -= i;
    return delivered;
}

std::uint64_t CLogRun::ElapsedMs(steady_clock::time_point at) const {
    // A meter's own elapsed time starts with that meter and counts nominal
    // poll periods, so it neither lines up across meters nor shows a stall:
    // the run's records measure from the run's one start on a clock that
    // never goes back.
    return at > m_started ? static_cast<std::uint64_t>(
                                std::chrono::duration_cast<milliseconds>(at - m_started).count())
                          : 0;
}

bool CLogRun::DeliverRecords(std::vector<Record>& records) {
    if (records.empty()) {
        return true;
    }
    for (RecordSink* sink : m_sinks) {
        if (!sink->Write(records)) {
            m_result.failedSink = sink;
            return false;
        }
    }
    m_result.records += records.size();
    records.clear();
    return true;
}

bool CLogRun::Finished() const {
    const RunSettings& run = m_settings.run;
    if (run.durationMs && steady_clock::now() - m_started >= milliseconds(*run.durationMs)) {
        return true;
    }
    // Without --reconnect a lost meter is out of the run.
    return std::all_of(m_meters.begin(), m_meters.end(), [this](const Meter& meter) {
        return (meter.lost && !m_settings.reconnect) || (meter.done && !meter.lost);
    });
}

void CLogRun::Reconnect() {
    if (!m_settings.reconnect) {
        return;
    }
    for (Meter& meter : m_meters) {
        if (!meter.lost || steady_clock::now() < meter.nextAttempt) {
            continue;
        }
        // Start looks for the id among the meters present; the collection
        // goes on where it was, its count and elapsed time included.
        meter.link->Start(meter.id);
        if (meter.link->IsRunning()) {
            meter.lost = false;
            AddEvent(meter, RunEvent::Kind::MeterBack);
            m_console.Message(m_settings.program + ": meter " + meter.id + " is back");
        } else {
            meter.nextAttempt = steady_clock::now() + kReconnectPeriod;
        }
    }
}

void CLogRun::ShowProgress() {
    const auto now = steady_clock::now();
    if (!m_console.IsEnabled() || now < m_lastProgress + kProgressPeriod) {
        return;
    }
    m_lastProgress = now;
    const auto elapsedMs = std::chrono::duration_cast<milliseconds>(now - m_started).count();
    const double seconds = static_cast<double>(elapsedMs) / 1000;
    std::string status = FormatElapsed(static_cast<std::uint64_t>(elapsedMs)).substr(0, 8);
    status += Format("  %llu samples  %.1f/s", static_cast<unsigned long long>(m_result.records),
                     seconds > 0 ? static_cast<double>(m_result.records) / seconds : 0.0);
    // The counts before the meters' powers, which a narrow terminal cuts
    // off first.
    status += Format("  %llu lost", static_cast<unsigned long long>(m_result.lostSamples));
    for (const PublishSink* publisher : m_publishers) {
        const PublishCounts counts = publisher->Counts();
        const std::string name = publisher->Name();
        status += "  " + name.substr(0, name.find(':'));
        if (!counts.connected) {
            status +=
                Format(" away, %llu waiting,", static_cast<unsigned long long>(counts.waiting));
        }
        status += Format(" %llu dropped", static_cast<unsigned long long>(counts.dropped));
    }
    for (const Meter& meter : m_meters) {
        status += "  " + meter.id + " " + (meter.lost ? "(lost)" : meter.lastPower);
    }
    m_console.Show(status);
}

void CLogRun::StopMeters() {
    // Each stop waits for its meter to settle; all at once, so that the
    // end does not take that long per meter.
    std::vector<std::thread> stopping;
    for (Meter& meter : m_meters) {
        stopping.emplace_back([&meter] { meter.link->StopMeter(); });
    }
    for (std::thread& thread : stopping) {
        thread.join();
    }
}

} // namespace zelmora
