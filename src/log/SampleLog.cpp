#include "log/SampleLog.h"

#include "util/TextFormat.h"

#include <array>

namespace zelmora {

namespace {

constexpr std::array<const char*, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonths = {"January",   "February", "March",    "April",
                                                 "May",       "June",     "July",     "August",
                                                 "September", "October",  "November", "December"};

const char* const kLineEnd = "\r\n";

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

} // namespace

bool CSampleLog::Open(const std::string& path, const std::string& meterId) {
    return Open(path, meterId, LocalNow());
}

bool CSampleLog::Open(const std::string& path, const std::string& meterId,
                      const std::tm& startTime) {
    if (!m_file.Open(path)) {
        return false;
    }
    if (!m_file.Write(FormatHeader(meterId, startTime))) {
        m_file.Close();
        return false;
    }
    return true;
}

bool CSampleLog::Append(const MeterSample& sample, int layout) {
    const std::string record = FormatRecord(sample, layout);
    if (record.empty()) {
        return true;
    }
    if (!m_file.Write(record)) {
        m_file.Close();
        return false;
    }
    return true;
}

void CSampleLog::Close() {
    m_file.Close();
}

std::string CSampleLog::FormatRecord(const MeterSample& sample, int layout) {
    const std::string* x = nullptr;
    switch (layout) {
    case kCountLayout:
        x = &sample.countText;
        break;
    case kTimeLayout:
        x = &sample.timeStampText;
        break;
    case kTimerLayout:
        x = &sample.durationText;
        break;
    default:
        return {};
    }
    return *x + "," + Format("%.6lf", sample.power) + kLineEnd;
}

std::string CSampleLog::FormatHeader(const std::string& meterId, const std::tm& startTime) {
    return (meterId.empty() ? std::string("No Device") : meterId) + kLineEnd +
           FormatStartTime(startTime) + kLineEnd;
}

std::string CSampleLog::FormatStartTime(const std::tm& time) {
    // Built here rather than with strftime, whose names follow the process
    // locale (Qt sets it from the environment).
    if (time.tm_wday < 0 || time.tm_wday >= 7 || time.tm_mon < 0 || time.tm_mon >= 12) {
        return {};
    }
    return Format("%s, %s %02d, %04d %02d:%02d:%02d", kWeekdays[time.tm_wday], kMonths[time.tm_mon],
                  time.tm_mday, time.tm_year + 1900, time.tm_hour, time.tm_min, time.tm_sec);
}

} // namespace zelmora
