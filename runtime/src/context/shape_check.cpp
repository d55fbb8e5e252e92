/* Load-time shape rules, one per layer kind whose output follows from its
 * inputs and parameters, each no stricter than what the layer's handler and
 * operator accept when the layer runs: a shape refused here is one the layer
 * could never fill (rows or elements it never writes) or one its operator
 * refuses anyway.  And the bound on layer tensors outside the pool. */
#include "context/shape_check.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "context/context_internal.h"
#include "kestrune/kfm_schema.h"
#include "layers/layer_common.h"
#include "model/model_internal.h"
#include "tensor/tensor_internal.h"

namespace kestrune {
namespace {

/* Four extents padded with 1 after the last dimension, as tensors hold
 * them, and the product in 64 bits. */
struct Extents {
    int dims = 0;
    int64_t e[4] = {1, 1, 1, 1};
    int64_t volume = 1;
};

Extents of_tensor(const nn_tensor* t)
{
    Extents x;
    x.dims = nn_tensor_dims(t);
    const int32_t* s = nn_tensor_shape(t);
    for (int k = 0; k < 4; ++k)
        x.e[k] = s[k];
    x.volume = x.e[0] * x.e[1] * x.e[2] * x.e[3];
    return x;
}

/* The layer's declared shape; false when it is no tensor shape at all (the
 * tensor call refuses it with its own message). */
bool declared(const nn_context* ctx, size_t layer, Extents* x)
{
    size_t dims = 0;
    const int32_t* shape = nn_model_layer_shape(ctx->model, layer, &dims);
    if (dims > 4)
        return false;
    x->dims = (int)dims;
    for (size_t k = 0; k < dims; ++k) {
        int32_t v = kfm_load_i32(shape + k);
        if (v < 0)
            return false;
        x->e[k] = v;
    }
    /* Each extent is below 2^31: the product of four stays in 64 bits only
     * with a cap. */
    const int64_t cap = (int64_t)1 << 40;
    x->volume = 1;
    for (int k = 0; k < 4; ++k)
        x->volume = x->e[k] != 0 && x->volume > cap / x->e[k] ? cap : x->volume * x->e[k];
    return true;
}

/* The tensor of an earlier layer by index, NULL for any other index. */
nn_tensor* earlier(const nn_context* ctx, size_t layer, int64_t index)
{
    if (index < 0 || (uint64_t)index >= layer || (size_t)index >= ctx->tensor_capacity)
        return nullptr;
    return ctx->tensors[index];
}

/* The tensor of input k, NULL when the layer has no such input or it names
 * no earlier layer. */
nn_tensor* input(const layer_call& c, size_t k)
{
    if (k >= layer_input_count(&c))
        return nullptr;
    return earlier(c.ctx, c.layer, layer_input_index(&c, k));
}

/* A list parameter with at least `need` entries into out[0..3] (1 past
 * its end); false when absent or shorter. */
bool list4(const layer_call& c, const char* key, size_t need, int32_t out[4])
{
    size_t n = 0;
    const int32_t* list = param_list(layer_param(&c, key), &n);
    if (!list || n < need)
        return false;
    for (size_t i = 0; i < 4; ++i)
        out[i] = i < n ? param_list_at(list, i) : 1;
    return true;
}

/* The data input of conv2d and pool2d: "alt_input" when present, else
 * input 0. */
nn_tensor* data_input(const layer_call& c)
{
    const void* alt = layer_param(&c, "alt_input");
    if (!alt)
        return input(c, 0);
    int16_t index = 0;
    return param_int(alt, &index) ? earlier(c.ctx, c.layer, index) : nullptr;
}

/* Rows and columns whose matrix reading the dense operators accept: rows
 * from extent 0, columns from extent 1, every further extent 1. */
bool matrix(const Extents& x, int64_t* rows, int64_t* cols)
{
    if (x.dims < 1 || x.e[2] != 1 || x.e[3] != 1)
        return false;
    *rows = x.e[0];
    *cols = x.dims >= 2 ? x.e[1] : 1;
    return true;
}

int64_t nonneg(int32_t v) { return v > 0 ? v : 0; }

/* What the handlers refuse before they compute: an "activation" without a
 * known name, an integer parameter without its integer, a string parameter
 * without its string. */
bool activation_ok(const layer_call& c)
{
    const void* p = layer_param(&c, "activation");
    return !p || activation_code(param_string(p)) >= 0;
}

bool int_ok(const layer_call& c, const char* key, bool required)
{
    const void* p = layer_param(&c, key);
    int16_t v = 0;
    return p ? param_int(p, &v) != 0 : !required;
}

/* The reason the shape cannot follow, NULL when it can (or no rule applies). */
using Rule = const char* (*)(const layer_call& c, const Extents& out);

/* A window that steps `stride` over `extent` padded by `pads` starts inside
 * the padded extent at every output position: (count - 1) * stride < room. */
bool windows_start_inside(int64_t count, int64_t stride, int64_t extent, int64_t pads)
{
    return count < 1 || (count - 1) * stride < extent + pads;
}

const char* conv2d(const layer_call& c, const Extents& out)
{
    int32_t strides[4];
    nn_tensor* data = data_input(c);
    nn_tensor* filter = input(c, 1);
    int32_t dilations[4];
    if (!list4(c, "strides", 3, strides) || strides[1] < 1 || strides[2] < 1 || !data || !filter ||
        !int_ok(c, "groups", false) || !activation_ok(c) ||
        (layer_param(&c, "dilations") && !list4(c, "dilations", 3, dilations)))
        return nullptr;
    int32_t pad[8];
    layer_pad_array(&c, pad);
    const Extents in = of_tensor(data), f = of_tensor(filter);
    if (out.e[0] != in.e[0])
        return "batch differs from the input's";
    if (out.e[3] != f.e[3])
        return "channels differ from the filter's output channels";
    if (!windows_start_inside(out.e[1], strides[1], in.e[1], nonneg(pad[2]) + nonneg(pad[3])) ||
        !windows_start_inside(out.e[2], strides[2], in.e[2], nonneg(pad[4]) + nonneg(pad[5])))
        return "more rows or columns than the strides take from the padded input";
    return nullptr;
}

const char* deconv2d(const layer_call& c, const Extents& out)
{
    int32_t strides[4];
    nn_tensor* data = input(c, 0);
    nn_tensor* filter = input(c, 1);
    if (!list4(c, "strides", 3, strides) || strides[1] < 1 || strides[2] < 1 || !data || !filter ||
        !activation_ok(c))
        return nullptr;
    const Extents in = of_tensor(data), f = of_tensor(filter);
    /* Each input position spreads the filter window from its stride
     * position: nothing lies beyond extent * stride + window. */
    const int64_t window = f.e[0] > f.e[1] ? f.e[0] : f.e[1];
    if (out.e[1] > in.e[1] * strides[1] + window || out.e[2] > in.e[2] * strides[2] + window)
        return "more rows or columns than the strides spread the input over";
    return nullptr;
}

const char* pool2d(const layer_call& c, const Extents& out)
{
    int32_t ksize[4], strides[4];
    nn_tensor* data = data_input(c);
    if (!list4(c, "ksize", 3, ksize) || !list4(c, "strides", 3, strides) || strides[1] < 1 ||
        strides[2] < 1 || !data)
        return nullptr;
    const char* pooling = param_string(layer_param(&c, "pooling"));
    if (!pooling || (strcmp(pooling, "MAXIMUM") != 0 && strcmp(pooling, "AVERAGE") != 0))
        return nullptr;
    int32_t pad[8];
    layer_pad_array(&c, pad);
    const Extents in = of_tensor(data);
    if (out.e[0] > in.e[0])
        return "more batches than the input";
    if (out.e[3] != in.e[3])
        return "channels differ from the input's";
    if (!windows_start_inside(out.e[1], strides[1], in.e[1], nonneg(pad[2]) + nonneg(pad[3])) ||
        !windows_start_inside(out.e[2], strides[2], in.e[2], nonneg(pad[4]) + nonneg(pad[5])))
        return "more rows or columns than the strides take from the padded input";
    return nullptr;
}

/* dense: input [M, K] times weights [K, N]; linear: weights [N, K]. */
const char* dense_like(const layer_call& c, const Extents& out, bool transposed)
{
    nn_tensor* a = input(c, 0);
    nn_tensor* w = input(c, 1);
    int64_t m, k, wr, wc;
    if (!a || !w || !activation_ok(c) || !matrix(of_tensor(a), &m, &k) ||
        !matrix(of_tensor(w), &wr, &wc))
        return nullptr;
    /* Operands that do not fit each other are the operator's refusal. */
    if (k != (transposed ? wc : wr))
        return nullptr;
    const int64_t n = transposed ? wr : wc;
    if (out.volume != m * n)
        return "elements differ from the input's rows times the weights' columns";
    return nullptr;
}

const char* dense(const layer_call& c, const Extents& out) { return dense_like(c, out, false); }
const char* linear(const layer_call& c, const Extents& out) { return dense_like(c, out, true); }

/* Transpose flags by presence, as the handler reads them. */
const char* matmul(const layer_call& c, const Extents& out)
{
    nn_tensor* a = input(c, 0);
    nn_tensor* b = input(c, 1);
    int64_t ar, ac, br, bc;
    if (!a || !b || !matrix(of_tensor(a), &ar, &ac) || !matrix(of_tensor(b), &br, &bc))
        return nullptr;
    const bool ta = layer_param(&c, "transpose_a") != nullptr;
    const bool tb = layer_param(&c, "transpose_b") != nullptr;
    if ((ta ? ar : ac) != (tb ? bc : br))
        return nullptr;
    const int64_t m = ta ? ac : ar;
    const int64_t n = tb ? br : bc;
    if (out.volume != m * n)
        return "elements differ from the product's rows times columns";
    return nullptr;
}

/* Every binary case writes at most the broadcast of the two operands
 * aligned at their last dimension. */
const char* binary(const layer_call& c, const Extents& out)
{
    nn_tensor* a = input(c, 0);
    nn_tensor* b = input(c, 1);
    if (!a || !b)
        return nullptr;
    const Extents x = of_tensor(a), y = of_tensor(b);
    int64_t pa[4] = {1, 1, 1, 1}, pb[4] = {1, 1, 1, 1};
    for (int i = 0; i < x.dims; ++i)
        pa[4 - x.dims + i] = x.e[i];
    for (int i = 0; i < y.dims; ++i)
        pb[4 - y.dims + i] = y.e[i];
    int64_t bound = 1;
    for (int k = 0; k < 4; ++k)
        bound *= pa[k] > pb[k] ? pa[k] : pb[k];
    if (out.volume > bound)
        return "more elements than the broadcast of its inputs";
    return nullptr;
}

/* Unary operators, activations, softmax and prelu write one element per
 * element of input 0. */
const char* unary(const layer_call& c, const Extents& out)
{
    nn_tensor* a = input(c, 0);
    if (nn_model_layer_type_id(c.ctx->model, c.layer) == NN_LAYER_SWISH &&
        (!layer_param(&c, "beta") || !layer_param(&c, "hard")))
        return nullptr;
    if (a && out.volume > of_tensor(a).volume)
        return "more elements than its input";
    return nullptr;
}

/* A slice bound as the handler accepts it: absent, or a list of exactly n
 * entries, or without a list when n is 0. */
bool bound_ok(const layer_call& c, const char* key, size_t n)
{
    const void* p = layer_param(&c, key);
    if (!p)
        return true;
    size_t m = 0;
    const int32_t* v = param_list(p, &m);
    return (v && m == n) || (!v && n == 0);
}

/* Slice: no more elements than its input. */
const char* slice(const layer_call& c, const Extents& out)
{
    nn_tensor* a = input(c, 0);
    const void* axes = layer_param(&c, "axes");
    size_t n = 0;
    param_list(axes, &n);
    if (!axes || !bound_ok(c, "head", n) || !bound_ok(c, "tail", n))
        return nullptr;
    if (a && out.volume > of_tensor(a).volume)
        return "more elements than its input";
    return nullptr;
}

/* The view of input 0: its bytes in another shape.  A view larger than the
 * input is refused by the view itself. */
const char* reshape(const layer_call& c, const Extents& out)
{
    nn_tensor* a = input(c, 0);
    const int type = nn_model_layer_datatype_id(c.ctx->model, c.layer);
    const int64_t element = type == NN_TYPE_I8 || type == NN_TYPE_U8 ? 1 : 4;
    if (a && out.volume * element < (int64_t)nn_tensor_size(a))
        return "fewer bytes than its input";
    return nullptr;
}

const char* concat(const layer_call& c, const Extents& out)
{
    size_t count = layer_input_count(&c);
    if (count == 0 || count > 16 || !int_ok(c, "axis", true))
        return nullptr;
    int64_t total = 0;
    for (size_t k = 0; k < count; ++k) {
        nn_tensor* t = input(c, k);
        if (!t)
            return nullptr;
        total += of_tensor(t).volume;
    }
    if (out.volume > total)
        return "more elements than its inputs together";
    return nullptr;
}

/* A pad layer that the next layer absorbs (its alt_input names the pad's
 * input) does not run: its own tensor keeps whatever shape it declares. */
bool absorbed(const layer_call& c)
{
    if (c.layer + 1 >= c.ctx->layer_count || layer_input_count(&c) < 1)
        return false;
    layer_call next;
    layer_call_init(&next, c.ctx, c.layer + 1, c.label);
    int16_t value = 0;
    const void* alt = layer_param(&next, "alt_input");
    return alt && param_int(alt, &value) && value >= 0 &&
           (uint32_t)value == layer_input_index(&c, 0);
}

/* nn_tensor_pad: [N, head + H + tail, head + W + tail, C] exactly. */
const char* pad(const layer_call& c, const Extents& out)
{
    int32_t head[4], tail[4];
    nn_tensor* a = input(c, 0);
    if (absorbed(c))
        return nullptr;
    if (!list4(c, "head", 3, head) || !list4(c, "tail", 3, tail) || !a || head[1] < 0 ||
        head[2] < 0 || tail[1] < 0 || tail[2] < 0)
        return nullptr;
    const Extents in = of_tensor(a);
    if (out.e[0] != in.e[0] || out.e[3] != in.e[3] ||
        out.e[1] != (int64_t)head[1] + in.e[1] + tail[1] ||
        out.e[2] != (int64_t)head[2] + in.e[2] + tail[2])
        return "differs from its input with the head and tail padding";
    return nullptr;
}

/* nn_resize keeps batch and channels. */
const char* resize(const layer_call& c, const Extents& out)
{
    nn_tensor* a = input(c, 0);
    if (!a || !int_ok(c, "align_corners", false) || !int_ok(c, "half_pixel_centers", false))
        return nullptr;
    const Extents in = of_tensor(a);
    if (out.e[0] != in.e[0] || out.e[3] != in.e[3])
        return "batch or channels differ from the input's";
    return nullptr;
}

/* A reduction over consecutive axes (all without a list) writes the
 * product of the extents outside them. */
const char* reduction(const layer_call& c, const Extents& out)
{
    const void* p = layer_param(&c, "axes");
    nn_tensor* a = input(c, 0);
    if (!p || !a)
        return nullptr;
    const Extents in = of_tensor(a);
    size_t n = 0;
    const int32_t* axes = param_list(p, &n);
    int64_t kept = 1;
    if (axes && n > 0) {
        int32_t first = param_list_at(axes, 0), last = first;
        for (size_t i = 0; i < n; ++i) {
            int32_t ax = param_list_at(axes, i);
            if (ax < 0 || ax > in.dims || ax > 3 || (i > 0 && ax != last + 1))
                return nullptr;
            last = ax;
        }
        for (int k = 0; k < 4; ++k)
            if (k < first || k > last)
                kept *= in.e[k];
    }
    if (out.volume != kept)
        return "elements differ from the input's extents outside the reduced axes";
    return nullptr;
}

Rule rule_of(int type)
{
    switch (type) {
    case NN_LAYER_CONV2D: return conv2d;
    case NN_LAYER_DECONV2D: return deconv2d;
    case NN_LAYER_POOL2D: return pool2d;
    case NN_LAYER_DENSE: return dense;
    case NN_LAYER_LINEAR: return linear;
    case NN_LAYER_MATMUL: return matmul;
    case NN_LAYER_ADD:
    case NN_LAYER_SUBTRACT:
    case NN_LAYER_MULTIPLY:
    case NN_LAYER_DIVIDE: return binary;
    case NN_LAYER_ABS:
    case NN_LAYER_SQRT:
    case NN_LAYER_RSQRT:
    case NN_LAYER_LOG:
    case NN_LAYER_EXP:
    case NN_LAYER_SIGMOID:
    case NN_LAYER_TANH:
    case NN_LAYER_RELU:
    case NN_LAYER_RELU6:
    case NN_LAYER_SOFTMAX:
    case NN_LAYER_PRELU:
    case NN_LAYER_LEAKY_RELU:
    case NN_LAYER_SWISH: return unary;
    case NN_LAYER_CONCAT: return concat;
    case NN_LAYER_SLICE: return slice;
    case NN_LAYER_PAD: return pad;
    case NN_LAYER_RESHAPE: return reshape;
    case NN_LAYER_RESIZE: return resize;
    case NN_LAYER_REDUCE_SUM:
    case NN_LAYER_REDUCE_MIN:
    case NN_LAYER_REDUCE_MAX:
    case NN_LAYER_REDUCE_MEAN:
    case NN_LAYER_REDUCE_PRODUCT: return reduction;
    default: return nullptr;
    }
}

const char* text(const char* s) { return s ? s : ""; }

} // namespace

int check_layer_shape(nn_context* ctx, size_t layer)
{
    Rule rule = rule_of(nn_model_layer_type_id(ctx->model, layer));
    Extents out;
    if (!rule || !declared(ctx, layer, &out))
        return NN_SUCCESS;
    layer_call c;
    layer_call_init(&c, ctx, layer, "load_layer");
    const char* reason = rule(c, out);
    if (!reason)
        return NN_SUCCESS;
    fprintf(stderr, "[ERROR] impossible shape for layer %s [%s]: %s\r\n", text(c.name),
            text(nn_model_layer_type(ctx->model, layer)), reason);
    return NN_ERROR_INVALID_SHAPE;
}

int count_unpooled_tensor(nn_context* ctx, size_t layer, const int32_t* shape, size_t dims)
{
    int32_t extents[4];
    if (dims > 4 || nn_tensor_check_shape(NN_TYPE_F32, (int)dims, shape, extents) != NN_SUCCESS)
        return NN_SUCCESS;
    const uint64_t bytes = (uint64_t)extents[0] * (uint64_t)extents[1] * (uint64_t)extents[2] *
                           (uint64_t)extents[3] * 4u;
    const uint64_t limit = ctx->mempool ? nn_tensor_size(ctx->mempool) : kUnpooledLimitWithoutPool;
    const uint64_t total = ctx->unpooled_bytes + bytes;
    if (total > limit) {
        fprintf(stderr,
                "[ERROR] layer %s [%s] needs %" PRIu64 " bytes outside the memory pool, past the "
                "limit of %" PRIu64 " bytes\r\n",
                text(nn_model_layer_name(ctx->model, layer)),
                text(nn_model_layer_type(ctx->model, layer)), total, limit);
        return NN_ERROR_OUT_OF_MEMORY;
    }
    ctx->unpooled_bytes = total;
    return NN_SUCCESS;
}

} // namespace kestrune
