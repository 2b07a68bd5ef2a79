#pragma once

// A finder that lists the USB devices a test gives it and changes nothing:
// for what shows a listing (the diagnostic report, Find my meter) without
// a USB backend.

#include "usb/driver/MeterFinder.h"

#include <vector>

namespace zelmora::test {

class ListedUsbDevices : public MeterFinder {
public:
    std::vector<UsbDeviceInfo> ListUsbDevices() override { return devices; }
    DeviceAccess CheckAccess(const UsbDeviceInfo& device) override { return device.access; }
    MeterAbsence ExplainNoMeter() override { return {}; }
    MatchListAddition AddToMatchList(UsbId, std::string_view) override { return {}; }
    AccessGrant HowToGrantAccess(UsbId) const override { return {}; }

    std::vector<UsbDeviceInfo> devices;
};

} // namespace zelmora::test
