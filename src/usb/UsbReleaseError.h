#pragma once

#include <stdexcept>

namespace zelmora {

// The only failure the USB layer raises: a system handle that could not be
// released. what() is exactly one of the three messages below.
class UsbReleaseError : public std::runtime_error {
public:
    static constexpr const char* kHandleNotification =
        "Failed to close the handle notification handle.";
    static constexpr const char* kDriverHandle = "Failed to close handle to driver.";
    static constexpr const char* kDeviceNotification =
        "Failed to close the device notification handle.";

    explicit UsbReleaseError(const char* message);
};

} // namespace zelmora
