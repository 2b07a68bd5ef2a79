#pragma once

// The part of the meter link that talks to the meter: opens the present
// meter with an id, identifies its probe, starts its measurement, polls it
// on a periodic timer and hands every reading to the listeners that joined
// it; stops and closes it when it is let go. One poller per meter per
// process: every front end of the process that watches the meter (and the
// endpoint that serves other processes) listens to the same poller.
//
// Threads. Start, SetPollPeriod, Join, Leave and destruction run on any
// thread but the poll's. The tick (PollTimerProc, then AcquireSample) runs
// on the timer's thread.
// - m_deviceMutex guards the open meter (m_pDevice), the timer id and the
//   tick's state. The device is released only once no tick uses it:
//   destruction first keeps new ticks out, then aborts the sample request in
//   flight (so a meter that never answers does not hold it for the
//   transfer's time-out), waits for the tick to end and only then closes the
//   device. Neither lock is held while waiting for the timer.
// - m_listenerMutex guards the listeners; the tick holds it while it hands a
//   reading to them, so that once Leave returns a listener is not called
//   again. Listeners take their own locks inside it, never the other way.

#include "meter/MeterSource.h"
#include "meter/PeriodicTimer.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

class CUsbDevice;
class UsbDriver;

class CMeterPoller final : public MeterSource {
public:
    // The driver is handed to every CUsbDevice the poller creates; it must
    // outlive the poller. `pollSpeedUp` (tests): the timer runs that many
    // times faster than the period, and the meter's settle time shrinks
    // alike.
    CMeterPoller(UsbDriver& driver, int pollSpeedUp = 1);
    CMeterPoller(const CMeterPoller&) = delete;
    CMeterPoller& operator=(const CMeterPoller&) = delete;
    // Cancels the poll and closes the meter, with its stop request unless the
    // last listener left without one.
    ~CMeterPoller() override;

    // What a scan finds out about each meter present, in device order, at
    // most `limit`: its id, the driver's path of the device and its probe
    // (empty when the identity is too short to name one). A device at the
    // path of one of `known` is listed as that meter and sent no request
    // (another process polls it).
    using Listing = MeterIdentity;
    static std::vector<Listing> Scan(UsbDriver& driver, int limit,
                                     const std::vector<MeterIdentity>& known = {});

    // Opens the present meter with this id, identifies its probe, starts its
    // measurement and polls it every `periodMs`. False when no meter with
    // the id starts. The devices at `skipPaths` (meters other processes
    // poll) are left alone. Called once.
    bool Start(const std::string& meterId, int periodMs,
               const std::vector<std::string>& skipPaths = {});
    // The driver's path of the open meter; empty when none is open.
    std::string GetDevicePath() const;

    std::string GetProbeFamily() const override;
    std::string GetProbeModel() const override;
    int GetPollPeriod() const override;
    // True while the meter is open; a failed sample read closes it.
    bool IsOpen() const override;
    // Below the shortest period nothing happens. Otherwise the period is
    // kept and the poll restarts with it: at once, or, while a tick is
    // running, when that tick ends (a meter that does not answer holds a
    // tick for the transfer's time-out; the caller never waits for it).
    bool SetPollPeriod(int periodMs, std::string& problem) override;
    void Join(ReadingListener& listener) override;
    void Leave(ReadingListener& listener, bool stopMeter) override;
    void PollNow() override;

    // The timer's callback; `user` is the poller. Ticks of one poller never
    // overlap, whoever calls it.
    static void PollTimerProc(std::uint32_t timerId, std::uint32_t message, std::uintptr_t user,
                              std::uintptr_t reserved1, std::uintptr_t reserved2);

private:
    class BusyScope;
    struct DeviceDeleter {
        void operator()(CUsbDevice* device) const noexcept;
    };
    using DevicePtr = std::unique_ptr<CUsbDevice, DeviceDeleter>;

    DevicePtr NewDevice();
    bool OpenMeter(int index);
    bool IdentifyProbe();
    void ReleaseMeter(bool sendStopRequest);

    void AcquireSample();
    void CloseAfterFailedRead();
    void EndTick();
    std::uint32_t ArmTimerLocked(int periodMs);
    // Re-arms the poll's timer; `inStep` first waits for the next multiple
    // of the period on the monotonic clock, so that every meter started
    // with the same period, in any process, is polled at the same moments.
    bool Rearm(int periodMs, bool inStep);
    bool AnyListenerWants();

    UsbDriver& m_driver;
    const int m_nPollSpeedUp;

    mutable std::mutex m_probeMutex;
    std::string m_strProbeModel;  // guarded by m_probeMutex
    std::string m_strProbeFamily; // guarded by m_probeMutex
    int m_nPollPeriod = 100;      // guarded by m_probeMutex

    std::mutex m_listenerMutex;
    std::vector<ReadingListener*> m_listeners; // guarded by m_listenerMutex
    std::uint64_t m_nSequence = 0;             // guarded by m_listenerMutex
    bool m_bStopOnRelease = true;              // guarded by m_listenerMutex

    std::uint32_t m_nTimerId = 0; // guarded by m_deviceMutex
    DevicePtr m_pDevice;          // guarded by m_deviceMutex
    bool m_bBusy = false;         // guarded by m_deviceMutex
    mutable std::mutex m_deviceMutex;
    std::condition_variable m_deviceChanged; // busy, tick or halt state changed
    bool m_bTickRunning = false;             // a tick is using m_pDevice
    bool m_bHalting = false;                 // a release is under way: no new tick
    bool m_bRearming = false;                // the timer is being replaced: no new tick
    // A new poll period came during a tick; the tick re-arms the timer.
    std::optional<int> m_nRearmPeriodMs;

    // Last, so that it is destroyed first: its threads are joined while the
    // rest of the poller still exists.
    PeriodicTimer m_timer;
};

// The plain sources of a process that shares nothing: a poller per meter
// id, made on the first Open and shared by every later one while it runs.
class LocalMeterSources final : public MeterSources {
public:
    explicit LocalMeterSources(UsbDriver& driver, int pollSpeedUp = 1);
    std::shared_ptr<MeterSource> Open(const std::string& meterId, int periodMs,
                                      std::string& problem) override;
    // The same as a poller of its own type, for owners that serve it on.
    // The devices at `skipPaths` are left alone (other processes poll them).
    std::shared_ptr<CMeterPoller> OpenPoller(const std::string& meterId, int periodMs,
                                             const std::vector<std::string>& skipPaths = {});

private:
    UsbDriver& m_driver;
    const int m_nPollSpeedUp;
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::weak_ptr<CMeterPoller>>> m_pollers;
};

} // namespace zelmora
