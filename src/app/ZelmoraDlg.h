#pragma once

// The program's main window: the meter list with Rescan and Start/Stop, the
// live power read-out with its statistics, the scrolling graph, the
// collection settings and the logging controls.
//
// Every control is reachable by its numeric id (GetControl), and its
// objectName is that id in decimal. The window owns the meter link, the
// graph and the log file. Two window timers drive it: timer 0 takes every
// sample waiting in the meter link, in order, into the graph and, while
// logging, into the log file, and shows the newest in the read-out boxes
// (RefreshReadings); timer 1 redraws the graph off-screen and shows it in
// one piece (DrawGraph).
//
// Logging (On/Off, Open, the path box, the record layout) keeps the UI side
// here; the file, its header and its records are CSampleLog's. A file that
// holds data is overwritten only after the operator agreed; a file that
// cannot be opened or written, and samples lost because the window fell
// ten minutes behind the meter, are told to the operator.
//
// Enter commits the focused number box and never closes the window; Esc does
// nothing; only the close command ends it. Operator input that does not
// parse or is out of range is replaced by the kept value without a message.

#include "graph/ImageDisplay.h"
#include "log/SampleLog.h"
#include "meter/DeviceLink.h"
#include "meter/MeterSample.h"

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

class QAction;
class QComboBox;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QToolBar;

namespace zelmora {

class CDialogTemplate;
class CGraphView;
class UsbDriver;

class CZelmoraDlg : public QDialog {
    Q_OBJECT

public:
    // Control ids.
    enum : int {
        kIdPower = 1000,
        kIdWavelength = 1001,
        kIdMin = 1002,
        kIdMax = 1003,
        kIdPercentOfMean = 1004,
        kIdMean = 1005,
        kIdStdDev = 1006,
        kIdAveraging = 1007,
        kIdCount = 1008,
        kIdFixed = 1009,
        kIdContinuous = 1010,
        kIdSampleSize = 1011,
        kIdReset = 1012,
        kIdTimeInterval = 1013,
        kIdStreaming = 1014,
        kIdTotalTime = 1015,
        kIdLogOnOff = 1017,
        kIdLogOpen = 1018,
        kIdLogPath = 1019,
        kIdStartStop = 1020,
        kIdPowerLabel = 1021,
        kIdMeterList = 1028,
        kIdAutoscale = 1029,
        kIdGraphFrame = 1030,
        kIdRescan = 1037,
        kIdWavelengthUnit = 1038,
        kIdLogLayout = 1041,
        kIdDuration = 1042,
        kIdPointCount = 1043,
        kIdIntervalValue = 1045,
        kIdIntervalUnit = 1046,
        kIdLoggingIndicator = 1051,
        kIdFocusSink = 1056,
        kIdGraphTitle = 1057,
        kIdToolBar = 0xE800,
    };
    // Commands.
    enum : int {
        kCmdAbout = 0x0010,
        kCmdSetPowerRegion = 32771,
        kCmdManualChinese = 32776,
        kCmdManualEnglish = 32777,
    };
    // Window timers.
    static constexpr int kRefreshTimer = 0;
    static constexpr int kGraphTimer = 1;

    // What the window asks and tells the operator through. The defaults
    // are a question box, a message box that does not wait for its answer
    // and the platform's save-file dialog; tests put their own in.
    struct Prompts {
        // "Overwrite" (true) or "Cancel" for a log file that holds data.
        std::function<bool(const std::string& path)> askOverwrite;
        // A failure or a loss the operator must learn of.
        std::function<void(const std::string& message)> showMessage;
        // The path picked for the log file; nothing when cancelled.
        std::function<std::optional<std::string>()> chooseLogPath;
    };

    // The meter link talks to meters through `driver`, which must outlive
    // the window. `tuning` is for tests (see CDeviceLink::TestTuning).
    explicit CZelmoraDlg(UsbDriver& driver, QWidget* parent = nullptr,
                         CDeviceLink::TestTuning tuning = {});
    ~CZelmoraDlg() override;

    // Replaces the prompts that are set in `prompts`; the others stay.
    void SetPrompts(Prompts prompts);

    // The control with this id (the ids above and the labels' ids), or
    // nullptr.
    QWidget* GetControl(int id) const;
    // The menu, system-menu or toolbar command with this id, or nullptr.
    QAction* GetCommand(int id) const;
    // The current period of a window timer in milliseconds; -1 when it is
    // not running.
    int GetTimerPeriod(int timerId) const;
    // The area the graph is shown in, in window pixels.
    QRect GetGraphRect() const;

    int DoModal() { return exec(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct GraphArea {
        int width = 0;
        int height = 0;
        int top = 0;
        int left = 0;
    };

    // Start-up.
    void CreateMenu();
    void CreateControls(const CDialogTemplate& dialogTemplate);
    void OnInitDialog();
    void InitControls();
    void InitFonts();
    void InitGraphArea();
    void InitToolBar();

    // Timers.
    void RefreshReadings();
    void ShowSample(const MeterSample& sample);
    void ShowLostSamples(std::uint64_t lostSamples);
    void CheckMeterLost();
    void AppendLogRecord(const MeterSample& sample);
    void DrawGraph();
    void RestartRefreshTimer(int periodMs);

    // Window commands.
    void OnOK();
    void OnCancel();
    void OnClose();
    void OnLButtonDown();
    void OnAbout();
    void OnManualChinese();
    void OnManualEnglish();

    // Collection settings.
    void OnRescan();
    void OnStartStop();
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
    void OnOpenLogPath();
    void SplitLogPath();
    void AdvanceLogFileName();
    void OnLogPathChanged();
    void ShowLoggingOff();
    bool AskOverwrite(const std::string& path);
    void ShowMessage(const std::string& message);
    std::optional<std::string> ChooseLogPath();

    void SetText(int id, const std::string& text);
    std::string GetText(int id) const;
    bool IsChecked(int id) const;
    template <class Widget>
    Widget* Add(int id, Widget* widget);

    // Window state.
    QIcon m_hIcon;
    QToolBar* m_toolBar = nullptr;
    int m_nToolButtons = 1;
    QFont m_fontPower;
    QFont m_fontPath;
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
    GraphArea m_rcGraph;
    CImageDisplay m_graph;
    std::string m_strFamily;
    bool m_bTimeIntervalMode = false;
    bool m_bFixedMode = false;

    // A meter that Start opened is running; a failed read closes it behind
    // the window's back, which the refresh then shows.
    bool m_bMeterStarted = false;
    // Set while the program itself writes the log path box, whose change
    // notification is for the operator's typing only.
    bool m_bSettingLogPath = false;
    bool m_bShown = false;
    // Samples the meter link lost because the window fell behind, as last
    // shown; the operator is told once per logging run that its file has a
    // gap.
    std::uint64_t m_nLostSamples = 0;
    bool m_bLossReported = false;
    QLabel* m_lostSamplesLabel = nullptr;
    Prompts m_prompts;

    QTimer m_refreshTimer;
    QTimer m_graphTimer;
    QMenuBar* m_menuBar = nullptr;
    CGraphView* m_graphView = nullptr;
    std::map<int, QWidget*> m_controls;
    std::map<int, QAction*> m_commands;
};

} // namespace zelmora
