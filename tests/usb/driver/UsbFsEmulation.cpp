#include "UsbFsEmulation.h"

#include "usb/driver/UsbDescriptors.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

namespace zelmora {

namespace {

constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
constexpr std::size_t kSetupSize = 8;

// One URB from its submission until libusb reaps it.
struct Urb {
    UMockdevIoctlClient* client = nullptr; // the connection (an open file) it came on
    UMockdevIoctlData* urb = nullptr;      // the client's usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;   // its data buffer
    bool finished = false;
    int status = 0;
    std::vector<std::uint8_t> inData; // written at the buffer's data offset
    std::size_t dataOffset = 0;
    int actualLength = 0;
};

} // namespace

struct UsbFsEmulation::Node {
    std::shared_ptr<VirtualDevice> device;
    std::string sysPath;
    UMockdevIoctlBase* handler = nullptr;
    mutable std::mutex mutex;
    bool gone = false;
    std::deque<Urb> urbs;
    std::size_t discards = 0;

    ~Node() {
        {
            // umockdev's thread last touched the queue under the lock; the
            // lock is what orders its writes before these reads.
            std::lock_guard lock(mutex);
            for (Urb& urb : urbs) {
                Release(urb);
            }
        }
        if (handler) {
            g_object_unref(handler);
        }
    }

    static void Release(Urb& urb) {
        if (urb.buffer) {
            g_object_unref(urb.buffer);
        }
        g_object_unref(urb.urb);
    }

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Node*>(self)->Handle(client);
        return TRUE;
    }

    void Handle(UMockdevIoctlClient* client) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard lock(mutex);
        if (gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, 4, nullptr);
            if (!caps) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return;
            }
            std::memcpy(caps->data, &kCapabilities, 4);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL: // disconnecting a kernel driver: none is bound
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return;
        case USBDEVFS_SUBMITURB:
            Submit(client, arg);
            return;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Reap(client, arg);
            return;
        case USBDEVFS_DISCARDURB:
            Discard(client, arg);
            return;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return;
        }
    }

    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        Urb urb;
        urb.client = client;
        urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!urb.urb) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        usbdevfs_urb header;
        std::memcpy(&header, urb.urb->data, sizeof header);
        if (header.buffer_length < 0 ||
            (header.type == USBDEVFS_URB_TYPE_CONTROL &&
             header.buffer_length < static_cast<int>(kSetupSize)) ||
            header.type == USBDEVFS_URB_TYPE_ISO) {
            g_object_unref(urb.urb);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        if (header.buffer_length > 0) {
            urb.buffer =
                umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                            static_cast<gsize>(header.buffer_length), nullptr);
            if (!urb.buffer) {
                g_object_unref(urb.urb);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return;
            }
        }
        const std::uint8_t* bytes = urb.buffer ? urb.buffer->data : nullptr;
        const std::size_t size = static_cast<std::size_t>(header.buffer_length);

        VirtualDevice::Request request;
        request.control = header.type == USBDEVFS_URB_TYPE_CONTROL;
        std::size_t asked = size;
        if (request.control) {
            request.setup.requestType = bytes[0];
            request.setup.request = bytes[1];
            request.setup.value = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
            request.setup.index = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
            request.setup.length = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
            request.in = (bytes[0] & 0x80) != 0;
            asked = std::min<std::size_t>(request.setup.length, size - kSetupSize);
            urb.dataOffset = kSetupSize;
        } else {
            request.endpoint = header.endpoint;
            request.in = (header.endpoint & 0x80) != 0;
        }
        if (request.in) {
            request.inLength = static_cast<std::uint32_t>(asked);
        } else if (asked > 0) {
            request.outData = {bytes + urb.dataOffset, asked};
        }

        const VirtualDevice::Faults faults = device->GetFaults();
        std::optional<VirtualDevice::Reply> reply;
        if (!faults.neverAnswer) {
            if (request.control && request.setup.requestType == 0x80 &&
                request.setup.request == 6) {
                const auto* descriptor = device->FindDescriptor(request.setup.value);
                reply =
                    descriptor ? VirtualDevice::Reply{*descriptor, 0, 0} : VirtualDevice::Stall();
            } else {
                reply = device->HandleRequest(request);
            }
        }
        if (reply) {
            std::size_t limit = asked;
            if (faults.replyLimit) {
                limit = std::min<std::size_t>(limit, *faults.replyLimit);
            }
            urb.finished = true;
            if (faults.completionStatus != 0 || reply->completionStatus != 0) {
                urb.status = -EPIPE; // the device stalled
            } else if (request.in) {
                urb.inData.assign(reply->data.begin(),
                                  reply->data.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min(limit, reply->data.size())));
                urb.actualLength = static_cast<int>(urb.inData.size());
            } else {
                urb.actualLength = static_cast<int>(limit);
            }
        }
        urbs.push_back(std::move(urb));
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        // Each open file reaps only its own URBs.
        const auto found = std::find_if(urbs.begin(), urbs.end(), [client](const Urb& urb) {
            return urb.finished && urb.client == client;
        });
        if (found == urbs.end()) {
            umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
            return;
        }
        // The argument points at the client's URB pointer, which receives
        // the reaped URB's address.
        UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (!target) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        Urb urb = std::move(*found);
        urbs.erase(found);
        auto* header = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
        header->status = urb.status;
        header->actual_length = urb.actualLength;
        if (urb.buffer && !urb.inData.empty()) {
            std::memcpy(urb.buffer->data + urb.dataOffset, urb.inData.data(), urb.inData.size());
        }
        umockdev_ioctl_data_set_ptr(target, 0, urb.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(target);
        Release(urb);
    }

    void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        gulong address = 0;
        std::memcpy(&address, arg->data,
                    std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
        for (Urb& urb : urbs) {
            if (urb.client == client && urb.urb->client_addr == address && !urb.finished) {
                urb.finished = true;
                urb.status = -ENOENT;
                urb.actualLength = 0;
                ++discards;
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
};

NamedDevice::NamedDevice(std::uint16_t vendorId, std::uint16_t productId,
                         std::u16string manufacturer, std::u16string product)
    : VirtualDevice({UsbDescriptors::Device({.vendorId = vendorId,
                                             .productId = productId,
                                             .manufacturerIndex = 1,
                                             .productIndex = 2}),
                     {UsbDescriptors::Configuration({.interfaces = {{}}})},
                     {{0, UsbDescriptors::LanguageTable({0x0409})},
                      {1, UsbDescriptors::String(manufacturer)},
                      {2, UsbDescriptors::String(product)}}}) {}

std::optional<VirtualDevice::Reply> NamedDevice::HandleRequest(const Request&) {
    ++otherRequests;
    return Stall();
}

UsbFsEmulation::UsbFsEmulation() : m_testbed(umockdev_testbed_new()) {}

UsbFsEmulation::~UsbFsEmulation() {
    g_object_unref(m_testbed);
}

bool UsbFsEmulation::Active() {
    return umockdev_in_mock_environment();
}

std::string UsbFsEmulation::Add(std::shared_ptr<VirtualDevice> device, int port, int address,
                                bool announce, bool mayOpen) {
    const std::string name = Format("1-%d", port);
    const std::string devNode = Format("/dev/bus/usb/001/%03d", address);
    const std::string devNum = Format("%d\n", address);
    const std::string devNumProperty = Format("%03d", address);
    gchar* sysPath = umockdev_testbed_add_device(
        m_testbed, "usb", name.c_str(), nullptr, "busnum", "1\n", "devnum", devNum.c_str(), "speed",
        "12\n", "bConfigurationValue", "1\n", nullptr, "DEVNAME", devNode.c_str(), "DEVTYPE",
        "usb_device", "BUSNUM", "001", "DEVNUM", devNumProperty.c_str(), "SUBSYSTEM", "usb",
        nullptr);
    if (!sysPath) {
        throw std::runtime_error("umockdev cannot add " + name);
    }
    const std::string path = sysPath;
    g_free(sysPath);

    const VirtualDevice::Descriptors& descriptors = device->GetDescriptors();
    std::vector<std::uint8_t> raw = descriptors.device;
    for (const auto& configuration : descriptors.configurations) {
        raw.insert(raw.end(), configuration.begin(), configuration.end());
    }
    umockdev_testbed_set_attribute_binary(m_testbed, path.c_str(), "descriptors", raw.data(),
                                          static_cast<gint>(raw.size()));
    // The kernel's copies of the device's strings, UTF-8 with a newline.
    const std::pair<const char*, std::size_t> strings[] = {{"manufacturer", 14}, {"product", 15}};
    for (const auto& [attribute, offset] : strings) {
        if (descriptors.device.size() <= offset) {
            continue;
        }
        const auto found = descriptors.strings.find(descriptors.device[offset]);
        if (found != descriptors.strings.end() && found->second.size() > 2) {
            const std::string text = Utf8FromUtf16Le(std::span(found->second).subspan(2)) + "\n";
            umockdev_testbed_set_attribute(m_testbed, path.c_str(), attribute, text.c_str());
        }
    }

    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    const std::filesystem::path node = std::filesystem::path(root) / devNode.substr(1);
    g_free(root);
    std::filesystem::create_directories(node.parent_path());
    std::ofstream(node).flush();
    if (!mayOpen) {
        std::filesystem::permissions(node, std::filesystem::perms::none);
    }

    auto entry = std::make_unique<Node>();
    entry->device = std::move(device);
    entry->sysPath = path;
    entry->handler = umockdev_ioctl_base_new();
    g_signal_connect(entry->handler, "handle-ioctl", G_CALLBACK(Node::OnIoctl), entry.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, devNode.c_str(), entry->handler, &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot attach to " + devNode + ": " + message);
    }
    m_nodes.push_back(std::move(entry));
    if (announce) {
        umockdev_testbed_uevent(m_testbed, path.c_str(), "add");
    }
    return path;
}

void UsbFsEmulation::Remove(const std::string& sysPath) {
    for (const auto& node : m_nodes) {
        if (node->sysPath != sysPath) {
            continue;
        }
        std::lock_guard lock(node->mutex);
        node->gone = true;
        for (Urb& urb : node->urbs) {
            if (!urb.finished) {
                urb.finished = true;
                urb.status = -ENODEV;
                urb.actualLength = 0;
            }
        }
    }
    umockdev_testbed_uevent(m_testbed, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, sysPath.c_str());
}

std::size_t UsbFsEmulation::DiscardCount() const {
    std::size_t count = 0;
    for (const auto& node : m_nodes) {
        std::lock_guard lock(node->mutex);
        count += node->discards;
    }
    return count;
}

std::size_t UsbFsEmulation::UnfinishedUrbCount() const {
    std::size_t count = 0;
    for (const auto& node : m_nodes) {
        std::lock_guard lock(node->mutex);
        count += static_cast<std::size_t>(std::count_if(
            node->urbs.begin(), node->urbs.end(), [](const Urb& urb) { return !urb.finished; }));
    }
    return count;
}

} // namespace zelmora
