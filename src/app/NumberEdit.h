#pragma once

// A single-line edit box that takes only the keystrokes a decimal number is
// typed with: digits, '-', '.' and backspace. Everything else a key would
// type is dropped, control characters included (so Ctrl+C, Ctrl+V and
// Ctrl+X do nothing here); keys that type nothing (arrows, Delete, Home,
// End) and the dialog's own keys (Tab, Enter, Esc) work as usual. Only
// typing is filtered: text set by the program or pasted through the context
// menu is not. Where signs and points stand is the owner's concern.
//
// The text is black on white whatever the palette says. Which characters
// pass is CNumberEditLogic's rule.

#include "graph/Canvas.h"

#include <QLineEdit>

namespace zelmora {

class CNumberEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit CNumberEdit(QWidget* parent = nullptr);

    // Whether typing `character` reaches the edit box.
    static bool IsAccepted(char32_t character);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnChar(QKeyEvent* event, char32_t character);
    void CtlColor();

    ColorRef m_textColor = Rgb(0, 0, 0);
};

} // namespace zelmora
