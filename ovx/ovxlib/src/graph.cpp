/* The ovxlib stand-in's records: contexts, graphs, tensors and nodes, the
 * data calls and the test controls. */
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "resource.h"
#include "stand_in.h"

namespace ovxlib {
namespace {

constexpr std::array<OpInfo, 23> kOps{{
    {OVXLIB_OP_ADD, "ADD", 2, 2, true},
    {OVXLIB_OP_MULTIPLY, "MULTIPLY", 2, 2, true},
    {OVXLIB_OP_CONV2D, "CONV2D", 2, 3, true},
    {OVXLIB_OP_FCL, "FCL", 2, 3, true},
    {OVXLIB_OP_SOFTMAX, "SOFTMAX", 1, 1, true},
    {OVXLIB_OP_POOL, "POOL", 1, 1, true},
    {OVXLIB_OP_LEAKY_RELU, "LEAKY_RELU", 1, 1, true},
    {OVXLIB_OP_CONCAT, "CONCAT", 1, 64, true},
    {OVXLIB_OP_DECONVOLUTION, "DECONVOLUTION", 2, 3, false},
    {OVXLIB_OP_RESHAPE, "RESHAPE", 1, 1, true},
    {OVXLIB_OP_PERMUTE, "PERMUTE", 1, 1, true},
    {OVXLIB_OP_RELU, "RELU", 1, 1, true},
    {OVXLIB_OP_FCL2, "FCL2", 2, 3, true},
    {OVXLIB_OP_SUBTRACT, "SUBTRACT", 2, 2, true},
    {OVXLIB_OP_RELU6, "RELU6", 1, 1, true},
    {OVXLIB_OP_SIGMOID, "SIGMOID", 1, 1, true},
    {OVXLIB_OP_TANH, "TANH", 1, 1, true},
    {OVXLIB_OP_DIVIDE, "DIVIDE", 2, 2, true},
    {OVXLIB_OP_RESIZE, "RESIZE", 1, 1, false},
    {OVXLIB_OP_SLICE, "SLICE", 1, 1, true},
    {OVXLIB_OP_PAD, "PAD", 1, 1, true},
    {OVXLIB_OP_REDUCE, "REDUCE", 1, 1, true},
    {OVXLIB_OP_SWISH, "SWISH", 1, 1, false},
}};

struct TypeInfo {
    int32_t code;
    const char *name;
    uint32_t size;
};

constexpr std::array<TypeInfo, 11> kTypes{{
    {OVXLIB_TYPE_INT8, "INT8", 1},
    {OVXLIB_TYPE_UINT8, "UINT8", 1},
    {OVXLIB_TYPE_INT16, "INT16", 2},
    {OVXLIB_TYPE_UINT16, "UINT16", 2},
    {OVXLIB_TYPE_INT32, "INT32", 4},
    {OVXLIB_TYPE_UINT32, "UINT32", 4},
    {OVXLIB_TYPE_INT64, "INT64", 8},
    {OVXLIB_TYPE_UINT64, "UINT64", 8},
    {OVXLIB_TYPE_FLOAT32, "FLOAT32", 4},
    {OVXLIB_TYPE_FLOAT64, "FLOAT64", 8},
    {OVXLIB_TYPE_FLOAT16, "FLOAT16", 2},
}};

/* Test controls: countdown to the failing call of each kind (0: none). */
struct Controls {
    std::array<uint32_t, OVXLIB_CALL_KINDS> countdown;
    uint64_t runs;
    uint32_t run_delay_us;
    uint32_t live_graphs;
    uint32_t live_contexts;
};
Controls controls;

const TypeInfo *type_info(int32_t type)
{
    for (const TypeInfo &t : kTypes)
        if (t.code == type)
            return &t;
    return nullptr;
}

void invalidate(ovxlib_graph *graph)
{
    state(graph).set_up = false;
    state(graph).verified = false;
}

/* Grows a pointer array to hold one more entry. */
template <typename T>
bool reserve_one(T **&array, uint32_t &capacity, uint32_t count)
{
    if (count < capacity)
        return true;
    uint32_t grown = capacity ? capacity * 2 : 16;
    if (grown <= capacity)
        return false;
    void *p = std::realloc(array, sizeof(T *) * grown);
    if (!p)
        return false;
    array = static_cast<T **>(p);
    capacity = grown;
    return true;
}

void release_tensor(Tensor *t)
{
    if (!t)
        return;
    std::free(t->own);
    std::free(t);
}

void release_node(Node *n)
{
    if (!n)
        return;
    std::free(n->pub.inputs);
    std::free(n);
}

int set_list(ovxlib_graph *graph, const ovxlib_tensor_id *ids, uint32_t count,
             ovxlib_tensor_id *&list, uint32_t &list_count, ovxlib_test_call call)
{
    if (!graph || injected_failure(call))
        return -1;
    platform::unique_malloc<ovxlib_tensor_id[]> slots = platform::malloc_array<ovxlib_tensor_id>(count);
    if (!slots)
        return -1;
    for (uint32_t i = 0; i < count; ++i)
        slots[i] = ids ? ids[i] : OVXLIB_NO_TENSOR;
    std::free(list);
    list = slots.release();
    list_count = count;
    invalidate(graph);
    return 0;
}

bool attr_refused(const ovxlib_tensor_attr &attr, const void *data, uint64_t &bytes)
{
    if (attr.dim_count > OVXLIB_MAX_DIMS)
        return true;
    const TypeInfo *type = type_info(attr.type);
    if (!type)
        return true;
    if (attr.quant.type != OVXLIB_QUANT_NONE && attr.quant.type != OVXLIB_QUANT_AFFINE &&
        attr.quant.type != OVXLIB_QUANT_PER_CHANNEL)
        return true;
    if (attr.is_const && (!data || attr.is_virtual))
        return true;
    bytes = type->size;
    for (uint32_t i = 0; i < attr.dim_count; ++i) {
        if (attr.sizes[i] == 0)
            return true;
        bytes *= attr.sizes[i]; /* stays below 2^64: checked at every step */
        if (bytes > UINT32_MAX)
            return true;
    }
    return false;
}

void set_defaults(ovxlib_node &node)
{
    node.vx.down_scale_size_rounding = OVXLIB_DOWN_SCALE_FLOOR;
    ovxlib_op_param &p = node.param;
    switch (node.op) {
    case OVXLIB_OP_CONV2D:
    case OVXLIB_OP_DECONVOLUTION:
        p.conv.stride[0] = p.conv.stride[1] = 1;
        p.conv.dilation[0] = p.conv.dilation[1] = 1;
        p.conv.group = 1;
        break;
    case OVXLIB_OP_POOL:
        p.pool.type = OVXLIB_POOL_MAX;
        p.pool.stride[0] = p.pool.stride[1] = 1;
        p.pool.round_type = OVXLIB_ROUND_FLOOR;
        break;
    case OVXLIB_OP_MULTIPLY:
    case OVXLIB_OP_DIVIDE:
        p.eltwise.scale = 1.0f;
        break;
    case OVXLIB_OP_TANH:
        p.tanh_scale.scale_a = p.tanh_scale.scale_b = 1.0f;
        break;
    case OVXLIB_OP_SOFTMAX:
        p.softmax.beta = 1.0f;
        break;
    case OVXLIB_OP_REDUCE:
        p.reduce.type = OVXLIB_REDUCE_MEAN;
        break;
    default:
        break;
    }
}

} // namespace

const OpInfo *op_info(int32_t code)
{
    for (const OpInfo &op : kOps)
        if (op.code == code)
            return &op;
    return nullptr;
}

const char *op_name(int32_t code)
{
    const OpInfo *op = op_info(code);
    return op ? op->name : "unknown";
}

uint32_t type_size(int32_t type)
{
    const TypeInfo *t = type_info(type);
    return t ? t->size : 0;
}

const char *type_name(int32_t type)
{
    const TypeInfo *t = type_info(type);
    return t ? t->name : "unknown";
}

uint64_t volume(const ovxlib_tensor_attr &attr)
{
    uint64_t v = 1;
    for (uint32_t i = 0; i < attr.dim_count && i < OVXLIB_MAX_DIMS; ++i)
        v *= attr.sizes[i];
    return v;
}

Tensor *find_tensor(const ovxlib_graph *graph, const ovxlib_tensor *tensor)
{
    if (!graph || !tensor)
        return nullptr;
    for (uint32_t i = 0; i < graph->tensor_count; ++i)
        if (&state(graph).tensors[i]->pub == tensor)
            return state(graph).tensors[i];
    return nullptr;
}

void element_strides(const Tensor &t, uint64_t strides[OVXLIB_MAX_DIMS])
{
    const ovxlib_tensor_attr &a = t.pub.attr;
    const uint32_t n = a.dim_count;
    if (!(a.is_const && a.fmt == OVXLIB_FMT_NHWC && n == 4 && !t.own)) {
        uint64_t s = 1;
        for (uint32_t i = 0; i < n; ++i) {
            strides[i] = s;
            s *= a.sizes[i];
        }
        return;
    }
    /* Size dimension i is data-shape dimension m(i): 0 and 1 swap.  The data
     * shape is stored outermost first. */
    auto map = [](uint32_t i) { return i < 2 ? 1 - i : i; };
    uint64_t shape_stride[OVXLIB_MAX_DIMS];
    uint64_t s = 1;
    for (uint32_t j = n; j-- > 0;) {
        shape_stride[j] = s;
        s *= a.sizes[map(j)];
    }
    for (uint32_t i = 0; i < n; ++i)
        strides[i] = shape_stride[map(i)];
}

bool injected_failure(ovxlib_test_call call)
{
    uint32_t &left = controls.countdown[call];
    if (left == 0)
        return false;
    return --left == 0;
}

uint32_t run_delay_us() { return controls.run_delay_us; }
void count_run() { ++controls.runs; }

void refuse_node(const char *caller, uint32_t index, int32_t op, const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "%s: node %u (%s): %s\n", caller, index, op_name(op), text);
}

} // namespace ovxlib

using namespace ovxlib;

extern "C" {

OVXLIB_API ovxlib_context *vsi_nn_CreateContext(void)
{
    if (injected_failure(OVXLIB_CALL_CREATE_CONTEXT))
        return nullptr;
    ovxlib_context *context = platform::calloc_one<ovxlib_context>().release();
    if (context)
        ++controls.live_contexts;
    return context;
}

OVXLIB_API void vsi_nn_ReleaseContext(ovxlib_context **context)
{
    if (!context || !*context)
        return;
    std::free(*context);
    *context = nullptr;
    --controls.live_contexts;
}

OVXLIB_API const char *vsi_nn_GetVersion(void) { return "1.1.0 (kestrune CPU reference)"; }

OVXLIB_API ovxlib_graph *vsi_nn_CreateGraph(ovxlib_context *context, uint32_t, uint32_t)
{
    if (!context || injected_failure(OVXLIB_CALL_CREATE_GRAPH))
        return nullptr;
    platform::unique_malloc<ovxlib_graph> graph = platform::calloc_one<ovxlib_graph>();
    platform::unique_malloc<ovxlib_graph_state> st = platform::calloc_one<ovxlib_graph_state>();
    if (!graph || !st)
        return nullptr;
    graph->state = st.release();
    ++context->graphs_created;
    ++controls.live_graphs;
    return graph.release();
}

OVXLIB_API void vsi_nn_ReleaseGraph(ovxlib_graph **graph)
{
    if (!graph || !*graph)
        return;
    ovxlib_graph *g = *graph;
    for (uint32_t i = 0; i < g->tensor_count; ++i)
        release_tensor(state(g).tensors[i]);
    for (uint32_t i = 0; i < g->node_count; ++i)
        release_node(state(g).nodes[i]);
    std::free(state(g).tensors);
    std::free(state(g).nodes);
    std::free(g->state);
    std::free(g->input_ids);
    std::free(g->output_ids);
    std::free(g);
    *graph = nullptr;
    --controls.live_graphs;
}

OVXLIB_API int vsi_nn_SetGraphInputs(ovxlib_graph *graph, const ovxlib_tensor_id *ids, uint32_t count)
{
    if (!graph)
        return -1;
    return set_list(graph, ids, count, graph->input_ids, graph->input_count, OVXLIB_CALL_SET_GRAPH_INPUTS);
}

OVXLIB_API int vsi_nn_SetGraphOutputs(ovxlib_graph *graph, const ovxlib_tensor_id *ids, uint32_t count)
{
    if (!graph)
        return -1;
    return set_list(graph, ids, count, graph->output_ids, graph->output_count, OVXLIB_CALL_SET_GRAPH_OUTPUTS);
}

OVXLIB_API ovxlib_tensor_id vsi_nn_AddTensor(ovxlib_graph *graph, ovxlib_tensor_id id,
                                             const ovxlib_tensor_attr *attr, const void *data)
{
    uint64_t bytes = 0;
    if (!graph || !attr || id != OVXLIB_AUTO_ID || attr_refused(*attr, data, bytes))
        return OVXLIB_NO_TENSOR;
    if (graph->tensor_count >= OVXLIB_AUTO_ID || injected_failure(OVXLIB_CALL_ADD_TENSOR))
        return OVXLIB_NO_TENSOR;
    ovxlib_graph_state &st = state(graph);
    if (!reserve_one(st.tensors, st.tensor_capacity, graph->tensor_count))
        return OVXLIB_NO_TENSOR;
    platform::unique_malloc<Tensor> t = platform::calloc_one<Tensor>();
    if (!t)
        return OVXLIB_NO_TENSOR;
    t->pub.attr = *attr;
    t->id = graph->tensor_count;
    t->bytes = static_cast<uint32_t>(bytes);
    if (attr->is_const) {
        t->data = static_cast<const uint8_t *>(data);
    } else if (data) {
        t->own = static_cast<uint8_t *>(std::malloc(bytes));
        if (!t->own)
            return OVXLIB_NO_TENSOR;
        std::memcpy(t->own, data, bytes);
    }
    st.tensors[graph->tensor_count] = t.release();
    invalidate(graph);
    return graph->tensor_count++;
}

OVXLIB_API ovxlib_node *vsi_nn_AddNode(ovxlib_graph *graph, int32_t op, uint32_t input_count,
                                       uint32_t output_count, uint32_t *node_index)
{
    if (!graph || !op_info(op) || output_count == 0 || output_count > kMaxNodeIo || input_count > kMaxNodeIo)
        return nullptr;
    if (injected_failure(OVXLIB_CALL_ADD_NODE))
        return nullptr;
    ovxlib_graph_state &st = state(graph);
    if (!reserve_one(st.nodes, st.node_capacity, graph->node_count))
        return nullptr;
    platform::unique_malloc<Node> n = platform::calloc_one<Node>();
    /* One block holds the input slots followed by the output slots. */
    platform::unique_malloc<ovxlib_tensor_id[]> ids =
        platform::malloc_array<ovxlib_tensor_id>(input_count + output_count);
    if (!n || !ids)
        return nullptr;
    for (uint32_t i = 0; i < input_count + output_count; ++i)
        ids[i] = OVXLIB_NO_TENSOR;
    n->pub.op = op;
    n->pub.input_count = input_count;
    n->pub.output_count = output_count;
    n->pub.inputs = ids.release();
    n->pub.outputs = n->pub.inputs + input_count;
    set_defaults(n->pub);
    n->index = graph->node_count;
    if (node_index)
        *node_index = n->index;
    st.nodes[graph->node_count++] = n.get();
    invalidate(graph);
    return &n.release()->pub;
}

OVXLIB_API ovxlib_tensor *vsi_nn_GetTensor(const ovxlib_graph *graph, ovxlib_tensor_id id)
{
    Tensor *t = graph ? tensor_at(graph, id) : nullptr;
    return t ? &t->pub : nullptr;
}

OVXLIB_API ovxlib_node *vsi_nn_GetNode(const ovxlib_graph *graph, uint32_t index)
{
    Node *n = graph ? node_at(graph, index) : nullptr;
    return n ? &n->pub : nullptr;
}

OVXLIB_API int vsi_nn_TransposeTensor(ovxlib_graph *graph, ovxlib_tensor *tensor, const uint32_t *perm,
                                      uint32_t dim_count, const uint32_t *new_sizes)
{
    Tensor *t = find_tensor(graph, tensor);
    if (!t || !perm || !new_sizes || dim_count != 2 || perm[0] != 1 || perm[1] != 0)
        return -1;
    ovxlib_tensor_attr &a = t->pub.attr;
    if (!a.is_const || t->own || a.fmt != OVXLIB_FMT_NHWC || a.dim_count != 2 || new_sizes[0] != a.sizes[0] ||
        new_sizes[1] != a.sizes[1])
        return -1;
    if (injected_failure(OVXLIB_CALL_TRANSPOSE_TENSOR))
        return -1;
    uint8_t *own = static_cast<uint8_t *>(std::malloc(t->bytes));
    if (!own)
        return -1;
    /* a rows of b become b rows of a. */
    const uint32_t rows = a.sizes[0], cols = a.sizes[1], e = type_size(a.type);
    for (uint32_t i = 0; i < rows; ++i)
        for (uint32_t j = 0; j < cols; ++j)
            std::memcpy(own + (static_cast<size_t>(j) * rows + i) * e, t->data + (static_cast<size_t>(i) * cols + j) * e,
                        e);
    t->own = own;
    a.fmt = OVXLIB_FMT_NCHW;
    invalidate(graph);
    return 0;
}

OVXLIB_API int vsi_nn_SetupGraph(ovxlib_graph *graph, uint32_t)
{
    if (!graph || injected_failure(OVXLIB_CALL_SETUP_GRAPH))
        return -1;
    invalidate(graph);
    if (!check_graph(graph, "vsi_nn_SetupGraph"))
        return -1;
    for (uint32_t i = 0; i < graph->tensor_count; ++i) {
        Tensor &t = *state(graph).tensors[i];
        if (t.pub.attr.is_const || t.own)
            continue;
        t.own = static_cast<uint8_t *>(std::calloc(t.bytes, 1));
        if (!t.own) {
            std::fprintf(stderr, "vsi_nn_SetupGraph: tensor %u: out of memory for %u bytes\n", i, t.bytes);
            return -1;
        }
    }
    state(graph).set_up = true;
    return 0;
}

OVXLIB_API int vsi_nn_VerifyGraph(ovxlib_graph *graph)
{
    if (!graph || injected_failure(OVXLIB_CALL_VERIFY_GRAPH))
        return -1;
    if (!state(graph).set_up) {
        std::fprintf(stderr, "vsi_nn_VerifyGraph: graph is not set up\n");
        return -1;
    }
    state(graph).verified = false;
    if (!check_graph(graph, "vsi_nn_VerifyGraph"))
        return -1;
    state(graph).verified = true;
    return 0;
}

OVXLIB_API int vsi_nn_RunGraph(ovxlib_graph *graph)
{
    count_run();
    if (run_delay_us())
        sleep_us(run_delay_us());
    if (!graph || injected_failure(OVXLIB_CALL_RUN_GRAPH))
        return -1;
    if (!state(graph).verified) {
        std::fprintf(stderr, "vsi_nn_RunGraph: graph is not verified\n");
        return -1;
    }
    /* The records are the caller's to write: check again what the loops rely on. */
    return check_graph(graph, "vsi_nn_RunGraph") && run_graph(graph) ? 0 : -1;
}

OVXLIB_API int vsi_nn_CopyDataToTensor(ovxlib_graph *graph, ovxlib_tensor *tensor, const void *data)
{
    Tensor *t = find_tensor(graph, tensor);
    if (!t || !data || t->pub.attr.is_virtual || t->pub.attr.is_const)
        return -1;
    if (injected_failure(OVXLIB_CALL_COPY_DATA_TO_TENSOR))
        return -1;
    if (!t->own) {
        t->own = static_cast<uint8_t *>(std::malloc(t->bytes));
        if (!t->own)
            return -1;
    }
    std::memcpy(t->own, data, t->bytes);
    return 0;
}

OVXLIB_API uint8_t *vsi_nn_ConvertTensorToData(ovxlib_graph *graph, ovxlib_tensor *tensor)
{
    Tensor *t = find_tensor(graph, tensor);
    if (!t || t->pub.attr.is_virtual || !state(graph).set_up)
        return nullptr;
    if (injected_failure(OVXLIB_CALL_CONVERT_TENSOR_TO_DATA))
        return nullptr;
    uint8_t *copy = static_cast<uint8_t *>(std::malloc(t->bytes ? t->bytes : 1));
    if (copy)
        std::memcpy(copy, tensor_bytes(*t), t->bytes);
    return copy;
}

OVXLIB_API void vsi_nn_Free(void *data) { std::free(data); }

OVXLIB_API void ovxlib_test_fail_call(ovxlib_test_call call, uint32_t n)
{
    if (call >= 0 && call < OVXLIB_CALL_KINDS)
        controls.countdown[call] = n;
}

OVXLIB_API void ovxlib_test_reset(void)
{
    controls.countdown.fill(0);
    controls.runs = 0;
    controls.run_delay_us = 0;
}

OVXLIB_API uint64_t ovxlib_test_run_count(void) { return controls.runs; }
OVXLIB_API void ovxlib_test_set_run_delay_us(uint32_t microseconds) { controls.run_delay_us = microseconds; }
OVXLIB_API uint32_t ovxlib_test_live_graphs(void) { return controls.live_graphs; }
OVXLIB_API uint32_t ovxlib_test_live_contexts(void) { return controls.live_contexts; }

} // extern "C"
