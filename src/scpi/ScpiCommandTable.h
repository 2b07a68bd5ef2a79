#pragma once

// The commands the instrument understands, as data: each one a header
// pattern in the standard's notation ("SENSe#:POWer[:DC]:UNIT": upper case
// is the short form, [..] an optional node, # a node that takes the
// numeric suffix 1), whether it may be queried or set, and what its
// parameter is. The parser matches headers against this table, and
// SYSTem:HELP:HEADers? lists it, so the two never disagree.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

enum class ScpiAction : std::uint8_t {
    Idn,
    Rst,
    Cls,
    Opc,
    Wai,
    Esr,
    Ese,
    Stb,
    Sre,
    Tst,
    ErrorNext,
    ErrorCount,
    Version,
    HelpHeaders,
    Measure,
    Configure,
    Initiate,
    Abort,
    Fetch,
    Read,
    Average,
    Unit,
    Wavelength,
    Range,
    Reference,
    ReferenceState,
    ZeroInitiate,
    ZeroState,
    ZeroMagnitude,
};

// What a command takes after its header.
enum class ScpiParameter : std::uint8_t {
    None,
    // A decimal number, or MIN, MAX, DEF.
    Number,
    // ON, OFF, 1 or 0.
    Boolean,
    // W or DBM.
    PowerUnit,
    // MIN or MAX, optional (queries only).
    Bound,
};

struct ScpiCommand {
    std::string_view pattern;
    bool query = false;
    bool set = false;
    ScpiParameter parameter = ScpiParameter::None;
    ScpiAction action = ScpiAction::Idn;
};

std::span<const ScpiCommand> ScpiCommandTable();

// The command whose pattern `header` (without a '?', without the leading
// ':') spells, long or short, in any case; nothing when none does.
const ScpiCommand* FindScpiCommand(std::string_view header);

// The path a following header of the same message is relative to: every
// node of `header` but the last, with a ':' after it ("SENS:POW:" for
// "SENS:POW:UNIT"); empty for a common command or a header of one node.
std::string ScpiPathOf(std::string_view header);

// One line per command: its pattern with "?" for a query, and "/qonly/" or
// "/nquery/" where it can only be queried or only be set.
std::vector<std::string> ScpiHelpHeaders();

} // namespace zelmora
