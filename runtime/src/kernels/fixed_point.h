/* Fixed-point requantisation shared by every quantised kernel.
 *
 * A multiplier pair (M, e) stands for the real factor M * 2^(e - 31); for a
 * positive factor 2^30 <= M < 2^31.  apply_multiplier(x, M, e) rescales an
 * integer by it: the left part of the shift first, then the rounding doubling
 * high multiply, then the rounding right shift. */
#ifndef KESTRUNE_KERNELS_FIXED_POINT_H
#define KESTRUNE_KERNELS_FIXED_POINT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
#include <limits>

/* C++ helpers; extern "C++" because some includers wrap this header in
 * extern "C". */
extern "C++" {
namespace kestrune {

/* v clamped to the range of the integer type T. */
template <typename T>
constexpr T saturate(int64_t v)
{
    static_assert(sizeof(T) <= 4, "8- to 32-bit results");
    constexpr int64_t lo = std::numeric_limits<T>::min();
    constexpr int64_t hi = std::numeric_limits<T>::max();
    return static_cast<T>(v < lo ? lo : v > hi ? hi : v);
}

/* The fused activation of a rescaled value, before the output zero point is
 * added: RELU (1) clamps at 0, RELU6 (2) also at q6; other codes leave v. */
constexpr int32_t clamp_fused(int32_t v, int32_t activation, int32_t q6)
{
    if (activation == 1 || activation == 2)
        v = v < 0 ? 0 : v;
    if (activation == 2)
        v = v > q6 ? q6 : v;
    return v;
}

} // namespace kestrune
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The pair of a ratio the caller computed in single precision.  Zero, NaN and
 * infinite ratios give (0, 0); a ratio whose mantissa rounds up to 1 is
 * renormalised to 2^30 (or -2^30) with the exponent one higher. */
void quantize_multiplier(int32_t* multiplier, int32_t* shift, float scale);

/* x * M / 2^31 rounded to nearest, an exact half rounding toward +inf. */
static inline int32_t mul_q31(int32_t x, int32_t m)
{
    int64_t p = (int64_t)x * (int64_t)m;
    p += p >= 0 ? ((int64_t)1 << 30) : (1 - ((int64_t)1 << 30));
    return (int32_t)(p / ((int64_t)1 << 31));
}

/* h / 2^n rounded to nearest, halves away from zero; n = 0 gives h. */
static inline int32_t round_shift(int32_t h, int n)
{
    if (n <= 0)
        return h;
    if (n > 40)
        n = 40; /* |h| <= 2^31: every shift from 33 on gives 0 */
    int64_t mask = ((int64_t)1 << n) - 1;
    int64_t a = h < 0 ? -(int64_t)h : (int64_t)h;
    int64_t r = (a & mask) > (mask >> 1) ? (a >> n) + 1 : (a >> n);
    return (int32_t)(h >= 0 ? r : -r);
}

/* The rescale of x by the pair (M, e).  The left shift works in 32-bit two's
 * complement: bits shifted out are lost. */
static inline int32_t apply_multiplier(int32_t x, int32_t m, int32_t e)
{
    int left = e > 0 ? e : 0;
    int right = e < 0 ? -e : 0;
    uint32_t shifted = left >= 32 ? 0u : (uint32_t)x << left;
    return round_shift(mul_q31((int32_t)shifted, m), right);
}

/* True when two scales (or a ratio's distance from 1) agree closely enough
 * that no rescale is done; a NaN never agrees. */
static inline bool scales_close(float t)
{
    return t < 1e-5f;
}

/* a + b with the wrap-around of the vector lanes' 32-bit sums. */
static inline int32_t wrap_add(int32_t a, int32_t b)
{
    return (int32_t)((uint32_t)a + (uint32_t)b);
}

/* a - b and a * b wrapping in 32 bits, as the vector lanes' arithmetic does. */
static inline int32_t wrap_sub(int32_t a, int32_t b)
{
    return (int32_t)((uint32_t)a - (uint32_t)b);
}

static inline int32_t wrap_mul(int32_t a, int32_t b)
{
    return (int32_t)((uint32_t)a * (uint32_t)b);
}

/* acc + (a - za) * (b - zb): the product in 64 bits, the sum wrapping in 32
 * bits like the vector lanes' (a model's zero points may be any 32-bit
 * values). */
static inline int32_t mac_zp(int32_t acc, int32_t a, int32_t za, int32_t b, int32_t zb)
{
    const int64_t p = ((int64_t)a - za) * ((int64_t)b - zb);
    return (int32_t)(uint32_t)((uint64_t)(uint32_t)acc + (uint64_t)p);
}

static inline int32_t saturate_i32(int64_t v)
{
    return kestrune::saturate<int32_t>(v);
}

/* a / b rounding halves away from zero (b != 0). */
static inline int32_t rounding_divide(int32_t a, int32_t b)
{
    int64_t x = a, y = b;
    int64_t q = ((x >= 0) == (y >= 0)) ? (x + y / 2) / y : (x - y / 2) / y;
    return saturate_i32(q);
}

/* An element of a quantised operand read in its own type: 8- and 16-bit types
 * widened, 32-bit words taken as signed; other types read as 0. */
static inline int32_t quant_read(const void* data, size_t i, uint32_t type)
{
    switch (type) {
    case NN_TYPE_I8: return ((const int8_t*)data)[i];
    case NN_TYPE_U8: return ((const uint8_t*)data)[i];
    case NN_TYPE_I16: return ((const int16_t*)data)[i];
    case NN_TYPE_U16: return ((const uint16_t*)data)[i];
    case NN_TYPE_I32:
    case NN_TYPE_U32: return ((const int32_t*)data)[i];
    default: return 0;
    }
}

/* The saturating store by output type: v is the kernel's result with the
 * output zero point added, computed without overflow.  UINT16 saturates at
 * 65535 like every other type at its upper bound; other types store nothing. */
static inline void quant_store(void* data, size_t i, int64_t v, uint32_t type)
{
    using kestrune::saturate;
    switch (type) {
    case NN_TYPE_I8: static_cast<int8_t*>(data)[i] = saturate<int8_t>(v); break;
    case NN_TYPE_U8: static_cast<uint8_t*>(data)[i] = saturate<uint8_t>(v); break;
    case NN_TYPE_I16: static_cast<int16_t*>(data)[i] = saturate<int16_t>(v); break;
    case NN_TYPE_U16: static_cast<uint16_t*>(data)[i] = saturate<uint16_t>(v); break;
    case NN_TYPE_I32: static_cast<int32_t*>(data)[i] = saturate<int32_t>(v); break;
    case NN_TYPE_U32: static_cast<uint32_t*>(data)[i] = saturate<uint32_t>(v); break;
    default: break;
    }
}

/* float -> int32 as NEON converts: NaN gives 0, out-of-range values the
 * nearest end. */
static inline int32_t float_to_i32_sat(float f)
{
    if (f != f)
        return 0;
    if (f >= 2147483648.0f)
        return INT32_MAX;
    if (f < -2147483648.0f)
        return INT32_MIN;
    return (int32_t)f;
}

/* Round to nearest, ties to even, then convert saturating (NaN -> 0).  Below
 * 2^22 in magnitude adding and taking off 1.5 * 2^23 rounds in the default
 * mode exactly as the NEON conversion does; the rest goes through rintf. */
int32_t round_even_to_i32_slow(float f);
static inline int32_t round_even_to_i32(float f)
{
    if (f < 4194304.0f && f > -4194304.0f) {
        const float b = 12582912.0f; /* IEEE arithmetic: (f + b) - b is not folded */
        return (int32_t)((f + b) - b);
    }
    return round_even_to_i32_slow(f);
}

/* First scale and zero point of a record (1.0 and 0 when it has none), and
 * parameter i by the channel rule (i mod count). */
static inline float quant_scale(const nn_quant_params* q)
{
    return q && q->scales && q->scales_count ? q->scales[0] : 1.0f;
}
static inline int32_t quant_zero(const nn_quant_params* q)
{
    return q && q->zeros && q->zeros_count ? q->zeros[0] : 0;
}
static inline float quant_scale_at(const nn_quant_params* q, size_t i)
{
    return q && q->scales && q->scales_count ? q->scales[i % q->scales_count] : 1.0f;
}
static inline int32_t quant_zero_at(const nn_quant_params* q, size_t i)
{
    return q && q->zeros && q->zeros_count ? q->zeros[i % q->zeros_count] : 0;
}

/* The accumulator output stage: count values of in_q's type (as a rule INT32
 * accumulators) into count values of out_q's type, with a fused RELU (1) or
 * RELU6 (2).  multipliers and shifts are per-value pairs or NULL. */
void requantize_accumulators(void* out, int32_t count, const void* in, int32_t activation,
                             const nn_quant_params* out_q, const nn_quant_params* in_q,
                             const int32_t* multipliers, const int32_t* shifts);

/* The per-channel INT8 path of requantize_accumulators: blocks of eight by
 * single-precision scales (ties to even), the rest by the pairs. */
void requantize_i8_kernel(int8_t* out, int32_t count, const int32_t* in, int32_t activation,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const int32_t* multipliers, const int32_t* shifts);

#ifdef __cplusplus
}

extern "C++" {
namespace kestrune {

/* The value 6.0 in output steps: the RELU6 bound q6 of every quantised kernel. */
inline int32_t six_in_steps(const nn_quant_params* out_q)
{
    int32_t m = 0, e = 0;
    quantize_multiplier(&m, &e, 1.0f / quant_scale(out_q));
    return apply_multiplier(6, m, e);
}

} // namespace kestrune
}
#endif

#endif
