// How long the graph takes to draw a full window, and to take a sample once
// its arrays are full. The window redraws the graph every 40 ms and feeds it
// every 100 ms on its own thread, so both must stay far below that.

#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"

#include <benchmark/benchmark.h>
#include <memory>
#include <random>

#if defined(ZELMORA_BENCH_QT)
#include "app/QtCanvas.h"

#include <QGuiApplication>
#include <QImage>
#endif

namespace zelmora {
namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 460;

// A 20000-point window of a noisy signal (about 1 mW with 5 % noise), in
// autoscale, so every segment spans a good part of the plot's height.
std::unique_ptr<CImageDisplay> FullNoisyGraph() {
    auto graph = std::make_unique<CImageDisplay>();
    graph->SetDisplaySize(kWidth, kHeight);
    graph->SetSampleWindow(20000);
    std::mt19937 random(42);
    std::normal_distribution<double> noise(0.001, 0.00005);
    for (int i = 0; i < 20100; ++i) {
        graph->AddSample(noise(random));
    }
    return graph;
}

void BM_DrawFullWindowRecording(benchmark::State& state) {
    auto graph = FullNoisyGraph();
    CRecordingCanvas canvas;
    for (auto _ : state) {
        canvas.Clear();
        graph->Draw(canvas);
        benchmark::DoNotOptimize(canvas.Calls().data());
    }
    state.counters["calls"] = static_cast<double>(canvas.Calls().size());
}
BENCHMARK(BM_DrawFullWindowRecording)->Unit(benchmark::kMillisecond);

#if defined(ZELMORA_BENCH_QT)
// As the window does it: a fresh black surface each time, drawn completely.
void BM_DrawFullWindowQt(benchmark::State& state) {
    auto graph = FullNoisyGraph();
    for (auto _ : state) {
        QImage image(kWidth, kHeight, QImage::Format_RGB32);
        image.fill(Qt::black);
        {
            CQtCanvas canvas(image);
            graph->Draw(canvas);
        }
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_DrawFullWindowQt)->Unit(benchmark::kMillisecond);
#endif

void BM_AddSampleWhenFull(benchmark::State& state) {
    auto graph = FullNoisyGraph();
    double value = 0.001;
    for (auto _ : state) {
        graph->AddSample(value);
        value = value > 0.0011 ? 0.0009 : value + 0.000001;
    }
}
BENCHMARK(BM_AddSampleWhenFull)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
#if defined(ZELMORA_BENCH_QT)
    // Fonts need a GUI application, but nothing is shown.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
