#pragma once

// The meters of a script, as the Python module offers them, without
// Python: the meters present, and one open meter on a meter link of its
// own whose samples a reader takes one at a time, every one in order
// (TakeNext), or a look at the newest one taken after the call that
// leaves them all to TakeNext (ReadFresh).
//
// Threads. A session may be used from several threads at once: a wait
// holds no lock while it sleeps, so one thread may close the meter or read
// its statistics while another waits for a sample, and waiters of either
// kind are woken by every sample, independent of each other. The control
// calls (Reset, SetAveraging, SetIntervalMs, Close) are kept apart by a
// mutex of their own, as the link wants them from one thread at a time.
//
// Processes. A meter belongs to the process that opened it: in a child
// made by fork() its link has no threads, so there it counts as closed,
// refuses every use with MeterForkedError and is left alone at the
// child's exit.

#include "frontend/AppOptions.h"
#include "meter/DeviceLink.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace zelmora {

class UsbDriver;

// How a front end reaches the meters: the driver for the meter options,
// and the tuning of the links it makes (tests poll faster).
struct MeterAccess {
    std::function<std::unique_ptr<UsbDriver>(const AppOptions&, std::vector<std::string>&)>
        makeDriver;
    CDeviceLink::TestTuning tuning;
    // Share the meters with the user's other processes (a meter another
    // process owns is attached to, one no process owns is served to the
    // others); the module does, tests of the core do not.
    bool share = false;

    // The platform's meters and simulated ones, as the command line has them,
    // shared.
    static MeterAccess Default();
};

// No meter with the id is present.
class MeterNotFoundError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The meter is present but does not start, or is open already.
class MeterStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A call on a meter that was closed.
class MeterClosedError : public std::logic_error {
public:
    MeterClosedError() : std::logic_error("the meter is closed") {}
};
// A call on a meter in a child process made by fork(), which has none of
// the threads that run it.
class MeterForkedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The meter options of a script: `simulate` simulated meters (0 to 15);
// real meters as `real` says, or, without it, unless simulated ones are
// asked for (as the command line's --simulate); `usbIds` more
// vendor:product ids to take for meters (real meters only). Throws
// std::invalid_argument with the reason.
AppOptions ScriptMeterOptions(long long simulate, std::optional<bool> real,
                              const std::vector<std::string>& usbIds);

// The shared run settings' limits, for values a script gives as numbers;
// std::invalid_argument with the setting's name and limits otherwise.
int IntervalMsFromSeconds(double seconds);
std::chrono::milliseconds DurationFromSeconds(double seconds);
int CheckedAveraging(long long n);
std::int64_t CheckedCount(long long n);
// The same for a whole number written out in decimal, of any size (a
// script's integer that fits no C++ type is out of the limits all the same).
int CheckedAveraging(std::string_view decimal);
std::int64_t CheckedCount(std::string_view decimal);

struct MeterEntry {
    std::string id;
    std::string family;
    std::string model;
    std::string backend;
    std::string port;
};
// The meters present, in device order. What keeps real meters out of
// reach goes to `problems`.
std::vector<MeterEntry> ListMeters(const AppOptions& options, const MeterAccess& access,
                                   std::vector<std::string>& problems);

class CMeterSession : public std::enable_shared_from_this<CMeterSession> {
public:
    struct Settings {
        int intervalMs = 100;
        int averaging = 1;
    };

    // Finds the meter among those the options reach and starts it.
    // MeterNotFoundError when it is not there (the message tells the
    // problems that kept real meters out of reach), MeterStartError when it
    // does not start or this process has it open already.
    static std::shared_ptr<CMeterSession> Open(const std::string& id, const AppOptions& options,
                                               Settings settings, const MeterAccess& access);
    CMeterSession(const CMeterSession&) = delete;
    CMeterSession& operator=(const CMeterSession&) = delete;
    // Closes the meter.
    ~CMeterSession();

    enum class Outcome {
        Sample,
        TimedOut,    // the deadline came first
        Interrupted, // the interruption check said so
        Closed,      // the meter is closed (before or during the wait)
        Lost,        // the meter stopped answering, and every sample taken was handed out
    };
    struct Next {
        Outcome outcome = Outcome::TimedOut;
        MeterSample sample;
    };
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    // Asked between the slices of a wait, on the waiting thread; true ends
    // the wait.
    using Interruption = std::function<bool()>;

    // The oldest sample not yet handed out: every sample in order, none
    // twice. With a deadline, only a sample taken before it.
    Next TakeNext(Deadline deadline, const Interruption& interrupted);
    // The newest sample, once one was taken after the call: a look that
    // hands nothing out, so TakeNext still gets every sample.
    Next ReadFresh(Deadline deadline, const Interruption& interrupted);
    // Puts samples handed out back in front of those waiting, so that a
    // reader that cannot use them (it was interrupted) loses none.
    void PutBack(std::vector<MeterSample> samples);

    // The spread of the powers TakeNext hands out (averaged as set) over
    // the collection's samples with a power (status Ok), in the family's
    // unit: beside the window's statistics, which are over the unaveraged
    // readings and count no_conversion samples too. NaN before the first.
    struct AveragedStatistics {
        std::int64_t count = 0;
        double mean = 0;
        double stdDev = 0;
        double stdDevPercent = 0; // 0 for a mean of 0
        double min = 0;
        double max = 0;
    };
    struct Statistics {
        CDeviceLink::Statistics window;
        AveragedStatistics averaged;
    };
    // The collection's statistics (in the family's unit).
    Statistics GetStatistics();
    // Samples dropped because they were not taken in time: by the link's
    // queue, or by the session's, which keeps as many.
    std::uint64_t GetLostSampleCount() const;
    // The samples lost since the last call: for the readers that hand out
    // every sample to tell, however long ago they were lost (while a script
    // only read, say).
    std::uint64_t TakeUntoldLostSampleCount();

    // A new collection: count, elapsed time and statistics start again; the
    // samples waiting are dropped.
    void Reset();
    void SetAveraging(int n);
    void SetIntervalMs(int ms);
    // Stops the meter; the samples waiting are dropped. Again: nothing.
    // Another Open of the meter waits until this has returned.
    void Close();
    bool IsClosed() const;
    // MeterForkedError in a child process, MeterClosedError once closed.
    void CheckOpen() const;

    const std::string& Id() const { return m_id; }
    const std::string& Family() const { return m_family; }
    const std::string& Model() const { return m_model; }
    int IntervalMs() const;
    int Averaging() const;
    // The link, for readers of its texts.
    const CDeviceLink& Link() const { return *m_link; }

    // Closes every open meter of the process (before the interpreter goes).
    static void CloseAll();

private:
    CMeterSession(std::string id, std::unique_ptr<UsbDriver> driver, CDeviceLink::TestTuning tuning,
                  bool share);
    // Moves the link's waiting samples to m_buffer (m_mutex held).
    void TakeWaitingLocked();
    void CheckOpenLocked() const;
    bool InForkedChild() const;
    void CheckNotForked() const;

    // One wait of TakeNext or ReadFresh: `ready`, asked under m_mutex after
    // the link's samples were taken, ends it with what it returns.
    template <typename Ready>
    Next Wait(Deadline deadline, const Interruption& interrupted, Ready ready);
    // Wakes every waiter: a sample was queued or the meter closed.
    void Wake();
    std::uint64_t WakeCount() const;
    void SleepUntilWoken(std::uint64_t seen, std::chrono::steady_clock::time_point until) const;

    const std::string m_id;
    const pid_t m_pid;            // the process that opened it
    const std::uint64_t m_nForks; // forks that made that process
    std::string m_family;
    std::string m_model;

    // The waiters' wake-up: called by the link under its own lock, so it is
    // taken after every other lock and no call is made under it. Declared
    // before the link, which calls it until it is gone.
    mutable std::mutex m_wakeMutex;
    mutable std::condition_variable m_woken;
    std::uint64_t m_nWakes = 0; // guarded by m_wakeMutex

    // The driver outlives the link.
    std::unique_ptr<UsbDriver> m_driver;
    // The session's shared meters, where it shares them; after the driver.
    std::shared_ptr<MeterSources> m_sources;
    std::unique_ptr<CDeviceLink> m_link;
    const std::size_t m_nCapacity; // samples m_buffer keeps

    // Keeps the control calls apart; taken before m_mutex.
    mutable std::mutex m_controlMutex;
    Settings m_settings; // guarded by m_controlMutex
    mutable std::mutex m_mutex;
    std::deque<MeterSample> m_buffer;    // taken from the link, not handed out; guarded by m_mutex
    std::optional<MeterSample> m_newest; // the newest taken from the link; guarded by m_mutex
    std::uint64_t m_nTaken = 0;          // samples taken from the link; guarded by m_mutex
    std::uint64_t m_nLinkLost = 0;       // the link's lost samples; guarded by m_mutex
    std::uint64_t m_nDropped = 0;        // dropped from a full m_buffer; guarded by m_mutex
    std::uint64_t m_nLostTold = 0;       // lost samples told of; guarded by m_mutex
    // The averaged powers' running figures (Welford); guarded by m_mutex.
    std::int64_t m_nAveraged = 0;
    double m_dAveragedMean = 0;
    double m_dAveragedSquares = 0;
    double m_dAveragedMin = 0;
    double m_dAveragedMax = 0;
    bool m_bClosed = false; // guarded by m_mutex
};

} // namespace zelmora
