#pragma once

// The Set Power Region dialog with Qt widgets: the graph's limits typed by
// hand into four number boxes. What it checks, corrects and refuses is
// CSetPowerRegionDlgLogic's.
//
// Controls by id: 1 "Sure", 2 "Cancel", 1054 Min Power, 1055 Max Power,
// 1056 Min X, 1057 Max X.

#include "app/QtDialog.h"
#include "window/DialogIds.h"
#include "window/SetPowerRegionDlgLogic.h"

#include <memory>

namespace zelmora {

class CSetPowerRegionDlg : public CQtDialog, public SetPowerRegionIds {
    Q_OBJECT

public:
    static constexpr int kMaxSampleNumber = CSetPowerRegionDlgLogic::kMaxSampleNumber;
    static constexpr double kMinPowerSpan = CSetPowerRegionDlgLogic::kMinPowerSpan;

    // A dialog with a logic of its own.
    explicit CSetPowerRegionDlg(QWidget* parent = nullptr);
    // The dialog of `logic`, which must outlive it.
    explicit CSetPowerRegionDlg(CSetPowerRegionDlgLogic& logic, QWidget* parent = nullptr);
    ~CSetPowerRegionDlg() override;

    // The limits to start from; x values are truncated toward zero.
    void SetRegion(double xFrom, double xTo, double yFrom, double yTo) {
        m_logic.SetRegion(xFrom, xTo, yFrom, yTo);
    }

    bool IsAccepted() const { return m_logic.IsAccepted(); }
    double GetMinPower() const { return m_logic.GetMinPower(); }
    double GetMaxPower() const { return m_logic.GetMaxPower(); }
    int GetMinX() const { return m_logic.GetMinX(); }
    int GetMaxX() const { return m_logic.GetMaxX(); }

private:
    std::unique_ptr<CSetPowerRegionDlgLogic> m_ownLogic;
    CSetPowerRegionDlgLogic& m_logic;
};

} // namespace zelmora
