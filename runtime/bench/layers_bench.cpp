// Stepping a quantised INT8 conv2d layer (1x56x56x64 -> 64, 3x3, padding 1)
// after its first step against a direct nn_conv_ex call on the same prepared
// tensors (limit 1.05x: a step must not repeat the preparation or parse more
// than the layer's few parameters).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "ratio_reporter.h"

namespace {

kfm::Parameter list(const std::string& name, std::vector<int32_t> v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(v);
    return p;
}

struct ConvModel {
    ConvModel()
    {
        kfm::Model m;
        m.memory_block_size = 64;
        kfm::Layer x = kfm::layer("x", NN_LAYER_INPUT, {1, 56, 56, 64});
        x.datatype = NN_TYPE_I8;
        x.scales = std::vector<float>{0.05f};
        x.zeros = std::vector<int32_t>{3};
        x.mempool_offset = 0;
        kfm::Layer w = kfm::layer("w", NN_LAYER_CONSTANT, {3, 3, 64, 64});
        kfm::Parameter data = kfm::parameter("data");
        data.shape = std::vector<int32_t>{3, 3, 64, 64};
        std::vector<int8_t> values(3 * 3 * 64 * 64);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = static_cast<int8_t>(static_cast<int>((i * 37) % 61) - 30);
        data.data_i8 = values;
        w.parameters = std::vector<kfm::Parameter>{data};
        w.datatype = NN_TYPE_I8;
        w.scales = std::vector<float>(64, 0.01f);
        w.zeros = std::vector<int32_t>(64, 0);
        kfm::Layer c = kfm::layer("c", NN_LAYER_CONV2D, {1, 56, 56, 64}, {0, 1});
        c.datatype = NN_TYPE_I8;
        c.scales = std::vector<float>{0.1f};
        c.zeros = std::vector<int32_t>{-1};
        c.mempool_offset = 56 * 56 * 64 / 64;
        c.parameters = std::vector<kfm::Parameter>{list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}),
                                                   list("tail", {0, 1, 1, 0})};
        m.layers = std::vector<kfm::Layer>{x, w, c};
        buf = kfm::write(m);
        ctx = nn_context_init(nullptr, 2 * 56 * 56 * 64 + 4096, nullptr, 8 << 20, nullptr);
        if (!ctx || nn_context_model_load(ctx, buf.size(), buf.data()) != 0) {
            std::fprintf(stderr, "model load failed\n");
            std::exit(1);
        }
        int8_t* in = static_cast<int8_t*>(nn_tensor_mapwo(nn_context_tensor_index(ctx, 0)));
        for (int i = 0; i < 56 * 56 * 64; ++i)
            in[i] = static_cast<int8_t>((i * 11) % 97 - 48);
        nn_tensor_unmap(nn_context_tensor_index(ctx, 0));
        if (nn_context_step(ctx, 2) != 0) {  // the first step prepares the filter
            std::fprintf(stderr, "first step failed\n");
            std::exit(1);
        }
    }
    ~ConvModel() { nn_context_release(ctx); }
    kfm::Buffer buf;
    nn_context* ctx = nullptr;
};

ConvModel& model()
{
    static ConvModel m;
    return m;
}

void BM_StepConv2d(benchmark::State& state)
{
    nn_context* ctx = model().ctx;
    for (auto _ : state)
        benchmark::DoNotOptimize(nn_context_step(ctx, 2));
}
BENCHMARK(BM_StepConv2d)->Unit(benchmark::kMillisecond);

void BM_DirectConv(benchmark::State& state)
{
    nn_context* ctx = model().ctx;
    nn_tensor* out = nn_context_tensor_index(ctx, 2);
    nn_tensor* in = nn_context_tensor_index(ctx, 0);
    nn_tensor* filter = nn_context_tensor_index(ctx, 1);
    nn_tensor* cache = nn_context_cache(ctx);
    const int32_t strides[4] = {1, 1, 1, 1}, dilations[4] = {1, 1, 1, 1};
    const int32_t pad[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    for (auto _ : state)
        benchmark::DoNotOptimize(nn_conv_ex(out, cache, in, filter, nullptr, strides, pad, dilations, 1, 0));
}
BENCHMARK(BM_DirectConv)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.per_iteration;
    int failed = 0;
    if (t.count("BM_StepConv2d") && t.count("BM_DirectConv")) {
        double ratio = t["BM_StepConv2d"] / t["BM_DirectConv"];
        failed = ratio > 1.05;
        std::printf("%-24s %8.4f (limit %.3f) %s\n", "step / direct conv", ratio, 1.05, failed ? "OVER" : "ok");
    }
    benchmark::Shutdown();
    return failed;
}
