#include "meter/MeterPoller.h"

#include "usb/UsbDevice.h"

#include <algorithm>
#include <array>
#include <chrono>
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
// The shortest poll period.
constexpr int kMinPollPeriodMs = 100;
// The longest period whose first poll waits to be in step with the others.
constexpr std::chrono::seconds kLongestStepWait(1);

// Destruction gives the meter this long after the poll ends, and Start
// after it has started a meter.
constexpr milliseconds kSettleTime(100);
// How often a release repeats its abort while a tick has not yet
// submitted the request it is about to wait on.
constexpr milliseconds kAbortRetry(5);

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

// Both identity texts, each up to its first zero byte; false when either
// read failed. read1 tells whether the first one succeeded.
bool ReadIdentity(CUsbDevice& device, std::string& text1, std::string& text2, bool& read1) {
    read1 = ReadText(device, kIdentity1Request, kIdentity1Length, text1);
    const bool read2 = ReadText(device, kIdentity2Request, kIdentity2Length, text2);
    return read1 && read2;
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

// The meter id of a device, empty when it is not a meter. A failure raised
// while identifying abandons the device: the callers catch it.
std::string ReadMeterId(CUsbDevice& device, CMeterPoller::Listing* listing) {
    std::string text1;
    std::string text2;
    bool read1 = false;
    if (!ReadIdentity(device, text1, text2, read1) || !text1.starts_with(kMeterTypeCode)) {
        return {};
    }
    if (text1.size() < 8 || text2.size() < 8) {
        throw std::runtime_error("identity text too short for the meter id");
    }
    if (listing != nullptr) {
        *listing = CMeterPoller::Listing{};
        listing->path = device.m_devicePath;
        if (text1.size() >= 12) {
            ProbeOfIdentity(text1, listing->probeModel, listing->probeFamily);
        }
    }
    return {text2[4], text2[5], text2[6], text2[7], text1[5],
            text1[6], text2[2], text2[3], text1[7]};
}

} // namespace

// --- Identification flag ---------------------------------------------------

class CMeterPoller::BusyScope {
public:
    // Waits for a tick in progress, so that an identification exchange and
    // a sample request never share the control endpoint.
    explicit BusyScope(CMeterPoller& poller) : m_poller(poller) {
        std::unique_lock lock(m_poller.m_deviceMutex);
        m_poller.m_deviceChanged.wait(lock, [this] { return !m_poller.m_bTickRunning; });
        m_wasBusy = m_poller.m_bBusy;
        m_poller.m_bBusy = true;
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope() {
        {
            std::lock_guard lock(m_poller.m_deviceMutex);
            m_poller.m_bBusy = m_wasBusy;
        }
        m_poller.m_deviceChanged.notify_all();
    }

private:
    CMeterPoller& m_poller;
    bool m_wasBusy = false;
};

void CMeterPoller::DeviceDeleter::operator()(CUsbDevice* device) const noexcept {
    try {
        delete device;
    } catch (...) {
        // A handle the system would not release: the object is gone all the
        // same, and the poller has no one to tell.
    }
}

// --- Construction ------------------------------------------------------------

CMeterPoller::CMeterPoller(UsbDriver& driver, int pollSpeedUp)
    : m_driver(driver), m_nPollSpeedUp(std::max(pollSpeedUp, 1)) {}

CMeterPoller::~CMeterPoller() {
    bool stop = true;
    {
        std::lock_guard lock(m_listenerMutex);
        stop = m_bStopOnRelease;
    }
    try {
        ReleaseMeter(stop);
    } catch (...) {
        // Nothing may escape a destructor; the device is released regardless.
    }
}

CMeterPoller::DevicePtr CMeterPoller::NewDevice() {
    return DevicePtr(new CUsbDevice(m_driver, kNoNotifyWindow, kMeterInterfaceGuid));
}

namespace {

// The driver's path of device number `index`; empty when there is none.
std::string PathOfDevice(UsbDriver& driver, int index) {
    const auto paths = driver.ListDevicePaths(kMeterInterfaceGuid);
    return paths && index >= 0 && static_cast<std::size_t>(index) < paths->size()
               ? (*paths)[static_cast<std::size_t>(index)]
               : std::string();
}

} // namespace

std::vector<CMeterPoller::Listing> CMeterPoller::Scan(UsbDriver& driver, int limit,
                                                      const std::vector<MeterIdentity>& known) {
    std::vector<Listing> found;
    DevicePtr scanning(new CUsbDevice(driver, kNoNotifyWindow, kMeterInterfaceGuid));
    for (int i = 0; i < scanning->CountDevices() && static_cast<int>(found.size()) < limit; ++i) {
        if (!known.empty()) {
            const std::string path = PathOfDevice(driver, i);
            const auto owned = std::find_if(known.begin(), known.end(), [&path](const auto& meter) {
                return !path.empty() && meter.path == path;
            });
            if (owned != known.end()) {
                found.push_back(*owned);
                continue;
            }
        }
        try {
            if (!scanning->Open(static_cast<std::uint8_t>(i))) {
                continue;
            }
            Listing listing;
            std::string id = ReadMeterId(*scanning, &listing);
            if (id.empty()) {
                continue;
            }
            listing.id = std::move(id);
            found.push_back(std::move(listing));
        } catch (const std::exception&) {
            // This device is abandoned; the scan goes on.
        }
    }
    return found;
}

// --- Connection ----------------------------------------------------------------

bool CMeterPoller::IdentifyProbe() {
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
        std::lock_guard lock(m_probeMutex);
        m_strProbeModel = std::move(model);
        m_strProbeFamily = std::move(family);
    }
    return result;
}

bool CMeterPoller::OpenMeter(int index) {
    DevicePtr device = NewDevice();
    CUsbDevice* meter = device.get();
    {
        std::lock_guard lock(m_deviceMutex);
        m_pDevice = std::move(device);
    }
    if (!meter->Open(static_cast<std::uint8_t>(index))) {
        return false;
    }
    return IdentifyProbe();
}

bool CMeterPoller::Start(const std::string& meterId, int periodMs,
                         const std::vector<std::string>& skipPaths) {
    // A device that is not a meter has the empty id; it never matches.
    if (meterId.empty()) {
        return false;
    }
    {
        std::lock_guard lock(m_probeMutex);
        m_nPollPeriod = std::max(periodMs, kMinPollPeriodMs);
    }
    DevicePtr scanning = NewDevice();
    bool started = false;
    // No tick may touch the identifying object while it is opened and
    // identified, nor the meter before its measurement is started.
    std::optional<BusyScope> busy(std::in_place, *this);
    for (int i = 0; !started && i < scanning->CountDevices(); ++i) {
        if (!skipPaths.empty() && std::find(skipPaths.begin(), skipPaths.end(),
                                            PathOfDevice(m_driver, i)) != skipPaths.end()) {
            continue;
        }
        try {
            if (!scanning->Open(static_cast<std::uint8_t>(i)) ||
                ReadMeterId(*scanning, nullptr) != meterId) {
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
        // In step with the other meters: a process that serves several
        // sends the samples of one period together.
        Rearm(GetPollPeriod(), true);
    }
    std::this_thread::sleep_for(kSettleTime / m_nPollSpeedUp);
    return started;
}

bool CMeterPoller::IsOpen() const {
    std::lock_guard lock(m_deviceMutex);
    return m_pDevice != nullptr;
}

std::string CMeterPoller::GetDevicePath() const {
    std::lock_guard lock(m_deviceMutex);
    return m_pDevice ? m_pDevice->m_devicePath : std::string();
}

std::string CMeterPoller::GetProbeFamily() const {
    std::lock_guard lock(m_probeMutex);
    return m_strProbeFamily;
}

std::string CMeterPoller::GetProbeModel() const {
    std::lock_guard lock(m_probeMutex);
    return m_strProbeModel;
}

int CMeterPoller::GetPollPeriod() const {
    std::lock_guard lock(m_probeMutex);
    return m_nPollPeriod;
}

void CMeterPoller::Join(ReadingListener& listener) {
    std::lock_guard lock(m_listenerMutex);
    if (std::find(m_listeners.begin(), m_listeners.end(), &listener) == m_listeners.end()) {
        m_listeners.push_back(&listener);
    }
}

void CMeterPoller::Leave(ReadingListener& listener, bool stopMeter) {
    std::lock_guard lock(m_listenerMutex);
    std::erase(m_listeners, &listener);
    // The last one to leave decides how the meter is let go.
    if (m_listeners.empty()) {
        m_bStopOnRelease = stopMeter;
    }
}

void CMeterPoller::PollNow() {
    PollTimerProc(0, 0, reinterpret_cast<std::uintptr_t>(this), 0, 0);
}

void CMeterPoller::ReleaseMeter(bool sendStopRequest) {
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
    {
        std::lock_guard lock(m_deviceMutex);
        if (!m_pDevice) {
            return;
        }
    }
    std::this_thread::sleep_for(kSettleTime / m_nPollSpeedUp);
    DevicePtr device;
    {
        std::lock_guard lock(m_deviceMutex);
        device = std::move(m_pDevice);
    }
    if (sendStopRequest) {
        SendMeasurement(*device, kStopValue);
    }
}

// --- Acquisition ------------------------------------------------------------

bool CMeterPoller::SetPollPeriod(int periodMs, std::string&) {
    return Rearm(periodMs, false);
}

bool CMeterPoller::Rearm(int periodMs, bool inStep) {
    if (periodMs < kMinPollPeriodMs) {
        return false;
    }
    // A longer period is not waited for: its samples cost little to send,
    // and a start must not wait that long.
    const std::chrono::nanoseconds period =
        std::chrono::milliseconds(std::max(periodMs / m_nPollSpeedUp, 1));
    if (inStep && period <= kLongestStepWait) {
        const auto now = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(now + (period - now.time_since_epoch() % period));
    }
    {
        std::lock_guard lock(m_probeMutex);
        m_nPollPeriod = periodMs;
    }
    std::uint32_t previous = 0;
    {
        std::lock_guard lock(m_deviceMutex);
        if (!m_pDevice || m_bHalting) {
            return true;
        }
        if (m_bTickRunning) {
            // The tick may be waiting for a meter that does not answer;
            // it re-arms the timer itself when it ends.
            m_nRearmPeriodMs = periodMs;
            return true;
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
    return true;
}

std::uint32_t CMeterPoller::ArmTimerLocked(int periodMs) {
    const int timerPeriodMs = std::max(periodMs / m_nPollSpeedUp, 1);
    return m_timer.SetEvent(static_cast<std::uint32_t>(timerPeriodMs), kTimerResolutionMs,
                            &CMeterPoller::PollTimerProc, reinterpret_cast<std::uintptr_t>(this));
}

void CMeterPoller::PollTimerProc(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                 std::uintptr_t) {
    auto* poller = reinterpret_cast<CMeterPoller*>(user);
    if (poller->AnyListenerWants()) {
        poller->AcquireSample();
    }
}

bool CMeterPoller::AnyListenerWants() {
    std::lock_guard lock(m_listenerMutex);
    bool wanted = false;
    // Every listener is asked: asking may be how one learns that time
    // passed.
    for (ReadingListener* listener : m_listeners) {
        wanted = listener->WantsReading() || wanted;
    }
    return wanted;
}

void CMeterPoller::AcquireSample() {
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
    // A short reply has no reading to convert: it is dropped and polling
    // goes on.
    if (length == kSampleLength) {
        MeterReading reading;
        // One reading of the clocks for every stamp of the sample.
        reading.utcTime = std::chrono::system_clock::now();
        reading.monotonicTime = std::chrono::steady_clock::now();
        reading.wavelength = reply[0] * 256 + reply[1];
        reading.reading = reply[2] * 256u + reply[3];
        reading.range = reply[4];
        std::lock_guard lock(m_listenerMutex);
        reading.sequence = m_nSequence++;
        for (ReadingListener* listener : m_listeners) {
            listener->OnReading(reading);
        }
    }
    EndTick();
}

void CMeterPoller::CloseAfterFailedRead() {
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
    const bool closed = failed != nullptr;
    failed.reset();
    EndTick();
    if (closed) {
        std::lock_guard lock(m_listenerMutex);
        for (ReadingListener* listener : m_listeners) {
            listener->OnClosed();
        }
    }
}

void CMeterPoller::EndTick() {
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

// --- The sources of a process that shares nothing ----------------------------

LocalMeterSources::LocalMeterSources(UsbDriver& driver, int pollSpeedUp)
    : m_driver(driver), m_nPollSpeedUp(pollSpeedUp) {}

std::shared_ptr<MeterSource> LocalMeterSources::Open(const std::string& meterId, int periodMs,
                                                     std::string&) {
    return OpenPoller(meterId, periodMs);
}

std::shared_ptr<CMeterPoller>
LocalMeterSources::OpenPoller(const std::string& meterId, int periodMs,
                              const std::vector<std::string>& skipPaths) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_pollers, [](const auto& entry) { return entry.second.expired(); });
    for (const auto& [id, weak] : m_pollers) {
        if (id != meterId) {
            continue;
        }
        if (std::shared_ptr<CMeterPoller> running = weak.lock(); running && running->IsOpen()) {
            return running;
        }
    }
    auto poller = std::make_shared<CMeterPoller>(m_driver, m_nPollSpeedUp);
    if (!poller->Start(meterId, periodMs, skipPaths)) {
        return nullptr;
    }
    m_pollers.emplace_back(meterId, poller);
    return poller;
}

} // namespace zelmora
