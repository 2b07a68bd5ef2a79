#include "share/ShareEndpoint.h"
#include "share/SharePipe.h"

#include <windows.h>

namespace zelmora {

namespace {

constexpr const char* kPipeFolder = "\\\\.\\pipe\\";
// A pipe's name may hold 256 characters after the folder.
constexpr std::size_t kMaxPipeName = 256;

std::string EndpointPrefix(const std::string& sid) {
    return "zelmora-meter-" + sid + "-" + ShareScope() + "-";
}

} // namespace

std::optional<std::string> EndpointFolder(std::string& problem) {
    problem = "the endpoints are named pipes";
    return std::nullopt;
}

std::optional<ShareNames> NamesOfMeter(const std::string& meterId, std::string& problem) {
    const std::string sid = ThisUserSid();
    if (sid.empty()) {
        problem = "this process's user cannot be told";
        return std::nullopt;
    }
    ShareNames names;
    names.scope = ShareScope();
    const std::string meter = ShareSafeName(meterId);
    const std::string endpoint = EndpointPrefix(sid) + meter;
    const std::string lock = "zelmora-owner-" + sid + "-" + names.scope + "-" + meter;
    if (lock.size() > kMaxPipeName || endpoint.size() > kMaxPipeName) {
        problem = "the endpoint's name is too long for a pipe: " + endpoint;
        return std::nullopt;
    }
    names.endpointPath = kPipeFolder + endpoint;
    names.lockName = kPipeFolder + lock;
    return names;
}

std::vector<std::string> ServedEndpoints() {
    std::vector<std::string> endpoints;
    const std::string sid = ThisUserSid();
    if (sid.empty()) {
        return endpoints;
    }
    const std::string prefix = EndpointPrefix(sid);
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((std::string(kPipeFolder) + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return endpoints;
    }
    do {
        const std::string name = found.cFileName;
        if (name.starts_with(prefix)) {
            endpoints.push_back(kPipeFolder + name);
        }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return endpoints;
}

std::unique_ptr<COwnershipLock> COwnershipLock::TryTake(const std::string& lockName) {
    DWORD error = 0;
    // One end, never connected: it is there for its name alone.
    HANDLE pipe = CreateOwnPipe(lockName, true, 1, error);
    if (pipe == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return std::unique_ptr<COwnershipLock>(
        new COwnershipLock(reinterpret_cast<std::intptr_t>(pipe)));
}

COwnershipLock::~COwnershipLock() {
    ::CloseHandle(reinterpret_cast<HANDLE>(m_native));
}

} // namespace zelmora
