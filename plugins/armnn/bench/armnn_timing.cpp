// Times the Arm NN plug-in's stand-alone benchmark (-b) against a bare
// EnqueueWorkload loop over the same model, in the same run: the plug-in
// should add next to nothing. Not a test; prints the two averages.
// Usage: armnn_timing [iterations] [side]
#include <armnn/ArmNN.hpp>
#include <armnnTfLiteParser/ITfLiteParser.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nn_plugin.h"
#include "tflite_writer.h"

namespace {

// What the plug-in's benchmark prints on stdout, captured through a file.
double plugin_average_ms(const std::string& model, int iterations)
{
    void* library = dlopen(ARMNN_PLUGIN_PATH, RTLD_NOW);
    if (!library) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return -1;
    }
    nn_plugin record{};
    auto init = reinterpret_cast<nn_plugin_init_fn>(dlsym(library, NN_PLUGIN_INIT_SYMBOL));
    if (!init || init(&record) != 0)
        return -1;
    nn_server* server = record.nn_server_init(1, 0, nullptr, 0, nullptr, 64u << 20, nullptr);
    if (!server || record.nn_server_model_load(server, model.c_str(), 1) != 0)
        return -1;
    const std::string out_path = model + ".out";
    std::fflush(stdout);
    const int saved = dup(1);
    const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
    record.nn_server_model_benchmark(server, iterations, 0, -1, 0, 0, 0, "output", nullptr);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    record.nn_server_release(server);
    std::ifstream in(out_path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(out_path.c_str());
    const std::string s = text.str();
    const std::string head = "Inference Time = ";
    const size_t at = s.find(head);
    return at == std::string::npos ? -1 : std::strtod(s.c_str() + at + head.size(), nullptr);
}

double bare_average_ms(const std::vector<uint8_t>& bytes, int iterations)
{
    auto parser = armnnTfLiteParser::ITfLiteParser::Create();
    armnn::INetworkPtr network = parser->CreateNetworkFromBinary(bytes);
    const auto input = parser->GetNetworkInputBindingInfo(0, parser->GetSubgraphInputTensorNames(0)[0]);
    const auto output = parser->GetNetworkOutputBindingInfo(0, parser->GetSubgraphOutputTensorNames(0)[0]);
    armnn::IRuntimePtr runtime = armnn::IRuntime::Create(armnn::IRuntime::CreationOptions());
    armnn::NetworkId id = 0;
    if (runtime->LoadNetwork(id, armnn::Optimize(*network, {"CpuRef"}, runtime->GetDeviceSpec())) !=
        armnn::Status::Success)
        return -1;
    std::vector<uint8_t> in(input.second.GetNumBytes()), out(output.second.GetNumBytes());
    armnn::InputTensors inputs{{input.first, armnn::ConstTensor(input.second, in.data())}};
    armnn::OutputTensors outputs{{output.first, armnn::Tensor(output.second, out.data())}};
    runtime->EnqueueWorkload(id, inputs, outputs);  // as the benchmark: one checked run and a warm-up
    runtime->EnqueueWorkload(id, inputs, outputs);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i)
        runtime->EnqueueWorkload(id, inputs, outputs);
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(end - start).count() / iterations;
}

} // namespace

int main(int argc, char** argv)
{
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 50;
    const int side = argc > 2 ? std::atoi(argv[2]) : 128;
    if (iterations < 1 || side < 1)
        return 2;
    armnn::ConfigureLogging(true, false, armnn::LogSeverity::Error);
    // One average pool over a side x side x 16 picture: a run of a
    // millisecond or more on the reference backend.
    const std::vector<uint8_t> bytes =
        tflite_test::write(tflite_test::pool_model(tflite_test::TensorType::float32, side, side, 16));
    char dir[] = "/tmp/armnn_timing_XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string model = std::string(dir) + "/pool.tflite";
    if (!tflite_test::write_file(model, bytes))
        return 1;
    try {
        const double plugin_ms = plugin_average_ms(model, iterations);
        const double bare_ms = bare_average_ms(bytes, iterations);
        std::printf("[1,%d,%d,16] average pool, %d runs on CpuRef\n", side, side, iterations);
        std::printf("plug-in benchmark (-b): %.4f ms per run\n", plugin_ms);
        std::printf("bare EnqueueWorkload:   %.4f ms per run\n", bare_ms);
        if (plugin_ms > 0 && bare_ms > 0)
            std::printf("difference: %+.1f %%\n", (plugin_ms - bare_ms) / bare_ms * 100.0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::remove(model.c_str());
    rmdir(dir);
    return 0;
}
