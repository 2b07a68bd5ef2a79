#pragma once

// What a run of records says about itself, once at its start, and what it
// says about itself on the way (a meter lost and back, samples lost), so
// that a file read years later still tells its unit, its date and its
// meters.

#include "record/Record.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

struct RunMeter {
    std::string id;
    std::string probeFamily;
    std::string probeModel;
    // Set on the meter, not by the program: known once it has sent a sample.
    std::optional<int> wavelength;
};

struct RunMetadata {
    std::string program;
    std::string version;
    std::chrono::system_clock::time_point started{};
    int intervalMs = 100;
    int averaging = 1;
    RecordUnit unit = RecordUnit::W;
    std::vector<RunMeter> meters;
};

struct RunEvent {
    enum class Kind : std::uint8_t {
        MeterLost,   // the meter stopped answering; `detail` may say why
        MeterBack,   // the same meter answers again
        SamplesLost, // `samples` samples never reached the output
    };
    Kind kind = Kind::MeterLost;
    std::chrono::system_clock::time_point utcTime{};
    std::string meter;
    std::uint64_t samples = 0;
    std::string detail;
};

// "meter_lost", "meter_back", "samples_lost": the event's name in every
// format.
constexpr std::string_view EventName(RunEvent::Kind kind) {
    switch (kind) {
    case RunEvent::Kind::MeterLost:
        return "meter_lost";
    case RunEvent::Kind::MeterBack:
        return "meter_back";
    case RunEvent::Kind::SamplesLost:
        return "samples_lost";
    }
    return {};
}

} // namespace zelmora
