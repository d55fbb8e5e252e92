/* Windowed layers: conv2d, deconv2d and pool2d, with the padding they absorb
 * from a preceding pad layer. */
#include <stdio.h>
#include <string.h>

#include "layers/layer_common.h"
#include "layers/layers.h"
#include "layers/quant_prep.h"

/* The strides (3 entries at least) then data, filter and the bias when
 * there is a third input. */
static int conv_arguments(const layer_call* c, int32_t strides[4], nn_tensor* in[3])
{
    int status = layer_required_list4(c, "strides", 3, 1, strides);
    return status != NN_SUCCESS ? status : layer_inputs_with_bias(c, in);
}

int do_conv2d(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_conv2d");
    int32_t strides[4];
    nn_tensor* in[3];
    int status = conv_arguments(&c, strides, in);
    if (status != NN_SUCCESS)
        return status;

    int32_t groups = 1;
    const void* g = layer_param(&c, "groups");
    if (g) {
        int16_t v = 0;
        if (!param_int(g, &v)) {
            fprintf(stderr, "missing data from groups paramter\r\n");
            return NN_ERROR_INVALID_PARAMETER;
        }
        groups = v;
    }
    int32_t activation = 0;
    status = layer_activation(&c, "conv", &activation);
    if (status != NN_SUCCESS)
        return status;

    int32_t dilations[4] = {1, 1, 1, 1};
    const void* d = layer_param(&c, "dilations");
    if (d) {
        size_t n = 0;
        const int32_t* list = param_list(d, &n);
        if (n < 3)
            return layer_short_list(&c, "dilations", 3, n);
        dilations[1] = param_list_at(list, 1);
        dilations[2] = param_list_at(list, 2);
    }

    int32_t pad[8];
    layer_pad_array(&c, pad);
    nn_tensor* data = NULL;
    const void* alt = layer_param(&c, "alt_input");
    if (alt)
        status = layer_data_input(&c, &data);
    else
        data = in[0];
    if (status != NN_SUCCESS)
        return status;

    nn_tensor* out = step_output(ctx, layer);
    if (nn_tensor_type(data) != NN_TYPE_F32) {
        const int32_t n = nn_tensor_shape(out)[3];
        quant_prep q = {
            .input = data,
            .output = out,
            .weights = in[1],
            .channels = n,
            .per_channel = 1,
            .reduce_zero = groups == 1 || groups != n,
            .accum_cache = 0,
        };
        status = quant_prepare(&c, &q);
        if (status != NN_SUCCESS)
            return status;
    }
    return nn_conv_ex(out, ctx->cache, data, in[1], in[2], strides, pad, dilations, groups,
                      activation);
}

static int32_t half_extent(int32_t k)
{
    int32_t h = (k - 1) / 2;
    return h > 0 ? h : 0;
}

int do_deconv2d(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_deconv2d");
    int32_t strides[4];
    nn_tensor* in[3];
    int status = conv_arguments(&c, strides, in);
    if (status != NN_SUCCESS)
        return status;
    int32_t activation = 0;
    status = layer_activation(&c, "conv", &activation);
    if (status != NN_SUCCESS)
        return status;

    nn_tensor* out = step_output(ctx, layer);
    int32_t pad[8];
    layer_pad_array(&c, pad);
    /* "Same" padding from the filter: H from its dimension 1, W from its
     * dimension 0, whatever "head" and "tail" gave. */
    const int32_t* is = nn_tensor_shape(in[0]);
    const int32_t* os = nn_tensor_shape(out);
    const int32_t* fs = nn_tensor_shape(in[1]);
    int32_t ph = (int64_t)is[1] * strides[1] == os[1] ? half_extent(fs[1]) : 0;
    int32_t pw = (int64_t)is[2] * strides[2] == os[2] ? half_extent(fs[0]) : 0;
    pad[2] = pad[3] = ph;
    pad[4] = pad[5] = pw;
    return nn_transpose_conv2d_ex(out, ctx->cache, in[0], in[1], in[2], strides, pad, activation);
}

int do_pool2d(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_pool2d");
    int32_t ksize[4], strides[4];
    int status = layer_required_list4(&c, "ksize", 3, 1, ksize);
    if (status == NN_SUCCESS)
        status = layer_required_list4(&c, "strides", 3, 1, strides);
    if (status != NN_SUCCESS)
        return status;
    const void* p = layer_param(&c, "pooling");
    if (!p)
        return layer_missing(&c, "pooling");
    const char* pooling = param_string(p);
    if (!pooling)
        return layer_missing_data(&c, "pooling");

    int32_t pad[8];
    layer_pad_array(&c, pad);
    nn_tensor* data = NULL;
    status = layer_data_input(&c, &data);
    if (status != NN_SUCCESS)
        return status;

    nn_tensor* out = step_output(ctx, layer);
    if (strcmp(pooling, "MAXIMUM") == 0)
        return nn_maxpool_ex(out, data, ksize, strides, pad);
    if (strcmp(pooling, "AVERAGE") == 0)
        return nn_avgpool_ex(out, data, ctx->cache, ksize, strides, pad);
    printf("%s [%s] unsupported pooling type: %s\r\n", c.label, c.name ? c.name : "", pooling);
    return NN_ERROR_NOT_IMPLEMENTED;
}
