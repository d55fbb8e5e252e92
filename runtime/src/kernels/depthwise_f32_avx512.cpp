/* The FLOAT32 3x3 depthwise row kernel (kernel_depthwise_rows_f32) with
 * AVX-512, 16 channels a vector; this file alone is built for AVX-512
 * F/BW/DQ/VL and its entry runs it only where the CPU reports them
 * (cpu_isa.h).  The body is depthwise_f32_wide.h's; conv_x86.h. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX512F__)
#include <immintrin.h>

#include "kernels/depthwise_f32_wide.h"

namespace {

struct Avx512 {
    using V = __m512;
    using M = __mmask16;
    static constexpr int lanes = 16;
    static constexpr int columns = 4; /* interior columns in flight */
    static M mask(int n) { return n == 16 ? 0xffff : static_cast<M>((1u << n) - 1u); }
    static V load(const float* p, M m) { return _mm512_maskz_loadu_ps(m, p); }
    static void store(float* p, M m, V v) { _mm512_mask_storeu_ps(p, m, v); }
    static V zero() { return _mm512_setzero_ps(); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V at_most_six(V v)
    {
        const V six = _mm512_set1_ps(6.0f);
        return _mm512_mask_mov_ps(v, _mm512_cmp_ps_mask(v, six, _CMP_GE_OQ), six);
    }
    static V at_least_zero(V v)
    {
        const V zero = _mm512_setzero_ps();
        return _mm512_mask_mov_ps(v, _mm512_cmp_ps_mask(v, zero, _CMP_LE_OQ), zero);
    }
};

} // namespace

void depthwise_rows_f32_avx512(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                               const float* filter, const float* bias, int32_t activation)
{
    depthwise_rows_f32_wide<Avx512>(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter,
                                    bias, activation);
}

#endif
