/* The execution context's layout, private to the runtime. */
#ifndef KESTRUNE_CONTEXT_INTERNAL_H
#define KESTRUNE_CONTEXT_INTERNAL_H

#include "kestrune/nn.h"
#include "tensor/tensor_record.h"

#ifdef __cplusplus
extern "C" {
#endif

struct nn_gru_context;

struct nn_context {
    nn_engine* engine;            /* NULL: the CPU */
    const void* model;            /* loaded KFM buffer, NULL when none */
    size_t tensor_capacity;       /* slots in `tensors`; grows, never shrinks */
    size_t first_layer;           /* first layer a run steps */
    nn_tensor** tensors;          /* one tensor per layer */
    nn_tensor* mempool;           /* &mempool_record, or NULL without a pool */
    nn_tensor* cache;             /* &cache_record, or NULL without a cache */
    struct nn_gru_context* gru;   /* state of the model's GRU layer */
    uint8_t owned;                /* the record was allocated by init */
    nn_user_op_fn user_op;
    struct nn_tensor mempool_record;
    struct nn_tensor cache_record;
};

#ifdef __cplusplus
}
#endif

#endif
