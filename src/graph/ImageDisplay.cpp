#include "graph/ImageDisplay.h"

#include "graph/PointMapping.h"
#include "util/TextFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

namespace zelmora {

namespace {

// Powers of ten up to 10^10, all exact in a double, so that the tick step
// is a correctly rounded decimal (0.9, not 0.9000000000000001).
constexpr std::array<double, 11> kPowersOfTen = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5,
                                                 1e6, 1e7, 1e8, 1e9, 1e10};

// Tick multiples beyond this size would no longer step by one, and the
// search for the first tick could then run forever.
constexpr double kLargestTickMultiple = 4503599627370496.0; // 2^52

struct TickSet {
    std::array<double, CImageDisplay::kMaxTicks> values{};
    std::uint16_t count = 0;
    std::int32_t decimals = 0;
};

// The ticks of an axis from lower to upper: the whole multiples of a step of
// 1 to 9 times a power of ten chosen so that the span holds at least
// `divisions` and fewer than 10 × `divisions` steps. Empty when no such step
// exists (a zero, reversed, non-finite or extreme span) or when its
// multiples cannot be counted exactly; the caller then keeps what it had.
std::optional<TickSet> FindTicks(double lower, double upper, double span, double divisions) {
    const double q = span / divisions;
    int k = -10;
    double step = 0.0;
    bool found = false;
    for (; k <= 9; ++k) {
        const double h = k < 0 ? q / kPowersOfTen[static_cast<std::size_t>(-k)]
                               : q * kPowersOfTen[static_cast<std::size_t>(k)];
        if (h >= 1.0 && h < 10.0) {
            step = k < 0 ? std::trunc(h) * kPowersOfTen[static_cast<std::size_t>(-k)]
                         : std::trunc(h) / kPowersOfTen[static_cast<std::size_t>(k)];
            found = true;
            break;
        }
    }
    if (!found) {
        return std::nullopt;
    }

    double n = std::trunc(lower / step) - 1.0;
    if (!(std::fabs(n) < kLargestTickMultiple)) {
        return std::nullopt;
    }
    // Starting one step below the lower limit, a few steps always reach it.
    for (int guard = 0; n * step < lower; ++guard) {
        if (guard == 4) {
            return std::nullopt;
        }
        n += 1.0;
    }

    TickSet ticks;
    while (n * step <= upper) {
        if (ticks.count == ticks.values.size()) {
            return std::nullopt;
        }
        ticks.values[ticks.count] = n * step;
        ++ticks.count;
        n += 1.0;
    }
    ticks.decimals = k > 0 ? k : 0;
    return ticks;
}

FontDescription LabelFont() {
    FontDescription font;
    font.height = 10;
    font.width = 5;
    font.escapement = 0;
    font.orientation = 0;
    font.weight = 400;
    font.italic = false;
    font.underline = false;
    font.strikeOut = false;
    font.charSet = 134; // the simplified Chinese character set
    font.outPrecision = 0;
    font.clipPrecision = 0;
    font.quality = 0;
    font.pitchAndFamily = 0;
    font.faceName = "宋体";
    return font;
}

} // namespace

CImageDisplay::CImageDisplay()
    // Zeroed once, so that no path can ever read an indeterminate value.
    : m_xValues(new double[kCapacity]()), m_yValues(new double[kCapacity]()),
      m_xLabelFont(LabelFont()), m_yLabelFont(LabelFont()) {
    UpdateScales();
}

CImageDisplay::~CImageDisplay() = default;

void CImageDisplay::AddSample(double value) {
    if (m_mode == 0) {
        if (m_lastIndex == -1 || m_lastIndex < m_window) {
            AppendPoint(value);
        }
        return;
    }
    AppendPoint(value);
}

void CImageDisplay::AppendPoint(double value) {
    // Sample numbers and the window's ends must stay within their 32 bits;
    // at ten samples a second this is reached after almost seven years.
    if (m_lastIndex >= std::numeric_limits<std::int32_t>::max() - m_capacity) {
        return;
    }
    ++m_revision;
    m_lastIndex += 1;
    if (m_lastIndex < m_capacity) {
        m_xValues[static_cast<std::size_t>(m_lastIndex)] = static_cast<double>(m_lastIndex);
        m_yValues[static_cast<std::size_t>(m_lastIndex)] = value;
        if (m_last - m_first < m_window) {
            m_last = m_lastIndex;
        } else {
            m_first += 1;
            m_last += 1;
            m_xStart += 1;
            m_xEnd += 1;
        }
    } else {
        const std::size_t kept = static_cast<std::size_t>(m_capacity - 1);
        std::memmove(&m_xValues[0], &m_xValues[1], kept * sizeof(double));
        std::memmove(&m_yValues[0], &m_yValues[1], kept * sizeof(double));
        m_xStart += 1;
        m_xEnd += 1;
        m_xValues[kept] = static_cast<double>(m_lastIndex);
        m_yValues[kept] = value;
        m_last = m_capacity - 1;
        m_first = m_last - m_window;
    }

    // Scan only slots that hold points of this series: the range a drawing
    // or a window change left behind can reach below slot 0 or past the
    // newest point. Should nothing of the range remain, the newest point
    // alone gives the data limits.
    const std::int32_t newest = std::min(m_lastIndex, m_capacity - 1);
    std::int32_t from = std::max(m_first, 0);
    std::int32_t to = std::min(m_last, newest);
    if (from > to) {
        from = newest;
        to = newest;
    }
    double minimum = 1e11;
    double maximum = -1e11;
    // Through a local pointer: the loop runs per sample over the whole
    // window, and needs no member access per point.
    const double* const values = m_yValues.get();
    for (std::int32_t i = from; i <= to; ++i) {
        const double y = values[static_cast<std::size_t>(i)];
        if (y < minimum) {
            minimum = y;
        }
        if (y > maximum) {
            maximum = y;
        }
    }
    if (maximum - minimum < m_minSpan) {
        maximum = minimum + m_minSpan;
    }
    m_dataMin = minimum;
    m_dataMax = maximum;
    if (m_autoscale) {
        m_yMin = m_dataMin;
        m_yMax = m_dataMax;
        m_xMin = m_xStart;
        m_xMax = m_xEnd;
    }
    UpdateScales();
    m_hasData = true;
}

void CImageDisplay::ClearData() {
    ++m_revision;
    m_lastIndex = -1;
    m_xStart = 0;
    m_xEnd = m_window;
    m_dataMin = 0.0;
    m_dataMax = 0.001;
    m_first = 0;
    m_last = 0;
    m_hasData = false;
}

void CImageDisplay::SetCollectionMode(int mode) {
    if (mode == 0 || mode == 1) {
        m_mode = mode;
    }
    ClearData();
}

void CImageDisplay::SetSampleWindow(int points) {
    if (points <= 0 || points >= m_capacity) {
        return;
    }
    ++m_revision;
    m_window = points;
    const bool stored = m_lastIndex != -1 && m_hasData;
    if (stored && m_lastIndex >= points) {
        // The window ends at the newest point.
        m_xEnd = m_lastIndex;
        m_xStart = m_xEnd - points;
    } else {
        m_xEnd = points;
        m_xStart = 0;
    }
    if (m_xEnd > m_capacity) {
        m_last = m_capacity - 1;
        m_first = m_last - points;
    } else {
        if (stored && m_lastIndex < m_xEnd) {
            m_last = m_lastIndex;
        }
        if (stored && m_lastIndex > points) {
            m_first = m_last - points;
        } else {
            m_first = 0;
        }
    }
    // A new window size replaces manual x limits too; manual y limits stay.
    m_xMax = m_xEnd;
    m_xMin = m_xStart;
    UpdateScales();
}

void CImageDisplay::SetAutoscale(bool on) {
    ++m_revision;
    m_autoscale = on;
    if (on) {
        m_xMin = m_xStart;
        m_xMax = m_xStart + m_window;
        UpdateScales();
    }
}

void CImageDisplay::SetLimits(int xFrom, int xTo, double yFrom, double yTo) {
    ++m_revision;
    m_xMin = std::min(xFrom, xTo);
    m_xMax = std::max(xFrom, xTo);
    m_yMin = std::min(yFrom, yTo);
    m_yMax = std::max(yFrom, yTo);
    UpdateScales();
}

void CImageDisplay::GetXLimits(double& from, double& to) const {
    from = static_cast<double>(m_xMin);
    to = static_cast<double>(m_xMax);
}

void CImageDisplay::GetYLimits(double& from, double& to) const {
    from = m_yMin;
    to = m_yMax;
}

void CImageDisplay::UpdateScales() {
    ++m_revision;
    if (m_autoscale) {
        m_xMin = m_xStart;
        m_xMax = m_xEnd;
        m_yMin = m_dataMin;
        m_yMax = m_dataMax;
    }
    // Limits without a sound tick set (an empty x range, a y range too
    // narrow or too wide for the decade search) keep the previous ticks.
    const double xSpan =
        static_cast<double>(static_cast<std::int64_t>(m_xMax) - static_cast<std::int64_t>(m_xMin));
    if (const auto x = FindTicks(m_xMin, m_xMax, xSpan, 5.0)) {
        m_xTicks = x->values;
        m_xTickCount = x->count;
        m_xDecimals = x->decimals;
    }
    if (const auto y = FindTicks(m_yMin, m_yMax, m_yMax - m_yMin, 7.0)) {
        m_yTicks = y->values;
        m_yTickCount = y->count;
        m_yDecimals = y->decimals;
    }
}

void CImageDisplay::SetDisplaySize(int width, int height) {
    // No real surface comes near these bounds; they keep the layout
    // arithmetic within an int whatever size is passed.
    constexpr int kLargestSide = 1 << 20;
    m_width = std::clamp(width, 0, kLargestSide);
    m_height = std::clamp(height, 0, kLargestSide);
    LayOut();
}

void CImageDisplay::SetDisplayDpi(int dpi) {
    // From a quarter to ten times 96, which every screen lies within.
    m_dpi = std::clamp(dpi, 24, 960);
    LayOut();
}

int CImageDisplay::Scaled(int length) const {
    // Rounded to the nearest pixel; exact at 96.
    return static_cast<int>((static_cast<std::int64_t>(length) * m_dpi + 48) / 96);
}

void CImageDisplay::LayOut() {
    ++m_revision;
    m_plotTop = Scaled(10);
    m_plotLeft = Scaled(50);
    m_plotRight = m_width - Scaled(40);
    m_plotBottom = m_height - Scaled(30);
    const FontDescription font = LabelFont();
    m_xLabelFont.height = m_yLabelFont.height = Scaled(font.height);
    m_xLabelFont.width = m_yLabelFont.width = Scaled(font.width);
    m_labelTop = m_plotTop;
    m_labelBottom = m_plotBottom;
    m_labelLeft = m_plotLeft;
    m_labelRight = m_plotRight;
}

void CImageDisplay::Draw(Canvas& canvas) {
    // The labels are placed by the limits as they stand; the curve may then
    // move them (autoscale takes the data's), and the next drawing places
    // its labels differently. The slot range the curve rewrites is worked
    // out afresh by every drawing before it is read.
    const auto labelLimits = std::tuple{m_xMin, m_xMax, m_yMin, m_yMax};
    canvas.SetTransparentBackground();
    DrawAxes(canvas);
    DrawTickLabels(canvas);
    DrawCurve(canvas);
    if (std::tuple{m_xMin, m_xMax, m_yMin, m_yMax} != labelLimits) {
        ++m_revision;
    }
}

void CImageDisplay::DrawAxes(Canvas& canvas) {
    canvas.SelectPen(PenDescription{m_axisColor, 1});
    canvas.MoveTo(m_plotLeft, m_plotTop);
    canvas.LineTo(m_plotLeft, m_plotBottom);
    canvas.LineTo(m_plotRight, m_plotBottom);
}

void CImageDisplay::DrawTickLabels(Canvas& canvas) {
    canvas.SetTextColor(m_textColor);

    // Ticks outside the limits exist only when new limits allowed no tick
    // set and the previous ticks were kept; they would label wrong places.
    const double xFrom = m_xMin;
    const double xTo = m_xMax;
    const double xSpan = static_cast<double>(static_cast<std::int64_t>(m_xMax) - m_xMin);
    for (std::size_t i = 0; i < m_xTickCount; ++i) {
        const double tick = m_xTicks[i];
        if (!(tick >= xFrom && tick <= xTo)) {
            continue;
        }
        const double f = (tick - xFrom) / xSpan;
        const auto px = ToPixel(static_cast<double>(m_labelRight - m_labelLeft) * f);
        if (!px) {
            continue;
        }
        const std::string text = Format("%.*lf", m_xDecimals, tick);
        const int length = static_cast<int>(text.size());
        canvas.SelectFont(m_xLabelFont);
        canvas.WriteText(*px + m_labelLeft - Scaled(3 * length), m_labelBottom + Scaled(5), text);
    }

    for (std::size_t j = 0; j < m_yTickCount; ++j) {
        const double tick = m_yTicks[j];
        if (!(tick >= m_yMin && tick <= m_yMax)) {
            continue;
        }
        const double f = (tick - m_yMin) / (m_yMax - m_yMin);
        const auto py =
            ToPixel(static_cast<double>(m_labelBottom) - (m_labelBottom - m_labelTop) * f);
        if (!py) {
            continue;
        }
        const std::string text = Format("%.*lf", m_yDecimals, tick);
        const int length = static_cast<int>(text.size());
        canvas.SelectFont(m_yLabelFont);
        canvas.WriteText(m_labelLeft - Scaled(6 * length + 5), *py - Scaled(6), text);
    }
}

void CImageDisplay::DrawCurve(Canvas& canvas) {
    canvas.SelectPen(PenDescription{m_curveColor, 1});

    // The slot range to join. Differences of limits are taken in 64 bits:
    // manual limits may lie anywhere in the int range.
    const std::int64_t c = m_lastIndex;
    const std::int64_t cap = m_capacity;
    const std::int64_t xMin = m_xMin;
    const std::int64_t xEnd = m_xEnd;
    std::int64_t first = 0;
    std::int64_t last = 0;
    if (m_autoscale) {
        m_xMax = m_xEnd;
        m_yMin = m_dataMin;
        m_yMax = m_dataMax;
        const std::int64_t xMax = m_xMax;
        if (c > cap) {
            last = cap - 2;
            first = last - m_window;
        } else {
            first = c > xMin ? xMin : 0;
            last = c > xMax ? xMax : c - 1;
            if (last < 0) {
                last = 1;
            }
        }
    } else {
        const std::int64_t xMax = m_xMax;
        if (c > cap) {
            if (xMax > xEnd) {
                last = cap - 2;
                first = last - (xEnd - xMin);
            } else {
                last = cap - 2 - (xEnd - xMax);
                if (last < 0) {
                    last = 1;
                }
                first = last - (xMax - xMin);
            }
        } else {
            if (xMax > xEnd) {
                last = c - 1;
                first = last - (xEnd - xMin);
            } else {
                first = c > xMin ? xMin : 0;
                last = c > xMax ? xMax : c - 1;
            }
            if (last < 0) {
                last = 1;
            }
        }
        if (first < 0) {
            first = 0;
        }
    }
    // Only slots that hold points of this series are joined: with fewer than
    // two points nothing is drawn, and the range never reaches below slot 0
    // or past the newest point (stale or never written slots lie there).
    const std::int64_t newest = std::min(c, cap - 1);
    if (newest < 1) {
        m_first = 0;
        m_last = 0;
        return;
    }
    m_first = static_cast<std::int32_t>(std::clamp<std::int64_t>(first, 0, newest));
    m_last = static_cast<std::int32_t>(std::clamp<std::int64_t>(last, 0, newest));

    const double yMin = m_yMin;
    const double yMax = m_yMax;
    const PlotMapping mapping{static_cast<double>(m_plotLeft),
                              static_cast<double>(m_plotRight - m_plotLeft),
                              static_cast<double>(m_xMin),
                              static_cast<double>(static_cast<std::int64_t>(m_xMax) - m_xMin),
                              static_cast<double>(m_plotBottom),
                              static_cast<double>(m_plotBottom - m_plotTop),
                              yMin,
                              yMax};
    const auto mapX = [&](double x) { return ToPixel(mapping.PositionX(x)); };

    // Each point is mapped once, a block at a time, and joined to the next;
    // a block's last point starts the following block.
    constexpr std::int32_t kBlock = 256;
    std::array<int, kBlock + 1> pxs;
    std::array<int, kBlock + 1> pys;
    std::array<std::uint8_t, kBlock + 1> flags;
    // The block's lines go to the canvas in one batch.
    std::array<LineSegment, kBlock> lines;
    const double* xs = m_xValues.get();
    const double* ys = m_yValues.get();
    constexpr std::uint8_t kDrawable = kPointMapped | kPointInside;
    for (std::int32_t blockStart = m_first; blockStart < m_last; blockStart += kBlock) {
        const std::int32_t count = std::min(kBlock, m_last - blockStart);
        MapPoints(mapping, xs + blockStart, ys + blockStart, count + 1, pxs.data(), pys.data(),
                  flags.data());
        std::size_t lineCount = 0;
        for (std::int32_t j = 0; j < count; ++j) {
            const auto at = static_cast<std::size_t>(j);
            const std::uint8_t both = flags[at] & flags[at + 1];
            if (both == kDrawable) {
                lines[lineCount++] = {pxs[at], pys[at], pxs[at + 1], pys[at + 1]};
                continue;
            }
            if ((both & kPointInside) != 0) {
                continue; // inside the band, but not representable
            }
            const std::int32_t i = blockStart + j;
            const double y0 = ys[i];
            const double y1 = ys[i + 1];
            const bool inside0 = (flags[at] & kPointInside) != 0;
            if ((y0 < yMin && y1 < yMin) || (y0 > yMax && y1 > yMax)) {
                continue;
            }
            // The segment leaves the band: cut it where its line meets the
            // band's edges. A NaN end falls through every test above and is
            // dropped here with the crossings it poisons.
            const double x0 = xs[i];
            const double x1 = xs[i + 1];
            const double k = (y1 - y0) / (x1 - x0);
            const double c0 = y1 - k * x1;
            const auto crossing = [&](double level) { return mapX((level - c0) / k); };
            const auto point = [&](std::size_t slot) {
                return (flags[slot] & kPointMapped) != 0
                           ? std::pair{std::optional{pxs[slot]}, std::optional{pys[slot]}}
                           : std::pair{std::optional<int>{}, std::optional<int>{}};
            };
            const int top = m_plotTop;
            const int bottomEdge = m_plotBottom;
            std::optional<int> sx;
            std::optional<int> sy;
            std::optional<int> ex;
            std::optional<int> ey;
            if (y0 < yMin) {
                sx = crossing(yMin);
                sy = bottomEdge;
                if (y1 <= yMax) {
                    std::tie(ex, ey) = point(at + 1);
                } else {
                    ex = crossing(yMax);
                    ey = top;
                }
            } else if (y0 > yMax) {
                sx = crossing(yMax);
                sy = top;
                if (y1 >= yMin) {
                    std::tie(ex, ey) = point(at + 1);
                } else {
                    ex = crossing(yMin);
                    ey = bottomEdge;
                }
            } else if (inside0) {
                std::tie(sx, sy) = point(at);
                if (y1 < yMin) {
                    ex = crossing(yMin);
                    ey = bottomEdge;
                } else {
                    ex = crossing(yMax);
                    ey = top;
                }
            }
            if (!sx || !sy || !ex || !ey) {
                continue;
            }
            lines[lineCount++] = {*sx, *sy, *ex, *ey};
        }
        canvas.DrawLines({lines.data(), lineCount});
    }
}

} // namespace zelmora
