/* The INT8 3x3 depthwise row kernel (kernel_depthwise3x3_i8_rows) with
 * AVX2, 16 channels a block; this file alone is built for x86-64-v3 and its
 * entry runs it only where the CPU reports AVX2 (cpu_isa.h).  The body is
 * depthwise_i8_wide.h's; conv_x86.h.
 *
 * AVX2 has no byte masks: a block of fewer than 16 channels reads its bytes
 * through a zeroed copy and writes them through one.  The interleave and
 * the pack work within 128-bit lanes as at AVX-512, so the accumulators'
 * order is the same rule; the bias and the factors are put in it by
 * swapping 128-bit halves. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX2__)
#include <immintrin.h>

#include <cstring>

#include "kernels/depthwise_i8_wide.h"

namespace {

struct Avx2 {
    using I = __m256i;
    using F = __m256;
    /* the block's channel count, and its first and second 8 channels as
     * lane masks */
    struct M {
        int n;
        __m256i a, b;
    };
    static constexpr int lanes = 16;
    static M mask(int n)
    {
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return {n, _mm256_cmpgt_epi32(_mm256_set1_epi32(n), idx),
                _mm256_cmpgt_epi32(_mm256_set1_epi32(n - 8), idx)};
    }
    static I widen(const int8_t* p, M m)
    {
        if (m.n == 16)
            return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        alignas(16) int8_t part[16] = {};
        std::memcpy(part, p, static_cast<size_t>(m.n));
        return _mm256_cvtepi8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(part)));
    }
    static void ordered(const int32_t* p, M m, I& lo, I& hi)
    {
        const I v0 = _mm256_maskload_epi32(p, m.a), v1 = _mm256_maskload_epi32(p + 8, m.b);
        lo = _mm256_permute2x128_si256(v0, v1, 0x20);
        hi = _mm256_permute2x128_si256(v0, v1, 0x31);
    }
    static void ordered(const float* p, M m, F& lo, F& hi)
    {
        const F v0 = _mm256_maskload_ps(p, m.a), v1 = _mm256_maskload_ps(p + 8, m.b);
        lo = _mm256_permute2f128_ps(v0, v1, 0x20);
        hi = _mm256_permute2f128_ps(v0, v1, 0x31);
    }
    static I zero() { return _mm256_setzero_si256(); }
    static I set16(int16_t v) { return _mm256_set1_epi16(v); }
    static I set32(int32_t v) { return _mm256_set1_epi32(v); }
    static I sub16(I a, I b) { return _mm256_sub_epi16(a, b); }
    static I add32(I a, I b) { return _mm256_add_epi32(a, b); }
    static I madd(I a, I b) { return _mm256_madd_epi16(a, b); }
    static I unpacklo16(I a, I b) { return _mm256_unpacklo_epi16(a, b); }
    static I unpackhi16(I a, I b) { return _mm256_unpackhi_epi16(a, b); }
    static I max32(I a, I b) { return _mm256_max_epi32(a, b); }
    static I min32(I a, I b) { return _mm256_min_epi32(a, b); }
    static F to_float(I v) { return _mm256_cvtepi32_ps(v); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static I round_even(F y)
    {
        /* the conversion gives INT32_MIN for a NaN and beyond the range */
        I q = _mm256_cvtps_epi32(y);
        const I big = _mm256_castps_si256(_mm256_cmp_ps(y, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ));
        q = _mm256_blendv_epi8(q, _mm256_set1_epi32(INT32_MAX), big);
        return _mm256_andnot_si256(_mm256_castps_si256(_mm256_cmp_ps(y, y, _CMP_UNORD_Q)), q);
    }
    static void spill(int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static void store(int8_t* o, M m, I r0, I r1, I z)
    {
        const I w16 = _mm256_adds_epi16(_mm256_packs_epi32(r0, r1), z);
        const __m128i b = _mm_packs_epi16(_mm256_castsi256_si128(w16), _mm256_extracti128_si256(w16, 1));
        if (m.n == 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), b);
            return;
        }
        alignas(16) int8_t part[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(part), b);
        std::memcpy(o, part, static_cast<size_t>(m.n));
    }
};

} // namespace

void depthwise3x3_i8_rows_avx2(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                               const int8_t* filter, const int32_t* bias,
                               const depthwise_i8_stage* st)
{
    depthwise3x3_i8_rows_wide<Avx2>(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                    bias, st);
}

#endif
