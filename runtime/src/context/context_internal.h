/* The execution context's layout, private to the runtime. */
#ifndef KESTRUNE_CONTEXT_INTERNAL_H
#define KESTRUNE_CONTEXT_INTERNAL_H

#include <string.h>

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
    /* Cached from the loaded model for the step path (NULL/0 when none). */
    size_t model_size;            /* bytes of the model buffer */
    const uint8_t* layers;        /* payload of the `layers` vector */
    size_t layer_count;
    /* The GRU layer's hidden state when the model gives it in its own bytes
     * (a constant or a view of one): a copy the context owns and steps, so
     * the caller's buffer stays as it was.  NULL otherwise. */
    nn_tensor* gru_state;
    uint64_t unpooled_bytes;      /* layer tensors of the model being loaded
                                     with memory of their own */
};

/* Whether a tensor's memory lies in the caller's model bytes (a constant, or
 * a view of one), which the runtime must never write. */
static inline int context_model_bytes(const nn_context* ctx, const nn_tensor* t)
{
    uintptr_t p = (uintptr_t)t->data;
    uintptr_t begin = (uintptr_t)ctx->model;
    if (!ctx->model || !p)
        return 0;
    /* Any byte of the tensor inside the buffer counts. */
    return p >= begin ? p - begin < ctx->model_size : begin - p < nn_tensor_size(t);
}

/* The kfm_layer table of a layer of the loaded model, NULL past the end. */
static inline const uint8_t* context_layer(const nn_context* ctx, size_t layer)
{
    if (layer >= ctx->layer_count)
        return NULL;
    const uint8_t* e = ctx->layers + 4u * layer;
    uint32_t off;
    memcpy(&off, e, 4);
    return e + off;
}

#ifdef __cplusplus
}

#include <memory>

namespace kestrune {

struct ContextReleaser {
    void operator()(nn_context* ctx) const noexcept { nn_context_release(ctx); }
};
/* A context from nn_context_init(_ex), released with nn_context_release. */
using UniqueContext = std::unique_ptr<nn_context, ContextReleaser>;

} // namespace kestrune
#endif

#endif
