#include "meter/DeviceLink.h"

#include "meter/MeterPoller.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zelmora {

namespace {

using std::chrono::milliseconds;

// Range 4 of these "RM" models is the finer one.
bool HasFineRange4(const std::string& model) {
    return model == "RM41" || model == "RM42" || model == "RM43" || model == "RM47";
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

// --- Conversion ----------------------------------------------------------------

ConvertedReading ConvertReading(const std::string& family, const std::string& model,
                                unsigned reading, unsigned range) {
    ConvertedReading converted;
    const ConversionRow* row = ConversionFor(family, model, range);
    if (row == nullptr) {
        return converted;
    }
    converted.converted = true;
    converted.power = row->multiplier != 1 ? reading * row->multiplier : reading / row->divisor;
    converted.overRange =
        row->limitInRange ? converted.power > row->limit : converted.power >= row->limit;
    return converted;
}

// --- Construction ------------------------------------------------------------

CDeviceLink::CDeviceLink(UsbDriver& driver) : CDeviceLink(driver, TestTuning{}) {}

CDeviceLink::CDeviceLink(UsbDriver& driver, TestTuning tuning)
    : CDeviceLink(driver, tuning, std::make_shared<LocalMeterSources>(driver, tuning.pollSpeedUp)) {
}

CDeviceLink::CDeviceLink(UsbDriver& driver, TestTuning tuning,
                         std::shared_ptr<MeterSources> sources)
    : m_driver(driver),
      m_sources(sources ? std::move(sources)
                        : std::make_shared<LocalMeterSources>(driver, tuning.pollSpeedUp)),
      m_nQueueCapacity(std::max<std::size_t>(tuning.queueCapacity, 1)) {
    ResetStatistics();
}

CDeviceLink::~CDeviceLink() {
    try {
        ReleaseSource(true);
    } catch (...) {
        // Nothing may escape a destructor; the meter is let go regardless.
    }
}

// --- Connection ----------------------------------------------------------------

void CDeviceLink::Rescan() {
    ReleaseSource(false);
    m_nMeterCount = 0;
    for (CMeterPoller::Listing& found :
         CMeterPoller::Scan(m_driver, kMaxMeters, m_sources->MetersOwnedElsewhere())) {
        m_meterListing[m_nMeterCount] = {found.id, std::move(found.path),
                                         std::move(found.probeModel), std::move(found.probeFamily)};
        m_meterIds[m_nMeterCount++] = std::move(found.id);
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

void CDeviceLink::Start(const std::string& meterId, bool keepRunningPeriod) {
    // A second Start lets go of the meter it had.
    ReleaseSource(false);
    int period = 0;
    {
        std::lock_guard lock(m_mutex);
        m_strStartProblem.clear();
        period = m_nPollPeriod;
    }
    // A device that is not a meter has the empty id; it never matches.
    if (meterId.empty()) {
        return;
    }
    std::string problem;
    std::shared_ptr<MeterSource> source = m_sources->Open(meterId, period, problem);
    if (!source) {
        std::lock_guard lock(m_mutex);
        m_strStartProblem = std::move(problem);
        return;
    }
    if (source->GetPollPeriod() != period) {
        if (keepRunningPeriod) {
            std::lock_guard lock(m_mutex);
            m_nPollPeriod = source->GetPollPeriod();
        } else if (!source->SetPollPeriod(period, problem)) {
            // The period this link asked for holds where the source can
            // serve it.
            source.reset();
            std::lock_guard lock(m_mutex);
            m_strStartProblem = std::move(problem);
            return;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_strProbeModel = source->GetProbeModel();
        m_strProbeFamily = source->GetProbeFamily();
    }
    SetMeterOpen(true);
    source->Join(*this);
    // A source that closed before the link joined it tells no one.
    if (!source->IsOpen()) {
        SetMeterOpen(false);
    }
    std::lock_guard lock(m_sourceMutex);
    m_source = std::move(source);
}

void CDeviceLink::Stop() {
    ReleaseSource(false);
}

void CDeviceLink::StopMeter() {
    ReleaseSource(true);
}

bool CDeviceLink::IsRunning() const {
    {
        std::lock_guard lock(m_sourceMutex);
        if (!m_source) {
            return false;
        }
    }
    // The meter's closure is told to the link, and to its notifier, under
    // this lock: whoever sees the meter closed here was told already.
    std::lock_guard lock(m_mutex);
    return m_bMeterOpen;
}

std::string CDeviceLink::GetStartProblem() const {
    std::lock_guard lock(m_mutex);
    return m_strStartProblem;
}

std::string CDeviceLink::GetProbeFamily() const {
    std::lock_guard lock(m_mutex);
    return m_strProbeFamily;
}

std::string CDeviceLink::GetProbeModel() const {
    std::lock_guard lock(m_mutex);
    return m_strProbeModel;
}

void CDeviceLink::ReleaseSource(bool stopMeter) {
    std::shared_ptr<MeterSource> source;
    {
        std::lock_guard lock(m_sourceMutex);
        source = std::move(m_source);
    }
    if (!source) {
        return;
    }
    source->Leave(*this, stopMeter);
    // The last one to let go of a meter closes it here.
    source.reset();
    SetMeterOpen(false);
}

// --- Acquisition ------------------------------------------------------------

bool CDeviceLink::SetPollPeriod(int periodMs) {
    if (periodMs < kMinPollPeriodMs) {
        return false;
    }
    std::shared_ptr<MeterSource> source;
    {
        std::lock_guard lock(m_sourceMutex);
        source = m_source;
    }
    std::string problem;
    if (source && !source->SetPollPeriod(periodMs, problem)) {
        std::lock_guard lock(m_mutex);
        m_strStartProblem = std::move(problem);
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_nPollPeriod = periodMs;
    return true;
}

void CDeviceLink::PollTimerProc(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                std::uintptr_t) {
    auto* link = reinterpret_cast<CDeviceLink*>(user);
    std::shared_ptr<MeterSource> source;
    {
        std::lock_guard lock(link->m_sourceMutex);
        source = link->m_source;
    }
    if (source) {
        source->PollNow();
    }
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

bool CDeviceLink::WantsReading() {
    std::lock_guard lock(m_mutex);
    return !CollectionLimitReachedLocked();
}

void CDeviceLink::OnReading(const MeterReading& reading) {
    std::lock_guard lock(m_mutex);
    // Another listener of the same meter may want readings this
    // collection has no room for.
    if (CollectionLimitReachedLocked()) {
        return;
    }
    m_utcTime = reading.utcTime;
    m_monotonicTime = reading.monotonicTime;
    m_nWavelength = reading.wavelength;
    m_nRange = static_cast<int>(reading.range);
    m_nSampleCount = m_nCount;
    m_status = ConvertReadingLocked(reading.reading, reading.range);
    if (m_status == SampleStatus::OverRange) {
        // The collection is left as it was: no statistics, no count.
        m_strPower = "Over Range";
    } else {
        UpdateStatistics();
        FormatStatisticsLocked(reading.range);
        StampSampleLocked(reading.utcTime);
    }
    PublishLocked(true);
}

void CDeviceLink::OnReadingsLost(std::uint64_t count) {
    std::lock_guard lock(m_mutex);
    m_nLostSamples += count;
}

void CDeviceLink::OnGap(bool resumed) {
    std::lock_guard lock(m_mutex);
    m_gaps.push_back({resumed, std::chrono::system_clock::now(), std::chrono::steady_clock::now()});
}

void CDeviceLink::OnClosed() {
    SetMeterOpen(false);
}

std::vector<CDeviceLink::Gap> CDeviceLink::TakeGaps() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_gaps, {});
}

std::optional<double> CDeviceLink::RangeLimit(const std::string& family, const std::string& model,
                                              int range) {
    if (range < 0) {
        return std::nullopt;
    }
    const ConversionRow* row = ConversionFor(family, model, static_cast<unsigned>(range));
    return row != nullptr ? std::optional<double>(row->limit) : std::nullopt;
}

std::string CDeviceLink::FormatPowerText(const std::string& family, const std::string& model,
                                         int range, double power) {
    if (range < 0) {
        return {};
    }
    const ConversionRow* row = ConversionFor(family, model, static_cast<unsigned>(range));
    return row != nullptr ? FormatPower(row->text, power) : std::string();
}

std::string CDeviceLink::FormatStatisticText(const std::string& family, int range, double power) {
    if (range < 0) {
        return {};
    }
    const TextRule* rule = StatisticsRuleFor(family, static_cast<unsigned>(range));
    return rule != nullptr ? FormatPower(*rule, power) : std::string();
}

SampleStatus CDeviceLink::ConvertReadingLocked(unsigned reading, unsigned range) {
    const ConvertedReading converted =
        ConvertReading(m_strProbeFamily, m_strProbeModel, reading, range);
    if (!converted.converted) {
        // No conversion: the previous power number and text stand.
        return SampleStatus::NoConversion;
    }
    m_dPower = converted.power;
    if (converted.overRange) {
        return SampleStatus::OverRange;
    }
    const ConversionRow* row = ConversionFor(m_strProbeFamily, m_strProbeModel, range);
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
