#pragma once

// Paints the same one-pixel lines two ways on two surfaces of one size:
// each line on its own with the rule (PaintThinLine), and through the
// column reducer. The reducer is right when the surfaces end up equal.
// TwoWayCanvas puts the graph's drawing calls on both; its text is a
// block of another colour painted over both, as a real canvas's text
// paints over lines.

#include "graph/Canvas.h"
#include "graph/ColumnReducer.h"
#include "graph/ThinLine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace zelmora {

class TwoWayLines {
public:
    // Rows are a few pixels longer than the surface is wide, so a pixel put
    // in the wrong row or past a row's end shows.
    TwoWayLines(int width, int height)
        : m_width(width), m_height(height), m_stride(width + 3),
          m_reference(static_cast<std::size_t>(m_stride * height)),
          m_reduced(static_cast<std::size_t>(m_stride * height)), m_reducer(Surface(m_reduced)) {}

    TwoWayLines(const TwoWayLines&) = delete;
    TwoWayLines& operator=(const TwoWayLines&) = delete;

    void SetPixel(std::uint32_t pixel) {
        m_pixel = pixel;
        m_reducer.SetPixel(pixel);
    }

    void Line(int x0, int y0, int x1, int y1) {
        PaintThinLine(Surface(m_reference), m_pixel, x0, y0, x1, y1);
        m_reducer.Line(x0, y0, x1, y1);
    }

    // A batch, as a canvas hands it on: the reducer takes chains in one
    // column together.
    void Lines(std::span<const LineSegment> lines) {
        for (const LineSegment& line : lines) {
            PaintThinLine(Surface(m_reference), m_pixel, line.x0, line.y0, line.x1, line.y1);
        }
        m_reducer.Lines(lines);
    }

    // Something else paints a rectangle (clipped to the surface) on both.
    void Block(int left, int top, int width, int height, std::uint32_t pixel) {
        const auto end = [](int from, int size, int limit) {
            return static_cast<int>(std::min<std::int64_t>(std::int64_t{from} + size, limit));
        };
        for (int y = std::max(top, 0); y < end(top, height, m_height); ++y) {
            for (int x = std::max(left, 0); x < end(left, width, m_width); ++x) {
                m_reference[Index(x, y)] = pixel;
                m_reduced[Index(x, y)] = pixel;
            }
        }
        m_reducer.Forget();
    }

    // The first pixel (row by row, the padding included) where the two
    // surfaces differ.
    std::optional<std::pair<int, int>> FirstDifference() const {
        for (std::size_t i = 0; i < m_reference.size(); ++i) {
            if (m_reference[i] != m_reduced[i]) {
                return std::pair{static_cast<int>(i % static_cast<std::size_t>(m_stride)),
                                 static_cast<int>(i / static_cast<std::size_t>(m_stride))};
            }
        }
        return std::nullopt;
    }

    std::size_t PaintedCount() const {
        std::size_t count = 0;
        for (const std::uint32_t pixel : m_reference) {
            count += pixel != 0 ? 1 : 0;
        }
        return count;
    }

private:
    PixelSurface Surface(std::vector<std::uint32_t>& pixels) const {
        return {pixels.data(), m_stride, m_width, m_height};
    }
    std::size_t Index(int x, int y) const { return static_cast<std::size_t>(y * m_stride + x); }

    int m_width;
    int m_height;
    int m_stride;
    std::vector<std::uint32_t> m_reference;
    std::vector<std::uint32_t> m_reduced;
    CColumnReducer m_reducer;
    std::uint32_t m_pixel = 0;
};

class TwoWayCanvas : public Canvas {
public:
    explicit TwoWayCanvas(TwoWayLines& lines) : m_lines(lines) {}

    void SetTransparentBackground() override {}
    void SelectPen(const PenDescription& pen) override { m_lines.SetPixel(0xFF000000 | pen.color); }
    void MoveTo(int x, int y) override {
        m_x = x;
        m_y = y;
    }
    void LineTo(int x, int y) override {
        m_lines.Line(m_x, m_y, x, y);
        m_x = x;
        m_y = y;
    }
    void DrawLines(std::span<const LineSegment> lines) override {
        m_lines.Lines(lines);
        if (!lines.empty()) {
            m_x = lines.back().x1;
            m_y = lines.back().y1;
        }
    }
    void SetTextColor(ColorRef) override {}
    void SelectFont(const FontDescription&) override {}
    void WriteText(int x, int y, std::string_view text) override {
        m_lines.Block(x, y, MeasureText(text), 10, 0xFFFFFFFF);
    }
    int MeasureText(std::string_view text) override { return 6 * static_cast<int>(text.size()); }

private:
    TwoWayLines& m_lines;
    int m_x = 0;
    int m_y = 0;
};

} // namespace zelmora
