#include "share/ShareEndpoint.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelmora {

namespace {

constexpr std::size_t kMaxScope = 64;

// Letters, digits, '-', '_' and '.' pass; anything else becomes '_', so
// that no name leaves its folder or its namespace.
std::string Sanitized(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        out.push_back(plain ? c : '_');
    }
    if (out.empty() || out.front() == '.') {
        out.insert(out.begin(), '_');
    }
    return out;
}

std::string Scope() {
    const char* scope = std::getenv("ZELMORA_SHARE_SCOPE");
    if (scope == nullptr || *scope == '\0') {
        return "default";
    }
    return Sanitized(std::string(scope).substr(0, kMaxScope));
}

// A folder that is ours alone: a real folder (no link), owned by this user,
// no access for anyone else. Created with mode 0700 when missing.
bool OwnFolder(const std::string& path, std::string& problem) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        problem = "cannot look at " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        problem = path + " is not a folder of this user's own";
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        problem = path + " is open to others and cannot be closed";
        return false;
    }
    return true;
}

} // namespace

std::optional<std::string> EndpointFolder(std::string& problem) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        const std::string folder = std::string(runtime) + "/zelmora";
        if (OwnFolder(folder, problem)) {
            return folder;
        }
    }
    const std::string fallback = "/tmp/zelmora-" + std::to_string(::geteuid());
    if (OwnFolder(fallback, problem)) {
        return fallback;
    }
    return std::nullopt;
}

std::optional<ShareNames> NamesOfMeter(const std::string& meterId, std::string& problem) {
    const std::optional<std::string> folder = EndpointFolder(problem);
    if (!folder) {
        return std::nullopt;
    }
    ShareNames names;
    names.scope = Scope();
    const std::string meter = Sanitized(meterId);
    names.lockName =
        "zelmora-meter-" + std::to_string(::geteuid()) + "-" + names.scope + "-" + meter;
    names.endpointPath = *folder + "/" + names.scope + "-" + meter + ".sock";
    if (names.endpointPath.size() >= sizeof(sockaddr_un::sun_path) ||
        names.lockName.size() + 1 >= sizeof(sockaddr_un::sun_path)) {
        problem = "the endpoint's path is too long for a socket: " + names.endpointPath;
        return std::nullopt;
    }
    return names;
}

namespace {

// The locks this process holds. A child made by fork() inherits their
// sockets, and while any copy of one stays open the name stays bound: the
// meter could not pass to another process until the child ended. The
// child closes its copies at once (it is no meter's owner).
std::mutex g_locksMutex;
std::set<int*> g_lockFds; // guarded by g_locksMutex

void RegisterForkHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Held across the fork, so that the child finds the set whole and
        // the mutex free.
        pthread_atfork([] { g_locksMutex.lock(); }, [] { g_locksMutex.unlock(); },
                       [] {
                           for (int* fd : g_lockFds) {
                               ::close(*fd);
                               *fd = -1;
                           }
                           g_lockFds.clear();
                           g_locksMutex.unlock();
                       });
    });
}

} // namespace

std::unique_ptr<COwnershipLock> COwnershipLock::TryTake(const std::string& lockName) {
    RegisterForkHandler();
    // No fork between the bind and the registration.
    std::lock_guard guard(g_locksMutex);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // The abstract namespace: a zero byte first, no file.
    std::memcpy(address.sun_path + 1, lockName.data(), lockName.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + lockName.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<COwnershipLock> lock(new COwnershipLock(fd));
    g_lockFds.insert(&lock->m_fd);
    return lock;
}

COwnershipLock::~COwnershipLock() {
    std::lock_guard guard(g_locksMutex);
    g_lockFds.erase(&m_fd);
    // Closed already where this is a forked child's copy.
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace zelmora
