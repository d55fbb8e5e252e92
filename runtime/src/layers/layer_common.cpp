/* Parameter readers, refusals and operands shared by the layer handlers. */
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "kestrune/kfm_schema.h"
#include "layers/layer_common.h"
#include "model/model_internal.h"

void layer_call_init(layer_call* c, nn_context* ctx, size_t layer, const char* label)
{
    c->ctx = ctx;
    c->layer = layer;
    c->label = label;
    c->name = nn_model_layer_name(ctx->model, layer);
}

const void* layer_param(const layer_call* c, const char* key)
{
    const uint8_t* params = model_layer_parameters(c->ctx->model, c->layer);
    return layer_parameter_at(params, layer_parameter_index(params, key));
}

const int32_t* param_list(const void* param, size_t* count)
{
    *count = 0;
    return param ? nn_model_parameter_shape(param, count) : NULL;
}

int32_t param_list_at(const int32_t* list, size_t i) { return kfm_load_i32(list + i); }

int param_int(const void* param, int16_t* value)
{
    size_t n = 0;
    const int16_t* v = param ? nn_model_parameter_data_i16(param, &n) : NULL;
    if (!v || n == 0)
        return 0;
    *value = (int16_t)kfm_load_u16(v);
    return 1;
}

float param_real(const void* param, float fallback)
{
    size_t n = 0;
    const float* v = param ? nn_model_parameter_data_f32(param, &n) : NULL;
    if (!v || n == 0)
        return fallback;
    uint32_t bits = kfm_load_u32(v);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

const char* param_string(const void* param)
{
    return param ? nn_model_parameter_data_str(param, 0) : NULL;
}

/* ---- Refusals ---------------------------------------------------------- */

static const char* text(const char* s) { return s ? s : ""; }

int layer_missing(const layer_call* c, const char* key)
{
    printf("%s [%s] missing required parameter: %s\r\n", c->label, text(c->name), key);
    return NN_ERROR_INVALID_PARAMETER;
}

int layer_missing_data(const layer_call* c, const char* key)
{
    printf("%s [%s] missing required parameter data: %s\r\n", c->label, text(c->name), key);
    return NN_ERROR_INVALID_PARAMETER;
}

int layer_short_list(const layer_call* c, const char* key, size_t need, size_t has)
{
    printf("%s [%s] parameter %s requires %zu entries, has %zu\r\n", c->label, text(c->name), key,
           need, has);
    return NN_ERROR_INVALID_PARAMETER;
}

int layer_missing_inputs(const layer_call* c, size_t count)
{
    fprintf(stderr, "%s [%s] missing %zu required inputs, has %zd\r\n", c->label, text(c->name),
            count, (ptrdiff_t)layer_input_count(c));
    return NN_ERROR_INVALID_PARAMETER;
}

/* ---- Readers ----------------------------------------------------------- */

int layer_required_list4(const layer_call* c, const char* key, size_t need, int32_t fill,
                         int32_t out[4])
{
    const void* p = layer_param(c, key);
    if (!p)
        return layer_missing(c, key);
    size_t n = 0;
    const int32_t* list = param_list(p, &n);
    if (n < need)
        return layer_short_list(c, key, need, n);
    for (size_t i = 0; i < 4; ++i)
        out[i] = i < n ? param_list_at(list, i) : fill;
    return NN_SUCCESS;
}

size_t layer_input_count(const layer_call* c) { return step_input_count(c->ctx, c->layer); }

uint32_t layer_input_index(const layer_call* c, size_t k)
{
    const uint32_t* inputs = NULL;
    size_t n = nn_model_layer_inputs(c->ctx->model, c->layer, &inputs);
    return inputs && k < n ? kfm_load_u32(inputs + k) : UINT32_MAX;
}

int layer_inputs(const layer_call* c, size_t count, nn_tensor** tensors)
{
    if (step_inputs(c->ctx, c->layer, count, tensors) != NN_SUCCESS)
        return layer_missing_inputs(c, count);
    return NN_SUCCESS;
}

int layer_inputs_with_bias(const layer_call* c, nn_tensor* in[3])
{
    int status = layer_inputs(c, 2, in);
    if (status != NN_SUCCESS)
        return status;
    in[2] = NULL;
    if (layer_input_count(c) >= 3)
        status = layer_inputs(c, 3, in);
    return status;
}

int layer_axes_operator(nn_context* ctx, size_t layer, const char* label, layer_axes_fn fn)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, label);
    const void* p = layer_param(&c, "axes");
    if (!p)
        return layer_missing(&c, "axes");
    size_t n = 0;
    const int32_t* axes = param_list(p, &n);
    nn_tensor* in[1];
    int status = layer_inputs(&c, 1, in);
    if (status != NN_SUCCESS)
        return status;
    return fn(step_output(ctx, layer), in[0], axes && n ? (int)n : 0, n ? axes : NULL);
}

namespace kestrune {
namespace {

struct ActivationName {
    int code;
    const char* name;
};

/* The names a model may give; SQRT has none. */
constexpr ActivationName activation_names[] = {
    {NN_ACTIVATION_LINEAR, "LINEAR"},
    {NN_ACTIVATION_RELU, "RELU"},
    {NN_ACTIVATION_RELU6, "RELU6"},
    {NN_ACTIVATION_SIGMOID, "SIGMOID"},
    {NN_ACTIVATION_SIGMOID_FAST, "SIGMOID_FAST"},
    {NN_ACTIVATION_TANH, "TANH"},
};

} // namespace
} // namespace kestrune

int activation_code(const char* name)
{
    if (!name)
        return -1;
    for (const auto& a : kestrune::activation_names)
        if (strcasecmp(name, a.name) == 0)
            return a.code;
    return -1;
}

int layer_activation(const layer_call* c, const char* what, int32_t* activation)
{
    *activation = NN_ACTIVATION_LINEAR;
    const void* p = layer_param(c, "activation");
    if (!p)
        return NN_SUCCESS;
    const char* name = param_string(p);
    if (!name)
        return layer_missing_data(c, "activation");
    int code = activation_code(name);
    if (code < 0) {
        fprintf(stderr, "unsupported activation for %s: %s\r\n", what, name);
        return NN_ERROR_INVALID_PARAMETER;
    }
    *activation = code;
    return NN_SUCCESS;
}

void layer_pad_array(const layer_call* c, int32_t pad[8])
{
    memset(pad, 0, 8 * sizeof pad[0]);
    static const char* const keys[2] = {"head", "tail"};
    for (int side = 0; side < 2; ++side) {
        size_t n = 0;
        const int32_t* list = param_list(layer_param(c, keys[side]), &n);
        for (size_t d = 0; d < 4 && d < n; ++d)
            pad[2 * d + (size_t)side] = param_list_at(list, d);
    }
}

nn_tensor* layer_tensor_at(const layer_call* c, int32_t index)
{
    const nn_context* ctx = c->ctx;
    if (index < 0 || (size_t)index >= ctx->layer_count || (size_t)index >= ctx->tensor_capacity)
        return NULL;
    return ctx->tensors[index];
}

int layer_data_input(const layer_call* c, nn_tensor** data)
{
    const void* alt = layer_param(c, "alt_input");
    if (!alt)
        return layer_inputs(c, 1, data);
    int16_t index = 0;
    if (!param_int(alt, &index))
        return layer_missing_data(c, "alt_input");
    nn_tensor* t = layer_tensor_at(c, index);
    if (!t) {
        printf("%s [%s] alt_input %d is not a layer of the model\r\n", c->label, text(c->name),
               (int)index);
        return NN_ERROR_INVALID_PARAMETER;
    }
    *data = t;
    return NN_SUCCESS;
}
