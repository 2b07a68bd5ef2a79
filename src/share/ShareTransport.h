#pragma once

// What carries the messages between an owner and its clients, per platform:
// a Unix-domain socket on Linux, a named pipe on Windows. The owner's
// server and the attached client are written once above these few calls.

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#if defined(_WIN32)
#include <asio/windows/stream_handle.hpp>
#else
#include <asio/local/stream_protocol.hpp>
#endif

namespace zelmora {

// --- The owner's side, on its event loop's thread ----------------------------

#if defined(_WIN32)
using ShareStream = asio::windows::stream_handle;
#else
using ShareStream = asio::local::stream_protocol::socket;
#endif

// Takes the clients' connections on a meter's endpoint.
class CShareListener {
public:
    using AcceptHandler = std::function<void(const asio::error_code&, ShareStream)>;

    explicit CShareListener(asio::io_context& loop);
    CShareListener(const CShareListener&) = delete;
    CShareListener& operator=(const CShareListener&) = delete;
    ~CShareListener();

    // Makes the endpoint; false with the reason when it cannot. The caller
    // holds the meter's ownership lock, so anything found there was left by
    // an owner that ended.
    bool Open(const std::string& endpoint, std::string& problem);
    // The next connection; the handler gets an error once Close was called.
    void AsyncAccept(AcceptHandler handler);
    void Close();

private:
    struct Native;
    // Used by the Windows listener only.
    [[maybe_unused]] asio::io_context& m_loop;
    // Shared with the handlers of the pending accept.
    std::shared_ptr<Native> m_native;
};

// Sends what the stream takes now of `count` buffers, in one write, without
// waiting for the client: the bytes sent (from the first buffer on), or -1
// when the connection failed.
// At most this many buffers are taken at once.
constexpr std::size_t kMaxSendBuffers = 64;
std::ptrdiff_t SendNow(ShareStream& stream, const asio::const_buffer* buffers, std::size_t count);
// Whether the process at the other end runs as this user.
bool PeerIsThisUser(ShareStream& stream);
// Keeps the stream's own buffer small, so that a client's backlog waits in
// its queue, where it is counted.
void LimitSendBuffer(ShareStream& stream, std::size_t bytes);
void CloseStream(ShareStream& stream);
// An endpoint left behind by the owner that ends, where the platform
// leaves one.
void RemoveEndpoint(const std::string& endpoint);

std::int64_t ThisProcessId();

// --- The client's side, blocking -----------------------------------------------

class CShareConnection {
public:
    enum class Failure { None, NoOwner, OtherUser };
    // A connection to the owner at `endpoint`; none with the failure when
    // none is made.
    static std::unique_ptr<CShareConnection> Connect(const std::string& endpoint, Failure& failure);
    CShareConnection(const CShareConnection&) = delete;
    CShareConnection& operator=(const CShareConnection&) = delete;
    ~CShareConnection();

    // How long a read waits (0: as long as it takes).
    void SetReadTimeout(int seconds);
    // Bytes received, 0 when the owner hung up, -1 on a failure, a time-out
    // or after Interrupt (`problem` says which).
    std::ptrdiff_t Read(char* buffer, std::size_t size, std::string& problem);
    bool SendAll(const std::string& bytes);
    // Ends a read that waits now or later, from any thread.
    void Interrupt();

private:
    struct Native;
    explicit CShareConnection(std::unique_ptr<Native> native);
    std::unique_ptr<Native> m_native;
};

} // namespace zelmora
