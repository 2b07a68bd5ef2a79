// The program's command line from any arguments: no crash, and whatever is
// accepted is within the limits the rest of the program relies on.

#include "FuzzInput.h"
#include "frontend/AppOptions.h"
#include "meter/DeviceLink.h"
#include "usb/driver/MatchList.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    // Arguments separated by zero bytes, as the system hands them over.
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size && arguments.size() < 64; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (AppOptions::QtOptionLength(arguments, i) > arguments.size() - i) {
            std::abort();
        }
    }
    const AppOptions options = AppOptions::Parse(arguments);
    switch (options.action) {
    case AppOptions::Action::Run:
        if (options.simulatedMeters < 0 || options.simulatedMeters > CDeviceLink::kMaxMeters) {
            std::abort();
        }
        if (!options.realMeters && options.simulatedMeters == 0) {
            std::abort(); // a run with no meters at all
        }
        [[fallthrough]];
    case AppOptions::Action::ListUsb:
        // The listing marks the ids given as listed, as a run matches them.
        for (const std::string& id : options.usbIds) {
            if (!MatchList::ParseId(id)) {
                std::abort();
            }
        }
        break;
    case AppOptions::Action::Error:
        if (options.error.empty()) {
            std::abort();
        }
        break;
    case AppOptions::Action::Help:
    case AppOptions::Action::Version:
        break;
    }
    return 0;
}
