#include "usb/driver/UsbDescriptors.h"

#include <algorithm>
#include <set>

namespace zelmora {

namespace {

void Put16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

} // namespace

std::vector<std::uint8_t> UsbDescriptors::Device(const DeviceFields& f) {
    std::vector<std::uint8_t> bytes{18, 1};
    Put16(bytes, f.bcdUsb);
    bytes.insert(bytes.end(),
                 {f.deviceClass, f.deviceSubClass, f.deviceProtocol, f.maxPacketSize0});
    Put16(bytes, f.vendorId);
    Put16(bytes, f.productId);
    Put16(bytes, f.bcdDevice);
    bytes.insert(bytes.end(),
                 {f.manufacturerIndex, f.productIndex, f.serialNumberIndex, f.configurationCount});
    return bytes;
}

std::vector<std::uint8_t> UsbDescriptors::Configuration(const ConfigurationFields& f) {
    std::set<std::uint8_t> numbers;
    std::vector<std::uint8_t> body;
    for (const InterfaceFields& in : f.interfaces) {
        numbers.insert(in.number);
        body.insert(body.end(), {9, 4, in.number, in.alternateSetting,
                                 static_cast<std::uint8_t>(in.endpoints.size()), in.interfaceClass,
                                 in.interfaceSubClass, in.interfaceProtocol, in.stringIndex});
        for (const auto& extra : in.extra) {
            body.insert(body.end(), extra.begin(), extra.end());
        }
        for (const EndpointFields& ep : in.endpoints) {
            body.insert(body.end(), {7, 5, ep.address, ep.attributes});
            Put16(body, ep.maxPacketSize);
            body.push_back(ep.interval);
        }
    }
    std::vector<std::uint8_t> bytes{9, 2};
    Put16(bytes, static_cast<std::uint16_t>(9 + body.size()));
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(numbers.size()), f.value, f.stringIndex,
                               f.attributes, f.maxPower});
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<std::uint8_t> UsbDescriptors::String(std::u16string_view text) {
    const std::size_t units = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * units), 3};
    for (std::size_t i = 0; i < units; ++i) {
        Put16(bytes, static_cast<std::uint16_t>(text[i]));
    }
    return bytes;
}

std::vector<std::uint8_t>
UsbDescriptors::LanguageTable(std::initializer_list<std::uint16_t> languages) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * languages.size()), 3};
    for (std::uint16_t language : languages) {
        Put16(bytes, language);
    }
    return bytes;
}

} // namespace zelmora
