/* Resize, reduction, GRU, SVM and CenterNet layers. */
#include "layers/layer_common.h"
#include "layers/layers.h"

/* An optional integer parameter; present without `data_i16` it is refused
 * unless `fallback_ok` (then *value keeps its default). */
static int optional_int(const layer_call* c, const char* key, int fallback_ok, int16_t* value)
{
    const void* p = layer_param(c, key);
    if (p && !param_int(p, value) && !fallback_ok)
        return layer_missing_data(c, key);
    return NN_SUCCESS;
}

int do_resize(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_resize");
    int16_t mode = 0, align = 0, half_pixel = 0;
    int status = optional_int(&c, "mode", 1, &mode);
    if (status == NN_SUCCESS)
        status = optional_int(&c, "align_corners", 0, &align);
    if (status == NN_SUCCESS)
        status = optional_int(&c, "half_pixel_centers", 0, &half_pixel);
    if (status != NN_SUCCESS)
        return status;
    nn_tensor* in[1];
    status = layer_inputs(&c, 1, in);
    if (status != NN_SUCCESS)
        return status;
    return nn_resize(step_output(ctx, layer), in[0], (uint32_t)(int32_t)mode, align != 0);
}

int do_reduce_sum(nn_context* ctx, size_t layer)
{
    return layer_axes_operator(ctx, layer, "do_reduce_sum", nn_reduce_sum);
}
int do_reduce_min(nn_context* ctx, size_t layer)
{
    return layer_axes_operator(ctx, layer, "do_reduce_min", nn_reduce_min);
}
int do_reduce_max(nn_context* ctx, size_t layer)
{
    return layer_axes_operator(ctx, layer, "do_reduce_max", nn_reduce_max);
}
int do_reduce_mean(nn_context* ctx, size_t layer)
{
    return layer_axes_operator(ctx, layer, "do_reduce_mean", nn_reduce_mean);
}
int do_reduce_product(nn_context* ctx, size_t layer)
{
    return layer_axes_operator(ctx, layer, "do_reduce_product", nn_reduce_product);
}

/* Exactly `count` inputs. */
static int exact_inputs(const layer_call* c, size_t count, nn_tensor** in)
{
    if (layer_input_count(c) != count)
        return layer_missing_inputs(c, count);
    return layer_inputs(c, count, in);
}

int do_gru(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_gru");
    nn_tensor* in[8];
    int status = exact_inputs(&c, 8, in);
    if (status != NN_SUCCESS)
        return status;
    /* The cell rewrites its hidden state: a state in the model's bytes is
     * stepped through the context's copy of it, made by the load. */
    nn_tensor* h = in[1];
    if (context_model_bytes(ctx, h)) {
        if (!ctx->gru_state)
            return NN_ERROR_INVALID_PARAMETER; /* would write into the model file */
        h = ctx->gru_state;
    }
    return nn_gru(step_output(ctx, layer), in[0], h, in[2], in[3], in[4], in[5], in[6], in[7],
                  ctx->gru);
}

typedef int (*svm_fn)(nn_tensor*, nn_tensor*, nn_tensor*, nn_tensor*, nn_tensor*);

static int svm(nn_context* ctx, size_t layer, const char* label, svm_fn fn)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, label);
    nn_tensor* in[3];
    int status = exact_inputs(&c, 3, in);
    if (status != NN_SUCCESS)
        return status;
    return fn(step_output(ctx, layer), ctx->cache, in[0], in[1], in[2]);
}

int do_svm_update_kernel(nn_context* ctx, size_t layer)
{
    return svm(ctx, layer, "do_svm_update_kernel", nn_svm_update_kernel);
}
int do_svm_decision_stats(nn_context* ctx, size_t layer)
{
    return svm(ctx, layer, "do_svm_decision_stats", nn_svm_decision_stats);
}
int do_svm_soft_probability(nn_context* ctx, size_t layer)
{
    return svm(ctx, layer, "do_svm_soft_probability", nn_svm_soft_probability);
}

int do_decode_centernet(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_decode_centernet");
    nn_tensor* in[3];
    int status = exact_inputs(&c, 3, in);
    if (status != NN_SUCCESS)
        return status;
    return nn_decode_centernet(in[0], in[1], in[2], ctx->cache, step_output(ctx, layer));
}
