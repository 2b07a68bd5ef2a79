// The meter link's tick with its driver calls traced and without, and what
// a trace costs on disk: the tick only copies the calls' bytes into the
// writer's queue, so the two should stay close. bytes_per_tick is measured
// from a trace of 1000 ticks; MB_per_day is that at one tick every 100 ms.

#include "meter/DeviceLink.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/TracingUsbDriver.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace zelmora {
namespace {

std::string TracePath() {
    return (std::filesystem::temp_directory_path() / "zelmora-bench-trace.jsonl").string();
}

// A running link on one simulated meter whose timer never fires during a
// run: the benchmark ticks. Traced into TracePath() when asked.
struct Link {
    explicit Link(bool traced, std::uint64_t capBytes = TracingUsbDriver::kDefaultCapBytes) {
        auto virtualDriver = std::make_unique<VirtualUsbDriver>();
        meter = std::make_shared<SimulatedMeter>(
            SimulatedMeter::Config{.meterId = "100000001",
                                   .probeModel = "KV50",
                                   .signal = SignalModel::Constant(0.012).WithNoise(0.01)});
        meter->PlugInto(*virtualDriver);
        std::unique_ptr<UsbDriver> inner = std::move(virtualDriver);
        if (traced) {
            TracingUsbDriver::Settings settings;
            settings.path = TracePath();
            settings.header = {"bench", "0", TracePlatform(), "simulated", TraceNow()};
            settings.capBytes = capBytes;
            std::string error;
            tracing = TracingUsbDriver::Create(inner, settings, error).release();
            driver.reset(tracing);
        } else {
            driver = std::move(inner);
        }
        link = std::make_unique<CDeviceLink>(*driver);
        link->SetPollPeriod(static_cast<int>(PeriodicTimer::kMaxPeriodMs));
        link->Rescan();
        link->Start("100000001");
    }
    ~Link() {
        link.reset();
        driver.reset();
    }
    void Tick() {
        CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(link.get()), 0, 0);
    }

    std::shared_ptr<SimulatedMeter> meter;
    std::unique_ptr<UsbDriver> driver;
    TracingUsbDriver* tracing = nullptr;
    std::unique_ptr<CDeviceLink> link;
};

void BM_Tick(benchmark::State& state) {
    const bool traced = state.range(0) != 0;
    std::uint64_t dropped = 0;
    {
        Link link(traced);
        // A long run's queue entries have held requests before: fill both
        // of the writer's turns once, so that the ticks measured are those
        // of a trace that has been on for a while, not its first seconds.
        for (int turn = 0; turn < 2; ++turn) {
            for (int i = 0; i < 1500; ++i) {
                link.Tick();
                benchmark::DoNotOptimize(link.link->TakeSamples());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        for (auto _ : state) {
            link.Tick();
            // The window keeps up, as it does at 100 ms.
            benchmark::DoNotOptimize(link.link->TakeSamples());
        }
        if (!link.link->IsRunning()) {
            state.SkipWithError("the meter stopped");
        }
        dropped = link.tracing ? link.tracing->Dropped() : 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["dropped"] = static_cast<double>(dropped);
    state.SetLabel(traced ? "traced" : "untraced");
}
// 1500 ticks a run: their calls (two each) fit the writer's queue, so none
// is dropped and every tick pays for queueing, as at a real poll period.
BENCHMARK(BM_Tick)->Arg(0)->Arg(1)->Iterations(1500)->Repetitions(30)->ReportAggregatesOnly();

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The two side by side, for the overhead: rounds of 1500 ticks of each link
// in turn (which goes first alternates), so that the machine's ups and
// downs fall on both alike; the overhead is the median of the rounds'
// ratios. Between rounds the writer takes its turn, as it does between the
// ticks of a real poll period.
void BM_TracedOverUntraced(benchmark::State& state) {
    constexpr int kRounds = 30;
    constexpr int kTicks = 1500;
    std::vector<double> untraced;
    std::vector<double> traced;
    std::vector<double> ratios;
    std::uint64_t dropped = 0;
    auto nsPerTick = [](Link& link) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTicks; ++i) {
            link.Tick();
            benchmark::DoNotOptimize(link.link->TakeSamples());
        }
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                   .count() /
               kTicks;
    };
    for (auto _ : state) {
        Link plainLink(false);
        Link tracedLink(true);
        // The first two rounds warm both up and are not counted.
        for (int round = -2; round < kRounds; ++round) {
            double plainNs = 0;
            double tracedNs = 0;
            if (round % 2 == 0) {
                plainNs = nsPerTick(plainLink);
                tracedNs = nsPerTick(tracedLink);
            } else {
                tracedNs = nsPerTick(tracedLink);
                plainNs = nsPerTick(plainLink);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (round >= 0) {
                untraced.push_back(plainNs);
                traced.push_back(tracedNs);
                ratios.push_back(tracedNs / plainNs);
            }
        }
        if (!plainLink.link->IsRunning() || !tracedLink.link->IsRunning()) {
            state.SkipWithError("the meter stopped");
        }
        dropped = tracedLink.tracing->Dropped();
    }
    state.counters["untraced_ns"] = Median(untraced);
    state.counters["traced_ns"] = Median(traced);
    state.counters["overhead_percent"] = 100 * (Median(ratios) - 1);
    state.counters["dropped"] = static_cast<double>(dropped);
}
BENCHMARK(BM_TracedOverUntraced)->Iterations(1)->Unit(benchmark::kMillisecond);

// Disk per tick: a trace of the start-up alone, then one of the start-up
// and 1000 ticks; the difference over 1000.
void BM_TraceBytesPerTick(benchmark::State& state) {
    auto traceSize = [](int ticks) {
        {
            Link link(true);
            for (int i = 0; i < ticks; ++i) {
                link.Tick();
                link.link->TakeSamples();
            }
        }
        return static_cast<double>(std::filesystem::file_size(TracePath()));
    };
    double perTick = 0;
    for (auto _ : state) {
        perTick = (traceSize(1000) - traceSize(0)) / 1000;
    }
    std::filesystem::remove(TracePath());
    state.counters["bytes_per_tick"] = perTick;
    state.counters["MB_per_day_at_100ms"] = perTick * 10 * 86400 / 1e6;
    state.counters["hours_to_50MB_cap"] =
        static_cast<double>(TracingUsbDriver::kDefaultCapBytes) / (perTick * 10 * 3600);
}
BENCHMARK(BM_TraceBytesPerTick)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();
