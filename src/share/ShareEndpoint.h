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
// On Windows both are named pipes whose names hold the user's security id,
// the scope and the meter id, made with an access list that lets this user
// alone in: the lock a pipe that no client opens, made as the first end of
// its name (a second one fails, atomically), the endpoint a pipe of its own
// with an end for each client. A pipe goes with the last handle to it, so a
// killed owner leaves nothing behind.
//
// ZELMORA_SHARE_SCOPE, when set, is part of every name, so that test runs
// never meet each other or the user's own session.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmora {

struct ShareNames {
    // The scope's part of the names ("default" without the variable).
    std::string scope;
    // The lock's name: an abstract socket name without its leading zero
    // byte; a pipe's name on Windows.
    std::string lockName;
    // The endpoint's path: a socket's, or a pipe's name on Windows.
    std::string endpointPath;
};

// The names for a meter id. None, with the reason, when there is no
// folder of this user's own for the endpoint (or the path would be too
// long for a socket address).
std::optional<ShareNames> NamesOfMeter(const std::string& meterId, std::string& problem);

// The folder of the endpoints, created 0700 when missing; none when it is
// not this user's own. Linux only.
std::optional<std::string> EndpointFolder(std::string& problem);

// The endpoints of this user and scope that are there now, some perhaps
// left by owners that ended.
std::vector<std::string> ServedEndpoints();

// The scope's part of the names, and a text made fit for a name: letters,
// digits, '-', '_' and '.' pass, anything else becomes '_'.
std::string ShareScope();
std::string ShareSafeName(const std::string& text);

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
    explicit COwnershipLock(std::intptr_t native) : m_native(native) {}
    // A socket, or a pipe's handle on Windows.
    std::intptr_t m_native = -1;
};

} // namespace zelmora
