#include "app/QtCanvas.h"

#include "app/TextCache.h"

#include <QFontMetrics>
#include <QPen>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace zelmora {

namespace {

QImage& EnsureThirtyTwoBits(QImage& image) {
    switch (image.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        break;
    default:
        image = image.convertToFormat(QImage::Format_RGB32);
        break;
    }
    return image;
}

QColor ToQColor(ColorRef color) {
    return QColor(RedOf(color), GreenOf(color), BlueOf(color));
}

PixelSurface SurfaceOf(QImage& image) {
    // bits() detaches a shared image first, so the lines land in this one.
    return {reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4, image.width(),
            image.height()};
}

} // namespace

CQtCanvas::CQtCanvas(QImage& image)
    : m_image(EnsureThirtyTwoBits(image)), m_lines(SurfaceOf(m_image)) {
    m_lines.SetPixel(m_penRgb);
}

CQtCanvas::~CQtCanvas() = default;

QPainter& CQtCanvas::Painter() {
    // Begun only when needed: the graph's lines and labels do without.
    if (!m_painter.isActive()) {
        m_painter.begin(&m_image);
        m_painter.setRenderHint(QPainter::Antialiasing, false);
        m_painter.setRenderHint(QPainter::TextAntialiasing, false);
    }
    return m_painter;
}

void CQtCanvas::SetTransparentBackground() {
    m_transparent = true;
}

void CQtCanvas::SelectPen(const PenDescription& pen) {
    m_pen = pen;
    m_penRgb = qRgb(RedOf(pen.color), GreenOf(pen.color), BlueOf(pen.color));
    m_lines.SetPixel(m_penRgb);
}

void CQtCanvas::MoveTo(int x, int y) {
    m_x = x;
    m_y = y;
}

void CQtCanvas::LineTo(int x, int y) {
    if (m_pen.width <= 1) {
        m_lines.Line(m_x, m_y, x, y);
    } else {
        // Wide lines are rare here and have no single-pixel rule to keep;
        // QPainter draws them with round ends as the classic geometric pen
        // does.
        QPainter& painter = Painter();
        painter.setPen(QPen(ToQColor(m_pen.color), m_pen.width, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(m_x, m_y, x, y);
        m_lines.Forget();
    }
    m_x = x;
    m_y = y;
}

void CQtCanvas::DrawLines(std::span<const LineSegment> lines) {
    if (m_pen.width > 1 || lines.empty()) {
        Canvas::DrawLines(lines);
        return;
    }
    m_lines.Lines(lines);
    m_x = lines.back().x1;
    m_y = lines.back().y1;
}

void CQtCanvas::SetTextColor(ColorRef color) {
    m_textColor = color;
}

void CQtCanvas::SelectFont(const FontDescription& font) {
    if (m_font && font == m_fontDescription) {
        return;
    }
    m_fontDescription = font;
    m_font = CTextCache::FontFor(font);
}

void CQtCanvas::WriteText(int x, int y, std::string_view text) {
    if (!m_font) {
        SelectFont(FontDescription{});
    }
    if (m_transparent) {
        if (const auto stamp = CTextCache::StampOf(*m_font, text)) {
            const QRgb rgb = qRgb(RedOf(m_textColor), GreenOf(m_textColor), BlueOf(m_textColor));
            const std::int64_t width = m_image.width();
            const std::int64_t height = m_image.height();
            for (const QPoint& offset : stamp->pixels) {
                const std::int64_t px = std::int64_t{x} + offset.x();
                const std::int64_t py = std::int64_t{y} + offset.y();
                if (px >= 0 && px < width && py >= 0 && py < height) {
                    reinterpret_cast<QRgb*>(m_image.scanLine(static_cast<int>(py)))[px] = rgb;
                }
            }
            m_lines.Forget();
            return;
        }
    }
    const QString string = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QPainter& painter = Painter();
    painter.setFont(m_font->font);
    if (!m_transparent) {
        const QFontMetrics metrics(m_font->font);
        painter.fillRect(x, y, metrics.horizontalAdvance(string), metrics.height(), Qt::white);
    }
    painter.setPen(ToQColor(m_textColor));
    painter.drawText(x, y + m_font->ascent, string);
    m_lines.Forget();
}

int CQtCanvas::MeasureText(std::string_view text) {
    if (!m_font) {
        SelectFont(FontDescription{});
    }
    const QString string = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return QFontMetrics(m_font->font).horizontalAdvance(string);
}

QFont CQtCanvas::ToQFont(const FontDescription& font) {
    QFont qfont;
    QStringList families;
    if (!font.faceName.empty()) {
        families << QString::fromStdString(font.faceName);
    }
    families << QStringLiteral("WenQuanYi Micro Hei") << QStringLiteral("Noto Sans CJK SC");
    qfont.setFamilies(families);
    qfont.setWeight(
        static_cast<QFont::Weight>(std::clamp(font.weight == 0 ? 400 : font.weight, 1, 1000)));
    qfont.setItalic(font.italic);
    qfont.setUnderline(font.underline);
    qfont.setStrikeOut(font.strikeOut);
    // Draft and non-antialiased qualities, and the default one at small
    // sizes, render without greys on the classic interface.
    const bool antialiased = font.quality == 4 || font.quality == 5 || font.quality == 6;
    qfont.setStyleStrategy(antialiased ? QFont::PreferAntialias : QFont::NoAntialias);
    qfont.setHintingPreference(QFont::PreferFullHinting);

    if (font.height < 0) {
        // A negative height asks for the character height without leading.
        qfont.setPixelSize(std::clamp(-font.height, 1, 4096));
    } else if (font.height > 0) {
        // A positive height is the whole cell: take the largest size whose
        // line fits in it.
        const int cell = std::min(font.height, 4096);
        int size = cell;
        qfont.setPixelSize(size);
        while (size > 1 && QFontMetrics(qfont).height() > cell) {
            --size;
            qfont.setPixelSize(size);
        }
    }
    if (font.width > 0) {
        const int natural = QFontMetrics(qfont).averageCharWidth();
        if (natural > 0) {
            const int stretch = static_cast<int>(std::lround(100.0 * font.width / natural));
            qfont.setStretch(std::clamp(stretch, 1, 4000));
        }
    }
    return qfont;
}

} // namespace zelmora
