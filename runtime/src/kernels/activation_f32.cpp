/* FLOAT32 activation kernels. */
#include <math.h>

#include "kernels/activation_ops.h"
#include "kernels/eltwise_x86.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace {

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

#if defined(__x86_64__)
/* The wide table's body of an activation. */
inline void unary_wide(const eltwise_wide_table* w, float* o, int32_t n, const float* x, Relu)
{
    w->relu(o, n, x);
}
inline void unary_wide(const eltwise_wide_table* w, float* o, int32_t n, const float* x, Relu6)
{
    w->relu6(o, n, x);
}
inline void unary_wide(const eltwise_wide_table* w, float* o, int32_t n, const float* x,
                       SigmoidFast)
{
    w->sigmoid_fast(o, n, x);
}
inline void unary_wide(const eltwise_wide_table* w, float* o, int32_t n, const float* x, Swish)
{
    w->swish(o, n, x);
}
inline void unary_wide(const eltwise_wide_table* w, float* o, int32_t n, const float* x,
                       LeakyRelu f)
{
    w->leaky_relu(o, n, x, f.alpha);
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
#if defined(__x86_64__)
    /* In place or apart: a partly overlapping output runs in order. */
    if (const eltwise_wide_table* w = eltwise_wide())
        if (eltwise_vector_safe(out, in, (size_t)count, sizeof(float))) {
            unary_wide(w, out, count, in, f);
            return;
        }
#endif
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
#if defined(__x86_64__)
    if (const eltwise_wide_table* w = eltwise_wide())
        if (eltwise_vector_safe(out, in, (size_t)rows * (size_t)k, sizeof(float))) {
            w->prelu(out, rows, in, k, slope);
            return;
        }
#endif
    prelu_portable(out, rows, in, k, slope);
#endif
}
