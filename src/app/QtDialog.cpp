#include "app/QtDialog.h"

#include "app/DialogTemplate.h"
#include "app/NumberEdit.h"
#include "window/DialogLogic.h"
#include "window/DialogResource.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace zelmora {

namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

Qt::WindowFlags CQtDialog::SmallDialogFlags() {
    return Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
           Qt::MSWindowsFixedSizeDialogHint;
}

CQtDialog::CQtDialog(CDialogLogic& logic, QWidget* parent) : QDialog(parent, SmallDialogFlags()) {
    HostLogic(logic);
}

void CQtDialog::HostLogic(CDialogLogic& logic) {
    m_logic = &logic;
    BuildFromResource(logic.GetResource());
}

CQtDialog::CQtDialog(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

CQtDialog::~CQtDialog() {
    DeleteControls();
}

void CQtDialog::DeleteControls() {
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        child->removeEventFilter(this);
        delete child;
    }
    m_controls.clear();
}

template <class Widget>
Widget* CQtDialog::Add(int id, Widget* widget) {
    if (id != 0) {
        widget->setObjectName(QString::number(id));
        m_controls[id] = widget;
    }
    return widget;
}

void CQtDialog::BuildFromResource(const DialogResource& resource, QPoint origin) {
    const CDialogTemplate dialogTemplate(ToQString(resource.font.face), resource.font.points,
                                         origin);
    setFont(dialogTemplate.GetFont());
    setWindowTitle(ToQString(resource.caption));
    const QSize client = dialogTemplate.ToPixelSize(resource.width, resource.height);
    setFixedSize(client.width(), client.height() + origin.y());

    QWidget* previousTabStop = nullptr;
    QList<QWidget*> groupBoxes;
    QButtonGroup* radioGroup = nullptr;
    for (const ControlResource& control : resource.controls) {
        const QString text = ToQString(control.text);
        const int id = control.id;
        QWidget* widget = nullptr;
        switch (control.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = Add(id, new QPushButton(text, this));
            button->setDefault(control.kind == ControlKind::DefPushButton);
            connect(button, &QPushButton::clicked, this, [this, id] { OnControlClicked(id); });
            widget = button;
            break;
        }
        case ControlKind::DropDownList: {
            auto* list = Add(id, new QComboBox(this));
            // The template's height includes the dropped-down list; the
            // closed box is as high as the style makes it.
            const QRect rect = dialogTemplate.ToPixels(control.x, control.y, control.width, 0);
            list->setGeometry(rect.x(), rect.y(), rect.width(), list->sizeHint().height());
            connect(list, &QComboBox::activated, this, [this, id] { OnControlListChanged(id); });
            widget = list;
            break;
        }
        case ControlKind::ListBox: {
            auto* list = Add(id, new QListWidget(this));
            list->setSelectionMode(QAbstractItemView::SingleSelection);
            connect(list, &QListWidget::currentRowChanged, this,
                    [this, id] { OnControlListChanged(id); });
            widget = list;
            break;
        }
        case ControlKind::Label: {
            auto* label = Add(id, new QLabel(text, this));
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setTextFormat(Qt::PlainText);
            // A label higher than a line wraps its text, as a static does.
            label->setWordWrap(control.height > 12);
            widget = label;
            break;
        }
        case ControlKind::Icon: {
            auto* icon = Add(id, new QLabel(this));
            icon->setPixmap(QIcon(QStringLiteral(":/zelmora/zelmora.xpm")).pixmap(32, 32));
            widget = icon;
            break;
        }
        case ControlKind::Edit: {
            QLineEdit* edit = (control.style & kStyleNumberEdit) != 0
                                  ? Add(id, new CNumberEdit(this))
                                  : Add(id, new QLineEdit(this));
            edit->setReadOnly((control.style & kStyleReadOnly) != 0);
            if ((control.style & kStyleCentred) != 0) {
                edit->setAlignment(Qt::AlignCenter);
            } else if ((control.style & kStyleRight) != 0) {
                edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            }
            edit->installEventFilter(this);
            connect(edit, &QLineEdit::textEdited, this, [this, id] { OnControlEdited(id); });
            widget = edit;
            break;
        }
        case ControlKind::MultiLineEdit: {
            auto* edit = Add(id, new QPlainTextEdit(this));
            edit->setTabChangesFocus(true);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            edit->document()->setDocumentMargin(1);
            edit->installEventFilter(this);
            connect(edit, &QPlainTextEdit::textChanged, this, [this, id] {
                if (!m_bSettingText) {
                    OnControlEdited(id);
                }
            });
            widget = edit;
            break;
        }
        case ControlKind::CheckBox: {
            auto* check = Add(id, new QCheckBox(text, this));
            if ((control.style & kStyleTextLeft) != 0) {
                check->setLayoutDirection(Qt::RightToLeft);
            }
            connect(check, &QCheckBox::clicked, this, [this, id] { OnControlClicked(id); });
            widget = check;
            break;
        }
        case ControlKind::RadioButton: {
            auto* radio = Add(id, new QRadioButton(text, this));
            // Radio buttons are no tab stops in the templates.
            radio->setFocusPolicy(Qt::ClickFocus);
            // Each group is exclusive among itself, not across the dialog.
            if ((control.style & kStyleGroupStart) != 0 || radioGroup == nullptr) {
                radioGroup = new QButtonGroup(this);
            }
            radioGroup->addButton(radio);
            connect(radio, &QRadioButton::clicked, this, [this, id] { OnControlClicked(id); });
            widget = radio;
            break;
        }
        case ControlKind::GroupBox: {
            auto* group = Add(id, new QGroupBox(text, this));
            group->setFocusPolicy(Qt::NoFocus);
            groupBoxes << group;
            widget = group;
            break;
        }
        }
        if (!control.name.empty()) {
            widget->setObjectName(ToQString(control.name));
        }
        if (!control.font.face.empty()) {
            widget->setFont(QFont(ToQString(control.font.face), control.font.points));
        }
        if ((control.style & kStyleAlert) != 0) {
            widget->setStyleSheet(QStringLiteral("QLabel { color: #c00000; }"));
        }
        if (control.kind == ControlKind::Icon) {
            // A static icon control shows the icon at the system's icon size.
            const QRect rect = dialogTemplate.ToPixels(control.x, control.y, 0, 0);
            widget->setGeometry(rect.x(), rect.y(), 32, 32);
        } else if (control.kind != ControlKind::DropDownList) {
            dialogTemplate.Place(*widget, control.x, control.y, control.width, control.height);
        }
        widget->setEnabled((control.style & kStyleDisabled) == 0);
        widget->setVisible((control.style & kStyleHidden) == 0);
        if (widget->focusPolicy() & Qt::TabFocus) {
            if (previousTabStop != nullptr) {
                setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        }
    }
    // Group boxes are frames drawn behind the controls they hold.
    for (QWidget* group : groupBoxes) {
        group->lower();
    }
}

QWidget* CQtDialog::GetControl(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

int CQtDialog::IdOf(const QObject* widget) const {
    for (const auto& [id, control] : m_controls) {
        if (control == widget) {
            return id;
        }
    }
    return 0;
}

// --- DialogHost ---------------------------------------------------------------

std::string CQtDialog::GetText(int id) const {
    const QWidget* widget = GetControl(id);
    QString text;
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        text = edit->text();
    } else if (const auto* multiLine = qobject_cast<const QPlainTextEdit*>(widget)) {
        text = multiLine->toPlainText();
    } else if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        text = label->text();
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        // Some desktops add keyboard accelerators to button texts.
        text = button->text().remove(QLatin1Char('&'));
    } else if (const auto* list = qobject_cast<const QComboBox*>(widget)) {
        text = list->currentText();
    } else if (const auto* listBox = qobject_cast<const QListWidget*>(widget)) {
        if (const QListWidgetItem* item = listBox->currentItem()) {
            text = item->text();
        }
    }
    return text.toStdString();
}

void CQtDialog::SetText(int id, std::string_view text) {
    QWidget* widget = GetControl(id);
    const QString string = ToQString(text);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // The read-out boxes get their texts on every sample, several of
        // them unchanged, and a line edit lays out a text set anew even when
        // it is the same. Where setting it would leave every pixel as it is
        // (no selection to clear, the cursor already at the end) it is left
        // alone. Boxes the operator types into always take the text, with
        // the cursor, selection and undo history it resets.
        if (edit->isReadOnly() && !edit->hasSelectedText() && edit->text() == string &&
            edit->cursorPosition() == string.size()) {
            return;
        }
        edit->setText(string);
    } else if (auto* multiLine = qobject_cast<QPlainTextEdit*>(widget)) {
        m_bSettingText = true;
        multiLine->setPlainText(string);
        m_bSettingText = false;
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(string);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(string);
    }
}

bool CQtDialog::IsChecked(int id) const {
    const auto* button = qobject_cast<const QAbstractButton*>(GetControl(id));
    return button != nullptr && button->isChecked();
}

void CQtDialog::SetChecked(int id, bool checked) {
    if (auto* button = qobject_cast<QAbstractButton*>(GetControl(id))) {
        button->setChecked(checked);
    }
}

void CQtDialog::SetEnabled(int id, bool enabled) {
    if (QWidget* widget = GetControl(id)) {
        widget->setEnabled(enabled);
    }
}

void CQtDialog::SetVisible(int id, bool visible) {
    if (QWidget* widget = GetControl(id)) {
        widget->setVisible(visible);
    }
}

void CQtDialog::ClearList(int id) {
    if (auto* list = qobject_cast<QComboBox*>(GetControl(id))) {
        list->clear();
    } else if (auto* listBox = qobject_cast<QListWidget*>(GetControl(id))) {
        listBox->clear();
    }
}

void CQtDialog::AddListEntry(int id, std::string_view text) {
    if (auto* list = qobject_cast<QComboBox*>(GetControl(id))) {
        list->addItem(ToQString(text));
    } else if (auto* listBox = qobject_cast<QListWidget*>(GetControl(id))) {
        listBox->addItem(ToQString(text));
    }
}

int CQtDialog::GetListSelection(int id) const {
    if (const auto* list = qobject_cast<const QComboBox*>(GetControl(id))) {
        return list->currentIndex();
    }
    if (const auto* listBox = qobject_cast<const QListWidget*>(GetControl(id))) {
        return listBox->currentItem() != nullptr && listBox->currentItem()->isSelected()
                   ? listBox->currentRow()
                   : -1;
    }
    return -1;
}

void CQtDialog::SetListSelection(int id, int index) {
    if (auto* list = qobject_cast<QComboBox*>(GetControl(id))) {
        list->setCurrentIndex(index);
    } else if (auto* listBox = qobject_cast<QListWidget*>(GetControl(id))) {
        listBox->setCurrentRow(index);
    }
}

int CQtDialog::GetFocus() const {
    const QWidget* focused = QApplication::focusWidget();
    return focused != nullptr ? IdOf(focused) : 0;
}

void CQtDialog::SetFocus(int id) {
    QWidget* widget = GetControl(id);
    if (widget == nullptr) {
        return;
    }
    widget->setFocus(Qt::OtherFocusReason);
    // A hidden control takes no focus here; the one that had it loses it
    // all the same.
    if (QWidget* focused = QApplication::focusWidget();
        focused != nullptr && focused != widget && focused->window() == this) {
        focused->clearFocus();
    }
}

void CQtDialog::ShowMessageBox(std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), ToQString(text),
                    QMessageBox::Ok, this);
    box.exec();
}

void CQtDialog::CopyToClipboard(std::string_view text) {
    QGuiApplication::clipboard()->setText(ToQString(text));
}

void CQtDialog::EndDialog(int result) {
    QDialog::done(result == DialogIds::kIdOk ? QDialog::Accepted : QDialog::Rejected);
}

// --- Events -------------------------------------------------------------------

void CQtDialog::accept() {
    if (m_logic != nullptr) {
        m_logic->OnOK(*this);
    } else {
        QDialog::accept();
    }
}

void CQtDialog::reject() {
    if (m_logic != nullptr) {
        m_logic->OnCancel(*this);
    } else {
        QDialog::reject();
    }
}

void CQtDialog::OnControlClicked(int id) {
    if (id == DialogIds::kIdOk) {
        accept();
    } else if (id == DialogIds::kIdCancel) {
        reject();
    } else if (m_logic != nullptr) {
        m_logic->OnCommand(*this, id);
    }
}

void CQtDialog::OnControlListChanged(int /*id*/) {}

void CQtDialog::OnControlEdited(int /*id*/) {}

void CQtDialog::OnControlLostFocus(int /*id*/) {}

void CQtDialog::showEvent(QShowEvent* event) {
    if (!m_bInitialised) {
        m_bInitialised = true;
        if (m_logic != nullptr) {
            m_logic->OnInitDialog(*this);
        }
    }
    QDialog::showEvent(event);
}

bool CQtDialog::eventFilter(QObject* watched, QEvent* event) {
    // A popup (the box's own context menu, say) takes the focus only for a
    // moment; the operator is still typing.
    if (event->type() == QEvent::FocusOut &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        if (const int id = IdOf(watched); id != 0) {
            OnControlLostFocus(id);
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace zelmora
