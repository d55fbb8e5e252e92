/* FLOAT32 activation kernels. */
#include <math.h>

#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace {

/* Each activation on one value and, under NEON, on four lanes. */
struct Relu {
    /* IEEE maximum with 0 as NEON computes it: a NaN stays NaN, -0 gives +0. */
    float operator()(float x) const { return x <= 0.0f ? 0.0f : x; }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x) const { return vmaxq_f32(x, vdupq_n_f32(0.0f)); }
#endif
};

struct Relu6 {
    float operator()(float x) const { return x <= 0.0f ? 0.0f : (x >= 6.0f ? 6.0f : x); }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x) const
    {
        return vminq_f32(vmaxq_f32(x, vdupq_n_f32(0.0f)), vdupq_n_f32(6.0f));
    }
#endif
};

struct SigmoidFast {
    float operator()(float x) const { return 1.0f / (fabsf(x) + 1.0f); }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x) const
    {
        const float32x4_t one = vdupq_n_f32(1.0f);
        return vdivq_f32(one, vaddq_f32(vabsq_f32(x), one));
    }
#endif
};

/* Hard swish: the float product rounded, then scaled in double precision. */
struct Swish {
    float operator()(float x) const
    {
        float t = x + 3.0f;
        if (t < 0.0f)
            t = 0.0f;
        if (t > 6.0f)
            t = 6.0f;
        float p = x * t;
        return static_cast<float>(static_cast<double>(p) * 0.166666667);
    }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x) const
    {
        const float32x4_t t = vminq_f32(vmaxq_f32(vaddq_f32(x, vdupq_n_f32(3.0f)),
                                                  vdupq_n_f32(0.0f)),
                                        vdupq_n_f32(6.0f));
        const float32x4_t p = vmulq_f32(x, t);
        const float64x2_t k = vdupq_n_f64(0.166666667);
        const float64x2_t lo = vmulq_f64(vcvt_f64_f32(vget_low_f32(p)), k);
        const float64x2_t hi = vmulq_f64(vcvt_high_f64_f32(p), k);
        return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi);
    }
#endif
};

struct LeakyRelu {
    float alpha;
    float operator()(float x) const { return x < 0.0f ? alpha * x : x; }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x) const
    {
        return vbslq_f32(vcltq_f32(x, vdupq_n_f32(0.0f)), vmulq_f32(vdupq_n_f32(alpha), x), x);
    }
#endif
};

/* x where it is positive, else x times its own slope. */
struct Prelu {
    float operator()(float x, float s) const { return x > 0.0f ? x : s * x; }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x, float32x4_t s) const
    {
        return vbslq_f32(vcgtq_f32(x, vdupq_n_f32(0.0f)), x, vmulq_f32(s, x));
    }
#endif
};

template <class F>
void unary_portable(float* out, int32_t count, const float* in, F f)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = f(in[i]);
}

#ifdef __ARM_NEON
/* Block elements per step (a multiple of four), the rest singly. */
template <int Block, class F>
void unary_neon(float* out, int32_t count, const float* in, F f)
{
    static_assert(Block % 4 == 0, "whole vectors per block");
    int32_t i = 0;
    for (; i + Block <= count; i += Block)
        for (int j = 0; j < Block; j += 4)
            vst1q_f32(out + i + j, f(vld1q_f32(in + i + j)));
    for (; i < count; ++i)
        out[i] = f(in[i]);
}
#endif

/* The entry body: Block is the NEON step. */
template <int Block, class F>
void unary(float* out, int32_t count, const float* in, F f)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    unary_neon<Block>(out, count, in, f);
#else
    unary_portable(out, count, in, f);
#endif
}

void prelu_portable(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    const Prelu f;
    for (int32_t r = 0; r < rows; ++r) {
        const float* x = in + static_cast<int64_t>(r) * k;
        float* y = out + static_cast<int64_t>(r) * k;
        for (int32_t j = 0; j < k; ++j)
            y[j] = f(x[j], slope[j]);
    }
}

#ifdef __ARM_NEON
void prelu_neon(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    const Prelu f;
    for (int32_t r = 0; r < rows; ++r) {
        const float* x = in + static_cast<int64_t>(r) * k;
        float* y = out + static_cast<int64_t>(r) * k;
        int32_t j = 0;
        for (; j + 4 <= k; j += 4)
            vst1q_f32(y + j, f(vld1q_f32(x + j), vld1q_f32(slope + j)));
        for (; j < k; ++j)
            y[j] = f(x[j], slope[j]);
    }
}
#endif

} // namespace
} // namespace kestrune

using namespace kestrune;

void relu_f32_portable(float* out, int32_t count, const float* in)
{
    unary_portable(out, count, in, Relu{});
}
void relu6_f32_portable(float* out, int32_t count, const float* in)
{
    unary_portable(out, count, in, Relu6{});
}
void sigmoid_fast_f32_portable(float* out, int32_t count, const float* in)
{
    unary_portable(out, count, in, SigmoidFast{});
}
void swish_f32_portable(float* out, int32_t count, const float* in)
{
    unary_portable(out, count, in, Swish{});
}
void leaky_relu_f32_portable(float* out, int32_t count, const float* in, float alpha)
{
    unary_portable(out, count, in, LeakyRelu{alpha});
}
void prelu_f32_portable(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    if (k > 0)
        prelu_portable(out, rows, in, k, slope);
}

void kernel_relu_f32(float* out, int32_t count, const float* in)
{
    unary<48>(out, count, in, Relu{});
}
void kernel_relu6_f32(float* out, int32_t count, const float* in)
{
    unary<48>(out, count, in, Relu6{});
}
void kernel_sigmoid_fast_f32(float* out, int32_t count, const float* in)
{
    unary<4>(out, count, in, SigmoidFast{});
}
void kernel_swish_f32(float* out, int32_t count, const float* in)
{
    unary<4>(out, count, in, Swish{});
}
void kernel_leaky_relu_f32(float* out, int32_t count, const float* in, float alpha)
{
    unary<4>(out, count, in, LeakyRelu{alpha});
}

void kernel_sigmoid_f32(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = 1.0f / (expf(-in[i]) + 1.0f);
}

void kernel_tanh_f32(float* out, int32_t count, const float* in)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = tanhf(in[i]);
}

void kernel_prelu_f32(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    if (rows <= 0 || k <= 0)
        return;
#ifdef __ARM_NEON
    prelu_neon(out, rows, in, k, slope);
#else
    prelu_portable(out, rows, in, k, slope);
#endif
}
