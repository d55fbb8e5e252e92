/* Operator layers: one case per KFM layer type, each adding its node(s) and
 * the layer's output tensor. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <array>

#include "builder.h"

namespace ovx {
namespace {

constexpr std::array<uint32_t, 4> kToNhwc = {2, 0, 1, 3};
constexpr uint32_t kMaxConcatInputs = 16;
constexpr size_t kMaxReduceAxes = 4;

// What every case works on.
struct Build {
    ovxlib_graph* graph;
    LayerView& layer;
    uint32_t* ids;
    bool is_output;
    bool quantised;
};

int missing(const LayerView& layer, const char* key, int result)
{
    printf("%s [%s] missing required parameter: %s\r\n", kBuilder, layer.name, key);
    return result;
}

// The tensor of layer `source` as an operand of the layer being built.
int tensor_of(Build& b, uint32_t source, uint32_t* id)
{
    if (source >= b.layer.index)
        return refuse(b.layer, "reads layer %u, which is not an earlier layer", source);
    if (b.ids[source] == OVXLIB_NO_TENSOR)
        return refuse(b.layer, "reads layer %u, which has no tensor", source);
    *id = b.ids[source];
    return 0;
}

int take_input(Build& b, size_t k, uint32_t* id)
{
    if (k >= b.layer.inputs.size)
        return refuse(b.layer, "has %zu inputs, needs at least %zu", b.layer.inputs.size, k + 1);
    return tensor_of(b, b.layer.inputs[k], id);
}

const ovxlib_tensor_attr* attr_of(Build& b, uint32_t id)
{
    const ovxlib_tensor* t = vsi_nn_GetTensor(b.graph, id);
    return t ? &t->attr : nullptr;
}

void set_node_vx_params(ovxlib_node* node)
{
    node->vx.overflow_policy = OVXLIB_OVERFLOW_SATURATE;
    node->vx.rounding_policy = OVXLIB_ROUNDING_NEAREST_EVEN;
    node->vx.accumulator_bits = 32;
    node->vx.accumulator_enable = 1;
    switch (node->op) {
    case OVXLIB_OP_ADD:
    case OVXLIB_OP_MULTIPLY:
    case OVXLIB_OP_POOL:
    case OVXLIB_OP_REDUCE:
        break;
    default:
        node->vx.down_scale_size_rounding = OVXLIB_DOWN_SCALE_FLOOR;
        break;
    }
}

// A node with its inputs; vx parameters set for a quantised layer.
ovxlib_node* add_node(Build& b, int32_t op, const uint32_t* inputs, uint32_t input_count)
{
    ovxlib_node* node = vsi_nn_AddNode(b.graph, op, input_count, 1, nullptr);
    if (!node) {
        refuse(b.layer, "node of operation %d not added", op);
        return nullptr;
    }
    for (uint32_t k = 0; k < input_count; ++k)
        node->inputs[k] = inputs[k];
    if (b.quantised)
        set_node_vx_params(node);
    return node;
}

uint32_t add_tensor(Build& b, const ovxlib_tensor_attr& attr)
{
    uint32_t id = vsi_nn_AddTensor(b.graph, OVXLIB_AUTO_ID, &attr, nullptr);
    if (id == OVXLIB_NO_TENSOR)
        refuse(b.layer, "output tensor not added");
    return id;
}

// The layer's result as the node's output: virtual inside the graph, a
// host tensor for an output, permuted back to NHWC when it is an NCHW image.
int emit_output(Build& b, ovxlib_node* node, ovxlib_tensor_attr attr)
{
    const LayerView& l = b.layer;
    if (!b.is_output) {
        attr.is_virtual = 1;
        uint32_t id = add_tensor(b, attr);
        if (id == OVXLIB_NO_TENSOR)
            return -1;
        node->outputs[0] = id;
        b.ids[l.index] = id;
        return 0;
    }
    if (attr.dim_count != 4 || l.shape.size != 4 || l.shape[3] < 2 || attr.fmt == OVXLIB_FMT_NHWC) {
        uint32_t id = add_tensor(b, attr);
        if (id == OVXLIB_NO_TENSOR)
            return -1;
        node->outputs[0] = id;
        b.ids[l.index] = id;
        return register_output(b.graph, l, id);
    }
    debug("Permute output layer to NHWC\n");
    attr.is_virtual = 1;
    uint32_t inner = add_tensor(b, attr);
    if (inner == OVXLIB_NO_TENSOR)
        return -1;
    node->outputs[0] = inner;
    ovxlib_tensor_attr nhwc = attr;
    nhwc.is_virtual = 0;
    layer_sizes(l, Order::reversed, nhwc);
    nhwc.fmt = OVXLIB_FMT_NHWC;
    uint32_t id = add_tensor(b, nhwc);
    if (id == OVXLIB_NO_TENSOR)
        return -1;
    ovxlib_node* permute = vsi_nn_AddNode(b.graph, OVXLIB_OP_PERMUTE, 1, 1, nullptr);
    if (!permute)
        return refuse(l, "permute node not added");
    permute->inputs[0] = inner;
    permute->outputs[0] = id;
    permute->param.permute.perm = kToNhwc.data();
    permute->param.permute.dim_count = attr.dim_count;
    b.ids[l.index] = id;
    return register_output(b.graph, l, id);
}

ovxlib_tensor_attr nchw_attr(const Build& b) { return layer_attr(b.layer, Order::reversed_nchw, OVXLIB_FMT_NCHW); }

// A list parameter read by NHWC position: four entries at least.
int nhwc_list(Build& b, const void* param, const char* key, Ints* out)
{
    *out = param_list(param);
    if (out->size < 4)
        return refuse(b.layer, "parameter %s has %zu entries, needs 4", key, out->size);
    return 0;
}

// "head" and "tail" interleaved by NHWC dimension; a missing key leaves 0.
int read_pad_params(Build& b, std::array<int32_t, 8>& pad)
{
    pad.fill(0);
    const char* keys[2] = {"head", "tail"};
    for (int side = 0; side < 2; ++side) {
        const void* p = layer_param(b.layer.model, b.layer.index, keys[side]);
        if (!p)
            continue;
        Ints v;
        if (nhwc_list(b, p, keys[side], &v) != 0)
            return -1;
        for (size_t d = 0; d < 4; ++d) {
            if (v[d] < 0)
                return refuse(b.layer, "parameter %s has a negative entry", keys[side]);
            pad[2 * d + static_cast<size_t>(side)] = v[d];
        }
    }
    return 0;
}

// conv2d and pool2d read their data from "alt_input" when the layer has it.
int data_input(Build& b, uint32_t* id)
{
    const void* alt = layer_param(b.layer.model, b.layer.index, "alt_input");
    if (!alt)
        return take_input(b, 0, id);
    std::optional<int> source = param_int(alt);
    if (!source || *source < 0)
        return refuse(b.layer, "parameter alt_input names no layer");
    return tensor_of(b, static_cast<uint32_t>(*source), id);
}

// The "data" shape of a weights layer, with at least `need` entries.
int weight_shape(Build& b, size_t k, size_t need, Ints* w)
{
    if (k >= b.layer.inputs.size)
        return refuse(b.layer, "has %zu inputs, needs at least %zu", b.layer.inputs.size, k + 1);
    const void* data = layer_param(b.layer.model, b.layer.inputs[k], "data");
    if (!data)
        return refuse(b.layer, "weights layer %u has no data", b.layer.inputs[k]);
    *w = param_list(data);
    if (w->size < need)
        return refuse(b.layer, "weights have %zu dimensions, need %zu", w->size, need);
    for (size_t i = 0; i < w->size; ++i)
        if ((*w)[i] <= 0)
            return refuse(b.layer, "weights have a dimension of %d", (*w)[i]);
    return 0;
}

// The "activation" parameter: its node's op, 0 for none, -1 refused.
int activation_op(Build& b, int* op)
{
    *op = 0;
    const void* p = layer_param(b.layer.model, b.layer.index, "activation");
    if (!p)
        return 0;
    const char* name = param_text(p);
    if (!name)
        return refuse(b.layer, "parameter activation carries no name");
    struct Entry {
        const char* name;
        int op;
    };
    static constexpr Entry kActivations[] = {{"LINEAR", 0},        {"RELU", OVXLIB_OP_RELU},
                                             {"RELU6", OVXLIB_OP_RELU6}, {"SIGMOID", OVXLIB_OP_SIGMOID},
                                             {"SIGMOID_FAST", OVXLIB_OP_SIGMOID}, {"TANH", OVXLIB_OP_TANH}};
    for (const Entry& e : kActivations)
        if (strcasecmp(name, e.name) == 0) {
            *op = e.op;
            return 0;
        }
    fprintf(stderr, "unsupported activation for conv: %s\r\n", name);
    return -1;
}

// The main node's result, through the activation node when there is one.
int emit_with_activation(Build& b, ovxlib_node* node, int activation, const ovxlib_tensor_attr& attr)
{
    if (activation == 0)
        return emit_output(b, node, attr);
    ovxlib_tensor_attr inner = attr;
    inner.is_virtual = 1;
    uint32_t id = add_tensor(b, inner);
    if (id == OVXLIB_NO_TENSOR)
        return -1;
    node->outputs[0] = id;
    ovxlib_node* act = add_node(b, activation, &id, 1);
    if (!act)
        return -1;
    if (activation == OVXLIB_OP_TANH) {
        act->param.tanh_scale.scale_a = 1.0f;
        act->param.tanh_scale.scale_b = 1.0f;
    }
    return emit_output(b, act, attr);
}

// "groups": 1 when absent; present without an integer skips the layer (6).
int read_groups(Build& b, int* groups)
{
    *groups = 1;
    const void* p = layer_param(b.layer.model, b.layer.index, "groups");
    if (!p)
        return 0;
    std::optional<int> v = param_int(p);
    if (!v) {
        fprintf(stderr, "missing data from groups paramter\r\n");
        return 6;
    }
    *groups = *v;
    return 0;
}

// Operands of conv2d and deconv2d: data, weights, bias when there are three.
int conv_operands(Build& b, bool alt, std::array<uint32_t, 3>& in, uint32_t* count)
{
    if ((alt ? data_input(b, &in[0]) : take_input(b, 0, &in[0])) != 0 || take_input(b, 1, &in[1]) != 0)
        return -1;
    *count = 2;
    if (b.layer.inputs.size > 2) {
        if (take_input(b, 2, &in[2]) != 0)
            return -1;
        *count = 3;
    }
    return 0;
}

// What conv2d and deconv2d read before their node: strides, (conv2d only)
// dilations, groups, activation, weight shape, (conv2d only) pads, operands.
struct ConvSetup {
    Ints strides;
    std::array<uint32_t, 2> dilation = {1, 1};
    int groups = 1;
    int activation = 0;
    Ints w;
    std::array<int32_t, 8> pad{};
    std::array<uint32_t, 3> in{};
    uint32_t count = 0;
};

int conv_setup(Build& b, bool conv, ConvSetup& s)
{
    const LayerView& l = b.layer;
    const void* strides_p = layer_param(l.model, l.index, "strides");
    if (!strides_p)
        return missing(l, "strides", -1);
    if (nhwc_list(b, strides_p, "strides", &s.strides) != 0)
        return -1;
    if (s.strides[1] <= 0 || s.strides[2] <= 0)
        return refuse(l, "parameter strides has an entry below 1");
    if (const void* p = conv ? layer_param(l.model, l.index, "dilations") : nullptr) {
        Ints d;
        if (nhwc_list(b, p, "dilations", &d) != 0)
            return -1;
        if (d[1] <= 0 || d[2] <= 0)
            return refuse(l, "parameter dilations has an entry below 1");
        s.dilation = {static_cast<uint32_t>(d[2]), static_cast<uint32_t>(d[1])};
        debug("Dilation_h = %d, dilation_w = %d\n", d[1], d[2]);
    }
    if (int status = read_groups(b, &s.groups))
        return status;
    if (activation_op(b, &s.activation) != 0 || weight_shape(b, 1, 4, &s.w) != 0)
        return -1;
    if (conv && read_pad_params(b, s.pad) != 0)
        return -1;
    return conv_operands(b, conv, s.in, &s.count);
}

int conv2d(Build& b)
{
    ConvSetup s;
    if (int status = conv_setup(b, true, s))
        return status;
    ovxlib_node* node = add_node(b, OVXLIB_OP_CONV2D, s.in.data(), s.count);
    if (!node)
        return -1;
    ovxlib_conv_param& c = node->param.conv;
    c.ksize[0] = static_cast<uint32_t>(s.w[1]);
    c.ksize[1] = static_cast<uint32_t>(s.w[0]);
    c.stride[0] = static_cast<uint32_t>(s.strides[2]);
    c.stride[1] = static_cast<uint32_t>(s.strides[1]);
    c.pad[0] = static_cast<uint32_t>(s.pad[4]);
    c.pad[1] = static_cast<uint32_t>(s.pad[5]);
    c.pad[2] = static_cast<uint32_t>(s.pad[2]);
    c.pad[3] = static_cast<uint32_t>(s.pad[3]);
    debug("Conv2d Pad size: [%d %d %d %d]\n", s.pad[4], s.pad[5], s.pad[2], s.pad[3]);
    c.pad_type = OVXLIB_PAD_EXPLICIT;
    c.weights = static_cast<uint32_t>(s.w[3]);
    c.group = 1;
    c.dilation[0] = s.dilation[0];
    c.dilation[1] = s.dilation[1];
    if (s.groups > 1 && s.groups == b.layer.shape.at(3).value_or(0)) {
        c.multiplier = 1;
        c.weights = static_cast<uint32_t>(s.w[2]) * static_cast<uint32_t>(s.w[3]);
    }
    return emit_with_activation(b, node, s.activation, nchw_attr(b));
}

int deconv2d(Build& b)
{
    ConvSetup s;
    if (int status = conv_setup(b, false, s))
        return status;
    ovxlib_node* node = add_node(b, OVXLIB_OP_DECONVOLUTION, s.in.data(), s.count);
    if (!node)
        return -1;
    ovxlib_conv_param& c = node->param.deconv;
    c.ksize[0] = static_cast<uint32_t>(s.w[0]);
    c.ksize[1] = static_cast<uint32_t>(s.w[1]);
    c.weights = static_cast<uint32_t>(s.w[3]);
    c.stride[0] = static_cast<uint32_t>(s.strides[2]);
    c.stride[1] = static_cast<uint32_t>(s.strides[1]);
    c.pad_type = OVXLIB_PAD_SAME;
    const uint32_t p = b.quantised ? 1 : 0;
    c.pad[0] = c.pad[1] = c.pad[2] = c.pad[3] = p;
    c.group = 1;
    debug("Deconv2d params: ksize[0] %d\r\n ksize[1] %d\r\n weights %d\r\n stride[0] %d\r\n"
          " stride[1] %d\r\n pad_type %d\r\n pad %d %d %d %d\r\n group %d\r\n",
          c.ksize[0], c.ksize[1], c.weights, c.stride[0], c.stride[1], c.pad_type, c.pad[0], c.pad[1],
          c.pad[2], c.pad[3], c.group);
    return emit_with_activation(b, node, s.activation, nchw_attr(b));
}

int pool2d(Build& b)
{
    const LayerView& l = b.layer;
    const void* ksize_p = layer_param(l.model, l.index, "ksize");
    if (!ksize_p)
        return missing(l, "ksize", -1);
    const void* strides_p = layer_param(l.model, l.index, "strides");
    if (!strides_p)
        return missing(l, "strides", -1);
    const void* pooling_p = layer_param(l.model, l.index, "pooling");
    if (!pooling_p)
        return missing(l, "pooling", -1);
    Ints ksize, strides;
    if (nhwc_list(b, ksize_p, "ksize", &ksize) != 0 || nhwc_list(b, strides_p, "strides", &strides) != 0)
        return -1;
    if (ksize[1] <= 0 || ksize[2] <= 0 || strides[1] <= 0 || strides[2] <= 0)
        return refuse(l, "parameters ksize and strides need entries of 1 or more");
    const char* pooling = param_text(pooling_p);
    if (!pooling)
        return refuse(l, "parameter pooling carries no name");
    std::array<int32_t, 8> pad;
    if (read_pad_params(b, pad) != 0)
        return -1;
    uint32_t in = 0;
    if (data_input(b, &in) != 0)
        return -1;
    ovxlib_node* node = add_node(b, OVXLIB_OP_POOL, &in, 1);
    if (!node)
        return -1;
    ovxlib_pool_param& p = node->param.pool;
    p.ksize[0] = static_cast<uint32_t>(ksize[2]);
    p.ksize[1] = static_cast<uint32_t>(ksize[1]);
    p.stride[0] = static_cast<uint32_t>(strides[2]);
    p.stride[1] = static_cast<uint32_t>(strides[1]);
    p.pad[0] = static_cast<uint32_t>(pad[4]);
    p.pad[1] = static_cast<uint32_t>(pad[5]);
    p.pad[2] = static_cast<uint32_t>(pad[2]);
    p.pad[3] = static_cast<uint32_t>(pad[3]);
    p.pad_type = OVXLIB_PAD_EXPLICIT;
    if (ksize[1] == 1 && ksize[2] == 1)
        p.round_type = OVXLIB_ROUND_FLOOR;
    const bool unpadded = p.pad[0] == 0 && p.pad[1] == 0 && p.pad[2] == 0 && p.pad[3] == 0;
    if (strcmp(pooling, "MAXIMUM") == 0)
        p.type = OVXLIB_POOL_MAX;
    else
        p.type = unpadded ? OVXLIB_POOL_AVG : OVXLIB_POOL_AVG_EXCLUDE_PAD;
    debug("Pool kernel size: [%d %d] Strides: [%d %d]", p.ksize[0], p.ksize[1], p.stride[0], p.stride[1]);
    debug("Pad size: [%d %d %d %d]\n", p.pad[0], p.pad[1], p.pad[2], p.pad[3]);
    return emit_output(b, node, nchw_attr(b));
}

int pad(Build& b)
{
    const LayerView& l = b.layer;
    const void* head_p = layer_param(l.model, l.index, "head");
    if (!head_p)
        return missing(l, "head", 6);
    const void* tail_p = layer_param(l.model, l.index, "tail");
    if (!tail_p)
        return missing(l, "tail", 6);
    Ints head, tail;
    if (nhwc_list(b, head_p, "head", &head) != 0 || nhwc_list(b, tail_p, "tail", &tail) != 0)
        return -1;
    if (head[1] < 0 || head[2] < 0 || tail[1] < 0 || tail[2] < 0)
        return refuse(l, "pads by a negative amount");
    uint32_t in = 0;
    if (take_input(b, 0, &in) != 0)
        return -1;
    ovxlib_node* node = add_node(b, OVXLIB_OP_PAD, &in, 1);
    if (!node)
        return -1;
    ovxlib_pad_param& p = node->param.pad;
    // Owned by the node from here: freed with the graph's other node arrays.
    p.front_size = static_cast<uint32_t*>(calloc(4, sizeof(uint32_t)));
    p.back_size = static_cast<uint32_t*>(calloc(4, sizeof(uint32_t)));
    if (!p.front_size || !p.back_size)
        return refuse(l, "out of memory");
    p.front_size[0] = static_cast<uint32_t>(head[2]);
    p.front_size[1] = static_cast<uint32_t>(head[1]);
    p.back_size[0] = static_cast<uint32_t>(tail[2]);
    p.back_size[1] = static_cast<uint32_t>(tail[1]);
    p.dim_count = 4;
    p.const_value = 0.0f;
    p.mode = OVXLIB_PAD_MODE_CONSTANT;
    debug("Pad params: head: %d %d, tail: %d %d\r\n", head[1], head[2], tail[1], tail[2]);
    return emit_output(b, node, nchw_attr(b));
}

int concat(Build& b)
{
    const LayerView& l = b.layer;
    const size_t count = l.inputs.size;
    if (count > kMaxConcatInputs) {
        printf("%s [%s] requested %d tensors to concatenate but maximum is %d\n", kBuilder, l.name,
               static_cast<int>(count), static_cast<int>(kMaxConcatInputs));
        return -1;
    }
    const void* axis_p = layer_param(l.model, l.index, "axis");
    if (!axis_p)
        return missing(l, "axis", -1);
    std::optional<int> axis = param_int(axis_p);
    if (!axis || *axis < 0)
        return refuse(l, "parameter axis carries no axis of 0 or more");
    if (count == 0)
        return refuse(l, "has no inputs");
    std::array<uint32_t, kMaxConcatInputs> in{};
    for (size_t k = 0; k < count; ++k)
        if (take_input(b, k, &in[k]) != 0)
            return -1;
    const ovxlib_tensor_attr* first = attr_of(b, in[0]);
    const bool nhwc = first && first->fmt == OVXLIB_FMT_NHWC;
    const int n = static_cast<int>(l.shape.size);
    uint32_t node_axis = 0;
    if (nhwc) {
        if (*axis >= n)
            return refuse(l, "concatenates along axis %d of a rank %d tensor", *axis, n);
        node_axis = static_cast<uint32_t>(n - *axis - 1);
    } else {
        node_axis = map_concat_axis(*axis);
    }
    debug("original concat kfm axis: %d ; npu_axis: %d\r\n", *axis, static_cast<int>(node_axis));
    ovxlib_node* node = add_node(b, OVXLIB_OP_CONCAT, in.data(), static_cast<uint32_t>(count));
    if (!node)
        return -1;
    node->param.concat.axis = node_axis;
    return emit_output(b, node, nhwc ? layer_attr(l, Order::reversed, OVXLIB_FMT_NHWC) : nchw_attr(b));
}

int slice(Build& b)
{
    const LayerView& l = b.layer;
    debug("op_slice registration\r");
    const void* axes_p = layer_param(l.model, l.index, "axes");
    if (!axes_p)
        return missing(l, "axes", -1);
    const void* head_p = layer_param(l.model, l.index, "head");
    if (!head_p)
        return missing(l, "head", -1);
    const void* tail_p = layer_param(l.model, l.index, "tail");
    if (!tail_p)
        return missing(l, "tail", -1);
    uint32_t in = 0;
    if (take_input(b, 0, &in) != 0)
        return -1;
    const ovxlib_tensor_attr* src = attr_of(b, in);
    const size_t n = l.shape.size;
    if (!src || src->dim_count != n)
        return refuse(l, "slices a tensor of another rank");
    Ints axes = param_list(axes_p), head = param_list(head_p), tail = param_list(tail_p);
    bool in_order = axes.size == n;
    for (size_t i = 0; in_order && i < n; ++i)
        in_order = axes[i] == static_cast<int32_t>(i);
    if (!in_order || head.size != n || tail.size != n)
        return refuse(l, "needs axes 0 to %zu in order with a head and a tail entry each", n - 1);
    // Size dimension i holds KFM axis 4-D {W, H, C, N}, else the reverse.
    static constexpr std::array<size_t, 4> kNchwAxis = {2, 1, 3, 0};
    const bool nchw = n == 4 && src->fmt != OVXLIB_FMT_NHWC;
    std::array<int32_t, 4> start{}, length{};
    for (size_t i = 0; i < n; ++i) {
        const size_t k = nchw ? kNchwAxis[i] : n - 1 - i;
        const int64_t extent = src->sizes[i];
        int64_t s = head[k], e = tail[k];
        if (s < 0)
            s += extent;
        if (e <= 0)
            e += extent;
        if (s < 0 || e > extent || s >= e)
            return refuse(l, "slices axis %zu from %d to %d of %lld", k, head[k], tail[k],
                          static_cast<long long>(extent));
        start[i] = static_cast<int32_t>(s);
        length[i] = static_cast<int32_t>(e - s);
    }
    ovxlib_node* node = add_node(b, OVXLIB_OP_SLICE, &in, 1);
    if (!node)
        return -1;
    ovxlib_slice_param& p = node->param.slice;
    p.start = static_cast<int32_t*>(calloc(n, sizeof(int32_t)));
    p.length = static_cast<int32_t*>(calloc(n, sizeof(int32_t)));
    if (!p.start || !p.length)
        return refuse(l, "out of memory");
    p.dim_count = static_cast<uint32_t>(n);
    debug("n_axes %d\r\n", static_cast<int>(n));
    for (size_t i = 0; i < n; ++i) {
        p.start[i] = start[i];
        p.length[i] = length[i];
        debug("%d head %d, length %d\r\n", static_cast<int>(i), start[i], length[i]);
    }
    return emit_output(b, node, nchw ? nchw_attr(b) : layer_attr(l, Order::reversed, src->fmt));
}

int resize(Build& b)
{
    const LayerView& l = b.layer;
    debug("op_resize registration\r");
    if (l.shape.size != 4)
        return refuse(l, "resizes a tensor of rank %zu", l.shape.size);
    uint32_t in = 0;
    if (take_input(b, 0, &in) != 0)
        return -1;
    auto flag = [&](const char* key) {
        return param_int(layer_param(l.model, l.index, key)).value_or(0);
    };
    const int mode = flag("mode");
    ovxlib_node* node = add_node(b, OVXLIB_OP_RESIZE, &in, 1);
    if (!node)
        return -1;
    ovxlib_resize_param& p = node->param.resize;
    if (mode == 0 || mode == 1)
        p.type = mode;
    p.size[0] = static_cast<uint32_t>(l.shape[1]);
    p.size[1] = static_cast<uint32_t>(l.shape[2]);
    p.align_corners = flag("align_corners") != 0;
    p.half_pixel_centers = flag("half_pixel_centers") != 0;
    debug("op_resize align_corners %d\r\n, half_pixel_centers %d\r\n, mode %d\r\n Oh %d\r\n Ow %d\r\n",
          p.align_corners, p.half_pixel_centers, mode, l.shape[1], l.shape[2]);
    return emit_output(b, node, nchw_attr(b));
}

int eltwise(Build& b, int32_t op)
{
    std::array<uint32_t, 2> in{};
    if (take_input(b, 0, &in[0]) != 0 || take_input(b, 1, &in[1]) != 0)
        return -1;
    ovxlib_node* node = add_node(b, op, in.data(), 2);
    if (!node)
        return -1;
    if (op == OVXLIB_OP_MULTIPLY || op == OVXLIB_OP_DIVIDE)
        node->param.eltwise.scale = 1.0f;
    return emit_output(b, node, nchw_attr(b));
}

int unary(Build& b, int32_t op)
{
    const LayerView& l = b.layer;
    uint32_t in = 0;
    if (take_input(b, 0, &in) != 0)
        return -1;
    ovxlib_node* node = add_node(b, op, &in, 1);
    if (!node)
        return -1;
    switch (op) {
    case OVXLIB_OP_TANH:
        node->param.tanh_scale.scale_a = 1.0f;
        node->param.tanh_scale.scale_b = 1.0f;
        break;
    case OVXLIB_OP_LEAKY_RELU:
        node->param.leaky_relu.ratio = param_real(layer_param(l.model, l.index, "alpha")).value_or(0.0f);
        debug("leaky_ReLu ratio = %f\r\n", static_cast<double>(node->param.leaky_relu.ratio));
        break;
    case OVXLIB_OP_SWISH:
        node->param.swish.beta = 1.0f;
        node->param.swish.kind = 1;
        break;
    case OVXLIB_OP_SOFTMAX:
        return emit_output(b, node, layer_attr(l, Order::reversed, OVXLIB_FMT_NCHW));
    default:
        break;
    }
    return emit_output(b, node, nchw_attr(b));
}

// quant, dequant and reshape: a RESHAPE where the bytes keep their order,
// else a PERMUTE of an NCHW image back to NHWC, carrying the layer's type.
int reshape(Build& b)
{
    const LayerView& l = b.layer;
    uint32_t in = 0;
    if (take_input(b, 0, &in) != 0)
        return -1;
    const ovxlib_tensor_attr* t = attr_of(b, in);
    if (!t)
        return refuse(l, "input tensor %u not found", in);
    const uint32_t n = static_cast<uint32_t>(l.shape.size);
    ovxlib_tensor_attr nchw = nchw_attr(b);
    bool same_sizes = t->dim_count == n;
    for (uint32_t i = 0; same_sizes && i < n; ++i)
        same_sizes = t->sizes[i] == nchw.sizes[i];
    const bool reshaped = (t->dim_count == 4 && t->sizes[0] == 1 && t->sizes[1] == 1 && n < 3) ||
                          (n == 4 && l.shape[1] == 1 && l.shape[2] == 1 && t->dim_count < 4) ||
                          same_sizes || t->fmt == OVXLIB_FMT_NHWC;
    if (reshaped) {
        ovxlib_node* node = add_node(b, OVXLIB_OP_RESHAPE, &in, 1);
        if (!node)
            return -1;
        if (t->fmt == OVXLIB_FMT_NHWC)
            return emit_output(b, node, layer_attr(l, Order::reversed, OVXLIB_FMT_NHWC));
        return emit_output(b, node, nchw);
    }
    const uint32_t dims = t->dim_count;
    ovxlib_node* node = add_node(b, OVXLIB_OP_PERMUTE, &in, 1);
    if (!node)
        return -1;
    node->param.permute.perm = kToNhwc.data();
    node->param.permute.dim_count = dims;
    debug("Adding transpose node for next dense/matmul/concat layer\n");
    return emit_output(b, node, layer_attr(l, Order::reversed, OVXLIB_FMT_NHWC));
}

// matmul (FCL) and dense (FCL2): the weights become N rows of K first.
int fully_connected(Build& b, int32_t op)
{
    const LayerView& l = b.layer;
    const bool dense = op == OVXLIB_OP_FCL2;
    int activation = 0;
    if (dense) {
        if (activation_op(b, &activation) != 0)
            return -1;
    } else if (layer_param(l.model, l.index, "transpose_a") || layer_param(l.model, l.index, "transpose_b")) {
        return refuse(l, "transposed matmul operands are not supported");
    }
    Ints w;
    if (weight_shape(b, 1, 2, &w) != 0)
        return -1;
    std::array<uint32_t, 3> in{};
    const uint32_t count = dense ? 3 : 2;
    for (uint32_t k = 0; k < count; ++k)
        if (take_input(b, k, &in[k]) != 0)
            return -1;
    ovxlib_tensor* weights = vsi_nn_GetTensor(b.graph, in[1]);
    if (!weights)
        return refuse(l, "weights tensor %u not found", in[1]);
    if (weights->attr.fmt == OVXLIB_FMT_NHWC) {
        static constexpr std::array<uint32_t, 2> kTranspose = {1, 0};
        const std::array<uint32_t, 2> sizes = {static_cast<uint32_t>(w[0]), static_cast<uint32_t>(w[1])};
        if (vsi_nn_TransposeTensor(b.graph, weights, kTranspose.data(), 2, sizes.data()) != 0)
            return refuse(l, "weights not transposed");
        weights->attr.fmt = OVXLIB_FMT_NCHW;
        debug(dense ? "Transposed weights into dense layer\n" : "Transposed weights into matmul layer\n");
    }
    ovxlib_node* node = add_node(b, op, in.data(), count);
    if (!node)
        return -1;
    node->param.fcl.weights = static_cast<uint32_t>(w[1]);
    node->param.fcl.axis = 0;
    return emit_with_activation(b, node, activation, layer_attr(l, Order::reversed, OVXLIB_FMT_NCHW));
}

int reduce_mean(Build& b)
{
    const LayerView& l = b.layer;
    const void* axes_p = layer_param(l.model, l.index, "axes");
    if (!axes_p)
        return missing(l, "axes", 6);
    Ints axes = param_list(axes_p);
    if (axes.empty() || axes.size > kMaxReduceAxes)
        return refuse(l, "reduces %zu axes (1 to %zu supported)", axes.size, kMaxReduceAxes);
    for (size_t k = 0; k < axes.size; ++k)
        if (axes[k] < 0)
            return refuse(l, "reduces axis %d", axes[k]);
    uint32_t in = 0;
    if (take_input(b, 0, &in) != 0)
        return -1;
    const ovxlib_tensor_attr* t = attr_of(b, in);
    if (!t)
        return refuse(l, "input tensor %u not found", in);
    const uint32_t input_dims = t->dim_count;
    ovxlib_node* node = add_node(b, OVXLIB_OP_REDUCE, &in, 1);
    if (!node)
        return -1;
    ovxlib_reduce_param& p = node->param.reduce;
    p.axis = static_cast<int32_t*>(calloc(axes.size, sizeof(int32_t)));
    if (!p.axis)
        return refuse(l, "out of memory");
    for (size_t k = 0; k < axes.size; ++k)
        p.axis[k] = static_cast<int32_t>(map_concat_axis(axes[k]));
    p.axis_count = static_cast<uint32_t>(axes.size);
    p.type = OVXLIB_REDUCE_MEAN;
    p.keep_dim = input_dims == l.shape.size;
    debug("Reduce_mean axes: [%d %d] num_axes: %d  keep_dim: %d\n", p.axis[0],
          axes.size > 1 ? p.axis[1] : 0, static_cast<int>(p.axis_count), p.keep_dim);
    return emit_output(b, node, nchw_attr(b));
}

} // namespace

int build_operator(ovxlib_graph* graph, LayerView& layer, uint32_t* tensor_ids, bool is_output)
{
    Build b{graph, layer, tensor_ids, is_output, is_quantised(layer.datatype)};
    switch (layer.type) {
    case NN_LAYER_PAD:
        return pad(b);
    case NN_LAYER_CONCAT:
        return concat(b);
    case NN_LAYER_SLICE:
        return slice(b);
    case NN_LAYER_RESIZE:
        return resize(b);
    case NN_LAYER_ADD:
        return eltwise(b, OVXLIB_OP_ADD);
    case NN_LAYER_SUBTRACT:
        return eltwise(b, OVXLIB_OP_SUBTRACT);
    case NN_LAYER_MULTIPLY:
        return eltwise(b, OVXLIB_OP_MULTIPLY);
    case NN_LAYER_DIVIDE:
        return eltwise(b, OVXLIB_OP_DIVIDE);
    case NN_LAYER_QUANT:
    case NN_LAYER_DEQUANT:
    case NN_LAYER_RESHAPE:
        return reshape(b);
    case NN_LAYER_SIGMOID:
        return unary(b, OVXLIB_OP_SIGMOID);
    case NN_LAYER_TANH:
        return unary(b, OVXLIB_OP_TANH);
    case NN_LAYER_RELU:
        return unary(b, OVXLIB_OP_RELU);
    case NN_LAYER_RELU6:
        return unary(b, OVXLIB_OP_RELU6);
    case NN_LAYER_SOFTMAX:
        return unary(b, OVXLIB_OP_SOFTMAX);
    case NN_LAYER_LEAKY_RELU:
        return unary(b, OVXLIB_OP_LEAKY_RELU);
    case NN_LAYER_SWISH:
        return unary(b, OVXLIB_OP_SWISH);
    case NN_LAYER_MATMUL:
        return fully_connected(b, OVXLIB_OP_FCL);
    case NN_LAYER_DENSE:
        return fully_connected(b, OVXLIB_OP_FCL2);
    case NN_LAYER_CONV2D:
        return conv2d(b);
    case NN_LAYER_POOL2D:
        return pool2d(b);
    case NN_LAYER_DECONV2D:
        return deconv2d(b);
    case NN_LAYER_REDUCE_MEAN:
        return reduce_mean(b);
    default:
        fprintf(stderr, "[ERROR]Unsupported KFM operation\n");
        return -1;
    }
}

} // namespace ovx
