/* FLOAT32 depthwise rows: the per-tap row kernel and the 3x3 stride-1 whole-row
 * kernel.  Both add, per output value, the taps row by row and within a row
 * from left to right, starting from 0, then the bias: the two paths agree
 * exactly. */
#include <stddef.h>

#include <type_traits>

#include "kernels/activation_ops.h"
#include "kernels/conv_kernels.h"
#include "kernels/conv_x86.h"
#include "kernels/cpu_isa.h"
#include "kernels/simd.h"
#include "kernels/windows.h"
#include "ops/frame.h"

namespace kestrune {
namespace {

template <class Mac>
void depthwise_f32_body(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t kw, int32_t dilation,
                        const float* filter, Mac mac)
{
    each_dilated_tap(ow, stride, pad_left, kw, dilation, iw,
                     [&](int32_t tap, int32_t x, int32_t c) {
                         mac(out + static_cast<size_t>(x) * static_cast<size_t>(ch), ch,
                             in + static_cast<size_t>(c) * static_cast<size_t>(ch),
                             filter + static_cast<size_t>(tap) * static_cast<size_t>(ch));
                     });
}

/* First filter row used by a 3x3 row kernel: a window cut at the top uses its
 * last `rows` filter rows. */
int32_t first_filter_row(int32_t rows, int32_t edge)
{
    return edge == 1 ? 3 - rows : 0;
}

/* RELU and RELU6 fused into a row kernel's stores (as apply_activation
 * computes them, on a lane or a value); the other codes are applied to the
 * finished row. */
template <typename V>
inline V fused_act(V v, int32_t activation)
{
    if (activation == NN_RELU)
        return Relu{}(v);
    if (activation == NN_RELU6)
        return Relu6{}(v);
    return v;
}

inline bool act_fused(int32_t activation)
{
    return activation == NN_RELU || activation == NN_RELU6;
}

/* L lanes of channels from c at output column x: the 3x3 taps inside the
 * row, row by row, left to right, then the bias and a fused activation. */
template <class L>
void rows_lanes(float* o, int32_t c, int32_t x, int32_t ch, int32_t iw, int32_t stride,
                int32_t pad_left, int32_t rows, int32_t f0, const float* in, const float* filter,
                const float* bias, int32_t activation)
{
    const size_t in_row = static_cast<size_t>(iw) * static_cast<size_t>(ch);
    typename L::type a = L::dup(0.0f);
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t kx = 0; kx < 3; ++kx) {
            const int32_t col = x * stride + kx - pad_left;
            if (col < 0 || col >= iw)
                continue;
            const float* p = in + static_cast<size_t>(r) * in_row +
                             static_cast<size_t>(col) * static_cast<size_t>(ch) + c;
            const float* w = filter +
                             (static_cast<size_t>(f0 + r) * 3 + static_cast<size_t>(kx)) *
                                 static_cast<size_t>(ch) +
                             c;
            a = simd::mul_add<L>(a, L::load(p), L::load(w));
        }
    if (bias)
        a = L::add(a, L::load(bias + c));
    L::store(o + c, fused_act(a, activation));
}

#ifdef __ARM_NEON
/* The output row of one four-channel block c with all three input rows:
 * the nine taps and the bias in registers; in the interior [x0, x1) each
 * input column loaded once per row and slid along it, the border pixels
 * with the taps of their columns inside the row; the same operations in
 * the same order as rows_lanes (0, then each tap's product added, then the
 * bias). */
template <int S, int Act, bool Bias>
void interior_block(float* out, int32_t ow, int32_t x0, int32_t x1, int32_t c, int32_t ch,
                    int32_t iw, const float* in, size_t in_row, int32_t pad_left,
                    const float* filter, const float* bias)
{
    const size_t cs = static_cast<size_t>(ch);
    const float* w = filter + c;
    const float32x4_t w00 = vld1q_f32(w), w01 = vld1q_f32(w + cs), w02 = vld1q_f32(w + 2 * cs);
    const float32x4_t w10 = vld1q_f32(w + 3 * cs), w11 = vld1q_f32(w + 4 * cs),
                      w12 = vld1q_f32(w + 5 * cs);
    const float32x4_t w20 = vld1q_f32(w + 6 * cs), w21 = vld1q_f32(w + 7 * cs),
                      w22 = vld1q_f32(w + 8 * cs);
    const float32x4_t zero = vdupq_n_f32(0.0f);
    const float32x4_t bv = Bias ? vld1q_f32(bias + c) : zero;
    const float* p0 = in + static_cast<size_t>(x0 * S - pad_left) * cs + c;
    const float* p1 = p0 + in_row;
    const float* p2 = p1 + in_row;
    float* o = out + static_cast<size_t>(x0) * cs + c;
    const auto finish = [&](float32x4_t acc) __attribute__((always_inline)) {
        if (Bias)
            acc = vaddq_f32(acc, bv);
        if (Act == NN_RELU)
            acc = Relu{}(acc);
        else if (Act == NN_RELU6)
            acc = Relu6{}(acc);
        vst1q_f32(o, acc);
        o += cs;
    };
    const auto pixel = [&](float32x4_t a0, float32x4_t a1, float32x4_t a2, float32x4_t b0,
                           float32x4_t b1, float32x4_t b2, float32x4_t c0, float32x4_t c1,
                           float32x4_t c2) __attribute__((always_inline)) {
        float32x4_t acc = vaddq_f32(zero, vmulq_f32(a0, w00));
        acc = vaddq_f32(acc, vmulq_f32(a1, w01));
        acc = vaddq_f32(acc, vmulq_f32(a2, w02));
        acc = vaddq_f32(acc, vmulq_f32(b0, w10));
        acc = vaddq_f32(acc, vmulq_f32(b1, w11));
        acc = vaddq_f32(acc, vmulq_f32(b2, w12));
        acc = vaddq_f32(acc, vmulq_f32(c0, w20));
        acc = vaddq_f32(acc, vmulq_f32(c1, w21));
        acc = vaddq_f32(acc, vmulq_f32(c2, w22));
        finish(acc);
    };
    /* A border pixel: the taps of the columns inside the row, row by row. */
    const auto border = [&](int32_t x) {
        bool inside[3];
        const float* q[3];
        for (int kx = 0; kx < 3; ++kx) {
            const int32_t col = x * S + kx - pad_left;
            inside[kx] = col >= 0 && col < iw;
            q[kx] = p0 + ((ptrdiff_t)col - (x0 * S - pad_left)) * (ptrdiff_t)cs;
        }
        float32x4_t acc = zero;
        const auto tap = [&](int kx, size_t row, float32x4_t w) __attribute__((always_inline)) {
            if (inside[kx])
                acc = vaddq_f32(acc, vmulq_f32(vld1q_f32(q[kx] + row), w));
        };
        tap(0, 0, w00);
        tap(1, 0, w01);
        tap(2, 0, w02);
        tap(0, in_row, w10);
        tap(1, in_row, w11);
        tap(2, in_row, w12);
        tap(0, 2 * in_row, w20);
        tap(1, 2 * in_row, w21);
        tap(2, 2 * in_row, w22);
        o = out + static_cast<size_t>(x) * cs + c;
        finish(acc);
    };
    for (int32_t x = 0; x < x0; ++x)
        border(x);
    o = out + static_cast<size_t>(x0) * cs + c;
    slide_3x3<S>(x1 - x0, p0, p1, p2, cs,
                 [](const float* p) __attribute__((always_inline)) { return vld1q_f32(p); },
                 pixel);
    for (int32_t x = x1; x < ow; ++x)
        border(x);
}

template <int S>
void interior_dispatch(int32_t activation, bool has_bias, float* out, int32_t ow, int32_t x0,
                       int32_t x1, int32_t c, int32_t ch, int32_t iw, const float* in,
                       size_t in_row, int32_t pad_left, const float* filter, const float* bias)
{
    const auto run = [&](auto act) __attribute__((always_inline)) {
        if (has_bias)
            interior_block<S, act(), true>(out, ow, x0, x1, c, ch, iw, in, in_row, pad_left,
                                           filter, bias);
        else
            interior_block<S, act(), false>(out, ow, x0, x1, c, ch, iw, in, in_row, pad_left,
                                            filter, bias);
    };
    if (activation == NN_RELU)
        run(std::integral_constant<int, NN_RELU>{});
    else if (activation == NN_RELU6)
        run(std::integral_constant<int, NN_RELU6>{});
    else
        run(std::integral_constant<int, 0>{});
}

void depthwise_rows_f32_neon(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                             int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                             const float* filter, const float* bias, int32_t activation)
{
    const int32_t f0 = first_filter_row(rows, edge);
    const size_t cs = static_cast<size_t>(ch);
    /* interior columns: the whole window inside the row (three rows only) */
    int32_t x0 = ow, x1 = ow;
    if (rows == 3) {
        x0 = (pad_left + stride - 1) / stride;
        const int64_t last = (static_cast<int64_t>(iw) - 3 + pad_left) / stride;
        x1 = iw >= 3 ? static_cast<int32_t>(last + 1 < ow ? last + 1 : ow) : 0;
        if (x0 > x1)
            x0 = x1 = ow;
    }
    const int32_t fused = act_fused(activation) ? activation : 0;
    const int32_t c4 = ch / 4 * 4;
    for (int32_t c = 0; c < c4; c += 4) {
        if (x0 < x1) {
            if (stride == 1)
                interior_dispatch<1>(fused, bias != nullptr, out, ow, x0, x1, c, ch, iw, in,
                                     static_cast<size_t>(iw) * cs, pad_left, filter, bias);
            else
                interior_dispatch<2>(fused, bias != nullptr, out, ow, x0, x1, c, ch, iw, in,
                                     static_cast<size_t>(iw) * cs, pad_left, filter, bias);
            continue;
        }
        for (int32_t x = 0; x < ow; ++x)
            rows_lanes<simd::Wide<float>>(out + static_cast<size_t>(x) * cs, c, x, ch, iw,
                                          stride, pad_left, rows, f0, in, filter, bias, fused);
    }
    for (int32_t x = 0; x < ow && c4 < ch; ++x)
        for (int32_t c = c4; c < ch; ++c)
            rows_lanes<simd::Lanes<float, 1>>(out + static_cast<size_t>(x) * cs, c, x, ch, iw,
                                              stride, pad_left, rows, f0, in, filter, bias,
                                              fused);
    if (!fused)
        apply_activation(out, (uint32_t)ow * (uint32_t)ch, out, activation);
}
#endif

} // namespace
} // namespace kestrune

using namespace kestrune;

void depthwise_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                            const float* in, int32_t pad_left, int32_t kw, int32_t dilation,
                            const float* filter)
{
    if (ow <= 0 || ch <= 0 || kw <= 0 || dilation <= 0)
        return;
    depthwise_f32_body(ow, ch, out, iw, stride, in, pad_left, kw, dilation, filter,
                       [](float* o, int32_t n, const float* x, const float* w) {
                           mac_row_f32_portable(o, n, x, w);
                       });
}

void kernel_depthwise_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t, int32_t kw,
                          int32_t dilation, const float* filter)
{
    if (ow <= 0 || ch <= 0 || kw <= 0 || dilation <= 0)
        return;
    depthwise_f32_body(ow, ch, out, iw, stride, in, pad_left, kw, dilation, filter,
                       [](float* o, int32_t n, const float* x, const float* w) {
                           kernel_mac_row_f32(o, n, x, w);
                       });
}

void depthwise_rows_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
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
                const int32_t col = x * stride + kx - pad_left;
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


void kernel_depthwise_rows_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t, int32_t rows, int32_t edge,
                               const float* in, const float* filter, const float* bias,
                               int32_t activation)
{
    if (ow <= 0 || ch <= 0 || stride < 1 || stride > 2)
        return;
#ifdef __ARM_NEON
    depthwise_rows_f32_neon(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter, bias,
                            activation);
#else
#if defined(__x86_64__)
    if (cpu_isa_avx2()) {
        const int32_t fused = act_fused(activation) ? activation : 0;
        if (cpu_isa_avx512())
            depthwise_rows_f32_avx512(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                      bias, fused);
        else
            depthwise_rows_f32_avx2(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                    bias, fused);
        if (!act_fused(activation))
            apply_activation(out, (uint32_t)ow * (uint32_t)ch, out, activation);
        return;
    }
#endif
    depthwise_rows_f32_portable(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter, bias,
                                activation);
#endif
}

int32_t kernel_depthwise_rows_f32_stride_max(void)
{
#ifdef __ARM_NEON
    return 2;
#elif defined(__x86_64__)
    return cpu_isa_avx2() ? 2 : 1;
#else
    return 1;
#endif
}
