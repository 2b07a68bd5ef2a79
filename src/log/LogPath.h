#pragma once

// The log path as the window handles it: a folder part (ending in the path
// separator) and a file-name part, and the numbered names that each
// logging run after the first proposes ("Power Data_1.csv",
// "Power Data_2.csv" ...), so that a run never lands on the previous one's
// file by default. Pure functions on strings.

#include <optional>
#include <string>
#include <string_view>

namespace zelmora {

// The platform's path separator.
#if defined(_WIN32)
inline constexpr char kLogPathSeparator = '\\';
#else
inline constexpr char kLogPathSeparator = '/';
#endif

// Splits `path` at its last separator: `folder` gets everything up to and
// including it, `name` everything after it. Without a separator nothing is
// changed and the result is false (the caller keeps its previous split).
bool SplitLogPath(std::string_view path, std::string& folder, std::string& name);

// Counts `index` up by one and returns folder + the name with "_<index>"
// before its last period (the extension stays). A name without a period
// has no numbered form: the result is empty and the index still counts.
std::optional<std::string> AdvanceLogFileName(const std::string& folder, const std::string& name,
                                              int& index);

} // namespace zelmora
