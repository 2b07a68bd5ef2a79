#include "publish/BrokerAddress.h"

#include "util/TextFormat.h"

#include <algorithm>

namespace zelmora {

namespace {

constexpr int kMqttPort = 1883;
constexpr int kMqttsPort = 8883;

std::string Refused(std::string_view text, std::string_view why) {
    return "takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + PrintableExcerpt(text, 80) +
           "'" + (why.empty() ? "" : " (" + std::string(why) + ")");
}

} // namespace

std::string BrokerAddress::Url() const {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + host + "]" : host) +
           Format(":%d", port);
}

std::string ParseBrokerAddress(std::string_view text, BrokerAddress& address) {
    BrokerAddress parsed;
    std::string_view rest = text;
    if (rest.starts_with("mqtt://")) {
        rest.remove_prefix(7);
    } else if (rest.starts_with("mqtts://")) {
        parsed.tls = true;
        rest.remove_prefix(8);
    } else {
        return Refused(text, "");
    }
    if (rest.ends_with('/')) {
        rest.remove_suffix(1);
    }
    // Credentials in the address would sit in the shell's history and in
    // every process listing.
    if (rest.find('@') != std::string_view::npos) {
        return Refused(text, "give the user with --mqtt-user and the password in "
                             "ZELMORA_MQTT_PASSWORD or a file");
    }
    std::string_view port;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            return Refused(text, "an IPv6 address ends with ]");
        }
        parsed.host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return Refused(text, "");
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (!rest.empty() && port.empty()) {
            return Refused(text, "no port after ':'");
        }
    } else {
        const std::size_t colon = rest.find(':');
        parsed.host = rest.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) {
                return Refused(text, "no port after ':'");
            }
        }
    }
    const bool hostOk =
        !parsed.host.empty() && std::all_of(parsed.host.begin(), parsed.host.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '-' || c == '_' || c == ':';
        });
    if (!hostOk) {
        return Refused(text, "no host name or address");
    }
    parsed.port = parsed.tls ? kMqttsPort : kMqttPort;
    if (!port.empty()) {
        std::size_t end = 0;
        const auto number = ScanInt(port, &end);
        if (!number || end != port.size() || port[0] < '0' || port[0] > '9' || *number < 1 ||
            *number > 65535) {
            return Refused(text, "a port is 1 to 65535");
        }
        parsed.port = *number;
    }
    address = std::move(parsed);
    return {};
}

} // namespace zelmora
