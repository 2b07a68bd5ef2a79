#pragma once

// The record of one sample as the headless front ends store and send it:
// when it was taken, which meter, its count, its power in the unit the run
// asked for and what the meter said about it. Built from a MeterSample,
// whatever the probe family: a family that reads in milliwatts is
// converted like one that reads in watts.

#include "meter/MeterSample.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

enum class RecordUnit : std::uint8_t { W, mW, uW, dBm };

enum class RecordStatus : std::uint8_t {
    Ok,
    // The power is the converted number of a reading at or above the
    // range's limit, as the window's log keeps it.
    OverRange,
    // The tables do not know the range (or the family): no power.
    NoConversion,
    // dBm of a power that is not above zero has no value: no power. (Readings
    // are unsigned, so such a power is 0.)
    ZeroPower,
};

struct Record {
    std::chrono::system_clock::time_point utcTime{};
    std::uint64_t elapsedMs = 0;
    std::string meter;
    std::int64_t count = 0;
    // Empty when the status says there is no value.
    std::optional<double> power;
    RecordStatus status = RecordStatus::Ok;
    int range = -1;
    int wavelength = 0;

    friend bool operator==(const Record&, const Record&) = default;
};

// The record of `sample` from the meter `meterId`, its power in `unit`.
Record MakeRecord(const MeterSample& sample, std::string_view meterId, RecordUnit unit);

// `power` in the sample's unit, converted to `unit`; empty when there is no
// value in that unit (an unknown unit, dBm of a power not above zero). A
// converted number is kept to 15 significant digits, all that a double
// carries through a multiplication, so that 0.01234 W becomes 12.34 mW
// rather than 12.340000000000002.
std::optional<double> ConvertPower(double power, PowerUnit from, RecordUnit unit);

// "W", "mW", "uW", "dBm", and back; empty for any other text.
std::string_view UnitName(RecordUnit unit);
std::optional<RecordUnit> ParseUnit(std::string_view text);
// "ok", "over_range", "no_conversion", "zero_power".
std::string_view StatusName(RecordStatus status);

// The fields of a record in order, the power's named with its unit:
// time_utc, elapsed_s, meter, count, power_W, status, range, wavelength_nm.
std::vector<std::string> RecordFieldNames(RecordUnit unit);

} // namespace zelmora
