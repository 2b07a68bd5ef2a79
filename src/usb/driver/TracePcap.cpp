#include "usb/driver/TracePcap.h"

#include "usb/driver/DriverRequest.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <span>

namespace zelmora {
namespace {

// usbmon's transfer type of a control transfer, and the statuses it gives a
// submission still running and a completion that failed (-EINPROGRESS,
// -EPROTO).
constexpr std::uint8_t kControlTransfer = 2;
constexpr std::int32_t kStatusInProgress = -115;
constexpr std::int32_t kStatusFailed = -71;

class Writer {
public:
    Writer() {
        Put32(kPcapMagic);
        Put16(2);
        Put16(4);
        Put32(0); // the time zone: UTC
        Put32(0); // the accuracy of the times
        Put32(kPcapSnapLength);
        Put32(kPcapLinkTypeUsbLinuxMmapped);
    }

    struct Packet {
        std::uint64_t id = 0;
        char type = 'S';
        std::uint8_t endpoint = 0;
        std::uint8_t device = 0;
        bool withSetup = false;
        std::span<const std::uint8_t> setup;
        std::int32_t status = 0;
        // The transfer's length: asked for (S) or done (C).
        std::uint32_t length = 0;
        // The data carried; none: `noData` tells why.
        std::span<const std::uint8_t> data;
        char noData = '<';
        double t = 0;
    };

    void Add(const Packet& packet) {
        const std::size_t captured =
            std::min<std::size_t>(packet.data.size(), kPcapSnapLength - kUsbmonHeaderSize);
        const double t = std::isfinite(packet.t) && packet.t > 0 ? packet.t : 0.0;
        const auto seconds = static_cast<std::uint32_t>(std::min(t, 4.0e9));
        const auto micros =
            static_cast<std::uint32_t>(std::min(999999.0, std::floor((t - seconds) * 1e6 + 0.5)));
        const auto size = static_cast<std::uint32_t>(kUsbmonHeaderSize + captured);
        Put32(seconds);
        Put32(micros);
        Put32(size);
        Put32(size);

        Put64(packet.id);
        Put8(static_cast<std::uint8_t>(packet.type));
        Put8(kControlTransfer);
        Put8(packet.endpoint);
        Put8(packet.device);
        Put16(1); // the bus
        Put8(packet.withSetup ? 0 : static_cast<std::uint8_t>('-'));
        Put8(captured > 0 ? 0 : static_cast<std::uint8_t>(packet.noData));
        Put64(seconds);
        Put32(micros);
        Put32(static_cast<std::uint32_t>(packet.status));
        Put32(packet.length);
        Put32(static_cast<std::uint32_t>(captured));
        for (std::size_t i = 0; i < 8; ++i) {
            Put8(packet.withSetup && i < packet.setup.size() ? packet.setup[i] : 0);
        }
        Put32(0); // interval
        Put32(0); // start frame
        Put32(0); // transfer flags
        Put32(0); // isochronous descriptors
        m_bytes.insert(m_bytes.end(), packet.data.begin(),
                       packet.data.begin() + static_cast<std::ptrdiff_t>(captured));
        ++m_packets;
    }

    std::vector<std::uint8_t> Take() { return std::move(m_bytes); }
    std::size_t Packets() const { return m_packets; }

private:
    void Put8(std::uint8_t value) { m_bytes.push_back(value); }
    void Put16(std::uint16_t value) {
        Put8(static_cast<std::uint8_t>(value));
        Put8(static_cast<std::uint8_t>(value >> 8));
    }
    void Put32(std::uint32_t value) {
        Put16(static_cast<std::uint16_t>(value));
        Put16(static_cast<std::uint16_t>(value >> 16));
    }
    void Put64(std::uint64_t value) {
        Put32(static_cast<std::uint32_t>(value));
        Put32(static_cast<std::uint32_t>(value >> 32));
    }

    std::vector<std::uint8_t> m_bytes;
    std::size_t m_packets = 0;
};

// The data area of a block, cut to what the driver's byte count covers
// (`bytes`; the whole area when not given): the header and the layout come
// from the device's side and are checked against the block.
std::span<const std::uint8_t> DataOf(std::span<const std::uint8_t> block,
                                     std::optional<std::uint32_t> bytes) {
    const std::optional<DriverRequest::Header> header = DriverRequest::DecodeBlock(block);
    if (!header) {
        return {};
    }
    std::size_t length = header->dataLength;
    if (bytes) {
        length = *bytes > header->dataOffset
                     ? std::min<std::size_t>(*bytes - header->dataOffset, header->dataLength)
                     : 0;
    }
    return block.subspan(header->dataOffset, length);
}

struct Transfer {
    std::uint64_t id = 0;
    std::uint8_t endpoint = 0;
    std::uint8_t device = 0;
    bool in = false;
    std::span<const std::uint8_t> submitted;
};

// The submission of a transfer; nothing when its block has no header.
std::optional<Transfer> AddSubmit(Writer& writer, const TraceEvent& submit, std::uint64_t id) {
    const std::optional<DriverRequest::Header> header = DriverRequest::DecodeBlock(submit.in);
    if (!header) {
        return std::nullopt;
    }
    Transfer transfer;
    transfer.id = id;
    transfer.in = (header->requestType & 0x80) != 0;
    transfer.endpoint = transfer.in ? 0x80 : 0x00;
    transfer.device = static_cast<std::uint8_t>(std::min<std::uint64_t>(submit.handle, 127));
    transfer.submitted = submit.in;
    writer.Add(
        {.id = id,
         .type = 'S',
         .endpoint = transfer.endpoint,
         .device = transfer.device,
         .withSetup = true,
         .setup = std::span<const std::uint8_t>(submit.in).first(8),
         .status = kStatusInProgress,
         .length = header->length,
         .data = transfer.in ? std::span<const std::uint8_t>() : DataOf(submit.in, std::nullopt),
         .noData = '<',
         .t = submit.t});
    return transfer;
}

// Its completion: the data an IN transfer brought, the length an OUT one
// sent; nothing but the failure when `failed`.
void AddComplete(Writer& writer, const Transfer& transfer, const TraceEvent& done,
                 bool failed = false) {
    const bool ok = done.ok && !failed;
    const std::span<const std::uint8_t> inData =
        transfer.in && ok ? DataOf(done.out, done.bytes) : std::span<const std::uint8_t>();
    std::size_t length = inData.size();
    if (!transfer.in && ok) {
        length = DataOf(transfer.submitted, std::nullopt).size();
    }
    writer.Add({.id = transfer.id,
                .type = 'C',
                .endpoint = transfer.endpoint,
                .device = transfer.device,
                .status = ok ? 0 : kStatusFailed,
                .length = static_cast<std::uint32_t>(length),
                .data = inData,
                .noData = '>',
                .t = done.t});
}

} // namespace

std::vector<std::uint8_t> TraceToPcap(const Trace& trace, std::size_t* packets) {
    // In the trace's order, so that the times only grow: an overlapped
    // request is submitted here and completes where it was collected.
    Writer writer;
    std::uint64_t id = 0;
    std::map<std::size_t, Transfer> pending;
    for (std::size_t i = 0; i < trace.entries.size(); ++i) {
        const TraceEntry& entry = trace.entries[i];
        const TraceEvent& event = entry.event;
        if (event.kind == TraceEvent::Kind::Collect) {
            if (const auto found = pending.find(i); found != pending.end()) {
                AddComplete(writer, found->second, event);
                pending.erase(found);
            }
            continue;
        }
        if (event.code != kIoctlControlTransfer) {
            continue;
        }
        if (event.kind == TraceEvent::Kind::Sync) {
            // A request that returns when it has ended: it completes at
            // the same time.
            if (const std::optional<Transfer> transfer = AddSubmit(writer, event, id + 1)) {
                ++id;
                AddComplete(writer, *transfer, event);
            }
        } else if (event.kind == TraceEvent::Kind::Submit) {
            if (const std::optional<Transfer> transfer = AddSubmit(writer, event, id + 1)) {
                ++id;
                if (event.outcome == SubmitOutcome::Failed) {
                    // Nothing ran: it ends where it began, failed.
                    AddComplete(writer, *transfer, event, true);
                } else if (entry.collect && *entry.collect > i) {
                    pending.emplace(*entry.collect, *transfer);
                }
            }
        }
    }
    if (packets != nullptr) {
        *packets = writer.Packets();
    }
    return writer.Take();
}

} // namespace zelmora
