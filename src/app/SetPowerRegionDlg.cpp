#include "app/SetPowerRegionDlg.h"

#include "app/DialogTemplate.h"
#include "util/TextFormat.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <climits>
#include <cmath>

namespace zelmora {

namespace {

constexpr int kWidthDu = 228;
constexpr int kHeightDu = 72;

int TruncateToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    return static_cast<int>(
        std::clamp(std::trunc(value), static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

std::string TextOf(const QLineEdit& edit) {
    return edit.text().toStdString();
}

} // namespace

CSetPowerRegionDlg::CSetPowerRegionDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    const CDialogTemplate dialogTemplate(QStringLiteral("Microsoft Sans Serif"), 10);
    setFont(dialogTemplate.GetFont());
    setWindowTitle(QStringLiteral("Set Power Region"));
    setFixedSize(dialogTemplate.ToPixelSize(kWidthDu, kHeightDu));

    auto addButton = [&](int id, const char* text, int x, int y) {
        auto* button = new QPushButton(QString::fromUtf8(text), this);
        dialogTemplate.Place(*button, x, y, 50, 14);
        button->setObjectName(QString::number(id));
        m_controls[id] = button;
        return button;
    };
    auto addLabel = [&](const char* text, int x, int y, int width) {
        auto* label = new QLabel(QString::fromUtf8(text), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        dialogTemplate.Place(*label, x, y, width, 8);
    };
    auto addEdit = [&](int id, int x, int y) {
        auto* edit = new CNumberEdit(this);
        edit->setAlignment(Qt::AlignCenter);
        dialogTemplate.Place(*edit, x, y, 40, 12);
        edit->setObjectName(QString::number(id));
        m_controls[id] = edit;
        return edit;
    };

    // Template order, which is also the tab order.
    m_sureButton = addButton(kIdOk, "Sure", 43, 51);
    m_sureButton->setDefault(true);
    QPushButton* cancel = addButton(kIdCancel, "Cancel", 136, 51);
    addLabel("Min Power:", 16, 15, 48);
    addLabel("Max Power:", 124, 15, 51);
    m_minPowerEdit = addEdit(kIdMinPower, 62, 14);
    m_maxPowerEdit = addEdit(kIdMaxPower, 172, 14);
    addLabel("Min X:", 16, 34, 48);
    addLabel("Max X:", 124, 34, 51);
    m_minXEdit = addEdit(kIdMinX, 62, 32);
    m_maxXEdit = addEdit(kIdMaxX, 172, 32);
    setTabOrder(m_sureButton, cancel);
    setTabOrder(cancel, m_minPowerEdit);
    setTabOrder(m_minPowerEdit, m_maxPowerEdit);
    setTabOrder(m_maxPowerEdit, m_minXEdit);
    setTabOrder(m_minXEdit, m_maxXEdit);

    connect(m_sureButton, &QPushButton::clicked, this, &CSetPowerRegionDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CSetPowerRegionDlg::reject);
}

CSetPowerRegionDlg::~CSetPowerRegionDlg() = default;

void CSetPowerRegionDlg::SetRegion(double xFrom, double xTo, double yFrom, double yTo) {
    m_minPower = yFrom;
    m_maxPower = yTo;
    m_minX = TruncateToInt(xFrom);
    m_maxX = TruncateToInt(xTo);
}

QWidget* CSetPowerRegionDlg::GetControl(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

int CSetPowerRegionDlg::DoModal() {
    return exec();
}

void CSetPowerRegionDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CSetPowerRegionDlg::OnInitDialog() {
    m_minPowerEdit->setText(QString::fromStdString(Format("%.4lf", m_minPower)));
    m_maxPowerEdit->setText(QString::fromStdString(Format("%.4lf", m_maxPower)));
    m_minXEdit->setText(QString::fromStdString(Format("%d", m_minX)));
    m_maxXEdit->setText(QString::fromStdString(Format("%d", m_maxX)));
    m_sureButton->setFocus(Qt::OtherFocusReason);
}

void CSetPowerRegionDlg::accept() {
    OnOK();
}

void CSetPowerRegionDlg::OnOK() {
    const std::optional<int> minX = ScanInt(TextOf(*m_minXEdit));
    std::optional<int> maxX = ScanInt(TextOf(*m_maxXEdit));
    const std::optional<double> minPower = ScanDouble(TextOf(*m_minPowerEdit));
    std::optional<double> maxPower = ScanDouble(TextOf(*m_maxPowerEdit));
    // The x range is checked as it will be stored, after the clamp: 25000
    // to 30000 would otherwise come out as 25000 to 20000.
    if (maxX) {
        maxX = std::min(*maxX, kMaxSampleNumber);
    }
    if (!minX || !maxX || !minPower || !maxPower || !(*maxPower > *minPower) || !(*minX < *maxX)) {
        ShowValueWrong();
        return;
    }
    if (*maxPower - *minPower < kMinPowerSpan) {
        *maxPower = *minPower + kMinPowerSpan;
    }
    m_minPower = *minPower;
    m_maxPower = *maxPower;
    m_minX = *minX;
    m_maxX = *maxX;
    m_accepted = true;
    done(QDialog::Accepted);
}

void CSetPowerRegionDlg::ShowValueWrong() {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                    QStringLiteral("Power Value Wrong!"), QMessageBox::Ok, this);
    box.exec();
}

} // namespace zelmora
