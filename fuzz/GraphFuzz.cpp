// Drives the graph with any sequence of samples, settings and drawings, as
// the window, the limits dialog and a misbehaving meter could: nothing may
// read outside the arrays, overflow, convert an unmappable double or hang,
// and every drawn line stays within reach of the surface.

#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_position >= m_size; }

    std::uint8_t Byte() { return m_position < m_size ? m_data[m_position++] : 0; }

    template <typename T>
    T Value() {
        T value{};
        std::uint8_t bytes[sizeof(T)] = {};
        for (auto& b : bytes) {
            b = Byte();
        }
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh graph per input, so that a finding replays on its own.
    zelmora::CImageDisplay display;
    zelmora::CImageDisplay* const graph = &display;
    graph->SetDisplaySize(300, 200);
    // Once the arrays are full every sample moves 320 kB; a budget keeps
    // one input fast enough to explore many.
    int sampleBudget = 25000;
    zelmora::CRecordingCanvas canvas;

    Input input(data, size);
    int operations = 0;
    while (!input.Empty() && operations++ < 4000) {
        switch (input.Byte() % 12) {
        case 0:
        case 1:
        case 2:
            graph->AddSample(input.Value<double>());
            break;
        case 3: {
            // Bursts of small values reach the full arrays quickly.
            const int count = std::min<int>(input.Value<std::uint16_t>() % 20100, sampleBudget);
            sampleBudget -= count;
            const double base = static_cast<double>(input.Value<std::int8_t>());
            for (int i = 0; i < count; ++i) {
                graph->AddSample(base + (i % 7) * 0.25);
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
