#include "usb/driver/LibusbMeterFinder.h"

#include "usb/driver/LibusbDriver.h"
#include "util/TextFormat.h"

namespace zelmora {

LibusbMeterFinder::LibusbMeterFinder(LibusbDriver& driver, std::string userFile)
    : m_driver(driver), m_userFile(std::move(userFile)) {}

std::vector<UsbDeviceInfo> LibusbMeterFinder::ListUsbDevices() {
    return m_driver.ListAllDevices();
}

DeviceAccess LibusbMeterFinder::CheckAccess(const UsbDeviceInfo& device) {
    return m_driver.ProbeAccess(device);
}

MeterAbsence LibusbMeterFinder::ExplainNoMeter() {
    const LibusbDriver::ListingState state = m_driver.GetListingState();
    if (state.failed) {
        return {MeterAbsence::Reason::ListingFailed, {}};
    }
    if (m_driver.GetMatchList().empty()) {
        return {MeterAbsence::Reason::ListEmpty, {}};
    }
    if (state.matched.empty()) {
        return {MeterAbsence::Reason::NoneMatched, {}};
    }
    if (!state.refused.empty()) {
        return {MeterAbsence::Reason::NoPermission, state.refused};
    }
    return {MeterAbsence::Reason::NotAMeter, state.matched};
}

MatchListAddition LibusbMeterFinder::AddToMatchList(UsbId id, std::string_view note) {
    MatchListAddition addition;
    addition.path = m_userFile;
    if (m_userFile.empty()) {
        addition.error = "there is no home folder to keep the list in (HOME is not set)";
        return addition;
    }
    switch (MatchList::AddToFile(m_userFile, id, note, &addition.error)) {
    case MatchList::AddOutcome::AlreadyThere:
        addition.alreadyThere = true;
        [[fallthrough]];
    case MatchList::AddOutcome::Added:
        addition.added = true;
        m_driver.AddToMatchList(id);
        break;
    case MatchList::AddOutcome::Failed:
        break;
    }
    return addition;
}

std::string LibusbMeterFinder::UdevRule(UsbId id) {
    // The packaged rules give the tagged meters to the user at the seat;
    // the uaccess tag here does it also where they are not installed.
    return Format("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%04x\", "
                  "ATTR{idProduct}==\"%04x\", TAG+=\"zelmora_meter\", TAG+=\"uaccess\"",
                  static_cast<unsigned>(id.vendorId), static_cast<unsigned>(id.productId));
}

std::string LibusbMeterFinder::UdevRuleFile(UsbId id) {
    // Below 73, where the uaccess tag is acted upon; a file of the user's
    // own, so no upgrade overwrites it.
    return Format("/etc/udev/rules.d/70-zelmora-%04x-%04x.rules",
                  static_cast<unsigned>(id.vendorId), static_cast<unsigned>(id.productId));
}

AccessGrant LibusbMeterFinder::HowToGrantAccess(UsbId id) const {
    AccessGrant grant;
    grant.explanation =
        Format("You may not open %s yet. A udev rule in a file of your own under "
               "/etc/udev/rules.d/ lets the user at the seat open it:\n%s\n"
               "Run these commands in a terminal (sudo asks for your password); if the "
               "meter is still not found, unplug it and plug it in again, then press Rescan.",
               MatchList::FormatId(id).c_str(), UdevRule(id).c_str());
    grant.commands =
        Format("echo '%s' | sudo tee %s\n"
               "sudo udevadm control --reload\n"
               "sudo udevadm trigger --subsystem-match=usb "
               "--attr-match=idVendor=%04x --attr-match=idProduct=%04x\n",
               UdevRule(id).c_str(), UdevRuleFile(id).c_str(), static_cast<unsigned>(id.vendorId),
               static_cast<unsigned>(id.productId));
    return grant;
}

} // namespace zelmora
