#include "window/DialogResource.h"

#include "window/DialogIds.h"

namespace zelmora {

namespace {

using K = ControlKind;
using Z = ZelmoraDlgIds;
using R = SetPowerRegionIds;

constexpr unsigned kHidden = kStyleHidden;
constexpr unsigned kReadOnly = kStyleReadOnly;
constexpr unsigned kCentred = kStyleCentred;
constexpr unsigned kGroup = kStyleGroupStart;

constexpr FontResource kSongTi21{"宋体", 21};
constexpr FontResource kSongTi10{"宋体", 10};

// Dialog 102 in template order, which is the creation and tab order;
// positions in dialog units. Labels start groups, so the radio buttons'
// groups end at them.
constexpr ControlResource kZelmoraControls[] = {
    {Z::kIdMeterList, K::DropDownList, "", 47, 7, 72, 72},
    {Z::kIdPower, K::Edit, "", 7, 63, 89, 18, kReadOnly | kStyleRight, kSongTi21},
    {Z::kIdWavelength, K::Edit, "", 7, 97, 40, 12, kReadOnly | kCentred},
    {Z::kIdWavelengthUnit, K::DropDownList, "", 60, 97, 40, 50},
    {Z::kIdAveraging, K::Edit, "", 7, 122, 40, 12, kCentred},
    {Z::kIdMean, K::Edit, "", 7, 147, 40, 12, kReadOnly | kCentred},
    {Z::kIdStdDev, K::Edit, "", 60, 146, 40, 12, kReadOnly | kCentred},
    {Z::kIdMin, K::Edit, "", 7, 172, 40, 12, kReadOnly | kCentred},
    {Z::kIdMax, K::Edit, "", 60, 172, 40, 12, kReadOnly | kCentred},
    {Z::kIdCount, K::Edit, "", 7, 197, 40, 12, kReadOnly | kCentred},
    {Z::kIdDuration, K::Edit, "", 60, 197, 44, 12, kReadOnly | kCentred},
    {Z::kIdFixed, K::RadioButton, "Fixed", 124, 166, 32, 10, kGroup},
    {Z::kIdContinuous, K::RadioButton, "Continuous", 124, 188, 48, 10},
    {Z::kIdSampleSize, K::Edit, "", 187, 167, 40, 12, kCentred},
    {Z::kIdTimeInterval, K::RadioButton, "Time Interval", 240, 159, 47, 10, kGroup},
    {Z::kIdStreaming, K::RadioButton, "Streaming", 240, 173, 47, 10},
    {Z::kIdTotalTime, K::Edit, "", 236, 199, 54, 12, kReadOnly | kHidden},
    {Z::kIdLogPath, K::MultiLineEdit, "", 347, 185, 85, 26, kStyleNone, kSongTi10},
    {Z::kIdPowerLabel, K::Label, "Power", 7, 45, 89, 18, kGroup, kSongTi21},
    {1022, K::Label, "Wavelength(nm)", 7, 87, 54, 8, kGroup},
    {1026, K::Label, "Min", 7, 162, 24, 8, kGroup},
    {1027, K::Label, "Max", 62, 162, 26, 8, kGroup},
    {1024, K::Label, "Mean", 7, 137, 30, 8, kGroup},
    {1025, K::Label, "Std.Dev", 62, 137, 25, 8, kGroup},
    {Z::kIdPercentOfMean, K::CheckBox, "% of Mean", 90, 137, 44, 8},
    {1023, K::Label, "Live Data Averaging", 7, 112, 63, 8, kGroup},
    {1031, K::Label, "Counts", 7, 187, 23, 8, kGroup},
    {1032, K::GroupBox, "Sample Collection", 116, 146, 59, 65},
    {1033, K::Label, "Sample Size", 187, 146, 38, 8, kGroup},
    {Z::kIdReset, K::PushButton, "Reset", 187, 192, 37, 14},
    {1035, K::Label, "Log Data To File", 347, 147, 51, 8, kGroup},
    {Z::kIdLogOnOff, K::PushButton, "On", 409, 145, 26, 12},
    {1036, K::Label, "Log Data File Path", 347, 160, 58, 8, kGroup},
    {Z::kIdLogOpen, K::PushButton, "Open", 409, 158, 26, 12},
    {1034, K::GroupBox, "Collection Mode", 236, 146, 54, 42},
    {Z::kIdStartStop, K::PushButton, "Start", 7, 26, 28, 14},
    {Z::kIdAutoscale, K::CheckBox, "Autoscale", 135, 8, 55, 8},
    {Z::kIdGraphFrame, K::GroupBox, "Graphic", 135, 18, 306, 116, kHidden},
    {Z::kIdGraphTitle, K::Label, "Graphic", 135, 18, 41, 8, kGroup},
    {Z::kIdRescan, K::PushButton, "Rescan", 7, 7, 34, 14},
    {Z::kIdLogLayout, K::DropDownList, "", 347, 171, 66, 40},
    {0, K::Label, "Duration", 62, 187, 26, 8, kGroup, {}, "durationLabel"},
    {Z::kIdPointCount, K::Edit, "", 293, 167, 40, 12, kCentred | kHidden},
    {1044, K::Label, "Point Count", 293, 147, 35, 8, kGroup | kHidden},
    {Z::kIdIntervalValue, K::Edit, "", 293, 195, 21, 12, kCentred | kHidden},
    {Z::kIdIntervalUnit, K::DropDownList, "", 314, 195, 26, 68, kHidden},
    {1049, K::Label, "Total Time", 236, 189, 34, 8, kGroup | kHidden},
    {1048, K::Label, "Time Interval", 293, 185, 40, 8, kGroup | kHidden},
    {1050, K::Label, "(0 is no limited)", 293, 156, 45, 8, kGroup | kHidden},
    {Z::kIdLoggingIndicator, K::CheckBox, "", 398, 146, 8, 10, kStyleDisabled | kStyleTextLeft},
    {Z::kIdFocusSink, K::Edit, "", 433, 7, 8, 12, kReadOnly | kHidden},
    // Shown once samples were lost because the window fell behind the
    // meter; under the graph.
    {Z::kIdLostSamples,
     K::Label,
     "",
     135,
     135,
     306,
     9,
     kGroup | kHidden | kStyleAlert,
     {},
     "lostSamples"},
    // Shown when a scan found no meter, with the reason and the next step;
    // it takes the lost samples' place while it is shown.
    {Z::kIdNoMeter, K::Label, "", 135, 135, 306, 9, kGroup | kHidden | kStyleAlert, {}, "noMeter"},
    // Shown when a Rescan closed the running meter, and while the
    // collection is complete; the no-meter line goes before it, and it
    // before the lost samples.
    {Z::kIdRunNote, K::Label, "", 135, 135, 306, 9, kGroup | kHidden | kStyleAlert, {}, "runNote"},
};

constexpr ControlResource kSetPowerRegionControls[] = {
    {R::kIdOk, K::DefPushButton, "Sure", 43, 51, 50, 14},
    {R::kIdCancel, K::PushButton, "Cancel", 136, 51, 50, 14},
    {0, K::Label, "Min Power:", 16, 15, 48, 8, kGroup},
    {0, K::Label, "Max Power:", 124, 15, 51, 8, kGroup},
    {R::kIdMinPower, K::Edit, "", 62, 14, 40, 12, kCentred | kStyleNumberEdit},
    {R::kIdMaxPower, K::Edit, "", 172, 14, 40, 12, kCentred | kStyleNumberEdit},
    {0, K::Label, "Min X:", 16, 34, 48, 8, kGroup},
    {0, K::Label, "Max X:", 124, 34, 51, 8, kGroup},
    {R::kIdMinX, K::Edit, "", 62, 32, 40, 12, kCentred | kStyleNumberEdit},
    {R::kIdMaxX, K::Edit, "", 172, 32, 40, 12, kCentred | kStyleNumberEdit},
};

constexpr ControlResource kAboutControls[] = {
    {0, K::Icon, "", 14, 14, 21, 20, kGroup},
    {0, K::Label, "Zelmora，1.0 版", 42, 14, 114, 8, kGroup},
    {0, K::Label, "USB 激光功率计读数程序", 42, 26, 114, 8, kGroup},
    {DialogIds::kIdOk, K::DefPushButton, "确定", 113, 41, 50, 14, kGroup},
};

using F = FindMeterIds;

constexpr ControlResource kFindMeterControls[] = {
    {0, K::Label,
     "Every USB device plugged in. Choose your meter and press \"Add to my meters\": its id "
     "goes into your own meter list, and the window looks for meters again.",
     7, 7, 306, 18, kGroup},
    {F::kIdDevices, K::ListBox, "", 7, 28, 306, 86},
    {F::kIdAdd, K::DefPushButton, "Add to my meters", 7, 118, 80, 14},
    {F::kIdRefresh, K::PushButton, "Look again", 92, 118, 60, 14},
    {F::kIdOutcome, K::MultiLineEdit, "", 7, 138, 306, 146, kReadOnly},
    {F::kIdCopy, K::PushButton, "Copy the commands", 7, 288, 80, 14, kStyleDisabled},
    {F::kIdCancel, K::PushButton, "Close", 263, 288, 50, 14},
};

constexpr DialogResource kZelmoraDialog{
    .id = 102,
    .caption = "OrvantaPower Meter V2.4.9.30",
    .font = {"Microsoft Sans Serif", 10},
    .width = 448,
    .height = 218,
    .controls = kZelmoraControls,
    .style = kDialogMinimizeBox | kDialogAppWindow,
};
constexpr DialogResource kSetPowerRegionDialog{
    .id = 131,
    .caption = "Set Power Region",
    .font = {"Microsoft Sans Serif", 10},
    .width = 228,
    .height = 72,
    .controls = kSetPowerRegionControls,
    .style = kDialogToolWindow,
};
constexpr DialogResource kAboutDialog{
    .id = 100,
    .caption = "关于 Zelmora",
    .font = {"MS Shell Dlg", 9},
    .width = 170,
    .height = 62,
    .controls = kAboutControls,
};

constexpr DialogResource kFindMeterDialog{
    .id = 140,
    .caption = "Find my meter",
    .font = {"Microsoft Sans Serif", 10},
    .width = 320,
    .height = 309,
    .controls = kFindMeterControls,
};

constexpr MenuResource kManualEntries[] = {
    {"简体中文", ZelmoraDlgIds::kCmdManualChinese},
    {"English", ZelmoraDlgIds::kCmdManualEnglish},
};
constexpr MenuResource kHelpEntries[] = {
    {"Find my meter…", ZelmoraDlgIds::kCmdFindMeter},
    {"Save a diagnostic report…", ZelmoraDlgIds::kCmdSaveReport},
    {"Operation Manunal", 0, kManualEntries},
};
constexpr MenuResource kMenuBar[] = {
    {"Help", 0, kHelpEntries},
};

} // namespace

const ControlResource* DialogResource::Find(int controlId) const {
    if (controlId == 0) {
        return nullptr;
    }
    for (const ControlResource& control : controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

const DialogResource& ZelmoraDialogResource() {
    return kZelmoraDialog;
}

const DialogResource& SetPowerRegionDialogResource() {
    return kSetPowerRegionDialog;
}

const DialogResource& AboutDialogResource() {
    return kAboutDialog;
}

const DialogResource& FindMeterDialogResource() {
    return kFindMeterDialog;
}

std::span<const MenuResource> ZelmoraMenuResource() {
    return kMenuBar;
}

std::string_view AboutMenuText() {
    return "关于 Zelmora(&A)...";
}

} // namespace zelmora
