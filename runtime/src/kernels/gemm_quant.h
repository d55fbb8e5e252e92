/* Quantised matrix multiply and dense kernels.
 *
 * gemm_quant multiplies an 8-bit A (M×K row-major) by a quantised B in layout
 * 'N' (K×N), 'T' (N×K) or 8 (panels of 8 columns, K rows of 8 values each; a
 * last panel narrower than 8 is read as K rows of its own width), adds a
 * 32-bit bias, requantises to the output's type with a fused RELU (code 1) or
 * RELU6 (code 2) and writes C (M×N) for one tile of rows.  Codes 3 to 5 are
 * applied by none of the kernels.
 *
 * The quantisation records are output, input, weights, bias; the bias record
 * may be NULL (zero point 0, scale input scale × weights scale of the column).
 * Per-channel arrays hold one value per output column: Q31 multipliers,
 * shifts and reduce-zero sums (rz[j] = Σ_k B(k, j)).
 *
 * Every kernel clamps RELU at the output zero point and RELU6 at q6 above it,
 * q6 = apply(6, quantize_multiplier(1 / output scale)).  No kernel allocates,
 * locks or keeps state; disjoint row tiles may run on different threads. */
#ifndef KESTRUNE_KERNELS_GEMM_QUANT_H
#define KESTRUNE_KERNELS_GEMM_QUANT_H

#include <stdint.h>

#include "kernels/kernels.h"

#ifdef __cplusplus
extern "C" {
#endif

void gemm_quant(void* C, const void* A, char transpose_a, const void* B, char layout,
                const int32_t* bias, int32_t activation, int32_t M, int32_t N, int32_t K,
                const nn_quant_params* out_q, const nn_quant_params* in_q,
                const nn_quant_params* w_q, const nn_quant_params* bias_q,
                const int32_t* multipliers, const int32_t* shifts, const int32_t* reduce_zero);

/* The driver's kernels.  The integer kernels take the per-channel arrays, the
 * zero points (z_b 0 without a bias) and q6 from the driver.  The INT8
 * kernels share one signature: layout 'T' in 2×2 tiles or one row at a time,
 * and layout 'N'. */
typedef void gemm_i8_kernel(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
                            int32_t activation, int32_t M, int32_t N, int32_t K,
                            const int32_t* multipliers, const int32_t* shifts,
                            const int32_t* reduce_zero, int32_t z_in, int32_t z_out, int32_t z_b,
                            int32_t q6);
gemm_i8_kernel gemm_i8_t;
gemm_i8_kernel gemm_i8_t_row;
gemm_i8_kernel gemm_i8_n;
void gemm_u8_t(uint8_t* C, const uint8_t* A, const uint8_t* B, const int32_t* bias,
               int32_t activation, int32_t M, int32_t N, int32_t K, const int32_t* multipliers,
               const int32_t* shifts, const int32_t* reduce_zero, int32_t z_in, int32_t z_w,
               int32_t z_out, int32_t z_b, int32_t q6);
/* Layout 8, INT8 operands and output; reduce_zero may be NULL. */
void gemm_i8_panel8(int8_t* C, const int8_t* A, const int8_t* B, const int32_t* bias,
                    int32_t activation, int32_t M, int32_t N, int32_t K,
                    const nn_quant_params* out_q, const nn_quant_params* in_q,
                    const nn_quant_params* w_q, const nn_quant_params* bias_q,
                    const int32_t* reduce_zero, int32_t q6);
/* The per-column output stage of the INT8 layout-8 product, made once per
 * layer run by the operator (gemm_i8_columns_fill): each column's float
 * factor and its accumulator start (the bias less z_in times the column sum,
 * less the bias zero point, wrapping), with the output zero point and q6. */
typedef struct gemm_i8_columns {
    const float* factors;
    const int32_t* init;
    int32_t z_out, q6;
    int32_t b_has_min; /* some B value is -128 (0 lets the widening body add
                          two 8-bit products in one 16-bit lane) */
    const int8_t* dot_b; /* B's full panels as gemm_i8_dot_pack groups them,
                            or NULL (then the dot-product body is not run) */
} gemm_i8_columns;
/* The dot-product body's form of B, made once per layer: per block of 16
 * columns (the last block 8 when the full panels are odd in number)
 * ceil(K/4) groups of the block's columns, 4 k-values each, zero past K.
 * gemm_i8_dot_packed_size bytes (0 without a full panel). */
size_t gemm_i8_dot_packed_size(int32_t N, int32_t K);
void gemm_i8_dot_pack(int8_t* dst, const int8_t* B, int32_t N, int32_t K);
/* 1 when one of the n bytes at b is -128. */
int32_t gemm_i8_has_min(const int8_t* b, size_t n);
void gemm_i8_columns_fill(float* factors, int32_t* init, int32_t N, const int32_t* bias,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const nn_quant_params* w_q, const nn_quant_params* bias_q,
                          const int32_t* reduce_zero);
/* gemm_i8_panel8 with the column sums, its column stage given: the same
 * bytes.  The entry runs the dot-product body (SDOT over cols->dot_b) when
 * the CPU reports the instructions, chosen once per process, else the 8-bit
 * widening body. */
typedef void gemm_i8_columns_kernel(int8_t* C, const int8_t* A, const int8_t* B,
                                    int32_t activation, int32_t M, int32_t N, int32_t K,
                                    const gemm_i8_columns* cols);
gemm_i8_columns_kernel kernel_gemm_i8_panel8_columns;
gemm_i8_columns_kernel gemm_i8_panel8_columns_v80;
/* The dot-product body: only where gemm_i8_dot_available() (on a target
 * other than aarch64 it is the widening body). */
gemm_i8_columns_kernel gemm_i8_panel8_columns_dot;
int gemm_i8_dot_available(void);

/* Any INT8/UINT8 A and B, any output type the saturating store writes;
 * multipliers and shifts may be NULL (then one quantize_multiplier per
 * element).  B in layout 'T' or 'N'. */
typedef void gemm_quant_general_kernel(void* C, const void* A, const void* B,
                                       const int32_t* bias, int32_t activation, int32_t M,
                                       int32_t N, int32_t K, const nn_quant_params* out_q,
                                       const nn_quant_params* in_q, const nn_quant_params* w_q,
                                       const nn_quant_params* bias_q, const int32_t* multipliers,
                                       const int32_t* shifts);
gemm_quant_general_kernel gemm_quant_t_general;
gemm_quant_general_kernel gemm_quant_n_general;

/* ---- one-row dense kernels (weights K×N row-major) --------------------- */

/* acc[j] = Σ_k (input[k] - z_in) · weights[k][j]; INT8 input and weights. */
void dense_i8_accumulate(const int8_t* input, const int8_t* weights, int32_t N, int32_t K,
                         int32_t z_in, int32_t* accumulators);
/* acc[j] = Σ_k (input[k] - z_in) · (weights[k][j] - z_w); UINT8 operands. */
void dense_u8_accumulate(const uint8_t* input, const uint8_t* weights, int32_t N, int32_t K,
                         int32_t z_in, int32_t z_w, int32_t* accumulators);
/* The general kernel for one row: writes the output row itself. */
void dense_quant_row(void* output, const void* input, const void* weights, const int32_t* bias,
                     int32_t activation, int32_t N, int32_t K, const nn_quant_params* out_q,
                     const nn_quant_params* in_q, const nn_quant_params* w_q,
                     const nn_quant_params* bias_q);

/* The dense entry.  With an accumulator buffer: INT8 input, weights and
 * output, the weights symmetric (zero points 0) -> dense_i8_accumulate; else
 * UINT8 input and weights with one weights zero point -> dense_u8_accumulate; otherwise, and always without the buffer,
 * dense_quant_row.  Returns 1 when it filled the accumulators (the caller
 * then adds the bias and runs the output stage), 0 when it wrote the output
 * row itself. */
int kernel_dense_quant(void* output, const void* input, const void* weights, const int32_t* bias,
                       int32_t activation, int32_t N, int32_t K, int32_t* accumulators,
                       const nn_quant_params* out_q, const nn_quant_params* in_q,
                       const nn_quant_params* w_q, const nn_quant_params* bias_q);

/* Every zero point of the record equals z (a record without any counts as 0). */
int quant_zeros_all(const nn_quant_params* q, int32_t z);

/* q6 of an output record: the value 6.0 in output steps. */
int32_t gemm_quant_q6(const nn_quant_params* out_q);

#ifdef __cplusplus
}
#endif

#endif
