#include "usb/driver/CombinedUsbDriver.h"

#include "usb/driver/DriverRequest.h"
#include "usb/driver/UsbDescriptors.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <gtest/gtest.h>

namespace zelmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Answers every vendor request with its own tag, so a reply tells which
// device (and so which backend) served it.
class TaggedDevice : public VirtualDevice {
public:
    explicit TaggedDevice(std::uint8_t tag)
        : VirtualDevice(
              Descriptors{UsbDescriptors::Device({.vendorId = 1, .productId = tag}), {}, {}}),
          m_tag(tag) {}
    std::optional<Reply> HandleRequest(const Request&) override { return Reply{{m_tag}, 0, 0}; }

private:
    std::uint8_t m_tag;
};

Bytes VendorRead() {
    DriverRequest::Header header;
    header.requestType = 0xC0;
    header.request = 0xF2;
    header.length = 1;
    header.timeoutSeconds = 5;
    DriverRequest block(header, 0, 1);
    return Bytes(block.Bytes().begin(), block.Bytes().end());
}

class CombinedUsbDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        first->Plug(std::make_shared<TaggedDevice>(1));
        // Backends must name their devices apart: the second backend's
        // device 1 would be named like the first's.
        const auto placeholder = second->Plug(std::make_shared<TaggedDevice>(0));
        second->Plug(std::make_shared<TaggedDevice>(2));
        second->Plug(std::make_shared<TaggedDevice>(3));
        second->Unplug(placeholder);
        combined.Add(first);
        combined.Add(second);
    }

    std::shared_ptr<VirtualUsbDriver> first = std::make_shared<VirtualUsbDriver>();
    std::shared_ptr<VirtualUsbDriver> second = std::make_shared<VirtualUsbDriver>();
    CombinedUsbDriver combined;
};

TEST_F(CombinedUsbDriverTest, ListsEveryBackendInOrderAndRoutesRequestsByHandle) {
    const auto paths = combined.ListDevicePaths(kMeterInterfaceGuid);
    ASSERT_TRUE(paths);
    ASSERT_EQ(paths->size(), 3u);

    std::vector<DriverHandle> handles;
    for (const std::string& path : *paths) {
        handles.push_back(combined.OpenDevice(path));
        ASSERT_NE(handles.back(), kInvalidDriverHandle);
    }
    EXPECT_EQ(first->OpenHandleCount() + second->OpenHandleCount(), 3u);

    std::vector<std::uint8_t> tags;
    for (const DriverHandle handle : handles) {
        Bytes block = VendorRead();
        OverlappedRecord record;
        ASSERT_NE(combined.SubmitRequest(handle, kIoctlControlTransfer, block, record).outcome,
                  SubmitOutcome::Failed);
        ASSERT_EQ(combined.WaitRequest(record, 5000), WaitOutcome::Signalled);
        std::uint32_t bytes = 0;
        ASSERT_TRUE(combined.CollectRequest(record, bytes));
        tags.push_back(block[DriverRequest::kHeaderSize]);
    }
    EXPECT_EQ(tags, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(first->OpenHandleCount(), 1u);

    Bytes info(1);
    std::uint32_t bytes = 0;
    EXPECT_TRUE(combined.SyncRequest(handles[0], kIoctlDeviceAddress, info, info, bytes));

    for (const DriverHandle handle : handles) {
        EXPECT_TRUE(combined.CloseDevice(handle));
        EXPECT_FALSE(combined.CloseDevice(handle));
    }
    EXPECT_EQ(first->OpenHandleCount() + second->OpenHandleCount(), 0u);
    EXPECT_FALSE(combined.SyncRequest(handles[0], kIoctlDeviceAddress, info, info, bytes));
    OverlappedRecord record;
    EXPECT_EQ(combined.SubmitRequest(handles[0], kIoctlDeviceAddress, info, record).error,
              kErrorInvalidHandle);
}

TEST_F(CombinedUsbDriverTest, OneBackendThatCannotListLeavesTheOthers) {
    first->SetListingFails(true);
    const auto paths = combined.ListDevicePaths(kMeterInterfaceGuid);
    ASSERT_TRUE(paths);
    EXPECT_EQ(paths->size(), 2u);
    second->SetListingFails(true);
    EXPECT_FALSE(combined.ListDevicePaths(kMeterInterfaceGuid));
    EXPECT_FALSE(CombinedUsbDriver().ListDevicePaths(kMeterInterfaceGuid));
}

TEST_F(CombinedUsbDriverTest, NotificationRegistrationsSpanTheBackendsUntilAllAreReleased) {
    EXPECT_EQ(combined.RegisterInterfaceNotification(kNoNotifyWindow, kMeterInterfaceGuid),
              kNoNotification);
    const NotificationHandle registration =
        combined.RegisterInterfaceNotification(NotifyWindow{7}, kMeterInterfaceGuid);
    ASSERT_NE(registration, kNoNotification);
    EXPECT_EQ(first->NotificationCount() + second->NotificationCount(), 2u);

    second->SetInterfaceNotificationReleaseFails(true);
    EXPECT_FALSE(combined.UnregisterNotification(registration));
    EXPECT_EQ(first->NotificationCount() + second->NotificationCount(), 1u);
    second->SetInterfaceNotificationReleaseFails(false);
    EXPECT_TRUE(combined.UnregisterNotification(registration));
    EXPECT_EQ(first->NotificationCount() + second->NotificationCount(), 0u);
    EXPECT_FALSE(combined.UnregisterNotification(registration));

    const auto paths = combined.ListDevicePaths(kMeterInterfaceGuid);
    const DriverHandle handle = combined.OpenDevice(paths->back());
    const NotificationHandle forHandle =
        combined.RegisterHandleNotification(NotifyWindow{7}, handle);
    ASSERT_NE(forHandle, kNoNotification);
    EXPECT_EQ(second->NotificationCount(), 1u);
    EXPECT_TRUE(combined.UnregisterNotification(forHandle));
    EXPECT_EQ(combined.RegisterHandleNotification(NotifyWindow{7}, DriverHandle{1}),
              kNoNotification);
}

} // namespace
} // namespace zelmora
