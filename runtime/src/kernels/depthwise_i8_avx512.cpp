/* The INT8 3x3 depthwise row kernel (kernel_depthwise3x3_i8_rows) with
 * AVX-512; this file alone is built for AVX-512 F/BW/DQ/VL and its entry runs
 * it only where the CPU reports them (cpu_isa.h).
 *
 * Channel blocks of 32 outside, the output row inside.  The taps' values
 * less the input zero point (-255 .. 255) and the weights are 16-bit lanes;
 * two taps at a time are interleaved and multiplied pairwise into 32-bit
 * sums (vpmaddwd), exactly, so every accumulator equals the portable body's.
 * The interleave puts channels {0-3, 8-11, 16-19, 24-27} of a block in one
 * accumulator and {4-7, ...} in the other; the bias and the factors are
 * loaded in the same order, and the pack to 16 bits puts the channels back.
 * Taps outside the row count 0.  Blocks past float_channels take the
 * portable stage channel by channel. */
#include "kernels/conv_x86.h"

#if defined(__x86_64__) && defined(__AVX512BW__) && defined(__AVX512VL__)
#include <immintrin.h>

#include <cstddef>
#include <type_traits>

namespace {

/* Lane i of the low (hi 0) or high (hi 1) interleave holds channel
 * (i / 4) * 8 + hi * 4 + i % 4 of the block. */
int channel_of(int i, int hi) { return (i / 4) * 8 + hi * 4 + i % 4; }

struct Order {
    alignas(64) int32_t lo[16], hi[16];
    Order()
    {
        for (int i = 0; i < 16; ++i) {
            lo[i] = channel_of(i, 0);
            hi[i] = channel_of(i, 1);
        }
    }
};

/* Rows and the stride are constants of each instance, so the taps unroll
 * and their weights stay in registers. */
template <int S, int Rows>
void rows_avx512(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t pad_left, int32_t edge,
                 const int8_t* in, const int8_t* filter, const int32_t* bias,
                 const depthwise_i8_stage* st)
{
    static const Order order;
    const __m512i idx_lo = _mm512_load_si512(order.lo), idx_hi = _mm512_load_si512(order.hi);
    const int32_t f0 = edge == 1 ? 3 - Rows : 0;
    constexpr int taps = Rows * 3, pairs = (taps + 1) / 2;
    const size_t in_row = static_cast<size_t>(iw) * static_cast<size_t>(ch);
    const __m512i z_in = _mm512_set1_epi16(static_cast<int16_t>(st->z_in));
    const __m512i z_out = _mm512_set1_epi16(static_cast<int16_t>(st->z_out));
    const __m512i zero = _mm512_setzero_si512(), q6 = _mm512_set1_epi32(st->q6);
    const __m512i imax = _mm512_set1_epi32(INT32_MAX);
    for (int32_t cb = 0; cb < ch; cb += 32) {
        const int n = ch - cb < 32 ? ch - cb : 32;
        const __mmask32 m = n == 32 ? ~0u : (1u << n) - 1u;
        const __mmask16 m_a = n >= 16 ? 0xffff : static_cast<__mmask16>((1u << n) - 1u);
        const __mmask16 m_b = n <= 16 ? 0 : n == 32 ? 0xffff : static_cast<__mmask16>((1u << (n - 16)) - 1u);
        __m512i w_lo[5], w_hi[5];
        for (int p = 0; p < pairs; ++p) {
            __m512i w[2] = {zero, zero};
            for (int s = 0; s < 2 && 2 * p + s < taps; ++s) {
                const int t = 2 * p + s;
                const int8_t* f = filter + (static_cast<size_t>(f0 + t / 3) * 3 + t % 3) * ch + cb;
                w[s] = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, f));
            }
            w_lo[p] = _mm512_unpacklo_epi16(w[0], w[1]);
            w_hi[p] = _mm512_unpackhi_epi16(w[0], w[1]);
        }
        __m512i b_lo = zero, b_hi = zero;
        if (bias) {
            const __m512i b0 = _mm512_maskz_loadu_epi32(m_a, bias + cb);
            const __m512i b1 = _mm512_maskz_loadu_epi32(m_b, bias + cb + 16);
            b_lo = _mm512_permutex2var_epi32(b0, idx_lo, b1);
            b_hi = _mm512_permutex2var_epi32(b0, idx_hi, b1);
        }
        const bool vector_stage = cb + n <= st->float_channels;
        __m512 f_lo = _mm512_setzero_ps(), f_hi = _mm512_setzero_ps();
        if (vector_stage) {
            const __m512 g0 = _mm512_maskz_loadu_ps(m_a, st->factors + cb);
            const __m512 g1 = _mm512_maskz_loadu_ps(m_b, st->factors + cb + 16);
            f_lo = _mm512_permutex2var_ps(g0, idx_lo, g1);
            f_hi = _mm512_permutex2var_ps(g0, idx_hi, g1);
        }
        for (int32_t x = 0; x < ow; ++x) {
            const int32_t col0 = x * S - pad_left;
            const bool border = col0 < 0 || col0 + 2 >= iw;
            __m512i acc_lo = b_lo, acc_hi = b_hi;
            for (int p = 0; p < pairs; ++p) {
                __m512i v[2] = {zero, zero};
                for (int s = 0; s < 2 && 2 * p + s < taps; ++s) {
                    const int t = 2 * p + s;
                    const int32_t col = col0 + t % 3;
                    if (border && (col < 0 || col >= iw))
                        continue;
                    const int8_t* a = in + static_cast<size_t>(t / 3) * in_row + static_cast<size_t>(col) * ch + cb;
                    v[s] = _mm512_sub_epi16(_mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, a)), z_in);
                }
                acc_lo = _mm512_add_epi32(acc_lo, _mm512_madd_epi16(_mm512_unpacklo_epi16(v[0], v[1]), w_lo[p]));
                acc_hi = _mm512_add_epi32(acc_hi, _mm512_madd_epi16(_mm512_unpackhi_epi16(v[0], v[1]), w_hi[p]));
            }
            int8_t* o = out + static_cast<size_t>(x) * ch + cb;
            if (!vector_stage) {
                alignas(64) int32_t lo[16], hi[16];
                _mm512_store_si512(lo, acc_lo);
                _mm512_store_si512(hi, acc_hi);
                for (int i = 0; i < 16; ++i) {
                    const int c0 = channel_of(i, 0), c1 = channel_of(i, 1);
                    if (c0 < n)
                        o[c0] = depthwise_i8_stage_one(lo[i], cb + c0, st);
                    if (c1 < n)
                        o[c1] = depthwise_i8_stage_one(hi[i], cb + c1, st);
                }
                continue;
            }
            __m512i r[2];
            const __m512i* acc[2] = {&acc_lo, &acc_hi};
            const __m512 f[2] = {f_lo, f_hi};
            for (int h = 0; h < 2; ++h) {
                const __m512 y = _mm512_mul_ps(_mm512_cvtepi32_ps(*acc[h]), f[h]);
                /* round to nearest even, saturating, NaN to 0 (round_even_to_i32) */
                __m512i q = _mm512_cvtps_epi32(y);
                q = _mm512_mask_mov_epi32(q, _mm512_cmp_ps_mask(y, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ), imax);
                q = _mm512_mask_mov_epi32(q, _mm512_cmp_ps_mask(y, y, _CMP_UNORD_Q), zero);
                if (st->activation == 1 || st->activation == 2)
                    q = _mm512_max_epi32(q, zero);
                if (st->activation == 2)
                    q = _mm512_min_epi32(q, q6);
                r[h] = q;
            }
            /* to 16 bits (saturating; the channels back in order), plus the
             * output zero point, saturated to 8 bits */
            const __m512i w16 = _mm512_adds_epi16(_mm512_packs_epi32(r[0], r[1]), z_out);
            _mm256_mask_storeu_epi8(o, m, _mm512_cvtsepi16_epi8(w16));
        }
    }
}

} // namespace

void depthwise3x3_i8_rows_avx512(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias,
                                 const depthwise_i8_stage* st)
{
    const auto by_rows = [&](auto s) {
        if (rows == 3)
            rows_avx512<s(), 3>(ow, ch, out, iw, pad_left, edge, in, filter, bias, st);
        else if (rows == 2)
            rows_avx512<s(), 2>(ow, ch, out, iw, pad_left, edge, in, filter, bias, st);
        else if (rows == 1)
            rows_avx512<s(), 1>(ow, ch, out, iw, pad_left, edge, in, filter, bias, st);
    };
    if (stride == 1)
        by_rows(std::integral_constant<int, 1>{});
    else
        by_rows(std::integral_constant<int, 2>{});
}

#endif
