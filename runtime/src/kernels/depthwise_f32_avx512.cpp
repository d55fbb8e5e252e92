/* The FLOAT32 3x3 depthwise row kernel (kernel_depthwise_rows_f32) with
 * AVX-512; this file alone is built for AVX-512 F/BW/DQ/VL and its entry runs
 * it only where the CPU reports them (cpu_isa.h).
 *
 * Channel blocks of 16 outside with the nine taps' weights in registers, the
 * output row inside.  Each value is 0 plus the products of the taps inside
 * the input, row by row and left to right (a separate multiply and add),
 * then the bias: the portable body's sum, bit for bit.  RELU and RELU6 are
 * fused into the store with apply_activation's rule (a NaN stays NaN, -0
 * gives +0); the caller applies the other codes. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX512F__)
#include <immintrin.h>

#include <cstddef>
#include <type_traits>

namespace {

/* Rows and the stride are constants of each instance, so the taps unroll
 * and their weights stay in registers. */
template <int S, int Rows>
void rows_avx512(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t pad_left, int32_t edge,
                 const float* in, const float* filter, const float* bias, int32_t activation)
{
    const int32_t f0 = edge == 1 ? 3 - Rows : 0;
    constexpr int taps = Rows * 3;
    const size_t in_row = static_cast<size_t>(iw) * static_cast<size_t>(ch);
    const __m512 zero = _mm512_setzero_ps(), six = _mm512_set1_ps(6.0f);
    for (int32_t cb = 0; cb < ch; cb += 16) {
        const int n = ch - cb < 16 ? ch - cb : 16;
        const __mmask16 m = n == 16 ? 0xffff : static_cast<__mmask16>((1u << n) - 1u);
        __m512 w[9];
        for (int t = 0; t < taps; ++t)
            w[t] = _mm512_maskz_loadu_ps(m, filter + (static_cast<size_t>(f0 + t / 3) * 3 + t % 3) * ch + cb);
        const __m512 b = bias ? _mm512_maskz_loadu_ps(m, bias + cb) : zero;
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t col0 = x * S - pad_left;
            const bool border = col0 < 0 || col0 + 2 >= iw;
            __m512 acc = zero;
            for (int t = 0; t < taps; ++t) {
                const int32_t col = col0 + t % 3;
                if (border && (col < 0 || col >= iw))
                    continue;
                const float* p = in + static_cast<size_t>(t / 3) * in_row + static_cast<size_t>(col) * ch + cb;
                acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_maskz_loadu_ps(m, p), w[t]));
            }
            if (bias)
                acc = _mm512_add_ps(acc, b);
            if (activation == 2)
                acc = _mm512_mask_mov_ps(acc, _mm512_cmp_ps_mask(acc, six, _CMP_GE_OQ), six);
            if (activation == 1 || activation == 2)
                acc = _mm512_mask_mov_ps(acc, _mm512_cmp_ps_mask(acc, zero, _CMP_LE_OQ), zero);
            _mm512_mask_storeu_ps(out + static_cast<size_t>(x) * ch + cb, m, acc);
        }
    }
}

} // namespace

void depthwise_rows_f32_avx512(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                               const float* filter, const float* bias, int32_t activation)
{
    const auto by_rows = [&](auto s) {
        if (rows == 3)
            rows_avx512<s(), 3>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
        else if (rows == 2)
            rows_avx512<s(), 2>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
        else if (rows == 1)
            rows_avx512<s(), 1>(ow, ch, out, iw, pad_left, edge, in, filter, bias, activation);
    };
    if (stride == 1)
        by_rows(std::integral_constant<int, 1>{});
    else
        by_rows(std::integral_constant<int, 2>{});
}

#endif
