#pragma once

// Builds well-formed standard descriptor bytes for virtual devices.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace zelmora {

class UsbDescriptors {
public:
    struct DeviceFields {
        std::uint16_t bcdUsb = 0x0200;
        std::uint8_t deviceClass = 0xFF;
        std::uint8_t deviceSubClass = 0;
        std::uint8_t deviceProtocol = 0;
        std::uint8_t maxPacketSize0 = 64;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        std::uint16_t bcdDevice = 0x0100;
        std::uint8_t manufacturerIndex = 0;
        std::uint8_t productIndex = 0;
        std::uint8_t serialNumberIndex = 0;
        std::uint8_t configurationCount = 1;
    };

    struct EndpointFields {
        std::uint8_t address = 0;
        std::uint8_t attributes = 0;
        std::uint16_t maxPacketSize = 64;
        std::uint8_t interval = 0;
    };

    struct InterfaceFields {
        std::uint8_t number = 0;
        std::uint8_t alternateSetting = 0;
        std::uint8_t interfaceClass = 0xFF;
        std::uint8_t interfaceSubClass = 0;
        std::uint8_t interfaceProtocol = 0;
        std::uint8_t stringIndex = 0;
        std::vector<EndpointFields> endpoints;
        // Class-specific descriptors put between the interface descriptor and
        // its endpoints, each given whole.
        std::vector<std::vector<std::uint8_t>> extra;
    };

    struct ConfigurationFields {
        std::uint8_t value = 1;
        std::uint8_t stringIndex = 0;
        std::uint8_t attributes = 0x80;
        std::uint8_t maxPower = 50;
        std::vector<InterfaceFields> interfaces; // every alternate setting
    };

    static std::vector<std::uint8_t> Device(const DeviceFields& fields);
    // wTotalLength and bNumInterfaces (distinct interface numbers) are
    // computed.
    static std::vector<std::uint8_t> Configuration(const ConfigurationFields& fields);
    static std::vector<std::uint8_t> String(std::u16string_view text);
    static std::vector<std::uint8_t> LanguageTable(std::initializer_list<std::uint16_t> languages);
};

} // namespace zelmora
