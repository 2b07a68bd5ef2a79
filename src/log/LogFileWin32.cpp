#include "log/LogFile.h"

#include <io.h>
#include <string>
#include <windows.h>

namespace zelmora {

namespace {

HANDLE AsHandle(void* file) {
    return static_cast<HANDLE>(file);
}

// The system's text for an error code, in English where the system has it.
std::string ErrorText(DWORD error) {
    char buffer[512] = {};
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    // The system ends its texts with a full stop and a line break.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "Windows error " + std::to_string(error) : text;
}

// Paths are UTF-8 throughout the program; the wide call takes them whatever
// the ANSI code page is.
std::wstring Widen(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    }
    return wide;
}

bool SetLength(HANDLE file, std::uint64_t length) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

} // namespace

CLogFile::~CLogFile() {
    Close();
}

bool CLogFile::Open(const std::string& path, OpenFlags flags) {
    Close();
    m_strError.clear();
    m_bReaderGone = false;
    // No sharing: while it is logged to, no other program opens the file.
    // OPEN_ALWAYS rather than CREATE_ALWAYS: a file in use elsewhere fails
    // the open before anything empties it.
    const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        m_strError = error == ERROR_SHARING_VIOLATION ? "Another program is using this file"
                                                      : ErrorText(error);
        return false;
    }
    const bool regular = GetFileType(file) == FILE_TYPE_DISK;
    std::uint64_t end = 0;
    if (regular && flags.append) {
        LARGE_INTEGER length{};
        if (GetFileSizeEx(file, &length) && SetFilePointerEx(file, length, nullptr, FILE_BEGIN)) {
            end = static_cast<std::uint64_t>(length.QuadPart);
        }
    } else if (regular && !SetLength(file, 0)) {
        m_strError = ErrorText(GetLastError());
        CloseHandle(file);
        return false;
    }
    // Writes on a synchronous handle always wait for the reader.
    (void)flags.waitForReader;
    m_hFile = file;
    m_bRegular = regular;
    m_nEnd = end;
    m_strPath = path;
    return true;
}

bool CLogFile::Attach(int fd, const std::string& name) {
    Close();
    m_strError.clear();
    m_bReaderGone = false;
    const auto given = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    HANDLE copy = nullptr;
    if (given == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        m_strError = ErrorText(GetLastError());
        return false;
    }
    m_bRegular = GetFileType(copy) == FILE_TYPE_DISK;
    m_nEnd = 0;
    if (m_bRegular) {
        // Where the next write lands.
        LARGE_INTEGER zero{};
        LARGE_INTEGER offset{};
        if (SetFilePointerEx(copy, zero, &offset, FILE_CURRENT) && offset.QuadPart > 0) {
            m_nEnd = static_cast<std::uint64_t>(offset.QuadPart);
        }
    }
    m_hFile = copy;
    m_strPath = name;
    return true;
}

bool CLogFile::WriteRecords(std::string_view bytes, std::span<const std::size_t> recordEnds,
                            std::size_t& keptRecords) {
    keptRecords = 0;
    if (m_hFile == nullptr) {
        m_strError = ErrorText(ERROR_INVALID_HANDLE);
        return false;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        DWORD done = 0;
        const DWORD asked = static_cast<DWORD>(bytes.size() - written);
        if (WriteFile(AsHandle(m_hFile), bytes.data() + written, asked, &done, nullptr) &&
            done > 0) {
            written += done;
            continue;
        }
        const DWORD error = GetLastError();
        m_bReaderGone = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
        m_strError = ErrorText(error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
        const std::size_t whole = WholeRecords(recordEnds, written);
        const std::size_t keep = whole > 0 ? recordEnds[whole - 1] : 0;
        keptRecords = whole;
        if (m_bRegular && written > keep) {
            SetLength(AsHandle(m_hFile), m_nEnd + keep);
        }
        m_nEnd += keep;
        return false;
    }
    m_nEnd += written;
    keptRecords = recordEnds.size();
    return true;
}

void CLogFile::Close() {
    if (m_hFile == nullptr) {
        return;
    }
    if (m_bRegular) {
        FlushFileBuffers(AsHandle(m_hFile));
    }
    CloseHandle(AsHandle(m_hFile));
    m_hFile = nullptr;
    m_bRegular = false;
}

bool CLogFile::IsOpen() const {
    return m_hFile != nullptr;
}

bool CLogFile::HoldsData(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    return data.nFileSizeHigh != 0 || data.nFileSizeLow != 0;
}

} // namespace zelmora
