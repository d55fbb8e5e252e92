/* Quantised GEMM: the driver and its kernels.  Products of raw 8-bit values
 * are formed in 16 bits, one product per lane, and widened to 32 bits before
 * a second one is added; zero-point-adjusted values (up to 9 bits) multiply
 * 16×16 -> 32. */
#include "kernels/gemm_quant.h"

#include <stddef.h>

#include "kernels/fixed_point.h"
#include "kernels/gemm_simd.h"

using namespace kestrune::simd;

#define INL static inline __attribute__((always_inline))

/* ---- shared helpers --------------------------------------------------- */

/* The fused clamp every quantised kernel applies before adding z_out. */
INL int32_t clamp_act(int32_t v, int32_t activation, int32_t q6)
{
    if (activation == 1 || activation == 2)
        v = v < 0 ? 0 : v;
    if (activation == 2)
        v = v > q6 ? q6 : v;
    return v;
}

INL int32_t requant(int32_t acc, int32_t m, int32_t e, int32_t activation, int32_t q6)
{
    return clamp_act(apply_multiplier(acc, m, e), activation, q6);
}

INL int8_t store_i8(int32_t v, int32_t z_out)
{
    int64_t s = (int64_t)v + z_out;
    return (int8_t)(s < -128 ? -128 : s > 127 ? 127 : s);
}

INL uint8_t store_u8(int32_t v, int32_t z_out)
{
    int64_t s = (int64_t)v + z_out;
    return (uint8_t)(s < 0 ? 0 : s > 255 ? 255 : s);
}

/* acc − z_in·rz[j] + (bias ? bias[j] − z_b : 0), wrapping like the 32-bit sum. */
INL int32_t correct(int32_t acc, int32_t z_in, const int32_t* rz, int j, const int32_t* bias,
                    int32_t z_b)
{
    int64_t s = (int64_t)acc - (int64_t)z_in * (rz ? rz[j] : 0);
    if (bias)
        s += (int64_t)bias[j] - z_b;
    return (int32_t)(uint32_t)(uint64_t)s;
}

int32_t gemm_quant_q6(const nn_quant_params* out_q)
{
    int32_t m = 0, e = 0;
    quantize_multiplier(&m, &e, 1.0f / quant_scale(out_q));
    return apply_multiplier(6, m, e);
}

/* Σ a[k]·b[k] over raw signed bytes. */
INL int32_t dot_i8_8(const int8_t* a, const int8_t* b, int32_t K)
{
    v_i32 acc = dup(0);
    int32_t k = 0;
    for (; k + 8 <= K; k += 8)
        acc = vi32_dot2_i8(acc, widen8(a + k), widen8(b + k));
    int32_t s = vi32_sum(acc);
    for (; k < K; ++k)
        s = wrap_add(s, (int32_t)a[k] * b[k]);
    return s;
}

/* ---- gemm_i8_t: 2 rows × 2 columns of dot products, k 16 at a time ----- */

INL void dot_2x2_i8(const int8_t* a0, const int8_t* a1, const int8_t* b0, const int8_t* b1,
                    int32_t K, int32_t out[4])
{
    v_i32 s00 = dup(0), s01 = dup(0), s10 = dup(0), s11 = dup(0);
    int32_t k = 0;
    for (; k + 16 <= K; k += 16) {
        v_i16 x0l, x0h, x1l, x1h, y0l, y0h, y1l, y1h;
        vi8_split(load(a0 + k), &x0l, &x0h);
        vi8_split(load(a1 + k), &x1l, &x1h);
        vi8_split(load(b0 + k), &y0l, &y0h);
        vi8_split(load(b1 + k), &y1l, &y1h);
        s00 = vi32_dot2_i8(vi32_dot2_i8(s00, x0l, y0l), x0h, y0h);
        s01 = vi32_dot2_i8(vi32_dot2_i8(s01, x0l, y1l), x0h, y1h);
        s10 = vi32_dot2_i8(vi32_dot2_i8(s10, x1l, y0l), x1h, y0h);
        s11 = vi32_dot2_i8(vi32_dot2_i8(s11, x1l, y1l), x1h, y1h);
    }
    int32_t r00 = vi32_sum(s00), r01 = vi32_sum(s01), r10 = vi32_sum(s10), r11 = vi32_sum(s11);
    for (; k < K; ++k) {
        r00 = wrap_add(r00, (int32_t)a0[k] * b0[k]);
        r01 = wrap_add(r01, (int32_t)a0[k] * b1[k]);
        r10 = wrap_add(r10, (int32_t)a1[k] * b0[k]);
        r11 = wrap_add(r11, (int32_t)a1[k] * b1[k]);
    }
    out[0] = r00;
    out[1] = r01;
    out[2] = r10;
    out[3] = r11;
}

INL int32_t dot_i8_16(const int8_t* a, const int8_t* b, int32_t K)
{
    v_i32 acc = dup(0);
    int32_t k = 0;
    for (; k + 16 <= K; k += 16) {
        v_i16 xl, xh, yl, yh;
        vi8_split(load(a + k), &xl, &xh);
        vi8_split(load(b + k), &yl, &yh);
        acc = vi32_dot2_i8(vi32_dot2_i8(acc, xl, yl), xh, yh);
    }
    int32_t s = vi32_sum(acc);
    for (; k < K; ++k)
        s = wrap_add(s, (int32_t)a[k] * b[k]);
    return s;
}

#define I8_OUT(i, j, dot)                                                                    \
    C[(size_t)(i) * (size_t)N + (j)] =                                                       \
        store_i8(requant(correct((dot), z_in, reduce_zero, (j), bias, z_b), multipliers[j], \
                         shifts[j], activation, q6),                                          \
                 z_out)

void gemm_i8_t(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_out,
               int32_t z_b, int32_t q6)
{
    int32_t i = 0;
    for (; i + 2 <= M; i += 2) {
        const int8_t* a0 = A + (size_t)i * (size_t)K;
        const int8_t* a1 = a0 + K;
        int32_t j = 0;
        for (; j + 2 <= N; j += 2) {
            int32_t d[4];
            const int8_t* b0 = B + (size_t)j * (size_t)K;
            dot_2x2_i8(a0, a1, b0, b0 + K, K, d);
            I8_OUT(i, j, d[0]);
            I8_OUT(i, j + 1, d[1]);
            I8_OUT(i + 1, j, d[2]);
            I8_OUT(i + 1, j + 1, d[3]);
        }
        if (j < N) {
            const int8_t* b0 = B + (size_t)j * (size_t)K;
            I8_OUT(i, j, dot_i8_16(a0, b0, K));
            I8_OUT(i + 1, j, dot_i8_16(a1, b0, K));
        }
    }
    if (i < M) {
        const int8_t* a0 = A + (size_t)i * (size_t)K;
        for (int32_t j = 0; j < N; ++j)
            I8_OUT(i, j, dot_i8_16(a0, B + (size_t)j * (size_t)K, K));
    }
}

void gemm_i8_t_row(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
                   int32_t activation, int32_t M, int32_t N, int32_t K,
                   const int32_t* multipliers, const int32_t* shifts,
                   const int32_t* reduce_zero, int32_t z_in, int32_t z_out, int32_t z_b,
                   int32_t q6)
{
    for (int32_t i = 0; i < M; ++i) {
        const int8_t* a = A + (size_t)i * (size_t)K;
        for (int32_t j = 0; j < N; ++j)
            I8_OUT(i, j, dot_i8_8(a, B + (size_t)j * (size_t)K, K));
    }
}

/* ---- gemm_u8_t: Σ A·(B − z_w), k 8 at a time ----------------------------- */

INL int32_t dot_u8_zw(const uint8_t* a, const uint8_t* b, int32_t K, int32_t z_w)
{
    v_i32 lo = dup(0), hi = dup(0);
    const v_i16 zw = dup((int16_t)z_w);
    int32_t k = 0;
    for (; k + 8 <= K; k += 8) {
        v_i16 x = widen8(a + k);
        v_i16 y = vi16_sub(widen8(b + k), zw);
        lo = vi32_mlal_lo(lo, x, y);
        hi = vi32_mlal_hi(hi, x, y);
    }
    int32_t s = vi32_sum(vi32_add(lo, hi));
    for (; k < K; ++k)
        s = wrap_add(s, (int32_t)a[k] * ((int32_t)b[k] - z_w));
    return s;
}

void gemm_u8_t(uint8_t* C, const uint8_t* A, const uint8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_w,
               int32_t z_out, int32_t z_b, int32_t q6)
{
    /* Wrapping: only the low 32 bits reach the accumulator. */
    const int64_t kzz = (int64_t)((uint64_t)K * (uint64_t)(int64_t)z_in * (uint64_t)z_w);
    for (int32_t i = 0; i < M; ++i) {
        const uint8_t* a = A + (size_t)i * (size_t)K;
        for (int32_t j = 0; j < N; ++j) {
            int32_t acc = dot_u8_zw(a, B + (size_t)j * (size_t)K, K, z_w);
            acc = (int32_t)(uint32_t)(uint64_t)((int64_t)correct(acc, z_in, reduce_zero, j, bias,
                                                                  z_b) + kzz);
            C[(size_t)i * (size_t)N + j] =
                store_u8(requant(acc, multipliers[j], shifts[j], activation, q6), z_out);
        }
    }
}

/* ---- gemm_i8_n: B is K×N; 8 columns per step, then single columns ------ */

void gemm_i8_n(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_out,
               int32_t z_b, int32_t q6)
{
    int32_t i = 0;
    while (i < M) {
        const int rows = M - i >= 2 ? 2 : 1;
        const int8_t* a0 = A + (size_t)i * (size_t)K;
        const int8_t* a1 = rows == 2 ? a0 + K : a0;
        int32_t j = 0;
        for (; j + 8 <= N; j += 8) {
            v_i32 l0 = dup(0), h0 = dup(0), l1 = dup(0), h1 = dup(0);
            const int8_t* b = B + j;
            for (int32_t k = 0; k < K; ++k, b += N) {
                v_i16 y = widen8(b);
                vi32_mac8_n(&l0, &h0, y, a0[k]);
                vi32_mac8_n(&l1, &h1, y, a1[k]);
            }
            int32_t d0[8], d1[8];
            store(d0, l0);
            store(d0 + 4, h0);
            store(d1, l1);
            store(d1 + 4, h1);
            for (int c = 0; c < 8; ++c) {
                I8_OUT(i, j + c, d0[c]);
                if (rows == 2)
                    I8_OUT(i + 1, j + c, d1[c]);
            }
        }
        for (; j < N; ++j) {
            int32_t s0 = 0, s1 = 0;
            for (int32_t k = 0; k < K; ++k) {
                int32_t b = B[(size_t)k * (size_t)N + j];
                s0 = wrap_add(s0, (int32_t)a0[k] * b);
                s1 = wrap_add(s1, (int32_t)a1[k] * b);
            }
            I8_OUT(i, j, s0);
            if (rows == 2)
                I8_OUT(i + 1, j, s1);
        }
        i += rows;
    }
}

/* ---- gemm_i8_panel8 --------------------------------------------------- */

/* The float factor of column j (single precision). */
INL float panel_factor(int32_t j, int has_bias, const nn_quant_params* out_q,
                       const nn_quant_params* in_q, const nn_quant_params* w_q,
                       const nn_quant_params* bias_q)
{
    const int per_channel = w_q->scales_count >= 2;
    const float s_in = quant_scale(in_q);
    float f;
    if (!has_bias)
        f = s_in * (per_channel ? quant_scale_at(w_q, (size_t)j) : quant_scale(w_q));
    else if (per_channel)
        f = bias_q ? quant_scale_at(bias_q, (size_t)j) : s_in * quant_scale_at(w_q, (size_t)j);
    else
        f = s_in * quant_scale(w_q);
    return f * (1.0f / quant_scale(out_q));
}

/* C row of `width` values from accumulators d through the float factors. */
INL void panel_store(int8_t* c, const int32_t* d, const float* f, int width, int32_t activation,
                     int32_t q6, int32_t z_out)
{
    int w = 0;
#ifdef __ARM_NEON
    if (width == 8) {
        int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(vld1q_s32(d)), vld1q_f32(f)));
        int32x4_t r1 =
            vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(vld1q_s32(d + 4)), vld1q_f32(f + 4)));
        if (activation == 1 || activation == 2) {
            r0 = vmaxq_s32(r0, vdupq_n_s32(0));
            r1 = vmaxq_s32(r1, vdupq_n_s32(0));
        }
        if (activation == 2) {
            r0 = vminq_s32(r0, vdupq_n_s32(q6));
            r1 = vminq_s32(r1, vdupq_n_s32(q6));
        }
        r0 = vqaddq_s32(r0, vdupq_n_s32(z_out));
        r1 = vqaddq_s32(r1, vdupq_n_s32(z_out));
        int16x8_t h = vcombine_s16(vqmovn_s32(r0), vqmovn_s32(r1));
        vst1_s8(c, vqmovn_s16(h));
        return;
    }
#endif
    for (; w < width; ++w) {
        int32_t r = round_even_to_i32((float)d[w] * f[w]);
        c[w] = store_i8(clamp_act(r, activation, q6), z_out);
    }
}

void gemm_i8_panel8(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
                    int32_t activation, int32_t M, int32_t N, int32_t K,
                    const nn_quant_params* out_q, const nn_quant_params* in_q,
                    const nn_quant_params* w_q, const nn_quant_params* bias_q,
                    const int32_t* reduce_zero, int32_t q6)
{
    const int32_t z_in = quant_zero(in_q);
    const int32_t z_out = quant_zero(out_q);
    const int32_t z_b = bias ? quant_zero(bias_q) : 0;
    /* Without the column sums z_in is subtracted in the loop; the adjusted
     * values need 16×16 -> 32 products. */
    const int16_t zsub = reduce_zero ? 0 : (int16_t)z_in;
    for (int32_t j0 = 0; j0 < N; j0 += 8) {
        const int width = N - j0 >= 8 ? 8 : N - j0;
        const int8_t* P = B + (size_t)j0 * (size_t)K;
        float f[8];
        int32_t init[8];
        for (int c = 0; c < width; ++c) {
            f[c] = panel_factor(j0 + c, bias != NULL, out_q, in_q, w_q, bias_q);
            init[c] = correct(0, z_in, reduce_zero, j0 + c, bias, z_b);
        }
        int32_t i = 0;
        if (width == 8) {
            const v_i32 il = load(init), ih = load(init + 4);
            for (; i + 4 <= M; i += 4) {
                const int8_t* a = A + (size_t)i * (size_t)K;
                v_i32 l[4] = {il, il, il, il}, h[4] = {ih, ih, ih, ih};
                int32_t k = 0;
                if (reduce_zero) {
                    /* Two panel rows at a time: their values interleaved per
                     * column, times the row's two A values, summed pairwise
                     * into the column's 32-bit lane (one product per 16-bit
                     * lane before the widening add). */
#define PANEL8_PAIR(t)                                                                        \
    do {                                                                                      \
        v_i8 v = load(P + (size_t)(k + 2 * (t)) * 8);                                     \
        v_i16 r0 = widen_lo(v), r1 = widen_hi(v);                                         \
        v_i16 blo = vi16_zip_lo(r0, r1), bhi = vi16_zip_hi(r0, r1);                           \
        for (int r = 0; r < 4; ++r) {                                                         \
            v_i16 ap = vi16_dup_pair_lane<(t)>(a16[r]);                                       \
            l[r] = vi32_dot2_i8(l[r], blo, ap);                                       \
            h[r] = vi32_dot2_i8(h[r], bhi, ap);                                       \
        }                                                                                     \
    } while (0)
                    for (; k + 8 <= K; k += 8) {
                        v_i16 a16[4];
                        for (int r = 0; r < 4; ++r)
                            a16[r] = widen8(a + (size_t)r * K + k);
                        PANEL8_PAIR(0);
                        PANEL8_PAIR(1);
                        PANEL8_PAIR(2);
                        PANEL8_PAIR(3);
                    }
#undef PANEL8_PAIR
                    for (; k + 2 <= K; k += 2) {
                        v_i8 v = load(P + (size_t)k * 8);
                        v_i16 r0 = widen_lo(v), r1 = widen_hi(v);
                        v_i16 blo = vi16_zip_lo(r0, r1), bhi = vi16_zip_hi(r0, r1);
                        for (int r = 0; r < 4; ++r) {
                            const int8_t* ar = a + (size_t)r * K + k;
                            v_i16 ap = vi16_dup_pair(ar[0], ar[1]);
                            l[r] = vi32_dot2_i8(l[r], blo, ap);
                            h[r] = vi32_dot2_i8(h[r], bhi, ap);
                        }
                    }
                    for (; k < K; ++k) {
                        v_i16 y = widen8(P + (size_t)k * 8);
                        for (int r = 0; r < 4; ++r)
                            vi32_mac8_n(&l[r], &h[r], y, a[(size_t)r * K + k]);
                    }
                } else {
                    for (; k < K; ++k) {
                        v_i16 y = widen8(P + (size_t)k * 8);
                        for (int r = 0; r < 4; ++r) {
                            int16_t x = (int16_t)(a[(size_t)r * K + k] - zsub);
                            l[r] = vi32_mlal_lo_n(l[r], y, x);
                            h[r] = vi32_mlal_hi_n(h[r], y, x);
                        }
                    }
                }
                for (int r = 0; r < 4; ++r) {
                    int32_t d[8];
                    store(d, l[r]);
                    store(d + 4, h[r]);
                    panel_store(C + (size_t)(i + r) * (size_t)N + j0, d, f, 8, activation, q6,
                                z_out);
                }
            }
        }
        for (; i < M; ++i) {
            const int8_t* a = A + (size_t)i * (size_t)K;
            int32_t d[8];
            for (int c = 0; c < width; ++c)
                d[c] = init[c];
            for (int32_t k = 0; k < K; ++k) {
                int32_t x = (int32_t)a[k] - zsub;
                for (int c = 0; c < width; ++c)
                    d[c] = wrap_add(d[c], x * P[(size_t)k * (size_t)width + c]);
            }
            panel_store(C + (size_t)i * (size_t)N + j0, d, f, width, activation, q6, z_out);
        }
    }
}

/* ---- general kernels -------------------------------------------------- */

enum { B_N = 0, B_T = 1, B_P8 = 2 };

INL int32_t read8(const void* p, size_t i, int is_signed)
{
    return is_signed ? (int32_t)((const int8_t*)p)[i] : (int32_t)((const uint8_t*)p)[i];
}

INL size_t b_index(int mode, int32_t k, int32_t j, int32_t N, int32_t K)
{
    if (mode == B_N)
        return (size_t)k * (size_t)N + (size_t)j;
    if (mode == B_T)
        return (size_t)j * (size_t)K + (size_t)k;
    const int32_t j0 = j & ~7;
    const int32_t width = N - j0 >= 8 ? 8 : N - j0;
    return (size_t)j0 * (size_t)K + (size_t)k * (size_t)width + (size_t)(j - j0);
}

/* Σ (a − za)·(b − zb) over contiguous rows, 16 at a time. */
INL int32_t dot_zp(const void* a, int sa, int32_t za, const void* b, int sb, int32_t zb,
                   int32_t K)
{
    int32_t k = 0;
    int32_t s = 0;
    if (za >= -255 && za <= 255 && zb >= -255 && zb <= 255) {
        v_i32 acc0 = dup(0), acc1 = dup(0);
        const v_i16 vza = dup((int16_t)za), vzb = dup((int16_t)zb);
        for (; k + 16 <= K; k += 16) {
            v_i16 xl, xh, yl, yh;
            if (sa) {
                v_i8 x = load((const int8_t*)a + k);
                xl = widen_lo(x);
                xh = widen_hi(x);
            } else {
                v_u8 x = load((const uint8_t*)a + k);
                xl = widen_lo(x);
                xh = widen_hi(x);
            }
            if (sb) {
                v_i8 y = load((const int8_t*)b + k);
                yl = widen_lo(y);
                yh = widen_hi(y);
            } else {
                v_u8 y = load((const uint8_t*)b + k);
                yl = widen_lo(y);
                yh = widen_hi(y);
            }
            xl = vi16_sub(xl, vza);
            xh = vi16_sub(xh, vza);
            yl = vi16_sub(yl, vzb);
            yh = vi16_sub(yh, vzb);
            acc0 = vi32_mlal_hi(vi32_mlal_lo(acc0, xl, yl), xl, yl);
            acc1 = vi32_mlal_hi(vi32_mlal_lo(acc1, xh, yh), xh, yh);
        }
        s = vi32_sum(vi32_add(acc0, acc1));
    }
    for (; k < K; ++k)
        s = mac_zp(s, read8(a, (size_t)k, sa), za, read8(b, (size_t)k, sb), zb);
    return s;
}

static void general(void* C, const void* A, const void* B, int mode, const int32_t* bias,
                    int32_t activation, int32_t M, int32_t N, int32_t K,
                    const nn_quant_params* out_q, const nn_quant_params* in_q,
                    const nn_quant_params* w_q, const nn_quant_params* bias_q,
                    const int32_t* multipliers, const int32_t* shifts)
{
    const int sa = in_q->type == NN_TYPE_I8;
    const int sb = w_q->type == NN_TYPE_I8;
    const int per_channel = w_q->scales_count >= 2;
    const int bias_per_channel = bias_q && bias_q->scales_count >= 2;
    const int32_t z_in = quant_zero(in_q);
    const int32_t z_out = quant_zero(out_q);
    const float s_in = quant_scale(in_q);
    const float s_out = quant_scale(out_q);
    const int32_t q6 = gemm_quant_q6(out_q);
    const int arrays = multipliers && shifts;
    for (int32_t j = 0; j < N; ++j) {
        const int32_t z_w = per_channel ? quant_zero_at(w_q, (size_t)j) : quant_zero(w_q);
        const float s_w = per_channel ? quant_scale_at(w_q, (size_t)j) : quant_scale(w_q);
        int32_t z_b = 0;
        float s_b = s_in * s_w;
        if (bias_q) {
            z_b = per_channel ? quant_zero_at(bias_q, (size_t)j) : quant_zero(bias_q);
            s_b = bias_per_channel ? quant_scale_at(bias_q, (size_t)j) : quant_scale(bias_q);
        }
        for (int32_t i = 0; i < M; ++i) {
            int32_t acc;
            if (mode == B_T) {
                acc = dot_zp((const int8_t*)A + (size_t)i * (size_t)K, sa, z_in,
                             (const int8_t*)B + (size_t)j * (size_t)K, sb, z_w, K);
            } else {
                acc = 0;
                const size_t a0 = (size_t)i * (size_t)K;
                for (int32_t k = 0; k < K; ++k)
                    acc = mac_zp(acc, read8(A, a0 + (size_t)k, sa), z_in,
                                 read8(B, b_index(mode, k, j, N, K), sb), z_w);
            }
            if (bias)
                acc = correct(acc, 0, NULL, j, bias, z_b);
            int32_t m, e;
            if (arrays) {
                m = multipliers[j];
                e = shifts[j];
            } else {
                quantize_multiplier(&m, &e, bias ? s_b / s_out : (s_in * s_w) / s_out);
            }
            int32_t v = requant(acc, m, e, activation, q6);
            quant_store(C, (size_t)i * (size_t)N + (size_t)j, (int64_t)v + z_out, out_q->type);
        }
    }
}

void gemm_quant_t_general(void* C, const void* A, const void* B, const int32_t* bias,
                          int32_t activation, int32_t M, int32_t N, int32_t K,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const nn_quant_params* w_q, const nn_quant_params* bias_q,
                          const int32_t* multipliers, const int32_t* shifts)
{
    general(C, A, B, B_T, bias, activation, M, N, K, out_q, in_q, w_q, bias_q, multipliers,
            shifts);
}

void gemm_quant_n_general(void* C, const void* A, const void* B, const int32_t* bias,
                          int32_t activation, int32_t M, int32_t N, int32_t K,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const nn_quant_params* w_q, const nn_quant_params* bias_q,
                          const int32_t* multipliers, const int32_t* shifts)
{
    general(C, A, B, B_N, bias, activation, M, N, K, out_q, in_q, w_q, bias_q, multipliers,
            shifts);
}

/* ---- driver ----------------------------------------------------------- */

/* Every zero point of the record equals z (no zero points count as 0). */
int quant_zeros_all(const nn_quant_params* q, int32_t z)
{
    if (!q->zeros || !q->zeros_count)
        return z == 0;
    for (size_t i = 0; i < q->zeros_count; ++i)
        if (q->zeros[i] != z)
            return 0;
    return 1;
}

void gemm_quant(void* C, const void* A, char transpose_a, const void* B, char layout,
                const int32_t* bias, int32_t activation, int32_t M, int32_t N, int32_t K,
                const nn_quant_params* out_q, const nn_quant_params* in_q,
                const nn_quant_params* w_q, const nn_quant_params* bias_q,
                const int32_t* multipliers, const int32_t* shifts, const int32_t* reduce_zero)
{
    (void)transpose_a; /* A is always M×K */
    if (M < 1 || N < 1 || K < 1 || !out_q || !in_q || !w_q)
        return;
    const uint32_t to = out_q->type, ti = in_q->type, tw = w_q->type;
    const int complete = multipliers && shifts && reduce_zero;
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q), z_w = quant_zero(w_q);
    const int32_t z_b = bias ? quant_zero(bias_q) : 0;
    /* The INT8 fast kernels take the weights as symmetric: only then. */
    const int all_i8 = to == NN_TYPE_I8 && ti == NN_TYPE_I8 && tw == NN_TYPE_I8 && quant_zeros_all(w_q, 0);
    const int lay = (unsigned char)layout;

    if (lay == 'T') {
        if (all_i8 && complete) {
            const int32_t q6 = gemm_quant_q6(out_q);
            if (M > 1)
                gemm_i8_t((int8_t*)C, (const int8_t*)A, (const int8_t*)B, bias, activation, M,
                          N, K, multipliers, shifts, reduce_zero, z_in, z_out, z_b, q6);
            else
                gemm_i8_t_row((int8_t*)C, (const int8_t*)A, (const int8_t*)B, bias, activation,
                              M, N, K, multipliers, shifts, reduce_zero, z_in, z_out, z_b, q6);
        } else if (to == NN_TYPE_U8 && ti == NN_TYPE_U8 && tw == NN_TYPE_U8 && complete &&
                   quant_zeros_all(w_q, z_w) && z_w >= 0 && z_w <= 255) {
            gemm_u8_t((uint8_t*)C, (const uint8_t*)A, (const uint8_t*)B, bias, activation, M, N,
                      K, multipliers, shifts, reduce_zero, z_in, z_w, z_out, z_b,
                      gemm_quant_q6(out_q));
        } else {
            gemm_quant_t_general(C, A, B, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                                 multipliers, shifts);
        }
    } else if (lay == 'N') {
        if (all_i8 && complete)
            gemm_i8_n((int8_t*)C, (const int8_t*)A, (const int8_t*)B, bias, activation, M, N, K,
                      multipliers, shifts, reduce_zero, z_in, z_out, z_b, gemm_quant_q6(out_q));
        else
            gemm_quant_n_general(C, A, B, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                                 multipliers, shifts);
    } else if (lay == 8) {
        if (all_i8 && (reduce_zero || (z_in >= -255 && z_in <= 255)))
            gemm_i8_panel8((int8_t*)C, (const int8_t*)A, (const int8_t*)B, bias, activation, M,
                           N, K, out_q, in_q, w_q, bias_q, reduce_zero, gemm_quant_q6(out_q));
        else
            general(C, A, B, B_P8, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                    multipliers, shifts);
    }
    /* any other layout: nothing is computed (callers never pass one) */
}

void kernel_gemm_quant(void* c, const void* a, char transpose_a, const void* b, char b_layout,
                       const int32_t* bias, int32_t activation, int32_t m, int32_t n, int32_t k,
                       const nn_quant_params* out_q, const nn_quant_params* in_q,
                       const nn_quant_params* w_q, const nn_quant_params* bias_q,
                       const int32_t* multipliers, const int32_t* shifts,
                       const int32_t* reduce_zero)
{
    gemm_quant(c, a, transpose_a, b, b_layout, bias, activation, m, n, k, out_q, in_q, w_q,
               bias_q, multipliers, shifts, reduce_zero);
}
