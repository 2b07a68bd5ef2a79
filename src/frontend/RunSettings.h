#pragma once

// The settings of a logging run that every headless front end offers (the
// command line, the Python module, the MQTT publisher), declared once as
// data: name, value, limits, default and the parser that reads them, so
// that each front end has the same names, limits and error texts.

#include "record/Record.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

struct RunSettings {
    // The poll period of every meter.
    int intervalMs = 100;
    // Counted samples per meter; none: no limit.
    std::optional<std::int64_t> count;
    // How long the run lasts; none: until it is stopped.
    std::optional<std::int64_t> durationMs;
    // The live-data averaging length of every meter.
    int averaging = 1;
    RecordUnit unit = RecordUnit::W;
    // The meter ids to log; empty: every meter present.
    std::vector<std::string> meters;
};

struct RunSetting {
    enum class Kind : std::uint8_t {
        Time,    // a number with a unit: 100ms, 2s, 1.5min, 2h, 3d
        Integer, // a whole number
        Choice,  // one of `choices`
    };

    std::string_view name;      // "interval"; the command line's --interval
    std::string_view valueName; // "TIME", "N", "UNIT" in a usage text
    Kind kind = Kind::Integer;
    // The limits, in milliseconds for a time.
    std::int64_t min = 0;
    std::int64_t max = 0;
    std::span<const std::string_view> choices;
    // The default as an operator would write it; empty when there is none
    // (no limit).
    std::string_view defaultText;
    std::string_view help;
    // Stores a value read and checked: milliseconds, a number, or the index
    // of a choice.
    void (*store)(RunSettings& settings, std::int64_t value) = nullptr;
};

// Every run setting, in the order a help text lists them.
std::span<const RunSetting> RunSettingTable();
const RunSetting* FindRunSetting(std::string_view name);

// Reads `text` as the value of `setting` into `settings`. Empty when it did;
// otherwise why not, to follow the setting's name ("takes a time from
// 100ms to 24h, such as 100ms, 2s or 5min, not '5x'").
std::string ApplyRunSetting(const RunSetting& setting, std::string_view text,
                            RunSettings& settings);

// What a time of `setting` is (its limits), for help texts: "100ms to 24h".
std::string DescribeLimits(const RunSetting& setting);

} // namespace zelmora
