#pragma once

// A dialog of the platform's dialog manager built from a DialogResource:
// the native side of the host seam (DialogHost). The controls are the
// platform's own (buttons, edit boxes, combo boxes, statics), created from
// an in-memory template, and addressed by their ids.
//
// A dialog with a CDialogLogic runs it: WM_INITDIALOG fills the controls
// through the logic, Enter and the default button (IDOK) and Esc, "Cancel"
// and the close box (IDCANCEL) go to it. The main window (CWin32ZelmoraDlg)
// takes the messages itself through HandleMessage.
//
// Number boxes of the resource take only the characters CNumberEditLogic
// accepts; alert labels are drawn in red; a control whose font lacks the
// glyphs of its text (Chinese, under Wine) gets a face that has them.
//
// Each dialog is laid out at the DPI of the monitor it is on: the dialog
// manager makes it so, and when the window moves to a monitor of another
// DPI (WM_DPICHANGED) the dialog lays its controls out from the template
// again, gives them fonts of the new DPI and takes the template's size at
// it.

#include "win32/Win32Dpi.h"
#include "window/DialogLogic.h"
#include "window/DialogResource.h"
#include "window/WindowHost.h"

#include <vector>
#include <windows.h>

namespace zelmora {

class CWin32Dialog : public DialogHost {
public:
    // A dialog run by `logic`, which must outlive it.
    explicit CWin32Dialog(CDialogLogic& logic);
    ~CWin32Dialog() override;

    CWin32Dialog(const CWin32Dialog&) = delete;
    CWin32Dialog& operator=(const CWin32Dialog&) = delete;

    // Runs the dialog modally, owned by `owner`; its result (IDOK, IDCANCEL)
    // or -1 when it could not be created.
    INT_PTR DoModal(HWND owner);

    HWND GetHwnd() const { return m_hWnd; }

    // DialogHost.
    std::string GetText(int id) const override;
    void SetText(int id, std::string_view text) override;
    bool IsChecked(int id) const override;
    void SetChecked(int id, bool checked) override;
    void SetEnabled(int id, bool enabled) override;
    void SetVisible(int id, bool visible) override;
    void ClearList(int id) override;
    void AddListEntry(int id, std::string_view text) override;
    int GetListSelection(int id) const override;
    void SetListSelection(int id, int index) override;
    int GetFocus() const override;
    void SetFocus(int id) override;
    void ShowMessageBox(std::string_view text) override;
    void CopyToClipboard(std::string_view text) override;
    void EndDialog(int result) override;

    // The title of the program's message boxes.
    static const wchar_t* AppTitle() { return L"Zelmora"; }

protected:
    // A dialog of `resource` whose messages a subclass handles.
    explicit CWin32Dialog(const DialogResource& resource);

    // The dialog's messages; TRUE when handled. Subclasses call this for
    // what they leave to the generic handling.
    virtual INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // WM_INITDIALOG after the generic set-up; TRUE to let the dialog
    // manager set the focus.
    virtual BOOL OnInitDialog();
    // A control's notification (WM_COMMAND from a control).
    virtual void OnControlCommand(int id, int code);

    // WM_DPICHANGED: the window is on a monitor of `dpi` now, and Windows
    // proposes `suggested` for it. Subclasses lay out what they added after
    // calling this.
    virtual void OnDpiChanged(int dpi, const RECT& suggested);
    // The DPI the dialog is laid out at.
    int Dpi() const { return m_dpi; }

    const DialogResource& Resource() const { return m_resource; }
    // True while the program itself writes a control's text.
    bool IsSettingText() const { return m_bSettingText; }
    HWND Control(int id) const;
    bool IsListBox(int id) const;
    // Gives the control a font that shows `text`, where its own does not.
    void EnsureFontShows(HWND control, std::wstring_view text);

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK NumberEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR data);
    void SetUpControls();
    // Gives every control of the template its font at the dialog's DPI:
    // its own, or the dialog's (the dialog manager's until the DPI
    // changes); a face that shows its text where that font does not.
    void ApplyFonts();
    // Places every control of the template as the dialog manager would at
    // the dialog's DPI.
    void LayOutControls();

    const DialogResource& m_resource;
    CDialogLogic* m_logic = nullptr;
    HWND m_hWnd = nullptr;
    // Set while the program itself writes a control, whose change
    // notification is for the operator's typing only.
    bool m_bSettingText = false;
    std::vector<HFONT> m_fonts;
    // The template's controls, in its order.
    std::vector<HWND> m_controls;
    int m_dpi = kDefaultDpi;
    // The template's font at the DPI, once the DPI changed.
    HFONT m_dialogFont = nullptr;
};

} // namespace zelmora
