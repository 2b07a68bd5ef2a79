#pragma once

// The owner's side of a shared meter: listens on the meter's endpoint and
// serves its readings to every process that attaches.
//
// Each client has a queue of its own, bounded (minutes of samples at the
// poll period): a client that stops reading costs only itself. When its
// queue is full the oldest waiting sample makes room and the client is told
// how many it lost, in a "lost" message before the next sample it gets.
//
// Threads. The sockets live on the hub's event loop thread; readings arrive
// on the poll's thread and are encoded there once, then posted to the loop.
// The server is made and destroyed on any thread but the loop's.

#include "meter/MeterSource.h"

#include <asio/io_context.hpp>
#include <atomic>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace zelmora {

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
    static std::unique_ptr<COwnerServer> Start(asio::io_context& loop,
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
    struct Session;
    class Acceptor;

    COwnerServer(asio::io_context& loop, std::shared_ptr<MeterSource> source, Settings settings,
                 std::string endpointPath);

    bool WantsReading() override;
    void OnReading(const MeterReading& reading) override;
    void OnReadingsLost(std::uint64_t count) override;
    void OnGap(bool resumed) override;
    void OnClosed() override;

    // On the loop's thread.
    void Accept();
    void Welcome(const std::shared_ptr<Session>& session);
    void ReadRequest(const std::shared_ptr<Session>& session);
    void HandleRequest(const std::shared_ptr<Session>& session, const std::string& line);
    void WatchForHangUp(const std::shared_ptr<Session>& session);
    void Broadcast(const std::shared_ptr<const std::string>& line);
    void Queue(const std::shared_ptr<Session>& session, std::shared_ptr<const std::string> line);
    void Write(const std::shared_ptr<Session>& session);
    // Sends a last message, then closes that one connection.
    void Refuse(const std::shared_ptr<Session>& session, const std::string& line);
    void Close(const std::shared_ptr<Session>& session);
    // Tells every client `why` after the samples queued for it, and closes
    // each connection once that is sent; no new client is accepted.
    void Shutdown(const std::string& why, const std::string& reason);
    // Closes the connections still sending after the shut-down.
    void CloseAll();

    asio::io_context& m_loop;
    const std::shared_ptr<MeterSource> m_source;
    const Settings m_settings;
    const std::string m_endpointPath;
    std::unique_ptr<Acceptor> m_acceptor;
    // On the loop's thread.
    std::set<std::shared_ptr<Session>> m_sessions;
    std::atomic<std::size_t> m_nWatching{0};
    // Set by the destructor: fulfilled once the last connection is closed
    // after the shut-down.
    std::promise<void>* m_pDrained = nullptr;
    // The probe, for the conversion of the readings sent.
    std::string m_strProbeFamily;
    std::string m_strProbeModel;
};

} // namespace zelmora
