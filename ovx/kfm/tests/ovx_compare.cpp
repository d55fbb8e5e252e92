// ovx_compare [MODEL.kfm]: runs one KFM model through the runtime and through
// the graph libovx-kfm builds from it (run by the ovxlib stand-in), from the
// same input, and prints both top-1 results and the largest difference of the
// outputs.  Without a file it uses a small conv -> pool -> dense -> softmax
// model of its own.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "layers/layer_test_util.h"
#include "ovx/ovx_kfm.h"

namespace {

using layer_test::list;
using layer_test::text;

kfm::Layer constant(const std::string& name, std::vector<int32_t> shape, size_t n, float scale)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = scale * static_cast<float>(static_cast<int>((i * 7) % 13) - 6);
    return layer_test::constant_f32(name, std::move(shape), std::move(v));
}

// image [1, 8, 8, 3] -> conv 3x3 (pads 1, stride 2, relu) [1, 4, 4, 8] ->
// max pool 2x2 [1, 2, 2, 8] -> flatten [1, 32] -> dense 10 -> softmax.
kfm::Buffer builtin_model()
{
    kfm::Model m;
    m.memory_block_size = 16;
    kfm::Layer conv = kfm::layer("conv", NN_LAYER_CONV2D, {1, 4, 4, 8}, {0, 1, 2});
    conv.parameters = std::vector<kfm::Parameter>{list("strides", {1, 2, 2, 1}), list("head", {0, 1, 1, 0}),
                                                  list("tail", {0, 0, 0, 0}), text("activation", "RELU")};
    kfm::Layer pool = kfm::layer("pool", NN_LAYER_POOL2D, {1, 2, 2, 8}, {3});
    pool.parameters = std::vector<kfm::Parameter>{list("ksize", {1, 2, 2, 1}), list("strides", {1, 2, 2, 1}),
                                                  text("pooling", "MAXIMUM")};
    std::vector<kfm::Layer> layers = {
        kfm::layer("image", NN_LAYER_INPUT, {1, 8, 8, 3}),
        constant("filter", {3, 3, 3, 8}, 216, 0.125f),
        constant("conv_bias", {8}, 8, 0.25f),
        conv,
        pool,
        kfm::layer("flat", NN_LAYER_RESHAPE, {1, 32}, {4}),
        constant("weights", {32, 10}, 320, 0.0625f),
        constant("bias", {10}, 10, 0.5f),
        kfm::layer("scores", NN_LAYER_DENSE, {1, 10}, {5, 6, 7}),
        kfm::layer("probabilities", NN_LAYER_SOFTMAX, {1, 10}, {8}),
    };
    uint32_t block = 0;
    for (kfm::Layer& l : layers) {
        if (*l.type == NN_LAYER_CONSTANT)
            continue;
        l.mempool_offset = block;
        size_t n = 4;
        for (int32_t d : *l.shape)
            n *= static_cast<size_t>(d);
        block += static_cast<uint32_t>(n / 16 + 1);
    }
    m.memory_blocks = block + 1;
    m.layers = layers;
    return kfm::write(m);
}

float real_value(const uint8_t* bytes, size_t i, int32_t type, float scale, int32_t zero)
{
    switch (type) {
    case OVXLIB_TYPE_FLOAT32: {
        float v;
        std::memcpy(&v, bytes + 4 * i, 4);
        return v;
    }
    case OVXLIB_TYPE_UINT8:
        return (static_cast<float>(bytes[i]) - static_cast<float>(zero)) * scale;
    case OVXLIB_TYPE_INT8:
        return (static_cast<float>(static_cast<int8_t>(bytes[i])) - static_cast<float>(zero)) * scale;
    default:
        return 0.0f;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    kfm::Buffer model;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
        model = kfm::Buffer(bytes.data(), bytes.size());
        int code = nn_model_validate(model.data(), model.size());
        if (code != 0) {
            std::fprintf(stderr, "invalid model: %s\n", nn_model_validate_error(code));
            return 1;
        }
    } else {
        model = builtin_model();
    }
    const size_t layers = nn_model_layer_count(model.data());
    size_t input_layer = layers;
    for (size_t i = 0; i < layers && input_layer == layers; ++i)
        if (nn_model_layer_type_id(model.data(), i) == NN_LAYER_INPUT)
            input_layer = i;
    if (layers == 0 || input_layer == layers) {
        std::fprintf(stderr, "the model has no input layer\n");
        return 1;
    }
    const size_t output_layer = layers - 1;

    // The runtime.
    nn_context* ctx = nn_context_init(nullptr, nn_model_memory_size(model.data()), nullptr, 1 << 22, nullptr);
    int status = ctx ? nn_context_model_load(ctx, model.size(), model.data()) : NN_ERROR_OUT_OF_MEMORY;
    if (status != 0) {
        std::fprintf(stderr, "runtime load failed: %s\n", nn_strerror(status));
        nn_context_release(ctx);
        return 1;
    }
    nn_tensor* in_t = nn_context_tensor_index(ctx, input_layer);
    std::vector<uint8_t> input(nn_tensor_size(in_t));
    const nn_type in_type = nn_tensor_type(in_t);
    if (in_type == NN_TYPE_F32) {
        for (size_t i = 0; i < input.size() / 4; ++i) {
            float v = static_cast<float>(static_cast<int>((i * 29) % 101) - 50) / 50.0f;
            std::memcpy(&input[4 * i], &v, 4);
        }
    } else {
        for (size_t i = 0; i < input.size(); ++i)
            input[i] = static_cast<uint8_t>((i * 29) % 251);
    }
    std::memcpy(nn_tensor_mapwo(in_t), input.data(), input.size());
    nn_tensor_unmap(in_t);
    status = nn_context_run(ctx);
    if (status != 0) {
        std::fprintf(stderr, "runtime run failed: %s\n", nn_strerror(status));
        nn_context_release(ctx);
        return 1;
    }
    nn_tensor* out_t = nn_context_tensor_index(ctx, output_layer);
    int rt_index = -1;
    float rt_score = 0;
    nn_argmax(out_t, &rt_index, &rt_score, sizeof rt_score);

    // The graph.
    std::vector<uint32_t> ids(layers);
    ovxlib_context* vx = vsi_nn_CreateContext();
    ovxlib_graph* graph = model2graph(model.data(), vx, ids.data());
    int result = 1;
    if (!graph || vsi_nn_SetupGraph(graph, 0) != 0 || vsi_nn_VerifyGraph(graph) == -1) {
        std::fprintf(stderr, "graph build or verification failed\n");
    } else {
        ovxlib_tensor* gin = vsi_nn_GetTensor(graph, graph->input_ids[0]);
        if (gin->attr.type == OVXLIB_TYPE_UINT8 && in_type == NN_TYPE_I8)
            for (uint8_t& b : input)
                b ^= 0x80;  // INT8 declared as UINT8 with the zero point + 128
        ovxlib_tensor* gout = vsi_nn_GetTensor(graph, graph->output_ids[0]);
        uint8_t* got = nullptr;
        if (vsi_nn_tensor_bytes(gin) != input.size() || vsi_nn_CopyDataToTensor(graph, gin, input.data()) != 0 ||
            vsi_nn_RunGraph(graph) != 0 || !(got = vsi_nn_ConvertTensorToData(graph, gout))) {
            std::fprintf(stderr, "graph run failed\n");
        } else {
            int32_t vx_index = -1;
            float vx_score = 0;
            vsi_nn_argmax(graph, gout, &vx_index, &vx_score, sizeof vx_score);
            const uint32_t n = vsi_nn_tensor_volume(gout);
            const uint8_t* want = static_cast<const uint8_t*>(nn_tensor_mapro(out_t));
            const int32_t rt_type = nn_tensor_type(out_t) == NN_TYPE_F32 ? OVXLIB_TYPE_FLOAT32
                                    : nn_tensor_type(out_t) == NN_TYPE_I8 ? OVXLIB_TYPE_INT8
                                                                          : OVXLIB_TYPE_UINT8;
            const ovxlib_quant& gq = gout->attr.quant;
            // Both sides in the graph's real values (the runtime's bytes with the graph's scale).
            const int32_t rt_zero = rt_type == OVXLIB_TYPE_INT8 && gout->attr.type == OVXLIB_TYPE_UINT8
                                        ? gq.zero_point - 128
                                        : gq.zero_point;
            double largest = 0;
            if (n * 1ull * (rt_type == OVXLIB_TYPE_FLOAT32 ? 4 : 1) == nn_tensor_size(out_t)) {
                for (uint32_t i = 0; i < n; ++i) {
                    double d = std::fabs(real_value(got, i, gout->attr.type, gq.scale, gq.zero_point) -
                                         real_value(want, i, rt_type, gq.scale, rt_zero));
                    largest = d > largest ? d : largest;
                }
                result = 0;
            } else {
                std::fprintf(stderr, "the outputs differ in size\n");
            }
            nn_tensor_unmap(out_t);
            std::printf("runtime top-1: index %d score %.6f\n", rt_index, static_cast<double>(rt_score));
            std::printf("graph   top-1: index %d score %.6f\n", vx_index, static_cast<double>(vx_score));
            std::printf("largest difference: %.9g over %u outputs\n", largest, n);
            vsi_nn_Free(got);
        }
    }
    ovx_kfm_free_node_arrays(graph);
    vsi_nn_ReleaseGraph(&graph);
    vsi_nn_ReleaseContext(&vx);
    nn_context_release(ctx);
    return result;
}
