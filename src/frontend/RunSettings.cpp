#include "frontend/RunSettings.h"

#include "meter/DeviceLink.h"
#include "util/TextFormat.h"

#include <array>
#include <cmath>
#include <limits>

namespace zelmora {

namespace {

struct TimeUnit {
    std::string_view suffix;
    std::int64_t ms;
};
// Longest suffixes first, so that "min" and "ms" are not read as "m".
constexpr std::array<TimeUnit, 5> kTimeUnits{{
    {"min", 60'000},
    {"ms", 1},
    {"s", 1'000},
    {"h", 3'600'000},
    {"d", 86'400'000},
}};

constexpr std::int64_t kDay = 86'400'000;

constexpr std::array<std::string_view, 4> kUnitChoices = {"W", "mW", "uW", "dBm"};

const std::array<RunSetting, 5> kTable{{
    {.name = "interval",
     .valueName = "TIME",
     .kind = RunSetting::Kind::Time,
     .min = CDeviceLink::kMinPollPeriodMs,
     .max = kDay,
     .defaultText = "100ms",
     .help = "time between two samples of a meter",
     .store = [](RunSettings& s, std::int64_t v) { s.intervalMs = static_cast<int>(v); }},
    {.name = "count",
     .valueName = "N",
     .kind = RunSetting::Kind::Integer,
     .min = 1,
     .max = std::numeric_limits<int>::max(),
     .help = "stop after N counted samples of each meter",
     .store = [](RunSettings& s, std::int64_t v) { s.count = v; }},
    {.name = "duration",
     .valueName = "TIME",
     .kind = RunSetting::Kind::Time,
     .min = 1,
     .max = 3650 * kDay,
     .help = "stop after this time",
     .store = [](RunSettings& s, std::int64_t v) { s.durationMs = v; }},
    {.name = "averaging",
     .valueName = "N",
     .kind = RunSetting::Kind::Integer,
     .min = 1,
     .max = 20000,
     .defaultText = "1",
     .help = "average the power over the last N samples",
     .store = [](RunSettings& s, std::int64_t v) { s.averaging = static_cast<int>(v); }},
    {.name = "unit",
     .valueName = "UNIT",
     .kind = RunSetting::Kind::Choice,
     .choices = kUnitChoices,
     .defaultText = "W",
     .help = "unit of the power",
     .store =
         [](RunSettings& s, std::int64_t v) {
             s.unit = *ParseUnit(kUnitChoices[static_cast<std::size_t>(v)]);
         }},
}};

// A time as the operator writes it, in whole milliseconds.
std::optional<std::int64_t> ParseTime(std::string_view text) {
    std::size_t end = 0;
    // ScanDouble skips leading blanks and takes a sign; a time has neither.
    if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) {
        return std::nullopt;
    }
    const std::optional<double> number = ScanDouble(text, &end);
    if (!number) {
        return std::nullopt;
    }
    const std::string_view suffix = text.substr(end);
    for (const TimeUnit& unit : kTimeUnits) {
        if (suffix != unit.suffix) {
            continue;
        }
        const double ms = *number * static_cast<double>(unit.ms);
        const double whole = std::round(ms);
        if (std::fabs(ms - whole) > 1e-6 || whole > 1e15) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(whole);
    }
    return std::nullopt;
}

std::string FormatTime(std::int64_t ms) {
    for (auto unit = kTimeUnits.rbegin(); unit != kTimeUnits.rend(); ++unit) {
        if (ms % unit->ms == 0 && ms / unit->ms > 0 && unit->suffix != "min") {
            return Format("%lld%.*s", static_cast<long long>(ms / unit->ms),
                          static_cast<int>(unit->suffix.size()), unit->suffix.data());
        }
    }
    return Format("%lldms", static_cast<long long>(ms));
}

} // namespace

std::span<const RunSetting> RunSettingTable() {
    return kTable;
}

const RunSetting* FindRunSetting(std::string_view name) {
    for (const RunSetting& setting : kTable) {
        if (setting.name == name) {
            return &setting;
        }
    }
    return nullptr;
}

std::string DescribeLimits(const RunSetting& setting) {
    switch (setting.kind) {
    case RunSetting::Kind::Time:
        return FormatTime(setting.min) + " to " + FormatTime(setting.max);
    case RunSetting::Kind::Integer:
        return Format("%lld to %lld", static_cast<long long>(setting.min),
                      static_cast<long long>(setting.max));
    case RunSetting::Kind::Choice: {
        std::string text;
        for (std::size_t i = 0; i < setting.choices.size(); ++i) {
            text += i == 0 ? "" : (i + 1 == setting.choices.size() ? " or " : ", ");
            text += setting.choices[i];
        }
        return text;
    }
    }
    return {};
}

std::string ApplyRunSetting(const RunSetting& setting, std::string_view text,
                            RunSettings& settings) {
    std::optional<std::int64_t> value;
    std::string expected;
    switch (setting.kind) {
    case RunSetting::Kind::Time:
        value = ParseTime(text);
        expected = "a time from " + DescribeLimits(setting) + ", such as 100ms, 2s, 5min or 3d";
        break;
    case RunSetting::Kind::Integer: {
        std::size_t end = 0;
        const std::optional<int> number = ScanInt(text, &end);
        if (number && end == text.size() && !text.empty() && text[0] >= '0' && text[0] <= '9') {
            value = *number;
        }
        expected = "a whole number from " + DescribeLimits(setting);
        break;
    }
    case RunSetting::Kind::Choice:
        for (std::size_t i = 0; i < setting.choices.size(); ++i) {
            if (setting.choices[i] == text) {
                value = static_cast<std::int64_t>(i);
            }
        }
        expected = DescribeLimits(setting);
        break;
    }
    const bool inRange = setting.kind == RunSetting::Kind::Choice ||
                         (value && *value >= setting.min && *value <= setting.max);
    if (!value || !inRange) {
        return "takes " + expected + ", not '" + std::string(text) + "'";
    }
    setting.store(settings, *value);
    return {};
}

} // namespace zelmora
