#pragma once

// The drawing surface the graph and the bench view paint on. It carries
// exactly what they need from a classic 2-D device context and nothing
// more, so that
// a Qt painter, a recording for tests or any other surface can stand
// behind it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelmora {

// A colour as the platform packs it into 32 bits: red in the low byte,
// then green, then blue; the top byte stays zero.
using ColorRef = std::uint32_t;

constexpr ColorRef Rgb(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<ColorRef>(red) | (static_cast<ColorRef>(green) << 8) |
           (static_cast<ColorRef>(blue) << 16);
}

constexpr std::uint8_t RedOf(ColorRef color) {
    return static_cast<std::uint8_t>(color & 0xFF);
}
constexpr std::uint8_t GreenOf(ColorRef color) {
    return static_cast<std::uint8_t>((color >> 8) & 0xFF);
}
constexpr std::uint8_t BlueOf(ColorRef color) {
    return static_cast<std::uint8_t>((color >> 16) & 0xFF);
}

// A solid pen: every line drawn with it is one colour and this many pixels
// wide.
struct PenDescription {
    ColorRef color = Rgb(0, 0, 0);
    int width = 1;

    bool operator==(const PenDescription&) const = default;
};

// A logical font with the parameters a classic font request takes. The
// canvas picks the closest real font it has: the face may fall back to
// another installed face; height and width are the character cell height
// and average character width in pixels.
struct FontDescription {
    int height = 0;
    int width = 0;
    int escapement = 0;
    int orientation = 0;
    int weight = 400;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    int charSet = 0;
    int outPrecision = 0;
    int clipPrecision = 0;
    int quality = 0;
    int pitchAndFamily = 0;
    std::string faceName; // UTF-8

    bool operator==(const FontDescription&) const = default;
};

// A line from (x0, y0) to (x1, y1), as one of a batch.
struct LineSegment {
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;
    int y1 = 0;
};

class Canvas {
public:
    virtual ~Canvas() = default;

    // Text is drawn without a background box from now on.
    virtual void SetTransparentBackground() = 0;

    // Lines drawn from now on use this pen.
    virtual void SelectPen(const PenDescription& pen) = 0;

    // Sets the current position without drawing.
    virtual void MoveTo(int x, int y) = 0;

    // Draws from the current position to (x, y) with the selected pen and
    // makes (x, y) the current position. The end pixel is not painted, so
    // a polyline paints each of its joints once.
    virtual void LineTo(int x, int y) = 0;

    // Draws each line as a move to its start and a line to its end, in
    // order, like the classic poly-polyline call. A canvas may draw a batch
    // faster than call by call, but paints the same pixels and ends at the
    // same current position.
    virtual void DrawLines(std::span<const LineSegment> lines) {
        for (const LineSegment& line : lines) {
            MoveTo(line.x0, line.y0);
            LineTo(line.x1, line.y1);
        }
    }

    // Text drawn from now on has this colour.
    virtual void SetTextColor(ColorRef color) = 0;

    // Text drawn from now on uses this font.
    virtual void SelectFont(const FontDescription& font) = 0;

    // Draws UTF-8 text with the top-left corner of its first character cell
    // at (x, y).
    virtual void WriteText(int x, int y, std::string_view text) = 0;

    // How far WriteText would advance for this UTF-8 text in the selected
    // font, in pixels: where text written after it would start.
    virtual int MeasureText(std::string_view text) = 0;
};

} // namespace zelmora
