/* The width-16 packed-panel float tile at the vector width of one x86-64
 * extension.  Included by exactly one file per extension, each compiled with
 * that extension's target flags; everything here has internal linkage, so no
 * wide instruction can stand in for a baseline inline function elsewhere.
 *
 * Traits T give the vector type V of T::lanes floats (8 or 16) and load,
 * store, broadcast, fused multiply-add (a * b + c, one rounding), max and
 * min with the portable bodies' NaN rule (a NaN in the first operand gives
 * the second). */
#ifndef KESTRUNE_KERNELS_GEMM_F32_WIDE_H
#define KESTRUNE_KERNELS_GEMM_F32_WIDE_H

#include <cstddef>
#include <cstdint>

namespace {

/* The rows of A as the tile reads them: row r's K elements are `len`
 * consecutive floats at a[s] + r * step for each segment s in turn, which
 * meet the B rows from b_row[s] on.  A plain matrix is one segment of K
 * with step K; a convolution's output pixels read in place are one segment
 * per filter row inside the image, step the stride times the channels. */
struct a_segments {
    const float* const* a;
    const int32_t* b_row;
    int segs, len;
    size_t step;
};

template <typename T, int Rows, int Panels>
inline __attribute__((always_inline)) void wide_tile(float* C, const a_segments& A, size_t i0,
                                                     int N, int K, int j, const float* P,
                                                     const float* bias, int activation)
{
    using V = typename T::V;
    constexpr int kPer = 16 / T::lanes; /* vectors per panel row */
    constexpr int kVecs = Panels * kPer;
    const size_t ks = static_cast<size_t>(K);
    V acc[Rows][kVecs];
    for (int q = 0; q < kVecs; ++q) {
        const V b0 = bias ? T::load(bias + j + q * T::lanes) : T::zero();
        for (int r = 0; r < Rows; ++r)
            acc[r][q] = b0;
    }
    /* The tile's lines of C are asked for now, to arrive while the sums
     * run (C is mostly written where nothing has been cached yet). */
    for (int r = 0; r < Rows; ++r)
        for (int q = 0; q < Panels; ++q)
            __builtin_prefetch(C + static_cast<size_t>(r) * static_cast<size_t>(N) + j + q * 16, 1);
    for (int s = 0; s < A.segs; ++s) {
        const float* p[Panels];
        for (int t = 0; t < Panels; ++t)
            p[t] = P + static_cast<size_t>(t) * ks * 16 + static_cast<size_t>(A.b_row[s]) * 16;
        const float* a = A.a[s] + i0 * A.step;
        for (int k = 0; k < A.len; ++k) {
            V b[kVecs];
            for (int t = 0; t < Panels; ++t)
                for (int v = 0; v < kPer; ++v)
                    b[t * kPer + v] = T::load(p[t] + static_cast<size_t>(k) * 16 + v * T::lanes);
            for (int r = 0; r < Rows; ++r) {
                const V x = T::dup(a[static_cast<size_t>(r) * A.step + k]);
                for (int q = 0; q < kVecs; ++q)
                    acc[r][q] = T::fma(x, b[q], acc[r][q]);
            }
        }
    }
    const V zero = T::zero(), six = T::dup(6.0f);
    for (int r = 0; r < Rows; ++r)
        for (int q = 0; q < kVecs; ++q) {
            V v = acc[r][q];
            if (activation == 2)
                v = T::min(v, six);
            if (activation == 1 || activation == 2)
                v = T::max(v, zero);
            T::store(C + static_cast<size_t>(r) * static_cast<size_t>(N) + j + q * T::lanes, v);
        }
}

/* Rows rows from row i0 over every full panel, as many panels per tile as
 * the width keeps in registers, out of line so each tile has the registers
 * to itself. */
template <typename T, int Rows>
__attribute__((noinline)) void wide_rows(float* C, const a_segments& A, size_t i0,
                                         const float* B, const float* bias, int activation, int N,
                                         int K)
{
    constexpr int kPanels = T::lanes == 16 ? 2 : 1;
    const int full = N / 16;
    const size_t panel = static_cast<size_t>(K) * 16;
    int p = 0;
    for (; p + kPanels <= full; p += kPanels)
        wide_tile<T, Rows, kPanels>(C, A, i0, N, K, p * 16, B + static_cast<size_t>(p) * panel,
                                    bias, activation);
    for (; p < full; ++p)
        wide_tile<T, Rows, 1>(C, A, i0, N, K, p * 16, B + static_cast<size_t>(p) * panel, bias,
                              activation);
}

template <typename T>
void wide_segments(float* C, const a_segments& A, const float* B, const float* bias,
                   int activation, int M, int N, int K)
{
    const size_t n = static_cast<size_t>(N);
    int i = 0;
    for (; M - i >= T::max_rows; i += T::max_rows)
        wide_rows<T, T::max_rows>(C + i * n, A, i, B, bias, activation, N, K);
    for (; M - i >= 4; i += 4)
        wide_rows<T, 4>(C + i * n, A, i, B, bias, activation, N, K);
    if (M - i >= 2) {
        wide_rows<T, 2>(C + i * n, A, i, B, bias, activation, N, K);
        i += 2;
    }
    if (M - i >= 1)
        wide_rows<T, 1>(C + i * n, A, i, B, bias, activation, N, K);
}

template <typename T>
void wide_panels16(float* C, const float* A, const float* B, const float* bias, int activation,
                   int M, int N, int K)
{
    static const int32_t first_row = 0;
    const a_segments plain = {&A, &first_row, 1, K, static_cast<size_t>(K)};
    wide_segments<T>(C, plain, B, bias, activation, M, N, K);
}

} // namespace

#endif
