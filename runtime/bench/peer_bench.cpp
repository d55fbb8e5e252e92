// The benchmark network (insn/mobilenet.h) through libkestrune-rt and through
// ONNX Runtime's C API in one process, FLOAT32 and INT8, at 1, 4 and 8
// threads: median latencies, their ratio, and each output's largest
// difference from a float64 reference computed here.
//
// The same weights and input go to both: as KFM (NHWC, the test tree's KFM
// writer) and as ONNX (NCHW, the ONNX plug-in's test writer).  The INT8 ONNX
// model is QDQ: QuantizeLinear/DequantizeLinear around each Conv (weights
// per channel, bias INT32 at input scale x weight scale), which ONNX Runtime
// fuses into QLinearConv; no Clip before a QuantizeLinear (the [0, 6] range
// of the RELU6 outputs is the quantisation's own).  The pool, dense and
// softmax after the last convolution are float in ONNX and INT8 in KFM; INT8
// differences are also given in output steps (1/256): each output and the
// reference rounded to a step, the largest difference of the two.
//
// Usage: peer_bench [runs per round]   (7 rounds, the two engines alternating)
//        peer_bench layers [threads]    (our median time of each layer)
//        peer_bench team [model.kfm]    (ours at 1 thread and at the default
//                                        team: the model, or the network)
#include <omp.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernels/cpu_isa.h"
#include "mobilenet.h"
#include "onnx_writer.h"
#include "ort_run.h"
#include "platform.h"

namespace {


using namespace mobilenet;

double now_ms()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- float64 reference ------------------------------------------------------

// "Same" padding of the benchmark convolutions: the head row and column (3x3
// stride 1 only) and the tail.
int pad_head(const Conv& c) { return c.k == 3 && c.stride == 1 ? 1 : 0; }
int pad_tail(const Conv& c) { return c.k == 3 ? 1 : 0; }

std::vector<double> reference(const Weights& wt)
{
    const std::vector<float> x = input();
    std::vector<double> a(x.begin(), x.end());  // NHWC
    int size = kSize, ch = 3;
    for (int l = 0; l < kConvCount; ++l) {
        const Conv& c = kConvs[l];
        const int out = c.stride == 2 ? size / 2 : size;
        const std::vector<float>& w = wt.conv_w[static_cast<size_t>(l)];
        const std::vector<float>& b = wt.conv_b[static_cast<size_t>(l)];
        std::vector<double> y(static_cast<size_t>(out) * out * c.cout);
        for (int oy = 0; oy < out; ++oy)
            for (int ox = 0; ox < out; ++ox)
                for (int o = 0; o < c.cout; ++o) {
                    double s = b[static_cast<size_t>(o)];
                    for (int ky = 0; ky < c.k; ++ky)
                        for (int kx = 0; kx < c.k; ++kx) {
                            const int iy = oy * c.stride + ky - pad_head(c);
                            const int ix = ox * c.stride + kx - pad_head(c);
                            if (iy < 0 || ix < 0 || iy >= size || ix >= size)
                                continue;
                            const double* in = &a[(static_cast<size_t>(iy) * size + ix) * ch];
                            if (c.depthwise) {
                                s += in[o] * w[static_cast<size_t>((ky * c.k + kx) * c.cout + o)];
                                continue;
                            }
                            for (int i = 0; i < c.cin; ++i)
                                s += in[i] * w[static_cast<size_t>(((ky * c.k + kx) * c.cin + i) * c.cout + o)];
                        }
                    y[(static_cast<size_t>(oy) * out + ox) * c.cout + o] = std::min(std::max(s, 0.0), 6.0);
                }
        a.swap(y);
        size = out;
        ch = c.cout;
    }
    std::vector<double> pooled(static_cast<size_t>(ch), 0.0);
    for (size_t p = 0; p < static_cast<size_t>(size) * size; ++p)
        for (int c = 0; c < ch; ++c)
            pooled[static_cast<size_t>(c)] += a[p * ch + c] / (static_cast<double>(size) * size);
    std::vector<double> z(kClasses);
    double top = -1e300, sum = 0.0;
    for (int j = 0; j < kClasses; ++j) {
        double s = wt.dense_b[static_cast<size_t>(j)];
        for (int c = 0; c < ch; ++c)
            s += pooled[static_cast<size_t>(c)] * wt.dense_w[static_cast<size_t>(c * kClasses + j)];
        z[static_cast<size_t>(j)] = s;
        top = std::max(top, s);
    }
    for (double& v : z)
        sum += (v = std::exp(v - top));
    for (double& v : z)
        v /= sum;
    return z;
}

// ---- the ONNX models ----------------------------------------------------------

template <typename T>
onnxtest::Initializer raw(const std::string& name, int32_t elem, std::vector<int64_t> dims,
                          const std::vector<T>& values)
{
    onnxtest::Initializer i{name, elem, std::move(dims), {}};
    i.raw.resize(values.size() * sizeof(T));
    std::memcpy(i.raw.data(), values.data(), i.raw.size());
    return i;
}

// A [k, k, cin, cout] (or [k, k, 1, ch]) filter as [cout, cin, k, k].
template <typename T>
std::vector<T> to_oihw(const std::vector<T>& w, const Conv& c)
{
    const int cin = c.depthwise ? 1 : c.cin;
    std::vector<T> o(w.size());
    for (int ky = 0; ky < c.k; ++ky)
        for (int kx = 0; kx < c.k; ++kx)
            for (int i = 0; i < cin; ++i)
                for (int oc = 0; oc < c.cout; ++oc)
                    o[static_cast<size_t>(((oc * cin + i) * c.k + ky) * c.k + kx)] =
                        w[static_cast<size_t>(((ky * c.k + kx) * cin + i) * c.cout + oc)];
    return o;
}

std::vector<uint8_t> onnx_model(const Weights& wt, bool qdq)
{
    using namespace onnxtest;
    Graph g;
    g.name = "mobilenet";
    g.inputs.push_back(Value{"x", FLOAT, {1, 3, kSize, kSize}});
    g.outputs.push_back(Value{"y", FLOAT, {1, kClasses}});
    g.initializers.push_back(Initializer::of_floats("zero", {}, {0.0f}));
    g.initializers.push_back(Initializer::of_floats("six", {}, {6.0f}));
    // a value through QuantizeLinear and DequantizeLinear at (scale, zero)
    auto qdq_pair = [&](const std::string& v, const std::string& tag, float scale, int8_t zero) {
        g.initializers.push_back(Initializer::of_floats(tag + "/s", {}, {scale}));
        g.initializers.push_back(raw<int8_t>(tag + "/z", INT8, {}, {zero}));
        g.nodes.push_back(Node{"QuantizeLinear", {v, tag + "/s", tag + "/z"}, {tag + "/q"}, {}});
        g.nodes.push_back(Node{"DequantizeLinear", {tag + "/q", tag + "/s", tag + "/z"}, {tag + "/dq"}, {}});
        return tag + "/dq";
    };
    std::string prev = qdq ? qdq_pair("x", "x", kInputScale, 0) : "x";
    float prev_scale = kInputScale;
    for (int l = 0; l < kConvCount; ++l) {
        const Conv& c = kConvs[l];
        const std::string n = "c" + std::to_string(l);
        const std::vector<int64_t> wdims = {c.cout, c.depthwise ? 1 : c.cin, c.k, c.k};
        std::string w = n + "/w", b = n + "/b";
        if (qdq) {
            std::vector<int8_t> q;
            std::vector<float> s;
            quantise_weights(wt.conv_w[static_cast<size_t>(l)], c.cout, &q, &s);
            std::vector<int32_t> qb(static_cast<size_t>(c.cout));
            std::vector<float> bs(static_cast<size_t>(c.cout));
            for (size_t o = 0; o < qb.size(); ++o) {
                bs[o] = prev_scale * s[o];
                qb[o] = static_cast<int32_t>(std::nearbyint(wt.conv_b[static_cast<size_t>(l)][o] / bs[o]));
            }
            g.initializers.push_back(raw<int8_t>(n + "/wq", INT8, wdims, to_oihw(q, c)));
            g.initializers.push_back(Initializer::of_floats(n + "/ws", {c.cout}, s));
            g.initializers.push_back(raw<int8_t>(n + "/wz", INT8, {c.cout}, std::vector<int8_t>(qb.size(), 0)));
            g.initializers.push_back(raw<int32_t>(n + "/bq", INT32, {c.cout}, qb));
            g.initializers.push_back(Initializer::of_floats(n + "/bs", {c.cout}, bs));
            g.initializers.push_back(raw<int32_t>(n + "/bz", INT32, {c.cout}, std::vector<int32_t>(qb.size(), 0)));
            const Attribute axis = Attribute::of_int("axis", 0);
            g.nodes.push_back(Node{"DequantizeLinear", {n + "/wq", n + "/ws", n + "/wz"}, {w}, {axis}});
            g.nodes.push_back(Node{"DequantizeLinear", {n + "/bq", n + "/bs", n + "/bz"}, {b}, {axis}});
        } else {
            g.initializers.push_back(Initializer::of_floats(w, wdims, to_oihw(wt.conv_w[static_cast<size_t>(l)], c)));
            g.initializers.push_back(Initializer::of_floats(b, {c.cout}, wt.conv_b[static_cast<size_t>(l)]));
        }
        std::vector<Attribute> attrs = {
            Attribute::of_ints("kernel_shape", {c.k, c.k}),
            Attribute::of_ints("strides", {c.stride, c.stride}),
            Attribute::of_ints("pads", {pad_head(c), pad_head(c), pad_tail(c), pad_tail(c)})};
        if (c.depthwise)
            attrs.push_back(Attribute::of_int("group", c.cout));
        g.nodes.push_back(Node{"Conv", {prev, w, b}, {n + "/y"}, attrs});
        if (qdq) {
            prev = qdq_pair(n + "/y", n + "/out", kRelu6Scale, static_cast<int8_t>(kRelu6Zero));
            prev_scale = kRelu6Scale;
        } else {
            g.nodes.push_back(Node{"Clip", {n + "/y", "zero", "six"}, {n + "/r"}, {}});
            prev = n + "/r";
        }
    }
    const int ch = kConvs[kConvCount - 1].cout;
    g.initializers.push_back(Initializer::of_floats("dense/w", {ch, kClasses}, wt.dense_w));
    g.initializers.push_back(Initializer::of_floats("dense/b", {kClasses}, wt.dense_b));
    g.nodes.push_back(Node{"GlobalAveragePool", {prev}, {"pool"}, {}});
    g.nodes.push_back(Node{"Flatten", {"pool"}, {"flat"}, {}});
    g.nodes.push_back(Node{"Gemm", {"flat", "dense/w", "dense/b"}, {"logits"}, {}});
    g.nodes.push_back(Node{"Softmax", {"logits"}, {"y"}, {Attribute::of_int("axis", 1)}});
    return write_model(g);
}

// ---- the two engines ----------------------------------------------------------

struct Ours {
    nn_context* ctx = nullptr;
    nn_tensor* out = nullptr;
    bool int8 = false;

    bool open(const Network& net, bool q)
    {
        int8 = q;
        ctx = nn_context_init(nullptr, net.pool_bytes, nullptr, 16u << 20, nullptr);
        if (!ctx || nn_context_model_load(ctx, net.buffer.size(), net.buffer.data()) != 0)
            return false;
        set_input(nn_context_tensor_index(ctx, 0), int8);
        out = nn_context_tensor_index(ctx, net.steps.back().layer);
        return run();  // the first run prepares the filters
    }
    bool run() { return nn_context_run(ctx) == 0; }
    std::vector<double> outputs()
    {
        std::vector<double> v;
        const void* p = nn_tensor_mapro(out);
        for (int j = 0; p && j < kClasses; ++j)
            v.push_back(int8 ? (static_cast<const int8_t*>(p)[j] - kOutputZero) * static_cast<double>(kOutputScale)
                             : static_cast<const float*>(p)[j]);
        nn_tensor_unmap(out);
        return v;
    }
    ~Ours() { nn_context_release(ctx); }
};

struct Peer {
    ortbench::OrtRun ort;
    std::vector<float> x;

    bool open(const std::vector<uint8_t>& model, int threads)
    {
        const std::vector<float> nhwc = input();
        x.resize(nhwc.size());
        for (int y = 0; y < kSize; ++y)
            for (int xx = 0; xx < kSize; ++xx)
                for (int c = 0; c < 3; ++c)
                    x[(static_cast<size_t>(c) * kSize + y) * kSize + xx] = nhwc[(static_cast<size_t>(y) * kSize + xx) * 3 + c];
        const int64_t dims[] = {1, 3, kSize, kSize};
        // ONNX Runtime's threads take the creating thread's CPU set: every
        // CPU, not the single one an earlier context pinned this thread to.
        cpu_set_t saved, all;
        CPU_ZERO(&all);
        for (int c = 0; c < CPU_SETSIZE && c < static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); ++c)
            CPU_SET(c, &all);
        const bool pinned = pthread_getaffinity_np(pthread_self(), sizeof saved, &saved) == 0 &&
                            pthread_setaffinity_np(pthread_self(), sizeof all, &all) == 0;
        const bool made = ort.open(model, threads, &x, dims, 4);
        if (pinned)
            pthread_setaffinity_np(pthread_self(), sizeof saved, &saved);
        return made && run();
    }
    bool run() { return ort.run(); }
    std::vector<double> outputs()
    {
        const float* p = ort.output();
        return p ? std::vector<double>(p, p + kClasses) : std::vector<double>();
    }
};

double median(std::vector<double> v)
{
    if (v.empty())
        return -1.0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

double largest_difference(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.size() != b.size())
        return INFINITY;
    double d = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
}


// Our median time of each stepped layer, FLOAT32 and INT8.
int layer_times(int threads)
{
    std::printf("| layer | MACs | FLOAT32 (us) | INT8 (us) |\n|---|---|---|---|\n");
    const Network nets[2] = {build(false), build(true)};
    std::vector<double> us[2];
    for (int t = 0; t < 2; ++t) {
        Ours ours;
        if (!ours.open(nets[t], t == 1))
            return 1;
        omp_set_num_threads(threads);
        for (const Step& s : nets[t].steps) {
            std::vector<double> v;
            for (int i = 0; i < 31; ++i) {
                const double t0 = now_ms();
                if (nn_context_step(ours.ctx, s.layer) != 0)
                    return 1;
                v.push_back(1e3 * (now_ms() - t0));
            }
            us[t].push_back(median(v));
        }
    }
    for (size_t i = 0; i < nets[0].steps.size(); ++i)
        std::printf("| %s | %.3g M | %.1f | %.1f |\n", nets[0].steps[i].name.c_str(),
                    nets[0].steps[i].macs / 1e6, us[0][i], us[1][i]);
    return 0;
}

// Median run time of a loaded context (a first run prepares it).
double median_run(nn_context* ctx, int runs)
{
    std::vector<double> v;
    if (nn_context_run(ctx) != 0)
        return -1.0;
    for (int i = 0; i < runs; ++i) {
        const double t0 = now_ms();
        if (nn_context_run(ctx) != 0)
            return -1.0;
        v.push_back(now_ms() - t0);
    }
    return median(v);
}

// The model of `path` (zero input), or the FLOAT32 network, at one thread and
// at the team nn_context_init_ex set up (or the user's OMP_NUM_THREADS).
int team_times(const char* path)
{
    std::vector<uint8_t> bytes;
    size_t pool = 1u << 20;
    if (path) {
        FILE* f = std::fopen(path, "rb");
        int c;
        while (f && (c = std::fgetc(f)) != EOF)
            bytes.push_back(static_cast<uint8_t>(c));
        if (f)
            std::fclose(f);
    } else {
        Network net = build(false);
        bytes.assign(net.buffer.data(), net.buffer.data() + net.buffer.size());
        pool = net.pool_bytes;
    }
    nn_context* ctx = nn_context_init(nullptr, pool, nullptr, 16u << 20, nullptr);
    if (!ctx || bytes.empty() || nn_context_model_load(ctx, bytes.size(), bytes.data()) != 0) {
        std::fprintf(stderr, "%s did not load\n", path ? path : "the network");
        nn_context_release(ctx);
        return 1;
    }
    if (!path)
        set_input(nn_context_tensor_index(ctx, 0), false);
    const int team = omp_get_max_threads();
    const int runs = path ? 2001 : 101;
    const double t_team = median_run(ctx, runs);
    omp_set_num_threads(1);
    const double t_one = median_run(ctx, runs);
    omp_set_num_threads(team);
    const double t_team2 = median_run(ctx, runs);
    nn_context_release(ctx);
    const double t = std::max(t_team, t_team2);
    std::printf("%s: 1 thread %.4f ms, %d threads %.4f ms (ratio %.2f)\n", path ? path : "network",
                t_one, team, t, t / t_one);
    return t_one < 0 || t < 0;
}

// A pause between the two engines' batches, long enough for the other
// engine's idle threads to stop spinning and sleep: two spinning teams of
// eight on eight CPUs would time one engine against the other's spinners.
void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The largest difference of the outputs, each rounded to an INT8 output
// step, from the reference rounded to a step.
double steps_from_rounded(const std::vector<double>& a, const std::vector<double>& ref)
{
    if (a.size() != ref.size())
        return INFINITY;
    double d = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        d = std::max(d, std::fabs(std::nearbyint(a[i] / kOutputScale) - std::nearbyint(ref[i] / kOutputScale)));
    return d;
}

} // namespace

int main(int argc, char** argv)
{
    // The serving program's OpenMP wait (omp_wait_default): libgomp reads its
    // environment when it starts, so the program runs itself again with it.
    if (!std::getenv("OMP_WAIT_POLICY") && !std::getenv("GOMP_SPINCOUNT")) {
        omp_wait_default();
        execv("/proc/self/exe", argv);
    }
    if (argc > 1 && std::strcmp(argv[1], "team") == 0)
        return team_times(argc > 2 ? argv[2] : nullptr);
    if (argc > 1 && std::strcmp(argv[1], "layers") == 0)
        return layer_times(argc > 2 ? std::atoi(argv[2]) : 1);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    if (runs < 1) {
        std::fprintf(stderr, "usage: %s [runs per round]\n", argv[0]);
        return 2;
    }
    const Weights wt = weights();
    const std::vector<double> ref = reference(wt);
    std::printf("MobileNet-v1-like network, 224x224x3, 149 M MACs; our kernels: %s; "
                "median of %d runs (7 rounds, alternating)\n\n",
                cpu_isa_name(), 7 * runs);
    std::printf("| type | threads | ours (ms) | ONNX Runtime (ms) | ours / ORT | ours: largest difference | ORT: largest difference |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (bool int8 : {false, true}) {
        const Network net = build(int8);
        const std::vector<uint8_t> model = onnx_model(wt, int8);
        for (int threads : {1, 4, 8}) {
            // ONNX Runtime's threads first: they inherit the creating
            // thread's CPU set, and our context pins that thread to CPU 0.
            Peer peer;
            Ours ours;
            if (!peer.open(model, threads) || !ours.open(net, int8)) {
                std::fprintf(stderr, "the %s network did not run\n", int8 ? "INT8" : "FLOAT32");
                return 1;
            }
            omp_set_num_threads(threads);
            std::vector<double> t_ours, t_peer;
            bool good = ours.run() && peer.run();
            for (int r = 0; r < 7 && good; ++r) {
                settle();
                for (int i = 0; i < runs && good; ++i) {
                    const double t0 = now_ms();
                    good = ours.run();
                    t_ours.push_back(now_ms() - t0);
                }
                settle();
                for (int i = 0; i < runs && good; ++i) {
                    const double t0 = now_ms();
                    good = peer.run();
                    t_peer.push_back(now_ms() - t0);
                }
            }
            if (!good) {
                status = 1;
                continue;
            }
            const double mo = median(t_ours), mp = median(t_peer);
            const double d_ours = largest_difference(ours.outputs(), ref);
            const double d_peer = largest_difference(peer.outputs(), ref);
            char extra_o[48] = "", extra_p[48] = "";
            if (int8) {
                std::snprintf(extra_o, sizeof extra_o, " (%.0f steps)", steps_from_rounded(ours.outputs(), ref));
                std::snprintf(extra_p, sizeof extra_p, " (%.0f steps)", steps_from_rounded(peer.outputs(), ref));
            }
            std::printf("| %s | %d | %.3f | %.3f | %.2f | %.2e%s | %.2e%s |\n", int8 ? "INT8" : "FLOAT32",
                        threads, mo, mp, mo / mp, d_ours, extra_o, d_peer, extra_p);
            std::fflush(stdout);
        }
    }
    return status;
}
