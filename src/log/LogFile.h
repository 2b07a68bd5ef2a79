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

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelmora {

// How CLogFile::Open treats the file.
struct LogFileOpenFlags {
    // Keep what the file holds and write after its end, rather than empty
    // it.
    bool append = false;
    // Let a write wait for a slow reader of a named pipe, as a program
    // without a window may; otherwise a full pipe fails the write.
    bool waitForReader = false;
};

class CLogFile {
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    ~CLogFile();

    using OpenFlags = LogFileOpenFlags;

    // Opens the file at `path`, creating it if it is missing, takes the lock
    // and then empties it (unless `flags` say append). False, with the
    // reason in GetError, when it cannot be opened or another logger holds
    // it; such a file is left untouched. An open file is closed first.
    bool Open(const std::string& path, OpenFlags flags = {});
    // Writes to a descriptor the program was given (its standard output),
    // without a lock; `name` stands for it in GetPath. The descriptor (on
    // Windows its handle) is duplicated, and Close closes only the copy.
    bool Attach(int fd, const std::string& name);
    // Hands all of `bytes` to the system. False when it took only part of
    // them or none: the file is then cut back to its length before this
    // write where it can be, and the reason is in GetError. The file stays
    // open; nothing more should be written to it.
    bool Write(std::string_view bytes) {
        const std::size_t end = bytes.size();
        std::size_t kept = 0;
        return WriteRecords(bytes, std::span(&end, 1), kept);
    }
    // The same for a text of several records, the i-th ending at
    // recordEnds[i] (ascending, the last at bytes.size()): when the system
    // takes only part of the text, the records it took whole stay and only
    // the part of the next one is cut off. `keptRecords` receives how many
    // of them the file holds.
    bool WriteRecords(std::string_view bytes, std::span<const std::size_t> recordEnds,
                      std::size_t& keptRecords);
    // Releases the lock and closes the file. Does nothing when none is open.
    void Close();

    bool IsOpen() const;
    const std::string& GetPath() const { return m_strPath; }
    // Why the last Open or Write failed.
    const std::string& GetError() const { return m_strError; }
    // The last write failed because the reading end of a pipe was closed:
    // the reader has all it wanted.
    bool ReaderGone() const { return m_bReaderGone; }

    // True when `path` names an existing regular file that holds at least
    // one byte: opening it would destroy data.
    static bool HoldsData(const std::string& path);

private:
    // How many of the records ending at `recordEnds` lie within the first
    // `written` bytes.
    static std::size_t WholeRecords(std::span<const std::size_t> recordEnds, std::size_t written) {
        std::size_t whole = 0;
        while (whole < recordEnds.size() && recordEnds[whole] <= written) {
            ++whole;
        }
        return whole;
    }

#if defined(_WIN32)
    void* m_hFile = nullptr; // nullptr when closed
#else
    int m_nFd = -1;
#endif
    // The file's length after the last complete write.
    std::uint64_t m_nEnd = 0;
    // Only a regular file can be emptied and cut back.
    bool m_bRegular = false;
    bool m_bReaderGone = false;
    std::string m_strPath;
    std::string m_strError;
};

} // namespace zelmora
