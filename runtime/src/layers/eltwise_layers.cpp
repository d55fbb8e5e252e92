/* Element-wise and activation layers: the operator on the layer's inputs,
 * with the few parameters some of them read. */
#include "layers/layer_common.h"
#include "layers/layers.h"

typedef int (*unary_fn)(nn_tensor*, nn_tensor*);
typedef int (*binary_fn)(nn_tensor*, nn_tensor*, nn_tensor*);

/* `op(call, out, in)` on the layer's first input. */
template <typename Op>
static int on_one_input(nn_context* ctx, size_t layer, const char* label, Op op)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, label);
    nn_tensor* in[1];
    int status = layer_inputs(&c, 1, in);
    return status != NN_SUCCESS ? status : op(c, step_output(ctx, layer), in[0]);
}

static int unary(nn_context* ctx, size_t layer, const char* label, unary_fn fn)
{
    auto op = [fn](const layer_call&, nn_tensor* out, nn_tensor* in) { return fn(out, in); };
    return on_one_input(ctx, layer, label, op);
}

static int binary(nn_context* ctx, size_t layer, const char* label, binary_fn fn)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, label);
    nn_tensor* in[2];
    int status = layer_inputs(&c, 2, in);
    return status != NN_SUCCESS ? status : fn(step_output(ctx, layer), in[0], in[1]);
}

int do_add(nn_context* ctx, size_t layer) { return binary(ctx, layer, "do_add", nn_add); }
int do_subtract(nn_context* ctx, size_t layer)
{
    return binary(ctx, layer, "do_subtract", nn_subtract);
}
int do_multiply(nn_context* ctx, size_t layer)
{
    return binary(ctx, layer, "do_multiply", nn_multiply);
}
int do_divide(nn_context* ctx, size_t layer) { return binary(ctx, layer, "do_divide", nn_divide); }
int do_prelu(nn_context* ctx, size_t layer) { return binary(ctx, layer, "do_prelu", nn_prelu); }

int do_abs(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_abs", nn_abs); }
int do_sqrt(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_sqrt", nn_sqrt); }
int do_log(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_log", nn_log); }
int do_exp(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_exp", nn_exp); }
int do_sigmoid(nn_context* ctx, size_t layer)
{
    return unary(ctx, layer, "do_sigmoid", nn_sigmoid);
}
int do_tanh(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_tanh", nn_tanh); }
int do_relu(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_relu", nn_relu); }
int do_relu6(nn_context* ctx, size_t layer) { return unary(ctx, layer, "do_relu6", nn_relu6); }
int do_softmax(nn_context* ctx, size_t layer)
{
    return unary(ctx, layer, "do_softmax", nn_softmax);
}

/* The epsilon's address is passed in every case: a layer without the
 * parameter computes with 0.0. */
int do_rsqrt(nn_context* ctx, size_t layer)
{
    auto op = [](const layer_call& c, nn_tensor* out, nn_tensor* in) {
        float epsilon = param_real(layer_param(&c, "epsilon"), 0.0f);
        return nn_rsqrt(out, in, &epsilon);
    };
    return on_one_input(ctx, layer, "do_rsqrt", op);
}

int do_leaky_relu(nn_context* ctx, size_t layer)
{
    auto op = [](const layer_call& c, nn_tensor* out, nn_tensor* in) {
        return nn_leaky_relu(out, in, param_real(layer_param(&c, "alpha"), 0.0f));
    };
    return on_one_input(ctx, layer, "do_leaky_relu", op);
}

/* "beta" and "hard" must be present; their values are not used. */
int do_swish(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_swish");
    if (!layer_param(&c, "beta"))
        return layer_missing(&c, "beta");
    if (!layer_param(&c, "hard"))
        return layer_missing(&c, "hard");
    nn_tensor* in[1];
    int status = layer_inputs(&c, 1, in);
    return status != NN_SUCCESS ? status : nn_swish(step_output(ctx, layer), in[0]);
}
