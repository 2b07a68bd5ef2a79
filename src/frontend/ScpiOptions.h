#pragma once

// Where meters are served as SCPI instruments, as every program that
// serves them takes it on its command line: --scpi [ADDR:]PORT and
// --allow PREFIX,...

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

struct ScpiOptions {
    // Loopback unless an address is given.
    std::string address = "127.0.0.1";
    // The first meter's port; 0 when nothing is served.
    int port = 0;
    // Address prefixes that may connect; any when empty.
    std::vector<std::string> allow;

    // Each reads the value of its option; the problem ("takes ...") when it
    // is not one, else empty.
    std::string SetListen(const std::string& value);
    std::string AddAllowed(const std::string& value);

    // A port number from 1 to 65535, digits only.
    static std::optional<int> ParsePort(std::string_view text);
    // "127.0.0.1", "[::1]": the address as a resource string takes it.
    std::string HostText() const;
    // The lines of the window's --help that describe --scpi and --allow.
    static std::string Help();
};

} // namespace zelmora
