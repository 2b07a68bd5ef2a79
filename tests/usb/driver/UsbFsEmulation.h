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

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace zelmora {

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
    // that hot-plug watchers see.
    std::string Add(std::shared_ptr<VirtualDevice> device, int port, int address,
                    bool announce = false);
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

// The main() of a test program that emulates devices: runs its tests, or
// reports them skipped (exit status 77) without umockdev's preload library,
// with which libusb would see the real (here: empty) bus and every case
// would fail for a reason that has nothing to do with the code under test.
int RunEmulatedTests(int argc, char** argv);

} // namespace zelmora
