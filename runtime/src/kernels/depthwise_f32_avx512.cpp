/* The FLOAT32 3x3 depthwise row kernel (kernel_depthwise_rows_f32) with
 * AVX-512; this file alone is built for AVX-512 F/BW/DQ/VL and its entry runs
 * it only where the CPU reports them (cpu_isa.h).
 *
 * Chunks of 16 output columns outside, then channel blocks of 16 with the
 * nine taps' weights in registers, then the chunk's columns, four at a time
 * where the window lies inside the row.  Each value is 0 plus the products
 * of the taps inside the input, row by row and left to right (a separate
 * multiply and add), then the bias: the portable body's sum, bit for bit.  RELU and RELU6 are
 * fused into the store with apply_activation's rule (a NaN stays NaN, -0
 * gives +0); the caller applies the other codes. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX512F__)
#include <immintrin.h>

#include <cstddef>
#include <type_traits>

namespace {

/* The bias and the fused activation of one accumulated vector, stored. */
inline __attribute__((always_inline)) void finish(float* o, __mmask16 m, __m512 acc, bool has_bias,
                                                  __m512 b, int32_t activation)
{
    const __m512 zero = _mm512_setzero_ps(), six = _mm512_set1_ps(6.0f);
    if (has_bias)
        acc = _mm512_add_ps(acc, b);
    if (activation == 2)
        acc = _mm512_mask_mov_ps(acc, _mm512_cmp_ps_mask(acc, six, _CMP_GE_OQ), six);
    if (activation == 1 || activation == 2)
        acc = _mm512_mask_mov_ps(acc, _mm512_cmp_ps_mask(acc, zero, _CMP_LE_OQ), zero);
    _mm512_mask_storeu_ps(o, m, acc);
}

/* P neighbouring output columns from x whose windows lie wholly inside the
 * row, their sums interleaved so that P chains of additions are in flight
 * at once; each column's operations are those of the single-column loop. */
template <int S, int Rows, int P>
inline __attribute__((always_inline)) void interior(float* out, int32_t x, size_t cs,
                                                    size_t in_row, int32_t pad_left,
                                                    const float* in, __mmask16 m,
                                                    const __m512* w, bool has_bias, __m512 b,
                                                    int32_t activation)
{
    constexpr int cols = (P - 1) * S + 3; /* input columns under the P windows */
    const float* row = in + static_cast<size_t>(x * S - pad_left) * cs;
    __m512 acc[P];
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
        acc[q] = _mm512_setzero_ps();
    /* Row by row, each input column loaded once and added to every window
     * it falls in; a window meets its columns left to right. */
#pragma GCC unroll 3
    for (int r = 0; r < Rows; ++r) {
        const float* p = row;
#pragma GCC unroll 16
        for (int j = 0; j < cols; ++j) {
            const __m512 v = _mm512_maskz_loadu_ps(m, p);
            p += cs;
#pragma GCC unroll 8
            for (int q = 0; q < P; ++q) {
                const int kx = j - q * S;
                if (kx >= 0 && kx < 3)
                    acc[q] = _mm512_add_ps(acc[q], _mm512_mul_ps(v, w[r * 3 + kx]));
            }
        }
        row += in_row;
    }
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
        finish(out + static_cast<size_t>(x + q) * cs, m, acc[q], has_bias, b, activation);
}

/* Rows and the stride are constants of each instance, so the taps unroll
 * and their weights stay in registers. */
template <int S, int Rows>
void rows_avx512(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t pad_left, int32_t edge,
                 const float* in, const float* filter, const float* bias, int32_t activation)
{
    constexpr int P = 4;
    const int32_t f0 = edge == 1 ? 3 - Rows : 0;
    constexpr int taps = Rows * 3;
    const size_t cs = static_cast<size_t>(ch);
    const size_t in_row = static_cast<size_t>(iw) * cs;
    /* columns [x0, x1) have the whole window inside the row */
    int32_t x0 = (pad_left + S - 1) / S, x1 = iw >= 3 ? (iw - 3 + pad_left) / S + 1 : 0;
    if (x1 > ow)
        x1 = ow;
    if (x0 > x1)
        x0 = x1 = ow;
    const int32_t right = x1 > x0 ? x1 : x0; /* first column of the right edge */
    const __m512 zero = _mm512_setzero_ps();
    /* Chunks of columns, every channel block of a chunk before the next:
     * the chunk's input stays in the first-level cache across the blocks. */
    constexpr int32_t kChunk = 16;
    for (int32_t xa = 0; xa < ow; xa += kChunk) {
        const int32_t xb = ow - xa < kChunk ? ow : xa + kChunk;
        for (int32_t cb = 0; cb < ch; cb += 16) {
            const int n = ch - cb < 16 ? ch - cb : 16;
            const __mmask16 m = n == 16 ? 0xffff : static_cast<__mmask16>((1u << n) - 1u);
            __m512 w[9];
#pragma GCC unroll 9
            for (int t = 0; t < taps; ++t)
                w[t] = _mm512_maskz_loadu_ps(m, filter + (static_cast<size_t>(f0 + t / 3) * 3 + t % 3) * cs + cb);
            const __m512 b = bias ? _mm512_maskz_loadu_ps(m, bias + cb) : zero;
            const auto edge_column = [&](int32_t x) {
                const int32_t col0 = x * S - pad_left;
                __m512 acc = zero;
#pragma GCC unroll 9
                for (int t = 0; t < taps; ++t) {
                    const int32_t col = col0 + t % 3;
                    if (col < 0 || col >= iw)
                        continue;
                    const float* p = in + static_cast<size_t>(t / 3) * in_row + static_cast<size_t>(col) * cs + cb;
                    acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_maskz_loadu_ps(m, p), w[t]));
                }
                finish(out + static_cast<size_t>(x) * cs + cb, m, acc, bias != nullptr, b, activation);
            };
            int32_t x = xa;
            for (; x < xb && x < x0; ++x)
                edge_column(x);
            const int32_t ib = xb < x1 ? xb : x1;
            for (; x + P <= ib; x += P)
                interior<S, Rows, P>(out + cb, x, cs, in_row, pad_left, in + cb, m, w,
                                     bias != nullptr, b, activation);
            for (; x < ib; ++x)
                interior<S, Rows, 1>(out + cb, x, cs, in_row, pad_left, in + cb, m, w,
                                     bias != nullptr, b, activation);
            for (x = x > right ? x : right; x < xb; ++x)
                edge_column(x);
        }
    }
}

} // namespace

void depthwise_rows_f32_avx512(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                               const float* filter, const float* bias, int32_t activation)
{
    const auto by_rows = [&](auto s) {
        if (rows == 3)
            rows_avx512<s(), 3>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
        else if (rows == 2)
            rows_avx512<s(), 2>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
        else if (rows == 1)
            rows_avx512<s(), 1>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
    };
    if (stride == 1)
        by_rows(std::integral_constant<int, 1>{});
    else
        by_rows(std::integral_constant<int, 2>{});
}

#endif
