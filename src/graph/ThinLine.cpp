#include "graph/ThinLine.h"

#include <algorithm>
#include <cstdlib>

namespace zelmora {

namespace {

// Coordinates are honoured up to 27 bits; lines reaching beyond are not
// drawn. The bound also keeps the step arithmetic exact in 64 bits.
constexpr std::int64_t kLargestCoordinate = (std::int64_t{1} << 27) - 1;

std::int64_t CeilDiv(std::int64_t numerator, std::int64_t denominator) {
    // Both are positive where this is used.
    return (numerator + denominator - 1) / denominator;
}

} // namespace

std::int64_t ThinLineSteps::FirstStepAt(std::int64_t offset) const {
    if (offset <= 0) {
        return 0;
    }
    if (db == 0) {
        return da; // no step leaves the start's row or column
    }
    // m(i) ≥ offset ⇔ 2 i db + da ≥ 2 da offset.
    return CeilDiv(2 * da * offset - da, 2 * db);
}

std::optional<ThinLineSteps> ClipThinLine(int x0, int y0, int x1, int y1, int width, int height) {
    const auto far = [](int v) { return std::llabs(v) > kLargestCoordinate; };
    if (far(x0) || far(y0) || far(x1) || far(y1)) {
        return std::nullopt;
    }
    const std::int64_t dx = std::int64_t{x1} - x0;
    const std::int64_t dy = std::int64_t{y1} - y0;
    const std::int64_t adx = std::llabs(dx);
    const std::int64_t ady = std::llabs(dy);
    if (adx == 0 && ady == 0) {
        return std::nullopt;
    }
    ThinLineSteps line;
    std::int64_t aSize = 0;
    std::int64_t bSize = 0;
    if (adx >= ady) {
        line = {true, x0, y0, dx < 0 ? -1 : 1, dy < 0 ? -1 : 1, adx, ady, 0, 0};
        aSize = width;
        bSize = height;
    } else {
        line = {false, y0, x0, dy < 0 ? -1 : 1, dx < 0 ? -1 : 1, ady, adx, 0, 0};
        aSize = height;
        bSize = width;
    }

    std::int64_t first = 0;
    std::int64_t last = line.da - 1;
    // The major coordinate a0 + sa × i within [0, aSize).
    if (line.sa > 0) {
        first = std::max(first, -line.a0);
        last = std::min(last, aSize - 1 - line.a0);
    } else {
        first = std::max(first, line.a0 - (aSize - 1));
        last = std::min(last, line.a0);
    }
    // The minor offset m(i) within [mLow, mHigh].
    const std::int64_t mLow = line.sb > 0 ? -line.b0 : line.b0 - (bSize - 1);
    const std::int64_t mHigh = line.sb > 0 ? bSize - 1 - line.b0 : line.b0;
    if (mHigh < 0 || mLow > mHigh) {
        return std::nullopt;
    }
    first = std::max(first, line.FirstStepAt(mLow));
    last = std::min(last, line.FirstStepAt(mHigh + 1) - 1);
    if (first > last) {
        return std::nullopt;
    }
    line.first = first;
    line.last = last;
    return line;
}

void PaintThinLine(const PixelSurface& surface, std::uint32_t pixel, int x0, int y0, int x1,
                   int y1) {
    const auto line = ClipThinLine(x0, y0, x1, y1, surface.width, surface.height);
    if (!line) {
        return;
    }
    line->ForEachStep([&surface, pixel, xMajor = line->xMajor](std::int64_t a, std::int64_t b) {
        const std::int64_t x = xMajor ? a : b;
        const std::int64_t y = xMajor ? b : a;
        surface.bits[y * surface.stride + x] = pixel;
    });
}

} // namespace zelmora
