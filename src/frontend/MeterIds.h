#pragma once

// The meter ids an operator or a script names, checked the same way in
// every front end before any meter is opened or any file written: a meter
// answers to its id, so a run that names one twice would drive it through
// two links counting from 0 each, and its records would clash.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace zelmora {

// A meter's id is this many characters, each printable ASCII.
inline constexpr std::size_t kMeterIdLength = 9;

// Why `id` cannot be a meter's id ("'' is not a meter id: ..."); empty when
// it can.
std::string CheckMeterId(std::string_view id);

// Why `ids` cannot name the meters of one run: a malformed id, or one named
// twice. Empty when they can.
std::string CheckMeterIds(std::span<const std::string> ids);

} // namespace zelmora
