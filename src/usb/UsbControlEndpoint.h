#pragma once

#include "usb/UsbEndpoint.h"

namespace zelmora {

// A control endpoint (endpoint 0 of every device): each transfer carries a
// setup packet built from the request members, set by the caller and kept
// until changed.
class CUsbControlEndpoint : public CUsbEndpoint {
public:
    CUsbControlEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                        std::span<const std::uint8_t> descriptor);

    std::unique_ptr<DriverRequest> Submit(std::uint8_t* buffer, std::int32_t length,
                                          OverlappedRecord& record) override;

    // A device-to-host transfer of up to `length` bytes into `buffer`.
    bool Read(std::uint8_t* buffer, std::int32_t& length);

    // bmRequestType: direction in bit 7, type in bits 5-6, recipient in
    // bits 0-4.
    std::uint8_t RequestType() const;

    std::uint32_t m_target = 0;      // 0 device, 1 interface, 2 endpoint, 3 other
    std::uint32_t m_requestType = 2; // 0 standard, 1 class, 2 vendor
    std::uint32_t m_direction = 0;   // 0 host to device, 1 device to host
    std::uint8_t m_requestCode = 0;
    std::uint16_t m_value = 0;
    std::uint16_t m_index = 0;
};

} // namespace zelmora
