#include "win32/Win32BenchWindow.h"

#include "win32/DialogTemplate.h"
#include "win32/GdiCanvas.h"
#include "win32/Win32Dpi.h"

#include <algorithm>
#include <utility>
#include <windowsx.h>

namespace zelmora {

namespace {

constexpr const wchar_t* kBenchClass = L"ZelmoraBenchView";
constexpr UINT_PTR kRefreshTimer = 1;
// The client area's first size and its smallest, at 96 DPI.
constexpr int kStartWidth = 960;
constexpr int kStartHeight = 400;
constexpr int kMinWidth = 160;
constexpr int kMinHeight = 100;
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;

} // namespace

CWin32BenchWindow::CWin32BenchWindow(UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                                     CDeviceLink::TestTuning tuning)
    : m_driver(driver), m_sources(std::move(sources)), m_tuning(tuning) {}

CWin32BenchWindow::~CWin32BenchWindow() {
    Close();
    ReleaseFrame();
}

void CWin32BenchWindow::Open(HWND beside) {
    if (m_hWnd == nullptr) {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
        windowClass.lpszClassName = kBenchClass;
        RegisterClassExW(&windowClass); // fails harmlessly when it is registered

        const int dpi = beside != nullptr ? WindowDpi(beside) : 96;
        RECT rect{0, 0, ScaleForDpi(kStartWidth, dpi), ScaleForDpi(kStartHeight, dpi)};
        AdjustWindowRectForDpi(rect, kStyle, false, 0, dpi);
        // Fresh tiles and links for every opening.
        m_view = CBenchView();
        m_feed = std::make_unique<CBenchFeed>(m_view, m_driver, m_sources, m_tuning);
        m_hWnd = CreateWindowExW(0, kBenchClass, kCaption, kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                 rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                 instance, this);
        if (m_hWnd == nullptr) {
            m_feed.reset();
            return;
        }
        m_feed->Rescan();
        Redraw();
        SetTimer(m_hWnd, kRefreshTimer, CBenchFeed::kRefreshMs, nullptr);
    }
    ShowWindow(m_hWnd, IsIconic(m_hWnd) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(m_hWnd);
}

void CWin32BenchWindow::Close() {
    if (m_hWnd != nullptr) {
        DestroyWindow(m_hWnd);
    }
}

void CWin32BenchWindow::ReleaseFrame() {
    if (m_frameDc != nullptr) {
        SelectObject(m_frameDc, m_previousBitmap);
        DeleteDC(m_frameDc);
        m_frameDc = nullptr;
    }
    if (m_frame != nullptr) {
        DeleteObject(m_frame);
        m_frame = nullptr;
    }
    m_frameWidth = m_frameHeight = 0;
}

LRESULT CALLBACK CWin32BenchWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* self = static_cast<CWin32BenchWindow*>(create->lpCreateParams);
        self->m_hWnd = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CWin32BenchWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    const LRESULT result = self->Handle(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
    }
    return result;
}

LRESULT CWin32BenchWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam == kRefreshTimer && m_feed && m_feed->Refresh()) {
            Redraw();
        }
        return 0;
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) {
            m_view.SetSize(LOWORD(lParam), HIWORD(lParam));
            Redraw();
        }
        return 0;
    case WM_GETMINMAXINFO: {
        const int dpi = WindowDpi(m_hWnd);
        RECT rect{0, 0, ScaleForDpi(kMinWidth, dpi), ScaleForDpi(kMinHeight, dpi)};
        AdjustWindowRectForDpi(rect, kStyle, false, 0, dpi);
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize = {rect.right - rect.left, rect.bottom - rect.top};
        return 0;
    }
    case WM_DPICHANGED: {
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // the frame covers the whole client area
    case WM_PAINT: {
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(m_hWnd, &paint);
        if (m_frameDc != nullptr) {
            BitBlt(dc, 0, 0, m_frameWidth, m_frameHeight, m_frameDc, 0, 0, SRCCOPY);
        }
        EndPaint(m_hWnd, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        if (m_frameDc != nullptr) {
            BitBlt(reinterpret_cast<HDC>(wParam), 0, 0, m_frameWidth, m_frameHeight, m_frameDc, 0,
                   0, SRCCOPY);
        }
        return 0;
    case WM_KEYDOWN:
        if (OnKeyDown(wParam)) {
            return 0;
        }
        break;
    case WM_CHAR:
        // The characters themselves (digits, letters, the space); Tab and
        // the arrows came as WM_KEYDOWN.
        if (wParam >= 0x20 && wParam < 0x7F) {
            if (m_view.OnKey(static_cast<int>(wParam))) {
                Redraw();
            }
            return 0;
        }
        break;
    case WM_LBUTTONDOWN:
        SetFocus(m_hWnd);
        if (m_view.OnClick(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam))) {
            Redraw();
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow(m_hWnd);
        return 0;
    case WM_DESTROY:
        KillTimer(m_hWnd, kRefreshTimer);
        // Each link leaves its meter; the main window's goes on for it.
        m_feed.reset();
        return 0;
    default:
        break;
    }
    return DefWindowProcW(m_hWnd, message, wParam, lParam);
}

bool CWin32BenchWindow::OnKeyDown(WPARAM key) {
    int benchKey = 0;
    switch (key) {
    case VK_TAB:
        benchKey = (GetKeyState(VK_SHIFT) & 0x8000) != 0 ? kBenchKeyBackTab : kBenchKeyTab;
        break;
    case VK_LEFT:
        benchKey = kBenchKeyLeft;
        break;
    case VK_RIGHT:
        benchKey = kBenchKeyRight;
        break;
    case VK_UP:
        benchKey = kBenchKeyUp;
        break;
    case VK_DOWN:
        benchKey = kBenchKeyDown;
        break;
    default:
        return false;
    }
    if (m_view.OnKey(benchKey)) {
        Redraw();
    }
    return true;
}

void CWin32BenchWindow::Redraw() {
    if (m_hWnd == nullptr) {
        return;
    }
    RECT client{};
    GetClientRect(m_hWnd, &client);
    const int width = std::max(1, static_cast<int>(client.right - client.left));
    const int height = std::max(1, static_cast<int>(client.bottom - client.top));
    if (m_frame == nullptr || width != m_frameWidth || height != m_frameHeight) {
        ReleaseFrame();
        BITMAPINFO info = TopDownBitmapInfo(width, height);
        HDC window = GetDC(m_hWnd);
        void* bits = nullptr;
        m_frame = CreateDIBSection(window, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_frameDc = m_frame != nullptr ? CreateCompatibleDC(window) : nullptr;
        ReleaseDC(m_hWnd, window);
        if (m_frameDc == nullptr) {
            ReleaseFrame();
            return;
        }
        m_previousBitmap = SelectObject(m_frameDc, m_frame);
        m_frameWidth = width;
        m_frameHeight = height;
    }
    HBRUSH background = CreateSolidBrush(CBenchView::kBackground);
    const RECT all{0, 0, width, height};
    FillRect(m_frameDc, &all, background);
    DeleteObject(background);
    {
        CGdiCanvas canvas(m_frameDc);
        m_view.Draw(canvas);
    }
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

} // namespace zelmora
