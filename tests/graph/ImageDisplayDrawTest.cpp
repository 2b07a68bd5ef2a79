// The graph's drawing, checked to the pixel on the recording canvas, and
// the revision that tells a caller when drawing again would repeat itself.

#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"
#include "support/CommaLocale.h"

#include <climits>
#include <clocale>
#include <cmath>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace zelmora {
namespace {

using ::testing::ElementsAre;
using Segment = CRecordingCanvas::Segment;

constexpr ColorRef kRed = Rgb(255, 0, 0);
constexpr ColorRef kGreen = Rgb(0, 255, 0);
constexpr ColorRef kWhite = Rgb(255, 255, 255);

Segment Curve(int x0, int y0, int x1, int y1) {
    return Segment{x0, y0, x1, y1, PenDescription{kGreen, 1}};
}

// A graph laid out on 300 × 200 pixels: the plot spans x 50 to 260 and
// y 10 to 170.
struct Graph300x200 {
    Graph300x200() { graph.SetDisplaySize(300, 200); }

    std::vector<CRecordingCanvas::Text> Labels() {
        canvas.Clear();
        graph.Draw(canvas);
        return canvas.Texts();
    }

    std::vector<Segment> CurveSegments() {
        canvas.Clear();
        graph.Draw(canvas);
        return canvas.SegmentsOfColor(kGreen);
    }

    CImageDisplay graph;
    CRecordingCanvas canvas;
};

const CRecordingCanvas::Text* FindLabel(const std::vector<CRecordingCanvas::Text>& labels,
                                        const std::string& text) {
    for (const auto& label : labels) {
        if (label.text == text) {
            return &label;
        }
    }
    return nullptr;
}

TEST(ImageDisplayDraw, LaysOutAxesAndLabels) {
    Graph300x200 g;
    g.graph.Draw(g.canvas);

    ASSERT_FALSE(g.canvas.Calls().empty());
    EXPECT_EQ(g.canvas.Calls().front().kind, CRecordingCanvas::CallKind::TransparentBackground);
    EXPECT_THAT(g.canvas.SegmentsOfColor(kRed), ElementsAre(Segment{50, 10, 50, 170, {kRed, 1}},
                                                            Segment{50, 170, 260, 170, {kRed, 1}}));

    const auto labels = g.canvas.Texts();
    ASSERT_EQ(labels.size(), 6u + 11u);
    for (const auto& label : labels) {
        EXPECT_EQ(label.color, kWhite);
        EXPECT_EQ(label.font.height, 10);
        EXPECT_EQ(label.font.width, 5);
        EXPECT_EQ(label.font.weight, 400);
        EXPECT_EQ(label.font.charSet, 134);
        EXPECT_EQ(label.font.faceName, "宋体");
    }
    // x labels hang 5 pixels below the axis, shifted left by 3 pixels a
    // character: "0" at the left end, "120" at pixel 176, "200" at the
    // right end.
    const std::vector<std::pair<std::string, int>> xLabels = {
        {"0", 47}, {"40", 86}, {"80", 128}, {"120", 167}, {"160", 209}, {"200", 251}};
    for (std::size_t i = 0; i < xLabels.size(); ++i) {
        EXPECT_EQ(labels[i].text, xLabels[i].first);
        EXPECT_EQ(labels[i].x, xLabels[i].second) << labels[i].text;
        EXPECT_EQ(labels[i].y, 175);
    }
    // y labels end 5 pixels left of the axis, 6 pixels a character, and
    // stand 6 pixels above their tick.
    const auto* bottom = FindLabel(labels, "0.0000");
    const auto* top = FindLabel(labels, "0.0010");
    ASSERT_TRUE(bottom && top);
    EXPECT_EQ(bottom->x, 50 - 36 - 5);
    EXPECT_EQ(bottom->y, 164);
    EXPECT_EQ(top->x, 9);
    EXPECT_EQ(top->y, 4);

    // Four characters: two decimals for a y range of 0.1.
    g.graph.SetAutoscale(false);
    g.graph.SetLimits(0, 200, 0.0, 0.1);
    const auto manual = g.Labels();
    const auto* middle = FindLabel(manual, "0.05");
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->x, 21);
    EXPECT_EQ(middle->y, 84);
}

// On a screen of 144 or 192 pixels per inch the margins, the labels' font
// and their offsets grow with it, so that the text is as large to the eye
// as at 96; the axes stay one pixel wide and the curve spans the pixels.
TEST(ImageDisplayDraw, TheLayoutAndTheTextGrowWithTheScreensDpi) {
    for (const int dpi : {96, 144, 192}) {
        const auto at = [dpi](int length) { return (length * dpi + 48) / 96; };
        CImageDisplay graph;
        graph.SetDisplayDpi(dpi);
        graph.SetDisplaySize(600, 400);
        for (int i = 0; i < 5; ++i) {
            graph.AddSample(0.0002 * i);
        }
        CRecordingCanvas canvas;
        graph.Draw(canvas);
        const int left = at(50);
        const int bottom = 400 - at(30);
        EXPECT_THAT(canvas.SegmentsOfColor(kRed),
                    ElementsAre(Segment{left, at(10), left, bottom, {kRed, 1}},
                                Segment{left, bottom, 600 - at(40), bottom, {kRed, 1}}))
            << dpi;
        const auto labels = canvas.Texts();
        ASSERT_FALSE(labels.empty());
        for (const auto& label : labels) {
            EXPECT_EQ(label.font.height, at(10)) << dpi;
            EXPECT_EQ(label.font.width, at(5)) << dpi;
        }
        const auto* zero = FindLabel(labels, "0");
        ASSERT_TRUE(zero);
        EXPECT_EQ(zero->x, left - at(3)) << dpi;
        EXPECT_EQ(zero->y, bottom + at(5)) << dpi;
        const auto* base = FindLabel(labels, "0.0000");
        ASSERT_TRUE(base);
        EXPECT_EQ(base->x, left - at(6 * 6 + 5)) << dpi;
        EXPECT_EQ(base->y, bottom - at(6)) << dpi;
        for (const Segment& segment : canvas.SegmentsOfColor(kGreen)) {
            EXPECT_GE(std::min(segment.x0, segment.x1), left) << dpi;
            EXPECT_GE(std::max(segment.y0, segment.y1), at(10)) << dpi;
        }
    }

    // Told afterwards, the DPI lays the graph out again and moves the
    // revision, so a host that skips unchanged drawings draws it anew.
    CImageDisplay graph;
    graph.SetDisplaySize(600, 400);
    const std::uint64_t before = graph.GetRevision();
    graph.SetDisplayDpi(192);
    EXPECT_NE(graph.GetRevision(), before);
    CRecordingCanvas canvas;
    graph.Draw(canvas);
    EXPECT_THAT(canvas.SegmentsOfColor(kRed), ElementsAre(Segment{100, 20, 100, 340, {kRed, 1}},
                                                          Segment{100, 340, 520, 340, {kRed, 1}}));
}

TEST(ImageDisplayDraw, LabelsKeepTheDecimalPointInACommaLocale) {
    std::vector<CRecordingCanvas::Text> labels;
    {
        const CommaLocale comma;
        if (!comma.IsActive()) {
            GTEST_SKIP() << "no de_DE.UTF-8 locale";
        }
        Graph300x200 g;
        labels = g.Labels();
    }
    EXPECT_TRUE(FindLabel(labels, "0.0005"));
    for (const auto& label : labels) {
        EXPECT_EQ(label.text.find(','), std::string::npos) << label.text;
    }
}

// Each segment that leaves the band y 0 to 1 is cut where it meets the edge;
// x stays unclipped. Crossings are chosen at binary fractions so that the
// expected pixels are exact.
TEST(ImageDisplayDraw, ClipsSegmentsToTheYBand) {
    Graph300x200 g;
    g.graph.SetAutoscale(false);
    g.graph.SetLimits(0, 10, 0.0, 1.0); // 21 pixels a sample, 160 pixels a unit
    for (double v : {0.5, 1.5, 1.25, -0.75, -0.5, 0.5, 0.25, -0.75, 1.25, 0.0}) {
        g.graph.AddSample(v);
    }
    EXPECT_THAT(g.CurveSegments(), ElementsAre(
                                       // inside, leaving through the top at x 0.5
                                       Curve(50, 90, 60, 10),
                                       // (1.5 to 1.25 stays above: nothing)
                                       // from above to below, crossing the band
                                       Curve(94, 10, 105, 170),
                                       // (-0.75 to -0.5 stays below: nothing)
                                       // entering from below
                                       Curve(144, 170, 155, 90),
                                       // inside
                                       Curve(155, 90, 176, 130),
                                       // leaving through the bottom
                                       Curve(176, 130, 181, 170),
                                       // from below to above, crossing the band
                                       Curve(204, 170, 215, 10)));
}

TEST(ImageDisplayDraw, AutoscaleLeavesTheNewestPointUnjoined) {
    Graph300x200 g;
    EXPECT_TRUE(g.CurveSegments().empty());
    g.graph.AddSample(1.0);
    EXPECT_TRUE(g.CurveSegments().empty()); // one point: nothing to join
    g.graph.AddSample(2.0);
    EXPECT_TRUE(g.CurveSegments().empty()); // the newest is not joined yet
    for (double v : {3.0, 2.0, 1.0}) {
        g.graph.AddSample(v);
    }
    // Points 0 to 3 joined: y 1 to 3 spans 160 pixels; x 1 sample = 1.05 px.
    EXPECT_THAT(g.CurveSegments(),
                ElementsAre(Curve(50, 170, 51, 90), Curve(51, 90, 52, 10), Curve(52, 10, 53, 90)));
}

// After a clear the arrays keep the old values; they must never reach the
// curve or the scaling of the new series.
TEST(ImageDisplayDraw, CurveAndScalingStayWithinTheSeries) {
    Graph300x200 g;
    for (int i = 0; i < 50; ++i) {
        g.graph.AddSample(-100.0);
    }
    g.graph.ClearData();
    g.graph.SetSampleWindow(1);
    g.graph.AddSample(5.0);
    EXPECT_TRUE(g.CurveSegments().empty());
    g.graph.AddSample(7.0);
    double low = 0;
    double high = 0;
    g.graph.GetYLimits(low, high);
    EXPECT_EQ(low, 5.0);
    EXPECT_EQ(high, 7.0);
    for (const auto& s : g.CurveSegments()) {
        EXPECT_GE(s.y0, 10);
        EXPECT_LE(s.y0, 170);
    }

    // Manual limits leave a visible range that a later window change pushes
    // below slot 0; the next append must scan only real slots.
    Graph300x200 manual;
    manual.graph.SetAutoscale(false);
    manual.graph.SetLimits(0, 10, 0.0, 1.0);
    for (int i = 0; i < 500; ++i) {
        manual.graph.AddSample(i);
    }
    manual.canvas.Clear();
    manual.graph.Draw(manual.canvas);
    manual.graph.SetSampleWindow(100);
    manual.graph.AddSample(500);
    manual.graph.SetAutoscale(true);
    manual.graph.GetYLimits(low, high);
    EXPECT_GE(low, 0.0);
    EXPECT_LE(high, 500.0);

    // The largest window over full arrays: the range starts at slot 0, not
    // one before it.
    Graph300x200 widest;
    widest.graph.SetSampleWindow(20000);
    for (int i = 0; i < 20003; ++i) {
        widest.graph.AddSample(i);
    }
    const auto curve = widest.CurveSegments();
    EXPECT_EQ(curve.size(), 19999u);
}

// Limits and values that cannot be mapped to pixels are skipped; everything
// drawn still lands on the surface. Run under the sanitizers, this also
// proves that no out-of-range conversion or overflow happens on the way.
TEST(ImageDisplayDraw, UnmappableRangesAndValuesAreSkipped) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double huge = std::numeric_limits<double>::max();

    const auto onSurface = [](const CRecordingCanvas& canvas) {
        for (const auto& s : canvas.Segments()) {
            for (int x : {s.x0, s.x1}) {
                if (x < 0 || x > 300) {
                    return false;
                }
            }
            for (int y : {s.y0, s.y1}) {
                if (y < 0 || y > 200) {
                    return false;
                }
            }
        }
        for (const auto& t : canvas.Texts()) {
            if (t.x < -100 || t.x > 300 || t.y < -10 || t.y > 200) {
                return false;
            }
        }
        return true;
    };

    // Values the meter link could feed, in autoscale.
    Graph300x200 fed;
    for (double v : {0.0, 1e300, -1e300, 0.0, inf, 1.0, nan, -inf, huge, -huge, 0.5, 0.0}) {
        fed.graph.AddSample(v);
        fed.canvas.Clear();
        fed.graph.Draw(fed.canvas);
        EXPECT_TRUE(onSurface(fed.canvas)) << v;
    }

    // Manual limits the limits dialog can produce, with ordinary data.
    const struct {
        int xFrom, xTo;
        double yFrom, yTo;
    } limits[] = {
        {20000, 20000, 0.0, 1.0}, {0, 200, -1e300, 1e300},  {0, 200, -huge, huge},
        {0, 200, 0.5, 0.5},       {INT_MIN, INT_MAX, 0, 1}, {-5, 5, 0.25, 0.2500001},
        {25000, 20000, 0.0, 1.0},
    };
    for (const auto& l : limits) {
        Graph300x200 g;
        g.graph.SetAutoscale(false);
        for (int i = 0; i < 300; ++i) {
            g.graph.AddSample(0.25 + 0.5 * std::sin(i * 0.1));
        }
        g.graph.SetLimits(l.xFrom, l.xTo, l.yFrom, l.yTo);
        g.graph.Draw(g.canvas);
        EXPECT_TRUE(onSurface(g.canvas)) << l.xFrom << " " << l.xTo << " " << l.yFrom;
        if (l.xFrom == l.xTo) {
            EXPECT_TRUE(g.canvas.SegmentsOfColor(kGreen).empty());
        }
    }
}

// What a drawing put on the surface, in order, for comparing two drawings.
std::vector<std::string> Picture(const CRecordingCanvas& canvas) {
    std::vector<std::string> picture;
    for (const Segment& s : canvas.Segments()) {
        picture.push_back("line " + std::to_string(s.x0) + "," + std::to_string(s.y0) + " " +
                          std::to_string(s.x1) + "," + std::to_string(s.y1) + " " +
                          std::to_string(s.pen.color));
    }
    for (const CRecordingCanvas::Text& t : canvas.Texts()) {
        picture.push_back("text " + std::to_string(t.x) + "," + std::to_string(t.y) + " " + t.text +
                          " " + std::to_string(t.color) + " " + t.font.faceName);
    }
    return picture;
}

// A graph drawn only when its revision moved shows, after every tick, what
// a graph drawn on every tick shows, and ends in the same state: whatever
// the operator and the data did in between. Drawing is not read-only, so
// this also checks that a skipped drawing changes nothing later on.
TEST(ImageDisplayDraw, ADrawingSkippedWhileTheRevisionStandsWouldHaveRepeatedItself) {
    CImageDisplay always;
    CImageDisplay onChange;
    for (CImageDisplay* graph : {&always, &onChange}) {
        graph->SetDisplaySize(300, 200);
    }
    CRecordingCanvas alwaysCanvas;
    CRecordingCanvas shown;
    std::uint64_t drawnRevision = 0;
    bool drawn = false;
    int drawings = 0;
    int idleTicks = 0;

    std::mt19937 random(16);
    const auto uniform = [&](int from, int to) {
        return std::uniform_int_distribution<int>(from, to)(random);
    };
    double level = 1.0;
    for (int step = 0; step < 4000; ++step) {
        // What happens before the next tick, the same to both graphs.
        std::function<void(CImageDisplay&)> change;
        const int what = uniform(0, 99);
        if (what < 35) {
            idleTicks += 1;
        } else if (what < 75) {
            const int count = uniform(1, 30);
            std::vector<double> values;
            for (int i = 0; i < count; ++i) {
                level = uniform(0, 40) == 0 ? uniform(-5, 5) * 1e-3
                                            : level * (0.98 + 0.0005 * uniform(0, 80));
                values.push_back(uniform(0, 60) == 0 ? level * 50 : level);
            }
            change = [values](CImageDisplay& g) {
                for (const double v : values) {
                    g.AddSample(v);
                }
            };
        } else if (what < 80) {
            change = [](CImageDisplay& g) { g.ClearData(); };
        } else if (what < 85) {
            const int points = uniform(0, 9) == 0 ? uniform(1000, 20000) : uniform(1, 300);
            change = [points](CImageDisplay& g) { g.SetSampleWindow(points); };
        } else if (what < 88) {
            const int mode = uniform(0, 1);
            change = [mode](CImageDisplay& g) { g.SetCollectionMode(mode); };
        } else if (what < 94) {
            const bool on = uniform(0, 1) == 1;
            change = [on](CImageDisplay& g) { g.SetAutoscale(on); };
        } else {
            const int xFrom = uniform(-50, 400);
            const int xTo = uniform(-50, 400);
            const double yFrom = uniform(-10, 40) * 0.1;
            const double yTo = uniform(-10, 40) * 0.1;
            change = [=](CImageDisplay& g) { g.SetLimits(xFrom, xTo, yFrom, yTo); };
        }
        if (change) {
            idleTicks = 0;
            change(always);
            change(onChange);
        }

        alwaysCanvas.Clear();
        always.Draw(alwaysCanvas);
        const std::uint64_t revision = onChange.GetRevision();
        if (!drawn || revision != drawnRevision) {
            // A drawing settles: at most one more follows one that moved
            // the limits its labels stood by.
            EXPECT_LE(idleTicks, 1) << "step " << step;
            shown.Clear();
            onChange.Draw(shown);
            drawnRevision = revision;
            drawn = true;
            drawings += 1;
        }
        ASSERT_EQ(Picture(shown), Picture(alwaysCanvas)) << "step " << step;
    }
    EXPECT_LT(drawings, 3000);

    double from = 0;
    double to = 0;
    double otherFrom = 0;
    double otherTo = 0;
    always.GetXLimits(from, to);
    onChange.GetXLimits(otherFrom, otherTo);
    EXPECT_EQ(std::pair(from, to), std::pair(otherFrom, otherTo));
    always.GetYLimits(from, to);
    onChange.GetYLimits(otherFrom, otherTo);
    EXPECT_EQ(std::pair(from, to), std::pair(otherFrom, otherTo));
}

// A clear in autoscale leaves the labels of the old series for one drawing;
// that drawing moves the limits, so the next one is made, and differs.
TEST(ImageDisplayDraw, ADrawingThatMovesTheLabelLimitsMovesTheRevision) {
    Graph300x200 g;
    for (int i = 0; i < 500; ++i) {
        g.graph.AddSample(1.0 + i * 0.01);
    }
    g.graph.Draw(g.canvas);
    const std::uint64_t settled = g.graph.GetRevision();
    g.canvas.Clear();
    g.graph.Draw(g.canvas);
    EXPECT_EQ(g.graph.GetRevision(), settled);

    g.graph.ClearData();
    const std::uint64_t cleared = g.graph.GetRevision();
    EXPECT_NE(cleared, settled);
    const std::vector<CRecordingCanvas::Text> first = g.Labels();
    EXPECT_NE(g.graph.GetRevision(), cleared);
    const std::uint64_t afterFirst = g.graph.GetRevision();
    const std::vector<CRecordingCanvas::Text> second = g.Labels();
    EXPECT_EQ(g.graph.GetRevision(), afterFirst);
    EXPECT_NE(first.size(), second.size());
}

} // namespace
} // namespace zelmora
