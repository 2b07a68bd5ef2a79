#pragma once

#include "usb/UsbEndpoint.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace zelmora {

// One interface entry (one alternate setting) of a configuration, with the
// endpoints its descriptors announce.
class CUsbInterface {
public:
    static constexpr std::size_t kSlotCount = 16; // slot 0 is the control endpoint

    // `bytes` starts at the interface descriptor and runs to the end of the
    // configuration's data: the walk never reads beyond it.
    CUsbInterface(UsbDriver& driver, DriverHandle deviceHandle,
                  std::span<const std::uint8_t> bytes);
    CUsbInterface(const CUsbInterface&) = delete;
    CUsbInterface& operator=(const CUsbInterface&) = delete;
    ~CUsbInterface();

    // Slot 0 refers to the device's control endpoint once this entry is the
    // current one (not owned); slots 1 to 15 are owned, null when empty.
    std::array<CUsbEndpoint*, kSlotCount> m_endpoints{};
    std::uint8_t m_bLength = 0;
    std::uint8_t m_bDescriptorType = 0;
    std::uint8_t m_bInterfaceNumber = 0;
    std::uint8_t m_bAlternateSetting = 0;
    std::uint8_t m_bNumEndpoints = 0;
    std::uint8_t m_bInterfaceClass = 0;
    std::uint8_t m_bInterfaceSubClass = 0;
    std::uint8_t m_bInterfaceProtocol = 0;
    std::uint8_t m_iInterface = 0;
    std::uint8_t m_altSettingCount = 0; // entries with this bInterfaceNumber
    std::uint16_t m_totalLength = 0;    // bytes covered by this entry's walk

private:
    std::array<std::unique_ptr<CUsbEndpoint>, kSlotCount> m_ownedEndpoints;
};

} // namespace zelmora
