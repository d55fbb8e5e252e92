// Demonstration: writes a small KFM file, reads it back, validates it, loads
// it into a context with a memory pool, runs it and prints the output tensor
// and what the model queries answer.
//
//     kfm_demo [path]      (default: demo.kfm in the temporary folder)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"

namespace {

kfm::Model demo_model()
{
    kfm::Model m;
    m.name = "demo";
    m.labels = std::vector<std::string>{"low", "high"};
    m.memory_block_size = 16;
    m.memory_blocks = 4;
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{4};

    kfm::Layer x = kfm::layer("x", NN_LAYER_INPUT, {1, 4});
    x.mempool_offset = 0;
    kfm::Layer w = kfm::layer("w", NN_LAYER_CONSTANT, {1, 4});
    kfm::Parameter data = kfm::parameter("data");
    data.shape = std::vector<int32_t>{1, 4};
    data.data_f32 = std::vector<float>{0.5f, -1.25f, 3.0f, 100.0f};
    w.parameters = std::vector<kfm::Parameter>{data};
    // x <- w, then quantise to INT8 (scale 0.25, zero 4) and back to floats.
    kfm::Layer copy = kfm::layer("x_from_w", NN_LAYER_COPY, {1, 4}, {0, 1});
    kfm::Layer q = kfm::layer("q", NN_LAYER_QUANT, {1, 4}, {0});
    q.mempool_offset = 1;
    q.datatype = NN_TYPE_I8;
    q.scales = std::vector<float>{0.25f};
    q.zeros = std::vector<int32_t>{4};
    q.axis = 0;
    kfm::Layer y = kfm::layer("y", NN_LAYER_DEQUANT, {1, 4}, {3});
    y.mempool_offset = 2;
    m.layers = std::vector<kfm::Layer>{x, w, copy, q, y};
    return m;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string path = argc > 1 ? argv[1] : std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/demo.kfm";
    kfm::Buffer written = kfm::write(demo_model());
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(written.data()), static_cast<std::streamsize>(written.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    kfm::Buffer model(bytes.data(), bytes.size());  // 16-byte aligned copy
    std::printf("%s: %zu bytes\n", path.c_str(), model.size());

    int code = nn_model_validate(model.data(), model.size());
    std::printf("validate: %d (%s)\n", code, nn_model_validate_error(code));
    if (code)
        return 1;

    const void* m = model.data();
    std::printf("model \"%s\": %zu layers, %d labels, memory %zu bytes, cache %zu..%zu\n", nn_model_name(m),
                nn_model_layer_count(m), nn_model_label_count(m), nn_model_memory_size(m),
                nn_model_cache_minimum_size(m), nn_model_cache_optimum_size(m));
    for (size_t i = 0; i < nn_model_layer_count(m); ++i) {
        size_t dims = 0;
        const int32_t* shape = nn_model_layer_shape(m, i, &dims);
        std::printf("  layer %zu %-9s %-8s %-3s [", i, nn_model_layer_name(m, i), nn_model_layer_type(m, i),
                    nn_model_layer_datatype(m, i));
        for (size_t d = 0; shape && d < dims; ++d)
            std::printf(" %d", shape[d]);
        std::printf(" ]\n");
    }

    nn_context* ctx = nn_context_init(nullptr, nn_model_memory_size(m), nullptr, 0, nullptr);
    if (!ctx)
        return 1;
    int status = nn_context_model_load(ctx, model.size(), model.data());
    std::printf("load: %d (%s)\n", status, nn_strerror(status));
    if (status == 0) {
        status = nn_context_run(ctx);
        std::printf("run: %d (%s)\n", status, nn_strerror(status));
        size_t n = 0;
        const uint32_t* outputs = nn_model_outputs(m, &n);
        nn_tensor* y = outputs && n ? nn_context_tensor_index(ctx, outputs[0]) : nullptr;
        std::printf("output %s: ", y ? nn_model_layer_name(m, outputs[0]) : "?");
        nn_tensor_printf(y, true, stdout);
        std::printf("\n");
    }
    nn_context_release(ctx);
    return status == 0 ? 0 : 1;
}
