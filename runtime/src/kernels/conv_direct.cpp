/* Row multiply-accumulate, direct convolution row and transposed convolution.
 * Every output value is summed in one fixed order: vector bodies run over
 * channels only, so NEON and portable results are identical. */
#include <stddef.h>
#include <string.h>

#include "kernels/conv_kernels.h"
#include "platform.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

/* ---- row multiply-accumulate ------------------------------------------- */

void mac_row_f32_portable(float* out, int32_t count, const float* in, const float* w)
{
    for (int32_t c = 0; c < count; ++c)
        out[c] = out[c] + in[c] * w[c];
}

void mac_row_f32_short(float* out, int32_t count, const float* in, const float* w)
{
    int32_t c = 0;
#ifdef __ARM_NEON
    for (; c + 4 <= count; c += 4)
        vst1q_f32(out + c, vaddq_f32(vld1q_f32(out + c), vmulq_f32(vld1q_f32(in + c),
                                                                   vld1q_f32(w + c))));
#endif
    for (; c < count; ++c)
        out[c] = out[c] + in[c] * w[c];
}

void mac_row_f32_unrolled(float* out, int32_t count, const float* in, const float* w)
{
    int32_t c = 0;
#ifdef __ARM_NEON
    for (; c + 16 <= count; c += 16) {
        float32x4_t o0 = vld1q_f32(out + c), o1 = vld1q_f32(out + c + 4);
        float32x4_t o2 = vld1q_f32(out + c + 8), o3 = vld1q_f32(out + c + 12);
        o0 = vaddq_f32(o0, vmulq_f32(vld1q_f32(in + c), vld1q_f32(w + c)));
        o1 = vaddq_f32(o1, vmulq_f32(vld1q_f32(in + c + 4), vld1q_f32(w + c + 4)));
        o2 = vaddq_f32(o2, vmulq_f32(vld1q_f32(in + c + 8), vld1q_f32(w + c + 8)));
        o3 = vaddq_f32(o3, vmulq_f32(vld1q_f32(in + c + 12), vld1q_f32(w + c + 12)));
        vst1q_f32(out + c, o0);
        vst1q_f32(out + c + 4, o1);
        vst1q_f32(out + c + 8, o2);
        vst1q_f32(out + c + 12, o3);
    }
    for (; c + 4 <= count; c += 4)
        vst1q_f32(out + c, vaddq_f32(vld1q_f32(out + c), vmulq_f32(vld1q_f32(in + c),
                                                                   vld1q_f32(w + c))));
#else
    for (; c + 4 <= count; c += 4) {
        out[c] = out[c] + in[c] * w[c];
        out[c + 1] = out[c + 1] + in[c + 1] * w[c + 1];
        out[c + 2] = out[c + 2] + in[c + 2] * w[c + 2];
        out[c + 3] = out[c + 3] + in[c + 3] * w[c + 3];
    }
#endif
    for (; c < count; ++c)
        out[c] = out[c] + in[c] * w[c];
}

/* Capability code of the short variant: bit 13 of the first hardware
 * capability word. */
#define MAC_ROW_FEATURE 0x0400000eu

void kernel_mac_row_f32(float* out, int32_t count, const float* in, const float* w)
{
    if (count <= 0)
        return;
    if (cpu_has_feature(MAC_ROW_FEATURE))
        mac_row_f32_short(out, count, in, w);
    else
        mac_row_f32_unrolled(out, count, in, w);
}

/* ---- direct convolution row -------------------------------------------- */

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

#ifdef __ARM_NEON
static void conv2d_direct_f32_neon(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                                   int32_t stride, const float* in, int32_t pad_left,
                                   int32_t rows, int32_t kw, const float* filter)
{
    const size_t in_row = (size_t)iw * (size_t)cin;
    const size_t f_row = (size_t)kw * (size_t)cin * (size_t)cout;
    for (int32_t x = 0; x < ow; ++x) {
        float* o = out + (size_t)x * (size_t)cout;
        int32_t co0 = 0;
        /* 16 output channels in registers, then 4, then single ones. */
        for (; co0 + 16 <= cout; co0 += 16) {
            float32x4_t a0 = vdupq_n_f32(0.0f), a1 = a0, a2 = a0, a3 = a0;
            for (int32_t ky = 0; ky < rows; ++ky)
                for (int32_t kx = 0; kx < kw; ++kx) {
                    int32_t c = x * stride - pad_left + kx;
                    if (c < 0 || c >= iw)
                        continue;
                    const float* px = in + (size_t)ky * in_row + (size_t)c * (size_t)cin;
                    const float* f = filter + (size_t)ky * f_row +
                                     (size_t)kx * (size_t)cin * (size_t)cout + (size_t)co0;
                    for (int32_t ci = 0; ci < cin; ++ci) {
                        const float32x4_t v = vdupq_n_f32(px[ci]);
                        const float* fc = f + (size_t)ci * (size_t)cout;
                        a0 = vaddq_f32(a0, vmulq_f32(v, vld1q_f32(fc)));
                        a1 = vaddq_f32(a1, vmulq_f32(v, vld1q_f32(fc + 4)));
                        a2 = vaddq_f32(a2, vmulq_f32(v, vld1q_f32(fc + 8)));
                        a3 = vaddq_f32(a3, vmulq_f32(v, vld1q_f32(fc + 12)));
                    }
                }
            vst1q_f32(o + co0, a0);
            vst1q_f32(o + co0 + 4, a1);
            vst1q_f32(o + co0 + 8, a2);
            vst1q_f32(o + co0 + 12, a3);
        }
        for (; co0 + 4 <= cout; co0 += 4) {
            float32x4_t a0 = vdupq_n_f32(0.0f);
            for (int32_t ky = 0; ky < rows; ++ky)
                for (int32_t kx = 0; kx < kw; ++kx) {
                    int32_t c = x * stride - pad_left + kx;
                    if (c < 0 || c >= iw)
                        continue;
                    const float* px = in + (size_t)ky * in_row + (size_t)c * (size_t)cin;
                    const float* f = filter + (size_t)ky * f_row +
                                     (size_t)kx * (size_t)cin * (size_t)cout + (size_t)co0;
                    for (int32_t ci = 0; ci < cin; ++ci)
                        a0 = vaddq_f32(a0, vmulq_f32(vdupq_n_f32(px[ci]),
                                                     vld1q_f32(f + (size_t)ci * (size_t)cout)));
                }
            vst1q_f32(o + co0, a0);
        }
        for (; co0 < cout; ++co0) {
            float a = 0.0f;
            for (int32_t ky = 0; ky < rows; ++ky)
                for (int32_t kx = 0; kx < kw; ++kx) {
                    int32_t c = x * stride - pad_left + kx;
                    if (c < 0 || c >= iw)
                        continue;
                    const float* px = in + (size_t)ky * in_row + (size_t)c * (size_t)cin;
                    const float* f = filter + (size_t)ky * f_row +
                                     (size_t)kx * (size_t)cin * (size_t)cout + (size_t)co0;
                    for (int32_t ci = 0; ci < cin; ++ci)
                        a = a + px[ci] * f[(size_t)ci * (size_t)cout];
                }
            o[co0] = a;
        }
    }
}
#endif

void kernel_conv2d_direct_f32(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                              int32_t stride, const float* in, int32_t pad_left,
                              int32_t pad_right, int32_t rows, int32_t kw, const float* filter)
{
    (void)pad_right;
    if (ow <= 0 || cout <= 0)
        return;
#ifdef __ARM_NEON
    conv2d_direct_f32_neon(ow, cout, out, iw, cin, stride, in, pad_left, rows, kw, filter);
#else
    conv2d_direct_f32_portable(ow, cout, out, iw, cin, stride, in, pad_left, rows, kw, filter);
#endif
}

/* ---- transposed convolution -------------------------------------------- */

/* out[co] += v * w[co] for co < n (scalar broadcast). */
static void axpy_portable(float* out, int32_t n, float v, const float* w)
{
    for (int32_t c = 0; c < n; ++c)
        out[c] = out[c] + v * w[c];
}

#ifdef __ARM_NEON
static void axpy_neon(float* out, int32_t n, float v, const float* w)
{
    int32_t c = 0;
    const float32x4_t vv = vdupq_n_f32(v);
    for (; c + 4 <= n; c += 4)
        vst1q_f32(out + c, vaddq_f32(vld1q_f32(out + c), vmulq_f32(vv, vld1q_f32(w + c))));
    for (; c < n; ++c)
        out[c] = out[c] + v * w[c];
}
#endif

static void transpose_conv2d(const int32_t* os, float* out, const int32_t* is, const float* in,
                             const int32_t* fs, const float* filter, int32_t top, int32_t left,
                             int32_t sh, int32_t sw,
                             void (*axpy)(float*, int32_t, float, const float*))
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
                            axpy(ob + ((size_t)oy * (size_t)OW + (size_t)ox) * (size_t)Cout,
                                 Cout, v, f);
                        }
                    }
                }
    }
}

void transpose_conv2d_f32_portable(const int32_t* out_shape, float* out, const int32_t* in_shape,
                                   const float* in, const int32_t* filter_shape,
                                   const float* filter, int32_t pad_top, int32_t pad_left,
                                   int32_t stride_h, int32_t stride_w)
{
    transpose_conv2d(out_shape, out, in_shape, in, filter_shape, filter, pad_top, pad_left,
                     stride_h, stride_w, axpy_portable);
}

void kernel_transpose_conv2d_f32(const int32_t* out_shape, float* out, const int32_t* in_shape,
                                 const float* in, const int32_t* filter_shape,
                                 const float* filter, int32_t pad_top, int32_t pad_left,
                                 int32_t stride_h, int32_t stride_w)
{
#ifdef __ARM_NEON
    transpose_conv2d(out_shape, out, in_shape, in, filter_shape, filter, pad_top, pad_left,
                     stride_h, stride_w, axpy_neon);
#else
    transpose_conv2d(out_shape, out, in_shape, in, filter_shape, filter, pad_top, pad_left,
                     stride_h, stride_w, axpy_portable);
#endif
}
