#include "window/FindMeterDlgLogic.h"

#include "util/TextFormat.h"
#include "window/DialogResource.h"
#include "window/WindowHost.h"

#include <optional>

namespace zelmora {

namespace {

// The outcome box is a multi-line edit box: its lines end as the
// platform's edit controls expect them.
std::string Lines(std::string text) {
    std::string lines;
    for (const char c : text) {
        if (c == '\n') {
            lines += "\r\n";
        } else {
            lines += c;
        }
    }
    return lines;
}

} // namespace

CFindMeterDlgLogic::CFindMeterDlgLogic(MeterFinder& finder, std::function<std::string()> rescan)
    : m_finder(finder), m_rescan(std::move(rescan)) {}

const DialogResource& CFindMeterDlgLogic::GetResource() const {
    return FindMeterDialogResource();
}

void CFindMeterDlgLogic::OnInitDialog(DialogHost& host) {
    FillList(host);
    host.SetFocus(kIdDevices);
}

void CFindMeterDlgLogic::OnOK(DialogHost& host) {
    OnAdd(host);
}

void CFindMeterDlgLogic::OnCommand(DialogHost& host, int id) {
    switch (id) {
    case kIdAdd:
        OnAdd(host);
        break;
    case kIdRefresh:
        FillList(host);
        host.SetText(kIdOutcome, "");
        host.SetEnabled(kIdCopy, false);
        break;
    case kIdCopy:
        host.CopyToClipboard(m_strCommands);
        break;
    default:
        break;
    }
}

void CFindMeterDlgLogic::FillList(DialogHost& host) {
    // Keeps the operator's choice across a refresh while that device is
    // still there.
    const int selected = host.GetListSelection(kIdDevices);
    std::optional<UsbDeviceInfo> chosen;
    if (selected >= 0 && static_cast<std::size_t>(selected) < m_devices.size()) {
        chosen = m_devices[static_cast<std::size_t>(selected)];
    }
    m_devices = m_finder.ListUsbDevices();
    host.ClearList(kIdDevices);
    int select = -1;
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        const UsbDeviceInfo& device = m_devices[i];
        host.AddListEntry(kIdDevices, DescribeUsbDevice(device));
        if (chosen && device.id == chosen->id && PlaceOf(device) == PlaceOf(*chosen)) {
            select = static_cast<int>(i);
        }
    }
    host.SetListSelection(kIdDevices, select);
    if (m_devices.empty()) {
        host.SetText(kIdOutcome, "No USB device was found. Plug the meter in and press "
                                 "\"Look again\".");
    }
}

void CFindMeterDlgLogic::OnAdd(DialogHost& host) {
    const int selected = host.GetListSelection(kIdDevices);
    if (selected < 0 || static_cast<std::size_t>(selected) >= m_devices.size()) {
        host.SetText(kIdOutcome, "Choose your meter in the list first.");
        return;
    }
    const UsbDeviceInfo device = m_devices[static_cast<std::size_t>(selected)];
    const std::string id = MatchList::FormatId(device.id);
    std::string outcome;
    m_strCommands.clear();

    if (device.listed) {
        outcome = id + " is on the meter list already.";
    } else {
        std::string note = device.manufacturer;
        if (!device.product.empty()) {
            note += note.empty() ? device.product : " " + device.product;
        }
        const MatchListAddition addition = m_finder.AddToMatchList(device.id, note);
        if (!addition.added) {
            host.SetText(kIdOutcome, Lines(Format("%s could not be added to your meter list: %s",
                                                  id.c_str(), addition.error.c_str())));
            host.SetEnabled(kIdCopy, false);
            return;
        }
        m_bAddedAny = true;
        outcome = addition.alreadyThere ? Format("%s is in your meter list already (%s).",
                                                 id.c_str(), addition.path.c_str())
                                        : Format("%s was added to your meter list (%s).",
                                                 id.c_str(), addition.path.c_str());
    }

    std::string grant;
    switch (m_finder.CheckAccess(device)) {
    case DeviceAccess::Opened:
        outcome += " You may open it.";
        break;
    case DeviceAccess::NoPermission: {
        const AccessGrant access = m_finder.HowToGrantAccess(device.id);
        grant = "\n\n" + access.explanation + "\n\n" + access.commands;
        m_strCommands = access.commands;
        break;
    }
    case DeviceAccess::Failed:
        outcome += " It could not be opened just now: is it still plugged in?";
        break;
    }
    if (m_rescan) {
        outcome += "\n" + m_rescan();
    }
    host.SetText(kIdOutcome, Lines(outcome + grant));
    host.SetEnabled(kIdCopy, !m_strCommands.empty());
    FillList(host);
}

} // namespace zelmora
