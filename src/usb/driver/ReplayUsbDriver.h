#pragma once

// A backend that plays a trace back (see Trace.h): it answers as the
// devices it recorded answered, call by call, in the recorded order.
// Strict: a call that differs from the recorded one (another operation,
// handle, request code, setup packet or block size) fails, and so does
// every call after it, with the first difference and its line in the trace
// as the driver's fault. A run that stops earlier than the recorded one is
// fine; one that asks for more fails with "the trace ends at line N".
// Waits end as they were recorded, at once unless paced: a request that
// timed out times out again. Thread-safe.

#include "usb/driver/Trace.h"
#include "usb/driver/UsbDriver.h"

#include <memory>
#include <string>

namespace zelmora {

class ReplayCursor;

class ReplayUsbDriver final : public UsbDriver {
public:
    enum class Pace {
        AsAsked,  // every answer at once
        Recorded, // answers no earlier than they came when recorded
    };

    explicit ReplayUsbDriver(Trace trace, Pace pace = Pace::AsAsked);
    // When the file is not a whole trace this program reads, the reason
    // and its line go to `error`, and the driver has no devices and that
    // reason for its fault.
    static std::unique_ptr<ReplayUsbDriver> Load(const std::string& path, Pace pace,
                                                 std::string& error);

    ReplayUsbDriver(const ReplayUsbDriver&) = delete;
    ReplayUsbDriver& operator=(const ReplayUsbDriver&) = delete;
    ~ReplayUsbDriver() override;

    std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) override;
    DriverHandle OpenDevice(const std::string& path) override;
    bool CloseDevice(DriverHandle handle) override;
    bool SyncRequest(DriverHandle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                     std::span<std::uint8_t> out, std::uint32_t& bytesReturned) override;
    NotificationHandle RegisterInterfaceNotification(NotifyWindow window,
                                                     const Guid& interfaceClass) override;
    NotificationHandle RegisterHandleNotification(NotifyWindow window,
                                                  DriverHandle handle) override;
    bool UnregisterNotification(NotificationHandle notification) override;
    std::string Fault() const override;

protected:
    SubmitResult StartRequest(DriverHandle handle, std::uint32_t code,
                              std::span<std::uint8_t> block, OverlappedRecord& record) override;

private:
    std::shared_ptr<ReplayCursor> m_cursor;
};

} // namespace zelmora
