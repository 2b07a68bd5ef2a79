#pragma once

// The owner's side of a shared meter: listens on the meter's endpoint and
// serves its readings to every process that attaches.
//
// Each client has a queue of its own, bounded (minutes of samples at the
// poll period): a client that stops reading costs only itself. When its
// queue is full the oldest waiting sample makes room and the client is told
// how many it lost, in a "lost" message before the next sample it gets.
//
// The connections belong to the process's CShareService, not to one meter:
// a client that watches several meters of this process asks for them on
// one connection, and the samples of one period leave in one write (the
// pollers of one period run in step). That write, and the client's wake-up,
// is what serving costs; one per meter would cost as many times more.
//
// Threads. The sockets live on the hub's event loop thread; readings arrive
// on the poll's thread and are encoded there once, then posted to the loop.
// The server is made and destroyed on any thread but the loop's.

#include "meter/MeterSource.h"

#include <asio/io_context.hpp>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

namespace zelmora {

class COwnerServer;

// The connections of the clients of every meter this process serves, on
// the event loop's thread. Made before the servers and destroyed after
// them, both off the loop's thread.
class CShareService {
public:
    explicit CShareService(asio::io_context& loop);
    CShareService(const CShareService&) = delete;
    CShareService& operator=(const CShareService&) = delete;
    ~CShareService();

    asio::io_context& Loop() { return m_loop; }

private:
    friend class COwnerServer;
    struct Impl;
    asio::io_context& m_loop;
    std::unique_ptr<Impl> m_impl;
};

class COwnerServer final : private ReadingListener {
public:
    struct Settings {
        std::string meterId;
        // The owner's program, as the clients and `list` are told.
        std::string program;
        // The driver's path of the meter's device.
        std::string devicePath;
        // Samples one client's queue holds.
        std::size_t queueCapacity = 3000;
    };

    // Serves `source` on a new endpoint at `endpointPath` (a file left there
    // is removed first: the caller holds the meter's lock). None, with the
    // reason, when the endpoint cannot be made.
    static std::unique_ptr<COwnerServer> Start(CShareService& service,
                                               std::shared_ptr<MeterSource> source,
                                               const std::string& endpointPath, Settings settings,
                                               std::string& problem);
    COwnerServer(const COwnerServer&) = delete;
    COwnerServer& operator=(const COwnerServer&) = delete;
    // Tells every client that the owner stops (so that one of them takes the
    // meter over), closes the endpoint and removes its file.
    ~COwnerServer() override;

    // Clients that watch the readings now.
    std::size_t WatchingClients() const { return m_nWatching.load(); }

    // Changes the source's poll period unless a client watches at the
    // current one: the period each client was told stays true. Decided on
    // the loop's thread, where watches are served, so that no watch slips
    // in between the check and the change.
    bool SetPollPeriod(int periodMs, std::string& problem);

private:
    friend struct CShareService::Impl;
    class Acceptor;

    COwnerServer(CShareService& service, std::shared_ptr<MeterSource> source, Settings settings,
                 std::string endpointPath);

    bool WantsReading() override;
    void OnReading(const MeterReading& reading) override;
    void OnReadingsLost(std::uint64_t count) override;
    void OnGap(bool resumed) override;
    void OnClosed() override;

    // On the loop's thread.
    void Accept();

    CShareService& m_service;
    asio::io_context& m_loop;
    // Names this server in the connections' records, which may outlive it.
    const std::uint64_t m_nSerial;
    const std::shared_ptr<MeterSource> m_source;
    const Settings m_settings;
    const std::string m_endpointPath;
    std::unique_ptr<Acceptor> m_acceptor;
    std::atomic<std::size_t> m_nWatching{0};
    // On the loop's thread: the ends told and not yet sent whole, and the
    // destructor's promise, fulfilled once that count is back at 0.
    std::size_t m_nEndsUnsent = 0;
    std::promise<void>* m_pDrained = nullptr;
    bool m_bEnded = false;
    // The probe, for the conversion of the readings sent.
    std::string m_strProbeFamily;
    std::string m_strProbeModel;
};

} // namespace zelmora
