/* FLOAT32 depthwise rows: the per-tap row kernel and the 3x3 stride-1 whole-row
 * kernel.  Both add, per output value, the taps row by row and within a row
 * from left to right, starting from 0, then the bias: the two paths agree
 * exactly. */
#include <stddef.h>

#include "kernels/conv_kernels.h"
#include "ops/frame.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

static void depthwise_f32_body(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               const float* in, int32_t pad_left, int32_t kw, int32_t dilation,
                               const float* filter,
                               void (*mac)(float*, int32_t, const float*, const float*))
{
    const int32_t span = (kw - 1) * dilation + 1;
    for (int32_t t = 0; t < span; t += dilation) {
        const float* w = filter + (size_t)(t / dilation) * (size_t)ch;
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t c = x * stride + t - pad_left;
            if (c < 0 || c >= iw)
                continue;
            mac(out + (size_t)x * (size_t)ch, ch, in + (size_t)c * (size_t)ch, w);
        }
    }
}

void depthwise_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                            const float* in, int32_t pad_left, int32_t kw, int32_t dilation,
                            const float* filter)
{
    if (ow <= 0 || ch <= 0 || kw <= 0 || dilation <= 0)
        return;
    depthwise_f32_body(ow, ch, out, iw, stride, in, pad_left, kw, dilation, filter,
                       mac_row_f32_portable);
}

void kernel_depthwise_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t pad_right, int32_t kw,
                          int32_t dilation, const float* filter)
{
    (void)pad_right;
    if (ow <= 0 || ch <= 0 || kw <= 0 || dilation <= 0)
        return;
    depthwise_f32_body(ow, ch, out, iw, stride, in, pad_left, kw, dilation, filter,
                       kernel_mac_row_f32);
}

/* First filter row used by a 3x3 row kernel: a window cut at the top uses its
 * last `rows` filter rows. */
static int32_t first_filter_row(int32_t rows, int32_t edge)
{
    return edge == 1 ? 3 - rows : 0;
}

void depthwise_rows_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw,
                                 int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                                 const float* filter, const float* bias, int32_t activation)
{
    if (ow <= 0 || ch <= 0)
        return;
    const int32_t f0 = first_filter_row(rows, edge);
    const size_t in_row = (size_t)iw * (size_t)ch;
    for (int32_t x = 0; x < ow; ++x) {
        float* o = out + (size_t)x * (size_t)ch;
        for (int32_t c = 0; c < ch; ++c)
            o[c] = 0.0f;
        /* Taps row by row, left to right; channels inner (they vectorise). */
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t kx = 0; kx < 3; ++kx) {
                const int32_t col = x + kx - pad_left;
                if (col < 0 || col >= iw)
                    continue;
                const float* p = in + (size_t)r * in_row + (size_t)col * (size_t)ch;
                const float* w = filter + ((size_t)(f0 + r) * 3 + (size_t)kx) * (size_t)ch;
                for (int32_t c = 0; c < ch; ++c)
                    o[c] = o[c] + p[c] * w[c];
            }
        if (bias)
            for (int32_t c = 0; c < ch; ++c)
                o[c] = o[c] + bias[c];
    }
    apply_activation(out, (uint32_t)ow * (uint32_t)ch, out, activation);
}

#ifdef __ARM_NEON
static void depthwise_rows_f32_neon(int32_t ow, int32_t ch, float* out, int32_t iw,
                                    int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                                    const float* filter, const float* bias, int32_t activation)
{
    const int32_t f0 = first_filter_row(rows, edge);
    const size_t in_row = (size_t)iw * (size_t)ch;
    for (int32_t x = 0; x < ow; ++x) {
        float* o = out + (size_t)x * (size_t)ch;
        int32_t c = 0;
        for (; c + 4 <= ch; c += 4) {
            float32x4_t a = vdupq_n_f32(0.0f);
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t kx = 0; kx < 3; ++kx) {
                    const int32_t col = x + kx - pad_left;
                    if (col < 0 || col >= iw)
                        continue;
                    a = vaddq_f32(
                        a, vmulq_f32(
                               vld1q_f32(in + (size_t)r * in_row + (size_t)col * (size_t)ch + c),
                               vld1q_f32(filter + ((size_t)(f0 + r) * 3 + (size_t)kx) *
                                                      (size_t)ch +
                                         c)));
                }
            if (bias)
                a = vaddq_f32(a, vld1q_f32(bias + c));
            vst1q_f32(o + c, a);
        }
        for (; c < ch; ++c) {
            float a = 0.0f;
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t kx = 0; kx < 3; ++kx) {
                    const int32_t col = x + kx - pad_left;
                    if (col < 0 || col >= iw)
                        continue;
                    a = a + in[(size_t)r * in_row + (size_t)col * (size_t)ch + c] *
                                filter[((size_t)(f0 + r) * 3 + (size_t)kx) * (size_t)ch + c];
                }
            o[c] = bias ? a + bias[c] : a;
        }
    }
    apply_activation(out, (uint32_t)ow * (uint32_t)ch, out, activation);
}
#endif

void kernel_depthwise_rows_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t pad_left,
                               int32_t pad_right, int32_t rows, int32_t edge, const float* in,
                               const float* filter, const float* bias, int32_t activation)
{
    (void)pad_right;
    if (ow <= 0 || ch <= 0)
        return;
#ifdef __ARM_NEON
    depthwise_rows_f32_neon(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias, activation);
#else
    depthwise_rows_f32_portable(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias,
                                activation);
#endif
}
