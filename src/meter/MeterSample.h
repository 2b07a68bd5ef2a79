#pragma once

// One sample of the meter link as the window takes it: the number and every
// text that belongs to it, copied out together so that a reader never mixes
// the power of one sample with the statistics of another. A plain value:
// copy it, queue it, compare it.
//
// Beside the window's texts it carries the same facts as numbers, for
// writers that store records rather than show them.

#include <chrono>
#include <cstdint>
#include <string>

namespace zelmora {

// What the tick made of a reading.
enum class SampleStatus : std::uint8_t {
    Ok,
    // At or above the range's limit: the power is the converted,
    // unaveraged number, and the collection did not count it.
    OverRange,
    // A range (or a probe family) the conversion tables do not know: the
    // power number is the previous one and says nothing about this reading.
    NoConversion,
};

// The unit of MeterSample::power, which follows the probe family.
enum class PowerUnit : std::uint8_t {
    None,      // a family the tables do not know
    Watt,      // "KV", "RM"
    Milliwatt, // "ZN"
};

struct MeterSample {
    // The power number in the family's unit (watts for "KV" and "RM",
    // milliwatts for "ZN"), averaged over the live-data window; for an
    // over-range sample the unaveraged converted number.
    double power = 0;
    // The live text with its unit ("12.34mW"), "Over Range", or empty after
    // a statistics reset.
    std::string powerText;
    // The wavelength word of the reply, in nanometres.
    int wavelength = 0;

    std::string minText;
    std::string maxText;
    std::string meanText;
    std::string stdDevText;
    std::string stdDevPercentText;

    // The count before this sample ("0" for the first after a reset), the
    // local time of day and the elapsed collection time, both
    // "%02d:%02d:%02d(%03d)".
    std::string countText;
    std::string timeStampText;
    std::string durationText;

    // The same facts as numbers. `count` is the number of samples the
    // collection counted before this one: the number of its count text for
    // a counted sample, and for an over-range sample (which is not counted)
    // the number the next counted sample will carry.
    std::int64_t count = 0;
    // Elapsed collection time in nominal poll periods, as durationText;
    // an over-range sample does not advance it.
    std::uint64_t elapsedMs = 0;
    SampleStatus status = SampleStatus::Ok;
    PowerUnit unit = PowerUnit::None;
    // The range index of the reply; -1 before the first reading.
    int range = -1;
    // When the tick took the reading: the wall clock for the record, and a
    // clock that never goes back for putting the samples of several meters
    // in the order they arrived.
    std::chrono::system_clock::time_point utcTime{};
    std::chrono::steady_clock::time_point monotonicTime{};

    friend bool operator==(const MeterSample&, const MeterSample&) = default;
};

} // namespace zelmora
