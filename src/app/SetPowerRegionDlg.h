#pragma once

// The small modal dialog in which the operator fixes the graph's limits by
// hand: the power range of the y axis and the sample-number range of the x
// axis. It checks and normalises the four values and hands them back; it
// does not touch the graph.
//
// Controls by id: 1 "Sure", 2 "Cancel", 1054 Min Power, 1055 Max Power,
// 1056 Min X, 1057 Max X.

#include "app/NumberEdit.h"

#include <QDialog>
#include <map>

class QPushButton;

namespace zelmora {

class CSetPowerRegionDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kIdMinPower = 1054;
    static constexpr int kIdMaxPower = 1055;
    static constexpr int kIdMinX = 1056;
    static constexpr int kIdMaxX = 1057;
    static constexpr int kIdOk = 1;
    static constexpr int kIdCancel = 2;
    // The highest sample number the graph holds.
    static constexpr int kMaxSampleNumber = 20000;
    static constexpr double kMinPowerSpan = 0.001;

    explicit CSetPowerRegionDlg(QWidget* parent = nullptr);
    ~CSetPowerRegionDlg() override;

    // The limits to start from; x values are truncated toward zero.
    void SetRegion(double xFrom, double xTo, double yFrom, double yTo);

    bool IsAccepted() const { return m_accepted; }
    double GetMinPower() const { return m_minPower; }
    double GetMaxPower() const { return m_maxPower; }
    int GetMinX() const { return m_minX; }
    int GetMaxX() const { return m_maxX; }

    // The control with this id, or nullptr.
    QWidget* GetControl(int id) const;

    // The dialog's modal loop; the edits are filled when it starts.
    int DoModal();

public slots:
    // "Sure" or Enter: checks, normalises, stores and closes, or shows
    // "Power Value Wrong!" and stays open.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnInitDialog();
    void OnOK();
    void ShowValueWrong();

    CNumberEdit* m_minXEdit = nullptr;
    CNumberEdit* m_maxXEdit = nullptr;
    CNumberEdit* m_minPowerEdit = nullptr;
    CNumberEdit* m_maxPowerEdit = nullptr;
    bool m_accepted = false;
    double m_minPower = 0.0;
    double m_maxPower = 0.0;
    int m_minX = 0;
    int m_maxX = 0;

    QPushButton* m_sureButton = nullptr;
    std::map<int, QWidget*> m_controls;
    bool m_initialised = false;
};

} // namespace zelmora
