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

/* The widest panels16 body this process may run, or NULL (chosen once). */
gemm_f32_panels16_kernel* gemm_f32_panels16_wide(void);
/* Rows per call that fill that body's widest tile (12 AVX-512, 6 AVX2), or 4,
 * the portable 4x16 tile, without one. */
int gemm_f32_panels16_rows(void);

gemm_i8_columns_kernel gemm_i8_panel8_columns_vnni;
gemm_i8_columns_kernel gemm_i8_panel8_columns_avx2;

#ifdef __cplusplus
}
#endif

#endif
