// The window on a meter that another window owns: two window logics, each
// with a hub of its own (as two processes would have), on the same meter
// id. The owner polls; the other attaches and logs the owner's samples,
// every one once and in order, into its own log file.

#include "SharedWindowFixture.h"
#include "support/TempFolder.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <thread>

namespace zelmora {
namespace {

using test::SharedWindow;
using Ids = ZelmoraDlgIds;

// The powers of a window's log file, in order.
std::vector<std::string> LoggedPowers(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<std::string> powers;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = bytes.substr(start, end - start);
        const auto comma = line.find(',');
        // The header lines hold no comma and a number of their own.
        if (comma != std::string::npos && line.find(", ") == std::string::npos) {
            powers.push_back(line.substr(comma + 1));
        }
    }
    return powers;
}

bool RefreshUntil(SharedWindow& a, SharedWindow& b, const auto& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        a.Refresh();
        b.Refresh();
    }
    return true;
}

TEST(SharedWindowTest, AnAttachedWindowLogsTheOwnersSamplesEachOnceInOrder) {
    test::TempFolder ownerFolder;
    test::TempFolder watcherFolder;
    SharedWindow owner(ownerFolder.Path(), 10, "100000001");
    SharedWindow watcher(watcherFolder.Path(), 10, "100000001");
    owner.logic->OnCommand(1020);
    ASSERT_TRUE(RefreshUntil(owner, watcher, [&] { return owner.Count() >= 2; }));
    owner.logic->OnCommand(1017);
    watcher.logic->OnCommand(1020);
    EXPECT_EQ(watcher.host.GetText(1020), "Stop");
    EXPECT_EQ(watcher.host.GetText(1057), "Graphic(W)") << "the owner's probe";
    watcher.logic->OnCommand(1017);
    ASSERT_TRUE(RefreshUntil(owner, watcher, [&] { return watcher.Count() >= 25; }));
    EXPECT_EQ(watcher.meter->GetCounters().samplesAnswered, 0u) << "only the owner asks the meter";
    watcher.logic->OnCommand(1017);
    owner.logic->OnCommand(1017);
    EXPECT_TRUE(watcher.host.warnings.empty());

    const std::vector<std::string> owned = LoggedPowers(ownerFolder.Path("Power Data.csv"));
    const std::vector<std::string> watched = LoggedPowers(watcherFolder.Path("Power Data.csv"));
    ASSERT_GE(watched.size(), 20u);
    const auto start = std::find(owned.begin(), owned.end(), watched.front());
    ASSERT_NE(start, owned.end());
    ASSERT_GE(static_cast<std::size_t>(owned.end() - start), watched.size());
    EXPECT_TRUE(std::equal(watched.begin(), watched.end(), start));
    // Each of the meter's samples once: the ramp goes up a milliwatt a time.
    for (std::size_t i = 1; i < watched.size(); ++i) {
        EXPECT_NEAR(std::atof(watched[i].c_str()) - std::atof(watched[i - 1].c_str()), 0.001, 1e-9)
            << i;
    }
}

} // namespace
} // namespace zelmora
