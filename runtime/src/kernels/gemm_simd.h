/* The small SIMD layer of the GEMM and dense kernels.
 *
 * One set of 128-bit operations with two bodies: NEON intrinsics on aarch64
 * and GCC vector types of the same width everywhere else.  Both bodies give
 * the same integer results bit for bit; the float operations differ only
 * where NEON fuses a multiply-add (vfma), which the callers name explicitly.
 *
 * Everything here is static inline, allocates nothing and keeps no state. */
#ifndef KESTRUNE_KERNELS_GEMM_SIMD_H
#define KESTRUNE_KERNELS_GEMM_SIMD_H

#include <stdint.h>
#include <string.h>

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

#define NN_SIMD_INLINE static inline __attribute__((always_inline))

#ifdef __ARM_NEON
typedef float32x4_t v_f32;
typedef int32x4_t v_i32;
typedef int16x8_t v_i16;
typedef int8x16_t v_i8;
typedef uint8x16_t v_u8;
#else
typedef float v_f32 __attribute__((vector_size(16)));
typedef int32_t v_i32 __attribute__((vector_size(16)));
typedef uint32_t v_u32 __attribute__((vector_size(16)));
typedef int16_t v_i16 __attribute__((vector_size(16)));
typedef int8_t v_i8 __attribute__((vector_size(16)));
typedef uint8_t v_u8 __attribute__((vector_size(16)));
typedef int8_t v_i8_half __attribute__((vector_size(8)));
typedef uint8_t v_u8_half __attribute__((vector_size(8)));
typedef int16_t v_i16_half __attribute__((vector_size(8)));
#endif

/* ---- four float lanes ------------------------------------------------- */

NN_SIMD_INLINE v_f32 vf_load(const float* p)
{
#ifdef __ARM_NEON
    return vld1q_f32(p);
#else
    v_f32 v;
    memcpy(&v, p, sizeof v);
    return v;
#endif
}

NN_SIMD_INLINE void vf_store(float* p, v_f32 v)
{
#ifdef __ARM_NEON
    vst1q_f32(p, v);
#else
    memcpy(p, &v, sizeof v);
#endif
}

NN_SIMD_INLINE v_f32 vf_dup(float x)
{
#ifdef __ARM_NEON
    return vdupq_n_f32(x);
#else
    return (v_f32){x, x, x, x};
#endif
}

NN_SIMD_INLINE v_f32 vf_add(v_f32 a, v_f32 b)
{
#ifdef __ARM_NEON
    return vaddq_f32(a, b);
#else
    return a + b;
#endif
}

NN_SIMD_INLINE v_f32 vf_mul(v_f32 a, v_f32 b)
{
#ifdef __ARM_NEON
    return vmulq_f32(a, b);
#else
    return a * b;
#endif
}

/* acc + a * b, fused on NEON (one rounding), separate elsewhere. */
NN_SIMD_INLINE v_f32 vf_fma(v_f32 acc, v_f32 a, v_f32 b)
{
#ifdef __ARM_NEON
    return vfmaq_f32(acc, a, b);
#else
    return acc + a * b;
#endif
}

/* acc + a * b with a separate multiply and add on every target. */
NN_SIMD_INLINE v_f32 vf_mla(v_f32 acc, v_f32 a, v_f32 b)
{
#ifdef __ARM_NEON
    return vaddq_f32(acc, vmulq_f32(a, b));
#else
    return acc + a * b;
#endif
}

NN_SIMD_INLINE v_f32 vf_max(v_f32 a, v_f32 b)
{
#ifdef __ARM_NEON
    return vmaxq_f32(a, b);
#else
    v_i32 m = a > b;
    return (v_f32)(((v_i32)a & m) | ((v_i32)b & ~m));
#endif
}

NN_SIMD_INLINE v_f32 vf_min(v_f32 a, v_f32 b)
{
#ifdef __ARM_NEON
    return vminq_f32(a, b);
#else
    v_i32 m = a < b;
    return (v_f32)(((v_i32)a & m) | ((v_i32)b & ~m));
#endif
}

/* Sum of the four lanes: (l0 + l1) + (l2 + l3) on both bodies. */
NN_SIMD_INLINE float vf_sum(v_f32 v)
{
#ifdef __ARM_NEON
    float32x2_t p = vpadd_f32(vget_low_f32(v), vget_high_f32(v));
    return vget_lane_f32(p, 0) + vget_lane_f32(p, 1);
#else
    return (v[0] + v[1]) + (v[2] + v[3]);
#endif
}

/* ---- integer lanes ---------------------------------------------------- */

NN_SIMD_INLINE v_i8 vi8_load(const int8_t* p)
{
#ifdef __ARM_NEON
    return vld1q_s8(p);
#else
    v_i8 v;
    memcpy(&v, p, sizeof v);
    return v;
#endif
}

NN_SIMD_INLINE v_u8 vu8_load(const uint8_t* p)
{
#ifdef __ARM_NEON
    return vld1q_u8(p);
#else
    v_u8 v;
    memcpy(&v, p, sizeof v);
    return v;
#endif
}

/* Eight signed bytes widened to 16 bits. */
NN_SIMD_INLINE v_i16 vi16_from_i8x8(const int8_t* p)
{
#ifdef __ARM_NEON
    return vmovl_s8(vld1_s8(p));
#else
    v_i8_half h;
    memcpy(&h, p, sizeof h);
    return __builtin_convertvector(h, v_i16);
#endif
}

/* Eight unsigned bytes widened to 16 bits (values 0..255). */
NN_SIMD_INLINE v_i16 vi16_from_u8x8(const uint8_t* p)
{
#ifdef __ARM_NEON
    return vreinterpretq_s16_u16(vmovl_u8(vld1_u8(p)));
#else
    v_u8_half h;
    memcpy(&h, p, sizeof h);
    return __builtin_convertvector(h, v_i16);
#endif
}

/* Low and high eight lanes of sixteen signed bytes, widened to 16 bits. */
NN_SIMD_INLINE v_i16 vi16_lo_i8(v_i8 v)
{
#ifdef __ARM_NEON
    return vmovl_s8(vget_low_s8(v));
#else
    /* each byte doubled into a 16-bit lane, then shifted down with its sign */
    v_i8 d = __builtin_shufflevector(v, v, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
    return (v_i16)d >> 8;
#endif
}

NN_SIMD_INLINE v_i16 vi16_hi_i8(v_i8 v)
{
#ifdef __ARM_NEON
    return vmovl_high_s8(v);
#else
    v_i8 d = __builtin_shufflevector(v, v, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14,
                                     15, 15);
    return (v_i16)d >> 8;
#endif
}

NN_SIMD_INLINE v_i16 vi16_lo_u8(v_u8 v)
{
#ifdef __ARM_NEON
    return vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v)));
#else
    const v_u8 z = {0};
    return (v_i16)__builtin_shufflevector(v, z, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 16, 6, 16,
                                          7, 16);
#endif
}

NN_SIMD_INLINE v_i16 vi16_hi_u8(v_u8 v)
{
#ifdef __ARM_NEON
    return vreinterpretq_s16_u16(vmovl_high_u8(v));
#else
    const v_u8 z = {0};
    return (v_i16)__builtin_shufflevector(v, z, 8, 16, 9, 16, 10, 16, 11, 16, 12, 16, 13, 16, 14,
                                          16, 15, 16);
#endif
}

/* 16-bit lanes of a and b interleaved: zip_lo a0 b0 a1 b1 a2 b2 a3 b3,
 * zip_hi a4 b4 ... a7 b7. */
NN_SIMD_INLINE v_i16 vi16_zip_lo(v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vzip1q_s16(a, b);
#else
    return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11);
#endif
}

NN_SIMD_INLINE v_i16 vi16_zip_hi(v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vzip2q_s16(a, b);
#else
    return __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15);
#endif
}

/* Lanes 2t and 2t+1 of a repeated over the vector (t a constant 0..3). */
#ifdef __ARM_NEON
#define VI16_DUP_PAIR_LANE(a, t) \
    vreinterpretq_s16_s32(vdupq_laneq_s32(vreinterpretq_s32_s16(a), (t)))
#else
#define VI16_DUP_PAIR_LANE(a, t) \
    ((v_i16)__builtin_shufflevector((v_i32)(a), (v_i32)(a), (t), (t), (t), (t)))
#endif

/* The pair (a, b) repeated over the eight 16-bit lanes: a, b, a, b, ... */
NN_SIMD_INLINE v_i16 vi16_dup_pair(int16_t a, int16_t b)
{
    int32_t w = (int32_t)((uint32_t)(uint16_t)a | ((uint32_t)(uint16_t)b << 16));
#ifdef __ARM_NEON
    return vreinterpretq_s16_s32(vdupq_n_s32(w));
#else
    return (v_i16)(v_i32){w, w, w, w};
#endif
}

NN_SIMD_INLINE v_i16 vi16_dup(int16_t x)
{
#ifdef __ARM_NEON
    return vdupq_n_s16(x);
#else
    return (v_i16){x, x, x, x, x, x, x, x};
#endif
}

NN_SIMD_INLINE v_i16 vi16_sub(v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vsubq_s16(a, b);
#else
    return a - b;
#endif
}

/* Lane-wise 16-bit product.  Only safe where every product fits in 16 bits:
 * raw 8-bit values (|a·b| <= 16384), one product per lane. */
NN_SIMD_INLINE v_i16 vi16_mul(v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vmulq_s16(a, b);
#else
    return a * b;
#endif
}

/* acc + pairwise sums of the eight 16-bit lanes, widened to 32 bits:
 * acc[i] += p[2i] + p[2i+1]. */
NN_SIMD_INLINE v_i32 vi32_padal(v_i32 acc, v_i16 p)
{
#ifdef __ARM_NEON
    return vpadalq_s16(acc, p);
#else
    /* little-endian lanes: the even lane is the low half of each 32-bit word */
    v_i32 w = (v_i32)p;
    v_i32 even = (v_i32)((v_u32)w << 16) >> 16;
    return acc + even + (w >> 16);
#endif
}

/* acc[i] + a[2i]·b[2i] + a[2i+1]·b[2i+1] for raw 8-bit values a and b held
 * in 16-bit lanes (every product fits in 16 bits).  NEON multiplies in 16
 * bits and adds the pairs (vpadal); x86-64 forms the same sums with 32-bit
 * products in one instruction (pmaddwd). */
NN_SIMD_INLINE v_i32 vi32_dot2_i8(v_i32 acc, v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vpadalq_s16(acc, vmulq_s16(a, b));
#elif defined(__SSE2__)
    return acc + (v_i32)__builtin_ia32_pmaddwd128(a, b);
#else
    return vi32_padal(acc, a * b);
#endif
}

/* Sixteen signed bytes as two vectors of 16-bit values that together hold
 * every byte once.  Which byte lands in which lane differs between bodies
 * (NEON: low and high halves; elsewhere: even and odd bytes, split by shifts
 * alone), so callers use only sums over all lanes, with both operands of a
 * product split the same way. */
NN_SIMD_INLINE void vi8_split(v_i8 v, v_i16* x0, v_i16* x1)
{
#ifdef __ARM_NEON
    *x0 = vmovl_s8(vget_low_s8(v));
    *x1 = vmovl_high_s8(v);
#else
    *x0 = ((v_i16)v << 8) >> 8;
    *x1 = (v_i16)v >> 8;
#endif
}

/* acc + a[0..3] · b[0..3] and acc + a[4..7] · b[4..7] with 32-bit products:
 * for zero-point-adjusted values that need more than 8 bits. */
NN_SIMD_INLINE v_i32 vi32_mlal_lo(v_i32 acc, v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vmlal_s16(acc, vget_low_s16(a), vget_low_s16(b));
#else
    v_i32 x = {a[0], a[1], a[2], a[3]};
    v_i32 y = {b[0], b[1], b[2], b[3]};
    return acc + x * y;
#endif
}

NN_SIMD_INLINE v_i32 vi32_mlal_hi(v_i32 acc, v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vmlal_high_s16(acc, a, b);
#else
    v_i32 x = {a[4], a[5], a[6], a[7]};
    v_i32 y = {b[4], b[5], b[6], b[7]};
    return acc + x * y;
#endif
}

/* acc[i] + a[i] · s for the low and high four lanes of a, s one 16-bit value. */
NN_SIMD_INLINE v_i32 vi32_mlal_lo_n(v_i32 acc, v_i16 a, int16_t s)
{
#ifdef __ARM_NEON
    return vmlal_n_s16(acc, vget_low_s16(a), s);
#else
    v_i32 x = {a[0], a[1], a[2], a[3]};
    return acc + x * (int32_t)s;
#endif
}

NN_SIMD_INLINE v_i32 vi32_mlal_hi_n(v_i32 acc, v_i16 a, int16_t s)
{
#ifdef __ARM_NEON
    return vmlal_high_n_s16(acc, a, s);
#else
    v_i32 x = {a[4], a[5], a[6], a[7]};
    return acc + x * (int32_t)s;
#endif
}

/* acc_lo/acc_hi += b[0..3] · s and b[4..7] · s for raw 8-bit values b and s
 * (every product fits in 16 bits, one product per lane before widening). */
NN_SIMD_INLINE void vi32_mac8_n(v_i32* acc_lo, v_i32* acc_hi, v_i16 b, int16_t s)
{
#ifdef __ARM_NEON
    *acc_lo = vmlal_n_s16(*acc_lo, vget_low_s16(b), s);
    *acc_hi = vmlal_high_n_s16(*acc_hi, b, s);
#else
    v_i16 p = b * (v_i16){s, s, s, s, s, s, s, s};
    v_i32 lo = {p[0], p[1], p[2], p[3]};
    v_i32 hi = {p[4], p[5], p[6], p[7]};
    *acc_lo += lo;
    *acc_hi += hi;
#endif
}

NN_SIMD_INLINE v_i32 vi32_dup(int32_t x)
{
#ifdef __ARM_NEON
    return vdupq_n_s32(x);
#else
    return (v_i32){x, x, x, x};
#endif
}

NN_SIMD_INLINE v_i32 vi32_load(const int32_t* p)
{
#ifdef __ARM_NEON
    return vld1q_s32(p);
#else
    v_i32 v;
    memcpy(&v, p, sizeof v);
    return v;
#endif
}

NN_SIMD_INLINE void vi32_store(int32_t* p, v_i32 v)
{
#ifdef __ARM_NEON
    vst1q_s32(p, v);
#else
    memcpy(p, &v, sizeof v);
#endif
}

NN_SIMD_INLINE v_i32 vi32_add(v_i32 a, v_i32 b)
{
#ifdef __ARM_NEON
    return vaddq_s32(a, b);
#else
    return a + b;
#endif
}

/* Sum of the four 32-bit lanes (wrapping, like the scalar sum). */
NN_SIMD_INLINE int32_t vi32_sum(v_i32 v)
{
#ifdef __ARM_NEON
    return vaddvq_s32(v);
#else
    uint32_t s = (uint32_t)v[0] + (uint32_t)v[1] + (uint32_t)v[2] + (uint32_t)v[3];
    return (int32_t)s;
#endif
}

NN_SIMD_INLINE v_f32 vf_from_i32(v_i32 v)
{
#ifdef __ARM_NEON
    return vcvtq_f32_s32(v);
#else
    return __builtin_convertvector(v, v_f32);
#endif
}

#endif /* KESTRUNE_KERNELS_GEMM_SIMD_H */
