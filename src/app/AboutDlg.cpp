#include "app/AboutDlg.h"

#include "app/DialogTemplate.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace zelmora {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    const CDialogTemplate dialogTemplate(QStringLiteral("MS Shell Dlg"), 9);
    setFont(dialogTemplate.GetFont());
    setWindowTitle(QStringLiteral("关于 Zelmora"));
    setFixedSize(dialogTemplate.ToPixelSize(170, 62));

    auto* icon = new QLabel(this);
    const QRect iconRect = dialogTemplate.ToPixels(14, 14, 21, 20);
    // A static icon control shows the icon at the system's icon size.
    icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);
    icon->setPixmap(QIcon(QStringLiteral(":/zelmora/zelmora.xpm")).pixmap(32, 32));

    auto* name = new QLabel(QStringLiteral("Zelmora，1.0 版"), this);
    name->setTextFormat(Qt::PlainText);
    dialogTemplate.Place(*name, 42, 14, 114, 8);
    auto* line = new QLabel(QStringLiteral("USB 激光功率计读数程序"), this);
    line->setTextFormat(Qt::PlainText);
    dialogTemplate.Place(*line, 42, 26, 114, 8);

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    dialogTemplate.Place(*ok, 113, 41, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus(Qt::OtherFocusReason);
}

CAboutDlg::~CAboutDlg() = default;

} // namespace zelmora
