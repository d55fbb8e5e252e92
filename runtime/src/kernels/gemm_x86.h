/* The wide x86-64 bodies of the GEMM kernels, each built in its own file for
 * its vector extension (cpu_isa.h) and called only after the CPU check.
 *
 * gemm_f32_panels16_*: the width-16 packed-panel path of gemm_f32 over the
 * full panels of C (N / 16 of them), A as stored (row stride K): tiles of up
 * to 8 rows, each accumulator started at its bias and summed over k in
 * ascending order with one fused multiply-add per k, RELU and RELU6 fused
 * into the store like the portable tiles; other activations are left to the
 * caller.
 *
 * conv_f32_panels16_*: the same tiles over A rows that are a convolution's
 * output pixels read in place from its input: row r's elements are, for each
 * segment s < segs, the len floats at a[s] + r * step, multiplied with the
 * B rows from b_row[s] on (each filter row inside the image is one segment
 * of KW * Cin input values, step the column stride times Cin); K is B's row
 * count, the panel length.
 *
 * gemm_i8_panel8_columns_vnni and _avx2: kernel_gemm_i8_panel8_columns with
 * the AVX-512 dot products (vpdpbusd) and with AVX2's pairwise products
 * (vpmaddwd); the integer sums are exact, so the bytes equal the portable
 * body's. */
#ifndef KESTRUNE_KERNELS_GEMM_X86_H
#define KESTRUNE_KERNELS_GEMM_X86_H

#include <stdint.h>

#include "kernels/gemm_quant.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void gemm_f32_panels16_kernel(float* C, const float* A, const float* B, const float* bias,
                                      int activation, int M, int N, int K);
gemm_f32_panels16_kernel gemm_f32_panels16_avx2;
gemm_f32_panels16_kernel gemm_f32_panels16_avx512;

typedef void conv_f32_panels16_kernel(float* C, const float* const* a, const int32_t* b_row,
                                      int segs, int len, int step, const float* B,
                                      const float* bias, int activation, int M, int N, int K);
conv_f32_panels16_kernel conv_f32_panels16_avx2;
conv_f32_panels16_kernel conv_f32_panels16_avx512;

/* The widest panels16 body this process may run, or NULL (chosen once). */
gemm_f32_panels16_kernel* gemm_f32_panels16_wide(void);
/* Rows per call that fill that body's widest tile (12 AVX-512, 6 AVX2), or 4,
 * the portable 4x16 tile, without one. */
int gemm_f32_panels16_rows(void);
/* The widest conv_f32_panels16 body this process may run, or NULL. */
conv_f32_panels16_kernel* conv_f32_panels16_wide(void);

gemm_i8_columns_kernel gemm_i8_panel8_columns_vnni;
gemm_i8_columns_kernel gemm_i8_panel8_columns_avx2;

#ifdef __cplusplus
}
#endif

#endif
