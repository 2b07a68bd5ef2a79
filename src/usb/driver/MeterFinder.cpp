#include "usb/driver/MeterFinder.h"

#include "util/TextFormat.h"

#include <algorithm>

namespace zelmora {

namespace {

std::string NameOf(const UsbDeviceInfo& device) {
    std::string name = device.manufacturer;
    if (!device.product.empty()) {
        name += name.empty() ? device.product : " " + device.product;
    }
    return name.empty() ? "(no name)" : name;
}

const char* AccessText(DeviceAccess access) {
    switch (access) {
    case DeviceAccess::Opened:
        return "yes";
    case DeviceAccess::NoPermission:
        return "no permission";
    case DeviceAccess::Failed:
        break;
    }
    return "no";
}

std::string Column(std::string value, std::size_t width) {
    value.resize(std::max(width, value.size() + 1), ' ');
    return value;
}

} // namespace

std::string PlaceOf(const UsbDeviceInfo& device) {
    if (device.ports.empty()) {
        return Format("bus %u device %u", device.bus, device.address);
    }
    return Format("%u-%s", device.bus, device.ports.c_str());
}

std::string DescribeUsbDevice(const UsbDeviceInfo& device) {
    std::string text =
        MatchList::FormatId(device.id) + "  " + PlaceOf(device) + "  " + NameOf(device);
    if (device.listed) {
        text += "  [on the meter list]";
    }
    if (device.access == DeviceAccess::NoPermission) {
        text += "  [no permission]";
    }
    return text;
}

std::string FormatUsbListing(const std::vector<UsbDeviceInfo>& devices) {
    std::string text =
        "ID         PLACE             METER LIST  MAY OPEN       MAKER AND PRODUCT\n";
    for (const UsbDeviceInfo& device : devices) {
        text += Column(MatchList::FormatId(device.id), 11) + Column(PlaceOf(device), 18) +
                Column(device.listed ? "listed" : "-", 12) + Column(AccessText(device.access), 15) +
                NameOf(device) + "\n";
    }
    return text;
}

} // namespace zelmora
