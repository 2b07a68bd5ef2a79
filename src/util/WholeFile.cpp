#include "util/WholeFile.h"

#include "util/TextFormat.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace zelmora {

#if defined(_WIN32)

namespace {

std::wstring Widen(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string Reason(DWORD code) {
    switch (code) {
    case ERROR_ACCESS_DENIED:
        return "access is denied";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
        return "the folder does not exist";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return "the disk is full";
    case ERROR_WRITE_PROTECT:
        return "the disk is write-protected";
    default:
        return Format("Windows error %lu", static_cast<unsigned long>(code));
    }
}

} // namespace

bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
    const std::wstring target = Widen(path);
    const std::wstring temporary =
        target + L".part" + std::to_wstring(static_cast<unsigned long>(GetCurrentProcessId()));
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = Reason(GetLastError());
        return false;
    }
    bool written = true;
    DWORD failure = 0;
    while (!bytes.empty() && written) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD done = 0;
        written = WriteFile(file, bytes.data(), chunk, &done, nullptr) != FALSE && done > 0;
        if (!written) {
            failure = GetLastError();
        }
        bytes.remove_prefix(done);
    }
    if (written && !FlushFileBuffers(file)) {
        written = false;
        failure = GetLastError();
    }
    CloseHandle(file);
    if (written && !MoveFileExW(temporary.c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        failure = GetLastError();
    }
    if (!written) {
        DeleteFileW(temporary.c_str());
        error = Reason(failure);
    }
    return written;
}

#else

namespace {

std::string Reason(int code) {
    return std::error_code(code, std::generic_category()).message();
}

} // namespace

bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = Reason(errno);
        return false;
    }
    int failure = 0;
    while (!bytes.empty() && failure == 0) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EINTR) {
            failure = errno;
        } else if (n == 0) {
            failure = EIO;
        }
    }
    if (failure == 0 && ::fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(temporary.c_str());
        error = Reason(failure);
        return false;
    }
    return true;
}

#endif

} // namespace zelmora
