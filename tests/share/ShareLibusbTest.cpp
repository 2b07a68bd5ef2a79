// Two zelmora-cli processes on one meter reached through real libusb,
// emulated at the usbfs level by this test process: the first owns the
// meter and polls it, the second attaches and never opens the device, and
// logs the owner's samples, each once and in order.

#include "LogRows.h"
#include "UsbFsEmulation.h"
#include "sim/SimulatedMeter.h"
#include "support/ChildProcess.h"
#include "support/TempFolder.h"
#include "util/TextFormat.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zelmora {
namespace {

using test::Eventually;
using test::ReadFile;
using test::Rows;
using test::Wait;

constexpr const char* kMeter = "210400107";

// What a child needs to reach the emulated device: umockdev's preload
// library, after the sanitizer's runtime where this program has one (it
// must come first in the child as well).
std::string PreloadForChildren() {
    std::string preload = ZELMORA_UMOCKDEV_PRELOAD;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find('/');
        if (at != std::string::npos && line.find("/libasan.so") != std::string::npos) {
            return line.substr(at) + ":" + preload;
        }
    }
    return preload;
}

TEST(ShareLibusbTest, TwoProcessesOneOwnerTheAttachedOneGetsEverySampleOnceInOrder) {
    UsbFsEmulation emulation;
    const auto meter = SimulatedMeter::MakeDemo("KV", kMeter, 3);
    emulation.Add(meter, 2, 5);
    const test::TempFolder folder{"zelmora-share-usb-"};
    const std::string usbId = Format("--usb-id=%04x:%04x", SimulatedMeter::kUsbIds.vendorId,
                                     SimulatedMeter::kUsbIds.productId);
    const std::vector<std::string> environment = {"LD_PRELOAD=" + PreloadForChildren()};
    auto log = [&](const std::string& name, int count) {
        return test::Spawn(
            ZELMORA_CLI_PROGRAM,
            {"log", usbId, kMeter, "--count", std::to_string(count), "-o", folder.Path(name)},
            folder.Path(name + ".err"), environment);
    };

    const pid_t owner = log("owner.csv", 50);
    ASSERT_TRUE(Eventually([&] { return Rows(folder.Path("owner.csv")).size() >= 3; }))
        << ReadFile(folder.Path("owner.csv.err"));
    const SimulatedMeter::Counters before = meter->GetCounters();
    const pid_t attached = log("attached.csv", 25);
    EXPECT_EQ(Wait(attached), 0) << ReadFile(folder.Path("attached.csv.err"));
    // The attached process asked the device nothing: no scan, no start,
    // no stop; only the owner's samples were taken meanwhile.
    const SimulatedMeter::Counters during = meter->GetCounters();
    EXPECT_EQ(during.identity1, before.identity1);
    EXPECT_EQ(during.identity2, before.identity2);
    EXPECT_EQ(during.starts, before.starts);
    EXPECT_EQ(during.stops, before.stops);
    EXPECT_EQ(Wait(owner), 0) << ReadFile(folder.Path("owner.csv.err"));

    const std::vector<test::Row> owned = Rows(folder.Path("owner.csv"));
    const std::vector<test::Row> watched = Rows(folder.Path("attached.csv"));
    ASSERT_EQ(owned.size(), 50u);
    ASSERT_EQ(watched.size(), 25u);
    EXPECT_TRUE(test::CountsFromZero(owned));
    EXPECT_TRUE(test::CountsFromZero(watched)) << "its own collection";
    EXPECT_TRUE(test::ConsecutiveIn(watched, owned)) << "the owner's samples, each once";
    EXPECT_EQ(meter->GetCounters().starts, 1u);
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    return zelmora::RunEmulatedTests(argc, argv);
}
