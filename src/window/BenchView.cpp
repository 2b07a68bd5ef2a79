#include "window/BenchView.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <string_view>
#include <utility>

namespace zelmora {

namespace {

// Text sizes follow the tile: each part takes this share of the tile's
// height in hundredths. The digits' cell is two fifths, so the digits are
// readable across a bench.
constexpr int kTitleShare = 8;
constexpr int kDigitsShare = 40;
constexpr int kLineShare = 7;
constexpr int kBarShare = 7;
constexpr int kStatsShare = 7;
constexpr int kButtonShare = 7;

constexpr std::array<std::string_view, 4> kButtonTexts = {"P Reset", "M Mode", "Z Zero", "R Ref"};

int Share(int height, int hundredths) {
    return std::max(1, (height * hundredths + 99) / 100);
}

// Selects a font of this cell height for the text, with characters half
// as wide as high, narrowed where the text as the canvas measures it would
// not fit the width otherwise. Real faces do not narrow in exact
// proportion to the width asked for, so the text is measured again after
// each narrowing.
FontDescription SelectFitted(Canvas& canvas, int height, int maxWidth, std::string_view text,
                             int weight = 400) {
    FontDescription font;
    font.height = height;
    font.width = std::max(1, height / 2);
    font.weight = weight;
    canvas.SelectFont(font);
    for (int attempt = 0; attempt < 4 && font.width > 1; ++attempt) {
        const int measured = canvas.MeasureText(text);
        if (measured <= maxWidth || measured <= 0) {
            break;
        }
        const int narrower =
            static_cast<int>(static_cast<long long>(font.width) * std::max(maxWidth, 0) / measured);
        font.width = std::max(1, std::min(font.width - 1, narrower));
        canvas.SelectFont(font);
    }
    return font;
}

void WriteFitted(Canvas& canvas, int x, int y, int height, int maxWidth, std::string_view text,
                 ColorRef color, int weight = 400) {
    if (text.empty() || maxWidth <= 0) {
        return;
    }
    SelectFitted(canvas, height, maxWidth, text, weight);
    canvas.SetTextColor(color);
    canvas.WriteText(x, y, text);
}

void Frame(Canvas& canvas, const BenchRect& r, ColorRef color) {
    if (r.width <= 0 || r.height <= 0) {
        return;
    }
    canvas.SelectPen({color, 1});
    const int right = r.x + r.width - 1;
    const int bottom = r.y + r.height - 1;
    canvas.MoveTo(r.x, r.y);
    canvas.LineTo(right, r.y);
    canvas.LineTo(right, bottom);
    canvas.LineTo(r.x, bottom);
    canvas.LineTo(r.x, r.y);
}

// Fills the inside of a rectangle's left part, row by row.
void FillRows(Canvas& canvas, int x, int y, int width, int rows, ColorRef color) {
    if (width <= 0 || rows <= 0) {
        return;
    }
    canvas.SelectPen({color, 1});
    std::vector<LineSegment> lines;
    lines.reserve(static_cast<std::size_t>(rows));
    for (int row = 0; row < rows; ++row) {
        lines.push_back({x, y + row, x + width, y + row});
    }
    canvas.DrawLines(lines);
}

} // namespace

void CBenchView::SetSize(int width, int height) {
    m_width = std::max(width, 0);
    m_height = std::max(height, 0);
}

CBenchTile& CBenchView::AddTile(CBenchTile tile) {
    m_tiles.push_back(std::move(tile));
    return m_tiles.back();
}

CBenchTile* CBenchView::FindTile(const std::string& meterId) {
    for (CBenchTile& tile : m_tiles) {
        if (tile.MeterId() == meterId) {
            return &tile;
        }
    }
    return nullptr;
}

int CBenchView::Columns() const {
    const int count = static_cast<int>(m_tiles.size());
    int best = 1;
    long long bestScore = -1;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        const long long width = (m_width - (columns + 1) * kGap) / columns;
        const long long height = (m_height - (rows + 1) * kGap) / rows;
        // The widest 16:10 box a tile holds: tiles neither too flat nor
        // too narrow for their digits.
        const long long score = std::min(width * 10, height * 16);
        if (score > bestScore) {
            best = columns;
            bestScore = score;
        }
    }
    return best;
}

std::vector<BenchRect> CBenchView::TileRects() const {
    std::vector<BenchRect> rects;
    const int count = static_cast<int>(m_tiles.size());
    if (count == 0) {
        return rects;
    }
    const int columns = Columns();
    const int rows = (count + columns - 1) / columns;
    // The cells share out every pixel, so the tiles fill the view to its
    // edges whatever its size.
    const auto edge = [](int total, int parts, int i) {
        return kGap + static_cast<int>(static_cast<long long>(total - kGap) * i / parts);
    };
    for (int i = 0; i < count; ++i) {
        const int column = i % columns;
        const int row = i / columns;
        const int x = edge(m_width, columns, column);
        const int y = edge(m_height, rows, row);
        rects.push_back({x, y, std::max(0, edge(m_width, columns, column + 1) - kGap - x),
                         std::max(0, edge(m_height, rows, row + 1) - kGap - y)});
    }
    return rects;
}

CBenchView::TileLayout CBenchView::LayOutTile(const BenchRect& frame) {
    TileLayout layout;
    layout.frame = frame;
    const int h = frame.height;
    const int pad = std::max(2, h / 40);
    const int x = frame.x + pad;
    const int width = std::max(0, frame.width - 2 * pad);
    int y = frame.y + pad;
    layout.titleY = y;
    layout.titleHeight = Share(h, kTitleShare);
    y += layout.titleHeight;
    layout.digitsY = y;
    layout.digitsHeight = Share(h, kDigitsShare);
    y += layout.digitsHeight;
    layout.lineY = y;
    layout.lineHeight = Share(h, kLineShare);
    y += layout.lineHeight + pad;
    layout.bar = {x, y, width * 3 / 4, Share(h, kBarShare)};
    y += layout.bar.height + pad;
    layout.statsY = y;
    layout.statsHeight = Share(h, kStatsShare);
    y += layout.statsHeight + pad;
    const int buttonHeight = Share(h, kButtonShare);
    const int buttonY = frame.y + h - pad - buttonHeight;
    layout.trend = {x, y, width, std::max(0, buttonY - pad - y)};
    for (int i = 0; i < 4; ++i) {
        const int left = x + width * i / 4;
        const int right = x + width * (i + 1) / 4;
        layout.buttons[i] = {left, buttonY, std::max(0, right - left - pad), buttonHeight};
    }
    return layout;
}

bool CBenchView::OnKey(int key) {
    if (m_tiles.empty()) {
        return false;
    }
    const std::size_t count = m_tiles.size();
    switch (key) {
    case kBenchKeyTab:
    case kBenchKeyRight:
    case kBenchKeyDown:
        m_focus = (m_focus + 1) % count;
        return true;
    case kBenchKeyBackTab:
    case kBenchKeyLeft:
    case kBenchKeyUp:
        m_focus = (m_focus + count - 1) % count;
        return true;
    default:
        break;
    }
    if (key >= '1' && key <= '9') {
        const auto index = static_cast<std::size_t>(key - '1');
        if (index >= count) {
            return false;
        }
        m_focus = index;
        return true;
    }
    switch (key < 0x80 ? std::tolower(key) : key) {
    case 'p':
    case ' ':
        Do(BenchAction::ResetPeak);
        return true;
    case 'm':
        Do(BenchAction::Mode);
        return true;
    case 'z':
        Do(BenchAction::Zero);
        return true;
    case 'r':
        Do(BenchAction::Reference);
        return true;
    default:
        return false;
    }
}

bool CBenchView::OnClick(int x, int y) {
    const std::vector<BenchRect> rects = TileRects();
    for (std::size_t i = 0; i < rects.size(); ++i) {
        if (!rects[i].Contains(x, y)) {
            continue;
        }
        m_focus = i;
        const TileLayout layout = LayOutTile(rects[i]);
        for (int b = 0; b < 4; ++b) {
            if (layout.buttons[b].Contains(x, y)) {
                Do(static_cast<BenchAction>(b));
            }
        }
        return true;
    }
    return false;
}

void CBenchView::Do(BenchAction action) {
    if (m_focus >= m_tiles.size()) {
        return;
    }
    CBenchTile& tile = m_tiles[m_focus];
    switch (action) {
    case BenchAction::ResetPeak:
        tile.ResetPeak();
        break;
    case BenchAction::Mode:
        tile.NextMode();
        break;
    case BenchAction::Zero:
        tile.ToggleZero();
        break;
    case BenchAction::Reference:
        tile.TakeReference();
        break;
    }
}

void CBenchView::Draw(Canvas& canvas) const {
    canvas.SetTransparentBackground();
    const std::vector<BenchRect> rects = TileRects();
    for (std::size_t i = 0; i < rects.size(); ++i) {
        DrawTile(canvas, m_tiles[i], rects[i], i == m_focus);
    }
}

void CBenchView::DrawTile(Canvas& canvas, const CBenchTile& tile, const BenchRect& frame,
                          bool focused) const {
    if (frame.width < 8 || frame.height < 8) {
        return;
    }
    const TileLayout layout = LayOutTile(frame);
    const CBenchTile::View view = tile.Describe();
    const int x = layout.bar.x;
    const int width = layout.trend.width;

    Frame(canvas, frame, focused ? kFocusColor : kFrameColor);
    if (focused) {
        Frame(canvas, {frame.x + 1, frame.y + 1, frame.width - 2, frame.height - 2}, kFocusColor);
    }

    WriteFitted(canvas, x, layout.titleY, layout.titleHeight, width, view.title, kTextColor);

    // The reading in large digits, its unit smaller beside it.
    const ColorRef digitColor = view.overRange  ? kOverRangeColor
                                : view.isReason ? kReasonColor
                                                : kDigitColor;
    // The unit is measured first, so the digits take the room it leaves,
    // and is written where the digits as measured end.
    const int unitHeight = std::max(1, layout.digitsHeight * 2 / 5);
    const int unitGap = unitHeight / 4;
    FontDescription unitFont;
    int unitWidth = 0;
    if (!view.unit.empty()) {
        unitFont = SelectFitted(canvas, unitHeight, width / 2, view.unit, 700);
        unitWidth = canvas.MeasureText(view.unit) + unitGap;
    }
    SelectFitted(canvas, layout.digitsHeight, width - unitWidth, view.value, 700);
    canvas.SetTextColor(digitColor);
    canvas.WriteText(x, layout.digitsY, view.value);
    if (!view.unit.empty()) {
        const int unitX = x + canvas.MeasureText(view.value) + unitGap;
        canvas.SelectFont(unitFont);
        canvas.WriteText(unitX, layout.digitsY + layout.digitsHeight - unitHeight, view.unit);
    }

    // Mode, zero mark and the relative reading or a note, a third each.
    const int third = width / 3;
    WriteFitted(canvas, x, layout.lineY, layout.lineHeight, third, view.modeText, kTextColor);
    WriteFitted(canvas, x + third, layout.lineY, layout.lineHeight, third, view.zeroText,
                kZeroColor, 700);
    WriteFitted(canvas, x + 2 * third, layout.lineY, layout.lineHeight, width - 2 * third,
                view.extraText, kTextColor);

    // The tuning bar over the range's full scale, the peak held on it.
    const BenchRect& bar = layout.bar;
    Frame(canvas, bar, kFrameColor);
    const int inside = std::max(0, bar.width - 2);
    FillRows(canvas, bar.x + 1, bar.y + 1, static_cast<int>(view.barFraction * inside),
             bar.height - 2, view.overRange ? kOverRangeColor : kBarColor);
    if (view.hasPeak) {
        const int peakX =
            bar.x + 1 + std::min(inside - 1, static_cast<int>(view.peakFraction * inside));
        canvas.SelectPen({kPeakColor, 1});
        std::vector<LineSegment> marker;
        for (int dx = -1; dx <= 1; ++dx) {
            marker.push_back({peakX + dx, bar.y - 2, peakX + dx, bar.y + bar.height + 2});
        }
        canvas.DrawLines(marker);
    }
    const int peakTextX = bar.x + bar.width + layout.lineHeight / 2;
    WriteFitted(canvas, peakTextX, bar.y, bar.height, x + width - peakTextX, view.peakText,
                kTextColor);

    if (!view.meanText.empty()) {
        const std::string stats = "mean " + view.meanText + "  std " + view.stdDevPercentText +
                                  "  min " + view.minText + "  max " + view.maxText;
        WriteFitted(canvas, x, layout.statsY, layout.statsHeight, width, stats, kTextColor);
    }

    // The trend of the last minute, scaled to its own extremes; a gap
    // breaks the line.
    const BenchRect& trend = layout.trend;
    const auto& points = tile.Trend();
    if (trend.height > 4 && trend.width > 4 && !points.empty()) {
        double low = 0;
        double high = 0;
        bool any = false;
        for (const auto& point : points) {
            if (point.power) {
                low = any ? std::min(low, *point.power) : *point.power;
                high = any ? std::max(high, *point.power) : *point.power;
                any = true;
            }
        }
        const auto end = tile.Now();
        const double span = std::chrono::duration<double>(CBenchTile::kTrendSpan).count();
        const auto toX = [&](std::chrono::steady_clock::time_point t) {
            const double age = std::chrono::duration<double>(end - t).count();
            return trend.x + trend.width - 1 -
                   static_cast<int>(std::clamp(age / span, 0.0, 1.0) * (trend.width - 1));
        };
        const auto toY = [&](double value) {
            if (high <= low) {
                return trend.y + trend.height / 2;
            }
            return trend.y + trend.height - 1 -
                   static_cast<int>((value - low) / (high - low) * (trend.height - 1));
        };
        std::vector<LineSegment> lines;
        for (std::size_t i = 1; i < points.size(); ++i) {
            if (points[i - 1].power && points[i].power) {
                lines.push_back({toX(points[i - 1].time), toY(*points[i - 1].power),
                                 toX(points[i].time), toY(*points[i].power)});
            }
        }
        if (!lines.empty()) {
            canvas.SelectPen({kTrendColor, 1});
            canvas.DrawLines(lines);
        }
    }

    for (int b = 0; b < 4; ++b) {
        const BenchRect& button = layout.buttons[b];
        Frame(canvas, button, kFrameColor);
        const int textHeight = std::max(1, button.height - 2);
        WriteFitted(canvas, button.x + 2, button.y + 1, textHeight, button.width - 4,
                    kButtonTexts[static_cast<std::size_t>(b)], kTextColor);
    }
}

} // namespace zelmora
