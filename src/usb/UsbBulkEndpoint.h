#pragma once

#include "usb/UsbEndpoint.h"

namespace zelmora {

// A bulk or interrupt endpoint.
class CUsbBulkEndpoint : public CUsbEndpoint {
public:
    CUsbBulkEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                     std::span<const std::uint8_t> descriptor);

    std::unique_ptr<DriverRequest> Submit(std::uint8_t* buffer, std::int32_t length,
                                          OverlappedRecord& record) override;
};

} // namespace zelmora
