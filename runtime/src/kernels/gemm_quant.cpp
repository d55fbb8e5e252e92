/* Quantised GEMM: the driver and its kernels.  Products of raw 8-bit values
 * are formed in 16 bits, one product per lane, and widened to 32 bits before
 * a second one is added; zero-point-adjusted values (up to 9 bits) multiply
 * 16×16 -> 32. */
#include "kernels/gemm_quant.h"

#include <cstddef>
#include <utility>

#include "kernels/cpu_isa.h"
#include "kernels/fixed_point.h"
#include "kernels/gemm_quant_stage.h"
#include "kernels/gemm_simd.h"
#include "kernels/gemm_x86.h"
#include "platform.h"

#define INL inline __attribute__((always_inline))

namespace kestrune {
namespace {

using namespace simd;

/* ---- shared helpers --------------------------------------------------- */

INL int32_t requant(int32_t acc, int32_t m, int32_t e, int32_t activation, int32_t q6)
{
    return clamp_fused(apply_multiplier(acc, m, e), activation, q6);
}

/* acc − z_in·rz[j] + (bias ? bias[j] − z_b : 0), wrapping like the 32-bit sum. */
INL int32_t correct(int32_t acc, int32_t z_in, const int32_t* rz, int j, const int32_t* bias,
                    int32_t z_b)
{
    int64_t s = static_cast<int64_t>(acc) - static_cast<int64_t>(z_in) * (rz ? rz[j] : 0);
    if (bias)
        s += static_cast<int64_t>(bias[j]) - z_b;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(s)));
}

/* The output stage of the kernels that take the per-channel arrays: column
 * correction, rescale, fused clamp and the saturating store of C(i, j). */
template <typename T>
struct OutStage {
    T* C;
    int32_t N;
    const int32_t* bias;
    const int32_t* multipliers;
    const int32_t* shifts;
    const int32_t* reduce_zero;
    int32_t activation, z_in, z_out, z_b, q6;

    INL void operator()(int32_t i, int32_t j, int32_t dot) const
    {
        const int32_t v = requant(correct(dot, z_in, reduce_zero, j, bias, z_b), multipliers[j],
                                  shifts[j], activation, q6);
        C[static_cast<size_t>(i) * static_cast<size_t>(N) + j] =
            saturate<T>(static_cast<int64_t>(v) + z_out);
    }
};

/* Σ a[k]·b[k] over raw signed bytes, k 8 at a time. */
INL int32_t dot_i8_8(const int8_t* a, const int8_t* b, int32_t K)
{
    v_i32 acc = dup(0);
    int32_t k = 0;
    for (; k + 8 <= K; k += 8)
        acc = vi32_dot2_i8(acc, widen8(a + k), widen8(b + k));
    int32_t s = vi32_sum(acc);
    for (; k < K; ++k)
        s = wrap_add(s, static_cast<int32_t>(a[k]) * b[k]);
    return s;
}

/* ---- gemm_i8_t: R rows × C columns of dot products, k 16 at a time ----- */

template <int R, int C>
INL void dot_tile_i8(const int8_t* const (&a)[R], const int8_t* const (&b)[C], int32_t K,
                     int32_t (&out)[R][C])
{
    v_i32 s[R][C];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c)
            s[r][c] = dup(0);
    int32_t k = 0;
    for (; k + 16 <= K; k += 16) {
        v_i16 xl[R], xh[R], yl[C], yh[C];
        for (int r = 0; r < R; ++r)
            vi8_split(load(a[r] + k), &xl[r], &xh[r]);
        for (int c = 0; c < C; ++c)
            vi8_split(load(b[c] + k), &yl[c], &yh[c]);
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < C; ++c)
                s[r][c] = vi32_dot2_i8(vi32_dot2_i8(s[r][c], xl[r], yl[c]), xh[r], yh[c]);
    }
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c)
            out[r][c] = vi32_sum(s[r][c]);
    for (; k < K; ++k)
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < C; ++c)
                out[r][c] = wrap_add(out[r][c], static_cast<int32_t>(a[r][k]) * b[c][k]);
}

INL int32_t dot_i8_16(const int8_t* a, const int8_t* b, int32_t K)
{
    const int8_t* const ra[1] = {a};
    const int8_t* const rb[1] = {b};
    int32_t d[1][1];
    dot_tile_i8<1, 1>(ra, rb, K, d);
    return d[0][0];
}

/* ---- gemm_u8_t: Σ A·(B − z_w), k 8 at a time ----------------------------- */

INL int32_t dot_u8_zw(const uint8_t* a, const uint8_t* b, int32_t K, int32_t z_w)
{
    v_i32 lo = dup(0), hi = dup(0);
    const v_i16 zw = dup(static_cast<int16_t>(z_w));
    int32_t k = 0;
    for (; k + 8 <= K; k += 8) {
        const v_i16 x = widen8(a + k);
        const v_i16 y = sub(widen8(b + k), zw);
        lo = vi32_mlal_lo(lo, x, y);
        hi = vi32_mlal_hi(hi, x, y);
    }
    int32_t s = vi32_sum(add(lo, hi));
    for (; k < K; ++k)
        s = wrap_add(s, static_cast<int32_t>(a[k]) * (static_cast<int32_t>(b[k]) - z_w));
    return s;
}

/* ---- gemm_i8_panel8 --------------------------------------------------- */

/* The float factor of column j (single precision). */
INL float panel_factor(int32_t j, bool has_bias, const nn_quant_params* out_q,
                       const nn_quant_params* in_q, const nn_quant_params* w_q,
                       const nn_quant_params* bias_q)
{
    const bool per_channel = w_q->scales_count >= 2;
    const float s_in = quant_scale(in_q);
    float f;
    if (!has_bias)
        f = s_in * (per_channel ? quant_scale_at(w_q, static_cast<size_t>(j)) : quant_scale(w_q));
    else if (per_channel)
        f = bias_q ? quant_scale_at(bias_q, static_cast<size_t>(j))
                   : s_in * quant_scale_at(w_q, static_cast<size_t>(j));
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
        store_row8(c, vld1q_s32(d), vld1q_s32(d + 4), vld1q_f32(f), vld1q_f32(f + 4),
                   activation, q6, z_out);
        return;
    }
#endif
    for (; w < width; ++w) {
        const int32_t r = round_even_to_i32(static_cast<float>(d[w]) * f[w]);
        c[w] = saturate<int8_t>(static_cast<int64_t>(clamp_fused(r, activation, q6)) + z_out);
    }
}

/* Two panel rows (16 bytes at row2) into the four rows' accumulators: their
 * values interleaved per column, times the pair of A values pair(r), summed
 * pairwise into the column's 32-bit lane (one product per 16-bit lane before
 * the widening add). */
template <typename Pair>
INL void panel_row_pair(const int8_t* row2, v_i32 (&l)[4], v_i32 (&h)[4], Pair pair)
{
    const v_i8 v = load(row2);
    const v_i16 r0 = widen_lo(v), r1 = widen_hi(v);
    const v_i16 blo = vi16_zip_lo(r0, r1), bhi = vi16_zip_hi(r0, r1);
    for (int r = 0; r < 4; ++r) {
        const v_i16 ap = pair(r);
        l[r] = vi32_dot2_i8(l[r], blo, ap);
        h[r] = vi32_dot2_i8(h[r], bhi, ap);
    }
}

/* Eight panel rows from P8, the A pairs taken from the rows' eight values a16. */
template <int... T>
INL void panel_rows8(const int8_t* P8, const v_i16 (&a16)[4], v_i32 (&l)[4], v_i32 (&h)[4],
                     std::integer_sequence<int, T...>)
{
    (panel_row_pair(P8 + 16 * T, l, h,
                    [&](int r) __attribute__((always_inline)) {
                        return vi16_dup_pair_lane<T>(a16[r]);
                    }),
     ...);
}

/* ---- general kernels -------------------------------------------------- */

enum class BLayout { n, t, panel8 };

INL size_t b_index(BLayout mode, int32_t k, int32_t j, int32_t N, int32_t K)
{
    if (mode == BLayout::n)
        return static_cast<size_t>(k) * static_cast<size_t>(N) + static_cast<size_t>(j);
    if (mode == BLayout::t)
        return static_cast<size_t>(j) * static_cast<size_t>(K) + static_cast<size_t>(k);
    const int32_t j0 = j & ~7;
    const int32_t width = N - j0 >= 8 ? 8 : N - j0;
    return static_cast<size_t>(j0) * static_cast<size_t>(K) +
           static_cast<size_t>(k) * static_cast<size_t>(width) + static_cast<size_t>(j - j0);
}

/* Σ (a − za)·(b − zb) over contiguous rows, 16 at a time. */
template <typename TA, typename TB>
INL int32_t dot_zp(const TA* a, int32_t za, const TB* b, int32_t zb, int32_t K)
{
    int32_t k = 0;
    int32_t s = 0;
    if (za >= -255 && za <= 255 && zb >= -255 && zb <= 255) {
        v_i32 acc0 = dup(0), acc1 = dup(0);
        const v_i16 vza = dup(static_cast<int16_t>(za)), vzb = dup(static_cast<int16_t>(zb));
        for (; k + 16 <= K; k += 16) {
            v_i16 xl, xh, yl, yh;
            load_widen(a + k, &xl, &xh);
            load_widen(b + k, &yl, &yh);
            xl = sub(xl, vza);
            xh = sub(xh, vza);
            yl = sub(yl, vzb);
            yh = sub(yh, vzb);
            acc0 = vi32_mlal_hi(vi32_mlal_lo(acc0, xl, yl), xl, yl);
            acc1 = vi32_mlal_hi(vi32_mlal_lo(acc1, xh, yh), xh, yh);
        }
        s = vi32_sum(add(acc0, acc1));
    }
    for (; k < K; ++k)
        s = mac_zp(s, a[k], za, b[k], zb);
    return s;
}

/* Column by column with the column's own zero points and scales; TA and TB
 * are the 8-bit element types of A and B. */
template <typename TA, typename TB>
void general(void* C, const TA* A, const TB* B, BLayout mode, const int32_t* bias,
             int32_t activation, int32_t M, int32_t N, int32_t K, const nn_quant_params* out_q,
             const nn_quant_params* in_q, const nn_quant_params* w_q,
             const nn_quant_params* bias_q, const int32_t* multipliers, const int32_t* shifts)
{
    const bool per_channel = w_q->scales_count >= 2;
    const bool bias_per_channel = bias_q && bias_q->scales_count >= 2;
    const int32_t z_in = quant_zero(in_q);
    const int32_t z_out = quant_zero(out_q);
    const float s_in = quant_scale(in_q);
    const float s_out = quant_scale(out_q);
    const int32_t q6 = six_in_steps(out_q);
    const bool arrays = multipliers && shifts;
    for (int32_t j = 0; j < N; ++j) {
        const size_t jc = static_cast<size_t>(j);
        const int32_t z_w = per_channel ? quant_zero_at(w_q, jc) : quant_zero(w_q);
        const float s_w = per_channel ? quant_scale_at(w_q, jc) : quant_scale(w_q);
        int32_t z_b = 0;
        float s_b = s_in * s_w;
        if (bias_q) {
            z_b = per_channel ? quant_zero_at(bias_q, jc) : quant_zero(bias_q);
            s_b = bias_per_channel ? quant_scale_at(bias_q, jc) : quant_scale(bias_q);
        }
        for (int32_t i = 0; i < M; ++i) {
            const size_t a0 = static_cast<size_t>(i) * static_cast<size_t>(K);
            int32_t acc;
            if (mode == BLayout::t) {
                acc = dot_zp(A + a0, z_in, B + jc * static_cast<size_t>(K), z_w, K);
            } else {
                acc = 0;
                for (int32_t k = 0; k < K; ++k)
                    acc = mac_zp(acc, A[a0 + static_cast<size_t>(k)], z_in,
                                 B[b_index(mode, k, j, N, K)], z_w);
            }
            if (bias)
                acc = correct(acc, 0, nullptr, j, bias, z_b);
            int32_t m, e;
            if (arrays) {
                m = multipliers[j];
                e = shifts[j];
            } else {
                quantize_multiplier(&m, &e, bias ? s_b / s_out : (s_in * s_w) / s_out);
            }
            const int32_t v = requant(acc, m, e, activation, q6);
            quant_store(C, static_cast<size_t>(i) * static_cast<size_t>(N) + jc,
                        static_cast<int64_t>(v) + z_out, out_q->type);
        }
    }
}

/* f(p) with p typed as the record's 8-bit type: INT8, otherwise UINT8. */
template <typename F>
INL void with_8bit(const void* p, const nn_quant_params* q, F f)
{
    if (q->type == NN_TYPE_I8)
        f(static_cast<const int8_t*>(p));
    else
        f(static_cast<const uint8_t*>(p));
}

/* The general kernel for any INT8/UINT8 A and B, chosen by their records. */
void general_any(void* C, const void* A, const void* B, BLayout mode, const int32_t* bias,
                 int32_t activation, int32_t M, int32_t N, int32_t K,
                 const nn_quant_params* out_q, const nn_quant_params* in_q,
                 const nn_quant_params* w_q, const nn_quant_params* bias_q,
                 const int32_t* multipliers, const int32_t* shifts)
{
    with_8bit(A, in_q, [&](auto a) {
        with_8bit(B, w_q, [&](auto b) {
            general(C, a, b, mode, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                    multipliers, shifts);
        });
    });
}

} // namespace
} // namespace kestrune

using namespace kestrune;

int32_t gemm_quant_q6(const nn_quant_params* out_q)
{
    return six_in_steps(out_q);
}

void gemm_i8_t(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_out,
               int32_t z_b, int32_t q6)
{
    const OutStage<int8_t> out{C,          N,    bias,  multipliers, shifts, reduce_zero,
                               activation, z_in, z_out, z_b,         q6};
    const size_t k = static_cast<size_t>(K);
    int32_t i = 0;
    for (; i + 2 <= M; i += 2) {
        const int8_t* const a[2] = {A + static_cast<size_t>(i) * k,
                                    A + static_cast<size_t>(i + 1) * k};
        int32_t j = 0;
        for (; j + 2 <= N; j += 2) {
            const int8_t* const b[2] = {B + static_cast<size_t>(j) * k,
                                        B + static_cast<size_t>(j + 1) * k};
            int32_t d[2][2];
            dot_tile_i8<2, 2>(a, b, K, d);
            out(i, j, d[0][0]);
            out(i, j + 1, d[0][1]);
            out(i + 1, j, d[1][0]);
            out(i + 1, j + 1, d[1][1]);
        }
        if (j < N) {
            const int8_t* b0 = B + static_cast<size_t>(j) * k;
            out(i, j, dot_i8_16(a[0], b0, K));
            out(i + 1, j, dot_i8_16(a[1], b0, K));
        }
    }
    if (i < M) {
        const int8_t* a0 = A + static_cast<size_t>(i) * k;
        for (int32_t j = 0; j < N; ++j)
            out(i, j, dot_i8_16(a0, B + static_cast<size_t>(j) * k, K));
    }
}

void gemm_i8_t_row(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
                   int32_t activation, int32_t M, int32_t N, int32_t K,
                   const int32_t* multipliers, const int32_t* shifts,
                   const int32_t* reduce_zero, int32_t z_in, int32_t z_out, int32_t z_b,
                   int32_t q6)
{
    const OutStage<int8_t> out{C,          N,    bias,  multipliers, shifts, reduce_zero,
                               activation, z_in, z_out, z_b,         q6};
    for (int32_t i = 0; i < M; ++i) {
        const int8_t* a = A + static_cast<size_t>(i) * static_cast<size_t>(K);
        for (int32_t j = 0; j < N; ++j)
            out(i, j, dot_i8_8(a, B + static_cast<size_t>(j) * static_cast<size_t>(K), K));
    }
}

void gemm_u8_t(uint8_t* C, const uint8_t* A, const uint8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_w,
               int32_t z_out, int32_t z_b, int32_t q6)
{
    const OutStage<uint8_t> out{C,          N,    bias,  multipliers, shifts, reduce_zero,
                                activation, z_in, z_out, z_b,         q6};
    /* K·z_in·z_w, wrapping: only the low 32 bits reach the accumulator, and
     * the 32-bit sums wrap alike whichever order they are added in. */
    const int32_t kzz = static_cast<int32_t>(static_cast<uint32_t>(
        static_cast<uint64_t>(K) * static_cast<uint64_t>(static_cast<int64_t>(z_in)) *
        static_cast<uint64_t>(z_w)));
    for (int32_t i = 0; i < M; ++i) {
        const uint8_t* a = A + static_cast<size_t>(i) * static_cast<size_t>(K);
        for (int32_t j = 0; j < N; ++j)
            out(i, j,
                wrap_add(dot_u8_zw(a, B + static_cast<size_t>(j) * static_cast<size_t>(K), K, z_w),
                         kzz));
    }
}

/* ---- gemm_i8_n: B is K×N; 8 columns per step, then single columns ------ */

void gemm_i8_n(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_out,
               int32_t z_b, int32_t q6)
{
    const OutStage<int8_t> out{C,          N,    bias,  multipliers, shifts, reduce_zero,
                               activation, z_in, z_out, z_b,         q6};
    int32_t i = 0;
    while (i < M) {
        const int rows = M - i >= 2 ? 2 : 1;
        const int8_t* a0 = A + static_cast<size_t>(i) * static_cast<size_t>(K);
        const int8_t* a1 = rows == 2 ? a0 + K : a0;
        int32_t j = 0;
        for (; j + 8 <= N; j += 8) {
            v_i32 l0 = dup(0), h0 = dup(0), l1 = dup(0), h1 = dup(0);
            const int8_t* b = B + j;
            for (int32_t k = 0; k < K; ++k, b += N) {
                const v_i16 y = widen8(b);
                vi32_mac8_n(&l0, &h0, y, a0[k]);
                vi32_mac8_n(&l1, &h1, y, a1[k]);
            }
            int32_t d0[8], d1[8];
            store(d0, l0);
            store(d0 + 4, h0);
            store(d1, l1);
            store(d1 + 4, h1);
            for (int c = 0; c < 8; ++c) {
                out(i, j + c, d0[c]);
                if (rows == 2)
                    out(i + 1, j + c, d1[c]);
            }
        }
        for (; j < N; ++j) {
            int32_t s0 = 0, s1 = 0;
            for (int32_t k = 0; k < K; ++k) {
                const int32_t b = B[static_cast<size_t>(k) * static_cast<size_t>(N) + j];
                s0 = wrap_add(s0, static_cast<int32_t>(a0[k]) * b);
                s1 = wrap_add(s1, static_cast<int32_t>(a1[k]) * b);
            }
            out(i, j, s0);
            if (rows == 2)
                out(i + 1, j, s1);
        }
        i += rows;
    }
}

/* One panel of `width` columns from j0 (K rows of `width` values at P) for
 * every row: the accumulators start at init[c], f[c] are the columns' float
 * factors.  zsub is subtracted from A in the loop when the column sums are
 * not given (has_rz 0). */
static void panel8_block(int8_t* C, const int8_t* A, const int8_t* P, int32_t M, int32_t N,
                         int32_t K, int32_t j0, int width, const float* f, const int32_t* init,
                         bool has_rz, int16_t zsub, int32_t activation, int32_t q6,
                         int32_t z_out)
{
    int32_t i = 0;
    if (width == 8) {
        const v_i32 il = load(init), ih = load(init + 4);
        for (; i + 4 <= M; i += 4) {
            const int8_t* a = A + static_cast<size_t>(i) * static_cast<size_t>(K);
            v_i32 l[4] = {il, il, il, il}, h[4] = {ih, ih, ih, ih};
            int32_t k = 0;
            if (has_rz) {
                for (; k + 8 <= K; k += 8) {
                    v_i16 a16[4];
                    for (int r = 0; r < 4; ++r)
                        a16[r] = widen8(a + static_cast<size_t>(r) * K + k);
                    panel_rows8(P + static_cast<size_t>(k) * 8, a16, l, h,
                                std::make_integer_sequence<int, 4>{});
                }
                for (; k + 2 <= K; k += 2)
                    panel_row_pair(P + static_cast<size_t>(k) * 8, l, h,
                                   [&](int r) __attribute__((always_inline)) {
                                       const int8_t* ar = a + static_cast<size_t>(r) * K + k;
                                       return vi16_dup_pair(ar[0], ar[1]);
                                   });
                for (; k < K; ++k) {
                    const v_i16 y = widen8(P + static_cast<size_t>(k) * 8);
                    for (int r = 0; r < 4; ++r)
                        vi32_mac8_n(&l[r], &h[r], y, a[static_cast<size_t>(r) * K + k]);
                }
            } else {
                for (; k < K; ++k) {
                    const v_i16 y = widen8(P + static_cast<size_t>(k) * 8);
                    for (int r = 0; r < 4; ++r) {
                        const int16_t x =
                            static_cast<int16_t>(a[static_cast<size_t>(r) * K + k] - zsub);
                        l[r] = vi32_mlal_lo_n(l[r], y, x);
                        h[r] = vi32_mlal_hi_n(h[r], y, x);
                    }
                }
            }
            for (int r = 0; r < 4; ++r) {
                int32_t d[8];
                store(d, l[r]);
                store(d + 4, h[r]);
                panel_store(C + static_cast<size_t>(i + r) * static_cast<size_t>(N) + j0, d, f, 8,
                            activation, q6, z_out);
            }
        }
    }
    for (; i < M; ++i) {
        const int8_t* a = A + static_cast<size_t>(i) * static_cast<size_t>(K);
        int32_t d[8];
        for (int c = 0; c < width; ++c)
            d[c] = init[c];
        for (int32_t k = 0; k < K; ++k) {
            const int32_t x = static_cast<int32_t>(a[k]) - zsub;
            for (int c = 0; c < width; ++c)
                d[c] = wrap_add(d[c], x * P[static_cast<size_t>(k) * width + c]);
        }
        panel_store(C + static_cast<size_t>(i) * static_cast<size_t>(N) + j0, d, f, width,
                    activation, q6, z_out);
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
    const int16_t zsub = reduce_zero ? 0 : static_cast<int16_t>(z_in);
    for (int32_t j0 = 0; j0 < N; j0 += 8) {
        const int width = N - j0 >= 8 ? 8 : N - j0;
        float f[8];
        int32_t init[8];
        for (int c = 0; c < width; ++c) {
            f[c] = panel_factor(j0 + c, bias != nullptr, out_q, in_q, w_q, bias_q);
            init[c] = correct(0, z_in, reduce_zero, j0 + c, bias, z_b);
        }
        panel8_block(C, A, B + static_cast<size_t>(j0) * static_cast<size_t>(K), M, N, K, j0,
                     width, f, init, reduce_zero != nullptr, zsub, activation, q6, z_out);
    }
}

void gemm_i8_columns_fill(float* factors, int32_t* init, int32_t N, const int32_t* bias,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const nn_quant_params* w_q, const nn_quant_params* bias_q,
                          const int32_t* reduce_zero)
{
    const int32_t z_in = quant_zero(in_q);
    const int32_t z_b = bias ? quant_zero(bias_q) : 0;
    for (int32_t j = 0; j < N; ++j) {
        factors[j] = panel_factor(j, bias != nullptr, out_q, in_q, w_q, bias_q);
        init[j] = correct(0, z_in, reduce_zero, j, bias, z_b);
    }
}

#ifdef __ARM_NEON
namespace {

/* Bytes of two panel rows (k, k+1) interleaved per column. */
constexpr uint8_t kPairs[16] = {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15};

/* lo, hi += the 8-bit products of the turned panel rows x, y (k pairs per
 * column) with the broadcast A pairs ax, ay, the 16-bit lanes added
 * pairwise: two products per lane (Two: no B value is -128, so that
 * |a·b| <= 128·127 keeps a sum of two within 16 bits) or one. */
template <bool Two>
inline __attribute__((always_inline)) void pair_mac(int32x4_t& lo, int32x4_t& hi, int8x16_t x,
                                                    int8x16_t y, int8x16_t ax, int8x16_t ay)
{
    int16x8_t tl = vmull_s8(vget_low_s8(x), vget_low_s8(ax));
    int16x8_t th = vmull_high_s8(x, ax);
    if (Two) {
        tl = vmlal_s8(tl, vget_low_s8(y), vget_low_s8(ay));
        th = vmlal_high_s8(th, y, ay);
    } else {
        lo = vpadalq_s16(lo, tl);
        hi = vpadalq_s16(hi, th);
        tl = vmull_s8(vget_low_s8(y), vget_low_s8(ay));
        th = vmull_high_s8(y, ay);
    }
    lo = vpadalq_s16(lo, tl);
    hi = vpadalq_s16(hi, th);
}

/* R rows from row i of one full panel P at column j0, 8-bit products: two
 * panel rows at a time interleaved per column by one table lookup, times the
 * rows' A pairs, one product per 16-bit lane (or, when no B value is -128,
 * two: |a·b| <= 128·127 keeps a sum of two within 16 bits), the lanes added
 * pairwise into 32 bits. */
template <int R, bool Two>
inline void widening_tile(int8_t* C, const int8_t* A, const int8_t* P, int32_t i, int32_t j0,
                          int32_t N, int32_t K, const float* f, const int32_t* init,
                          int32_t activation, int32_t q6, int32_t z_out, uint8x16_t pairs)
{
    const int8_t* a[R];
    int32x4_t lo[R], hi[R];
    start_rows8<R>(A, i, K, init, a, lo, hi);
    const auto turn = [&](int32_t k) __attribute__((always_inline)) {
        return vqtbl1q_s8(vld1q_s8(P + static_cast<size_t>(k) * 8), pairs);
    };
    int32_t k = 0;
    for (; k + 8 <= K; k += 8) {
        int16x4_t av[R];
        for (int r = 0; r < R; ++r) {
            av[r] = vreinterpret_s16_s8(vld1_s8(a[r] + k));
            /* kept in its register: GCC would otherwise load each pair again
             * into a general register to broadcast it (two instructions for
             * the one DUP by lane) */
            __asm__("" : "+w"(av[r]));
        }
        const int8x16_t b0 = turn(k), b1 = turn(k + 2), b2 = turn(k + 4), b3 = turn(k + 6);
        const auto step = [&](int r, int8x16_t x, int8x16_t y, auto px, auto py)
                              __attribute__((always_inline)) {
            const int8x16_t ax = vreinterpretq_s8_s16(vdupq_lane_s16(av[r], px()));
            const int8x16_t ay = vreinterpretq_s8_s16(vdupq_lane_s16(av[r], py()));
            pair_mac<Two>(lo[r], hi[r], x, y, ax, ay);
        };
        for (int r = 0; r < R; ++r) {
            step(r, b0, b1, std::integral_constant<int, 0>{}, std::integral_constant<int, 1>{});
            step(r, b2, b3, std::integral_constant<int, 2>{}, std::integral_constant<int, 3>{});
        }
    }
    for (; k + 2 <= K; k += 2) {
        const int8x16_t b = turn(k);
        for (int r = 0; r < R; ++r) {
            const uint16_t pair = static_cast<uint16_t>(static_cast<uint8_t>(a[r][k]) |
                                                        static_cast<uint8_t>(a[r][k + 1]) << 8);
            const int8x16_t ap = vreinterpretq_s8_u16(vdupq_n_u16(pair));
            lo[r] = vpadalq_s16(lo[r], vmull_s8(vget_low_s8(b), vget_low_s8(ap)));
            hi[r] = vpadalq_s16(hi[r], vmull_high_s8(b, ap));
        }
    }
    finish_rows8<R>(C + static_cast<size_t>(i) * static_cast<size_t>(N) + j0,
                    static_cast<size_t>(N), a, P, k, K, lo, hi, f, activation, q6, z_out);
}

/* One row's step of 8 k in widening_tile16, written out: from intrinsics
 * GCC loads the four rows' A at once and spills accumulators.  The row's 8
 * A values (v9), each pair broadcast (v10, v11) over the turned pairs of
 * rows of both panels (x0-x3, y0-y3), the products formed two per 16-bit
 * lane (Two) or one (v12, v13) and added pairwise into the row's
 * accumulators. */
#define KESTRUNE_W16_PANEL_TWO(X, Y, LO, HI)                                                     \
    "smull v12.8h, %[" #X "].8b, v10.8b\n\t"                                                   \
    "smull2 v13.8h, %[" #X "].16b, v10.16b\n\t"                                                \
    "smlal v12.8h, %[" #Y "].8b, v11.8b\n\t"                                                   \
    "smlal2 v13.8h, %[" #Y "].16b, v11.16b\n\t"                                                \
    "sadalp %[" #LO "].4s, v12.8h\n\t"                                                         \
    "sadalp %[" #HI "].4s, v13.8h\n\t"
#define KESTRUNE_W16_PANEL_ONE(X, Y, LO, HI)                                                     \
    "smull v12.8h, %[" #X "].8b, v10.8b\n\t"                                                   \
    "smull2 v13.8h, %[" #X "].16b, v10.16b\n\t"                                                \
    "sadalp %[" #LO "].4s, v12.8h\n\t"                                                         \
    "sadalp %[" #HI "].4s, v13.8h\n\t"                                                         \
    "smull v12.8h, %[" #Y "].8b, v11.8b\n\t"                                                   \
    "smull2 v13.8h, %[" #Y "].16b, v11.16b\n\t"                                                \
    "sadalp %[" #LO "].4s, v12.8h\n\t"                                                         \
    "sadalp %[" #HI "].4s, v13.8h\n\t"
#define KESTRUNE_W16_ROW(PANEL, A, ACC)                                                          \
    __asm__ volatile("ldr d9, [%[a]], #8\n\t"                                                  \
                     "dup v10.8h, v9.h[0]\n\t"                                                 \
                     "dup v11.8h, v9.h[1]\n\t"                                                 \
                     PANEL(x0, x1, c0, c1) PANEL(y0, y1, c2, c3)                               \
                     "dup v10.8h, v9.h[2]\n\t"                                                 \
                     "dup v11.8h, v9.h[3]\n\t"                                                 \
                     PANEL(x2, x3, c0, c1) PANEL(y2, y3, c2, c3)                               \
                     : [c0] "+w"(ACC[0]), [c1] "+w"(ACC[1]), [c2] "+w"(ACC[2]),                \
                       [c3] "+w"(ACC[3]), [a] "+r"(A)                                          \
                     : [x0] "w"(b0), [x1] "w"(b1), [x2] "w"(b2), [x3] "w"(b3), [y0] "w"(c0),   \
                       [y1] "w"(c1), [y2] "w"(c2), [y3] "w"(c3)                                \
                     : "memory", "v9", "v10", "v11", "v12", "v13")

/* R rows from row i of two adjacent full panels (16 columns from j0, the
 * second panel K·8 values after the first at P0), as widening_tile: the
 * rows' A pairs broadcast once for both panels, the exact sums through the
 * byte stage 16 columns at a time (output zero points in [-128, 127]). */
template <int R, bool Two>
inline void widening_tile16(int8_t* C, const int8_t* A, const int8_t* P0, int32_t i, int32_t j0,
                            int32_t N, int32_t K, const float* f, const int32_t* init,
                            const ByteStage& st, uint8x16_t pairs)
{
    const int8_t* const P1 = P0 + static_cast<size_t>(K) * 8;
    const int8_t* a[R];
    int32x4_t acc[R][4]; /* columns 0-3, 4-7 (first panel), 8-11, 12-15 */
    {
        const int32x4_t s0 = vld1q_s32(init), s1 = vld1q_s32(init + 4);
        const int32x4_t s2 = vld1q_s32(init + 8), s3 = vld1q_s32(init + 12);
        for (int r = 0; r < R; ++r) {
            a[r] = A + static_cast<size_t>(i + r) * static_cast<size_t>(K);
            acc[r][0] = s0;
            acc[r][1] = s1;
            acc[r][2] = s2;
            acc[r][3] = s3;
        }
    }
    const auto turn = [&](const int8_t* P, int32_t k) __attribute__((always_inline)) {
        return vqtbl1q_s8(vld1q_s8(P + static_cast<size_t>(k) * 8), pairs);
    };
    /* k pairs px, py of row r (lanes of av) over the turned rows x, y of the
     * first panel and u, v of the second */
    const auto step = [&](int r, int16x4_t av, int8x16_t x, int8x16_t y, int8x16_t u,
                          int8x16_t v, auto px, auto py) __attribute__((always_inline)) {
        const int8x16_t ax = vreinterpretq_s8_s16(vdupq_lane_s16(av, px()));
        const int8x16_t ay = vreinterpretq_s8_s16(vdupq_lane_s16(av, py()));
        pair_mac<Two>(acc[r][0], acc[r][1], x, y, ax, ay);
        pair_mac<Two>(acc[r][2], acc[r][3], u, v, ax, ay);
    };
    int32_t k = 0;
#ifdef __aarch64__
    if constexpr (R == 4) {
        const int8_t *q0 = a[0], *q1 = a[1], *q2 = a[2], *q3 = a[3];
        const int8_t *s0 = P0, *s1 = P1;
        for (; k + 8 <= K; k += 8, s0 += 64, s1 += 64) {
            const int8x16x4_t u = vld1q_s8_x4(s0), w = vld1q_s8_x4(s1);
            const int8x16_t b0 = vqtbl1q_s8(u.val[0], pairs), b1 = vqtbl1q_s8(u.val[1], pairs);
            const int8x16_t b2 = vqtbl1q_s8(u.val[2], pairs), b3 = vqtbl1q_s8(u.val[3], pairs);
            const int8x16_t c0 = vqtbl1q_s8(w.val[0], pairs), c1 = vqtbl1q_s8(w.val[1], pairs);
            const int8x16_t c2 = vqtbl1q_s8(w.val[2], pairs), c3 = vqtbl1q_s8(w.val[3], pairs);
            if (Two) {
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_TWO, q0, acc[0]);
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_TWO, q1, acc[1]);
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_TWO, q2, acc[2]);
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_TWO, q3, acc[3]);
            } else {
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_ONE, q0, acc[0]);
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_ONE, q1, acc[1]);
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_ONE, q2, acc[2]);
                KESTRUNE_W16_ROW(KESTRUNE_W16_PANEL_ONE, q3, acc[3]);
            }
        }
    }
#endif
    for (; k + 8 <= K; k += 8) {
        const int8x16_t b0 = turn(P0, k), b1 = turn(P0, k + 2), b2 = turn(P0, k + 4),
                        b3 = turn(P0, k + 6);
        const int8x16_t c0 = turn(P1, k), c1 = turn(P1, k + 2), c2 = turn(P1, k + 4),
                        c3 = turn(P1, k + 6);
        for (int r = 0; r < R; ++r) {
            int16x4_t av = vreinterpret_s16_s8(vld1_s8(a[r] + k));
            /* kept in its register (see widening_tile) */
            __asm__("" : "+w"(av));
            step(r, av, b0, b1, c0, c1, std::integral_constant<int, 0>{},
                 std::integral_constant<int, 1>{});
            step(r, av, b2, b3, c2, c3, std::integral_constant<int, 2>{},
                 std::integral_constant<int, 3>{});
        }
    }
    for (; k + 2 <= K; k += 2) {
        const int8x16_t b = turn(P0, k), c = turn(P1, k);
        for (int r = 0; r < R; ++r) {
            const uint16_t pair = static_cast<uint16_t>(static_cast<uint8_t>(a[r][k]) |
                                                        static_cast<uint8_t>(a[r][k + 1]) << 8);
            const int8x16_t ap = vreinterpretq_s8_u16(vdupq_n_u16(pair));
            acc[r][0] = vpadalq_s16(acc[r][0], vmull_s8(vget_low_s8(b), vget_low_s8(ap)));
            acc[r][1] = vpadalq_s16(acc[r][1], vmull_high_s8(b, ap));
            acc[r][2] = vpadalq_s16(acc[r][2], vmull_s8(vget_low_s8(c), vget_low_s8(ap)));
            acc[r][3] = vpadalq_s16(acc[r][3], vmull_high_s8(c, ap));
        }
    }
    for (; k < K; ++k) {
        const int16x8_t y0 = vmovl_s8(vld1_s8(P0 + static_cast<size_t>(k) * 8));
        const int16x8_t y1 = vmovl_s8(vld1_s8(P1 + static_cast<size_t>(k) * 8));
        for (int r = 0; r < R; ++r) {
            const int16_t x = a[r][k];
            acc[r][0] = vmlal_n_s16(acc[r][0], vget_low_s16(y0), x);
            acc[r][1] = vmlal_high_n_s16(acc[r][1], y0, x);
            acc[r][2] = vmlal_n_s16(acc[r][2], vget_low_s16(y1), x);
            acc[r][3] = vmlal_high_n_s16(acc[r][3], y1, x);
        }
    }
    const float32x4_t fv[4] = {vld1q_f32(f), vld1q_f32(f + 4), vld1q_f32(f + 8),
                               vld1q_f32(f + 12)};
    for (int r = 0; r < R; ++r)
        store_row_bytes<2>(C + static_cast<size_t>(i + r) * static_cast<size_t>(N) + j0, acc[r],
                           fv, st);
}

#undef KESTRUNE_W16_ROW
#undef KESTRUNE_W16_PANEL_ONE
#undef KESTRUNE_W16_PANEL_TWO

template <bool Two>
void widening_panels(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation, int32_t M,
                     int32_t full, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    const uint8x16_t pairs = vld1q_u8(kPairs);
    /* pairs of panels through the byte stage where it applies */
    int32_t j16 = 0;
    if (cols->z_out >= -128 && cols->z_out <= 127) {
        const ByteStage st = byte_stage(cols->z_out, cols->q6, activation);
        for (; j16 + 16 <= full; j16 += 16) {
            const int8_t* P = B + static_cast<size_t>(j16) * static_cast<size_t>(K);
            const float* f = cols->factors + j16;
            const int32_t* init = cols->init + j16;
            int32_t i = 0;
            for (; i + 4 <= M; i += 4)
                widening_tile16<4, Two>(C, A, P, i, j16, N, K, f, init, st, pairs);
            for (; i < M; ++i)
                widening_tile16<1, Two>(C, A, P, i, j16, N, K, f, init, st, pairs);
        }
    }
    each_tile8(M, full - j16, K, B + static_cast<size_t>(j16) * static_cast<size_t>(K),
               cols->factors + j16, cols->init + j16,
               [&](auto rows, const int8_t* P, int32_t i, int32_t j0, const float* f,
                   const int32_t* init) __attribute__((always_inline)) {
                   widening_tile<rows(), Two>(C, A, P, i, j16 + j0, N, K, f, init, activation,
                                              cols->q6, cols->z_out, pairs);
               });
}

} // namespace
#endif

void gemm_i8_panel8_columns_v80(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation,
                                int32_t M, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    int32_t j0 = 0;
#ifdef __ARM_NEON
    j0 = N / 8 * 8;
    if (cols->b_has_min)
        widening_panels<false>(C, A, B, activation, M, j0, N, K, cols);
    else
        widening_panels<true>(C, A, B, activation, M, j0, N, K, cols);
#endif
    for (; j0 < N; j0 += 8) {
        const int width = N - j0 >= 8 ? 8 : N - j0;
        panel8_block(C, A, B + static_cast<size_t>(j0) * static_cast<size_t>(K), M, N, K, j0,
                     width, cols->factors + j0, cols->init + j0, true, 0, activation, cols->q6,
                     cols->z_out);
    }
}

namespace {

/* The columns kernel of this process: the dot-product body where the CPU
 * has the instructions (SDOT on aarch64, VNNI or else AVX2 on x86-64), else
 * the widening one; chosen at the first call. */
gemm_i8_columns_kernel* columns_kernel()
{
#if defined(__x86_64__)
    static gemm_i8_columns_kernel* const chosen =
        cpu_isa_avx512_vnni() ? gemm_i8_panel8_columns_vnni
        : cpu_isa_avx2()      ? gemm_i8_panel8_columns_avx2
                              : gemm_i8_panel8_columns_v80;
#else
    static gemm_i8_columns_kernel* const chosen =
        gemm_i8_dot_available() ? gemm_i8_panel8_columns_dot : gemm_i8_panel8_columns_v80;
#endif
    return chosen;
}

} // namespace

int32_t gemm_i8_has_min(const int8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (b[i] == -128)
            return 1;
    return 0;
}

int gemm_i8_dot_available(void)
{
#if defined(__aarch64__)
    /* HWCAP_ASIMDDP: bit 20 of the first capability word */
    return cpu_has_feature(CPU_FEATURE_CODE(0, 20));
#else
    return 0;
#endif
}

void kernel_gemm_i8_panel8_columns(int8_t* C, const int8_t* A, const int8_t* B,
                                   int32_t activation, int32_t M, int32_t N, int32_t K,
                                   const gemm_i8_columns* cols)
{
    if (M < 1 || N < 1 || K < 1 || !cols)
        return;
    columns_kernel()(C, A, B, activation, M, N, K, cols);
}

void gemm_quant_t_general(void* C, const void* A, const void* B, const int32_t* bias,
                          int32_t activation, int32_t M, int32_t N, int32_t K,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const nn_quant_params* w_q, const nn_quant_params* bias_q,
                          const int32_t* multipliers, const int32_t* shifts)
{
    general_any(C, A, B, BLayout::t, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                multipliers, shifts);
}

void gemm_quant_n_general(void* C, const void* A, const void* B, const int32_t* bias,
                          int32_t activation, int32_t M, int32_t N, int32_t K,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const nn_quant_params* w_q, const nn_quant_params* bias_q,
                          const int32_t* multipliers, const int32_t* shifts)
{
    general_any(C, A, B, BLayout::n, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                multipliers, shifts);
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
    const bool complete = multipliers && shifts && reduce_zero;
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q), z_w = quant_zero(w_q);
    const int32_t z_b = bias ? quant_zero(bias_q) : 0;
    /* The INT8 fast kernels take the weights as symmetric: only then. */
    const bool all_i8 =
        to == NN_TYPE_I8 && ti == NN_TYPE_I8 && tw == NN_TYPE_I8 && quant_zeros_all(w_q, 0);
    const int lay = static_cast<unsigned char>(layout);
    /* the operands as the INT8 kernels read them */
    int8_t* const c8 = static_cast<int8_t*>(C);
    const int8_t* const a8 = static_cast<const int8_t*>(A);
    const int8_t* const b8 = static_cast<const int8_t*>(B);

    if (lay == 'T') {
        if (all_i8 && complete) {
            const int32_t q6 = gemm_quant_q6(out_q);
            if (M > 1)
                gemm_i8_t(c8, a8, b8, bias, activation, M, N, K, multipliers, shifts, reduce_zero,
                          z_in, z_out, z_b, q6);
            else
                gemm_i8_t_row(c8, a8, b8, bias, activation, M, N, K, multipliers, shifts,
                              reduce_zero, z_in, z_out, z_b, q6);
        } else if (to == NN_TYPE_U8 && ti == NN_TYPE_U8 && tw == NN_TYPE_U8 && complete &&
                   quant_zeros_all(w_q, z_w) && z_w >= 0 && z_w <= 255) {
            gemm_u8_t(static_cast<uint8_t*>(C), static_cast<const uint8_t*>(A),
                      static_cast<const uint8_t*>(B), bias, activation, M, N, K, multipliers,
                      shifts, reduce_zero, z_in, z_w, z_out, z_b, gemm_quant_q6(out_q));
        } else {
            gemm_quant_t_general(C, A, B, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                                 multipliers, shifts);
        }
    } else if (lay == 'N') {
        if (all_i8 && complete)
            gemm_i8_n(c8, a8, b8, bias, activation, M, N, K, multipliers, shifts, reduce_zero,
                      z_in, z_out, z_b, gemm_quant_q6(out_q));
        else
            gemm_quant_n_general(C, A, B, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                                 multipliers, shifts);
    } else if (lay == 8) {
        if (all_i8 && (reduce_zero || (z_in >= -255 && z_in <= 255)))
            gemm_i8_panel8(c8, a8, b8, bias, activation, M, N, K, out_q, in_q, w_q, bias_q,
                           reduce_zero, gemm_quant_q6(out_q));
        else
            general_any(C, A, B, BLayout::panel8, bias, activation, M, N, K, out_q, in_q, w_q,
                        bias_q, multipliers, shifts);
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
