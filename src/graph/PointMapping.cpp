#include "graph/PointMapping.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmora {

namespace {

// Beyond these bounds (or NaN) converting to an int would be undefined.
constexpr double kBelowInt = -2147483649.0;
constexpr double kAboveInt = 2147483648.0;

bool Representable(double position) {
    return position > kBelowInt && position < kAboveInt;
}

void MapOne(const PlotMapping& m, double x, double y, int& px, int& py, std::uint8_t& flags) {
    const double positionX = m.left + m.width * (x - m.xFrom) / m.xSpan;
    const double positionY = m.bottom - m.height * (y - m.yMin) / m.ySpan;
    const bool mappedX = Representable(positionX);
    const bool mappedY = Representable(positionY);
    px = mappedX ? static_cast<int>(positionX) : 0;
    py = mappedY ? static_cast<int>(positionY) : 0;
    const bool inside = y >= m.yMin && y <= m.yMax;
    flags = static_cast<std::uint8_t>((mappedX && mappedY ? kPointMapped : 0) |
                                      (inside ? kPointInside : 0));
}

} // namespace

void MapPointsOneByOne(const PlotMapping& mapping, const double* xs, const double* ys, int count,
                       int* px, int* py, std::uint8_t* flags) {
    for (int i = 0; i < count; ++i) {
        MapOne(mapping, xs[i], ys[i], px[i], py[i], flags[i]);
    }
}

#if defined(__SSE2__)

namespace {

// The two lanes' truncated values where `representable` holds, 0 elsewhere,
// as two ints.
__m128i Truncate(__m128d position, __m128d representable) {
    // The low half of each lane's all-ones or all-zeros mask, side by side.
    const __m128i keep =
        _mm_shuffle_epi32(_mm_castpd_si128(representable), _MM_SHUFFLE(3, 3, 2, 0));
    return _mm_and_si128(_mm_cvttpd_epi32(position), keep);
}

__m128d InIntRange(__m128d position) {
    return _mm_and_pd(_mm_cmpgt_pd(position, _mm_set1_pd(kBelowInt)),
                      _mm_cmplt_pd(position, _mm_set1_pd(kAboveInt)));
}

} // namespace

void MapPoints(const PlotMapping& mapping, const double* xs, const double* ys, int count, int* px,
               int* py, std::uint8_t* flags) {
    const __m128d left = _mm_set1_pd(mapping.left);
    const __m128d width = _mm_set1_pd(mapping.width);
    const __m128d xFrom = _mm_set1_pd(mapping.xFrom);
    const __m128d xSpan = _mm_set1_pd(mapping.xSpan);
    const __m128d bottom = _mm_set1_pd(mapping.bottom);
    const __m128d height = _mm_set1_pd(mapping.height);
    const __m128d yMin = _mm_set1_pd(mapping.yMin);
    const __m128d yMax = _mm_set1_pd(mapping.yMax);
    const __m128d ySpan = _mm_set1_pd(mapping.ySpan);
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        const __m128d x = _mm_loadu_pd(xs + i);
        const __m128d y = _mm_loadu_pd(ys + i);
        const __m128d positionX =
            _mm_add_pd(left, _mm_div_pd(_mm_mul_pd(width, _mm_sub_pd(x, xFrom)), xSpan));
        const __m128d positionY =
            _mm_sub_pd(bottom, _mm_div_pd(_mm_mul_pd(height, _mm_sub_pd(y, yMin)), ySpan));
        const __m128d mappedX = InIntRange(positionX);
        const __m128d mappedY = InIntRange(positionY);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(px + i), Truncate(positionX, mappedX));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(py + i), Truncate(positionY, mappedY));
        const int mapped = _mm_movemask_pd(_mm_and_pd(mappedX, mappedY));
        const int inside =
            _mm_movemask_pd(_mm_and_pd(_mm_cmpge_pd(y, yMin), _mm_cmple_pd(y, yMax)));
        flags[i] = static_cast<std::uint8_t>((mapped & 1) | ((inside & 1) << 1));
        flags[i + 1] = static_cast<std::uint8_t>(((mapped >> 1) & 1) | (inside & 2));
    }
    MapPointsOneByOne(mapping, xs + i, ys + i, count - i, px + i, py + i, flags + i);
}

#else

void MapPoints(const PlotMapping& mapping, const double* xs, const double* ys, int count, int* px,
               int* py, std::uint8_t* flags) {
    MapPointsOneByOne(mapping, xs, ys, count, px, py, flags);
}

#endif

} // namespace zelmora
