#pragma once

// Fonts and label texts made once per process for the Qt canvas, which is
// made afresh for every drawing. Resolving a font description takes a
// search over pixel sizes, and laying out and rasterising a text through
// QPainter costs several microseconds; the graph draws the same dozen
// labels in the same font 25 times a second.
//
// A text's stamp is the set of pixels it paints, found once by drawing it
// onto a transparent image. Only texts whose every pixel is either fully
// painted or untouched get one (the graph's label font renders without
// greys): stamping such a text in a colour paints exactly what QPainter
// paints in that colour. Others are left to QPainter.

#include "graph/Canvas.h"

#include <QFont>
#include <QPoint>
#include <QString>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zelmora {

class CTextCache {
public:
    // The pixels a text paints, relative to the top-left point it is drawn
    // at.
    struct Stamp {
        std::vector<QPoint> pixels;
    };

    struct Font {
        QFont font;
        int ascent = 0;
        // Texts drawn in this font: their stamp, or null where QPainter
        // must draw.
        std::map<std::string, std::shared_ptr<const Stamp>, std::less<>> stamps;
    };

    // The real font for a description (CQtCanvas::ToQFont) and its ascent.
    static std::shared_ptr<Font> FontFor(const FontDescription& description);

    // The text's stamp in the font, or null where QPainter must draw it.
    static std::shared_ptr<const Stamp> StampOf(Font& font, std::string_view text);
};

} // namespace zelmora
