/* The INT8 layout-8 product with the AVX-512 dot products (vpdpbusd); this
 * file alone is built for AVX-512 with VNNI and VBMI, and its entry runs only
 * where the CPU reports them (cpu_isa.h).
 *
 * vpdpbusd multiplies unsigned by signed bytes, four products per 32-bit
 * lane.  The weights are the unsigned side: each panel byte is taken as
 * B + 128 (its sign bit flipped), so a lane sums (B + 128) · A and the
 * row's 128 · Σ A is taken off once at the end.  Every sum is exact (and
 * wraps like the portable one), so the bytes written equal the portable
 * body's; the output stage is panel_store's rule in sixteen lanes.
 *
 * Two panels (16 columns) make one register: four rows of each (32 bytes)
 * are turned by one byte permutation into the columns' groups of four k,
 * once per tile of rows. */
#include "kernels/gemm_x86.h"

#if defined(__x86_64__) && defined(__AVX512VNNI__) && defined(__AVX512VBMI__)
#include <immintrin.h>

#include <cstddef>

namespace {

/* Lane L (column L of the two panels), byte kk: row kk of the first panel's
 * column L, or of the second panel's column L - 8. */
struct TurnIndex {
    alignas(64) unsigned char b[64];
    constexpr TurnIndex() : b()
    {
        for (int l = 0; l < 16; ++l)
            for (int kk = 0; kk < 4; ++kk)
                b[l * 4 + kk] =
                    static_cast<unsigned char>(l < 8 ? kk * 8 + l : 32 + kk * 8 + (l - 8));
    }
};
constexpr TurnIndex kTurn;

/* Sum of the K bytes at a. */
inline int32_t row_sum(const int8_t* a, int32_t K)
{
    const __m512i ones = _mm512_set1_epi8(1);
    __m512i s = _mm512_setzero_si512();
    int32_t k = 0;
    for (; k + 64 <= K; k += 64)
        s = _mm512_dpbusd_epi32(s, ones, _mm512_loadu_si512(a + k));
    if (k < K) {
        const __mmask64 m = (~0ULL) >> (64 - (K - k));
        s = _mm512_dpbusd_epi32(s, ones, _mm512_maskz_loadu_epi8(m, a + k));
    }
    return _mm512_reduce_add_epi32(s);
}

/* Four k of the two panels (or of one, Panels 1: the second half repeats
 * it), turned and made unsigned.  rows < 4 reads only that many panel rows
 * (the others are 0). */
template <int Panels>
inline __m512i panel_group(const int8_t* p0, const int8_t* p1, int rows, __m512i turn)
{
    const __mmask32 m = rows >= 4 ? ~0u : (1u << (rows * 8)) - 1u;
    const __m256i lo = _mm256_maskz_loadu_epi8(m, p0);
    const __m256i hi = Panels == 2 ? _mm256_maskz_loadu_epi8(m, p1) : lo;
    const __m512i z = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    return _mm512_xor_si512(_mm512_permutexvar_epi8(turn, z), _mm512_set1_epi8(-128));
}

/* Rows R from row i, columns j0 .. j0 + 8·Panels - 1 (full panels from P). */
template <int R, int Panels>
inline void tile(int8_t* C, const int8_t* A, const int8_t* P, int32_t i, int32_t j0, int32_t N,
                 int32_t K, const int32_t* sums, const gemm_i8_columns* cols, int32_t activation)
{
    const size_t kk = static_cast<size_t>(K);
    const int8_t* p0 = P;
    const int8_t* p1 = P + kk * 8;
    const __m512i turn = _mm512_load_si512(kTurn.b);
    const int8_t* a[R];
    __m512i acc[R];
    for (int r = 0; r < R; ++r) {
        a[r] = A + static_cast<size_t>(i + r) * kk;
        acc[r] = _mm512_setzero_si512();
    }
    int32_t k = 0;
    for (; k + 4 <= K; k += 4) {
        const __m512i b = panel_group<Panels>(p0 + static_cast<size_t>(k) * 8,
                                              p1 + static_cast<size_t>(k) * 8, 4, turn);
        for (int r = 0; r < R; ++r) {
            int32_t w;
            __builtin_memcpy(&w, a[r] + k, sizeof w);
            acc[r] = _mm512_dpbusd_epi32(acc[r], b, _mm512_set1_epi32(w));
        }
    }
    if (k < K) {
        const int rest = K - k;
        const __m512i b = panel_group<Panels>(p0 + static_cast<size_t>(k) * 8,
                                              p1 + static_cast<size_t>(k) * 8, rest, turn);
        const __mmask16 m = static_cast<__mmask16>((1u << rest) - 1u);
        for (int r = 0; r < R; ++r) {
            const __m128i x = _mm_maskz_loadu_epi8(m, a[r] + k);
            acc[r] = _mm512_dpbusd_epi32(acc[r], b, _mm512_broadcastd_epi32(x));
        }
    }
    /* The output stage: factors and starts of the columns (8 of them for one
     * panel, the other lanes never stored). */
    const __mmask16 cm = Panels == 2 ? 0xffff : 0x00ff;
    const __m512 f = _mm512_maskz_loadu_ps(cm, cols->factors + j0);
    const __m512i init = _mm512_maskz_loadu_epi32(cm, cols->init + j0);
    const __m512i zero = _mm512_setzero_si512(), q6 = _mm512_set1_epi32(cols->q6);
    const __m512i z = _mm512_set1_epi32(cols->z_out), imax = _mm512_set1_epi32(INT32_MAX);
    for (int r = 0; r < R; ++r) {
        const __m512i d = _mm512_sub_epi32(_mm512_add_epi32(acc[r], init),
                                           _mm512_set1_epi32(static_cast<int32_t>(
                                               static_cast<uint32_t>(sums[r]) << 7)));
        const __m512 x = _mm512_mul_ps(_mm512_cvtepi32_ps(d), f);
        /* round to nearest even, saturating, NaN to 0 (round_even_to_i32) */
        __m512i v = _mm512_cvtps_epi32(x);
        v = _mm512_mask_mov_epi32(v, _mm512_cmp_ps_mask(x, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ),
                                  imax);
        v = _mm512_mask_mov_epi32(v, _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q), zero);
        if (activation == 1 || activation == 2)
            v = _mm512_max_epi32(v, zero);
        if (activation == 2)
            v = _mm512_min_epi32(v, q6);
        /* v + z_out saturated to 32 bits, then to 8 */
        const __m512i s = _mm512_add_epi32(v, z);
        const __mmask16 ov = _mm512_movepi32_mask(
            _mm512_and_si512(_mm512_xor_si512(v, s), _mm512_xor_si512(z, s)));
        const __m512i sat = _mm512_xor_si512(_mm512_srai_epi32(v, 31), imax);
        const __m128i out = _mm512_cvtsepi32_epi8(_mm512_mask_mov_epi32(s, ov, sat));
        int8_t* c = C + static_cast<size_t>(i + r) * static_cast<size_t>(N) + j0;
        if (Panels == 2)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(c), out);
        else
            _mm_storel_epi64(reinterpret_cast<__m128i*>(c), out);
    }
}

template <int R>
void rows_tiles(int8_t* C, const int8_t* A, const int8_t* B, int32_t i, int32_t N, int32_t K,
                const int32_t* sums, const gemm_i8_columns* cols, int32_t activation)
{
    const int32_t full = N / 8;
    const size_t panel = static_cast<size_t>(K) * 8;
    int32_t p = 0;
    for (; p + 2 <= full; p += 2)
        tile<R, 2>(C, A, B + static_cast<size_t>(p) * panel, i, p * 8, N, K, sums, cols,
                   activation);
    if (p < full)
        tile<R, 1>(C, A, B + static_cast<size_t>(p) * panel, i, p * 8, N, K, sums, cols,
                   activation);
}

} // namespace

void gemm_i8_panel8_columns_vnni(int8_t* C, const int8_t* A, const int8_t* B, int32_t activation,
                                 int32_t M, int32_t N, int32_t K, const gemm_i8_columns* cols)
{
    const size_t kk = static_cast<size_t>(K);
    int32_t i = 0;
    for (; i + 4 <= M; i += 4) {
        int32_t sums[4];
        for (int r = 0; r < 4; ++r)
            sums[r] = row_sum(A + static_cast<size_t>(i + r) * kk, K);
        rows_tiles<4>(C, A, B, i, N, K, sums, cols, activation);
    }
    for (; i < M; ++i) {
        const int32_t sums[1] = {row_sum(A + static_cast<size_t>(i) * kk, K)};
        rows_tiles<1>(C, A, B, i, N, K, sums, cols, activation);
    }
    const int32_t full = N / 8 * 8;
    if (full < N) {
        /* a narrower last panel: the portable body on it alone */
        const gemm_i8_columns tail = {cols->factors + full, cols->init + full, cols->z_out,
                                      cols->q6, cols->b_has_min, nullptr};
        for (int32_t r = 0; r < M; ++r)
            gemm_i8_panel8_columns_v80(C + static_cast<size_t>(r) * static_cast<size_t>(N) + full,
                                       A + static_cast<size_t>(r) * kk, B + static_cast<size_t>(full) * kk,
                                       activation, 1, N - full, K, &tail);
    }
}

#endif
