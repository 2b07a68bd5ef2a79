#include "window/SetPowerRegionDlgLogic.h"

#include "util/TextFormat.h"
#include "window/DialogResource.h"
#include "window/WindowHost.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

namespace zelmora {

namespace {

int TruncateToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    return static_cast<int>(
        std::clamp(std::trunc(value), static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

} // namespace

const DialogResource& CSetPowerRegionDlgLogic::GetResource() const {
    return SetPowerRegionDialogResource();
}

void CSetPowerRegionDlgLogic::SetRegion(double xFrom, double xTo, double yFrom, double yTo) {
    m_minPower = yFrom;
    m_maxPower = yTo;
    m_minX = TruncateToInt(xFrom);
    m_maxX = TruncateToInt(xTo);
}

void CSetPowerRegionDlgLogic::OnInitDialog(DialogHost& host) {
    host.SetText(kIdMinPower, Format("%.4lf", m_minPower));
    host.SetText(kIdMaxPower, Format("%.4lf", m_maxPower));
    host.SetText(kIdMinX, Format("%d", m_minX));
    host.SetText(kIdMaxX, Format("%d", m_maxX));
    host.SetFocus(kIdOk);
}

void CSetPowerRegionDlgLogic::OnOK(DialogHost& host) {
    const std::optional<int> minX = ScanInt(host.GetText(kIdMinX));
    std::optional<int> maxX = ScanInt(host.GetText(kIdMaxX));
    const std::optional<double> minPower = ScanDouble(host.GetText(kIdMinPower));
    std::optional<double> maxPower = ScanDouble(host.GetText(kIdMaxPower));
    // The x range is checked as it will be stored, after the clamp: 25000
    // to 30000 would otherwise come out as 25000 to 20000.
    if (maxX) {
        maxX = std::min(*maxX, kMaxSampleNumber);
    }
    if (!minX || !maxX || !minPower || !maxPower || !(*maxPower > *minPower) || !(*minX < *maxX)) {
        host.ShowMessageBox("Power Value Wrong!");
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
    host.EndDialog(kIdOk);
}

} // namespace zelmora
