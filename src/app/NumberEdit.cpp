#include "app/NumberEdit.h"

#include "window/DialogLogic.h"

#include <QKeyEvent>
#include <QPalette>
#include <optional>

namespace zelmora {

namespace {

constexpr char32_t kBackspace = 8;

// The character a key press types, as the classic desktop's character
// message would carry it: Ctrl with a letter types the control code of that
// letter. Nothing for keys that type nothing.
std::optional<char32_t> TypedCharacter(const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_Backspace:
        return kBackspace;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        return std::nullopt; // the dialog's keys, never typed into the box
    case Qt::Key_Delete:
        return std::nullopt; // an editing key; some platforms attach DEL as text
    default:
        break;
    }
    const bool control = event.modifiers().testFlag(Qt::ControlModifier);
    if (control && event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z) {
        return static_cast<char32_t>(event.key() - Qt::Key_A + 1);
    }
    const QString text = event.text();
    if (text.isEmpty()) {
        return std::nullopt;
    }
    return text.toUcs4().value(0);
}

} // namespace

CNumberEdit::CNumberEdit(QWidget* parent) : QLineEdit(parent) {
    CtlColor();
}

bool CNumberEdit::IsAccepted(char32_t character) {
    return CNumberEditLogic::IsAccepted(character);
}

void CNumberEdit::keyPressEvent(QKeyEvent* event) {
    const std::optional<char32_t> character = TypedCharacter(*event);
    if (!character) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    OnChar(event, *character);
}

void CNumberEdit::OnChar(QKeyEvent* event, char32_t character) {
    if (IsAccepted(character)) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    // Discarded: consumed here, so it neither types nor reaches the dialog.
    event->accept();
}

void CNumberEdit::CtlColor() {
    QPalette palette = this->palette();
    const QColor text(RedOf(m_textColor), GreenOf(m_textColor), BlueOf(m_textColor));
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::Base, Qt::white);
    }
    setPalette(palette);
}

} // namespace zelmora
