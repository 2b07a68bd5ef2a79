#include "win32/DialogTemplate.h"

#include "win32/Win32Fonts.h"
#include "win32/Win32Text.h"

namespace zelmora {

namespace {

// The predefined window classes of a template item, by their atoms.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kListBoxClass = 0x0083;
constexpr WORD kComboBoxClass = 0x0085;

WORD ClassOf(ControlKind kind) {
    switch (kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
    case ControlKind::CheckBox:
    case ControlKind::RadioButton:
    case ControlKind::GroupBox:
        return kButtonClass;
    case ControlKind::Edit:
    case ControlKind::MultiLineEdit:
        return kEditClass;
    case ControlKind::DropDownList:
        return kComboBoxClass;
    case ControlKind::ListBox:
        return kListBoxClass;
    case ControlKind::Label:
    case ControlKind::Icon:
        break;
    }
    return kStaticClass;
}

} // namespace

DWORD CWin32DialogTemplate::ControlStyle(const ControlResource& control) {
    DWORD style = WS_CHILD;
    if ((control.style & kStyleHidden) == 0) {
        style |= WS_VISIBLE;
    }
    if ((control.style & kStyleDisabled) != 0) {
        style |= WS_DISABLED;
    }
    if ((control.style & kStyleGroupStart) != 0) {
        style |= WS_GROUP;
    }
    switch (control.kind) {
    case ControlKind::PushButton:
        return style | BS_PUSHBUTTON | WS_TABSTOP;
    case ControlKind::DefPushButton:
        return style | BS_DEFPUSHBUTTON | WS_TABSTOP;
    case ControlKind::DropDownList:
        return style | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    case ControlKind::ListBox:
        return style | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP;
    case ControlKind::Label:
        return style | SS_LEFT | SS_NOPREFIX;
    case ControlKind::Icon:
        return style | SS_ICON;
    case ControlKind::Edit:
        style |= ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
        if ((control.style & kStyleReadOnly) != 0) {
            style |= ES_READONLY;
        }
        if ((control.style & kStyleCentred) != 0) {
            style |= ES_CENTER;
        } else if ((control.style & kStyleRight) != 0) {
            style |= ES_RIGHT;
        }
        return style;
    case ControlKind::MultiLineEdit:
        // Without ES_WANTRETURN, Enter is the dialog's, not a line break.
        return style | ES_MULTILINE | ES_AUTOVSCROLL | WS_BORDER | WS_TABSTOP;
    case ControlKind::CheckBox:
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        if ((control.style & kStyleTextLeft) != 0) {
            style |= BS_LEFTTEXT;
        }
        return style;
    case ControlKind::RadioButton:
        return style | BS_AUTORADIOBUTTON;
    case ControlKind::GroupBox:
        return style | BS_GROUPBOX;
    }
    return style;
}

DWORD CWin32DialogTemplate::DialogStyle(const DialogResource& resource) {
    DWORD style =
        WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_VISIBLE;
    if ((resource.style & kDialogMinimizeBox) != 0) {
        style |= WS_MINIMIZEBOX;
    }
    return style;
}

DWORD CWin32DialogTemplate::DialogExStyle(const DialogResource& resource) {
    DWORD style = 0;
    if ((resource.style & kDialogAppWindow) != 0) {
        style |= WS_EX_APPWINDOW;
    }
    if ((resource.style & kDialogToolWindow) != 0) {
        style |= WS_EX_TOOLWINDOW;
    }
    return style;
}

CWin32DialogTemplate::CWin32DialogTemplate(const DialogResource& resource) {
    Add(1);      // version
    Add(0xFFFF); // extended template
    AddDword(0); // help id
    AddDword(DialogExStyle(resource));
    AddDword(DialogStyle(resource));
    Add(static_cast<WORD>(resource.controls.size()));
    Add(0); // x: centred
    Add(0); // y
    Add(static_cast<WORD>(resource.width));
    Add(static_cast<WORD>(resource.height));
    Add(0); // no menu: the host attaches its own
    Add(0); // the dialog class
    AddText(resource.caption);
    Add(static_cast<WORD>(resource.font.points));
    Add(FW_NORMAL);
    Add(MAKEWORD(FALSE, DEFAULT_CHARSET)); // italic, character set
    // A face that is missing (Microsoft Sans Serif under Wine) becomes an
    // installed one of about its metrics, so the layout keeps its
    // proportions.
    for (const wchar_t c : ChooseInstalledFace(Widen(resource.font.face))) {
        Add(static_cast<WORD>(c));
    }
    Add(0);

    for (const ControlResource& control : resource.controls) {
        AlignToDword();
        AddDword(0); // help id
        AddDword(0); // extended style
        AddDword(ControlStyle(control));
        Add(static_cast<WORD>(control.x));
        Add(static_cast<WORD>(control.y));
        Add(static_cast<WORD>(control.width));
        Add(static_cast<WORD>(control.height));
        // A control without an id gets -1, as resource compilers give it.
        AddDword(control.id != 0 ? static_cast<DWORD>(control.id) : static_cast<DWORD>(-1));
        Add(0xFFFF);
        Add(ClassOf(control.kind));
        if (control.kind == ControlKind::Icon) {
            Add(0xFFFF);
            Add(static_cast<WORD>(kIconResource));
        } else {
            AddText(control.text);
        }
        Add(0); // no creation data
    }
}

void CWin32DialogTemplate::AddDword(DWORD value) {
    Add(LOWORD(value));
    Add(HIWORD(value));
}

void CWin32DialogTemplate::AddText(std::string_view text) {
    for (const wchar_t c : Widen(text)) {
        Add(static_cast<WORD>(c));
    }
    Add(0);
}

void CWin32DialogTemplate::AlignToDword() {
    if (m_words.size() % 2 != 0) {
        Add(0);
    }
}

} // namespace zelmora
