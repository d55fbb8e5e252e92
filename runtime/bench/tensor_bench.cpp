// Tensor operation benchmarks, each against a reference measured in the same
// run:
//   UINT8 dequantize of 4 Mi elements on one thread  vs  a plain scalar loop
//   FLOAT32 fill of 16 MiB                             vs  std::fill_n
//   UINT8 quantize of 16 Mi floats on four threads     vs  the same on one
// The ratios are printed after Google Benchmark's own table.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "kestrune/nn.h"

namespace {

constexpr int kDequantElements = 4 << 20;
constexpr int kFillFloats = 4 << 20;  // 16 MiB
constexpr int kQuantElements = 16 << 20;

struct Tensor {
    nn_tensor* t;
    Tensor(nn_type type, int n) : t(nn_tensor_init(nullptr, nullptr))
    {
        int32_t shape[1] = {n};
        if (nn_tensor_alloc(t, type, 1, shape) != 0) {
            fprintf(stderr, "allocation of %d elements failed\n", n);
            exit(1);
        }
    }
    ~Tensor() { nn_tensor_release(t); }
};

void SetQuant(nn_tensor* t, int32_t zero, float scale)
{
    int32_t* z = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    float* s = static_cast<float*>(malloc(sizeof(float)));
    *z = zero;
    *s = scale;
    nn_tensor_set_zeros(t, 1, z, 1);
    nn_tensor_set_scales(t, 1, s, 1);
}

void DequantizeRuntime(benchmark::State& state)
{
    omp_set_num_threads(1);
    Tensor q(NN_TYPE_U8, kDequantElements);
    SetQuant(q.t, 128, 0.05f);
    uint8_t* p = static_cast<uint8_t*>(nn_tensor_maprw(q.t));
    for (int i = 0; i < kDequantElements; ++i)
        p[i] = static_cast<uint8_t>(i * 31);
    nn_tensor_unmap(q.t);
    std::vector<float> out(kDequantElements);
    for (auto _ : state) {
        nn_tensor_dequantize_buffer(q.t, out.size(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kDequantElements);
}

void DequantizeScalarLoop(benchmark::State& state)
{
    std::vector<uint8_t> q(kDequantElements);
    for (int i = 0; i < kDequantElements; ++i)
        q[i] = static_cast<uint8_t>(i * 31);
    std::vector<float> out(kDequantElements);
    const int32_t zero = 128;
    const float scale = 0.05f;
    for (auto _ : state) {
        const uint8_t* in = q.data();
        float* o = out.data();
        for (int i = 0; i < kDequantElements; ++i)
            o[i] = static_cast<float>(in[i] - zero) * scale;
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kDequantElements);
}

void FillRuntime(benchmark::State& state)
{
    Tensor t(NN_TYPE_F32, kFillFloats);
    for (auto _ : state) {
        nn_tensor_fill(t.t, 1.5);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kFillFloats * 4);
}

void FillStdFillN(benchmark::State& state)
{
    std::vector<float> v(kFillFloats);
    for (auto _ : state) {
        std::fill_n(v.data(), kFillFloats, 1.5f);
        benchmark::DoNotOptimize(v.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kFillFloats * 4);
}

void QuantizeThreads(benchmark::State& state)
{
    omp_set_num_threads(static_cast<int>(state.range(0)));
    Tensor q(NN_TYPE_U8, kQuantElements);
    SetQuant(q.t, 128, 0.05f);
    std::vector<float> in(kQuantElements);
    for (int i = 0; i < kQuantElements; ++i)
        in[i] = static_cast<float>(i % 1000) * 0.01f - 5.0f;
    for (auto _ : state) {
        nn_tensor_quantize_buffer(q.t, in.size(), in.data(), 1);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kQuantElements);
    omp_set_num_threads(1);
}

// Keeps each run's mean real time per iteration, by name.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times;
    std::map<std::string, bool> from_mean;
    // With repetitions the mean wins over single runs.
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred)
                continue;
            const std::string name = r.run_name.str();
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean") {
                times[name] = r.GetAdjustedRealTime();
                from_mean[name] = true;
            } else if (r.run_type == Run::RT_Iteration && !from_mean[name]) {
                times[name] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatio(const RatioReporter& rep, const char* what, const std::string& a,
                const std::string& b, const char* goal)
{
    auto ia = rep.times.find(a), ib = rep.times.find(b);
    if (ia == rep.times.end() || ib == rep.times.end() || ib->second <= 0)
        return;
    printf("%-46s %6.2fx  (%s)\n", what, ia->second / ib->second, goal);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::RegisterBenchmark("dequantize_u8/runtime_1thread", DequantizeRuntime)->UseRealTime();
    benchmark::RegisterBenchmark("dequantize_u8/scalar_loop", DequantizeScalarLoop)->UseRealTime();
    benchmark::RegisterBenchmark("fill_f32/runtime", FillRuntime)->UseRealTime();
    benchmark::RegisterBenchmark("fill_f32/std_fill_n", FillStdFillN)->UseRealTime();
    benchmark::RegisterBenchmark("quantize_u8/threads", QuantizeThreads)
        ->Arg(1)
        ->Arg(4)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\nratios (time / reference time, same run):\n");
    PrintRatio(reporter, "dequantize u8, runtime / scalar loop",
               "dequantize_u8/runtime_1thread/real_time", "dequantize_u8/scalar_loop/real_time",
               "goal <= 1.2");
    PrintRatio(reporter, "fill f32, runtime / std::fill_n", "fill_f32/runtime/real_time",
               "fill_f32/std_fill_n/real_time", "goal <= 1.5");
    PrintRatio(reporter, "quantize u8, 1 thread / 4 threads", "quantize_u8/threads/1/real_time",
               "quantize_u8/threads/4/real_time", "speed-up, goal >= 2");
    benchmark::Shutdown();
    return 0;
}
