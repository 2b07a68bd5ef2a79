#pragma once

// The rules of the window's number boxes, apart from any toolkit.
//
// A box reads the leading number of its text, as a formatted scan does, and
// takes it when it lies in the box's range; otherwise the box gets its kept
// value back. A value that was taken is then shown as it is in use: "1e3"
// commits 1 and "2,5" commits 2, and a box that went on showing the text
// as typed would have the operator believe in a value that does not run.

#include <optional>
#include <string>
#include <string_view>

namespace zelmora {

// The leading whole number of `typed` when it lies in [min, max].
std::optional<int> AcceptInt(std::string_view typed, int min, int max);

// The interval that `typed` gives in a unit of `unitMs` milliseconds: the
// leading number times the unit, truncated towards zero, when that lies in
// [minMs, maxMs].
std::optional<int> AcceptIntervalMs(std::string_view typed, int unitMs, int minMs, int maxMs);

// Whether `typed` says exactly `ms` in the unit: one number with nothing
// but blanks around it, and no part of a millisecond cut off.
bool ShowsIntervalExactly(std::string_view typed, int ms, int unitMs);

// `ms` in the unit with at least `decimals` decimals, and as many more (up
// to the point where a millisecond is reached) as it takes for the text to
// commit the same milliseconds again.
std::string FormatIntervalForEntry(int ms, int unitMs, int decimals);

} // namespace zelmora
