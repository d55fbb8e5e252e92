#include "quant_kernels.h"

#if defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define NN_QUANT_NEON 1
#endif

#ifdef NN_QUANT_NEON
/* zero + round(x / scale) on four lanes, a NaN lane taking the zero point;
 * the level is integral, so clamping then truncating stores it exactly. */
static inline float32x4_t level4(const float* x, const int32_t* zeros, const float* scales,
                                 size_t step, size_t j, float32x4_t z0, float32x4_t s0)
{
    float32x4_t z = step ? vcvtq_f32_s32(vld1q_s32(zeros + j)) : z0;
    float32x4_t s = step ? vld1q_f32(scales + j) : s0;
    float32x4_t q = vaddq_f32(z, vrndaq_f32(vdivq_f32(vld1q_f32(x + j), s)));
    return vbslq_f32(vceqq_f32(q, q), q, z);
}
#endif

namespace {

/* What differs between the 8-bit types: the scalar clamp, the lane range and
 * the narrowing store of quantize, the widening load of dequantize. */
template <typename Q>
struct Lanes;

template <>
struct Lanes<uint8_t> {
    static uint8_t quantize(float x, int32_t zero, float scale) { return nn_quant_u8(x, zero, scale); }
#ifdef NN_QUANT_NEON
    static constexpr float lo = 0.0f, hi = 255.0f;
    static void store16(uint8_t* q, const float32x4_t v[4])
    {
        uint16x4_t r[4];
        for (int k = 0; k < 4; ++k)
            r[k] = vmovn_u32(vcvtq_u32_f32(v[k]));
        uint8x8_t a = vmovn_u16(vcombine_u16(r[0], r[1]));
        uint8x8_t b = vmovn_u16(vcombine_u16(r[2], r[3]));
        vst1q_u8(q, vcombine_u8(a, b));
    }
    static void widen16(const uint8_t* q, int16x8_t* lo, int16x8_t* hi)
    {
        uint8x16_t v = vld1q_u8(q);
        *lo = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v)));
        *hi = vreinterpretq_s16_u16(vmovl_high_u8(v));
    }
#endif
};

template <>
struct Lanes<int8_t> {
    static int8_t quantize(float x, int32_t zero, float scale) { return nn_quant_i8(x, zero, scale); }
#ifdef NN_QUANT_NEON
    static constexpr float lo = -128.0f, hi = 127.0f;
    static void store16(int8_t* q, const float32x4_t v[4])
    {
        int16x4_t r[4];
        for (int k = 0; k < 4; ++k)
            r[k] = vmovn_s32(vcvtq_s32_f32(v[k]));
        int8x8_t a = vmovn_s16(vcombine_s16(r[0], r[1]));
        int8x8_t b = vmovn_s16(vcombine_s16(r[2], r[3]));
        vst1q_s8(q, vcombine_s8(a, b));
    }
    static void widen16(const int8_t* q, int16x8_t* lo, int16x8_t* hi)
    {
        int8x16_t v = vld1q_s8(q);
        *lo = vmovl_s8(vget_low_s8(v));
        *hi = vmovl_high_s8(v);
    }
#endif
};

template <typename Q>
void quantize(const float* x, Q* q, size_t n, const int32_t* zeros, const float* scales, size_t step)
{
    size_t j = 0;
#ifdef NN_QUANT_NEON
    const float32x4_t z0 = vcvtq_f32_s32(vdupq_n_s32(zeros[0]));
    const float32x4_t s0 = vdupq_n_f32(scales[0]);
    const float32x4_t lo = vdupq_n_f32(Lanes<Q>::lo), hi = vdupq_n_f32(Lanes<Q>::hi);
    for (; j + 16 <= n; j += 16) {
        float32x4_t v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = vminq_f32(vmaxq_f32(level4(x, zeros, scales, step, j + 4 * k, z0, s0), lo), hi);
        Lanes<Q>::store16(q + j, v);
    }
#endif
    if (step == 0) {
        const int32_t z = zeros[0];
        const float s = scales[0];
        for (; j < n; ++j)
            q[j] = Lanes<Q>::quantize(x[j], z, s);
    } else {
        for (; j < n; ++j)
            q[j] = Lanes<Q>::quantize(x[j], zeros[j], scales[j]);
    }
}

} // namespace

void nn_quantize_u8(const float* x, uint8_t* q, size_t n, const int32_t* zeros,
                    const float* scales, size_t step)
{
    quantize(x, q, n, zeros, scales, step);
}

void nn_quantize_i8(const float* x, int8_t* q, size_t n, const int32_t* zeros,
                    const float* scales, size_t step)
{
    quantize(x, q, n, zeros, scales, step);
}

#ifdef NN_QUANT_NEON
/* Four lanes of (q - zero) x scale; parameters loaded for a per-channel row,
 * broadcast otherwise. */
static inline float32x4_t dequant4(int32x4_t v, const int32_t* zeros, const float* scales,
                                   size_t step, size_t j, int32x4_t z0, float32x4_t s0)
{
    int32x4_t z = step ? vld1q_s32(zeros + j) : z0;
    float32x4_t s = step ? vld1q_f32(scales + j) : s0;
    return vmulq_f32(vcvtq_f32_s32(vsubq_s32(v, z)), s);
}

/* Sixteen widened lanes at a time for the 8-bit types. */
static inline void dequant16(int16x8_t lo, int16x8_t hi, float* x, const int32_t* zeros,
                             const float* scales, size_t step, size_t j, int32x4_t z0,
                             float32x4_t s0)
{
    vst1q_f32(x + j, dequant4(vmovl_s16(vget_low_s16(lo)), zeros, scales, step, j, z0, s0));
    vst1q_f32(x + j + 4, dequant4(vmovl_high_s16(lo), zeros, scales, step, j + 4, z0, s0));
    vst1q_f32(x + j + 8, dequant4(vmovl_s16(vget_low_s16(hi)), zeros, scales, step, j + 8, z0, s0));
    vst1q_f32(x + j + 12, dequant4(vmovl_high_s16(hi), zeros, scales, step, j + 12, z0, s0));
}
#endif

namespace {

template <typename Q>
void dequantize8(const Q* q, float* x, size_t n, const int32_t* zeros, const float* scales,
                 size_t step)
{
    size_t j = 0;
#ifdef NN_QUANT_NEON
    const int32x4_t z0 = vdupq_n_s32(zeros[0]);
    const float32x4_t s0 = vdupq_n_f32(scales[0]);
    for (; j + 16 <= n; j += 16) {
        int16x8_t lo, hi;
        Lanes<Q>::widen16(q + j, &lo, &hi);
        dequant16(lo, hi, x, zeros, scales, step, j, z0, s0);
    }
#endif
    if (step == 0) {
        const int32_t z = zeros[0];
        const float s = scales[0];
        for (; j < n; ++j)
            x[j] = (float)nn_quant_diff(q[j], z) * s;
    } else {
        for (; j < n; ++j)
            x[j] = (float)nn_quant_diff(q[j], zeros[j]) * scales[j];
    }
}

} // namespace

void nn_dequantize_u8(const uint8_t* q, float* x, size_t n, const int32_t* zeros,
                      const float* scales, size_t step)
{
    dequantize8(q, x, n, zeros, scales, step);
}

void nn_dequantize_i8(const int8_t* q, float* x, size_t n, const int32_t* zeros,
                      const float* scales, size_t step)
{
    dequantize8(q, x, n, zeros, scales, step);
}

void nn_dequantize_i32(const int32_t* q, float* x, size_t n, const int32_t* zeros,
                       const float* scales, size_t step)
{
    size_t j = 0;
#ifdef NN_QUANT_NEON
    const int32x4_t z0 = vdupq_n_s32(zeros[0]);
    const float32x4_t s0 = vdupq_n_f32(scales[0]);
    for (; j + 4 <= n; j += 4)
        vst1q_f32(x + j, dequant4(vld1q_s32(q + j), zeros, scales, step, j, z0, s0));
#endif
    for (; j < n; ++j)
        x[j] = (float)nn_quant_diff(q[j], zeros[j * step]) * scales[j * step];
}

/* The unsigned value and the signed zero point become floats separately. */
void nn_dequantize_u32(const uint32_t* q, float* x, size_t n, const int32_t* zeros,
                       const float* scales, size_t step)
{
    size_t j = 0;
#ifdef NN_QUANT_NEON
    const float32x4_t z0 = vcvtq_f32_s32(vdupq_n_s32(zeros[0]));
    const float32x4_t s0 = vdupq_n_f32(scales[0]);
    for (; j + 4 <= n; j += 4) {
        float32x4_t z = step ? vcvtq_f32_s32(vld1q_s32(zeros + j)) : z0;
        float32x4_t s = step ? vld1q_f32(scales + j) : s0;
        vst1q_f32(x + j, vmulq_f32(vsubq_f32(vcvtq_f32_u32(vld1q_u32(q + j)), z), s));
    }
#endif
    for (; j < n; ++j)
        x[j] = ((float)q[j] - (float)zeros[j * step]) * scales[j * step];
}
