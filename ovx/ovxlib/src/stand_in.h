/* Records of the ovxlib stand-in behind the public ones of ovxlib.h, shared
 * by its graph building (graph.cpp), checking (check.cpp) and running
 * (run.cpp). */
#ifndef OVXLIB_STAND_IN_H
#define OVXLIB_STAND_IN_H

#include <cstddef>
#include <cstdint>

#include "ovxlib/ovxlib.h"
#include "ovxlib/ovxlib_test.h"

struct ovxlib_context {
    uint32_t graphs_created;
};

namespace ovxlib {

/* A tensor: the public record first, so a pointer to it is a pointer to the
 * whole.  Constants read `data` (the caller's) until vsi_nn_TransposeTensor
 * gives them `own`; other tensors keep their contents in `own` once set up
 * (or once written). */
struct Tensor {
    ovxlib_tensor pub;
    ovxlib_tensor_id id;
    const uint8_t *data;
    uint8_t *own;
    uint32_t bytes;
};

struct Node {
    ovxlib_node pub;
    uint32_t index;
};

} // namespace ovxlib

struct ovxlib_graph_state {
    ovxlib::Tensor **tensors;
    uint32_t tensor_capacity;
    ovxlib::Node **nodes;
    uint32_t node_capacity;
    bool set_up;
    bool verified;
};

namespace ovxlib {

/* Most inputs or outputs of one node. */
constexpr uint32_t kMaxNodeIo = 64;

struct OpInfo {
    int32_t code;
    const char *name;
    uint8_t min_inputs;
    uint8_t max_inputs;
    bool runs; /* has a CPU implementation */
};

/* NULL for an unknown code. */
const OpInfo *op_info(int32_t code);
const char *op_name(int32_t code);

/* Element size of a known type code, 0 for an unknown one. */
uint32_t type_size(int32_t type);
const char *type_name(int32_t type);

uint64_t volume(const ovxlib_tensor_attr &attr);
/* Size i, or 1 past the dimension count. */
inline uint32_t size_or_one(const ovxlib_tensor_attr &attr, uint32_t i)
{
    return i < attr.dim_count ? attr.sizes[i] : 1;
}

inline ovxlib_graph_state &state(const ovxlib_graph *graph) { return *graph->state; }
inline Tensor *tensor_at(const ovxlib_graph *graph, ovxlib_tensor_id id)
{
    return id < graph->tensor_count ? state(graph).tensors[id] : nullptr;
}
inline Node *node_at(const ovxlib_graph *graph, uint32_t index)
{
    return index < graph->node_count ? state(graph).nodes[index] : nullptr;
}
/* The stand-in's record behind a public tensor pointer, NULL when the
 * pointer is not one of the graph's tensors. */
Tensor *find_tensor(const ovxlib_graph *graph, const ovxlib_tensor *tensor);

/* The bytes a tensor's elements are read from (constant data, its own
 * buffer), NULL when it has none yet. */
inline const uint8_t *tensor_bytes(const Tensor &t) { return t.own ? t.own : t.data; }

/* Memory stride of each size dimension, in elements: the sizes' order for
 * every tensor but a 4-D format-1 constant, which is laid out as its data
 * shape (see ovxlib.h). */
void element_strides(const Tensor &t, uint64_t strides[OVXLIB_MAX_DIMS]);

/* Test controls: true when this call of the kind is to fail. */
bool injected_failure(ovxlib_test_call call);
uint32_t run_delay_us();
void count_run();

/* The whole graph check of set-up and verification; caller names the call
 * in each refusal line. */
bool check_graph(ovxlib_graph *graph, const char *caller);

/* Runs the graph's nodes once (graph verified). */
bool run_graph(ovxlib_graph *graph);

/* One refusal line on stderr: "<caller>: node <i> (<op>): <text>". */
void refuse_node(const char *caller, uint32_t index, int32_t op, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

} // namespace ovxlib

#endif
