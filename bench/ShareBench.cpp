// What serving a shared meter costs its owner, and how late a sample
// reaches the processes attached to it. The owner (this process) polls three
// simulated meters every 100 ms and serves them to N clients in a second
// process, each client attached to all three meters; the owner's own CPU
// time (getrusage, its threads only) over a few seconds of wall time gives
// its share of a core. The clients stamp each sample as it arrives: the
// time from the owner's reading (the monotonic clock, the same across
// processes) to its arrival gives the latency's median and 99th percentile.
// The window opens once every client is attached, so that neither figure
// holds the attaching. N = 0 is the owner polling alone, the yardstick.
//
// The clients are one process playing 100 programs with three meters each:
// each program has its own connection to the owner, carrying its three
// meters, and a reading thread for it, on the same two cores as the owner,
// so the latency holds their scheduling as a user's would.
//
// BM_BareSends is the floor under the owner's figure: the same number of
// connections and lines a second, each line one send() to a thread blocked
// in read() in another process, without the server around it; "joined" is
// the floor of one connection a client carrying all three meters.

#include "frontend/MeterDriver.h"
#include "meter/DeviceLink.h"
#include "share/AttachedMeter.h"
#include "share/ShareEndpoint.h"
#include "share/ShareHub.h"
#include "share/ShareProtocol.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelmora {
namespace {

using std::chrono::steady_clock;

constexpr int kMeters = 3;
constexpr int kPeriodMs = 100;
// The measured window, after every client has attached.
constexpr std::chrono::seconds kWindow(4);
// How long the owner waits for its clients to attach.
constexpr int kAttachLimitMs = 60000;

class LatencyListener final : public ReadingListener {
public:
    bool WantsReading() override { return true; }
    void OnReading(const MeterReading& reading) override {
        const auto late = steady_clock::now() - reading.monotonicTime;
        std::lock_guard lock(m_mutex);
        m_latencies.push_back(std::chrono::duration<double, std::micro>(late).count());
    }
    void OnReadingsLost(std::uint64_t) override {}
    void OnGap(bool) override {}
    void OnClosed() override {}
    std::vector<double> Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_latencies, {});
    }

private:
    std::mutex m_mutex;
    std::vector<double> m_latencies;
};

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool WaitReadable(int fd, int limitMs) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, limitMs) == 1;
}

// The clients' process: attaches, says so on `out`, collects for the
// window, writes the median and p99 (microseconds) and the sample count to
// `out`.
[[noreturn]] void RunClients(int clients, int go, int out) {
    char byte = 0;
    (void)::read(go, &byte, 1);
    // Each client program has its connections of its own: one to the
    // owner, carrying its three meters.
    std::vector<std::unique_ptr<CShareLinks>> programs;
    std::vector<std::unique_ptr<CAttachedMeter>> attached;
    std::vector<std::unique_ptr<LatencyListener>> listeners;
    for (int c = 0; c < clients; ++c) {
        programs.push_back(std::make_unique<CShareLinks>());
        for (int m = 0; m < kMeters; ++m) {
            const std::string id = Format("%09d", 210400101 + m);
            std::string problem;
            const auto names = NamesOfMeter(id, problem);
            CAttachedMeter::Outcome outcome{};
            auto meter = names ? CAttachedMeter::Attach(*programs.back(), names->endpointPath, id,
                                                        kPeriodMs, outcome, problem)
                               : nullptr;
            if (!meter) {
                ::_exit(2);
            }
            listeners.push_back(std::make_unique<LatencyListener>());
            meter->Join(*listeners.back());
            attached.push_back(std::move(meter));
        }
    }
    // What arrived while the others attached is not measured.
    for (auto& listener : listeners) {
        (void)listener->Take();
    }
    (void)::write(out, "a", 1);
    std::this_thread::sleep_for(kWindow);
    std::vector<double> all;
    for (auto& listener : listeners) {
        const std::vector<double> some = listener->Take();
        all.insert(all.end(), some.begin(), some.end());
    }
    attached.clear();
    std::sort(all.begin(), all.end());
    double result[3] = {0, 0, static_cast<double>(all.size())};
    if (!all.empty()) {
        result[0] = all[all.size() / 2];
        result[1] = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    (void)::write(out, result, sizeof(result));
    ::_exit(0);
}

void BM_OwnerServingClients(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    ::setenv("ZELMORA_SHARE_SCOPE", Format("bench-%d-%d", ::getpid(), clients).c_str(), 1);
    for (auto _ : state) {
        int go[2];
        int results[2];
        if (::pipe(go) != 0 || ::pipe(results) != 0) {
            state.SkipWithError("no pipe");
            return;
        }
        // Forked before any thread of this process starts.
        const pid_t child = clients > 0 ? ::fork() : 0;
        if (clients > 0 && child == 0) {
            RunClients(clients, go[0], results[1]);
        }
        double cpu = 0;
        double wall = 0;
        {
            VirtualUsbDriver driver;
            PlugSimulatedMeters(driver, kMeters);
            CShareHub::Settings settings;
            settings.program = "bench_share";
            auto hub = std::make_shared<CShareHub>(driver, settings);
            std::vector<std::unique_ptr<CDeviceLink>> links;
            for (int m = 0; m < kMeters; ++m) {
                links.push_back(
                    std::make_unique<CDeviceLink>(driver, CDeviceLink::TestTuning{}, hub));
                links.back()->SetPollPeriod(kPeriodMs);
                links.back()->Start(Format("%09d", 210400101 + m));
            }
            (void)::write(go[1], "g", 1);
            char attached = 0;
            if (clients > 0 && (!WaitReadable(results[0], kAttachLimitMs) ||
                                ::read(results[0], &attached, 1) != 1)) {
                state.SkipWithError("the clients did not attach");
            }
            const double cpuBefore = CpuSeconds();
            const auto wallBefore = steady_clock::now();
            std::this_thread::sleep_for(kWindow);
            cpu = CpuSeconds() - cpuBefore;
            wall = std::chrono::duration<double>(steady_clock::now() - wallBefore).count();
            for (auto& link : links) {
                (void)link->TakeSamples();
            }
            double result[3] = {0, 0, 0};
            if (clients > 0) {
                if (attached == 'a') {
                    (void)::read(results[0], result, sizeof(result));
                }
                int status = 0;
                ::waitpid(child, &status, 0);
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                    state.SkipWithError("the clients did not attach");
                }
            }
            state.counters["owner_cpu_percent"] = 100 * cpu / wall;
            state.counters["latency_median_us"] = result[0];
            state.counters["latency_p99_us"] = result[1];
            state.counters["samples_received"] = result[2];
            links.clear();
        }
        for (const int fd : {go[0], go[1], results[0], results[1]}) {
            ::close(fd);
        }
    }
}
BENCHMARK(BM_OwnerServingClients)
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// A line as long as a sample's.
std::string SampleLine() {
    ShareMessage message;
    message.kind = ShareMessage::Kind::Sample;
    message.reading.sequence = 123456;
    message.reading.wavelength = 1064;
    message.reading.reading = 12345;
    message.reading.range = 3;
    message.reading.utcTime = std::chrono::system_clock::now();
    message.reading.monotonicTime = steady_clock::now();
    message.power = 0.123456;
    message.unit = "W";
    message.status = "ok";
    return EncodeMessage(message);
}

void BM_BareSends(benchmark::State& state) {
    // Joined: what the floor would be if a client had one connection for
    // all three meters and the owner polled them together, writing their
    // three lines in one send a period.
    const bool joined = state.range(1) != 0;
    const int connections = (joined ? 1 : kMeters) * static_cast<int>(state.range(0));
    const std::string line = SampleLine();
    const std::string threeLines = line + line + line;
    for (auto _ : state) {
        std::vector<int> ours;
        std::vector<int> theirs;
        for (int c = 0; c < connections; ++c) {
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                state.SkipWithError("no socket pair");
                return;
            }
            ours.push_back(pair[0]);
            theirs.push_back(pair[1]);
        }
        const pid_t child = ::fork();
        if (child == 0) {
            for (const int fd : ours) {
                ::close(fd);
            }
            std::vector<std::thread> readers;
            for (const int fd : theirs) {
                readers.emplace_back([fd] {
                    char buffer[4096];
                    while (::read(fd, buffer, sizeof(buffer)) > 0) {
                    }
                });
            }
            for (auto& reader : readers) {
                reader.join();
            }
            ::_exit(0);
        }
        for (const int fd : theirs) {
            ::close(fd);
        }
        // The readers start; then every meter's period brings one line to
        // each of its connections, the meters a third of a period apart.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpuBefore = CpuSeconds();
        const auto wallBefore = steady_clock::now();
        auto next = wallBefore;
        std::uint64_t sent = 0;
        for (int meter = 0; steady_clock::now() - wallBefore < kWindow;
             meter = (meter + 1) % kMeters) {
            next += std::chrono::milliseconds(kPeriodMs / kMeters);
            std::this_thread::sleep_until(next);
            if (joined) {
                if (meter != 0) {
                    continue;
                }
                for (const int fd : ours) {
                    sent += ::send(fd, threeLines.data(), threeLines.size(),
                                   MSG_DONTWAIT | MSG_NOSIGNAL) ==
                                    static_cast<ssize_t>(threeLines.size())
                                ? kMeters
                                : 0;
                }
                continue;
            }
            for (int c = meter; c < connections; c += kMeters) {
                sent += ::send(ours[static_cast<std::size_t>(c)], line.data(), line.size(),
                               MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
            }
        }
        const double cpu = CpuSeconds() - cpuBefore;
        const double wall = std::chrono::duration<double>(steady_clock::now() - wallBefore).count();
        for (const int fd : ours) {
            ::close(fd);
        }
        ::waitpid(child, nullptr, 0);
        state.counters["sender_cpu_percent"] = 100 * cpu / wall;
        state.counters["lines_per_second"] = static_cast<double>(sent) / wall;
        state.counters["cpu_us_per_line"] = sent > 0 ? 1e6 * cpu / static_cast<double>(sent) : 0;
    }
}
BENCHMARK(BM_BareSends)
    ->ArgNames({"clients", "joined"})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();
