#pragma once

// The log file as the operating system holds it: opened for writing,
// locked against a second logger, emptied only once the lock is held, and
// written without any buffering of its own, so that whatever a write has
// returned for is the system's and survives a crash of the program.
//
// A write that the system takes only in part, or not at all (a full disk, a
// removed medium, a file-size limit), leaves the file as it was after the
// last complete write: the part is cut off again where the system lets the
// file be truncated. Every failure keeps a reason an operator can read
// ("No space left on device").
//
// On Linux the lock is an advisory lock (flock), which other loggers that
// honour it respect; on Windows the file is opened without sharing.

#include <cstdint>
#include <string>
#include <string_view>

namespace zelmora {

class CLogFile {
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    ~CLogFile();

    // Opens the file at `path`, creating it if it is missing, takes the lock
    // and then empties it. False, with the reason in GetError, when it
    // cannot be opened or another logger holds it; such a file is left
    // untouched. An open file is closed first.
    bool Open(const std::string& path);
    // Hands all of `bytes` to the system. False when it took only part of
    // them or none: the file is then cut back to its length before this
    // write where it can be, and the reason is in GetError. The file stays
    // open; nothing more should be written to it.
    bool Write(std::string_view bytes);
    // Releases the lock and closes the file. Does nothing when none is open.
    void Close();

    bool IsOpen() const;
    const std::string& GetPath() const { return m_strPath; }
    // Why the last Open or Write failed.
    const std::string& GetError() const { return m_strError; }

    // True when `path` names an existing regular file that holds at least
    // one byte: opening it would destroy data.
    static bool HoldsData(const std::string& path);

private:
#if defined(_WIN32)
    void* m_hFile = nullptr; // nullptr when closed
#else
    int m_nFd = -1;
#endif
    // The file's length after the last complete write.
    std::uint64_t m_nEnd = 0;
    // Only a regular file can be emptied and cut back.
    bool m_bRegular = false;
    std::string m_strPath;
    std::string m_strError;
};

} // namespace zelmora
