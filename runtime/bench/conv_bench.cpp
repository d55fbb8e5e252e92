// Convolution layers against references measured in the same run: a naive
// direct loop written here, and (FLOAT32) im2col plus OpenBLAS cblas_sgemm
// with the im2col time included and OpenBLAS set to the same thread count.
// After the benchmarks the program prints each layer's throughput ratios.
//
//   (a) FLOAT32 [1,56,56,64] 3x3 stride 1 pad 1 -> 64, 1 MiB cache
//   (b) FLOAT32 1x1 [1,28,28,128] -> 256
//   (c) FLOAT32 depthwise 3x3 [1,112,112,32]
//   (d) INT8 per-channel version of (a)
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kestrune/nn.h"

extern "C" void openblas_set_num_threads(int);

namespace {

struct Layer {
    int h, w, cin, cout, k, pad;
    bool depthwise;
};

const Layer kA = {56, 56, 64, 64, 3, 1, false};
const Layer kB = {28, 28, 128, 256, 1, 0, false};
const Layer kC = {112, 112, 32, 32, 3, 1, true};

nn_tensor* Alloc(nn_type t, std::vector<int32_t> shape)
{
    nn_tensor* x = nn_tensor_init(nullptr, nullptr);
    nn_tensor_alloc(x, t, (int)shape.size(), shape.data());
    return x;
}

template <class T>
void Fill(nn_tensor* t, std::mt19937& rng, double lo, double hi)
{
    T* p = (T*)nn_tensor_maprw(t);
    std::uniform_real_distribution<double> u(lo, hi);
    for (int i = 0; i < nn_tensor_volume(t); ++i) p[i] = (T)u(rng);
    nn_tensor_unmap(t);
}

// Tensors of one layer for the runtime.
struct Operands {
    nn_tensor *in, *filter, *bias, *out, *cache;
    Layer l;
    bool quantised;
    Operands(const Layer& layer, bool q) : l(layer), quantised(q)
    {
        std::mt19937 rng(1);
        nn_type t = q ? NN_TYPE_I8 : NN_TYPE_F32;
        in = Alloc(t, {1, l.h, l.w, l.cin});
        filter = Alloc(t, {l.k, l.k, l.depthwise ? 1 : l.cin, l.cout});
        out = Alloc(t, {1, l.h, l.w, l.cout});
        bias = Alloc(q ? NN_TYPE_I32 : NN_TYPE_F32, {l.cout});
        cache = Alloc(NN_TYPE_U8, {1 << 20});
        if (!q) {
            Fill<float>(in, rng, -1, 1);
            Fill<float>(filter, rng, -1, 1);
            Fill<float>(bias, rng, -1, 1);
            return;
        }
        Fill<int8_t>(in, rng, -127, 127);
        Fill<int8_t>(filter, rng, -127, 127);
        Fill<int32_t>(bias, rng, -1000, 1000);
        Quant(in, 1, 0.05f);
        Quant(out, 1, 20.0f);
        std::vector<float> s((size_t)l.cout);
        auto* mult = (int32_t*)std::malloc(sizeof(int32_t) * (size_t)l.cout);
        auto* shift = (int32_t*)std::malloc(sizeof(int32_t) * (size_t)l.cout);
        auto* rz = (int32_t*)std::calloc((size_t)l.cout, sizeof(int32_t));
        for (int c = 0; c < l.cout; ++c) {
            s[(size_t)c] = 0.01f + 0.0001f * (float)c;
            int e;
            double f = std::frexp((double)(0.05f * s[(size_t)c] / 20.0f), &e);
            mult[c] = (int32_t)std::lround(f * 2147483648.0);
            shift[c] = e;
        }
        const int8_t* fp = (const int8_t*)nn_tensor_mapro(filter);
        for (int i = 0; i < nn_tensor_volume(filter); ++i) rz[i % l.cout] += fp[i];
        nn_tensor_unmap(filter);
        QuantVec(filter, s, 3);
        for (int c = 0; c < l.cout; ++c) s[(size_t)c] *= 0.05f;
        QuantVec(bias, s, 0);
        nn_tensor_set_aux_object_by_name(filter, "filter_multiplier", mult, free_aux_buffer, true, false);
        nn_tensor_set_aux_object_by_name(filter, "filter_shifts", shift, free_aux_buffer, true, false);
        nn_tensor_set_aux_object_by_name(filter, "filter_reducezero", rz, free_aux_buffer, true, false);
    }
    static void Quant(nn_tensor* t, int n, float s)
    {
        QuantVec(t, std::vector<float>((size_t)n, s), 0);
    }
    static void QuantVec(nn_tensor* t, const std::vector<float>& s, int axis)
    {
        auto* z = (int32_t*)std::calloc(s.size(), sizeof(int32_t));
        auto* sc = (float*)std::malloc(s.size() * sizeof(float));
        std::memcpy(sc, s.data(), s.size() * sizeof(float));
        nn_tensor_set_zeros(t, s.size(), z, 1);
        nn_tensor_set_scales(t, s.size(), sc, 1);
        nn_tensor_set_axis(t, (uint8_t)axis);
    }
    ~Operands()
    {
        for (nn_tensor* t : {in, filter, bias, out, cache}) nn_tensor_release(t);
    }
    int Run()
    {
        const int32_t strides[4] = {1, 1, 1, 1};
        const int32_t pad[8] = {0, 0, l.pad, l.pad, l.pad, l.pad, 0, 0};
        const int32_t dil[4] = {1, 1, 1, 1};
        return nn_conv_ex(out, cache, in, filter, bias, strides, pad, dil,
                          l.depthwise ? l.cout : 1, 0);
    }
};

// Naive direct loops (float and integer), stride 1, same padding.
template <class T, class A>
void Naive(const Layer& l, const T* in, const T* f, A* out)
{
    for (int y = 0; y < l.h; ++y)
        for (int x = 0; x < l.w; ++x)
            for (int co = 0; co < l.cout; ++co) {
                A s = 0;
                for (int ky = 0; ky < l.k; ++ky)
                    for (int kx = 0; kx < l.k; ++kx) {
                        int iy = y - l.pad + ky, ix = x - l.pad + kx;
                        if (iy < 0 || iy >= l.h || ix < 0 || ix >= l.w)
                            continue;
                        if (l.depthwise) {
                            s += (A)in[((size_t)iy * l.w + ix) * l.cin + co] *
                                 (A)f[((size_t)ky * l.k + kx) * l.cout + co];
                            continue;
                        }
                        for (int ci = 0; ci < l.cin; ++ci)
                            s += (A)in[((size_t)iy * l.w + ix) * l.cin + ci] *
                                 (A)f[(((size_t)ky * l.k + kx) * l.cin + ci) * l.cout + co];
                    }
                out[((size_t)y * l.w + x) * l.cout + co] = s;
            }
}

void Im2colSgemm(const Layer& l, const float* in, const float* f, float* out,
                 std::vector<float>& cols)
{
    const int k = l.k * l.k * l.cin;
    cols.resize((size_t)l.h * l.w * k);
    for (int y = 0; y < l.h; ++y)
        for (int x = 0; x < l.w; ++x) {
            float* row = cols.data() + ((size_t)y * l.w + x) * k;
            for (int ky = 0; ky < l.k; ++ky)
                for (int kx = 0; kx < l.k; ++kx) {
                    int iy = y - l.pad + ky, ix = x - l.pad + kx;
                    float* dst = row + (ky * l.k + kx) * l.cin;
                    if (iy < 0 || iy >= l.h || ix < 0 || ix >= l.w)
                        std::memset(dst, 0, sizeof(float) * (size_t)l.cin);
                    else
                        std::memcpy(dst, in + ((size_t)iy * l.w + ix) * l.cin,
                                    sizeof(float) * (size_t)l.cin);
                }
        }
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, l.h * l.w, l.cout, k, 1.0f, cols.data(),
                k, f, l.cout, 0.0f, out, l.cout);
}

void RuntimeLayer(benchmark::State& st, Layer l, bool q)
{
    omp_set_num_threads((int)st.range(0));
    Operands o(l, q);
    for (auto _ : st)
        if (o.Run() != 0)
            st.SkipWithError("nn_conv_ex failed");
}

void NaiveLayer(benchmark::State& st, Layer l, bool q)
{
    Operands o(l, q);
    const void* in = nn_tensor_mapro(o.in);
    const void* f = nn_tensor_mapro(o.filter);
    std::vector<float> outf((size_t)l.h * l.w * l.cout);
    std::vector<int32_t> outq(outf.size());
    for (auto _ : st) {
        if (q)
            Naive<int8_t, int32_t>(l, (const int8_t*)in, (const int8_t*)f, outq.data());
        else
            Naive<float, float>(l, (const float*)in, (const float*)f, outf.data());
        benchmark::ClobberMemory();
    }
    nn_tensor_unmap(o.in);
    nn_tensor_unmap(o.filter);
}

void BlasLayer(benchmark::State& st, Layer l)
{
    openblas_set_num_threads((int)st.range(0));
    Operands o(l, false);
    const float* in = (const float*)nn_tensor_mapro(o.in);
    const float* f = (const float*)nn_tensor_mapro(o.filter);
    std::vector<float> out((size_t)l.h * l.w * l.cout), cols;
    for (auto _ : st) {
        Im2colSgemm(l, in, f, out.data(), cols);
        benchmark::ClobberMemory();
    }
    nn_tensor_unmap(o.in);
    nn_tensor_unmap(o.filter);
}

BENCHMARK_CAPTURE(RuntimeLayer, a, kA, false)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BlasLayer, a, kA)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NaiveLayer, a, kA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RuntimeLayer, b, kB, false)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BlasLayer, b, kB)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NaiveLayer, b, kB, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RuntimeLayer, c, kC, false)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NaiveLayer, c, kC, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RuntimeLayer, d, kA, true)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NaiveLayer, d, kA, true)->Unit(benchmark::kMillisecond);

// Keeps every run's time per iteration for the ratio table.
class Recorder : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

void Ratio(Recorder& r, const char* what, const std::string& ours, const std::string& ref,
           double target)
{
    auto a = r.times.find(ours), b = r.times.find(ref);
    if (a == r.times.end() || b == r.times.end() || a->second <= 0)
        return;
    double ratio = b->second / a->second;
    std::printf("%-44s %7.2fx  (target %.2fx) %s\n", what, ratio, target,
                ratio >= target ? "ok" : "MISS");
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Recorder rec;
    benchmark::RunSpecifiedBenchmarks(&rec);
    std::printf("\nthroughput ratios (reference time / runtime time):\n");
    Ratio(rec, "(a) 1 thread vs OpenBLAS im2col+sgemm", "RuntimeLayer/a/1", "BlasLayer/a/1", 0.25);
    Ratio(rec, "(a) 1 thread vs naive loop", "RuntimeLayer/a/1", "NaiveLayer/a", 8);
    Ratio(rec, "(a) 8 threads vs 1 thread", "RuntimeLayer/a/8", "RuntimeLayer/a/1", 3);
    Ratio(rec, "(b) 1 thread vs OpenBLAS im2col+sgemm", "RuntimeLayer/b/1", "BlasLayer/b/1", 0.25);
    Ratio(rec, "(b) 1 thread vs naive loop", "RuntimeLayer/b/1", "NaiveLayer/b", 8);
    Ratio(rec, "(c) depthwise vs naive loop", "RuntimeLayer/c/1", "NaiveLayer/c", 3);
    Ratio(rec, "(d) INT8 vs naive integer loop", "RuntimeLayer/d/1", "NaiveLayer/d", 4);
    benchmark::Shutdown();
    return 0;
}
