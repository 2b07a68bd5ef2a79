#include "meter/DeviceLink.h"

#include "usb/UsbDevice.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zelmora {

namespace {

using std::chrono::milliseconds;

// The meter's vendor requests on endpoint 0 (device to host, vendor,
// device: bmRequestType 0xC0).
constexpr std::uint8_t kIdentity1Request = 0xE2;
constexpr std::uint8_t kIdentity2Request = 0xE4;
constexpr std::uint8_t kMeasurementRequest = 0xF1;
constexpr std::uint8_t kSampleRequest = 0xF2;
constexpr std::uint16_t kStartValue = 0x00AA;
constexpr std::uint16_t kStopValue = 0x00BB;
constexpr std::uint16_t kSampleValue = 0x00BB;
constexpr std::int32_t kIdentity1Length = 12;
constexpr std::int32_t kIdentity2Length = 8;
constexpr std::int32_t kMeasurementLength = 2;
constexpr std::int32_t kSampleLength = 5;
constexpr std::uint32_t kTargetDevice = 0;
constexpr std::uint32_t kRequestTypeVendor = 2;

// The only meter type the program talks to.
constexpr std::string_view kMeterTypeCode = "4817";

// What the multimedia timer is asked for.
constexpr std::uint32_t kTimerResolutionMs = 4;

// Stop and destruction give the meter this long after the poll ends, and
// Start after it has started a meter.
constexpr milliseconds kSettleTime(100);
// How often a release repeats its abort while a tick has not yet
// submitted the request it is about to wait on.
constexpr milliseconds kAbortRetry(5);

// Range 4 of these "RM" models is the finer one.
bool HasFineRange4(const std::string& model) {
    return model == "RM41" || model == "RM42" || model == "RM43" || model == "RM47";
}

// One vendor request on the device's control endpoint: `length` is in the
// bytes asked for, out the bytes received (never more than asked).
bool Ask(CUsbDevice& device, std::uint8_t request, std::uint16_t value, std::uint8_t* buffer,
         std::int32_t& length) {
    CUsbControlEndpoint* endpoint = device.m_controlEndpoint.get();
    if (endpoint == nullptr) {
        length = 0;
        return false;
    }
    const std::int32_t asked = length;
    endpoint->m_target = kTargetDevice;
    endpoint->m_requestType = kRequestTypeVendor;
    endpoint->m_requestCode = request;
    endpoint->m_value = value;
    endpoint->m_index = 0;
    const bool read = endpoint->Read(buffer, length);
    length = std::clamp(length, 0, asked);
    return read;
}

void SendMeasurement(CUsbDevice& device, std::uint16_t value) {
    std::array<std::uint8_t, kMeasurementLength> reply{};
    std::int32_t length = kMeasurementLength;
    Ask(device, kMeasurementRequest, value, reply.data(), length);
}

// An identity text: the bytes received up to the first zero byte. The
// protocol is ASCII; anything else is shown as '?' so that the text stays
// valid UTF-8 whatever the device sends.
bool ReadText(CUsbDevice& device, std::uint8_t request, std::int32_t length, std::string& text) {
    std::array<std::uint8_t, kIdentity1Length> buffer{};
    std::int32_t received = std::min<std::int32_t>(length, buffer.size());
    const bool read = Ask(device, request, 0, buffer.data(), received);
    text.clear();
    for (std::int32_t i = 0; i < received && buffer[i] != 0; ++i) {
        const std::uint8_t c = buffer[i];
        text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return read;
}

// The units of the power texts; the number of decimals goes with each row.
enum class Unit { None, W, mW, uW };
enum class Scale { Same, Times1000, Over1000 };

struct TextRule {
    Unit unit = Unit::None;
    int decimals = 0;
    Scale scale = Scale::Same;
};

std::string FormatPower(const TextRule& rule, double power) {
    double shown = power;
    if (rule.scale == Scale::Times1000) {
        shown = power * 1000;
    } else if (rule.scale == Scale::Over1000) {
        shown = power / 1000;
    }
    switch (rule.unit) {
    case Unit::W:
        return Format("%.*lfW", rule.decimals, shown);
    case Unit::mW:
        return Format("%.*lfmW", rule.decimals, shown);
    case Unit::uW:
        return Format("%.*lfuW", rule.decimals, shown);
    case Unit::None:
        break;
    }
    return {};
}

// One row of a conversion table: power = reading / divisor, or reading *
// multiplier; over range at or above the limit (or only above it).
struct ConversionRow {
    double divisor = 1;
    double multiplier = 1;
    double limit = 0;
    bool limitInRange = false;
    TextRule text;
};

constexpr TextRule Rule(Unit unit, int decimals, Scale scale = Scale::Same) {
    return {unit, decimals, scale};
}

// Families "KV" and "RM", watts. Range 2 and range 4 depend on the family
// and the model and are picked in ConversionFor.
constexpr std::array<ConversionRow, 7> kWattRows{{
    {100000, 1, 0.03, false, Rule(Unit::mW, 2, Scale::Times1000)},
    {10000, 1, 0.3, false, Rule(Unit::mW, 1, Scale::Times1000)},
    {1000, 1, 5, false, Rule(Unit::W, 3)},
    {100, 1, 15, false, Rule(Unit::W, 2)},
    {10, 1, 50, false, Rule(Unit::W, 1)},
    {10, 1, 300, false, Rule(Unit::W, 1)},
    {1, 1, 700, true, Rule(Unit::W, 0)},
}};
constexpr ConversionRow kRmRange2{1000, 1, 3, false, Rule(Unit::W, 3)};
constexpr ConversionRow kFineRange4{100, 1, 30, false, Rule(Unit::W, 2)};

// Family "ZN", milliwatts.
constexpr std::array<ConversionRow, 12> kMilliwattRows{{
    {10, 1, 300, false, Rule(Unit::mW, 1)},
    {100, 1, 30, false, Rule(Unit::mW, 2)},
    {1000, 1, 3, false, Rule(Unit::mW, 3)},
    {10000, 1, 0.3, false, Rule(Unit::uW, 1, Scale::Times1000)},
    {100000, 1, 0.03, false, Rule(Unit::uW, 2, Scale::Times1000)},
    {1000000, 1, 0.003, false, Rule(Unit::uW, 3, Scale::Times1000)},
    {1, 10, 30000, false, Rule(Unit::W, 2, Scale::Over1000)},
    {1, 1, 3000, false, Rule(Unit::W, 3, Scale::Over1000)},
    {10, 1, 300, false, Rule(Unit::mW, 1)},
    {100, 1, 30, false, Rule(Unit::mW, 2)},
    {1000, 1, 3, false, Rule(Unit::mW, 3)},
    {10000, 1, 0.3, false, Rule(Unit::uW, 1, Scale::Times1000)},
}};

// The statistics texts use the same units as the live text, with fewer
// decimals on "KV"/"RM" range 0 and on every model's range 4.
constexpr std::array<TextRule, 7> kWattStatistics{{
    Rule(Unit::mW, 1, Scale::Times1000),
    Rule(Unit::mW, 1, Scale::Times1000),
    Rule(Unit::W, 3),
    Rule(Unit::W, 2),
    Rule(Unit::W, 1),
    Rule(Unit::W, 1),
    Rule(Unit::W, 0),
}};

const ConversionRow* ConversionFor(const std::string& family, const std::string& model,
                                   unsigned range) {
    if (family == "KV" || family == "RM") {
        if (range >= kWattRows.size()) {
            return nullptr;
        }
        if (range == 2 && family == "RM") {
            return &kRmRange2;
        }
        if (range == 4 && HasFineRange4(model)) {
            return &kFineRange4;
        }
        return &kWattRows[range];
    }
    if (family == "ZN" && range < kMilliwattRows.size()) {
        return &kMilliwattRows[range];
    }
    return nullptr;
}

PowerUnit UnitOfFamily(const std::string& family) {
    if (family == "KV" || family == "RM") {
        return PowerUnit::Watt;
    }
    return family == "ZN" ? PowerUnit::Milliwatt : PowerUnit::None;
}

const TextRule* StatisticsRuleFor(const std::string& family, unsigned range) {
    if (family == "KV" || family == "RM") {
        return range < kWattStatistics.size() ? &kWattStatistics[range] : nullptr;
    }
    if (family == "ZN" && range < kMilliwattRows.size()) {
        return &kMilliwattRows[range].text;
    }
    return nullptr;
}

// The probe model and family of identity text 1, which holds at least 12
// characters.
void ProbeOfIdentity(const std::string& text1, std::string& model, std::string& family) {
    model = text1.substr(8);
    // This probe reads out like an RM43 and is converted as one.
    if (model == "ZN62") {
        model = "RM43";
    }
    family = model.substr(0, 2);
    if (model[3] == 'A') {
        model.erase(3, 1);
    }
}

// A dark probe has a mean of 0 and no spread: 0 % rather than a quotient
// that is not a number.
double StdDevPercent(double stdDev, double mean) {
    return mean != 0 ? stdDev / mean * 100 : 0;
}

std::string LocalTimeOfDay(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto sinceEpoch =
        std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return FormatClock(local.tm_hour, local.tm_min, local.tm_sec,
                       static_cast<int>(sinceEpoch % 1000));
}

} // namespace

// --- Identification flag ---------------------------------------------------

class CDeviceLink::BusyScope {
public:
    // Waits for a tick in progress, so that an identification exchange and
    // a sample request never share the control endpoint.
    // Scopes nest (Start holds one around the exchanges of its scan); only
    // the window's thread opens them, so they end in reverse order.
    explicit BusyScope(CDeviceLink& link) : m_link(link) {
        std::unique_lock lock(m_link.m_deviceMutex);
        m_link.m_deviceChanged.wait(lock, [this] { return !m_link.m_bTickRunning; });
        m_wasBusy = m_link.m_bBusy;
        m_link.m_bBusy = true;
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope() {
        {
            std::lock_guard lock(m_link.m_deviceMutex);
            m_link.m_bBusy = m_wasBusy;
        }
        m_link.m_deviceChanged.notify_all();
    }

private:
    CDeviceLink& m_link;
    bool m_wasBusy = false;
};

void CDeviceLink::DeviceDeleter::operator()(CUsbDevice* device) const noexcept {
    try {
        delete device;
    } catch (...) {
        // A handle the system would not release: the object is gone all the
        // same, and the link has no one to tell.
    }
}

// --- Construction ------------------------------------------------------------

CDeviceLink::CDeviceLink(UsbDriver& driver) : CDeviceLink(driver, TestTuning{}) {}

CDeviceLink::CDeviceLink(UsbDriver& driver, TestTuning tuning)
    : m_driver(driver), m_nQueueCapacity(std::max<std::size_t>(tuning.queueCapacity, 1)),
      m_nPollSpeedUp(std::max(tuning.pollSpeedUp, 1)) {
    ResetStatistics();
}

CDeviceLink::~CDeviceLink() {
    try {
        ReleaseMeter(true, true);
    } catch (...) {
        // Nothing may escape a destructor; the device is released regardless.
    }
}

CDeviceLink::DevicePtr CDeviceLink::NewDevice() {
    return DevicePtr(new CUsbDevice(m_driver, kNoNotifyWindow, kMeterInterfaceGuid));
}

// --- Connection ----------------------------------------------------------------

bool CDeviceLink::ReadIdentity(CUsbDevice& device, std::string& text1, std::string& text2,
                               bool& read1) {
    read1 = ReadText(device, kIdentity1Request, kIdentity1Length, text1);
    const bool read2 = ReadText(device, kIdentity2Request, kIdentity2Length, text2);
    return read1 && read2;
}

std::string CDeviceLink::ReadMeterId(CUsbDevice* device, MeterListing* listing) {
    BusyScope busy(*this);
    std::string text1;
    std::string text2;
    bool read1 = false;
    if (!ReadIdentity(*device, text1, text2, read1) || !text1.starts_with(kMeterTypeCode)) {
        return {};
    }
    if (text1.size() < 8 || text2.size() < 8) {
        throw std::runtime_error("identity text too short for the meter id");
    }
    if (listing != nullptr) {
        *listing = MeterListing{};
        listing->path = device->m_devicePath;
        if (text1.size() >= 12) {
            ProbeOfIdentity(text1, listing->probeModel, listing->probeFamily);
        }
    }
    return {text2[4], text2[5], text2[6], text2[7], text1[5],
            text1[6], text2[2], text2[3], text1[7]};
}

bool CDeviceLink::IdentifyProbe() {
    CUsbDevice* device = nullptr;
    {
        std::lock_guard lock(m_deviceMutex);
        device = m_pDevice.get();
    }
    if (device == nullptr) {
        return false;
    }
    BusyScope busy(*this);
    std::string text1;
    std::string text2;
    bool read1 = false;
    const bool result = ReadIdentity(*device, text1, text2, read1);
    if (read1 && text1.starts_with(kMeterTypeCode)) {
        if (text1.size() < 12) {
            throw std::runtime_error("identity text too short for the probe model");
        }
        std::string model;
        std::string family;
        ProbeOfIdentity(text1, model, family);
        std::lock_guard lock(m_mutex);
        m_strProbeModel = std::move(model);
        m_strProbeFamily = std::move(family);
    }
    return result;
}

bool CDeviceLink::OpenMeter(int index) {
    DevicePtr device = NewDevice();
    CUsbDevice* meter = device.get();
    {
        std::lock_guard lock(m_deviceMutex);
        m_nDeviceIndex = index;
        m_pDevice = std::move(device);
    }
    if (!meter->Open(static_cast<std::uint8_t>(index))) {
        return false;
    }
    return IdentifyProbe();
}

void CDeviceLink::Rescan() {
    ReleaseMeter(false, false);
    DevicePtr scanning = NewDevice();
    m_nMeterCount = 0;
    for (int i = 0; i < scanning->CountDevices(); ++i) {
        try {
            if (!scanning->Open(static_cast<std::uint8_t>(i))) {
                continue;
            }
            MeterListing listing;
            std::string id = ReadMeterId(scanning.get(), &listing);
            if (id.empty()) {
                continue;
            }
            listing.id = id;
            m_meterListing[m_nMeterCount] = std::move(listing);
            m_meterIds[m_nMeterCount++] = std::move(id);
            if (m_nMeterCount == kMaxMeters) {
                break;
            }
        } catch (const std::exception&) {
            // This device is abandoned; the scan goes on.
        }
    }
}

int CDeviceLink::GetMeterCount() const {
    return m_nMeterCount;
}

void CDeviceLink::GetMeterList(std::string* ids) const {
    std::copy_n(m_meterIds.begin(), m_nMeterCount, ids);
}

std::vector<std::string> CDeviceLink::GetMeterList() const {
    return {m_meterIds.begin(), m_meterIds.begin() + m_nMeterCount};
}

std::vector<CDeviceLink::MeterListing> CDeviceLink::GetMeterListing() const {
    return {m_meterListing.begin(), m_meterListing.begin() + m_nMeterCount};
}

void CDeviceLink::Start(const std::string& meterId) {
    // A second Start would replace a device that a tick may be using.
    if (IsRunning()) {
        ReleaseMeter(false, true);
    }
    // A device that is not a meter has the empty id; it never matches.
    if (meterId.empty()) {
        return;
    }
    DevicePtr scanning = NewDevice();
    bool started = false;
    // No tick may touch the identifying object while it is opened and
    // identified, nor the meter before its measurement is started.
    std::optional<BusyScope> busy(std::in_place, *this);
    for (int i = 0; !started && i < scanning->CountDevices(); ++i) {
        try {
            if (!scanning->Open(static_cast<std::uint8_t>(i)) ||
                ReadMeterId(scanning.get()) != meterId) {
                continue;
            }
            // The probe is identified through a second object on the same
            // device, which then stops the measurement and is let go; the
            // scanning object starts it and becomes the meter.
            OpenMeter(i);
            DevicePtr second;
            {
                std::lock_guard lock(m_deviceMutex);
                second = std::move(m_pDevice);
            }
            if (second) {
                SendMeasurement(*second, kStopValue);
                second->Close();
            }
            SendMeasurement(*scanning, kStartValue);
            std::lock_guard lock(m_deviceMutex);
            m_pDevice = std::move(scanning);
            started = true;
        } catch (const std::exception&) {
            // This device number is abandoned: the identifying object goes.
            DevicePtr abandoned;
            std::lock_guard lock(m_deviceMutex);
            abandoned = std::move(m_pDevice);
        }
    }
    busy.reset();
    if (started) {
        SetMeterOpen(true);
        int period = 0;
        {
            std::lock_guard lock(m_mutex);
            period = m_nPollPeriod;
        }
        SetPollPeriod(period);
    }
    std::this_thread::sleep_for(kSettleTime / m_nPollSpeedUp);
}

void CDeviceLink::Stop() {
    ReleaseMeter(false, true);
}

void CDeviceLink::StopMeter() {
    ReleaseMeter(true, true);
}

bool CDeviceLink::IsRunning() const {
    // The open state that changes together with the notifier's call, not
    // the device pointer, which a failed read lets go of a moment before:
    // a reader that sleeps until notified must never find the meter closed
    // before it was told.
    std::lock_guard lock(m_mutex);
    return m_bMeterOpen;
}

std::string CDeviceLink::GetProbeFamily() const {
    std::lock_guard lock(m_mutex);
    return m_strProbeFamily;
}

std::string CDeviceLink::GetProbeModel() const {
    std::lock_guard lock(m_mutex);
    return m_strProbeModel;
}

void CDeviceLink::ReleaseMeter(bool sendStopRequest, bool settle) {
    std::uint32_t timerId = 0;
    {
        std::unique_lock lock(m_deviceMutex);
        // Keeps new ticks out (and wakes one waiting for the busy flag).
        m_bHalting = true;
        m_deviceChanged.notify_all();
        // A tick may be waiting on a meter that does not answer: abort its
        // request rather than wait for the transfer's time-out. The abort is
        // repeated because the tick may not have submitted it yet.
        while (m_bTickRunning) {
            if (m_pDevice && m_pDevice->m_controlEndpoint) {
                m_pDevice->m_controlEndpoint->Abort();
            }
            m_deviceChanged.wait_for(lock, kAbortRetry);
        }
        timerId = std::exchange(m_nTimerId, 0);
        m_nRearmPeriodMs.reset();
    }
    // No lock held: a callback still starting takes m_deviceMutex, sees the
    // halt and returns.
    if (timerId != 0) {
        m_timer.KillEvent(timerId);
    }
    DevicePtr device;
    {
        std::lock_guard lock(m_deviceMutex);
        if (!m_pDevice) {
            m_bHalting = false;
            return;
        }
    }
    if (settle) {
        std::this_thread::sleep_for(kSettleTime / m_nPollSpeedUp);
    }
    {
        std::lock_guard lock(m_deviceMutex);
        device = std::move(m_pDevice);
        m_bHalting = false;
    }
    SetMeterOpen(false);
    if (sendStopRequest) {
        SendMeasurement(*device, kStopValue);
    }
}

// --- Acquisition ------------------------------------------------------------

void CDeviceLink::SetPollPeriod(int periodMs) {
    if (periodMs < kMinPollPeriodMs) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_nPollPeriod = periodMs;
    }
    std::uint32_t previous = 0;
    {
        std::lock_guard lock(m_deviceMutex);
        if (!m_pDevice) {
            return;
        }
        if (m_bTickRunning) {
            // The tick may be waiting for a meter that does not answer;
            // it re-arms the timer itself when it ends.
            m_nRearmPeriodMs = periodMs;
            return;
        }
        // No tick may start now, so the kill below waits for no transfer.
        m_bRearming = true;
        previous = m_nTimerId;
    }
    // Waits for a callback that is just starting, with no lock held (it
    // takes m_deviceMutex, sees the re-arming and returns).
    m_timer.KillEvent(previous);
    std::lock_guard lock(m_deviceMutex);
    m_bRearming = false;
    m_nTimerId = ArmTimerLocked(periodMs);
}

std::uint32_t CDeviceLink::ArmTimerLocked(int periodMs) {
    const int timerPeriodMs = std::max(periodMs / m_nPollSpeedUp, 1);
    return m_timer.SetEvent(static_cast<std::uint32_t>(timerPeriodMs), kTimerResolutionMs,
                            &CDeviceLink::PollTimerProc, reinterpret_cast<std::uintptr_t>(this));
}

void CDeviceLink::PollTimerProc(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                std::uintptr_t) {
    auto* link = reinterpret_cast<CDeviceLink*>(user);
    {
        std::lock_guard lock(link->m_mutex);
        if (link->CollectionLimitReachedLocked()) {
            return;
        }
    }
    link->AcquireSample();
}

bool CDeviceLink::CollectionLimitReachedLocked() const {
    if (m_nCollectionMode == kFixedMode) {
        return m_nCount > m_nSampleSize;
    }
    if (m_nCollectionMode == kContinuousMode) {
        return m_nSampleSize != 0 && m_nCount > m_nSampleSize;
    }
    return false;
}

void CDeviceLink::AcquireSample() {
    CUsbDevice* device = nullptr;
    {
        std::unique_lock lock(m_deviceMutex);
        // An identification exchange holds the control endpoint.
        m_deviceChanged.wait(lock, [this] { return !m_bBusy || m_bHalting; });
        if (m_bHalting || m_bRearming || m_bTickRunning || !m_pDevice || !m_pDevice->IsOpen()) {
            return;
        }
        m_bTickRunning = true;
        device = m_pDevice.get();
    }

    std::array<std::uint8_t, kSampleLength> reply{};
    std::int32_t length = kSampleLength;
    if (!Ask(*device, kSampleRequest, kSampleValue, reply.data(), length)) {
        CloseAfterFailedRead();
        return;
    }
    // A short reply has no reading to convert: the sample is dropped and
    // polling goes on.
    if (length == kSampleLength) {
        std::lock_guard lock(m_mutex);
        // One reading of the clocks for every stamp of the sample, so that
        // its time of day and its UTC time agree.
        const auto now = std::chrono::system_clock::now();
        m_utcTime = now;
        m_monotonicTime = std::chrono::steady_clock::now();
        m_nWavelength = reply[0] * 256 + reply[1];
        const unsigned reading = reply[2] * 256u + reply[3];
        const unsigned range = reply[4];
        m_nRange = static_cast<int>(range);
        m_nSampleCount = m_nCount;
        m_status = ConvertReadingLocked(reading, range);
        if (m_status == SampleStatus::OverRange) {
            // The collection is left as it was: no statistics, no count.
            m_strPower = "Over Range";
        } else {
            UpdateStatistics();
            FormatStatisticsLocked(range);
            StampSampleLocked(now);
        }
        PublishLocked(true);
    }
    EndTick();
}

void CDeviceLink::CloseAfterFailedRead() {
    DevicePtr failed;
    std::uint32_t timerId = 0;
    {
        std::lock_guard lock(m_deviceMutex);
        // During a release the read was aborted on purpose, and the release
        // closes the device itself.
        if (!m_bHalting) {
            failed = std::move(m_pDevice);
            timerId = std::exchange(m_nTimerId, 0);
        }
    }
    // From the timer's own callback this returns at once.
    if (timerId != 0) {
        m_timer.KillEvent(timerId);
    }
    if (failed) {
        SetMeterOpen(false);
    }
    failed.reset();
    EndTick();
}

void CDeviceLink::EndTick() {
    std::uint32_t replaced = 0;
    {
        std::lock_guard lock(m_deviceMutex);
        m_bTickRunning = false;
        const std::optional<int> period = std::exchange(m_nRearmPeriodMs, std::nullopt);
        // A release under way kills the timer itself.
        if (period && m_pDevice && !m_bHalting) {
            replaced = std::exchange(m_nTimerId, ArmTimerLocked(*period));
        }
    }
    m_deviceChanged.notify_all();
    // The tick's own timer: from inside its callback this returns at once.
    if (replaced != 0) {
        m_timer.KillEvent(replaced);
    }
}

SampleStatus CDeviceLink::ConvertReadingLocked(unsigned reading, unsigned range) {
    const ConversionRow* row = ConversionFor(m_strProbeFamily, m_strProbeModel, range);
    if (row == nullptr) {
        // No conversion: the previous power number and text stand.
        return SampleStatus::NoConversion;
    }
    m_dPower = row->multiplier != 1 ? reading * row->multiplier : reading / row->divisor;
    const bool overRange = row->limitInRange ? m_dPower > row->limit : m_dPower >= row->limit;
    if (overRange) {
        return SampleStatus::OverRange;
    }
    m_strPower = FormatPower(row->text, m_dPower);
    return SampleStatus::Ok;
}

void CDeviceLink::UpdateStatistics() {
    const double x = m_dPower;
    const int n = m_nCount + 1;
    if (x < m_dMin) {
        m_dMin = x;
    }
    if (x > m_dMax) {
        m_dMax = x;
    }
    m_dSum += x;
    m_dMean = m_dSum / n;
    m_dSumSquares += x * x;
    double variance = (m_dSumSquares - 2 * m_dMean * m_dSum + n * m_dMean * m_dMean) / n;
    if (variance < 0) {
        variance = 0;
    }
    m_dStdDev = std::sqrt(variance);

    // The averaging window: drop the oldest values until there is room for
    // the new one (all of them when the length was lowered), then add it.
    // A length below 1 is treated as 1 rather than looping on an empty
    // window.
    std::size_t s = m_averageWindow.size();
    while (s > 0 && static_cast<long long>(s) >= m_nAverageCount) {
        const double oldest = m_averageWindow.front();
        m_dAverage = s > 1 ? (s * m_dAverage - oldest) / static_cast<double>(s - 1) : 0;
        m_averageWindow.pop_front();
        s = m_averageWindow.size();
    }
    m_dAverage = (s * m_dAverage + x) / static_cast<double>(s + 1);
    m_averageWindow.push_back(x);
    m_dPower = m_dAverage;
}

void CDeviceLink::FormatStatisticsLocked(unsigned range) {
    if (const TextRule* rule = StatisticsRuleFor(m_strProbeFamily, range)) {
        m_strMin = FormatPower(*rule, m_dMin);
        m_strMax = FormatPower(*rule, m_dMax);
        m_strStdDev = FormatPower(*rule, m_dStdDev);
        m_strMean = FormatPower(*rule, m_dMean);
    }
    m_strStdDevPercent = Format("%.3lf%%", StdDevPercent(m_dStdDev, m_dMean));
}

void CDeviceLink::StampSampleLocked(std::chrono::system_clock::time_point now) {
    m_strCount = Format("%d", m_nCount);
    m_strTimeStamp = LocalTimeOfDay(now);
    m_nCount += 1;
    m_nElapsedMs += static_cast<std::uint64_t>(m_nPollPeriod);
    m_strDuration = FormatElapsed(m_nElapsedMs);
}

void CDeviceLink::PublishLocked(bool announce) {
    m_published.power = m_dPower;
    m_published.powerText = m_strPower;
    m_published.wavelength = m_nWavelength;
    m_published.minText = m_strMin;
    m_published.maxText = m_strMax;
    m_published.meanText = m_strMean;
    m_published.stdDevText = m_strStdDev;
    m_published.stdDevPercentText = m_strStdDevPercent;
    m_published.countText = m_strCount;
    m_published.timeStampText = m_strTimeStamp;
    m_published.durationText = m_strDuration;
    m_published.count = m_nSampleCount;
    m_published.elapsedMs = m_nElapsedMs;
    m_published.status = m_status;
    m_published.unit = UnitOfFamily(m_strProbeFamily);
    m_published.range = m_nRange;
    m_published.utcTime = m_utcTime;
    m_published.monotonicTime = m_monotonicTime;
    if (!announce) {
        return;
    }
    // A full queue drops its oldest sample: the window keeps showing the
    // present and the graph runs on to it, and the count texts of the
    // samples that remain show where the gap is.
    if (m_pending.size() >= m_nQueueCapacity) {
        m_pending.pop_front();
        ++m_nLostSamples;
    }
    m_pending.push_back(m_published);
    // Last: the flag announces everything above.
    m_bNewSample = true;
    m_sampleOrClosure.notify_all();
    if (m_sampleNotifier) {
        m_sampleNotifier();
    }
}

void CDeviceLink::SetMeterOpen(bool open) {
    {
        std::lock_guard lock(m_mutex);
        m_bMeterOpen = open;
        if (!open && m_sampleNotifier) {
            m_sampleNotifier();
        }
    }
    m_sampleOrClosure.notify_all();
}

void CDeviceLink::SetSampleNotifier(std::function<void()> notify) {
    std::lock_guard lock(m_mutex);
    m_sampleNotifier = std::move(notify);
}

bool CDeviceLink::WaitForSample(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_sampleOrClosure.wait_for(lock, timeout, [this] { return m_bNewSample || !m_bMeterOpen; });
    return m_bNewSample;
}

void CDeviceLink::DropPendingLocked() {
    m_pending.clear();
    m_bNewSample = false;
}

bool CDeviceLink::HasNewSample() const {
    std::lock_guard lock(m_mutex);
    return m_bNewSample;
}

std::vector<MeterSample> CDeviceLink::TakeSamples(std::uint64_t* lostSamples) {
    // The queue is swapped out under the lock and copied after it, so that
    // a long backlog does not hold up the tick. The window asks every 10 ms
    // and mostly finds nothing: then no queue is made (an empty deque
    // allocates) and none is freed.
    std::optional<std::deque<MeterSample>> taken;
    {
        std::lock_guard lock(m_mutex);
        m_bNewSample = false;
        if (lostSamples != nullptr) {
            *lostSamples = m_nLostSamples;
        }
        if (m_pending.empty()) {
            return {};
        }
        taken.emplace().swap(m_pending);
    }
    return {std::make_move_iterator(taken->begin()), std::make_move_iterator(taken->end())};
}

double CDeviceLink::TakePower() {
    std::lock_guard lock(m_mutex);
    DropPendingLocked();
    return m_published.power;
}

std::string CDeviceLink::TakePowerText() {
    std::lock_guard lock(m_mutex);
    DropPendingLocked();
    return m_published.powerText;
}

MeterSample CDeviceLink::TakeSample() {
    std::lock_guard lock(m_mutex);
    DropPendingLocked();
    return m_published;
}

std::uint64_t CDeviceLink::GetLostSampleCount() const {
    std::lock_guard lock(m_mutex);
    return m_nLostSamples;
}

int CDeviceLink::GetWavelength() const {
    std::lock_guard lock(m_mutex);
    return m_published.wavelength;
}

std::string CDeviceLink::GetMinText() const {
    std::lock_guard lock(m_mutex);
    return m_published.minText;
}

std::string CDeviceLink::GetMaxText() const {
    std::lock_guard lock(m_mutex);
    return m_published.maxText;
}

std::string CDeviceLink::GetMeanText() const {
    std::lock_guard lock(m_mutex);
    return m_published.meanText;
}

std::string CDeviceLink::GetStdDevText() const {
    std::lock_guard lock(m_mutex);
    return m_published.stdDevText;
}

std::string CDeviceLink::GetStdDevPercentText() const {
    std::lock_guard lock(m_mutex);
    return m_published.stdDevPercentText;
}

std::string CDeviceLink::GetCountText() const {
    std::lock_guard lock(m_mutex);
    return m_published.countText;
}

std::string CDeviceLink::GetTimeStampText() const {
    std::lock_guard lock(m_mutex);
    return m_published.timeStampText;
}

std::string CDeviceLink::GetDurationText() const {
    std::lock_guard lock(m_mutex);
    return m_published.durationText;
}

// --- Statistics and collection ---------------------------------------------

CDeviceLink::Statistics CDeviceLink::GetStatistics() const {
    std::lock_guard lock(m_mutex);
    Statistics statistics;
    statistics.count = m_nCount;
    statistics.elapsedMs = m_nElapsedMs;
    statistics.unit = UnitOfFamily(m_strProbeFamily);
    if (m_nCount == 0) {
        const double none = std::numeric_limits<double>::quiet_NaN();
        statistics.mean = statistics.stdDev = statistics.stdDevPercent = none;
        statistics.min = statistics.max = none;
        return statistics;
    }
    statistics.mean = m_dMean;
    statistics.stdDev = m_dStdDev;
    statistics.stdDevPercent = StdDevPercent(m_dStdDev, m_dMean);
    statistics.min = m_dMin;
    statistics.max = m_dMax;
    return statistics;
}

void CDeviceLink::ResetStatistics() {
    std::lock_guard lock(m_mutex);
    ResetStatisticsLocked();
}

void CDeviceLink::ResetStatisticsLocked() {
    m_nWavelength = 0;
    m_dPower = 0;
    m_strPower.clear();
    m_dMin = 1e101;
    m_strMin.clear();
    m_dMax = -1e101;
    m_strMax.clear();
    m_nCount = 0;
    m_dMean = 0;
    m_dSum = 0;
    m_dSumSquares = 0;
    m_nElapsedMs = 0;
    m_dAverage = 0;
    m_averageWindow.clear();
    m_nSampleCount = 0;
    m_status = SampleStatus::Ok;
    m_nRange = -1;
    // Samples of the old collection that the window has not taken yet are
    // dropped with it; they are not lost.
    DropPendingLocked();
    PublishLocked(false);
}

bool CDeviceLink::IsCollectionComplete() const {
    std::lock_guard lock(m_mutex);
    return m_nCount > 0 && CollectionLimitReachedLocked() && m_pending.empty();
}

void CDeviceLink::SetCollectionMode(int mode) {
    std::lock_guard lock(m_mutex);
    if (mode == kFixedMode || mode == kContinuousMode) {
        m_nCollectionMode = mode;
    }
    ResetStatisticsLocked();
}

void CDeviceLink::SetSampleSize(int n) {
    std::lock_guard lock(m_mutex);
    m_nSampleSize = n;
}

void CDeviceLink::SetAverageCount(int n) {
    std::lock_guard lock(m_mutex);
    m_nAverageCount = n;
}

} // namespace zelmora
