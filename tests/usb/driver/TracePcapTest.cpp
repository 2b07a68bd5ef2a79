// A trace as a packet capture, read back by a reader of the capture format
// written here from its description, not from the writer.

#include "usb/driver/TracePcap.h"

#include "usb/driver/DriverRequest.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace zelmora {
namespace {

std::uint64_t LittleEndian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | bytes[at + i];
    }
    return value;
}

struct Packet {
    std::uint64_t id = 0;
    char type = 0;
    std::uint8_t transferType = 0;
    std::uint8_t endpoint = 0;
    std::uint8_t device = 0;
    std::uint8_t flagSetup = 0;
    std::uint8_t flagData = 0;
    std::int32_t status = 0;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> setup;
    std::vector<std::uint8_t> data;
    double t = 0;
};

struct Capture {
    std::uint32_t magic = 0;
    std::uint32_t snapLength = 0;
    std::uint32_t linkType = 0;
    std::vector<Packet> packets;
};

// Fails the test on anything that is not a whole capture of usbmon packets.
Capture ReadCapture(const std::vector<std::uint8_t>& file) {
    Capture capture;
    if (file.size() < 24) {
        ADD_FAILURE() << "no file header";
        return capture;
    }
    capture.magic = static_cast<std::uint32_t>(LittleEndian(file, 0, 4));
    EXPECT_EQ(LittleEndian(file, 4, 2), 2u);
    EXPECT_EQ(LittleEndian(file, 6, 2), 4u);
    capture.snapLength = static_cast<std::uint32_t>(LittleEndian(file, 16, 4));
    capture.linkType = static_cast<std::uint32_t>(LittleEndian(file, 20, 4));
    std::size_t at = 24;
    while (at < file.size()) {
        if (file.size() - at < 16 + 64) {
            ADD_FAILURE() << "a packet cut short at " << at;
            break;
        }
        const std::uint64_t included = LittleEndian(file, at + 8, 4);
        EXPECT_EQ(LittleEndian(file, at + 12, 4), included);
        if (included < 64 || file.size() - at - 16 < included) {
            ADD_FAILURE() << "a packet of " << included << " bytes at " << at;
            break;
        }
        Packet packet;
        packet.t = static_cast<double>(LittleEndian(file, at, 4)) +
                   static_cast<double>(LittleEndian(file, at + 4, 4)) / 1e6;
        const std::size_t h = at + 16;
        packet.id = LittleEndian(file, h, 8);
        packet.type = static_cast<char>(file[h + 8]);
        packet.transferType = file[h + 9];
        packet.endpoint = file[h + 10];
        packet.device = file[h + 11];
        EXPECT_EQ(LittleEndian(file, h + 12, 2), 1u);
        packet.flagSetup = file[h + 14];
        packet.flagData = file[h + 15];
        EXPECT_EQ(LittleEndian(file, h + 16, 8), LittleEndian(file, at, 4));
        EXPECT_EQ(LittleEndian(file, h + 24, 4), LittleEndian(file, at + 4, 4));
        packet.status = static_cast<std::int32_t>(LittleEndian(file, h + 28, 4));
        packet.length = static_cast<std::uint32_t>(LittleEndian(file, h + 32, 4));
        const std::uint64_t captured = LittleEndian(file, h + 36, 4);
        EXPECT_EQ(captured + 64, included);
        packet.setup.assign(file.begin() + static_cast<std::ptrdiff_t>(h + 40),
                            file.begin() + static_cast<std::ptrdiff_t>(h + 48));
        packet.data.assign(file.begin() + static_cast<std::ptrdiff_t>(h + 64),
                           file.begin() + static_cast<std::ptrdiff_t>(at + 16 + included));
        capture.packets.push_back(std::move(packet));
        at += 16 + included;
    }
    return capture;
}

// The recorded run of a meter: every control transfer becomes a submission
// with its setup packet and a completion with the reply, in order and
// paired by id; the device's first answer is its device descriptor.
TEST(TracePcap, EveryControlTransferIsASubmissionAndItsCompletion) {
    std::string error;
    const std::optional<Trace> trace =
        ReadTraceFile(std::string(ZELMORA_TRACES_DIR) + "/plain.jsonl", error);
    ASSERT_TRUE(trace) << error;
    // Each control transfer: its request and the call that ended it.
    struct Transfer {
        const TraceEvent* submit;
        const TraceEvent* done;
    };
    std::vector<Transfer> transfers;
    std::size_t overlapped = 0;
    for (const TraceEntry& entry : trace->entries) {
        if (entry.event.code != kIoctlControlTransfer) {
            continue;
        }
        if (entry.event.kind == TraceEvent::Kind::Sync) {
            transfers.push_back({&entry.event, &entry.event});
        } else if (entry.event.kind == TraceEvent::Kind::Submit) {
            ASSERT_TRUE(entry.collect);
            transfers.push_back({&entry.event, &trace->entries[*entry.collect].event});
            ++overlapped;
        }
    }
    ASSERT_GT(transfers.size(), 20u);
    ASSERT_GT(overlapped, 10u) << "the samples are overlapped requests";

    std::size_t count = 0;
    const Capture capture = ReadCapture(TraceToPcap(*trace, &count));
    EXPECT_EQ(capture.magic, 0xa1b2c3d4u);
    EXPECT_EQ(capture.snapLength, 65535u);
    EXPECT_EQ(capture.linkType, 220u);
    ASSERT_EQ(capture.packets.size(), 2 * transfers.size());
    EXPECT_EQ(count, capture.packets.size());
    // Submissions numbered in order, each completed after it; times only
    // grow.
    std::map<std::uint64_t, std::size_t> submitAt;
    std::map<std::uint64_t, std::size_t> doneAt;
    for (std::size_t at = 0; at < capture.packets.size(); ++at) {
        const Packet& packet = capture.packets[at];
        if (at > 0) {
            EXPECT_GE(packet.t, capture.packets[at - 1].t) << at;
        }
        if (packet.type == 'S') {
            EXPECT_EQ(packet.id, submitAt.size() + 1);
            EXPECT_TRUE(submitAt.emplace(packet.id, at).second);
        } else {
            EXPECT_EQ(packet.type, 'C');
            EXPECT_TRUE(submitAt.contains(packet.id)) << packet.id << " completes first";
            EXPECT_TRUE(doneAt.emplace(packet.id, at).second);
        }
    }
    ASSERT_EQ(submitAt.size(), transfers.size());
    ASSERT_EQ(doneAt.size(), transfers.size());
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        const Packet& submit = capture.packets[submitAt[i + 1]];
        const Packet& done = capture.packets[doneAt[i + 1]];
        const std::vector<std::uint8_t>& block = transfers[i].submit->in;
        const std::vector<std::uint8_t> setup(block.begin(), block.begin() + 8);
        const bool in = (setup[0] & 0x80) != 0;
        for (const Packet* packet : {&submit, &done}) {
            EXPECT_EQ(packet->transferType, 2u);
            EXPECT_EQ(packet->endpoint, in ? 0x80u : 0x00u);
            EXPECT_EQ(packet->device, transfers[i].submit->handle);
        }
        EXPECT_EQ(submit.flagSetup, 0u);
        EXPECT_EQ(submit.setup, setup) << i;
        EXPECT_EQ(submit.length, setup[6] | setup[7] << 8);
        EXPECT_EQ(submit.status, -115);
        EXPECT_EQ(done.flagSetup, '-');
        EXPECT_EQ(done.status, transfers[i].done->ok ? 0 : -71) << i;
        EXPECT_EQ(done.length, done.data.size());
        EXPECT_DOUBLE_EQ(done.t, std::floor(transfers[i].done->t * 1e6 + 0.5) / 1e6);
        if (in) {
            EXPECT_TRUE(submit.data.empty());
            EXPECT_EQ(submit.flagData, '<');
            EXPECT_LE(done.data.size(), submit.length);
            // The reply is the data area of the block the driver returned.
            const std::vector<std::uint8_t>& out = transfers[i].done->out;
            ASSERT_GE(out.size(), 38 + done.data.size());
            EXPECT_TRUE(std::equal(done.data.begin(), done.data.end(), out.begin() + 38)) << i;
        } else {
            EXPECT_TRUE(done.data.empty());
        }
    }
    // GET_DESCRIPTOR (device) and the 18-byte descriptor that answered it.
    EXPECT_EQ(capture.packets[0].setup,
              (std::vector<std::uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
    ASSERT_EQ(capture.packets[1].data.size(), 18u);
    EXPECT_EQ(capture.packets[1].data[0], 0x12);
    EXPECT_EQ(capture.packets[1].data[1], 0x01);
    EXPECT_EQ(capture.packets[1].flagData, 0u);
}

// A trace is a file from somewhere else: blocks too short for a header, or
// whose layout points past them, give no packet or no data, never a read
// outside them.
TEST(TracePcap, BlocksThatDoNotHoldWhatTheySayGiveNoData) {
    Trace trace;
    TraceEntry shortBlock;
    shortBlock.event.kind = TraceEvent::Kind::Sync;
    shortBlock.event.code = kIoctlControlTransfer;
    shortBlock.event.in = {0x80, 0x06, 0x00, 0x01};
    shortBlock.event.ok = true;
    trace.entries.push_back(shortBlock);

    DriverRequest request({.requestType = 0x80, .request = 6, .value = 0x100, .length = 18}, 0, 18);
    TraceEntry pastTheEnd;
    pastTheEnd.event.kind = TraceEvent::Kind::Sync;
    pastTheEnd.event.code = kIoctlControlTransfer;
    pastTheEnd.event.in.assign(request.Bytes().begin(), request.Bytes().end());
    pastTheEnd.event.out = pastTheEnd.event.in;
    DriverRequest::Write32(pastTheEnd.event.out, DriverRequest::kOffsetDataLength, 4000);
    pastTheEnd.event.bytes = 5000;
    pastTheEnd.event.ok = true;
    trace.entries.push_back(pastTheEnd);

    // A submission that failed: nothing ran, and no collection follows.
    TraceEntry failed = pastTheEnd;
    failed.event.kind = TraceEvent::Kind::Submit;
    failed.event.outcome = SubmitOutcome::Failed;
    failed.event.t = 1.5;
    trace.entries.push_back(failed);

    const Capture capture = ReadCapture(TraceToPcap(trace));
    ASSERT_EQ(capture.packets.size(), 4u);
    EXPECT_EQ(capture.packets[0].setup[6], 18u);
    EXPECT_EQ(capture.packets[1].status, 0);
    EXPECT_TRUE(capture.packets[1].data.empty());
    EXPECT_EQ(capture.packets[1].flagData, '>');
    EXPECT_EQ(capture.packets[2].type, 'S');
    EXPECT_EQ(capture.packets[3].type, 'C');
    EXPECT_EQ(capture.packets[3].id, 2u);
    EXPECT_EQ(capture.packets[3].status, -71);
    EXPECT_DOUBLE_EQ(capture.packets[3].t, 1.5);
}

} // namespace
} // namespace zelmora
