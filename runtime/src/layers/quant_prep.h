/* Quantised preparation of conv2d and dense layers: the named auxiliary
 * objects the quantised kernels read from the weights tensor, made on the
 * first step and kept with the tensor. */
#ifndef KESTRUNE_LAYERS_QUANT_PREP_H
#define KESTRUNE_LAYERS_QUANT_PREP_H

#include "layers/layer_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quant_prep {
    nn_tensor* input;   /* the data input */
    nn_tensor* output;
    nn_tensor* weights; /* in1 */
    int32_t channels;   /* N */
    int per_channel;    /* conv2d: a filter with 2 or more scales is per channel */
    int reduce_zero;    /* conv2d, not depthwise: "filter_reducezero" */
    int accum_cache;    /* dense with one output row: "aux_accum_cache" */
} quant_prep;

/* Makes "filter_multiplier" and "filter_shifts" when they are missing or were
 * made for another layer's needs (the record PREPARED_QUANT_NAME says which),
 * then "filter_reducezero" and "aux_accum_cache" when asked for and missing.
 * 0 when the weights carry what the kernels read; 23 for missing scales or a
 * per-channel filter with fewer than N, 6 for "multiplier"/"shifts" lists
 * shorter than N, 3 when an allocation fails, 14 when the filter cannot be
 * mapped.  Nothing is left half-made on failure. */
int quant_prepare(const layer_call* c, const quant_prep* q);

#ifdef __cplusplus
}
#endif

#endif
