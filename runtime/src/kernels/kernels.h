/* Kernel entries kernel_<op>_<type>: the one way operators and OpenMP workers
 * reach their kernels.  Most forward their arguments to exactly one kernel; a
 * few choose between kernels by the operands' quantisation records.
 *
 * Counts are signed 32-bit; a count of 0 or less does nothing.  Every kernel
 * has a NEON body (under __ARM_NEON) and a portable body with the same
 * results. */
#ifndef KESTRUNE_KERNELS_KERNELS_H
#define KESTRUNE_KERNELS_KERNELS_H

#include <stdint.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Unary FLOAT32 activations: (out, count, in); out may equal in ----- */
void kernel_relu_f32(float* out, int32_t count, const float* in);
void kernel_relu6_f32(float* out, int32_t count, const float* in);
void kernel_sigmoid_f32(float* out, int32_t count, const float* in);
void kernel_sigmoid_fast_f32(float* out, int32_t count, const float* in);
void kernel_tanh_f32(float* out, int32_t count, const float* in);
void kernel_swish_f32(float* out, int32_t count, const float* in);
void kernel_leaky_relu_f32(float* out, int32_t count, const float* in, float alpha);
/* rows of k values, each element with its own slope */
void kernel_prelu_f32(float* out, int32_t rows, const float* in, int32_t k, const float* slope);

/* ---- Quantised activations -------------------------------------------- */
/* INT8 eight-lane kernel when the output and input records are both INT8,
 * else the generic kernel. */
void kernel_swish_quant(void* out, int32_t count, const void* in, const nn_quant_params* out_q,
                        const nn_quant_params* in_q);
void kernel_leaky_relu_quant(void* out, int32_t count, const void* in,
                             const nn_quant_params* out_q, const nn_quant_params* in_q,
                             float alpha);

/* ---- Element-wise FLOAT32: array op value, and a op b ----------------- */
void kernel_add_scalar_f32(float* out, int32_t count, const float* array, float value);
void kernel_subtract_scalar_f32(float* out, int32_t count, const float* array, float value);
void kernel_multiply_scalar_f32(float* out, int32_t count, const float* array, float value);
void kernel_divide_scalar_f32(float* out, int32_t count, const float* array, float value);
void kernel_bias_add_f32(float* out, int32_t count, const float* a, const float* b);
void kernel_subtract_f32(float* out, int32_t count, const float* a, const float* b);
void kernel_multiply_f32(float* out, int32_t count, const float* a, const float* b);
void kernel_divide_f32(float* out, int32_t count, const float* a, const float* b);
/* 32-bit integer vector add (wrapping). */
void kernel_bias_add_i32(int32_t* out, int32_t count, const int32_t* a, const int32_t* b);

/* ---- Element-wise quantised ------------------------------------------- */
/* Scalar forms: array op *value, records of the array, the value and the
 * output. */
void kernel_add_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                             const nn_quant_params* array_q, const nn_quant_params* value_q,
                             const nn_quant_params* out_q);
void kernel_subtract_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                                  const nn_quant_params* array_q, const nn_quant_params* value_q,
                                  const nn_quant_params* out_q);
void kernel_multiply_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                                  const nn_quant_params* array_q, const nn_quant_params* value_q,
                                  const nn_quant_params* out_q);
void kernel_divide_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                                const nn_quant_params* array_q, const nn_quant_params* value_q,
                                const nn_quant_params* out_q);
/* Array forms: a op b.  Add and multiply run the INT8 eight-lane kernels when
 * A and B are both INT8 (and the output is INT8 too), else the generic ones. */
void kernel_add_quant(void* out, int32_t count, const void* a, const void* b,
                      const nn_quant_params* a_q, const nn_quant_params* b_q,
                      const nn_quant_params* out_q);
void kernel_subtract_quant(void* out, int32_t count, const void* a, const void* b,
                           const nn_quant_params* a_q, const nn_quant_params* b_q,
                           const nn_quant_params* out_q);
void kernel_multiply_quant(void* out, int32_t count, const void* a, const void* b,
                           const nn_quant_params* a_q, const nn_quant_params* b_q,
                           const nn_quant_params* out_q);
void kernel_divide_quant(void* out, int32_t count, const void* a, const void* b,
                         const nn_quant_params* a_q, const nn_quant_params* b_q,
                         const nn_quant_params* out_q);

/* ---- Reductions over the view [outer, reduce, inner] ------------------ */
/* (out, input volume, the input's element strides s0, s1, s2, in, outer,
 * reduce, inner): out[o * inner + i] combines in[o*s0 + r*s1 + i*s2]. */
void kernel_reduce_sum_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t reduce, int32_t inner);
void kernel_reduce_min_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t reduce, int32_t inner);
void kernel_reduce_max_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t reduce, int32_t inner);
void kernel_reduce_mean_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                            const float* in, int32_t outer, int32_t reduce, int32_t inner);
void kernel_reduce_product_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                               const float* in, int32_t outer, int32_t reduce, int32_t inner);

/* ---- Pooling rows ----------------------------------------------------- */
/* (OW, CH, output row, IW, horizontal stride, first input row of the window,
 * left padding, right padding (not read), window rows, kernel width); input
 * rows follow each other IW * CH elements apart. */
void kernel_maxpool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                        int32_t kw);
void kernel_avgpool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                        int32_t kw);
void kernel_maxpool_quant(int32_t ow, int32_t ch, void* out, int32_t iw, int32_t stride,
                          const void* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                          int32_t kw, const nn_quant_params* in_q);
void kernel_avgpool_quant(int32_t ow, int32_t ch, void* out, int32_t iw, int32_t stride,
                          const void* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                          int32_t kw, const nn_quant_params* in_q, const nn_quant_params* out_q);

/* ---- Convolution rows and GEMM (built with the convolution, depthwise and
 * GEMM kernels; their argument lists are those kernels') ---------------- */
/* out[c] += in[c] * w[c] for c < count. */
void kernel_mac_row_f32(float* out, int32_t count, const float* in, const float* w);
void kernel_conv2d_direct_f32(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                              int32_t stride, const float* in, int32_t pad_left,
                              int32_t pad_right, int32_t rows, int32_t kw, const float* filter);
void kernel_transpose_conv2d_f32(const int32_t* out_shape, float* out, const int32_t* in_shape,
                                 const float* in, const int32_t* filter_shape,
                                 const float* filter, int32_t pad_top, int32_t pad_left,
                                 int32_t stride_h, int32_t stride_w);
void kernel_gemm_f32(float* c, const float* a, char transpose_a, const float* b, char b_layout,
                     const float* bias, int32_t activation, int32_t m, int32_t n, int32_t k);
void kernel_gemm_quant(void* c, const void* a, char transpose_a, const void* b, char b_layout,
                       const int32_t* bias, int32_t activation, int32_t m, int32_t n, int32_t k,
                       const nn_quant_params* out_q, const nn_quant_params* in_q,
                       const nn_quant_params* w_q, const nn_quant_params* bias_q,
                       const int32_t* multipliers, const int32_t* shifts,
                       const int32_t* reduce_zero);
/* kernel_depthwise_f32, kernel_depthwise_quant, kernel_depthwise_quant_rows,
 * kernel_depthwise_rows_f32 and kernel_dense_quant are declared here by the
 * depthwise and dense kernels that implement them. */

#ifdef __cplusplus
}
#endif

#endif
