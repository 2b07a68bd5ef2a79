#include "usb/driver/VirtualUsbDriver.h"

#include "usb/driver/DriverRequest.h"
#include "usb/driver/UsbDescriptors.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace zelmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr Guid kOtherGuid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

VirtualDevice::Descriptors SimpleDescriptors() {
    VirtualDevice::Descriptors d;
    d.device = UsbDescriptors::Device({.vendorId = 0x1234, .productId = 0x5678});
    d.configurations.push_back(UsbDescriptors::Configuration(
        {.interfaces = {{.endpoints = {{.address = 0x81, .attributes = 2}}}}}));
    d.strings[0] = UsbDescriptors::LanguageTable({0x0409});
    return d;
}

// A device whose handler echoes vendor requests and remembers what it saw.
class EchoDevice : public VirtualDevice {
public:
    EchoDevice() : VirtualDevice(SimpleDescriptors()) {}
    std::optional<Reply> HandleRequest(const Request& request) override {
        std::lock_guard lock(mutex);
        last = request;
        lastOut.assign(request.outData.begin(), request.outData.end());
        ++calls;
        Reply reply;
        for (std::uint32_t i = 0; i < 300 && i < request.inLength + 4; ++i) {
            reply.data.push_back(static_cast<std::uint8_t>(i + 1));
        }
        return reply;
    }
    std::mutex mutex;
    Request last;
    Bytes lastOut;
    int calls = 0;
};

Bytes ControlBlock(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                   std::uint16_t index, std::uint16_t length, std::uint32_t timeoutSeconds = 5) {
    DriverRequest::Header header;
    header.requestType = requestType;
    header.request = request;
    header.value = value;
    header.index = index;
    header.length = length;
    header.timeoutSeconds = timeoutSeconds;
    DriverRequest block(header, 0, length);
    return Bytes(block.Bytes().begin(), block.Bytes().end());
}

Bytes EndpointBlock(std::uint8_t address, std::uint32_t packetInfoLength, std::uint32_t length) {
    DriverRequest::Header header;
    header.endpointAddress = address;
    DriverRequest block(header, packetInfoLength, length);
    return Bytes(block.Bytes().begin(), block.Bytes().end());
}

class VirtualUsbDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        id = driver.Plug(device);
        handle = driver.OpenDevice(*driver.DevicePath(id));
        ASSERT_NE(handle, kInvalidDriverHandle);
    }
    bool Sync(std::uint32_t code, Bytes& buffer, std::uint32_t& bytes) {
        return driver.SyncRequest(handle, code, buffer, buffer, bytes);
    }

    VirtualUsbDriver driver;
    std::shared_ptr<EchoDevice> device = std::make_shared<EchoDevice>();
    VirtualUsbDriver::DeviceId id = 0;
    DriverHandle handle = kInvalidDriverHandle;
};

TEST_F(VirtualUsbDriverTest, ListsOpensAndClosesByInterfaceClass) {
    const auto second = driver.Plug(std::make_shared<EchoDevice>());
    driver.Plug(std::make_shared<EchoDevice>(), kOtherGuid);
    const auto paths = driver.ListDevicePaths(kMeterInterfaceGuid);
    ASSERT_TRUE(paths);
    ASSERT_EQ(paths->size(), 2u);
    EXPECT_EQ((*paths)[0], *driver.DevicePath(id));
    EXPECT_EQ((*paths)[1], *driver.DevicePath(second));
    EXPECT_NE((*paths)[0], (*paths)[1]);

    EXPECT_TRUE(driver.Unplug(id));
    EXPECT_FALSE(driver.Unplug(id));
    EXPECT_EQ(driver.ListDevicePaths(kMeterInterfaceGuid)->size(), 1u);
    EXPECT_EQ(driver.ListDevicePaths(kMeterInterfaceGuid)->front(), *driver.DevicePath(second));

    driver.SetListingFails(true);
    EXPECT_FALSE(driver.ListDevicePaths(kMeterInterfaceGuid).has_value());
    driver.SetListingFails(false);
    EXPECT_TRUE(driver.ListDevicePaths(Guid{})->empty());

    EXPECT_EQ(driver.OpenDevice("no such path"), kInvalidDriverHandle);
    // A handle of an unplugged device fails its requests but still closes.
    Bytes buffer(1);
    std::uint32_t bytes = 99;
    EXPECT_FALSE(Sync(kIoctlDeviceAddress, buffer, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(driver.CloseDevice(handle));
    EXPECT_FALSE(driver.CloseDevice(handle));
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
}

TEST_F(VirtualUsbDriverTest, AnswersGetDescriptorFromTheDeviceBytes) {
    Bytes block = ControlBlock(0x80, 6, 0x0100, 0, 18);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 38u + 18u);
    EXPECT_EQ(Bytes(block.begin() + 38, block.end()), device->GetDescriptors().device);
    EXPECT_EQ(DriverRequest::Read32(block, 14), 0u);
    EXPECT_EQ(device->calls, 0);

    // Asking for less gets less; asking for more gets what there is.
    block = ControlBlock(0x80, 6, 0x0200, 0, 9);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 38u + 9u);
    const std::size_t total = device->GetDescriptors().configurations[0].size();
    block = ControlBlock(0x80, 6, 0x0200, 0, 255);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 38u + total);

    // A descriptor the device lacks stalls: the system call succeeds, the
    // status words say why there is no data.
    for (std::uint16_t value : {0x0201, 0x0305, 0x0600}) {
        block = ControlBlock(0x80, 6, value, 0, 4);
        ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
        EXPECT_EQ(bytes, 38u);
        EXPECT_EQ(DriverRequest::Read32(block, 14), VirtualDevice::kStallCompletionStatus);
        EXPECT_EQ(DriverRequest::Read32(block, 18), VirtualDevice::kStallBusStatus);
    }
}

TEST_F(VirtualUsbDriverTest, RoutesVendorRequestsAndTransfersToTheHandler) {
    Bytes block = ControlBlock(0xC0, 0xF2, 0x00BB, 7, 5);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 43u);
    EXPECT_EQ(Bytes(block.begin() + 38, block.end()), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_TRUE(device->last.control);
    EXPECT_TRUE(device->last.in);
    EXPECT_EQ(device->last.setup.request, 0xF2);
    EXPECT_EQ(device->last.setup.value, 0x00BB);
    EXPECT_EQ(device->last.setup.index, 7);
    EXPECT_EQ(device->last.inLength, 5u);

    // Host to device: the handler sees the data, the count covers it.
    block = ControlBlock(0x40, 0x10, 0, 0, 3);
    block[38] = 0xA;
    block[39] = 0xB;
    block[40] = 0xC;
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 41u);
    EXPECT_FALSE(device->last.in);
    EXPECT_EQ(device->lastOut, (Bytes{0xA, 0xB, 0xC}));
    EXPECT_EQ(block[38], 0xA);

    // Bulk OUT and IN on other endpoints.
    block = EndpointBlock(0x02, 0, 4);
    ASSERT_TRUE(Sync(kIoctlEndpointTransfer, block, bytes));
    EXPECT_EQ(bytes, 42u);
    EXPECT_FALSE(device->last.control);
    EXPECT_EQ(device->last.endpoint, 0x02);
    block = EndpointBlock(0x81, 0, 6);
    ASSERT_TRUE(Sync(kIoctlEndpointTransfer, block, bytes));
    EXPECT_EQ(bytes, 44u);
    EXPECT_EQ(device->last.inLength, 6u);

    // Isochronous IN: the count includes the packet information, which the
    // driver fills per packet.
    block = EndpointBlock(0x83, 16, 10);
    ASSERT_TRUE(Sync(kIoctlEndpointTransfer, block, bytes));
    EXPECT_EQ(bytes, 38u + 16u + 10u);
    EXPECT_EQ(block[54], 1);
    EXPECT_EQ(DriverRequest::Read32(block, 38), 0u);
    EXPECT_EQ(DriverRequest::Read32(block, 42), 5u);
    EXPECT_EQ(DriverRequest::Read32(block, 46), 5u);
    EXPECT_EQ(DriverRequest::Read32(block, 50), 5u);
}

TEST_F(VirtualUsbDriverTest, InjectsShortRepliesAndStatusWords) {
    device->SetFaults({.completionStatus = 0xC0000011, .busStatus = 0xC0000030, .replyLimit = 3});
    Bytes block = ControlBlock(0xC0, 0xE2, 0, 0, 12);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 41u);
    EXPECT_EQ(Bytes(block.begin() + 38, block.begin() + 42), (Bytes{1, 2, 3, 0}));
    EXPECT_EQ(DriverRequest::Read32(block, 14), 0xC0000011u);
    EXPECT_EQ(DriverRequest::Read32(block, 18), 0xC0000030u);
    // Descriptor requests are device traffic too.
    block = ControlBlock(0x80, 6, 0x0100, 0, 18);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 41u);
}

TEST_F(VirtualUsbDriverTest, RejectsBlocksWhoseLayoutLeavesTheBuffer) {
    std::uint32_t bytes = 99;
    Bytes tiny(37, 0);
    EXPECT_FALSE(Sync(kIoctlControlTransfer, tiny, bytes));
    EXPECT_EQ(bytes, 0u);
    Bytes block = ControlBlock(0xC0, 1, 0, 0, 8);
    block.resize(40); // data length 8 no longer fits
    EXPECT_FALSE(Sync(kIoctlControlTransfer, block, bytes));
    block = EndpointBlock(0x81, 8, 4);
    DriverRequest::Write32(block, 22, 44); // packet info past the end
    EXPECT_FALSE(Sync(kIoctlEndpointTransfer, block, bytes));
    EXPECT_EQ(device->calls, 0);
    Bytes none(4, 0);
    EXPECT_FALSE(Sync(0x220028, none, bytes));
}

TEST_F(VirtualUsbDriverTest, InformationalRequestsRespectTheCallersBuffer) {
    VirtualDevice::DriverInfo info;
    info.friendlyName = "Friendly";
    device->SetDriverInfo(info);
    Bytes small(4, 0xEE);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(Sync(kIoctlFriendlyName, small, bytes));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(small, (Bytes{'F', 'r', 'i', 'e'}));
    Bytes one(1);
    EXPECT_FALSE(Sync(kIoctlDriverVersion, one, bytes)); // too small for the value
    info.alternateSetting.reset();
    device->SetDriverInfo(info);
    EXPECT_FALSE(Sync(kIoctlAlternateSetting, one, bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(VirtualUsbDriverTest, OverlappedRequestsCompleteAtOnceOrLater) {
    Bytes block = ControlBlock(0xC0, 0xF2, 0, 0, 5);
    OverlappedRecord record;
    SubmitResult submitted = driver.SubmitRequest(handle, kIoctlControlTransfer, block, record);
    EXPECT_EQ(submitted.outcome, SubmitOutcome::Completed);
    EXPECT_EQ(submitted.error, 0u);
    // A record in use takes no second request.
    Bytes other = block;
    EXPECT_EQ(driver.SubmitRequest(handle, kIoctlControlTransfer, other, record).outcome,
              SubmitOutcome::Failed);
    EXPECT_EQ(driver.WaitRequest(record, 0), WaitOutcome::Signalled);
    std::uint32_t bytes = 0;
    EXPECT_TRUE(driver.CollectRequest(record, bytes));
    EXPECT_EQ(bytes, 43u);
    EXPECT_FALSE(record.InUse());
    EXPECT_EQ(driver.WaitRequest(record, 0), WaitOutcome::Failed);

    // A late answer: pending, then finished by the backend's worker.
    device->SetFaults({.answerDelayMs = 150});
    block = ControlBlock(0xC0, 0xF2, 0, 0, 5);
    submitted = driver.SubmitRequest(handle, kIoctlControlTransfer, block, record);
    EXPECT_EQ(submitted.outcome, SubmitOutcome::Pending);
    EXPECT_EQ(submitted.error, kErrorIoPending);
    EXPECT_EQ(block[38], 0); // nothing arrived yet
    EXPECT_EQ(driver.WaitRequest(record, 10), WaitOutcome::TimedOut);
    EXPECT_EQ(driver.WaitRequest(record, kInfinite), WaitOutcome::Signalled);
    EXPECT_TRUE(driver.CollectRequest(record, bytes));
    EXPECT_EQ(bytes, 43u);
    EXPECT_EQ(block[38], 1);

    // An immediate failure attaches nothing.
    submitted = driver.SubmitRequest(DriverHandle{12345}, kIoctlControlTransfer, block, record);
    EXPECT_EQ(submitted.outcome, SubmitOutcome::Failed);
    EXPECT_EQ(submitted.error, kErrorInvalidHandle);
    EXPECT_FALSE(record.InUse());
}

TEST_F(VirtualUsbDriverTest, ARequestWithoutAnswerEndsOnlyWhenAborted) {
    device->SetFaults({.neverAnswer = true});
    Bytes block = ControlBlock(0xC0, 0xF2, 0, 0, 5, 0);
    OverlappedRecord record;
    ASSERT_EQ(driver.SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
              SubmitOutcome::Pending);
    EXPECT_EQ(driver.WaitRequest(record, 20), WaitOutcome::TimedOut);
    EXPECT_EQ(driver.PendingRequestCount(), 1u);

    // Aborting another endpoint leaves it running; its own ends it.
    const std::uint8_t otherEndpoint = 0x81;
    std::uint32_t bytes = 0;
    ASSERT_TRUE(driver.SyncRequest(handle, kIoctlAbortEndpoint, {&otherEndpoint, 1}, {}, bytes));
    EXPECT_EQ(driver.WaitRequest(record, 0), WaitOutcome::TimedOut);
    const std::uint8_t endpoint0 = 0;
    ASSERT_TRUE(driver.SyncRequest(handle, kIoctlAbortEndpoint, {&endpoint0, 1}, {}, bytes));
    EXPECT_EQ(driver.AbortCount(), 2u);
    EXPECT_EQ(driver.WaitRequest(record, kInfinite), WaitOutcome::Signalled);
    EXPECT_FALSE(driver.CollectRequest(record, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(DriverRequest::Read32(block, 14), VirtualUsbDriver::kCancelledStatus);
}

TEST_F(VirtualUsbDriverTest, CollectingOrDroppingARunningRequestEndsItFirst) {
    device->SetFaults({.neverAnswer = true});
    Bytes block = ControlBlock(0xC0, 0xF2, 0, 0, 5, 0);
    {
        OverlappedRecord record;
        ASSERT_EQ(driver.SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
                  SubmitOutcome::Pending);
    }
    EXPECT_EQ(driver.PendingRequestCount(), 0u);

    OverlappedRecord record;
    ASSERT_EQ(driver.SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
              SubmitOutcome::Pending);
    std::uint32_t bytes = 7;
    EXPECT_FALSE(driver.CollectRequest(record, bytes));
    EXPECT_EQ(driver.PendingRequestCount(), 0u);

    // Closing the handle ends what runs on it.
    ASSERT_EQ(driver.SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
              SubmitOutcome::Pending);
    EXPECT_TRUE(driver.CloseDevice(handle));
    EXPECT_EQ(driver.WaitRequest(record, 0), WaitOutcome::Signalled);
}

TEST_F(VirtualUsbDriverTest, HeaderTimeoutEndsARequestThatNeverAnswers) {
    device->SetFaults({.neverAnswer = true});
    Bytes block = ControlBlock(0x80, 6, 0x0100, 0, 18, 1);
    std::uint32_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(DriverRequest::Read32(block, 14), VirtualUsbDriver::kTimeoutStatus);
}

TEST_F(VirtualUsbDriverTest, ServesSeveralThreadsWhileDevicesComeAndGo) {
    device->SetFaults({.answerDelayMs = 1});
    std::atomic<bool> stop{false};
    std::thread plugger([&] {
        while (!stop) {
            const auto extra = driver.Plug(std::make_shared<EchoDevice>());
            const DriverHandle h = driver.OpenDevice(*driver.DevicePath(extra));
            driver.Unplug(extra);
            driver.CloseDevice(h);
        }
    });
    auto worker = [&](std::uint8_t request) {
        int good = 0;
        for (int i = 0; i < 40; ++i) {
            Bytes block = ControlBlock(0xC0, request, 0, 0, 8);
            OverlappedRecord record;
            driver.SubmitRequest(handle, kIoctlControlTransfer, block, record);
            driver.WaitRequest(record, kInfinite);
            std::uint32_t bytes = 0;
            good += driver.CollectRequest(record, bytes) && bytes == 46 ? 1 : 0;
        }
        return good;
    };
    int first = 0;
    std::thread other([&] { first = worker(1); });
    const int second = worker(2);
    other.join();
    stop = true;
    plugger.join();
    EXPECT_EQ(first, 40);
    EXPECT_EQ(second, 40);
}

} // namespace
} // namespace zelmora
