/* Layer handlers: one per layer type that nn_context_step dispatches to,
 * each (context, layer index) -> status. */
#ifndef KESTRUNE_LAYERS_LAYERS_H
#define KESTRUNE_LAYERS_LAYERS_H

#include <stddef.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Tensor layers. */
int do_pad(nn_context* ctx, size_t layer);
int do_concat(nn_context* ctx, size_t layer);
int do_slice(nn_context* ctx, size_t layer);
int do_shuffle(nn_context* ctx, size_t layer);

/* Element-wise and activation layers. */
int do_add(nn_context* ctx, size_t layer);
int do_subtract(nn_context* ctx, size_t layer);
int do_multiply(nn_context* ctx, size_t layer);
int do_divide(nn_context* ctx, size_t layer);
int do_abs(nn_context* ctx, size_t layer);
int do_sqrt(nn_context* ctx, size_t layer);
int do_rsqrt(nn_context* ctx, size_t layer);
int do_log(nn_context* ctx, size_t layer);
int do_exp(nn_context* ctx, size_t layer);
int do_sigmoid(nn_context* ctx, size_t layer);
int do_tanh(nn_context* ctx, size_t layer);
int do_relu(nn_context* ctx, size_t layer);
int do_relu6(nn_context* ctx, size_t layer);
int do_softmax(nn_context* ctx, size_t layer);
int do_prelu(nn_context* ctx, size_t layer);
int do_leaky_relu(nn_context* ctx, size_t layer);
int do_swish(nn_context* ctx, size_t layer);

/* Matrix layers. */
int do_matmul(nn_context* ctx, size_t layer);
int do_linear(nn_context* ctx, size_t layer);
int do_dense(nn_context* ctx, size_t layer);

/* Windowed layers. */
int do_conv2d(nn_context* ctx, size_t layer);
int do_deconv2d(nn_context* ctx, size_t layer);
int do_pool2d(nn_context* ctx, size_t layer);

/* Resize, reductions, GRU, SVM and CenterNet layers. */
int do_resize(nn_context* ctx, size_t layer);
int do_reduce_sum(nn_context* ctx, size_t layer);
int do_reduce_min(nn_context* ctx, size_t layer);
int do_reduce_max(nn_context* ctx, size_t layer);
int do_reduce_mean(nn_context* ctx, size_t layer);
int do_reduce_product(nn_context* ctx, size_t layer);
int do_gru(nn_context* ctx, size_t layer);
int do_svm_update_kernel(nn_context* ctx, size_t layer);
int do_svm_decision_stats(nn_context* ctx, size_t layer);
int do_svm_soft_probability(nn_context* ctx, size_t layer);
int do_decode_centernet(nn_context* ctx, size_t layer);

#ifdef __cplusplus
}
#endif

#endif
