#pragma once

#include "usb/UsbInterface.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace zelmora {

// One configuration of a device, built from its raw descriptor bytes: every
// interface entry (each alternate setting separately) in descriptor order.
class CUsbConfiguration {
public:
    static constexpr std::size_t kMaxEntries = 8;

    // `raw` is the whole configuration descriptor as read from the device;
    // nothing beyond it is read, and the walk always ends.
    CUsbConfiguration(UsbDriver& driver, DriverHandle deviceHandle,
                      std::span<const std::uint8_t> raw);
    CUsbConfiguration(const CUsbConfiguration&) = delete;
    CUsbConfiguration& operator=(const CUsbConfiguration&) = delete;
    ~CUsbConfiguration();

    std::array<std::unique_ptr<CUsbInterface>, kMaxEntries> m_interfaces;
    std::uint8_t m_bLength = 0;
    std::uint8_t m_bDescriptorType = 0;
    std::uint16_t m_wTotalLength = 0;
    std::uint8_t m_bNumInterfaces = 0;
    std::uint8_t m_bConfigurationValue = 0;
    std::uint8_t m_iConfiguration = 0;
    std::uint8_t m_bmAttributes = 0;
    std::uint8_t m_bMaxPower = 0;
    std::uint8_t m_entryCount = 0;
};

} // namespace zelmora
