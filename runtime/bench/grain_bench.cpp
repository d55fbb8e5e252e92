// The work grains of runtime/src/core/parallel.h, measured: a grain is the
// work one thread does in the time a whole-team region costs its caller, so
// a family's grain is its single-thread rate times that cost.  The program
// times an empty-bodied region of the default team back to back (the team
// awake, as between the operators of one inference) and after a pause (the
// team asleep), then one operator per kernel family on one thread, and
// prints the grains these give beside the constants.
//
//   grain_bench [rounds]
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "core/parallel.h"
#include "kestrune/nn.h"
#include "platform.h"

namespace {

double now_us()
{
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Tensor {
    nn_tensor* t;
    Tensor(nn_type type, std::vector<int32_t> shape) : t(nn_tensor_init(nullptr, nullptr))
    {
        if (nn_tensor_alloc(t, type, (int)shape.size(), shape.data()) != 0) {
            std::fprintf(stderr, "no memory for a tensor\n");
            std::exit(1);
        }
        nn_tensor_fill(t, 0.25);
    }
    ~Tensor() { nn_tensor_release(t); }
    Tensor(const Tensor&) = delete;
    Tensor& operator=(const Tensor&) = delete;
};

// Median microseconds of one call of f over `rounds` calls after a warm-up.
double time_call(int rounds, const std::function<int()>& f)
{
    if (f() != 0) {
        std::fprintf(stderr, "an operator failed\n");
        std::exit(1);
    }
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) {
        const double t0 = now_us();
        f();
        t.push_back(now_us() - t0);
    }
    return median(t);
}

// Median cost of a whole-team region with a body of a few instructions:
// back to back, or each after a pause long enough for the team to sleep.
double region_us(int rounds, bool after_pause)
{
    static int sink[1024];
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) {
        if (after_pause)
            usleep(3000);
        const double t0 = now_us();
#pragma omp parallel
        sink[(omp_get_thread_num() & 63) * 16] += 1;
        t.push_back(now_us() - t0);
    }
    return median(t);
}

struct Family {
    const char* name;
    const char* unit;
    int64_t constant;
    double work;  // units of one call
    std::function<int()> call;
};

} // namespace

int main(int argc, char** argv)
{
    // The serving program's OpenMP wait: libgomp reads it when it starts.
    if (!std::getenv("OMP_WAIT_POLICY") && !std::getenv("GOMP_SPINCOUNT")) {
        omp_wait_default();
        execv("/proc/self/exe", argv);
    }
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: %s [rounds]\n", argv[0]);
        return 2;
    }
    nn_context* ctx = nn_context_init(nullptr, 0, nullptr, 0, nullptr);  // the team set-up
    const int team = omp_get_max_threads();

    // One operator per family, sized well above its grain.
    Tensor pw_in(NN_TYPE_F32, {1, 56, 56, 64}), pw_f(NN_TYPE_F32, {1, 1, 64, 128}),
        pw_out(NN_TYPE_F32, {1, 56, 56, 128});
    Tensor dw_in(NN_TYPE_F32, {1, 58, 58, 128}), dw_f(NN_TYPE_F32, {3, 3, 1, 128}),
        dw_out(NN_TYPE_F32, {1, 56, 56, 128});
    Tensor cache(NN_TYPE_U8, {1 << 20});
    Tensor a(NN_TYPE_F32, {1, 64, 64, 64}), b(NN_TYPE_F32, {1, 64, 64, 64}),
        sum(NN_TYPE_F32, {1, 64, 64, 64});
    const int32_t ones[4] = {1, 1, 1, 1};
    const int32_t no_pad[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    Family families[] = {
        {"GEMM (1x1 convolution 64->128, 56x56)", "MACs", NN_GRAIN_GEMM_MACS, 56.0 * 56 * 64 * 128,
         [&] { return nn_conv_ex(pw_out.t, nullptr, pw_in.t, pw_f.t, nullptr, ones, no_pad, ones, 1, 0); }},
        {"depthwise (3x3, 128 channels, 56x56)", "MACs", NN_GRAIN_DEPTHWISE_MACS,
         56.0 * 56 * 128 * 9,
         [&] { return nn_conv_ex(dw_out.t, cache.t, dw_in.t, dw_f.t, nullptr, ones, no_pad, ones, 128, 0); }},
        {"bytes (element-wise add, 1 MiB out)", "bytes", NN_GRAIN_BYTES, 64.0 * 64 * 64 * 4,
         [&] { return nn_add(sum.t, a.t, b.t); }},
    };

    const double hot = region_us(rounds * 10, false);
    const double cold = region_us(rounds, true);
    std::printf("whole-team region (%d threads): %.2f us back to back, %.2f us after a 3 ms pause\n\n",
                team, hot, cold);
    std::printf("| family | one thread | grain measured (rate x %.2f us) | constant | constant / measured |\n",
                hot);
    std::printf("|---|---|---|---|---|\n");
    omp_set_num_threads(1);
    for (const Family& f : families) {
        const double us = time_call(rounds, f.call);
        const double rate = f.work / us;
        const double grain = rate * hot;
        std::printf("| %s | %.0f %s/us | %.0f | %lld | %.2f |\n", f.name, rate, f.unit, grain,
                    (long long)f.constant, (double)f.constant / grain);
    }
    omp_set_num_threads(team);
    nn_context_release(ctx);
    return 0;
}
