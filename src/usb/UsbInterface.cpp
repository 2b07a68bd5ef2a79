#include "usb/UsbInterface.h"

#include "usb/UsbBulkEndpoint.h"
#include "usb/UsbControlEndpoint.h"
#include "usb/UsbIsoEndpoint.h"
#include "usb/driver/DriverRequest.h"

#include <algorithm>

namespace zelmora {

namespace {

constexpr std::uint8_t kEndpointDescriptor = 5;
constexpr std::size_t kEndpointDescriptorSize = 7;
// Descriptors of other kinds (class-specific ones) stepped over per entry.
constexpr int kOtherDescriptorsSkipped = 11;

std::unique_ptr<CUsbEndpoint> MakeEndpoint(UsbDriver& driver, DriverHandle handle,
                                           std::span<const std::uint8_t> descriptor) {
    switch (descriptor[3]) {
    case 0:
        return std::make_unique<CUsbControlEndpoint>(driver, handle, descriptor);
    case 1:
        return std::make_unique<CUsbIsoEndpoint>(driver, handle, descriptor);
    case 2:
    case 3:
        return std::make_unique<CUsbBulkEndpoint>(driver, handle, descriptor);
    default:
        return nullptr;
    }
}

} // namespace

CUsbInterface::CUsbInterface(UsbDriver& driver, DriverHandle deviceHandle,
                             std::span<const std::uint8_t> bytes) {
    m_bLength = DriverRequest::Read8(bytes, 0);
    m_bDescriptorType = DriverRequest::Read8(bytes, 1);
    m_bInterfaceNumber = DriverRequest::Read8(bytes, 2);
    m_bAlternateSetting = DriverRequest::Read8(bytes, 3);
    m_bNumEndpoints = DriverRequest::Read8(bytes, 4);
    m_bInterfaceClass = DriverRequest::Read8(bytes, 5);
    m_bInterfaceSubClass = DriverRequest::Read8(bytes, 6);
    m_bInterfaceProtocol = DriverRequest::Read8(bytes, 7);
    m_iInterface = DriverRequest::Read8(bytes, 8);

    // Walk the descriptors that follow until the announced endpoints have
    // taken their slots. More endpoints than slots are ignored; the walk
    // ends where the data ends or a descriptor claims no length.
    const std::size_t wanted = std::min<std::size_t>(m_bNumEndpoints, kSlotCount - 1);
    std::size_t total = m_bLength;
    std::size_t position = m_bLength;
    std::size_t taken = 0;
    int others = 0;
    while (taken < wanted && position + 2 <= bytes.size()) {
        const std::uint8_t length = bytes[position];
        const std::uint8_t type = bytes[position + 1];
        total += length;
        if (type == kEndpointDescriptor) {
            ++taken;
            if (length >= kEndpointDescriptorSize &&
                bytes.size() - position >= kEndpointDescriptorSize) {
                m_ownedEndpoints[taken] = MakeEndpoint(
                    driver, deviceHandle, bytes.subspan(position, kEndpointDescriptorSize));
                m_endpoints[taken] = m_ownedEndpoints[taken].get();
            }
        } else if (++others > kOtherDescriptorsSkipped) {
            // Past the allowance a foreign descriptor takes a slot that stays
            // empty, and the walk stays on it.
            ++taken;
            continue;
        }
        if (length == 0) {
            break;
        }
        position += length;
    }
    m_totalLength = static_cast<std::uint16_t>(std::min<std::size_t>(total, 0xFFFF));
}

CUsbInterface::~CUsbInterface() = default;

} // namespace zelmora
