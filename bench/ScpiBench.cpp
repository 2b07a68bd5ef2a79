// Queries per second through the SCPI server: FETCh? (answered from the
// running mean at once) and MEAS:POW? (which waits for a new sample, so
// the poll period bounds it), on one connection and on 20 at once, each
// connection a client thread of its own on loopback.

#include "frontend/MeterDriver.h"
#include "meter/DeviceLink.h"
#include "scpi/ScpiServer.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zelmora {
namespace {

// One served simulated meter for the whole program.
class Served {
public:
    Served() {
        PlugSimulatedMeters(m_driver, 1);
        m_link.Start("210400101");
        if (!m_link.IsRunning()) {
            std::abort();
        }
        std::string error;
        ScpiMeterInfo info{"210400101", m_link.GetProbeFamily(), m_link.GetProbeModel()};
        if (!m_server.Listen({ScpiEndpoint{0, &m_link, info}}, error)) {
            std::abort();
        }
        m_port = m_server.Ports().front();
        m_loop = std::thread([this] { m_server.Run(); });
    }
    ~Served() {
        m_server.Stop();
        m_loop.join();
        m_link.StopMeter();
    }
    std::uint16_t Port() const { return m_port; }

private:
    VirtualUsbDriver m_driver;
    CDeviceLink m_link{m_driver};
    CScpiServer m_server{ScpiServerSettings{}, nullptr};
    std::uint16_t m_port = 0;
    std::thread m_loop;
};

Served& Server() {
    static Served served;
    return served;
}

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::abort();
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Sends the query and reads its one answer line.
void Ask(int fd, const std::string& query) {
    if (::send(fd, query.data(), query.size(), 0) != static_cast<ssize_t>(query.size())) {
        std::abort();
    }
    char buffer[256];
    while (true) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            std::abort();
        }
        if (buffer[n - 1] == '\n') {
            return;
        }
    }
}

void Query(benchmark::State& state, const std::string& query) {
    const int fd = Connect(Server().Port());
    Ask(fd, "*OPC?\n");
    for (auto _ : state) {
        Ask(fd, query);
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}

void BM_Fetch(benchmark::State& state) {
    Query(state, "FETC?\n");
}
BENCHMARK(BM_Fetch)->Threads(1)->Threads(20)->UseRealTime();

void BM_MeasurePower(benchmark::State& state) {
    Query(state, "MEAS:POW?\n");
}
BENCHMARK(BM_MeasurePower)->Threads(1)->Threads(20)->UseRealTime()->MinTime(3.0);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();
