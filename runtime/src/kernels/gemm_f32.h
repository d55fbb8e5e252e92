/* FLOAT32 matrix multiply kernels: C = op(A) · B + bias, then an activation,
 * for one tile of rows.
 *
 * A is M×K row-major (or, with transpose_a 'T', stored K×M and read as
 * A(i, k) = A[k·M + i]); C is M×N row-major.  B's layout byte:
 *   'N'        K rows of N values;
 *   'T'        N rows of K values (one row per output column);
 *   16, 8, 4   column panels of that width, panel p holding columns
 *              p·w .. p·w+w-1 as K rows of w values, panels one after another.
 * A last panel narrower than w (N not a multiple of w) is read as K rows of
 * its own width; no column at or beyond N is ever stored.
 *
 * bias is NULL or N values; activation an nn_activation code.  The kernels
 * allocate nothing, keep no state and only touch the rows they are given, so
 * disjoint row tiles may run on different threads at once. */
#ifndef KESTRUNE_KERNELS_GEMM_F32_H
#define KESTRUNE_KERNELS_GEMM_F32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void gemm_f32(float* C, const float* A, char transpose_a, const float* B, char b_layout,
              const float* bias, int activation, int M, int N, int K);

/* The transposed-B kernel: B stored N×K, each element a dot product. */
void gemm_f32_nt(float* C, const float* A, const float* B, const float* bias, int activation,
                 int M, int N, int K);

#ifdef __cplusplus
}
#endif

#endif
