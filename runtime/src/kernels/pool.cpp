/* Pooling row kernels: one output row from the window rows of the input. */
#include <math.h>
#include <string.h>

#include <limits>
#include <type_traits>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"
#include "kernels/simd.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace {

/* The valid tap range [begin, end) of output column ox. */
inline void tap_range(int32_t ox, int32_t stride, int32_t pad_left, int32_t kw, int32_t iw,
                      int32_t* begin, int32_t* end)
{
    /* 64-bit: strides and pads come from model files */
    int64_t ix0 = static_cast<int64_t>(ox) * stride - pad_left;
    int64_t b = ix0 < 0 ? 0 : ix0 > iw ? iw : ix0;
    int64_t e = ix0 + kw > iw ? iw : ix0 + kw;
    *begin = static_cast<int32_t>(b);
    *end = static_cast<int32_t>(e > b ? e : b);
}

/* Four float lanes in the compiler's generic vectors (SSE on x86-64, NEON
 * on Arm): lane-wise the same IEEE operations as on one float. */
typedef float f32x4 __attribute__((vector_size(16)));

template <typename V>
inline V load_lanes(const float* p)
{
    V v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename V>
inline void store_lanes(float* p, V v)
{
    memcpy(p, &v, sizeof v);
}

/* A float pool over one output pixel's window: start(first tap's value),
 * step(so far, next tap's value) over every tap in order, finish(result).
 * Each works on one value or on four lanes, with the same rule. */
struct MaxPool {
    /* Whether the window has taps; an empty one gives empty_value. */
    bool window(int32_t rows, int32_t b, int32_t e) const { return rows > 0 && e > b; }
    static constexpr float empty_value = -1e9f;
    template <typename V>
    V start(V first) const
    {
        return first;
    }
    template <typename V>
    V step(V m, V v) const
    {
        return v > m ? v : m;
    }
    template <typename V>
    V finish(V m) const
    {
        return m;
    }
#ifdef __ARM_NEON
    float32x4_t start(float32x4_t first) const { return first; }
    float32x4_t step(float32x4_t m, float32x4_t v) const
    {
        return vbslq_f32(vcgtq_f32(v, m), v, m);
    }
    float32x4_t finish(float32x4_t m) const { return m; }
#endif
};

/* The sum of the taps times 1 / count; every window counts as having taps
 * (an empty one gives 0 * 0). */
struct AvgPool {
    float k;
    bool window(int32_t rows, int32_t b, int32_t e)
    {
        const int32_t n = rows * (e - b);
        k = n > 0 ? 1.0f / static_cast<float>(n) : 0.0f;
        return true;
    }
    static constexpr float empty_value = 0.0f;
    template <typename V>
    V start(V) const
    {
        return V{};
    }
    template <typename V>
    V step(V s, V v) const
    {
        return s + v;
    }
    template <typename V>
    V finish(V s) const
    {
        return s * k;
    }
#ifdef __ARM_NEON
    float32x4_t start(float32x4_t) const { return vdupq_n_f32(0.0f); }
    float32x4_t step(float32x4_t s, float32x4_t v) const { return vaddq_f32(s, v); }
    float32x4_t finish(float32x4_t s) const { return vmulq_n_f32(s, k); }
#endif
};

/* K values of V (float or f32x4) of one output pixel through the whole window
 * [b, e) of `rows` rows, held in registers: the pixel is written once, not
 * loaded and stored again for every tap, so the loop is bound neither by
 * store forwarding nor by where the code lands in memory. */
template <typename V, int K, class Pool>
inline void pool_block(float* o, const float* in, int64_t row, int32_t ch, int32_t rows,
                       int32_t b, int32_t e, const Pool& pool)
{
    constexpr int lanes = sizeof(V) / sizeof(float);
    V m[K];
    const float* first = in + static_cast<int64_t>(b) * ch;
    for (int k = 0; k < K; ++k)
        m[k] = pool.start(load_lanes<V>(first + k * lanes));
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t x = b; x < e; ++x) {
            const float* v = in + r * row + static_cast<int64_t>(x) * ch;
            for (int k = 0; k < K; ++k)
                m[k] = pool.step(m[k], load_lanes<V>(v + k * lanes));
        }
    for (int k = 0; k < K; ++k)
        store_lanes(o + k * lanes, pool.finish(m[k]));
}

/* One output pixel over a non-empty window: 16 channels at a time, then 4,
 * then single ones; every channel sees its taps in the same order. */
template <class Pool>
struct PixelPortable {
    void operator()(float* o, const float* in, int64_t row, int32_t ch, int32_t rows, int32_t b,
                    int32_t e, const Pool& pool) const
    {
        int32_t c = 0;
        for (; c + 16 <= ch; c += 16)
            pool_block<f32x4, 4>(o + c, in + c, row, ch, rows, b, e, pool);
        for (; c + 4 <= ch; c += 4)
            pool_block<f32x4, 1>(o + c, in + c, row, ch, rows, b, e, pool);
        for (; c < ch; ++c)
            pool_block<float, 1>(o + c, in + c, row, ch, rows, b, e, pool);
    }
};

#ifdef __ARM_NEON
/* L lanes of channels from c through the whole window. */
template <class L, class Pool>
void pool_lanes(float* o, int32_t c, const float* in, int64_t row, int32_t ch, int32_t rows,
                int32_t b, int32_t e, const Pool& pool)
{
    typename L::type m = pool.start(L::load(in + static_cast<int64_t>(b) * ch + c));
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t x = b; x < e; ++x)
            m = pool.step(m, L::load(in + r * row + static_cast<int64_t>(x) * ch + c));
    L::store(o + c, pool.finish(m));
}

/* Four channels at a time through the whole window, then single ones. */
template <class Pool>
struct PixelNeon {
    void operator()(float* o, const float* in, int64_t row, int32_t ch, int32_t rows, int32_t b,
                    int32_t e, const Pool& pool) const
    {
        int32_t c = 0;
        for (; c + 4 <= ch; c += 4)
            pool_lanes<simd::Wide<float>>(o, c, in, row, ch, rows, b, e, pool);
        for (; c < ch; ++c)
            pool_lanes<simd::Lanes<float, 1>>(o, c, in, row, ch, rows, b, e, pool);
    }
};

template <class Pool>
using PixelBody = PixelNeon<Pool>;
#else
template <class Pool>
using PixelBody = PixelPortable<Pool>;
#endif

template <class Pool, template <class> class Pixel>
void pool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride, const float* in,
              int32_t pad_left, int32_t rows, int32_t kw)
{
    if (ow <= 0 || ch <= 0)
        return;
    const int64_t row = static_cast<int64_t>(iw) * ch;
    Pool pool{};
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        float* o = out + static_cast<int64_t>(ox) * ch;
        if (!pool.window(rows, b, e)) {
            for (int32_t c = 0; c < ch; ++c)
                o[c] = Pool::empty_value;
            continue;
        }
        Pixel<Pool>{}(o, in, row, ch, rows, b, e, pool);
    }
}

} // namespace
} // namespace kestrune

using namespace kestrune;

void maxpool_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t rows, int32_t kw)
{
    pool_f32<MaxPool, PixelPortable>(ow, ch, out, iw, stride, in, pad_left, rows, kw);
}

void avgpool_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t rows, int32_t kw)
{
    pool_f32<AvgPool, PixelPortable>(ow, ch, out, iw, stride, in, pad_left, rows, kw);
}

void kernel_maxpool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t, int32_t rows, int32_t kw)
{
    pool_f32<MaxPool, PixelBody>(ow, ch, out, iw, stride, in, pad_left, rows, kw);
}

void kernel_avgpool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t, int32_t rows, int32_t kw)
{
    pool_f32<AvgPool, PixelBody>(ow, ch, out, iw, stride, in, pad_left, rows, kw);
}

namespace kestrune {
namespace {

/* body(in) with in typed by the integer element type (INT8 .. UINT32);
 * called once per row. */
template <class Body>
void by_int_type(uint32_t type, const void* in, Body body)
{
    switch (type) {
    case NN_TYPE_I8: body(static_cast<const int8_t*>(in)); break;
    case NN_TYPE_U8: body(static_cast<const uint8_t*>(in)); break;
    case NN_TYPE_I16: body(static_cast<const int16_t*>(in)); break;
    case NN_TYPE_U16: body(static_cast<const uint16_t*>(in)); break;
    case NN_TYPE_I32: body(static_cast<const int32_t*>(in)); break;
    case NN_TYPE_U32: body(static_cast<const uint32_t*>(in)); break;
    default: break;
    }
}

/* fold(so far, value) over channel c of the window rows x [b, e), in 64 bits. */
template <typename T, class Fold>
inline int64_t window_fold(const T* in, int64_t row, int32_t ch, int32_t c, int32_t rows,
                           int32_t b, int32_t e, int64_t acc, Fold fold)
{
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t x = b; x < e; ++x)
            acc = fold(acc, static_cast<int64_t>(in[r * row + static_cast<int64_t>(x) * ch + c]));
    return acc;
}

#ifdef __ARM_NEON
/* Window sums of eight channels of 8-bit values from in (channel c of
 * column x of window row r at in[r * row + x * ch]) into sum: the taps added
 * in 16-bit lanes, at most 255 of them (|sum| <= 255 * 128 or 255 * 255) before
 * each widening into the 32-bit lanes.  Exact for windows below 2^23 taps. */
template <typename T>
inline void window_sum8(const T* in, int64_t row, int32_t ch, int32_t rows, int32_t b, int32_t e,
                        int32_t* sum)
{
    constexpr bool is_signed = std::is_signed<T>::value;
    int32x4_t lo = vdupq_n_s32(0), hi = vdupq_n_s32(0);
    int16x8_t part = vdupq_n_s16(0);
    int32_t taps = 0;
    const auto flush = [&]() __attribute__((always_inline)) {
        if (is_signed) {
            lo = vaddw_s16(lo, vget_low_s16(part));
            hi = vaddw_high_s16(hi, part);
        } else {
            const uint16x8_t u = vreinterpretq_u16_s16(part);
            lo = vreinterpretq_s32_u32(vaddw_u16(vreinterpretq_u32_s32(lo), vget_low_u16(u)));
            hi = vreinterpretq_s32_u32(vaddw_high_u16(vreinterpretq_u32_s32(hi), u));
        }
        part = vdupq_n_s16(0);
        taps = 0;
    };
    for (int32_t r = 0; r < rows; ++r) {
        const T* p = in + r * row + static_cast<int64_t>(b) * ch;
        for (int32_t x = b; x < e; ++x, p += ch) {
            if (is_signed)
                part = vaddw_s8(part, vld1_s8(reinterpret_cast<const int8_t*>(p)));
            else
                part = vreinterpretq_s16_u16(
                    vaddw_u8(vreinterpretq_u16_s16(part), vld1_u8(reinterpret_cast<const uint8_t*>(p))));
            if (++taps == 255)
                flush();
        }
    }
    flush();
    vst1q_s32(sum, lo);
    vst1q_s32(sum + 4, hi);
}
#endif

} // namespace
} // namespace kestrune

void kernel_maxpool_quant(int32_t ow, int32_t ch, void* out, int32_t iw, int32_t stride,
                          const void* in, int32_t pad_left, int32_t, int32_t rows, int32_t kw,
                          const nn_quant_params* in_q)
{
    const uint32_t type = in_q ? in_q->type : 0;
    if (ow <= 0 || ch <= 0)
        return;
    const int64_t row = static_cast<int64_t>(iw) * ch;
    by_int_type(type, in, [=](auto px) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(px)>>;
        T* o = static_cast<T*>(out);
        for (int32_t ox = 0; ox < ow; ++ox) {
            int32_t b, e;
            tap_range(ox, stride, pad_left, kw, iw, &b, &e);
            for (int32_t c = 0; c < ch; ++c) {
                /* the type's least value when the window is empty */
                const int64_t m = window_fold(px, row, ch, c, rows, b, e,
                                              std::numeric_limits<T>::min(),
                                              [](int64_t a, int64_t v) { return v > a ? v : a; });
                o[static_cast<int64_t>(ox) * ch + c] = static_cast<T>(m);
            }
        }
    });
}

void kernel_avgpool_quant(int32_t ow, int32_t ch, void* out, int32_t iw, int32_t stride,
                          const void* in, int32_t pad_left, int32_t, int32_t rows, int32_t kw,
                          const nn_quant_params* in_q, const nn_quant_params* out_q)
{
    const uint32_t type = in_q ? in_q->type : 0, out_type = out_q ? out_q->type : 0;
    if (ow <= 0 || ch <= 0)
        return;
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    const float m = quant_scale(in_q) / quant_scale(out_q);
    const bool rescale = !scales_close(fabsf(m - 1.0f));
    int32_t mult, shift;
    quantize_multiplier(&mult, &shift, m);
    const int64_t row = static_cast<int64_t>(iw) * ch;
    by_int_type(type, in, [=](auto px) {
        for (int32_t ox = 0; ox < ow; ++ox) {
            int32_t b, e;
            tap_range(ox, stride, pad_left, kw, iw, &b, &e);
            const int32_t n = rows > 0 ? rows * (e - b) : 0;
            const auto finish = [&](int32_t c, int64_t sum) __attribute__((always_inline)) {
                int64_t avg = n > 0 ? rounding_divide(saturate_i32(sum), n) : z_in;
                if (rescale)
                    avg = static_cast<int64_t>(z_out) +
                          apply_multiplier(saturate_i32(avg - z_in), mult, shift);
                quant_store(out, static_cast<size_t>(static_cast<int64_t>(ox) * ch + c), avg,
                            out_type);
            };
            int32_t c = 0;
#ifdef __ARM_NEON
            /* 8-bit values: eight channels' window sums in vector lanes */
            using T = std::remove_cv_t<std::remove_pointer_t<decltype(px)>>;
            if constexpr (sizeof(T) == 1)
                for (; c + 8 <= ch && n < (1 << 23); c += 8) {
                    int32_t sums[8];
                    window_sum8(px + c, row, ch, rows, b, e, sums);
                    for (int j = 0; j < 8; ++j)
                        finish(c + j, sums[j]);
                }
#else
            /* 8-bit values: sixteen channels' window sums, the taps' rows
             * read in order (the compiler's vector lanes) */
            using T = std::remove_cv_t<std::remove_pointer_t<decltype(px)>>;
            if constexpr (sizeof(T) == 1)
                for (; c + 16 <= ch && n < (1 << 23); c += 16) {
                    int32_t sums[16] = {};
                    for (int32_t r = 0; r < rows; ++r)
                        for (int32_t x = b; x < e; ++x) {
                            const T* p = px + r * row + static_cast<int64_t>(x) * ch + c;
                            for (int j = 0; j < 16; ++j)
                                sums[j] += p[j];
                        }
                    for (int j = 0; j < 16; ++j)
                        finish(c + j, sums[j]);
                }
#endif
            for (; c < ch; ++c)
                finish(c, window_fold(px, row, ch, c, rows, b, e, 0,
                                      [](int64_t a, int64_t v) { return a + v; }));
        }
    });
}
