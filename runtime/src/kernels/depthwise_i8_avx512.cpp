/* The INT8 3x3 depthwise row kernel (kernel_depthwise3x3_i8_rows) with
 * AVX-512, 32 channels a block; this file alone is built for AVX-512
 * F/BW/DQ/VL and its entry runs it only where the CPU reports them
 * (cpu_isa.h).  The body is depthwise_i8_wide.h's; conv_x86.h. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX512BW__) && defined(__AVX512VL__)
#include <immintrin.h>

#include "kernels/depthwise_i8_wide.h"

namespace {

/* The accumulators' channel order as permutation indices over two vectors
 * of 16 channels. */
struct Order {
    alignas(64) int32_t lo[16], hi[16];
    Order()
    {
        for (int i = 0; i < 16; ++i) {
            lo[i] = dw_channel_of(i, 0);
            hi[i] = dw_channel_of(i, 1);
        }
    }
};

struct Avx512 {
    using I = __m512i;
    using F = __m512;
    /* the block's bytes, and its first and second 16 channels */
    struct M {
        __mmask32 bytes;
        __mmask16 a, b;
    };
    static constexpr int lanes = 32;
    static M mask(int n)
    {
        return {n == 32 ? ~0u : (1u << n) - 1u,
                n >= 16 ? static_cast<__mmask16>(0xffff) : static_cast<__mmask16>((1u << n) - 1u),
                n <= 16   ? static_cast<__mmask16>(0)
                : n == 32 ? static_cast<__mmask16>(0xffff)
                          : static_cast<__mmask16>((1u << (n - 16)) - 1u)};
    }
    static I widen(const int8_t* p, M m)
    {
        return _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m.bytes, p));
    }
    static const Order& order()
    {
        static const Order o;
        return o;
    }
    static void ordered(const int32_t* p, M m, I& lo, I& hi)
    {
        const I v0 = _mm512_maskz_loadu_epi32(m.a, p), v1 = _mm512_maskz_loadu_epi32(m.b, p + 16);
        lo = _mm512_permutex2var_epi32(v0, _mm512_load_si512(order().lo), v1);
        hi = _mm512_permutex2var_epi32(v0, _mm512_load_si512(order().hi), v1);
    }
    static void ordered(const float* p, M m, F& lo, F& hi)
    {
        const F v0 = _mm512_maskz_loadu_ps(m.a, p), v1 = _mm512_maskz_loadu_ps(m.b, p + 16);
        lo = _mm512_permutex2var_ps(v0, _mm512_load_si512(order().lo), v1);
        hi = _mm512_permutex2var_ps(v0, _mm512_load_si512(order().hi), v1);
    }
    static I zero() { return _mm512_setzero_si512(); }
    static I set16(int16_t v) { return _mm512_set1_epi16(v); }
    static I set32(int32_t v) { return _mm512_set1_epi32(v); }
    static I sub16(I a, I b) { return _mm512_sub_epi16(a, b); }
    static I add32(I a, I b) { return _mm512_add_epi32(a, b); }
    static I madd(I a, I b) { return _mm512_madd_epi16(a, b); }
    static I unpacklo16(I a, I b) { return _mm512_unpacklo_epi16(a, b); }
    static I unpackhi16(I a, I b) { return _mm512_unpackhi_epi16(a, b); }
    static I max32(I a, I b) { return _mm512_max_epi32(a, b); }
    static I min32(I a, I b) { return _mm512_min_epi32(a, b); }
    static F to_float(I v) { return _mm512_cvtepi32_ps(v); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static I round_even(F y)
    {
        I q = _mm512_cvtps_epi32(y);
        q = _mm512_mask_mov_epi32(q, _mm512_cmp_ps_mask(y, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ),
                                  _mm512_set1_epi32(INT32_MAX));
        return _mm512_mask_mov_epi32(q, _mm512_cmp_ps_mask(y, y, _CMP_UNORD_Q), zero());
    }
    static void spill(int32_t* p, I v) { _mm512_storeu_si512(p, v); }
    static void store(int8_t* o, M m, I r0, I r1, I z)
    {
        const I w16 = _mm512_adds_epi16(_mm512_packs_epi32(r0, r1), z);
        _mm256_mask_storeu_epi8(o, m.bytes, _mm512_cvtsepi16_epi8(w16));
    }
};

} // namespace

void depthwise3x3_i8_rows_avx512(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias,
                                 const depthwise_i8_stage* st)
{
    depthwise3x3_i8_rows_wide<Avx512>(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                      bias, st);
}

#endif
