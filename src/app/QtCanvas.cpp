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

// Like the classic 2-D interface, coordinates are honoured up to 27 bits;
// lines reaching beyond are not drawn. The bound also keeps the integer
// arithmetic of the rasteriser exact in 64 bits.
constexpr std::int64_t kLargestCoordinate = (std::int64_t{1} << 27) - 1;

std::int64_t CeilDiv(std::int64_t numerator, std::int64_t denominator) {
    // Both are positive where this is used.
    return (numerator + denominator - 1) / denominator;
}

// Steps one pixel along the major axis per step, from (a0, b0) towards
// (a0 + sa × da, b0 + sb × db) with da ≥ db, leaving the end pixel out.
// The minor offset of step i is i × db / da rounded to nearest, halves away
// from the start. Only steps whose pixel lies within [0, aSize) ×
// [0, bSize) are visited, the first one found directly, so a line that
// reaches far outside the surface costs no more than its visible part.
template <typename Plot>
void Rasterise(std::int64_t a0, std::int64_t b0, std::int64_t sa, std::int64_t sb, std::int64_t da,
               std::int64_t db, std::int64_t aSize, std::int64_t bSize, Plot plot) {
    std::int64_t first = 0;
    std::int64_t last = da - 1;
    // The major coordinate a0 + sa × i within [0, aSize).
    if (sa > 0) {
        first = std::max(first, -a0);
        last = std::min(last, aSize - 1 - a0);
    } else {
        first = std::max(first, a0 - (aSize - 1));
        last = std::min(last, a0);
    }
    // The minor offset m(i) within [mLow, mHigh].
    const std::int64_t mLow = sb > 0 ? -b0 : b0 - (bSize - 1);
    const std::int64_t mHigh = sb > 0 ? bSize - 1 - b0 : b0;
    if (mHigh < 0 || mLow > mHigh) {
        return;
    }
    if (db == 0) {
        if (mLow > 0) {
            return;
        }
    } else {
        // m(i) = floor((2 i db + da) / (2 da)) is at least mLow from this
        // step on, and at most mHigh up to this step.
        if (mLow > 0) {
            first = std::max(first, CeilDiv(2 * da * mLow - da, 2 * db));
        }
        last = std::min(last, CeilDiv(2 * da * (mHigh + 1) - da, 2 * db) - 1);
    }
    if (first > last) {
        return;
    }
    const std::int64_t twoDa = 2 * da;
    const std::int64_t twoDb = 2 * db;
    const std::int64_t start = 2 * first * db + da;
    std::int64_t m = start / twoDa;
    std::int64_t remainder = start % twoDa;
    for (std::int64_t i = first; i <= last; ++i) {
        plot(a0 + sa * i, b0 + sb * m);
        remainder += twoDb;
        if (remainder >= twoDa) {
            remainder -= twoDa;
            ++m;
        }
    }
}

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

} // namespace

CQtCanvas::CQtCanvas(QImage& image)
    : m_image(EnsureThirtyTwoBits(image)), m_bits(m_image.bits()),
      m_bytesPerLine(m_image.bytesPerLine()), m_painter(&m_image) {
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
}

void CQtCanvas::MoveTo(int x, int y) {
    m_x = x;
    m_y = y;
}

void CQtCanvas::LineTo(int x, int y) {
    if (m_pen.width <= 1) {
        PlotThinLine(m_x, m_y, x, y);
    } else {
        // Wide lines are rare here and have no single-pixel rule to keep;
        // QPainter draws them with round ends as the classic geometric pen
        // does.
        m_painter.setPen(QPen(ToQColor(m_pen.color), m_pen.width, Qt::SolidLine, Qt::RoundCap));
        m_painter.drawLine(m_x, m_y, x, y);
    }
    m_x = x;
    m_y = y;
}

void CQtCanvas::PlotThinLine(int x0, int y0, int x1, int y1) {
    const auto far = [](int v) { return std::llabs(v) > kLargestCoordinate; };
    if (far(x0) || far(y0) || far(x1) || far(y1)) {
        return;
    }
    const std::int64_t dx = std::int64_t{x1} - x0;
    const std::int64_t dy = std::int64_t{y1} - y0;
    const std::int64_t adx = std::llabs(dx);
    const std::int64_t ady = std::llabs(dy);
    if (adx == 0 && ady == 0) {
        return;
    }
    const std::int64_t sx = dx < 0 ? -1 : 1;
    const std::int64_t sy = dy < 0 ? -1 : 1;
    const std::int64_t width = m_image.width();
    const std::int64_t height = m_image.height();
    uchar* const bits = m_bits;
    const qsizetype stride = m_bytesPerLine;
    const QRgb rgb = m_penRgb;
    const auto put = [bits, stride, rgb](std::int64_t x, std::int64_t y) {
        reinterpret_cast<QRgb*>(bits + y * stride)[x] = rgb;
    };
    if (adx >= ady) {
        Rasterise(x0, y0, sx, sy, adx, ady, width, height, put);
    } else {
        Rasterise(y0, x0, sy, sx, ady, adx, height, width,
                  [&put](std::int64_t y, std::int64_t x) { put(x, y); });
    }
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
