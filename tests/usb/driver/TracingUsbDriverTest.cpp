// The tracing driver's bounds: a trace that reaches its cap ends with a line
// that says so and plays back up to there; a writer that falls behind
// drops calls rather than holding up the caller, counts them and notes where,
// and such a trace is refused for replay. A request that fails to start is
// recorded without a collection and fails again when played back.

#include "usb/driver/TracingUsbDriver.h"

#include "support/TempFolder.h"
#include "support/TextFiles.h"
#include "usb/driver/ReplayUsbDriver.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace zelmora {
namespace {

class TracingUsbDriverTest : public ::testing::Test {
protected:
    std::unique_ptr<TracingUsbDriver> Tracing(std::uint64_t capBytes, std::size_t queueBytes) {
        TracingUsbDriver::Settings settings;
        settings.path = m_path;
        settings.header = {"test", "0", TracePlatform(), "simulated", TraceNow()};
        settings.capBytes = capBytes;
        settings.queueBytes = queueBytes;
        std::unique_ptr<UsbDriver> inner = std::make_unique<VirtualUsbDriver>();
        std::string error;
        auto tracing = TracingUsbDriver::Create(inner, settings, error);
        EXPECT_TRUE(tracing) << error;
        return tracing;
    }

    test::TempFolder m_folder{"zelmora-trace-"};
    std::string m_path = m_folder.Path("t.jsonl");
};

TEST_F(TracingUsbDriverTest, ACappedTraceEndsSayingSoAndReplaysUpToThere) {
    constexpr std::uint64_t kCap = 4000;
    {
        auto tracing = Tracing(kCap, TracingUsbDriver::kDefaultQueueBytes);
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(tracing->ListDevicePaths(kMeterInterfaceGuid), std::vector<std::string>{});
        }
    }
    const std::string text = test::ReadFile(m_path);
    EXPECT_LE(text.size(), kCap);
    const std::vector<std::string> lines = test::Lines(text);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines.back().find("\"op\":\"end\",\"reason\":\"cut\",\"why\":\"the trace reached "
                                "its size cap of 4000 bytes"),
              std::string::npos)
        << lines.back();

    std::string error;
    auto trace = ParseTrace(text, error);
    ASSERT_TRUE(trace) << error;
    EXPECT_TRUE(trace->cut);
    ReplayUsbDriver replay(std::move(*trace));
    for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
        EXPECT_EQ(replay.ListDevicePaths(kMeterInterfaceGuid), std::vector<std::string>{});
    }
    EXPECT_EQ(replay.Fault(), "");
    replay.ListDevicePaths(kMeterInterfaceGuid);
    EXPECT_EQ(replay.Fault(), "replay: the program asks for a device listing, but the trace ends "
                              "at line " +
                                  std::to_string(lines.size()) + " (it was cut at its size cap)");
}

TEST_F(TracingUsbDriverTest, AWriterThatFallsBehindDropsAndCountsWithoutHoldingUpTheCaller) {
    std::uint64_t dropped = 0;
    {
        auto tracing = Tracing(TracingUsbDriver::kDefaultCapBytes, 400);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (tracing->Dropped() == 0 && std::chrono::steady_clock::now() < deadline) {
            tracing->ListDevicePaths(kMeterInterfaceGuid);
        }
        dropped = tracing->Dropped();
        ASSERT_GT(dropped, 0u);
    }
    const std::vector<std::string> lines = test::Lines(test::ReadFile(m_path));
    std::size_t droppedLine = 0;
    while (droppedLine < lines.size() &&
           lines[droppedLine].find("\"op\":\"dropped\"") == std::string::npos) {
        ++droppedLine;
    }
    ASSERT_LT(droppedLine, lines.size()) << "the place of the lost calls is noted";
    EXPECT_NE(lines.back().find("\"reason\":\"closed\",\"dropped\":" + std::to_string(dropped)),
              std::string::npos)
        << lines.back();

    std::string error;
    EXPECT_FALSE(ReadTraceFile(m_path, error));
    EXPECT_EQ(error, "line " + std::to_string(droppedLine + 1) +
                         ": the program lost events here while writing the trace; a trace with "
                         "gaps cannot be played back");
}

TEST_F(TracingUsbDriverTest, AFailedSubmissionIsRecordedAndFailsAgainOnReplay) {
    std::array<std::uint8_t, 40> block{};
    {
        auto tracing =
            Tracing(TracingUsbDriver::kDefaultCapBytes, TracingUsbDriver::kDefaultQueueBytes);
        OverlappedRecord failed;
        EXPECT_EQ(tracing->SubmitRequest(DriverHandle{12345}, 0x220020, block, failed).outcome,
                  SubmitOutcome::Failed);
        EXPECT_FALSE(failed.InUse());
    }
    std::string error;
    auto trace = ReadTraceFile(m_path, error);
    ASSERT_TRUE(trace) << error;
    ASSERT_EQ(trace->entries.size(), 1u);
    EXPECT_EQ(trace->entries[0].event.kind, TraceEvent::Kind::Submit);
    EXPECT_EQ(trace->entries[0].event.outcome, SubmitOutcome::Failed);
    EXPECT_FALSE(trace->entries[0].collect) << "nothing ran, so nothing is collected";
    const std::uint32_t recordedError = trace->entries[0].event.error;
    EXPECT_NE(recordedError, kErrorSuccess);

    // Played back, the submission fails again with the recorded error.
    ReplayUsbDriver replay(std::move(*trace));
    OverlappedRecord again;
    const SubmitResult result = replay.SubmitRequest(DriverHandle{12345}, 0x220020, block, again);
    EXPECT_EQ(result.outcome, SubmitOutcome::Failed);
    EXPECT_EQ(result.error, recordedError);
}

// Two threads may take turns differently from one run to the next: the
// calls on a handle keep their order, and so do those on no handle, but a
// close may come before or after another thread's listing.
TEST(ReplayUsbDriverTest, TheOrderIsKeptPerHandleNotAcrossThem) {
    const std::string guid = FormatGuid(kMeterInterfaceGuid);
    const std::string text =
        "{\"format\":\"zelmora-trace\",\"version\":1,\"program\":\"test\","
        "\"programVersion\":\"0\",\"platform\":\"linux\",\"backend\":\"simulated\","
        "\"started\":\"2026-12-10T00:00:00Z\"}\n"
        "{\"t\":0,\"op\":\"open\",\"path\":\"p\",\"handle\":1}\n"
        "{\"t\":0,\"op\":\"close\",\"handle\":1,\"ok\":true}\n"
        "{\"t\":0,\"op\":\"list\",\"guid\":\"" +
        guid +
        "\",\"paths\":[\"p\"]}\n"
        "{\"t\":0,\"op\":\"end\",\"reason\":\"closed\",\"dropped\":0}\n";
    std::string error;
    auto trace = ParseTrace(text, error);
    ASSERT_TRUE(trace) << error;

    ReplayUsbDriver replay(*trace);
    const DriverHandle handle = replay.OpenDevice("p");
    ASSERT_NE(handle, kInvalidDriverHandle);
    EXPECT_EQ(replay.ListDevicePaths(kMeterInterfaceGuid), std::vector<std::string>{"p"});
    EXPECT_TRUE(replay.CloseDevice(handle));
    EXPECT_EQ(replay.Fault(), "");

    // In its own stream the order is strict: a listing before the open.
    ReplayUsbDriver strict(*trace);
    strict.ListDevicePaths(kMeterInterfaceGuid);
    EXPECT_EQ(strict.Fault(), "replay: line 2 of the trace: the program asks for a device "
                              "listing where the trace has an open");
}

} // namespace
} // namespace zelmora
