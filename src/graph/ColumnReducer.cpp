#include "graph/ColumnReducer.h"

#include <algorithm>
#include <limits>

namespace zelmora {

namespace {

// Lines within a column whose ends lie this near take the short way; the
// rule honours coordinates up to 27 bits, and the general way knows where.
constexpr int kNear = 1 << 26;

bool Near(int v) {
    return v >= -kNear && v <= kNear;
}

bool InColumnNear(const LineSegment& line) {
    return line.x0 == line.x1 && Near(line.y0) && Near(line.y1);
}

// A line over to the neighbouring column, the way a dense curve moves on.
bool ToNextColumnNear(const LineSegment& line) {
    return Near(line.x0) && Near(line.x1) && Near(line.y0) && Near(line.y1) &&
           (line.x1 - line.x0 == 1 || line.x0 - line.x1 == 1);
}

} // namespace

void CColumnReducer::SetPixel(std::uint32_t pixel) {
    if (pixel != m_pixel) {
        m_pixel = pixel;
        Forget();
    }
}

void CColumnReducer::Forget() {
    m_column = -1;
    m_top = 0;
    m_bottom = -1;
}

void CColumnReducer::Lines(std::span<const LineSegment> lines) {
    std::size_t i = 0;
    while (i < lines.size()) {
        if (InColumnNear(lines[i])) {
            i = ColumnChain(lines, i);
        } else if (ToNextColumnNear(lines[i])) {
            NextColumnLine(lines[i]);
            ++i;
        } else {
            AnyLine(lines[i]);
            ++i;
        }
    }
}

std::size_t CColumnReducer::ColumnChain(std::span<const LineSegment> lines, std::size_t first) {
    // Each line paints the rows from its start towards its end, the end
    // row left out; one without length paints none. Where each line starts
    // at the last one's end, the rows painted are one run: a line's rows
    // meet the next painting line's, whose first row is where it starts.
    // The bounds are taken without branches: the direction of a noisy
    // curve's lines is a coin toss that a branch would mispredict.
    const int x = lines[first].x0;
    std::int64_t top = std::numeric_limits<std::int64_t>::max();
    std::int64_t bottom = std::numeric_limits<std::int64_t>::min();
    std::size_t i = first;
    do {
        const LineSegment& line = lines[i];
        const std::int64_t down = line.y0 < line.y1 ? 1 : 0;
        const std::int64_t from = std::int64_t{std::min(line.y0, line.y1)} + 1 - down;
        const std::int64_t to = std::int64_t{std::max(line.y0, line.y1)} - down;
        const bool paints = from <= to;
        top = paints ? std::min(top, from) : top;
        bottom = paints ? std::max(bottom, to) : bottom;
        ++i;
    } while (i < lines.size() && InColumnNear(lines[i]) && lines[i].x0 == x &&
             lines[i].y0 == lines[i - 1].y1);
    ClippedRun(x, top, bottom);
    return i;
}

void CColumnReducer::NextColumnLine(const LineSegment& line) {
    // One column over: a line no higher than wide has one step, its start.
    // A steeper one steps row by row, and its minor offset, the rounded
    // half of the way, turns to the next column at step ceil(height / 2);
    // the rows before are the start's column's, the rest (the end row left
    // out) the next one's.
    const std::int64_t dy = std::int64_t{line.y1} - line.y0;
    const std::int64_t height = dy < 0 ? -dy : dy;
    if (height <= 1) {
        ClippedRun(line.x0, line.y0, line.y0);
        return;
    }
    const std::int64_t step = dy < 0 ? -1 : 1;
    const std::int64_t turn = (height + 1) / 2;
    // Rows from..to, either way round.
    const auto run = [this](std::int64_t x, std::int64_t from, std::int64_t to) {
        ClippedRun(x, std::min(from, to), std::max(from, to));
    };
    run(line.x0, line.y0, line.y0 + step * (turn - 1));
    run(line.x1, line.y0 + step * turn, line.y1 - step);
}

void CColumnReducer::ClippedRun(std::int64_t x, std::int64_t top, std::int64_t bottom) {
    if (x < 0 || x >= m_surface.width) {
        return;
    }
    top = std::max<std::int64_t>(top, 0);
    bottom = std::min<std::int64_t>(bottom, m_surface.height - 1);
    if (top <= bottom) {
        Run(x, top, bottom);
    }
}

void CColumnReducer::AnyLine(const LineSegment& segment) {
    const auto line = ClipThinLine(segment.x0, segment.y0, segment.x1, segment.y1, m_surface.width,
                                   m_surface.height);
    if (!line) {
        return;
    }
    if (line->xMajor) {
        // One pixel in each column, stepped as the rule steps.
        line->ForEachStep([this](std::int64_t x, std::int64_t y) { Run(x, y, y); });
        return;
    }
    // Steep: the steps of one minor offset form one column's run.
    const std::int64_t lastOffset = line->MinorOffset(line->last);
    for (std::int64_t m = line->MinorOffset(line->first); m <= lastOffset; ++m) {
        const std::int64_t from = std::max(line->first, line->FirstStepAt(m));
        const std::int64_t to = std::min(line->last, line->FirstStepAt(m + 1) - 1);
        const std::int64_t rowFrom = line->a0 + line->sa * from;
        const std::int64_t rowTo = line->a0 + line->sa * to;
        Run(line->b0 + line->sb * m, std::min(rowFrom, rowTo), std::max(rowFrom, rowTo));
    }
}

void CColumnReducer::Run(std::int64_t x, std::int64_t top, std::int64_t bottom) {
    if (x == m_column && top <= m_bottom + 1 && bottom >= m_top - 1) {
        // Only the rows above and below the known run.
        Fill(x, top, m_top - 1);
        Fill(x, m_bottom + 1, bottom);
        m_top = std::min(m_top, top);
        m_bottom = std::max(m_bottom, bottom);
        return;
    }
    Fill(x, top, bottom);
    m_column = x;
    m_top = top;
    m_bottom = bottom;
}

void CColumnReducer::Fill(std::int64_t x, std::int64_t top, std::int64_t bottom) const {
    const std::uint32_t value = m_pixel;
    const std::ptrdiff_t stride = m_surface.stride;
    std::uint32_t* pixel = m_surface.bits + top * stride + x;
    for (std::int64_t row = top; row <= bottom; ++row) {
        *pixel = value;
        pixel += stride;
    }
}

} // namespace zelmora
