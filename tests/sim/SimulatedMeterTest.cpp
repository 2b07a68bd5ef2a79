#include "sim/SimulatedMeter.h"

#include "usb/driver/DriverRequest.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>

namespace zelmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The meter as the driver sees it: vendor requests in request blocks.
class SimulatedMeterTest : public ::testing::Test {
protected:
    void Plug(SimulatedMeter::Config config) {
        meter = std::make_shared<SimulatedMeter>(std::move(config));
        id = meter->PlugInto(driver);
        handle = driver.OpenDevice(*driver.DevicePath(id));
        ASSERT_NE(handle, kInvalidDriverHandle);
    }

    static DriverRequest Block(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                               std::uint16_t length) {
        DriverRequest::Header header;
        header.requestType = requestType;
        header.request = request;
        header.value = value;
        header.length = length;
        header.timeoutSeconds = 5;
        return DriverRequest(header, 0, length);
    }

    // The data of a vendor request's reply; nothing when the request failed
    // or the device reported an error status.
    std::optional<Bytes> Ask(std::uint8_t request, std::uint16_t value, std::uint16_t length) {
        DriverRequest block = Block(0xC0, request, value, length);
        std::uint32_t bytes = 0;
        if (!driver.SyncRequest(handle, kIoctlControlTransfer, block.Bytes(), block.Bytes(),
                                bytes) ||
            block.CompletionStatus() != 0) {
            return std::nullopt;
        }
        const auto data = block.Data();
        return Bytes(data.begin(), data.begin() + (bytes - DriverRequest::kHeaderSize));
    }

    std::optional<Bytes> Sample() { return Ask(0xF2, 0x00BB, 5); }

    static std::string Text(const std::optional<Bytes>& bytes) {
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<failed>";
    }

    VirtualUsbDriver driver;
    std::shared_ptr<SimulatedMeter> meter;
    VirtualUsbDriver::DeviceId id = 0;
    DriverHandle handle = kInvalidDriverHandle;
};

TEST_F(SimulatedMeterTest, IdentityTextsCarryTypeCodeMeterIdAndProbe) {
    Plug({.meterId = "678912453", .probeModel = "RM41"});
    // Read back by the layout the program uses, the id comes out whole.
    EXPECT_EQ(Text(Ask(0xE2, 0, 12)), "48170123RM41");
    EXPECT_EQ(Text(Ask(0xE4, 0, 8)), "00456789");
    const auto counters = meter->GetCounters();
    EXPECT_EQ(counters.identity1, 1u);
    EXPECT_EQ(counters.identity2, 1u);

    // Another type code, and texts cut short by a fault, either by fewer
    // bytes or by an early zero byte.
    Plug({.meterId = "123456789", .typeCode = "4711", .probeModel = "ZN62"});
    EXPECT_EQ(Text(Ask(0xE2, 0, 12)), "47110569ZN62");
    meter->SetMeterFaults({.identity1 = SimulatedMeter::ShortText{10, false},
                           .identity2 = SimulatedMeter::ShortText{3, true}});
    EXPECT_EQ(Text(Ask(0xE2, 0, 12)), "47110569ZN");
    EXPECT_EQ(Text(Ask(0xE4, 0, 8)), std::string("007\0\0\0\0\0", 8));
}

TEST_F(SimulatedMeterTest, StartStopAndUnknownRequests) {
    Plug({});
    EXPECT_FALSE(meter->IsMeasuring());
    EXPECT_EQ(Ask(0xF1, 0x00AA, 2)->size(), 2u);
    EXPECT_TRUE(meter->IsMeasuring());
    EXPECT_EQ(Ask(0xF1, 0x00BB, 2)->size(), 2u);
    EXPECT_FALSE(meter->IsMeasuring());
    EXPECT_EQ(meter->GetCounters().starts, 1u);
    EXPECT_EQ(meter->GetCounters().stops, 1u);
    // Anything the meter does not know stalls.
    EXPECT_FALSE(Ask(0xF1, 0x0001, 2));
    EXPECT_FALSE(Ask(0x99, 0, 2));
    EXPECT_FALSE(Ask(0xF2, 0x0000, 5));
}

TEST_F(SimulatedMeterTest, SampleReplyIsWavelengthReadingAndRangeBigEndian) {
    Plug({.probeModel = "KV50", .wavelength = 1064, .signal = SignalModel::Constant(0.012)});
    // 0.012 W sits on the most sensitive range, 0: reading 1200.
    EXPECT_EQ(Sample(), (Bytes{0x04, 0x28, 0x04, 0xB0, 0}));
    meter->SetWavelength(10600);
    meter->SetSignal(SignalModel::Constant(650));
    EXPECT_EQ(Sample(), (Bytes{0x29, 0x68, 0x02, 0x8A, 6}));
    EXPECT_EQ(meter->GetCounters().samplesAnswered, 2u);
}

TEST_F(SimulatedMeterTest, ScriptIsReplayedInOrderThenTheSignalAnswers) {
    Plug({.wavelength = 532, .signal = SignalModel::Constant(0.001)});
    meter->SetScript({{1, 0xFFFF, 255}, {2, 701, 6}});
    EXPECT_EQ(Sample(), (Bytes{0, 1, 0xFF, 0xFF, 255}));
    EXPECT_EQ(Sample(), (Bytes{0, 2, 0x02, 0xBD, 6}));
    EXPECT_EQ(Sample(), (Bytes{0x02, 0x14, 0, 100, 0}));
}

TEST_F(SimulatedMeterTest, SignalIsReproducibleForASeed) {
    const auto noisy = SignalModel::Constant(0.012).WithNoise(0.05).WithDrift(0.1, 50);
    auto run = [&](std::uint64_t seed) {
        Plug({.signal = noisy, .seed = seed});
        std::vector<Bytes> replies;
        for (int i = 0; i < 40; ++i) {
            replies.push_back(*Sample());
        }
        return replies;
    };
    const auto first = run(7);
    EXPECT_EQ(run(7), first);
    EXPECT_NE(run(8), first);
    // Noise and drift move the readings about the set power.
    double sum = 0;
    for (const Bytes& reply : first) {
        ASSERT_EQ(reply[4], 0);
        sum += reply[2] * 256 + reply[3];
    }
    EXPECT_NEAR(sum / first.size(), 1200, 60);
    EXPECT_NE(first[0], first[1]);
}

TEST_F(SimulatedMeterTest, SampleFaults) {
    Plug({});
    // An error status.
    meter->SetMeterFaults({.sampleErrorStatus = 0xC0000004});
    DriverRequest block = Block(0xC0, 0xF2, 0x00BB, 5);
    std::uint32_t bytes = 0;
    ASSERT_TRUE(
        driver.SyncRequest(handle, kIoctlControlTransfer, block.Bytes(), block.Bytes(), bytes));
    EXPECT_EQ(block.CompletionStatus(), 0xC0000004u);

    // A short reply.
    meter->SetMeterFaults({.sampleReplyLength = 3});
    EXPECT_EQ(Sample()->size(), 3u);

    // No answer: the request stays pending until it is aborted.
    meter->SetMeterFaults({.sampleNeverAnswers = true});
    DriverRequest pending = Block(0xC0, 0xF2, 0x00BB, 5);
    OverlappedRecord record;
    ASSERT_EQ(driver.SubmitRequest(handle, kIoctlControlTransfer, pending.Bytes(), record).outcome,
              SubmitOutcome::Pending);
    EXPECT_EQ(driver.WaitRequest(record, 30), WaitOutcome::TimedOut);
    Bytes endpoint{0};
    ASSERT_TRUE(driver.SyncRequest(handle, kIoctlAbortEndpoint, endpoint, {}, bytes));
    EXPECT_EQ(driver.WaitRequest(record, kInfinite), WaitOutcome::Signalled);
    EXPECT_FALSE(driver.CollectRequest(record, bytes));

    // Identity still answers while samples do not.
    EXPECT_TRUE(Ask(0xE2, 0, 12));
}

TEST_F(SimulatedMeterTest, RemovesItselfAfterNSamples) {
    Plug({});
    meter->SetMeterFaults({.removeAfterSamples = 2});
    EXPECT_TRUE(Sample());
    EXPECT_TRUE(Sample());
    EXPECT_FALSE(Sample());
    EXPECT_TRUE(driver.ListDevicePaths(kMeterInterfaceGuid)->empty());
    EXPECT_FALSE(Ask(0xE2, 0, 12));
    EXPECT_TRUE(driver.CloseDevice(handle));
}

TEST_F(SimulatedMeterTest, DemoMetersAreLivelyAndPlausible) {
    for (const char* family : {"KV", "RM", "ZN"}) {
        meter = SimulatedMeter::MakeDemo(family, "200000001", 3);
        id = meter->PlugInto(driver);
        handle = driver.OpenDevice(*driver.DevicePath(id));
        EXPECT_EQ(Text(Ask(0xE2, 0, 12)).substr(0, 4), "4817");
        EXPECT_EQ(Text(Ask(0xE2, 0, 12)).substr(8, 2), family);
        const Bytes a = *Sample();
        Bytes b = a;
        for (int i = 0; i < 5 && b == a; ++i) {
            b = *Sample();
        }
        EXPECT_NE(a, b) << family;
        EXPECT_GT(a[2] * 256 + a[3], 0) << family;
    }
}

} // namespace
} // namespace zelmora
