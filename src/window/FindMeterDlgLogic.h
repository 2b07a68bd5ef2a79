#pragma once

// What the Find my meter dialog decides: it lists every USB device plugged
// in (those already on the meter list marked), and for the one the
// operator chooses adds its id to the user's own meter list, checks
// whether it may be opened, and if not shows the udev rule and the
// commands that install it, ready to copy. Then the main window looks for
// meters again, and the dialog says what it found.

#include "usb/driver/MeterFinder.h"
#include "window/DialogIds.h"
#include "window/DialogLogic.h"

#include <functional>
#include <string>
#include <vector>

namespace zelmora {

class CFindMeterDlgLogic : public CDialogLogic, public FindMeterIds {
public:
    using FindMeterIds::kIdCancel;
    using FindMeterIds::kIdOk;

    // `finder` must outlive the dialog. `rescan` makes the main window look
    // for meters again and returns a sentence on what it found.
    CFindMeterDlgLogic(MeterFinder& finder, std::function<std::string()> rescan);

    const DialogResource& GetResource() const override;
    void OnInitDialog(DialogHost& host) override;
    // Enter: the default button, "Add to my meters".
    void OnOK(DialogHost& host) override;
    void OnCommand(DialogHost& host, int id) override;

    // Whether an id was added during the dialog.
    bool AddedAny() const { return m_bAddedAny; }

private:
    void FillList(DialogHost& host);
    void OnAdd(DialogHost& host);

    MeterFinder& m_finder;
    std::function<std::string()> m_rescan;
    std::vector<UsbDeviceInfo> m_devices;
    std::string m_strCommands;
    bool m_bAddedAny = false;
};

} // namespace zelmora
