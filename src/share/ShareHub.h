#pragma once

// The meters of a process that shares them with the other processes of
// the same user: the MeterSources its front ends open meters through.
//
// Opening a meter takes its ownership lock: the process that gets it polls
// the meter (CMeterPoller) and serves it on its endpoint (COwnerServer);
// every other process attaches to that owner (CAttachedMeter). Either way
// the front end gets the same readings through one source, which also
// carries the hand-over: when the owner ends, the source marks a gap, takes
// the lock or attaches to the process that took it, and goes on.
//
// One event loop thread serves every endpoint of the process.

#include "meter/MeterPoller.h"
#include "meter/MeterSource.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelmora {

class UsbDriver;
class CSharedMeter;
class CShareService;
class CShareLinks;

class CShareHub final : public MeterSources {
public:
    struct Settings {
        // The program, as the owner's clients and `list` are told.
        std::string program;
        // For tests: the poll runs this many times faster than its period.
        int pollSpeedUp = 1;
        // Samples each attached client's queue holds; 0: five minutes of
        // samples at the owner's period.
        std::size_t clientQueueCapacity = 0;
        // How long an attach waits for an owner that holds the lock but does
        // not answer yet (one that is starting, or handing over).
        std::chrono::milliseconds patience{10000};
    };

    // The settings of the environment: ZELMORA_SHARE_QUEUE sets the client
    // queue's capacity.
    static Settings FromEnvironment(std::string program);

    CShareHub(UsbDriver& driver, Settings settings);
    CShareHub(const CShareHub&) = delete;
    CShareHub& operator=(const CShareHub&) = delete;
    // Every source it gave out must be gone.
    ~CShareHub() override;

    std::shared_ptr<MeterSource> Open(const std::string& meterId, int periodMs,
                                      std::string& problem) override;

    // Who owns a meter: this process, or another one (its pid and program);
    // none when no process does.
    struct Owner {
        std::int64_t pid = 0;
        std::string program;
    };
    std::optional<Owner> OwnerOf(const std::string& meterId);

    // The meters served on this user's endpoints of this scope, as their
    // owners' first messages name them (a scan sends these no request).
    std::vector<MeterIdentity> MetersOwnedElsewhere() override;

private:
    friend class CSharedMeter;
    // What holds a meter's readings for a CSharedMeter: the poller, its
    // server and lock where this process owns the meter; the attachment
    // otherwise.
    struct Held;
    std::unique_ptr<Held> Acquire(const std::string& meterId, int periodMs, std::string& problem);

    const Settings m_settings;
    LocalMeterSources m_local;
    asio::io_context m_loop;
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    // The connections of the clients of the meters owned here.
    std::unique_ptr<CShareService> m_service;
    // The connections to the owners of the meters attached here.
    std::unique_ptr<CShareLinks> m_links;
    std::thread m_loopThread;
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::weak_ptr<CSharedMeter>>> m_meters;
};

} // namespace zelmora
