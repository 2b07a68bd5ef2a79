#include "usb/UsbEndpoint.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zelmora {

CUsbEndpoint::CUsbEndpoint(UsbDriver& driver, DriverHandle deviceHandle,
                           std::span<const std::uint8_t> descriptor)
    : m_driver(driver), m_deviceHandle(deviceHandle) {
    if (descriptor.size() >= 7) {
        m_descriptorLength = descriptor[0];
        m_descriptorType = descriptor[1];
        m_address = descriptor[2];
        m_attributes = descriptor[3];
        const std::uint16_t raw = DriverRequest::Read16(descriptor, 4);
        // Packet size times the transactions per micro-frame.
        m_maxPacketSize = static_cast<std::uint16_t>((raw & 0x7FF) * (((raw >> 11) & 3) + 1));
        m_interval = descriptor[6];
        m_isIn = (m_address & 0x80) != 0;
    }
}

CUsbEndpoint::~CUsbEndpoint() = default;

std::unique_ptr<DriverRequest> CUsbEndpoint::Issue(std::uint32_t code,
                                                   const DriverRequest::Header& header,
                                                   std::uint64_t packetInfoLength,
                                                   const std::uint8_t* buffer, std::int32_t length,
                                                   OverlappedRecord& record) {
    if (m_deviceHandle == kInvalidDriverHandle) {
        m_lastError = kErrorInvalidHandle;
        return nullptr;
    }
    // The header's offsets and lengths are 32-bit, and a negative length or
    // a missing buffer has nothing to send or to receive into.
    const std::uint64_t total = DriverRequest::kHeaderSize + packetInfoLength +
                                static_cast<std::uint64_t>(std::max(length, 0));
    if (length < 0 || (length > 0 && buffer == nullptr) ||
        total > std::numeric_limits<std::uint32_t>::max()) {
        m_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    auto block = std::make_unique<DriverRequest>(
        header, static_cast<std::uint32_t>(packetInfoLength), static_cast<std::uint32_t>(length));
    if (length > 0) {
        std::memcpy(block->Data().data(), buffer, static_cast<std::size_t>(length));
    }
    m_lastError = m_driver.SubmitRequest(m_deviceHandle, code, block->Bytes(), record).error;
    return block;
}

bool CUsbEndpoint::WaitForCompletion(OverlappedRecord& record) {
    // m_lastError is what the submission left: 0 for a request that
    // completed at once, ERROR_IO_PENDING for one still running.
    if (m_lastError == kErrorSuccess) {
        return true;
    }
    if (m_lastError != kErrorIoPending) {
        return false;
    }
    switch (m_driver.WaitRequest(record, m_timeoutMs)) {
    case WaitOutcome::Signalled:
        return true;
    case WaitOutcome::TimedOut:
        Abort();
        m_driver.WaitRequest(record, kInfinite);
        return false;
    case WaitOutcome::Failed:
        break;
    }
    return false;
}

bool CUsbEndpoint::Finish(std::uint8_t* buffer, std::int32_t& length, OverlappedRecord& record,
                          std::unique_ptr<DriverRequest> block, std::uint8_t* packetInfo) {
    std::uint32_t bytes = 0;
    const bool collected = m_driver.CollectRequest(record, bytes);
    if (!block) {
        length = 0;
        m_bytesTransferred = 0;
        return false;
    }
    // The byte count comes from the driver: it counts the header, and
    // anything beyond the block's data area cannot have been received.
    std::uint32_t dataLength = 0;
    if (bytes > block->DataOffset()) {
        dataLength = std::min(bytes - block->DataOffset(), block->DataLength());
    }
    length = static_cast<std::int32_t>(dataLength);
    m_bytesTransferred = length;
    m_busStatus = block->BusStatus();
    m_completionStatus = block->CompletionStatus();
    if (m_isIn && dataLength > 0 && buffer != nullptr) {
        std::memcpy(buffer, block->Data().data(), dataLength);
    }
    if (packetInfo != nullptr && dataLength > 0) {
        const auto info = block->PacketInfo();
        std::memcpy(packetInfo, info.data(), info.size());
    }
    return collected && m_busStatus == 0 && m_completionStatus == 0;
}

bool CUsbEndpoint::Transfer(std::uint8_t* buffer, std::int32_t& length, std::uint8_t* packetInfo) {
    OverlappedRecord record;
    std::unique_ptr<DriverRequest> block = Submit(buffer, length, record);
    if (!block) {
        // Nothing was issued, so nothing was transferred.
        length = 0;
        m_bytesTransferred = 0;
        return false;
    }
    const bool waited = WaitForCompletion(record);
    // Runs even when the wait failed: the data that arrived is delivered and
    // the request is ended before its block is released.
    const bool finished = Finish(buffer, length, record, std::move(block), packetInfo);
    return waited && finished;
}

bool CUsbEndpoint::Abort() {
    const std::uint8_t address = m_address;
    std::uint32_t bytes = 0;
    return m_driver.SyncRequest(m_deviceHandle, kIoctlAbortEndpoint, {&address, 1}, {}, bytes);
}

} // namespace zelmora
