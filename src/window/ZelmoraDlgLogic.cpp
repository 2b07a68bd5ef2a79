#include "window/ZelmoraDlgLogic.h"

#include "log/LogPath.h"
#include "usb/driver/MeterFinder.h"
#include "usb/driver/UsbDriver.h"
#include "util/NumberEntry.h"
#include "util/TextFormat.h"
#include "util/WholeFile.h"
#include "window/DialogResource.h"
#include "window/FindMeterDlgLogic.h"
#include "window/SetPowerRegionDlgLogic.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <iterator>
#include <limits>

namespace zelmora {

namespace {

constexpr int kStartRefreshMs = 10;
constexpr int kStreamingRefreshMs = 80;
constexpr int kGraphRedrawMs = 40;
constexpr int kStreamingPollMs = 100;
constexpr int kMinIntervalMs = 100;
constexpr int kMaxIntervalMs = 1800000000;
constexpr int kMaxAveraging = 20000;

// Milliseconds per entry of the interval unit list: "sec", "min", "hr".
constexpr std::array<int, 3> kUnitMs = {1000, 1000 * 60, 1000 * 3600};
// Decimals of the interval shown in each unit.
constexpr std::array<int, 3> kUnitDecimals = {1, 2, 3};

const char* const kStart = "Start";
const char* const kStop = "Stop";
const char* const kDisconnected = "Disconnected";
const char* const kLogOn = "On";
const char* const kLogOff = "Off";
const char* const kLogTitle = "Log Data To File";

// The texts of this program are UTF-8, and so are the paths it is given.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The eight controls shown only in Time Interval mode.
constexpr std::array<int, 8> kTimeIntervalGroup = {1045, 1046, 1015, 1044, 1050, 1043, 1048, 1049};

} // namespace

CZelmoraDlgLogic::CZelmoraDlgLogic(UsbDriver& driver, DialogHost& controls, WindowHost& window,
                                   CDeviceLink::TestTuning tuning,
                                   std::shared_ptr<MeterSources> sources)
    : m_controls(controls), m_window(window), m_driver(driver),
      m_link(driver, tuning, std::move(sources)) {
    m_prompts.askOverwrite = [this](const std::string& path) {
        return m_window.AskQuestion(
            kLogTitle,
            Format("The log file already holds data:\n%s\n\nOverwrite it?", path.c_str()),
            "Overwrite", "Cancel");
    };
    m_prompts.showMessage = [this](const std::string& message) {
        m_window.ShowWarning(kLogTitle, message);
    };
    m_prompts.chooseLogPath = [this] {
        SaveFileRequest request;
        request.filters = {{"Comma Separated Value(*.csv)", "*.csv"}, {"TEXT(*.txt)", "*.txt"}};
        request.defaultExtension = "csv";
        return m_window.ChooseSaveFile(request);
    };
}

CZelmoraDlgLogic::~CZelmoraDlgLogic() = default;

const DialogResource& CZelmoraDlgLogic::GetResource() {
    return ZelmoraDialogResource();
}

void CZelmoraDlgLogic::SetPrompts(Prompts prompts) {
    if (prompts.askOverwrite) {
        m_prompts.askOverwrite = std::move(prompts.askOverwrite);
    }
    if (prompts.showMessage) {
        m_prompts.showMessage = std::move(prompts.showMessage);
    }
    if (prompts.chooseLogPath) {
        m_prompts.chooseLogPath = std::move(prompts.chooseLogPath);
    }
}

// --- Start-up ---------------------------------------------------------------

void CZelmoraDlgLogic::OnInitDialog() {
    InitControls();
    InitFonts();
    InitGraphArea();
    InitToolBar();
    m_window.StartTimer(kRefreshTimer, kStartRefreshMs);
    m_window.StartTimer(kGraphTimer, kGraphRedrawMs);
    m_controls.SetFocus(kIdMeterList);
}

void CZelmoraDlgLogic::InitControls() {
    m_bTimeIntervalMode = false;
    for (const int id : {kIdAutoscale, kIdContinuous, kIdStreaming}) {
        m_controls.SetChecked(id, true);
    }
    m_controls.SetText(kIdSampleSize, Format("%d", m_graph.GetSampleWindow()));

    auto fill = [this](int id, std::initializer_list<const char*> entries) {
        for (const char* entry : entries) {
            m_controls.AddListEntry(id, entry);
        }
        m_controls.SetListSelection(id, 0);
    };
    fill(kIdWavelengthUnit, {"nm", "μm"});
    m_controls.SetText(kIdAveraging, Format("%d", m_nAveraging));
    fill(kIdLogLayout, {"X:Count,Y:Power", "X:Time,Y:Power", "X:Timer,Y:Power"});
    fill(kIdIntervalUnit, {"sec", "min", "hr"});

    m_controls.SetText(kIdIntervalValue, Format("%.2lf", m_nIntervalMs / 1000.0));
    m_controls.SetText(kIdPointCount, Format("%d", m_nPointCount));
    UpdateTotalTime();

    m_controls.SetText(kIdLogPath,
                       m_window.GetDesktopFolder() + kLogPathSeparator + "Power Data.csv");
    SplitLogPath();

    OnRescan();
    m_link.SetPollPeriod(kStreamingPollMs);
}

void CZelmoraDlgLogic::InitFonts() {
    // The fonts themselves are the resource's (FontResource of 1021, 1000
    // and 1019).
    m_controls.SetText(kIdPower, "0.0W");
}

void CZelmoraDlgLogic::InitGraphArea() {
    m_rcGraph = m_window.GetControlRect(kIdGraphFrame);
    m_graph.SetDisplayDpi(m_window.GetDpi());
    m_graph.SetDisplaySize(m_rcGraph.width, m_rcGraph.height);
    m_graph.SetLimits(0, 200, 0.0, 0.001);
}

void CZelmoraDlgLogic::OnDpiChanged() {
    m_rcGraph = m_window.GetControlRect(kIdGraphFrame);
    m_graph.SetDisplayDpi(m_window.GetDpi());
    m_graph.SetDisplaySize(m_rcGraph.width, m_rcGraph.height);
    DrawGraph();
}

void CZelmoraDlgLogic::InitToolBar() {
    // The host made the one-button toolbar; its button starts disabled,
    // as Autoscale starts checked.
    m_window.EnableCommand(kCmdSetPowerRegion, false);
}

// --- Events -----------------------------------------------------------------

void CZelmoraDlgLogic::OnTimer(int timerId) {
    if (timerId == kRefreshTimer) {
        RefreshReadings();
    } else if (timerId == kGraphTimer) {
        DrawGraph();
    }
}

bool CZelmoraDlgLogic::IsTimerIdle(int timerId) const {
    if (timerId == kRefreshTimer) {
        // A running meter brings samples, and a failed read closes it, on
        // the poll's thread: only a notifier tells of either. A started
        // meter that closed is yet to be shown as lost. Once no meter is
        // open no sample can come, so the queue is looked at only after
        // that.
        if (m_link.IsRunning() ? !m_bSampleNotifier : m_bMeterStarted) {
            return false;
        }
        return !m_link.HasNewSample() && m_link.GetLostSampleCount() == m_nLostSamples;
    }
    if (timerId == kGraphTimer) {
        return !GraphNeedsDrawing();
    }
    return false;
}

bool CZelmoraDlgLogic::GraphNeedsDrawing() const {
    // The host keeps showing the last drawing, so one that would only paint
    // the same pixels again is not made: before Start and between samples
    // the tick costs next to nothing.
    return m_bGraphRedraw && m_rcGraph.width > 0 && m_rcGraph.height > 0 &&
           m_drawnRevision != m_graph.GetRevision();
}

void CZelmoraDlgLogic::SetSampleNotifier(std::function<void()> notify) {
    m_bSampleNotifier = static_cast<bool>(notify);
    m_link.SetSampleNotifier(std::move(notify));
}

void CZelmoraDlgLogic::OnCommand(int id) {
    switch (id) {
    case kIdReset:
        OnReset();
        break;
    case kIdFixed:
        OnFixed();
        break;
    case kIdContinuous:
        OnContinuous();
        break;
    case kIdRescan:
        OnRescan();
        break;
    case kIdStartStop:
        OnStartStop();
        break;
    case kIdTimeInterval:
        OnTimeInterval();
        break;
    case kIdStreaming:
        OnStreaming();
        break;
    case kIdAutoscale:
        OnAutoscale();
        break;
    case kIdLogOnOff:
        OnLogOnOff();
        break;
    case kIdLogOpen:
        OnOpenLogPath();
        break;
    case kCmdSetPowerRegion:
        OnSetPowerRegion();
        break;
    case kCmdManualChinese:
        OnManual("Operation Manual_Chs.pdf");
        break;
    case kCmdManualEnglish:
        OnManual("Operation Manual_Eng.pdf");
        break;
    case kCmdFindMeter:
        OnFindMeter();
        break;
    case kCmdSaveReport:
        OnSaveReport();
        break;
    case kCmdAbout:
        OnAbout();
        break;
    default:
        break;
    }
    UpdateRunNote();
}

void CZelmoraDlgLogic::OnListChanged(int id) {
    if (id == kIdIntervalUnit) {
        OnIntervalUnitChanged();
    }
}

void CZelmoraDlgLogic::OnEditChanged(int id) {
    if (id == kIdLogPath) {
        OnLogPathChanged();
    }
}

void CZelmoraDlgLogic::OnKillFocus(int id) {
    switch (id) {
    case kIdAveraging:
        CommitAveraging();
        break;
    case kIdSampleSize:
        CommitSampleSize();
        break;
    case kIdPointCount:
        CommitPointCount();
        break;
    case kIdIntervalValue:
        CommitInterval();
        break;
    default:
        break;
    }
    UpdateRunNote();
}

void CZelmoraDlgLogic::OnOK() {
    switch (m_controls.GetFocus()) {
    case kIdSampleSize:
        CommitSampleSize();
        break;
    case kIdIntervalValue:
        CommitInterval();
        break;
    case kIdPointCount:
        CommitPointCount();
        break;
    case kIdAveraging:
        CommitAveraging();
        break;
    default:
        break;
    }
    UpdateRunNote();
}

void CZelmoraDlgLogic::OnCancel() {
    // Esc does nothing: only the close command ends the window.
}

void CZelmoraDlgLogic::OnClose() {
    m_window.KillTimer(kRefreshTimer);
    m_window.KillTimer(kGraphTimer);
    if (m_bLogging) {
        // What the meter measured up to now still goes into the file, which
        // is then closed with every record in it. No new name is proposed.
        RefreshReadings();
        m_logFile.Close();
        m_bLogging = false;
        m_controls.SetText(kIdLogOnOff, kLogOn);
        m_controls.SetChecked(kIdLoggingIndicator, false);
    }
    m_controls.EndDialog(kIdCancel);
}

void CZelmoraDlgLogic::OnLButtonDown() {
    // Moving the focus away commits the number box that had it.
    m_controls.SetFocus(kIdFocusSink);
}

void CZelmoraDlgLogic::OnPaint(bool minimised) {
    if (!minimised) {
        m_bGraphRedraw = true;
    }
}

void CZelmoraDlgLogic::OnAbout() {
    CAboutDlgLogic about;
    m_window.RunDialog(about);
}

void CZelmoraDlgLogic::OnManual(const std::string& name) {
    // Beside the program first and then where the documentation is
    // installed, so that a program started from anywhere (a terminal at
    // home, the desktop's menu) opens its own manuals; the current folder
    // comes last, for a copy kept nowhere else.
    std::vector<std::string> folders = m_window.GetManualFolders();
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    folders.push_back(error ? std::string(".") : Utf8Of(current));
    folders.erase(std::remove(folders.begin(), folders.end(), std::string()), folders.end());
    for (auto i = folders.begin(); i != folders.end(); ++i) {
        folders.erase(std::remove(std::next(i), folders.end(), *i), folders.end());
    }
    for (const std::string& folder : folders) {
        const std::filesystem::path path = PathOf(folder) / PathOf(name);
        if (std::filesystem::is_regular_file(path, error)) {
            m_window.OpenDocument(Utf8Of(path));
            return;
        }
    }
    std::string places;
    for (const std::string& folder : folders) {
        places += "\n" + folder;
    }
    m_controls.ShowMessageBox(Format("The manual \"%s\" was not found. It was looked for in:%s",
                                     name.c_str(), places.c_str()));
}

void CZelmoraDlgLogic::OnFindMeter() {
    if (m_finder == nullptr) {
        m_controls.ShowMessageBox(
            "Here the meter's own USB driver tells the program which meters are plugged in: "
            "install the driver from the meter's maker, plug the meter in and press Rescan.");
        return;
    }
    CFindMeterDlgLogic dialog(*m_finder, [this] { return RescanForFinder(); });
    m_window.RunDialog(dialog);
}

void CZelmoraDlgLogic::OnSaveReport() {
    if (!m_report.build) {
        m_controls.ShowMessageBox("This program writes no diagnostic report.");
        return;
    }
    SaveFileRequest request;
    request.title = "Save a diagnostic report";
    request.filters = {{"Text (*.txt)", "*.txt"}};
    request.defaultExtension = "txt";
    request.initialPath = m_report.defaultPath ? m_report.defaultPath() : std::string();
    const std::optional<std::string> path = m_window.ChooseSaveFile(request);
    if (!path) {
        return;
    }
    std::string error;
    if (!WriteWholeFile(*path, m_report.build(GetReportSettings()), error)) {
        m_controls.ShowMessageBox(Format("The diagnostic report could not be saved:\n%s\n\n%s. "
                                         "Nothing was written; choose another place.",
                                         path->c_str(), error.c_str()));
    }
}

CZelmoraDlgLogic::ReportSettings CZelmoraDlgLogic::GetReportSettings() const {
    auto yesNo = [](bool value) { return std::string(value ? "yes" : "no"); };
    ReportSettings settings;
    const std::string meter = m_controls.GetText(kIdMeterList);
    settings.emplace_back("meter", meter.empty() ? "none" : meter);
    settings.emplace_back("meters listed", std::to_string(m_link.GetMeterCount()));
    settings.emplace_back("measuring", yesNo(m_link.IsRunning()));
    settings.emplace_back("averaging", std::to_string(m_nAveraging));
    settings.emplace_back("statistics", m_bFixedMode ? Format("fixed, %d samples", m_nSampleSize)
                                                     : std::string("continuous"));
    settings.emplace_back("timing", m_bTimeIntervalMode
                                        ? Format("time interval, %d ms", m_nIntervalMs)
                                        : std::string("streaming"));
    settings.emplace_back("graph points", std::to_string(m_nPointCount));
    settings.emplace_back("autoscale", yesNo(m_controls.IsChecked(kIdAutoscale)));
    settings.emplace_back("logging", yesNo(m_bLogging));
    settings.emplace_back("log file", m_controls.GetText(kIdLogPath));
    settings.emplace_back("meter finder", m_finder != nullptr ? "yes"
                                                              : "no (the meter's driver "
                                                                "publishes the meters)");
    return settings;
}

std::string CZelmoraDlgLogic::RescanForFinder() {
    if (m_link.IsRunning()) {
        // A rescan would stop the measurement.
        return "A meter is measuring: press Rescan in the window when you are done with it.";
    }
    OnRescan();
    const int count = std::clamp(m_link.GetMeterCount(), 0, CDeviceLink::kMaxMeters);
    if (count == 0) {
        return "The window looked again: " + m_controls.GetText(kIdNoMeter);
    }
    std::array<std::string, CDeviceLink::kMaxMeters> ids;
    m_link.GetMeterList(ids.data());
    std::string list;
    for (int i = 0; i < count; ++i) {
        list += (i == 0 ? "" : ", ") + ids[static_cast<std::size_t>(i)];
    }
    return Format("The window looked again and lists the meter%s %s: choose it and press "
                  "Start.",
                  count == 1 ? "" : "s", list.c_str());
}

// --- Timers -----------------------------------------------------------------

void CZelmoraDlgLogic::RefreshReadings() {
    // Every sample since the last refresh, oldest first, each a consistent
    // copy: a record's X field and power, and the graph's point, come from
    // the same sample. A window that was held up catches up here.
    std::uint64_t lostSamples = 0;
    const std::vector<MeterSample> samples = m_link.TakeSamples(&lostSamples);
    if (lostSamples != m_nLostSamples) {
        ShowLostSamples(lostSamples);
    }
    for (const MeterSample& sample : samples) {
        // A sample without a power text (a range without conversion right
        // after a reset) is neither graphed nor logged.
        if (sample.powerText.empty()) {
            continue;
        }
        m_graph.AddSample(sample.power);
        m_bGraphRedraw = true;
        if (m_bLogging) {
            AppendLogRecord(sample);
        }
    }
    if (!samples.empty()) {
        ShowSample(samples.back());
    }
    CheckMeterLost();
    UpdateRunNote();
}

void CZelmoraDlgLogic::ShowSample(const MeterSample& sample) {
    m_controls.SetText(kIdPower, sample.powerText);
    if (sample.powerText.empty()) {
        return;
    }

    m_controls.SetText(kIdMean, sample.meanText);
    m_controls.SetText(kIdMin, sample.minText);
    m_controls.SetText(kIdMax, sample.maxText);
    m_controls.SetText(kIdStdDev, m_controls.IsChecked(kIdPercentOfMean) ? sample.stdDevPercentText
                                                                         : sample.stdDevText);

    switch (m_controls.GetListSelection(kIdWavelengthUnit)) {
    case 0:
        m_controls.SetText(kIdWavelength, Format("%d", sample.wavelength));
        break;
    case 1:
        m_controls.SetText(kIdWavelength, Format("%.3lf", sample.wavelength / 1000.0));
        break;
    default:
        break;
    }
    m_controls.SetText(kIdDuration, sample.durationText);
    m_controls.SetText(kIdCount, sample.countText);
}

void CZelmoraDlgLogic::ShowLostSamples(std::uint64_t lostSamples) {
    const auto newlyLost = static_cast<unsigned long long>(lostSamples - m_nLostSamples);
    m_nLostSamples = lostSamples;
    m_controls.SetText(kIdLostSamples, Format("%llu samples lost: the window fell behind the meter",
                                              static_cast<unsigned long long>(lostSamples)));
    ShowLineUnderGraph();
    if (m_bLogging && !m_bLossReported) {
        m_bLossReported = true;
        m_prompts.showMessage(Format("The window fell behind the meter and %llu samples were "
                                     "lost before they could be logged. The log file has a gap "
                                     "there; its count, time or timer column shows where.\n\n%s",
                                     newlyLost, m_logFile.GetPath().c_str()));
    }
}

void CZelmoraDlgLogic::CheckMeterLost() {
    // A failed read closes the meter; the window must not go on looking as
    // if it measured.
    if (m_bMeterStarted && !m_link.IsRunning()) {
        ShowNotRunning();
        m_controls.SetText(kIdPower, kDisconnected);
    }
}

void CZelmoraDlgLogic::ShowNotRunning() {
    m_bMeterStarted = false;
    m_controls.SetText(kIdStartStop, kStart);
    m_controls.SetEnabled(kIdMeterList, true);
}

void CZelmoraDlgLogic::AppendLogRecord(const MeterSample& sample) {
    const int layout = m_controls.GetListSelection(kIdLogLayout);
    if (m_logFile.Append(sample, layout)) {
        return;
    }
    // The log has closed itself with every complete record in it.
    m_bLogging = false;
    ShowLoggingOff();
    m_prompts.showMessage(Format("Logging has been switched off: the log file could not be "
                                 "written (%s).\n\n%s\n\nEvery record written before the "
                                 "failure is kept in it.",
                                 m_logFile.GetError().c_str(), m_logFile.GetPath().c_str()));
}

void CZelmoraDlgLogic::DrawGraph() {
    if (!GraphNeedsDrawing()) {
        return;
    }
    const std::uint64_t revision = m_graph.GetRevision();
    // Drawn off-screen in full, then shown in one piece.
    m_window.DrawGraph(m_rcGraph, [this, revision](Canvas& canvas) {
        m_graph.Draw(canvas);
        m_drawnRevision = revision;
    });
}

// --- Collection settings ---------------------------------------------------

void CZelmoraDlgLogic::OnRescan() {
    // A meter lost a moment ago and not yet shown counts as running here:
    // the window has not let go of it yet.
    const bool wasRunning = m_bMeterStarted;
    const std::string running = m_controls.GetText(kIdMeterList);
    m_controls.ClearList(kIdMeterList);
    m_link.Rescan();
    m_strEventNote.clear();
    if (wasRunning) {
        // Rescan closes a running meter on purpose: the window must not go
        // on looking as if it measured, nor keep a log that would have a
        // hidden gap if the meter were started again. What the meter gave
        // before still goes into the graph and the file.
        ShowNotRunning();
        RefreshReadings();
        const bool logged = m_bLogging;
        if (m_bLogging) {
            EndLogging();
        }
        m_strEventNote = Format("Rescan closed meter %s: nothing is measured%s.", running.c_str(),
                                logged ? ", logging is off" : "");
    }
    std::array<std::string, CDeviceLink::kMaxMeters> ids;
    const int count = std::clamp(m_link.GetMeterCount(), 0, CDeviceLink::kMaxMeters);
    m_link.GetMeterList(ids.data());
    for (int i = 0; i < count; ++i) {
        m_controls.AddListEntry(kIdMeterList, ids[static_cast<std::size_t>(i)]);
    }
    m_controls.SetListSelection(kIdMeterList, count > 0 ? 0 : -1);
    ShowNoMeter(count == 0);
    UpdateRunNote();
}

std::string CZelmoraDlgLogic::NoMeterText(const MeterAbsence& absence) {
    std::string first;
    if (!absence.devices.empty()) {
        first = MatchList::FormatId(absence.devices.front());
        if (absence.devices.size() > 1) {
            first += Format(" and %u more", static_cast<unsigned>(absence.devices.size() - 1));
        }
    }
    std::string reason;
    switch (absence.reason) {
    case MeterAbsence::Reason::Unknown:
        break;
    case MeterAbsence::Reason::ListEmpty:
        reason = "no USB id is on the meter list yet";
        break;
    case MeterAbsence::Reason::NoneMatched:
        reason = "no device plugged in is on the meter list";
        break;
    case MeterAbsence::Reason::NoPermission:
        reason = "no permission to open " + first;
        break;
    case MeterAbsence::Reason::NotAMeter:
        reason = first + " did not answer as a meter";
        break;
    case MeterAbsence::Reason::ListingFailed:
        reason = "the USB devices could not be listed";
        break;
    }
    return (reason.empty() ? std::string("No meter found.") : "No meter found: " + reason + ".") +
           " Next: Help > Find my meter…";
}

void CZelmoraDlgLogic::ShowNoMeter(bool none) {
    if (none) {
        const MeterAbsence absence = m_finder ? m_finder->ExplainNoMeter() : MeterAbsence{};
        m_controls.SetText(kIdNoMeter, NoMeterText(absence));
    }
    m_bNoMeterShown = none;
    ShowLineUnderGraph();
}

void CZelmoraDlgLogic::ShowLineUnderGraph() {
    // The three lines share the place under the graph; a line that gives
    // way comes back when the one before it goes. A driver's fault goes
    // before the missing meter: it is why none is found.
    const bool fault = !m_strFault.empty();
    const bool noMeter = m_bNoMeterShown && !fault;
    const bool note = !noMeter && !m_strRunNote.empty();
    m_controls.SetVisible(kIdNoMeter, noMeter);
    m_controls.SetVisible(kIdRunNote, note);
    m_controls.SetVisible(kIdLostSamples, !noMeter && !note && m_nLostSamples > 0);
}

void CZelmoraDlgLogic::UpdateRunNote() {
    // A collection at its limit takes no more samples while the meter and
    // the button stay as they were: only this line tells why nothing moves.
    // The note of an event (why nothing runs) goes first, and a driver that
    // can no longer answer before all.
    if (m_strFault.empty()) {
        m_strFault = m_driver.Fault();
    }
    std::string note = m_strFault.empty() ? m_strEventNote : m_strFault;
    if (note.empty() && m_link.IsCollectionComplete()) {
        const auto count = static_cast<long long>(m_link.GetStatistics().count);
        note = Format("complete: %lld of %lld; Reset starts a new one", count, count);
    }
    if (note == m_strRunNote) {
        return;
    }
    m_strRunNote = note;
    m_controls.SetText(kIdRunNote, m_strRunNote);
    ShowLineUnderGraph();
}

void CZelmoraDlgLogic::OnStartStop() {
    const int selected = m_controls.GetListSelection(kIdMeterList);
    const std::string text = m_controls.GetText(kIdStartStop);
    if (text == kStart) {
        if (selected < 0) {
            return;
        }
        const std::string meterId = m_controls.GetText(kIdMeterList);
        m_strEventNote.clear();
        KeepToOneMeter(meterId);
        m_link.Start(meterId);
        m_bMeterStarted = m_link.IsRunning();
        m_strFamily = m_link.GetProbeFamily();
        if (m_strFamily == "KV" || m_strFamily == "RM") {
            m_controls.SetText(kIdGraphTitle, "Graphic(W)");
        } else if (m_strFamily == "ZN") {
            m_controls.SetText(kIdGraphTitle, "Graphic(mW)");
        }
        if (!m_bMeterStarted) {
            // Nothing runs: a "Stop" button would say otherwise.
            m_strEventNote =
                Format("Meter %s did not start: Rescan looks for meters again.", meterId.c_str());
            return;
        }
        m_controls.SetText(kIdStartStop, kStop);
        // The list shows the meter that runs until it stops.
        m_controls.SetEnabled(kIdMeterList, false);
    } else if (text == kStop) {
        m_link.Stop();
        ShowNotRunning();
    }
}

void CZelmoraDlgLogic::KeepToOneMeter(const std::string& meterId) {
    if (meterId == m_strCollectionMeter && (!m_bLogging || meterId == m_strLogMeter)) {
        return;
    }
    // The meter before may still have samples waiting: they are its.
    RefreshReadings();
    if (!m_strCollectionMeter.empty() && meterId != m_strCollectionMeter) {
        StartNewCollection();
    }
    m_strCollectionMeter = meterId;
    if (!m_bLogging || meterId == m_strLogMeter) {
        return;
    }
    // One file, one meter: its header names the meter, and its unit is the
    // meter's. The conservative way: this file ends whole, and the next
    // numbered name takes the next meter.
    const std::string previousMeter = m_strLogMeter;
    const std::string previousPath = m_logFile.GetPath();
    EndLogging();
    const std::string closed =
        Format("The log file of %s was closed with every record in it:\n%s",
               previousMeter.empty() ? "No Device" : previousMeter.c_str(), previousPath.c_str());
    if (StartLogging(meterId)) {
        m_prompts.showMessage(Format("%s\n\nMeter %s is logged to a new file:\n%s", closed.c_str(),
                                     meterId.c_str(), m_logFile.GetPath().c_str()));
    } else {
        m_prompts.showMessage(Format("%s\n\nMeter %s is not logged: logging is off.",
                                     closed.c_str(), meterId.c_str()));
    }
}

void CZelmoraDlgLogic::StartNewCollection() {
    // As Reset does: the graph and the statistics start again, so that a
    // mean never pools two meters (nor watts with milliwatts).
    m_graph.ClearData();
    m_link.ResetStatistics();
}

void CZelmoraDlgLogic::OnFixed() {
    m_graph.SetCollectionMode(0);
    m_graph.UpdateScales();
    m_link.SetCollectionMode(CDeviceLink::kFixedMode);
    m_link.SetSampleSize(m_bTimeIntervalMode ? m_nPointCount : m_nSampleSize);
    m_bFixedMode = true;
}

void CZelmoraDlgLogic::OnContinuous() {
    m_graph.SetCollectionMode(1);
    CommitSampleSize();
    m_link.SetCollectionMode(CDeviceLink::kContinuousMode);
    m_bFixedMode = false;
    m_link.SetSampleSize(0);
}

void CZelmoraDlgLogic::ShowTimeIntervalGroup(bool show) {
    for (const int id : kTimeIntervalGroup) {
        m_controls.SetVisible(id, show);
    }
}

void CZelmoraDlgLogic::OnTimeInterval() {
    ShowTimeIntervalGroup(true);
    m_bTimeIntervalMode = true;
    m_link.SetSampleSize(m_bFixedMode ? m_nPointCount : 0);
    m_window.StartTimer(kRefreshTimer, static_cast<int>(m_nIntervalMs * 0.8));
    m_link.SetPollPeriod(m_nIntervalMs);
}

void CZelmoraDlgLogic::OnStreaming() {
    ShowTimeIntervalGroup(false);
    m_bTimeIntervalMode = false;
    m_link.SetSampleSize(m_bFixedMode ? m_nSampleSize : 0);
    m_window.StartTimer(kRefreshTimer, kStreamingRefreshMs);
    m_link.SetPollPeriod(kStreamingPollMs);
}

std::string CZelmoraDlgLogic::FormatIntervalInUnit() const {
    switch (m_controls.GetListSelection(kIdIntervalUnit)) {
    case 1:
        return Format("%.2lf", m_nIntervalMs / 1000.0 / 60);
    case 2:
        return Format("%.3lf", m_nIntervalMs / 1000.0 / 3600);
    default:
        return Format("%.1lf", m_nIntervalMs / 1000.0);
    }
}

void CZelmoraDlgLogic::OnIntervalUnitChanged() {
    m_controls.SetText(kIdIntervalValue, FormatIntervalInUnit());
}

void CZelmoraDlgLogic::CommitAveraging() {
    if (const std::optional<int> value =
            AcceptInt(m_controls.GetText(kIdAveraging), 1, kMaxAveraging)) {
        m_nAveraging = *value;
        m_link.SetAverageCount(m_nAveraging);
    }
    // Shown as in use: "1e9" commits 1.
    m_controls.SetText(kIdAveraging, Format("%d", m_nAveraging));
}

void CZelmoraDlgLogic::CommitSampleSize() {
    // No more than the graph holds: a larger window would be refused by the
    // graph while the box showed it.
    if (const std::optional<int> value =
            AcceptInt(m_controls.GetText(kIdSampleSize), 1, CImageDisplay::kCapacity - 1)) {
        m_nSampleSize = *value;
        m_graph.SetSampleWindow(m_nSampleSize);
        if (m_controls.IsChecked(kIdFixed)) {
            m_link.SetSampleSize(m_nSampleSize);
        }
    }
    m_controls.SetText(kIdSampleSize, Format("%d", m_nSampleSize));
}

void CZelmoraDlgLogic::CommitPointCount() {
    if (const std::optional<int> value =
            AcceptInt(m_controls.GetText(kIdPointCount), 0, std::numeric_limits<int>::max())) {
        m_nPointCount = *value;
        UpdateTotalTime();
        m_link.SetSampleSize(m_nPointCount);
    }
    m_controls.SetText(kIdPointCount, Format("%d", m_nPointCount));
}

void CZelmoraDlgLogic::CommitInterval() {
    const auto unit =
        static_cast<std::size_t>(std::clamp(m_controls.GetListSelection(kIdIntervalUnit), 0, 2));
    const int unitMs = kUnitMs[unit];
    const std::string typed = m_controls.GetText(kIdIntervalValue);
    if (!ScanDouble(typed)) {
        m_controls.SetText(kIdIntervalValue, FormatIntervalInUnit());
        return;
    }
    if (const std::optional<int> ms =
            AcceptIntervalMs(typed, unitMs, kMinIntervalMs, kMaxIntervalMs)) {
        m_nIntervalMs = *ms;
        // The operator's text stays while it says what runs; "2,5" runs as
        // 2 s and "0.1234" as 123 ms, and the box then says so.
        if (!ShowsIntervalExactly(typed, m_nIntervalMs, unitMs)) {
            m_controls.SetText(kIdIntervalValue,
                               FormatIntervalForEntry(m_nIntervalMs, unitMs, kUnitDecimals[unit]));
        }
    } else {
        m_controls.SetText(kIdIntervalValue, FormatIntervalInUnit());
    }
    m_window.StartTimer(kRefreshTimer, static_cast<int>(m_nIntervalMs * 0.8));
    UpdateTotalTime();
    m_link.SetPollPeriod(m_nIntervalMs);
}

void CZelmoraDlgLogic::UpdateTotalTime() {
    const std::uint64_t total =
        static_cast<std::uint64_t>(m_nPointCount) * static_cast<std::uint64_t>(m_nIntervalMs);
    m_controls.SetText(kIdTotalTime, FormatElapsed(total));
}

void CZelmoraDlgLogic::OnReset() {
    m_graph.ClearData();
    if (const std::optional<int> size = ScanInt(m_controls.GetText(kIdSampleSize))) {
        m_graph.SetSampleWindow(*size);
        m_link.ResetStatistics();
    }
}

void CZelmoraDlgLogic::OnAutoscale() {
    const bool autoscale = m_controls.IsChecked(kIdAutoscale);
    m_window.EnableCommand(kCmdSetPowerRegion, !autoscale);
    m_graph.SetAutoscale(autoscale);
}

void CZelmoraDlgLogic::OnSetPowerRegion() {
    CSetPowerRegionDlgLogic dialog;
    double xFrom = 0;
    double xTo = 0;
    double yFrom = 0;
    double yTo = 0;
    m_graph.GetXLimits(xFrom, xTo);
    m_graph.GetYLimits(yFrom, yTo);
    dialog.SetRegion(xFrom, xTo, yFrom, yTo);
    m_window.RunDialog(dialog);
    if (dialog.IsAccepted()) {
        m_graph.SetLimits(dialog.GetMinX(), dialog.GetMaxX(), dialog.GetMinPower(),
                          dialog.GetMaxPower());
        m_bGraphRedraw = true;
    }
}

// --- Logging ----------------------------------------------------------------

void CZelmoraDlgLogic::OnLogOnOff() {
    if (m_bLogging) {
        // Samples the meter has already given belong in this file, even
        // those the refresh has not taken yet. (A write that fails there
        // switches logging off by itself.)
        RefreshReadings();
        if (m_bLogging) {
            EndLogging();
        }
        return;
    }
    StartLogging(m_controls.GetText(kIdMeterList));
}

bool CZelmoraDlgLogic::StartLogging(const std::string& meterId) {
    const std::string path = m_controls.GetText(kIdLogPath);
    // The program keeps no settings and proposes the same name after every
    // start: yesterday's file is not emptied without asking.
    if (CLogFile::HoldsData(path) && !m_prompts.askOverwrite(path)) {
        return false;
    }
    if (!m_logFile.Open(path, meterId)) {
        // An unchanged "On" button alone would read as logging being on.
        m_prompts.showMessage(Format("The log file could not be opened (%s), so logging is "
                                     "off.\n\n%s",
                                     m_logFile.GetError().c_str(), path.c_str()));
        return false;
    }
    m_controls.SetText(kIdLogOnOff, kLogOff);
    m_controls.SetChecked(kIdLoggingIndicator, true);
    m_bLogging = true;
    m_bLossReported = false;
    m_strLogMeter = meterId;
    return true;
}

void CZelmoraDlgLogic::EndLogging() {
    m_logFile.Close();
    m_bLogging = false;
    ShowLoggingOff();
}

void CZelmoraDlgLogic::ShowLoggingOff() {
    m_controls.SetText(kIdLogOnOff, kLogOn);
    m_controls.SetChecked(kIdLoggingIndicator, false);
    AdvanceLogFileName();
}

void CZelmoraDlgLogic::OnOpenLogPath() {
    if (const std::optional<std::string> path = m_prompts.chooseLogPath()) {
        m_controls.SetText(kIdLogPath, *path);
        SplitLogPath();
    }
}

void CZelmoraDlgLogic::SplitLogPath() {
    if (zelmora::SplitLogPath(m_controls.GetText(kIdLogPath), m_strLogFolder, m_strLogName)) {
        m_nLogIndex = 0;
    }
}

void CZelmoraDlgLogic::AdvanceLogFileName() {
    if (const std::optional<std::string> next =
            zelmora::AdvanceLogFileName(m_strLogFolder, m_strLogName, m_nLogIndex)) {
        m_controls.SetText(kIdLogPath, *next);
    }
}

void CZelmoraDlgLogic::OnLogPathChanged() {
    SplitLogPath();
}

} // namespace zelmora
