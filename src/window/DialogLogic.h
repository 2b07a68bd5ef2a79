#pragma once

// What a small modal dialog decides, apart from any toolkit: a host builds
// the dialog from GetResource(), calls OnInitDialog once its controls
// exist, and hands the logic the operator's Enter (or the default button),
// Esc (or the cancel button and the close box) and other commands.

#include "window/DialogIds.h"

namespace zelmora {

class DialogHost;
struct DialogResource;

class CDialogLogic : public DialogIds {
public:
    virtual ~CDialogLogic() = default;

    virtual const DialogResource& GetResource() const = 0;

    // The controls exist: fill them and put the focus where it belongs.
    virtual void OnInitDialog(DialogHost& host);
    // Enter, or the default button: ends the dialog with kIdOk.
    virtual void OnOK(DialogHost& host);
    // Esc, "Cancel" or the close box: ends the dialog with kIdCancel.
    virtual void OnCancel(DialogHost& host);
    // Another button clicked: nothing by default.
    virtual void OnCommand(DialogHost& host, int id);
};

// A dialog that decides nothing: the About box.
class CAboutDlgLogic : public CDialogLogic {
public:
    const DialogResource& GetResource() const override;
};

// The number box of the Set Power Region dialog takes only the keystrokes
// a decimal number is typed with: digits, '-', '.' and backspace (8).
// Every other character a key would type is dropped, control characters
// included. Only typing is filtered; where signs and points stand is the
// dialog's concern. Its text is black on white.
class CNumberEditLogic {
public:
    static bool IsAccepted(char32_t character);
};

} // namespace zelmora
