#include "usb/UsbBulkEndpoint.h"

namespace zelmora {

CUsbBulkEndpoint::CUsbBulkEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                                   std::span<const std::uint8_t> descriptor)
    : CUsbEndpoint(driver, deviceHandle, descriptor) {}

std::unique_ptr<DriverRequest> CUsbBulkEndpoint::Submit(std::uint8_t* buffer, std::int32_t length,
                                                        OverlappedRecord& record) {
    DriverRequest::Header header;
    header.endpointAddress = m_address;
    return Issue(kIoctlEndpointTransfer, header, 0, buffer, length, record);
}

} // namespace zelmora
