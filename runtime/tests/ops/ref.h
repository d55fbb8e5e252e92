// Independent references for the fixed-point rules, written from their
// definitions with 128-bit integers and floor divisions.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kestrune/nn.h"

namespace ref {

using i128 = __int128;

inline i128 floor_div(i128 a, i128 b)
{
    i128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

// The pair of a positive or negative finite scale: 0.5 <= |m| < 1.
inline void multiplier(float scale, int32_t* m, int32_t* e)
{
    if (scale == 0.0f || !std::isfinite(scale)) {
        *m = 0;
        *e = 0;
        return;
    }
    long double a = std::fabs((long double)scale);
    int ex = std::ilogb((double)a) + 1;  // a / 2^ex in [0.5, 1)
    long double frac = std::ldexp(a, -ex);
    long double scaled = frac * 2147483648.0L;
    int64_t q = (int64_t)std::floor(scaled + 0.5L);
    if (q == (int64_t)1 << 31) {
        q >>= 1;
        ++ex;
    }
    *m = (int32_t)(scale < 0 ? -q : q);
    *e = ex;
}

// x * M / 2^31 with halves toward +inf.
inline int32_t mul_q31(int32_t x, int32_t m)
{
    i128 p = (i128)x * m;
    return (int32_t)floor_div(p + ((i128)1 << 30), (i128)1 << 31);
}

// h / 2^n with halves away from zero.
inline int32_t round_shift(int32_t h, int n)
{
    if (n == 0)
        return h;
    i128 a = h < 0 ? -(i128)h : (i128)h;
    i128 r = floor_div(a + ((i128)1 << (n - 1)), (i128)1 << n);
    return (int32_t)(h < 0 ? -r : r);
}

inline int32_t apply(int32_t x, int32_t m, int32_t e)
{
    int left = e > 0 ? e : 0, right = e < 0 ? -e : 0;
    int32_t shifted = left >= 32 ? 0 : (int32_t)(uint32_t)((uint64_t)(uint32_t)x << left);
    return round_shift(mul_q31(shifted, m), right < 100 ? right : 100);
}

inline int32_t apply_scale(int32_t x, float scale)
{
    int32_t m, e;
    multiplier(scale, &m, &e);
    return apply(x, m, e);
}

// Ties to even, saturating, NaN -> 0.
inline int32_t round_even(float f)
{
    if (f != f)
        return 0;
    double r = std::nearbyint((double)f);
    if (r >= 2147483647.0)
        return INT32_MAX;
    if (r <= -2147483648.0)
        return INT32_MIN;
    return (int32_t)r;
}

inline int64_t clamp(int64_t v, int64_t lo, int64_t hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

struct Quant {
    std::vector<int32_t> zeros;
    std::vector<float> scales;
    nn_quant_params q{};
    Quant(nn_type type, float scale, int32_t zero) : Quant(type, std::vector<float>{scale}, {zero}) {}
    Quant(nn_type type, std::vector<float> s, std::vector<int32_t> z) : zeros(z), scales(s)
    {
        static const size_t sizes[] = {1, 1, 1, 1, 2, 2, 4, 4, 8, 8, 2, 4, 8};
        q.zeros_count = zeros.size();
        q.zeros = zeros.data();
        q.scales_count = scales.size();
        q.scales = scales.data();
        q.element_size = sizes[type];
        q.type = type;
    }
    Quant(const Quant&) = delete;
    const nn_quant_params* p() const { return &q; }
};

inline bool same_bits(const void* a, const void* b, size_t n)
{
    return std::memcmp(a, b, n) == 0;
}

}  // namespace ref
