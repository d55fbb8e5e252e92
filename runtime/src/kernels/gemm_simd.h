/* The small SIMD layer of the GEMM and dense kernels.
 *
 * One set of 128-bit operations with two bodies: NEON intrinsics on aarch64
 * and GCC vector types of the same width everywhere else.  Both bodies give
 * the same integer results bit for bit; the float operations differ only
 * where NEON fuses a multiply-add (vfma), which the callers name explicitly.
 *
 * Loads, stores, broadcasts and widenings are overloaded on the element type,
 * so that one kernel template serves INT8 and UINT8 operands.  Everything here
 * is inline, allocates nothing and keeps no state. */
#ifndef KESTRUNE_KERNELS_GEMM_SIMD_H
#define KESTRUNE_KERNELS_GEMM_SIMD_H

#include <cstdint>
#include <cstring>

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

#define NN_SIMD_INLINE inline __attribute__((always_inline))

namespace kestrune {
namespace simd {

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

/* The portable loads and stores: 16 (or 8) bytes copied as they stand. */
template <typename V, typename T>
NN_SIMD_INLINE V load_bytes(const T* p)
{
    V v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename T, typename V>
NN_SIMD_INLINE void store_bytes(T* p, V v)
{
    memcpy(p, &v, sizeof v);
}

/* Four lanes of a, starting at lane 4·H, widened to 32 bits. */
template <int H>
NN_SIMD_INLINE v_i32 widen_quarter(v_i16 a)
{
    return v_i32{a[4 * H], a[4 * H + 1], a[4 * H + 2], a[4 * H + 3]};
}
#endif

/* ---- loads, stores, broadcasts and lane-wise sums, by element type ---- */

#ifdef __ARM_NEON
NN_SIMD_INLINE v_f32 load(const float* p) { return vld1q_f32(p); }
NN_SIMD_INLINE v_i8 load(const int8_t* p) { return vld1q_s8(p); }
NN_SIMD_INLINE v_u8 load(const uint8_t* p) { return vld1q_u8(p); }
NN_SIMD_INLINE v_i32 load(const int32_t* p) { return vld1q_s32(p); }
NN_SIMD_INLINE void store(float* p, v_f32 v) { vst1q_f32(p, v); }
NN_SIMD_INLINE void store(int32_t* p, v_i32 v) { vst1q_s32(p, v); }
NN_SIMD_INLINE v_f32 dup(float x) { return vdupq_n_f32(x); }
NN_SIMD_INLINE v_i16 dup(int16_t x) { return vdupq_n_s16(x); }
NN_SIMD_INLINE v_i32 dup(int32_t x) { return vdupq_n_s32(x); }
NN_SIMD_INLINE v_f32 add(v_f32 a, v_f32 b) { return vaddq_f32(a, b); }
NN_SIMD_INLINE v_i32 add(v_i32 a, v_i32 b) { return vaddq_s32(a, b); }
NN_SIMD_INLINE v_i16 sub(v_i16 a, v_i16 b) { return vsubq_s16(a, b); }
#else
NN_SIMD_INLINE v_f32 load(const float* p) { return load_bytes<v_f32>(p); }
NN_SIMD_INLINE v_i8 load(const int8_t* p) { return load_bytes<v_i8>(p); }
NN_SIMD_INLINE v_u8 load(const uint8_t* p) { return load_bytes<v_u8>(p); }
NN_SIMD_INLINE v_i32 load(const int32_t* p) { return load_bytes<v_i32>(p); }
NN_SIMD_INLINE void store(float* p, v_f32 v) { store_bytes(p, v); }
NN_SIMD_INLINE void store(int32_t* p, v_i32 v) { store_bytes(p, v); }
NN_SIMD_INLINE v_f32 dup(float x) { return v_f32{x, x, x, x}; }
NN_SIMD_INLINE v_i16 dup(int16_t x) { return v_i16{x, x, x, x, x, x, x, x}; }
NN_SIMD_INLINE v_i32 dup(int32_t x) { return v_i32{x, x, x, x}; }
NN_SIMD_INLINE v_f32 add(v_f32 a, v_f32 b) { return a + b; }
NN_SIMD_INLINE v_i32 add(v_i32 a, v_i32 b) { return a + b; }
NN_SIMD_INLINE v_i16 sub(v_i16 a, v_i16 b) { return a - b; }
#endif

/* ---- four float lanes ------------------------------------------------- */

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

/* The larger and the smaller lane of a and b; elsewhere than NEON a NaN in a
 * gives b's lane. */
#ifdef __ARM_NEON
NN_SIMD_INLINE v_f32 vf_max(v_f32 a, v_f32 b) { return vmaxq_f32(a, b); }
NN_SIMD_INLINE v_f32 vf_min(v_f32 a, v_f32 b) { return vminq_f32(a, b); }
#else
NN_SIMD_INLINE v_f32 vf_select(v_i32 m, v_f32 a, v_f32 b)
{
    return (v_f32)(((v_i32)a & m) | ((v_i32)b & ~m));
}
NN_SIMD_INLINE v_f32 vf_max(v_f32 a, v_f32 b) { return vf_select(a > b, a, b); }
NN_SIMD_INLINE v_f32 vf_min(v_f32 a, v_f32 b) { return vf_select(a < b, a, b); }
#endif

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

/* ---- 8-bit values widened to 16 bits ---------------------------------- */

/* Eight bytes at p widened to 16 bits (unsigned ones to 0..255). */
NN_SIMD_INLINE v_i16 widen8(const int8_t* p)
{
#ifdef __ARM_NEON
    return vmovl_s8(vld1_s8(p));
#else
    return __builtin_convertvector(load_bytes<v_i8_half>(p), v_i16);
#endif
}

NN_SIMD_INLINE v_i16 widen8(const uint8_t* p)
{
#ifdef __ARM_NEON
    return vreinterpretq_s16_u16(vmovl_u8(vld1_u8(p)));
#else
    return __builtin_convertvector(load_bytes<v_u8_half>(p), v_i16);
#endif
}

/* Low and high eight lanes of sixteen bytes, widened to 16 bits. */
#ifdef __ARM_NEON
NN_SIMD_INLINE v_i16 widen_lo(v_i8 v) { return vmovl_s8(vget_low_s8(v)); }
NN_SIMD_INLINE v_i16 widen_hi(v_i8 v) { return vmovl_high_s8(v); }
NN_SIMD_INLINE v_i16 widen_lo(v_u8 v) { return vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v))); }
NN_SIMD_INLINE v_i16 widen_hi(v_u8 v) { return vreinterpretq_s16_u16(vmovl_high_u8(v)); }
#else
/* signed: each byte doubled into a 16-bit lane, then shifted down with its
 * sign; unsigned: each byte paired with a zero byte */
NN_SIMD_INLINE v_i16 widen_lo(v_i8 v)
{
    return (v_i16)__builtin_shufflevector(v, v, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7,
                                          7) >>
           8;
}
NN_SIMD_INLINE v_i16 widen_hi(v_i8 v)
{
    return (v_i16)__builtin_shufflevector(v, v, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14,
                                          14, 15, 15) >>
           8;
}
NN_SIMD_INLINE v_i16 widen_lo(v_u8 v)
{
    const v_u8 z = {0};
    return (v_i16)__builtin_shufflevector(v, z, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 16, 6, 16,
                                          7, 16);
}
NN_SIMD_INLINE v_i16 widen_hi(v_u8 v)
{
    const v_u8 z = {0};
    return (v_i16)__builtin_shufflevector(v, z, 8, 16, 9, 16, 10, 16, 11, 16, 12, 16, 13, 16, 14,
                                          16, 15, 16);
}
#endif

/* Sixteen 8-bit values at p as their low and high eight, widened to 16 bits. */
template <typename T>
NN_SIMD_INLINE void load_widen(const T* p, v_i16* lo, v_i16* hi)
{
    const auto v = load(p);
    *lo = widen_lo(v);
    *hi = widen_hi(v);
}

/* ---- 16-bit lanes ----------------------------------------------------- */

/* 16-bit lanes of a and b interleaved: zip_lo a0 b0 a1 b1 a2 b2 a3 b3,
 * zip_hi a4 b4 ... a7 b7. */
#ifdef __ARM_NEON
NN_SIMD_INLINE v_i16 vi16_zip_lo(v_i16 a, v_i16 b) { return vzip1q_s16(a, b); }
NN_SIMD_INLINE v_i16 vi16_zip_hi(v_i16 a, v_i16 b) { return vzip2q_s16(a, b); }
#else
NN_SIMD_INLINE v_i16 vi16_zip_lo(v_i16 a, v_i16 b)
{
    return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11);
}
NN_SIMD_INLINE v_i16 vi16_zip_hi(v_i16 a, v_i16 b)
{
    return __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15);
}
#endif

/* Lanes 2T and 2T+1 of a repeated over the vector. */
template <int T>
NN_SIMD_INLINE v_i16 vi16_dup_pair_lane(v_i16 a)
{
    static_assert(T >= 0 && T < 4, "a pair of the eight 16-bit lanes");
#ifdef __ARM_NEON
    return vreinterpretq_s16_s32(vdupq_laneq_s32(vreinterpretq_s32_s16(a), T));
#else
    return (v_i16)__builtin_shufflevector((v_i32)a, (v_i32)a, T, T, T, T);
#endif
}

/* The pair (a, b) repeated over the eight 16-bit lanes: a, b, a, b, ... */
NN_SIMD_INLINE v_i16 vi16_dup_pair(int16_t a, int16_t b)
{
    const int32_t w = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(a)) |
                                           (static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16));
#ifdef __ARM_NEON
    return vreinterpretq_s16_s32(vdupq_n_s32(w));
#else
    return (v_i16)dup(w);
#endif
}

/* ---- 32-bit accumulation ---------------------------------------------- */

#ifndef __ARM_NEON
/* a + b wrapping like the NEON adds and the scalar sums (a hostile model's
 * long sums may pass 2^31; signed vector overflow would be undefined). */
NN_SIMD_INLINE v_i32 vi32_wrap_add(v_i32 a, v_i32 b) { return (v_i32)((v_u32)a + (v_u32)b); }
#endif

/* acc[i] + a[2i]·b[2i] + a[2i+1]·b[2i+1] for raw 8-bit values a and b held
 * in 16-bit lanes (every product fits in 16 bits).  NEON multiplies in 16
 * bits and adds the pairs (vpadal); x86-64 forms the same sums with 32-bit
 * products in one instruction (pmaddwd). */
NN_SIMD_INLINE v_i32 vi32_dot2_i8(v_i32 acc, v_i16 a, v_i16 b)
{
#ifdef __ARM_NEON
    return vpadalq_s16(acc, vmulq_s16(a, b));
#elif defined(__SSE2__)
    return vi32_wrap_add(acc, (v_i32)__builtin_ia32_pmaddwd128(a, b));
#else
    /* little-endian lanes: the even lane is the low half of each 32-bit word */
    const v_i32 w = (v_i32)(a * b);
    const v_i32 even = (v_i32)((v_u32)w << 16) >> 16;
    return vi32_wrap_add(vi32_wrap_add(acc, even), w >> 16);
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
#ifdef __ARM_NEON
NN_SIMD_INLINE v_i32 vi32_mlal_lo(v_i32 acc, v_i16 a, v_i16 b)
{
    return vmlal_s16(acc, vget_low_s16(a), vget_low_s16(b));
}
NN_SIMD_INLINE v_i32 vi32_mlal_hi(v_i32 acc, v_i16 a, v_i16 b) { return vmlal_high_s16(acc, a, b); }
#else
NN_SIMD_INLINE v_i32 vi32_mlal_lo(v_i32 acc, v_i16 a, v_i16 b)
{
    return vi32_wrap_add(acc, widen_quarter<0>(a) * widen_quarter<0>(b));
}
NN_SIMD_INLINE v_i32 vi32_mlal_hi(v_i32 acc, v_i16 a, v_i16 b)
{
    return vi32_wrap_add(acc, widen_quarter<1>(a) * widen_quarter<1>(b));
}
#endif

/* acc[i] + a[i] · s for the low and high four lanes of a, s one 16-bit value. */
#ifdef __ARM_NEON
NN_SIMD_INLINE v_i32 vi32_mlal_lo_n(v_i32 acc, v_i16 a, int16_t s)
{
    return vmlal_n_s16(acc, vget_low_s16(a), s);
}
NN_SIMD_INLINE v_i32 vi32_mlal_hi_n(v_i32 acc, v_i16 a, int16_t s)
{
    return vmlal_high_n_s16(acc, a, s);
}
#else
NN_SIMD_INLINE v_i32 vi32_mlal_lo_n(v_i32 acc, v_i16 a, int16_t s)
{
    return vi32_wrap_add(acc, widen_quarter<0>(a) * static_cast<int32_t>(s));
}
NN_SIMD_INLINE v_i32 vi32_mlal_hi_n(v_i32 acc, v_i16 a, int16_t s)
{
    return vi32_wrap_add(acc, widen_quarter<1>(a) * static_cast<int32_t>(s));
}
#endif

/* acc_lo/acc_hi += b[0..3] · s and b[4..7] · s for raw 8-bit values b and s
 * (every product fits in 16 bits, one product per lane before widening). */
NN_SIMD_INLINE void vi32_mac8_n(v_i32* acc_lo, v_i32* acc_hi, v_i16 b, int16_t s)
{
#ifdef __ARM_NEON
    *acc_lo = vmlal_n_s16(*acc_lo, vget_low_s16(b), s);
    *acc_hi = vmlal_high_n_s16(*acc_hi, b, s);
#else
    const v_i16 p = b * dup(s);
    *acc_lo = vi32_wrap_add(*acc_lo, widen_quarter<0>(p));
    *acc_hi = vi32_wrap_add(*acc_hi, widen_quarter<1>(p));
#endif
}

/* Sum of the four 32-bit lanes (wrapping, like the scalar sum). */
NN_SIMD_INLINE int32_t vi32_sum(v_i32 v)
{
#ifdef __ARM_NEON
    return vaddvq_s32(v);
#else
    const uint32_t s = static_cast<uint32_t>(v[0]) + static_cast<uint32_t>(v[1]) +
                       static_cast<uint32_t>(v[2]) + static_cast<uint32_t>(v[3]);
    return static_cast<int32_t>(s);
#endif
}

} // namespace simd
} // namespace kestrune

#endif /* KESTRUNE_KERNELS_GEMM_SIMD_H */
