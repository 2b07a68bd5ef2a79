#pragma once

// The window's DPI, for a program that declares itself aware of each
// monitor's DPI (the manifest): Windows then neither stretches its windows
// nor tells it one system DPI, and the program lays out and draws every
// window at the DPI of the monitor it is on, again whenever it moves to
// one of another (WM_DPICHANGED).
//
// The calls that know a window's own DPI come with Windows 10; on an older
// Windows the system's DPI stands in, which is the one there is there.

#include "window/DialogResource.h"

#include <windows.h>

namespace zelmora {

inline constexpr int kDefaultDpi = 96;

// The DPI of the monitor the window is on.
int WindowDpi(HWND window);

// `length` pixels at 96 DPI, at `dpi`, rounded.
int ScaleForDpi(int length, int dpi);

// AdjustWindowRectEx for a window at `dpi` (its frame and menu bar are as
// large as that DPI makes them).
void AdjustWindowRectForDpi(RECT& rect, DWORD style, bool menu, DWORD exStyle, int dpi);

// Keeps the dialog manager from laying a dialog out anew on its own when
// the DPI changes: the dialog does it itself, its own fonts included.
void TakeOverDialogDpiChanges(HWND dialog);

// The base units the dialog manager turns a template's dialog units into
// pixels with, for the template's font at `dpi`: the average width of the
// Latin letters and the height of the font.
SIZE DialogBaseUnits(const FontResource& font, int dpi);

// A rectangle in dialog units, in pixels by those base units.
RECT DialogUnitsToPixels(int x, int y, int width, int height, SIZE baseUnits);

// The template's font at `dpi`, its face chosen among those installed as
// the dialog template chooses it. The caller deletes it.
HFONT CreateDialogFont(const FontResource& font, int dpi);

} // namespace zelmora
