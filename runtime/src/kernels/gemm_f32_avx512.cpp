/* The width-16 float panel tile with AVX-512 (this file alone is built for
 * AVX-512 F/BW/DQ/VL): one register per panel row, two panels per tile;
 * gemm_x86.h. */
#include "kernels/gemm_x86.h"

#if defined(__x86_64__) && defined(__AVX512F__)
#include <immintrin.h>

#include "kernels/gemm_f32_wide.h"

namespace {

struct Avx512 {
    using V = __m512;
    static constexpr int lanes = 16;
    static constexpr int max_rows = 12; /* 24 accumulators */
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V dup(float x) { return _mm512_set1_ps(x); }
    static V zero() { return _mm512_setzero_ps(); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    static V max(V a, V b) { return _mm512_max_ps(a, b); }
    static V min(V a, V b) { return _mm512_min_ps(a, b); }
};

} // namespace

void gemm_f32_panels16_avx512(float* C, const float* A, const float* B, const float* bias,
                              int activation, int M, int N, int K)
{
    wide_panels16<Avx512>(C, A, B, bias, activation, M, N, K);
}

void conv_f32_panels16_avx512(float* C, const float* const* a, const int32_t* b_row, int segs,
                            int len, int step, const float* B, const float* bias, int activation,
                            int M, int N, int K)
{
    const a_segments A = {a, b_row, segs, len, static_cast<size_t>(step)};
    wide_segments<Avx512>(C, A, B, bias, activation, M, N, K);
}

#endif
