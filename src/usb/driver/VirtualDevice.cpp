#include "usb/driver/VirtualDevice.h"

#include <utility>

namespace zelmora {

VirtualDevice::VirtualDevice(Descriptors descriptors) : m_descriptors(std::move(descriptors)) {}

VirtualDevice::~VirtualDevice() = default;

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
