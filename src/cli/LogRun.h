#pragma once

// The log command's run: one meter link per meter, each polled on its own
// timer; every sample taken from the links' lossless queues, put in the
// order the samples arrived across the meters, made into records and
// handed to the sinks. It ends when each meter has given its count, when
// the duration is over, when a signal stops it, when every meter is lost
// (unless they may come back) or when a sink fails.

#include "cli/ProgressLine.h"
#include "cli/StopSignal.h"
#include "frontend/RunSettings.h"
#include "meter/DeviceLink.h"
#include "publish/PublishSink.h"
#include "record/RecordSink.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

class UsbDriver;

struct LogRunSettings {
    RunSettings run;
    // Wait for a lost meter to come back (by its id) and go on.
    bool reconnect = false;
    std::string program;
    std::string version;
    // For tests: the meters poll this many times faster than the interval
    // (the records still count nominal intervals).
    int pollSpeedUp = 1;
    // For tests: the links' queues hold this many samples.
    std::size_t queueCapacity = CDeviceLink::kSampleQueueCapacity;
    // Where the links get their meters' readings; their own pollers when
    // empty.
    std::shared_ptr<MeterSources> sources;
};

struct LogRunResult {
    bool interrupted = false;
    // A sink that failed; its error says why.
    RecordSink* failedSink = nullptr;
    // Meters lost and not back at the end.
    std::vector<std::string> lostMeters;
    std::uint64_t records = 0;
    // Meters the run started (fewer than named when a stop came first).
    std::size_t meters = 0;
    // Samples the links' queues dropped before they were taken.
    std::uint64_t lostSamples = 0;
    std::chrono::steady_clock::duration elapsed{};
};

class CLogRun {
public:
    // `publishers`: those of the sinks that send the records on; the
    // progress line tells how they are doing.
    CLogRun(UsbDriver& driver, LogRunSettings settings, std::vector<RecordSink*> sinks,
            StopSignal& stop, CProgressLine& console,
            std::vector<const PublishSink*> publishers = {});
    CLogRun(const CLogRun&) = delete;
    CLogRun& operator=(const CLogRun&) = delete;
    ~CLogRun();

    // Starts the meters with these ids. False with a message on the console
    // when one of them does not start (and why, where the link says); the
    // others are stopped again. A stop that comes meanwhile leaves the rest
    // unstarted, and Run ends at once.
    bool Start(const std::vector<std::string>& ids);
    // Logs until the run ends, then stops the meters and hands over every
    // sample taken.
    LogRunResult Run();

private:
    struct Meter {
        std::string id;
        std::unique_ptr<CDeviceLink> link;
        RunMeter info;
        bool seen = false;
        bool done = false;
        bool lost = false;
        std::uint64_t lostSamples = 0;
        std::string lastPower;
        std::chrono::steady_clock::time_point nextAttempt{};
    };
    // A sample or an event, in arrival order.
    struct Item {
        std::chrono::steady_clock::time_point at{};
        std::optional<MeterSample> sample;
        std::size_t meter = 0;
        RunEvent event;
    };

    // Takes every waiting sample and what happened to the links; `final`:
    // the meters are stopped and everything taken is ready.
    void Collect(bool final);
    void AddEvent(Meter& meter, RunEvent::Kind kind, std::uint64_t samples = 0);
    void AddEvent(Meter& meter, RunEvent::Kind kind, std::uint64_t samples,
                  std::chrono::steady_clock::time_point at,
                  std::chrono::system_clock::time_point utc);
    // Hands the ready items to the sinks; false when a sink failed.
    bool Deliver(bool final);
    bool DeliverRecords(std::vector<Record>& records);
    // The time from the run's start to `at`, for a record's elapsed time.
    std::uint64_t ElapsedMs(std::chrono::steady_clock::time_point at) const;
    bool Finished() const;
    void Reconnect();
    void ShowProgress();
    void StopMeters();

    UsbDriver& m_driver;
    LogRunSettings m_settings;
    std::vector<RecordSink*> m_sinks;
    std::vector<const PublishSink*> m_publishers;
    StopSignal& m_stop;
    CProgressLine& m_console;

    std::vector<Meter> m_meters;
    RunMetadata m_metadata;
    std::chrono::steady_clock::time_point m_started{};
    std::chrono::steady_clock::duration m_timerPeriod{};
    // Taken, not yet handed over; the first m_nReady are in order and due.
    std::vector<Item> m_waiting;
    std::size_t m_nReady = 0;
    bool m_bBegun = false;
    LogRunResult m_result;
    std::chrono::steady_clock::time_point m_lastProgress{};
};

} // namespace zelmora
