#pragma once

// What the program's main window decides, apart from any toolkit: the meter
// list with Rescan and Start/Stop, the live read-out with its statistics,
// the scrolling graph, the collection settings and the logging.
//
// The logic owns the meter link, the graph and the log file. It reaches the
// window's controls by id through a DialogHost and everything else a window
// has (timers, commands, prompts, the graph's surface, documents, the
// desktop folder) through a WindowHost; a host builds the window from
// GetResource() and ZelmoraMenuResource() and hands every event of the
// operator and of the two window timers to the On... calls below, on the
// window's thread.
//
// Timer 0 takes every sample waiting in the meter link, in order, into the
// graph and, while logging, into the log file, and shows the newest in the
// read-out boxes (RefreshReadings); timer 1 redraws the graph off-screen
// and shows it in one piece (DrawGraph), unless nothing the graph shows
// has changed since the drawing on show.
//
// A file that holds data is overwritten only after the operator agreed; a
// file that cannot be opened or written, and samples lost because the
// window fell ten minutes behind the meter, are told to the operator.
//
// A collection (the statistics and the graph) and a log file each hold one
// meter: Start on another meter begins a new collection and, while logging,
// closes the file of the meter before and logs on to the next numbered
// name. While a meter runs the meter list shows it and cannot be changed.
// The line under the graph says why nothing is measured after a Rescan
// closed the running meter, and when a collection has reached its limit.
// A driver that cannot go on (a replayed trace that no longer matches what
// is asked or has ended, a trace that cannot be written) says why there,
// from then on and before anything else: the meters it loses would
// otherwise only look unplugged.
//
// Enter commits the focused number box and never closes the window; Esc
// does nothing; only the close command ends it. Operator input that does
// not parse or is out of range is replaced by the value in use without a
// message.

#include "graph/ImageDisplay.h"
#include "log/SampleLog.h"
#include "meter/DeviceLink.h"
#include "meter/MeterSample.h"
#include "window/DialogIds.h"
#include "window/WindowHost.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelmora {

struct DialogResource;
class MeterFinder;
struct MeterAbsence;
class UsbDriver;

class CZelmoraDlgLogic : public ZelmoraDlgIds {
public:
    // What the window asks and tells the operator through. By default the
    // host's question, its warning that does not hold up the refresh, and
    // its save-file dialog; tests put their own in.
    struct Prompts {
        // "Overwrite" (true) or "Cancel" for a log file that holds data.
        std::function<bool(const std::string& path)> askOverwrite;
        // A failure or a loss the operator must learn of.
        std::function<void(const std::string& message)> showMessage;
        // The path picked for the log file; nothing when cancelled.
        std::function<std::optional<std::string>()> chooseLogPath;
    };

    // The meter link talks to meters through `driver`, which must outlive
    // the logic, as must both hosts. `tuning` is for tests (see
    // CDeviceLink::TestTuning). Nothing is asked of the hosts before
    // OnInitDialog. `sources`, when given, give the meters' readings (the
    // meters shared with the user's other processes).
    CZelmoraDlgLogic(UsbDriver& driver, DialogHost& controls, WindowHost& window,
                     CDeviceLink::TestTuning tuning = {},
                     std::shared_ptr<MeterSources> sources = nullptr);
    ~CZelmoraDlgLogic();

    CZelmoraDlgLogic(const CZelmoraDlgLogic&) = delete;
    CZelmoraDlgLogic& operator=(const CZelmoraDlgLogic&) = delete;

    static const DialogResource& GetResource();

    // Replaces the prompts that are set in `prompts`; the others stay.
    void SetPrompts(Prompts prompts);

    // What tells why no meter was found and finds the USB devices present
    // (the libusb backend's; none where a kernel driver publishes the
    // meters). Set it before OnInitDialog; it must outlive the logic.
    void SetMeterFinder(MeterFinder* finder) { m_finder = finder; }

    // The window's settings, name and value, as a diagnostic report lists
    // them.
    using ReportSettings = std::vector<std::pair<std::string, std::string>>;
    // What Help > Save a diagnostic report… writes: `build` makes the whole
    // report around the window's settings it is given, `defaultPath`
    // proposes where it goes. The host sets it (the report reads the
    // program's command line and the machine, which the logic does not
    // know); without it the entry says there is nothing to save.
    struct ReportSource {
        std::function<std::string(const ReportSettings& settings)> build;
        std::function<std::string()> defaultPath;
    };
    void SetReportSource(ReportSource source) { m_report = std::move(source); }
    ReportSettings GetReportSettings() const;

    // The line under the graph when no meter is found.
    static std::string NoMeterText(const MeterAbsence& absence);

    // The area the graph is shown in, in client pixels (set at start-up).
    const HostRect& GetGraphArea() const { return m_rcGraph; }
    const CImageDisplay& GetGraph() const { return m_graph; }

    // --- Events, from the host -------------------------------------------

    // The controls, the menu and the toolbar exist: fill them, start the
    // timers, put the focus on the meter list.
    void OnInitDialog();
    void OnTimer(int timerId);
    // True while the timer's ticks can change nothing until something
    // happens on the window's thread or `notify` (below) is called: the
    // refresh while nothing waits to be taken and no meter is open (no
    // other thread can bring a sample then) or, with a notifier, the meter
    // runs; the graph while nothing it shows has changed since the drawing
    // on show. A host may sleep through such ticks, as long as it asks
    // again after every event it hands over and after every notification,
    // and then ticks on in step with the period.
    bool IsTimerIdle(int timerId) const;
    // Called from any thread when a sample was queued or the meter closed;
    // it must return at once and must not call the logic (see
    // CDeviceLink::SetSampleNotifier). None: the refresh is idle only
    // while no meter is open.
    void SetSampleNotifier(std::function<void()> notify);
    // A button, radio button or check box clicked; a menu, system-menu or
    // toolbar command chosen.
    void OnCommand(int id);
    // The operator picked another entry of a drop-down list.
    void OnListChanged(int id);
    // The operator changed an edit box's text by typing.
    void OnEditChanged(int id);
    // An edit box lost the keyboard focus.
    void OnKillFocus(int id);
    // Enter: commits the focused number box.
    void OnOK();
    // Esc: nothing.
    void OnCancel();
    // The close command: stops the timers, logs what is still waiting,
    // closes the log and ends the dialog.
    void OnClose();
    // A click on the window's own background: the focus goes to the hidden
    // sink, which commits the number box that had it.
    void OnLButtonDown();
    // The window is painted; the graph is redrawn from the first paint of
    // the restored window on.
    void OnPaint(bool minimised);
    // The window moved to a screen of another DPI and the host laid its
    // controls out anew: the graph takes its new area and DPI and is drawn
    // again.
    void OnDpiChanged();

private:
    // Start-up.
    void InitControls();
    void InitFonts();
    void InitGraphArea();
    void InitToolBar();

    // Timers.
    void RefreshReadings();
    // From the first paint on, the graph is drawn when what it shows has
    // changed since the drawing on show.
    bool GraphNeedsDrawing() const;
    void ShowSample(const MeterSample& sample);
    void ShowLostSamples(std::uint64_t lostSamples);
    void CheckMeterLost();
    void AppendLogRecord(const MeterSample& sample);
    void DrawGraph();

    // Window commands.
    void OnAbout();
    void OnManual(const std::string& name);
    void OnFindMeter();
    // Asks where the diagnostic report goes and writes it there whole; a
    // failure is told and leaves nothing half-written.
    void OnSaveReport();
    // Looks for meters again for the Find my meter dialog, unless one is
    // running, and says what the window shows.
    std::string RescanForFinder();

    // Collection settings.
    void OnRescan();
    void ShowNoMeter(bool none);
    // Shows one line under the graph: the missing meter before the run
    // note, the run note before the lost samples.
    void ShowLineUnderGraph();
    // The run note: the driver's fault, else a complete collection, or else
    // the note of the last event (empty: none).
    void UpdateRunNote();
    void OnStartStop();
    // Before `meterId` starts: a collection or log file of another meter
    // ends here, once the samples it has waiting are in.
    void KeepToOneMeter(const std::string& meterId);
    void StartNewCollection();
    // The window's side of a meter that stopped running, for whatever
    // reason: the button and the meter list are free again.
    void ShowNotRunning();
    void OnFixed();
    void OnContinuous();
    void OnTimeInterval();
    void OnStreaming();
    void OnIntervalUnitChanged();
    void CommitAveraging();
    void CommitSampleSize();
    void CommitPointCount();
    void CommitInterval();
    void UpdateTotalTime();
    void OnReset();
    void OnAutoscale();
    void OnSetPowerRegion();
    void ShowTimeIntervalGroup(bool show);
    std::string FormatIntervalInUnit() const;

    // Logging.
    void OnLogOnOff();
    // Opens the log at the path in the box, its header naming `meterId`
    // (the meter list's text), after asking before data is overwritten;
    // true when logging is on.
    bool StartLogging(const std::string& meterId);
    // Closes the log with every record in it and proposes the next name.
    void EndLogging();
    void OnOpenLogPath();
    void SplitLogPath();
    void AdvanceLogFileName();
    void OnLogPathChanged();
    void ShowLoggingOff();

    DialogHost& m_controls;
    WindowHost& m_window;
    UsbDriver& m_driver;
    MeterFinder* m_finder = nullptr;

    // Window state.
    bool m_bGraphRedraw = false;
    CDeviceLink m_link;
    int m_nIntervalMs = 100;
    int m_nPointCount = 2000;
    bool m_bLogging = false;
    CSampleLog m_logFile;
    int m_nSampleSize = 200;
    int m_nAveraging = 1;
    std::string m_strLogName;
    std::string m_strLogFolder;
    int m_nLogIndex = 0;
    HostRect m_rcGraph;
    CImageDisplay m_graph;
    std::string m_strFamily;
    bool m_bTimeIntervalMode = false;
    bool m_bFixedMode = false;

    // A meter that Start opened is running; a failed read closes it behind
    // the window's back, which the refresh then shows.
    bool m_bMeterStarted = false;
    // Samples the meter link lost because the window fell behind, as last
    // shown; the operator is told once per logging run that its file has a
    // gap.
    std::uint64_t m_nLostSamples = 0;
    bool m_bLossReported = false;
    // The graph's revision at the drawing the host shows; nothing before
    // the first drawing.
    std::optional<std::uint64_t> m_drawnRevision;
    bool m_bSampleNotifier = false;
    // The meter whose samples the collection holds, and the one the open
    // log file's header names (empty: none since start-up).
    std::string m_strCollectionMeter;
    std::string m_strLogMeter;
    // What the line under the graph tells of the last event (a Rescan that
    // closed the running meter); a complete collection goes before it.
    std::string m_strEventNote;
    // The driver's fault once it has one; it does not go away.
    std::string m_strFault;
    // The run note on show, and whether the no-meter line is.
    std::string m_strRunNote;
    bool m_bNoMeterShown = false;
    Prompts m_prompts;
    ReportSource m_report;
};

} // namespace zelmora
