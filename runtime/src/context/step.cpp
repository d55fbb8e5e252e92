/* Stepping and running layers: one handler per layer type code. */
#include <array>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "context/context_internal.h"
#include "context/step.h"
#include "kestrune/kfm_schema.h"
#include "layers/layers.h"
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
    if (context_model_bytes(ctx, in[0]))
        return NN_ERROR_INVALID_PARAMETER; /* would write into the model file */
    return nn_tensor_copy(step_output(ctx, layer), in[1]);
}

static int step_fill(nn_context* ctx, size_t layer)
{
    nn_tensor* in[1];
    int status = step_inputs(ctx, layer, 1, in);
    if (status != NN_SUCCESS)
        return status;
    if (context_model_bytes(ctx, in[0]))
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
    if (context_model_bytes(ctx, in[0]) && !same_quantisation(out, in[0]))
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
    /* Data, mean, variance, offset, scale and epsilon, with the cache. */
    return nn_batchnorm(step_output(ctx, layer), ctx->cache, in[0], in[1], in[2], in[3], in[4],
                        in[5]);
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
 * 5).  The layer handlers live in layers/. */
namespace {

/* One row per layer code that something runs. */
struct step_entry {
    int code;
    nn_layer_handler handler;
};

} // namespace

static constexpr step_entry step_entries[] = {
    {NN_LAYER_INPUT, step_nothing},
    {NN_LAYER_CONSTANT, step_nothing},
    {NN_LAYER_VARIABLE, step_nothing},
    {NN_LAYER_PAD, do_pad},
    {NN_LAYER_CONCAT, do_concat},
    {NN_LAYER_SLICE, do_slice},
    {NN_LAYER_SHUFFLE, do_shuffle},
    {NN_LAYER_COPY, step_copy},
    {NN_LAYER_FILL, step_fill},
    {NN_LAYER_QUANT, step_quant},
    {NN_LAYER_DEQUANT, step_dequant},
    {NN_LAYER_RESIZE, do_resize},
    {NN_LAYER_ADD, do_add},
    {NN_LAYER_SUBTRACT, do_subtract},
    {NN_LAYER_MULTIPLY, do_multiply},
    {NN_LAYER_DIVIDE, do_divide},
    {NN_LAYER_ABS, do_abs},
    {NN_LAYER_SQRT, do_sqrt},
    {NN_LAYER_RSQRT, do_rsqrt},
    {NN_LAYER_LOG, do_log},
    {NN_LAYER_EXP, do_exp},
    {NN_LAYER_SIGMOID, do_sigmoid},
    {NN_LAYER_TANH, do_tanh},
    {NN_LAYER_RELU, do_relu},
    {NN_LAYER_RELU6, do_relu6},
    {NN_LAYER_SOFTMAX, do_softmax},
    {NN_LAYER_PRELU, do_prelu},
    {NN_LAYER_LEAKY_RELU, do_leaky_relu},
    {NN_LAYER_SWISH, do_swish},
    {NN_LAYER_MATMUL, do_matmul},
    {NN_LAYER_DENSE, do_dense},
    {NN_LAYER_LINEAR, do_linear},
    {NN_LAYER_CONV2D, do_conv2d},
    {NN_LAYER_POOL2D, do_pool2d},
    {NN_LAYER_DECONV2D, do_deconv2d},
    {NN_LAYER_REDUCE_SUM, do_reduce_sum},
    {NN_LAYER_REDUCE_MIN, do_reduce_min},
    {NN_LAYER_REDUCE_MAX, do_reduce_max},
    {NN_LAYER_REDUCE_MEAN, do_reduce_mean},
    {NN_LAYER_REDUCE_PRODUCT, do_reduce_product},
    {NN_LAYER_GRU, do_gru},
    {NN_LAYER_RESHAPE, step_reshape},
    {NN_LAYER_BATCHNORM, step_batchnorm},
    {NN_LAYER_SVM_UPDATE_KERNEL, do_svm_update_kernel},
    {NN_LAYER_SVM_DECISION_STATS, do_svm_decision_stats},
    {NN_LAYER_SVM_SOFT_PROBABILITY, do_svm_soft_probability},
    {NN_LAYER_DECODE_CENTERNET, do_decode_centernet},
    {NN_LAYER_USER_OP, do_user_op},
};

static constexpr std::array<nn_layer_handler, 251> step_table = [] {
    std::array<nn_layer_handler, 251> table{};
    for (const step_entry& e : step_entries)
        table[e.code] = e.handler;
    return table;
}();

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
