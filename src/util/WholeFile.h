#pragma once

// A file written whole or not at all: a reader of the path finds either
// what was there before or the complete new text, never a part of it, and
// a failed write (a full disk, a folder the user may not write to) leaves
// what was there as it was.

#include <string>
#include <string_view>

namespace zelmora {

// Writes `bytes` into a new file beside `path` (private to the user, on
// POSIX), flushed to the disk, which then takes the path's place. False,
// with the reason in `error` and no new file left behind, when it cannot.
// The path is UTF-8 on every platform.
bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string& error);

} // namespace zelmora
