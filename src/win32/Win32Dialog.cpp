#include "win32/Win32Dialog.h"

#include "win32/DialogTemplate.h"
#include "win32/Win32Fonts.h"
#include "win32/Win32Text.h"

#include <commctrl.h>
#include <cstring>

namespace zelmora {

namespace {

bool IsAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

} // namespace

CWin32Dialog::CWin32Dialog(CDialogLogic& logic)
    : m_resource(logic.GetResource()), m_logic(&logic) {}

CWin32Dialog::CWin32Dialog(const DialogResource& resource) : m_resource(resource) {}

CWin32Dialog::~CWin32Dialog() {
    for (HFONT font : m_fonts) {
        DeleteObject(font);
    }
    if (m_dialogFont != nullptr) {
        DeleteObject(m_dialogFont);
    }
}

INT_PTR CWin32Dialog::DoModal(HWND owner) {
    const CWin32DialogTemplate dialogTemplate(m_resource);
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate.Get(), owner,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CWin32Dialog::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CWin32Dialog*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        self->m_hWnd = dialog;
        self->SetUpControls();
        return self->OnInitDialog();
    }
    auto* self = reinterpret_cast<CWin32Dialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    const INT_PTR result = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        self->m_hWnd = nullptr;
    }
    return result;
}

void CWin32Dialog::SetUpControls() {
    m_dpi = WindowDpi(m_hWnd);
    TakeOverDialogDpiChanges(m_hWnd);
    // The dialog manager made the controls in template order, each below
    // the one before: the i-th child is the i-th control of the resource,
    // those without an id (labels, the icon) included. Windows the host
    // adds later would break that order, so the controls are kept here.
    m_controls.clear();
    HWND window = GetWindow(m_hWnd, GW_CHILD);
    for (const ControlResource& control : m_resource.controls) {
        if (window == nullptr) {
            break;
        }
        m_controls.push_back(window);
        if ((control.style & kStyleNumberEdit) != 0) {
            SetWindowSubclass(window, NumberEditProc, 1, 0);
        }
        window = GetWindow(window, GW_HWNDNEXT);
    }
    ApplyFonts();
}

void CWin32Dialog::ApplyFonts() {
    std::vector<HFONT> previous = std::move(m_fonts);
    m_fonts.clear();
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        const ControlResource& control = m_resource.controls[i];
        HWND window = m_controls[i];
        if (!control.font.face.empty()) {
            if (HFONT font = CreateDialogFont(control.font, m_dpi)) {
                m_fonts.push_back(font);
                SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
            }
        } else if (m_dialogFont != nullptr) {
            SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(m_dialogFont), FALSE);
        }
        const std::wstring text = WindowText(window);
        if (!IsAscii(Narrow(text))) {
            EnsureFontShows(window, text);
        }
    }
    // Each control holds its new font now; the old ones may go.
    for (HFONT font : previous) {
        DeleteObject(font);
    }
}

void CWin32Dialog::LayOutControls() {
    const SIZE units = DialogBaseUnits(m_resource.font, m_dpi);
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        const ControlResource& control = m_resource.controls[i];
        const RECT place =
            DialogUnitsToPixels(control.x, control.y, control.width, control.height, units);
        SetWindowPos(m_controls[i], nullptr, place.left, place.top, place.right - place.left,
                     place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CWin32Dialog::OnDpiChanged(int dpi, const RECT& suggested) {
    if (dpi <= 0 || dpi == m_dpi) {
        return;
    }
    m_dpi = dpi;
    HFONT previousDialogFont = m_dialogFont;
    m_dialogFont = CreateDialogFont(m_resource.font, m_dpi);
    if (m_dialogFont != nullptr) {
        SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(m_dialogFont), FALSE);
    }
    ApplyFonts();
    if (previousDialogFont != nullptr) {
        DeleteObject(previousDialogFont);
    }
    LayOutControls();
    // The template's size at the new DPI, where Windows proposes.
    RECT frame = DialogUnitsToPixels(0, 0, m_resource.width, m_resource.height,
                                     DialogBaseUnits(m_resource.font, m_dpi));
    AdjustWindowRectForDpi(frame, static_cast<DWORD>(GetWindowLongW(m_hWnd, GWL_STYLE)),
                           GetMenu(m_hWnd) != nullptr,
                           static_cast<DWORD>(GetWindowLongW(m_hWnd, GWL_EXSTYLE)), m_dpi);
    SetWindowPos(m_hWnd, nullptr, suggested.left, suggested.top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CWin32Dialog::EnsureFontShows(HWND control, std::wstring_view text) {
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (font == nullptr) {
        font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    if (HFONT better = CreateFontShowing(font, text)) {
        m_fonts.push_back(better);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(better), TRUE);
    }
}

BOOL CWin32Dialog::OnInitDialog() {
    if (m_logic != nullptr) {
        m_logic->OnInitDialog(*this);
    }
    // Where the logic put the focus, it stays.
    return GetFocus() == 0 ? TRUE : FALSE;
}

INT_PTR CWin32Dialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DPICHANGED:
        OnDpiChanged(static_cast<int>(LOWORD(wParam)), *reinterpret_cast<const RECT*>(lParam));
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == IDOK && m_logic != nullptr) {
            m_logic->OnOK(*this);
            return TRUE;
        }
        if (id == IDCANCEL && m_logic != nullptr) {
            m_logic->OnCancel(*this);
            return TRUE;
        }
        OnControlCommand(id, HIWORD(wParam));
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        const ControlResource* control =
            m_resource.Find(GetDlgCtrlID(reinterpret_cast<HWND>(lParam)));
        if (control != nullptr && (control->style & kStyleAlert) != 0) {
            auto dc = reinterpret_cast<HDC>(wParam);
            ::SetTextColor(dc, RGB(kAlertRed, 0, 0));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

void CWin32Dialog::OnControlCommand(int id, int code) {
    if (m_logic != nullptr && code == BN_CLICKED) {
        m_logic->OnCommand(*this, id);
    }
}

HWND CWin32Dialog::Control(int id) const {
    return id != 0 && m_hWnd != nullptr ? GetDlgItem(m_hWnd, id) : nullptr;
}

LRESULT CALLBACK CWin32Dialog::NumberEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam,
                                              UINT_PTR id, DWORD_PTR /*data*/) {
    if (message == WM_CHAR && !CNumberEditLogic::IsAccepted(static_cast<char32_t>(wParam))) {
        return 0;
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(edit, NumberEditProc, id);
    }
    return DefSubclassProc(edit, message, wParam, lParam);
}

// --- DialogHost ---------------------------------------------------------------

std::string CWin32Dialog::GetText(int id) const {
    HWND window = Control(id);
    if (window == nullptr) {
        return {};
    }
    const ControlResource* control = m_resource.Find(id);
    if (control != nullptr &&
        (control->kind == ControlKind::DropDownList || control->kind == ControlKind::ListBox)) {
        const bool combo = control->kind == ControlKind::DropDownList;
        const auto selected = SendMessageW(window, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0);
        if (selected < 0) {
            return {};
        }
        const auto length =
            SendMessageW(window, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, selected, 0);
        if (length < 0) {
            return {};
        }
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        SendMessageW(window, combo ? CB_GETLBTEXT : LB_GETTEXT, selected,
                     reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(length));
        return Narrow(text);
    }
    return Narrow(WindowText(window));
}

void CWin32Dialog::SetText(int id, std::string_view text) {
    HWND window = Control(id);
    if (window == nullptr) {
        return;
    }
    const std::wstring wide = Widen(text);
    m_bSettingText = true;
    SetWindowTextW(window, wide.c_str());
    m_bSettingText = false;
    if (!IsAscii(text)) {
        EnsureFontShows(window, wide);
    }
}

bool CWin32Dialog::IsChecked(int id) const {
    return m_hWnd != nullptr && IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED;
}

void CWin32Dialog::SetChecked(int id, bool checked) {
    if (m_hWnd != nullptr) {
        CheckDlgButton(m_hWnd, id, checked ? BST_CHECKED : BST_UNCHECKED);
    }
}

void CWin32Dialog::SetEnabled(int id, bool enabled) {
    if (HWND window = Control(id)) {
        EnableWindow(window, enabled ? TRUE : FALSE);
    }
}

void CWin32Dialog::SetVisible(int id, bool visible) {
    if (HWND window = Control(id)) {
        ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
    }
}

bool CWin32Dialog::IsListBox(int id) const {
    const ControlResource* control = m_resource.Find(id);
    return control != nullptr && control->kind == ControlKind::ListBox;
}

void CWin32Dialog::ClearList(int id) {
    if (HWND window = Control(id)) {
        SendMessageW(window, IsListBox(id) ? LB_RESETCONTENT : CB_RESETCONTENT, 0, 0);
    }
}

void CWin32Dialog::AddListEntry(int id, std::string_view text) {
    if (HWND window = Control(id)) {
        const std::wstring wide = Widen(text);
        SendMessageW(window, IsListBox(id) ? LB_ADDSTRING : CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(wide.c_str()));
        if (!IsAscii(text)) {
            EnsureFontShows(window, wide);
        }
    }
}

int CWin32Dialog::GetListSelection(int id) const {
    HWND window = Control(id);
    return window != nullptr ? static_cast<int>(SendMessageW(
                                   window, IsListBox(id) ? LB_GETCURSEL : CB_GETCURSEL, 0, 0))
                             : -1;
}

void CWin32Dialog::SetListSelection(int id, int index) {
    if (HWND window = Control(id)) {
        SendMessageW(window, IsListBox(id) ? LB_SETCURSEL : CB_SETCURSEL,
                     static_cast<WPARAM>(index), 0);
    }
}

int CWin32Dialog::GetFocus() const {
    HWND focused = ::GetFocus();
    if (focused == nullptr || m_hWnd == nullptr || !IsChild(m_hWnd, focused)) {
        return 0;
    }
    while (GetParent(focused) != m_hWnd) {
        focused = GetParent(focused);
    }
    const int id = GetDlgCtrlID(focused);
    return m_resource.Find(id) != nullptr ? id : 0;
}

void CWin32Dialog::SetFocus(int id) {
    HWND window = Control(id);
    if (window == nullptr) {
        return;
    }
    if ((GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0) {
        // As the dialog manager moves the focus, default button included.
        SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(window), TRUE);
    } else {
        ::SetFocus(window);
    }
}

void CWin32Dialog::ShowMessageBox(std::string_view text) {
    MessageBoxW(m_hWnd, Widen(text).c_str(), AppTitle(), MB_OK);
}

void CWin32Dialog::CopyToClipboard(std::string_view text) {
    const std::wstring wide = Widen(text);
    if (!OpenClipboard(m_hWnd)) {
        return;
    }
    EmptyClipboard();
    const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* target = GlobalLock(memory)) {
            std::memcpy(target, wide.c_str(), bytes);
            GlobalUnlock(memory);
            // The clipboard owns the memory once it has taken it.
            if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
                GlobalFree(memory);
            }
        } else {
            GlobalFree(memory);
        }
    }
    CloseClipboard();
}

void CWin32Dialog::EndDialog(int result) {
    if (m_hWnd != nullptr) {
        ::EndDialog(m_hWnd, result);
    }
}

} // namespace zelmora
