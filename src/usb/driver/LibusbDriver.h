#pragma once

// The libusb backend: real meters on Linux behind the driver seam.
//
// No kernel driver publishes the meter's interface class here, so the
// meter class lists the devices whose vendor/product id is in the match
// list (MatchList), ordered by bus and port path; other classes list
// nothing. Devices outside the match list are never opened, so no request
// of the program ever reaches them.
//
// Request blocks are carried as libusb asynchronous transfers: a control
// request (0x220020) with the block's setup packet and time-out field,
// a transfer on a numbered endpoint (0x220024) as a bulk, interrupt or
// isochronous transfer by the endpoint's descriptor, claiming its interface
// on first use. A submitted transfer is pending until libusb completes it;
// waiting on it handles libusb's events on the waiting thread. The block
// receives the data, the packet information and the two status words as
// the kernel driver writes them, and the byte count includes the header
// (and the packet information). The abort (0x220044) cancels the handle's
// outstanding transfers on one endpoint.
//
// A device that vanishes while open fails its transfers with
// kErrorDeviceNotConnected; closing its handle still works.
//
// Arrival and removal of listed meters are reported through libusb's
// hot-plug support, where the platform has it, to the callback set with
// SetNotificationCallback.

#include "usb/driver/DeviceNotification.h"
#include "usb/driver/MatchList.h"
#include "usb/driver/MeterFinder.h"
#include "usb/driver/OperationBackend.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <thread>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_transfer;

namespace zelmora {

class LibusbDriver final : public OperationBackend {
public:
    // Status words of requests that did not end well: the completion status
    // (the driver's) and the bus status (the host controller's). Each
    // failure has its own completion status.
    static constexpr std::uint32_t kStallCompletionStatus = 0xC0000001;
    static constexpr std::uint32_t kStallBusStatus = 0xC0000004;
    static constexpr std::uint32_t kOverflowCompletionStatus = 0xC000003C;
    static constexpr std::uint32_t kOverflowBusStatus = 0xC000000C;
    static constexpr std::uint32_t kErrorCompletionStatus = 0xC0000185;
    static constexpr std::uint32_t kErrorBusStatus = 0xC0000011;
    static constexpr std::uint32_t kTimeoutCompletionStatus = 0xC00000B5;
    static constexpr std::uint32_t kTimeoutBusStatus = 0xC0006000;
    static constexpr std::uint32_t kCancelledCompletionStatus = 0xC0000120;
    static constexpr std::uint32_t kCancelledBusStatus = 0xC0010000;
    static constexpr std::uint32_t kNotConnectedCompletionStatus = 0xC000009D;
    static constexpr std::uint32_t kNotConnectedBusStatus = 0xC0007000;

    // A backend on a libusb context of its own; null (with the reason in
    // `error`) when libusb cannot start.
    static std::unique_ptr<LibusbDriver> Create(std::vector<UsbId> matchList,
                                                std::string* error = nullptr);

    // The libusb library in use: "libusb 1.0.27.11882", say.
    static std::string LibraryVersion();

    LibusbDriver(const LibusbDriver&) = delete;
    LibusbDriver& operator=(const LibusbDriver&) = delete;
    // Closes every handle still open (its transfers cancelled and ended).
    ~LibusbDriver() override;

    // Receives device notifications; set it before registering.
    void SetNotificationCallback(DeviceNotificationCallback callback);

    // The match list in use, and an id added to it: the next listing finds
    // devices of that id too.
    std::vector<UsbId> GetMatchList() const;
    void AddToMatchList(UsbId id);

    // What the last listing of the meter class found, and which of the
    // devices it listed could not be opened for lack of permission (as far
    // as opens were tried since).
    struct ListingState {
        bool failed = false; // the devices could not be listed
        std::vector<UsbId> matched;
        std::vector<UsbId> refused;
    };
    ListingState GetListingState() const;

    // Every USB device present, whether on the match list or not, ordered
    // by bus and port. Each is opened only to read its maker and product
    // strings with standard descriptor requests; where it may not be
    // opened, the copies the kernel keeps in sysfs are shown instead.
    std::vector<UsbDeviceInfo> ListAllDevices();
    // Opens the device at that bus and port path (or address, without
    // one) and closes it again.
    DeviceAccess ProbeAccess(const UsbDeviceInfo& device);

    std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) override;
    // Opening a listed meter that the user may not access fails like any
    // other failed open; the first such failure of the process also prints
    // a hint about the udev rules to standard error.
    DriverHandle OpenDevice(const std::string& path) override;
    bool CloseDevice(DriverHandle handle) override;
    NotificationHandle RegisterInterfaceNotification(NotifyWindow window,
                                                     const Guid& interfaceClass) override;
    NotificationHandle RegisterHandleNotification(NotifyWindow window,
                                                  DriverHandle handle) override;
    bool UnregisterNotification(NotificationHandle notification) override;

protected:
    std::shared_ptr<BackendOperation> Begin(DriverHandle handle, std::uint32_t code,
                                            std::span<const std::uint8_t> in,
                                            std::span<std::uint8_t> out) override;
    // Handles libusb's events on the waiting thread.
    WaitOutcome WaitFor(BackendOperation& op, std::uint32_t timeoutMs) override;
    void End(BackendOperation& op) override;

private:
    struct Opened;
    struct Operation;
    struct Listed;
    struct Registration;

    LibusbDriver(libusb_context* context, std::vector<UsbId> matchList);

    bool Matches(UsbId id) const;
    // The present devices, ordered by bus and port path; with `matchingOnly`
    // only those whose id is on the match list.
    std::optional<std::vector<Listed>> ListDevices(bool matchingOnly);
    std::shared_ptr<Operation> BeginTransfer(std::shared_ptr<Operation> op, std::uint32_t code);
    void AnswerInformation(Operation& op, const Opened& opened, std::uint32_t code,
                           std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
    void Abort(DriverHandle handle, std::uint8_t endpoint);
    void CancelAndEnd(const std::vector<std::shared_ptr<Operation>>& ops);

    static void TransferDone(libusb_transfer* transfer);
    void OnTransferDone(Operation& op);
    static int HotplugEvent(libusb_context* context, libusb_device* device, int event, void* self);
    void OnHotplug(libusb_device* device, bool arrived);
    void EventLoop();

    libusb_context* const m_context;
    std::vector<UsbId> m_matchList;
    // The last listing of the meter class, and the devices of it whose open
    // was refused for lack of permission, by path.
    bool m_listingFailed = false;
    std::vector<std::pair<std::string, UsbId>> m_listed;
    std::map<std::string, UsbId> m_refused;

    std::map<std::uintptr_t, std::shared_ptr<Opened>> m_handles;
    std::vector<std::shared_ptr<Operation>> m_pending; // submitted, not yet done
    std::map<std::uintptr_t, Registration> m_registrations;
    DeviceNotificationCallback m_notify;
    std::uintptr_t m_nextHandle = 0x100;
    std::uintptr_t m_nextRegistration = 0x1000;

    // Hot-plug: one libusb callback and a thread that handles libusb's
    // events while any interface registration exists.
    int m_hotplugHandle = 0;
    bool m_hotplugRegistered = false;
    std::atomic<bool> m_stopEvents{false};
    std::thread m_eventThread;
};

} // namespace zelmora
