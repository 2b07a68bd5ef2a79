#pragma once

// The win32 backend: the platform itself. The meter's kernel driver
// publishes the interface class; SetupDi lists its device paths, CreateFileA
// opens them for overlapped I/O, DeviceIoControl carries the requests with an
// OVERLAPPED and its event, and RegisterDeviceNotificationA sends arrival
// and removal messages to a window. Built only for Windows.

#include "usb/driver/UsbDriver.h"

namespace zelmora {

class Win32Driver final : public UsbDriver {
public:
    Win32Driver() = default;
    Win32Driver(const Win32Driver&) = delete;
    Win32Driver& operator=(const Win32Driver&) = delete;
    ~Win32Driver() override = default;

    std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) override;
    DriverHandle OpenDevice(const std::string& path) override;
    bool CloseDevice(DriverHandle handle) override;
    // The handle is open for overlapped I/O, so even this request is issued
    // with an OVERLAPPED and waited for: the platform leaves a request
    // without one on such a handle undefined.
    bool SyncRequest(DriverHandle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                     std::span<std::uint8_t> out, std::uint32_t& bytesReturned) override;
    NotificationHandle RegisterInterfaceNotification(NotifyWindow window,
                                                     const Guid& interfaceClass) override;
    NotificationHandle RegisterHandleNotification(NotifyWindow window,
                                                  DriverHandle handle) override;
    bool UnregisterNotification(NotificationHandle notification) override;

protected:
    SubmitResult StartRequest(DriverHandle handle, std::uint32_t code,
                              std::span<std::uint8_t> block, OverlappedRecord& record) override;

private:
    class RecordState;
};

} // namespace zelmora
