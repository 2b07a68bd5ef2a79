#pragma once

#include "usb/UsbEndpoint.h"

namespace zelmora {

// An isochronous endpoint: the data is cut into packets of m_maxPacketSize,
// and the driver reports 8 bytes of packet information for each.
class CUsbIsoEndpoint : public CUsbEndpoint {
public:
    CUsbIsoEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                    std::span<const std::uint8_t> descriptor);

    std::unique_ptr<DriverRequest> Submit(std::uint8_t* buffer, std::int32_t length,
                                          OverlappedRecord& record) override;
};

} // namespace zelmora
