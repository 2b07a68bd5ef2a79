// Points map to the same pixels and flags many at a time as one by one,
// whatever the values and the plot's limits: near every rounding edge, at
// the ends of the int range, and for values that map to nothing.

#include "graph/PointMapping.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

namespace zelmora {
namespace {

void ExpectSameAsOneByOne(const PlotMapping& mapping, const std::vector<double>& xs,
                          const std::vector<double>& ys) {
    const int count = static_cast<int>(xs.size());
    std::vector<int> px(xs.size(), -1);
    std::vector<int> py(xs.size(), -1);
    std::vector<std::uint8_t> flags(xs.size(), 0xFF);
    std::vector<int> expectedX(xs.size(), -2);
    std::vector<int> expectedY(xs.size(), -2);
    std::vector<std::uint8_t> expectedFlags(xs.size(), 0xFE);
    MapPoints(mapping, xs.data(), ys.data(), count, px.data(), py.data(), flags.data());
    MapPointsOneByOne(mapping, xs.data(), ys.data(), count, expectedX.data(), expectedY.data(),
                      expectedFlags.data());
    for (std::size_t i = 0; i < xs.size(); ++i) {
        ASSERT_EQ(px[i], expectedX[i]) << "x " << xs[i] << " (point " << i << ")";
        ASSERT_EQ(py[i], expectedY[i]) << "y " << ys[i] << " (point " << i << ")";
        ASSERT_EQ(flags[i], expectedFlags[i]) << "point " << i;
    }
}

TEST(PointMapping, ManyAtATimeEqualsOneByOne) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.001, 0.00005);
    std::uniform_int_distribution<int> pick(0, 15);
    const double specials[] = {0.0,           -0.0,          inf,   -inf,   nan,        DBL_MAX,
                               -DBL_MAX,      DBL_MIN,       1e300, -1e300, 2147483647, 2147483648,
                               -2147483648.0, -2147483649.0, 0.5,   -0.5};
    // The window's layouts, a manual band, and limits that map far off the
    // surface or not at all.
    const PlotMapping mappings[] = {
        {50, 1110, 100, 20000, 430, 420, 0.00085, 0.00115},
        {50, 250, 7, 3, 170, 160, 0.2, 0.7},
        {50, 1110, 0, 1, 430, 420, 0.001, 0.001 + 1e-15},
        {50, 1110, -2147483648.0, 4294967295.0, 430, 420, -1e300, 1e300},
        {50, 1110, 0, 0, 430, 420, 0.5, 0.5},
    };
    for (const PlotMapping& mapping : mappings) {
        // Odd and even counts: a last point left over is mapped too.
        for (const int count : {0, 1, 2, 257, 4001}) {
            std::vector<double> xs;
            std::vector<double> ys;
            for (int i = 0; i < count; ++i) {
                // Mostly the window's sample numbers and a noisy signal.
                const int kind = pick(random);
                xs.push_back(kind == 0   ? specials[static_cast<std::size_t>(pick(random))]
                             : kind == 3 ? mapping.xFrom + mapping.xSpan * pick(random) / 15.0
                                         : mapping.xFrom + i);
                ys.push_back(kind == 1   ? specials[static_cast<std::size_t>(pick(random))]
                             : kind == 2 ? mapping.yMin +
                                               (mapping.yMax - mapping.yMin) * pick(random) / 15.0
                                         : noise(random));
            }
            ExpectSameAsOneByOne(mapping, xs, ys);
        }
    }
}

} // namespace
} // namespace zelmora
