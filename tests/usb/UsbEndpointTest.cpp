#include "ScriptedDriver.h"
#include "usb/UsbBulkEndpoint.h"
#include "usb/UsbControlEndpoint.h"
#include "usb/UsbIsoEndpoint.h"
#include "usb/driver/UsbDescriptors.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <chrono>
#include <gtest/gtest.h>

namespace zelmora {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ScriptedDriver;

constexpr DriverHandle kHandle{1};

Bytes Header(const Bytes& block) {
    return Bytes(block.begin(), block.begin() + 38);
}

TEST(UsbEndpointTest, ControlRequestBlockIsExactToTheByte) {
    ScriptedDriver driver;
    CUsbControlEndpoint endpoint(driver, kHandle, {});
    endpoint.m_requestCode = 0xF2;
    endpoint.m_value = 0x00BB;
    endpoint.m_index = 0x0102;
    std::uint8_t buffer[5] = {9, 8, 7, 6, 5};
    std::int32_t length = 5;
    ASSERT_TRUE(endpoint.Read(buffer, length));
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].code, kIoctlControlTransfer);
    const Bytes& block = driver.seen[0].block;
    ASSERT_EQ(block.size(), 43u);
    const Bytes expected{0xC0, 0xF2, 0xBB, 0x00, 0x02, 0x01, 0x05, 0x00, // setup packet
                         10,   0,    0,    0,                            // 10000 ms
                         0,    0,                                        // reserved, endpoint 0
                         0,    0,    0,    0,    0,    0,    0,    0,    // status words
                         0,    0,    0,    0,    0,    0,    0,    0,    // no packet info
                         38,   0,    0,    0,    5,    0,    0,    0};   // data offset, length
    EXPECT_EQ(Header(block), expected);
    // The caller's bytes travel in both directions.
    EXPECT_EQ(Bytes(block.begin() + 38, block.end()), (Bytes{9, 8, 7, 6, 5}));

    endpoint.m_direction = 0;
    endpoint.m_timeoutMs = 500;
    ASSERT_TRUE(endpoint.Transfer(buffer, length));
    EXPECT_EQ(driver.seen[1].block[0], 0x40);
    EXPECT_EQ(DriverRequest::Read32(driver.seen[1].block, 8), 1u);
    endpoint.m_timeoutMs = 0;
    endpoint.m_target = 0x23; // only the low five bits count
    endpoint.m_requestType = 5;
    ASSERT_TRUE(endpoint.Transfer(buffer, length));
    EXPECT_EQ(driver.seen[2].block[0], 0x23);
    EXPECT_EQ(DriverRequest::Read32(driver.seen[2].block, 8), 0u);
}

TEST(UsbEndpointTest, BulkAndIsochronousBlocks) {
    ScriptedDriver driver;
    // wMaxPacketSize 0x1200: 512 bytes, three transactions per micro-frame.
    const Bytes isoDescriptor{7, 5, 0x83, 1, 0x00, 0x12, 1};
    CUsbIsoEndpoint wide(driver, kHandle, isoDescriptor);
    EXPECT_EQ(wide.m_maxPacketSize, 1536);
    EXPECT_TRUE(wide.m_isIn);

    const Bytes plainIso{7, 5, 0x01, 1, 0x00, 0x02, 1};
    CUsbIsoEndpoint iso(driver, kHandle, plainIso);
    EXPECT_EQ(iso.m_maxPacketSize, 512);
    Bytes data(1000, 0x5A);
    Bytes packetInfo(16, 0xEE);
    std::int32_t length = 1000;
    driver.answer = [](std::uint32_t, std::span<std::uint8_t> block) {
        for (std::size_t i = 38; i < 54; ++i) {
            block[i] = static_cast<std::uint8_t>(i);
        }
        return ScriptedDriver::Answer{true, 1054};
    };
    ASSERT_TRUE(iso.Transfer(data.data(), length, packetInfo.data()));
    const Bytes& block = driver.seen.back().block;
    ASSERT_EQ(block.size(), 1054u);
    EXPECT_EQ(block[13], 0x01);
    EXPECT_EQ(DriverRequest::Read32(block, 22), 38u);
    EXPECT_EQ(DriverRequest::Read32(block, 26), 16u);
    EXPECT_EQ(DriverRequest::Read32(block, 30), 54u);
    EXPECT_EQ(DriverRequest::Read32(block, 34), 1000u);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 13), Bytes(13, 0)); // no setup, no time-out
    EXPECT_EQ(block[54], 0x5A);
    EXPECT_EQ(length, 1000);
    EXPECT_EQ(packetInfo[0], 38);
    EXPECT_EQ(packetInfo[15], 53);

    const Bytes bulkOut{7, 5, 0x02, 2, 64, 0, 0};
    CUsbBulkEndpoint bulk(driver, kHandle, bulkOut);
    driver.answer = [](std::uint32_t, std::span<std::uint8_t> bytes) {
        std::fill(bytes.begin() + 38, bytes.end(), 0xCC); // whatever the driver left there
        return ScriptedDriver::Answer{true, static_cast<std::uint32_t>(bytes.size())};
    };
    Bytes out{1, 2, 3};
    length = 3;
    ASSERT_TRUE(bulk.Transfer(out.data(), length));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(out, (Bytes{1, 2, 3})); // an OUT endpoint never copies back
    const Bytes& bulkBlock = driver.seen.back().block;
    EXPECT_EQ(bulkBlock.size(), 41u);
    EXPECT_EQ(bulkBlock[13], 0x02);
    EXPECT_EQ(DriverRequest::Read32(bulkBlock, 22), 0u);
    EXPECT_EQ(DriverRequest::Read32(bulkBlock, 30), 38u);
    EXPECT_EQ(DriverRequest::Read32(bulkBlock, 34), 3u);
}

TEST(UsbEndpointTest, ResultFollowsTheDriversCountAndStatusWords) {
    ScriptedDriver driver;
    CUsbControlEndpoint endpoint(driver, kHandle, {});
    Bytes buffer(12, 0xEE);
    std::int32_t length = 12;
    std::uint32_t reported = 0;
    std::uint32_t completion = 0;
    std::uint32_t bus = 0;
    driver.answer = [&](std::uint32_t, std::span<std::uint8_t> block) {
        for (std::size_t i = 38; i < block.size(); ++i) {
            block[i] = static_cast<std::uint8_t>(i - 37);
        }
        DriverRequest::Write32(block, 14, completion);
        DriverRequest::Write32(block, 18, bus);
        return ScriptedDriver::Answer{true, reported};
    };

    reported = 38; // the header alone: no data
    EXPECT_TRUE(endpoint.Read(buffer.data(), length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer, Bytes(12, 0xEE));

    reported = 38 + 8; // a short reply
    length = 12;
    EXPECT_TRUE(endpoint.Read(buffer.data(), length));
    EXPECT_EQ(length, 8);
    EXPECT_EQ(endpoint.m_bytesTransferred, 8);
    EXPECT_EQ(buffer[7], 8);
    EXPECT_EQ(buffer[8], 0xEE);

    reported = 38 + 500; // more than the block holds cannot have arrived
    length = 12;
    EXPECT_TRUE(endpoint.Read(buffer.data(), length));
    EXPECT_EQ(length, 12);
    reported = 20; // less than the header
    length = 12;
    EXPECT_TRUE(endpoint.Read(buffer.data(), length));
    EXPECT_EQ(length, 0);

    // A status word fails the transfer, but the data is still delivered.
    reported = 38 + 4;
    bus = 0xC0000004;
    length = 12;
    buffer.assign(12, 0xEE);
    EXPECT_FALSE(endpoint.Read(buffer.data(), length));
    EXPECT_EQ(length, 4);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(endpoint.m_busStatus, 0xC0000004u);
    bus = 0;
    completion = 0xC0000001;
    EXPECT_FALSE(endpoint.Read(buffer.data(), length));
    EXPECT_EQ(endpoint.m_completionStatus, 0xC0000001u);
}

TEST(UsbEndpointTest, NoRequestIsIssuedWhenThereIsNothingToDescribe) {
    ScriptedDriver driver;
    std::uint8_t buffer[8] = {};
    std::int32_t length = 8;

    CUsbControlEndpoint closed(driver, kInvalidDriverHandle, {});
    EXPECT_FALSE(closed.Read(buffer, length));
    EXPECT_EQ(length, 0);
    CUsbControlEndpoint control(driver, kHandle, {});
    length = -1;
    EXPECT_FALSE(control.Read(buffer, length));
    length = 70000; // beyond wLength
    EXPECT_FALSE(control.Read(buffer, length));
    length = 8;
    EXPECT_FALSE(control.Read(nullptr, length));

    const Bytes isoDescriptor{7, 5, 0x81, 1, 0, 0, 1}; // no packet size
    CUsbIsoEndpoint noPackets(driver, kHandle, isoDescriptor);
    length = 8;
    EXPECT_FALSE(noPackets.Transfer(buffer, length));
    const Bytes sizedIso{7, 5, 0x81, 1, 64, 0, 1};
    CUsbIsoEndpoint iso(driver, kHandle, sizedIso);
    length = 0;
    EXPECT_FALSE(iso.Transfer(buffer, length));
    EXPECT_TRUE(driver.seen.empty());
}

class UsbEndpointVirtualTest : public ::testing::Test {
protected:
    // Answers vendor request 0xE2 with 8 bytes, whatever was asked.
    class EightBytes : public VirtualDevice {
    public:
        EightBytes() : VirtualDevice(Descriptors{}) {}
        std::optional<Reply> HandleRequest(const Request&) override {
            return Reply{{'4', '8', '1', '7', 'A', 'B', 'C', 'D'}, 0, 0};
        }
    };
    void SetUp() override {
        handle = driver.OpenDevice(*driver.DevicePath(driver.Plug(device)));
        endpoint =
            std::make_unique<CUsbControlEndpoint>(driver, handle, std::span<const std::uint8_t>{});
        endpoint->m_requestCode = 0xE2;
    }
    VirtualUsbDriver driver;
    std::shared_ptr<EightBytes> device = std::make_shared<EightBytes>();
    DriverHandle handle = kInvalidDriverHandle;
    std::unique_ptr<CUsbControlEndpoint> endpoint;
};

TEST_F(UsbEndpointVirtualTest, AShortReplyIsASuccessWithTheSmallerLength) {
    std::uint8_t buffer[12] = {};
    std::int32_t length = 12;
    EXPECT_TRUE(endpoint->Read(buffer, length));
    EXPECT_EQ(length, 8);
    EXPECT_EQ(buffer[0], '4');
}

TEST_F(UsbEndpointVirtualTest, TimeOutAbortsAndWaitsForTheAbortedRequest) {
    endpoint->m_timeoutMs = 100;
    device->SetFaults({.neverAnswer = true});
    std::uint8_t buffer[12] = {};
    std::int32_t length = 12;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(endpoint->Read(buffer, length));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(driver.AbortCount(), 1u);
    EXPECT_EQ(driver.PendingRequestCount(), 0u);
    EXPECT_EQ(endpoint->m_completionStatus, VirtualUsbDriver::kCancelledStatus);

    // A late answer within the time-out takes the pending path to success;
    // one after it is aborted.
    device->SetFaults({.answerDelayMs = 30});
    length = 12;
    EXPECT_TRUE(endpoint->Read(buffer, length));
    EXPECT_EQ(length, 8);
    device->SetFaults({.answerDelayMs = 400});
    length = 12;
    EXPECT_FALSE(endpoint->Read(buffer, length));
    EXPECT_EQ(driver.AbortCount(), 2u);

    // A device removed while a request waits fails it.
    device->SetFaults({.neverAnswer = true});
    endpoint->m_timeoutMs = kInfinite;
    std::thread remover([&] {
        while (driver.PendingRequestCount() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        driver.Unplug(1);
    });
    length = 12;
    EXPECT_FALSE(endpoint->Read(buffer, length));
    remover.join();
    EXPECT_EQ(endpoint->m_completionStatus, VirtualUsbDriver::kNotConnectedStatus);
}

} // namespace
} // namespace zelmora
