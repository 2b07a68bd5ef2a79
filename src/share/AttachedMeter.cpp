#include "share/AttachedMeter.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelmora {

namespace {

// How long an owner may take to greet and to answer the watch request.
constexpr int kHandshakeSeconds = 3;

void SetReceiveTimeout(int fd, int seconds) {
    timeval timeout{};
    timeout.tv_sec = seconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

// The next whole message, reading more as needed; none when the stream
// ends, fails, times out or brings something that is not a message.
std::optional<ShareMessage> ReadMessage(int fd, CLineSplitter& splitter, std::string& problem) {
    std::string line;
    std::array<char, 4096> buffer{};
    for (;;) {
        switch (splitter.Next(line)) {
        case CLineSplitter::Result::Line:
            return DecodeMessage(line, problem);
        case CLineSplitter::Result::TooLong:
            problem = "the owner sent a line too long";
            return std::nullopt;
        case CLineSplitter::Result::NeedMore:
            break;
        }
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (received <= 0) {
            problem = received == 0 ? "the owner hung up" : std::strerror(errno);
            return std::nullopt;
        }
        splitter.Feed({buffer.data(), static_cast<std::size_t>(received)});
    }
}

int Connect(const std::string& endpointPath, int& error) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (endpointPath.size() >= sizeof(address.sun_path)) {
        ::close(fd);
        error = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, endpointPath.data(), endpointPath.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::optional<CAttachedMeter::Owner> CAttachedMeter::AskOwner(const std::string& endpointPath) {
    int error = 0;
    const int fd = Connect(endpointPath, error);
    if (fd < 0) {
        return std::nullopt;
    }
    SetReceiveTimeout(fd, kHandshakeSeconds);
    CLineSplitter splitter;
    std::string problem;
    const std::optional<ShareMessage> hello = ReadMessage(fd, splitter, problem);
    ::close(fd);
    if (!hello || hello->kind != ShareMessage::Kind::Hello) {
        return std::nullopt;
    }
    return Owner{hello->ownerPid,   hello->ownerProgram, hello->intervalMs, hello->probeFamily,
                 hello->probeModel, hello->meterId,      hello->devicePath};
}

std::unique_ptr<CAttachedMeter> CAttachedMeter::Attach(const std::string& endpointPath,
                                                       const std::string& meterId, int periodMs,
                                                       Outcome& outcome, std::string& problem) {
    outcome = Outcome::NoOwner;
    int error = 0;
    const int fd = Connect(endpointPath, error);
    if (fd < 0) {
        if (error == EACCES || error == EPERM) {
            outcome = Outcome::Refused;
            problem = "the meter's endpoint belongs to another user";
        }
        return nullptr;
    }
    SetReceiveTimeout(fd, kHandshakeSeconds);
    CLineSplitter splitter;
    const std::optional<ShareMessage> hello = ReadMessage(fd, splitter, problem);
    if (!hello || hello->kind != ShareMessage::Kind::Hello) {
        if (hello && hello->kind == ShareMessage::Kind::Error) {
            outcome = Outcome::Refused;
            problem = hello->reason;
        }
        ::close(fd);
        return nullptr;
    }
    if (hello->version != kShareProtocolVersion || hello->meterId != meterId) {
        outcome = Outcome::Refused;
        problem = hello->version != kShareProtocolVersion
                      ? "the meter's owner speaks version " + std::to_string(hello->version) +
                            " of the protocol, this program version " +
                            std::to_string(kShareProtocolVersion)
                      : "the endpoint serves meter " + hello->meterId;
        ::close(fd);
        return nullptr;
    }
    ShareMessage watch;
    watch.kind = ShareMessage::Kind::Watch;
    watch.intervalMs = periodMs;
    if (!SendAll(fd, EncodeMessage(watch))) {
        ::close(fd);
        return nullptr;
    }
    const std::optional<ShareMessage> answer = ReadMessage(fd, splitter, problem);
    if (!answer || answer->kind != ShareMessage::Kind::Watching) {
        if (answer && answer->kind == ShareMessage::Kind::Error) {
            outcome = Outcome::Refused;
            problem = answer->reason;
        }
        ::close(fd);
        return nullptr;
    }
    SetReceiveTimeout(fd, 0);
    outcome = Outcome::Attached;
    Owner owner{hello->ownerPid,   hello->ownerProgram, hello->intervalMs, hello->probeFamily,
                hello->probeModel, hello->meterId,      hello->devicePath};
    return std::unique_ptr<CAttachedMeter>(
        new CAttachedMeter(fd, std::move(owner), answer->intervalMs, std::move(splitter)));
}

CAttachedMeter::CAttachedMeter(int fd, Owner owner, int periodMs, CLineSplitter rest)
    : m_fd(fd), m_owner(std::move(owner)), m_nPeriodMs(periodMs), m_splitter(std::move(rest)) {}

CAttachedMeter::~CAttachedMeter() {
    m_bClosing = true;
    ::shutdown(m_fd, SHUT_RDWR);
    if (m_reader.joinable()) {
        m_reader.join();
    }
    ::close(m_fd);
}

void CAttachedMeter::SetEndingHandler(std::function<void(Ending)> handler) {
    std::lock_guard lock(m_listenerMutex);
    m_endingHandler = std::move(handler);
}

bool CAttachedMeter::SetPollPeriod(int periodMs, std::string& problem) {
    if (periodMs == m_nPeriodMs) {
        return true;
    }
    problem = "the meter's owner (" + m_owner.program + ", pid " + std::to_string(m_owner.pid) +
              ") polls it every " + std::to_string(m_owner.intervalMs) + " ms";
    return false;
}

void CAttachedMeter::Join(ReadingListener& listener) {
    std::lock_guard lock(m_listenerMutex);
    m_pListener = &listener;
    if (!m_reader.joinable()) {
        m_reader = std::thread([this] { ReadMessages(); });
    }
}

void CAttachedMeter::Leave(ReadingListener& listener, bool) {
    std::lock_guard lock(m_listenerMutex);
    if (m_pListener == &listener) {
        m_pListener = nullptr;
    }
}

void CAttachedMeter::ReadMessages() {
    Ending ending = Ending::OwnerGone;
    for (;;) {
        std::string problem;
        const std::optional<ShareMessage> message = ReadMessage(m_fd, m_splitter, problem);
        if (!message) {
            break;
        }
        if (message->kind == ShareMessage::Kind::End) {
            ending = message->why == "meter_lost" ? Ending::MeterLost : Ending::OwnerGone;
            break;
        }
        if (message->kind == ShareMessage::Kind::Error) {
            break;
        }
        std::lock_guard lock(m_listenerMutex);
        if (m_pListener == nullptr) {
            continue;
        }
        if (message->kind == ShareMessage::Kind::Sample) {
            m_pListener->OnReading(message->reading);
        } else if (message->kind == ShareMessage::Kind::Lost) {
            m_pListener->OnReadingsLost(message->lostSamples);
        }
    }
    m_bOpen = false;
    if (m_bClosing) {
        return;
    }
    std::function<void(Ending)> handler;
    {
        std::lock_guard lock(m_listenerMutex);
        handler = m_endingHandler;
    }
    if (handler) {
        handler(ending);
    }
}

} // namespace zelmora
