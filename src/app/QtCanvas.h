#pragma once

// A canvas that paints a QImage.
//
// Lines of one pixel are painted straight into the image rather than by
// QPainter: QPainter paints both ends of a line, while the graph relies on
// the classic rule that the end pixel is left out (a polyline paints each
// joint once, and an axis drawn to x = right stops one pixel short of it).
// They go through a column reducer, so a curve of many more points than
// columns paints each pixel once, with the same pixels as line by line. Text goes
// through QPainter with antialiasing off, so every pixel lands where the
// coordinates say. The painting needs a QGuiApplication.

#include "app/TextCache.h"
#include "graph/Canvas.h"
#include "graph/ColumnReducer.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRgb>
#include <memory>

namespace zelmora {

class CQtCanvas : public Canvas {
public:
    // Paints into `image`, which stays in use until the canvas is
    // destroyed. An image that is not 32 bits per pixel is converted first.
    explicit CQtCanvas(QImage& image);
    ~CQtCanvas() override;

    CQtCanvas(const CQtCanvas&) = delete;
    CQtCanvas& operator=(const CQtCanvas&) = delete;

    void SetTransparentBackground() override;
    void SelectPen(const PenDescription& pen) override;
    void MoveTo(int x, int y) override;
    void LineTo(int x, int y) override;
    void DrawLines(std::span<const LineSegment> lines) override;
    void SetTextColor(ColorRef color) override;
    void SelectFont(const FontDescription& font) override;
    void WriteText(int x, int y, std::string_view text) override;
    int MeasureText(std::string_view text) override;

    // The real font a description maps to: the face, or an installed CJK
    // face when it is missing, at the largest pixel size whose line height
    // fits the requested cell height, condensed or widened to the requested
    // average character width.
    static QFont ToQFont(const FontDescription& font);

private:
    QPainter& Painter();

    QImage& m_image;
    CColumnReducer m_lines;
    QPainter m_painter;
    // A fresh device context: at the origin, black pen and text, text on an
    // opaque white box, the system font.
    int m_x = 0;
    int m_y = 0;
    PenDescription m_pen;
    QRgb m_penRgb = qRgb(0, 0, 0);
    bool m_transparent = false;
    ColorRef m_textColor = Rgb(0, 0, 0);
    FontDescription m_fontDescription;
    std::shared_ptr<CTextCache::Font> m_font; // none selected yet
};

} // namespace zelmora
