/* Layer stepping: the dispatch table and what the layer handlers share. */
#ifndef KESTRUNE_CONTEXT_STEP_H
#define KESTRUNE_CONTEXT_STEP_H

#include <stddef.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A layer handler: (context, layer index) -> status.  Called by
 * nn_context_step only, with a loaded model that carries the identifier. */
typedef int (*nn_layer_handler)(nn_context* ctx, size_t layer);

/* The layer's own tensor. */
nn_tensor* step_output(nn_context* ctx, size_t layer);

/* Number of entries in the layer's `inputs` (0 when absent). */
size_t step_input_count(nn_context* ctx, size_t layer);

/* The tensors of the layer's first `count` inputs into `out`; 6 when the layer
 * has fewer inputs or an entry names no layer tensor of the model. */
int step_inputs(nn_context* ctx, size_t layer, size_t count, nn_tensor** out);

/* The handler that runs a layer type code, NULL when nothing runs it. */
nn_layer_handler step_handler(int type_code);

#ifdef __cplusplus
}
#endif

#endif
