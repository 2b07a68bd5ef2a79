#include "usb/UsbDevice.h"

#include "usb/UsbReleaseError.h"
#include "usb/driver/DriverRequest.h"

#include <algorithm>
#include <cstring>

namespace zelmora {

namespace {

constexpr std::uint8_t kStandardDeviceToHost = 0x80;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint16_t kDeviceDescriptor = 0x0100;
constexpr std::uint16_t kConfigDescriptor = 0x0200;
constexpr std::uint16_t kStringDescriptor = 0x0300;
constexpr std::uint16_t kEnglishUnitedStates = 0x0409;

} // namespace

CUsbDevice::CUsbDevice(UsbDriver& driver, NotifyWindow window, const Guid& interfaceClass)
    : m_driver(driver), m_notifyWindow(window), m_interfaceClassGuid(interfaceClass) {
    if (window != kNoNotifyWindow) {
        RegisterInterfaceNotification(window);
    }
    Open(0);
}

CUsbDevice::~CUsbDevice() noexcept(false) {
    Close();
    if (m_interfaceNotification != kNoNotification) {
        if (!m_driver.UnregisterNotification(m_interfaceNotification)) {
            throw UsbReleaseError(UsbReleaseError::kDeviceNotification);
        }
        m_interfaceNotification = kNoNotification;
    }
}

std::uint8_t CUsbDevice::CountDevices() {
    m_deviceCount = 0;
    const auto paths = m_driver.ListDevicePaths(m_interfaceClassGuid);
    if (paths) {
        // The count is 8 bits wide; more devices than it holds stop at 255.
        m_deviceCount = static_cast<std::uint8_t>(std::min<std::size_t>(paths->size(), 255));
    }
    return m_deviceCount;
}

bool CUsbDevice::Open(std::uint8_t deviceNumber) {
    if (IsOpen()) {
        Close();
    }
    m_deviceCount = CountDevices();
    if (m_deviceCount == 0 || deviceNumber > m_deviceCount - 1) {
        return false;
    }
    const auto paths = m_driver.ListDevicePaths(m_interfaceClassGuid);
    if (!paths || deviceNumber >= paths->size()) {
        // The device went away between counting and opening.
        m_deviceHandle = kInvalidDriverHandle;
        m_deviceNumber = 0;
        return false;
    }
    const DriverHandle handle = m_driver.OpenDevice((*paths)[deviceNumber]);
    if (handle == kInvalidDriverHandle) {
        return false;
    }
    m_deviceHandle = handle;
    m_deviceNumber = deviceNumber;
    m_devicePath = (*paths)[deviceNumber];

    ReadDeviceDescriptor();
    ReadLanguageId();
    ReadStringDescriptor(m_manufacturer, m_deviceDescriptor[14]);
    ReadStringDescriptor(m_product, m_deviceDescriptor[15]);
    ReadStringDescriptor(m_serialNumber, m_deviceDescriptor[16]);
    QueryDriverInfo();

    // Only the first configurations fit the model; the rest are ignored.
    const std::size_t configs = std::min<std::size_t>(m_configCount, kMaxConfigurations);
    for (std::size_t i = 0; i < configs; ++i) {
        ReadConfigDescriptor(static_cast<std::uint8_t>(i));
        if (m_configDescriptors[i]) {
            m_configurations[i] = std::make_unique<CUsbConfiguration>(m_driver, m_deviceHandle,
                                                                      *m_configDescriptors[i]);
        }
    }

    m_controlEndpoint = std::make_unique<CUsbControlEndpoint>(m_driver, m_deviceHandle,
                                                              std::span<const std::uint8_t>{});
    m_controlEndpoint->m_descriptorLength = 7;
    m_controlEndpoint->m_descriptorType = 5;
    m_controlEndpoint->m_address = 0;
    m_controlEndpoint->m_attributes = 0;
    m_controlEndpoint->m_maxPacketSize = m_maxPacketSize0;
    m_controlEndpoint->m_interval = 0;

    if (!m_configurations[0] || !m_configurations[0]->m_interfaces[0]) {
        return false;
    }
    SelectConfiguration(0);
    if (m_interfaceNotification != kNoNotification) {
        m_handleNotification = m_driver.RegisterHandleNotification(m_notifyWindow, m_deviceHandle);
    }
    return true;
}

void CUsbDevice::Close() {
    if (IsOpen()) {
        if (m_handleNotification != kNoNotification) {
            if (!m_driver.UnregisterNotification(m_handleNotification)) {
                throw UsbReleaseError(UsbReleaseError::kHandleNotification);
            }
            // Released: a later Close must not release it a second time.
            m_handleNotification = kNoNotification;
        }
        if (!m_driver.CloseDevice(m_deviceHandle)) {
            throw UsbReleaseError(UsbReleaseError::kDriverHandle);
        }
        m_deviceHandle = kInvalidDriverHandle;
    }
    m_deviceDescriptor.fill(0);
    for (std::size_t i = 0; i < kMaxConfigurations; ++i) {
        m_configDescriptors[i].reset();
        m_configurations[i].reset();
    }
    m_controlEndpoint.reset();
    ClearEndpointShortcuts();
    m_currentInterface = nullptr;
    m_devicePath.clear();
    m_deviceCount = 0;
    m_configCount = 0;
    m_interfaceCount = 0;
    m_interfaceEntryCount = 0;
}

bool CUsbDevice::QueryDriver(std::uint32_t code, void* buffer, std::uint32_t size) {
    if (!IsOpen()) {
        return false;
    }
    const std::span<std::uint8_t> bytes(static_cast<std::uint8_t*>(buffer), size);
    std::uint32_t returned = 0;
    const bool succeeded = m_driver.SyncRequest(m_deviceHandle, code, bytes, bytes, returned);
    m_bytesReturned = returned;
    return succeeded;
}

bool CUsbDevice::RegisterInterfaceNotification(NotifyWindow window) {
    const NotificationHandle notification =
        m_driver.RegisterInterfaceNotification(window, m_interfaceClassGuid);
    if (notification == kNoNotification) {
        return false;
    }
    m_interfaceNotification = notification;
    return true;
}

void CUsbDevice::ClearEndpointShortcuts() {
    m_isoInEndpoint = m_isoOutEndpoint = nullptr;
    m_bulkInEndpoint = m_bulkOutEndpoint = nullptr;
    m_interruptInEndpoint = m_interruptOutEndpoint = nullptr;
}

CUsbInterface* CUsbDevice::SelectedEntry() const {
    if (m_configIndex >= kMaxConfigurations || !m_configurations[m_configIndex] ||
        m_altIndex >= CUsbConfiguration::kMaxEntries) {
        return nullptr;
    }
    return m_configurations[m_configIndex]->m_interfaces[m_altIndex].get();
}

std::uint8_t CUsbDevice::EndpointCount() const {
    const CUsbInterface* entry = IsOpen() ? SelectedEntry() : nullptr;
    if (!entry) {
        return 0;
    }
    return static_cast<std::uint8_t>(std::min(entry->m_bNumEndpoints + 1, 255));
}

void CUsbDevice::SelectConfiguration(std::uint8_t configIndex) {
    if (configIndex >= kMaxConfigurations || !m_configurations[configIndex]) {
        return;
    }
    m_configIndex = configIndex;
    const CUsbConfiguration& config = *m_configurations[configIndex];
    m_configValue = config.m_bConfigurationValue;
    m_configAttributes = config.m_bmAttributes;
    m_maxPower = config.m_bMaxPower;
    m_interfaceCount = config.m_bNumInterfaces;
    m_interfaceEntryCount = config.m_entryCount;
    if (config.m_interfaces[0]) {
        m_firstInterfaceNumber = config.m_interfaces[0]->m_bInterfaceNumber;
    }
    SelectAlternateSetting(QueryAlternateSetting());
    if (const CUsbInterface* entry = SelectedEntry()) {
        m_interfaceClass = entry->m_bInterfaceClass;
        m_interfaceSubClass = entry->m_bInterfaceSubClass;
        m_interfaceProtocol = entry->m_bInterfaceProtocol;
    }
}

void CUsbDevice::SelectAlternateSetting(std::uint8_t setting) {
    if (m_configIndex >= kMaxConfigurations || !m_configurations[m_configIndex]) {
        return;
    }
    const CUsbConfiguration& config = *m_configurations[m_configIndex];
    for (std::size_t i = 0; i < config.m_entryCount; ++i) {
        const CUsbInterface& entry = *config.m_interfaces[i];
        if (entry.m_bAlternateSetting == setting) {
            m_altIndex = static_cast<std::uint8_t>(i);
            m_interfaceClass = entry.m_bInterfaceClass;
            m_interfaceSubClass = entry.m_bInterfaceSubClass;
            m_interfaceProtocol = entry.m_bInterfaceProtocol;
            AssignEndpointShortcuts();
            return;
        }
    }
}

void CUsbDevice::AssignEndpointShortcuts() {
    if (m_configCount == 0 || m_interfaceCount == 0) {
        return;
    }
    CUsbInterface* entry = SelectedEntry();
    if (!entry) {
        return;
    }
    m_currentInterface = entry;
    entry->m_endpoints[0] = m_controlEndpoint.get();
    ClearEndpointShortcuts();
    const std::size_t last =
        std::min<std::size_t>(entry->m_bNumEndpoints, CUsbInterface::kSlotCount - 1);
    for (std::size_t slot = 1; slot <= last; ++slot) {
        CUsbEndpoint* endpoint = entry->m_endpoints[slot];
        if (!endpoint) {
            continue;
        }
        const bool in = (endpoint->m_address & 0x80) != 0;
        CUsbEndpoint** shortcut = nullptr;
        switch (endpoint->m_attributes) {
        case 1:
            shortcut = in ? &m_isoInEndpoint : &m_isoOutEndpoint;
            break;
        case 2:
            shortcut = in ? &m_bulkInEndpoint : &m_bulkOutEndpoint;
            break;
        case 3:
            shortcut = in ? &m_interruptInEndpoint : &m_interruptOutEndpoint;
            break;
        default:
            continue;
        }
        if (*shortcut == nullptr) {
            *shortcut = endpoint;
        }
    }
}

bool CUsbDevice::RequestDescriptor(std::uint16_t value, std::uint16_t index, std::uint16_t length,
                                   bool keepCompletionStatus, std::vector<std::uint8_t>& reply,
                                   std::size_t& received) {
    DriverRequest::Header header;
    header.requestType = kStandardDeviceToHost;
    header.request = kGetDescriptor;
    header.value = value;
    header.index = index;
    header.length = length;
    header.timeoutSeconds = DriverRequest::TimeoutSeconds(kDescriptorTimeoutMs);
    DriverRequest block(header, 0, length);
    const bool succeeded = QueryDriver(kIoctlControlTransfer, block.Bytes().data(),
                                       static_cast<std::uint32_t>(block.Size()));
    m_lastBusStatus = block.BusStatus();
    if (keepCompletionStatus) {
        m_lastCompletionStatus = block.CompletionStatus();
    }
    // The driver's count includes the header; no more than was asked for
    // can have arrived.
    received = 0;
    if (succeeded && m_bytesReturned > block.DataOffset()) {
        received = std::min<std::size_t>(m_bytesReturned - block.DataOffset(), length);
    }
    reply.assign(length, 0);
    std::copy_n(block.Data().begin(), received, reply.begin());
    return succeeded && block.BusStatus() == 0 && block.CompletionStatus() == 0;
}

void CUsbDevice::ReadDeviceDescriptor() {
    m_deviceDescriptor.fill(0);
    std::vector<std::uint8_t> reply;
    std::size_t received = 0;
    if (!RequestDescriptor(kDeviceDescriptor, 0, 18, true, reply, received) ||
        received < m_deviceDescriptor.size()) {
        return;
    }
    std::copy(reply.begin(), reply.end(), m_deviceDescriptor.begin());
    m_bcdUsb = DriverRequest::Read16(reply, 2);
    m_deviceClass = reply[4];
    m_deviceSubClass = reply[5];
    m_deviceProtocol = reply[6];
    m_maxPacketSize0 = reply[7];
    m_vendorId = DriverRequest::Read16(reply, 8);
    m_productId = DriverRequest::Read16(reply, 10);
    m_bcdDevice = DriverRequest::Read16(reply, 12);
    m_configCount = reply[17];
}

bool CUsbDevice::RequestString(std::uint16_t value, std::uint16_t index, bool keepCompletionStatus,
                               std::vector<std::uint8_t>& reply, std::size_t& bytes) {
    std::size_t received = 0;
    if (!RequestDescriptor(value, index, 2, keepCompletionStatus, reply, received) ||
        received < 1) {
        return false;
    }
    const std::uint8_t length = reply[0];
    if (!RequestDescriptor(value, index, length, keepCompletionStatus, reply, received)) {
        return false;
    }
    // The reply may claim more than arrived, or a different length than the
    // first one said: only what is there counts.
    bytes = std::min<std::size_t>(reply.empty() ? 0 : reply[0], received);
    return true;
}

void CUsbDevice::ReadLanguageId() {
    std::vector<std::uint8_t> reply;
    std::size_t bytes = 0;
    if (!RequestString(kStringDescriptor, 0, false, reply, bytes)) {
        return;
    }
    const std::size_t count = bytes >= 2 ? (bytes - 2) / 2 : 0;
    m_languageId = count > 0 ? DriverRequest::Read16(reply, 2) : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (DriverRequest::Read16(reply, 2 + 2 * i) == kEnglishUnitedStates) {
            m_languageId = kEnglishUnitedStates;
        }
    }
}

void CUsbDevice::ReadStringDescriptor(std::array<std::uint8_t, kStringSize>& field,
                                      std::uint8_t index) {
    const std::uint16_t value = static_cast<std::uint16_t>(kStringDescriptor + index);
    std::vector<std::uint8_t> reply;
    std::size_t bytes = 0;
    if (!RequestString(value, m_languageId, true, reply, bytes)) {
        return;
    }
    field.fill(0);
    if (bytes > 2) {
        std::copy_n(reply.begin() + 2, std::min(bytes - 2, field.size()), field.begin());
    }
}

void CUsbDevice::ReadConfigDescriptor(std::uint8_t index) {
    const std::uint16_t value = static_cast<std::uint16_t>(kConfigDescriptor + index);
    std::vector<std::uint8_t> reply;
    std::size_t received = 0;
    if (!RequestDescriptor(value, 0, 9, true, reply, received) || received < 4) {
        return;
    }
    const std::uint16_t totalLength = DriverRequest::Read16(reply, 2);
    if (totalLength == 0 || !RequestDescriptor(value, 0, totalLength, true, reply, received)) {
        return;
    }
    // Bytes the device announced but did not send stay zero.
    m_configDescriptors[index] = std::move(reply);
}

void CUsbDevice::QueryDriverInfo() {
    if (!QueryDriver(kIoctlDeviceAddress, &m_deviceAddress, 1) || m_bytesReturned == 0) {
        m_deviceAddress = 0;
    }
    m_deviceName.fill(0);
    QueryDriver(kIoctlDeviceName, m_deviceName.data(), kStringSize);
    m_friendlyName.fill(0);
    QueryDriver(kIoctlFriendlyName, m_friendlyName.data(), kStringSize);

    const auto queryNumber = [this](std::uint32_t code, std::uint32_t& member) {
        std::array<std::uint8_t, 4> bytes{};
        DriverRequest::Write32(bytes, 0, member);
        if (!QueryDriver(code, bytes.data(), 4) || m_bytesReturned == 0) {
            member = 0;
        } else {
            member = DriverRequest::Read32(bytes, 0);
        }
    };
    queryNumber(kIoctlDriverVersion, m_driverVersion);
    queryNumber(kIoctlBusInterfaceVersion, m_busInterfaceVersion);
}

std::uint8_t CUsbDevice::QueryAlternateSetting() {
    std::uint8_t setting = 0;
    if (!QueryDriver(kIoctlAlternateSetting, &setting, 1) || m_bytesReturned == 0) {
        return 0xFF;
    }
    return setting;
}

} // namespace zelmora
