/* The FLOAT32 activations as functors on one value and, under NEON, on four
 * lanes with the same result per lane; the float and the quantised kernels
 * instantiate their loops with them. */
#ifndef KESTRUNE_KERNELS_ACTIVATION_OPS_H
#define KESTRUNE_KERNELS_ACTIVATION_OPS_H

#include <math.h>

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {

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

} // namespace kestrune

#endif
