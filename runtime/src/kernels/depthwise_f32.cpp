/* FLOAT32 depthwise rows: the per-tap row kernel and the 3x3 stride-1 whole-row
 * kernel.  Both add, per output value, the taps row by row and within a row
 * from left to right, starting from 0, then the bias: the two paths agree
 * exactly. */
#include <stddef.h>

#include "kernels/conv_kernels.h"
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

/* L lanes of channels from c at output column x: the 3x3 taps row by row,
 * left to right, then the bias. */
template <class L>
void rows_lanes(float* o, int32_t c, int32_t x, int32_t ch, int32_t iw, int32_t pad_left,
                int32_t rows, int32_t f0, const float* in, const float* filter, const float* bias)
{
    const size_t in_row = static_cast<size_t>(iw) * static_cast<size_t>(ch);
    typename L::type a = L::dup(0.0f);
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t kx = 0; kx < 3; ++kx) {
            const int32_t col = x + kx - pad_left;
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
    L::store(o + c, a);
}

#ifdef __ARM_NEON
void depthwise_rows_f32_neon(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t pad_left,
                             int32_t rows, int32_t edge, const float* in, const float* filter,
                             const float* bias, int32_t activation)
{
    const int32_t f0 = first_filter_row(rows, edge);
    for (int32_t x = 0; x < ow; ++x) {
        float* o = out + (size_t)x * (size_t)ch;
        int32_t c = 0;
        for (; c + 4 <= ch; c += 4)
            rows_lanes<simd::Wide<float>>(o, c, x, ch, iw, pad_left, rows, f0, in, filter, bias);
        for (; c < ch; ++c)
            rows_lanes<simd::Lanes<float, 1>>(o, c, x, ch, iw, pad_left, rows, f0, in, filter,
                                              bias);
    }
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


void kernel_depthwise_rows_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t pad_left,
                               int32_t, int32_t rows, int32_t edge, const float* in,
                               const float* filter, const float* bias, int32_t activation)
{
    if (ow <= 0 || ch <= 0)
        return;
#ifdef __ARM_NEON
    depthwise_rows_f32_neon(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias, activation);
#else
    depthwise_rows_f32_portable(ow, ch, out, iw, pad_left, rows, edge, in, filter, bias,
                                activation);
#endif
}
