// The trace reader on any text, and whatever it accepts written as a packet
// capture and played back to the real meter link's scan: no crash, no read
// outside a block, and a trace
// once accepted keeps its promises (every collection follows its own
// submission and gives back a block of the submitted size).

#include "meter/DeviceLink.h"
#include "usb/driver/ReplayUsbDriver.h"
#include "usb/driver/Trace.h"
#include "usb/driver/TracePcap.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelmora;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto trace = ParseTrace(text, error);
    if (!trace) {
        if (error.empty() || (!error.starts_with("line ") && !error.starts_with("the trace"))) {
            std::abort();
        }
        return 0;
    }
    for (std::size_t i = 0; i < trace->entries.size(); ++i) {
        const TraceEntry& entry = trace->entries[i];
        if (entry.line < 2 || entry.line > trace->lastLine) {
            std::abort();
        }
        if (entry.collect) {
            const TraceEntry& collect = trace->entries.at(*entry.collect);
            if (*entry.collect <= i || collect.event.kind != TraceEvent::Kind::Collect ||
                collect.event.request != entry.event.request ||
                collect.event.out.size() != entry.event.in.size()) {
                std::abort();
            }
        }
    }
    // Two packets at most per request, each a header and no more data than
    // its block holds.
    std::size_t packets = 0;
    const std::vector<std::uint8_t> capture = TraceToPcap(*trace, &packets);
    if (packets > 2 * trace->entries.size() || capture.size() < 24 + packets * (16 + 64)) {
        std::abort();
    }
    ReplayUsbDriver driver(std::move(*trace));
    {
        CDeviceLink link(driver, {.pollSpeedUp = 1000});
        link.Rescan();
        for (const auto& listing : link.GetMeterListing()) {
            (void)listing;
        }
    }
    return 0;
}
