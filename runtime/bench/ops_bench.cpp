// Operator benchmarks, each against a naive scalar reference measured in the
// same run; the ratios are printed at the end (> 1 means faster than the
// reference).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kernels/portable.h"
#include "kestrune/nn.h"

namespace {

struct Tensor {
    nn_tensor* t;
    Tensor(nn_type type, std::vector<int32_t> shape) : t(nn_tensor_init(nullptr, nullptr))
    {
        nn_tensor_alloc(t, type, (int)shape.size(), shape.data());
    }
    ~Tensor() { nn_tensor_release(t); }
    template <typename T>
    T* data() const
    {
        return (T*)nn_tensor_native_handle(t);
    }
};

const int32_t kFloats = 4 << 20;

void Fill(float* p, int n)
{
    for (int i = 0; i < n; ++i)
        p[i] = (float)((i * 37) % 199) - 99.0f;
}

void BM_relu(benchmark::State& s)
{
    Tensor in(NN_TYPE_F32, {kFloats}), out(NN_TYPE_F32, {kFloats});
    Fill(in.data<float>(), kFloats);
    nn_relu(out.t, in.t);  // first touch of the output's pages
    for (auto _ : s)
        nn_relu(out.t, in.t);
    s.SetBytesProcessed(s.iterations() * (int64_t)kFloats * 8);
}

void BM_relu_naive(benchmark::State& s)
{
    std::vector<float> in(kFloats), out(kFloats);
    Fill(in.data(), kFloats);
    for (auto _ : s) {
        for (int i = 0; i < kFloats; ++i)
            out[i] = in[i] > 0.0f ? in[i] : 0.0f;
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * (int64_t)kFloats * 8);
}

void BM_add(benchmark::State& s)
{
    Tensor a(NN_TYPE_F32, {kFloats}), b(NN_TYPE_F32, {kFloats}), o(NN_TYPE_F32, {kFloats});
    Fill(a.data<float>(), kFloats);
    Fill(b.data<float>(), kFloats);
    nn_add(o.t, a.t, b.t);
    for (auto _ : s)
        nn_add(o.t, a.t, b.t);
}

void BM_add_naive(benchmark::State& s)
{
    std::vector<float> a(kFloats), b(kFloats), o(kFloats);
    Fill(a.data(), kFloats);
    Fill(b.data(), kFloats);
    for (auto _ : s) {
        for (int i = 0; i < kFloats; ++i)
            o[i] = a[i] + b[i];
        benchmark::ClobberMemory();
    }
}

const int32_t kBytes = 1 << 20;

void SetQuant(nn_tensor* t, int32_t zero, float scale)
{
    int32_t* z = (int32_t*)malloc(4);
    float* f = (float*)malloc(4);
    *z = zero;
    *f = scale;
    nn_tensor_set_zeros(t, 1, z, 1);
    nn_tensor_set_scales(t, 1, f, 1);
}

void BM_add_int8(benchmark::State& s)
{
    Tensor a(NN_TYPE_I8, {kBytes}), b(NN_TYPE_I8, {kBytes}), o(NN_TYPE_I8, {kBytes});
    SetQuant(a.t, 3, 0.05f);
    SetQuant(b.t, -2, 0.07f);
    SetQuant(o.t, 1, 0.1f);
    for (int i = 0; i < kBytes; ++i) {
        a.data<int8_t>()[i] = (int8_t)(i * 7);
        b.data<int8_t>()[i] = (int8_t)(i * 13);
    }
    omp_set_num_threads(1);
    nn_add(o.t, a.t, b.t);
    for (auto _ : s)
        nn_add(o.t, a.t, b.t);
    omp_set_num_threads(omp_get_num_procs());
}

void BM_add_int8_generic(benchmark::State& s)
{
    std::vector<int8_t> a(kBytes), b(kBytes), o(kBytes);
    for (int i = 0; i < kBytes; ++i) {
        a[i] = (int8_t)(i * 7);
        b[i] = (int8_t)(i * 13);
    }
    int32_t za = 3, zb = -2, zo = 1;
    float sa = 0.05f, sb = 0.07f, so = 0.1f;
    nn_quant_params qa = {1, &za, 1, &sa, 1, NN_TYPE_I8};
    nn_quant_params qb = {1, &zb, 1, &sb, 1, NN_TYPE_I8};
    nn_quant_params qo = {1, &zo, 1, &so, 1, NN_TYPE_I8};
    for (auto _ : s) {
        binary_quant_generic(0, o.data(), kBytes, a.data(), b.data(), &qa, &qb, &qo);
        benchmark::ClobberMemory();
    }
}

const int32_t kH = 112, kW = 112, kC = 64, kOH = 56, kOW = 56;

void BM_maxpool(benchmark::State& s)
{
    Tensor in(NN_TYPE_F32, {1, kH, kW, kC}), out(NN_TYPE_F32, {1, kOH, kOW, kC});
    Fill(in.data<float>(), kH * kW * kC);
    const int32_t k[4] = {1, 3, 3, 1}, st[4] = {1, 2, 2, 1}, p[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    omp_set_num_threads((int)s.range(0));
    nn_maxpool_ex(out.t, in.t, k, st, p);
    for (auto _ : s)
        nn_maxpool_ex(out.t, in.t, k, st, p);
    omp_set_num_threads(omp_get_num_procs());
}

void BM_maxpool_naive(benchmark::State& s)
{
    std::vector<float> in(kH * kW * kC), out(kOH * kOW * kC);
    Fill(in.data(), kH * kW * kC);
    for (auto _ : s) {
        for (int oy = 0; oy < kOH; ++oy)
            for (int ox = 0; ox < kOW; ++ox)
                for (int c = 0; c < kC; ++c) {
                    float m = -1e9f;
                    for (int ky = 0; ky < 3; ++ky)
                        for (int kx = 0; kx < 3; ++kx) {
                            int iy = oy * 2 - 1 + ky, ix = ox * 2 - 1 + kx;
                            if (iy < 0 || iy >= kH || ix < 0 || ix >= kW)
                                continue;
                            float v = in[(iy * kW + ix) * kC + c];
                            m = v > m ? v : m;
                        }
                    out[(oy * kOW + ox) * kC + c] = m;
                }
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_relu);
BENCHMARK(BM_relu_naive);
BENCHMARK(BM_add);
BENCHMARK(BM_add_naive);
BENCHMARK(BM_add_int8);
BENCHMARK(BM_add_int8_generic);
BENCHMARK(BM_maxpool)->Arg(1)->Arg(8)->UseRealTime();
BENCHMARK(BM_maxpool_naive)->UseRealTime();

struct Collector : benchmark::ConsoleReporter {
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            ns[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector c;
    benchmark::RunSpecifiedBenchmarks(&c);
    auto ratio = [&](const char* what, const char* ref, const char* fast, double target) {
        if (!c.ns.count(ref) || !c.ns.count(fast))
            return;
        double r = c.ns[ref] / c.ns[fast];
        printf("%-44s %6.2fx (target >= %.1fx)\n", what, r, target);
    };
    ratio("nn_relu vs naive loop", "BM_relu_naive", "BM_relu", 0.9);
    ratio("nn_add FLOAT32 vs naive loop", "BM_add_naive", "BM_add", 0.9);
    ratio("nn_add INT8 vs generic quantised kernel", "BM_add_int8_generic", "BM_add_int8", 2.0);
    ratio("nn_maxpool_ex 1 thread vs naive pool", "BM_maxpool_naive/real_time",
          "BM_maxpool/1/real_time", 1.0);
    ratio("nn_maxpool_ex 8 threads vs its 1 thread", "BM_maxpool/1/real_time",
          "BM_maxpool/8/real_time", 3.0);
    return 0;
}
