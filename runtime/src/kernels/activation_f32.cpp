/* FLOAT32 activation kernels. */
#include <math.h>

#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

/* IEEE maximum with 0 as NEON computes it: a NaN stays NaN, -0 gives +0. */
static inline float relu1(float x)
{
    return x <= 0.0f ? 0.0f : x; /* a NaN compares false and stays */
}

static inline float relu6_1(float x)
{
    return x <= 0.0f ? 0.0f : (x >= 6.0f ? 6.0f : x);
}

/* Hard swish: the float product rounded, then scaled in double precision. */
static inline float swish1(float x)
{
    float t = x + 3.0f;
    if (t < 0.0f)
        t = 0.0f;
    if (t > 6.0f)
        t = 6.0f;
    float p = x * t;
    return (float)((double)p * 0.166666667);
}

void relu_f32_portable(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = relu1(in[i]);
}

void relu6_f32_portable(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = relu6_1(in[i]);
}

void sigmoid_fast_f32_portable(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = 1.0f / (fabsf(in[i]) + 1.0f);
}

void swish_f32_portable(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = swish1(in[i]);
}

void leaky_relu_f32_portable(float* out, int32_t count, const float* in, float alpha)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = in[i] < 0.0f ? alpha * in[i] : in[i];
}

void prelu_f32_portable(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    if (k <= 0)
        return;
    for (int32_t r = 0; r < rows; ++r) {
        const float* x = in + (int64_t)r * k;
        float* y = out + (int64_t)r * k;
        for (int32_t j = 0; j < k; ++j)
            y[j] = x[j] > 0.0f ? x[j] : slope[j] * x[j];
    }
}

#ifdef __ARM_NEON
static void relu_neon(float* out, int32_t count, const float* in)
{
    float32x4_t z = vdupq_n_f32(0.0f);
    int32_t i = 0;
    for (; i + 48 <= count; i += 48)
        for (int j = 0; j < 48; j += 4)
            vst1q_f32(out + i + j, vmaxq_f32(vld1q_f32(in + i + j), z));
    for (; i < count; ++i)
        out[i] = relu1(in[i]);
}

static void relu6_neon(float* out, int32_t count, const float* in)
{
    float32x4_t z = vdupq_n_f32(0.0f), six = vdupq_n_f32(6.0f);
    int32_t i = 0;
    for (; i + 48 <= count; i += 48)
        for (int j = 0; j < 48; j += 4)
            vst1q_f32(out + i + j, vminq_f32(vmaxq_f32(vld1q_f32(in + i + j), z), six));
    for (; i < count; ++i)
        out[i] = relu6_1(in[i]);
}

static void sigmoid_fast_neon(float* out, int32_t count, const float* in)
{
    float32x4_t one = vdupq_n_f32(1.0f);
    int32_t i = 0;
    for (; i + 4 <= count; i += 4)
        vst1q_f32(out + i, vdivq_f32(one, vaddq_f32(vabsq_f32(vld1q_f32(in + i)), one)));
    for (; i < count; ++i)
        out[i] = 1.0f / (fabsf(in[i]) + 1.0f);
}

static void swish_neon(float* out, int32_t count, const float* in)
{
    float32x4_t three = vdupq_n_f32(3.0f), z = vdupq_n_f32(0.0f), six = vdupq_n_f32(6.0f);
    float64x2_t k = vdupq_n_f64(0.166666667);
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        float32x4_t x = vld1q_f32(in + i);
        float32x4_t t = vminq_f32(vmaxq_f32(vaddq_f32(x, three), z), six);
        float32x4_t p = vmulq_f32(x, t);
        float64x2_t lo = vmulq_f64(vcvt_f64_f32(vget_low_f32(p)), k);
        float64x2_t hi = vmulq_f64(vcvt_high_f64_f32(p), k);
        vst1q_f32(out + i, vcvt_high_f32_f64(vcvt_f32_f64(lo), hi));
    }
    for (; i < count; ++i)
        out[i] = swish1(in[i]);
}

static void leaky_relu_neon(float* out, int32_t count, const float* in, float alpha)
{
    float32x4_t a = vdupq_n_f32(alpha), z = vdupq_n_f32(0.0f);
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        float32x4_t x = vld1q_f32(in + i);
        vst1q_f32(out + i, vbslq_f32(vcltq_f32(x, z), vmulq_f32(a, x), x));
    }
    for (; i < count; ++i)
        out[i] = in[i] < 0.0f ? alpha * in[i] : in[i];
}

static void prelu_neon(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    float32x4_t z = vdupq_n_f32(0.0f);
    for (int32_t r = 0; r < rows; ++r) {
        const float* x = in + (int64_t)r * k;
        float* y = out + (int64_t)r * k;
        int32_t j = 0;
        for (; j + 4 <= k; j += 4) {
            float32x4_t v = vld1q_f32(x + j);
            vst1q_f32(y + j, vbslq_f32(vcgtq_f32(v, z), v, vmulq_f32(vld1q_f32(slope + j), v)));
        }
        for (; j < k; ++j)
            y[j] = x[j] > 0.0f ? x[j] : slope[j] * x[j];
    }
}
#endif

void kernel_relu_f32(float* out, int32_t count, const float* in)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    relu_neon(out, count, in);
#else
    relu_f32_portable(out, count, in);
#endif
}

void kernel_relu6_f32(float* out, int32_t count, const float* in)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    relu6_neon(out, count, in);
#else
    relu6_f32_portable(out, count, in);
#endif
}

void kernel_sigmoid_f32(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = 1.0f / (expf(-in[i]) + 1.0f);
}

void kernel_sigmoid_fast_f32(float* out, int32_t count, const float* in)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    sigmoid_fast_neon(out, count, in);
#else
    sigmoid_fast_f32_portable(out, count, in);
#endif
}

void kernel_tanh_f32(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = tanhf(in[i]);
}

void kernel_swish_f32(float* out, int32_t count, const float* in)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    swish_neon(out, count, in);
#else
    swish_f32_portable(out, count, in);
#endif
}

void kernel_leaky_relu_f32(float* out, int32_t count, const float* in, float alpha)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    leaky_relu_neon(out, count, in, alpha);
#else
    leaky_relu_f32_portable(out, count, in, alpha);
#endif
}

void kernel_prelu_f32(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    if (rows <= 0 || k <= 0)
        return;
#ifdef __ARM_NEON
    prelu_neon(out, rows, in, k, slope);
#else
    prelu_f32_portable(out, rows, in, k, slope);
#endif
}
