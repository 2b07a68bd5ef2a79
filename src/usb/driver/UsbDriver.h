#pragma once

// The one seam between the USB layer and the outside: everything the layer
// asks of the meter's kernel driver and of the platform's device set-up and
// notification services, in the platform's own terms so that the Windows
// backend stays a thin layer. Backends: the virtual one (in-process devices
// for the simulated meter and the tests), libusb, win32.

#include "usb/driver/Guid.h"
#include "usb/driver/OverlappedRecord.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zelmora {

// An open device as the driver knows it. The platform's INVALID_HANDLE_VALUE
// is all bits set.
enum class DriverHandle : std::uintptr_t {};
inline constexpr DriverHandle kInvalidDriverHandle{~std::uintptr_t{0}};

// A device-notification registration; 0 means none.
enum class NotificationHandle : std::uintptr_t {};
inline constexpr NotificationHandle kNoNotification{0};

// The window that receives device notifications; 0 means none.
enum class NotifyWindow : std::uintptr_t {};
inline constexpr NotifyWindow kNoNotifyWindow{0};

// The platform's error numbers that the layer and the backends use. (Named
// with a k so that they never meet the platform headers' macros.)
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// A wait without limit.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// How the submission of an overlapped request went.
enum class SubmitOutcome {
    Completed, // ended at once; the record holds the ended request
    Pending,   // running; the record holds it until it is collected
    Failed,    // not started; nothing is attached to the record
};

struct SubmitResult {
    SubmitOutcome outcome = SubmitOutcome::Failed;
    // The platform's last error after the call: 0 when completed at once,
    // kErrorIoPending when pending, the cause when failed.
    std::uint32_t error = kErrorInvalidFunction;
};

class UsbDriver {
public:
    virtual ~UsbDriver() = default;

    // The device paths of the present devices of an interface class, in
    // enumeration order; empty when none is present, nothing when the class
    // cannot be listed at all.
    virtual std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) = 0;

    // Opens a path for overlapped I/O; kInvalidDriverHandle on failure.
    virtual DriverHandle OpenDevice(const std::string& path) = 0;

    // Closes a handle; false when the handle could not be released (it then
    // stays open). Requests still running on it are cancelled.
    virtual bool CloseDevice(DriverHandle handle) = 0;

    // A buffered request without an overlapped record: returns when it has
    // ended. `in` and `out` may be the same bytes: the input is taken before
    // any output is written. bytesReturned is what the driver reports.
    virtual bool SyncRequest(DriverHandle handle, std::uint32_t code,
                             std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                             std::uint32_t& bytesReturned) = 0;

    // An overlapped buffered request with `block` as input and output. The
    // block must stay valid until the request is collected or the record is
    // destroyed (both end the request first). A record already in use makes
    // the submission fail.
    SubmitResult SubmitRequest(DriverHandle handle, std::uint32_t code,
                               std::span<std::uint8_t> block, OverlappedRecord& record);

    // Waits for the request of a record; Failed when none is attached.
    WaitOutcome WaitRequest(OverlappedRecord& record, std::uint32_t timeoutMs);

    // Collects the request of a record without waiting for a running one:
    // that one is cancelled and ended first. Reports the driver's byte count
    // and whether the system call succeeded, and frees the record for
    // another request. With nothing attached: false and 0 bytes.
    bool CollectRequest(OverlappedRecord& record, std::uint32_t& bytesReturned);

    // Arrival and removal notifications of an interface class, and removal
    // notifications of an open handle, sent to a window. kNoNotification
    // when no registration was made.
    virtual NotificationHandle RegisterInterfaceNotification(NotifyWindow window,
                                                             const Guid& interfaceClass) = 0;
    virtual NotificationHandle RegisterHandleNotification(NotifyWindow window,
                                                          DriverHandle handle) = 0;
    // False when the registration could not be released (it then stays).
    virtual bool UnregisterNotification(NotificationHandle notification) = 0;

    // What keeps the backend from serving the devices as they are, for the
    // front end to show: empty while nothing does. A backend that cannot go
    // on fails every later call (its devices look unplugged) and says why
    // here.
    virtual std::string Fault() const { return {}; }

protected:
    // Starts a request for SubmitRequest, whose record is known to be free.
    // On Completed and Pending the backend attaches its state to the record.
    virtual SubmitResult StartRequest(DriverHandle handle, std::uint32_t code,
                                      std::span<std::uint8_t> block, OverlappedRecord& record) = 0;
};

} // namespace zelmora
