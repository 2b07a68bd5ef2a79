#pragma once

// The Set Power Region dialog's logic: the operator fixes the graph's
// limits by hand, the power range of the y axis and the sample-number
// range of the x axis. It checks and normalises the four values and hands
// them back; it does not touch the graph.
//
// Controls by id: 1 "Sure", 2 "Cancel", 1054 Min Power, 1055 Max Power,
// 1056 Min X, 1057 Max X.

#include "window/DialogIds.h"
#include "window/DialogLogic.h"

namespace zelmora {

class CSetPowerRegionDlgLogic : public CDialogLogic, public SetPowerRegionIds {
public:
    using SetPowerRegionIds::kIdCancel;
    using SetPowerRegionIds::kIdOk;

    // The highest sample number the graph holds.
    static constexpr int kMaxSampleNumber = 20000;
    static constexpr double kMinPowerSpan = 0.001;

    const DialogResource& GetResource() const override;

    // The limits to start from; x values are truncated toward zero.
    void SetRegion(double xFrom, double xTo, double yFrom, double yTo);

    bool IsAccepted() const { return m_accepted; }
    double GetMinPower() const { return m_minPower; }
    double GetMaxPower() const { return m_maxPower; }
    int GetMinX() const { return m_minX; }
    int GetMaxX() const { return m_maxX; }

    // Fills the four boxes and puts the focus on "Sure".
    void OnInitDialog(DialogHost& host) override;
    // "Sure" or Enter: checks, normalises, stores and ends the dialog, or
    // shows "Power Value Wrong!" and leaves it open with the texts as typed.
    void OnOK(DialogHost& host) override;

private:
    bool m_accepted = false;
    double m_minPower = 0.0;
    double m_maxPower = 0.0;
    int m_minX = 0;
    int m_maxX = 0;
};

} // namespace zelmora
