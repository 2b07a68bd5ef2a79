#include "share/ShareEndpoint.h"

#include <cstdlib>

namespace zelmora {

namespace {

constexpr std::size_t kMaxScope = 64;

} // namespace

// Letters, digits, '-', '_' and '.' pass; anything else becomes '_', so
// that no name leaves its folder or its namespace.
std::string ShareSafeName(const std::string& text) {
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

std::string ShareScope() {
    const char* scope = std::getenv("ZELMORA_SHARE_SCOPE");
    if (scope == nullptr || *scope == '\0') {
        return "default";
    }
    return ShareSafeName(std::string(scope).substr(0, kMaxScope));
}

} // namespace zelmora
