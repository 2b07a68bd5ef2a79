#pragma once

// zelmora-cli as a function: the program's main() is this with the
// process's descriptors and signals; tests run it with their own meters.

#include "cli/StopSignal.h"
#include "frontend/AppOptions.h"
#include "meter/DeviceLink.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

class UsbDriver;

struct CliContext {
    // The driver of the meters the meter options ask for; CreateMeterDriver
    // when empty.
    std::function<std::unique_ptr<UsbDriver>(const AppOptions&, std::vector<std::string>&)>
        makeDriver;
    int outFd = 1;
    int errFd = 2;
    // Standard error is a terminal: the log command shows its progress.
    bool errIsTerminal = false;
    StopSignal* stop = nullptr;
    std::string program = "zelmora-cli";
    // The process's environment (ZELMORA_MQTT_PASSWORD); getenv when empty.
    std::function<std::optional<std::string>(const std::string&)> environment;
    // The host's name, for the default MQTT topic; gethostname when empty.
    std::string hostname;
    // For tests: meters poll this many times faster than asked, and their
    // queues hold this many samples.
    int pollSpeedUp = 1;
    std::size_t queueCapacity = CDeviceLink::kSampleQueueCapacity;
    // Share the meters with the user's other processes: own a meter no one
    // owns and serve it, or attach to its owner (the program sets it; tests
    // that run the commands in their own process leave it off).
    bool share = false;
};

// Runs the command line (the arguments after the program's name) and
// returns the exit status (ExitCode).
int RunCli(const std::vector<std::string>& arguments, CliContext& context);

} // namespace zelmora
