#pragma once

// The request block exchanged with the meter's kernel driver: a 38-byte
// little-endian header, then (isochronous only) 8 bytes of packet
// information per packet, then the data. One buffer serves as input and
// output of the device I/O request; the driver writes the two status words
// into it and returns a byte count that includes the header (and the
// packet information).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zelmora {

// Device I/O request codes of the driver.
inline constexpr std::uint32_t kIoctlDriverVersion = 0x220000;       // 4 bytes out
inline constexpr std::uint32_t kIoctlBusInterfaceVersion = 0x220004; // 4 bytes out
inline constexpr std::uint32_t kIoctlAlternateSetting = 0x220008;    // 1 byte out
inline constexpr std::uint32_t kIoctlDeviceAddress = 0x220010;       // 1 byte out
inline constexpr std::uint32_t kIoctlControlTransfer = 0x220020;     // request block
inline constexpr std::uint32_t kIoctlEndpointTransfer = 0x220024;    // request block
inline constexpr std::uint32_t kIoctlDeviceName = 0x22003C;          // text out
inline constexpr std::uint32_t kIoctlFriendlyName = 0x220040;        // text out
inline constexpr std::uint32_t kIoctlAbortEndpoint = 0x220044;       // 1 byte in: address

// The request codes whose buffer is a request block.
inline constexpr bool IsTransferCode(std::uint32_t code) {
    return code == kIoctlControlTransfer || code == kIoctlEndpointTransfer;
}

class DriverRequest {
public:
    static constexpr std::size_t kHeaderSize = 38;
    static constexpr std::size_t kPacketInfoSize = 8;

    static constexpr std::size_t kOffsetRequestType = 0;
    static constexpr std::size_t kOffsetRequest = 1;
    static constexpr std::size_t kOffsetValue = 2;
    static constexpr std::size_t kOffsetIndex = 4;
    static constexpr std::size_t kOffsetLength = 6;
    static constexpr std::size_t kOffsetTimeout = 8;
    static constexpr std::size_t kOffsetReserved = 12;
    static constexpr std::size_t kOffsetEndpoint = 13;
    static constexpr std::size_t kOffsetCompletionStatus = 14;
    static constexpr std::size_t kOffsetBusStatus = 18;
    static constexpr std::size_t kOffsetPacketInfoOffset = 22;
    static constexpr std::size_t kOffsetPacketInfoLength = 26;
    static constexpr std::size_t kOffsetDataOffset = 30;
    static constexpr std::size_t kOffsetDataLength = 34;

    // The header fields. The first eight bytes are the control request's
    // setup packet.
    struct Header {
        std::uint8_t requestType = 0;
        std::uint8_t request = 0;
        std::uint16_t value = 0;
        std::uint16_t index = 0;
        std::uint16_t length = 0;
        std::uint32_t timeoutSeconds = 0;
        std::uint8_t reserved = 0;
        std::uint8_t endpointAddress = 0;
        std::uint32_t completionStatus = 0;
        std::uint32_t busStatus = 0;
        std::uint32_t packetInfoOffset = 0;
        std::uint32_t packetInfoLength = 0;
        std::uint32_t dataOffset = 0;
        std::uint32_t dataLength = 0;

        friend bool operator==(const Header&, const Header&) = default;
    };

    // Writes a header into the first 38 bytes; false (nothing written) when
    // the bytes are fewer.
    static bool EncodeHeader(const Header& header, std::span<std::uint8_t> bytes);
    // Reads a header; nothing when the bytes are fewer than 38.
    static std::optional<Header> DecodeHeader(std::span<const std::uint8_t> bytes);
    // Reads the header of a whole request block as a driver receives it:
    // nothing when the block is shorter than a header, or when the data or
    // the packet-information area it describes starts inside the header or
    // ends past the block.
    static std::optional<Header> DecodeBlock(std::span<const std::uint8_t> block);

    // The time-out field from a time-out in milliseconds: anything from 1 to
    // 999 ms still gets a whole second, otherwise whole seconds rounded down.
    static std::uint32_t TimeoutSeconds(std::uint32_t timeoutMs);

    // Little-endian access; reads outside the bytes give 0, writes outside
    // them are dropped.
    static std::uint8_t Read8(std::span<const std::uint8_t> bytes, std::size_t offset);
    static std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t offset);
    static std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t offset);
    static void Write16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);
    static void Write32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

    // A zero-filled block for a request: header, packet-info area and data,
    // with the layout fields of the header set. The layout is kept apart
    // from the bytes, so whatever a driver writes into the block never moves
    // where the data is read back from.
    DriverRequest(const Header& header, std::uint32_t packetInfoLength, std::uint32_t dataLength);

    std::span<std::uint8_t> Bytes() { return m_bytes; }
    std::span<const std::uint8_t> Bytes() const { return m_bytes; }
    std::size_t Size() const { return m_bytes.size(); }

    std::uint32_t DataOffset() const { return m_dataOffset; }
    std::uint32_t DataLength() const { return m_dataLength; }
    std::uint32_t PacketInfoLength() const { return m_packetInfoLength; }
    std::span<std::uint8_t> Data() { return Bytes().subspan(m_dataOffset, m_dataLength); }
    std::span<const std::uint8_t> Data() const {
        return Bytes().subspan(m_dataOffset, m_dataLength);
    }
    std::span<const std::uint8_t> PacketInfo() const {
        return Bytes().subspan(kHeaderSize, m_packetInfoLength);
    }

    // The status words as the driver left them.
    std::uint32_t CompletionStatus() const;
    std::uint32_t BusStatus() const;

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_packetInfoLength = 0;
    std::uint32_t m_dataOffset = 0;
    std::uint32_t m_dataLength = 0;
};

} // namespace zelmora
