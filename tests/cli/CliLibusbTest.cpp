// zelmora-cli on a simulated meter emulated at the usbfs level, through
// real libusb and the match list's --usb-id, as on a machine with a meter
// plugged in.

#include "CliTestSupport.h"
#include "UsbFsEmulation.h"
#include "cli/Cli.h"
#include "cli/ExitCode.h"
#include "sim/SimulatedMeter.h"
#include "util/TextFormat.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace zelmora {
namespace {

TEST(CliLibusbTest, ListsAndLogsARealBackendsMeter) {
    UsbFsEmulation emulation;
    emulation.Add(SimulatedMeter::MakeDemo("ZN", "210400107", 7), 2, 5);
    const TempFolder folder;
    const std::string usbId = Format("--usb-id=%04x:%04x", SimulatedMeter::kUsbIds.vendorId,
                                     SimulatedMeter::kUsbIds.productId);
    auto run = [&](const std::vector<std::string>& arguments) {
        const std::string out = folder / "out";
        const int outFd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int errFd =
            ::open((folder / "err").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        CliContext context;
        context.outFd = outFd;
        context.errFd = errFd;
        context.pollSpeedUp = 5;
        const int exit = RunCli(arguments, context);
        ::close(outFd);
        ::close(errFd);
        EXPECT_EQ(exit, kExitOk) << ReadFile(folder / "err");
        return ReadFile(out);
    };
    EXPECT_EQ(run({"list", usbId}), "ID         FAMILY  MODEL  BACKEND    PORT\n"
                                    "210400107  ZN      ZN21   libusb     1-2\n");
    // Every device, for an id not listed yet; the meter's marked here.
    const std::string all = run({"list", "--all-usb", usbId});
    EXPECT_TRUE(all.starts_with("ID         PLACE             METER LIST  MAY OPEN"));
    EXPECT_NE(all.find("\n" + usbId.substr(9) + "  1-2               listed      yes  "),
              std::string::npos)
        << all;
    EXPECT_NE(run({"list", "--all-usb", "--json"}).find("\"place\":\"1-2\",\"may_open\":\"yes\""),
              std::string::npos);
    const std::string path = folder / "real.jsonl";
    run({"log", usbId, "--count", "12", "--format", "jsonl", "--unit", "uW", "-o", path});
    EXPECT_TRUE(CheckedByPython("jsonl", path, 1, 12, "uW")) << ReadFile(path);
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    return zelmora::RunEmulatedTests(argc, argv);
}
