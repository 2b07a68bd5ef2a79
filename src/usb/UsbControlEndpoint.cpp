#include "usb/UsbControlEndpoint.h"

#include <limits>

namespace zelmora {

CUsbControlEndpoint::CUsbControlEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                                         std::span<const std::uint8_t> descriptor)
    : CUsbEndpoint(driver, deviceHandle, descriptor) {}

std::uint8_t CUsbControlEndpoint::RequestType() const {
    return static_cast<std::uint8_t>(((m_direction & 1) << 7) | ((m_requestType & 3) << 5) |
                                     (m_target & 0x1F));
}

std::unique_ptr<DriverRequest>
CUsbControlEndpoint::Submit(std::uint8_t* buffer, std::int32_t length, OverlappedRecord& record) {
    m_isIn = m_direction != 0;
    // wLength is 16 bits: a longer control transfer cannot be described.
    if (length > std::numeric_limits<std::uint16_t>::max()) {
        m_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    DriverRequest::Header header;
    header.requestType = RequestType();
    header.request = m_requestCode;
    header.value = m_value;
    header.index = m_index;
    header.length = static_cast<std::uint16_t>(length < 0 ? 0 : length);
    header.timeoutSeconds = DriverRequest::TimeoutSeconds(m_timeoutMs);
    return Issue(kIoctlControlTransfer, header, 0, buffer, length, record);
}

bool CUsbControlEndpoint::Read(std::uint8_t* buffer, std::int32_t& length) {
    m_direction = 1;
    return Transfer(buffer, length, nullptr);
}

} // namespace zelmora
