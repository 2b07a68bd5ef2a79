#include "graph/PointMapping.h"

#include <array>
#include <cstddef>
#include <cstring>

// AVX is chosen at run time, where the compiler can build for it alone. Only
// on x86-64: a 32-bit build may do the one-by-one mapping in the x87 unit's
// wider precision, and vector lanes would not round as it does.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZELMORA_MAP_WITH_AVX 1
#include <immintrin.h>
#endif

namespace zelmora {

namespace {

void MapOne(const PlotMapping& m, double x, double y, int& px, int& py, std::uint8_t& flags) {
    const std::optional<int> mappedX = ToPixel(m.PositionX(x));
    const std::optional<int> mappedY = ToPixel(m.PositionY(y));
    px = mappedX.value_or(0);
    py = mappedY.value_or(0);
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

#if defined(ZELMORA_MAP_WITH_AVX)

namespace {

using Lanes = __m256d;

// A byte of 1 for each bit of a four-bit lane mask, lane 0 in the lowest
// byte (the byte of the lowest address on these processors).
constexpr std::array<std::uint32_t, 16> kLaneBytes = [] {
    std::array<std::uint32_t, 16> bytes{};
    for (std::uint32_t mask = 0; mask < 16; ++mask) {
        for (std::uint32_t lane = 0; lane < 4; ++lane) {
            bytes[mask] |= ((mask >> lane) & 1U) << (8 * lane);
        }
    }
    return bytes;
}();

// Each lane's truncated value where `representable` holds, 0 elsewhere, as
// four ints.
__attribute__((target("avx"))) __m128i Truncate(Lanes position, Lanes representable) {
    return _mm256_cvttpd_epi32(_mm256_and_pd(position, representable));
}

// The lanes ToPixel takes: inside the int range, not NaN.
__attribute__((target("avx"))) Lanes InIntRange(Lanes position) {
    return _mm256_and_pd(_mm256_cmp_pd(position, _mm256_set1_pd(-2147483649.0), _CMP_GT_OQ),
                         _mm256_cmp_pd(position, _mm256_set1_pd(2147483648.0), _CMP_LT_OQ));
}

// Four points at a time, with the 256-bit instructions of AVX (but not its
// fused multiply-add, which would round differently).
__attribute__((target("avx"))) void MapPointsAvx(const PlotMapping& mapping, const double* xs,
                                                 const double* ys, int count, int* px, int* py,
                                                 std::uint8_t* flags) {
    const Lanes left = _mm256_set1_pd(mapping.left);
    const Lanes width = _mm256_set1_pd(mapping.width);
    const Lanes xFrom = _mm256_set1_pd(mapping.xFrom);
    const Lanes xSpan = _mm256_set1_pd(mapping.xSpan);
    const Lanes bottom = _mm256_set1_pd(mapping.bottom);
    const Lanes height = _mm256_set1_pd(mapping.height);
    const Lanes yMin = _mm256_set1_pd(mapping.yMin);
    const Lanes yMax = _mm256_set1_pd(mapping.yMax);
    const Lanes ySpan = _mm256_set1_pd(mapping.yMax - mapping.yMin);
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const Lanes x = _mm256_loadu_pd(xs + i);
        const Lanes y = _mm256_loadu_pd(ys + i);
        const Lanes positionX = _mm256_add_pd(
            left, _mm256_div_pd(_mm256_mul_pd(width, _mm256_sub_pd(x, xFrom)), xSpan));
        const Lanes positionY = _mm256_sub_pd(
            bottom, _mm256_div_pd(_mm256_mul_pd(height, _mm256_sub_pd(y, yMin)), ySpan));
        const Lanes mappedX = InIntRange(positionX);
        const Lanes mappedY = InIntRange(positionY);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(px + i), Truncate(positionX, mappedX));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(py + i), Truncate(positionY, mappedY));
        const int mapped = _mm256_movemask_pd(_mm256_and_pd(mappedX, mappedY));
        const int inside = _mm256_movemask_pd(
            _mm256_and_pd(_mm256_cmp_pd(y, yMin, _CMP_GE_OQ), _mm256_cmp_pd(y, yMax, _CMP_LE_OQ)));
        const std::uint32_t four = kLaneBytes[static_cast<std::size_t>(mapped)] * kPointMapped |
                                   kLaneBytes[static_cast<std::size_t>(inside)] * kPointInside;
        std::memcpy(flags + i, &four, sizeof four);
    }
    MapPointsOneByOne(mapping, xs + i, ys + i, count - i, px + i, py + i, flags + i);
}

} // namespace

void MapPoints(const PlotMapping& mapping, const double* xs, const double* ys, int count, int* px,
               int* py, std::uint8_t* flags) {
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) {
        MapPointsAvx(mapping, xs, ys, count, px, py, flags);
    } else {
        MapPointsOneByOne(mapping, xs, ys, count, px, py, flags);
    }
}

#else

void MapPoints(const PlotMapping& mapping, const double* xs, const double* ys, int count, int* px,
               int* py, std::uint8_t* flags) {
    MapPointsOneByOne(mapping, xs, ys, count, px, py, flags);
}

#endif

} // namespace zelmora
