/* Row multiply-accumulate, direct convolution row and transposed convolution.
 * Every output value is summed in one fixed order: vector bodies run over
 * channels only, so NEON and portable results are identical. */
#include <stddef.h>
#include <string.h>

#include "kernels/conv_kernels.h"
#include "kernels/simd.h"
#include "platform.h"

namespace kestrune {
namespace {

using simd::Lanes;
using Scalar = Lanes<float, 1>;

/* out[c] = out[c] + in[c] * w[c] from c on, Vecs groups of L lanes per step
 * (a step's outputs all read before any is written); returns where it
 * stopped. */
template <class L, int Vecs>
int32_t mac_steps(float* out, int32_t count, const float* in, const float* w, int32_t c)
{
    constexpr int32_t step = L::width * Vecs;
    for (; c + step <= count; c += step) {
        typename L::type o[Vecs];
        for (int j = 0; j < Vecs; ++j)
            o[j] = L::load(out + c + j * L::width);
        for (int j = 0; j < Vecs; ++j) {
            const int32_t k = c + j * L::width;
            o[j] = simd::mul_add<L>(o[j], L::load(in + k), L::load(w + k));
        }
        for (int j = 0; j < Vecs; ++j)
            L::store(out + c + j * L::width, o[j]);
    }
    return c;
}

/* out[c] = out[c] + v * w[c] for c < n (scalar broadcast). */
template <class L>
struct Axpy {
    void operator()(float* out, int32_t n, float v, const float* w) const
    {
        int32_t c = 0;
        const typename L::type vv = L::dup(v);
        for (; c + L::width <= n; c += L::width)
            L::store(out + c, simd::mul_add<L>(L::load(out + c), vv, L::load(w + c)));
        for (; c < n; ++c)
            out[c] = out[c] + v * w[c];
    }
};

/* One tile of Vecs groups of L lanes of output channels from co0 at output
 * column x: every value summed over the taps, then the input channels. */
template <class L, int Vecs>
void conv_tile(float* o, int32_t co0, int32_t x, int32_t cout, int32_t iw, int32_t cin,
               int32_t stride, const float* in, int32_t pad_left, int32_t rows, int32_t kw,
               const float* filter)
{
    const size_t in_row = static_cast<size_t>(iw) * static_cast<size_t>(cin);
    const size_t f_row =
        static_cast<size_t>(kw) * static_cast<size_t>(cin) * static_cast<size_t>(cout);
    typename L::type a[Vecs];
    for (int j = 0; j < Vecs; ++j)
        a[j] = L::dup(0.0f);
    for (int32_t ky = 0; ky < rows; ++ky)
        for (int32_t kx = 0; kx < kw; ++kx) {
            const int32_t c = x * stride - pad_left + kx;
            if (c < 0 || c >= iw)
                continue;
            const float* px = in + static_cast<size_t>(ky) * in_row +
                              static_cast<size_t>(c) * static_cast<size_t>(cin);
            const float* f = filter + static_cast<size_t>(ky) * f_row +
                             static_cast<size_t>(kx) * static_cast<size_t>(cin) *
                                 static_cast<size_t>(cout) +
                             static_cast<size_t>(co0);
            for (int32_t ci = 0; ci < cin; ++ci) {
                const typename L::type v = L::dup(px[ci]);
                const float* fc = f + static_cast<size_t>(ci) * static_cast<size_t>(cout);
                for (int j = 0; j < Vecs; ++j)
                    a[j] = simd::mul_add<L>(a[j], v, L::load(fc + j * L::width));
            }
        }
    for (int j = 0; j < Vecs; ++j)
        L::store(o + co0 + j * L::width, a[j]);
}

#ifdef __ARM_NEON
void conv2d_direct_f32_neon(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                            int32_t stride, const float* in, int32_t pad_left, int32_t rows,
                            int32_t kw, const float* filter)
{
    using V = simd::Wide<float>;
    for (int32_t x = 0; x < ow; ++x) {
        float* o = out + static_cast<size_t>(x) * static_cast<size_t>(cout);
        int32_t co0 = 0;
        /* 16 output channels in registers, then 4, then single ones. */
        for (; co0 + 16 <= cout; co0 += 16)
            conv_tile<V, 4>(o, co0, x, cout, iw, cin, stride, in, pad_left, rows, kw, filter);
        for (; co0 + 4 <= cout; co0 += 4)
            conv_tile<V, 1>(o, co0, x, cout, iw, cin, stride, in, pad_left, rows, kw, filter);
        for (; co0 < cout; ++co0)
            conv_tile<Scalar, 1>(o, co0, x, cout, iw, cin, stride, in, pad_left, rows, kw,
                                 filter);
    }
}
#endif

template <class RowAxpy>
void transpose_conv2d(const int32_t* os, float* out, const int32_t* is, const float* in,
                      const int32_t* fs, const float* filter, int32_t top, int32_t left,
                      int32_t sh, int32_t sw, RowAxpy axpy_row)
{
    const int32_t N = is[0] < os[0] ? is[0] : os[0];
    const int32_t H = is[1], W = is[2], Cin = is[3];
    const int32_t OH = os[1], OW = os[2], Cout = os[3];
    const int32_t KH = fs[0], KW = fs[1];
    memset(out, 0, (size_t)os[0] * (size_t)OH * (size_t)OW * (size_t)Cout * sizeof(float));
    for (int32_t n = 0; n < N; ++n) {
        const float* ib = in + (size_t)n * (size_t)H * (size_t)W * (size_t)Cin;
        float* ob = out + (size_t)n * (size_t)OH * (size_t)OW * (size_t)Cout;
        for (int32_t iy = 0; iy < H; ++iy)
            for (int32_t ix = 0; ix < W; ++ix)
                for (int32_t ci = 0; ci < Cin; ++ci) {
                    const float v = ib[((size_t)iy * (size_t)W + (size_t)ix) * (size_t)Cin + ci];
                    for (int32_t r = 0; r < KH; ++r) {
                        const int32_t oy = iy * sh - top + r;
                        if (oy < 0 || oy >= OH)
                            continue;
                        for (int32_t c = 0; c < KW; ++c) {
                            const int32_t ox = ix * sw - left + c;
                            if (ox < 0 || ox >= OW)
                                continue;
                            const float* f =
                                filter + ((((size_t)(KH - 1 - r) * (size_t)KW +
                                            (size_t)(KW - 1 - c)) *
                                               (size_t)Cin +
                                           (size_t)ci) *
                                          (size_t)Cout);
                            axpy_row(ob + ((size_t)oy * (size_t)OW + (size_t)ox) * (size_t)Cout,
                                     Cout, v, f);
                        }
                    }
                }
    }
}

} // namespace
} // namespace kestrune

using namespace kestrune;

/* ---- row multiply-accumulate ------------------------------------------- */

void mac_row_f32_portable(float* out, int32_t count, const float* in, const float* w)
{
    mac_steps<Scalar, 1>(out, count, in, w, 0);
}

void mac_row_f32_short(float* out, int32_t count, const float* in, const float* w)
{
    int32_t c = 0;
#ifdef __ARM_NEON
    c = mac_steps<simd::Wide<float>, 1>(out, count, in, w, c);
#endif
    mac_steps<Scalar, 1>(out, count, in, w, c);
}

void mac_row_f32_unrolled(float* out, int32_t count, const float* in, const float* w)
{
#ifdef __ARM_NEON
    int32_t c = mac_steps<simd::Wide<float>, 4>(out, count, in, w, 0);
    c = mac_steps<simd::Wide<float>, 1>(out, count, in, w, c);
#else
    int32_t c = mac_steps<Scalar, 4>(out, count, in, w, 0);
#endif
    mac_steps<Scalar, 1>(out, count, in, w, c);
}

/* Capability code of the short variant: bit 13 of the first hardware
 * capability word. */
constexpr uint32_t mac_row_feature = 0x0400000eu;

void kernel_mac_row_f32(float* out, int32_t count, const float* in, const float* w)
{
    /* chosen at the first call, for the process */
    static void (*const body)(float*, int32_t, const float*, const float*) =
        cpu_has_feature(mac_row_feature) ? mac_row_f32_short : mac_row_f32_unrolled;
    if (count <= 0)
        return;
    body(out, count, in, w);
}

/* ---- direct convolution row -------------------------------------------- */

/* Output channels inner, so the compiler may vectorise them; each value is
 * summed in the order of the NEON tiles. */
void conv2d_direct_f32_portable(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                                int32_t stride, const float* in, int32_t pad_left, int32_t rows,
                                int32_t kw, const float* filter)
{
    const size_t in_row = (size_t)iw * (size_t)cin;
    const size_t f_row = (size_t)kw * (size_t)cin * (size_t)cout;
    for (int32_t x = 0; x < ow; ++x) {
        float* o = out + (size_t)x * (size_t)cout;
        for (int32_t co = 0; co < cout; ++co)
            o[co] = 0.0f;
        for (int32_t ky = 0; ky < rows; ++ky)
            for (int32_t kx = 0; kx < kw; ++kx) {
                int32_t c = x * stride - pad_left + kx;
                if (c < 0 || c >= iw)
                    continue;
                const float* px = in + (size_t)ky * in_row + (size_t)c * (size_t)cin;
                const float* f = filter + (size_t)ky * f_row + (size_t)kx * (size_t)cin * cout;
                for (int32_t ci = 0; ci < cin; ++ci) {
                    const float v = px[ci];
                    const float* fc = f + (size_t)ci * (size_t)cout;
                    for (int32_t co = 0; co < cout; ++co)
                        o[co] = o[co] + v * fc[co];
                }
            }
    }
}

void kernel_conv2d_direct_f32(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                              int32_t stride, const float* in, int32_t pad_left, int32_t,
                              int32_t rows, int32_t kw, const float* filter)
{
    if (ow <= 0 || cout <= 0)
        return;
#ifdef __ARM_NEON
    conv2d_direct_f32_neon(ow, cout, out, iw, cin, stride, in, pad_left, rows, kw, filter);
#else
    conv2d_direct_f32_portable(ow, cout, out, iw, cin, stride, in, pad_left, rows, kw, filter);
#endif
}

/* ---- transposed convolution -------------------------------------------- */

void transpose_conv2d_f32_portable(const int32_t* out_shape, float* out, const int32_t* in_shape,
                                   const float* in, const int32_t* filter_shape,
                                   const float* filter, int32_t pad_top, int32_t pad_left,
                                   int32_t stride_h, int32_t stride_w)
{
    transpose_conv2d(out_shape, out, in_shape, in, filter_shape, filter, pad_top, pad_left,
                     stride_h, stride_w, Axpy<Scalar>{});
}

void kernel_transpose_conv2d_f32(const int32_t* out_shape, float* out, const int32_t* in_shape,
                                 const float* in, const int32_t* filter_shape,
                                 const float* filter, int32_t pad_top, int32_t pad_left,
                                 int32_t stride_h, int32_t stride_w)
{
#ifdef __ARM_NEON
    transpose_conv2d(out_shape, out, in_shape, in, filter_shape, filter, pad_top, pad_left,
                     stride_h, stride_w, Axpy<simd::Wide<float>>{});
#else
    transpose_conv2d_f32_portable(out_shape, out, in_shape, in, filter_shape, filter, pad_top,
                                  pad_left, stride_h, stride_w);
#endif
}
