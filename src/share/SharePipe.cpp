#include "share/SharePipe.h"

#include <memory>
#include <vector>
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <sddl.h>

namespace zelmora {

namespace {

// The pipe's own buffers: a few dozen samples, so that a client's backlog
// waits in its queue, where it is counted.
constexpr DWORD kPipeBuffer = 8192;

// The token's user, as the buffer GetTokenInformation fills.
std::vector<unsigned char> TokenUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD size = 0;
    ::GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, ::TokenUser, buffer.data(), size, &size)) {
        buffer.clear();
    }
    ::CloseHandle(token);
    return buffer;
}

} // namespace

std::string ThisUserSid() {
    std::vector<unsigned char> user = TokenUser();
    if (user.empty()) {
        return {};
    }
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
        return {};
    }
    std::string sid(text);
    ::LocalFree(text);
    return sid;
}

void* CreateOwnPipe(const std::string& name, bool first, unsigned long maxInstances,
                    unsigned long& error) {
    std::vector<unsigned char> user = TokenUser();
    if (user.empty()) {
        error = ::GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    // One entry: this user, full access. No one else, not even the
    // administrators' group, is let in.
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
    std::vector<unsigned char> aclBuffer(aclSize);
    auto* acl = reinterpret_cast<ACL*>(aclBuffer.data());
    SECURITY_DESCRIPTOR descriptor{};
    if (!::InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) ||
        !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorOwner(&descriptor, sid, FALSE)) {
        error = ::GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    const DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode =
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    HANDLE pipe = ::CreateNamedPipeA(name.c_str(), openMode, pipeMode, maxInstances, kPipeBuffer,
                                     kPipeBuffer, 0, &attributes);
    error = pipe == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    return pipe;
}

} // namespace zelmora
