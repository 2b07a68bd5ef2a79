#pragma once

// The meters a front end talks to, as its command line asks: the real ones
// through the platform's backend (libusb by the match list on Linux, the
// meter's kernel driver on Windows), simulated ones on the virtual backend,
// or both behind one driver. The one place that chooses a backend; the
// window, the headless front ends and the tools all come through here.

#include "frontend/AppOptions.h"
#include "usb/driver/MeterFinder.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

class UsbDriver;
class VirtualUsbDriver;

// The driver for `options`. What keeps real meters out of reach (a bad
// line in a match list file, a backend that cannot start) is added to
// `problems`, one line each, for the caller to show; the other meters are
// there all the same.
std::unique_ptr<UsbDriver> CreateMeterDriver(const AppOptions& options,
                                             std::vector<std::string>& problems);

// Where a meter sits, for the operator: the backend that serves it
// ("libusb", "simulated" or "driver") and its bus and port ("1-3"; "-" for
// a simulated meter), read from the driver's path of its device.
struct MeterPlace {
    std::string backend;
    std::string port;
};
MeterPlace PlaceOfMeter(const std::string& devicePath);

// The driver for `options` and, where real meters are found by a match
// list (libusb), the finder that lists every USB device, tells why no
// meter was listed and adds an id to the user's list; it works on the
// driver, so it goes first.
struct MeterSetup {
    std::unique_ptr<UsbDriver> driver;
    std::unique_ptr<MeterFinder> finder;
};
MeterSetup CreateMeterSetup(const AppOptions& options, std::vector<std::string>& problems);

// Every USB device plugged in, for the command lines' listing (the match
// list of `options` marks the meters); nothing where this build has no
// finder, as on Windows.
std::optional<std::vector<UsbDeviceInfo>> ListAllUsbDevices(const AppOptions& options,
                                                            std::vector<std::string>& problems);

// What --list-usb and the headless program's list --all-usb say where
// there is no listing.
inline constexpr const char* kNoUsbListing =
    "this build cannot list USB devices: the meter's own driver lists the meters (on Windows, "
    "install it from the meter's maker)";

// Plugs `count` lively simulated meters into `driver`, with the probe
// families KV, RM and ZN in turn and the ids 210400101, 210400102 ...
void PlugSimulatedMeters(VirtualUsbDriver& driver, int count);

} // namespace zelmora
