#include "sim/ProbeRanges.h"

#include <cmath>
#include <gtest/gtest.h>

namespace zelmora {
namespace {

struct Case {
    const char* model;
    double power;
    unsigned reading;
    unsigned range;
    bool overRange;
};

TEST(ProbeRangesTest, PicksTheMostSensitiveRangeThatHoldsThePower) {
    const Case cases[] = {
        {"KV50", 0.012, 1200, 0, false},
        {"KV50", 0.0299999, 300, 1, false}, // 3000 on range 0 would be over
        {"KV50", 4.0, 4000, 2, false},
        {"RM40", 4.0, 400, 3, false}, // "RM" range 2 ends at 3 W
        {"RM40", 40.0, 400, 4, false},
        {"RM41", 40.0, 400, 5, false}, // the fine range 4 ends at 30 W
        {"RM41", 25.0, 2500, 4, false},
        {"ZN62", 25.0, 2500, 4, false}, // reads out as an RM43
        {"KV3A", 0.012, 1200, 0, false},
        {"RM40", 700.0, 700, 6, false}, // 700 W itself is in range
        {"RM40", 700.6, 701, 6, true},
        {"RM40", 5000.0, 5000, 6, true},
        {"RM40", 1e9, 65535, 6, true},
        {"ZN10", 0.002, 2000, 5, false},
        {"ZN10", 0.02, 2000, 4, false},
        {"ZN10", 250.0, 2500, 0, false},
        {"ZN10", 2500.0, 2500, 7, false},
        {"ZN10", 25000.0, 2500, 6, false},
        {"ZN10", 30000.0, 3000, 6, true},
        {"ZN10", -1.0, 0, 5, false},
    };
    for (const Case& c : cases) {
        const auto m = ProbeRanges(c.model).Measure(c.power);
        EXPECT_EQ(m.reading, c.reading) << c.model << " " << c.power;
        EXPECT_EQ(m.range, c.range) << c.model << " " << c.power;
        EXPECT_EQ(m.overRange, c.overRange) << c.model << " " << c.power;
    }
}

TEST(ProbeRangesTest, ReadingsStayWithinHalfACountAndUseTheFinestRange) {
    // A sweep over nine decades: each reading converts back to the power
    // within half a count, and a coarser range than needed is never taken,
    // so readings stay above a hundred or so counts except on the finest range.
    struct Probe {
        const char* model;
        unsigned finestRange;
    };
    for (const Probe probe : {Probe{"KV50", 0}, Probe{"RM41", 0}, Probe{"ZN10", 5}}) {
        const ProbeRanges ranges(probe.model);
        for (double power = 1e-6; power < 650; power *= 1.07) {
            const auto m = ranges.Measure(power);
            ASSERT_FALSE(m.overRange) << probe.model << " " << power;
            const double count = ranges.PowerOf({1, m.range, false});
            EXPECT_LE(std::abs(ranges.PowerOf(m) - power), count * 0.5000001)
                << probe.model << " " << power;
            if (m.range != probe.finestRange) {
                EXPECT_GE(m.reading, 140u) << probe.model << " " << power;
            }
        }
    }
}

} // namespace
} // namespace zelmora
