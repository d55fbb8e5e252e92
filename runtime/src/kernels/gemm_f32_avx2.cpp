/* The width-16 float panel tile with AVX2 and FMA (this file alone is built
 * for x86-64-v3); gemm_x86.h. */
#include "kernels/gemm_x86.h"

#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>

#include "kernels/gemm_f32_wide.h"

namespace {

struct Avx2 {
    using V = __m256;
    static constexpr int lanes = 8;
    static constexpr int max_rows = 6; /* 12 accumulators */
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V dup(float x) { return _mm256_set1_ps(x); }
    static V zero() { return _mm256_setzero_ps(); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
};

} // namespace

void gemm_f32_panels16_avx2(float* C, const float* A, const float* B, const float* bias,
                            int activation, int M, int N, int K)
{
    wide_panels16<Avx2>(C, A, B, bias, activation, M, N, K);
}

void conv_f32_panels16_avx2(float* C, const float* const* a, const int32_t* b_row, int segs,
                            int len, int step, const float* B, const float* bias, int activation,
                            int M, int N, int K)
{
    const a_segments A = {a, b_row, segs, len, static_cast<size_t>(step)};
    wide_segments<Avx2>(C, A, B, bias, activation, M, N, K);
}

#endif
