#pragma once

// A device arrival or removal, as a backend that watches the bus reports it
// for a registration made through UsbDriver::RegisterInterfaceNotification
// or RegisterHandleNotification. It stands for the platform's window
// message: the receiver passes it on to the window it names.

#include "usb/driver/UsbDriver.h"

#include <functional>
#include <string>

namespace zelmora {

struct DeviceNotification {
    enum class Kind { Arrival, Removal };

    Kind kind = Kind::Arrival;
    NotifyWindow window = kNoNotifyWindow;             // the registration's window
    NotificationHandle registration = kNoNotification; // which registration fired
    std::string path;                                  // the device path concerned
};

// Called on the backend's own event thread, without any of its locks held.
using DeviceNotificationCallback = std::function<void(const DeviceNotification&)>;

} // namespace zelmora
