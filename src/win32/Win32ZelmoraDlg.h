#pragma once

// The program's main window as a native dialog: the Windows host of
// CZelmoraDlgLogic, which decides everything the window does.
//
// The dialog comes from the same template data as the Qt window, with the
// Help menu of the menu resource, the About entry in the system menu and
// the one-button toolbar above the graph's top-right corner. The window
// timers are SetTimer timers that sleep while the logic says their ticks
// can change nothing (CTimerSchedule). The graph is drawn with CGdiCanvas
// into a fresh black bitmap on every tick of timer 1 that has something
// new to show and copied whole into a view over the hidden frame 1030,
// which keeps the last drawing for repainting.
//
// The window, its fonts, the toolbar and the graph's text are laid out at
// the DPI of the monitor the window is on, and again when it moves to one
// of another DPI.
//
// The last menu (Help) ends with the bench view's entry, which opens the
// bench view (CWin32BenchWindow) on the window's own meter sources.
//
// Questions are message boxes whose buttons read as the logic says;
// warnings are posted and shown from the message loop, so the timer that
// found the failure carries on and the refresh goes on while the operator
// reads them.

#include "meter/DeviceLink.h"
#include "win32/Win32BenchWindow.h"
#include "win32/Win32Dialog.h"
#include "window/DialogIds.h"
#include "window/TimerSchedule.h"
#include "window/ZelmoraDlgLogic.h"

#include <atomic>
#include <commctrl.h>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <windows.h>

namespace zelmora {

struct AppOptions;
class UsbDriver;

class CWin32ZelmoraDlg : public CWin32Dialog, public WindowHost, public ZelmoraDlgIds {
public:
    // The meter link talks to meters through `driver`, which must outlive
    // the window.
    // `sources`: the meters shared with the user's other processes (none:
    // this window opens its meters for itself).
    explicit CWin32ZelmoraDlg(UsbDriver& driver, CDeviceLink::TestTuning tuning = {},
                              std::shared_ptr<MeterSources> sources = nullptr);
    ~CWin32ZelmoraDlg() override;

    // Help > Save a diagnostic report… writes the program's report, with
    // `options` for its command line.
    void SetProgramOptions(const AppOptions& options);

    // Runs the window until it is closed.
    INT_PTR DoModal() { return CWin32Dialog::DoModal(nullptr); }
    // The bench view opens beside the window as soon as it is shown.
    void OpenBenchViewOnStart() { m_bOpenBenchOnStart = true; }
    // Opens the bench view beside the window, or brings it to the front.
    void OpenBenchView();

    // WindowHost.
    void StartTimer(int timerId, int periodMs) override;
    void KillTimer(int timerId) override;
    void EnableCommand(int commandId, bool enabled) override;
    HostRect GetControlRect(int id) const override;
    int GetDpi() const override { return Dpi(); }
    void DrawGraph(const HostRect& area, const std::function<void(Canvas&)>& draw) override;
    bool AskQuestion(std::string_view title, std::string_view question, std::string_view yes,
                     std::string_view no) override;
    void ShowWarning(std::string_view title, std::string_view message) override;
    std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request) override;
    void RunDialog(CDialogLogic& dialog) override;
    void OpenDocument(const std::string& name) override;
    std::vector<std::string> GetManualFolders() const override;
    std::string GetDesktopFolder() const override;

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnControlCommand(int id, int code) override;
    void OnDpiChanged(int dpi, const RECT& suggested) override;

private:
    void CreateMenus();
    void FitClientToTemplate();
    void CreateGraphView();
    void CreateToolBar();
    // The toolbar's place above the graph, its button and image at the
    // window's DPI.
    void SizeToolBar();
    void ShowQueuedWarnings();
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    // Sets the window timer to tick every `periodMs`, or once, replacing
    // what it was.
    void ArmTimer(int timerId, int periodMs);
    CTimerSchedule* Schedule(int timerId);
    // Puts each timer to sleep whose ticks can change nothing, and wakes
    // each that may have work.
    void RestTimers();
    static LRESULT CALLBACK GraphViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam);

    CZelmoraDlgLogic m_logic;
    // Closed before the logic goes.
    CWin32BenchWindow m_bench;
    bool m_bOpenBenchOnStart = false;
    HICON m_hIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    HWND m_toolBar = nullptr;
    HIMAGELIST m_toolImages = nullptr;
    HIMAGELIST m_toolImagesDisabled = nullptr;
    int m_nToolButtons = 1;
    HWND m_graphView = nullptr;
    // The last drawing of the graph, shown whenever the view is painted.
    HBITMAP m_graphFrame = nullptr;
    CTimerSchedule m_refreshSchedule;
    CTimerSchedule m_graphSchedule;
    // A kSampleWake is in the queue.
    std::atomic<bool> m_bWakePosted{false};
    std::deque<std::pair<std::wstring, std::wstring>> m_warnings;
    bool m_bShowingWarning = false;
};

} // namespace zelmora
