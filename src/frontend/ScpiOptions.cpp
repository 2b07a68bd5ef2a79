#include "frontend/ScpiOptions.h"

#include "util/TextFormat.h"

#include <algorithm>

namespace zelmora {

std::optional<int> ScpiOptions::ParsePort(std::string_view text) {
    std::size_t end = 0;
    const auto port = ScanInt(text, &end);
    if (!port || end != text.size() || text[0] < '0' || text[0] > '9' || *port < 1 ||
        *port > 65535) {
        return std::nullopt;
    }
    return port;
}

std::string ScpiOptions::SetListen(const std::string& value) {
    // [ADDR:]PORT; an IPv6 address in brackets.
    std::string host;
    std::string portText = value;
    if (const std::size_t colon = value.rfind(':'); colon != std::string::npos) {
        host = value.substr(0, colon);
        portText = value.substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
    }
    const auto number = ParsePort(portText);
    if (!number || (value.find(':') != std::string::npos && host.empty())) {
        return "takes [ADDRESS:]PORT (PORT 1 to 65535), not '" + PrintableExcerpt(value, 60) + "'";
    }
    if (!host.empty()) {
        address = host;
    }
    port = *number;
    return std::string();
}

std::string ScpiOptions::AddAllowed(const std::string& value) {
    std::size_t start = 0;
    while (start <= value.size()) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        const std::string prefix = value.substr(start, comma - start);
        if (prefix.empty() ||
            prefix.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) {
            return "takes address prefixes such as 192.168.1. or 10.0.0.7, not '" +
                   PrintableExcerpt(value, 60) + "'";
        }
        allow.push_back(prefix);
        start = comma + 1;
    }
    return std::string();
}

std::string ScpiOptions::HostText() const {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

std::string ScpiOptions::Help() {
    return "  --scpi [ADDR:]PORT  serve the meters present at the start as SCPI instruments\n"
           "                      (VISA TCPIP::HOST::PORT::SOCKET) while the window is\n"
           "                      open: the first on PORT, the next on PORT+1 ...; on\n"
           "                      127.0.0.1 unless ADDR is given\n"
           "  --allow PREFIX,...  only addresses starting with one of these may connect\n"
           "                      (others are refused and logged); default: any\n";
}

} // namespace zelmora
