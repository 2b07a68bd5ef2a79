// How long the graph takes to draw a window of 200, 2000 and 20000 points,
// and to take a sample and draw again, on the Qt canvas the window uses;
// beside each, the same frame drawn by QCustomPlot as the yardstick, so the
// ratio comes from one run on one machine. The window redraws the graph
// every 40 ms and feeds it every 100 ms on its own thread, so both must
// stay far below that.
//
// After the usual table the program prints our CPU time over the
// yardstick's for each frame (the mean where repetitions are asked for).

#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(ZELMORA_BENCH_QT)
#include "app/QtCanvas.h"

#include <QApplication>
#include <QImage>
#include <qcustomplot.h>
#endif

namespace zelmora {
namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 460;
constexpr int kSizes[] = {200, 2000, 20000};

// A noisy signal of about 1 mW with 5 % noise: in autoscale, with the
// graph's least span of 0.001, the curve fills about 40 % of the plot's
// height, and every segment spans a good part of that.
class NoisySignal {
public:
    double Next() { return m_noise(m_random); }

private:
    std::mt19937 m_random{42};
    std::normal_distribution<double> m_noise{0.001, 0.00005};
};

// A window of `points` points in autoscale, fed 100 samples past the
// window (and, at 20000, past the arrays' end, so every further sample
// moves them).
struct FullGraph {
    explicit FullGraph(int points) : graph(std::make_unique<CImageDisplay>()) {
        graph->SetDisplaySize(kWidth, kHeight);
        graph->SetSampleWindow(points);
        for (int i = 0; i < points + 100; ++i) {
            graph->AddSample(signal.Next());
        }
    }

    NoisySignal signal;
    std::unique_ptr<CImageDisplay> graph;
};

void BM_DrawRecording(benchmark::State& state) {
    FullGraph full(static_cast<int>(state.range(0)));
    CRecordingCanvas canvas;
    for (auto _ : state) {
        canvas.Clear();
        full.graph->Draw(canvas);
        benchmark::DoNotOptimize(canvas.Calls().data());
    }
    state.counters["calls"] = static_cast<double>(canvas.Calls().size());
}
BENCHMARK(BM_DrawRecording)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_AddSampleWhenFull(benchmark::State& state) {
    FullGraph full(20000);
    double value = 0.001;
    for (auto _ : state) {
        full.graph->AddSample(value);
        value = value > 0.0011 ? 0.0009 : value + 0.000001;
    }
}
BENCHMARK(BM_AddSampleWhenFull)->Unit(benchmark::kMicrosecond);

#if defined(ZELMORA_BENCH_QT)

// As the window does it: the surface of the last frame made black again
// and drawn completely.
void DrawOurs(CImageDisplay& graph, QImage& image) {
    image.fill(Qt::black);
    {
        CQtCanvas canvas(image);
        graph.Draw(canvas);
    }
    benchmark::DoNotOptimize(image.constBits());
}

void BM_FullDrawOurs(benchmark::State& state) {
    FullGraph full(static_cast<int>(state.range(0)));
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    for (auto _ : state) {
        DrawOurs(*full.graph, image);
    }
}

void BM_AppendDrawOurs(benchmark::State& state) {
    FullGraph full(static_cast<int>(state.range(0)));
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    for (auto _ : state) {
        full.graph->AddSample(full.signal.Next());
        DrawOurs(*full.graph, image);
    }
}

// The same frame in QCustomPlot: the same surface size, plot rectangle,
// colours, label font, data and limits; no grid and no tick marks, as in
// ours; antialiasing off, adaptive sampling on. A frame is a replot: the
// plot's layers drawn into its buffers. That is less than our frame, which
// also fills a fresh surface: the plot's background and the composition of
// its buffers come only with the widget's paint, which is left out here
// (drawn onto an image it about doubles the plot's time).
class CustomPlotFrame {
public:
    explicit CustomPlotFrame(int points) : m_window(points) {
        m_plot.resize(kWidth, kHeight);
        m_plot.setBackground(QBrush(Qt::black));
        m_plot.setAntialiasedElements(QCP::aeNone);
        m_plot.setNotAntialiasedElements(QCP::aeAll);
        m_plot.axisRect()->setAutoMargins(QCP::msNone);
        m_plot.axisRect()->setMargins(QMargins(50, 10, 40, 30));
        FontDescription labelFont;
        labelFont.height = 10;
        labelFont.width = 5;
        labelFont.charSet = 134;
        labelFont.faceName = "宋体";
        for (QCPAxis* axis : {m_plot.xAxis, m_plot.yAxis}) {
            axis->setBasePen(QPen(Qt::red, 0));
            axis->setTickLength(0, 0);
            axis->setSubTicks(false);
            axis->setTickLabelColor(Qt::white);
            axis->setTickLabelFont(CQtCanvas::ToQFont(labelFont));
            axis->grid()->setVisible(false);
        }
        m_graph = m_plot.addGraph();
        m_graph->setPen(QPen(Qt::green, 0));
        m_graph->setAntialiased(false);
        m_graph->setAdaptiveSampling(true);

        // The points our graph shows: sample numbers and the same signal.
        NoisySignal signal;
        for (int i = 0; i < points + 100; ++i) {
            m_graph->addData(i, signal.Next());
        }
        m_signal = signal;
        m_next = points + 100;
        Scroll();
    }

    void Append() {
        m_graph->addData(m_next, m_signal.Next());
        ++m_next;
        Scroll();
    }

    void Draw() { m_plot.replot(QCustomPlot::rpImmediateRefresh); }

private:
    // The last `m_window` + 1 points in view, the y range the data's with
    // our graph's least span.
    void Scroll() {
        const double first = m_next - 1 - m_window;
        m_graph->data()->removeBefore(first);
        m_plot.xAxis->setRange(first, m_next - 1);
        bool found = false;
        const QCPRange values = m_graph->getValueRange(found);
        m_plot.yAxis->setRange(values.lower, std::max(values.upper, values.lower + 0.001));
    }

    QCustomPlot m_plot;
    QCPGraph* m_graph = nullptr;
    NoisySignal m_signal;
    int m_window = 0;
    int m_next = 0;
};

void BM_FullDrawQCustomPlot(benchmark::State& state) {
    CustomPlotFrame frame(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        frame.Draw();
    }
}

void BM_AppendDrawQCustomPlot(benchmark::State& state) {
    CustomPlotFrame frame(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        frame.Append();
        frame.Draw();
    }
}

// Ours and the yardstick's side by side, size by size.
void RegisterFrames() {
    const struct {
        const char* name;
        void (*ours)(benchmark::State&);
        void (*yardstick)(benchmark::State&);
    } kinds[] = {
        {"FullDraw", BM_FullDrawOurs, BM_FullDrawQCustomPlot},
        {"AppendDraw", BM_AppendDrawOurs, BM_AppendDrawQCustomPlot},
    };
    for (const auto& kind : kinds) {
        for (const int size : kSizes) {
            benchmark::RegisterBenchmark((std::string(kind.name) + "/Ours").c_str(), kind.ours)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((std::string(kind.name) + "/QCustomPlot").c_str(),
                                         kind.yardstick)
                ->Arg(size)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

// Prints the usual table, then ours over the yardstick's CPU time for each
// frame and size.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool plain = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            if (plain || mean) {
                m_cpuMs[run.run_name.str()] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        bool header = false;
        for (const char* kind : {"FullDraw", "AppendDraw"}) {
            for (const int size : kSizes) {
                const std::string suffix = "/" + std::to_string(size);
                const auto ours = m_cpuMs.find(std::string(kind) + "/Ours" + suffix);
                const auto yardstick = m_cpuMs.find(std::string(kind) + "/QCustomPlot" + suffix);
                if (ours == m_cpuMs.end() || yardstick == m_cpuMs.end()) {
                    continue;
                }
                if (!header) {
                    std::printf("\n%-12s %7s %12s %15s %7s\n", "frame", "points", "ours (ms)",
                                "QCustomPlot (ms)", "ratio");
                    header = true;
                }
                std::printf("%-12s %7d %12.4f %15.4f %7.2f\n", kind, size, ours->second,
                            yardstick->second, ours->second / yardstick->second);
            }
        }
    }

private:
    std::map<std::string, double> m_cpuMs;
};

#endif

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
#if defined(ZELMORA_BENCH_QT)
    // Fonts and the yardstick's widget need an application, but nothing is
    // shown.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    zelmora::RegisterFrames();
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
#if defined(ZELMORA_BENCH_QT)
    zelmora::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
#else
    benchmark::RunSpecifiedBenchmarks();
#endif
    benchmark::Shutdown();
    return 0;
}
