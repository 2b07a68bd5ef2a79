#include "app/QtCanvas.h"

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
    : m_image(EnsureThirtyTwoBits(image)), m_lines(SurfaceOf(m_image)), m_painter(&m_image) {
    m_lines.SetPixel(m_penRgb);
    m_painter.setRenderHint(QPainter::Antialiasing, false);
    m_painter.setRenderHint(QPainter::TextAntialiasing, false);
}

CQtCanvas::~CQtCanvas() = default;

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
        m_painter.setPen(QPen(ToQColor(m_pen.color), m_pen.width, Qt::SolidLine, Qt::RoundCap));
        m_painter.drawLine(m_x, m_y, x, y);
        m_lines.Forget();
    }
    m_x = x;
    m_y = y;
}

void CQtCanvas::SetTextColor(ColorRef color) {
    m_textColor = color;
}

void CQtCanvas::SelectFont(const FontDescription& font) {
    if (m_hasFont && font == m_fontDescription) {
        return;
    }
    m_fontDescription = font;
    m_font = ToQFont(font);
    m_fontAscent = QFontMetrics(m_font).ascent();
    m_hasFont = true;
}

void CQtCanvas::WriteText(int x, int y, std::string_view text) {
    const QString string = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (!m_hasFont) {
        SelectFont(FontDescription{});
    }
    m_painter.setFont(m_font);
    if (!m_transparent) {
        const QFontMetrics metrics(m_font);
        m_painter.fillRect(x, y, metrics.horizontalAdvance(string), metrics.height(), Qt::white);
    }
    m_painter.setPen(ToQColor(m_textColor));
    m_painter.drawText(x, y + m_fontAscent, string);
    m_lines.Forget();
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
