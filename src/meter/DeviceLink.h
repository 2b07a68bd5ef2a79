#pragma once

// The link to one laser power meter: finds the meters on the driver's
// interface and lists them by their nine-character id, opens the one the
// operator picks, identifies its probe, polls it on a periodic timer,
// converts each reading into a power number and text, and keeps the
// running statistics of a collection.
//
// Threads. Every public operation but PollTimerProc runs on the window's
// thread. The tick (PollTimerProc, then AcquireSample) runs on the timer's
// thread. They meet in two places only:
// - m_mutex guards the sample, the statistics, the collection settings and
//   the probe codes. The tick builds a sample and publishes it as one
//   MeterSample under that lock: it becomes the current sample and joins
//   the queue of samples the window has not taken yet, the new-sample flag
//   last. Every accessor, every take and the reset take the same lock, so a
//   reader never sees half a sample and a reset never lands inside a tick's
//   update.
// - m_deviceMutex guards the open meter (m_pDevice), the timer id and the
//   tick's state. The device is released only once no tick uses it: Stop,
//   Rescan and destruction first keep new ticks out, then abort the sample
//   request in flight (so a meter that never answers does not hold them for
//   the transfer's time-out), wait for the tick to end and only then close
//   the device. Neither lock is held while waiting for the timer.

#include "meter/MeterSample.h"
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

class CUsbDevice;
class UsbDriver;

class CDeviceLink {
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

    // The driver is handed to every CUsbDevice the link creates; it must
    // outlive the link.
    explicit CDeviceLink(UsbDriver& driver);
    CDeviceLink(UsbDriver& driver, TestTuning tuning);
    CDeviceLink(const CDeviceLink&) = delete;
    CDeviceLink& operator=(const CDeviceLink&) = delete;
    // Cancels the poll, sends the stop request to a running meter and
    // closes it.
    virtual ~CDeviceLink();

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

    // Opens the present meter with this id, identifies its probe, starts its
    // measurement and the poll. No result: without a match the link stays
    // idle. A running meter is closed first.
    void Start(const std::string& meterId);
    // Cancels the poll and closes the meter; sends it no request. Does
    // nothing when no meter is open.
    void Stop();
    // Ends a run as destruction does: cancels the poll, sends the meter the
    // stop request and closes it. The samples not yet taken stay for
    // TakeSamples. Does nothing when no meter is open.
    void StopMeter();
    // True while a meter is open; a failed sample read closes it. It turns
    // false under the same lock, at the same moment, as the notifier is
    // told of the closure (SetSampleNotifier).
    bool IsRunning() const;

    // The probe of the last identified meter: its family ("KV", "RM" or
    // "ZN" for the probes the conversion knows) and its model code.
    std::string GetProbeFamily() const;
    std::string GetProbeModel() const;

    // --- Acquisition -------------------------------------------------------

    // Below kMinPollPeriodMs nothing happens. Otherwise the period is kept
    // and, while a meter is open, the poll restarts with it: at once, or,
    // while a tick is running, when that tick ends (a meter that does not
    // answer holds a tick for the transfer's time-out; the caller never
    // waits for it).
    void SetPollPeriod(int periodMs);

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

    // The timer's callback; `user` is the link. Public because the timer
    // calls it; ticks of one link never overlap, whoever calls it.
    static void PollTimerProc(std::uint32_t timerId, std::uint32_t message, std::uintptr_t user,
                              std::uintptr_t reserved1, std::uintptr_t reserved2);

private:
    // Holds the identification flag while it lives and restores it however
    // the exchange ends.
    class BusyScope;

    // Deleting a CUsbDevice closes it, which can fail loudly; when the link
    // lets go of a device there is nothing left to do about that.
    struct DeviceDeleter {
        void operator()(CUsbDevice* device) const noexcept;
    };
    using DevicePtr = std::unique_ptr<CUsbDevice, DeviceDeleter>;

    // Identification, on the window's thread. A failure raised while
    // identifying a device abandons that device: the scans catch it.
    // `listing`, when given, also receives the probe the identity names.
    std::string ReadMeterId(CUsbDevice* device, MeterListing* listing = nullptr);
    bool OpenMeter(int index);
    bool IdentifyProbe();
    // Both identity texts, each up to its first zero byte; false when either
    // read failed. read1 tells whether the first one succeeded.
    bool ReadIdentity(CUsbDevice& device, std::string& text1, std::string& text2, bool& read1);
    DevicePtr NewDevice();

    // Releases the open meter once no tick uses it (see the header comment).
    void ReleaseMeter(bool sendStopRequest, bool settle);

    // The tick, on the timer's thread.
    void AcquireSample();
    void CloseAfterFailedRead();
    void EndTick();
    // Sets the poll timer going with the given poll period (with
    // m_deviceMutex held); returns its id.
    std::uint32_t ArmTimerLocked(int periodMs);

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

    // Members in the roles of the meter link's data model.
    std::uint32_t m_nTimerId = 0; // guarded by m_deviceMutex
    int m_nDeviceIndex = -1;      // window thread only
    int m_nPollPeriod = 100;      // guarded by m_mutex
    int m_nSampleSize = 0;        // guarded by m_mutex, as is everything
    int m_nAverageCount = 1;      // down to m_strDuration
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
    DevicePtr m_pDevice;                                 // guarded by m_deviceMutex
    bool m_bBusy = false;                                // guarded by m_deviceMutex

    // What the window reads: the last published sample, and the samples
    // published and not yet taken, oldest first.
    MeterSample m_published;            // guarded by m_mutex
    std::deque<MeterSample> m_pending;  // guarded by m_mutex
    std::uint64_t m_nLostSamples = 0;   // guarded by m_mutex
    const std::size_t m_nQueueCapacity; // at least 1
    const int m_nPollSpeedUp;           // at least 1
    mutable std::mutex m_mutex;
    // Whether a started meter is open, as m_pDevice tells under the other
    // mutex (WaitForSample's condition needs it under this one), and the
    // condition that a sample was queued or the meter closed.
    bool m_bMeterOpen = false; // guarded by m_mutex
    std::condition_variable m_sampleOrClosure;
    std::function<void()> m_sampleNotifier; // guarded by m_mutex

    mutable std::mutex m_deviceMutex;
    std::condition_variable m_deviceChanged; // busy, tick or halt state changed
    bool m_bTickRunning = false;             // a tick is using m_pDevice
    bool m_bHalting = false;                 // a release is under way: no new tick
    bool m_bRearming = false;                // the timer is being replaced: no new tick
    // A new poll period came during a tick; the tick re-arms the timer.
    std::optional<int> m_nRearmPeriodMs;

    // Last, so that it is destroyed first: its threads are joined while the
    // rest of the link still exists.
    PeriodicTimer m_timer;
};

} // namespace zelmora
