// Readings the standard has special values for, served by CScpiService from
// meters that give them, as PyVISA (a client we did not write) reads them.

#include "scpi/ScpiService.h"

#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace zelmora {
namespace {

// Each port's answers on one line, '|' between them. Exit status 77 where
// Debian's Python has no PyVISA.
constexpr const char* kClient = R"(
import sys
try:
    import pyvisa
    import pyvisa_py
except ImportError:
    sys.exit(77)
rm = pyvisa.ResourceManager("@py")
for port in sys.argv[1:]:
    r = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET",
                         read_termination="\n", write_termination="\n")
    r.timeout = 20000
    answers = [r.query(q) for q in ("MEAS:POW?", "FETC?", "POW:UNIT DBM;:READ?",
                                    "SYST:ERR:COUN?", "SYST:ERR?")]
    answers.append(str(r.query_ascii_values("FETC?")[0]))
    print("|".join(answers))
)";

struct ClientRun {
    int status = -1;
    std::string output;
};

ClientRun RunClient(const std::vector<std::string>& resources) {
    std::string command = "/usr/bin/python3 -c '" + std::string(kClient) + "'";
    for (const std::string& resource : resources) {
        // TCPIP::127.0.0.1::PORT::SOCKET
        const std::size_t end = resource.rfind("::SOCKET");
        const std::size_t start = resource.rfind("::", end - 1) + 2;
        command += " " + resource.substr(start, end - start);
    }
    ClientRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
        run.output += chunk;
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A meter whose every sample is this reply.
std::shared_ptr<SimulatedMeter> Replying(VirtualUsbDriver& driver, const std::string& id,
                                         SimulatedMeter::ScriptedReply reply) {
    auto meter = std::make_shared<SimulatedMeter>(
        SimulatedMeter::Config{.meterId = id, .probeModel = "ZN11"});
    meter->SetScript(std::vector<SimulatedMeter::ScriptedReply>(100000, reply));
    meter->PlugInto(driver);
    return meter;
}

TEST(ScpiServiceTest, OverRangeAndNoConversionReachARealClient) {
    VirtualUsbDriver driver;
    // ZN11: 3000 in range 5 is over its limit; range 12 is in no table.
    const auto overRange = Replying(driver, "100000001", {1064, 3000, 5});
    const auto unconverted = Replying(driver, "100000002", {1064, 5, 12});
    CScpiService service(driver, nullptr,
                         CScpiService::Settings{.program = "zelmora-cli", .version = "1"}, {});
    std::string problem;
    ASSERT_EQ(service.Start({{"100000001", 0}, {"100000002", 0}}, problem),
              CScpiService::Result::Ok)
        << problem;
    const std::vector<std::string> resources = service.Resources();
    ASSERT_EQ(resources.size(), 2u);

    const ClientRun run = RunClient(resources);
    if (run.status == 77) {
        GTEST_SKIP() << "no PyVISA with pyvisa-py for /usr/bin/python3";
    }
    ASSERT_EQ(run.status, 0) << run.output;
    // The overflow value in either unit, and no error: Over Range is a
    // reading. No conversion is not a number, with an error for each answer.
    EXPECT_EQ(run.output, "9.900000E+37|9.900000E+37|9.900000E+37|0|0,\"No error\"|9.9e+37\n"
                          "9.910000E+37|9.910000E+37|9.910000E+37|3|"
                          "-230,\"Data corrupt or stale;no conversion for range 12\"|9.91e+37\n");
    service.Stop();
}

} // namespace
} // namespace zelmora
