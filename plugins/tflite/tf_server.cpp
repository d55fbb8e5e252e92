/* The TensorFlow Lite plug-in's server record: creation, options, model
 * load and unload over the binding, type names and the label reply's top-1. */
#include "tf_server.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resource.h"

const char engine_name[] = "TensorFlow Lite";
const char tf_version[] = "2.4.1";

const char* plugin_engine_name(void) { return engine_name; }
const char* plugin_engine_version(void) { return tf_version; }

namespace tfplugin {

void drop_model(nn_server* server) noexcept
{
    if (server->interpreter)
        server->interpreter->release();
    server->interpreter = nullptr;
    free(server->op_time);
    server->op_time = nullptr;
    server->op_count = 0;
    free(server->events);
    server->events = nullptr;
    server->common.loaded = 0;
    server->from_upload = false;
}

namespace {

constexpr const char* type_names[] = {
    "NONE", "FLOAT32", "INT32", "UINT8", "INT64", "STRING", "BOOL", "INT16", "COMPLEX64", "INT8", "FLOAT16",
};

/* The largest of `count` values, the first of equal maxima. */
template <typename T>
size_t arg_max(const T* values, size_t count) noexcept
{
    size_t best = 0;
    for (size_t i = 1; i < count; ++i)
        if (values[i] > values[best])
            best = i;
    return best;
}

} // namespace

const char* TensorTypeName(int type) noexcept
{
    constexpr int count = static_cast<int>(sizeof type_names / sizeof type_names[0]);
    return type >= 0 && type < count ? type_names[type] : "(invalid)";
}

const char* node_output_name(const Interpreter& interpreter, size_t node) noexcept
{
    IntList outputs = interpreter.node_outputs(node);
    if (outputs.count == 0 || outputs[0] < 0 || static_cast<size_t>(outputs[0]) >= interpreter.tensor_count())
        return "";
    const char* name = interpreter.tensor_name(static_cast<size_t>(outputs[0]));
    return name ? name : "";
}

float tf_model_label(nn_server* server, const void* data, const char** label, int type, size_t count,
                     int* index) noexcept
{
    size_t best = 0;
    float score = 0.0f;
    if (count > INT_MAX)
        count = INT_MAX;
    if (data && count > 0) {
        switch (type) {
        case kTypeFloat32: {
            const float* v = static_cast<const float*>(data);
            best = arg_max(v, count);
            score = v[best];
            break;
        }
        case kTypeInt8: {
            const int8_t* v = static_cast<const int8_t*>(data);
            best = arg_max(v, count);
            score = static_cast<float>(v[best]) / 128.0f;
            break;
        }
        case kTypeUInt8: {
            const uint8_t* v = static_cast<const uint8_t*>(data);
            best = arg_max(v, count);
            score = static_cast<float>(v[best]) / 255.0f;
            break;
        }
        default:
            break;
        }
    }
    *index = static_cast<int>(best);
    const int labels = server ? server->common.label_count : 0;
    *label = static_cast<int>(best) < labels && best < NN_SERVER_MAX_LABELS ? server->common.labels[best] : nullptr;
    return score;
}

} // namespace tfplugin

using namespace tfplugin;

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size, void* cache,
                          size_t max_model_size, void* model_buffer)
{
    (void)mempool_size;
    (void)mempool;
    (void)cache_size;
    (void)cache;
    (void)model_buffer;
    platform::unique_malloc<nn_server> server = platform::calloc_one<nn_server>();
    if (!server || nn_server_common_init(&server->common) != 0)
        return nullptr;
    server->delegate = compute != 0;
    plugin_bytes_init(&server->model_bytes, max_model_size);
    server->threads = -1; /* the library's own choice until options say */
    return server.release();
}

int nn_server_options(nn_server* server, const nn_plugin_options* options)
{
    if (!server)
        return 12;
    if (!options)
        return 6;
    server->threads = options->threads;
    server->delegate = options->compute != 0;
    return 0;
}

/* No datagram interface: the datagram is taken off the socket and dropped
 * (left queued, it would keep the serving loop's select ready for ever). */
void nn_server_unix_handler(nn_server* server, int socket)
{
    plugin_default_unix_handler(server, socket);
}

void nn_server_model_unload(nn_server* server)
{
    if (!server)
        return;
    drop_model(server);
    labels_clear(server);
}

void nn_server_release(nn_server* server)
{
    if (!server)
        return;
    nn_server_model_unload(server);
    plugin_bytes_free(&server->model_bytes);
    nn_server_common_release(&server->common);
    free(server);
}

int nn_server_model_load(nn_server* server, const char* path, int map)
{
    if (!server)
        return 6;
    /* The new model replaces the old one, also when it does not load. */
    drop_model(server);
    OpenRequest request;
    request.threads = server->threads;
    request.delegate = server->delegate;
    if (map) {
        if (!path)
            return 21;
        request.path = path;
    } else {
        /* The bytes of an upload: checked before anything is built on them. */
        const plugin_bytes& upload = server->model_bytes;
        const uint8_t* bytes = path ? reinterpret_cast<const uint8_t*>(path) : upload.data;
        if (!bytes)
            return 21;
        if (bytes != upload.data)
            return 6;
        if (upload.size > SIZE_MAX || !verify_model_bytes(bytes, static_cast<size_t>(upload.size)))
            return 21;
        request.bytes = bytes;
        request.size = static_cast<size_t>(upload.size);
    }
    UniqueInterpreter interpreter;
    int status = open_interpreter(request, &interpreter);
    if (status != 0)
        return status;
    if (!interpreter)
        return 1;
    const size_t nodes = interpreter->node_count();
    platform::unique_malloc<int64_t[]> op_time = platform::calloc_array<int64_t>(nodes);
    platform::unique_malloc<ProfileEvent[]> events = platform::malloc_array<ProfileEvent>(kProfilerEvents);
    if (!op_time || !events || !interpreter->new_profiler(kProfilerEvents))
        return 3;
    if (!interpreter->invoke()) {
        fprintf(stderr, "Failed to invoke tflite!\n");
        return 1;
    }
    server->interpreter = interpreter.release();
    server->op_time = op_time.release();
    server->op_count = nodes;
    server->events = events.release();
    server->from_upload = !map;
    server->common.loaded = 1;
    puts("Model loaded and validated");
    return 0;
}
