#include "app/AboutDlg.h"

namespace zelmora {

CAboutDlg::CAboutDlg(QWidget* parent) : CQtDialog(parent, SmallDialogFlags()) {
    HostLogic(m_logic);
}

CAboutDlg::~CAboutDlg() {
    DeleteControls();
}

} // namespace zelmora
