#include "win32/GdiCanvas.h"

#include "win32/Win32Fonts.h"
#include "win32/Win32Text.h"

#include <cwchar>

namespace zelmora {

BITMAPINFO TopDownBitmapInfo(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // the first row on top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

CGdiCanvas::CGdiCanvas(HDC dc) : m_dc(dc) {}

CGdiCanvas::~CGdiCanvas() {
    if (m_originalPen != nullptr) {
        SelectObject(m_dc, m_originalPen);
    }
    if (m_originalFont != nullptr) {
        SelectObject(m_dc, m_originalFont);
    }
    for (const auto& [description, pen] : m_pens) {
        DeleteObject(pen);
    }
    for (const auto& [description, font] : m_fonts) {
        DeleteObject(font);
    }
}

void CGdiCanvas::SetTransparentBackground() {
    SetBkMode(m_dc, TRANSPARENT);
}

void CGdiCanvas::SelectPen(const PenDescription& pen) {
    HPEN handle = nullptr;
    for (const auto& [description, made] : m_pens) {
        if (description == pen) {
            handle = made;
        }
    }
    if (handle == nullptr) {
        handle = CreatePen(PS_SOLID, pen.width, pen.color);
        if (handle == nullptr) {
            return;
        }
        m_pens.emplace_back(pen, handle);
    }
    HGDIOBJ previous = SelectObject(m_dc, handle);
    if (m_originalPen == nullptr) {
        m_originalPen = previous;
    }
}

void CGdiCanvas::MoveTo(int x, int y) {
    MoveToEx(m_dc, x, y, nullptr);
}

void CGdiCanvas::LineTo(int x, int y) {
    ::LineTo(m_dc, x, y);
}

void CGdiCanvas::SetTextColor(ColorRef color) {
    ::SetTextColor(m_dc, color);
}

HFONT CGdiCanvas::MakeFont(const FontDescription& font) {
    const std::wstring face = ChooseInstalledFace(Widen(font.faceName));
    LOGFONTW description{};
    description.lfHeight = font.height;
    description.lfWidth = font.width;
    description.lfEscapement = font.escapement;
    description.lfOrientation = font.orientation;
    description.lfWeight = font.weight;
    description.lfItalic = font.italic ? TRUE : FALSE;
    description.lfUnderline = font.underline ? TRUE : FALSE;
    description.lfStrikeOut = font.strikeOut ? TRUE : FALSE;
    description.lfCharSet = static_cast<BYTE>(font.charSet);
    description.lfOutPrecision = static_cast<BYTE>(font.outPrecision);
    description.lfClipPrecision = static_cast<BYTE>(font.clipPrecision);
    description.lfQuality = static_cast<BYTE>(font.quality);
    description.lfPitchAndFamily = static_cast<BYTE>(font.pitchAndFamily);
    std::wcsncpy(description.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    return CreateFontIndirectW(&description);
}

void CGdiCanvas::SelectFont(const FontDescription& font) {
    HFONT handle = nullptr;
    for (const auto& [description, made] : m_fonts) {
        if (description == font) {
            handle = made;
        }
    }
    if (handle == nullptr) {
        handle = MakeFont(font);
        if (handle == nullptr) {
            return;
        }
        m_fonts.emplace_back(font, handle);
    }
    HGDIOBJ previous = SelectObject(m_dc, handle);
    if (m_originalFont == nullptr) {
        m_originalFont = previous;
    }
}

int CGdiCanvas::MeasureText(std::string_view text) {
    const std::wstring wide = Widen(text);
    SIZE extent{};
    if (!GetTextExtentPoint32W(m_dc, wide.c_str(), static_cast<int>(wide.size()), &extent)) {
        return 0;
    }
    return static_cast<int>(extent.cx);
}

void CGdiCanvas::WriteText(int x, int y, std::string_view text) {
    const std::wstring wide = Widen(text);
    TextOutW(m_dc, x, y, wide.c_str(), static_cast<int>(wide.size()));
}

} // namespace zelmora
