#pragma once

// The bench view's Windows host: a resizable top-level window that gives
// CBenchView a GDI canvas of its client size, passes it keys and clicks,
// and refreshes its tiles from a CBenchFeed on a 100 ms window timer. The
// feed joins the main window's meter through the window's MeterSources
// instead of opening it a second time.
//
// The view is drawn into a bitmap whenever a tile or the size changes and
// copied to the screen on WM_PAINT (and WM_PRINTCLIENT), so painting never
// draws. Closing the window lets go of the meters; opening it again starts
// with fresh tiles.

#include "meter/DeviceLink.h"
#include "window/BenchFeed.h"
#include "window/BenchView.h"

#include <memory>
#include <windows.h>

namespace zelmora {

class MeterSources;
class UsbDriver;

class CWin32BenchWindow {
public:
    static constexpr const wchar_t* kCaption = L"Zelmora bench view";

    CWin32BenchWindow(UsbDriver& driver, std::shared_ptr<MeterSources> sources,
                      CDeviceLink::TestTuning tuning = {});
    ~CWin32BenchWindow();

    CWin32BenchWindow(const CWin32BenchWindow&) = delete;
    CWin32BenchWindow& operator=(const CWin32BenchWindow&) = delete;

    // Makes the window (placed at the DPI of `beside`'s monitor) unless it is
    // open, shows it and brings it to the front.
    void Open(HWND beside);
    // Closes the window and lets go of its meters.
    void Close();
    HWND GetHwnd() const { return m_hWnd; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool OnKeyDown(WPARAM key);
    void Redraw();
    void ReleaseFrame();

    UsbDriver& m_driver;
    std::shared_ptr<MeterSources> m_sources;
    CDeviceLink::TestTuning m_tuning;
    HWND m_hWnd = nullptr;
    CBenchView m_view;
    std::unique_ptr<CBenchFeed> m_feed;
    // The last drawing, shown whenever the window is painted.
    HDC m_frameDc = nullptr;
    HBITMAP m_frame = nullptr;
    HGDIOBJ m_previousBitmap = nullptr;
    int m_frameWidth = 0;
    int m_frameHeight = 0;
};

} // namespace zelmora
