/* What the quantised preparation of a conv2d or dense layer made its weights'
 * "filter_multiplier" and "filter_shifts" arrays for.  One constant may feed
 * several layers (a conv2d filter that is also dense weights, or the filter
 * of two convolutions of other scales): the record, kept beside the arrays,
 * lets the preparation rebuild them for a layer that needs other ones, and
 * lets the operators refuse arrays shorter than their channel count. */
#ifndef KESTRUNE_OPS_PREPARED_QUANT_H
#define KESTRUNE_OPS_PREPARED_QUANT_H

#include <stdint.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the record in the weights' named list. */
#define PREPARED_QUANT_NAME "filter_prepared_for"

typedef struct prepared_quant {
    int32_t channels;    /* entries of both arrays; -1 while they are rebuilt */
    int32_t per_channel; /* one multiplier per filter scale */
    float input_scale;   /* scales the multipliers were computed from */
    float output_scale;
    const void* given_multipliers; /* the layer's own lists, or NULL */
    const void* given_shifts;
} prepared_quant;

/* The record of t, NULL when its arrays (if any) were not made by the
 * preparation. */
prepared_quant* prepared_quant_of(const nn_tensor* t);

/* 0 when t's record says its arrays hold fewer than n entries; 1 otherwise
 * (arrays without a record are the caller's own). */
int prepared_quant_covers(const nn_tensor* t, int32_t n);

#ifdef __cplusplus
}
#endif

#endif
