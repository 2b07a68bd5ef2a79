// The libusb backend against devices emulated at the usbfs level: libusb's
// own code runs, only the kernel is replaced.

#include "usb/driver/LibusbDriver.h"

#include "UsbFsEmulation.h"
#include "usb/driver/DriverRequest.h"
#include "usb/driver/UsbDescriptors.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <string>

namespace zelmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr UsbId kMeterId{0x1234, 0x5678};
constexpr UsbId kSecondMeterId{0x1234, 0x5679};
constexpr UsbId kOtherId{0xabcd, 0x0001};
constexpr std::uint8_t kBulkIn = 0x81;
constexpr std::uint8_t kBulkOut = 0x02;

VirtualDevice::Descriptors MeterDescriptors(UsbId id) {
    VirtualDevice::Descriptors d;
    d.device = UsbDescriptors::Device({.vendorId = id.vendorId,
                                       .productId = id.productId,
                                       .manufacturerIndex = 1,
                                       .productIndex = 2});
    d.configurations.push_back(UsbDescriptors::Configuration(
        {.interfaces = {{.endpoints = {{.address = kBulkIn, .attributes = 2},
                                       {.address = kBulkOut, .attributes = 2}}}}}));
    d.strings[0] = UsbDescriptors::LanguageTable({0x0409});
    d.strings[1] = UsbDescriptors::String(u"Maker");
    d.strings[2] = UsbDescriptors::String(u"Power meter");
    return d;
}

// Answers the meter's vendor requests (identity, start/stop, sample) and
// transfers on its bulk endpoints; remembers what reached it.
class TestMeter : public VirtualDevice {
public:
    explicit TestMeter(UsbId id = kMeterId) : VirtualDevice(MeterDescriptors(id)) {}

    std::optional<Reply> HandleRequest(const Request& request) override {
        std::lock_guard lock(mutex);
        ++calls;
        if (!request.control) {
            if (request.in) {
                return Reply{Bytes(request.inLength, 0x5A), 0, 0};
            }
            received.assign(request.outData.begin(), request.outData.end());
            return Reply{};
        }
        if ((request.setup.requestType & 0x60) != 0x40) {
            return Stall();
        }
        switch (request.setup.request) {
        case 0xE2:
            return Text("4817x123RM41");
        case 0xE4:
            return Text("00456789");
        case 0xF1:
            return Reply{{0, 0}, 0, 0};
        case 0xF2:
            return Reply{{0x03, 0x20, 0x12, 0x34, 2}, 0, 0};
        case 0x55: // a vendor OUT request that keeps what it is sent
            received.assign(request.outData.begin(), request.outData.end());
            return Reply{};
        default:
            return Stall();
        }
    }

    static Reply Text(const std::string& text) {
        return Reply{Bytes(text.begin(), text.end()), 0, 0};
    }

    std::mutex mutex;
    int calls = 0;
    Bytes received;
};

Bytes ControlBlock(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                   std::uint16_t index, std::uint16_t length, std::uint32_t timeoutSeconds = 0) {
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

Bytes EndpointBlock(std::uint8_t address, std::uint32_t length) {
    DriverRequest::Header header;
    header.endpointAddress = address;
    DriverRequest block(header, 0, length);
    return Bytes(block.Bytes().begin(), block.Bytes().end());
}

Bytes DataOf(const Bytes& block, std::uint32_t bytesReturned) {
    if (bytesReturned <= DriverRequest::kHeaderSize) {
        return {};
    }
    return Bytes(block.begin() + DriverRequest::kHeaderSize, block.begin() + bytesReturned);
}

std::uint32_t CompletionStatus(const Bytes& block) {
    return DriverRequest::Read32(block, DriverRequest::kOffsetCompletionStatus);
}

std::uint32_t BusStatus(const Bytes& block) {
    return DriverRequest::Read32(block, DriverRequest::kOffsetBusStatus);
}

class LibusbDriverTest : public ::testing::Test {
protected:
    // The emulation comes first: libusb must start inside it.
    void Start(std::vector<UsbId> matchList = {kMeterId, kSecondMeterId}) {
        std::string error;
        driver = LibusbDriver::Create(std::move(matchList), &error);
        ASSERT_NE(driver, nullptr) << error;
    }
    void StartWithMeter() {
        meterPath = emulation.Add(meter, 1, 2);
        Start();
        const auto paths = driver->ListDevicePaths(kMeterInterfaceGuid);
        ASSERT_TRUE(paths && paths->size() == 1);
        handle = driver->OpenDevice(paths->front());
        ASSERT_NE(handle, kInvalidDriverHandle);
    }
    bool Sync(std::uint32_t code, Bytes& buffer, std::uint32_t& bytes) {
        return driver->SyncRequest(handle, code, buffer, buffer, bytes);
    }
    bool Abort(std::uint8_t endpoint) {
        Bytes in{endpoint};
        std::uint32_t bytes = 0;
        return driver->SyncRequest(handle, kIoctlAbortEndpoint, in, {}, bytes);
    }

    UsbFsEmulation emulation;
    std::shared_ptr<TestMeter> meter = std::make_shared<TestMeter>();
    std::string meterPath;
    std::unique_ptr<LibusbDriver> driver;
    DriverHandle handle = kInvalidDriverHandle;
};

TEST_F(LibusbDriverTest, ListsOnlyMatchingDevicesByPortAndNeverTouchesOthers) {
    auto other = std::make_shared<TestMeter>(kOtherId);
    auto second = std::make_shared<TestMeter>(kSecondMeterId);
    emulation.Add(meter, 3, 4);
    emulation.Add(other, 1, 2);
    emulation.Add(second, 2, 3);
    Start();

    const auto paths = driver->ListDevicePaths(kMeterInterfaceGuid);
    ASSERT_TRUE(paths);
    EXPECT_EQ(*paths, (std::vector<std::string>{"usb:1-2", "usb:1-3"}));
    EXPECT_EQ(driver->ListDevicePaths(Guid{1, 2, 3, {}}), std::vector<std::string>{});

    // The unlisted device cannot be opened, so nothing can reach it.
    EXPECT_EQ(driver->OpenDevice("usb:1-1"), kInvalidDriverHandle);
    EXPECT_EQ(driver->OpenDevice("usb:1-9"), kInvalidDriverHandle);
    const DriverHandle opened = driver->OpenDevice("usb:1-3");
    ASSERT_NE(opened, kInvalidDriverHandle);
    Bytes block = ControlBlock(0xC0, 0xE2, 0, 0, 12, 5);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(driver->SyncRequest(opened, kIoctlControlTransfer, block, block, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 12);
    EXPECT_TRUE(driver->CloseDevice(opened));
    EXPECT_FALSE(driver->CloseDevice(opened));
    std::lock_guard lock(other->mutex);
    EXPECT_EQ(other->calls, 0);
}

TEST_F(LibusbDriverTest, AnswersDescriptorsStringsAndDriverInformation) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());
    std::uint32_t bytes = 0;

    Bytes device = ControlBlock(0x80, 6, 0x0100, 0, 18, 5);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, device, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 18);
    EXPECT_EQ(DataOf(device, bytes), meter->GetDescriptors().device);
    EXPECT_EQ(CompletionStatus(device), 0u);
    EXPECT_EQ(BusStatus(device), 0u);

    // A header first, then the whole descriptor, as the device layer reads it.
    Bytes configHeader = ControlBlock(0x80, 6, 0x0200, 0, 9, 5);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, configHeader, bytes));
    const std::uint16_t total = DriverRequest::Read16(configHeader, DriverRequest::kHeaderSize + 2);
    Bytes config = ControlBlock(0x80, 6, 0x0200, 0, total, 5);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, config, bytes));
    EXPECT_EQ(DataOf(config, bytes), meter->GetDescriptors().configurations[0]);

    Bytes product = ControlBlock(0x80, 6, 0x0302, 0x0409, 255, 5);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, product, bytes));
    EXPECT_EQ(DataOf(product, bytes), UsbDescriptors::String(u"Power meter"));

    // A descriptor the device does not have stalls.
    Bytes missing = ControlBlock(0x80, 6, 0x0307, 0x0409, 2, 5);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, missing, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize);
    EXPECT_EQ(CompletionStatus(missing), LibusbDriver::kStallCompletionStatus);
    EXPECT_EQ(BusStatus(missing), LibusbDriver::kStallBusStatus);

    Bytes address(1);
    ASSERT_TRUE(Sync(kIoctlDeviceAddress, address, bytes));
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(address[0], 2);
    Bytes alternate(1, 0xFF);
    ASSERT_TRUE(Sync(kIoctlAlternateSetting, alternate, bytes));
    EXPECT_EQ(alternate[0], 0);
    Bytes name(256);
    ASSERT_TRUE(Sync(kIoctlDeviceName, name, bytes));
    EXPECT_STREQ(reinterpret_cast<const char*>(name.data()), "usb:1-1");
    Bytes friendly(256);
    ASSERT_TRUE(Sync(kIoctlFriendlyName, friendly, bytes));
    EXPECT_STREQ(reinterpret_cast<const char*>(friendly.data()), "USB device 1234:5678 at usb:1-1");
    Bytes version(4);
    ASSERT_TRUE(Sync(kIoctlDriverVersion, version, bytes));
    EXPECT_EQ(bytes, 4u);
    EXPECT_NE(DriverRequest::Read32(version, 0), 0u);
    Bytes tooSmall(2);
    EXPECT_FALSE(Sync(kIoctlDriverVersion, tooSmall, bytes));
    Bytes unknown(4);
    EXPECT_FALSE(Sync(0x220030, unknown, bytes));
}

TEST_F(LibusbDriverTest, CarriesVendorRequestsBothWaysAsOverlappedRequests) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());

    // Identity text 1 asked with 12 bytes, overlapped: submitted, waited on,
    // collected.
    Bytes identity = ControlBlock(0xC0, 0xE2, 0, 0, 12, 10);
    OverlappedRecord record;
    const SubmitResult submitted =
        driver->SubmitRequest(handle, kIoctlControlTransfer, identity, record);
    ASSERT_NE(submitted.outcome, SubmitOutcome::Failed);
    EXPECT_EQ(submitted.error,
              submitted.outcome == SubmitOutcome::Pending ? kErrorIoPending : kErrorSuccess);
    EXPECT_EQ(driver->WaitRequest(record, 5000), WaitOutcome::Signalled);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(driver->CollectRequest(record, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 12);
    const Bytes text = DataOf(identity, bytes);
    EXPECT_EQ(std::string(text.begin(), text.end()), "4817x123RM41");
    EXPECT_FALSE(record.InUse());

    // A device that answers fewer bytes than asked: the count says so.
    Bytes sample = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 64, 10);
    ASSERT_TRUE(Sync(kIoctlControlTransfer, sample, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 5);
    EXPECT_EQ(DataOf(sample, bytes), (Bytes{0x03, 0x20, 0x12, 0x34, 2}));

    // Host to device: the data stage reaches the device.
    Bytes out = ControlBlock(0x40, 0x55, 1, 2, 3, 10);
    out[DriverRequest::kHeaderSize] = 7;
    out[DriverRequest::kHeaderSize + 1] = 8;
    out[DriverRequest::kHeaderSize + 2] = 9;
    ASSERT_TRUE(Sync(kIoctlControlTransfer, out, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 3);
    std::lock_guard lock(meter->mutex);
    EXPECT_EQ(meter->received, (Bytes{7, 8, 9}));
}

TEST_F(LibusbDriverTest, CarriesBulkTransfersOnNumberedEndpoints) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());
    std::uint32_t bytes = 0;

    Bytes in = EndpointBlock(kBulkIn, 100);
    ASSERT_TRUE(Sync(kIoctlEndpointTransfer, in, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 100);
    EXPECT_EQ(DataOf(in, bytes), Bytes(100, 0x5A));

    Bytes out = EndpointBlock(kBulkOut, 4);
    std::fill(out.begin() + DriverRequest::kHeaderSize, out.end(), std::uint8_t{0x33});
    ASSERT_TRUE(Sync(kIoctlEndpointTransfer, out, bytes));
    EXPECT_EQ(bytes, DriverRequest::kHeaderSize + 4);
    {
        std::lock_guard lock(meter->mutex);
        EXPECT_EQ(meter->received, Bytes(4, 0x33));
    }

    // An endpoint the device does not have, and a block whose layout points
    // outside itself, are refused before anything is sent.
    Bytes nowhere = EndpointBlock(0x85, 4);
    OverlappedRecord record;
    const SubmitResult refused =
        driver->SubmitRequest(handle, kIoctlEndpointTransfer, nowhere, record);
    EXPECT_EQ(refused.outcome, SubmitOutcome::Failed);
    EXPECT_EQ(refused.error, kErrorInvalidParameter);
    Bytes lying = EndpointBlock(kBulkIn, 4);
    DriverRequest::Write32(lying, DriverRequest::kOffsetDataLength, 4096);
    EXPECT_EQ(driver->SubmitRequest(handle, kIoctlEndpointTransfer, lying, record).outcome,
              SubmitOutcome::Failed);
}

TEST_F(LibusbDriverTest, TimedOutWaitIsEndedByTheAbortOfItsEndpoint) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());
    meter->SetFaults({.neverAnswer = true});

    Bytes block = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 5);
    OverlappedRecord record;
    ASSERT_EQ(driver->SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
              SubmitOutcome::Pending);
    EXPECT_EQ(driver->WaitRequest(record, 200), WaitOutcome::TimedOut);
    // An abort of another endpoint leaves it alone.
    EXPECT_TRUE(Abort(kBulkIn));
    EXPECT_EQ(driver->WaitRequest(record, 50), WaitOutcome::TimedOut);

    EXPECT_TRUE(Abort(0));
    EXPECT_EQ(driver->WaitRequest(record, kInfinite), WaitOutcome::Signalled);
    std::uint32_t bytes = 1;
    EXPECT_FALSE(driver->CollectRequest(record, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(CompletionStatus(block), LibusbDriver::kCancelledCompletionStatus);
    EXPECT_EQ(emulation.DiscardCount(), 1u);
    EXPECT_EQ(emulation.UnfinishedUrbCount(), 0u);

    // The device answers again afterwards.
    meter->SetFaults({});
    Bytes again = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 5, 10);
    EXPECT_TRUE(Sync(kIoctlControlTransfer, again, bytes));
}

TEST_F(LibusbDriverTest, TimeOutFieldOfTheBlockEndsARequestWithItsOwnStatus) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());
    meter->SetFaults({.neverAnswer = true});
    Bytes block = ControlBlock(0xC0, 0xE2, 0, 0, 12, 1);
    std::uint32_t bytes = 1;
    EXPECT_FALSE(Sync(kIoctlControlTransfer, block, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(CompletionStatus(block), LibusbDriver::kTimeoutCompletionStatus);
    EXPECT_EQ(BusStatus(block), LibusbDriver::kTimeoutBusStatus);
}

TEST_F(LibusbDriverTest, VanishedDeviceFailsItsPendingAndLaterRequestsWithoutHanging) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());
    meter->SetFaults({.neverAnswer = true});
    Bytes block = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 5);
    OverlappedRecord record;
    ASSERT_EQ(driver->SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
              SubmitOutcome::Pending);

    emulation.Remove(meterPath);
    EXPECT_EQ(driver->WaitRequest(record, kInfinite), WaitOutcome::Signalled);
    std::uint32_t bytes = 1;
    EXPECT_FALSE(driver->CollectRequest(record, bytes));
    EXPECT_EQ(CompletionStatus(block), LibusbDriver::kNotConnectedCompletionStatus);
    EXPECT_EQ(BusStatus(block), LibusbDriver::kNotConnectedBusStatus);

    Bytes later = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 5, 10);
    const SubmitResult failed = driver->SubmitRequest(handle, kIoctlControlTransfer, later, record);
    EXPECT_EQ(failed.outcome, SubmitOutcome::Failed);
    EXPECT_EQ(failed.error, kErrorDeviceNotConnected);
    EXPECT_TRUE(driver->CloseDevice(handle));
    EXPECT_EQ(driver->ListDevicePaths(kMeterInterfaceGuid), std::vector<std::string>{});
}

TEST_F(LibusbDriverTest, ClosingAHandleEndsItsPendingRequests) {
    ASSERT_NO_FATAL_FAILURE(StartWithMeter());
    meter->SetFaults({.neverAnswer = true});
    Bytes block = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 5);
    OverlappedRecord record;
    ASSERT_EQ(driver->SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
              SubmitOutcome::Pending);
    EXPECT_TRUE(driver->CloseDevice(handle));
    EXPECT_EQ(driver->WaitRequest(record, 0), WaitOutcome::Signalled);
    std::uint32_t bytes = 0;
    EXPECT_FALSE(driver->CollectRequest(record, bytes));
    EXPECT_EQ(CompletionStatus(block), LibusbDriver::kCancelledCompletionStatus);
    EXPECT_EQ(emulation.UnfinishedUrbCount(), 0u);

    // A closed handle takes no requests.
    Bytes later = ControlBlock(0xC0, 0xF2, 0x00BB, 0, 5, 10);
    EXPECT_EQ(driver->SubmitRequest(handle, kIoctlControlTransfer, later, record).error,
              kErrorInvalidHandle);
}

TEST_F(LibusbDriverTest, ReportsArrivalAndRemovalOfListedMetersToRegisteredWindows) {
    Start();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DeviceNotification> seen;
    driver->SetNotificationCallback([&](const DeviceNotification& notification) {
        std::lock_guard lock(mutex);
        seen.push_back(notification);
        changed.notify_all();
    });
    EXPECT_EQ(driver->RegisterInterfaceNotification(kNoNotifyWindow, kMeterInterfaceGuid),
              kNoNotification);
    const NotificationHandle registration =
        driver->RegisterInterfaceNotification(NotifyWindow{42}, kMeterInterfaceGuid);
    ASSERT_NE(registration, kNoNotification);

    emulation.Add(std::make_shared<TestMeter>(kOtherId), 1, 2, true);
    const std::string path = emulation.Add(meter, 2, 3, true);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return !seen.empty(); }));
        EXPECT_EQ(seen.size(), 1u); // the unlisted device is not reported
        EXPECT_EQ(seen[0].kind, DeviceNotification::Kind::Arrival);
        EXPECT_EQ(seen[0].window, NotifyWindow{42});
        EXPECT_EQ(seen[0].registration, registration);
        EXPECT_EQ(seen[0].path, "usb:1-2");
        seen.clear();
    }
    emulation.Remove(path);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return !seen.empty(); }));
        EXPECT_EQ(seen[0].kind, DeviceNotification::Kind::Removal);
    }
    EXPECT_TRUE(driver->UnregisterNotification(registration));
    EXPECT_FALSE(driver->UnregisterNotification(registration));
}

} // namespace
} // namespace zelmora

int main(int argc, char** argv) {
    return zelmora::RunEmulatedTests(argc, argv);
}
