/* The wide x86-64 bodies of the convolution kernels, each built in its own
 * file for its vector extension (cpu_isa.h) and called only after the CPU
 * check.
 *
 * depthwise3x3_i8_rows_avx2 / _avx512: kernel_depthwise3x3_i8_rows with
 * AVX2 or AVX-512 (input and output zero points within -128..127): the same
 * bytes.
 *
 * depthwise_rows_f32_avx2 / _avx512: kernel_depthwise_rows_f32 with AVX2 or
 * AVX-512, the same bits; they fuse RELU and RELU6 only (activation 1 and
 * 2), the caller applies the other codes to the row. */
#ifndef KESTRUNE_KERNELS_CONV_X86_H
#define KESTRUNE_KERNELS_CONV_X86_H

#include <stdint.h>

#include "kernels/conv_kernels.h"

#ifdef __cplusplus
extern "C" {
#endif

void depthwise3x3_i8_rows_avx512(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                                 int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                                 const int8_t* filter, const int32_t* bias,
                                 const depthwise_i8_stage* st);

void depthwise3x3_i8_rows_avx2(int32_t ow, int32_t ch, int8_t* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const int8_t* in,
                               const int8_t* filter, const int32_t* bias,
                               const depthwise_i8_stage* st);

void depthwise_rows_f32_avx2(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                             int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                             const float* filter, const float* bias, int32_t activation);

void depthwise_rows_f32_avx512(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                               int32_t pad_left, int32_t rows, int32_t edge, const float* in,
                               const float* filter, const float* bias, int32_t activation);

#ifdef __cplusplus
}
#endif

#endif
