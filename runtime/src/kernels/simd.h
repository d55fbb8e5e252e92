/* A small typed layer over the vector registers the kernels use, so one
 * kernel template serves every element type and every vector width.
 *
 * Lanes<T, N> is N lanes of T with load, store, broadcast and the
 * lane-wise arithmetic the kernels need.  N == 1 is a plain scalar on every
 * target (the tails of the vector loops); the NEON widths exist only under
 * __ARM_NEON.  Arithmetic on lanes is the same IEEE operation as on the
 * scalar, one lane at a time, so a kernel instantiated at both widths gives
 * the same bits. */
#ifndef KESTRUNE_KERNELS_SIMD_H
#define KESTRUNE_KERNELS_SIMD_H

#include <stdint.h>

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace simd {

template <typename T, int N>
struct Lanes;

/* One value: the vector loops' tails and the portable bodies. */
template <typename T>
struct Lanes<T, 1> {
    using type = T;
    static constexpr int width = 1;
    static type load(const T* p) { return *p; }
    static void store(T* p, type v) { *p = v; }
    static type dup(T v) { return v; }
    static type add(type a, type b) { return a + b; }
    static type sub(type a, type b) { return a - b; }
    static type mul(type a, type b) { return a * b; }
    static type div(type a, type b) { return a / b; }
};

/* 32-bit integers wrap like the vector lanes. */
template <>
inline int32_t Lanes<int32_t, 1>::add(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

#ifdef __ARM_NEON
template <>
struct Lanes<float, 4> {
    using type = float32x4_t;
    static constexpr int width = 4;
    static type load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, type v) { vst1q_f32(p, v); }
    static type dup(float v) { return vdupq_n_f32(v); }
    static type add(type a, type b) { return vaddq_f32(a, b); }
    static type sub(type a, type b) { return vsubq_f32(a, b); }
    static type mul(type a, type b) { return vmulq_f32(a, b); }
    static type div(type a, type b) { return vdivq_f32(a, b); }
};

/* Wrapping 32-bit lanes: only what the integer kernels use. */
template <>
struct Lanes<int32_t, 4> {
    using type = int32x4_t;
    static constexpr int width = 4;
    static type load(const int32_t* p) { return vld1q_s32(p); }
    static void store(int32_t* p, type v) { vst1q_s32(p, v); }
    static type add(type a, type b) { return vaddq_s32(a, b); }
};

/* The widest lanes of T the target has. */
template <typename T>
using Wide = Lanes<T, 4>;
#endif

/* a + b * c as two roundings (the kernels never fuse). */
template <typename L>
inline typename L::type mul_add(typename L::type a, typename L::type b, typename L::type c)
{
    return L::add(a, L::mul(b, c));
}

} // namespace simd
} // namespace kestrune

#endif
