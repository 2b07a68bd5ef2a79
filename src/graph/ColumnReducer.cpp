#include "graph/ColumnReducer.h"

#include <algorithm>

namespace zelmora {

void CColumnReducer::SetPixel(std::uint32_t pixel) {
    if (pixel != m_pixel) {
        m_pixel = pixel;
        Forget();
    }
}

void CColumnReducer::Line(int x0, int y0, int x1, int y1) {
    if (x0 == x1 && VerticalLine(x0, y0, y1)) {
        return;
    }
    const auto line = ClipThinLine(x0, y0, x1, y1, m_surface.width, m_surface.height);
    if (!line) {
        return;
    }
    if (line->xMajor) {
        // One pixel in each column, stepped as the rule steps.
        const std::int64_t twoDa = 2 * line->da;
        const std::int64_t twoDb = 2 * line->db;
        const std::int64_t start = 2 * line->first * line->db + line->da;
        std::int64_t m = start / twoDa;
        std::int64_t remainder = start % twoDa;
        for (std::int64_t i = line->first; i <= line->last; ++i) {
            const std::int64_t y = line->b0 + line->sb * m;
            Run(line->a0 + line->sa * i, y, y);
            remainder += twoDb;
            if (remainder >= twoDa) {
                remainder -= twoDa;
                ++m;
            }
        }
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

bool CColumnReducer::VerticalLine(int x, int y0, int y1) {
    // Most lines of a dense curve stay in their column: their run follows
    // from the ends alone. Coordinates beyond 27 bits go the general way.
    constexpr int kNear = 1 << 26;
    if (x < 0 || x >= m_surface.width || y0 < -kNear || y0 > kNear || y1 < -kNear || y1 > kNear) {
        return false;
    }
    // From the start towards the end, the end row left out.
    std::int64_t top = y0 < y1 ? y0 : std::int64_t{y1} + 1;
    std::int64_t bottom = y0 < y1 ? std::int64_t{y1} - 1 : y0;
    top = std::max<std::int64_t>(top, 0);
    bottom = std::min<std::int64_t>(bottom, m_surface.height - 1);
    if (top <= bottom) {
        Run(x, top, bottom);
    }
    return true;
}

void CColumnReducer::Run(std::int64_t x, std::int64_t top, std::int64_t bottom) {
    if (x == m_column && top <= m_bottom + 1 && bottom >= m_top - 1) {
        if (top < m_top) {
            Fill(x, top, m_top - 1);
            m_top = top;
        }
        if (bottom > m_bottom) {
            Fill(x, m_bottom + 1, bottom);
            m_bottom = bottom;
        }
        return;
    }
    Fill(x, top, bottom);
    m_column = x;
    m_top = top;
    m_bottom = bottom;
}

void CColumnReducer::Fill(std::int64_t x, std::int64_t top, std::int64_t bottom) const {
    std::uint32_t* pixel = m_surface.bits + top * m_surface.stride + x;
    for (std::int64_t row = top; row <= bottom; ++row) {
        *pixel = m_pixel;
        pixel += m_surface.stride;
    }
}

} // namespace zelmora
