#pragma once

// The meter finder of the libusb backend: the devices it sees, the reason
// its last listing held no meter, the user's match list file, and the udev
// rule that lets the user at the seat open a device.

#include "usb/driver/MeterFinder.h"

#include <string>

namespace zelmora {

class LibusbDriver;

class LibusbMeterFinder final : public MeterFinder {
public:
    // Works on `driver`, which must outlive it; ids are added to the file
    // at `userFile` (MatchList::UserFile() for the program).
    LibusbMeterFinder(LibusbDriver& driver, std::string userFile);

    std::vector<UsbDeviceInfo> ListUsbDevices() override;
    DeviceAccess CheckAccess(const UsbDeviceInfo& device) override;
    MeterAbsence ExplainNoMeter() override;
    MatchListAddition AddToMatchList(UsbId id, std::string_view note) override;
    AccessGrant HowToGrantAccess(UsbId id) const override;

    // The udev rule line for devices of `id` and the file of the user's own
    // it goes to (a name that sorts before the rules acting on the tag).
    static std::string UdevRule(UsbId id);
    static std::string UdevRuleFile(UsbId id);

private:
    LibusbDriver& m_driver;
    const std::string m_userFile;
};

} // namespace zelmora
