// The plug-in's benchmark (`brindlecast -b`) next to a bare Run loop over the
// same model in the same process: what the plug-in adds to a run.
// Usage: onnx_timing <libbrindlecast-onnx.so> [iterations per round] [threads]
// The two alternate over ten rounds, so that a busy machine slows both alike.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "nn_plugin.h"
#include "onnx_writer.h"
#include "ort_run.h"

namespace {

double now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

// x [1,3,96,96] -> 3x3 convolution to 16 channels -> Relu -> GlobalAveragePool.
onnxtest::Graph conv_model()
{
    using namespace onnxtest;
    Graph g;
    std::vector<float> w(16 * 3 * 3 * 3);
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = (float)((int)(i * 7 % 13) - 6) / 13.0f;
    g.initializers.push_back(Initializer::of_floats("w", {16, 3, 3, 3}, w));
    g.nodes.push_back(Node{"Conv", {"x", "w"}, {"c"}, {Attribute::of_ints("pads", {1, 1, 1, 1})}});
    g.nodes.push_back(Node{"Relu", {"c"}, {"r"}, {}});
    g.nodes.push_back(Node{"GlobalAveragePool", {"r"}, {"y"}, {}});
    g.inputs.push_back(Value{"x", FLOAT, {1, 3, 96, 96}});
    g.outputs.push_back(Value{"y", FLOAT, {1, 16, 1, 1}});
    return g;
}

// The plug-in's benchmark with its stdout caught; the average it printed.
double plugin_average(const nn_plugin& p, nn_server* server, int iterations)
{
    fflush(stdout);
    FILE* caught = tmpfile();
    int saved = dup(1);
    if (!caught || saved < 0 || dup2(fileno(caught), 1) < 0)
        return -1.0;
    int status = p.nn_server_model_benchmark(server, iterations, 0, -1, 0, 0, 0, nullptr, nullptr);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(caught);
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, caught)) > 0)
        text.append(buf, n);
    fclose(caught);
    const char* key = "Average model run time: ";
    size_t at = text.find(key);
    if (status != 0 || at == std::string::npos)
        return -1.0;
    return atof(text.c_str() + at + strlen(key));
}

// A session of its own over the same bytes and thread count; the average of
// `iterations` Runs after two warm-ups.
double bare_average(const std::vector<uint8_t>& model, int threads, int iterations)
{
    ortbench::OrtRun ort;
    std::vector<float> x(3 * 96 * 96, 0.0f);
    const int64_t dims[] = {1, 3, 96, 96};
    if (!ort.open(model, threads, &x, dims, 4))
        return -1.0;
    bool good = true;
    for (int i = 0; i < 2 && good; ++i)
        good = ort.run();
    double start = now_ms();
    for (int i = 0; i < iterations && good; ++i)
        good = ort.run();
    return good ? (now_ms() - start) / iterations : -1.0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <libbrindlecast-onnx.so> [iterations per round] [threads]\n", argv[0]);
        return 2;
    }
    int iterations = argc > 2 ? atoi(argv[2]) : 200;
    int threads = argc > 3 ? atoi(argv[3]) : 1;
    if (iterations < 1 || threads < 1) {
        fprintf(stderr, "iterations and threads must be at least 1\n");
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto init = lib ? reinterpret_cast<nn_plugin_init_fn>(dlsym(lib, NN_PLUGIN_INIT_SYMBOL)) : nullptr;
    nn_plugin p = {};
    if (!init || init(&p) != 0) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    std::vector<uint8_t> model = onnxtest::write_model(conv_model());
    char path[] = "/tmp/onnx_timing_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, model.data(), model.size()) != (ssize_t)model.size()) {
        fprintf(stderr, "cannot write the model\n");
        return 1;
    }
    close(fd);
    nn_server* server = p.nn_server_init(0, 0, nullptr, 0, nullptr, 64u << 20, nullptr);
    nn_plugin_options options{threads, 0, 3};
    int status = server ? p.nn_server_options(server, &options) : 2;
    if (status == 0) {
        fflush(stdout);
        status = p.nn_server_model_load(server, path, 1);
    }
    unlink(path);
    if (status != 0) {
        fprintf(stderr, "the model did not load: %d\n", status);
        return 1;
    }
    // Alternated, so that neither side has the machine to itself.
    double plugin_ms = 0.0, bare_ms = 0.0;
    const int rounds = 10;
    for (int r = 0; r < rounds; ++r) {
        plugin_ms += plugin_average(p, server, iterations) / rounds;
        bare_ms += bare_average(model, threads, iterations) / rounds;
    }
    p.nn_server_release(server);
    printf("conv 3x3 [1,3,96,96] -> 16, %d threads, %d runs x %d rounds\n", threads, iterations, rounds);
    printf("  plug-in benchmark (-b) average: %.4f ms\n", plugin_ms);
    printf("  bare Run loop average:          %.4f ms\n", bare_ms);
    printf("  difference: %+.1f %%\n", bare_ms > 0 ? (plugin_ms - bare_ms) / bare_ms * 100.0 : 0.0);
    return 0;
}
