#pragma once

// Meters as SCPI instruments on raw TCP sockets (the LXI/VISA convention,
// TCPIP::host::PORT::SOCKET: LF ends every message both ways), one port per
// meter. One thread runs one event loop that serves every connection; the
// meters' ticks only post a wake-up to it and never wait on a socket.
//
// Each connection is bounded: a line longer than the limit is dropped
// (-363 in its error queue), its reading stops while its answers wait
// unsent beyond the output limit, and a client that takes no answer for
// the stall time is closed. A client that goes away mid-query costs its
// session only.

#include "scpi/ScpiSession.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zelmora {

class CDeviceLink;

struct ScpiServerSettings {
    // The address to listen on; loopback unless told otherwise.
    std::string address = "127.0.0.1";
    // Address prefixes that may connect ("192.168.1.", "10.0.0.7"); every
    // address when empty.
    std::vector<std::string> allow;
    std::size_t maxLineBytes = 64 * 1024;
    std::size_t maxOutputBytes = 1024 * 1024;
    std::chrono::milliseconds stallLimit{10000};
    std::size_t maxClients = 512;
};

struct ScpiEndpoint {
    // 0: a free port (Ports() tells which).
    std::uint16_t port = 0;
    // Started; must outlive the server's Run.
    CDeviceLink* link = nullptr;
    ScpiMeterInfo info;
};

class CScpiServer {
public:
    // `log` receives one line per event worth telling (a refused address,
    // a client closed for not reading), on the loop's thread.
    CScpiServer(ScpiServerSettings settings, std::function<void(const std::string&)> log);
    CScpiServer(const CScpiServer&) = delete;
    CScpiServer& operator=(const CScpiServer&) = delete;
    ~CScpiServer();

    // Binds a port for each endpoint; false with `error` when one cannot be
    // bound (none is kept then).
    bool Listen(std::vector<ScpiEndpoint> endpoints, std::string& error);
    // The ports bound, in the endpoints' order.
    std::vector<std::uint16_t> Ports() const;
    // Serves until Stop; on the calling thread.
    void Run();
    // From any thread: closes every connection and the listening sockets
    // and makes Run return. The links' notifiers are taken back before.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace zelmora
