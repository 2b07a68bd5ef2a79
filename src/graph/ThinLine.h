#pragma once

// One-pixel lines on a 32-bit pixel surface, with the classic rule of the
// 2-D device context the graph is drawn for: one pixel per step along the
// longer axis, the end pixel left out, so that a polyline paints each of
// its joints once and an axis drawn to x = right stops one pixel short.
// Any canvas that keeps its pixels in memory can paint lines this way.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace zelmora {

// Rows of `width` 32-bit pixels, `stride` pixels from the start of one row
// to the start of the next.
struct PixelSurface {
    std::uint32_t* bits = nullptr;
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
};

// The steps of a line from (x0, y0) to (x1, y1) whose pixels lie on a
// surface. Step i paints the pixel at (a0 + sa × i, b0 + sb × m(i)) along
// the major axis a and the minor axis b, where the minor offset m(i) is
// i × db / da rounded to nearest, halves away from the start. The major
// axis is x when the line is at least as wide as it is high (`xMajor`).
struct ThinLineSteps {
    bool xMajor = true;
    std::int64_t a0 = 0;
    std::int64_t b0 = 0;
    std::int64_t sa = 1;
    std::int64_t sb = 1;
    std::int64_t da = 0;
    std::int64_t db = 0;
    // The visible steps, first ≤ last.
    std::int64_t first = 0;
    std::int64_t last = 0;

    // m(i) = floor((2 i db + da) / (2 da)).
    std::int64_t MinorOffset(std::int64_t step) const { return (2 * step * db + da) / (2 * da); }

    // The first step whose minor offset is at least `offset`.
    std::int64_t FirstStepAt(std::int64_t offset) const;

    // Calls visit(a, b) with the pixel of each visible step in turn, along
    // the major axis a and the minor axis b; the minor offset is kept as a
    // running quotient and remainder of (2 i db + da) / (2 da).
    template <typename Visit>
    void ForEachStep(Visit visit) const {
        const std::int64_t twoDa = 2 * da;
        const std::int64_t twoDb = 2 * db;
        const std::int64_t start = 2 * first * db + da;
        std::int64_t m = start / twoDa;
        std::int64_t remainder = start % twoDa;
        for (std::int64_t i = first; i <= last; ++i) {
            visit(a0 + sa * i, b0 + sb * m);
            remainder += twoDb;
            if (remainder >= twoDa) {
                remainder -= twoDa;
                ++m;
            }
        }
    }
};

// The visible steps of the line, found directly, so a line that reaches far
// outside the surface costs no more than its visible part. Empty when no
// pixel of it lies on the surface, when it has no length, or when a
// coordinate lies beyond 27 bits (the classic interface draws nothing
// there).
std::optional<ThinLineSteps> ClipThinLine(int x0, int y0, int x1, int y1, int width, int height);

// Paints the line's pixels one step at a time. This is the rule itself;
// faster painters must paint exactly these pixels.
void PaintThinLine(const PixelSurface& surface, std::uint32_t pixel, int x0, int y0, int x1,
                   int y1);

} // namespace zelmora
