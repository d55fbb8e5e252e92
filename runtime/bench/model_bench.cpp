// Model verification, load and run costs against references measured in the
// same run:
//   nn_model_validate and load + unload of a 200-layer model holding a 64 MiB
//   constant, each against a memcpy of the whole buffer (limit 2 %: neither
//   may scan or copy the weights);
//   nn_context_run over 1000 copy layers of 256 floats against 1000 direct
//   nn_tensor_copy calls on the same tensors (limit 1.5x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "ratio_reporter.h"

namespace {

kfm::Buffer big_model()
{
    kfm::Model m;
    m.memory_block_size = 64;
    kfm::Layer w = kfm::layer("weights", 2, {16 * 1024 * 1024});
    kfm::Parameter data = kfm::parameter("data");
    data.shape = std::vector<int32_t>{16 * 1024 * 1024};
    data.data_f32 = std::vector<float>(16 * 1024 * 1024, 0.5f);
    w.parameters = std::vector<kfm::Parameter>{data};
    std::vector<kfm::Layer> layers{w};
    for (uint32_t i = 1; i < 200; ++i) {
        kfm::Layer l = kfm::layer("l" + std::to_string(i), i == 1 ? 1 : 42, {1, 16}, {i - 1});
        if (i == 1)
            l.inputs.reset();
        l.mempool_offset = i;
        layers.push_back(l);
    }
    m.layers = layers;
    return kfm::write(m);
}

const kfm::Buffer& big()
{
    static kfm::Buffer b = big_model();
    return b;
}

void BM_MemcpyOfTheBuffer(benchmark::State& state)
{
    const kfm::Buffer& b = big();
    std::vector<uint8_t> dst(b.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), b.data(), b.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyOfTheBuffer)->Unit(benchmark::kMicrosecond);

void BM_Validate(benchmark::State& state)
{
    const kfm::Buffer& b = big();
    for (auto _ : state)
        benchmark::DoNotOptimize(nn_model_validate(b.data(), b.size()));
}
BENCHMARK(BM_Validate)->Unit(benchmark::kMicrosecond);

void BM_LoadUnload(benchmark::State& state)
{
    const kfm::Buffer& b = big();
    nn_context* ctx = nn_context_init(nullptr, 64 * 256, nullptr, 0, nullptr);
    for (auto _ : state) {
        if (nn_context_model_load(ctx, b.size(), b.data()) != 0)
            state.SkipWithError("load failed");
        nn_context_model_unload(ctx);
    }
    nn_context_release(ctx);
}
BENCHMARK(BM_LoadUnload)->Unit(benchmark::kMicrosecond);

struct CopyModel {
    kfm::Buffer buf;
    nn_context* ctx;
    CopyModel()
    {
        kfm::Model m;
        m.memory_block_size = 1024;
        std::vector<kfm::Layer> layers;
        for (uint32_t i = 0; i < 2; ++i) {
            kfm::Layer in = kfm::layer(i ? "b" : "a", 1, {256});
            in.mempool_offset = i;
            layers.push_back(in);
        }
        for (int i = 0; i < 1000; ++i)
            layers.push_back(kfm::layer("c" + std::to_string(i), 14, {256}, {0, 1}));
        m.layers = layers;
        buf = kfm::write(m);
        ctx = nn_context_init(nullptr, 2048, nullptr, 0, nullptr);
        if (nn_context_model_load(ctx, buf.size(), buf.data()) != 0)
            std::fprintf(stderr, "copy model did not load\n");
    }
    ~CopyModel() { nn_context_release(ctx); }
};

CopyModel& copies()
{
    static CopyModel m;
    return m;
}

void BM_RunThousandCopies(benchmark::State& state)
{
    CopyModel& m = copies();
    for (auto _ : state)
        benchmark::DoNotOptimize(nn_context_run(m.ctx));
}
BENCHMARK(BM_RunThousandCopies)->Unit(benchmark::kMicrosecond);

void BM_DirectThousandCopies(benchmark::State& state)
{
    CopyModel& m = copies();
    std::vector<nn_tensor*> outs;
    for (size_t i = 2; i < 1002; ++i)
        outs.push_back(nn_context_tensor_index(m.ctx, i));
    nn_tensor* src = nn_context_tensor_index(m.ctx, 1);
    for (auto _ : state)
        for (nn_tensor* out : outs)
            benchmark::DoNotOptimize(nn_tensor_copy(out, src));
}
BENCHMARK(BM_DirectThousandCopies)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.per_iteration;
    struct Ratio {
        const char* what;
        const char* num;
        const char* den;
        double limit;
    } ratios[] = {
        {"validate / memcpy", "BM_Validate", "BM_MemcpyOfTheBuffer", 0.02},
        {"load+unload / memcpy", "BM_LoadUnload", "BM_MemcpyOfTheBuffer", 0.02},
        {"run / direct copies", "BM_RunThousandCopies", "BM_DirectThousandCopies", 1.5},
    };
    int failed = 0;
    for (const Ratio& r : ratios) {
        if (!t.count(r.num) || !t.count(r.den) || t[r.den] <= 0)
            continue;
        double ratio = t[r.num] / t[r.den];
        bool ok = ratio <= r.limit;
        failed += !ok;
        std::printf("%-24s %8.4f (limit %.3f) %s\n", r.what, ratio, r.limit, ok ? "ok" : "OVER");
    }
    benchmark::Shutdown();
    return failed ? 1 : 0;
}
