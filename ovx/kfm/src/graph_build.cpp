/* model2graph and the per-layer builder's common steps: consumer search,
 * quantisation, input layers and the registration of graph inputs and
 * outputs.  Operator layers are in layer_nodes.cpp, constants in
 * constants.cpp. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <memory>

#include "builder.h"

namespace ovx {

BuildState g_build;

void debug(const char* format, ...)
{
    if (!g_build.debug)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

int refuse(const LayerView& layer, const char* format, ...)
{
    fprintf(stderr, "%s [%s] ", kBuilder, layer.name);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    return -1;
}

size_t find_consumer_layer(const void* model, size_t layer, size_t count)
{
    if (model == g_build.model && g_build.consumers && count == g_build.layer_count)
        return layer < count ? g_build.consumers[layer] : 0;
    for (size_t i = layer + 1; i < count; ++i) {
        const uint32_t* inputs = nullptr;
        size_t n = nn_model_layer_inputs(model, i, &inputs);
        for (size_t k = 0; k < n; ++k)
            if (inputs[k] == layer)
                return i;
    }
    return 0;
}

namespace {

// First consumer of every layer: layer j consumes each earlier layer named in
// its inputs; scanning j upwards keeps the first.
uint32_t* consumer_table(const void* model, size_t count)
{
    uint32_t* first = static_cast<uint32_t*>(calloc(count ? count : 1, sizeof(uint32_t)));
    if (!first)
        return nullptr;
    for (size_t j = 1; j < count; ++j) {
        const uint32_t* inputs = nullptr;
        size_t n = nn_model_layer_inputs(model, j, &inputs);
        for (size_t k = 0; k < n; ++k)
            if (inputs[k] < j && first[inputs[k]] == 0)
                first[inputs[k]] = static_cast<uint32_t>(j);
    }
    return first;
}

// Marks of the layers an outputs list names (more than one entry).
uint8_t* output_marks(const uint32_t* outputs, size_t listed, size_t count)
{
    uint8_t* marks = static_cast<uint8_t*>(calloc(count ? count : 1, 1));
    if (!marks)
        return nullptr;
    for (size_t k = 0; k < listed; ++k)
        if (outputs[k] < count)
            marks[outputs[k]] = 1;
    return marks;
}

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

} // namespace

namespace {
// KFM data type code (nn_type) -> OpenVX type.
constexpr std::array<int32_t, 13> kVxTypes = {3, 0, 2, 3, 4, 5, 6, 7, 8, 9, 15, 10, 11};
constexpr std::array<uint32_t, 4> kConcatAxis = {3, 1, 0, 2};
constexpr std::array<uint32_t, 4> kToNchw = {1, 2, 0, 3};
} // namespace

int32_t vx_type_of(int datatype)
{
    if (datatype < 0 || datatype >= static_cast<int>(kVxTypes.size()))
        return 0;
    return kVxTypes[static_cast<size_t>(datatype)];
}

bool is_quantised(int datatype) { return datatype < NN_TYPE_F16 || datatype > NN_TYPE_F64; }

uint32_t vx_element_size(int32_t type)
{
    switch (type) {
    case OVXLIB_TYPE_INT32:
    case OVXLIB_TYPE_UINT32:
    case OVXLIB_TYPE_FLOAT32:
        return 4;
    case OVXLIB_TYPE_INT16:
    case OVXLIB_TYPE_UINT16:
    case OVXLIB_TYPE_FLOAT16:
        return 2;
    case OVXLIB_TYPE_INT64:
    case OVXLIB_TYPE_UINT64:
    case OVXLIB_TYPE_FLOAT64:
        return 8;
    default:
        return 1;
    }
}

uint32_t map_concat_axis(int axis)
{
    if (axis < 0 || axis >= static_cast<int>(kConcatAxis.size()))
        return 0;
    return kConcatAxis[static_cast<size_t>(axis)];
}

bool resolve_quant(LayerView& layer)
{
    if (!layer.zeros.empty() && !layer.scales.empty())
        return true;
    debug("Warning: No zero point/scale provided; Trying previous layer params\n");
    if (layer.index > 0) {
        LayerView prev = read_layer(layer.model, layer.index - 1);
        if (!prev.zeros.empty() && !prev.scales.empty()) {
            layer.zeros = prev.zeros;
            layer.scales = prev.scales;
            return true;
        }
    }
    debug("Scale/Zero point not found; KFM missing params\n");
    return false;
}

void set_tensor_quant(ovxlib_tensor_attr& attr, const LayerView& layer, bool add_128)
{
    attr.quant = ovxlib_quant{};
    if (!is_quantised(layer.datatype)) {
        attr.quant.type = OVXLIB_QUANT_NONE;
        return;
    }
    if (layer.zeros.size == 1) {
        attr.quant.type = OVXLIB_QUANT_AFFINE;
        attr.quant.scale = layer.scales[0];
        attr.quant.zero_point = layer.zeros[0] + (add_128 ? 128 : 0);
        return;
    }
    attr.quant.type = OVXLIB_QUANT_PER_CHANNEL;
    attr.quant.scales = layer.scales.data;
    attr.quant.scale_count = static_cast<uint32_t>(layer.zeros.size);
    attr.quant.zero_points = layer.zeros.data;
    attr.quant.zero_point_count = static_cast<uint32_t>(layer.zeros.size);
    attr.quant.channel_dim = 0;
}

void layer_sizes(const LayerView& layer, Order order, ovxlib_tensor_attr& attr)
{
    const size_t n = layer.shape.size;
    std::array<uint32_t, 4> shape{};
    for (size_t i = 0; i < n; ++i)
        shape[i] = static_cast<uint32_t>(layer.shape[i]);
    if (order == Order::reversed_nchw && n > 3) {
        // [N, H, W, C] -> NCHW [N, C, H, W], then read last to first.
        shape = {shape[0], shape[3], shape[1], shape[2]};
    }
    for (size_t i = 0; i < n; ++i)
        attr.sizes[i] = shape[n - 1 - i];
    attr.dim_count = static_cast<uint32_t>(n);
}

ovxlib_tensor_attr layer_attr(const LayerView& layer, Order order, int32_t fmt)
{
    ovxlib_tensor_attr attr{};
    layer_sizes(layer, order, attr);
    attr.fmt = fmt;
    attr.type = g_build.int8_as_uint8 ? OVXLIB_TYPE_UINT8 : vx_type_of(layer.datatype);
    set_tensor_quant(attr, layer, g_build.int8_as_uint8);
    return attr;
}

int register_output(ovxlib_graph* graph, const LayerView& layer, uint32_t id)
{
    if (g_build.outputs_registered >= g_build.output_slots || !graph->output_ids)
        return refuse(layer, "is output %u but the graph reserves %u outputs",
                      g_build.outputs_registered + 1, g_build.output_slots);
    graph->output_ids[g_build.outputs_registered++] = id;
    return 0;
}

namespace {

int build_input(ovxlib_graph* graph, LayerView& layer, uint32_t* tensor_ids, bool is_output)
{
    const size_t n = layer.shape.size;
    const bool nchw_as_is = n == 4 && layer.shape[3] == 1;
    ovxlib_tensor_attr attr = layer_attr(layer, nchw_as_is ? Order::reversed_nchw : Order::reversed,
                                         nchw_as_is ? OVXLIB_FMT_NCHW : OVXLIB_FMT_NHWC);
    debug("input scale %f, input zp %d, qnt_type %d, vx_data_type %d\r\n",
          static_cast<double>(attr.quant.scale), attr.quant.zero_point, attr.quant.type, attr.type);
    if (g_build.inputs_registered >= g_build.input_slots || !graph->input_ids)
        return refuse(layer, "is input %u but the graph reserves %u inputs",
                      g_build.inputs_registered + 1, g_build.input_slots);
    uint32_t id = vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &attr, nullptr);
    if (id == OVXLIB_NO_TENSOR)
        return refuse(layer, "input tensor not added");
    tensor_ids[layer.index] = id;
    graph->input_ids[g_build.inputs_registered++] = id;
    if (n == 4 && !nchw_as_is) {
        debug("Adding transpose to NCHW node at input\n");
        ovxlib_tensor_attr nchw = attr;
        layer_sizes(layer, Order::reversed_nchw, nchw);
        nchw.fmt = OVXLIB_FMT_NCHW;
        uint32_t permuted = vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &nchw, nullptr);
        if (permuted == OVXLIB_NO_TENSOR)
            return refuse(layer, "permuted input tensor not added");
        ovxlib_node* node = vsi_nn_AddNode(graph, OVXLIB_OP_PERMUTE, 1, 1, nullptr);
        if (!node)
            return refuse(layer, "permute node not added");
        node->inputs[0] = id;
        node->outputs[0] = permuted;
        node->param.permute.perm = kToNchw.data();
        node->param.permute.dim_count = static_cast<uint32_t>(n);
        tensor_ids[layer.index] = permuted;
    }
    if (is_output)
        return register_output(graph, layer, tensor_ids[layer.index]);
    return 0;
}

// A pad layer whose next layer reads the pad's own input through
// "alt_input" and pads it itself.
bool padding_absorbed(const LayerView& layer, size_t count)
{
    if (layer.type != NN_LAYER_PAD || layer.index + 1 >= count || layer.inputs.empty())
        return false;
    std::optional<int> alt = param_int(layer_param(layer.model, layer.index + 1, "alt_input"));
    return alt && *alt >= 0 && static_cast<uint32_t>(*alt) == layer.inputs[0];
}

} // namespace
} // namespace ovx

using namespace ovx;

int korvel_CreateNeuralNode(ovxlib_graph* graph, size_t index, const void* model,
                            uint32_t* tensor_ids, int is_output)
{
    if (!model || memcmp(static_cast<const uint8_t*>(model) + 4, "KFMx", 4) != 0)
        return -1;
    LayerView layer = read_layer(model, index);
    const size_t count = nn_model_layer_count(model);
    const size_t consumer = find_consumer_layer(model, index, count);
    if ((consumer == 0 || padding_absorbed(layer, count)) && !is_output) {
        debug("Warning: layer has no connections...skipping\n");
        return 0;
    }
    const int consumer_type = consumer ? nn_model_layer_type_id(model, consumer) : 0;
    const char* datatype = nn_model_layer_datatype(model, index);
    debug("KFM Datatype: %s ", datatype ? datatype : "");
    g_build.int8_as_uint8 = false;
    if (is_quantised(layer.datatype)) {
        if (!resolve_quant(layer))
            return -1;
        if (layer.scales.size < layer.zeros.size)
            return refuse(layer, "has %zu scales for %zu zero points", layer.scales.size,
                          layer.zeros.size);
        debug("Scale = %f, zero_point = %d \n", static_cast<double>(layer.scales[0]), layer.zeros[0]);
    } else {
        debug("\n");
    }
    if (layer.type == NN_LAYER_CONSTANT)
        return build_constant(graph, layer, consumer_type, tensor_ids, is_output != 0);

    if (layer.shape.size == 0 || layer.shape.size > 4)
        return refuse(layer, "has rank %zu (1 to 4 supported)", layer.shape.size);
    for (size_t i = 0; i < layer.shape.size; ++i)
        if (layer.shape[i] <= 0)
            return refuse(layer, "has shape entry %zu of %d", i, layer.shape[i]);
    if (vx_type_of(layer.datatype) == OVXLIB_TYPE_INT8) {
        debug("Warning: KFM I8 datatype...changing VSI type and zero_point to U8\n");
        g_build.int8_as_uint8 = true;
    }
    if (layer.type == NN_LAYER_INPUT)
        return build_input(graph, layer, tensor_ids, is_output != 0);
    return build_operator(graph, layer, tensor_ids, is_output != 0);
}

extern "C" OVX_KFM_API ovxlib_graph* model2graph(const void* model, ovxlib_context* context,
                                                 uint32_t* tensor_ids)
{
    if (!context) {
        fprintf(stderr, "[ERROR]NULL VX context in model2graph\n");
        return nullptr;
    }
    if (!model) {
        fprintf(stderr, "[ERROR]NULL KFM model in model2graph\n");
        return nullptr;
    }
    if (!tensor_ids) {
        fprintf(stderr, "[ERROR]NULL VSI Tensor ID array in model2graph\n");
        return nullptr;
    }
    const char* env = getenv("KESTRUNE_OPENVX_DEBUG");
    if (env && env[0] == '1')
        g_build.debug = true;
    if (memcmp(static_cast<const uint8_t*>(model) + 4, "KFMx", 4) != 0)
        return nullptr;

    // An empty list reserves no slot: it counts as absent.
    size_t output_count = 0;
    const uint32_t* outputs = nn_model_outputs(model, &output_count);
    if (!outputs || output_count == 0) {
        outputs = nullptr;
        output_count = 1;
    }
    debug("KFMx Output indices = [");
    for (size_t k = 0; outputs && k < output_count; ++k)
        debug("%d ", static_cast<int>(outputs[k]));
    debug("]\n");
    size_t input_count = 0;
    if (!nn_model_inputs(model, &input_count) || input_count == 0)
        input_count = 1;
    if (input_count > UINT32_MAX || output_count > UINT32_MAX)
        return nullptr;

    ovxlib_graph* graph = vsi_nn_CreateGraph(context, 0, 0);
    if (!graph) {
        fprintf(stderr, "[ERROR]Failed to create empty VX graph\n");
        return nullptr;
    }
    g_build.input_slots = 0;
    g_build.output_slots = 0;
    if (vsi_nn_SetGraphInputs(graph, nullptr, static_cast<uint32_t>(input_count)) == 0)
        g_build.input_slots = static_cast<uint32_t>(input_count);
    if (vsi_nn_SetGraphOutputs(graph, nullptr, static_cast<uint32_t>(output_count)) == 0)
        g_build.output_slots = static_cast<uint32_t>(output_count);
    const size_t layers = nn_model_layer_count(model);
    debug("Created empty VX graph, inputs = %d, outputs = %d\n", static_cast<int>(input_count),
          static_cast<int>(output_count));
    debug("KFMx Layer count = %d\n", static_cast<int>(layers));

    g_build.inputs_registered = 0;
    g_build.outputs_registered = 0;
    if (layers == 0)
        return graph;
    std::unique_ptr<uint32_t, FreeDeleter> consumers(consumer_table(model, layers));
    // A list of one entry names no layer: the last layer is the output.
    const bool listed = outputs && output_count > 1;
    std::unique_ptr<uint8_t, FreeDeleter> marks(listed ? output_marks(outputs, output_count, layers) : nullptr);
    if (!consumers || (listed && !marks)) {
        fprintf(stderr, "[ERROR]Out of memory in model2graph\n");
        vsi_nn_ReleaseGraph(&graph);
        return nullptr;
    }
    g_build.model = model;
    g_build.consumers = consumers.get();
    g_build.layer_count = layers;
    // A layer without a tensor (skipped) stays recognisable to its consumers.
    for (size_t i = 0; i < layers; ++i)
        tensor_ids[i] = OVXLIB_NO_TENSOR;
    for (size_t i = 0; i < layers; ++i) {
        const char* type = nn_model_layer_type(model, i);
        const char* name = nn_model_layer_name(model, i);
        debug("\nKFM layer Type: %s Name: %s \n", type ? type : "", name ? name : "");
        const int is_output = marks ? marks.get()[i] : i == layers - 1;
        int status = korvel_CreateNeuralNode(graph, i, model, tensor_ids, is_output);
        if (status == -1) {
            fprintf(stderr, "[ERROR]Failed to create VX node of type:%s, name:%s\n", type ? type : "",
                    name ? name : "");
            g_build.consumers = nullptr;
            ovx_kfm_free_node_arrays(graph);
            vsi_nn_ReleaseGraph(&graph);
            return nullptr;
        }
    }
    g_build.consumers = nullptr;
    return graph;
}
