#pragma once

// Emulated USB devices at the usbfs level (umockdev), so that tests run
// libusb's own code against a device: sysfs entries for enumeration and a
// device node whose ioctls (URBs, claims, capabilities) are answered here
// from a VirtualDevice, the same device class the virtual backend serves.
//
// Create the emulation before any libusb context: a context made earlier
// never sees the emulated devices. The test program must run with
// umockdev's preload library.

#include "usb/driver/VirtualDevice.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace zelmora {

// A USB device of any kind (a keyboard, a hub, a meter not yet listed),
// with its maker and product strings in the descriptors. It counts the
// requests that are not standard ones and stalls them: nothing but
// descriptor requests may reach a device the program does not know.
class NamedDevice : public VirtualDevice {
public:
    NamedDevice(std::uint16_t vendorId, std::uint16_t productId, std::u16string manufacturer,
                std::u16string product);
    std::optional<Reply> HandleRequest(const Request&) override;
    std::atomic<int> otherRequests{0};
};

class UsbFsEmulation {
public:
    UsbFsEmulation();
    UsbFsEmulation(const UsbFsEmulation&) = delete;
    UsbFsEmulation& operator=(const UsbFsEmulation&) = delete;
    ~UsbFsEmulation();

    // True when umockdev's preload library is active in this process.
    static bool Active();

    // Plugs a device in on bus 1 at root port `port` with device number
    // `address`; returns its sysfs path. `announce` also sends the uevent
    // that hot-plug watchers see. Its maker and product strings are in
    // sysfs as the kernel keeps them. A device the user may not open has a
    // device node without read and write permission (the emulating
    // programs run without the capabilities that pass over it, also as
    // root: see RunEmulatedTests).
    std::string Add(std::shared_ptr<VirtualDevice> device, int port, int address,
                    bool announce = false, bool mayOpen = true);
    // Unplugs a device: its pending URBs end as after a disconnect, every
    // later request on its node fails with ENODEV, and it leaves sysfs with a
    // remove uevent.
    void Remove(const std::string& sysPath);

    // URBs discarded (time-outs, aborts, closes) and still unfinished, of
    // every device so far.
    std::size_t DiscardCount() const;
    std::size_t UnfinishedUrbCount() const;

private:
    struct Node;

    UMockdevTestbed* m_testbed = nullptr;
    std::vector<std::unique_ptr<Node>> m_nodes;
};

// The main() of a test program that emulates devices: drops the
// capabilities that let root open any file (so a device node's permission
// bits count as they do for every user), then runs its tests, or
// reports them skipped (exit status 77) without umockdev's preload library,
// with which libusb would see the real (here: empty) bus and every case
// would fail for a reason that has nothing to do with the code under test.
int RunEmulatedTests(int argc, char** argv);

} // namespace zelmora
