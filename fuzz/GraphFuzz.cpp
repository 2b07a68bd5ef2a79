// Drives the graph with any sequence of samples, settings and drawings, as
// the window, the limits dialog and a misbehaving meter could: nothing may
// read outside the arrays, overflow, convert an unmappable double or hang,
// and every drawn line stays within reach of the surface.
//
// Inputs are long operation sequences (the fuzz stage lifts libFuzzer's
// length control for this harness), so each input's work is budgeted: a
// sample into full arrays moves both of them, and a drawing of a wide
// window records thousands of lines.

#include "FuzzInput.h"
#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh graph per input, so that a finding replays on its own.
    zelmora::CImageDisplay display;
    zelmora::CImageDisplay* const graph = &display;
    graph->SetDisplaySize(300, 200);
    // Work in points touched: a sample rescans the window for the data
    // limits, and one into full arrays moves both of them. Enough to fill
    // the arrays and run on past them at the default window.
    long work = 6000000;
    int drawBudget = 8;
    zelmora::CRecordingCanvas canvas;
    auto add = [&](double value) {
        long cost = graph->GetSampleWindow() + 1;
        if (graph->GetLastIndex() >= zelmora::CImageDisplay::kCapacity - 1) {
            cost += 2 * zelmora::CImageDisplay::kCapacity;
        }
        if (cost > work) {
            return false;
        }
        work -= cost;
        graph->AddSample(value);
        return true;
    };

    zelmora::fuzz::Input input(data, size);
    int operations = 0;
    while (!input.Empty() && operations++ < 4000) {
        switch (input.Byte() % 12) {
        case 0:
        case 1:
        case 2:
            add(input.Value<double>());
            break;
        case 3: {
            // Bursts of small values reach the full arrays quickly.
            const int count = input.Value<std::uint16_t>() % 20100;
            const double base = static_cast<double>(input.Value<std::int8_t>());
            for (int i = 0; i < count && add(base + (i % 7) * 0.25); ++i) {
            }
            break;
        }
        case 4:
            graph->ClearData();
            break;
        case 5:
            graph->SetSampleWindow(input.Value<std::int32_t>() % 20100);
            break;
        case 6:
            graph->SetCollectionMode(input.Byte() % 3);
            break;
        case 7:
            graph->SetAutoscale((input.Byte() & 1) != 0);
            break;
        case 8: {
            const auto xFrom = input.Value<std::int32_t>();
            const auto xTo = input.Value<std::int32_t>();
            const auto yFrom = input.Value<double>();
            const auto yTo = input.Value<double>();
            graph->SetLimits(xFrom, xTo, yFrom, yTo);
            break;
        }
        case 9:
            graph->UpdateScales();
            break;
        default: {
            if (drawBudget == 0) {
                break;
            }
            --drawBudget;
            canvas.Clear();
            graph->Draw(canvas);
            for (const auto& s : canvas.Segments()) {
                // Lines on a 300-pixel surface: a coordinate far beyond it
                // means a mapping went wrong.
                if (std::abs(s.y0) > 1000 || std::abs(s.y1) > 1000) {
                    std::abort();
                }
            }
            break;
        }
        }
    }
    return 0;
}
