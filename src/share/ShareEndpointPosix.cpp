#include "share/ShareEndpoint.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelmora {

namespace {

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
    names.scope = ShareScope();
    const std::string meter = ShareSafeName(meterId);
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

std::vector<std::string> ServedEndpoints() {
    std::vector<std::string> endpoints;
    std::string problem;
    const std::optional<std::string> folder = EndpointFolder(problem);
    if (!folder) {
        return endpoints;
    }
    const std::string prefix = ShareScope() + "-";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(*folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(".sock")) {
            endpoints.push_back(entry.path().string());
        }
    }
    return endpoints;
}

namespace {

// The locks this process holds. A child made by fork() inherits their
// sockets, and while any copy of one stays open the name stays bound: the
// meter could not pass to another process until the child ended. The
// child closes its copies at once (it is no meter's owner).
std::mutex g_locksMutex;
std::set<std::intptr_t*> g_lockFds; // guarded by g_locksMutex

void RegisterForkHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Held across the fork, so that the child finds the set whole and
        // the mutex free.
        pthread_atfork([] { g_locksMutex.lock(); }, [] { g_locksMutex.unlock(); },
                       [] {
                           for (std::intptr_t* fd : g_lockFds) {
                               ::close(static_cast<int>(*fd));
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
    g_lockFds.insert(&lock->m_native);
    return lock;
}

COwnershipLock::~COwnershipLock() {
    std::lock_guard guard(g_locksMutex);
    g_lockFds.erase(&m_native);
    // Closed already where this is a forked child's copy.
    if (m_native >= 0) {
        ::close(static_cast<int>(m_native));
    }
}

} // namespace zelmora
