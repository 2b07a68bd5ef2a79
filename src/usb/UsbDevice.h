#pragma once

#include "usb/UsbConfiguration.h"
#include "usb/UsbControlEndpoint.h"
#include "usb/UsbEndpoint.h"
#include "usb/UsbInterface.h"
#include "usb/driver/UsbDriver.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

// One USB device of a driver interface class: counts the present devices,
// opens one by its position, reads its descriptors and strings, builds its
// configurations, interface entries and endpoints, and hands out a ready
// control endpoint.
//
// No locks and no threads: calls on one device must not overlap, but may
// come from any thread. Only releasing a system handle can fail loudly: it
// raises UsbReleaseError (from Close, from Open, which closes first, and
// from the destructor). Because the destructor may throw, delete a device
// directly (not through a smart pointer's deleter, which cannot pass the
// exception on) and never while another exception is in flight; or Close it
// first, where a failure can be caught.
class CUsbDevice {
public:
    static constexpr std::size_t kMaxConfigurations = 2;
    static constexpr std::size_t kStringSize = 256;
    static constexpr std::uint32_t kDescriptorTimeoutMs = 5000;

    // Registers `window` (when there is one) for arrivals and removals of
    // the class, then tries to open device 0; IsOpen tells whether it did.
    CUsbDevice(UsbDriver& driver, NotifyWindow window, const Guid& interfaceClass);
    CUsbDevice(const CUsbDevice&) = delete;
    CUsbDevice& operator=(const CUsbDevice&) = delete;
    ~CUsbDevice() noexcept(false);

    // The present devices of the class, counted afresh; 0 when the class
    // cannot be listed.
    std::uint8_t CountDevices();

    // Closes whatever is open, then opens the device at `deviceNumber`. False
    // when the number is not below the count or the device cannot be opened,
    // and also when it exposes no interface entry, in which case it stays
    // open.
    bool Open(std::uint8_t deviceNumber);
    void Close();
    bool IsOpen() const { return m_deviceHandle != kInvalidDriverHandle; }

    // One buffered driver request with `buffer` as input and output; the
    // byte count goes to m_bytesReturned. False at once when closed.
    bool QueryDriver(std::uint32_t code, void* buffer, std::uint32_t size);

    bool RegisterInterfaceNotification(NotifyWindow window);

    // bNumEndpoints of the selected entry plus endpoint 0; 0 when closed or
    // nothing is selected.
    std::uint8_t EndpointCount() const;

    // Selects a configuration slot and, through the driver's current
    // alternate setting, its interface entry.
    void SelectConfiguration(std::uint8_t configIndex);
    void SelectAlternateSetting(std::uint8_t setting);
    void AssignEndpointShortcuts();

    UsbDriver& m_driver;
    CUsbInterface* m_currentInterface = nullptr;
    std::unique_ptr<CUsbControlEndpoint> m_controlEndpoint;
    CUsbEndpoint* m_isoInEndpoint = nullptr;
    CUsbEndpoint* m_isoOutEndpoint = nullptr;
    CUsbEndpoint* m_bulkInEndpoint = nullptr;
    CUsbEndpoint* m_bulkOutEndpoint = nullptr;
    CUsbEndpoint* m_interruptInEndpoint = nullptr;
    CUsbEndpoint* m_interruptOutEndpoint = nullptr;
    std::uint16_t m_languageId = 0;
    std::uint32_t m_lastBusStatus = 0;
    std::uint32_t m_lastCompletionStatus = 0;
    std::uint32_t m_driverVersion = 0;
    std::uint32_t m_busInterfaceVersion = 0;
    std::array<std::uint8_t, kStringSize> m_deviceName{};
    std::array<std::uint8_t, kStringSize> m_friendlyName{};
    // String descriptors' text: raw UTF-16LE after the two header bytes.
    std::array<std::uint8_t, kStringSize> m_manufacturer{};
    std::array<std::uint8_t, kStringSize> m_product{};
    std::array<std::uint8_t, kStringSize> m_serialNumber{};
    std::uint16_t m_bcdUsb = 0;
    std::uint16_t m_vendorId = 0;
    std::uint16_t m_productId = 0;
    std::uint8_t m_deviceAddress = 0;
    std::uint8_t m_deviceClass = 0;
    std::uint8_t m_deviceSubClass = 0;
    std::uint8_t m_deviceProtocol = 0;
    std::uint8_t m_maxPacketSize0 = 0;
    std::uint16_t m_bcdDevice = 0;
    std::uint8_t m_configValue = 0;
    std::uint8_t m_configAttributes = 0;
    std::uint8_t m_maxPower = 0;
    std::uint8_t m_interfaceClass = 0;
    std::uint8_t m_interfaceSubClass = 0;
    std::uint8_t m_interfaceProtocol = 0;
    std::uint32_t m_bytesReturned = 0;
    std::array<std::uint8_t, 18> m_deviceDescriptor{};
    std::array<std::optional<std::vector<std::uint8_t>>, kMaxConfigurations> m_configDescriptors;
    std::array<std::unique_ptr<CUsbConfiguration>, kMaxConfigurations> m_configurations;
    NotifyWindow m_notifyWindow = kNoNotifyWindow;
    DriverHandle m_deviceHandle = kInvalidDriverHandle;
    // The driver's path of the open device (where it sits, for the
    // operator); empty when none is open.
    std::string m_devicePath;
    NotificationHandle m_interfaceNotification = kNoNotification;
    NotificationHandle m_handleNotification = kNoNotification;
    Guid m_interfaceClassGuid;
    std::uint8_t m_deviceCount = 0;
    std::uint8_t m_interfaceCount = 0;
    std::uint8_t m_interfaceEntryCount = 0;
    std::uint8_t m_configCount = 0;
    std::uint8_t m_deviceNumber = 0;
    std::uint8_t m_configIndex = 0;
    std::uint8_t m_firstInterfaceNumber = 0;
    std::uint8_t m_altIndex = 0;

private:
    // One standard GET_DESCRIPTOR on endpoint 0. `reply` receives wLength
    // bytes, zero beyond what arrived; `received` the data bytes that did.
    // True when the driver and both status words report success.
    bool RequestDescriptor(std::uint16_t value, std::uint16_t index, std::uint16_t length,
                           bool keepCompletionStatus, std::vector<std::uint8_t>& reply,
                           std::size_t& received);
    // A string descriptor in two requests: its header, then the whole at the
    // length the header gave. `bytes` is the second reply's own length byte,
    // within what arrived.
    bool RequestString(std::uint16_t value, std::uint16_t index, bool keepCompletionStatus,
                       std::vector<std::uint8_t>& reply, std::size_t& bytes);
    void ReadDeviceDescriptor();
    void ReadLanguageId();
    void ReadStringDescriptor(std::array<std::uint8_t, kStringSize>& field, std::uint8_t index);
    void ReadConfigDescriptor(std::uint8_t index);
    void QueryDriverInfo();
    std::uint8_t QueryAlternateSetting();
    CUsbInterface* SelectedEntry() const;
    void ClearEndpointShortcuts();
};

} // namespace zelmora
