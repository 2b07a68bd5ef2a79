#include "util/TextFormat.h"

#include "support/CommaLocale.h"

#include <clocale>
#include <gtest/gtest.h>
#include <thread>

namespace zelmora {
namespace {

TEST(TextFormat, FormatsWithAPointWhateverTheProcessLocale) {
    CommaLocale comma;
    ASSERT_TRUE(comma.IsActive()) << "a comma locale (de_DE.UTF-8) must be installed";
    char plain[32];
    std::snprintf(plain, sizeof plain, "%.1f", 0.5);
    ASSERT_STREQ(plain, "0,5") << "the locale really uses a comma";

    EXPECT_EQ(Format("%.6lf", 0.012345), "0.012345");
    EXPECT_EQ(Format("%.3lf%%", 40.8248), "40.825%");
    EXPECT_EQ(Format("%d", 1234567), "1234567");
    EXPECT_EQ(ScanDouble("0.1"), 0.1);
    EXPECT_EQ(ScanDouble("2,5"), 2.0) << "a comma ends the number as in the C locale";
}

TEST(TextFormat, FormatsLongTexts) {
    const std::string wide = Format("%0300d", 7);
    EXPECT_EQ(wide.size(), 300u);
    EXPECT_EQ(wide.back(), '7');
    EXPECT_EQ(Format("%s", ""), "");
}

TEST(TextFormat, FormatsFromSeveralThreadsAtOnce) {
    CommaLocale comma;
    auto work = [] {
        for (int i = 0; i < 2000; ++i) {
            if (Format("%.2lf", 1.25) != "1.25") {
                ADD_FAILURE() << "comma leaked into a format";
                return;
            }
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
}

TEST(TextFormat, ScanIntReadsALeadingNumberLikePercentD) {
    EXPECT_EQ(ScanInt("12abc"), 12);
    EXPECT_EQ(ScanInt("  -5"), -5);
    EXPECT_EQ(ScanInt("+7"), 7);
    EXPECT_EQ(ScanInt("12.5"), 12);
    EXPECT_EQ(ScanInt("2147483647"), 2147483647);
    EXPECT_EQ(ScanInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ScanInt(""), std::nullopt);
    EXPECT_EQ(ScanInt("   "), std::nullopt);
    EXPECT_EQ(ScanInt("abc"), std::nullopt);
    EXPECT_EQ(ScanInt("-"), std::nullopt);
    EXPECT_EQ(ScanInt("- 5"), std::nullopt);
    EXPECT_EQ(ScanInt("2147483648"), std::nullopt) << "overflow is no number";
    EXPECT_EQ(ScanInt("99999999999"), std::nullopt);
    EXPECT_EQ(ScanInt("-99999999999999999999999"), std::nullopt);
}

TEST(TextFormat, ScanDoubleReadsALeadingNumberLikePercentLf) {
    EXPECT_EQ(ScanDouble("0.1"), 0.1);
    EXPECT_EQ(ScanDouble(" 2.5min"), 2.5);
    EXPECT_EQ(ScanDouble("-.5"), -0.5);
    EXPECT_EQ(ScanDouble("5."), 5.0);
    EXPECT_EQ(ScanDouble("1e3"), 1000.0);
    EXPECT_EQ(ScanDouble("1e"), 1.0) << "an exponent without digits is not part of the number";
    EXPECT_EQ(ScanDouble("1.2.3"), 1.2);
    EXPECT_EQ(ScanDouble("5--"), 5.0);
    EXPECT_EQ(ScanDouble("1e-400"), 0.0) << "underflow reads as zero";
    EXPECT_EQ(ScanDouble(""), std::nullopt);
    EXPECT_EQ(ScanDouble("."), std::nullopt);
    EXPECT_EQ(ScanDouble("-"), std::nullopt);
    EXPECT_EQ(ScanDouble("abc"), std::nullopt);
    EXPECT_EQ(ScanDouble("inf"), std::nullopt);
    EXPECT_EQ(ScanDouble("nan"), std::nullopt);
    EXPECT_EQ(ScanDouble("0x10"), 0.0) << "no hex: the number is the 0 before the x";
    EXPECT_EQ(ScanDouble("1e999"), std::nullopt) << "overflow is no number";
}

TEST(TextFormat, TimeTexts) {
    EXPECT_EQ(FormatElapsed(0), "00:00:00(000)");
    EXPECT_EQ(FormatElapsed(1000), "00:00:01(000)");
    EXPECT_EQ(FormatElapsed(3600000ull * 2000), "2000:00:00(000)");
    EXPECT_EQ(FormatElapsed(4294967295ull), "1193:02:47(295)");
    EXPECT_EQ(FormatElapsed(2147483647ull * 1800000000ull), "1073741823500:00:00(000)");
    EXPECT_EQ(FormatClock(9, 5, 7, 42), "09:05:07(042)");
}

// What a topic for a broker must be on every platform, also where the
// program has no MQTT library to ask.
TEST(TextFormat, WellFormedUtf8) {
    for (const std::string good : {"", "lab/bench 3",
                                   "labor/pr\xc3\xbc"
                                   "fstand",
                                   "\xe2\x82\xac", "\xf0\x9f\x94\xa6", "\xf4\x8f\xbf\xbf"}) {
        EXPECT_TRUE(IsWellFormedUtf8(good)) << good;
    }
    for (const std::string bad : {"lab\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                  "\xf4\x90\x80\x80", "\x80", "a\xe2\x82"}) {
        EXPECT_FALSE(IsWellFormedUtf8(bad)) << PrintableExcerpt(bad, 20);
    }
}

} // namespace
} // namespace zelmora
