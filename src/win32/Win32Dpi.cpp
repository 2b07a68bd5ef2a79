#include "win32/Win32Dpi.h"

#include "win32/Win32Fonts.h"
#include "win32/Win32Text.h"

namespace zelmora {

namespace {

// The calls of newer Windows, looked up once, so that the program still
// starts where they are missing.
template <class Function>
Function UserCall(const char* name) {
    HMODULE user = GetModuleHandleW(L"user32.dll");
    return user != nullptr
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user, name)))
               : nullptr;
}

using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
using AdjustForDpiCall = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using DialogBehaviourCall = BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS,
                                          DIALOG_DPI_CHANGE_BEHAVIORS);

} // namespace

int WindowDpi(HWND window) {
    static const auto getDpiForWindow = UserCall<GetDpiForWindowCall>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi > 0) {
            return static_cast<int>(dpi);
        }
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDefaultDpi;
}

int ScaleForDpi(int length, int dpi) {
    return MulDiv(length, dpi, kDefaultDpi);
}

void AdjustWindowRectForDpi(RECT& rect, DWORD style, bool menu, DWORD exStyle, int dpi) {
    static const auto adjust = UserCall<AdjustForDpiCall>("AdjustWindowRectExForDpi");
    if (adjust == nullptr ||
        !adjust(&rect, style, menu ? TRUE : FALSE, exStyle, static_cast<UINT>(dpi))) {
        AdjustWindowRectEx(&rect, style, menu ? TRUE : FALSE, exStyle);
    }
}

void TakeOverDialogDpiChanges(HWND dialog) {
    static const auto setBehaviour = UserCall<DialogBehaviourCall>("SetDialogDpiChangeBehavior");
    if (setBehaviour != nullptr) {
        setBehaviour(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
    }
}

HFONT CreateDialogFont(const FontResource& font, int dpi) {
    LOGFONTW description{};
    description.lfHeight = -MulDiv(font.points, dpi, 72);
    description.lfWeight = FW_NORMAL;
    description.lfCharSet = DEFAULT_CHARSET;
    const std::wstring face = ChooseInstalledFace(Widen(font.face));
    face.copy(description.lfFaceName, LF_FACESIZE - 1);
    return CreateFontIndirectW(&description);
}

SIZE DialogBaseUnits(const FontResource& font, int dpi) {
    // As the dialog manager measures them: the width of the 52 Latin
    // letters, halved and rounded, over 26; the font's height.
    SIZE units{ScaleForDpi(4, dpi), ScaleForDpi(8, dpi)};
    HFONT made = CreateDialogFont(font, dpi);
    if (made == nullptr) {
        return units;
    }
    HDC screen = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(screen, made);
    TEXTMETRICW metrics{};
    SIZE letters{};
    static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    if (GetTextMetricsW(screen, &metrics) &&
        GetTextExtentPoint32W(screen, kLetters, 52, &letters) && letters.cx > 0) {
        units.cx = (letters.cx / 26 + 1) / 2;
        units.cy = metrics.tmHeight;
    }
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);
    DeleteObject(made);
    return units;
}

RECT DialogUnitsToPixels(int x, int y, int width, int height, SIZE baseUnits) {
    // As the dialog manager places a template's controls: the corner and
    // the size each by the base units.
    const int cx = static_cast<int>(baseUnits.cx);
    const int cy = static_cast<int>(baseUnits.cy);
    const int left = MulDiv(x, cx, 4);
    const int top = MulDiv(y, cy, 8);
    return RECT{left, top, left + MulDiv(width, cx, 4), top + MulDiv(height, cy, 8)};
}

} // namespace zelmora
