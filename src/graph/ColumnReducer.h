#pragma once

// Paints one-pixel lines onto a pixel surface with the pixels of the
// classic line rule (graph/ThinLine.h), but paints each pixel of a column
// once however many lines pass through it.
//
// A graph of many more points than pixel columns draws dozens of segments
// inside each column, up and down between the column's lowest and highest
// point, and then one segment over to the next column. Drawn one by one,
// every segment paints its whole height again. Here a chain of lines
// inside one column (each starting where the last one ended) is one run of
// rows, from the highest row any of them paints to the lowest, found
// without painting; every other line is taken apart into its runs, one per
// column it crosses (a steep line crosses few columns with long runs, a
// flat one many with runs of one pixel). A run that meets the run already
// painted in its column paints only the rows it adds. So a column costs
// its painted height, from the first point in it over its lowest and
// highest to the last, whatever the number of points.
//
// The result is the same set of pixels as painting every line on its own:
// all runs have one pixel value, and only rows known to hold that value are
// skipped.

#include "graph/Canvas.h"
#include "graph/ThinLine.h"

#include <cstdint>
#include <span>

namespace zelmora {

class CColumnReducer {
public:
    explicit CColumnReducer(const PixelSurface& surface) : m_surface(surface) {}

    // Lines painted from now on have this pixel value.
    void SetPixel(std::uint32_t pixel);

    // Paints the pixels that PaintThinLine paints for each line.
    void Lines(std::span<const LineSegment> lines);
    void Line(int x0, int y0, int x1, int y1) {
        const LineSegment line{x0, y0, x1, y1};
        Lines({&line, 1});
    }

    // Something else painted on the surface: rows this painter painted may
    // no longer hold its pixel value.
    void Forget();

private:
    // The lines from `first` on that form a chain inside one column, as one
    // run; returns the first line past the chain.
    std::size_t ColumnChain(std::span<const LineSegment> lines, std::size_t first);
    // A line to the next column or the one before, in its two runs.
    void NextColumnLine(const LineSegment& line);
    void AnyLine(const LineSegment& line);
    // Rows top to bottom of column x, as far as they lie on the surface;
    // none when bottom < top.
    void ClippedRun(std::int64_t x, std::int64_t top, std::int64_t bottom);
    // Rows top to bottom (inclusive, on the surface) of column x.
    void Run(std::int64_t x, std::int64_t top, std::int64_t bottom);
    // Rows top to bottom of column x; none when bottom < top.
    void Fill(std::int64_t x, std::int64_t top, std::int64_t bottom) const;

    PixelSurface m_surface;
    std::uint32_t m_pixel = 0;
    // Rows m_top to m_bottom of column m_column hold m_pixel, painted here;
    // no column is known when m_column is negative.
    std::int64_t m_column = -1;
    std::int64_t m_top = 0;
    std::int64_t m_bottom = -1;
};

} // namespace zelmora
