#pragma once

// The link to one laser power meter as a front end sees it: finds the
// meters on the driver's interface and lists them by their nine-character
// id, takes the readings of the one the operator picks, converts each into
// a power number and text, and keeps the running statistics of a
// collection, its own queue and its own lost-sample count.
//
// The readings come from the meter's source (MeterSource): a poller of the
// USB meter in this process (CMeterPoller), or the owner of the meter in
// another process. Which one is the business of the MeterSources the link
// was made with; the link is the same for both.
//
// Threads. Every public operation but PollTimerProc runs on the window's
// thread. The readings arrive on the source's thread (the poll's timer, or
// the thread that receives an owner's messages).
// - m_mutex guards the sample, the statistics, the collection settings and
//   the probe codes. A reading becomes a sample published as one
//   MeterSample under that lock: it becomes the current sample and joins
//   the queue of samples the window has not taken yet, the new-sample flag
//   last. Every accessor, every take and the reset take the same lock, so a
//   reader never sees half a sample and a reset never lands inside a
//   reading's update.
// - m_sourceMutex guards the source. Start, Stop and destruction leave the
//   source before they let go of it, and the source calls the link no more
//   once it has been left; the last link to let go of a poller closes the
//   meter (see CMeterPoller).

#include "meter/MeterSample.h"
#include "meter/MeterSource.h"
#include "meter/PeriodicTimer.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

class UsbDriver;

class CDeviceLink : private ReadingListener {
public:
    // At most this many meters are listed.
    static constexpr int kMaxMeters = 15;
    // The shortest poll period SetPollPeriod accepts, in milliseconds.
    static constexpr int kMinPollPeriodMs = 100;
    // Collection modes.
    static constexpr int kFixedMode = 0;
    static constexpr int kContinuousMode = 1;
    // Samples waiting for the window: ten minutes at the fastest poll, so a
    // window held up by a dialog, a long drawing or a loaded machine loses
    // nothing. Memory is taken only while samples wait.
    static constexpr std::size_t kSampleQueueCapacity = 6000;

    // For tests only: the poll runs pollSpeedUp times faster than its
    // nominal period (the elapsed time still counts nominal periods; the
    // 100 ms the meter is given to settle at Start and Stop shrinks alike), and
    // the queue holds queueCapacity samples, so that minutes of sampling
    // and an overflowing queue take a test only seconds.
    struct TestTuning {
        int pollSpeedUp = 1;
        std::size_t queueCapacity = kSampleQueueCapacity;
    };

    // The driver is scanned for the meters, and polled by the link's own
    // pollers unless `sources` (not null) give the meters' readings; it must
    // outlive the link.
    explicit CDeviceLink(UsbDriver& driver);
    CDeviceLink(UsbDriver& driver, TestTuning tuning);
    CDeviceLink(UsbDriver& driver, TestTuning tuning, std::shared_ptr<MeterSources> sources);
    CDeviceLink(const CDeviceLink&) = delete;
    CDeviceLink& operator=(const CDeviceLink&) = delete;
    // Leaves the meter; when no one else watches it, the poll is cancelled
    // and the meter sent the stop request and closed.
    ~CDeviceLink() override;

    // --- Connection --------------------------------------------------------

    // Closes a running meter (without a stop request) and lists the meters
    // present again, in device order, at most kMaxMeters.
    void Rescan();
    int GetMeterCount() const;
    // Copies the listed ids to ids[0] onward; the caller supplies room for
    // kMaxMeters strings.
    void GetMeterList(std::string* ids) const;
    std::vector<std::string> GetMeterList() const;

    // What the last Rescan found out about each listed meter, in list
    // order: its id, the driver's path of the device (where it sits), and
    // its probe as the identity names it (empty when the identity is too
    // short to name one; such a meter cannot be started).
    struct MeterListing {
        std::string id;
        std::string path;
        std::string probeModel;
        std::string probeFamily;
    };
    std::vector<MeterListing> GetMeterListing() const;

    // Takes the readings of the meter with this id: opens the present meter,
    // identifies its probe, starts its measurement and the poll, or joins
    // the source that already does. No result: without a match the link
    // stays idle (GetStartProblem may say why). A running meter is let go
    // first. `keepRunningPeriod`: a meter already polled for another link
    // keeps its period and this link takes that period on, so a view that
    // only watches a meter never changes what another front end records.
    void Start(const std::string& meterId, bool keepRunningPeriod = false);
    // Leaves the meter; when no one else watches it, cancels the poll and
    // closes the meter, sending it no request. Does nothing when no meter is
    // open.
    void Stop();
    // Ends a run as destruction does: leaves the meter; when no one else
    // watches it, cancels the poll, sends the meter the stop request and
    // closes it. The samples not yet taken stay for TakeSamples. Does
    // nothing when no meter is open.
    void StopMeter();
    // True while a meter is open; a failed sample read closes it. It turns
    // false under the same lock, at the same moment, as the notifier is
    // told of the closure (SetSampleNotifier).
    bool IsRunning() const;
    // Why the last Start or SetPollPeriod did not do what it was asked
    // beyond "no such meter" (an owner in another process that keeps its own
    // poll period); empty otherwise.
    std::string GetStartProblem() const;

    // Where the readings stopped for a while and came again (their owner in
    // another process went away and another took the meter over), in
    // order: the front end marks the gap in its records.
    struct Gap {
        bool resumed = false;
        std::chrono::system_clock::time_point utcTime{};
        std::chrono::steady_clock::time_point monotonicTime{};
    };
    std::vector<Gap> TakeGaps();

    // The probe of the last identified meter: its family ("KV", "RM" or
    // "ZN" for the probes the conversion knows) and its model code.
    std::string GetProbeFamily() const;
    std::string GetProbeModel() const;
    // The limit of a range of a probe, in the family's unit (MeterSample::
    // unit); nothing for a range or a family the conversion does not know.
    static std::optional<double> RangeLimit(const std::string& family, const std::string& model,
                                            int range);
    // A power number (the family's unit) as the window shows it on this
    // range: the live text with the range's unit and decimals ("12.34mW"),
    // and the statistics text with the statistics' decimals. Empty for a
    // range or a family the conversion does not know. Other views of a
    // meter call these so that a number never reads differently in two
    // places.
    static std::string FormatPowerText(const std::string& family, const std::string& model,
                                       int range, double power);
    static std::string FormatStatisticText(const std::string& family, int range, double power);

    // --- Acquisition -------------------------------------------------------

    // Below kMinPollPeriodMs nothing happens. Otherwise the period is kept
    // and, while a meter is open, the poll restarts with it: at once, or,
    // while a tick is running, when that tick ends (a meter that does not
    // answer holds a tick for the transfer's time-out; the caller never
    // waits for it). A source that cannot serve the period keeps the old
    // one (GetStartProblem says why) and false is returned.
    bool SetPollPeriod(int periodMs);

    // Every sample the tick produces (in range or over range) waits in a
    // queue until it is taken; the new-sample flag tells that one waits.
    bool HasNewSample() const;
    // Every waiting sample, oldest first, each whole; empties the queue and
    // clears the flag. `lostSamples`, when given, receives the number of
    // samples lost to overflow since the link was made, read together with
    // the samples: the losses it counts all came before them.
    std::vector<MeterSample> TakeSamples(std::uint64_t* lostSamples = nullptr);
    // The current (newest) sample or a part of it. Each clears the flag and
    // drops the other waiting samples: they are for callers that want the
    // latest value only.
    double TakePower();
    std::string TakePowerText();
    MeterSample TakeSample();
    // Samples lost since the link was made because the queue was full: the
    // oldest waiting sample makes room for the new one.
    std::uint64_t GetLostSampleCount() const;
    // Waits up to `timeout` for a sample to wait in the queue, for a reader
    // on a thread of its own that should not poll. Returns at once while no
    // meter runs (none was started, it was stopped, or a failed read closed
    // it), as no sample will come. True when a sample waits.
    bool WaitForSample(std::chrono::milliseconds timeout);
    // Tells a reader that does not wait on a thread of its own (a window's
    // event loop) that WaitForSample would now return: `notify` is called
    // after a sample is queued and after the meter closed, on the thread
    // that did it (mostly the poll's), with the link's lock held; it must
    // return at once and must not call the link. Once this returns the old
    // one is not called any more. None: no calls.
    void SetSampleNotifier(std::function<void()> notify);

    int GetWavelength() const;
    std::string GetMinText() const;
    std::string GetMaxText() const;
    std::string GetMeanText() const;
    std::string GetStdDevText() const;
    std::string GetStdDevPercentText() const;
    std::string GetCountText() const;
    std::string GetTimeStampText() const;
    std::string GetDurationText() const;

    // --- Statistics and collection -----------------------------------------

    // The collection's statistics as numbers, in the unit of the family's
    // power (MeterSample::unit), consistent with the texts of the newest
    // sample. Before the first counted sample there are none: the mean, the
    // spread and the extremes are NaN.
    struct Statistics {
        std::int64_t count = 0;
        std::uint64_t elapsedMs = 0;
        double mean = 0;
        double stdDev = 0;
        // The spread in percent of the mean; 0 for a mean of 0.
        double stdDevPercent = 0;
        double min = 0;
        double max = 0;
        PowerUnit unit = PowerUnit::None;
    };
    Statistics GetStatistics() const;

    // Starts a new collection: clears the power, the extremes, the sums, the
    // count, the elapsed time, the averaging window and the new-sample flag.
    void ResetStatistics();
    // True once the collection holds samples, has reached its sample limit
    // and every one of its samples was taken: the poll goes on but takes
    // nothing more until a reset or a larger limit.
    bool IsCollectionComplete() const;
    // kFixedMode or kContinuousMode; other values are ignored. Resets the
    // statistics in every case.
    void SetCollectionMode(int mode);
    // The sample limit: Fixed mode takes n + 1 samples; Continuous mode stops
    // after n + 1 when n is not 0.
    void SetSampleSize(int n);
    // The length of the live-data averaging window (1 to 20000).
    void SetAverageCount(int n);

    // Takes one reading of the meter at once, as its poll's timer would;
    // `user` is the link (tests drive the poll with it). Ticks of one meter
    // never overlap, whoever calls it; nothing happens where the link's
    // source does not poll.
    static void PollTimerProc(std::uint32_t timerId, std::uint32_t message, std::uintptr_t user,
                              std::uintptr_t reserved1, std::uintptr_t reserved2);

private:
    // The readings of the source, on its thread.
    bool WantsReading() override;
    void OnReading(const MeterReading& reading) override;
    void OnReadingsLost(std::uint64_t count) override;
    void OnGap(bool resumed) override;
    void OnClosed() override;

    // Leaves the source and lets go of it.
    void ReleaseSource(bool stopMeter);

    // With m_mutex held.
    bool CollectionLimitReachedLocked() const;
    SampleStatus ConvertReadingLocked(unsigned reading, unsigned range);
    void UpdateStatistics();
    void FormatStatisticsLocked(unsigned range);
    void StampSampleLocked(std::chrono::system_clock::time_point now);
    void ResetStatisticsLocked();
    void PublishLocked(bool announce);
    void DropPendingLocked();
    // A started meter is open, or it is not any more; wakes WaitForSample.
    void SetMeterOpen(bool open);

    UsbDriver& m_driver;
    const std::shared_ptr<MeterSources> m_sources;
    std::shared_ptr<MeterSource> m_source; // guarded by m_sourceMutex
    mutable std::mutex m_sourceMutex;

    // Members in the roles of the meter link's data model.
    int m_nPollPeriod = 100; // guarded by m_mutex
    int m_nSampleSize = 0;   // guarded by m_mutex, as is everything
    int m_nAverageCount = 1; // down to m_strDuration
    double m_dAverage = 0;
    std::deque<double> m_averageWindow;
    bool m_bNewSample = false;
    int m_nWavelength = 0;
    double m_dPower = 0;
    std::string m_strPower;
    double m_dMin = 0;
    std::string m_strMin;
    double m_dMax = 0;
    std::string m_strMax;
    int m_nCount = 0;
    double m_dMean = 0;
    double m_dSum = 0;
    std::string m_strMean;
    double m_dStdDev = 0;
    std::string m_strStdDev;
    std::string m_strStdDevPercent;
    double m_dSumSquares = 0;
    std::string m_strCount;
    std::string m_strTimeStamp;
    int m_nCollectionMode = kContinuousMode;
    // 64 bits: at the longest poll period 32 bits would wrap after three
    // samples (49.7 days).
    std::uint64_t m_nElapsedMs = 0;
    std::string m_strDuration;
    // The numbers of the last sample beside its texts (MeterSample).
    std::int64_t m_nSampleCount = 0;
    SampleStatus m_status = SampleStatus::Ok;
    int m_nRange = -1;
    std::chrono::system_clock::time_point m_utcTime{};
    std::chrono::steady_clock::time_point m_monotonicTime{};
    std::array<std::string, kMaxMeters> m_meterIds;      // window thread only
    int m_nMeterCount = 0;                               // window thread only
    std::array<MeterListing, kMaxMeters> m_meterListing; // window thread only
    std::string m_strProbeModel;                         // guarded by m_mutex
    std::string m_strProbeFamily;                        // guarded by m_mutex
    std::string m_strStartProblem;                       // guarded by m_mutex
    std::vector<Gap> m_gaps;                             // guarded by m_mutex

    // What the window reads: the last published sample, and the samples
    // published and not yet taken, oldest first.
    MeterSample m_published;            // guarded by m_mutex
    std::deque<MeterSample> m_pending;  // guarded by m_mutex
    std::uint64_t m_nLostSamples = 0;   // guarded by m_mutex
    const std::size_t m_nQueueCapacity; // at least 1
    mutable std::mutex m_mutex;
    // Whether a started meter is open, as the source tells under its own
    // lock (WaitForSample's condition needs it under this one), and the
    // condition that a sample was queued or the meter closed.
    bool m_bMeterOpen = false; // guarded by m_mutex
    std::condition_variable m_sampleOrClosure;
    std::function<void()> m_sampleNotifier; // guarded by m_mutex
};

} // namespace zelmora
