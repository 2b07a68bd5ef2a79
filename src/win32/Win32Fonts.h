#pragma once

// Fonts for texts that must show, Chinese ones included.
//
// The resources name the faces of a Chinese Windows ("宋体", "MS Shell
// Dlg"). Where a face is missing, or a font has no glyphs for a text, a
// face that has them is chosen explicitly from those installed: on Windows
// the system's Chinese faces, elsewhere (Wine) a free CJK face such as
// WenQuanYi Micro Hei. The system's own font linking is not relied on, as
// Wine has none for these faces.

#include <string>
#include <string_view>
#include <windows.h>

namespace zelmora {

// Whether a font family of this name is installed.
bool IsFaceInstalled(std::wstring_view face);

// The face to ask for in place of `face`: `face` itself when it is
// installed, an installed CJK face when `face` names a Chinese one, an
// installed sans face of about its metrics when it names a sans one, and
// otherwise `face` for the font mapper to substitute.
std::wstring ChooseInstalledFace(std::wstring_view face);

// An installed face with Chinese glyphs; empty when there is none.
std::wstring CjkFace();

// Whether `font` has a glyph for every character of `text`.
bool FontShowsText(HFONT font, std::wstring_view text);

// A font like `font` (same height and weight) in a face that shows `text`,
// or nullptr when `font` shows it already or no installed face does. The
// caller deletes it.
HFONT CreateFontShowing(HFONT font, std::wstring_view text);

} // namespace zelmora
