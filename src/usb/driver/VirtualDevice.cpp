#include "usb/driver/VirtualDevice.h"

#include <utility>

namespace zelmora {

VirtualDevice::VirtualDevice(Descriptors descriptors) : m_descriptors(std::move(descriptors)) {}

VirtualDevice::~VirtualDevice() = default;

const std::vector<std::uint8_t>* VirtualDevice::FindDescriptor(std::uint16_t value) const {
    const std::uint8_t index = static_cast<std::uint8_t>(value);
    switch (value >> 8) {
    case 1:
        return &m_descriptors.device;
    case 2:
        return index < m_descriptors.configurations.size() ? &m_descriptors.configurations[index]
                                                           : nullptr;
    case 3: {
        const auto found = m_descriptors.strings.find(index);
        return found != m_descriptors.strings.end() ? &found->second : nullptr;
    }
    default:
        return nullptr;
    }
}

VirtualDevice::Faults VirtualDevice::GetFaults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void VirtualDevice::SetFaults(const Faults& faults) {
    std::lock_guard lock(m_mutex);
    m_faults = faults;
}

VirtualDevice::DriverInfo VirtualDevice::GetDriverInfo() const {
    std::lock_guard lock(m_mutex);
    return m_info;
}

void VirtualDevice::SetDriverInfo(const DriverInfo& info) {
    std::lock_guard lock(m_mutex);
    m_info = info;
}

std::optional<VirtualDevice::Reply> VirtualDevice::HandleRequest(const Request&) {
    return Stall();
}

VirtualDevice::Reply VirtualDevice::Stall() {
    Reply reply;
    reply.completionStatus = kStallCompletionStatus;
    reply.busStatus = kStallBusStatus;
    return reply;
}

} // namespace zelmora
