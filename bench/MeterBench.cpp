// The meter link's two hot paths: one tick end to end (gate, sample request
// through the USB layer and the virtual backend to the simulated meter,
// conversion, statistics, stamp, publish into the queue), and the window's
// consistent copies of the published samples.

#include "meter/DeviceLink.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <benchmark/benchmark.h>

namespace zelmora {
namespace {

// A running link whose timer never fires during a run: the benchmark ticks.
struct RunningLink {
    explicit RunningLink(const SignalModel& signal) {
        meter = std::make_shared<SimulatedMeter>(
            SimulatedMeter::Config{.meterId = "100000001", .probeModel = "KV50", .signal = signal});
        meter->PlugInto(driver);
        link.SetPollPeriod(static_cast<int>(PeriodicTimer::kMaxPeriodMs));
        link.Rescan();
        link.Start("100000001");
    }
    void Tick() { CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(&link), 0, 0); }

    VirtualUsbDriver driver;
    std::shared_ptr<SimulatedMeter> meter;
    CDeviceLink link{driver};
};

void BM_TickEndToEnd(benchmark::State& state) {
    RunningLink running(SignalModel::Constant(0.012).WithNoise(0.01).WithDrift(0.03, 600));
    running.link.SetAverageCount(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        running.Tick();
    }
    if (!running.link.HasNewSample()) {
        state.SkipWithError("no sample was taken");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TickEndToEnd)->Arg(1)->Arg(20000);

// The tick with a window that keeps up: each sample is taken from the queue
// as the refresh takes it. (Above, nobody takes them: the queue fills and
// every tick then drops the oldest.)
void BM_TickAndTakeSamples(benchmark::State& state) {
    RunningLink running(SignalModel::Constant(0.012).WithNoise(0.01));
    benchmark::IterationCount taken = 0;
    for (auto _ : state) {
        running.Tick();
        taken += static_cast<benchmark::IterationCount>(running.link.TakeSamples().size());
    }
    if (taken != state.iterations()) {
        state.SkipWithError("a sample went missing");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TickAndTakeSamples);

// The refresh of a window that was held up: a backlog of samples taken at
// once, per sample.
void BM_TakeBacklog(benchmark::State& state) {
    RunningLink running(SignalModel::Constant(0.012));
    const auto backlog = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < backlog; ++i) {
            running.Tick();
        }
        state.ResumeTiming();
        std::vector<MeterSample> samples = running.link.TakeSamples();
        benchmark::DoNotOptimize(samples);
    }
    state.SetItemsProcessed(state.iterations() * backlog);
}
BENCHMARK(BM_TakeBacklog)->Arg(1)->Arg(6000);

void BM_TakeSample(benchmark::State& state) {
    RunningLink running(SignalModel::Constant(0.012));
    running.Tick();
    for (auto _ : state) {
        MeterSample sample = running.link.TakeSample();
        benchmark::DoNotOptimize(sample);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TakeSample);

// What the window's refresh does without TakeSample: one lock per text.
void BM_ReadAccessorsOneByOne(benchmark::State& state) {
    RunningLink running(SignalModel::Constant(0.012));
    running.Tick();
    CDeviceLink& link = running.link;
    for (auto _ : state) {
        benchmark::DoNotOptimize(link.HasNewSample());
        benchmark::DoNotOptimize(link.TakePowerText());
        benchmark::DoNotOptimize(link.TakePower());
        benchmark::DoNotOptimize(link.GetMinText());
        benchmark::DoNotOptimize(link.GetMaxText());
        benchmark::DoNotOptimize(link.GetMeanText());
        benchmark::DoNotOptimize(link.GetStdDevText());
        benchmark::DoNotOptimize(link.GetStdDevPercentText());
        benchmark::DoNotOptimize(link.GetWavelength());
        benchmark::DoNotOptimize(link.GetDurationText());
        benchmark::DoNotOptimize(link.GetCountText());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadAccessorsOneByOne);

} // namespace
} // namespace zelmora

BENCHMARK_MAIN();
