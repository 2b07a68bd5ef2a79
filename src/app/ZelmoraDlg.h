#pragma once

// The program's main window with Qt widgets: the Qt host of
// CZelmoraDlgLogic, which decides everything the window does (the meter
// list, the read-out, the graph, the collection settings, logging).
//
// Every control is reachable by its numeric id (GetControl), and its
// objectName is that id in decimal. The window's menu bar carries the Help
// menu and, below a separator, the About entry (there is no system menu to
// extend here); the one-button toolbar sits above the graph's top-right
// corner. The graph is drawn with CQtCanvas into a QImage made black anew
// on every tick of timer 1 that has something new to show, and shown whole
// by CGraphView over the hidden frame 1030.

#include "app/QtDialog.h"
#include "app/WindowTimer.h"
#include "meter/DeviceLink.h"
#include "window/DialogIds.h"
#include "window/ZelmoraDlgLogic.h"

#include <map>
#include <memory>

class QAction;
class QMenu;
class QMenuBar;
class QToolBar;

namespace zelmora {

struct AppOptions;
class CBenchWindow;
class CGraphView;
struct MenuResource;
class MeterFinder;
class UsbDriver;

class CZelmoraDlg : public CQtDialog, public WindowHost, public ZelmoraDlgIds {
    Q_OBJECT

public:
    // What the window asks and tells the operator through (see
    // CZelmoraDlgLogic::Prompts); tests put their own in.
    using Prompts = CZelmoraDlgLogic::Prompts;

    // The meter link talks to meters through `driver`, which must outlive
    // the window, as must `finder` (see CZelmoraDlgLogic::SetMeterFinder;
    // none: the window cannot tell why no meter is found). `tuning` is for
    // tests (see CDeviceLink::TestTuning); `sources`, when given, give the
    // meters' readings (see CZelmoraDlgLogic).
    explicit CZelmoraDlg(UsbDriver& driver, QWidget* parent = nullptr,
                         CDeviceLink::TestTuning tuning = {}, MeterFinder* finder = nullptr,
                         std::shared_ptr<MeterSources> sources = nullptr);
    ~CZelmoraDlg() override;

    // Replaces the prompts that are set in `prompts`; the others stay.
    void SetPrompts(Prompts prompts) { m_logic.SetPrompts(std::move(prompts)); }
    // Help > Save a diagnostic report… writes the program's report: its
    // command line is `options`, its USB listing the window's finder's.
    void SetProgramOptions(const AppOptions& options);

    // The control with this id (the ids above and the labels' ids, and the
    // toolbar), or nullptr.
    QWidget* GetControl(int id) const;
    // The menu, system-menu or toolbar command with this id, or nullptr.
    QAction* GetCommand(int id) const;
    // The current period of a window timer in milliseconds; -1 when it is
    // not running. A timer sleeping through ticks that would do nothing
    // keeps its period.
    int GetTimerPeriod(int timerId) const;
    // Whether the timer's ticks are delivered now (it is running and not
    // asleep).
    bool IsTimerAwake(int timerId) const;
    // The area the graph is shown in, in window pixels.
    QRect GetGraphRect() const;
    // Opens the bench view beside the window, or brings it to the front;
    // the view lives until the window closes.
    void OpenBenchView();
    // The bench view, or nullptr while it was never opened.
    CBenchWindow* GetBenchView() const { return m_benchWindow.get(); }

    // WindowHost.
    void StartTimer(int timerId, int periodMs) override;
    void KillTimer(int timerId) override;
    void EnableCommand(int commandId, bool enabled) override;
    HostRect GetControlRect(int id) const override;
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
    void OnControlClicked(int id) override;
    void OnControlListChanged(int id) override;
    void OnControlEdited(int id) override;
    void OnControlLostFocus(int id) override;

    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateMenu();
    void AddMenuEntries(QMenu& menu, std::span<const MenuResource> entries);
    void CreateGraphView();
    void CreateToolBar();
    CWindowTimer* Timer(int timerId);
    const CWindowTimer* Timer(int timerId) const;
    // Puts each timer to sleep while the logic finds its ticks idle, and
    // wakes it when they are not.
    void RestTimers();

    // The meters' sources, shared with the bench view, so that both reach
    // one meter through one poll.
    UsbDriver& m_driver;
    CDeviceLink::TestTuning m_tuning;
    std::shared_ptr<MeterSources> m_sources;
    CZelmoraDlgLogic m_logic;
    // The logic's finder, for the diagnostic report's listing.
    MeterFinder* m_finder = nullptr;
    CWindowTimer m_refreshTimer;
    CWindowTimer m_graphTimer;
    QMenuBar* m_menuBar = nullptr;
    QToolBar* m_toolBar = nullptr;
    int m_nToolButtons = 1;
    CGraphView* m_graphView = nullptr;
    bool m_bShown = false;
    std::map<int, QAction*> m_commands;
    // Closed before the logic's link goes, so a meter both read is let go
    // by the view first.
    std::unique_ptr<CBenchWindow> m_benchWindow;
};

} // namespace zelmora
