/* Set-up and verification of a graph: every id exists, node inputs are
 * constants, graph inputs or outputs of earlier nodes, each tensor has one
 * producer, every list slot is filled, and each node's geometry holds.  The
 * first refusal prints one line and ends the check. */
#include <cmath>
#include <cstdio>
#include <cstring>

#include "resource.h"
#include "stand_in.h"

namespace ovxlib {
namespace {

#define REFUSE(c, ...) (refuse_node((c).caller, (c).index, (c).node->op, __VA_ARGS__), false)

struct Check {
    ovxlib_graph *graph;
    const char *caller;
    uint32_t index;
    const ovxlib_node *node;

    const ovxlib_tensor_attr &in(uint32_t k) const { return tensor_at(graph, node->inputs[k])->pub.attr; }
    const ovxlib_tensor_attr &out() const { return tensor_at(graph, node->outputs[0])->pub.attr; }
    bool has_input(uint32_t k) const { return k < node->input_count; }
};

/* "[s0,s1,...]" for messages. */
struct SizesText {
    char text[8 * 11 + 3];
    explicit SizesText(const ovxlib_tensor_attr &a)
    {
        size_t used = 0;
        text[used++] = '[';
        for (uint32_t i = 0; i < a.dim_count; ++i)
            used += std::snprintf(text + used, sizeof text - used, i ? ",%u" : "%u", a.sizes[i]);
        std::snprintf(text + used, sizeof text - used, "]");
    }
};

bool same_sizes(const ovxlib_tensor_attr &a, const ovxlib_tensor_attr &b)
{
    if (a.dim_count != b.dim_count)
        return false;
    for (uint32_t i = 0; i < a.dim_count; ++i)
        if (a.sizes[i] != b.sizes[i])
            return false;
    return true;
}

bool valid_scale(float s) { return std::isfinite(s) && s > 0.0f; }

bool zero_point_fits(int32_t type, int32_t zp)
{
    if (type == OVXLIB_TYPE_UINT8)
        return zp >= 0 && zp <= 255;
    if (type == OVXLIB_TYPE_INT8)
        return zp >= -128 && zp <= 127;
    return true;
}

bool check_quant(const Check &c, const char *role, uint32_t k, const Tensor &t)
{
    const ovxlib_tensor_attr &a = t.pub.attr;
    const ovxlib_quant &q = a.quant;
    if (q.type == OVXLIB_QUANT_AFFINE) {
        if (!valid_scale(q.scale))
            return REFUSE(c, "%s %u: tensor %u has scale %g", role, k, t.id, static_cast<double>(q.scale));
        if (!zero_point_fits(a.type, q.zero_point))
            return REFUSE(c, "%s %u: tensor %u has zero point %d outside %s", role, k, t.id, q.zero_point,
                          type_name(a.type));
        return true;
    }
    if (q.type != OVXLIB_QUANT_PER_CHANNEL)
        return true;
    if (q.channel_dim < 0 || static_cast<uint32_t>(q.channel_dim) >= a.dim_count)
        return REFUSE(c, "%s %u: tensor %u has channel dimension %d of %u dimensions", role, k, t.id, q.channel_dim,
                      a.dim_count);
    const uint32_t channels = a.sizes[q.channel_dim];
    if (q.scale_count != channels || !q.scales)
        return REFUSE(c, "%s %u: tensor %u has %u per-channel scales for %u channels", role, k, t.id, q.scale_count,
                      channels);
    if (q.zero_point_count != 0 && (q.zero_point_count != channels || !q.zero_points))
        return REFUSE(c, "%s %u: tensor %u has %u per-channel zero points for %u channels", role, k, t.id,
                      q.zero_point_count, channels);
    for (uint32_t i = 0; i < channels; ++i) {
        if (!valid_scale(q.scales[i]))
            return REFUSE(c, "%s %u: tensor %u has scale %g for channel %u", role, k, t.id,
                          static_cast<double>(q.scales[i]), i);
        if (q.zero_point_count && !zero_point_fits(a.type, q.zero_points[i]))
            return REFUSE(c, "%s %u: tensor %u has zero point %d outside %s for channel %u", role, k, t.id,
                          q.zero_points[i], type_name(a.type), i);
    }
    return true;
}

/* Reads every byte of a constant, so a buffer freed too early shows here. */
void touch(const Tensor &t)
{
    const uint8_t *p = tensor_bytes(t);
    unsigned sum = 0;
    for (uint32_t i = 0; i < t.bytes; ++i)
        sum += p[i];
    volatile unsigned sink = sum;
    (void)sink;
}

bool check_same(const Check &c)
{
    if (!same_sizes(c.in(0), c.out()))
        return REFUSE(c, "output sizes %s differ from input sizes %s", SizesText(c.out()).text,
                      SizesText(c.in(0)).text);
    return true;
}

bool check_broadcast(const Check &c)
{
    const ovxlib_tensor_attr &a = c.in(0), &b = c.in(1), &o = c.out();
    uint32_t rank = a.dim_count;
    if (b.dim_count > rank)
        rank = b.dim_count;
    if (o.dim_count > rank)
        rank = o.dim_count;
    for (uint32_t i = 0; i < rank; ++i) {
        const uint32_t x = size_or_one(a, i), y = size_or_one(b, i), z = size_or_one(o, i);
        const uint32_t wide = x > y ? x : y;
        if ((x != wide && x != 1) || (y != wide && y != 1) || z != wide)
            return REFUSE(c, "input sizes %s and %s do not broadcast to output sizes %s", SizesText(a).text,
                          SizesText(b).text, SizesText(o).text);
    }
    if ((c.node->op == OVXLIB_OP_MULTIPLY || c.node->op == OVXLIB_OP_DIVIDE) &&
        !std::isfinite(c.node->param.eltwise.scale))
        return REFUSE(c, "scale is not finite");
    return true;
}

bool check_permute(const Check &c)
{
    const ovxlib_permute_param &p = c.node->param.permute;
    const ovxlib_tensor_attr &in = c.in(0);
    if (!p.perm)
        return REFUSE(c, "no permutation");
    if (p.dim_count != in.dim_count)
        return REFUSE(c, "permutation of %u dimensions for an input of %u", p.dim_count, in.dim_count);
    bool seen[OVXLIB_MAX_DIMS] = {};
    for (uint32_t i = 0; i < p.dim_count; ++i) {
        if (p.perm[i] >= p.dim_count || seen[p.perm[i]])
            return REFUSE(c, "entry %u (%u) makes no permutation of %u dimensions", i, p.perm[i], p.dim_count);
        seen[p.perm[i]] = true;
    }
    if (volume(c.out()) != volume(in))
        return REFUSE(c, "output sizes %s hold another element count than input sizes %s", SizesText(c.out()).text,
                      SizesText(in).text);
    return true;
}

bool check_concat(const Check &c)
{
    const ovxlib_tensor_attr &o = c.out();
    const uint32_t axis = c.node->param.concat.axis;
    if (axis >= o.dim_count)
        return REFUSE(c, "axis %u of an output of %u dimensions", axis, o.dim_count);
    uint64_t total = 0;
    for (uint32_t k = 0; k < c.node->input_count; ++k) {
        const ovxlib_tensor_attr &a = c.in(k);
        if (a.dim_count != o.dim_count)
            return REFUSE(c, "input %u has %u dimensions, the output %u", k, a.dim_count, o.dim_count);
        for (uint32_t i = 0; i < o.dim_count; ++i)
            if (i != axis && a.sizes[i] != o.sizes[i])
                return REFUSE(c, "input %u sizes %s differ from output sizes %s outside axis %u", k,
                              SizesText(a).text, SizesText(o).text, axis);
        total += a.sizes[axis];
    }
    if (total != o.sizes[axis])
        return REFUSE(c, "inputs give %llu along axis %u, the output has %u", static_cast<unsigned long long>(total),
                      axis, o.sizes[axis]);
    return true;
}

bool check_slice(const Check &c)
{
    const ovxlib_slice_param &p = c.node->param.slice;
    const ovxlib_tensor_attr &in = c.in(0), &o = c.out();
    if (!p.start || !p.length)
        return REFUSE(c, "no start or length array");
    if (p.dim_count != in.dim_count || o.dim_count != in.dim_count)
        return REFUSE(c, "%u dimensions sliced, the input has %u and the output %u", p.dim_count, in.dim_count,
                      o.dim_count);
    for (uint32_t i = 0; i < p.dim_count; ++i) {
        const int64_t start = p.start[i], length = p.length[i];
        if (start < 0 || length < 1 || start + length > in.sizes[i])
            return REFUSE(c, "dimension %u: start %lld length %lld outside size %u", i, static_cast<long long>(start),
                          static_cast<long long>(length), in.sizes[i]);
        if (o.sizes[i] != length)
            return REFUSE(c, "dimension %u: length %lld, output size %u", i, static_cast<long long>(length),
                          o.sizes[i]);
    }
    return true;
}

bool check_pad(const Check &c)
{
    const ovxlib_pad_param &p = c.node->param.pad;
    const ovxlib_tensor_attr &in = c.in(0), &o = c.out();
    if (!p.front_size || !p.back_size)
        return REFUSE(c, "no front or back size array");
    if (p.dim_count != in.dim_count || o.dim_count != in.dim_count)
        return REFUSE(c, "%u dimensions padded, the input has %u and the output %u", p.dim_count, in.dim_count,
                      o.dim_count);
    for (uint32_t i = 0; i < p.dim_count; ++i) {
        const uint64_t want = uint64_t{in.sizes[i]} + p.front_size[i] + p.back_size[i];
        if (o.sizes[i] != want)
            return REFUSE(c, "dimension %u: %u + %u + %u, output size %u", i, in.sizes[i], p.front_size[i],
                          p.back_size[i], o.sizes[i]);
    }
    if (!std::isfinite(p.const_value))
        return REFUSE(c, "constant value is not finite");
    return true;
}

bool check_fcl(const Check &c)
{
    const ovxlib_fcl_param &p = c.node->param.fcl;
    const ovxlib_tensor_attr &in = c.in(0), &w = c.in(1), &o = c.out();
    if (w.dim_count != 2)
        return REFUSE(c, "weights sizes %s are not [K,N]", SizesText(w).text);
    const uint32_t k = w.sizes[0], n = w.sizes[1];
    if (p.weights != n)
        return REFUSE(c, "weights %u, the weights tensor %s holds %u outputs", p.weights, SizesText(w).text, n);
    if (p.axis != 0)
        return REFUSE(c, "axis %d", p.axis);
    uint64_t lead = 1;
    uint32_t i = 0;
    while (i < in.dim_count && lead < k)
        lead *= in.sizes[i++];
    if (lead != k)
        return REFUSE(c, "input sizes %s do not begin with K = %u values", SizesText(in).text, k);
    const uint64_t rows = volume(in) / k;
    if (o.sizes[0] != n || volume(o) != n * rows)
        return REFUSE(c, "output sizes %s, expected %u outputs for each of %llu rows", SizesText(o).text, n,
                      static_cast<unsigned long long>(rows));
    if (c.has_input(2) && volume(c.in(2)) != n)
        return REFUSE(c, "bias sizes %s for %u outputs", SizesText(c.in(2)).text, n);
    return true;
}

/* Output size of a window along one axis; 0 when the window does not fit. */
uint64_t window_out(uint64_t in, uint64_t pad_total, uint64_t extent, uint64_t stride, bool ceil, uint64_t head)
{
    if (in + pad_total < extent || stride == 0)
        return 0;
    const uint64_t span = in + pad_total - extent;
    uint64_t out = (ceil ? (span + stride - 1) / stride : span / stride) + 1;
    /* The last window must start inside the input or its head padding. */
    if (ceil && (out - 1) * stride >= in + head)
        --out;
    return out;
}

bool check_windows(const Check &c, const uint32_t ksize[2], const uint32_t stride[2], const uint32_t dilation[2],
                   const uint32_t pad[4], bool ceil)
{
    const ovxlib_tensor_attr &in = c.in(0), &o = c.out();
    for (int axis = 0; axis < 2; ++axis) {
        if (ksize[axis] == 0 || stride[axis] == 0 || dilation[axis] == 0)
            return REFUSE(c, "%s: kernel %u, stride %u, dilation %u", axis ? "H" : "W", ksize[axis], stride[axis],
                          dilation[axis]);
        const uint64_t extent = uint64_t{ksize[axis] - 1} * dilation[axis] + 1;
        const uint64_t want = window_out(in.sizes[axis], uint64_t{pad[2 * axis]} + pad[2 * axis + 1], extent,
                                         stride[axis], ceil, pad[2 * axis]);
        if (want == 0 || o.sizes[axis] != want)
            return REFUSE(c, "%s: input %u, pads %u+%u, kernel %u, stride %u, dilation %u give %llu, output has %u",
                          axis ? "H" : "W", in.sizes[axis], pad[2 * axis], pad[2 * axis + 1], ksize[axis],
                          stride[axis], dilation[axis], static_cast<unsigned long long>(want), o.sizes[axis]);
    }
    return true;
}

bool check_image_ranks(const Check &c, uint32_t weights_input)
{
    if (c.in(0).dim_count != 4 || c.out().dim_count != 4 || (weights_input && c.in(weights_input).dim_count != 4))
        return REFUSE(c, "needs 4-D tensors, has input %s, output %s", SizesText(c.in(0)).text,
                      SizesText(c.out()).text);
    if (c.in(0).sizes[3] != c.out().sizes[3])
        return REFUSE(c, "batch %u in, %u out", c.in(0).sizes[3], c.out().sizes[3]);
    return true;
}

bool check_conv(const Check &c)
{
    const ovxlib_conv_param &p = c.node->param.conv;
    if (!check_image_ranks(c, 1))
        return false;
    const ovxlib_tensor_attr &in = c.in(0), &w = c.in(1), &o = c.out();
    const uint32_t cin = in.sizes[2], cout = o.sizes[2];
    if (p.ksize[0] != w.sizes[0] || p.ksize[1] != w.sizes[1])
        return REFUSE(c, "kernel size {%u,%u}, weights sizes %s", p.ksize[0], p.ksize[1], SizesText(w).text);
    if (p.pad_type != OVXLIB_PAD_EXPLICIT)
        return REFUSE(c, "pad type %d is not run; only explicit pads", p.pad_type);
    if (p.weights != cout)
        return REFUSE(c, "weights %u, output channels %u", p.weights, cout);
    if (p.multiplier > 0) {
        if (uint64_t{w.sizes[2]} * w.sizes[3] != cout || uint64_t{cin} * p.multiplier != cout)
            return REFUSE(c, "depthwise multiplier %u: input channels %u, weights sizes %s, output channels %u",
                          p.multiplier, cin, SizesText(w).text, cout);
    } else {
        if (p.group == 0 || cin % p.group || cout % p.group)
            return REFUSE(c, "group %u for %u input and %u output channels", p.group, cin, cout);
        if (w.sizes[2] != cin / p.group || w.sizes[3] != cout)
            return REFUSE(c, "weights sizes %s, expected [%u,%u,%u,%u]", SizesText(w).text, w.sizes[0], w.sizes[1],
                          cin / p.group, cout);
    }
    if (c.has_input(2) && volume(c.in(2)) != cout)
        return REFUSE(c, "bias sizes %s for %u output channels", SizesText(c.in(2)).text, cout);
    const int32_t rounding = c.node->vx.down_scale_size_rounding;
    if (rounding != OVXLIB_DOWN_SCALE_FLOOR && rounding != OVXLIB_DOWN_SCALE_CEIL)
        return REFUSE(c, "down-scale size rounding 0x%X", static_cast<unsigned>(rounding));
    return check_windows(c, p.ksize, p.stride, p.dilation, p.pad, rounding == OVXLIB_DOWN_SCALE_CEIL);
}

bool check_deconv(const Check &c)
{
    if (!check_image_ranks(c, 1))
        return false;
    if (c.node->param.deconv.weights != c.out().sizes[2])
        return REFUSE(c, "weights %u, output channels %u", c.node->param.deconv.weights, c.out().sizes[2]);
    return true;
}

bool check_pool(const Check &c)
{
    const ovxlib_pool_param &p = c.node->param.pool;
    if (!check_image_ranks(c, 0))
        return false;
    if (c.in(0).sizes[2] != c.out().sizes[2])
        return REFUSE(c, "channels %u in, %u out", c.in(0).sizes[2], c.out().sizes[2]);
    if (p.type != OVXLIB_POOL_MAX && p.type != OVXLIB_POOL_AVG && p.type != OVXLIB_POOL_AVG_EXCLUDE_PAD)
        return REFUSE(c, "pool type 0x%X", static_cast<unsigned>(p.type));
    if (p.pad_type != OVXLIB_PAD_EXPLICIT)
        return REFUSE(c, "pad type %d is not run; only explicit pads", p.pad_type);
    if (p.round_type != OVXLIB_ROUND_FLOOR && p.round_type != OVXLIB_ROUND_CEIL)
        return REFUSE(c, "round type %d", p.round_type);
    const uint32_t one[2] = {1, 1};
    return check_windows(c, p.ksize, p.stride, one, p.pad, p.round_type == OVXLIB_ROUND_CEIL);
}

/* Sizes without their trailing 1s match. */
bool same_but_trailing_ones(const uint32_t *a, uint32_t na, const uint32_t *b, uint32_t nb)
{
    while (na && a[na - 1] == 1)
        --na;
    while (nb && b[nb - 1] == 1)
        --nb;
    return na == nb && std::memcmp(a, b, na * sizeof *a) == 0;
}

bool check_reduce(const Check &c)
{
    const ovxlib_reduce_param &p = c.node->param.reduce;
    const ovxlib_tensor_attr &in = c.in(0), &o = c.out();
    if (p.axis_count == 0 || p.axis_count > in.dim_count || !p.axis)
        return REFUSE(c, "%u axes for an input of %u dimensions", p.axis_count, in.dim_count);
    bool reduced[OVXLIB_MAX_DIMS] = {};
    for (uint32_t i = 0; i < p.axis_count; ++i) {
        if (p.axis[i] < 0 || static_cast<uint32_t>(p.axis[i]) >= in.dim_count || reduced[p.axis[i]])
            return REFUSE(c, "axis %d repeated or outside %u dimensions", p.axis[i], in.dim_count);
        reduced[p.axis[i]] = true;
    }
    uint32_t want[OVXLIB_MAX_DIMS];
    uint32_t n = 0;
    for (uint32_t i = 0; i < in.dim_count; ++i)
        if (!reduced[i] || p.keep_dim)
            want[n++] = reduced[i] ? 1 : in.sizes[i];
    const bool fits = p.keep_dim ? o.dim_count == n && std::memcmp(want, o.sizes, n * sizeof *want) == 0
                                 : same_but_trailing_ones(want, n, o.sizes, o.dim_count);
    if (!fits)
        return REFUSE(c, "output sizes %s do not match input sizes %s reduced (keep %u)", SizesText(o).text,
                      SizesText(in).text, p.keep_dim);
    return true;
}

bool check_resize(const Check &c)
{
    const ovxlib_tensor_attr &in = c.in(0), &o = c.out();
    if (in.dim_count != o.dim_count || in.dim_count < 2)
        return REFUSE(c, "input sizes %s, output sizes %s", SizesText(in).text, SizesText(o).text);
    for (uint32_t i = 2; i < in.dim_count; ++i)
        if (in.sizes[i] != o.sizes[i])
            return REFUSE(c, "input sizes %s and output sizes %s differ beyond W and H", SizesText(in).text,
                          SizesText(o).text);
    return true;
}

bool check_op(const Check &c)
{
    switch (c.node->op) {
    case OVXLIB_OP_ADD:
    case OVXLIB_OP_SUBTRACT:
    case OVXLIB_OP_MULTIPLY:
    case OVXLIB_OP_DIVIDE:
        return check_broadcast(c);
    case OVXLIB_OP_SOFTMAX:
        if (c.node->param.softmax.axis >= c.in(0).dim_count)
            return REFUSE(c, "axis %u of %u dimensions", c.node->param.softmax.axis, c.in(0).dim_count);
        return check_same(c);
    case OVXLIB_OP_RELU:
    case OVXLIB_OP_RELU6:
    case OVXLIB_OP_SIGMOID:
    case OVXLIB_OP_TANH:
    case OVXLIB_OP_LEAKY_RELU:
    case OVXLIB_OP_SWISH:
        return check_same(c);
    case OVXLIB_OP_RESHAPE:
        if (volume(c.in(0)) != volume(c.out()))
            return REFUSE(c, "output sizes %s hold another element count than input sizes %s",
                          SizesText(c.out()).text, SizesText(c.in(0)).text);
        return true;
    case OVXLIB_OP_PERMUTE:
        return check_permute(c);
    case OVXLIB_OP_CONCAT:
        return check_concat(c);
    case OVXLIB_OP_SLICE:
        return check_slice(c);
    case OVXLIB_OP_PAD:
        return check_pad(c);
    case OVXLIB_OP_FCL:
    case OVXLIB_OP_FCL2:
        return check_fcl(c);
    case OVXLIB_OP_CONV2D:
        return check_conv(c);
    case OVXLIB_OP_DECONVOLUTION:
        return check_deconv(c);
    case OVXLIB_OP_POOL:
        return check_pool(c);
    case OVXLIB_OP_REDUCE:
        return check_reduce(c);
    case OVXLIB_OP_RESIZE:
        return check_resize(c);
    default:
        return REFUSE(c, "unknown operation %d", c.node->op);
    }
}

bool graph_refusal(const char *caller, const char *what, uint32_t slot, const char *text, ovxlib_tensor_id id)
{
    std::fprintf(stderr, "%s: graph %s %u: %s (tensor %u)\n", caller, what, slot, text, id);
    return false;
}

constexpr uint32_t kNoProducer = 0xFFFFFFFFu;
constexpr uint32_t kGraphInput = 0xFFFFFFFEu;

bool check_lists(ovxlib_graph *graph, const char *caller, uint32_t *producer)
{
    /* Storage was sized from the attribute given to vsi_nn_AddTensor. */
    for (uint32_t i = 0; i < graph->tensor_count; ++i) {
        const Tensor &t = *state(graph).tensors[i];
        const ovxlib_tensor_attr &a = t.pub.attr;
        if (a.dim_count > OVXLIB_MAX_DIMS || volume(a) * type_size(a.type) != t.bytes) {
            std::fprintf(stderr, "%s: tensor %u: sizes or type changed after vsi_nn_AddTensor\n", caller, i);
            return false;
        }
    }
    for (uint32_t i = 0; i < graph->input_count; ++i) {
        const ovxlib_tensor_id id = graph->input_ids[i];
        const Tensor *t = tensor_at(graph, id);
        if (!t)
            return graph_refusal(caller, "input", i, id == OVXLIB_NO_TENSOR ? "slot not filled" : "no such tensor", id);
        if (t->pub.attr.is_const || t->pub.attr.is_virtual)
            return graph_refusal(caller, "input", i, t->pub.attr.is_const ? "is a constant" : "is virtual", id);
        producer[id] = kGraphInput;
    }
    for (uint32_t i = 0; i < graph->output_count; ++i) {
        const ovxlib_tensor_id id = graph->output_ids[i];
        const Tensor *t = tensor_at(graph, id);
        if (!t)
            return graph_refusal(caller, "output", i, id == OVXLIB_NO_TENSOR ? "slot not filled" : "no such tensor",
                                 id);
        if (t->pub.attr.is_const || t->pub.attr.is_virtual)
            return graph_refusal(caller, "output", i, t->pub.attr.is_const ? "is a constant" : "is virtual", id);
    }
    return true;
}

bool check_node_ids(const Check &c, uint32_t *producer)
{
    const ovxlib_node &n = *c.node;
    const OpInfo *info = op_info(n.op);
    if (!info)
        return REFUSE(c, "unknown operation %d", n.op);
    if (n.input_count < info->min_inputs || n.input_count > info->max_inputs)
        return REFUSE(c, "%u inputs; takes %u to %u", n.input_count, info->min_inputs, info->max_inputs);
    if (n.output_count != 1)
        return REFUSE(c, "%u outputs; gives 1", n.output_count);
    for (uint32_t k = 0; k < n.input_count; ++k) {
        const ovxlib_tensor_id id = n.inputs[k];
        const Tensor *t = tensor_at(c.graph, id);
        if (!t)
            return REFUSE(c, "input %u: %s (tensor %u)", k, id == OVXLIB_NO_TENSOR ? "slot not filled" : "no such tensor",
                          id);
        if (!t->pub.attr.is_const && producer[id] == kNoProducer)
            return REFUSE(c, "input %u: tensor %u is no constant, graph input or output of an earlier node", k, id);
        if (!check_quant(c, "input", k, *t))
            return false;
        if (t->pub.attr.is_const)
            touch(*t);
    }
    const ovxlib_tensor_id id = n.outputs[0];
    const Tensor *t = tensor_at(c.graph, id);
    if (!t)
        return REFUSE(c, "output 0: %s (tensor %u)", id == OVXLIB_NO_TENSOR ? "slot not filled" : "no such tensor", id);
    if (t->pub.attr.is_const)
        return REFUSE(c, "output 0: tensor %u is a constant", id);
    if (producer[id] == kGraphInput)
        return REFUSE(c, "output 0: tensor %u is a graph input", id);
    if (producer[id] != kNoProducer)
        return REFUSE(c, "output 0: tensor %u is already the output of node %u", id, producer[id]);
    if (!check_quant(c, "output", 0, *t))
        return false;
    producer[id] = c.index;
    return true;
}

} // namespace

bool check_graph(ovxlib_graph *graph, const char *caller)
{
    platform::unique_malloc<uint32_t[]> producer = platform::malloc_array<uint32_t>(graph->tensor_count);
    if (!producer) {
        std::fprintf(stderr, "%s: out of memory\n", caller);
        return false;
    }
    for (uint32_t i = 0; i < graph->tensor_count; ++i)
        producer[i] = kNoProducer;
    if (!check_lists(graph, caller, producer.get()))
        return false;
    for (uint32_t i = 0; i < graph->node_count; ++i) {
        const Check c{graph, caller, i, &node_at(graph, i)->pub};
        if (!check_node_ids(c, producer.get()) || !check_op(c))
            return false;
    }
    for (uint32_t i = 0; i < graph->output_count; ++i)
        if (producer[graph->output_ids[i]] == kNoProducer)
            return graph_refusal(caller, "output", i, "is the output of no node", graph->output_ids[i]);
    return true;
}

} // namespace ovxlib
