#pragma once

// A simulated laser power meter: a virtual USB device for the virtual
// backend that answers the meter's vendor requests on endpoint 0 as a real
// meter does. Nothing above the driver seam knows it is not real.
//
// - Identity texts 1 (0xE2, 12 bytes) and 2 (0xE4, 8 bytes) carry the meter
//   type code, the nine-character meter id and the probe model code.
// - Start and stop measurement (0xF1 with 0x00AA and 0x00BB) answer 2 bytes.
// - The sample request (0xF2, 0x00BB) answers 5 bytes: wavelength, reading
//   and range index, big-endian. The reading comes from the signal model
//   through the probe's ranges, or from a script of replies.
// - Faults: a sample request that never answers, one that ends with an
//   error status, a short reply, removal after a number of samples, and
//   identity texts that are cut short or carry another type code. (Faults
//   of every request, such as a failing open, are the VirtualDevice's.)
//
// Thread-safe: the settings may change while the device is in use.

#include "sim/ProbeRanges.h"
#include "sim/SignalModel.h"
#include "usb/driver/VirtualDevice.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

class SimulatedMeter final : public VirtualDevice,
                             public std::enable_shared_from_this<SimulatedMeter> {
public:
    // The USB ids the simulated meter reports in its device descriptor.
    struct UsbIds {
        std::uint16_t vendorId;
        std::uint16_t productId;
    };
    static constexpr UsbIds kUsbIds{0x5A4C, 0x0A01};

    // The type code of the meters the program accepts.
    static constexpr std::string_view kMeterTypeCode = "4817";

    struct Config {
        std::string meterId = "100000001"; // nine characters
        std::string typeCode = std::string(kMeterTypeCode);
        std::string probeModel = "KV50"; // four characters, the last possibly "A"
        std::uint16_t wavelength = 1064; // nanometres
        SignalModel signal = SignalModel::Constant(0.012);
        std::uint64_t seed = 1;
    };

    // One scripted reply to a sample request.
    struct ScriptedReply {
        std::uint16_t wavelength = 0;
        std::uint16_t reading = 0;
        std::uint8_t range = 0;
    };

    // An identity text cut to `length` bytes; with zeroPadded the reply keeps
    // its full length and the text ends at a zero byte instead.
    struct ShortText {
        std::size_t length = 0;
        bool zeroPadded = false;
    };

    struct MeterFaults {
        bool sampleNeverAnswers = false;
        std::uint32_t sampleErrorStatus = 0;             // non-zero: sample requests fail with it
        std::optional<std::size_t> sampleReplyLength;    // sample replies cut to this length
        std::optional<std::uint64_t> removeAfterSamples; // unplugged at the next sample request
        std::optional<ShortText> identity1;
        std::optional<ShortText> identity2;
    };

    // What the meter has been asked, for tests.
    struct Counters {
        std::uint64_t identity1 = 0;
        std::uint64_t identity2 = 0;
        std::uint64_t starts = 0;
        std::uint64_t stops = 0;
        std::uint64_t sampleRequests = 0;
        std::uint64_t samplesAnswered = 0;
    };

    explicit SimulatedMeter(Config config);

    // A lively meter for the demo: a probe of the family ("KV", "RM" or
    // "ZN") at a plausible power with noise and slow drift, reproducible for
    // a seed.
    static std::shared_ptr<SimulatedMeter> MakeDemo(std::string_view family, std::string meterId,
                                                    std::uint64_t seed);

    // Plugs the meter into a virtual backend; it remembers where, so that it
    // can unplug itself for the removal fault. The meter must be owned by a
    // shared_ptr (MakeDemo or std::make_shared).
    VirtualUsbDriver::DeviceId PlugInto(VirtualUsbDriver& driver);

    // The identity texts as the meter sends them without faults.
    static std::vector<std::uint8_t> IdentityText1(const Config& config);
    static std::vector<std::uint8_t> IdentityText2(const Config& config);

    void SetSignal(const SignalModel& signal);
    void SetWavelength(std::uint16_t wavelength);
    // Replaces the script; its replies are given in order, then the signal
    // model answers again.
    void SetScript(std::vector<ScriptedReply> replies);
    void SetMeterFaults(const MeterFaults& faults);
    MeterFaults GetMeterFaults() const;
    Counters GetCounters() const;
    bool IsMeasuring() const;

    std::optional<Reply> HandleRequest(const Request& request) override;

private:
    static Descriptors MakeDescriptors(const Config& config);
    std::optional<Reply> AnswerSample();
    double NextStandardNormal();
    static Reply Cut(std::vector<std::uint8_t> text, const std::optional<ShortText>& fault);

    const Config m_config;
    const ProbeRanges m_ranges;
    mutable std::mutex m_mutex;
    SignalModel m_signal;
    std::uint16_t m_wavelength;
    std::deque<ScriptedReply> m_script;
    MeterFaults m_faults;
    Counters m_counters;
    bool m_measuring = false;
    std::uint64_t m_sampleNumber = 0;
    std::uint64_t m_random;               // generator state
    std::optional<double> m_spareNormal;  // the second of a pair of draws
    VirtualUsbDriver* m_driver = nullptr; // where it is plugged in
    VirtualUsbDriver::DeviceId m_deviceId = 0;
};

} // namespace zelmora
