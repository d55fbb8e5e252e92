/* The ONNX Runtime plug-in: server record, model load and unload, benchmark,
 * and the type, size and top-1 helpers its HTTP side shares. */
#include "onnx_server.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cpu_provider_factory.h"
#include "platform.h"
#include "plugin_labels.h"

/* The i.MX builds of ONNX Runtime add these providers; elsewhere they are
 * absent and the references stay NULL. Declared here with the signature
 * those builds give them; default visibility so that a definition in the
 * program (or a library before this one) binds them at load time. */
extern "C" {
__attribute__((weak, visibility("default"))) OrtStatus* OrtSessionOptionsAppendExecutionProvider_ACL(
    OrtSessionOptions* options, int use_arena);
__attribute__((weak, visibility("default"))) OrtStatus* OrtSessionOptionsAppendExecutionProvider_ArmNN(
    OrtSessionOptions* options, int use_arena);
__attribute__((weak, visibility("default"))) OrtStatus* OrtSessionOptionsAppendExecutionProvider_VsiNpu(
    OrtSessionOptions* options, int device_id);
}

/* The engine name, also exported as data. */
extern "C" NN_PLUGIN_EXPORT const char engine_name[];
const char engine_name[] = "ONNX";

namespace onnxplugin {
namespace {

/* The API base's version text; "" until the library is reachable. */
const char* library_version()
{
    const OrtApiBase* base = OrtGetApiBase();
    const char* version = base ? base->GetVersionString() : nullptr;
    return version ? version : "";
}

struct ProviderEntry {
    int provider;
    const char* name;       /* in the "not available" message */
    const char* preference; /* on stdout once appended */
    OrtStatus* (*append)(OrtSessionOptions*, int);
};

/* The providers tried before the CPU one; NULL append when absent. */
ProviderEntry provider_entry(int provider)
{
    switch (provider) {
    case ONNX_PROVIDER_VSINPU:
        return {provider, "Vsi_Npu", "Prefer Vsi_Npu execution provider", OrtSessionOptionsAppendExecutionProvider_VsiNpu};
    case ONNX_PROVIDER_ARMNN:
        return {provider, "ArmNN", "Prefer ArmNN execution provider", OrtSessionOptionsAppendExecutionProvider_ArmNN};
    case ONNX_PROVIDER_ACL:
        return {provider, "ACL", "Prefer ACL execution provider", OrtSessionOptionsAppendExecutionProvider_ACL};
    default:
        return {provider, nullptr, nullptr, nullptr};
    }
}

GraphOptimizationLevel graph_level(int opt_level)
{
    switch (opt_level) {
    case 0:
        return ORT_DISABLE_ALL;
    case 1:
        return ORT_ENABLE_BASIC;
    case 2:
        return ORT_ENABLE_EXTENDED;
    default:
        return ORT_ENABLE_ALL;
    }
}

/* A failed step: its status printed and released, then `result`. */
int fail(nn_server* server, OrtStatus* status, int result)
{
    onnx_check_status(status, server->api);
    return result;
}

/* Reads the first input's element type and dimensions (dynamic ones 1) into
 * the record; 0, or the load result. */
int read_input_info(nn_server* server)
{
    const OrtApi* api = server->api;
    OrtTypeInfo* info = nullptr;
    if (OrtStatus* s = api->SessionGetInputTypeInfo(server->session, 0, &info))
        return fail(server, s, 18);
    const OrtTensorTypeAndShapeInfo* tensor = nullptr;
    size_t rank = 0;
    int result = 0;
    OrtStatus* s = api->CastTypeInfoToTensorInfo(info, &tensor);
    if (!s && !tensor) {
        fprintf(stderr, "[ERROR] the model's input is not a tensor\n");
        result = 18;
    }
    if (!s && !result)
        s = api->GetTensorElementType(tensor, &server->input_type);
    if (!s && !result)
        s = api->GetDimensionsCount(tensor, &rank);
    if (!s && !result && rank > ONNX_MAX_INPUT_DIMS) {
        fprintf(stderr, "[ERROR] the model's input has %zu dimensions, at most %d are served\n", rank,
                ONNX_MAX_INPUT_DIMS);
        result = 18;
    }
    if (!s && !result)
        s = api->GetDimensions(tensor, server->input_dims, rank);
    if (s)
        result = fail(server, s, 18);
    api->ReleaseTypeInfo(info);
    if (result)
        return result;
    server->input_rank = rank;
    for (size_t i = 0; i < rank; ++i)
        if (server->input_dims[i] < 0)
            server->input_dims[i] = 1;
    return 0;
}

/* Input buffer sized to the input's element count and the value over it. */
int create_input(nn_server* server)
{
    const OrtApi* api = server->api;
    uint64_t bytes = onnx_element_size(server->input_type);
    for (size_t i = 0; i < server->input_rank; ++i) {
        uint64_t d = (uint64_t)server->input_dims[i];
        if (d != 0 && bytes > ONNX_MAX_INPUT_BYTES / d) {
            fprintf(stderr, "[ERROR] the model's input is larger than %u bytes\n", ONNX_MAX_INPUT_BYTES);
            return 3;
        }
        bytes *= d;
    }
    /* One byte at least, so that an empty input has a buffer too. */
    server->input_buffer = static_cast<uint8_t*>(calloc(bytes ? (size_t)bytes : 1, 1));
    if (!server->input_buffer) {
        fprintf(stderr, "[ERROR] no memory for an input of %llu bytes\n", (unsigned long long)bytes);
        return 3;
    }
    server->input_size = (size_t)bytes;
    OrtMemoryInfo* memory = nullptr;
    if (OrtStatus* s = api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory))
        return fail(server, s, 18);
    OrtStatus* s = api->CreateTensorWithDataAsOrtValue(memory, server->input_buffer, server->input_size,
                                                       server->input_dims, server->input_rank, server->input_type,
                                                       &server->input);
    api->ReleaseMemoryInfo(memory);
    if (s)
        return fail(server, s, 18);
    int is_tensor = 0;
    if (OrtStatus* t = api->IsTensor(server->input, &is_tensor))
        return fail(server, t, 18);
    return 0;
}

/* Steps 1-3: session options, threads, graph level, providers. */
int create_options(nn_server* server)
{
    const OrtApi* api = server->api;
    if (OrtStatus* s = api->CreateSessionOptions(&server->options))
        return fail(server, s, 1);
    /* Neither failure stops the load: the defaults then hold. */
    onnx_check_status(api->SetIntraOpNumThreads(server->options, server->threads), api);
    onnx_check_status(api->SetSessionGraphOptimizationLevel(server->options, graph_level(server->opt_level)), api);
    ProviderEntry entry = provider_entry(server->provider);
    if (entry.name) {
        if (!entry.append) {
            fprintf(stderr, "[ERROR] %s execution provider is not available\n", entry.name);
            return 18;
        }
        if (OrtStatus* s = entry.append(server->options, 0))
            return fail(server, s, 18);
        puts(entry.preference);
    }
    if (OrtStatus* s = OrtSessionOptionsAppendExecutionProvider_CPU(server->options, 0))
        return fail(server, s, 18);
    return 0;
}

/* Steps 5-6 after the session: allocator, one input, the names. */
int read_names(nn_server* server)
{
    const OrtApi* api = server->api;
    if (OrtStatus* s = api->GetAllocatorWithDefaultOptions(&server->allocator))
        return fail(server, s, 1);
    size_t inputs = 0;
    if (OrtStatus* s = api->SessionGetInputCount(server->session, &inputs))
        return fail(server, s, 18);
    if (inputs > 1) {
        fprintf(stderr, "Multiple inputs currently unsupported\n");
        return 17;
    }
    if (inputs == 0) {
        fprintf(stderr, "[ERROR] the model has no input\n");
        return 18;
    }
    if (OrtStatus* s = api->SessionGetInputName(server->session, 0, server->allocator, &server->input_names[0]))
        return fail(server, s, 18);
    if (int result = read_input_info(server))
        return result;
    size_t outputs = 0;
    if (OrtStatus* s = api->SessionGetOutputCount(server->session, &outputs))
        return fail(server, s, 18);
    server->output_names = static_cast<char**>(calloc(outputs ? outputs : 1, sizeof(char*)));
    server->outputs = static_cast<OrtValue**>(calloc(outputs ? outputs : 1, sizeof(OrtValue*)));
    if (!server->output_names || !server->outputs)
        return 3;
    server->output_count = outputs;
    for (size_t i = 0; i < outputs; ++i)
        if (OrtStatus* s = api->SessionGetOutputName(server->session, i, server->allocator, &server->output_names[i]))
            return fail(server, s, 18);
    return 0;
}

/* Everything a load built, released whatever state it reached. */
void release_model(nn_server* server)
{
    const OrtApi* api = server->api;
    if (!api)
        return;
    for (size_t i = 0; server->outputs && i < server->output_count; ++i)
        if (server->outputs[i])
            api->ReleaseValue(server->outputs[i]);
    free(server->outputs);
    server->outputs = nullptr;
    if (server->input)
        api->ReleaseValue(server->input);
    server->input = nullptr;
    free(server->input_buffer);
    server->input_buffer = nullptr;
    server->input_size = 0;
    server->input_rank = 0;
    /* The names came from the allocator and go back to it. */
    for (size_t i = 0; server->output_names && i < server->output_count; ++i)
        if (server->output_names[i] && server->allocator)
            onnx_check_status(api->AllocatorFree(server->allocator, server->output_names[i]), api);
    free(server->output_names);
    server->output_names = nullptr;
    server->output_count = 0;
    if (server->input_names[0] && server->allocator)
        onnx_check_status(api->AllocatorFree(server->allocator, server->input_names[0]), api);
    server->input_names[0] = nullptr;
    if (server->session)
        api->ReleaseSession(server->session);
    server->session = nullptr;
    if (server->options)
        api->ReleaseSessionOptions(server->options);
    server->options = nullptr;
    server->allocator = nullptr;
}

} // namespace
} // namespace onnxplugin

using namespace onnxplugin;

const char* plugin_engine_name(void)
{
    return engine_name;
}

const char* plugin_engine_version(void)
{
    return library_version();
}

int onnx_check_status(OrtStatus* status, const OrtApi* api)
{
    if (!status)
        return 0;
    if (api) {
        const char* message = api->GetErrorMessage(status);
        fprintf(stderr, "%s\n", message ? message : "");
        api->ReleaseStatus(status);
    }
    return -1;
}

size_t onnx_element_size(ONNXTensorElementDataType type)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32:
        return 4;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
        return 2;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64:
        return 8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128:
        return 16;
    default:
        return 1;
    }
}

const char* TensorTypeName(ONNXTensorElementDataType type)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED:
        return "NONE";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
        return "FLOAT32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
        return "UINT8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
        return "INT8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
        return "INT16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
        return "INT32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
        return "INT64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING:
        return "STRING";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL:
        return "BOOL";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
        return "FLOAT16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64:
        return "COMPLEX64";
    default:
        return "(invalid)";
    }
}

float onnx_model_label(nn_server* server, const void* data, const char** label, int type, size_t count, int* index)
{
    size_t best = 0;
    float score = 0.0f;
    if (data && count > 0) {
        switch (type) {
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: {
            const float* v = static_cast<const float*>(data);
            best = plugin::top1(v, count);
            score = v[best];
            break;
        }
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: {
            const int8_t* v = static_cast<const int8_t*>(data);
            best = plugin::top1(v, count);
            score = (float)v[best] / 256.0f + 0.5f;
            break;
        }
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: {
            const uint8_t* v = static_cast<const uint8_t*>(data);
            best = plugin::top1(v, count);
            score = (float)v[best] / 256.0f;
            break;
        }
        default:
            break;
        }
    }
    if (index)
        *index = (int)best;
    if (server && label) {
        if (const char* text = plugin_label(server, (int)best))
            *label = text;
    }
    return score;
}

bool onnx_run(nn_server* server)
{
    const OrtApi* api = server->api;
    OrtStatus* s = api->Run(server->session, nullptr, server->input_names, &server->input, 1,
                            server->output_names, server->output_count, server->outputs);
    return onnx_check_status(s, api) == 0;
}

/* ---- entry points ---------------------------------------------------------- */

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size, void* cache,
                          size_t max_model_size, void* model_buffer)
{
    (void)mempool_size;
    (void)mempool;
    (void)cache_size;
    (void)cache;
    (void)model_buffer;
    nn_server* server = static_cast<nn_server*>(calloc(1, sizeof(nn_server)));
    if (!server)
        return NULL;
    if (nn_server_common_init(&server->common) != 0) {
        free(server);
        return NULL;
    }
    server->max_model_size = max_model_size;
    plugin_bytes_init(&server->upload_bytes, max_model_size);
    server->provider = compute;
    server->opt_level = 3;
    server->threads = 4;
    const OrtApiBase* base = OrtGetApiBase();
    server->api = base ? base->GetApi(ONNX_API_VERSION) : nullptr;
    if (!server->api) {
        fprintf(stderr, "[ERROR] ONNX Runtime %s has no API table of version %d\n", library_version(),
                ONNX_API_VERSION);
        nn_server_common_release(&server->common);
        free(server);
        return NULL;
    }
    if (onnx_check_status(server->api->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "test", &server->env), server->api)) {
        nn_server_common_release(&server->common);
        free(server);
        return NULL;
    }
    return server;
}

int nn_server_options(nn_server* server, const nn_plugin_options* options)
{
    if (!server)
        return 12;
    if (!options)
        return 6;
    server->threads = options->threads;
    server->provider = options->compute;
    server->opt_level = options->opt_level;
    return 0;
}

void nn_server_model_unload(nn_server* server)
{
    if (!server)
        return;
    release_model(server);
    server->common.loaded = 0;
    labels_clear(server);
}

void nn_server_release(nn_server* server)
{
    if (!server)
        return;
    nn_server_model_unload(server);
    if (server->env)
        server->api->ReleaseEnv(server->env);
    plugin_bytes_free(&server->upload_bytes);
    nn_server_common_release(&server->common);
    free(server);
}

int nn_server_model_load(nn_server* server, const char* path, int map)
{
    if (!server)
        return 2;
    if (!path) {
        errno = EINVAL;
        return 6;
    }
    /* Whatever an earlier load left behind, loaded or not. */
    nn_server_model_unload(server);
    errno = 0;
    /* A file's model replaces an uploaded one: its bytes are no longer the model's. */
    if (map)
        server->upload_bytes.size = 0;
    const OrtApi* api = server->api;
    int result = create_options(server);
    if (!result) {
        OrtStatus* s = map ? api->CreateSession(server->env, path, server->options, &server->session)
                           : api->CreateSessionFromArray(server->env, path, (size_t)server->upload_bytes.size,
                                                         server->options, &server->session);
        if (s)
            result = fail(server, s, 18);
    }
    if (!result)
        result = read_names(server);
    if (!result)
        result = create_input(server);
    if (!result && !onnx_run(server))
        result = 1;
    if (!result) {
        int is_tensor = 0;
        OrtStatus* s = server->output_count && server->outputs[0] ? api->IsTensor(server->outputs[0], &is_tensor)
                                                                 : nullptr;
        if (onnx_check_status(s, api) != 0 || !is_tensor) {
            fprintf(stderr, "Failed to verify output tensor\n");
            result = 1;
        }
    }
    if (result) {
        release_model(server);
        /* 18 has the caller print errno; the message above is the cause. */
        if (result == 18 && errno == 0)
            errno = EINVAL;
        return result;
    }
    puts("Loaded and verified ONNX model.");
    server->common.loaded = 1;
    return 0;
}

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer, uint8_t verbose,
                              uint8_t io_time, uint8_t all_layers, const char* output_name, const char* export_path)
{
    (void)pause_ms;
    (void)layer;
    (void)io_time;
    (void)all_layers;
    (void)output_name;
    (void)export_path;
    if (!server)
        return 2;
    if (!server->common.loaded)
        return 21;
    const OrtApi* api = server->api;
    size_t inputs = 0, outputs = 0;
    onnx_check_status(api->SessionGetInputCount(server->session, &inputs), api);
    onnx_check_status(api->SessionGetOutputCount(server->session, &outputs), api);
    if (verbose) {
        printf("Input name=%s \n", server->input_names[0]);
        printf("Number of outputs = %zu\n", outputs);
        for (size_t i = 0; i < outputs && i < server->output_count; ++i)
            printf("Output %zu : name=%s\n", i, server->output_names[i]);
    }
    for (int warm = 0; warm < 2; ++warm) {
        if (!onnx_run(server)) {
            puts("Failed to run model");
            return 1;
        }
    }
    int64_t start = clock_now_ns();
    for (int i = 0; i < iterations; ++i) {
        OrtStatus* s = api->Run(server->session, nullptr, server->input_names, &server->input, 1,
                                server->output_names, server->output_count, server->outputs);
        if (s)
            api->ReleaseStatus(s); /* timed runs: their results are not read */
    }
    int64_t end = clock_now_ns();
    double average = iterations > 0 ? (double)(end - start) / ((double)iterations * 1e6) : 0.0;
    printf("\nAverage model run time: %f ms\n", average);
    fflush(stdout);
    return 0;
}

/* No datagram interface: the datagram is taken off the socket and dropped
 * (left queued, it would keep the serving loop's select ready for ever). */
void nn_server_unix_handler(nn_server* server, int socket)
{
    plugin_default_unix_handler(server, socket);
}
