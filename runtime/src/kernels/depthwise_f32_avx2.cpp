/* The FLOAT32 3x3 depthwise row kernel (kernel_depthwise_rows_f32) with
 * AVX2, 8 channels a vector; this file alone is built for x86-64-v3 and its
 * entry runs it only where the CPU reports AVX2 (cpu_isa.h).  The body is
 * depthwise_f32_wide.h's; conv_x86.h. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX2__)
#include <immintrin.h>

#include "kernels/depthwise_f32_wide.h"

namespace {

struct Avx2 {
    using V = __m256;
    /* the block's lanes, and whether it is a whole vector: masked loads
     * (as fast as plain ones where measured), a plain store for a whole
     * vector (masked stores are slow on some CPUs) */
    struct M {
        __m256i lanes;
        bool whole;
    };
    static constexpr int lanes = 8;
    static constexpr int columns = 2; /* interior columns in flight */
    static M mask(int n)
    {
        return {_mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)),
                n == 8};
    }
    static V load(const float* p, M m) { return _mm256_maskload_ps(p, m.lanes); }
    static void store(float* p, M m, V v)
    {
        if (m.whole)
            _mm256_storeu_ps(p, v);
        else
            _mm256_maskstore_ps(p, m.lanes, v);
    }
    static V zero() { return _mm256_setzero_ps(); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V at_most_six(V v)
    {
        const V six = _mm256_set1_ps(6.0f);
        return _mm256_blendv_ps(v, six, _mm256_cmp_ps(v, six, _CMP_GE_OQ));
    }
    static V at_least_zero(V v)
    {
        const V zero = _mm256_setzero_ps();
        return _mm256_blendv_ps(v, zero, _mm256_cmp_ps(v, zero, _CMP_LE_OQ));
    }
};

} // namespace

void depthwise_rows_f32_avx2(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                             int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                             const float* filter, const float* bias, int32_t activation)
{
    depthwise_rows_f32_wide<Avx2>(ow, ch, out, iw, stride, pad_left, rows, edge, in, filter, bias,
                                  activation);
}

#endif
