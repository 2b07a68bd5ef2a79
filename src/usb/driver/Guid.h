#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zelmora {

// A device-interface class identifier, laid out as the platform's GUID.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;
};

// The interface class that the meter's kernel driver publishes.
inline constexpr Guid kMeterInterfaceGuid{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

// "{AE18AA60-7F6A-11D4-97DD-00010229B959}"
std::string FormatGuid(const Guid& guid);

} // namespace zelmora
