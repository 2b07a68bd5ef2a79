#include "usb/driver/DriverRequest.h"

namespace zelmora {

std::uint8_t DriverRequest::Read8(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return offset < bytes.size() ? bytes[offset] : 0;
}

std::uint16_t DriverRequest::Read16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) {
        return 0;
    }
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t DriverRequest::Read32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) {
        return 0;
    }
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

void DriverRequest::Write16(std::span<std::uint8_t> bytes, std::size_t offset,
                            std::uint16_t value) {
    if (offset > bytes.size() || bytes.size() - offset < 2) {
        return;
    }
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void DriverRequest::Write32(std::span<std::uint8_t> bytes, std::size_t offset,
                            std::uint32_t value) {
    if (offset > bytes.size() || bytes.size() - offset < 4) {
        return;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool DriverRequest::EncodeHeader(const Header& header, std::span<std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) {
        return false;
    }
    bytes[kOffsetRequestType] = header.requestType;
    bytes[kOffsetRequest] = header.request;
    Write16(bytes, kOffsetValue, header.value);
    Write16(bytes, kOffsetIndex, header.index);
    Write16(bytes, kOffsetLength, header.length);
    Write32(bytes, kOffsetTimeout, header.timeoutSeconds);
    bytes[kOffsetReserved] = header.reserved;
    bytes[kOffsetEndpoint] = header.endpointAddress;
    Write32(bytes, kOffsetCompletionStatus, header.completionStatus);
    Write32(bytes, kOffsetBusStatus, header.busStatus);
    Write32(bytes, kOffsetPacketInfoOffset, header.packetInfoOffset);
    Write32(bytes, kOffsetPacketInfoLength, header.packetInfoLength);
    Write32(bytes, kOffsetDataOffset, header.dataOffset);
    Write32(bytes, kOffsetDataLength, header.dataLength);
    return true;
}

std::optional<DriverRequest::Header>
DriverRequest::DecodeHeader(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) {
        return std::nullopt;
    }
    Header header;
    header.requestType = bytes[kOffsetRequestType];
    header.request = bytes[kOffsetRequest];
    header.value = Read16(bytes, kOffsetValue);
    header.index = Read16(bytes, kOffsetIndex);
    header.length = Read16(bytes, kOffsetLength);
    header.timeoutSeconds = Read32(bytes, kOffsetTimeout);
    header.reserved = bytes[kOffsetReserved];
    header.endpointAddress = bytes[kOffsetEndpoint];
    header.completionStatus = Read32(bytes, kOffsetCompletionStatus);
    header.busStatus = Read32(bytes, kOffsetBusStatus);
    header.packetInfoOffset = Read32(bytes, kOffsetPacketInfoOffset);
    header.packetInfoLength = Read32(bytes, kOffsetPacketInfoLength);
    header.dataOffset = Read32(bytes, kOffsetDataOffset);
    header.dataLength = Read32(bytes, kOffsetDataLength);
    return header;
}

std::optional<DriverRequest::Header>
DriverRequest::DecodeBlock(std::span<const std::uint8_t> block) {
    const std::optional<Header> header = DecodeHeader(block);
    if (!header) {
        return std::nullopt;
    }
    const std::uint64_t size = block.size();
    const auto inside = [size](std::uint32_t offset, std::uint32_t length) {
        return offset >= kHeaderSize && offset <= size && length <= size - offset;
    };
    if (!inside(header->dataOffset, header->dataLength) ||
        (header->packetInfoLength != 0 &&
         !inside(header->packetInfoOffset, header->packetInfoLength))) {
        return std::nullopt;
    }
    return header;
}

std::uint32_t DriverRequest::TimeoutSeconds(std::uint32_t timeoutMs) {
    if (timeoutMs >= 1 && timeoutMs <= 999) {
        return 1;
    }
    return timeoutMs / 1000;
}

DriverRequest::DriverRequest(const Header& header, std::uint32_t packetInfoLength,
                             std::uint32_t dataLength)
    : m_bytes(kHeaderSize + std::size_t{packetInfoLength} + dataLength, 0),
      m_packetInfoLength(packetInfoLength),
      m_dataOffset(static_cast<std::uint32_t>(kHeaderSize + packetInfoLength)),
      m_dataLength(dataLength) {
    Header laidOut = header;
    laidOut.packetInfoOffset = packetInfoLength > 0 ? static_cast<std::uint32_t>(kHeaderSize) : 0;
    laidOut.packetInfoLength = packetInfoLength;
    laidOut.dataOffset = m_dataOffset;
    laidOut.dataLength = dataLength;
    EncodeHeader(laidOut, m_bytes);
}

std::uint32_t DriverRequest::CompletionStatus() const {
    return Read32(m_bytes, kOffsetCompletionStatus);
}

std::uint32_t DriverRequest::BusStatus() const {
    return Read32(m_bytes, kOffsetBusStatus);
}

} // namespace zelmora
