#include "win32/Win32ZelmoraDlg.h"

#include "frontend/DiagnosticReport.h"
#include "win32/DialogTemplate.h"
#include "win32/GdiCanvas.h"
#include "win32/Win32Text.h"
#include "window/DialogResource.h"

#include <algorithm>
#include <commdlg.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
#include <vector>

namespace zelmora {

namespace {

// Window timers are numbered from here, away from other timer ids.
constexpr UINT_PTR kTimerBase = 100;
// A warning is waiting to be shown.
constexpr UINT kShowWarnings = WM_APP + 1;
// A sample came or the meter closed, on the poll's thread: the sleeping
// refresh timer may have work again.
constexpr UINT kSampleWake = WM_APP + 2;
constexpr int kToolBitmapResource = 129;
// At 96 DPI: the button's side, the image's (the bitmap's own), and how far
// above the graph's frame the toolbar starts.
constexpr int kToolButtonSpan = 30;
constexpr int kToolImageSize = 22;
constexpr int kToolBarRise = 35;
constexpr const wchar_t* kGraphViewClass = L"ZelmoraGraphView";

// The texts of the question's two buttons while it is shown: a message
// box has Yes and No, which read as the logic says through this hook.
struct QuestionButtons {
    std::wstring yes;
    std::wstring no;
    HHOOK hook = nullptr;
};
QuestionButtons* g_questionButtons = nullptr;

LRESULT CALLBACK RenameQuestionButtons(int code, WPARAM wParam, LPARAM lParam) {
    QuestionButtons* buttons = g_questionButtons;
    if (code == HCBT_ACTIVATE && buttons != nullptr) {
        auto box = reinterpret_cast<HWND>(wParam);
        SetDlgItemTextW(box, IDYES, buttons->yes.c_str());
        SetDlgItemTextW(box, IDNO, buttons->no.c_str());
    }
    return CallNextHookEx(buttons != nullptr ? buttons->hook : nullptr, code, wParam, lParam);
}

// A grey copy of a toolbar image, for the disabled button.
HBITMAP GreyCopy(HBITMAP bitmap, int width, int height) {
    BITMAPINFO info = TopDownBitmapInfo(width, height);
    std::vector<RGBQUAD> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
    for (RGBQUAD& pixel : pixels) {
        const int luma = (pixel.rgbRed * 30 + pixel.rgbGreen * 59 + pixel.rgbBlue * 11) / 100;
        // Lightened towards the face colour, as disabled images look.
        const auto grey = static_cast<BYTE>(128 + luma / 2);
        pixel.rgbRed = pixel.rgbGreen = pixel.rgbBlue = grey;
    }
    void* bits = nullptr;
    HBITMAP grey = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (grey != nullptr) {
        std::copy(pixels.begin(), pixels.end(), static_cast<RGBQUAD*>(bits));
    }
    ReleaseDC(nullptr, screen);
    return grey;
}

// A copy of a square image at another size, each pixel repeated or left
// out (no blending, so the edges stay sharp).
HBITMAP ScaledCopy(HBITMAP bitmap, int from, int to) {
    BITMAPINFO info = TopDownBitmapInfo(to, to);
    HDC screen = GetDC(nullptr);
    void* bits = nullptr;
    HBITMAP scaled = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (scaled != nullptr) {
        HDC source = CreateCompatibleDC(screen);
        HDC target = CreateCompatibleDC(screen);
        HGDIOBJ previousSource = SelectObject(source, bitmap);
        HGDIOBJ previousTarget = SelectObject(target, scaled);
        SetStretchBltMode(target, COLORONCOLOR);
        StretchBlt(target, 0, 0, to, to, source, 0, 0, from, from, SRCCOPY);
        SelectObject(source, previousSource);
        SelectObject(target, previousTarget);
        DeleteDC(source);
        DeleteDC(target);
    }
    ReleaseDC(nullptr, screen);
    return scaled;
}

HMENU BuildMenu(std::span<const MenuResource> entries, bool bar) {
    HMENU menu = bar ? CreateMenu() : CreatePopupMenu();
    for (const MenuResource& entry : entries) {
        const std::wstring text = Widen(entry.text);
        if (!entry.entries.empty()) {
            AppendMenuW(menu, MF_POPUP | MF_STRING,
                        reinterpret_cast<UINT_PTR>(BuildMenu(entry.entries, false)), text.c_str());
        } else if (entry.command == 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else {
            AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(entry.command), text.c_str());
        }
    }
    return menu;
}

} // namespace

CWin32ZelmoraDlg::CWin32ZelmoraDlg(UsbDriver& driver, CDeviceLink::TestTuning tuning,
                                   std::shared_ptr<MeterSources> sources)
    : CWin32Dialog(CZelmoraDlgLogic::GetResource()), m_logic(driver, *this, *this, tuning, sources),
      m_bench(driver, sources, tuning) {}

CWin32ZelmoraDlg::~CWin32ZelmoraDlg() {
    m_logic.SetSampleNotifier(nullptr);
    if (m_toolImages != nullptr) {
        ImageList_Destroy(m_toolImages);
    }
    if (m_toolImagesDisabled != nullptr) {
        ImageList_Destroy(m_toolImagesDisabled);
    }
    if (m_graphFrame != nullptr) {
        DeleteObject(m_graphFrame);
    }
    for (HICON icon : {m_hIcon, m_hSmallIcon}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

// --- Start-up -----------------------------------------------------------------

BOOL CWin32ZelmoraDlg::OnInitDialog() {
    CreateMenus();
    FitClientToTemplate();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    m_hIcon =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_hSmallIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(GetHwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(GetHwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
    CreateGraphView();
    CreateToolBar();
    m_logic.OnInitDialog();
    // At most one wake waits in the queue; a window that is held up gets
    // one, not one per sample.
    m_logic.SetSampleNotifier([this, window = GetHwnd()] {
        if (!m_bWakePosted.exchange(true)) {
            PostMessageW(window, kSampleWake, 0, 0);
        }
    });
    RestTimers();
    if (m_bOpenBenchOnStart) {
        // After the main window is up, so that the view comes in front.
        PostMessageW(GetHwnd(), WM_COMMAND, MAKEWPARAM(kCmdBenchView, 0), 0);
    }
    return FALSE; // the logic has put the focus on the meter list
}

void CWin32ZelmoraDlg::OpenBenchView() {
    m_bench.Open(GetHwnd());
}

void CWin32ZelmoraDlg::CreateMenus() {
    HMENU bar = BuildMenu(ZelmoraMenuResource(), true);
    // The bench view opens from the last menu (Help), after its entries,
    // as in the Qt window.
    if (const int popups = GetMenuItemCount(bar); popups > 0) {
        if (HMENU help = GetSubMenu(bar, popups - 1)) {
            AppendMenuW(help, MF_STRING, kCmdBenchView, L"Bench view\u2026");
        }
    }
    SetMenu(GetHwnd(), bar);
    const std::string_view about = AboutMenuText();
    if (HMENU system = GetSystemMenu(GetHwnd(), FALSE); system != nullptr && !about.empty()) {
        AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(system, MF_STRING, kCmdAbout, Widen(about).c_str());
    }
}

void CWin32ZelmoraDlg::FitClientToTemplate() {
    // The template's size is the client area's; the menu bar comes on top.
    RECT rect{0, 0, Resource().width, Resource().height};
    MapDialogRect(GetHwnd(), &rect);
    const auto style = static_cast<DWORD>(GetWindowLongW(GetHwnd(), GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongW(GetHwnd(), GWL_EXSTYLE));
    AdjustWindowRectEx(&rect, style, TRUE, exStyle);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int workWidth = static_cast<int>(work.right - work.left);
    const int workHeight = static_cast<int>(work.bottom - work.top);
    const int x = static_cast<int>(work.left) + std::max(0, (workWidth - width) / 2);
    const int y = static_cast<int>(work.top) + std::max(0, (workHeight - height) / 2);
    SetWindowPos(GetHwnd(), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWin32ZelmoraDlg::CreateGraphView() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW viewClass{};
    viewClass.cbSize = sizeof viewClass;
    viewClass.lpfnWndProc = GraphViewProc;
    viewClass.hInstance = instance;
    viewClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    viewClass.lpszClassName = kGraphViewClass;
    RegisterClassExW(&viewClass); // fails harmlessly when it is registered
    // Over the hidden frame, under every control that overlaps it (the
    // graph's title): siblings above it are clipped out of its painting.
    const HostRect frame = GetControlRect(kIdGraphFrame);
    m_graphView = CreateWindowExW(0, kGraphViewClass, nullptr,
                                  WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, frame.left, frame.top,
                                  frame.width, frame.height, GetHwnd(), nullptr, instance, nullptr);
    SetWindowLongPtrW(m_graphView, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowPos(m_graphView, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void CWin32ZelmoraDlg::CreateToolBar() {
    m_toolBar = CreateWindowExW(
        0, TOOLBARCLASSNAMEW, nullptr,
        WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, 0,
        0, 1, 1, GetHwnd(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdToolBar)),
        GetModuleHandleW(nullptr), nullptr);
    if (m_toolBar == nullptr) {
        return; // the window works without the Set Power Region button
    }
    SendMessageW(m_toolBar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SizeToolBar();
    TBBUTTON button{};
    button.iBitmap = 0;
    button.idCommand = kCmdSetPowerRegion;
    button.fsState = TBSTATE_ENABLED;
    button.fsStyle = BTNS_BUTTON;
    SendMessageW(m_toolBar, TB_ADDBUTTONSW, 1, reinterpret_cast<LPARAM>(&button));
}

void CWin32ZelmoraDlg::SizeToolBar() {
    if (m_toolBar == nullptr) {
        return;
    }
    const int span = ScaleForDpi(kToolButtonSpan, Dpi());
    const int image = ScaleForDpi(kToolImageSize, Dpi());
    auto bitmap = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr),
                                                  MAKEINTRESOURCEW(kToolBitmapResource),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (bitmap != nullptr) {
        HIMAGELIST images = ImageList_Create(image, image, ILC_COLOR24, 1, 0);
        HIMAGELIST disabled = ImageList_Create(image, image, ILC_COLOR24, 1, 0);
        if (HBITMAP scaled = ScaledCopy(bitmap, kToolImageSize, image)) {
            ImageList_Add(images, scaled, nullptr);
            if (HBITMAP grey = GreyCopy(scaled, image, image)) {
                ImageList_Add(disabled, grey, nullptr);
                DeleteObject(grey);
            }
            DeleteObject(scaled);
        }
        DeleteObject(bitmap);
        SendMessageW(m_toolBar, TB_SETBITMAPSIZE, 0, MAKELPARAM(image, image));
        SendMessageW(m_toolBar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images));
        SendMessageW(m_toolBar, TB_SETDISABLEDIMAGELIST, 0, reinterpret_cast<LPARAM>(disabled));
        // The toolbar holds the new lists now.
        for (HIMAGELIST old : {m_toolImages, m_toolImagesDisabled}) {
            if (old != nullptr) {
                ImageList_Destroy(old);
            }
        }
        m_toolImages = images;
        m_toolImagesDisabled = disabled;
    }
    // Above the frame's top-right corner, and never over the frame.
    const HostRect frame = GetControlRect(kIdGraphFrame);
    const int width = span * m_nToolButtons;
    const int top = std::max(0, frame.top - ScaleForDpi(kToolBarRise, Dpi()));
    const int height = std::max(1, std::min(span, frame.top - top));
    SendMessageW(m_toolBar, TB_SETBUTTONSIZE, 0, MAKELPARAM(span, height));
    SetWindowPos(m_toolBar, nullptr, frame.left + frame.width - width, top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWin32ZelmoraDlg::OnDpiChanged(int dpi, const RECT& suggested) {
    CWin32Dialog::OnDpiChanged(dpi, suggested);
    const HostRect frame = GetControlRect(kIdGraphFrame);
    if (m_graphView != nullptr) {
        MoveWindow(m_graphView, frame.left, frame.top, frame.width, frame.height, TRUE);
    }
    SizeToolBar();
    m_logic.OnDpiChanged();
}

// --- Messages -----------------------------------------------------------------

INT_PTR CWin32ZelmoraDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        m_logic.SetSampleNotifier(nullptr);
        m_bench.Close();
    }
    const INT_PTR result = Dispatch(message, wParam, lParam);
    // Whatever changes what the timers would do comes as a message to this
    // window (the poll thread's as kSampleWake), so the timers are put to
    // sleep or woken after each one.
    if (message != WM_DESTROY && message != WM_NCDESTROY) {
        RestTimers();
    }
    return result;
}

INT_PTR CWin32ZelmoraDlg::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam >= kTimerBase) {
            const int timerId = static_cast<int>(wParam - kTimerBase);
            if (CTimerSchedule* schedule = Schedule(timerId);
                schedule != nullptr && schedule->OnTick(CTimerSchedule::Clock::now())) {
                ArmTimer(timerId, schedule->GetPeriod());
            }
            m_logic.OnTimer(timerId);
        }
        return TRUE;
    case kSampleWake:
        m_bWakePosted = false;
        return TRUE;
    case WM_PAINT:
        m_logic.OnPaint(IsIconic(GetHwnd()) != FALSE);
        return FALSE; // the dialog's own painting
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == static_cast<WPARAM>(kCmdAbout)) {
            m_logic.OnCommand(kCmdAbout);
            return TRUE;
        }
        return FALSE;
    case WM_LBUTTONDOWN:
        m_logic.OnLButtonDown();
        return FALSE;
    case WM_CLOSE:
        m_logic.OnClose();
        return TRUE;
    case WM_ENDSESSION:
        // The session ends: the log file is closed with every record in it.
        if (wParam != FALSE) {
            m_logic.OnClose();
        }
        return TRUE;
    case kShowWarnings:
        ShowQueuedWarnings();
        return TRUE;
    default:
        return CWin32Dialog::HandleMessage(message, wParam, lParam);
    }
}

void CWin32ZelmoraDlg::OnControlCommand(int id, int code) {
    if (id == IDOK) {
        m_logic.OnOK(); // Enter
        return;
    }
    if (id == IDCANCEL) {
        m_logic.OnCancel(); // Esc
        return;
    }
    if (id == kCmdBenchView && code == 0) {
        OpenBenchView(); // a host's own entry, unknown to the logic
        return;
    }
    const ControlResource* control = Resource().Find(id);
    if (control == nullptr) {
        if (code == 0) {
            m_logic.OnCommand(id); // the menu or the toolbar
        }
        return;
    }
    switch (control->kind) {
    case ControlKind::DropDownList:
        if (code == CBN_SELCHANGE) {
            m_logic.OnListChanged(id);
        }
        break;
    case ControlKind::Edit:
    case ControlKind::MultiLineEdit:
        if (code == EN_CHANGE && !IsSettingText()) {
            m_logic.OnEditChanged(id);
        } else if (code == EN_KILLFOCUS) {
            m_logic.OnKillFocus(id);
        }
        break;
    default:
        if (code == BN_CLICKED) {
            m_logic.OnCommand(id);
        }
        break;
    }
}

LRESULT CALLBACK CWin32ZelmoraDlg::GraphViewProc(HWND view, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
    auto* self = reinterpret_cast<CWin32ZelmoraDlg*>(GetWindowLongPtrW(view, GWLP_USERDATA));
    switch (message) {
    case WM_NCHITTEST:
        // A click on the graph is a click on the window's background.
        return HTTRANSPARENT;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(view, &paint);
        RECT client{};
        GetClientRect(view, &client);
        if (self != nullptr && self->m_graphFrame != nullptr) {
            HDC memory = CreateCompatibleDC(dc);
            HGDIOBJ previous = SelectObject(memory, self->m_graphFrame);
            BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
            SelectObject(memory, previous);
            DeleteDC(memory);
        } else {
            FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        }
        EndPaint(view, &paint);
        return 0;
    }
    default:
        return DefWindowProcW(view, message, wParam, lParam);
    }
}

// --- WindowHost ---------------------------------------------------------------

void CWin32ZelmoraDlg::StartTimer(int timerId, int periodMs) {
    if (CTimerSchedule* schedule = Schedule(timerId)) {
        schedule->Start(periodMs, CTimerSchedule::Clock::now());
        periodMs = schedule->GetPeriod();
    }
    ArmTimer(timerId, periodMs);
}

void CWin32ZelmoraDlg::KillTimer(int timerId) {
    if (CTimerSchedule* schedule = Schedule(timerId)) {
        schedule->Stop();
    }
    ::KillTimer(GetHwnd(), kTimerBase + static_cast<UINT_PTR>(timerId));
}

void CWin32ZelmoraDlg::ArmTimer(int timerId, int periodMs) {
    // Setting a timer that is set replaces it, period and all. Windows
    // raises a wait below 10 ms to 10 ms, within its timers' own
    // granularity.
    SetTimer(GetHwnd(), kTimerBase + static_cast<UINT_PTR>(timerId),
             static_cast<UINT>(std::max(periodMs, 0)), nullptr);
}

CTimerSchedule* CWin32ZelmoraDlg::Schedule(int timerId) {
    return timerId == kRefreshTimer ? &m_refreshSchedule
           : timerId == kGraphTimer ? &m_graphSchedule
                                    : nullptr;
}

void CWin32ZelmoraDlg::RestTimers() {
    for (const int id : {kRefreshTimer, kGraphTimer}) {
        CTimerSchedule& schedule = *Schedule(id);
        if (schedule.GetPeriod() < 0) {
            continue;
        }
        if (m_logic.IsTimerIdle(id)) {
            if (schedule.Sleep()) {
                ::KillTimer(GetHwnd(), kTimerBase + static_cast<UINT_PTR>(id));
            }
        } else if (const std::optional<int> wait = schedule.Wake(CTimerSchedule::Clock::now())) {
            ArmTimer(id, *wait);
        }
    }
}

void CWin32ZelmoraDlg::EnableCommand(int commandId, bool enabled) {
    if (m_toolBar != nullptr) {
        SendMessageW(m_toolBar, TB_ENABLEBUTTON, static_cast<WPARAM>(commandId),
                     MAKELPARAM(enabled ? TRUE : FALSE, 0));
    }
    if (HMENU menu = GetMenu(GetHwnd())) {
        EnableMenuItem(menu, static_cast<UINT>(commandId),
                       MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
    }
}

HostRect CWin32ZelmoraDlg::GetControlRect(int id) const {
    HWND window = Control(id);
    if (window == nullptr) {
        return {};
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, GetHwnd(), reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

void CWin32ZelmoraDlg::DrawGraph(const HostRect& area, const std::function<void(Canvas&)>& draw) {
    // A fresh bitmap, black as it is made, drawn in full and then shown in
    // one piece.
    BITMAPINFO info = TopDownBitmapInfo(area.width, area.height);
    HDC window = GetDC(m_graphView);
    void* bits = nullptr;
    HBITMAP frame = CreateDIBSection(window, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (frame == nullptr) {
        ReleaseDC(m_graphView, window);
        return;
    }
    HDC memory = CreateCompatibleDC(window);
    HGDIOBJ previous = SelectObject(memory, frame);
    {
        CGdiCanvas canvas(memory);
        draw(canvas);
    }
    if (m_graphView != nullptr) {
        MoveWindow(m_graphView, area.left, area.top, area.width, area.height, FALSE);
        BitBlt(window, 0, 0, area.width, area.height, memory, 0, 0, SRCCOPY);
    }
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(m_graphView, window);
    if (m_graphFrame != nullptr) {
        DeleteObject(m_graphFrame);
    }
    m_graphFrame = frame;
}

bool CWin32ZelmoraDlg::AskQuestion(std::string_view title, std::string_view question,
                                   std::string_view yes, std::string_view no) {
    QuestionButtons buttons{Widen(yes), Widen(no), nullptr};
    buttons.hook = SetWindowsHookExW(WH_CBT, RenameQuestionButtons, nullptr, GetCurrentThreadId());
    g_questionButtons = &buttons;
    const int answer = MessageBoxW(GetHwnd(), Widen(question).c_str(), Widen(title).c_str(),
                                   MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    g_questionButtons = nullptr;
    if (buttons.hook != nullptr) {
        UnhookWindowsHookEx(buttons.hook);
    }
    return answer == IDYES;
}

void CWin32ZelmoraDlg::ShowWarning(std::string_view title, std::string_view message) {
    m_warnings.emplace_back(Widen(title), Widen(message));
    PostMessageW(GetHwnd(), kShowWarnings, 0, 0);
}

void CWin32ZelmoraDlg::ShowQueuedWarnings() {
    if (m_bShowingWarning) {
        return; // the box that is open shows the next one when it closes
    }
    m_bShowingWarning = true;
    while (!m_warnings.empty() && GetHwnd() != nullptr) {
        const auto [title, message] = m_warnings.front();
        m_warnings.pop_front();
        MessageBoxW(GetHwnd(), message.c_str(), title.c_str(), MB_OK | MB_ICONWARNING);
    }
    m_bShowingWarning = false;
}

std::optional<std::string> CWin32ZelmoraDlg::ChooseSaveFile(const SaveFileRequest& request) {
    // "name\0pattern\0" for each filter, and one more terminator.
    std::wstring filters;
    for (const SaveFileRequest::Filter& filter : request.filters) {
        filters += Widen(filter.name);
        filters += L'\0';
        filters += Widen(filter.pattern);
        filters += L'\0';
    }
    filters += L'\0';
    const std::wstring extension = Widen(request.defaultExtension);
    const std::wstring title = Widen(request.title);
    // The name proposed goes into the name box, its folder is where the
    // dialog opens.
    const std::wstring initial = Widen(request.initialPath);
    const std::size_t slash = initial.find_last_of(L"\\/");
    const std::wstring initialName =
        slash == std::wstring::npos ? initial : initial.substr(slash + 1);
    const std::wstring initialFolder =
        slash == std::wstring::npos ? std::wstring() : initial.substr(0, slash);
    std::vector<wchar_t> file(std::max<std::size_t>(MAX_PATH, initialName.size() + 1), L'\0');
    std::copy(initialName.begin(), initialName.end(), file.begin());
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = GetHwnd();
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrDefExt = extension.c_str();
    dialog.lpstrTitle = title.empty() ? nullptr : title.c_str();
    dialog.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&dialog)) {
        return std::nullopt;
    }
    return Narrow(file.data());
}

void CWin32ZelmoraDlg::SetProgramOptions(const AppOptions& options) {
    // No finder: the meter's kernel driver publishes the meters.
    m_logic.SetReportSource({[options](const CZelmoraDlgLogic::ReportSettings& settings) {
                                 return BuildWindowReport("zelmora", ZELMORA_VERSION, options,
                                                          nullptr, settings);
                             },
                             DefaultReportPath});
}

void CWin32ZelmoraDlg::RunDialog(CDialogLogic& dialog) {
    CWin32Dialog window(dialog);
    window.DoModal(GetHwnd());
}

void CWin32ZelmoraDlg::OpenDocument(const std::string& name) {
    // A relative name is looked for in the current folder.
    ShellExecuteW(nullptr, L"open", Widen(name).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::vector<std::string> CWin32ZelmoraDlg::GetManualFolders() const {
    // The installer and the ZIP put the manuals beside the program.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    return {slash == std::wstring::npos ? std::string() : Narrow(path.substr(0, slash))};
}

std::string CWin32ZelmoraDlg::GetDesktopFolder() const {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &path)) && path != nullptr) {
        folder = Narrow(path);
    }
    CoTaskMemFree(path);
    if (folder.empty()) {
        wchar_t profile[MAX_PATH] = {};
        if (GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH) > 0) {
            folder = Narrow(profile);
        }
    }
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) {
        folder.pop_back();
    }
    return folder.empty() ? std::string(".") : folder;
}

} // namespace zelmora
