#include "log/LogPath.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace zelmora {
namespace {

// Paths are written with '/' here and use the platform's separator.
std::string Native(std::string path) {
    std::replace(path.begin(), path.end(), '/', kLogPathSeparator);
    return path;
}

TEST(LogPathTest, SplitsAtTheLastSeparatorOrKeepsThePreviousSplit) {
    std::string folder;
    std::string name;
    ASSERT_TRUE(SplitLogPath(Native("/home/op/Desktop/Power Data.csv"), folder, name));
    EXPECT_EQ(folder, Native("/home/op/Desktop/"));
    EXPECT_EQ(name, "Power Data.csv");

    ASSERT_TRUE(SplitLogPath(Native("/data/"), folder, name));
    EXPECT_EQ(folder, Native("/data/"));
    EXPECT_EQ(name, "");

    // Typed without a separator: the numbering goes on from the old split.
    EXPECT_FALSE(SplitLogPath("today.csv", folder, name));
    EXPECT_EQ(folder, Native("/data/"));
    EXPECT_EQ(name, "");
}

TEST(LogPathTest, NumbersSuccessiveRunsBeforeTheExtension) {
    const std::string folder = Native("/home/op/Desktop/");
    int index = 0;
    EXPECT_EQ(AdvanceLogFileName(folder, "Power Data.csv", index),
              Native("/home/op/Desktop/Power Data_1.csv"));
    EXPECT_EQ(AdvanceLogFileName(folder, "Power Data.csv", index),
              Native("/home/op/Desktop/Power Data_2.csv"));
    EXPECT_EQ(index, 2);

    // Only the last period of the name starts the extension.
    index = 0;
    EXPECT_EQ(AdvanceLogFileName(folder, "run.2024.txt", index),
              Native("/home/op/Desktop/run.2024_1.txt"));

    // Without a period there is no numbered name (the same file is offered
    // again), and a period in the folder does not count; the index counts
    // all the same.
    index = 4;
    EXPECT_EQ(AdvanceLogFileName(Native("/v1.2/"), "data", index), std::nullopt);
    EXPECT_EQ(index, 5);
}

} // namespace
} // namespace zelmora
