#pragma once

// The virtual backend: in-process USB devices behind the driver seam,
// answering as the meter's kernel driver would. Thread-safe: devices are
// plugged and unplugged at any time, requests come from several threads,
// and answers may arrive later from the backend's own worker thread.
//
// Each request block is decoded and answered as the driver does: standard
// GET_DESCRIPTOR requests from the device's descriptor bytes, everything
// else from the device's handler; the byte count returned includes the
// header (and the packet information), the status words are written into
// the block. A request without an answer stays pending until it is aborted
// (0x220044 with its endpoint address), its handle is closed, its device is
// unplugged or the time-out field of its header runs out.
//
// The driver must outlive every handle and overlapped record used with it.

#include "usb/driver/OperationBackend.h"
#include "usb/driver/VirtualDevice.h"

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace zelmora {

class VirtualUsbDriver final : public OperationBackend {
public:
    using DeviceId = std::uint32_t;

    // Status words the driver writes into a request that ends without an
    // answer.
    static constexpr std::uint32_t kCancelledStatus = 0xC0000120;
    static constexpr std::uint32_t kTimeoutStatus = 0xC00000B5;
    static constexpr std::uint32_t kNotConnectedStatus = 0xC000009D;

    VirtualUsbDriver();
    VirtualUsbDriver(const VirtualUsbDriver&) = delete;
    VirtualUsbDriver& operator=(const VirtualUsbDriver&) = delete;
    ~VirtualUsbDriver() override;

    // Plugs a device in under an interface class. It is listed after the
    // devices already present; its path stays the same until it is unplugged.
    DeviceId Plug(std::shared_ptr<VirtualDevice> device,
                  const Guid& interfaceClass = kMeterInterfaceGuid);
    // Removes a device: its pending requests end with an error, its open
    // handles fail every request until they are closed. False when unknown.
    bool Unplug(DeviceId id);
    std::optional<std::string> DevicePath(DeviceId id) const;

    // Faults that belong to no single device.
    void SetListingFails(bool fails);
    void SetInterfaceNotificationReleaseFails(bool fails);

    // What the backend holds, for tests.
    std::size_t OpenHandleCount() const;
    std::size_t NotificationCount() const;
    std::size_t PendingRequestCount() const;
    std::size_t AbortCount() const;

    std::optional<std::vector<std::string>> ListDevicePaths(const Guid& interfaceClass) override;
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
    WaitOutcome WaitFor(BackendOperation& op, std::uint32_t timeoutMs) override;
    void End(BackendOperation& op) override;

private:
    struct Plugged;
    struct Operation;
    struct Completion;
    struct Registration;

    std::shared_ptr<Operation> BeginTransfer(std::shared_ptr<Operation> op, std::uint32_t code);
    void AnswerInformation(Operation& op, std::uint32_t code, std::span<const std::uint8_t> in,
                           std::span<std::uint8_t> out);
    void Abort(DriverHandle handle, std::uint8_t endpoint);

    // With m_mutex held:
    std::shared_ptr<Plugged> FindOpen(DriverHandle handle, std::uint32_t& error) const;
    void Complete(Operation& op, const Completion& completion);
    void Fail(Operation& op, std::uint32_t error, std::uint32_t status);
    void EndPendingWhere(const auto& matches, std::uint32_t error, std::uint32_t status);
    void StartWorkerIfNeeded();

    void WorkerLoop();

    std::condition_variable m_ended;                              // an operation has ended
    std::condition_variable m_workToDo;                           // the worker's deadlines changed
    std::map<DeviceId, std::shared_ptr<Plugged>> m_devices;       // present devices
    std::map<std::uintptr_t, std::shared_ptr<Plugged>> m_handles; // open handles
    std::map<std::uintptr_t, Registration> m_registrations;
    std::vector<std::shared_ptr<Operation>> m_pending;
    DeviceId m_nextDeviceId = 1;
    std::uintptr_t m_nextHandle = 0x100;
    std::uintptr_t m_nextRegistration = 0x1000;
    std::size_t m_abortCount = 0;
    bool m_listingFails = false;
    bool m_interfaceReleaseFails = false;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace zelmora
