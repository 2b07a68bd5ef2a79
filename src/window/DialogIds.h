#pragma once

// The numeric ids of the dialogs' controls, commands and timers, as the
// resources number them. The logic and both hosts address controls by
// these ids only.

namespace zelmora {

// Every dialog: the default and the cancel button, and the results a
// dialog ends with.
struct DialogIds {
    enum : int {
        kIdOk = 1,
        kIdCancel = 2,
    };
};

// The main window (dialog 102).
struct ZelmoraDlgIds : DialogIds {
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
        // Under the graph: how many samples were lost (not in the original
        // template).
        kIdLostSamples = 1060,
        // In the same place: why no meter was found, and what to do next
        // (not in the original template either).
        kIdNoMeter = 1061,
        // In the same place again: why nothing is measured after a Rescan,
        // and that a collection is complete (not in the original template).
        kIdRunNote = 1062,
        kIdToolBar = 0xE800,
    };
    // Commands.
    enum : int {
        kCmdAbout = 0x0010,
        kCmdSetPowerRegion = 32771,
        kCmdManualChinese = 32776,
        kCmdManualEnglish = 32777,
        kCmdFindMeter = 32780,
        // The bench view (a host's own entry, not in the menu resource).
        kCmdBenchView = 32781,
        // Help > Save a diagnostic report… (not in the original menu).
        kCmdSaveReport = 32782,
    };
    // Window timers.
    static constexpr int kRefreshTimer = 0;
    static constexpr int kGraphTimer = 1;
};

// The Set Power Region dialog (dialog 131).
struct SetPowerRegionIds : DialogIds {
    enum : int {
        kIdMinPower = 1054,
        kIdMaxPower = 1055,
        kIdMinX = 1056,
        kIdMaxX = 1057,
    };
};

// The Find my meter dialog (dialog 140).
struct FindMeterIds : DialogIds {
    enum : int {
        kIdDevices = 1101,
        kIdAdd = 1102,
        kIdRefresh = 1103,
        kIdOutcome = 1104,
        kIdCopy = 1105,
    };
};

} // namespace zelmora
