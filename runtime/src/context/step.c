/* Stepping and running layers: one handler per layer type code. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "context/context_internal.h"
#include "context/step.h"
#include "kestrune/kfm_schema.h"
#include "model/model_internal.h"

nn_tensor* step_output(nn_context* ctx, size_t layer)
{
    return layer < ctx->tensor_capacity ? ctx->tensors[layer] : NULL;
}

size_t step_input_count(nn_context* ctx, size_t layer)
{
    const uint8_t* t = context_layer(ctx, layer);
    uint32_t n = 0;
    return t && kfm_vector(t, KFM_LAYER_INPUTS, &n) ? n : 0;
}

int step_inputs(nn_context* ctx, size_t layer, size_t count, nn_tensor** out)
{
    const uint8_t* t = context_layer(ctx, layer);
    uint32_t n = 0;
    const uint8_t* inputs = t ? kfm_vector(t, KFM_LAYER_INPUTS, &n) : NULL;
    if (!inputs || n < count)
        return NN_ERROR_INVALID_PARAMETER;
    /* Slots past the model's layers are NULL after any unload, so a filled
     * slot is a layer of this model. */
    for (size_t k = 0; k < count; ++k) {
        uint32_t in = kfm_load_u32(inputs + 4 * k);
        if (in >= ctx->tensor_capacity || !ctx->tensors[in])
            return NN_ERROR_INVALID_PARAMETER;
        out[k] = ctx->tensors[in];
    }
    return NN_SUCCESS;
}

static int is_8bit(const nn_tensor* t)
{
    nn_type type = nn_tensor_type(t);
    return type == NN_TYPE_I8 || type == NN_TYPE_U8;
}

/* Whether a tensor's memory is the caller's model bytes (a constant, or a
 * view of one), which the runtime must never write. */
static int in_model_bytes(const nn_context* ctx, const nn_tensor* t)
{
    uintptr_t p = (uintptr_t)t->data;
    uintptr_t begin = (uintptr_t)ctx->model;
    return p >= begin && p - begin < ctx->model_size;
}

/* ---- Handlers of this family ------------------------------------------- */

static int step_nothing(nn_context* ctx, size_t layer)
{
    (void)ctx;
    (void)layer;
    return NN_SUCCESS;
}

/* copy: out is the load's view of in0, so in1 lands in in0's memory. */
static int step_copy(nn_context* ctx, size_t layer)
{
    nn_tensor* in[2];
    int status = step_inputs(ctx, layer, 2, in);
    if (status != NN_SUCCESS)
        return status;
    if (in_model_bytes(ctx, in[0]))
        return NN_ERROR_INVALID_PARAMETER; /* would write into the model file */
    return nn_tensor_copy(step_output(ctx, layer), in[1]);
}

static int step_fill(nn_context* ctx, size_t layer)
{
    nn_tensor* in[1];
    int status = step_inputs(ctx, layer, 1, in);
    if (status != NN_SUCCESS)
        return status;
    if (in_model_bytes(ctx, in[0]))
        return NN_ERROR_INVALID_PARAMETER; /* would write into the model file */
    size_t n = 0;
    const float* value = nn_model_layer_parameter_data_f32(ctx->model, layer, "value", &n);
    return nn_tensor_fill(step_output(ctx, layer), value && n > 0 ? (double)value[0] : 0.0);
}

static int step_quant(nn_context* ctx, size_t layer)
{
    nn_tensor* in[1];
    int status = step_inputs(ctx, layer, 1, in);
    if (status != NN_SUCCESS)
        return status;
    nn_tensor* out = step_output(ctx, layer);
    if (is_8bit(out) && is_8bit(in[0]))
        return nn_tensor_requantize(out, in[0]);
    const uint8_t* table = context_layer(ctx, layer);
    if (!kfm_field_present(table, KFM_LAYER_AXIS))
        return NN_ERROR_MISSING_RESOURCE;
    return nn_tensor_quantize(out, in[0], kfm_i8(table, KFM_LAYER_AXIS, 0));
}

static int step_dequant(nn_context* ctx, size_t layer)
{
    nn_tensor* in[1];
    int status = step_inputs(ctx, layer, 1, in);
    if (status != NN_SUCCESS)
        return status;
    return nn_tensor_dequantize(step_output(ctx, layer), in[0]);
}

/* Whether requantising between two views of the same memory leaves it as it
 * is: same type, zero point and scale (as the requantisation compares). */
static int same_quantisation(const nn_tensor* a, const nn_tensor* b)
{
    size_t nza = 0, nzb = 0, nsa = 0, nsb = 0;
    const int32_t* za = nn_tensor_zeros(a, &nza);
    const int32_t* zb = nn_tensor_zeros(b, &nzb);
    const float* sa = nn_tensor_scales(a, &nsa);
    const float* sb = nn_tensor_scales(b, &nsb);
    if (!za || !zb || !sa || !sb || !nza || !nzb || !nsa || !nsb)
        return 0;
    return nn_tensor_type(a) == nn_tensor_type(b) && za[0] == zb[0] && fabsf(sa[0] - sb[0]) < 1e-5f;
}

/* reshape: out is already the load's view of in0; 8-bit data is brought to
 * out's own quantisation, in place. */
static int step_reshape(nn_context* ctx, size_t layer)
{
    nn_tensor* in[1];
    int status = step_inputs(ctx, layer, 1, in);
    if (status != NN_SUCCESS)
        return status;
    nn_tensor* out = step_output(ctx, layer);
    if (!(is_8bit(out) && is_8bit(in[0])))
        return NN_SUCCESS;
    if (in_model_bytes(ctx, in[0]) && !same_quantisation(out, in[0]))
        return NN_ERROR_INVALID_PARAMETER; /* would rewrite the model file */
    return nn_tensor_requantize(out, in[0]);
}

static int step_batchnorm(nn_context* ctx, size_t layer)
{
    if (step_input_count(ctx, layer) != 6)
        return NN_ERROR_INVALID_PARAMETER;
    nn_tensor* in[6];
    int status = step_inputs(ctx, layer, 6, in);
    if (status != NN_SUCCESS)
        return status;
    /* The operator (data, mean, variance, offset, scale, epsilon with the
     * cache) is wired with the batch-normalisation operator. */
    return NN_ERROR_NOT_IMPLEMENTED;
}

static int do_user_op(nn_context* ctx, size_t layer)
{
    if (!ctx->user_op)
        return NN_ERROR_NOT_IMPLEMENTED;
    const char* op = nn_model_layer_parameter_data_str(ctx->model, layer, "opname", 0);
    if (!op) {
        printf("%s [%s] missing parameter or contents: opname\r\n", "do_user_op",
               nn_model_layer_name(ctx->model, layer));
        return NN_ERROR_INVALID_PARAMETER;
    }
    return ctx->user_op(ctx, op, layer);
}

/* ---- Dispatch table ------------------------------------------------------
 * Every code from 0 to 250 has an entry; NULL means nothing runs it (status
 * 5).  Entries not filled here belong to the layer handlers and operators:
 *   10 pad do_pad; 11 concat do_concat; 12 slice do_slice; 13 shuffle
 *   do_shuffle; 18 resize do_resize; 20-23 nn_add/nn_subtract/nn_multiply/
 *   nn_divide (out, in0, in1); 30, 31, 33, 34 nn_abs/nn_sqrt/nn_log/nn_exp
 *   (out, in0); 32 rsqrt with the layer's epsilon; 40-43 nn_sigmoid/nn_tanh/
 *   nn_relu/nn_relu6; 44 nn_softmax; 45 nn_prelu (out, in0, in1); 46
 *   leaky_relu with alpha; 48 do_swish; 50 matmul; 51 do_dense; 52
 *   do_linear; 60 do_conv2d; 61 do_pool2d; 62 do_deconv2d; 70-74
 *   do_reduce_*; 100 do_gru; 102 nn_batchnorm after the input count; 121-123
 *   do_svm_*; 132 do_decode_centernet. */
static const nn_layer_handler step_table[251] = {
    [NN_LAYER_INPUT] = step_nothing,
    [NN_LAYER_CONSTANT] = step_nothing,
    [NN_LAYER_VARIABLE] = step_nothing,
    [NN_LAYER_COPY] = step_copy,
    [NN_LAYER_FILL] = step_fill,
    [NN_LAYER_QUANT] = step_quant,
    [NN_LAYER_DEQUANT] = step_dequant,
    [NN_LAYER_RESHAPE] = step_reshape,
    [NN_LAYER_BATCHNORM] = step_batchnorm,
    [NN_LAYER_USER_OP] = do_user_op,
};

nn_layer_handler step_handler(int type_code)
{
    if (type_code < 0 || type_code > NN_LAYER_USER_OP)
        return NULL;
    return step_table[type_code];
}

NN_API int nn_context_step(nn_context* ctx, size_t layer)
{
    if (!ctx)
        return NN_ERROR_INVALID_PARAMETER;
    if (!ctx->model)
        return NN_ERROR_MISSING_MODEL;
    /* A buffer without the identifier reads every type as 0. */
    const uint8_t* t = kfm_identified(ctx->model) ? context_layer(ctx, layer) : NULL;
    nn_layer_handler h = step_handler(t ? kfm_i16(t, KFM_LAYER_TYPE, 0) : 0);
    if (!h || layer >= ctx->tensor_capacity || !ctx->tensors[layer])
        return NN_ERROR_NOT_IMPLEMENTED;
    return h(ctx, layer);
}

NN_API int nn_context_run(nn_context* ctx)
{
    if (!ctx || !ctx->model || !kfm_identified(ctx->model))
        return NN_ERROR_INVALID_PARAMETER;
    for (size_t i = ctx->first_layer; i < ctx->layer_count; ++i) {
        int status = nn_context_step(ctx, i);
        if (status != NN_SUCCESS) {
            const char* text = nn_strerror(status);
            fprintf(stderr, "[ERROR] layer %zd [%s] %s: %s\r\n", (ptrdiff_t)i,
                    nn_model_layer_type(ctx->model, i), nn_model_layer_name(ctx->model, i),
                    text ? text : "unknown status");
            return status;
        }
    }
    return NN_SUCCESS;
}
