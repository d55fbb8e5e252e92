/* Internal operator entry points shared between the operator files. */
#ifndef KESTRUNE_OPS_OPS_H
#define KESTRUNE_OPS_OPS_H

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { OP_ADD = 0, OP_SUBTRACT = 1, OP_MULTIPLY = 2, OP_DIVIDE = 3 };

/* FLOAT32 output: engine binary slot first, then the broadcasting cases. */
int nn_binary_op(nn_tensor* output, nn_tensor* a, nn_tensor* b, int op);
/* Any other output type, written through the saturating store. */
int nn_binary_op_quant(nn_tensor* output, nn_tensor* a, nn_tensor* b, int op);

#ifdef __cplusplus
}
#endif

#endif
