// Fixtures of the graph library's suites: KFM models written by the tests,
// a built graph with its streams, and the two ways of running one model (the
// runtime's context and the stand-in's graph).
#ifndef OVX_KFM_TESTS_OVX_FIXTURES_H
#define OVX_KFM_TESTS_OVX_FIXTURES_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builder.h"
#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "layers/layer_test_util.h"
#include "ovx/ovx_kfm.h"
#include "ovxlib/ovxlib_test.h"

namespace ovx_test {

using kfm::Layer;
using kfm::Parameter;
using kfm_test::capture;
using kfm_test::Streams;
using layer_test::bare;
using layer_test::constant_f32;
using layer_test::constant_q8;
using layer_test::input;
using layer_test::integer;
using layer_test::list;
using layer_test::op;
using layer_test::quantised;
using layer_test::real;
using layer_test::text;
using layer_test::with;

constexpr uint32_t kNone = OVXLIB_NO_TENSOR;

inline size_t volume_of(const std::vector<int32_t>& shape)
{
    size_t v = 1;
    for (int32_t d : shape)
        v *= static_cast<size_t>(d);
    return v;
}

// Every non-constant layer in its own stretch of the runtime's memory pool
// (so a quantised layer's tensor takes its own type); 16-byte blocks.
inline kfm::Model placed(std::vector<Layer> layers)
{
    kfm::Model m;
    m.memory_block_size = 16;
    uint32_t block = 0;
    for (Layer& l : layers) {
        if (l.type && *l.type == NN_LAYER_CONSTANT)
            continue;
        l.mempool_offset = block;
        const size_t bytes = 4 * volume_of(l.shape ? *l.shape : std::vector<int32_t>{});
        block += static_cast<uint32_t>((bytes + 15) / 16 + 1);
    }
    m.memory_blocks = block + 1;
    m.layers = std::move(layers);
    return m;
}

// A graph built from a model, released (with its node arrays) at the end.
struct Built {
    kfm::Buffer buffer;
    std::vector<uint32_t> ids;
    ovxlib_context* context = nullptr;
    ovxlib_graph* graph = nullptr;
    Streams streams;

    explicit Built(const kfm::Model& model) : Built(kfm::write(model)) {}
    explicit Built(kfm::Buffer b) : buffer(std::move(b))
    {
        ids.assign(nn_model_layer_count(buffer.data()) + 1, 0x5A5A5A5A);
        context = vsi_nn_CreateContext();
        streams = capture([&] { graph = model2graph(buffer.data(), context, ids.data()); });
    }
    Built(const Built&) = delete;
    Built& operator=(const Built&) = delete;
    ~Built()
    {
        ovx_kfm_free_node_arrays(graph);
        vsi_nn_ReleaseGraph(&graph);
        vsi_nn_ReleaseContext(&context);
    }

    uint32_t node_count() const { return graph ? graph->node_count : 0; }
    const ovxlib_node& node(uint32_t i) const { return *vsi_nn_GetNode(graph, i); }
    const ovxlib_tensor_attr& attr(uint32_t id) const { return vsi_nn_GetTensor(graph, id)->attr; }
    const ovxlib_tensor_attr& layer_attr(size_t layer) const { return attr(ids[layer]); }
    // The node whose first output is `id` (nullptr when none).
    const ovxlib_node* producer(uint32_t id) const
    {
        for (uint32_t i = 0; i < node_count(); ++i)
            if (node(i).outputs[0] == id)
                return &node(i);
        return nullptr;
    }
    std::vector<uint32_t> sizes(uint32_t id) const
    {
        const ovxlib_tensor_attr& a = attr(id);
        return std::vector<uint32_t>(a.sizes, a.sizes + a.dim_count);
    }
};

// Output bytes of one model run both ways, from the same input bytes
// (NHWC, of the model's input layer type).
struct Outputs {
    std::vector<uint8_t> runtime;
    std::vector<uint8_t> graph;
    int32_t graph_type = 0;
};

inline std::vector<uint8_t> run_runtime(const kfm::Buffer& buffer, size_t input_layer, size_t output_layer,
                                        const std::vector<uint8_t>& in)
{
    nn_context* ctx = nn_context_init(nullptr, nn_model_memory_size(buffer.data()), nullptr, 1 << 20, nullptr);
    EXPECT_NE(ctx, nullptr);
    if (!ctx)
        return {};
    std::vector<uint8_t> out;
    int status = nn_context_model_load(ctx, buffer.size(), buffer.data());
    EXPECT_EQ(status, 0) << nn_strerror(status);
    if (status == 0) {
        nn_tensor* t = nn_context_tensor_index(ctx, input_layer);
        EXPECT_EQ(nn_tensor_size(t), in.size());
        void* p = nn_tensor_mapwo(t);
        std::memcpy(p, in.data(), in.size());
        nn_tensor_unmap(t);
        status = nn_context_run(ctx);
        EXPECT_EQ(status, 0) << nn_strerror(status);
        nn_tensor* o = nn_context_tensor_index(ctx, output_layer);
        const uint8_t* q = static_cast<const uint8_t*>(nn_tensor_mapro(o));
        out.assign(q, q + nn_tensor_size(o));
        nn_tensor_unmap(o);
    }
    nn_context_release(ctx);
    return out;
}

// The graph's run: the input is the graph's first input (an INT8 model's
// bytes shifted to the UINT8 it is declared as), the result its first output.
inline std::vector<uint8_t> run_graph(Built& built, std::vector<uint8_t> in, bool int8_input, int32_t* type)
{
    EXPECT_NE(built.graph, nullptr) << built.streams.err << built.streams.out;
    if (!built.graph)
        return {};
    Streams s = capture([&] {
        EXPECT_EQ(vsi_nn_SetupGraph(built.graph, 0), 0);
        EXPECT_EQ(vsi_nn_VerifyGraph(built.graph), 0);
    });
    EXPECT_EQ(s.err, "");
    if (int8_input)
        for (uint8_t& b : in)
            b ^= 0x80;
    ovxlib_tensor* input_t = vsi_nn_GetTensor(built.graph, built.graph->input_ids[0]);
    EXPECT_EQ(vsi_nn_tensor_bytes(input_t), in.size());
    EXPECT_EQ(vsi_nn_CopyDataToTensor(built.graph, input_t, in.data()), 0);
    s = capture([&] { EXPECT_EQ(vsi_nn_RunGraph(built.graph), 0); });
    EXPECT_EQ(s.err, "");
    ovxlib_tensor* out_t = vsi_nn_GetTensor(built.graph, built.graph->output_ids[0]);
    uint8_t* q = vsi_nn_ConvertTensorToData(built.graph, out_t);
    EXPECT_NE(q, nullptr);
    if (!q)
        return {};
    std::vector<uint8_t> out(q, q + vsi_nn_tensor_bytes(out_t));
    vsi_nn_Free(q);
    *type = out_t->attr.type;
    return out;
}

inline std::vector<uint8_t> float_bytes(const std::vector<float>& v)
{
    std::vector<uint8_t> b(v.size() * 4);
    if (!b.empty())
        std::memcpy(b.data(), v.data(), b.size());
    return b;
}

inline std::vector<float> bytes_floats(const std::vector<uint8_t>& b)
{
    std::vector<float> v(b.size() / 4);
    if (!v.empty())
        std::memcpy(v.data(), b.data(), v.size() * 4);
    return v;
}

// Values that are neither symmetric nor periodic over small shapes.
inline std::vector<float> pattern(size_t n, float scale = 0.25f, int offset = 0)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = scale * static_cast<float>(static_cast<int>((i * 7 + static_cast<size_t>(offset)) % 13) - 6);
    return v;
}

inline std::vector<int8_t> pattern_i8(size_t n, int offset = 0)
{
    std::vector<int8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<int8_t>(static_cast<int>((i * 37 + static_cast<size_t>(offset)) % 61) - 30);
    return v;
}

}  // namespace ovx_test

#endif
