/* The NEON output stage of the INT8 layout-8 kernels: eight accumulators of
 * one C row through the columns' float factors (ties to even), the fused
 * RELU (1) or RELU6 (2, at q6), the output zero point, saturated to INT8.
 * Shared by the widening and the dot-product bodies, which are built with
 * different target options. */
#ifndef KESTRUNE_KERNELS_GEMM_QUANT_STAGE_H
#define KESTRUNE_KERNELS_GEMM_QUANT_STAGE_H

#ifdef __ARM_NEON
#include <arm_neon.h>
#include <stddef.h>
#include <stdint.h>

#include <type_traits>

namespace kestrune {

inline __attribute__((always_inline)) void store_row8(int8_t* c, int32x4_t lo, int32x4_t hi,
                                                      float32x4_t f_lo, float32x4_t f_hi,
                                                      int32_t activation, int32_t q6,
                                                      int32_t z_out)
{
    int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(lo), f_lo));
    int32x4_t r1 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(hi), f_hi));
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
    const int16x8_t h = vcombine_s16(vqmovn_s32(r0), vqmovn_s32(r1));
    vst1_s8(c, vqmovn_s16(h));
}

/* The byte stage's constants: the output zero point in 16 bits and the
 * fused clamp's bounds as output bytes (for output zero points in
 * [-128, 127]). */
struct ByteStage {
    int16x8_t z16;
    int8x16_t lo8, hi8;
    int32_t activation;
};

inline int8_t sat8(int32_t v)
{
    return static_cast<int8_t>(v < -128 ? -128 : v > 127 ? 127 : v);
}

/* g(0) and g(q6) of store_row_bytes, q6 added to z_out saturating like
 * vqaddq_s32. */
inline ByteStage byte_stage(int32_t z_out, int32_t q6, int32_t activation)
{
    const int64_t top = static_cast<int64_t>(q6) + z_out;
    const int32_t hi = top > INT32_MAX ? INT32_MAX : top < INT32_MIN ? INT32_MIN
                                                                     : static_cast<int32_t>(top);
    return {vdupq_n_s16(static_cast<int16_t>(z_out)), vdupq_n_s8(sat8(z_out)),
            vdupq_n_s8(sat8(hi)), activation};
}

/* A C row of 8·W values from its accumulators: rescaled through the float
 * factors (ties to even), narrowed to 16 bits, the zero point added
 * (saturating), narrowed to 8 and clamped.  With an output zero point z in
 * [-128, 127] this is, value for value, store_row8's clamp, add and
 * saturation: g(x) = sat8(sat16(sat32(x + z))) equals sat8(sat16(sat16(x) +
 * z)) for every 32-bit x, and a non-decreasing g commutes with the clamp:
 * g(min(max(x, 0), q6)) = min(max(g(x), g(0)), g(q6)). */
template <int W>
inline __attribute__((always_inline)) void store_row_bytes(int8_t* c,
                                                           const int32x4_t (&acc)[2 * W],
                                                           const float32x4_t (&f)[2 * W],
                                                           const ByteStage& st)
{
    int16x8_t h[W];
    for (int q = 0; q < W; ++q) {
        const int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(acc[2 * q]), f[2 * q]));
        const int32x4_t r1 =
            vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(acc[2 * q + 1]), f[2 * q + 1]));
        h[q] = vqaddq_s16(vqmovn_high_s32(vqmovn_s32(r0), r1), st.z16);
    }
    if constexpr (W == 2) {
        int8x16_t b = vqmovn_high_s16(vqmovn_s16(h[0]), h[1]);
        if (st.activation == 1 || st.activation == 2)
            b = vmaxq_s8(b, st.lo8);
        if (st.activation == 2)
            b = vminq_s8(b, st.hi8);
        vst1q_s8(c, b);
    } else {
        int8x8_t b = vqmovn_s16(h[0]);
        if (st.activation == 1 || st.activation == 2)
            b = vmax_s8(b, vget_low_s8(st.lo8));
        if (st.activation == 2)
            b = vmin_s8(b, vget_low_s8(st.hi8));
        vst1_s8(c, b);
    }
}

/* tile(rows, P, i, j0, factors, init) for every full 8-wide panel (the
 * first `full` columns of B, panels K·8 values apart) and every row tile:
 * 4 rows (rows an integral_constant), then single ones. */
template <class Tile>
inline __attribute__((always_inline)) void each_tile8(int32_t M, int32_t full, int32_t K,
                                                      const int8_t* B, const float* factors,
                                                      const int32_t* init, Tile tile)
{
    for (int32_t j0 = 0; j0 < full; j0 += 8) {
        const int8_t* P = B + static_cast<size_t>(j0) * static_cast<size_t>(K);
        int32_t i = 0;
        for (; i + 4 <= M; i += 4)
            tile(std::integral_constant<int, 4>{}, P, i, j0, factors + j0, init + j0);
        for (; i < M; ++i)
            tile(std::integral_constant<int, 1>{}, P, i, j0, factors + j0, init + j0);
    }
}

/* The rows i .. i+R-1 of A (K values each) and their accumulators, started
 * at the columns' init values. */
template <int R>
inline __attribute__((always_inline)) void start_rows8(const int8_t* A, int32_t i, int32_t K,
                                                       const int32_t* init,
                                                       const int8_t* (&a)[R],
                                                       int32x4_t (&lo)[R], int32x4_t (&hi)[R])
{
    const int32x4_t il = vld1q_s32(init), ih = vld1q_s32(init + 4);
    for (int r = 0; r < R; ++r) {
        a[r] = A + static_cast<size_t>(i + r) * static_cast<size_t>(K);
        lo[r] = il;
        hi[r] = ih;
    }
}

/* The last single k of [k, K) for R rows (A rows a[r]) over an 8-wide panel P,
 * 16x16 -> 32 products, then each row's output stage into C (rows ldc
 * apart). */
template <int R>
inline __attribute__((always_inline)) void finish_rows8(int8_t* C, size_t ldc,
                                                        const int8_t* const (&a)[R],
                                                        const int8_t* P, int32_t k, int32_t K,
                                                        int32x4_t (&lo)[R], int32x4_t (&hi)[R],
                                                        const float* f, int32_t activation,
                                                        int32_t q6, int32_t z_out)
{
    for (; k < K; ++k) {
        const int16x8_t y = vmovl_s8(vld1_s8(P + static_cast<size_t>(k) * 8));
        for (int r = 0; r < R; ++r) {
            const int16_t x = a[r][k];
            lo[r] = vmlal_n_s16(lo[r], vget_low_s16(y), x);
            hi[r] = vmlal_high_n_s16(hi[r], y, x);
        }
    }
    const float32x4_t f_lo = vld1q_f32(f), f_hi = vld1q_f32(f + 4);
    for (int r = 0; r < R; ++r)
        store_row8(C + static_cast<size_t>(r) * ldc, lo[r], hi[r], f_lo, f_hi, activation, q6,
                   z_out);
}

} // namespace kestrune
#endif

#endif
