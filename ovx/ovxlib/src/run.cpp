/* Running a verified graph on the CPU: each node in creation order, with
 * plain loops over values dequantised to double, results requantised to the
 * output's type (half to even, saturated).  No threads and no speed goal:
 * this is the reference the graph builder is tested against. */
#include <cmath>
#include <cstdio>
#include <cstring>

#include "resource.h"
#include "stand_in.h"

namespace ovxlib {
namespace {

using Values = platform::unique_malloc<double[]>;

/* Coordinates of a tensor's elements in size order, with the matching
 * memory offset, advanced one element at a time. */
struct Walk {
    uint32_t n;
    const uint32_t *sizes;
    const uint64_t *strides;
    uint32_t coord[OVXLIB_MAX_DIMS] = {};
    uint64_t offset = 0;

    void next()
    {
        for (uint32_t i = 0; i < n; ++i) {
            offset += strides[i];
            if (++coord[i] < sizes[i])
                return;
            offset -= strides[i] * sizes[i];
            coord[i] = 0;
        }
    }
};

void contiguous_strides(const uint32_t *sizes, uint32_t n, uint64_t *strides)
{
    uint64_t s = 1;
    for (uint32_t i = 0; i < n; ++i) {
        strides[i] = s;
        s *= sizes[i];
    }
}

struct QuantAt {
    const ovxlib_quant &q;
    double scale(uint32_t channel) const
    {
        if (q.type == OVXLIB_QUANT_AFFINE)
            return q.scale;
        if (q.type == OVXLIB_QUANT_PER_CHANNEL)
            return q.scales[channel];
        return 1.0;
    }
    double zero_point(uint32_t channel) const
    {
        if (q.type == OVXLIB_QUANT_AFFINE)
            return q.zero_point;
        if (q.type == OVXLIB_QUANT_PER_CHANNEL && q.zero_point_count)
            return q.zero_points[channel];
        return 0.0;
    }
    uint32_t channel(const Walk &w) const
    {
        return q.type == OVXLIB_QUANT_PER_CHANNEL ? w.coord[q.channel_dim] : 0;
    }
};

double read_raw(int32_t type, const uint8_t *base, uint64_t index)
{
    switch (type) {
    case OVXLIB_TYPE_INT8:
        return static_cast<int8_t>(base[index]);
    case OVXLIB_TYPE_UINT8:
        return base[index];
    case OVXLIB_TYPE_INT32: {
        int32_t v;
        std::memcpy(&v, base + index * 4, 4);
        return v;
    }
    default: {
        float v;
        std::memcpy(&v, base + index * 4, 4);
        return v;
    }
    }
}

/* The tensor's real values in size order. */
Values load(const Tensor &t)
{
    const ovxlib_tensor_attr &a = t.pub.attr;
    const uint64_t count = volume(a);
    Values v = platform::malloc_array<double>(count);
    if (!v)
        return v;
    uint64_t strides[OVXLIB_MAX_DIMS];
    element_strides(t, strides);
    const QuantAt quant{a.quant};
    const bool is_float = a.type == OVXLIB_TYPE_FLOAT32;
    Walk w{a.dim_count, a.sizes, strides};
    const uint8_t *base = tensor_bytes(t);
    for (uint64_t l = 0; l < count; ++l, w.next()) {
        const double raw = read_raw(a.type, base, w.offset);
        if (is_float) {
            v[l] = raw;
        } else {
            const uint32_t ch = quant.channel(w);
            v[l] = (raw - quant.zero_point(ch)) * quant.scale(ch);
        }
    }
    return v;
}

void store(Tensor &t, const double *v)
{
    const ovxlib_tensor_attr &a = t.pub.attr;
    const uint64_t count = volume(a);
    uint64_t strides[OVXLIB_MAX_DIMS];
    contiguous_strides(a.sizes, a.dim_count, strides);
    const QuantAt quant{a.quant};
    Walk w{a.dim_count, a.sizes, strides};
    for (uint64_t l = 0; l < count; ++l, w.next()) {
        if (a.type == OVXLIB_TYPE_FLOAT32) {
            const float f = static_cast<float>(v[l]);
            std::memcpy(t.own + l * 4, &f, 4);
            continue;
        }
        const uint32_t ch = quant.channel(w);
        double q = std::nearbyint(v[l] / quant.scale(ch)) + quant.zero_point(ch);
        if (std::isnan(q))
            q = quant.zero_point(ch);
        if (a.type == OVXLIB_TYPE_INT32) {
            q = q < INT32_MIN ? INT32_MIN : q > INT32_MAX ? INT32_MAX : q;
            const int32_t i = static_cast<int32_t>(q);
            std::memcpy(t.own + l * 4, &i, 4);
        } else if (a.type == OVXLIB_TYPE_INT8) {
            q = q < -128 ? -128 : q > 127 ? 127 : q;
            t.own[l] = static_cast<uint8_t>(static_cast<int8_t>(q));
        } else {
            q = q < 0 ? 0 : q > 255 ? 255 : q;
            t.own[l] = static_cast<uint8_t>(q);
        }
    }
}

struct Operands {
    const ovxlib_node &node;
    const ovxlib_tensor_attr *in[kMaxNodeIo];
    const double *x[kMaxNodeIo];
    const ovxlib_tensor_attr *out;
    double *y;
};

void run_eltwise(const Operands &o)
{
    const ovxlib_tensor_attr &a = *o.in[0], &b = *o.in[1], &z = *o.out;
    uint32_t n = a.dim_count > b.dim_count ? a.dim_count : b.dim_count;
    if (z.dim_count > n)
        n = z.dim_count;
    uint32_t sizes[OVXLIB_MAX_DIMS];
    uint64_t sa[OVXLIB_MAX_DIMS], sb[OVXLIB_MAX_DIMS], unit[OVXLIB_MAX_DIMS];
    uint64_t pa = 1, pb = 1;
    for (uint32_t i = 0; i < n; ++i) {
        sizes[i] = size_or_one(z, i);
        const uint32_t xa = size_or_one(a, i), xb = size_or_one(b, i);
        sa[i] = xa == 1 ? 0 : pa;
        sb[i] = xb == 1 ? 0 : pb;
        pa *= xa;
        pb *= xb;
    }
    contiguous_strides(sizes, n, unit);
    Walk wa{n, sizes, sa}, wb{n, sizes, sb};
    const uint64_t count = volume(z);
    const double scale = o.node.param.eltwise.scale;
    for (uint64_t l = 0; l < count; ++l, wa.next(), wb.next()) {
        const double p = o.x[0][wa.offset], q = o.x[1][wb.offset];
        switch (o.node.op) {
        case OVXLIB_OP_ADD: o.y[l] = p + q; break;
        case OVXLIB_OP_SUBTRACT: o.y[l] = p - q; break;
        case OVXLIB_OP_MULTIPLY: o.y[l] = p * q * scale; break;
        default: o.y[l] = p / q * scale; break;
        }
    }
}

void run_unary(const Operands &o)
{
    const uint64_t count = volume(*o.out);
    const ovxlib_op_param &p = o.node.param;
    for (uint64_t l = 0; l < count; ++l) {
        const double x = o.x[0][l];
        double y;
        switch (o.node.op) {
        case OVXLIB_OP_RELU: y = x > 0 ? x : 0; break;
        case OVXLIB_OP_RELU6: y = x < 0 ? 0 : x > 6 ? 6 : x; break;
        case OVXLIB_OP_SIGMOID: y = 1.0 / (1.0 + std::exp(-x)); break;
        case OVXLIB_OP_TANH: y = p.tanh_scale.scale_a * std::tanh(p.tanh_scale.scale_b * x); break;
        case OVXLIB_OP_LEAKY_RELU: y = x > 0 ? x : x * p.leaky_relu.ratio; break;
        default: y = x; break; /* RESHAPE */
        }
        o.y[l] = y;
    }
}

/* Element counts below and above one dimension. */
struct Split {
    uint64_t inner, outer;
};

Split split_at(const ovxlib_tensor_attr &a, uint32_t axis)
{
    Split s{1, 1};
    for (uint32_t i = 0; i < a.dim_count; ++i)
        if (i != axis)
            (i < axis ? s.inner : s.outer) *= a.sizes[i];
    return s;
}

void run_softmax(const Operands &o)
{
    const ovxlib_tensor_attr &a = *o.in[0];
    const uint32_t axis = o.node.param.softmax.axis;
    const double beta = o.node.param.softmax.beta;
    const Split split = split_at(a, axis);
    const uint64_t inner = split.inner, outer = split.outer;
    const uint32_t n = a.sizes[axis];
    for (uint64_t b = 0; b < outer; ++b)
        for (uint64_t i = 0; i < inner; ++i) {
            const uint64_t base = b * n * inner + i;
            double top = o.x[0][base];
            for (uint32_t k = 1; k < n; ++k)
                top = std::fmax(top, o.x[0][base + k * inner]);
            double sum = 0;
            for (uint32_t k = 0; k < n; ++k)
                sum += o.y[base + k * inner] = std::exp(beta * (o.x[0][base + k * inner] - top));
            for (uint32_t k = 0; k < n; ++k)
                o.y[base + k * inner] /= sum;
        }
}

void run_permute(const Operands &o)
{
    const ovxlib_tensor_attr &a = *o.in[0];
    const ovxlib_permute_param &p = o.node.param.permute;
    uint64_t in_strides[OVXLIB_MAX_DIMS], strides[OVXLIB_MAX_DIMS];
    uint32_t sizes[OVXLIB_MAX_DIMS];
    contiguous_strides(a.sizes, a.dim_count, in_strides);
    for (uint32_t i = 0; i < p.dim_count; ++i) {
        sizes[i] = a.sizes[p.perm[i]];
        strides[i] = in_strides[p.perm[i]];
    }
    Walk w{p.dim_count, sizes, strides};
    const uint64_t count = volume(a);
    for (uint64_t l = 0; l < count; ++l, w.next())
        o.y[l] = o.x[0][w.offset];
}

void run_concat(const Operands &o)
{
    const ovxlib_tensor_attr &z = *o.out;
    const uint32_t axis = o.node.param.concat.axis;
    const Split split = split_at(z, axis);
    const uint64_t inner = split.inner, outer = split.outer;
    uint64_t at = 0;
    for (uint32_t k = 0; k < o.node.input_count; ++k) {
        const uint64_t run = uint64_t{o.in[k]->sizes[axis]} * inner;
        for (uint64_t b = 0; b < outer; ++b)
            std::memcpy(o.y + b * z.sizes[axis] * inner + at, o.x[k] + b * run, run * sizeof(double));
        at += run;
    }
}

void run_slice_pad(const Operands &o)
{
    const ovxlib_tensor_attr &a = *o.in[0], &z = *o.out;
    const bool slice = o.node.op == OVXLIB_OP_SLICE;
    uint64_t in_strides[OVXLIB_MAX_DIMS], unit[OVXLIB_MAX_DIMS];
    contiguous_strides(a.sizes, a.dim_count, in_strides);
    contiguous_strides(z.sizes, z.dim_count, unit);
    Walk w{z.dim_count, z.sizes, unit};
    const uint64_t count = volume(z);
    for (uint64_t l = 0; l < count; ++l, w.next()) {
        uint64_t at = 0;
        bool inside = true;
        for (uint32_t i = 0; i < z.dim_count; ++i) {
            const int64_t c = slice ? int64_t{w.coord[i]} + o.node.param.slice.start[i]
                                    : int64_t{w.coord[i]} - o.node.param.pad.front_size[i];
            inside = inside && c >= 0 && c < a.sizes[i];
            at += inside ? static_cast<uint64_t>(c) * in_strides[i] : 0;
        }
        o.y[l] = inside ? o.x[0][at] : slice ? 0.0 : o.node.param.pad.const_value;
    }
}

void run_fcl(const Operands &o)
{
    const uint32_t k = o.in[1]->sizes[0], n = o.in[1]->sizes[1];
    const uint64_t rows = volume(*o.in[0]) / k;
    const double *bias = o.node.input_count > 2 ? o.x[2] : nullptr;
    for (uint64_t m = 0; m < rows; ++m)
        for (uint32_t j = 0; j < n; ++j) {
            double sum = bias ? bias[j] : 0.0;
            for (uint32_t i = 0; i < k; ++i)
                sum += o.x[0][m * k + i] * o.x[1][uint64_t{j} * k + i];
            o.y[m * n + j] = sum;
        }
}

/* [W, H, C, N] index. */
inline uint64_t at4(const uint32_t *s, uint64_t x, uint64_t y, uint64_t c, uint64_t b)
{
    return x + s[0] * (y + s[1] * (c + s[2] * b));
}

void run_conv(const Operands &o)
{
    const ovxlib_conv_param &p = o.node.param.conv;
    const uint32_t *is = o.in[0]->sizes, *ws = o.in[1]->sizes, *os = o.out->sizes;
    const double *bias = o.node.input_count > 2 ? o.x[2] : nullptr;
    const uint32_t cout = os[2];
    const uint32_t group_in = p.multiplier ? 1 : is[2] / p.group, group_out = p.multiplier ? 1 : cout / p.group;
    for (uint32_t b = 0; b < os[3]; ++b)
        for (uint32_t co = 0; co < cout; ++co) {
            /* Depthwise: one input channel, weights [KW, KH, a, b] with
             * output channel = a_i * b + b_i. */
            const uint32_t first_in = p.multiplier ? co / p.multiplier : co / group_out * group_in;
            const uint64_t w_channel = p.multiplier ? uint64_t{co / ws[3]} + uint64_t{ws[2]} * (co % ws[3]) : co;
            for (uint32_t oy = 0; oy < os[1]; ++oy)
                for (uint32_t ox = 0; ox < os[0]; ++ox) {
                    double sum = bias ? bias[co] : 0.0;
                    for (uint32_t ci = 0; ci < group_in; ++ci)
                        for (uint32_t ky = 0; ky < ws[1]; ++ky) {
                            const int64_t iy = int64_t{oy} * p.stride[1] - p.pad[2] + int64_t{ky} * p.dilation[1];
                            if (iy < 0 || iy >= is[1])
                                continue;
                            for (uint32_t kx = 0; kx < ws[0]; ++kx) {
                                const int64_t ix = int64_t{ox} * p.stride[0] - p.pad[0] + int64_t{kx} * p.dilation[0];
                                if (ix < 0 || ix >= is[0])
                                    continue;
                                const uint64_t wi = p.multiplier ? kx + uint64_t{ws[0]} * (ky + uint64_t{ws[1]} * w_channel)
                                                                 : at4(ws, kx, ky, ci, co);
                                sum += o.x[0][at4(is, ix, iy, first_in + ci, b)] * o.x[1][wi];
                            }
                        }
                    o.y[at4(os, ox, oy, co, b)] = sum;
                }
        }
}

/* The part [lo, hi) of a window [start, start + k) inside [first, last). */
struct Span {
    int64_t lo, hi;
    uint64_t count() const { return hi > lo ? static_cast<uint64_t>(hi - lo) : 0; }
};

Span clip(int64_t start, uint32_t k, int64_t first, int64_t last)
{
    return {start > first ? start : first, start + k < last ? start + k : last};
}

void run_pool(const Operands &o)
{
    const ovxlib_pool_param &p = o.node.param.pool;
    const uint32_t *is = o.in[0]->sizes, *os = o.out->sizes;
    for (uint32_t b = 0; b < os[3]; ++b)
        for (uint32_t c = 0; c < os[2]; ++c)
            for (uint32_t oy = 0; oy < os[1]; ++oy)
                for (uint32_t ox = 0; ox < os[0]; ++ox) {
                    const int64_t x0 = int64_t{ox} * p.stride[0] - p.pad[0];
                    const int64_t y0 = int64_t{oy} * p.stride[1] - p.pad[2];
                    /* Only the cells inside the input are visited, so the work
                     * does not grow with the kernel beyond the input. */
                    const Span xs = clip(x0, p.ksize[0], 0, is[0]), ys = clip(y0, p.ksize[1], 0, is[1]);
                    const uint64_t padded = clip(x0, p.ksize[0], -int64_t{p.pad[0]}, int64_t{is[0]} + p.pad[1]).count() *
                                            clip(y0, p.ksize[1], -int64_t{p.pad[2]}, int64_t{is[1]} + p.pad[3]).count();
                    const uint64_t inside = xs.count() * ys.count();
                    double best = -INFINITY, sum = 0;
                    for (int64_t y = ys.lo; y < ys.hi; ++y)
                        for (int64_t x = xs.lo; x < xs.hi; ++x) {
                            const double v = o.x[0][at4(is, static_cast<uint64_t>(x), static_cast<uint64_t>(y), c, b)];
                            best = std::fmax(best, v);
                            sum += v;
                        }
                    double r;
                    if (p.type == OVXLIB_POOL_MAX)
                        r = inside ? best : 0.0;
                    else if (p.type == OVXLIB_POOL_AVG)
                        r = padded ? sum / static_cast<double>(padded) : 0.0;
                    else
                        r = inside ? sum / static_cast<double>(inside) : 0.0;
                    o.y[at4(os, ox, oy, c, b)] = r;
                }
}

void run_reduce(const Operands &o)
{
    const ovxlib_tensor_attr &a = *o.in[0];
    const ovxlib_reduce_param &p = o.node.param.reduce;
    uint32_t kept[OVXLIB_MAX_DIMS];
    uint64_t in_strides[OVXLIB_MAX_DIMS], out_strides[OVXLIB_MAX_DIMS];
    std::memcpy(kept, a.sizes, sizeof kept);
    uint64_t group = 1;
    for (uint32_t i = 0; i < p.axis_count; ++i) {
        group *= a.sizes[p.axis[i]];
        kept[p.axis[i]] = 1;
    }
    contiguous_strides(kept, a.dim_count, out_strides);
    contiguous_strides(a.sizes, a.dim_count, in_strides);
    for (uint32_t i = 0; i < a.dim_count; ++i)
        if (kept[i] == 1)
            out_strides[i] = 0;
    const uint64_t out_count = volume(*o.out), count = volume(a);
    for (uint64_t l = 0; l < out_count; ++l)
        o.y[l] = 0;
    Walk w{a.dim_count, a.sizes, out_strides};
    for (uint64_t l = 0; l < count; ++l, w.next())
        o.y[w.offset] += o.x[0][l];
    for (uint64_t l = 0; l < out_count; ++l)
        o.y[l] /= static_cast<double>(group);
}

void compute(const Operands &o)
{
    switch (o.node.op) {
    case OVXLIB_OP_ADD:
    case OVXLIB_OP_SUBTRACT:
    case OVXLIB_OP_MULTIPLY:
    case OVXLIB_OP_DIVIDE: run_eltwise(o); break;
    case OVXLIB_OP_SOFTMAX: run_softmax(o); break;
    case OVXLIB_OP_PERMUTE: run_permute(o); break;
    case OVXLIB_OP_CONCAT: run_concat(o); break;
    case OVXLIB_OP_SLICE:
    case OVXLIB_OP_PAD: run_slice_pad(o); break;
    case OVXLIB_OP_FCL:
    case OVXLIB_OP_FCL2: run_fcl(o); break;
    case OVXLIB_OP_CONV2D: run_conv(o); break;
    case OVXLIB_OP_POOL: run_pool(o); break;
    case OVXLIB_OP_REDUCE: run_reduce(o); break;
    default: run_unary(o); break;
    }
}

bool runnable_type(int32_t type)
{
    return type == OVXLIB_TYPE_FLOAT32 || type == OVXLIB_TYPE_UINT8 || type == OVXLIB_TYPE_INT8 ||
           type == OVXLIB_TYPE_INT32;
}

/* False, with the reason on stderr, for a node this stand-in cannot run. */
bool runnable(const ovxlib_graph *graph, uint32_t index, const ovxlib_node &n)
{
    const char *caller = "vsi_nn_RunGraph";
    if (!op_info(n.op)->runs) {
        refuse_node(caller, index, n.op, "no CPU implementation");
        return false;
    }
    if (n.op == OVXLIB_OP_PAD && n.param.pad.mode != OVXLIB_PAD_MODE_CONSTANT) {
        refuse_node(caller, index, n.op, "no CPU implementation for pad mode %d", n.param.pad.mode);
        return false;
    }
    if (n.op == OVXLIB_OP_REDUCE && n.param.reduce.type != OVXLIB_REDUCE_MEAN) {
        refuse_node(caller, index, n.op, "no CPU implementation for reduce type %d", n.param.reduce.type);
        return false;
    }
    for (uint32_t k = 0; k < n.input_count + n.output_count; ++k) {
        const ovxlib_tensor_id id = k < n.input_count ? n.inputs[k] : n.outputs[k - n.input_count];
        const int32_t type = tensor_at(graph, id)->pub.attr.type;
        if (!runnable_type(type)) {
            refuse_node(caller, index, n.op, "no CPU implementation for %s tensors", type_name(type));
            return false;
        }
    }
    return true;
}

} // namespace

bool run_graph(ovxlib_graph *graph)
{
    for (uint32_t i = 0; i < graph->node_count; ++i)
        if (!runnable(graph, i, node_at(graph, i)->pub))
            return false;
    for (uint32_t i = 0; i < graph->node_count; ++i) {
        const ovxlib_node &n = node_at(graph, i)->pub;
        Values inputs[kMaxNodeIo];
        Operands o{n, {}, {}, nullptr, nullptr};
        for (uint32_t k = 0; k < n.input_count; ++k) {
            const Tensor &t = *tensor_at(graph, n.inputs[k]);
            inputs[k] = load(t);
            o.in[k] = &t.pub.attr;
            o.x[k] = inputs[k].get();
            if (!o.x[k]) {
                refuse_node("vsi_nn_RunGraph", i, n.op, "out of memory");
                return false;
            }
        }
        Tensor &out = *tensor_at(graph, n.outputs[0]);
        Values y = platform::malloc_array<double>(volume(out.pub.attr));
        if (!y) {
            refuse_node("vsi_nn_RunGraph", i, n.op, "out of memory");
            return false;
        }
        o.out = &out.pub.attr;
        o.y = y.get();
        compute(o);
        store(out, y.get());
    }
    return true;
}

} // namespace ovxlib
