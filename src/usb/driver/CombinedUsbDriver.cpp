#include "usb/driver/CombinedUsbDriver.h"

#include <utility>

namespace zelmora {

void CombinedUsbDriver::Add(std::shared_ptr<UsbDriver> backend) {
    std::lock_guard lock(m_mutex);
    m_backends.push_back(std::move(backend));
}

std::size_t CombinedUsbDriver::BackendCount() const {
    std::lock_guard lock(m_mutex);
    return m_backends.size();
}

std::vector<std::shared_ptr<UsbDriver>> CombinedUsbDriver::Backends() const {
    std::lock_guard lock(m_mutex);
    return m_backends;
}

std::optional<CombinedUsbDriver::Inner> CombinedUsbDriver::Find(DriverHandle handle) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
    if (found == m_handles.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::vector<std::string>>
CombinedUsbDriver::ListDevicePaths(const Guid& interfaceClass) {
    std::optional<std::vector<std::string>> all;
    for (const auto& backend : Backends()) {
        const auto paths = backend->ListDevicePaths(interfaceClass);
        if (!paths) {
            continue;
        }
        if (!all) {
            all.emplace();
        }
        all->insert(all->end(), paths->begin(), paths->end());
    }
    return all;
}

DriverHandle CombinedUsbDriver::OpenDevice(const std::string& path) {
    for (const auto& backend : Backends()) {
        const DriverHandle inner = backend->OpenDevice(path);
        if (inner == kInvalidDriverHandle) {
            continue;
        }
        std::lock_guard lock(m_mutex);
        const std::uintptr_t value = m_nextHandle++;
        m_handles.emplace(value, Inner{backend, inner});
        return DriverHandle{value};
    }
    return kInvalidDriverHandle;
}

bool CombinedUsbDriver::CloseDevice(DriverHandle handle) {
    const auto inner = Find(handle);
    if (!inner || !inner->backend->CloseDevice(inner->handle)) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_handles.erase(static_cast<std::uintptr_t>(handle));
    return true;
}

bool CombinedUsbDriver::SyncRequest(DriverHandle handle, std::uint32_t code,
                                    std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                    std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    const auto inner = Find(handle);
    if (!inner) {
        return false;
    }
    return inner->backend->SyncRequest(inner->handle, code, in, out, bytesReturned);
}

SubmitResult CombinedUsbDriver::StartRequest(DriverHandle handle, std::uint32_t code,
                                             std::span<std::uint8_t> block,
                                             OverlappedRecord& record) {
    const auto inner = Find(handle);
    if (!inner) {
        return {SubmitOutcome::Failed, kErrorInvalidHandle};
    }
    // The backend attaches its own state to the record, so waiting and
    // collecting go straight to it.
    return inner->backend->SubmitRequest(inner->handle, code, block, record);
}

std::string CombinedUsbDriver::Fault() const {
    for (const auto& backend : Backends()) {
        if (std::string fault = backend->Fault(); !fault.empty()) {
            return fault;
        }
    }
    return {};
}

NotificationHandle CombinedUsbDriver::Keep(std::vector<InnerRegistration> parts) {
    if (parts.empty()) {
        return kNoNotification;
    }
    std::lock_guard lock(m_mutex);
    const std::uintptr_t value = m_nextRegistration++;
    m_registrations.emplace(value, std::move(parts));
    return NotificationHandle{value};
}

NotificationHandle CombinedUsbDriver::RegisterInterfaceNotification(NotifyWindow window,
                                                                    const Guid& interfaceClass) {
    std::vector<InnerRegistration> parts;
    for (const auto& backend : Backends()) {
        const NotificationHandle inner =
            backend->RegisterInterfaceNotification(window, interfaceClass);
        if (inner != kNoNotification) {
            parts.push_back({backend, inner});
        }
    }
    return Keep(std::move(parts));
}

NotificationHandle CombinedUsbDriver::RegisterHandleNotification(NotifyWindow window,
                                                                 DriverHandle handle) {
    const auto inner = Find(handle);
    if (!inner) {
        return kNoNotification;
    }
    const NotificationHandle registration =
        inner->backend->RegisterHandleNotification(window, inner->handle);
    if (registration == kNoNotification) {
        return kNoNotification;
    }
    return Keep({{inner->backend, registration}});
}

bool CombinedUsbDriver::UnregisterNotification(NotificationHandle notification) {
    std::vector<InnerRegistration> parts;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_registrations.find(static_cast<std::uintptr_t>(notification));
        if (found == m_registrations.end()) {
            return false;
        }
        parts = found->second;
    }
    std::vector<InnerRegistration> kept;
    for (const InnerRegistration& part : parts) {
        if (!part.backend->UnregisterNotification(part.registration)) {
            kept.push_back(part);
        }
    }
    std::lock_guard lock(m_mutex);
    if (kept.empty()) {
        m_registrations.erase(static_cast<std::uintptr_t>(notification));
        return true;
    }
    m_registrations[static_cast<std::uintptr_t>(notification)] = std::move(kept);
    return false;
}

} // namespace zelmora
