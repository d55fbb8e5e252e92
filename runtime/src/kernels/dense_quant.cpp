/* One-row quantised dense kernels: two that only accumulate into 32-bit
 * integers and one that requantises the row itself. */
#include <stddef.h>

#include "kernels/fixed_point.h"
#include "kernels/gemm_quant.h"
#include "kernels/gemm_simd.h"

using namespace kestrune::simd;

/* acc[j] += x · w[j] over one weights row; x is a zero-point-adjusted input
 * value (up to 9 bits), w[j] − zw (16-bit lanes) up to 9 bits: 16×16 -> 32. */
static inline __attribute__((always_inline)) void row_mac(int32_t* acc, const void* wrow,
                                                          int is_signed, int32_t zw, int32_t x,
                                                          int32_t N, int vector_ok)
{
    int32_t j = 0;
    if (vector_ok) {
        const v_i16 vzw = dup((int16_t)zw);
        const int16_t xs = (int16_t)x;
        for (; j + 16 <= N; j += 16) {
            v_i16 lo, hi;
            if (is_signed) {
                v_i8 w = load((const int8_t*)wrow + j);
                lo = widen_lo(w);
                hi = widen_hi(w);
            } else {
                v_u8 w = load((const uint8_t*)wrow + j);
                lo = widen_lo(w);
                hi = widen_hi(w);
            }
            lo = vi16_sub(lo, vzw);
            hi = vi16_sub(hi, vzw);
            store(acc + j, vi32_mlal_lo_n(load(acc + j), lo, xs));
            store(acc + j + 4, vi32_mlal_hi_n(load(acc + j + 4), lo, xs));
            store(acc + j + 8, vi32_mlal_lo_n(load(acc + j + 8), hi, xs));
            store(acc + j + 12, vi32_mlal_hi_n(load(acc + j + 12), hi, xs));
        }
        for (; j + 8 <= N; j += 8) {
            v_i16 w = is_signed ? widen8((const int8_t*)wrow + j)
                                : widen8((const uint8_t*)wrow + j);
            w = vi16_sub(w, vzw);
            store(acc + j, vi32_mlal_lo_n(load(acc + j), w, xs));
            store(acc + j + 4, vi32_mlal_hi_n(load(acc + j + 4), w, xs));
        }
    }
    for (; j < N; ++j) {
        int32_t w = is_signed ? ((const int8_t*)wrow)[j] : ((const uint8_t*)wrow)[j];
        /* In 64 bits: outside the vector case x and zw may be any zero-point
         * adjusted values; the sum wraps like the vector lanes'. */
        const int64_t p = (int64_t)x * ((int64_t)w - zw);
        acc[j] = (int32_t)(uint32_t)((uint64_t)(uint32_t)acc[j] + (uint64_t)p);
    }
}

static inline int fits_9bit(int32_t z)
{
    return z >= -255 && z <= 255;
}

void dense_i8_accumulate(const int8_t* input, const int8_t* weights, int32_t N, int32_t K,
                         int32_t z_in, int32_t* accumulators)
{
    if (N <= 0)
        return;
    for (int32_t j = 0; j < N; ++j)
        accumulators[j] = 0;
    const int ok = fits_9bit(z_in);
    for (int32_t k = 0; k < K; ++k)
        row_mac(accumulators, weights + (size_t)k * (size_t)N, 1, 0,
                (int32_t)((uint32_t)input[k] - (uint32_t)z_in), N, ok);
}

void dense_u8_accumulate(const uint8_t* input, const uint8_t* weights, int32_t N, int32_t K,
                         int32_t z_in, int32_t z_w, int32_t* accumulators)
{
    if (N <= 0)
        return;
    for (int32_t j = 0; j < N; ++j)
        accumulators[j] = 0;
    const int ok = fits_9bit(z_in) && fits_9bit(z_w);
    for (int32_t k = 0; k < K; ++k)
        row_mac(accumulators, weights + (size_t)k * (size_t)N, 0, z_w,
                (int32_t)((uint32_t)input[k] - (uint32_t)z_in), N, ok);
}

void dense_quant_row(void* output, const void* input, const void* weights, const int32_t* bias,
                     int32_t activation, int32_t N, int32_t K, const nn_quant_params* out_q,
                     const nn_quant_params* in_q, const nn_quant_params* w_q,
                     const nn_quant_params* bias_q)
{
    if (N <= 0 || K <= 0)
        return;
    gemm_quant_n_general(output, input, weights, bias, activation, 1, N, K, out_q, in_q, w_q,
                         bias_q, NULL, NULL);
}

int kernel_dense_quant(void* output, const void* input, const void* weights, const int32_t* bias,
                       int32_t activation, int32_t N, int32_t K, int32_t* accumulators,
                       const nn_quant_params* out_q, const nn_quant_params* in_q,
                       const nn_quant_params* w_q, const nn_quant_params* bias_q)
{
    if (accumulators) {
        if (out_q->type == NN_TYPE_I8 && in_q->type == NN_TYPE_I8 && w_q->type == NN_TYPE_I8 &&
            quant_zeros_all(w_q, 0)) {
            dense_i8_accumulate((const int8_t*)input, (const int8_t*)weights, N, K,
                                quant_zero(in_q), accumulators);
            return 1;
        }
        if (in_q->type == NN_TYPE_U8 && w_q->type == NN_TYPE_U8 &&
            quant_zeros_all(w_q, quant_zero(w_q))) {
            dense_u8_accumulate((const uint8_t*)input, (const uint8_t*)weights, N, K,
                                quant_zero(in_q), quant_zero(w_q), accumulators);
            return 1;
        }
    }
    dense_quant_row(output, input, weights, bias, activation, N, K, out_q, in_q, w_q, bias_q);
    return 0;
}
