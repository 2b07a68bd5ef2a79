#pragma once

// The graph's points to pixels, many at a time. The plot maps a point's x to
// left + width × (x − xFrom) / xSpan and its y to
// bottom − height × (y − yMin) / ySpan, each truncated toward zero, with the
// operations in exactly this order so that every pixel stays where it has
// always been; vector instructions, where the processor has them, do the
// same operations on several points at once and round alike.

#include <cstdint>
#include <optional>

namespace zelmora {

// A pixel coordinate from a computed position, truncated toward zero; empty
// when the position is not a number or lies beyond what an int holds, where
// converting it would be undefined.
inline std::optional<int> ToPixel(double position) {
    if (!(position > -2147483649.0 && position < 2147483648.0)) {
        return std::nullopt;
    }
    return static_cast<int>(position);
}

struct PlotMapping {
    double left = 0.0;
    double width = 0.0;
    double xFrom = 0.0;
    double xSpan = 0.0;
    double bottom = 0.0;
    double height = 0.0;
    double yMin = 0.0;
    double yMax = 0.0;

    double PositionX(double x) const { return left + width * (x - xFrom) / xSpan; }
    double PositionY(double y) const { return bottom - height * (y - yMin) / (yMax - yMin); }
};

// What a mapped point is.
enum PointFlags : std::uint8_t {
    // Both positions lie in the int range (neither is NaN).
    kPointMapped = 1,
    // yMin ≤ y ≤ yMax.
    kPointInside = 2,
};

// Maps points 0 to count − 1 of xs and ys to pixels px and py, with their
// PointFlags. A position outside the int range gives the pixel 0.
void MapPoints(const PlotMapping& mapping, const double* xs, const double* ys, int count, int* px,
               int* py, std::uint8_t* flags);

// The same, one point at a time without vector instructions: the reference
// that MapPoints equals, and what it does on processors without them.
void MapPointsOneByOne(const PlotMapping& mapping, const double* xs, const double* ys, int count,
                       int* px, int* py, std::uint8_t* flags);

} // namespace zelmora
