#pragma once

// One sample of the meter link as the window takes it: the number and every
// text that belongs to it, copied out together so that a reader never mixes
// the power of one sample with the statistics of another. A plain value:
// copy it, queue it, compare it.

#include <string>

namespace zelmora {

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

    friend bool operator==(const MeterSample&, const MeterSample&) = default;
};

} // namespace zelmora
