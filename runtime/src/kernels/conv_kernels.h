/* Convolution and depthwise row kernels beside the entries of kernels.h.
 *
 * Image rows are NHWC: an input row holds iw pixels of ch (or cin) values and
 * rows follow each other iw * ch elements apart.  Float kernels vectorise over
 * channels only, so every output value is summed in the same order by the NEON
 * and the portable bodies; multiply and add are separate operations. */
#ifndef KESTRUNE_KERNELS_CONV_KERNELS_H
#define KESTRUNE_KERNELS_CONV_KERNELS_H

#include <stdint.h>

#include "kernels/kernels.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Entries ------------------------------------------------------------ */

/* One filter row (kw taps of ch weights, tap kx at kx * ch) applied to one
 * input row: for tap column kx' = 0, d, 2d, ... and output column x the input
 * column c = x * stride + kx' - pad_left adds in(c) * w(kx' / d) to the output
 * pixel when 0 <= c < iw.  pad_right is not read. */
void kernel_depthwise_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t pad_right, int32_t kw,
                          int32_t dilation, const float* filter);

/* A whole output row of a 3x3 depthwise convolution of stride 1 or 2: rows
 * (1-3) input rows from `in`, edge 1 when the window is cut at the top
 * (filter rows 3 - rows .. 2 are used), -1 or 0 otherwise (filter rows
 * 0 .. rows-1); then the bias (ch values or NULL) and the activation.  Each
 * output value is 0 plus the products of the taps inside the input, row by
 * row and left to right, then the bias: the per-tap path's sum. */
void kernel_depthwise_rows_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t pad_right, int32_t rows, int32_t edge,
                               const float* in, const float* filter, const float* bias,
                               int32_t activation);
/* The largest stride the depthwise operator gives kernel_depthwise_rows_f32
 * on this target: 2 with NEON (channel blocks outside, the window slid
 * along the row) and with AVX2 or AVX-512 where the CPU has it, 1 on the portable
 * body, which keeps stride 2 on the per-tap path it has always taken. */
int32_t kernel_depthwise_rows_f32_stride_max(void);

/* One filter row into int32 accumulators:
 * acc += (in - z_in) * (w - z_w), with each tensor's first zero point.  INT8
 * input and filter with filter zero point 0 take the zero-point-free INT8
 * kernel, everything else the general kernel (INT8 or UINT8 either side). */
void kernel_depthwise_quant(int32_t ow, int32_t ch, int32_t* acc, int32_t iw, int32_t stride,
                            const void* in, int32_t pad_left, int32_t pad_right, int32_t kw,
                            int32_t dilation, const void* filter, const nn_quant_params* in_q,
                            const nn_quant_params* f_q);

/* A whole INT8 output row of a 3x3 stride-1 depthwise convolution of INT8
 * input and symmetric INT8 filter (geometry as kernel_depthwise_rows_f32).
 * CH a multiple of 8: the eight-lane kernel with the float-scale rule
 * (s_in * s_w[c] * (1 / s_out), ties to even); else the scalar kernel with the
 * integer rule (multipliers, shifts).  RELU clamps at the output zero point,
 * RELU6 also at q6 above it, other codes leave the value unclamped. */
void kernel_depthwise_quant_rows(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                 int32_t pad_left, int32_t pad_right, int32_t rows, int32_t edge,
                                 const int8_t* in, const int8_t* filter, const int32_t* bias,
                                 int32_t activation, const nn_quant_params* out_q,
                                 const nn_quant_params* in_q, const nn_quant_params* f_q,
                                 const int32_t* multipliers, const int32_t* shifts);

/* The output stage of kernel_depthwise3x3_i8_rows, the rule of the path it
 * stands in for: channels below float_channels as acc * factors[c] (single
 * precision, ties to even), the others through multipliers and shifts; then
 * RELU (activation 1) or RELU6 (2, at q6) and the output zero point, saturated
 * to INT8.  Other activation codes clamp nothing. */
typedef struct depthwise_i8_stage {
    const float* factors;
    int32_t float_channels;
    const int32_t* multipliers;
    const int32_t* shifts;
    int32_t z_in, z_out, q6, activation;
    /* Optional, once per layer (kernel_depthwise3x3_i8_prepare), or NULL for
     * the kernel to work them out per row: per channel the bias less z_in
     * times the sum of the channel's nine taps (wrapping 32-bit), and per
     * block of eight channels 1 where none of the block's taps is -128. */
    const int32_t* bias_in;
    const uint8_t* narrow;
} depthwise_i8_stage;

/* A whole INT8 output row of a 3x3 depthwise convolution of stride 1 or 2,
 * INT8 input and symmetric INT8 filter (geometry as kernel_depthwise_rows_f32):
 * the exact integer sums of the taps inside the input plus the bias, through
 * the stage.  The NEON body runs channel blocks of eight outside, the nine
 * taps in registers and the input window slid along the row (input and output
 * zero points within -128..127; others take the portable body). */
void kernel_depthwise3x3_i8_rows(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias,
                                 const depthwise_i8_stage* stage);
/* 1 where kernel_depthwise3x3_i8_rows has a vector body (NEON, or AVX2 or
 * AVX-512 where the CPU has it; the operator takes it there); the other targets keep
 * their earlier paths. */
int kernel_depthwise3x3_i8_rows_available(void);
/* 1 where the vector body of kernel_depthwise3x3_i8_rows reads the stage's
 * bias_in and narrow (NEON); then kernel_depthwise3x3_i8_prepare fills them
 * from the [3, 3, 1, ch] filter, the bias (NULL: none) and the input zero
 * point: ch values into bias_in, ch / 8 into narrow. */
int kernel_depthwise3x3_i8_reads_prepared(void);
void kernel_depthwise3x3_i8_prepare(int32_t ch, const int8_t* filter, const int32_t* bias,
                                    int32_t z_in, int32_t* bias_in, uint8_t* narrow);
/* The stage's rule for accumulator a of channel c (for the vector bodies'
 * channels past float_channels). */
int8_t depthwise_i8_stage_one(int32_t a, int32_t c, const depthwise_i8_stage* st);

/* ---- Bodies (both compiled on every target, for differential tests) ------ */

void mac_row_f32_short(float* out, int32_t count, const float* in, const float* w);
void mac_row_f32_unrolled(float* out, int32_t count, const float* in, const float* w);
void mac_row_f32_portable(float* out, int32_t count, const float* in, const float* w);

void conv2d_direct_f32_portable(int32_t ow, int32_t cout, float* out, int32_t iw, int32_t cin,
                                int32_t stride, const float* in, int32_t pad_left, int32_t rows,
                                int32_t kw, const float* filter);
void transpose_conv2d_f32_portable(const int32_t* out_shape, float* out, const int32_t* in_shape,
                                   const float* in, const int32_t* filter_shape,
                                   const float* filter, int32_t pad_top, int32_t pad_left,
                                   int32_t stride_h, int32_t stride_w);

void depthwise_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                            const float* in, int32_t pad_left, int32_t kw, int32_t dilation,
                            const float* filter);
void depthwise_rows_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                                 int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                                 const float* filter, const float* bias, int32_t activation);

void depthwise_quant_general_portable(int32_t ow, int32_t ch, int32_t* acc, int32_t iw,
                                      int32_t stride, const void* in, int32_t pad_left,
                                      int32_t kw, int32_t dilation, const void* filter,
                                      uint32_t in_type, uint32_t f_type, int32_t z_in,
                                      int32_t z_w);
void depthwise_quant_i8_portable(int32_t ow, int32_t ch, int32_t* acc, int32_t iw,
                                 int32_t stride, const int8_t* in, int32_t pad_left, int32_t kw,
                                 int32_t dilation, const int8_t* filter, int32_t z_in);

void depthwise_quant_rows8_portable(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                    int32_t pad_left, int32_t rows, int32_t edge,
                                    const int8_t* in, const int8_t* filter, const int32_t* bias,
                                    int32_t activation, const nn_quant_params* out_q,
                                    const nn_quant_params* in_q, const nn_quant_params* f_q);
void depthwise3x3_i8_rows_portable(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                   int32_t stride, int32_t pad_left, int32_t rows, int32_t edge,
                                   const int8_t* in, const int8_t* filter, const int32_t* bias,
                                   const depthwise_i8_stage* stage);
void depthwise_quant_rows_scalar(int32_t ow, int32_t ch, int8_t* out, int32_t iw,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias, int32_t activation,
                                 const nn_quant_params* out_q, const nn_quant_params* in_q,
                                 const int32_t* multipliers, const int32_t* shifts);

#ifdef __cplusplus
}
#endif

#endif
