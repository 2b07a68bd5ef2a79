// A file written whole or not at all.

#include "util/WholeFile.h"

#include "support/TempFolder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>

namespace zelmora {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::size_t EntriesIn(const std::string& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                  std::filesystem::directory_iterator()));
}

TEST(WholeFileTest, ReplacesAFileAndLeavesNothingElse) {
    test::TempFolder folder;
    const std::string path = folder.Path("report.txt");
    std::ofstream(path) << "the old text, longer than the new one";
    std::string error;
    ASSERT_TRUE(WriteWholeFile(path, "new\n", error)) << error;
    EXPECT_EQ(ReadText(path), "new\n");
    EXPECT_EQ(EntriesIn(folder.Path()), 1u);
}

TEST(WholeFileTest, AFailureSaysWhyAndLeavesTheFolderAsItWas) {
    test::TempFolder folder;
    std::string error;
    EXPECT_FALSE(WriteWholeFile(folder.Path("no-such-folder/report.txt"), "x", error));
    EXPECT_FALSE(error.empty());

    // A folder in the file's place cannot be replaced by the file.
    std::filesystem::create_directory(folder.Path("taken"));
    error.clear();
    EXPECT_FALSE(WriteWholeFile(folder.Path("taken"), "x", error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(std::filesystem::is_directory(folder.Path("taken")));
    EXPECT_EQ(EntriesIn(folder.Path()), 1u);
}

} // namespace
} // namespace zelmora
