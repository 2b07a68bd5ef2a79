#include "share/ShareTransport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelmora {

// --- The owner's side ----------------------------------------------------------

struct CShareListener::Native {
    explicit Native(asio::io_context& loop) : acceptor(loop) {}
    asio::local::stream_protocol::acceptor acceptor;
};

CShareListener::CShareListener(asio::io_context& loop)
    : m_loop(loop), m_native(std::make_unique<Native>(loop)) {}

CShareListener::~CShareListener() = default;

bool CShareListener::Open(const std::string& endpoint, std::string& problem) {
    // A file left by an owner that died; the lock says no one uses it.
    ::unlink(endpoint.c_str());
    asio::error_code error;
    auto& acceptor = m_native->acceptor;
    const asio::local::stream_protocol::endpoint address(endpoint);
    acceptor.open(address.protocol(), error);
    if (!error) {
        acceptor.bind(address, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        problem = "cannot serve the meter on " + endpoint + ": " + error.message();
        return false;
    }
    return true;
}

void CShareListener::AsyncAccept(AcceptHandler handler) {
    m_native->acceptor.async_accept(std::move(handler));
}

void CShareListener::Close() {
    asio::error_code ignored;
    m_native->acceptor.close(ignored);
}

std::ptrdiff_t SendNow(ShareStream& stream, const asio::const_buffer* buffers, std::size_t count) {
    std::array<iovec, kMaxSendBuffers> vectors{};
    count = std::min(count, vectors.size());
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void*>(buffers[i].data());
        vectors[i].iov_len = buffers[i].size();
    }
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(stream.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    }
    return sent;
}

bool PeerIsThisUser(ShareStream& stream) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(stream.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return false;
    }
    return credentials.uid == ::geteuid();
}

void LimitSendBuffer(ShareStream& stream, std::size_t bytes) {
    const int size = static_cast<int>(bytes);
    ::setsockopt(stream.native_handle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

void CloseStream(ShareStream& stream) {
    asio::error_code ignored;
    stream.shutdown(ShareStream::shutdown_both, ignored);
    stream.close(ignored);
}

void RemoveEndpoint(const std::string& endpoint) {
    ::unlink(endpoint.c_str());
}

std::int64_t ThisProcessId() {
    return ::getpid();
}

// --- The client's side ---------------------------------------------------------

struct CShareConnection::Native {
    int fd = -1;
};

CShareConnection::CShareConnection(std::unique_ptr<Native> native) : m_native(std::move(native)) {}

CShareConnection::~CShareConnection() {
    ::close(m_native->fd);
}

std::unique_ptr<CShareConnection> CShareConnection::Connect(const std::string& endpoint,
                                                            Failure& failure) {
    failure = Failure::NoOwner;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (endpoint.size() >= sizeof(address.sun_path)) {
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    std::memcpy(address.sun_path, endpoint.data(), endpoint.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno == EACCES || errno == EPERM) {
            failure = Failure::OtherUser;
        }
        ::close(fd);
        return nullptr;
    }
    failure = Failure::None;
    auto native = std::make_unique<Native>();
    native->fd = fd;
    return std::unique_ptr<CShareConnection>(new CShareConnection(std::move(native)));
}

void CShareConnection::SetReadTimeout(int seconds) {
    timeval timeout{};
    timeout.tv_sec = seconds;
    ::setsockopt(m_native->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

std::ptrdiff_t CShareConnection::Read(char* buffer, std::size_t size, std::string& problem) {
    const ssize_t received = ::recv(m_native->fd, buffer, size, 0);
    if (received < 0) {
        problem = std::strerror(errno);
    }
    return received;
}

bool CShareConnection::SendAll(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(m_native->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void CShareConnection::Interrupt() {
    ::shutdown(m_native->fd, SHUT_RDWR);
}

} // namespace zelmora
