// The column reducer paints exactly the pixels of painting every line on its
// own: the graph's curves of adversarial signals, and arbitrary lines, are
// drawn both ways and compared pixel by pixel.

#include "graph/ImageDisplay.h"
#include "support/TwoWayLines.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace zelmora {
namespace {

using Signal = std::function<double(int)>;

struct NamedSignal {
    std::string name;
    Signal value;
};

std::vector<NamedSignal> Signals() {
    auto noise = std::make_shared<std::vector<double>>();
    std::mt19937 random(7);
    std::normal_distribution<double> normal(0.001, 0.00005);
    for (int i = 0; i < 20200; ++i) {
        noise->push_back(normal(random));
    }
    return {
        {"noise", [noise](int i) { return (*noise)[static_cast<std::size_t>(i)]; }},
        {"spikes", [](int i) { return i % 97 == 0 ? 5.0 : (i % 89 == 0 ? -3.0 : 1.0); }},
        {"steps", [](int i) { return (i / 37) % 2 == 0 ? 0.2 : 0.7; }},
        {"alternating", [](int i) { return i % 2 == 0 ? 0.0 : 1.0; }},
        {"flat", [](int) { return 0.5; }},
        {"ramp", [](int i) { return i * 1e-4; }},
        {"extremes",
         [](int i) {
             const double values[] = {DBL_MAX, -DBL_MAX, 1e300, -1e300, DBL_MIN, 0.0, 1e-300};
             return values[i % 7];
         }},
        {"huge", [](int i) { return i % 3 == 0 ? 1e15 : -1e15; }},
    };
}

// Draws the graph both ways and expects the same pixels.
void ExpectSamePixels(CImageDisplay& graph, int width, int height, const std::string& what) {
    TwoWayLines lines(width, height);
    TwoWayCanvas canvas(lines);
    graph.Draw(canvas);
    const auto difference = lines.FirstDifference();
    EXPECT_FALSE(difference) << what << ": first differs at " << difference->first << ","
                             << difference->second;
}

TEST(ColumnReducer, DrawsTheGraphsPixelsForEverySignal) {
    struct Layout {
        int width;
        int height;
        int window;
        int samples;
    };
    const Layout layouts[] = {
        {300, 200, 200, 150},      // fewer points than columns
        {300, 200, 2, 3},          // a handful
        {91, 45, 2000, 2100},      // many points on a tiny plot
        {1200, 460, 20000, 20100}, // the full arrays, sliding
        // One point per column, then exactly 50: points fall on column
        // edges.
        {250, 100, 160, 200},
        {290, 100, 10000, 10001},
    };
    for (const auto& signal : Signals()) {
        for (const auto& layout : layouts) {
            CImageDisplay graph;
            graph.SetDisplaySize(layout.width, layout.height);
            graph.SetSampleWindow(layout.window);
            for (int i = 0; i < layout.samples; ++i) {
                graph.AddSample(signal.value(i));
            }
            const std::string what = signal.name + " on " + std::to_string(layout.width) + "x" +
                                     std::to_string(layout.height);
            ExpectSamePixels(graph, layout.width, layout.height, what);
            // A band that cuts the signal: segments are clipped at the
            // plot's top and bottom edges.
            graph.SetAutoscale(false);
            graph.SetLimits(layout.samples - layout.window, layout.samples + 7, 0.0009, 0.98);
            ExpectSamePixels(graph, layout.width, layout.height, what + ", manual limits");
        }
    }
}

// Every line one column over, either way, from and to every row around a
// small surface and at its edges, alone and right after a chain in the
// start's column: the rows where such a line turns to the next column are
// the rule's.
TEST(ColumnReducer, PaintsTheRulesPixelsForLinesToTheNextColumn) {
    constexpr int kWidth = 4;
    constexpr int kHeight = 9;
    for (int x0 = -1; x0 <= kWidth; ++x0) {
        for (const int dx : {-1, 1}) {
            for (int y0 = -3; y0 <= kHeight + 3; ++y0) {
                for (int y1 = -3; y1 <= kHeight + 3; ++y1) {
                    for (const bool chained : {false, true}) {
                        TwoWayLines lines(kWidth, kHeight);
                        lines.SetPixel(0xFF00FF00);
                        std::vector<LineSegment> batch;
                        if (chained) {
                            batch.push_back({x0, kHeight / 2, x0, y0});
                        }
                        batch.push_back({x0, y0, x0 + dx, y1});
                        lines.Lines(batch);
                        const auto difference = lines.FirstDifference();
                        ASSERT_FALSE(difference)
                            << "(" << x0 << "," << y0 << ") to (" << x0 + dx << "," << y1
                            << (chained ? ") after a chain" : ")") << ": first differs at "
                            << difference->first << "," << difference->second;
                    }
                }
            }
        }
    }
}

// Lines as any caller may draw them: around and far beyond the surface, near
// the 27-bit limit, many in few columns, with pen changes and other paint in
// between.
TEST(ColumnReducer, PaintsTheRulesPixelsForArbitraryLines) {
    std::mt19937 random(11);
    const auto pick = [&random](int from, int to) {
        return std::uniform_int_distribution<int>(from, to)(random);
    };
    const int extremes[] = {INT_MIN,    INT_MAX,       (1 << 27) - 1,  1 << 27, -(1 << 27) + 1,
                            -(1 << 27), (1 << 26) + 1, -(1 << 26) - 1, -1,      0};
    for (int round = 0; round < 300; ++round) {
        const int width = pick(1, 70);
        const int height = pick(1, 70);
        TwoWayLines lines(width, height);
        lines.SetPixel(0xFF00FF00);
        const auto coordinate = [&](int size) {
            switch (pick(0, 9)) {
            case 0:
                return extremes[pick(0, 9)];
            case 1:
                return pick(-100000, 100000);
            default:
                return pick(-size, 2 * size);
            }
        };
        // Lines go in batches, as a canvas hands them on, or one by one.
        std::vector<LineSegment> batch;
        const auto flush = [&] {
            lines.Lines(batch);
            batch.clear();
        };
        int x = coordinate(width);
        int y = coordinate(height);
        for (int step = 0; step < 200; ++step) {
            switch (pick(0, 19)) {
            case 0:
                flush();
                lines.SetPixel(pick(0, 1) == 0 ? 0xFF00FF00 : 0xFFFF0000);
                break;
            case 1:
                flush();
                lines.Block(pick(-5, width), pick(-5, height), pick(1, 9), pick(1, 9), 0xFFFFFFFF);
                break;
            case 2:
                x = coordinate(width);
                y = coordinate(height);
                break;
            case 3:
                flush();
                break;
            case 4:
                // A gap in the column: the next line does not start where
                // the last one ended.
                y = pick(-3, height + 3);
                break;
            default: {
                // Mostly a polyline that moves on by at most a column, now
                // and then a line that stays put.
                const int onward = x == INT_MAX ? 0 : pick(-1, 2) / 2;
                const int nextX = pick(0, 3) == 0 ? coordinate(width) : x + onward;
                const int nextY = pick(0, 3) == 0   ? coordinate(height)
                                  : pick(0, 9) == 0 ? y
                                                    : pick(-3, height + 3);
                if (pick(0, 4) == 0) {
                    flush();
                    lines.Line(x, y, nextX, nextY);
                } else {
                    batch.push_back({x, y, nextX, nextY});
                }
                x = nextX;
                y = nextY;
                break;
            }
            }
        }
        flush();
        const auto difference = lines.FirstDifference();
        ASSERT_FALSE(difference) << "round " << round << ": first differs at " << difference->first
                                 << "," << difference->second;
    }
}

} // namespace
} // namespace zelmora
