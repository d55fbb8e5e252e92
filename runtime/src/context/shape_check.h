/* Load-time checks of a layer's own tensor: its declared shape against what
 * its inputs and parameters can produce, and the bytes of the layer tensors
 * that get memory of their own (outside the pool) against the context's
 * limit. */
#ifndef KESTRUNE_CONTEXT_SHAPE_CHECK_H
#define KESTRUNE_CONTEXT_SHAPE_CHECK_H

#include <stddef.h>
#include <stdint.h>

#include "kestrune/nn.h"

namespace kestrune {

/* Bytes of layer tensors outside the pool a context without a pool allows:
 * the server's default pool size. */
constexpr uint64_t kUnpooledLimitWithoutPool = 50331648;

/* 0 when layer `layer`'s declared shape can follow from the tensors of its
 * inputs (earlier layers, already loaded) and its parameters, or when the
 * check does not apply (a kind without a rule, inputs or parameters missing
 * or malformed: the layer's handler refuses those when it runs).  Otherwise
 * prints "[ERROR] impossible shape for layer %s [%s]: %s\r\n" (name, type,
 * reason) on standard error and returns 9 (NN_ERROR_INVALID_SHAPE). */
int check_layer_shape(nn_context* ctx, size_t layer);

/* Counts the FLOAT32 tensor of `shape` that layer `layer` gets as memory of
 * its own against the context's limit (the pool's byte size, or
 * kUnpooledLimitWithoutPool for a context without a pool), over all such
 * tensors of the model being loaded.  A shape no tensor can have counts
 * nothing (the allocation refuses it with its own message).  Past the limit
 * prints "[ERROR] layer %s [%s] needs %llu bytes outside the memory pool,
 * past the limit of %llu bytes\r\n" (name, type, the total with this layer,
 * the limit) on standard error and returns 3 (NN_ERROR_OUT_OF_MEMORY). */
int count_unpooled_tensor(nn_context* ctx, size_t layer, const int32_t* shape, size_t dims);

} // namespace kestrune

#endif
