/* The runtime plug-in: server record, model file loading and the small
 * accessors its other parts use. */
#include "rt_server.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "resource.h"
#include "scoped.h"

#define OPENCL_ENGINE_FILE "kestrune-rt-opencl.so"

const char* plugin_engine_name(void)
{
    return "KestruneRT";
}

const char* plugin_engine_version(void)
{
    return nn_version();
}

size_t nn_server_sizeof(void)
{
    return sizeof(nn_server);
}

nn_context* nn_server_context(nn_server* server)
{
    return server ? server->context : NULL;
}

const void* nn_server_model(nn_server* server)
{
    return server ? server->model : NULL;
}

const char* rt_status_text(int status)
{
    const char* text = nn_strerror(status);
    return text ? text : "unknown error";
}

const char* rt_type_name(int type)
{
    static constexpr const char* names[] = {"RAW",    "STRING", "INT8",    "UINT8",   "INT16",
                                            "UINT16", "INT32",  "UINT32",  "INT64",   "UINT64",
                                            "FLOAT16", "FLOAT32", "FLOAT64"};
    constexpr int count = static_cast<int>(sizeof names / sizeof names[0]);
    return type >= 0 && type < count ? names[type] : "NONE";
}

int nn_server_options(nn_server* server, const nn_plugin_options* options)
{
    (void)server;
    (void)options;
    return 0;
}

namespace rtplugin {
namespace {

/* A compute engine block: unloaded (whatever a failed load left behind
 * included) and freed with its owner. */
struct EngineReleaser {
    void operator()(nn_engine* engine) const noexcept
    {
        nn_engine_unload(engine);
        free(engine);
    }
};
using UniqueEngine = std::unique_ptr<nn_engine, EngineReleaser>;

struct ContextReleaser {
    void operator()(nn_context* context) const noexcept { nn_context_release(context); }
};
using UniqueContext = std::unique_ptr<nn_context, ContextReleaser>;

/* Gives back the read-only mapping of a model file (the context holds no
 * views into it any more). */
void drop_mapping(nn_server* server)
{
    platform::Mapping(server->model, static_cast<size_t>(server->buffer_size)).reset();
    server->model = nullptr;
    server->mapped = 0;
    server->buffer_size = 0;
}

} // namespace
} // namespace rtplugin

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size, void* cache,
                          size_t max_model_size, void* model_buffer)
{
    auto server = platform::calloc_one<nn_server>();
    if (!server)
        return nullptr;
    rtplugin::UniqueEngine engine;
    if (compute != 0) {
        engine.reset(static_cast<nn_engine*>(malloc(nn_engine_sizeof())));
        if (!engine)
            return nullptr;
        nn_engine_init(engine.get());
        int status = nn_engine_load(engine.get(), OPENCL_ENGINE_FILE);
        if (status != 0) {
            fprintf(stderr, "failed to load engine plugin: %s\n", rt_status_text(status));
            return nullptr;
        }
        printf("Loaded opencl compute backend\n");
    }
    server->max_model_size = max_model_size;
    plugin_bytes_init(&server->upload, max_model_size);
    if (model_buffer) {
        server->model = static_cast<uint8_t*>(model_buffer);
        server->buffer_size = max_model_size;
    }
    rtplugin::UniqueContext context(nn_context_init(engine.get(), mempool_size, mempool, cache_size, cache));
    if (!context || nn_server_common_init(&server->common) != 0)
        return nullptr;
    server->engine = engine.release();
    server->context = context.release();
    return server.release();
}

void nn_server_model_unload(nn_server* server)
{
    if (!server)
        return;
    if (server->context)
        nn_context_model_unload(server->context);
    if (server->mapped) {
        rtplugin::drop_mapping(server);
        server->model_size = 0;
    }
    server->common.loaded = 0;
}

void nn_server_release(nn_server* server)
{
    if (!server)
        return;
    nn_server_model_unload(server);
    nn_server_common_release(&server->common); /* json and the names */
    free(server->rpc_buffer);
    nn_context_release(server->context);
    free(server->layer_timing);
    plugin_bytes_free(&server->upload);
    server->model = nullptr;
    rtplugin::UniqueEngine(server->engine).reset();
    free(server);
}

bool rt_reset_layer_timing(nn_server* server)
{
    size_t count = server->model ? nn_model_layer_count(server->model) : 0;
    free(server->layer_timing);
    server->layer_timing = NULL;
    server->layer_timing_count = 0;
    if (count == 0)
        return true;
    server->layer_timing = static_cast<int64_t*>(calloc(count, sizeof *server->layer_timing));
    if (!server->layer_timing)
        return false;
    server->layer_timing_count = count;
    return true;
}

int nn_server_model_load(nn_server* server, const char* path, int warm)
{
    if (!server || !path) {
        errno = EINVAL;
        return 18;
    }
    nn_server_model_unload(server);

    platform::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return 18;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return 18;
    if (st.st_size <= 0) {
        /* Nothing to map: mmap refuses a length of 0 with EINVAL. */
        errno = EINVAL;
        return 18;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    platform::Mapping map(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0), size);
    if (!map)
        return 18;
    fd.reset();
    server->model = static_cast<uint8_t*>(map.release());
    server->mapped = 1;
    server->buffer_size = size;

    int status = nn_model_validate(server->model, server->buffer_size);
    if (status != 0) {
        fprintf(stderr, "[ERROR] invalid model: %s\n", nn_model_validate_error(status));
        return 1; /* the mapping stays until the next unload */
    }

    server->common.loaded = 1;
    status = nn_context_model_load(server->context, server->buffer_size, server->model);
    if (status != 0) {
        /* A failed load can leave views into the bytes: drop them before
         * the mapping goes. */
        nn_context_model_unload(server->context);
        rtplugin::drop_mapping(server);
        server->common.loaded = 0;
        return status;
    }
    server->model_size = server->buffer_size;
    if (!rt_reset_layer_timing(server)) {
        nn_server_model_unload(server);
        return 3;
    }
    if (warm) {
        status = nn_context_run(server->context);
        if (status != 0) {
            server->common.loaded = 0;
            return status;
        }
    }
    return 0;
}

bool rt_tensor_accepts_input(nn_server* server, nn_tensor* tensor)
{
    if (!tensor)
        return false;
    /* Only the address counts: the mapping is given back at once. */
    const void* data = kestrune::ReadMap(tensor).data();
    if (!data)
        return false;
    if (!server->model || server->model_size == 0)
        return true;
    uintptr_t begin = reinterpret_cast<uintptr_t>(data);
    uintptr_t end = begin + nn_tensor_size(tensor);
    uintptr_t model_begin = reinterpret_cast<uintptr_t>(server->model);
    uintptr_t model_end = model_begin + server->model_size;
    return end <= model_begin || begin >= model_end || begin == end;
}

bool rt_reply_reserve(nn_server* server, uint64_t size)
{
    return plugin::reply_reserve(server->common.json, size);
}

void rt_release_outsized(nn_server* server)
{
    json_buffer* json = &server->common.json;
    if (json->text && json->capacity > RT_KEEP_BUFFER) {
        char* text = static_cast<char*>(realloc(json->text, RT_MIN_REPLY_BUFFER));
        if (text) {
            text[0] = '\0';
            json->text = text;
            json->capacity = RT_MIN_REPLY_BUFFER;
        }
    }
    if (server->rpc_buffer && server->rpc_capacity > RT_KEEP_BUFFER) {
        /* The next datagram with a payload grows it again. */
        free(server->rpc_buffer);
        server->rpc_buffer = NULL;
        server->rpc_capacity = 0;
    }
}

/* nn_server_user_ops is in user_ops.cpp, nn_server_unix_handler in rpc.cpp. */
