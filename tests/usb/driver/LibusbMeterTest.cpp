// A simulated meter emulated at the usbfs level and driven through real
// libusb by the USB layer and the meter link: the program's whole road to a
// real meter, from enumeration to unplugging.

#include "UsbFsEmulation.h"
#include "meter/DeviceLink.h"
#include "sim/SimulatedMeter.h"
#include "usb/UsbControlEndpoint.h"
#include "usb/UsbDevice.h"
#include "usb/driver/LibusbDriver.h"
#include "usb/driver/UsbDescriptors.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace zelmora {
namespace {

using std::chrono::milliseconds;

constexpr UsbId kSimulatedId{SimulatedMeter::kUsbIds.vendorId, SimulatedMeter::kUsbIds.productId};

// A device of another maker, plugged in beside the meter: it must never
// receive a request.
class Bystander : public VirtualDevice {
public:
    Bystander()
        : VirtualDevice({UsbDescriptors::Device({.vendorId = 0x0BDA, .productId = 0x8153}),
                         {UsbDescriptors::Configuration({.interfaces = {{}}})},
                         {}}) {}
    std::optional<Reply> HandleRequest(const Request&) override {
        ++calls;
        return Stall();
    }
    std::atomic<int> calls{0};
};

bool Eventually(const auto& condition, milliseconds limit = milliseconds(5000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

class LibusbMeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        emulation.Add(bystander, 1, 2);
        meterPath = emulation.Add(meter, 2, 3);
        std::string error;
        driver = LibusbDriver::Create({kSimulatedId}, &error);
        ASSERT_NE(driver, nullptr) << error;
    }

    // Reads one sample on an opened device's control endpoint.
    static bool ReadSample(CUsbDevice& device, std::int32_t& length) {
        CUsbControlEndpoint& endpoint = *device.m_controlEndpoint;
        endpoint.m_target = 0;
        endpoint.m_requestType = 2;
        endpoint.m_requestCode = 0xF2;
        endpoint.m_value = 0x00BB;
        endpoint.m_index = 0;
        std::uint8_t reply[5] = {};
        length = sizeof reply;
        return endpoint.Read(reply, length);
    }

    UsbFsEmulation emulation;
    std::shared_ptr<Bystander> bystander = std::make_shared<Bystander>();
    std::shared_ptr<SimulatedMeter> meter = std::make_shared<SimulatedMeter>(
        SimulatedMeter::Config{.meterId = "100000001", .probeModel = "KV50"});
    std::string meterPath;
    std::unique_ptr<LibusbDriver> driver;
};

TEST_F(LibusbMeterTest, ListsIdentifiesStartsAndReadsTheMeterUntilItIsUnplugged) {
    {
        CUsbDevice device(*driver, kNoNotifyWindow, kMeterInterfaceGuid);
        EXPECT_EQ(device.CountDevices(), 1);
        ASSERT_TRUE(device.IsOpen());
        EXPECT_EQ(device.m_vendorId, kSimulatedId.vendorId);
        EXPECT_EQ(device.m_productId, kSimulatedId.productId);
        EXPECT_EQ(device.m_deviceAddress, 3);
        EXPECT_NE(device.m_controlEndpoint, nullptr);
        EXPECT_EQ(device.m_lastCompletionStatus, 0u);
    }

    CDeviceLink link(*driver);
    link.Rescan();
    EXPECT_EQ(link.GetMeterList(), std::vector<std::string>{"100000001"});
    link.SetPollPeriod(100);
    link.Start("100000001");
    ASSERT_TRUE(link.IsRunning());
    EXPECT_EQ(link.GetProbeFamily(), "KV");
    EXPECT_TRUE(meter->IsMeasuring());

    std::vector<MeterSample> samples;
    ASSERT_TRUE(Eventually([&] {
        if (link.HasNewSample()) {
            samples.push_back(link.TakeSample());
        }
        return samples.size() >= 3;
    }));
    for (const MeterSample& sample : samples) {
        EXPECT_EQ(sample.wavelength, 1064);
        EXPECT_FALSE(sample.powerText.empty());
        EXPECT_NEAR(sample.power, 0.012, 0.002);
    }
    EXPECT_EQ(samples.front().countText, "0");

    // Unplugged while running: the next sample request fails, the link
    // drops the meter on its own, and nothing hangs.
    emulation.Remove(meterPath);
    ASSERT_TRUE(Eventually([&] { return !link.IsRunning(); }));
    link.Rescan();
    EXPECT_EQ(link.GetMeterCount(), 0);
    EXPECT_EQ(bystander->calls, 0);
}

TEST_F(LibusbMeterTest, SampleRequestThatTimesOutIsAbortedAndTheNextOneAnswers) {
    CUsbDevice device(*driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    device.m_controlEndpoint->m_timeoutMs = 300;

    meter->SetMeterFaults({.sampleNeverAnswers = true});
    std::int32_t length = 0;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadSample(device, length));
    EXPECT_GE(std::chrono::steady_clock::now() - before, milliseconds(300));
    EXPECT_EQ(emulation.DiscardCount(), 1u);
    EXPECT_EQ(emulation.UnfinishedUrbCount(), 0u);
    EXPECT_EQ(device.m_controlEndpoint->m_completionStatus,
              LibusbDriver::kCancelledCompletionStatus);

    meter->SetMeterFaults({});
    EXPECT_TRUE(ReadSample(device, length));
    EXPECT_EQ(length, 5);
    EXPECT_EQ(device.m_controlEndpoint->m_completionStatus, 0u);
}

TEST_F(LibusbMeterTest, StalledSampleRequestFailsWithTheStallStatus) {
    CUsbDevice device(*driver, kNoNotifyWindow, kMeterInterfaceGuid);
    ASSERT_TRUE(device.IsOpen());
    meter->SetMeterFaults({.sampleErrorStatus = VirtualDevice::kStallCompletionStatus});
    std::int32_t length = 0;
    EXPECT_FALSE(ReadSample(device, length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(device.m_controlEndpoint->m_completionStatus, LibusbDriver::kStallCompletionStatus);
    EXPECT_EQ(device.m_controlEndpoint->m_busStatus, LibusbDriver::kStallBusStatus);
}

} // namespace
} // namespace zelmora
