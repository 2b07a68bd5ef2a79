#pragma once

// What a new user needs to get from a meter plugged in to a meter listed:
// every USB device present (not only the meters), why no meter was listed,
// a device's id added to the user's own match list, and how to be allowed
// to open it. Only a backend that finds meters by a match list has this
// (libusb); where a kernel driver publishes the meters (Windows) there is
// nothing to find and no finder.
//
// Listing never sends a device anything but standard descriptor requests:
// a device that is not on the match list gets no vendor request.

#include "usb/driver/MatchList.h"

#include <string>
#include <string_view>
#include <vector>

namespace zelmora {

// Whether the program may open a device.
enum class DeviceAccess {
    Opened,       // it opened (and was closed again)
    NoPermission, // the system refused it to this user
    Failed,       // it could not be opened for another reason (gone, busy)
};

struct UsbDeviceInfo {
    UsbId id;
    // The device's own strings, made printable; empty where it has none or
    // they cannot be read.
    std::string manufacturer;
    std::string product;
    unsigned bus = 0;
    // The port path below the bus ("3.1"), empty for a root hub.
    std::string ports;
    unsigned address = 0;
    // Its id is on the match list.
    bool listed = false;
    DeviceAccess access = DeviceAccess::Failed;
};

// Why the last listing of meters held none, as far as the backend knows.
struct MeterAbsence {
    enum class Reason {
        Unknown,       // the backend cannot tell
        ListEmpty,     // no id is on the match list
        NoneMatched,   // no device present has an id of the list
        NoPermission,  // a matching device could not be opened for lack of permission
        NotAMeter,     // matching devices opened but none answered as a meter
        ListingFailed, // the devices could not be listed at all
    };
    Reason reason = Reason::Unknown;
    // The matching devices concerned (refused, or not answering as meters).
    std::vector<UsbId> devices;
};

// What adding an id to the user's match list did.
struct MatchListAddition {
    bool added = false;        // the file now has the id (false: see error)
    bool alreadyThere = false; // it had it before: nothing was written
    std::string path;          // the file
    std::string error;         // why it could not be added
};

// How a user is given access to a device: a short explanation and the
// commands to run (for a terminal, or the clipboard).
struct AccessGrant {
    std::string explanation;
    std::string commands;
};

class MeterFinder {
public:
    virtual ~MeterFinder() = default;

    // Every USB device present, ordered by bus and port.
    virtual std::vector<UsbDeviceInfo> ListUsbDevices() = 0;
    // Opens the device at that place and closes it again at once.
    virtual DeviceAccess CheckAccess(const UsbDeviceInfo& device) = 0;
    // Why the meters' last listing held none.
    virtual MeterAbsence ExplainNoMeter() = 0;
    // Adds `id` to the user's match list file (and to the list in use), with
    // `note` as a comment line above it. An id already there is not added
    // twice.
    virtual MatchListAddition AddToMatchList(UsbId id, std::string_view note) = 0;
    // How to let the logged-in user open devices of this id.
    virtual AccessGrant HowToGrantAccess(UsbId id) const = 0;
};

// "1-3.1", the bus and port path as the system names the device, or
// "bus 1 device 4" for a device without a port path (a root hub).
std::string PlaceOf(const UsbDeviceInfo& device);

// One device for a person to recognise: id, place, maker and product,
// and whether it is on the match list or may not be opened.
std::string DescribeUsbDevice(const UsbDeviceInfo& device);

// Every device, one line each, under a header line; for a terminal.
std::string FormatUsbListing(const std::vector<UsbDeviceInfo>& devices);

} // namespace zelmora
