#include "usb/UsbIsoEndpoint.h"

namespace zelmora {

CUsbIsoEndpoint::CUsbIsoEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                                 std::span<const std::uint8_t> descriptor)
    : CUsbEndpoint(driver, deviceHandle, descriptor) {}

std::unique_ptr<DriverRequest> CUsbIsoEndpoint::Submit(std::uint8_t* buffer, std::int32_t length,
                                                       OverlappedRecord& record) {
    // No packets (nothing to send, or an endpoint without a packet size):
    // no request.
    if (length <= 0 || m_maxPacketSize == 0) {
        m_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const std::uint64_t packets =
        (static_cast<std::uint64_t>(length) + m_maxPacketSize - 1) / m_maxPacketSize;
    DriverRequest::Header header;
    header.endpointAddress = m_address;
    return Issue(kIoctlEndpointTransfer, header, packets * DriverRequest::kPacketInfoSize, buffer,
                 length, record);
}

} // namespace zelmora
