#include "sim/SimulatedMeter.h"

#include "usb/driver/UsbDescriptors.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace zelmora {

namespace {

constexpr std::uint8_t kVendorDeviceToHost = 0xC0;
constexpr std::uint8_t kIdentity1 = 0xE2;
constexpr std::uint8_t kIdentity2 = 0xE4;
constexpr std::uint8_t kMeasurement = 0xF1;
constexpr std::uint8_t kSample = 0xF2;
constexpr std::uint16_t kStartValue = 0x00AA;
constexpr std::uint16_t kStopValue = 0x00BB;
constexpr std::uint16_t kSampleValue = 0x00BB;
constexpr std::size_t kIdentity1Length = 12;

std::u16string Widen(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

// The character at i of the meter id, '0' where the id is shorter.
char IdChar(const std::string& id, std::size_t i) {
    return i < id.size() ? id[i] : '0';
}

// splitmix64: small, fast and the same on every platform and library.
std::uint64_t NextRandom(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A uniform draw in (0, 1].
double NextUniform(std::uint64_t& state) {
    return (static_cast<double>(NextRandom(state) >> 11) + 1.0) / 9007199254740992.0;
}

} // namespace

SimulatedMeter::SimulatedMeter(Config config)
    : VirtualDevice(MakeDescriptors(config)), m_config(std::move(config)),
      m_ranges(m_config.probeModel), m_signal(m_config.signal), m_wavelength(m_config.wavelength),
      m_random(m_config.seed) {
    DriverInfo info;
    info.deviceName = "simulated-meter";
    info.friendlyName = "Simulated laser power meter";
    SetDriverInfo(info);
}

std::shared_ptr<SimulatedMeter> SimulatedMeter::MakeDemo(std::string_view family,
                                                         std::string meterId, std::uint64_t seed) {
    Config config;
    config.meterId = std::move(meterId);
    config.seed = seed;
    if (family == "RM") {
        // A CO2 laser of a few watts, breathing slowly.
        config.probeModel = "RM41";
        config.wavelength = 10600;
        config.signal = SignalModel::Constant(2.4).WithDrift(0.04, 900).WithNoise(0.006);
    } else if (family == "ZN") {
        // A red helium-neon laser, in milliwatts.
        config.probeModel = "ZN21";
        config.wavelength = 633;
        config.signal = SignalModel::Constant(0.35).WithDrift(0.02, 1200).WithNoise(0.003);
    } else {
        // A 1064 nm diode-pumped laser at about 12 mW.
        config.probeModel = "KV50";
        config.wavelength = 1064;
        config.signal = SignalModel::Constant(0.012).WithDrift(0.03, 600).WithNoise(0.004);
    }
    return std::make_shared<SimulatedMeter>(std::move(config));
}

VirtualDevice::Descriptors SimulatedMeter::MakeDescriptors(const Config& config) {
    Descriptors d;
    d.device = UsbDescriptors::Device({
        .bcdUsb = 0x0110, // full speed
        .deviceClass = 0xFF,
        .maxPacketSize0 = 64,
        .vendorId = kUsbIds.vendorId,
        .productId = kUsbIds.productId,
        .bcdDevice = 0x0102,
        .manufacturerIndex = 1,
        .productIndex = 2,
        .serialNumberIndex = 3,
    });
    d.configurations.push_back(UsbDescriptors::Configuration({
        .attributes = 0x80, // bus powered
        .maxPower = 50,     // 100 mA
        .interfaces = {{.interfaceClass = 0xFF}},
    }));
    d.strings[0] = UsbDescriptors::LanguageTable({0x0409});
    d.strings[1] = UsbDescriptors::String(u"Zelmora");
    d.strings[2] = UsbDescriptors::String(u"Simulated laser power meter");
    d.strings[3] = UsbDescriptors::String(Widen(config.meterId));
    return d;
}

VirtualUsbDriver::DeviceId SimulatedMeter::PlugInto(VirtualUsbDriver& driver) {
    // The driver holds the meter and the meter points back at the driver;
    // the pointer is used only while the meter is plugged in.
    const VirtualUsbDriver::DeviceId id =
        driver.Plug(std::static_pointer_cast<VirtualDevice>(shared_from_this()));
    std::lock_guard lock(m_mutex);
    m_driver = &driver;
    m_deviceId = id;
    return id;
}

std::vector<std::uint8_t> SimulatedMeter::IdentityText1(const Config& config) {
    // Type code, one unused character, meter id characters 4, 5 and 8, the
    // probe model.
    const std::string& id = config.meterId;
    std::string text = config.typeCode + "0";
    text += {IdChar(id, 4), IdChar(id, 5), IdChar(id, 8)};
    text += config.probeModel;
    text.resize(std::min(text.size(), kIdentity1Length));
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> SimulatedMeter::IdentityText2(const Config& config) {
    // Two unused characters, meter id characters 6 and 7, then 0 to 3.
    const std::string& id = config.meterId;
    const std::string text{'0',           '0',           IdChar(id, 6), IdChar(id, 7),
                           IdChar(id, 0), IdChar(id, 1), IdChar(id, 2), IdChar(id, 3)};
    return {text.begin(), text.end()};
}

void SimulatedMeter::SetSignal(const SignalModel& signal) {
    std::lock_guard lock(m_mutex);
    m_signal = signal;
}

void SimulatedMeter::SetWavelength(std::uint16_t wavelength) {
    std::lock_guard lock(m_mutex);
    m_wavelength = wavelength;
}

void SimulatedMeter::SetScript(std::vector<ScriptedReply> replies) {
    std::lock_guard lock(m_mutex);
    m_script.assign(replies.begin(), replies.end());
}

void SimulatedMeter::SetMeterFaults(const MeterFaults& faults) {
    std::lock_guard lock(m_mutex);
    m_faults = faults;
}

SimulatedMeter::MeterFaults SimulatedMeter::GetMeterFaults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

SimulatedMeter::Counters SimulatedMeter::GetCounters() const {
    std::lock_guard lock(m_mutex);
    return m_counters;
}

bool SimulatedMeter::IsMeasuring() const {
    std::lock_guard lock(m_mutex);
    return m_measuring;
}

VirtualDevice::Reply SimulatedMeter::Cut(std::vector<std::uint8_t> text,
                                         const std::optional<ShortText>& fault) {
    if (fault) {
        const std::size_t full = text.size();
        text.resize(std::min(text.size(), fault->length));
        if (fault->zeroPadded) {
            text.resize(full, 0);
        }
    }
    return Reply{std::move(text), 0, 0};
}

std::optional<VirtualDevice::Reply> SimulatedMeter::HandleRequest(const Request& request) {
    const SetupPacket& setup = request.setup;
    if (!request.control || setup.requestType != kVendorDeviceToHost) {
        return Stall();
    }
    if (setup.request == kSample && setup.value == kSampleValue) {
        return AnswerSample();
    }

    std::lock_guard lock(m_mutex);
    switch (setup.request) {
    case kIdentity1:
        ++m_counters.identity1;
        return Cut(IdentityText1(m_config), m_faults.identity1);
    case kIdentity2:
        ++m_counters.identity2;
        return Cut(IdentityText2(m_config), m_faults.identity2);
    case kMeasurement:
        if (setup.value == kStartValue) {
            ++m_counters.starts;
            m_measuring = true;
        } else if (setup.value == kStopValue) {
            ++m_counters.stops;
            m_measuring = false;
        } else {
            return Stall();
        }
        return Reply{{0x01, static_cast<std::uint8_t>(setup.value)}, 0, 0};
    default:
        return Stall();
    }
}

std::optional<VirtualDevice::Reply> SimulatedMeter::AnswerSample() {
    VirtualUsbDriver* unplugFrom = nullptr;
    VirtualUsbDriver::DeviceId id = 0;
    {
        std::lock_guard lock(m_mutex);
        ++m_counters.sampleRequests;
        if (m_faults.removeAfterSamples &&
            m_counters.samplesAnswered >= *m_faults.removeAfterSamples && m_driver != nullptr) {
            unplugFrom = std::exchange(m_driver, nullptr);
            id = m_deviceId;
        } else if (m_faults.sampleNeverAnswers) {
            return std::nullopt;
        } else if (m_faults.sampleErrorStatus != 0) {
            Reply reply = Stall();
            reply.completionStatus = m_faults.sampleErrorStatus;
            return reply;
        } else {
            ScriptedReply sample;
            if (!m_script.empty()) {
                sample = m_script.front();
                m_script.pop_front();
            } else {
                const double normal = m_signal.HasNoise() ? NextStandardNormal() : 0.0;
                const double power = m_signal.PowerAt(m_sampleNumber, normal);
                const ProbeRanges::Measurement m = m_ranges.Measure(power);
                sample = {m_wavelength, m.reading, m.range};
            }
            ++m_sampleNumber;
            ++m_counters.samplesAnswered;
            std::vector<std::uint8_t> data{static_cast<std::uint8_t>(sample.wavelength >> 8),
                                           static_cast<std::uint8_t>(sample.wavelength),
                                           static_cast<std::uint8_t>(sample.reading >> 8),
                                           static_cast<std::uint8_t>(sample.reading), sample.range};
            if (m_faults.sampleReplyLength) {
                data.resize(std::min(data.size(), *m_faults.sampleReplyLength));
            }
            return Reply{std::move(data), 0, 0};
        }
    }
    // Pulled out while asked: the backend ends this request as failed
    // because the device is gone.
    unplugFrom->Unplug(id);
    return std::nullopt;
}

double SimulatedMeter::NextStandardNormal() {
    if (m_spareNormal) {
        return *std::exchange(m_spareNormal, std::nullopt);
    }
    // Box-Muller, by hand so that a seed gives the same noise everywhere.
    const double radius = std::sqrt(-2.0 * std::log(NextUniform(m_random)));
    const double angle = 2.0 * std::numbers::pi * NextUniform(m_random);
    m_spareNormal = radius * std::sin(angle);
    return radius * std::cos(angle);
}

} // namespace zelmora
