#include "cli/ProgressLine.h"

#include <algorithm>
#include <cerrno>
#if defined(_WIN32)
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace zelmora {

namespace {

// Back to the start of the line and erase it.
constexpr std::string_view kClearLine = "\r\x1b[K";

} // namespace

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
#if defined(_WIN32)
        const int written = ::_write(
            fd, text.data(), static_cast<unsigned>(std::min<std::size_t>(text.size(), 1 << 20)));
#else
        const ssize_t written = ::write(fd, text.data(), text.size());
#endif
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

CProgressLine::CProgressLine(int fd, bool enabled) : m_nFd(fd), m_bEnabled(enabled) {}

CProgressLine::~CProgressLine() {
    Clear();
}

void CProgressLine::Show(std::string_view status) {
    if (!m_bEnabled) {
        return;
    }
    std::string line(kClearLine);
    line.append(status.substr(0, Width() - 1));
    WriteAll(m_nFd, line);
    m_bShown = true;
}

void CProgressLine::Message(std::string_view line) {
    Clear();
    std::string text(line);
    text.push_back('\n');
    WriteAll(m_nFd, text);
}

void CProgressLine::Clear() {
    if (m_bShown) {
        WriteAll(m_nFd, kClearLine);
        m_bShown = false;
    }
}

std::size_t CProgressLine::Width() const {
#if !defined(_WIN32)
    winsize size{};
    if (::ioctl(m_nFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col;
    }
#endif
    return 80;
}

} // namespace zelmora
