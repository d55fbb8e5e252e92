/* Matrix layers: matmul, linear and dense. */
#include "layers/layer_common.h"
#include "layers/layers.h"
#include "layers/quant_prep.h"

/* Transpose flags by presence: a stored 0 still transposes. */
int do_matmul(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_matmul");
    uint8_t transpose_a = layer_param(&c, "transpose_a") != NULL;
    uint8_t transpose_b = layer_param(&c, "transpose_b") != NULL;
    nn_tensor* in[2];
    int status = layer_inputs(&c, 2, in);
    if (status != NN_SUCCESS)
        return status;
    return nn_matmul(step_output(ctx, layer), in[0], in[1], transpose_a, transpose_b);
}

/* Input, weights, the bias when there is a third input, then the
 * activation (named in its refusal as `what`). */
static int matrix_arguments(const layer_call* c, const char* what, nn_tensor* in[3],
                            int32_t* activation)
{
    int status = layer_inputs_with_bias(c, in);
    return status != NN_SUCCESS ? status : layer_activation(c, what, activation);
}

int do_linear(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_linear");
    nn_tensor* in[3];
    int32_t activation = 0;
    int status = matrix_arguments(&c, "linear", in, &activation);
    if (status != NN_SUCCESS)
        return status;
    return nn_linear(step_output(ctx, layer), in[0], in[1], in[2], activation);
}

int do_dense(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_dense");
    nn_tensor* in[3];
    int32_t activation = 0;
    int status = matrix_arguments(&c, "dense", in, &activation);
    if (status != NN_SUCCESS)
        return status;
    nn_tensor* out = step_output(ctx, layer);
    if (nn_tensor_type(in[0]) != NN_TYPE_F32) {
        quant_prep q = {
            .input = in[0],
            .output = out,
            .weights = in[1],
            .channels = nn_tensor_shape(in[1])[1],
            .per_channel = 0,
            .reduce_zero = 0,
            .accum_cache = nn_tensor_shape(out)[0] == 1,
        };
        status = quant_prepare(&c, &q);
        if (status != NN_SUCCESS)
            return status;
    }
    return nn_dense(out, in[0], in[1], in[2], activation);
}
