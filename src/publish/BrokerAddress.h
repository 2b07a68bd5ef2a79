#pragma once

// Where an MQTT broker is, as the operator writes it: mqtt://HOST[:PORT]
// or, over TLS, mqtts://HOST[:PORT] (an IPv6 address in brackets).

#include <string>
#include <string_view>

namespace zelmora {

struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;

    // "mqtt://host:1883", with the port always written.
    std::string Url() const;
};

// Reads `text` into `address`. Empty when it did; otherwise why not, to
// follow the option's name ("takes mqtt://HOST[:PORT] or ...").
std::string ParseBrokerAddress(std::string_view text, BrokerAddress& address);

} // namespace zelmora
