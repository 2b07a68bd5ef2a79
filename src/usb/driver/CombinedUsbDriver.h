#pragma once

// Several backends behind the one seam, so that the program can meet real
// and simulated meters at once: the device paths of all backends, in the
// order the backends were added, and every request routed to the backend
// that opened its handle. Handles and notification registrations are this
// driver's own; each stands for one of a backend. The backends must name
// their devices apart (the libusb backend's "usb:…" paths and the virtual
// backend's "\\?\virtual-usb#…" ones do). Thread-safe as far as the backends
// are.

#include "usb/driver/UsbDriver.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace zelmora {

class CombinedUsbDriver final : public UsbDriver {
public:
    CombinedUsbDriver() = default;
    CombinedUsbDriver(const CombinedUsbDriver&) = delete;
    CombinedUsbDriver& operator=(const CombinedUsbDriver&) = delete;
    ~CombinedUsbDriver() override = default;

    // Adds a backend; its devices are listed after those of the backends
    // already added. Add every backend before the first request.
    void Add(std::shared_ptr<UsbDriver> backend);
    std::size_t BackendCount() const;

    // Nothing only when no backend can list the class.
    std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) override;
    // The first backend that opens the path serves it.
    DriverHandle OpenDevice(const std::string& path) override;
    bool CloseDevice(DriverHandle handle) override;
    bool SyncRequest(DriverHandle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                     std::span<std::uint8_t> out, std::uint32_t& bytesReturned) override;
    // Registers with every backend; kNoNotification when none made a
    // registration.
    NotificationHandle RegisterInterfaceNotification(NotifyWindow window,
                                                     const Guid& interfaceClass) override;
    NotificationHandle RegisterHandleNotification(NotifyWindow window,
                                                  DriverHandle handle) override;
    // False while any backend keeps its part of the registration; a later
    // call tries those parts again.
    bool UnregisterNotification(NotificationHandle notification) override;
    // The first backend's fault, in the order they were added.
    std::string Fault() const override;

protected:
    SubmitResult StartRequest(DriverHandle handle, std::uint32_t code,
                              std::span<std::uint8_t> block, OverlappedRecord& record) override;

private:
    struct Inner {
        std::shared_ptr<UsbDriver> backend;
        DriverHandle handle = kInvalidDriverHandle;
    };
    struct InnerRegistration {
        std::shared_ptr<UsbDriver> backend;
        NotificationHandle registration = kNoNotification;
    };

    std::vector<std::shared_ptr<UsbDriver>> Backends() const;
    std::optional<Inner> Find(DriverHandle handle) const;
    NotificationHandle Keep(std::vector<InnerRegistration> parts);

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<UsbDriver>> m_backends;
    std::map<std::uintptr_t, Inner> m_handles;
    std::map<std::uintptr_t, std::vector<InnerRegistration>> m_registrations;
    std::uintptr_t m_nextHandle = 0x10000;
    std::uintptr_t m_nextRegistration = 0x20000;
};

} // namespace zelmora
