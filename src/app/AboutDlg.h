#pragma once

// The About box: the application icon, the program's name and version and
// one line about what it is, closed with "确定", Esc or its close box.

#include <QDialog>

namespace zelmora {

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

    int DoModal() { return exec(); }
};

} // namespace zelmora
