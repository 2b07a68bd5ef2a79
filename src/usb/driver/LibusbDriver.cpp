#include "usb/driver/LibusbDriver.h"

#include "usb/driver/DriverRequest.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <libusb.h>
#include <limits>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

namespace zelmora {

namespace {

using Clock = std::chrono::steady_clock;

// Longest stretch one call into libusb's event handling may take, so that a
// waiter looks at its own deadline and request often enough.
constexpr auto kEventSlice = std::chrono::milliseconds(100);

std::uint32_t ErrorOf(int libusbError) {
    switch (libusbError) {
    case LIBUSB_ERROR_NO_DEVICE:
        return kErrorDeviceNotConnected;
    case LIBUSB_ERROR_ACCESS:
        return kErrorAccessDenied;
    case LIBUSB_ERROR_INVALID_PARAM:
        return kErrorInvalidParameter;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return kErrorNotSupported;
    case LIBUSB_ERROR_NOT_FOUND:
        return kErrorFileNotFound;
    default:
        return kErrorGenFailure;
    }
}

// "usb:<bus>-<port>.<port>…", as the kernel names the device in sysfs, or
// "usb:<bus>@<address>" where libusb knows no port path.
std::string PathOf(libusb_device* device) {
    const unsigned bus = libusb_get_bus_number(device);
    std::uint8_t ports[8] = {};
    const int count = libusb_get_port_numbers(device, ports, static_cast<int>(sizeof ports));
    if (count <= 0) {
        return Format("usb:%u@%u", bus, static_cast<unsigned>(libusb_get_device_address(device)));
    }
    std::string path = Format("usb:%u-", bus);
    for (int i = 0; i < count; ++i) {
        path += Format(i == 0 ? "%u" : ".%u", static_cast<unsigned>(ports[i]));
    }
    return path;
}

std::optional<UsbId> IdOf(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) {
        return std::nullopt;
    }
    return UsbId{descriptor.idVendor, descriptor.idProduct};
}

// An endpoint of the device's active configuration.
struct EndpointInfo {
    int interfaceNumber = 0;
    std::uint8_t transferType = 0; // LIBUSB_TRANSFER_TYPE_…
    int maxPacketSize = 0;
};

std::optional<EndpointInfo> FindEndpoint(libusb_device* device, std::uint8_t address) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) {
        return std::nullopt;
    }
    std::optional<EndpointInfo> found;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting && !found; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if (endpoint.bEndpointAddress == address) {
                    found = EndpointInfo{setting.bInterfaceNumber,
                                         static_cast<std::uint8_t>(endpoint.bmAttributes & 3),
                                         endpoint.wMaxPacketSize};
                    break;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

void PrintPermissionHintOnce(const std::string& path, UsbId id) {
    static std::once_flag printed;
    std::call_once(printed, [&] {
        const std::string hint = Format(
            "zelmora: no permission to open the meter %s at %s; give it a udev rule in a file "
            "of your own under /etc/udev/rules.d (the window's Help, \"Find my meter\" shows "
            "it) and plug the meter in again.\n",
            MatchList::FormatId(id).c_str(), path.c_str());
        std::fputs(hint.c_str(), stderr);
    });
}

// A device's name as it is shown: one line, printable, not too long.
constexpr std::size_t kNameLimit = 64;

// A string of the device, read with the standard GET_DESCRIPTOR request in
// the first language its table names; empty where it has none or does not
// answer. Everything the device sends is bounded by what it says it sent.
std::string ReadStringDescriptor(libusb_device_handle* handle, std::uint8_t index) {
    if (index == 0) {
        return {};
    }
    std::uint8_t buffer[255] = {};
    const int languages = libusb_get_string_descriptor(handle, 0, 0, buffer, sizeof buffer);
    if (languages < 4 || buffer[1] != LIBUSB_DT_STRING || buffer[0] < 4) {
        return {};
    }
    const auto language = static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8);
    const int length = libusb_get_string_descriptor(handle, index, language, buffer, sizeof buffer);
    if (length < 2 || buffer[1] != LIBUSB_DT_STRING) {
        return {};
    }
    const std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(length), buffer[0]);
    if (size <= 2) {
        return {};
    }
    return PrintableLine(Utf8FromUtf16Le({buffer + 2, size - 2}), kNameLimit);
}

// The kernel's copy of a device's string in sysfs ("manufacturer",
// "product"), which it read when the device arrived; readable by every
// user, also where the device itself may not be opened.
std::string ReadKernelString(const UsbDeviceInfo& device, const char* attribute) {
    const std::string folder =
        device.ports.empty()
            ? Format("/sys/bus/usb/devices/usb%u", device.bus)
            : Format("/sys/bus/usb/devices/%u-%s", device.bus, device.ports.c_str());
    std::FILE* file = std::fopen((folder + "/" + attribute).c_str(), "rbe");
    if (file == nullptr) {
        return {};
    }
    char buffer[256] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    std::string_view text(buffer, got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return PrintableLine(text, kNameLimit);
}

} // namespace

struct LibusbDriver::Listed {
    std::shared_ptr<libusb_device> device;
    unsigned bus = 0;
    std::vector<std::uint8_t> ports;
    unsigned address = 0;
    UsbId id;
    std::string path;
};

struct LibusbDriver::Opened {
    ~Opened() {
        if (device) {
            libusb_unref_device(device);
        }
    }
    libusb_device_handle* handle = nullptr;
    libusb_device* device = nullptr; // referenced while open
    std::string path;
    UsbId id;
    std::mutex claimMutex;
    std::set<int> claimed; // interfaces claimed for endpoint transfers
};

struct LibusbDriver::Operation : BackendOperation {
    ~Operation() override {
        if (transfer) {
            libusb_free_transfer(transfer);
        }
    }
    LibusbDriver* driver = nullptr;
    std::shared_ptr<Opened> opened;
    libusb_transfer* transfer = nullptr;
    std::vector<std::uint8_t> buffer; // libusb's (a control transfer's starts with the setup)
    DriverRequest::Header header;
    bool control = false;
    bool in = false;
    int done = 0; // for libusb_handle_events_timeout_completed
};

struct LibusbDriver::Registration {
    NotifyWindow window = kNoNotifyWindow;
    libusb_device* device = nullptr; // set for handle notifications
};

namespace {

void Fail(auto& op, std::uint32_t error, std::uint32_t completionStatus = 0,
          std::uint32_t busStatus = 0) {
    if (completionStatus != 0 && op.block.size() >= DriverRequest::kHeaderSize) {
        DriverRequest::Write32(op.block, DriverRequest::kOffsetCompletionStatus, completionStatus);
        DriverRequest::Write32(op.block, DriverRequest::kOffsetBusStatus, busStatus);
    }
    op.Fail(error);
    op.done = 1;
}

} // namespace

std::unique_ptr<LibusbDriver> LibusbDriver::Create(std::vector<UsbId> matchList,
                                                   std::string* error) {
    libusb_context* context = nullptr;
    const int result = libusb_init(&context);
    if (result != 0) {
        if (error) {
            *error = Format("libusb cannot start: %s", libusb_strerror(result));
        }
        return nullptr;
    }
    return std::unique_ptr<LibusbDriver>(new LibusbDriver(context, std::move(matchList)));
}

LibusbDriver::LibusbDriver(libusb_context* context, std::vector<UsbId> matchList)
    : m_context(context), m_matchList(std::move(matchList)) {}

LibusbDriver::~LibusbDriver() {
    std::vector<std::uintptr_t> handles;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [value, opened] : m_handles) {
            handles.push_back(value);
        }
    }
    for (const std::uintptr_t value : handles) {
        CloseDevice(DriverHandle{value});
    }
    if (m_hotplugRegistered) {
        libusb_hotplug_deregister_callback(m_context, m_hotplugHandle);
    }
    m_stopEvents = true;
    if (m_eventThread.joinable()) {
        m_eventThread.join();
    }
    libusb_exit(m_context);
}

void LibusbDriver::SetNotificationCallback(DeviceNotificationCallback callback) {
    std::lock_guard lock(m_mutex);
    m_notify = std::move(callback);
}

bool LibusbDriver::Matches(UsbId id) const {
    std::lock_guard lock(m_mutex);
    return std::find(m_matchList.begin(), m_matchList.end(), id) != m_matchList.end();
}

std::string LibusbDriver::LibraryVersion() {
    const libusb_version* version = libusb_get_version();
    if (version == nullptr) {
        return "libusb (version unknown)";
    }
    return Format("libusb %u.%u.%u.%u%s", static_cast<unsigned>(version->major),
                  static_cast<unsigned>(version->minor), static_cast<unsigned>(version->micro),
                  static_cast<unsigned>(version->nano), version->rc != nullptr ? version->rc : "");
}

std::vector<UsbId> LibusbDriver::GetMatchList() const {
    std::lock_guard lock(m_mutex);
    return m_matchList;
}

void LibusbDriver::AddToMatchList(UsbId id) {
    std::lock_guard lock(m_mutex);
    if (std::find(m_matchList.begin(), m_matchList.end(), id) == m_matchList.end()) {
        m_matchList.push_back(id);
    }
}

LibusbDriver::ListingState LibusbDriver::GetListingState() const {
    std::lock_guard lock(m_mutex);
    ListingState state;
    state.failed = m_listingFailed;
    for (const auto& [path, id] : m_listed) {
        state.matched.push_back(id);
        if (m_refused.count(path) > 0) {
            state.refused.push_back(id);
        }
    }
    return state;
}

std::optional<std::vector<LibusbDriver::Listed>> LibusbDriver::ListDevices(bool matchingOnly) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    if (count < 0) {
        return std::nullopt;
    }
    std::vector<Listed> devices;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        const std::optional<UsbId> id = IdOf(device);
        if (!id || (matchingOnly && !Matches(*id))) {
            continue;
        }
        Listed listed;
        listed.device.reset(libusb_ref_device(device), libusb_unref_device);
        listed.bus = libusb_get_bus_number(device);
        std::uint8_t ports[8] = {};
        const int portCount =
            libusb_get_port_numbers(device, ports, static_cast<int>(sizeof ports));
        if (portCount > 0) {
            listed.ports.assign(ports, ports + portCount);
        }
        listed.address = libusb_get_device_address(device);
        listed.id = *id;
        listed.path = PathOf(device);
        devices.push_back(std::move(listed));
    }
    libusb_free_device_list(list, 1);
    std::sort(devices.begin(), devices.end(), [](const Listed& a, const Listed& b) {
        return std::tie(a.bus, a.ports, a.address) < std::tie(b.bus, b.ports, b.address);
    });
    return devices;
}

std::optional<std::vector<std::string>> LibusbDriver::ListDevicePaths(const Guid& interfaceClass) {
    if (interfaceClass != kMeterInterfaceGuid) {
        return std::vector<std::string>{};
    }
    const auto meters = ListDevices(true);
    std::lock_guard lock(m_mutex);
    m_listingFailed = !meters;
    m_listed.clear();
    if (!meters) {
        m_refused.clear();
        return std::nullopt;
    }
    std::vector<std::string> paths;
    std::map<std::string, UsbId> stillRefused;
    for (const Listed& meter : *meters) {
        paths.push_back(meter.path);
        m_listed.emplace_back(meter.path, meter.id);
        if (m_refused.count(meter.path) > 0) {
            stillRefused.emplace(meter.path, meter.id);
        }
    }
    // A device that left (or moved) is no longer refused.
    m_refused = std::move(stillRefused);
    return paths;
}

DriverHandle LibusbDriver::OpenDevice(const std::string& path) {
    const auto meters = ListDevices(true);
    if (!meters) {
        return kInvalidDriverHandle;
    }
    const auto found = std::find_if(meters->begin(), meters->end(),
                                    [&path](const Listed& meter) { return meter.path == path; });
    if (found == meters->end()) {
        return kInvalidDriverHandle;
    }
    libusb_device_handle* handle = nullptr;
    const int result = libusb_open(found->device.get(), &handle);
    if (result == LIBUSB_ERROR_ACCESS) {
        PrintPermissionHintOnce(path, found->id);
    }
    {
        std::lock_guard lock(m_mutex);
        if (result == LIBUSB_ERROR_ACCESS) {
            m_refused[path] = found->id;
        } else {
            m_refused.erase(path);
        }
    }
    if (result != 0) {
        return kInvalidDriverHandle;
    }
    // Transfers on other endpoints claim their interface; a kernel driver
    // bound to it steps aside for as long as it is claimed.
    libusb_set_auto_detach_kernel_driver(handle, 1);

    auto opened = std::make_shared<Opened>();
    opened->handle = handle;
    opened->device = libusb_ref_device(found->device.get());
    opened->path = path;
    opened->id = found->id;
    std::lock_guard lock(m_mutex);
    const std::uintptr_t value = m_nextHandle++;
    m_handles.emplace(value, std::move(opened));
    return DriverHandle{value};
}

std::vector<UsbDeviceInfo> LibusbDriver::ListAllDevices() {
    const auto devices = ListDevices(false);
    std::vector<UsbDeviceInfo> infos;
    if (!devices) {
        return infos;
    }
    for (const Listed& listed : *devices) {
        UsbDeviceInfo info;
        info.id = listed.id;
        info.bus = listed.bus;
        for (std::size_t i = 0; i < listed.ports.size(); ++i) {
            info.ports += Format(i == 0 ? "%u" : ".%u", static_cast<unsigned>(listed.ports[i]));
        }
        info.address = listed.address;
        info.listed = Matches(listed.id);
        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(listed.device.get(), &handle);
        if (result == 0) {
            info.access = DeviceAccess::Opened;
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(listed.device.get(), &descriptor) == 0) {
                info.manufacturer = ReadStringDescriptor(handle, descriptor.iManufacturer);
                info.product = ReadStringDescriptor(handle, descriptor.iProduct);
            }
            libusb_close(handle);
        } else {
            info.access =
                result == LIBUSB_ERROR_ACCESS ? DeviceAccess::NoPermission : DeviceAccess::Failed;
        }
        if (info.manufacturer.empty() && info.product.empty()) {
            info.manufacturer = ReadKernelString(info, "manufacturer");
            info.product = ReadKernelString(info, "product");
        }
        infos.push_back(std::move(info));
    }
    return infos;
}

DeviceAccess LibusbDriver::ProbeAccess(const UsbDeviceInfo& device) {
    const auto devices = ListDevices(false);
    if (!devices) {
        return DeviceAccess::Failed;
    }
    for (const Listed& listed : *devices) {
        std::string ports;
        for (std::size_t i = 0; i < listed.ports.size(); ++i) {
            ports += Format(i == 0 ? "%u" : ".%u", static_cast<unsigned>(listed.ports[i]));
        }
        const bool samePlace = listed.bus == device.bus && ports == device.ports &&
                               (!ports.empty() || listed.address == device.address);
        if (!samePlace || listed.id != device.id) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(listed.device.get(), &handle);
        if (result == 0) {
            libusb_close(handle);
            return DeviceAccess::Opened;
        }
        return result == LIBUSB_ERROR_ACCESS ? DeviceAccess::NoPermission : DeviceAccess::Failed;
    }
    return DeviceAccess::Failed;
}

bool LibusbDriver::CloseDevice(DriverHandle handle) {
    std::shared_ptr<Opened> opened;
    std::vector<std::shared_ptr<Operation>> ops;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
        if (found == m_handles.end()) {
            return false;
        }
        opened = std::move(found->second);
        m_handles.erase(found);
        for (const auto& op : m_pending) {
            if (op->handle == handle) {
                ops.push_back(op);
            }
        }
    }
    // libusb must not close a handle with transfers in flight.
    CancelAndEnd(ops);
    {
        std::lock_guard claimLock(opened->claimMutex);
        for (const int interface : opened->claimed) {
            libusb_release_interface(opened->handle, interface);
        }
        opened->claimed.clear();
    }
    libusb_close(opened->handle);
    opened->handle = nullptr;
    return true;
}

std::shared_ptr<BackendOperation> LibusbDriver::Begin(DriverHandle handle, std::uint32_t code,
                                                      std::span<const std::uint8_t> in,
                                                      std::span<std::uint8_t> out) {
    auto op = std::make_shared<Operation>();
    op->driver = this;
    op->handle = handle;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_handles.find(static_cast<std::uintptr_t>(handle));
        if (found == m_handles.end()) {
            Fail(*op, kErrorInvalidHandle);
            return op;
        }
        op->opened = found->second;
    }
    if (code == kIoctlAbortEndpoint) {
        if (in.empty()) {
            Fail(*op, kErrorInvalidParameter);
            return op;
        }
        Abort(handle, in[0]);
        op->Succeed(0);
        return op;
    }
    if (!IsTransferCode(code)) {
        AnswerInformation(*op, *op->opened, code, in, out);
        return op;
    }
    op->block = SystemBuffer(in, out);
    return BeginTransfer(std::move(op), code);
}

void LibusbDriver::AnswerInformation(Operation& op, const Opened& opened, std::uint32_t code,
                                     std::span<const std::uint8_t>, std::span<std::uint8_t> out) {
    switch (code) {
    case kIoctlDriverVersion: {
        // The libusb release that carries the requests.
        const libusb_version* version = libusb_get_version();
        op.AnswerNumber((std::uint32_t{version->major} << 24) |
                            (std::uint32_t{version->minor} << 16) | version->micro,
                        out);
        break;
    }
    case kIoctlBusInterfaceVersion:
        // The bus speed libusb reports (libusb_speed).
        op.AnswerNumber(static_cast<std::uint32_t>(libusb_get_device_speed(opened.device)), out);
        break;
    case kIoctlAlternateSetting:
        // Nothing selects another alternate setting, so the device is at the
        // first one, where configuring left it.
        op.AnswerByte(0, out);
        break;
    case kIoctlDeviceAddress:
        op.AnswerByte(libusb_get_device_address(opened.device), out);
        break;
    case kIoctlDeviceName:
        op.AnswerText(opened.path, out);
        break;
    case kIoctlFriendlyName:
        op.AnswerText(Format("USB device %s at %s", MatchList::FormatId(opened.id).c_str(),
                             opened.path.c_str()),
                      out);
        break;
    default:
        Fail(op, kErrorInvalidFunction);
        break;
    }
}

std::shared_ptr<LibusbDriver::Operation> LibusbDriver::BeginTransfer(std::shared_ptr<Operation> op,
                                                                     std::uint32_t code) {
    const std::span<std::uint8_t> block = op->block;
    const std::optional<DriverRequest::Header> header = DriverRequest::DecodeBlock(block);
    if (!header) {
        Fail(*op, kErrorInvalidParameter);
        return op;
    }
    op->header = *header;
    const std::span<std::uint8_t> data = block.subspan(header->dataOffset, header->dataLength);
    libusb_device_handle* const handle = op->opened->handle;
    const unsigned timeoutMs =
        header->timeoutSeconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : header->timeoutSeconds * 1000;

    if (code == kIoctlControlTransfer) {
        op->control = true;
        op->in = (header->requestType & LIBUSB_ENDPOINT_IN) != 0;
        const std::uint16_t length =
            static_cast<std::uint16_t>(std::min<std::uint32_t>(header->length, data.size()));
        op->buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + length, 0);
        libusb_fill_control_setup(op->buffer.data(), header->requestType, header->request,
                                  header->value, header->index, length);
        if (!op->in) {
            std::copy_n(data.begin(), length, op->buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
        }
        op->transfer = libusb_alloc_transfer(0);
        if (!op->transfer) {
            Fail(*op, kErrorGenFailure);
            return op;
        }
        libusb_fill_control_transfer(op->transfer, handle, op->buffer.data(), TransferDone,
                                     op.get(), timeoutMs);
    } else {
        op->endpoint = header->endpointAddress;
        op->in = (header->endpointAddress & LIBUSB_ENDPOINT_IN) != 0;
        const auto endpoint = FindEndpoint(op->opened->device, header->endpointAddress);
        if (!endpoint || endpoint->transferType == LIBUSB_TRANSFER_TYPE_CONTROL) {
            Fail(*op, kErrorInvalidParameter);
            return op;
        }
        {
            std::lock_guard claimLock(op->opened->claimMutex);
            if (!op->opened->claimed.contains(endpoint->interfaceNumber)) {
                const int claimed = libusb_claim_interface(handle, endpoint->interfaceNumber);
                if (claimed != 0) {
                    Fail(*op, ErrorOf(claimed));
                    return op;
                }
                op->opened->claimed.insert(endpoint->interfaceNumber);
            }
        }
        if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            Fail(*op, kErrorInvalidParameter);
            return op;
        }
        op->buffer.assign(data.size(), 0);
        if (!op->in) {
            std::copy(data.begin(), data.end(), op->buffer.begin());
        }
        const int length = static_cast<int>(op->buffer.size());
        if (endpoint->transferType == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
            const std::uint32_t packets = header->packetInfoLength / DriverRequest::kPacketInfoSize;
            if (packets == 0 || packets > 0x10000) {
                Fail(*op, kErrorInvalidParameter);
                return op;
            }
            op->transfer = libusb_alloc_transfer(static_cast<int>(packets));
            if (!op->transfer) {
                Fail(*op, kErrorGenFailure);
                return op;
            }
            libusb_fill_iso_transfer(op->transfer, handle, header->endpointAddress,
                                     op->buffer.data(), length, static_cast<int>(packets),
                                     TransferDone, op.get(), timeoutMs);
            // The data is split evenly over the packets, the last one taking
            // what is left.
            const std::uint32_t perPacket =
                (static_cast<std::uint32_t>(length) + packets - 1) / packets;
            std::uint32_t left = static_cast<std::uint32_t>(length);
            for (std::uint32_t i = 0; i < packets; ++i) {
                const std::uint32_t packet = std::min(perPacket, left);
                op->transfer->iso_packet_desc[i].length = packet;
                left -= packet;
            }
        } else {
            op->transfer = libusb_alloc_transfer(0);
            if (!op->transfer) {
                Fail(*op, kErrorGenFailure);
                return op;
            }
            if (endpoint->transferType == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
                libusb_fill_interrupt_transfer(op->transfer, handle, header->endpointAddress,
                                               op->buffer.data(), length, TransferDone, op.get(),
                                               timeoutMs);
            } else {
                libusb_fill_bulk_transfer(op->transfer, handle, header->endpointAddress,
                                          op->buffer.data(), length, TransferDone, op.get(),
                                          timeoutMs);
            }
        }
    }

    {
        std::lock_guard lock(m_mutex);
        if (!m_handles.contains(static_cast<std::uintptr_t>(op->handle))) {
            Fail(*op, kErrorInvalidHandle);
            return op;
        }
        m_pending.push_back(op);
    }
    const int submitted = libusb_submit_transfer(op->transfer);
    if (submitted != 0) {
        std::lock_guard lock(m_mutex);
        std::erase(m_pending, op);
        if (submitted == LIBUSB_ERROR_NO_DEVICE) {
            Fail(*op, kErrorDeviceNotConnected, kNotConnectedCompletionStatus,
                 kNotConnectedBusStatus);
        } else {
            Fail(*op, ErrorOf(submitted));
        }
    }
    return op;
}

void LibusbDriver::TransferDone(libusb_transfer* transfer) {
    auto* op = static_cast<Operation*>(transfer->user_data);
    op->driver->OnTransferDone(*op);
}

void LibusbDriver::OnTransferDone(Operation& op) {
    std::shared_ptr<Operation> keep; // the last reference may be the pending list's
    std::lock_guard lock(m_mutex);
    const auto found = std::find_if(m_pending.begin(), m_pending.end(),
                                    [&op](const auto& pending) { return pending.get() == &op; });
    if (found != m_pending.end()) {
        keep = std::move(*found);
        m_pending.erase(found);
    }
    const libusb_transfer& transfer = *op.transfer;
    bool ended = true; // the request ran its course, well or not
    std::uint32_t error = kErrorSuccess;
    std::uint32_t completionStatus = 0;
    std::uint32_t busStatus = 0;
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        break;
    case LIBUSB_TRANSFER_STALL:
        completionStatus = kStallCompletionStatus;
        busStatus = kStallBusStatus;
        break;
    case LIBUSB_TRANSFER_OVERFLOW:
        completionStatus = kOverflowCompletionStatus;
        busStatus = kOverflowBusStatus;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        ended = false;
        error = kErrorSemTimeout;
        completionStatus = kTimeoutCompletionStatus;
        busStatus = kTimeoutBusStatus;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        ended = false;
        error = kErrorOperationAborted;
        completionStatus = kCancelledCompletionStatus;
        busStatus = kCancelledBusStatus;
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        ended = false;
        error = kErrorDeviceNotConnected;
        completionStatus = kNotConnectedCompletionStatus;
        busStatus = kNotConnectedBusStatus;
        break;
    default:
        completionStatus = kErrorCompletionStatus;
        busStatus = kErrorBusStatus;
        break;
    }

    const std::uint32_t dataLength = op.header.dataLength;
    std::uint32_t transferred = 0;
    if (transfer.type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
        // Packet information as this driver lays it out: the offset and the
        // length of each packet's data, 32 bits each.
        std::uint32_t offset = 0;
        for (int i = 0; i < transfer.num_iso_packets; ++i) {
            const libusb_iso_packet_descriptor& packet = transfer.iso_packet_desc[i];
            const std::size_t record = op.header.packetInfoOffset +
                                       static_cast<std::size_t>(i) * DriverRequest::kPacketInfoSize;
            if (record + DriverRequest::kPacketInfoSize <=
                std::size_t{op.header.packetInfoOffset} + op.header.packetInfoLength) {
                DriverRequest::Write32(op.block, record, offset);
                DriverRequest::Write32(op.block, record + 4, packet.actual_length);
            }
            if (packet.status != LIBUSB_TRANSFER_COMPLETED && completionStatus == 0) {
                completionStatus = kErrorCompletionStatus;
                busStatus = kErrorBusStatus;
            }
            offset += packet.length;
            transferred = std::max(transferred, offset - packet.length + packet.actual_length);
        }
    } else if (transfer.actual_length > 0) {
        transferred = static_cast<std::uint32_t>(transfer.actual_length);
    }
    transferred = std::min(transferred, dataLength);
    if (op.in && transferred > 0) {
        const std::size_t from = op.control ? LIBUSB_CONTROL_SETUP_SIZE : 0;
        const std::size_t count = std::min<std::size_t>(transferred, op.buffer.size() - from);
        std::copy_n(op.buffer.begin() + static_cast<std::ptrdiff_t>(from), count,
                    op.block.begin() + static_cast<std::ptrdiff_t>(op.header.dataOffset));
    }
    DriverRequest::Write32(op.block, DriverRequest::kOffsetCompletionStatus, completionStatus);
    DriverRequest::Write32(op.block, DriverRequest::kOffsetBusStatus, busStatus);
    if (ended) {
        op.Succeed(op.header.dataOffset + transferred);
    } else {
        // Data that arrived before a time-out or an abort is still delivered.
        op.Fail(error, transferred > 0 ? op.header.dataOffset + transferred : 0);
    }
    op.done = 1;
}

void LibusbDriver::Abort(DriverHandle handle, std::uint8_t endpoint) {
    std::vector<std::shared_ptr<Operation>> ops;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& op : m_pending) {
            if (op->handle == handle && op->endpoint == endpoint) {
                ops.push_back(op); // kept alive while being cancelled
            }
        }
    }
    for (const auto& op : ops) {
        libusb_cancel_transfer(op->transfer);
    }
}

void LibusbDriver::CancelAndEnd(const std::vector<std::shared_ptr<Operation>>& ops) {
    for (const auto& op : ops) {
        libusb_cancel_transfer(op->transfer);
    }
    for (const auto& op : ops) {
        WaitFor(*op, kInfinite);
    }
}

WaitOutcome LibusbDriver::WaitFor(BackendOperation& op, std::uint32_t timeoutMs) {
    // Every operation of this backend is one of its own.
    int& done = static_cast<Operation&>(op).done;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (op.ended) {
                return WaitOutcome::Signalled;
            }
        }
        auto slice = std::chrono::duration_cast<std::chrono::microseconds>(kEventSlice);
        if (timeoutMs != kInfinite) {
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return WaitOutcome::TimedOut;
            }
            slice = std::min(slice, left);
        }
        timeval tv{};
        tv.tv_sec = static_cast<decltype(tv.tv_sec)>(slice.count() / 1000000);
        tv.tv_usec = static_cast<decltype(tv.tv_usec)>(slice.count() % 1000000);
        // Handles events on this thread, or waits while another thread does;
        // returns early once this request is done.
        libusb_handle_events_timeout_completed(m_context, &tv, &done);
    }
}

void LibusbDriver::End(BackendOperation& op) {
    {
        std::lock_guard lock(m_mutex);
        if (op.ended) {
            return;
        }
    }
    libusb_cancel_transfer(static_cast<Operation&>(op).transfer);
    WaitFor(op, kInfinite);
}

NotificationHandle LibusbDriver::RegisterInterfaceNotification(NotifyWindow window,
                                                               const Guid& interfaceClass) {
    if (window == kNoNotifyWindow) {
        return kNoNotification;
    }
    // Only the meter class has devices here, but a registration for another
    // class is still a registration; it simply never fires.
    const bool watch = interfaceClass == kMeterInterfaceGuid;
    std::lock_guard lock(m_mutex);
    if (watch && !m_hotplugRegistered && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        // The hot-plug callback needs someone to handle libusb's events
        // even while no request is waited on.
        const int result = libusb_hotplug_register_callback(
            m_context,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY,
            [](libusb_context* context, libusb_device* device, libusb_hotplug_event event,
               void* self) { return HotplugEvent(context, device, event, self); },
            this, &m_hotplugHandle);
        if (result == 0) {
            m_hotplugRegistered = true;
            m_eventThread = std::thread([this] { EventLoop(); });
        }
    }
    const std::uintptr_t value = m_nextRegistration++;
    m_registrations.emplace(value, Registration{window, nullptr});
    return NotificationHandle{value};
}

NotificationHandle LibusbDriver::RegisterHandleNotification(NotifyWindow window,
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
    m_registrations.emplace(value, Registration{window, found->second->device});
    return NotificationHandle{value};
}

bool LibusbDriver::UnregisterNotification(NotificationHandle notification) {
    std::lock_guard lock(m_mutex);
    return m_registrations.erase(static_cast<std::uintptr_t>(notification)) > 0;
}

int LibusbDriver::HotplugEvent(libusb_context*, libusb_device* device, int event, void* self) {
    static_cast<LibusbDriver*>(self)->OnHotplug(device,
                                                event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0; // stay registered
}

void LibusbDriver::OnHotplug(libusb_device* device, bool arrived) {
    const std::optional<UsbId> id = IdOf(device);
    if (!id || !Matches(*id)) {
        return;
    }
    const std::string path = PathOf(device);
    std::vector<DeviceNotification> notifications;
    DeviceNotificationCallback notify;
    {
        std::lock_guard lock(m_mutex);
        notify = m_notify;
        for (const auto& [value, registration] : m_registrations) {
            const bool forHandle = registration.device != nullptr;
            if (forHandle && (arrived || registration.device != device)) {
                continue;
            }
            notifications.push_back(
                {arrived ? DeviceNotification::Kind::Arrival : DeviceNotification::Kind::Removal,
                 registration.window, NotificationHandle{value}, path});
        }
    }
    if (notify) {
        for (const DeviceNotification& notification : notifications) {
            notify(notification);
        }
    }
}

void LibusbDriver::EventLoop() {
    while (!m_stopEvents) {
        timeval tv{};
        tv.tv_usec = static_cast<decltype(tv.tv_usec)>(
            std::chrono::duration_cast<std::chrono::microseconds>(kEventSlice).count());
        libusb_handle_events_timeout_completed(m_context, &tv, nullptr);
    }
}

} // namespace zelmora
