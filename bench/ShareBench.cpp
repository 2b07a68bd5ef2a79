// What serving a shared meter costs its owner, and how late a sample
// reaches the processes attached to it. The owner (this process) polls three
// simulated meters every 100 ms and serves them to N clients in a second
// process, each client attached to all three meters; the owner's own CPU
// time (getrusage, its threads only) over a few seconds of wall time gives
// its share of a core. The clients stamp each sample as it arrives: the
// time from the owner's reading (the monotonic clock, the same across
// processes) to its arrival gives the latency's median and 99th percentile.
// N = 0 is the owner polling alone, the yardstick.

#include "frontend/MeterDriver.h"
#include "meter/DeviceLink.h"
#include "share/AttachedMeter.h"
#include "share/ShareEndpoint.h"
#include "share/ShareHub.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelmora {
namespace {

using std::chrono::steady_clock;

constexpr int kMeters = 3;
constexpr int kPeriodMs = 100;
constexpr std::chrono::seconds kWindow(5);

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

// The clients' process: attaches, collects for the window, writes the
// median and p99 (microseconds) and the sample count to `out`.
[[noreturn]] void RunClients(int clients, int go, int out) {
    char byte = 0;
    (void)::read(go, &byte, 1);
    std::vector<std::unique_ptr<CAttachedMeter>> attached;
    std::vector<std::unique_ptr<LatencyListener>> listeners;
    for (int c = 0; c < clients; ++c) {
        for (int m = 0; m < kMeters; ++m) {
            const std::string id = Format("%09d", 210400101 + m);
            std::string problem;
            const auto names = NamesOfMeter(id, problem);
            CAttachedMeter::Outcome outcome{};
            auto meter =
                names ? CAttachedMeter::Attach(names->endpointPath, id, kPeriodMs, outcome, problem)
                      : nullptr;
            if (!meter) {
                ::_exit(2);
            }
            listeners.push_back(std::make_unique<LatencyListener>());
            meter->Join(*listeners.back());
            attached.push_back(std::move(meter));
        }
    }
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
            // The clients attach during the first second; the window after.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const double cpuBefore = CpuSeconds();
            const auto wallBefore = steady_clock::now();
            std::this_thread::sleep_for(kWindow - std::chrono::seconds(1));
            cpu = CpuSeconds() - cpuBefore;
            wall = std::chrono::duration<double>(steady_clock::now() - wallBefore).count();
            for (auto& link : links) {
                (void)link->TakeSamples();
            }
            double result[3] = {0, 0, 0};
            if (clients > 0) {
                (void)::read(results[0], result, sizeof(result));
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

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();
