#include "record/Record.h"

#include <array>
#include <charconv>
#include <cmath>

namespace zelmora {

namespace {

struct UnitEntry {
    RecordUnit unit;
    std::string_view name;
};
constexpr std::array<UnitEntry, 4> kUnits{{
    {RecordUnit::W, "W"},
    {RecordUnit::mW, "mW"},
    {RecordUnit::uW, "uW"},
    {RecordUnit::dBm, "dBm"},
}};

// A double kept to the 15 significant digits that survive a conversion.
double KeepSignificantDigits(double value) {
    std::array<char, 40> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::general, 15);
    double kept = value;
    std::from_chars(buffer.data(), written.ptr, kept);
    return kept;
}

} // namespace

std::string_view UnitName(RecordUnit unit) {
    for (const UnitEntry& entry : kUnits) {
        if (entry.unit == unit) {
            return entry.name;
        }
    }
    return {};
}

std::optional<RecordUnit> ParseUnit(std::string_view text) {
    for (const UnitEntry& entry : kUnits) {
        if (entry.name == text) {
            return entry.unit;
        }
    }
    return std::nullopt;
}

std::string_view StatusName(RecordStatus status) {
    switch (status) {
    case RecordStatus::Ok:
        return "ok";
    case RecordStatus::OverRange:
        return "over_range";
    case RecordStatus::NoConversion:
        return "no_conversion";
    case RecordStatus::ZeroPower:
        return "zero_power";
    }
    return {};
}

std::optional<double> ConvertPower(double power, PowerUnit from, RecordUnit unit) {
    double milliwatts = 0;
    switch (from) {
    case PowerUnit::Watt:
        if (unit == RecordUnit::W) {
            return power;
        }
        milliwatts = power * 1000;
        break;
    case PowerUnit::Milliwatt:
        if (unit == RecordUnit::mW) {
            return power;
        }
        milliwatts = power;
        break;
    case PowerUnit::None:
        return std::nullopt;
    }
    switch (unit) {
    case RecordUnit::W:
        return KeepSignificantDigits(milliwatts / 1000);
    case RecordUnit::mW:
        return KeepSignificantDigits(milliwatts);
    case RecordUnit::uW:
        return KeepSignificantDigits(milliwatts * 1000);
    case RecordUnit::dBm:
        if (!(milliwatts > 0)) {
            return std::nullopt;
        }
        return KeepSignificantDigits(10 * std::log10(milliwatts));
    }
    return std::nullopt;
}

Record MakeRecord(const MeterSample& sample, std::string_view meterId, RecordUnit unit) {
    Record record;
    record.utcTime = sample.utcTime;
    record.elapsedMs = sample.elapsedMs;
    record.meter = meterId;
    record.count = sample.count;
    record.range = sample.range;
    record.wavelength = sample.wavelength;
    switch (sample.status) {
    case SampleStatus::Ok:
    case SampleStatus::OverRange:
        record.status =
            sample.status == SampleStatus::Ok ? RecordStatus::Ok : RecordStatus::OverRange;
        if (sample.unit == PowerUnit::None) {
            record.status = RecordStatus::NoConversion;
            break;
        }
        record.power = ConvertPower(sample.power, sample.unit, unit);
        if (!record.power) {
            record.status = RecordStatus::ZeroPower;
        }
        break;
    case SampleStatus::NoConversion:
        // The link repeats the previous power; a record must not.
        record.status = RecordStatus::NoConversion;
        break;
    }
    return record;
}

std::vector<std::string> RecordFieldNames(RecordUnit unit) {
    return {
        "time_utc", "elapsed_s", "meter",        "count", "power_" + std::string(UnitName(unit)),
        "status",   "range",     "wavelength_nm"};
}

} // namespace zelmora
