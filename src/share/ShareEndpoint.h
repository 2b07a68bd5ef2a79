#pragma once

// Where the owner of a meter is found, and how a process becomes the owner.
//
// Ownership is a lock the system releases when the process ends however it
// ends: on Linux the bind of an abstract Unix socket whose name holds the
// user id, the scope and the meter id (a second bind of the same name fails,
// atomically; nothing of it is left behind after a SIGKILL).
//
// The owner serves the meter on an endpoint only this user reaches: a Unix
// socket in $XDG_RUNTIME_DIR/zelmora/ (or /tmp/zelmora-<uid>/, checked to be
// this user's own), in a folder of mode 0700. An endpoint file left behind
// by an owner that died is removed by the next owner, which holds the lock.
//
// ZELMORA_SHARE_SCOPE, when set, is part of every name, so that test runs
// never meet each other or the user's own session.

#include <memory>
#include <optional>
#include <string>

namespace zelmora {

struct ShareNames {
    // The scope's part of the names ("default" without the variable).
    std::string scope;
    // The abstract socket name of the lock, without its leading zero byte.
    std::string lockName;
    // The endpoint's path.
    std::string endpointPath;
};

// The names for a meter id. None, with the reason, when there is no
// folder of this user's own for the endpoint (or the path would be too
// long for a socket address).
std::optional<ShareNames> NamesOfMeter(const std::string& meterId, std::string& problem);

// The folder of the endpoints, created 0700 when missing; none when it is
// not this user's own.
std::optional<std::string> EndpointFolder(std::string& problem);

// The ownership lock of one meter, held while the object lives.
class COwnershipLock {
public:
    // The lock if no one holds it; none when another process (or this one)
    // does.
    static std::unique_ptr<COwnershipLock> TryTake(const std::string& lockName);
    COwnershipLock(const COwnershipLock&) = delete;
    COwnershipLock& operator=(const COwnershipLock&) = delete;
    ~COwnershipLock();

private:
    explicit COwnershipLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

} // namespace zelmora
