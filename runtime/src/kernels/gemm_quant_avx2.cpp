/* The INT8 layout-8 product with AVX2 (vpmaddwd); this file alone is built
 * for x86-64-v3, and its entry runs only where the CPU reports AVX2
 * (cpu_isa.h).
 *
 * One register holds a panel's eight columns as 32-bit lanes.  Two panel
 * rows are interleaved per column and widened to 16 bits once per tile of
 * rows; each A row is widened sixteen values at a time and its pairs of
 * values broadcast to every lane.  vpmaddwd adds the two products of a pair
 * into the column's lane: 8-bit values widened to 16 bits, so every product
 * and sum is exact (vpmaddubsw's 16-bit sums could saturate) and the bytes
 * written equal the portable body's; the output stage is panel_store's rule
 * in eight lanes. */
#include "kernels/gemm_x86.h"

#if defined(__x86_64__) && defined(__AVX2__)
#include <immintrin.h>

#include <cstddef>
#include <cstring>

namespace {

/* Panel rows k and k + 1 (the second 0 when `both` is false), interleaved
 * per column and widened: lane c holds B(k, c) and B(k + 1, c). */
inline __m256i panel_pair(const int8_t* p, bool both)
{
    const __m128i r0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i r1 = both ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8)) : _mm_setzero_si128();
    return _mm256_cvtepi8_epi16(_mm_unpacklo_epi8(r0, r1));
}

/* R rows from row i of one full panel P at column j0. */
template <int R>
void tile(int8_t* C, const int8_t* A, const int8_t* P, int32_t i, int32_t j0, int32_t N, int32_t K,
          const gemm_i8_columns* cols, int32_t activation)
{
    const size_t kk = static_cast<size_t>(K);
    __m256i acc[R];
    for (int r = 0; r < R; ++r)
        acc[r] = _mm256_setzero_si256();
    int32_t k = 0;
    for (; k < K; k += 16) {
        /* sixteen values of each row (fewer at the end, the rest 0) */
        const int n = K - k < 16 ? K - k : 16;
        __m256i a16[R];
        for (int r = 0; r < R; ++r) {
            const int8_t* a = A + static_cast<size_t>(i + r) * kk + k;
            __m128i v;
            if (n == 16) {
                v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
            } else {
                alignas(16) int8_t t[16] = {};
                std::memcpy(t, a, static_cast<size_t>(n));
                v = _mm_load_si128(reinterpret_cast<const __m128i*>(t));
            }
            a16[r] = _mm256_cvtepi8_epi16(v);
        }
        for (int q = 0; 2 * q < n; ++q) {
            const __m256i b = panel_pair(P + static_cast<size_t>(k + 2 * q) * 8, 2 * q + 1 < n);
            const __m256i lane = _mm256_set1_epi32(q);
            for (int r = 0; r < R; ++r) {
                const __m256i x = _mm256_permutevar8x32_epi32(a16[r], lane);
                acc[r] = _mm256_add_epi32(acc[r], _mm256_madd_epi16(x, b));
            }
        }
    }
    const __m256 f = _mm256_loadu_ps(cols->factors + j0);
    const __m256i init = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cols->init + j0));
    const __m256i zero = _mm256_setzero_si256(), q6 = _mm256_set1_epi32(cols->q6);
    const __m256i z = _mm256_set1_epi32(cols->z_out), imax = _mm256_set1_epi32(INT32_MAX);
    for (int r = 0; r < R; ++r) {
        const __m256 x = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(acc[r], init)), f);
        /* round to nearest even, saturating, NaN to 0 (round_even_to_i32) */
        __m256i v = _mm256_cvtps_epi32(x);
        v = _mm256_blendv_epi8(v, imax, _mm256_castps_si256(_mm256_cmp_ps(x, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ)));
        v = _mm256_blendv_epi8(v, zero, _mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q)));
        if (activation == 1 || activation == 2)
            v = _mm256_max_epi32(v, zero);
        if (activation == 2)
            v = _mm256_min_epi32(v, q6);
        /* v + z_out saturated to 32 bits, then to 8 */
        const __m256i s = _mm256_add_epi32(v, z);
        const __m256i ov = _mm256_srai_epi32(_mm256_and_si256(_mm256_xor_si256(v, s), _mm256_xor_si256(z, s)), 31);
        const __m256i sat = _mm256_xor_si256(_mm256_srai_epi32(v, 31), imax);
        const __m256i w = _mm256_blendv_epi8(s, sat, ov);
        const __m128i h = _mm_packs_epi32(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(C + static_cast<size_t>(i + r) * static_cast<size_t>(N) + j0),
                         _mm_packs_epi16(h, h));
    }
}

} // namespace

void gemm_i8_panel8_columns_avx2(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation,
                                 int32_t M, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    const size_t kk = static_cast<size_t>(K);
    const int32_t full = N / 8;
    for (int32_t p = 0; p < full; ++p) {
        const int8_t* P = B + static_cast<size_t>(p) * kk * 8;
        int32_t i = 0;
        for (; i + 4 <= M; i += 4)
            tile<4>(C, A, P, i, p * 8, N, K, cols, activation);
        for (; i < M; ++i)
            tile<1>(C, A, P, i, p * 8, N, K, cols, activation);
    }
    if (full * 8 < N) {
        /* a narrower last panel: the portable body on it alone */
        const int32_t j0 = full * 8;
        const gemm_i8_columns tail = {cols->factors + j0, cols->init + j0, cols->z_out, cols->q6,
                                      cols->b_has_min, nullptr};
        for (int32_t r = 0; r < M; ++r)
            gemm_i8_panel8_columns_v80(C + static_cast<size_t>(r) * static_cast<size_t>(N) + j0,
                                       A + static_cast<size_t>(r) * kk, B + static_cast<size_t>(j0) * kk,
                                       activation, 1, N - j0, K, &tail);
    }
}

#endif
