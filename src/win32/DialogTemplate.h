#pragma once

// A dialog template in memory, built from a DialogResource, for the
// platform's dialog manager (DialogBoxIndirectParamW): the extended
// template with the dialog's styles, caption and font, and one item per
// control with its window class, styles, text and position in dialog
// units. The dialog manager turns dialog units into pixels with the base
// units of the template's font, creates the controls in template order and
// keeps that as the tab order.

#include "window/DialogResource.h"

#include <vector>
#include <windows.h>

namespace zelmora {

// The icon of the program's resources (the About box shows it).
inline constexpr int kIconResource = 128;

class CWin32DialogTemplate {
public:
    explicit CWin32DialogTemplate(const DialogResource& resource);

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

    // The window styles of a control of the resource.
    static DWORD ControlStyle(const ControlResource& control);
    // The dialog's own window styles and extended styles.
    static DWORD DialogStyle(const DialogResource& resource);
    static DWORD DialogExStyle(const DialogResource& resource);

private:
    void Add(WORD word) { m_words.push_back(word); }
    void AddDword(DWORD value);
    void AddText(std::string_view text);
    void AlignToDword();

    std::vector<WORD> m_words;
};

} // namespace zelmora
