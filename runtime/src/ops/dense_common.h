/* Shared by the dense, linear and matrix-multiply operators. */
#ifndef KESTRUNE_OPS_DENSE_COMMON_H
#define KESTRUNE_OPS_DENSE_COMMON_H

#include <stdint.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Rows (dimension 0) and columns (dimension 1, 1 for a vector) of a tensor
 * read as a dense matrix; 0 when further dimensions are not 1, so that rows ×
 * columns would not be the tensor's volume. */
int dense_matrix_dims(const nn_tensor* t, int32_t* rows, int32_t* cols);

#ifdef __cplusplus
}
#endif

#endif
