#include "usb/UsbDevice.h"

#include "ScriptedDriver.h"
#include "usb/UsbReleaseError.h"
#include "usb/driver/UsbDescriptors.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <gtest/gtest.h>

namespace zelmora {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Endpoint = UsbDescriptors::EndpointFields;
using Interface = UsbDescriptors::InterfaceFields;

constexpr NotifyWindow kWindow{0x77};

VirtualDevice::Descriptors MeterLike(std::vector<Interface> interfaces,
                                     std::initializer_list<std::uint16_t> languages = {0x0407,
                                                                                       0x0409}) {
    VirtualDevice::Descriptors d;
    d.device = UsbDescriptors::Device({.deviceClass = 0xFF,
                                       .maxPacketSize0 = 64,
                                       .vendorId = 0x0B1E,
                                       .productId = 0x4817,
                                       .bcdDevice = 0x0210,
                                       .manufacturerIndex = 1,
                                       .productIndex = 2,
                                       .serialNumberIndex = 3});
    d.configurations.push_back(
        UsbDescriptors::Configuration({.value = 1, .maxPower = 50, .interfaces = interfaces}));
    d.strings[0] = UsbDescriptors::LanguageTable(languages);
    d.strings[1] = UsbDescriptors::String(u"Maker");
    d.strings[2] = UsbDescriptors::String(u"Meter");
    d.strings[3] = UsbDescriptors::String(u"SN1");
    return d;
}

std::vector<Interface> OneBulkPair() {
    return {
        {.interfaceClass = 0xFF,
         .interfaceSubClass = 1,
         .interfaceProtocol = 2,
         .endpoints = {{.address = 0x81, .attributes = 2}, {.address = 0x02, .attributes = 2}}}};
}

Bytes Utf16(std::u16string_view text) {
    Bytes bytes(256, 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(text[i]);
    }
    return bytes;
}

Bytes Field(const std::array<std::uint8_t, 256>& field) {
    return Bytes(field.begin(), field.end());
}

// Answers vendor request 0xE2 with an identity text.
class Meter : public VirtualDevice {
public:
    explicit Meter(Descriptors d) : VirtualDevice(std::move(d)) {}
    std::optional<Reply> HandleRequest(const Request& request) override {
        if (request.control && request.setup.request == 0xE2) {
            return Reply{{'4', '8', '1', '7', '0', '0', '1', '2'}, 0, 0};
        }
        return Stall();
    }
};

class UsbDeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<Meter> Plug(VirtualDevice::Descriptors d) {
        auto meter = std::make_shared<Meter>(std::move(d));
        driver.Plug(meter);
        return meter;
    }
    VirtualUsbDriver driver;
};

TEST_F(UsbDeviceTest, WithoutDevicesNothingOpens) {
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.CountDevices(), 0);
    device.m_deviceNumber = 3;
    EXPECT_FALSE(device.Open(0));
    EXPECT_EQ(device.m_deviceNumber, 3);
    EXPECT_EQ(device.EndpointCount(), 0);
    std::uint8_t byte = 0;
    EXPECT_FALSE(device.QueryDriver(kIoctlDeviceAddress, &byte, 1));

    driver.Plug(std::make_shared<Meter>(MeterLike(OneBulkPair())), Guid{});
    EXPECT_EQ(device.CountDevices(), 0); // another class
    driver.SetListingFails(true);
    EXPECT_EQ(device.CountDevices(), 0);
}

TEST_F(UsbDeviceTest, OpenReadsDescriptorsStringsAndDriverValues) {
    const auto meter = Plug(MeterLike(OneBulkPair()));
    VirtualDevice::DriverInfo info;
    info.driverVersion = 0x00020001;
    info.busInterfaceVersion = 3;
    info.deviceAddress = 9;
    info.deviceName = "usb-meter-0";
    meter->SetDriverInfo(info);
    Plug(MeterLike(OneBulkPair()));

    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_deviceCount, 2);
    EXPECT_EQ(device.m_vendorId, 0x0B1E);
    EXPECT_EQ(device.m_productId, 0x4817);
    EXPECT_EQ(device.m_bcdDevice, 0x0210);
    EXPECT_EQ(device.m_bcdUsb, 0x0200);
    EXPECT_EQ(device.m_maxPacketSize0, 64);
    EXPECT_EQ(device.m_configCount, 1);
    EXPECT_EQ(Bytes(device.m_deviceDescriptor.begin(), device.m_deviceDescriptor.end()),
              meter->GetDescriptors().device);
    EXPECT_EQ(device.m_languageId, 0x0409); // English wins over the first entry
    EXPECT_EQ(Field(device.m_manufacturer), Utf16(u"Maker"));
    EXPECT_EQ(Field(device.m_product), Utf16(u"Meter"));
    EXPECT_EQ(Field(device.m_serialNumber), Utf16(u"SN1"));
    EXPECT_EQ(device.m_deviceAddress, 9);
    EXPECT_EQ(device.m_driverVersion, 0x00020001u);
    EXPECT_EQ(device.m_busInterfaceVersion, 3u);
    EXPECT_STREQ(reinterpret_cast<const char*>(device.m_deviceName.data()), "usb-meter-0");
    EXPECT_EQ(device.m_lastBusStatus, 0u);

    EXPECT_EQ(device.m_configValue, 1);
    EXPECT_EQ(device.m_maxPower, 50);
    EXPECT_EQ(device.m_interfaceCount, 1);
    EXPECT_EQ(device.m_interfaceEntryCount, 1);
    EXPECT_EQ(device.m_interfaceClass, 0xFF);
    EXPECT_EQ(device.m_interfaceProtocol, 2);
    EXPECT_EQ(device.EndpointCount(), 3);
    ASSERT_NE(device.m_currentInterface, nullptr);
    EXPECT_EQ(device.m_currentInterface->m_endpoints[0], device.m_controlEndpoint.get());
    EXPECT_EQ(device.m_bulkInEndpoint, device.m_currentInterface->m_endpoints[1]);
    EXPECT_EQ(device.m_bulkOutEndpoint, device.m_currentInterface->m_endpoints[2]);
    EXPECT_EQ(device.m_controlEndpoint->m_maxPacketSize, 64);

    std::uint8_t id[12] = {};
    std::int32_t length = 12;
    device.m_controlEndpoint->m_requestCode = 0xE2;
    EXPECT_TRUE(device.m_controlEndpoint->Read(id, length));
    EXPECT_EQ(length, 8);

    EXPECT_FALSE(device.Open(2)); // the count is 2
    EXPECT_FALSE(device.IsOpen());
    EXPECT_TRUE(device.Open(1));
    EXPECT_EQ(device.m_deviceNumber, 1);
    EXPECT_EQ(driver.OpenHandleCount(), 1u);
}

TEST_F(UsbDeviceTest, LanguageChoiceAndStringIndexZero) {
    auto onlyGerman = MeterLike(OneBulkPair(), {0x0407});
    onlyGerman.device[14] = 0; // manufacturer string index 0
    Plug(onlyGerman);
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_languageId, 0x0407);
    // Index 0 is asked for like any other and yields the language table.
    Bytes table(256, 0);
    table[0] = 0x07;
    table[1] = 0x04;
    EXPECT_EQ(Field(device.m_manufacturer), table);

    auto noLanguages = MeterLike(OneBulkPair(), {});
    driver.Unplug(1);
    Plug(noLanguages);
    ASSERT_TRUE(device.Open(0));
    EXPECT_EQ(device.m_languageId, 0);
}

TEST_F(UsbDeviceTest, AConfigurationWithoutEntriesLeavesTheDeviceOpen) {
    auto d = MeterLike({});
    Plug(d);
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_FALSE(device.Open(0));
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_currentInterface, nullptr);
    ASSERT_NE(device.m_controlEndpoint, nullptr);
    std::uint8_t id[12] = {};
    std::int32_t length = 12;
    device.m_controlEndpoint->m_requestCode = 0xE2;
    EXPECT_TRUE(device.m_controlEndpoint->Read(id, length));
    device.Close();
    EXPECT_EQ(driver.OpenHandleCount(), 0u);
}

TEST_F(UsbDeviceTest, AlternateSettingSelectsTheEntryAndItsShortcuts) {
    const std::vector<Interface> interfaces{
        {.number = 0, .alternateSetting = 0, .endpoints = {{.address = 0x81, .attributes = 2}}},
        {.number = 0,
         .alternateSetting = 1,
         .interfaceProtocol = 7,
         .endpoints = {{.address = 0x82, .attributes = 3},
                       {.address = 0x83, .attributes = 3}, // second interrupt IN: not chosen
                       {.address = 0x84, .attributes = 1},
                       {.address = 0x05, .attributes = 1},
                       {.address = 0x06, .attributes = 3},
                       {.address = 0x07, .attributes = 0},      // a control endpoint
                       {.address = 0x08, .attributes = 0x12}}}, // unknown kind: empty slot
        {.number = 1, .alternateSetting = 0}};
    const auto meter = Plug(MeterLike(interfaces));
    VirtualDevice::DriverInfo info;
    info.alternateSetting = 1;
    meter->SetDriverInfo(info);

    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_interfaceCount, 2);
    EXPECT_EQ(device.m_interfaceEntryCount, 3);
    EXPECT_EQ(device.m_altIndex, 1);
    EXPECT_EQ(device.m_interfaceProtocol, 7);
    EXPECT_EQ(device.EndpointCount(), 8);
    const auto& config = *device.m_configurations[0];
    EXPECT_EQ(config.m_interfaces[0]->m_altSettingCount, 2);
    EXPECT_EQ(config.m_interfaces[2]->m_altSettingCount, 1);
    const CUsbInterface& entry = *device.m_currentInterface;
    EXPECT_EQ(&entry, config.m_interfaces[1].get());
    EXPECT_EQ(entry.m_totalLength, 9 + 7 * 7);
    EXPECT_EQ(device.m_interruptInEndpoint, entry.m_endpoints[1]);
    EXPECT_EQ(device.m_interruptInEndpoint->m_address, 0x82);
    EXPECT_EQ(device.m_isoInEndpoint, entry.m_endpoints[3]);
    EXPECT_EQ(device.m_isoOutEndpoint, entry.m_endpoints[4]);
    EXPECT_EQ(device.m_interruptOutEndpoint, entry.m_endpoints[5]);
    EXPECT_EQ(device.m_bulkInEndpoint, nullptr);
    EXPECT_NE(dynamic_cast<CUsbControlEndpoint*>(entry.m_endpoints[6]), nullptr);
    EXPECT_EQ(entry.m_endpoints[7], nullptr);

    // A failing query (0xFF) matches no entry: nothing is selected, the
    // control endpoint still works and Open still succeeds.
    info.alternateSetting.reset();
    meter->SetDriverInfo(info);
    device.m_altIndex = 0;
    ASSERT_TRUE(device.Open(0));
    EXPECT_EQ(device.m_currentInterface, nullptr);
    EXPECT_EQ(device.m_interruptInEndpoint, nullptr);
    EXPECT_EQ(device.m_bulkInEndpoint, nullptr);
    std::uint8_t id[8] = {};
    std::int32_t length = 8;
    device.m_controlEndpoint->m_requestCode = 0xE2;
    EXPECT_TRUE(device.m_controlEndpoint->Read(id, length));
}

TEST_F(UsbDeviceTest, ReleaseFailuresRaiseTheirMessages) {
    const auto meter = Plug(MeterLike(OneBulkPair()));
    auto* device = new CUsbDevice(driver, kWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device->IsOpen());
    EXPECT_NE(device->m_interfaceNotification, kNoNotification);
    EXPECT_NE(device->m_handleNotification, kNoNotification);
    EXPECT_EQ(driver.NotificationCount(), 2u);

    meter->SetFaults({.failNotificationRelease = true});
    try {
        device->Close();
        ADD_FAILURE() << "no failure raised";
    } catch (const UsbReleaseError& error) {
        EXPECT_STREQ(error.what(), "Failed to close the handle notification handle.");
    }
    EXPECT_TRUE(device->IsOpen()); // as it was

    meter->SetFaults({.failClose = true});
    try {
        device->Open(0); // closes first
        ADD_FAILURE() << "no failure raised";
    } catch (const UsbReleaseError& error) {
        EXPECT_STREQ(error.what(), "Failed to close handle to driver.");
    }
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(driver.NotificationCount(), 1u); // the handle's was released once

    meter->SetFaults({});
    driver.SetInterfaceNotificationReleaseFails(true);
    try {
        delete device;
        ADD_FAILURE() << "no failure raised";
    } catch (const UsbReleaseError& error) {
        EXPECT_STREQ(error.what(), "Failed to close the device notification handle.");
    }
    EXPECT_EQ(driver.OpenHandleCount(), 0u);

    // Closing a closed device makes no system call, so no fault can strike.
    CUsbDevice closed(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    closed.Close();
    meter->SetFaults({.failClose = true, .failNotificationRelease = true});
    EXPECT_NO_THROW(closed.Close());
    EXPECT_EQ(closed.m_controlEndpoint, nullptr);
    EXPECT_EQ(closed.m_configurations[0], nullptr);
    meter->SetFaults({});
}

TEST_F(UsbDeviceTest, AFailedOpenLeavesTheDeviceClosed) {
    const auto meter = Plug(MeterLike(OneBulkPair()));
    meter->SetFaults({.failOpen = true});
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.m_controlEndpoint, nullptr);
}

TEST_F(UsbDeviceTest, FailedDescriptorReadsLeaveTheMembersAlone) {
    // Every descriptor request stalls: the device opens, nothing is read.
    auto d = MeterLike(OneBulkPair());
    d.device.clear();
    d.configurations.clear();
    d.strings.clear();
    Plug(d);
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_vendorId, 0);
    EXPECT_EQ(device.m_languageId, 0);
    EXPECT_EQ(device.m_lastBusStatus, VirtualDevice::kStallBusStatus);
    EXPECT_EQ(device.m_configurations[0], nullptr);
    EXPECT_EQ(device.EndpointCount(), 0);
}

// What a device sends is never trusted: malformed lengths and counts are
// cut short or ignored, never followed out of the stored bytes.
TEST_F(UsbDeviceTest, MalformedConfigurationsAreCutShort) {
    std::vector<Interface> many;
    for (std::uint8_t i = 0; i < 10; ++i) {
        many.push_back({.number = i});
    }
    std::vector<Endpoint> endpoints;
    for (std::uint8_t i = 1; i <= 20; ++i) {
        endpoints.push_back({.address = static_cast<std::uint8_t>(0x80 | i), .attributes = 2});
    }
    many[0].endpoints = endpoints;
    auto d = MeterLike(many);
    Bytes& config = d.configurations[0];
    config[9 + 4] = 200; // bNumEndpoints beyond the slots
    Plug(d);
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_interfaceEntryCount, 8);
    const CUsbInterface& first = *device.m_configurations[0]->m_interfaces[0];
    EXPECT_NE(first.m_endpoints[15], nullptr);
    EXPECT_EQ(device.EndpointCount(), 201);

    // Length byte 0, a claimed total beyond the bytes sent, a truncated
    // endpoint descriptor, twelve foreign descriptors.
    const Bytes zeroLength{9, 2, 30, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 0, 5};
    Bytes tooLong{9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0, 7, 5, 0x81, 2};
    Bytes foreign{9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 3, 0xFF, 0, 0, 0};
    for (int i = 0; i < 12; ++i) {
        foreign.insert(foreign.end(), {3, 0x24, 0});
    }
    foreign.insert(foreign.end(), {7, 5, 0x81, 2, 64, 0, 0});
    DriverRequest::Write16(foreign, 2, static_cast<std::uint16_t>(foreign.size()));
    for (const Bytes& raw : {zeroLength, tooLong, foreign}) {
        CUsbConfiguration parsed(driver, kInvalidDriverHandle, raw);
        ASSERT_EQ(parsed.m_entryCount, 1);
        const CUsbInterface& entry = *parsed.m_interfaces[0];
        for (std::size_t slot = 1; slot < 16; ++slot) {
            EXPECT_EQ(entry.m_endpoints[slot], nullptr) << slot;
        }
    }
    // Eleven foreign descriptors are stepped over; the twelfth takes the
    // slots and the walk stays on it.
    CUsbConfiguration parsed(driver, kInvalidDriverHandle, foreign);
    EXPECT_EQ(parsed.m_interfaces[0]->m_totalLength, 9 + 12 * 3 + 2 * 3);
    foreign.erase(foreign.begin() + 18, foreign.begin() + 21); // now eleven
    DriverRequest::Write16(foreign, 2, static_cast<std::uint16_t>(foreign.size()));
    CUsbConfiguration eleven(driver, kInvalidDriverHandle, foreign);
    ASSERT_EQ(eleven.m_entryCount, 1);
    EXPECT_NE(eleven.m_interfaces[0]->m_endpoints[1], nullptr);
    EXPECT_EQ(eleven.m_interfaces[0]->m_endpoints[2], nullptr);
}

TEST(UsbDeviceScriptedTest, StringDescriptorsThatChangeBetweenReadsStayInTheirField) {
    testing::ScriptedDriver driver;
    int stringReads = 0;
    driver.answer = [&](std::uint32_t code, std::span<std::uint8_t> block) {
        testing::ScriptedDriver::Answer answer{true, 38};
        if (code != kIoctlControlTransfer) {
            return answer;
        }
        const auto header = *DriverRequest::DecodeHeader(block);
        const std::span<std::uint8_t> data = block.subspan(38);
        const std::uint8_t type = static_cast<std::uint8_t>(header.value >> 8);
        if (type == 1) {
            const Bytes device = UsbDescriptors::Device({.manufacturerIndex = 1});
            std::copy(device.begin(), device.end(), data.begin());
            answer.bytes = 38 + 18;
        } else if (type == 3) {
            // First read: 4 bytes long. Second: claims 255 and sends all
            // it may, plus a byte count beyond the block.
            const bool first = stringReads++ % 2 == 0;
            std::fill(data.begin(), data.end(), 0x41);
            data[0] = first ? 4 : 255;
            data[1] = 3;
            answer.bytes = first ? 40 : 1000;
        }
        return answer;
    };
    CUsbDevice device(driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.m_manufacturer[0], 0x41);
    EXPECT_EQ(device.m_manufacturer[1], 0x41);
    EXPECT_EQ(device.m_manufacturer[2], 0); // only the 4 bytes asked for count
    EXPECT_EQ(device.m_languageId, 0x4141);
}

} // namespace
} // namespace zelmora
