#pragma once

// The About box with Qt widgets: the application icon, the program's name
// and version and one line about what it is, closed with "确定", Esc or
// its close box. Its template is CAboutDlgLogic's resource.

#include "app/QtDialog.h"
#include "window/DialogLogic.h"

namespace zelmora {

class CAboutDlg : public CQtDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    CAboutDlgLogic m_logic;
};

} // namespace zelmora
