// The real meter link against a meter that answers its identity, start,
// stop and sample requests with any bytes, of any length, or an error
// status, interleaved with any order of the window's calls (rescan, start,
// stop, reset, settings, takes). Ticks are driven from here, one at a time,
// so a finding replays exactly.
//
// Every published sample must be whole: its texts are those of one sample
// (count and elapsed time advance by exactly one sample and one poll
// period), the power text is empty, "Over Range" or a number with its
// unit, and no text shows a number that is not finite.

#include "FuzzInput.h"
#include "meter/DeviceLink.h"
#include "meter/PeriodicTimer.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"
#include "util/TextFormat.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace zelmora;

// A device with the meter's descriptors whose vendor requests are answered
// from the fuzzer's bytes.
class FuzzedMeter final : public VirtualDevice {
public:
    FuzzedMeter(Descriptors descriptors, fuzz::Input& input)
        : VirtualDevice(std::move(descriptors)), m_input(input) {}

    std::optional<Reply> HandleRequest(const Request& request) override {
        std::lock_guard lock(m_mutex);
        if (!request.control || (request.setup.requestType & 0x60) != 0x40) {
            return Stall();
        }
        const std::uint8_t how = m_input.Byte();
        Reply reply;
        if ((how & 0x0F) == 0) {
            reply.completionStatus = 0xC0000001u + (how >> 4);
            return reply;
        }
        if (request.setup.request == 0xE2 && (how & 0x10) == 0) {
            // A well-formed identity now and then, so the meter gets listed.
            reply.data = {'4', '8', '1', '7', 'x', '1', '2', '3', 'R', 'M', '4', '1'};
        } else if (request.setup.request == 0xE4 && (how & 0x10) == 0) {
            reply.data = {'0', '0', '4', '5', '6', '7', '8', '9'};
        } else {
            const std::size_t length = m_input.Byte() % 16;
            for (std::size_t i = 0; i < length; ++i) {
                reply.data.push_back(m_input.Byte());
            }
        }
        return reply;
    }

private:
    std::mutex m_mutex;
    fuzz::Input& m_input;
};

bool HasNonFinite(const std::string& text) {
    for (const char* bad : {"nan", "NAN", "inf", "INF"}) {
        if (text.find(bad) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool IsPowerText(const std::string& text) {
    if (text.empty() || text == "Over Range") {
        return true;
    }
    std::size_t digits = 0;
    while (digits < text.size() &&
           ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.')) {
        ++digits;
    }
    const std::string unit = text.substr(digits);
    return digits > 0 && (unit == "W" || unit == "mW" || unit == "uW");
}

class Checker {
public:
    void Reset() {
        m_count = 0;
        m_elapsedMs = 0;
    }

    // One tick's sample, taken at the poll period `periodMs`.
    void Check(const MeterSample& sample, std::uint64_t periodMs) {
        for (const std::string* text :
             {&sample.powerText, &sample.minText, &sample.maxText, &sample.meanText,
              &sample.stdDevText, &sample.stdDevPercentText, &sample.countText,
              &sample.durationText}) {
            if (HasNonFinite(*text)) {
                std::abort();
            }
        }
        if (!IsPowerText(sample.powerText) || !std::isfinite(sample.power)) {
            std::abort();
        }
        // Not the text: a reading the tables cannot convert keeps the
        // previous text, "Over Range" included, and is counted.
        if (sample.status == SampleStatus::OverRange) {
            return; // counts nothing
        }
        m_elapsedMs += periodMs;
        if (sample.countText != Format("%llu", static_cast<unsigned long long>(m_count)) ||
            sample.durationText != FormatElapsed(m_elapsedMs)) {
            std::abort();
        }
        ++m_count;
    }

private:
    std::uint64_t m_count = 0;
    std::uint64_t m_elapsedMs = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const SimulatedMeter model({});
    VirtualUsbDriver driver;
    driver.Plug(std::make_shared<FuzzedMeter>(model.GetDescriptors(), input));

    // The timer never fires on its own: this harness ticks.
    constexpr int kManualPeriod = static_cast<int>(PeriodicTimer::kMaxPeriodMs);
    // Sped up so that Start and Stop give the meter 0.1 ms to settle, not
    // 100 ms; the periods below stay far beyond an input's life all the same.
    CDeviceLink link(driver, {.pollSpeedUp = 1000});
    link.SetPollPeriod(kManualPeriod);
    std::uint64_t periodMs = kManualPeriod;
    Checker checker;

    auto tick = [&] {
        CDeviceLink::PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(&link), 0, 0);
        const std::vector<MeterSample> samples = link.TakeSamples();
        if (samples.size() > 1) {
            std::abort(); // one tick, one sample at most
        }
        for (const MeterSample& sample : samples) {
            checker.Check(sample, periodMs);
        }
    };

    for (int operation = 0; operation < 200 && !input.Empty(); ++operation) {
        switch (input.Byte() % 12) {
        case 0:
            link.Rescan();
            break;
        case 1: {
            const std::vector<std::string> ids = link.GetMeterList();
            link.Start(ids.empty() ? "678912453" : ids.front());
            break;
        }
        case 2:
            link.Stop();
            break;
        case 3:
        case 4:
        case 5:
        case 6:
            tick();
            break;
        case 7:
            link.ResetStatistics();
            checker.Reset();
            break;
        case 8:
            link.SetCollectionMode(input.Byte() % 3);
            checker.Reset();
            break;
        case 9:
            link.SetSampleSize(input.Value<std::int16_t>());
            break;
        case 10:
            link.SetAverageCount(1 + input.Value<std::uint16_t>() % 20000);
            break;
        default: {
            // Periods the window can ask for, an hour or more, so that the
            // timer still never fires within an input.
            const int period =
                3600000 + static_cast<int>(input.Value<std::uint32_t>() % 1796400001u);
            link.SetPollPeriod(period);
            periodMs = static_cast<std::uint64_t>(period);
            break;
        }
        }
    }
    return 0;
}
