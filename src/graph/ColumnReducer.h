#pragma once

// Paints one-pixel lines onto a pixel surface with the pixels of the
// classic line rule (graph/ThinLine.h), but paints each pixel of a column
// once however many lines pass through it.
//
// A graph of many more points than pixel columns draws dozens of segments
// inside each column, up and down between the column's lowest and highest
// point, and then one segment over to the next column. Drawn one by one,
// every segment paints its whole height again. Here every line is taken
// apart into its vertical runs, one per column it crosses (a steep line
// crosses few columns with long runs, a flat one many with runs of one
// pixel), and a run that meets the run already painted in its column paints
// only the rows it adds. So a column costs its painted height, from the
// first point in it over its lowest and highest to the last, whatever the
// number of points.
//
// The result is the same set of pixels as painting every line on its own:
// all runs have one pixel value, and only rows known to hold that value are
// skipped.

#include "graph/ThinLine.h"

#include <cstdint>

namespace zelmora {

class CColumnReducer {
public:
    explicit CColumnReducer(const PixelSurface& surface) : m_surface(surface) {}

    // Lines painted from now on have this pixel value.
    void SetPixel(std::uint32_t pixel);

    // Paints the pixels that PaintThinLine paints for this line.
    void Line(int x0, int y0, int x1, int y1);

    // Something else painted on the surface: rows this painter painted may
    // no longer hold its pixel value.
    void Forget() { m_column = -1; }

private:
    // A line with both ends in column x; false when it is left to the
    // general way.
    bool VerticalLine(int x, int y0, int y1);
    // Rows top to bottom (inclusive, on the surface) of column x.
    void Run(std::int64_t x, std::int64_t top, std::int64_t bottom);
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
