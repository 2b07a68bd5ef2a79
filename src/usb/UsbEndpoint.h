#pragma once

#include "usb/driver/DriverRequest.h"
#include "usb/driver/UsbDriver.h"

#include <cstdint>
#include <memory>
#include <span>

namespace zelmora {

// One endpoint of an open device. Every transfer is one overlapped request
// to the driver carrying a DriverRequest block, awaited with m_timeoutMs.
// No locks: the owner keeps transfers on one endpoint from overlapping.
class CUsbEndpoint {
public:
    static constexpr std::uint32_t kDefaultTimeoutMs = 10000;

    // `descriptor` is the 7-byte endpoint descriptor; when absent (fewer
    // bytes) the creator sets the descriptor members itself.
    CUsbEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                 std::span<const std::uint8_t> descriptor);
    CUsbEndpoint(const CUsbEndpoint&) = delete;
    CUsbEndpoint& operator=(const CUsbEndpoint&) = delete;
    virtual ~CUsbEndpoint();

    // Builds and issues the request for `length` bytes of `buffer` (sent in
    // both directions, read back into it for IN). Returns the request block,
    // which the caller hands to Finish, or null when no request was issued.
    virtual std::unique_ptr<DriverRequest> Submit(std::uint8_t* buffer, std::int32_t length,
                                                  OverlappedRecord& record) = 0;

    // Collects the request (a running one is ended first), stores the data
    // length in `length` and m_bytesTransferred, copies IN data and packet
    // information, releases the block. True when the driver reported
    // success and both status words are 0.
    virtual bool Finish(std::uint8_t* buffer, std::int32_t& length, OverlappedRecord& record,
                        std::unique_ptr<DriverRequest> block, std::uint8_t* packetInfo);

    // Submit, WaitForCompletion, Finish. `length` is in: bytes to send or
    // ask for; out: data bytes transferred. `packetInfo` receives the
    // packet information of an isochronous transfer (8 bytes per packet).
    bool Transfer(std::uint8_t* buffer, std::int32_t& length, std::uint8_t* packetInfo = nullptr);

    // True when the submitted request completed within m_timeoutMs. On a
    // time-out the endpoint is aborted and the aborted request waited for.
    bool WaitForCompletion(OverlappedRecord& record);

    // Aborts the endpoint's outstanding requests (request 0x220044).
    bool Abort();

    UsbDriver& m_driver;
    DriverHandle m_deviceHandle;
    std::uint8_t m_descriptorLength = 0;
    std::uint8_t m_descriptorType = 0;
    std::uint8_t m_address = 0;
    std::uint8_t m_attributes = 0;
    std::uint16_t m_maxPacketSize = 0;
    std::uint8_t m_interval = 0;
    std::uint32_t m_timeoutMs = kDefaultTimeoutMs;
    std::uint32_t m_busStatus = 0;
    std::uint32_t m_completionStatus = 0;
    std::int32_t m_bytesTransferred = 0;
    std::uint32_t m_lastError = 0;
    bool m_isIn = false;

protected:
    // Shared tail of every kind's Submit: no request on a closed device or
    // for a length that cannot be described; otherwise lays the block out,
    // copies the caller's data and issues it.
    std::unique_ptr<DriverRequest> Issue(std::uint32_t code, const DriverRequest::Header& header,
                                         std::uint64_t packetInfoLength, const std::uint8_t* buffer,
                                         std::int32_t length, OverlappedRecord& record);
};

} // namespace zelmora
