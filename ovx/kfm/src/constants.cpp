/* Constant layers: weights, biases and other data held in the model, handed
 * to ovxlib where they lie in the model buffer (a deconvolution's weights in a
 * rearranged copy). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "builder.h"
#include "kestrune/kfm_schema.h"

namespace ovx {
namespace {

// The layer's panel_size field: no model query reads it.
uint32_t layer_panel_size(const void* model, size_t layer)
{
    uint32_t count = 0;
    const uint8_t* layers = kfm_vector(kfm_root(model), KFM_MODEL_LAYERS, &count);
    if (!layers || layer >= count)
        return 0;
    return kfm_u32(kfm_vector_table(layers, static_cast<uint32_t>(layer)), KFM_LAYER_PANEL_SIZE, 0);
}

// The constant's bytes by its type, and how many there are.
const void* constant_data(const void* param, int datatype, size_t* bytes)
{
    size_t n = 0;
    const void* data = nullptr;
    switch (datatype) {
    case NN_TYPE_F32:
        data = nn_model_parameter_data_f32(param, &n);
        n *= sizeof(float);
        break;
    case NN_TYPE_I8:
        data = nn_model_parameter_data_i8(param, &n);
        break;
    case NN_TYPE_I32:
        data = nn_model_parameter_data_i32(param, &n);
        n *= sizeof(int32_t);
        break;
    default:
        data = nn_model_parameter_data_raw(param, &n);
        break;
    }
    *bytes = data ? n : 0;
    return data;
}

struct WeightBuffers {
    void** items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};
WeightBuffers g_weights;

__attribute__((destructor)) void free_weight_buffers()
{
    for (size_t i = 0; i < g_weights.count; ++i)
        free(g_weights.items[i]);
    free(g_weights.items);
    g_weights = WeightBuffers{};
}

} // namespace

bool keep_weight_buffer(void* buffer)
{
    if (g_weights.count == g_weights.capacity) {
        size_t capacity = g_weights.capacity ? 2 * g_weights.capacity : 8;
        void* items = realloc(g_weights.items, capacity * sizeof(void*));
        if (!items)
            return false;
        g_weights.items = static_cast<void**>(items);
        g_weights.capacity = capacity;
    }
    g_weights.items[g_weights.count++] = buffer;
    return true;
}

void rearrange_deconv_weights(const uint8_t* in, uint8_t* out, const uint32_t s[4])
{
    const size_t s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
    const size_t plane = s0 * s1 * s2, run = s0 * s1;
    for (size_t r = 0; r < s3; ++r)
        for (size_t q = 0; q < s0; ++q)
            for (size_t k = 0; k < s1; ++k)
                for (size_t j = 0; j < s2; ++j)
                    out[r * plane + j * run + q * s1 + k] = in[r * plane + q * s1 * s2 + k * s2 + j];
    for (size_t at = 0; at + run <= plane * s3; at += run)
        for (size_t a = at, b = at + run - 1; a < b; ++a, --b) {
            uint8_t t = out[a];
            out[a] = out[b];
            out[b] = t;
        }
}

int build_constant(ovxlib_graph* graph, LayerView& layer, int consumer_type, uint32_t* tensor_ids,
                   bool is_output)
{
    const void* data_p = layer_param(layer.model, layer.index, "data");
    if (!data_p) {
        fprintf(stderr, "[ERROR] constant %s missing required data parameter\r\n", layer.name);
        return -1;
    }
    Ints shape = param_list(data_p);
    if (shape.empty()) {
        fprintf(stderr, "[ERROR] constant %s missing data shape attribute\r\n", layer.name);
        return -1;
    }
    if (layer_panel_size(layer.model, layer.index) != 0)
        return refuse(layer, "holds data packed in panels");
    if (shape.size > 4)
        return refuse(layer, "has data of rank %zu (at most 4)", shape.size);
    uint32_t dims[4] = {1, 1, 1, 1};
    uint64_t volume = 1;
    for (size_t i = 0; i < shape.size; ++i) {
        if (shape[i] <= 0)
            return refuse(layer, "has data shape entry %zu of %d", i, shape[i]);
        dims[i] = static_cast<uint32_t>(shape[i]);
        volume *= dims[i];
    }

    ovxlib_tensor_attr attr{};
    attr.dim_count = static_cast<uint32_t>(shape.size);
    for (size_t i = 0; i < shape.size; ++i)
        attr.sizes[i] = dims[i];
    if (shape.size == 4) {
        attr.sizes[0] = dims[1];
        attr.sizes[1] = dims[0];
    }
    attr.fmt = OVXLIB_FMT_NHWC;
    attr.is_const = 1;
    attr.type = vx_type_of(layer.datatype);

    // A per-channel operand of an element-wise layer on an image: a [1, 1, C, 1]
    // NCHW tensor that broadcasts over W, H and N.
    size_t consumer_rank = 0;
    const size_t consumer = find_consumer_layer(layer.model, layer.index, nn_model_layer_count(layer.model));
    if (consumer)
        nn_model_layer_shape(layer.model, consumer, &consumer_rank);
    const bool eltwise = consumer_type >= NN_LAYER_ADD && consumer_type <= NN_LAYER_DIVIDE;
    const bool broadcast = shape.size == 1 && dims[0] > 1 && eltwise && consumer_rank == 4;
    const bool deconv = consumer_type == NN_LAYER_DECONV2D;
    if (broadcast) {
        attr.sizes[0] = 1;
        attr.sizes[1] = 1;
        attr.sizes[2] = dims[0];
        attr.sizes[3] = 1;
        attr.dim_count = 4;
        attr.fmt = OVXLIB_FMT_NCHW;
    } else if (deconv) {
        attr.fmt = OVXLIB_FMT_NCHW;
    }

    size_t bytes = 0;
    const void* data = constant_data(data_p, layer.datatype, &bytes);
    const uint64_t needed = volume * vx_element_size(attr.type);
    if (!data || bytes < needed)
        return refuse(layer, "has %zu bytes of data for %llu", bytes, static_cast<unsigned long long>(needed));
    const bool raw = layer.datatype != NN_TYPE_F32 && layer.datatype != NN_TYPE_I8 && layer.datatype != NN_TYPE_I32;
    if (deconv && raw) {
        if (shape.size != 4 || vx_element_size(attr.type) != 1)
            return refuse(layer, "deconvolution weights need 4 dimensions of bytes");
        uint8_t* copy = static_cast<uint8_t*>(malloc(static_cast<size_t>(volume)));
        if (!copy || !keep_weight_buffer(copy)) {
            free(copy);
            return refuse(layer, "out of memory");
        }
        rearrange_deconv_weights(static_cast<const uint8_t*>(data), copy, dims);
        data = copy;
    }

    set_tensor_quant(attr, layer, false);
    if (attr.quant.type == OVXLIB_QUANT_PER_CHANNEL) {
        if (broadcast) {
            attr.quant.channel_dim = 2;
        } else if (layer.axis >= 0 && layer.axis < 4) {
            attr.quant.channel_dim = layer.axis;
        } else {
            debug("Perchannel quant axis missing... using default\n");
            if (layer.datatype == NN_TYPE_I8 || layer.datatype == NN_TYPE_U8)
                attr.quant.channel_dim = strstr(layer.name, "depthwise") ? 2 : 3;
            else
                attr.quant.channel_dim = 0;
        }
    }
    uint32_t id = vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &attr, data);
    if (id == OVXLIB_NO_TENSOR)
        return refuse(layer, "constant tensor not added");
    tensor_ids[layer.index] = id;
    if (is_output)
        return register_output(graph, layer, id);
    return 0;
}

} // namespace ovx
