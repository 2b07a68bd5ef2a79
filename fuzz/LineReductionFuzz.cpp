// Differential: the column reducer against painting every line on its own
// with the rule, on two surfaces. The input is either a stream of lines
// (any coordinates, pen changes, other paint in between) or a signal and
// layout that the graph draws; the two surfaces must end up equal, pixel
// for pixel.

#include "FuzzInput.h"
#include "graph/ImageDisplay.h"
#include "support/TwoWayLines.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using zelmora::TwoWayLines;
using zelmora::fuzz::Input;

// A coordinate near a surface of `size` pixels most of the time, anywhere
// in the int range sometimes.
int Coordinate(Input& input, int size) {
    const std::uint8_t kind = input.Byte();
    if (kind < 16) {
        return input.Value<std::int32_t>();
    }
    if (kind < 48) {
        return input.Value<std::int16_t>();
    }
    return static_cast<int>(input.Byte()) * (size + 2) / 256 - 1;
}

void Lines(Input& input, TwoWayLines& lines, int width, int height) {
    lines.SetPixel(0xFF00FF00);
    // Lines go in batches, as a canvas hands them on.
    std::vector<zelmora::LineSegment> batch;
    const auto flush = [&] {
        lines.Lines(batch);
        batch.clear();
    };
    int x = Coordinate(input, width);
    int y = Coordinate(input, height);
    for (int step = 0; step < 4000 && !input.Empty(); ++step) {
        const std::uint8_t op = input.Byte();
        if (op < 8) {
            flush();
            lines.SetPixel((op & 1) != 0 ? 0xFFFF0000 : 0xFF00FF00);
        } else if (op < 16) {
            flush();
            lines.Block(Coordinate(input, width), Coordinate(input, height), input.Byte() % 16,
                        input.Byte() % 16, 0xFFFFFFFF);
        } else if (op < 24) {
            flush();
        } else if (op < 128) {
            // A dense curve: on by at most a column, anywhere in height.
            const int nextX = x == INT_MAX ? x : x + (op & 1);
            const int nextY = Coordinate(input, height);
            batch.push_back({x, y, nextX, nextY});
            x = nextX;
            y = nextY;
        } else {
            const int nextX = Coordinate(input, width);
            const int nextY = Coordinate(input, height);
            if (op < 192) {
                batch.push_back({x, y, nextX, nextY});
            }
            x = nextX;
            y = nextY;
        }
    }
    flush();
}

void Graph(Input& input, TwoWayLines& lines, int width, int height) {
    zelmora::CImageDisplay graph;
    graph.SetDisplaySize(width, height);
    // Up to a few dozen points per column of a plot of at most 106; each
    // sample rescans the window, so both stay modest.
    graph.SetSampleWindow(1 + input.Value<std::uint16_t>() % 1200);
    // Values from the input, a few repeated: flat runs, steps, spikes.
    const int count = input.Value<std::uint16_t>() % 1300;
    double value = 0.0;
    for (int i = 0; i < count && !input.Empty(); ++i) {
        const std::uint8_t kind = input.Byte();
        if (kind < 64) {
            const double read = input.Value<double>();
            value = std::isnan(read) ? 0.0 : read;
        } else if (kind < 192) {
            value += static_cast<double>(static_cast<std::int8_t>(input.Byte())) * 1e-5;
        }
        graph.AddSample(value);
    }
    if ((input.Byte() & 1) != 0) {
        graph.SetAutoscale(false);
        graph.SetLimits(input.Value<std::int16_t>(), input.Value<std::int16_t>(),
                        input.Value<float>(), input.Value<float>());
    }
    zelmora::TwoWayCanvas canvas(lines);
    graph.Draw(canvas);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const std::uint8_t mode = input.Byte();
    const int width = 1 + input.Byte() % 96;
    const int height = 1 + input.Byte() % 96;
    TwoWayLines lines((mode & 1) != 0 ? width + 100 : width, height);
    if ((mode & 1) != 0) {
        // The graph lays out 50 pixels left and 40 right of its plot.
        Graph(input, lines, width + 100, height);
    } else {
        Lines(input, lines, width, height);
    }
    if (lines.FirstDifference()) {
        std::abort();
    }
    return 0;
}
