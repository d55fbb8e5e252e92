/* The Arm NN plug-in: server record, TensorFlow Lite model loading through
 * Arm NN's parser, the benchmark, type names and top-1 labels. */
#include "armnn_server.h"

#include <armnn/Deprecated.hpp>

#include <cstdio>
#include <fstream>
#include <memory>
#include <type_traits>

#include "platform.h"
#include "plugin_labels.h"

const char engine_name[] = "ArmNN";
const char armnn_version[] = "24.0.0";

const char* plugin_engine_name(void)
{
    return engine_name;
}

const char* plugin_engine_version(void)
{
    return armnn_version;
}

namespace armnnplugin {
namespace {

/* Arm NN releases since 22.02 build a ConstTensor only over a TensorInfo
 * marked constant, and 23.08 changed the optimizer options' type. */
#if ARMNN_MAJOR_VERSION >= 33
using OptimizerOptions = armnn::OptimizerOptionsOpaque;
#else
using OptimizerOptions = armnn::OptimizerOptions;
#endif

/* Backend lists by the compute value, each with its stdout line. */
struct BackendChoice {
    int compute;
    const char* line;
    std::array<const char*, 3> backends;  /* in preference order; NULL ends */
};
constexpr BackendChoice backend_choices[] = {
    {3, "NPU backend preference\n", {"VsiNpu", "CpuAcc", "CpuRef"}},
    {2, "GPU backend preference\n", {"GpuAcc", "CpuAcc", "CpuRef"}},
    {0, "CPU+NEON backend preference\n", {"CpuAcc", "CpuRef", nullptr}},
};
constexpr BackendChoice reference_choice = {-1, "Reference CPU(CpuRef) preference\n", {"CpuRef", nullptr, nullptr}};

const BackendChoice& backend_choice(int compute) noexcept
{
    for (const auto& c : backend_choices)
        if (c.compute == compute)
            return c;
    return reference_choice;
}

std::vector<armnn::BackendId> backends_for(int compute)
{
    const BackendChoice& choice = backend_choice(compute);
    fputs(choice.line, stdout);
    std::vector<armnn::BackendId> backends;
    for (const char* name : choice.backends)
        if (name)
            backends.emplace_back(name);
    return backends;
}

/* The 8-bit per-axis type of the releases that still name it. */
template <typename T, typename = void>
struct PerAxisByte {
    static constexpr bool present = false;
    static constexpr int value = -1;
};
ARMNN_NO_DEPRECATE_WARN_BEGIN
template <typename T>
struct PerAxisByte<T, std::void_t<decltype(T::QuantizedSymm8PerAxis)>> {
    static constexpr bool present = true;
    static constexpr int value = static_cast<int>(T::QuantizedSymm8PerAxis);
};
ARMNN_NO_DEPRECATE_WARN_END

struct TypeName {
    armnn::DataType type;
    const char* name;
};
constexpr TypeName type_names[] = {
    {armnn::DataType::Float16, "FLOAT16"}, {armnn::DataType::Float32, "FLOAT32"},
    {armnn::DataType::QAsymmU8, "UINT8"},  {armnn::DataType::Signed32, "INT32"},
    {armnn::DataType::Boolean, "BOOL"},    {armnn::DataType::QSymmS16, "INT16"},
    {armnn::DataType::QSymmS8, "INT8"},    {armnn::DataType::QAsymmS8, "INT8"},
};

/* Whether a model's input or output fits the buffers: its byte count,
 * taken in 64 bits, is what Arm NN's 32-bit count says and at most
 * max_tensor_bytes. */
bool tensor_fits(const std::string& name, const armnn::TensorInfo& info)
{
    const armnn::TensorShape& shape = info.GetShape();
    uint64_t bytes = armnn::GetDataTypeSize(info.GetDataType());
    for (unsigned int i = 0; i < shape.GetNumDimensions() && bytes <= max_tensor_bytes; ++i)
        bytes *= shape[i];
    if (bytes <= max_tensor_bytes && bytes == info.GetNumBytes())
        return true;
    fprintf(stderr, "[ERROR] model tensor %s is larger than %llu bytes\n", name.c_str(),
            static_cast<unsigned long long>(max_tensor_bytes));
    return false;
}

/* The largest of `count` values (count > 0), the first of equal maxima,
 * and its index in *index. */
template <typename T>
T top1(const T* v, size_t count, int* index) noexcept
{
    const size_t best = plugin::top1(v, count);
    *index = static_cast<int>(best);
    return v[best];
}

/* Input and output tensors over the given buffers. */
armnn::InputTensors MakeInputTensors(const armnn::BindingPointInfo& input, const void* data)
{
    armnn::TensorInfo info = input.second;
#if ARMNN_MAJOR_VERSION >= 28
    info.SetConstant(true);
#endif
    return {{input.first, armnn::ConstTensor(info, data)}};
}

std::pair<armnn::LayerBindingId, armnn::Tensor> MakeOutputTensors(armnn::BindingPointInfo output, void* data)
{
    return {output.first, armnn::Tensor(output.second, data)};
}

/* Steps 1-7 of a model load; throws what Arm NN throws. */
int load_network(nn_server* server, const char* path, int map)
{
    server->parser = armnnTfLiteParser::ITfLiteParser::Create();
    if (!server->parser)
        return 2;
    if (map) {
        server->model_size = 0; /* no uploaded model any more */
        if (!path)
            throw armnn::InvalidArgumentException("no model file given");
        server->network = server->parser->CreateNetworkFromBinaryFile(path);
    } else {
        server->network = server->parser->CreateNetworkFromBinary(server->model_bytes);
    }
    if (!server->network)
        return 20;

    const std::vector<std::string> inputs = server->parser->GetSubgraphInputTensorNames(0);
    if (inputs.empty())
        throw armnn::ParseException("the model has no input");
    server->input_tensor_name = inputs[0];
    server->output_names = server->parser->GetSubgraphOutputTensorNames(0);
    if (server->output_names.size() > max_outputs) {
        fprintf(stderr, "[ERROR] model has %zu outputs, at most %zu are supported\n", server->output_names.size(),
                max_outputs);
        return 13;
    }
    server->input_binding = server->parser->GetNetworkInputBindingInfo(0, server->input_tensor_name);
    if (!tensor_fits(server->input_tensor_name, server->input_binding.second))
        return 13;
    for (const std::string& name : server->output_names) {
        server->output_bindings.push_back(server->parser->GetNetworkOutputBindingInfo(0, name));
        if (!tensor_fits(name, server->output_bindings.back().second))
            return 13;
    }

    server->runtime = armnn::IRuntime::Create(armnn::IRuntime::CreationOptions());
    armnn::IOptimizedNetworkPtr optimized =
        armnn::Optimize(*server->network, backends_for(server->backend_preference),
                        server->runtime->GetDeviceSpec(), OptimizerOptions());
    if (!optimized)
        return 13;
    if (server->runtime->LoadNetwork(server->network_id, std::move(optimized)) != armnn::Status::Success)
        return 13;

    server->input_buffer.resize(server->input_binding.second.GetNumBytes());
    server->input_tensors = MakeInputTensors(server->input_binding, server->input_buffer.data());
    for (size_t i = 0; i < server->output_bindings.size(); ++i) {
        server->output_buffers[i].resize(server->output_bindings[i].second.GetNumBytes());
        server->output_tensors.push_back(MakeOutputTensors(server->output_bindings[i], server->output_buffers[i].data()));
    }
    /* Loaded, so an unload gives the network back even when the run fails. */
    server->common.loaded = 1;
    if (enqueue(server) != armnn::Status::Success)
        return 1;
    puts("Model loaded and validated");
    return 0;
}

} // namespace

bool is_signed_byte(armnn::DataType type) noexcept
{
    return type == armnn::DataType::QSymmS8 || type == armnn::DataType::QAsymmS8;
}

void report_exception(const char* what) noexcept
{
    fprintf(stderr, "a standard exception was caught, with message '%s' \n", what);
}

armnn::Status enqueue(nn_server* server)
{
    return server->runtime->EnqueueWorkload(server->network_id, server->input_tensors, server->output_tensors);
}

void release_network(nn_server* server) noexcept
{
    try {
        if (server->common.loaded && server->runtime)
            server->runtime->UnloadNetwork(server->network_id);
    } catch (...) {
        /* The runtime goes below in any case. */
    }
    server->common.loaded = 0;
    server->input_tensors.clear();
    server->output_tensors.clear();
    server->output_bindings.clear();
    server->output_names.clear();
    server->input_tensor_name.clear();
    server->runtime.reset();
    server->network.reset();
    server->parser.reset();
}

} // namespace armnnplugin

using namespace armnnplugin;

extern "C" {

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size, void* cache,
                          size_t max_model_size, void* model_buffer)
{
    (void)mempool;
    (void)cache_size;
    (void)cache;
    (void)model_buffer;
    try {
        std::unique_ptr<nn_server> server(new nn_server);
        if (nn_server_common_init(&server->common) != 0)
            return nullptr;
        server->max_model_size = max_model_size;
        server->backend_preference = compute;
        server->model_bytes.reserve(mempool_size);
        server->input_buffer.reserve(input_reserve);
        for (auto& buffer : server->output_buffers)
            buffer.reserve(output_reserve);
        armnn::ConfigureLogging(true, false, armnn::LogSeverity::Error);
        return server.release();
    } catch (const std::exception& e) {
        report_exception(e.what());
    } catch (...) {
        report_exception("unknown exception");
    }
    return nullptr;
}

int nn_server_options(nn_server* server, const nn_plugin_options* options)
{
    if (!server)
        return 12;
    if (options)
        server->backend_preference = options->compute;
    return 0;
}

int nn_server_model_load(nn_server* server, const char* path, int map)
{
    if (!server)
        return 13;
    try {
        release_network(server);
        int status = load_network(server, path, map);
        if (status != 0)
            release_network(server);
        return status;
    } catch (const std::exception& e) {
        report_exception(e.what());
    } catch (...) {
        report_exception("unknown exception");
    }
    release_network(server);
    return 13;
}

void nn_server_model_unload(nn_server* server)
{
    if (!server)
        return;
    release_network(server);
    labels_clear(server);
}

void nn_server_release(nn_server* server)
{
    if (!server)
        return;
    nn_server_model_unload(server);
    nn_server_common_release(&server->common);
    delete server;
}

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer, uint8_t verbose,
                              uint8_t io_time, uint8_t all_layers, const char* output_name, const char* export_path)
{
    (void)pause_ms;
    (void)layer;
    (void)verbose;
    (void)io_time;
    (void)all_layers;
    (void)output_name;
    if (!server || !server->common.loaded)
        return 1;
    std::shared_ptr<armnn::IProfiler> profiler;
    try {
        if (enqueue(server) != armnn::Status::Success)
            return 1;
        enqueue(server); /* warm-up */
        if (export_path) {
            profiler = server->runtime->GetProfiler(server->network_id);
            if (profiler)
                profiler->EnableProfiling(true);
        }
        const int runs = iterations > 0 ? iterations : 0;
        const int64_t start = clock_now_ns();
        for (int i = 0; i < runs; ++i)
            enqueue(server);
        const int64_t end = clock_now_ns();
        const double ms = runs ? static_cast<double>(end - start) / (runs * 1e6) : 0.0;
        printf("\n\nInference Time = %g ms\n", ms);
        if (profiler) {
            std::ofstream out(export_path, std::ios::out | std::ios::trunc);
            if (!out)
                fprintf(stderr, "[ERROR] cannot write the profile to %s\n", export_path);
            else
                profiler->AnalyzeEventsAndWriteResults(out);
            out.close();
            profiler->EnableProfiling(false);
        }
        return 0;
    } catch (const std::exception& e) {
        report_exception(e.what());
    } catch (...) {
        report_exception("unknown exception");
    }
    if (profiler)
        profiler->EnableProfiling(false);
    return 1;
}

/* No datagram interface: the datagram is taken off the socket and dropped
 * (left queued, it would keep the serving loop's select ready for ever). */
void nn_server_unix_handler(nn_server* server, int socket)
{
    plugin_default_unix_handler(server, socket);
}

const char* TensorTypeName(armnn::DataType type)
{
    for (const auto& t : type_names)
        if (t.type == type)
            return t.name;
    if (PerAxisByte<armnn::DataType>::present && static_cast<int>(type) == PerAxisByte<armnn::DataType>::value)
        return "INT8";
    return "(invalid)";
}

float armnn_model_label(nn_server* server, const void* data, int* index, armnn::DataType type, size_t count)
{
    (void)server;
    int best = 0;
    float score = 0.0f;
    if (data && count > 0) {
        if (type == armnn::DataType::Float32)
            score = top1(static_cast<const float*>(data), count, &best);
        else if (is_signed_byte(type))
            score = static_cast<float>(top1(static_cast<const int8_t*>(data), count, &best)) / 256.0f + 0.5f;
        else if (type == armnn::DataType::QAsymmU8)
            score = static_cast<float>(top1(static_cast<const uint8_t*>(data), count, &best)) / 256.0f;
    }
    if (index)
        *index = best;
    return score;
}

} // extern "C"
