#pragma once

// A canvas that paints through the platform's graphics device interface:
// the device context the caller owns, solid pens, MoveToEx and LineTo
// (which leave a line's end pixel out on their own), text with TextOutW at
// its top-left point, measured with GetTextExtentPoint32W. Pens and fonts are made once per
// description and released, with the context's previous ones selected back, when the canvas goes.

#include "graph/Canvas.h"

#include <utility>
#include <vector>
#include <windows.h>

namespace zelmora {

// The description of a 32-bit top-down device-independent bitmap, as the
// graph and the images are drawn on.
BITMAPINFO TopDownBitmapInfo(int width, int height);

class CGdiCanvas : public Canvas {
public:
    explicit CGdiCanvas(HDC dc);
    ~CGdiCanvas() override;

    CGdiCanvas(const CGdiCanvas&) = delete;
    CGdiCanvas& operator=(const CGdiCanvas&) = delete;

    void SetTransparentBackground() override;
    void SelectPen(const PenDescription& pen) override;
    void MoveTo(int x, int y) override;
    void LineTo(int x, int y) override;
    void SetTextColor(ColorRef color) override;
    void SelectFont(const FontDescription& font) override;
    void WriteText(int x, int y, std::string_view text) override;
    int MeasureText(std::string_view text) override;

    // The platform's font for a description; "宋体" and other missing faces
    // become an installed face that shows Chinese. The caller deletes it.
    static HFONT MakeFont(const FontDescription& font);

private:
    HDC m_dc;
    HGDIOBJ m_originalPen = nullptr;
    HGDIOBJ m_originalFont = nullptr;
    std::vector<std::pair<PenDescription, HPEN>> m_pens;
    std::vector<std::pair<FontDescription, HFONT>> m_fonts;
};

} // namespace zelmora
