#include "usb/UsbConfiguration.h"

#include "usb/driver/DriverRequest.h"

#include <algorithm>

namespace zelmora {

namespace {

constexpr std::uint8_t kInterfaceDescriptor = 4;

} // namespace

CUsbConfiguration::CUsbConfiguration(UsbDriver& driver, DriverHandle deviceHandle,
                                     std::span<const std::uint8_t> raw) {
    m_bLength = DriverRequest::Read8(raw, 0);
    m_bDescriptorType = DriverRequest::Read8(raw, 1);
    m_wTotalLength = DriverRequest::Read16(raw, 2);
    m_bNumInterfaces = DriverRequest::Read8(raw, 4);
    m_bConfigurationValue = DriverRequest::Read8(raw, 5);
    m_iConfiguration = DriverRequest::Read8(raw, 6);
    m_bmAttributes = DriverRequest::Read8(raw, 7);
    m_bMaxPower = DriverRequest::Read8(raw, 8);

    // The walk covers what the descriptor claims and what was received,
    // whichever is less; a descriptor that claims no length ends it.
    const std::span<const std::uint8_t> data =
        raw.first(std::min<std::size_t>(raw.size(), m_wTotalLength));
    std::size_t position = m_bLength;
    while (position + 2 <= data.size() && m_entryCount < kMaxEntries) {
        std::size_t step = data[position];
        if (data[position + 1] == kInterfaceDescriptor) {
            auto entry =
                std::make_unique<CUsbInterface>(driver, deviceHandle, data.subspan(position));
            step = entry->m_totalLength;
            m_interfaces[m_entryCount++] = std::move(entry);
        }
        if (step == 0) {
            break;
        }
        position += step;
    }

    for (std::size_t i = 0; i < m_entryCount; ++i) {
        m_interfaces[i]->m_altSettingCount = static_cast<std::uint8_t>(std::count_if(
            m_interfaces.begin(), m_interfaces.begin() + m_entryCount, [&](const auto& other) {
                return other->m_bInterfaceNumber == m_interfaces[i]->m_bInterfaceNumber;
            }));
    }
}

CUsbConfiguration::~CUsbConfiguration() = default;

} // namespace zelmora
