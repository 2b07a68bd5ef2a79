// The graph's data window and axis scaling: what the operator sees as
// limits and ticks after each kind of feed and setting.

#include "graph/ImageDisplay.h"
#include "graph/RecordingCanvas.h"

#include <climits>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace zelmora {
namespace {

using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Pair;

std::vector<double> Ticks(std::span<const double> ticks) {
    return {ticks.begin(), ticks.end()};
}

std::pair<double, double> XLimits(const CImageDisplay& graph) {
    std::pair<double, double> limits;
    graph.GetXLimits(limits.first, limits.second);
    return limits;
}

std::pair<double, double> YLimits(const CImageDisplay& graph) {
    std::pair<double, double> limits;
    graph.GetYLimits(limits.first, limits.second);
    return limits;
}

// Feeds the values 0, 1, 2, ... so that each point's value is its sample
// number.
void FeedRamp(CImageDisplay& graph, int count) {
    for (int i = 0; i < count; ++i) {
        graph.AddSample(i);
    }
}

std::vector<::testing::Matcher<double>> Near(const std::vector<double>& values) {
    std::vector<::testing::Matcher<double>> matchers;
    for (double v : values) {
        matchers.push_back(DoubleNear(v, 1e-12));
    }
    return matchers;
}

TEST(ImageDisplayScaling, StartsWithTheDefaultWindowAndTicks) {
    CImageDisplay graph;
    EXPECT_EQ(graph.GetSampleWindow(), 200);
    EXPECT_EQ(graph.GetLastIndex(), -1);
    EXPECT_THAT(XLimits(graph), Pair(0.0, 200.0));
    EXPECT_THAT(YLimits(graph), Pair(0.0, 0.001));
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(0, 40, 80, 120, 160, 200));
    EXPECT_EQ(graph.GetXDecimals(), 0);
    EXPECT_THAT(Ticks(graph.GetYTicks()), ElementsAreArray(Near({0, 1e-4, 2e-4, 3e-4, 4e-4, 5e-4,
                                                                 6e-4, 7e-4, 8e-4, 9e-4, 1e-3})));
    EXPECT_EQ(graph.GetYDecimals(), 4);
}

TEST(ImageDisplayScaling, TicksAreWholeMultiplesOfADecimalStep) {
    CImageDisplay graph;
    graph.SetAutoscale(false);

    graph.SetLimits(0, 200, 2.5, 9.3);
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(0, 40, 80, 120, 160, 200));
    EXPECT_THAT(Ticks(graph.GetYTicks()),
                ElementsAreArray(Near({2.7, 3.6, 4.5, 5.4, 6.3, 7.2, 8.1, 9.0})));
    EXPECT_EQ(graph.GetYDecimals(), 1);

    // Limits off the step: the ticks start at the first multiple inside.
    graph.SetLimits(13, 213, 0.0, 0.001);
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(40, 80, 120, 160, 200));

    // A negative lower limit: the first multiple is found upwards from
    // below, whichever way the division truncates.
    graph.SetLimits(-7, 3, -1.0, 1.0);
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(-6, -4, -2, 0, 2));
    EXPECT_THAT(Ticks(graph.GetYTicks()), ElementsAreArray(Near({-1.0, -0.8, -0.6, -0.4, -0.2, 0.0,
                                                                 0.2, 0.4, 0.6, 0.8, 1.0})));
    EXPECT_EQ(graph.GetYDecimals(), 1);
}

TEST(ImageDisplayScaling, AutoscaleFollowsTheDataInTheWindow) {
    CImageDisplay graph;
    for (int i = 0; i < 50; ++i) {
        graph.AddSample(5.0);
    }
    // A flat signal still gets the smallest span.
    EXPECT_THAT(YLimits(graph), Pair(5.0, 5.001));

    CImageDisplay ramp;
    FeedRamp(ramp, 201); // sample numbers 0 to 200 fill the window
    EXPECT_THAT(XLimits(ramp), Pair(0.0, 200.0));
    EXPECT_THAT(YLimits(ramp), Pair(0.0, 200.0));
    ramp.AddSample(201); // scrolls by one; the oldest value leaves the scaling
    EXPECT_THAT(XLimits(ramp), Pair(1.0, 201.0));
    EXPECT_THAT(YLimits(ramp), Pair(1.0, 201.0));
}

TEST(ImageDisplayScaling, FixedCollectionStopsAfterWindowPlusOnePoints) {
    CImageDisplay graph;
    graph.SetSampleWindow(10);
    graph.SetCollectionMode(0);
    graph.UpdateScales();
    FeedRamp(graph, 12);
    EXPECT_EQ(graph.GetLastIndex(), 10);
    EXPECT_THAT(XLimits(graph), Pair(0.0, 10.0));
    EXPECT_THAT(YLimits(graph), Pair(0.0, 10.0)); // the 12th value (11) was dropped

    graph.SetCollectionMode(1);
    EXPECT_EQ(graph.GetLastIndex(), -1);
    graph.SetCollectionMode(7); // unknown mode: kept (continuous), series cleared
    FeedRamp(graph, 30);
    EXPECT_EQ(graph.GetLastIndex(), 29);
}

TEST(ImageDisplayScaling, FullArraysDropTheOldestPointAndKeepCounting) {
    CImageDisplay graph;
    FeedRamp(graph, 20002);
    EXPECT_EQ(graph.GetLastIndex(), 20001);
    EXPECT_THAT(XLimits(graph), Pair(19801.0, 20001.0));
    // The values slid down with their sample numbers.
    EXPECT_THAT(YLimits(graph), Pair(19801.0, 20001.0));
    graph.AddSample(20002);
    EXPECT_EQ(graph.GetLastIndex(), 20002);
    EXPECT_THAT(XLimits(graph), Pair(19802.0, 20002.0));
    EXPECT_THAT(YLimits(graph), Pair(19802.0, 20002.0));

    // The curve ends where the newest joined value is drawn, inside the plot.
    graph.SetDisplaySize(300, 200);
    CRecordingCanvas canvas;
    graph.Draw(canvas);
    const auto curve = canvas.SegmentsOfColor(Rgb(0, 255, 0));
    ASSERT_FALSE(curve.empty());
    for (const auto& s : curve) {
        EXPECT_LE(s.x1, 260);
        EXPECT_GE(s.y1, 10);
        EXPECT_LE(s.y1, 170);
    }
    EXPECT_EQ(curve.back().x1, 258); // sample 20001 of the window 19802 to 20002
}

TEST(ImageDisplayScaling, SampleWindowTakesOneToTwentyThousandPoints) {
    CImageDisplay graph;
    for (int rejected : {0, 20001, -5, INT_MIN}) {
        graph.SetSampleWindow(rejected);
        EXPECT_EQ(graph.GetSampleWindow(), 200) << rejected;
    }
    graph.SetSampleWindow(20000);
    EXPECT_EQ(graph.GetSampleWindow(), 20000);
    EXPECT_THAT(XLimits(graph), Pair(0.0, 20000.0));
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(0, 4000, 8000, 12000, 16000, 20000));

    // With data, a smaller window ends at the newest point, and manual x
    // limits give way to it while manual y limits stay.
    CImageDisplay fed;
    FeedRamp(fed, 500);
    fed.SetAutoscale(false);
    fed.SetLimits(0, 50, -3.0, 3.0);
    fed.SetSampleWindow(100);
    EXPECT_THAT(XLimits(fed), Pair(399.0, 499.0));
    EXPECT_THAT(YLimits(fed), Pair(-3.0, 3.0));
    fed.SetAutoscale(true);
    fed.AddSample(500);
    EXPECT_THAT(XLimits(fed), Pair(400.0, 500.0));
}

TEST(ImageDisplayScaling, ManualLimitsShowOnlyWithAutoscaleOff) {
    CImageDisplay graph;
    graph.SetLimits(100, 10, 2.0, -1.0);
    EXPECT_THAT(XLimits(graph), Pair(0.0, 200.0));
    EXPECT_THAT(YLimits(graph), Pair(0.0, 0.001));

    graph.SetAutoscale(false);
    graph.SetLimits(100, 10, 2.0, -1.0);
    EXPECT_THAT(XLimits(graph), Pair(10.0, 100.0));
    EXPECT_THAT(YLimits(graph), Pair(-1.0, 2.0));
    // New samples do not move manual limits.
    FeedRamp(graph, 20);
    EXPECT_THAT(XLimits(graph), Pair(10.0, 100.0));
    EXPECT_THAT(YLimits(graph), Pair(-1.0, 2.0));

    graph.SetAutoscale(true);
    EXPECT_THAT(XLimits(graph), Pair(0.0, 200.0));
    EXPECT_THAT(YLimits(graph), Pair(0.0, 19.0));
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(0, 40, 80, 120, 160, 200));
}

TEST(ImageDisplayScaling, DrawingBetweenSamplesKeepsTheNewestPointForTheNextOne) {
    CImageDisplay graph;
    graph.SetDisplaySize(300, 200);
    CRecordingCanvas canvas;
    for (int i = 0; i < 300; ++i) {
        graph.AddSample(i);
        graph.Draw(canvas);
        canvas.Clear();
    }
    // Once full, the window ends at the second newest sample.
    EXPECT_THAT(XLimits(graph), Pair(98.0, 298.0));
    EXPECT_THAT(YLimits(graph), Pair(98.0, 298.0));
}

// Limits for which the decade search finds no step, or whose multiples a
// double cannot count, keep the previous ticks; nothing loops or overflows.
TEST(ImageDisplayScaling, LimitsWithoutASoundTickSetKeepThePreviousTicks) {
    CImageDisplay graph;
    graph.SetAutoscale(false);
    graph.SetLimits(0, 200, 0.0, 0.001);
    const auto xBefore = Ticks(graph.GetXTicks());
    const auto yBefore = Ticks(graph.GetYTicks());

    const double huge = std::numeric_limits<double>::max();
    const struct {
        int xFrom, xTo;
        double yFrom, yTo;
    } cases[] = {
        {20000, 20000, 0.0, 0.001}, // empty x range from the limits dialog
        {0, 200, 1.0, 1.0 + 1e-12}, // y span too narrow for a decade
        {0, 200, -1e300, 1e300},    // y span too wide for a decade
        {0, 200, -huge, huge},      // y span beyond a double
        {0, 200, 1e17, 1e17 + 64},  // a step far below the resolution
        {0, 200, 5.0, 5.0},         // empty y range
        {0, 200, -std::numeric_limits<double>::infinity(), 0.0},
    };
    for (const auto& c : cases) {
        graph.SetLimits(c.xFrom, c.xTo, c.yFrom, c.yTo);
        EXPECT_EQ(Ticks(graph.GetXTicks()), xBefore) << c.xFrom << " " << c.xTo;
        EXPECT_EQ(Ticks(graph.GetYTicks()), yBefore) << c.yFrom << " " << c.yTo;
    }

    // The whole int range is a valid x range; its width needs 64 bits.
    graph.SetLimits(INT_MIN, INT_MAX, 0.0, 0.001);
    EXPECT_THAT(Ticks(graph.GetXTicks()), ElementsAre(-1.6e9, -8e8, 0, 8e8, 1.6e9));
}

} // namespace
} // namespace zelmora
