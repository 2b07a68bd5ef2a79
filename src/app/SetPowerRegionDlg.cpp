#include "app/SetPowerRegionDlg.h"

namespace zelmora {

CSetPowerRegionDlg::CSetPowerRegionDlg(QWidget* parent)
    : CQtDialog(parent, SmallDialogFlags()),
      m_ownLogic(std::make_unique<CSetPowerRegionDlgLogic>()), m_logic(*m_ownLogic) {
    HostLogic(m_logic);
}

CSetPowerRegionDlg::CSetPowerRegionDlg(CSetPowerRegionDlgLogic& logic, QWidget* parent)
    : CQtDialog(parent, SmallDialogFlags()), m_logic(logic) {
    HostLogic(m_logic);
}

CSetPowerRegionDlg::~CSetPowerRegionDlg() {
    DeleteControls();
}

} // namespace zelmora
