/* Quantised depthwise rows: the per-tap accumulating kernels (general and
 * INT8 zero-point-free) and the 3x3 stride-1 whole-row kernels with their
 * output stage.  Integer sums are exact, so NEON and portable bodies agree;
 * the eight-lane float-scale stage rounds like NEON (ties to even, saturating
 * conversions) in both bodies. */
#include <stddef.h>

#include <type_traits>

#include "kernels/conv_kernels.h"
#include "kernels/conv_x86.h"
#include "kernels/cpu_isa.h"
#include "kernels/fixed_point.h"
#include "kernels/gemm_quant.h"
#include "kernels/windows.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace {

/* acc += (in - z_in) * (w - z_w) per tap, with each side in its own 8-bit
 * type. */
template <typename TIn, typename TW>
void taps_portable(int32_t ow, int32_t ch, int32_t* acc, int32_t iw, int32_t stride,
                   const TIn* in, int32_t pad_left, int32_t kw, int32_t dilation,
                   const TW* filter, int32_t z_in, int32_t z_w)
{
    each_dilated_tap(ow, stride, pad_left, kw, dilation, iw, [&](int32_t tap, int32_t x,
                                                                 int32_t col) {
        int32_t* a = acc + static_cast<size_t>(x) * static_cast<size_t>(ch);
        const TIn* p = in + static_cast<size_t>(col) * static_cast<size_t>(ch);
        const TW* w = filter + static_cast<size_t>(tap) * static_cast<size_t>(ch);
        for (int32_t c = 0; c < ch; ++c)
            a[c] = mac_zp(a[c], p[c], z_in, w[c], z_w);
    });
}

#ifdef __ARM_NEON
/* 16 widened lanes of 8-bit data, zero point subtracted. */
template <typename T>
inline void load16(const T* p, int16_t z, int16x8_t* lo, int16x8_t* hi)
{
    int16x8_t l, h;
    if constexpr (std::is_signed<T>::value) {
        const int8x16_t v = vld1q_s8(p);
        l = vmovl_s8(vget_low_s8(v));
        h = vmovl_s8(vget_high_s8(v));
    } else {
        const uint8x16_t v = vld1q_u8(p);
        l = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v)));
        h = vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(v)));
    }
    *lo = vsubq_s16(l, vdupq_n_s16(z));
    *hi = vsubq_s16(h, vdupq_n_s16(z));
}

inline void mac16(int32_t* a, int16x8_t xl, int16x8_t xh, int16x8_t yl, int16x8_t yh)
{
    vst1q_s32(a, vmlal_s16(vld1q_s32(a), vget_low_s16(xl), vget_low_s16(yl)));
    vst1q_s32(a + 4, vmlal_s16(vld1q_s32(a + 4), vget_high_s16(xl), vget_high_s16(yl)));
    vst1q_s32(a + 8, vmlal_s16(vld1q_s32(a + 8), vget_low_s16(xh), vget_low_s16(yh)));
    vst1q_s32(a + 12, vmlal_s16(vld1q_s32(a + 12), vget_high_s16(xh), vget_high_s16(yh)));
}

template <typename TIn, typename TW>
void taps_neon(int32_t ow, int32_t ch, int32_t* acc, int32_t iw, int32_t stride, const TIn* in,
               int32_t pad_left, int32_t kw, int32_t dilation, const TW* filter, int32_t z_in,
               int32_t z_w)
{
    each_dilated_tap(ow, stride, pad_left, kw, dilation, iw, [&](int32_t tap, int32_t x,
                                                                 int32_t col) {
        int32_t* a = acc + static_cast<size_t>(x) * static_cast<size_t>(ch);
        const TIn* p = in + static_cast<size_t>(col) * static_cast<size_t>(ch);
        const TW* w = filter + static_cast<size_t>(tap) * static_cast<size_t>(ch);
        int32_t c = 0;
        for (; c + 16 <= ch; c += 16) {
            int16x8_t xl, xh, yl, yh;
            load16(p + c, static_cast<int16_t>(z_in), &xl, &xh);
            load16(w + c, static_cast<int16_t>(z_w), &yl, &yh);
            mac16(a + c, xl, xh, yl, yh);
        }
        for (; c < ch; ++c)
            a[c] = mac_zp(a[c], p[c], z_in, w[c], z_w);
    });
}
#endif

/* body(in, filter) with the pointers typed by the records' types: INT8 reads
 * signed, every other type unsigned.  Called once per row. */
template <class Body>
void by_types(uint32_t in_type, uint32_t f_type, const void* in, const void* filter, Body body)
{
    const int8_t* si = static_cast<const int8_t*>(in);
    const uint8_t* ui = static_cast<const uint8_t*>(in);
    const int8_t* sf = static_cast<const int8_t*>(filter);
    const uint8_t* uf = static_cast<const uint8_t*>(filter);
    if (in_type == NN_TYPE_I8)
        f_type == NN_TYPE_I8 ? body(si, sf) : body(si, uf);
    else
        f_type == NN_TYPE_I8 ? body(ui, sf) : body(ui, uf);
}

} // namespace
} // namespace kestrune

using namespace kestrune;

/* ---- per-tap accumulation ---------------------------------------------- */

void depthwise_quant_general_portable(int32_t ow, int32_t ch, int32_t* acc, int32_t iw,
                                      int32_t stride, const void* in, int32_t pad_left,
                                      int32_t kw, int32_t dilation, const void* filter,
                                      uint32_t in_type, uint32_t f_type, int32_t z_in,
                                      int32_t z_w)
{
    by_types(in_type, f_type, in, filter, [=](auto x, auto w) {
        taps_portable(ow, ch, acc, iw, stride, x, pad_left, kw, dilation, w, z_in, z_w);
    });
}

void depthwise_quant_i8_portable(int32_t ow, int32_t ch, int32_t* acc, int32_t iw,
                                 int32_t stride, const int8_t* in, int32_t pad_left, int32_t kw,
                                 int32_t dilation, const int8_t* filter, int32_t z_in)
{
    taps_portable(ow, ch, acc, iw, stride, in, pad_left, kw, dilation, filter, z_in, 0);
}

#ifdef __ARM_NEON
/* Zero points whose adjusted 8-bit values fit 16-bit lanes. */
static int lane_zero_ok(int32_t z)
{
    return z >= -255 && z <= 255;
}
#endif

void kernel_depthwise_quant(int32_t ow, int32_t ch, int32_t* acc, int32_t iw, int32_t stride,
                            const void* in, int32_t pad_left, int32_t, int32_t kw,
                            int32_t dilation, const void* filter, const nn_quant_params* in_q,
                            const nn_quant_params* f_q)
{
    if (ow <= 0 || ch <= 0 || kw <= 0 || dilation <= 0 || !in_q || !f_q)
        return;
    const int32_t z_in = quant_zero(in_q), z_w = quant_zero(f_q);
    if (in_q->type == NN_TYPE_I8 && f_q->type == NN_TYPE_I8 && z_w == 0) {
        const int8_t* x = static_cast<const int8_t*>(in);
        const int8_t* w = static_cast<const int8_t*>(filter);
#ifdef __ARM_NEON
        if (lane_zero_ok(z_in)) {
            taps_neon(ow, ch, acc, iw, stride, x, pad_left, kw, dilation, w, z_in, 0);
            return;
        }
#endif
        taps_portable(ow, ch, acc, iw, stride, x, pad_left, kw, dilation, w, z_in, 0);
        return;
    }
#ifdef __ARM_NEON
    if (lane_zero_ok(z_in) && lane_zero_ok(z_w)) {
        by_types(in_q->type, f_q->type, in, filter, [=](auto x, auto w) {
            taps_neon(ow, ch, acc, iw, stride, x, pad_left, kw, dilation, w, z_in, z_w);
        });
        return;
    }
#endif
    depthwise_quant_general_portable(ow, ch, acc, iw, stride, in, pad_left, kw, dilation, filter,
                                     in_q->type, f_q->type, z_in, z_w);
}

/* ---- 3x3 stride-1 rows with the output stage --------------------------- */

static inline int32_t clamp_act(int32_t v, int32_t activation, int32_t q6)
{
    if ((activation == 1 || activation == 2) && v < 0)
        v = 0;
    if (activation == 2 && v > q6)
        v = q6;
    return v;
}

static inline int8_t store_i8(int32_t v, int32_t z)
{
    int64_t s = (int64_t)v + z;
    return (int8_t)(s < -128 ? -128 : s > 127 ? 127 : s);
}

/* The 3x3 sum of channel c at output column x (input columns from
 * x * stride - pad_left), plus its bias. */
static inline int32_t sum3x3(int32_t x, int32_t stride, int32_t c, int32_t ch, int32_t iw,
                             int32_t pad_left, int32_t rows, int32_t f0, const int8_t* in,
                             const int8_t* filter, const int32_t* bias, int32_t z_in)
{
    const size_t in_row = (size_t)iw * (size_t)ch;
    int32_t a = 0;
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t kx = 0; kx < 3; ++kx) {
            const int32_t col = x * stride + kx - pad_left;
            if (col < 0 || col >= iw)
                continue;
            a = mac_zp(a, in[(size_t)r * in_row + (size_t)col * (size_t)ch + c], z_in,
                       filter[((size_t)(f0 + r) * 3 + (size_t)kx) * (size_t)ch + c], 0);
        }
    return bias ? wrap_add(a, bias[c]) : a;
}

/* Per-channel float factors s_in * s_w[c] * (1 / s_out). */
static inline float rows_factor(const nn_quant_params* in_q, const nn_quant_params* f_q,
                                float inv, int32_t c)
{
    const float s_w = f_q && f_q->scales_count > 1 ? quant_scale_at(f_q, (size_t)c)
                                                   : quant_scale(f_q);
    return quant_scale(in_q) * s_w * inv;
}

void depthwise_quant_rows8_portable(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                    int32_t pad_left, int32_t rows, int32_t edge,
                                    const int8_t* in, const int8_t* filter, const int32_t* bias,
                                    int32_t activation, const nn_quant_params* out_q,
                                    const nn_quant_params* in_q, const nn_quant_params* f_q)
{
    const int32_t f0 = edge == 1 ? 3 - rows : 0;
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    const int32_t q6 = gemm_quant_q6(out_q);
    const float inv = 1.0f / quant_scale(out_q);
    for (int32_t x = 0; x < ow; ++x)
        for (int32_t c = 0; c < ch; ++c) {
            int32_t a = sum3x3(x, 1, c, ch, iw, pad_left, rows, f0, in, filter, bias, z_in);
            int32_t r = round_even_to_i32((float)a * rows_factor(in_q, f_q, inv, c));
            out[(size_t)x * (size_t)ch + c] = store_i8(clamp_act(r, activation, q6), z_out);
        }
}

#ifdef __ARM_NEON
static void depthwise_quant_rows8_neon(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                       int32_t pad_left, int32_t rows, int32_t edge,
                                       const int8_t* in, const int8_t* filter,
                                       const int32_t* bias, int32_t activation,
                                       const nn_quant_params* out_q, const nn_quant_params* in_q,
                                       const nn_quant_params* f_q)
{
    const int32_t f0 = edge == 1 ? 3 - rows : 0;
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    const int32_t q6 = gemm_quant_q6(out_q);
    const float inv = 1.0f / quant_scale(out_q);
    const size_t in_row = (size_t)iw * (size_t)ch;
    const int16x8_t vzin = vdupq_n_s16((int16_t)z_in);
    const int32x4_t vzero = vdupq_n_s32(0), vq6 = vdupq_n_s32(q6), vzout = vdupq_n_s32(z_out);
    for (int32_t c = 0; c < ch; c += 8) {
        float f[8];
        for (int j = 0; j < 8; ++j)
            f[j] = rows_factor(in_q, f_q, inv, c + j);
        const float32x4_t f_lo = vld1q_f32(f), f_hi = vld1q_f32(f + 4);
        for (int32_t x = 0; x < ow; ++x) {
            int32x4_t lo = vdupq_n_s32(0), hi = vdupq_n_s32(0);
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t kx = 0; kx < 3; ++kx) {
                    const int32_t col = x + kx - pad_left;
                    if (col < 0 || col >= iw)
                        continue;
                    int16x8_t xv = vsubq_s16(
                        vmovl_s8(vld1_s8(in + (size_t)r * in_row + (size_t)col * (size_t)ch + c)),
                        vzin);
                    int16x8_t wv = vmovl_s8(
                        vld1_s8(filter + ((size_t)(f0 + r) * 3 + (size_t)kx) * (size_t)ch + c));
                    lo = vmlal_s16(lo, vget_low_s16(xv), vget_low_s16(wv));
                    hi = vmlal_s16(hi, vget_high_s16(xv), vget_high_s16(wv));
                }
            if (bias) {
                lo = vaddq_s32(lo, vld1q_s32(bias + c));
                hi = vaddq_s32(hi, vld1q_s32(bias + c + 4));
            }
            int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(lo), f_lo));
            int32x4_t r1 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(hi), f_hi));
            if (activation == 1 || activation == 2) {
                r0 = vmaxq_s32(r0, vzero);
                r1 = vmaxq_s32(r1, vzero);
            }
            if (activation == 2) {
                r0 = vminq_s32(r0, vq6);
                r1 = vminq_s32(r1, vq6);
            }
            r0 = vqaddq_s32(r0, vzout);
            r1 = vqaddq_s32(r1, vzout);
            int16x8_t h = vcombine_s16(vqmovn_s32(r0), vqmovn_s32(r1));
            vst1_s8(out + (size_t)x * (size_t)ch + c, vqmovn_s16(h));
        }
    }
}
#endif

void depthwise_quant_rows_scalar(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias, int32_t activation,
                                 const nn_quant_params* out_q, const nn_quant_params* in_q,
                                 const int32_t* multipliers, const int32_t* shifts)
{
    const int32_t f0 = edge == 1 ? 3 - rows : 0;
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    const int32_t q6 = gemm_quant_q6(out_q);
    for (int32_t x = 0; x < ow; ++x)
        for (int32_t c = 0; c < ch; ++c) {
            int32_t a = sum3x3(x, 1, c, ch, iw, pad_left, rows, f0, in, filter, bias, z_in);
            int32_t v = apply_multiplier(a, multipliers[c], shifts[c]);
            out[(size_t)x * (size_t)ch + c] = store_i8(clamp_act(v, activation, q6), z_out);
        }
}

void kernel_depthwise_quant_rows(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                 int32_t pad_left, int32_t pad_right, int32_t rows, int32_t edge,
                                 const int8_t* in, const int8_t* filter, const int32_t* bias,
                                 int32_t activation, const nn_quant_params* out_q,
                                 const nn_quant_params* in_q, const nn_quant_params* f_q,
                                 const int32_t* multipliers, const int32_t* shifts)
{
    (void)pad_right;
    if (ow <= 0 || ch <= 0 || rows <= 0)
        return;
    if (ch % 8 == 0) {
#ifdef __ARM_NEON
        if (lane_zero_ok(quant_zero(in_q))) {
            depthwise_quant_rows8_neon(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias,
                                       activation, out_q, in_q, f_q);
            return;
        }
#endif
        depthwise_quant_rows8_portable(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias,
                                       activation, out_q, in_q, f_q);
        return;
    }
    if (!multipliers || !shifts)
        return;
    depthwise_quant_rows_scalar(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias,
                                activation, out_q, in_q, multipliers, shifts);
}

/* ---- 3x3 rows of stride 1 or 2 with the caller's output stage ---------- */

/* Channel c's accumulator through the stage's rule into an INT8 value. */
static inline int8_t stage_one(int32_t a, int32_t c, const depthwise_i8_stage* st)
{
    const int32_t v = c < st->float_channels
                          ? round_even_to_i32((float)a * st->factors[c])
                          : apply_multiplier(a, st->multipliers[c], st->shifts[c]);
    return store_i8(clamp_act(v, st->activation, st->q6), st->z_out);
}

void depthwise3x3_i8_rows_portable(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                   int32_t stride, int32_t pad_left, int32_t rows, int32_t edge,
                                   const int8_t* in, const int8_t* filter, const int32_t* bias,
                                   const depthwise_i8_stage* st)
{
    const int32_t f0 = edge == 1 ? 3 - rows : 0;
    for (int32_t x = 0; x < ow; ++x)
        for (int32_t c = 0; c < ch; ++c) {
            const int32_t a =
                sum3x3(x, stride, c, ch, iw, pad_left, rows, f0, in, filter, bias, st->z_in);
            out[(size_t)x * (size_t)ch + c] = stage_one(a, c, st);
        }
}

#ifdef __ARM_NEON
namespace {

/* The eight-lane output stage: the float rule in 16-bit lanes after the
 * saturating narrowing (the clamps and the zero point of an INT8 output,
 * |z_out| <= 128, give the same bytes there as in 32 bits), or the pairs
 * lane by lane. */
struct Stage8 {
    const depthwise_i8_stage* st;
    int16x8_t zero, q6, z_out;

    explicit Stage8(const depthwise_i8_stage* s)
        : st(s), zero(vdupq_n_s16(0)),
          q6(vdupq_n_s16((int16_t)(s->q6 > 32767 ? 32767 : s->q6 < -32768 ? -32768 : s->q6))),
          z_out(vdupq_n_s16((int16_t)s->z_out))
    {
    }

    inline void by_rule(int8_t* o, int32_t c, int32x4_t lo, int32x4_t hi) const
    {
        int32_t a[8];
        vst1q_s32(a, lo);
        vst1q_s32(a + 4, hi);
        for (int j = 0; j < 8; ++j)
            o[j] = stage_one(a[j], c + j, st);
    }
};

/* x - z_in of eight INT8 values in 16-bit lanes (|z_in| <= 128). */
/* The float rule of eight accumulators into o (stage constants as values:
 * the stores through int8_t pointers would otherwise reload them). */
template <int Act>
inline void by_factors(int8_t* o, int32x4_t lo, int32x4_t hi, float32x4_t f_lo, float32x4_t f_hi,
                       int16x8_t zero, int16x8_t q6, int16x8_t z_out)
{
    const int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(lo), f_lo));
    const int32x4_t r1 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(hi), f_hi));
    int16x8_t h = vqmovn_high_s32(vqmovn_s32(r0), r1);
    if (Act == 1 || Act == 2)
        h = vmaxq_s16(h, zero);
    if (Act == 2)
        h = vminq_s16(h, q6);
    vst1_s8(o, vqmovn_s16(vqaddq_s16(h, z_out)));
}

inline int16x8_t col8(const int8_t* p, int8x8_t z)
{
    return vsubl_s8(vld1_s8(p), z);
}

/* lo, hi += x * w lane by lane (eight products widened to 32 bits).  On
 * aarch64 written out: GCC otherwise keeps the low halves of the window
 * and the taps as values of their own, which crowds out the registers of
 * the 3x3 interior and spills them. */
inline __attribute__((always_inline)) void tap8(int32x4_t* lo, int32x4_t* hi, int16x8_t x,
                                                int16x8_t w)
{
#ifdef __aarch64__
    __asm__("smlal %0.4s, %2.4h, %3.4h\n\tsmlal2 %1.4s, %2.8h, %3.8h"
            : "+w"(*lo), "+w"(*hi)
            : "w"(x), "w"(w));
#else
    *lo = vmlal_s16(*lo, vget_low_s16(x), vget_low_s16(w));
    *hi = vmlal_high_s16(*hi, x, w);
#endif
}

/* One pixel of eight channels at output column x with the taps inside the
 * row only: the border columns and the windows of fewer than three rows. */
inline void border_pixel(int32x4_t* lo, int32x4_t* hi, int32_t x, int32_t c, int32_t ch,
                         int32_t iw, int32_t stride, int32_t pad_left, int32_t rows, int32_t f0,
                         const int8_t* in, const int8_t* filter, int8x8_t z)
{
    const size_t in_row = (size_t)iw * (size_t)ch;
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t kx = 0; kx < 3; ++kx) {
            const int32_t col = x * stride + kx - pad_left;
            if (col < 0 || col >= iw)
                continue;
            const int16x8_t xv = col8(in + (size_t)r * in_row + (size_t)col * (size_t)ch + c, z);
            tap8(lo, hi, xv,
                 vmovl_s8(vld1_s8(filter + ((size_t)(f0 + r) * 3 + (size_t)kx) * (size_t)ch + c)));
        }
}

/* The output rule of one block of eight channels from c (bias, factors and
 * stage constants held as values). */
template <int Act, bool Factors>
struct Finish8 {
    int32x4_t b_lo, b_hi;
    float32x4_t f_lo, f_hi;
    int16x8_t zero, q6, z_out;
    const Stage8* stage;
    int32_t c;

    Finish8(const Stage8& st, const int32_t* bias, int32_t c0)
        : b_lo(bias ? vld1q_s32(bias + c0) : vdupq_n_s32(0)),
          b_hi(bias ? vld1q_s32(bias + c0 + 4) : vdupq_n_s32(0)), f_lo(vdupq_n_f32(0.0f)),
          f_hi(f_lo), zero(st.zero), q6(st.q6), z_out(st.z_out), stage(&st), c(c0)
    {
        if (Factors) {
            f_lo = vld1q_f32(st.st->factors + c0);
            f_hi = vld1q_f32(st.st->factors + c0 + 4);
        }
    }

    /* the accumulators already hold the bias */
    inline __attribute__((always_inline)) void store(int8_t* o, int32x4_t lo, int32x4_t hi) const
    {
        if (Factors)
            by_factors<Act>(o, lo, hi, f_lo, f_hi, zero, q6, z_out);
        else
            stage->by_rule(o, c, lo, hi);
    }
};

/* Output columns [x, x_end) of one block tap by tap, the taps inside the row
 * only: the border columns and the windows of fewer than three rows.  Out of
 * line, so that the interior keeps its registers. */
template <int S, int Act, bool Factors>
__attribute__((noinline)) void border_pixels(int8_t* out, int32_t x, int32_t x_end, int32_t c,
                                             int32_t ch, int32_t iw, int32_t pad_left,
                                             int32_t rows, int32_t f0, const int8_t* in,
                                             const int8_t* filter, const int32_t* bias,
                                             const Stage8& stage)
{
    const int8x8_t z = vdup_n_s8((int8_t)stage.st->z_in);
    const Finish8<Act, Factors> fin(stage, bias, c);
    for (; x < x_end; ++x) {
        int32x4_t lo = fin.b_lo, hi = fin.b_hi;
        border_pixel(&lo, &hi, x, c, ch, iw, S, pad_left, rows, f0, in, filter, z);
        fin.store(out + (size_t)x * (size_t)ch + c, lo, hi);
    }
}

/* One block of eight channels from c over the whole row: the interior
 * [x0, x1) with the nine taps in registers and each input column loaded
 * once per row, slid along it; the border pixels tap by tap (without an
 * interior, or with a tap of -128).  The interior takes the input values as
 * they are and the input zero point through the bias: Σ (x - z_in)·w + b =
 * Σ x·w + (b - z_in·Σ w), exact in wrapping 32-bit sums, which leaves the
 * window, the taps and the stage in registers; where no tap of the block is
 * -128 the products are formed in 8 bits, two per 16-bit lane, and the
 * border pixels take the same body. */
template <int S, int Act, bool Factors>
inline __attribute__((always_inline)) void block8(int8_t* out, int32_t ow, int32_t x0, int32_t x1, int32_t c,
                                      int32_t ch, int32_t iw, int32_t pad_left, int32_t rows,
                                      int32_t f0, const int8_t* in, const int8_t* filter,
                                      const int32_t* bias, const Stage8& stage)
{
    const size_t cs = (size_t)ch;
    const auto borders = [&]() {
        if (x0 > 0)
            border_pixels<S, Act, Factors>(out, 0, x0 < ow ? x0 : ow, c, ch, iw, pad_left, rows,
                                           f0, in, filter, bias, stage);
        const int32_t xb = x1 > x0 ? x1 : x0;
        if (xb < ow)
            border_pixels<S, Act, Factors>(out, xb, ow, c, ch, iw, pad_left, rows, f0, in,
                                           filter, bias, stage);
    };
    if (x0 >= x1) {
        borders();
        return;
    }
    {
        Finish8<Act, Factors> fin(stage, bias, c);
        const int8_t* w = filter + c;
        const size_t in_row = (size_t)iw * cs;
        /* A window cut at the top or bottom (filter rows f0 .. f0+rows-1
         * over the input rows): the missing rows' taps are zero and their
         * columns read from the first input row. */
        const int8_t* first = in + (size_t)(x0 * S - pad_left) * cs + c;
        const auto has = [&](int r) { return r >= f0 && r < f0 + rows; };
        const auto row = [&](int r) { return has(r) ? first + (size_t)(r - f0) * in_row : first; };
        const auto tap = [&](int t) {
            return has(t / 3) ? vld1_s8(w + (size_t)t * cs) : vdup_n_s8(0);
        };
        const int8_t* p0 = row(0);
        const int8_t* p1 = row(1);
        const int8_t* p2 = row(2);
        int8_t* o = out + (size_t)x0 * cs + c;
        const int8x8_t v0 = tap(0), v1 = tap(1), v2 = tap(2), v3 = tap(3), v4 = tap(4),
                       v5 = tap(5), v6 = tap(6), v7 = tap(7), v8 = tap(8);
        /* whole windows: the bias less z_in·Σ w and the -128 check once per
         * layer where the stage has them */
        const bool prepared = rows == 3 && stage.st->bias_in && stage.st->narrow;
        if (prepared) {
            fin.b_lo = vld1q_s32(stage.st->bias_in + c);
            fin.b_hi = vld1q_s32(stage.st->bias_in + c + 4);
        } else {
            /* |Σ w| <= 9·128 and |z_in| <= 128: the product fits 32 bits */
            const int16x8_t sum = vaddw_s8(
                vaddq_s16(vaddq_s16(vaddl_s8(v0, v1), vaddl_s8(v2, v3)),
                          vaddq_s16(vaddl_s8(v4, v5), vaddl_s8(v6, v7))),
                v8);
            const int16x8_t zv = vdupq_n_s16((int16_t)stage.st->z_in);
            fin.b_lo = vmlsl_s16(fin.b_lo, vget_low_s16(sum), vget_low_s16(zv));
            fin.b_hi = vmlsl_high_s16(fin.b_hi, sum, zv);
        }
        /* the stage as values of this frame: the stores through int8_t
         * pointers would otherwise have them reloaded */
        const int32x4_t b_lo = fin.b_lo, b_hi = fin.b_hi;
        const float32x4_t f_lo = fin.f_lo, f_hi = fin.f_hi;
        const int16x8_t zero = fin.zero, q6 = fin.q6, z_out = fin.z_out;
        const auto store = [&](int8_t* to, int32x4_t lo, int32x4_t hi)
                               __attribute__((always_inline)) {
            if (Factors)
                by_factors<Act>(to, lo, hi, f_lo, f_hi, zero, q6, z_out);
            else
                stage.by_rule(to, c, lo, hi);
        };
        const auto narrow = [&]() {
            if (prepared)
                return stage.st->narrow[c / 8] != 0;
            const int8x8_t least = vmin_s8(vmin_s8(vmin_s8(v0, v1), vmin_s8(v2, v3)),
                                           vmin_s8(vmin_s8(vmin_s8(v4, v5), vmin_s8(v6, v7)), v8));
            return vminv_s8(least) != -128;
        };
        if (narrow()) {
            /* No tap is -128: |x·w| <= 128·127, so two 8-bit products add
             * up within a 16-bit lane, and the sums are widened into the
             * accumulators started at the bias. */
            const auto pixel = [&](int8x8_t a0, int8x8_t a1, int8x8_t a2, int8x8_t b0,
                                   int8x8_t b1, int8x8_t b2, int8x8_t c0, int8x8_t c1,
                                   int8x8_t c2) __attribute__((always_inline)) {
                const int16x8_t s0 = vmlal_s8(vmull_s8(a0, v0), a1, v1);
                const int16x8_t s1 = vmlal_s8(vmull_s8(a2, v2), b0, v3);
                const int16x8_t s2 = vmlal_s8(vmull_s8(b1, v4), b2, v5);
                const int16x8_t s3 = vmlal_s8(vmull_s8(c0, v6), c1, v7);
                const int16x8_t s4 = vmull_s8(c2, v8);
                int32x4_t lo = vaddw_s16(b_lo, vget_low_s16(s0));
                int32x4_t hi = vaddw_high_s16(b_hi, s0);
                lo = vaddw_s16(lo, vget_low_s16(s1));
                hi = vaddw_high_s16(hi, s1);
                lo = vaddw_s16(lo, vget_low_s16(s2));
                hi = vaddw_high_s16(hi, s2);
                lo = vaddw_s16(lo, vget_low_s16(s3));
                hi = vaddw_high_s16(hi, s3);
                lo = vaddw_s16(lo, vget_low_s16(s4));
                hi = vaddw_high_s16(hi, s4);
                store(o, lo, hi);
                o += cs;
            };
            /* A border pixel through the same body: a column outside the
             * row reads as the input zero point, whose products the bias
             * takes back. */
            const int8x8_t zc = vdup_n_s8((int8_t)stage.st->z_in);
            const auto border = [&](int32_t x) {
                int8x8_t v[9];
                for (int kx = 0; kx < 3; ++kx) {
                    const int32_t col = x * S + kx - pad_left;
                    const bool inside = col >= 0 && col < iw;
                    const ptrdiff_t at = ((ptrdiff_t)col - (x0 * S - pad_left)) * (ptrdiff_t)cs;
                    v[kx] = inside ? vld1_s8(p0 + at) : zc;
                    v[3 + kx] = inside ? vld1_s8(p1 + at) : zc;
                    v[6 + kx] = inside ? vld1_s8(p2 + at) : zc;
                }
                o = out + (size_t)x * cs + c;
                pixel(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]);
            };
            for (int32_t x = 0; x < x0; ++x)
                border(x);
            o = out + (size_t)x0 * cs + c;
            slide_3x3<S>(x1 - x0, p0, p1, p2, cs,
                         [](const int8_t* p) __attribute__((always_inline)) {
                             return vld1_s8(p);
                         },
                         pixel);
            for (int32_t x = x1; x < ow; ++x)
                border(x);
        } else {
            borders();
            const int16x8_t w0 = vmovl_s8(v0), w1 = vmovl_s8(v1), w2 = vmovl_s8(v2),
                            w3 = vmovl_s8(v3), w4 = vmovl_s8(v4), w5 = vmovl_s8(v5),
                            w6 = vmovl_s8(v6), w7 = vmovl_s8(v7), w8 = vmovl_s8(v8);
            const auto pixel = [&](int16x8_t a0, int16x8_t a1, int16x8_t a2, int16x8_t b0,
                                   int16x8_t b1, int16x8_t b2, int16x8_t c0, int16x8_t c1,
                                   int16x8_t c2) __attribute__((always_inline)) {
                int32x4_t lo = b_lo, hi = b_hi;
                tap8(&lo, &hi, a0, w0);
                tap8(&lo, &hi, a1, w1);
                tap8(&lo, &hi, a2, w2);
                tap8(&lo, &hi, b0, w3);
                tap8(&lo, &hi, b1, w4);
                tap8(&lo, &hi, b2, w5);
                tap8(&lo, &hi, c0, w6);
                tap8(&lo, &hi, c1, w7);
                tap8(&lo, &hi, c2, w8);
                store(o, lo, hi);
                o += cs;
            };
            slide_3x3<S>(x1 - x0, p0, p1, p2, cs,
                         [](const int8_t* p) __attribute__((always_inline)) {
                             return vmovl_s8(vld1_s8(p));
                         },
                         pixel);
        }
    }
}

/* Blocks of eight channels [c, c_end) over the whole row, one call per
 * row: the call and the row's constants are not paid per block. */
template <int S, int Act, bool Factors>
__attribute__((noinline)) void blocks8(int8_t* out, int32_t ow, int32_t x0, int32_t x1,
                                       int32_t c, int32_t c_end, int32_t ch, int32_t iw,
                                       int32_t pad_left, int32_t rows, int32_t f0,
                                       const int8_t* in, const int8_t* filter,
                                       const int32_t* bias, const Stage8& stage)
{
    for (; c < c_end; c += 8)
        block8<S, Act, Factors>(out, ow, x0, x1, c, ch, iw, pad_left, rows, f0, in, filter, bias,
                                stage);
}

template <int S>
void rows_neon(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t pad_left, int32_t rows,
               int32_t edge, const int8_t* in, const int8_t* filter, const int32_t* bias,
               const depthwise_i8_stage* st)
{
    const int32_t f0 = edge == 1 ? 3 - rows : 0;
    /* interior columns: the window's columns inside the row */
    int32_t x0 = ow, x1 = ow;
    if (iw >= 3) {
        x0 = (pad_left + S - 1) / S;
        const int32_t last = (iw - 3 + pad_left) / S;
        x1 = last + 1 < ow ? last + 1 : ow;
        if (x0 > x1)
            x0 = x1 = ow;
    }
    const Stage8 stage(st);
    const int32_t act = st->activation == 1 || st->activation == 2 ? st->activation : 0;
    const int32_t c8 = ch / 8 * 8;
    /* the blocks by factors, then those by the pairs */
    const int32_t cf = st->float_channels < c8 ? st->float_channels / 8 * 8 : c8;
    const auto run = [&](auto a) __attribute__((always_inline)) {
        if (cf > 0)
            blocks8<S, a(), true>(out, ow, x0, x1, 0, cf, ch, iw, pad_left, rows, f0, in, filter,
                                  bias, stage);
        if (cf < c8)
            blocks8<S, a(), false>(out, ow, x0, x1, cf, c8, ch, iw, pad_left, rows, f0, in,
                                   filter, bias, stage);
    };
    if (act == 1)
        run(std::integral_constant<int, 1>{});
    else if (act == 2)
        run(std::integral_constant<int, 2>{});
    else
        run(std::integral_constant<int, 0>{});
    for (int32_t x = 0; x < ow && c8 < ch; ++x)
        for (int32_t c = c8; c < ch; ++c) {
            const int32_t a = sum3x3(x, S, c, ch, iw, pad_left, rows, f0, in, filter, bias,
                                     st->z_in);
            out[(size_t)x * (size_t)ch + c] = stage_one(a, c, st);
        }
}

} // namespace
#endif

int8_t depthwise_i8_stage_one(int32_t a, int32_t c, const depthwise_i8_stage* st)
{
    return stage_one(a, c, st);
}

int kernel_depthwise3x3_i8_reads_prepared(void)
{
#ifdef __ARM_NEON
    return 1;
#else
    return 0;
#endif
}

void kernel_depthwise3x3_i8_prepare(int32_t ch, const int8_t* filter, const int32_t* bias,
                                    int32_t z_in, int32_t* bias_in, uint8_t* narrow)
{
    for (int32_t c = 0; c < ch; ++c) {
        int32_t sum = 0;
        for (int t = 0; t < 9; ++t)
            sum += filter[(size_t)t * (size_t)ch + (size_t)c];
        /* wrapping, as the accumulators */
        bias_in[c] = (int32_t)((uint32_t)(bias ? bias[c] : 0) - (uint32_t)(z_in * sum));
    }
    for (int32_t b = 0; b < ch / 8; ++b) {
        uint8_t ok = 1;
        for (int t = 0; t < 9; ++t)
            for (int32_t j = 0; j < 8; ++j)
                if (filter[(size_t)t * (size_t)ch + (size_t)(b * 8 + j)] == -128)
                    ok = 0;
        narrow[b] = ok;
    }
}

int kernel_depthwise3x3_i8_rows_available(void)
{
#ifdef __ARM_NEON
    return 1;
#elif defined(__x86_64__)
    return cpu_isa_avx2();
#else
    return 0;
#endif
}

void kernel_depthwise3x3_i8_rows(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias,
                                 const depthwise_i8_stage* st)
{
    if (ow <= 0 || ch <= 0 || rows <= 0 || rows > 3 || stride < 1 || stride > 2 || !st)
        return;
#ifdef __ARM_NEON
    if (st->z_in >= -128 && st->z_in <= 127 && st->z_out >= -128 && st->z_out <= 127) {
        if (stride == 1)
            rows_neon<1>(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias, st);
        else
            rows_neon<2>(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias, st);
        return;
    }
#elif defined(__x86_64__)
    if (cpu_isa_avx2() && st->z_in >= -128 && st->z_in <= 127 && st->z_out >= -128 &&
        st->z_out <= 127) {
        if (cpu_isa_avx512())
            depthwise3x3_i8_rows_avx512(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                        bias, st);
        else
            depthwise3x3_i8_rows_avx2(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                      bias, st);
        return;
    }
#endif
    depthwise3x3_i8_rows_portable(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter, bias,
                                  st);
}
