#include "usb/driver/DriverRequest.h"

#include <gtest/gtest.h>
#include <vector>

namespace zelmora {
namespace {

TEST(DriverRequestTest, HeaderFieldsSitAtTheirWireOffsetsLittleEndian) {
    DriverRequest::Header header;
    header.requestType = 0xC0;
    header.request = 0xF2;
    header.value = 0x00BB;
    header.index = 0x1234;
    header.length = 0x0105;
    header.timeoutSeconds = 0x0A0B0C0D;
    header.reserved = 0x5A;
    header.endpointAddress = 0x82;
    header.completionStatus = 0x11223344;
    header.busStatus = 0x55667788;
    header.packetInfoOffset = 0x26;
    header.packetInfoLength = 0x10;
    header.dataOffset = 0x36;
    header.dataLength = 0x03E8;

    std::vector<std::uint8_t> bytes(40, 0xEE);
    ASSERT_TRUE(DriverRequest::EncodeHeader(header, bytes));
    const std::vector<std::uint8_t> expected{
        0xC0, 0xF2, 0xBB, 0x00, 0x34, 0x12, 0x05, 0x01, // setup packet
        0x0D, 0x0C, 0x0B, 0x0A,                         // time-out
        0x5A, 0x82,                                     // reserved, endpoint
        0x44, 0x33, 0x22, 0x11,                         // completion status
        0x88, 0x77, 0x66, 0x55,                         // bus status
        0x26, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, // packet info
        0x36, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, // data
        0xEE, 0xEE};                                    // untouched
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(DriverRequest::DecodeHeader(bytes), header);
}

TEST(DriverRequestTest, ShortBuffersAreNeitherWrittenNorRead) {
    std::vector<std::uint8_t> bytes(37, 0xEE);
    EXPECT_FALSE(DriverRequest::EncodeHeader({}, bytes));
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(37, 0xEE));
    EXPECT_FALSE(DriverRequest::DecodeHeader(bytes).has_value());
    EXPECT_EQ(DriverRequest::Read32(bytes, 34), 0u);
    EXPECT_EQ(DriverRequest::Read16(bytes, 36), 0u);
    EXPECT_EQ(DriverRequest::Read16(bytes, 1000), 0u);
    DriverRequest::Write32(bytes, 35, 0);
    DriverRequest::Write16(bytes, 1000, 0);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(37, 0xEE));
}

// A driver decodes blocks that anyone may have written: their areas must
// lie after the header and inside the block, whatever the numbers.
TEST(DriverRequestTest, BlockLayoutMustStayInsideTheBlock) {
    DriverRequest request({}, 16, 100);
    std::vector<std::uint8_t> block(request.Bytes().begin(), request.Bytes().end());
    ASSERT_TRUE(DriverRequest::DecodeBlock(block).has_value());
    EXPECT_EQ(DriverRequest::DecodeBlock(block), DriverRequest::DecodeHeader(block));

    const auto decodesWith = [&block](std::size_t offset, std::uint32_t value) {
        std::vector<std::uint8_t> changed = block;
        DriverRequest::Write32(changed, offset, value);
        return DriverRequest::DecodeBlock(changed).has_value();
    };
    EXPECT_FALSE(decodesWith(DriverRequest::kOffsetDataLength, 101));
    EXPECT_FALSE(decodesWith(DriverRequest::kOffsetDataOffset, 37));
    EXPECT_FALSE(decodesWith(DriverRequest::kOffsetDataOffset, 0xFFFFFFF0)); // no wrap-around
    EXPECT_FALSE(decodesWith(DriverRequest::kOffsetPacketInfoOffset, 0));
    EXPECT_FALSE(decodesWith(DriverRequest::kOffsetPacketInfoLength, 0xFFFFFFFF));
    EXPECT_TRUE(decodesWith(DriverRequest::kOffsetPacketInfoLength, 116)); // up to the end
    // Without packet information its offset means nothing.
    DriverRequest::Write32(block, DriverRequest::kOffsetPacketInfoLength, 0);
    EXPECT_TRUE(decodesWith(DriverRequest::kOffsetPacketInfoOffset, 0xFFFFFFFF));
    block.pop_back();
    EXPECT_FALSE(DriverRequest::DecodeBlock(block).has_value());
}

TEST(DriverRequestTest, TimeoutFieldRoundsUpOnlyBelowOneSecond) {
    EXPECT_EQ(DriverRequest::TimeoutSeconds(0), 0u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(1), 1u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(500), 1u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(999), 1u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(1999), 1u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(5000), 5u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(10000), 10u);
    EXPECT_EQ(DriverRequest::TimeoutSeconds(0xFFFFFFFF), 4294967u);
}

} // namespace
} // namespace zelmora
