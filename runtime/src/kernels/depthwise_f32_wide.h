/* The FLOAT32 3x3 depthwise row kernel (kernel_depthwise_rows_f32) at the
 * vector width of one x86-64 extension.  Included by exactly one file per
 * extension, each compiled with that extension's target flags; everything
 * here has internal linkage, so no wide instruction can stand in for a
 * baseline inline function elsewhere.
 *
 * Chunks of 16 output columns outside, then channel blocks of T::lanes with
 * the nine taps' weights in registers, then the chunk's columns,
 * T::columns at a time where the window lies inside the row.  Each value is
 * 0 plus the products of the taps inside the input, row by row and left to
 * right (a separate multiply and add), then the bias: the portable body's
 * sum, bit for bit.  RELU and RELU6 are fused into the store with
 * apply_activation's rule (a NaN stays NaN, -0 gives +0); the caller
 * applies the other codes.
 *
 * Traits T give the vector type V of T::lanes floats, the mask type M of a
 * block's first n channels (T::mask(n)), load and store of the masked
 * channels (the others read as 0 and are left alone), zero, broadcast, add,
 * multiply, and the two clamps: at_most_six (v >= 6 gives 6) and
 * at_least_zero (v <= 0 gives +0), each leaving a NaN as it is. */
#ifndef KESTRUNE_KERNELS_DEPTHWISE_F32_WIDE_H
#define KESTRUNE_KERNELS_DEPTHWISE_F32_WIDE_H

#include <cstddef>
#include <cstdint>

#include "kernels/depthwise_wide.h"

namespace {

/* The bias and the fused activation of one accumulated vector, stored. */
template <typename T, typename M>
inline __attribute__((always_inline)) void dw_finish(float* o, M m, typename T::V acc,
                                                     bool has_bias, typename T::V b,
                                                     int32_t activation)
{
    if (has_bias)
        acc = T::add(acc, b);
    if (activation == 2)
        acc = T::at_most_six(acc);
    if (activation == 1 || activation == 2)
        acc = T::at_least_zero(acc);
    T::store(o, m, acc);
}

/* P neighbouring output columns from x whose windows lie wholly inside the
 * row, their sums interleaved so that P chains of additions are in flight
 * at once; each column's operations are those of the single-column loop. */
template <typename T, int S, int Rows, int P, typename M>
inline __attribute__((always_inline)) void dw_interior(float* out, int32_t x, size_t cs,
                                                       size_t in_row, int32_t pad_left,
                                                       const float* in, M m,
                                                       const typename T::V* w, bool has_bias,
                                                       typename T::V b, int32_t activation)
{
    using V = typename T::V;
    constexpr int cols = (P - 1) * S + 3; /* input columns under the P windows */
    const float* row = in + static_cast<size_t>(x * S - pad_left) * cs;
    V acc[P];
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
        acc[q] = T::zero();
    /* Row by row, each input column loaded once and added to every window
     * it falls in; a window meets its columns left to right. */
#pragma GCC unroll 3
    for (int r = 0; r < Rows; ++r) {
        const float* p = row;
#pragma GCC unroll 16
        for (int j = 0; j < cols; ++j) {
            const V v = T::load(p, m);
            p += cs;
#pragma GCC unroll 8
            for (int q = 0; q < P; ++q) {
                const int kx = j - q * S;
                if (kx >= 0 && kx < 3)
                    acc[q] = T::add(acc[q], T::mul(v, w[r * 3 + kx]));
            }
        }
        row += in_row;
    }
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
        dw_finish<T>(out + static_cast<size_t>(x + q) * cs, m, acc[q], has_bias, b, activation);
}

/* Rows and the stride are constants of each instance, so the taps unroll
 * and their weights stay in registers. */
template <typename T, int S, int Rows>
void dw_rows(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t pad_left, int32_t edge,
             const float* in, const float* filter, const float* bias, int32_t activation)
{
    using V = typename T::V;
    constexpr int P = T::columns;
    constexpr int L = T::lanes;
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
    const V zero = T::zero();
    /* Chunks of columns, every channel block of a chunk before the next:
     * the chunk's input stays in the first-level cache across the blocks. */
    constexpr int32_t kChunk = 16;
    for (int32_t xa = 0; xa < ow; xa += kChunk) {
        const int32_t xb = ow - xa < kChunk ? ow : xa + kChunk;
        /* one block of channels from cb under mask m */
        const auto block = [&](int32_t cb, auto m) {
            V w[9];
#pragma GCC unroll 9
            for (int t = 0; t < taps; ++t)
                w[t] = T::load(filter + (static_cast<size_t>(f0 + t / 3) * 3 + t % 3) * cs + cb, m);
            const V b = bias ? T::load(bias + cb, m) : zero;
            const auto edge_column = [&](int32_t x) {
                const int32_t col0 = x * S - pad_left;
                V acc = zero;
#pragma GCC unroll 9
                for (int t = 0; t < taps; ++t) {
                    const int32_t col = col0 + t % 3;
                    if (col < 0 || col >= iw)
                        continue;
                    const float* p = in + static_cast<size_t>(t / 3) * in_row + static_cast<size_t>(col) * cs + cb;
                    acc = T::add(acc, T::mul(T::load(p, m), w[t]));
                }
                dw_finish<T>(out + static_cast<size_t>(x) * cs + cb, m, acc, bias != nullptr, b,
                             activation);
            };
            int32_t x = xa;
            for (; x < xb && x < x0; ++x)
                edge_column(x);
            const int32_t ib = xb < x1 ? xb : x1;
            for (; x + P <= ib; x += P)
                dw_interior<T, S, Rows, P>(out + cb, x, cs, in_row, pad_left, in + cb, m, w,
                                           bias != nullptr, b, activation);
            for (; x < ib; ++x)
                dw_interior<T, S, Rows, 1>(out + cb, x, cs, in_row, pad_left, in + cb, m, w,
                                           bias != nullptr, b, activation);
            for (x = x > right ? x : right; x < xb; ++x)
                edge_column(x);
        };
        for (int32_t cb = 0; cb < ch; cb += L)
            block(cb, T::mask(ch - cb < L ? ch - cb : L));
    }
}

/* The entry's arguments to the instance of its stride and rows (1 to 3). */
template <typename T>
void depthwise_rows_f32_wide(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                             int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                             const float* filter, const float* bias, int32_t activation)
{
    dw_instance(stride, rows, [&](auto s, auto r) {
        dw_rows<T, s(), r()>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
    });
}

} // namespace

#endif
