#include "usb/driver/VirtualUsbDriver.h"

#include "usb/driver/DriverRequest.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

namespace zelmora {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kStandardDeviceToHost = 0x80;
constexpr std::uint8_t kGetDescriptor = 6;

} // namespace

struct VirtualUsbDriver::Plugged {
    DeviceId id = 0;
    std::shared_ptr<VirtualDevice> device;
    Guid interfaceClass;
    std::string path;
    bool present = true;
    std::mutex handlerMutex; // one request at a time in the device's handler
};

// The answer to a request, ready to be written into its block.
struct VirtualUsbDriver::Completion {
    std::uint32_t dataOffset = 0;
    std::uint32_t dataLength = 0;
    std::uint32_t packetInfoOffset = 0;
    std::uint32_t packetInfoLength = 0;
    std::vector<std::uint8_t> inData; // written at the data offset
    std::uint32_t transferred = 0;    // data bytes reported
    std::uint32_t completionStatus = 0;
    std::uint32_t busStatus = 0;
};

struct VirtualUsbDriver::Operation : BackendOperation {
    std::shared_ptr<Plugged> plugged;
    std::optional<Completion> answer; // a delayed answer, given at answerAt
    std::optional<Clock::time_point> answerAt;
    std::optional<Clock::time_point> timeoutAt;
};

struct VirtualUsbDriver::Registration {
    std::shared_ptr<Plugged> plugged; // set for handle notifications
};

VirtualUsbDriver::VirtualUsbDriver() = default;

VirtualUsbDriver::~VirtualUsbDriver() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        EndPendingWhere([](const Operation&) { return true; }, kErrorOperationAborted,
                        kCancelledStatus);
    }
    m_workToDo.notify_all();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

VirtualUsbDriver::DeviceId VirtualUsbDriver::Plug(std::shared_ptr<VirtualDevice> device,
                                                  const Guid& interfaceClass) {
    std::lock_guard lock(m_mutex);
    auto plugged = std::make_shared<Plugged>();
    plugged->id = m_nextDeviceId++;
    plugged->device = std::move(device);
    plugged->interfaceClass = interfaceClass;
    plugged->path = Format("\\\\?\\virtual-usb#%u#%s", static_cast<unsigned>(plugged->id),
                           FormatGuid(interfaceClass).c_str());
    m_devices.emplace(plugged->id, plugged);
    return plugged->id;
}

bool VirtualUsbDriver::Unplug(DeviceId id) {
    std::lock_guard lock(m_mutex);
    const auto found = m_devices.find(id);
    if (found == m_devices.end()) {
        return false;
    }
    Plugged* plugged = found->second.get();
    plugged->present = false;
    m_devices.erase(found);
    EndPendingWhere([plugged](const Operation& op) { return op.plugged.get() == plugged; },
                    kErrorDeviceNotConnected, kNotConnectedStatus);
    return true;
}

std::optional<std::string> VirtualUsbDriver::DevicePath(DeviceId id) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_devices.find(id);
    if (found == m_devices.end()) {
        return std::nullopt;
    }
    return found->second->path;
}

void VirtualUsbDriver::SetListingFails(bool fails) {
    std::lock_guard lock(m_mutex);
    m_listingFails = fails;
}

void VirtualUsbDriver::SetInterfaceNotificationReleaseFails(bool fails) {
    std::lock_guard lock(m_mutex);
    m_interfaceReleaseFails = fails;
}

std::size_t VirtualUsbDriver::OpenHandleCount() const {
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

std::size_t VirtualUsbDriver::NotificationCount() const {
    std::lock_guard lock(m_mutex);
    return m_registrations.size();
}

std::size_t VirtualUsbDriver::PendingRequestCount() const {
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

std::size_t VirtualUsbDriver::AbortCount() const {
    std::lock_guard lock(m_mutex);
    return m_abortCount;
}

std::optional<std::vector<std::string>>
VirtualUsbDriver::ListDevicePaths(const Guid& interfaceClass) {
    std::lock_guard lock(m_mutex);
    if (m_listingFails) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    for (const auto& [id, plugged] : m_devices) {
        if (plugged->interfaceClass == interfaceClass) {
            paths.push_back(plugged->path);
        }
    }
    return paths;
}

DriverHandle VirtualUsbDriver::OpenDevice(const std::string& path) {
    std::lock_guard lock(m_mutex);
    for (const auto& [id, plugged] : m_devices) {
        if (plugged->path == path) {
            if (plugged->device->GetFaults().failOpen) {
                return kInvalidDriverHandle;
            }
            const std::uintptr_t value = m_nextHandle++;
            m_handles.emplace(value, plugged);
            return DriverHandle{value};
        }
    }
    return kInvalidDriverHandle;
}

bool VirtualUsbDriver::CloseDevice(DriverHandle handle) {
    std::lock_guard lock(m_mutex);
    const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
    if (found == m_handles.end() || found->second->device->GetFaults().failClose) {
        return false;
    }
    m_handles.erase(found);
    EndPendingWhere([handle](const Operation& op) { return op.handle == handle; },
                    kErrorOperationAborted, kCancelledStatus);
    return true;
}

NotificationHandle VirtualUsbDriver::RegisterInterfaceNotification(NotifyWindow window,
                                                                   const Guid&) {
    if (window == kNoNotifyWindow) {
        return kNoNotification;
    }
    std::lock_guard lock(m_mutex);
    const std::uintptr_t value = m_nextRegistration++;
    m_registrations.emplace(value, Registration{});
    return NotificationHandle{value};
}

NotificationHandle VirtualUsbDriver::RegisterHandleNotification(NotifyWindow window,
                                                                DriverHandle handle) {
    if (window == kNoNotifyWindow) {
        return kNoNotification;
    }
    std::lock_guard lock(m_mutex);
    const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
    if (found == m_handles.end()) {
        return kNoNotification;
    }
    const std::uintptr_t value = m_nextRegistration++;
    m_registrations.emplace(value, Registration{found->second});
    return NotificationHandle{value};
}

bool VirtualUsbDriver::UnregisterNotification(NotificationHandle notification) {
    std::lock_guard lock(m_mutex);
    const auto found = m_registrations.find(static_cast<std::uintptr_t>(notification));
    if (found == m_registrations.end()) {
        return false;
    }
    const auto& plugged = found->second.plugged;
    const bool fails =
        plugged ? plugged->device->GetFaults().failNotificationRelease : m_interfaceReleaseFails;
    if (fails) {
        return false;
    }
    m_registrations.erase(found);
    return true;
}

std::shared_ptr<VirtualUsbDriver::Plugged> VirtualUsbDriver::FindOpen(DriverHandle handle,
                                                                      std::uint32_t& error) const {
    const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
    if (found == m_handles.end()) {
        error = kErrorInvalidHandle;
        return nullptr;
    }
    if (!found->second->present) {
        error = kErrorDeviceNotConnected;
        return nullptr;
    }
    return found->second;
}

std::shared_ptr<BackendOperation> VirtualUsbDriver::Begin(DriverHandle handle, std::uint32_t code,
                                                          std::span<const std::uint8_t> in,
                                                          std::span<std::uint8_t> out) {
    auto op = std::make_shared<Operation>();
    op->handle = handle;
    {
        std::lock_guard lock(m_mutex);
        std::uint32_t error = 0;
        op->plugged = FindOpen(handle, error);
        if (!op->plugged) {
            Fail(*op, error, 0);
            return op;
        }
        if (!IsTransferCode(code)) {
            AnswerInformation(*op, code, in, out);
            return op;
        }
    }
    op->block = SystemBuffer(in, out);
    return BeginTransfer(std::move(op), code);
}

void VirtualUsbDriver::AnswerInformation(Operation& op, std::uint32_t code,
                                         std::span<const std::uint8_t> in,
                                         std::span<std::uint8_t> out) {
    if (code == kIoctlAbortEndpoint) {
        if (in.empty()) {
            Fail(op, kErrorInvalidParameter, 0);
            return;
        }
        ++m_abortCount;
        const DriverHandle handle = op.handle;
        const std::uint8_t endpoint = in[0];
        EndPendingWhere(
            [handle, endpoint](const Operation& pending) {
                return pending.handle == handle && pending.endpoint == endpoint;
            },
            kErrorOperationAborted, kCancelledStatus);
        op.Succeed(0);
        return;
    }

    // A value the device does not report is one the driver does not
    // support.
    const VirtualDevice::DriverInfo info = op.plugged->device->GetDriverInfo();
    const auto answerNumber = [&op, out](const std::optional<std::uint32_t>& value) {
        if (value) {
            op.AnswerNumber(*value, out);
        } else {
            op.Fail(kErrorNotSupported);
        }
    };
    const auto answerByte = [&op, out](const std::optional<std::uint8_t>& value) {
        if (value) {
            op.AnswerByte(*value, out);
        } else {
            op.Fail(kErrorNotSupported);
        }
    };
    switch (code) {
    case kIoctlDriverVersion:
        answerNumber(info.driverVersion);
        break;
    case kIoctlBusInterfaceVersion:
        answerNumber(info.busInterfaceVersion);
        break;
    case kIoctlAlternateSetting:
        answerByte(info.alternateSetting);
        break;
    case kIoctlDeviceAddress:
        answerByte(info.deviceAddress);
        break;
    case kIoctlDeviceName:
        op.AnswerText(info.deviceName, out);
        break;
    case kIoctlFriendlyName:
        op.AnswerText(info.friendlyName, out);
        break;
    default:
        Fail(op, kErrorInvalidFunction, 0);
        break;
    }
}

std::shared_ptr<VirtualUsbDriver::Operation>
VirtualUsbDriver::BeginTransfer(std::shared_ptr<Operation> op, std::uint32_t code) {
    const std::span<std::uint8_t> block = op->block;
    const std::optional<DriverRequest::Header> header = DriverRequest::DecodeBlock(block);
    if (!header) {
        std::lock_guard lock(m_mutex);
        Fail(*op, kErrorInvalidParameter, 0);
        return op;
    }

    VirtualDevice::Request request;
    request.control = code == kIoctlControlTransfer;
    std::uint32_t asked = header->dataLength;
    if (request.control) {
        request.setup = {header->requestType, header->request, header->value, header->index,
                         header->length};
        request.in = (header->requestType & 0x80) != 0;
        asked = std::min<std::uint32_t>(header->length, header->dataLength);
    } else {
        request.endpoint = header->endpointAddress;
        request.in = (header->endpointAddress & 0x80) != 0;
        op->endpoint = header->endpointAddress;
    }
    if (request.in) {
        request.inLength = asked;
    } else {
        request.outData = block.subspan(header->dataOffset, asked);
    }

    VirtualDevice& device = *op->plugged->device;
    const VirtualDevice::Faults faults = device.GetFaults();
    std::optional<VirtualDevice::Reply> reply;
    if (!faults.neverAnswer) {
        if (request.control && header->requestType == kStandardDeviceToHost &&
            header->request == kGetDescriptor) {
            const auto* descriptor = device.FindDescriptor(header->value);
            reply = descriptor ? VirtualDevice::Reply{*descriptor, 0, 0} : VirtualDevice::Stall();
        } else {
            std::lock_guard handlerLock(op->plugged->handlerMutex);
            reply = device.HandleRequest(request);
        }
    }

    std::optional<Completion> completion;
    if (reply) {
        Completion c;
        c.dataOffset = header->dataOffset;
        c.dataLength = header->dataLength;
        c.packetInfoOffset = header->packetInfoOffset;
        c.packetInfoLength = header->packetInfoLength;
        std::uint32_t limit = asked;
        if (faults.replyLimit) {
            limit = std::min(limit, *faults.replyLimit);
        }
        if (request.in) {
            c.transferred =
                static_cast<std::uint32_t>(std::min<std::size_t>(reply->data.size(), limit));
            c.inData.assign(reply->data.begin(), reply->data.begin() + c.transferred);
        } else {
            c.transferred = limit;
        }
        c.completionStatus =
            faults.completionStatus ? faults.completionStatus : reply->completionStatus;
        c.busStatus = faults.busStatus ? faults.busStatus : reply->busStatus;
        completion = std::move(c);
    }

    std::lock_guard lock(m_mutex);
    std::uint32_t error = 0;
    if (m_stopping) {
        Fail(*op, kErrorOperationAborted, 0);
        return op;
    }
    if (!FindOpen(op->handle, error)) {
        Fail(*op, error, 0);
        return op;
    }
    if (completion && faults.answerDelayMs == 0) {
        Complete(*op, *completion);
        return op;
    }
    const Clock::time_point now = Clock::now();
    if (completion) {
        op->answer = std::move(completion);
        op->answerAt = now + std::chrono::milliseconds(faults.answerDelayMs);
    }
    if (header->timeoutSeconds > 0) {
        op->timeoutAt = now + std::chrono::seconds(header->timeoutSeconds);
    }
    m_pending.push_back(op);
    if (op->answerAt || op->timeoutAt) {
        StartWorkerIfNeeded();
        m_workToDo.notify_all();
    }
    return op;
}

void VirtualUsbDriver::Complete(Operation& op, const Completion& c) {
    std::copy(c.inData.begin(), c.inData.end(),
              op.block.begin() + static_cast<std::ptrdiff_t>(c.dataOffset));
    // Packet information as this driver lays it out: the offset and the
    // length of each packet's data, 32 bits each.
    const std::uint32_t packets = c.packetInfoLength / DriverRequest::kPacketInfoSize;
    if (packets > 0) {
        const std::uint32_t perPacket = (c.dataLength + packets - 1) / packets;
        for (std::uint32_t i = 0; i < packets; ++i) {
            const std::uint64_t offset = std::uint64_t{perPacket} * i;
            const std::uint64_t length =
                offset < c.transferred ? std::min<std::uint64_t>(perPacket, c.transferred - offset)
                                       : 0;
            const std::size_t record = c.packetInfoOffset + i * DriverRequest::kPacketInfoSize;
            DriverRequest::Write32(op.block, record, static_cast<std::uint32_t>(offset));
            DriverRequest::Write32(op.block, record + 4, static_cast<std::uint32_t>(length));
        }
    }
    DriverRequest::Write32(op.block, DriverRequest::kOffsetCompletionStatus, c.completionStatus);
    DriverRequest::Write32(op.block, DriverRequest::kOffsetBusStatus, c.busStatus);
    op.Succeed(c.dataOffset + c.transferred);
}

void VirtualUsbDriver::Fail(Operation& op, std::uint32_t error, std::uint32_t status) {
    if (status != 0 && !op.block.empty()) {
        DriverRequest::Write32(op.block, DriverRequest::kOffsetCompletionStatus, status);
    }
    op.Fail(error);
}

void VirtualUsbDriver::EndPendingWhere(const auto& matches, std::uint32_t error,
                                       std::uint32_t status) {
    bool ended = false;
    std::erase_if(m_pending, [&](const std::shared_ptr<Operation>& op) {
        if (!matches(*op)) {
            return false;
        }
        Fail(*op, error, status);
        ended = true;
        return true;
    });
    if (ended) {
        m_ended.notify_all();
    }
}

void VirtualUsbDriver::StartWorkerIfNeeded() {
    if (!m_worker.joinable() && !m_stopping) {
        m_worker = std::thread([this] { WorkerLoop(); });
    }
}

void VirtualUsbDriver::WorkerLoop() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        std::optional<Clock::time_point> next;
        for (const auto& op : m_pending) {
            for (const auto& at : {op->answerAt, op->timeoutAt}) {
                if (at && (!next || *at < *next)) {
                    next = at;
                }
            }
        }
        if (!next) {
            m_workToDo.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (*next > now) {
            m_workToDo.wait_until(lock, *next);
            continue;
        }
        bool ended = false;
        std::erase_if(m_pending, [&](const std::shared_ptr<Operation>& op) {
            const bool answerDue = op->answerAt && *op->answerAt <= now;
            const bool timeoutDue = op->timeoutAt && *op->timeoutAt <= now;
            if (answerDue && (!timeoutDue || *op->answerAt <= *op->timeoutAt)) {
                Complete(*op, *op->answer);
            } else if (timeoutDue) {
                Fail(*op, kErrorSemTimeout, kTimeoutStatus);
            } else {
                return false;
            }
            ended = true;
            return true;
        });
        if (ended) {
            m_ended.notify_all();
        }
    }
}

WaitOutcome VirtualUsbDriver::WaitFor(BackendOperation& op, std::uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    const auto ended = [&op] { return op.ended; };
    if (timeoutMs == kInfinite) {
        m_ended.wait(lock, ended);
        return WaitOutcome::Signalled;
    }
    return m_ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), ended)
               ? WaitOutcome::Signalled
               : WaitOutcome::TimedOut;
}

void VirtualUsbDriver::End(BackendOperation& op) {
    std::lock_guard lock(m_mutex);
    if (!op.ended) {
        const BackendOperation* target = &op;
        EndPendingWhere([target](const Operation& pending) { return &pending == target; },
                        kErrorOperationAborted, kCancelledStatus);
    }
}

} // namespace zelmora
