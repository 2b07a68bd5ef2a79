#include "util/NumberEntry.h"

#include "support/CommaLocale.h"
#include "util/TextFormat.h"

#include <gtest/gtest.h>

namespace zelmora {
namespace {

TEST(NumberEntry, ScansTellWhereTheNumberEnds) {
    std::size_t end = 99;
    EXPECT_EQ(ScanInt("  -12abc", &end), -12);
    EXPECT_EQ(end, 5u);
    EXPECT_EQ(ScanDouble(" 2,5", &end), 2.0);
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(ScanDouble("1e3x", &end), 1000.0);
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(ScanDouble("1e", &end), 1.0);
    EXPECT_EQ(end, 1u);
    end = 99;
    EXPECT_EQ(ScanInt("x", &end), std::nullopt);
    EXPECT_EQ(end, 99u) << "left alone when nothing was read";
}

TEST(NumberEntry, IntervalsAreShownAsTheyRun) {
    CommaLocale comma;
    // Typed texts that say exactly what runs stay as typed.
    EXPECT_EQ(AcceptIntervalMs("1.5", 1000, 100, 1800000000), 1500);
    EXPECT_TRUE(ShowsIntervalExactly("1.5", 1500, 1000));
    EXPECT_TRUE(ShowsIntervalExactly(" 2.5 ", 150000, 60000));
    EXPECT_TRUE(ShowsIntervalExactly("500", 1800000000, 3600000));
    // A prefix or a cut millisecond does not.
    EXPECT_EQ(AcceptIntervalMs("2,5", 1000, 100, 1800000000), 2000);
    EXPECT_FALSE(ShowsIntervalExactly("2,5", 2000, 1000));
    EXPECT_FALSE(ShowsIntervalExactly("0.1234", 123, 1000));
    EXPECT_FALSE(ShowsIntervalExactly("1e3x", 1000000, 1000));
    // Out of range or no number at all.
    EXPECT_EQ(AcceptIntervalMs("0.05", 1000, 100, 1800000000), std::nullopt);
    EXPECT_EQ(AcceptIntervalMs("500.001", 3600000, 100, 1800000000), std::nullopt);
    EXPECT_EQ(AcceptIntervalMs("1e300", 1000, 100, 1800000000), std::nullopt);
    EXPECT_EQ(AcceptIntervalMs("-", 1000, 100, 1800000000), std::nullopt);

    // The text shown has the unit's decimals and as many more as it takes
    // to commit the same milliseconds again.
    EXPECT_EQ(FormatIntervalForEntry(2000, 1000, 1), "2.0");
    EXPECT_EQ(FormatIntervalForEntry(250, 1000, 1), "0.25");
    EXPECT_EQ(FormatIntervalForEntry(123, 1000, 1), "0.123");
    EXPECT_EQ(FormatIntervalForEntry(150000, 60000, 2), "2.50");
    for (const int ms : {100, 101, 999, 59999, 60001, 3599999, 1799999999}) {
        for (const auto& [unitMs, decimals] : {std::pair{1000, 1}, {60000, 2}, {3600000, 3}}) {
            const std::string text = FormatIntervalForEntry(ms, unitMs, decimals);
            EXPECT_EQ(AcceptIntervalMs(text, unitMs, 100, 1800000000), ms) << text;
        }
    }
}

} // namespace
} // namespace zelmora
