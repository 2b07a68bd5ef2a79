#include "log/LogFile.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelmora {

namespace {

// The system's text for an error number, in English whatever the process
// locale is: the window around it speaks English.
std::string ErrorText(int error) {
    static const locale_t english = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (english != static_cast<locale_t>(nullptr)) {
        return strerror_l(error, english);
    }
    return "error " + std::to_string(error);
}

// A pipe whose reader has gone answers a write with EPIPE, and with a
// SIGPIPE that would end the program on the spot. The signal is held back
// on this thread for the write and, when the write raised it, taken so it
// never arrives: the failure is then told like any other.
class HeldBrokenPipe {
public:
    HeldBrokenPipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        m_bWasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &m_previous);
    }
    HeldBrokenPipe(const HeldBrokenPipe&) = delete;
    HeldBrokenPipe& operator=(const HeldBrokenPipe&) = delete;
    ~HeldBrokenPipe() {
        if (m_bRaised && !m_bWasPending) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{};
            while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    void Raised() { m_bRaised = true; }

private:
    sigset_t m_previous{};
    bool m_bWasPending = false;
    bool m_bRaised = false;
};

} // namespace

CLogFile::~CLogFile() {
    Close();
}

bool CLogFile::Open(const std::string& path) {
    Close();
    m_strError.clear();
    // Not O_TRUNC: a file that another logger holds must not be emptied
    // before the lock says whose it is. O_NONBLOCK keeps a named pipe
    // without a reader from hanging the window; O_CLOEXEC keeps the file
    // and its lock out of programs started from here (the manuals' viewer).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        m_strError = ErrorText(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        m_strError =
            error == EWOULDBLOCK ? "Another logger is writing to this file" : ErrorText(error);
        return false;
    }
    struct stat status {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (regular && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        m_strError = ErrorText(error);
        return false;
    }
    m_nFd = fd;
    m_bRegular = regular;
    m_nEnd = 0;
    m_strPath = path;
    return true;
}

bool CLogFile::Write(std::string_view bytes) {
    if (m_nFd < 0) {
        m_strError = ErrorText(EBADF);
        return false;
    }
    // One write for the whole text. Only if the system takes part of it
    // (interrupted, or a limit reached) is the rest offered again, so that
    // a transient cut still ends in a whole record.
    std::size_t written = 0;
    HeldBrokenPipe heldBrokenPipe;
    while (written < bytes.size()) {
        const ssize_t result = ::write(m_nFd, bytes.data() + written, bytes.size() - written);
        if (result > 0) {
            written += static_cast<std::size_t>(result);
            continue;
        }
        const int error = result < 0 ? errno : ENOSPC;
        if (error == EINTR) {
            continue;
        }
        if (error == EPIPE) {
            heldBrokenPipe.Raised();
        }
        // 0 bytes from a regular file means there is no room either.
        m_strError = ErrorText(error);
        if (m_bRegular && written > 0) {
            // A part of the text would read as a record that never was.
            if (::ftruncate(m_nFd, static_cast<off_t>(m_nEnd)) == 0) {
                ::lseek(m_nFd, static_cast<off_t>(m_nEnd), SEEK_SET);
            }
        }
        return false;
    }
    m_nEnd += written;
    return true;
}

void CLogFile::Close() {
    if (m_nFd < 0) {
        return;
    }
    // The records are the system's already; this also puts them on the
    // medium before the operator takes it away. A device (a pipe, a
    // terminal) cannot, and needs not.
    if (m_bRegular) {
        ::fsync(m_nFd);
    }
    ::flock(m_nFd, LOCK_UN);
    ::close(m_nFd);
    m_nFd = -1;
    m_bRegular = false;
}

bool CLogFile::IsOpen() const {
    return m_nFd >= 0;
}

bool CLogFile::HoldsData(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
}

} // namespace zelmora
