/* One-row quantised dense kernels: two that only accumulate into 32-bit
 * integers and one that requantises the row itself. */
#include <cstddef>

#include "kernels/fixed_point.h"
#include "kernels/gemm_quant.h"
#include "kernels/gemm_simd.h"

namespace kestrune {
namespace {

using namespace simd;

/* acc[j] += x · w[j] over one weights row of INT8 or UINT8 values; x is a
 * zero-point-adjusted input value (up to 9 bits), w[j] − zw (16-bit lanes) up
 * to 9 bits: 16×16 -> 32. */
template <typename T>
inline __attribute__((always_inline)) void row_mac(int32_t* acc, const T* wrow, int32_t zw,
                                                   int32_t x, int32_t N, bool vector_ok)
{
    int32_t j = 0;
    if (vector_ok) {
        const v_i16 vzw = dup(static_cast<int16_t>(zw));
        const int16_t xs = static_cast<int16_t>(x);
        for (; j + 16 <= N; j += 16) {
            v_i16 lo, hi;
            load_widen(wrow + j, &lo, &hi);
            lo = sub(lo, vzw);
            hi = sub(hi, vzw);
            store(acc + j, vi32_mlal_lo_n(load(acc + j), lo, xs));
            store(acc + j + 4, vi32_mlal_hi_n(load(acc + j + 4), lo, xs));
            store(acc + j + 8, vi32_mlal_lo_n(load(acc + j + 8), hi, xs));
            store(acc + j + 12, vi32_mlal_hi_n(load(acc + j + 12), hi, xs));
        }
        for (; j + 8 <= N; j += 8) {
            const v_i16 w = sub(widen8(wrow + j), vzw);
            store(acc + j, vi32_mlal_lo_n(load(acc + j), w, xs));
            store(acc + j + 4, vi32_mlal_hi_n(load(acc + j + 4), w, xs));
        }
    }
    for (; j < N; ++j) {
        /* In 64 bits: outside the vector case x and zw may be any zero-point
         * adjusted values; the sum wraps like the vector lanes'. */
        const int64_t p = static_cast<int64_t>(x) * (static_cast<int64_t>(wrow[j]) - zw);
        acc[j] = static_cast<int32_t>(
            static_cast<uint32_t>(static_cast<uint64_t>(static_cast<uint32_t>(acc[j])) +
                                  static_cast<uint64_t>(p)));
    }
}

constexpr bool fits_9bit(int32_t z)
{
    return z >= -255 && z <= 255;
}

/* acc[j] = Σ_k (input[k] - z_in) · (weights[k][j] - z_w). */
template <typename T>
void dense_accumulate(const T* input, const T* weights, int32_t N, int32_t K, int32_t z_in,
                      int32_t z_w, int32_t* accumulators)
{
    if (N <= 0)
        return;
    for (int32_t j = 0; j < N; ++j)
        accumulators[j] = 0;
    const bool ok = fits_9bit(z_in) && fits_9bit(z_w);
    for (int32_t k = 0; k < K; ++k)
        row_mac(accumulators, weights + static_cast<size_t>(k) * static_cast<size_t>(N), z_w,
                static_cast<int32_t>(static_cast<uint32_t>(input[k]) - static_cast<uint32_t>(z_in)),
                N, ok);
}

} // namespace
} // namespace kestrune

void dense_i8_accumulate(const int8_t* input, const int8_t* weights, int32_t N, int32_t K,
                         int32_t z_in, int32_t* accumulators)
{
    kestrune::dense_accumulate(input, weights, N, K, z_in, 0, accumulators);
}

void dense_u8_accumulate(const uint8_t* input, const uint8_t* weights, int32_t N, int32_t K,
                         int32_t z_in, int32_t z_w, int32_t* accumulators)
{
    kestrune::dense_accumulate(input, weights, N, K, z_in, z_w, accumulators);
}

void dense_quant_row(void* output, const void* input, const void* weights, const int32_t* bias,
                     int32_t activation, int32_t N, int32_t K, const nn_quant_params* out_q,
                     const nn_quant_params* in_q, const nn_quant_params* w_q,
                     const nn_quant_params* bias_q)
{
    if (N <= 0 || K <= 0)
        return;
    gemm_quant_n_general(output, input, weights, bias, activation, 1, N, K, out_q, in_q, w_q,
                         bias_q, nullptr, nullptr);
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
