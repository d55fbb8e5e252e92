/* HTTP side of the runtime plug-in: dispatch, the engine and model
 * descriptions, the model download and the block-wise model upload. */
#include "rt_server.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "http.h"
#include "platform.h"
#include "json_writer.h"
#include "plugin_http.h"
#include "scoped.h"

namespace {
constexpr const char kfm_mime[] = "application/vnd.kestrune.kfm";
}

/* ---- error and layer objects -------------------------------------------- */

char* error_json(char* pos, nn_server* server, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) {
        fprintf(stderr, "error_json: encoding error\n");
        return NULL;
    }
    if ((size_t)n >= sizeof text)
        fprintf(stderr, "error_json: error truncated from length %d\n", n);
    return plugin::JsonWriter(server->common.json, pos).open_object().str("error", text).close_object().pos();
}

namespace rtplugin {
namespace {

void write_shape(plugin::JsonWriter& out, const char* name, const int32_t* shape, size_t dims)
{
    out.open_array(name);
    for (size_t i = 0; out && shape && i < dims; ++i)
        out.int32(nullptr, shape[i]);
    out.close_array();
}

void write_layer(plugin::JsonWriter& out, nn_server* server, size_t layer, bool with_data, bool nested)
{
    const void* model = server->model;
    const char* name = nn_model_layer_name(model, layer);
    const char* type = nn_model_layer_type(model, layer);
    int64_t timing = layer < server->layer_timing_count ? server->layer_timing[layer] : 0;
    out.open_object().str("name", name ? name : "").str("type", type ? type : "").int64("avg_timing", timing);
    nn_tensor* tensor = nn_context_tensor_index(server->context, layer);
    if (out && tensor) {
        if (nested)
            out.open_object("tensor");
        out.str("datatype", rt_type_name(nn_tensor_type(tensor)))
            .int64("timing", nn_tensor_time(tensor))
            .int64("io_timing", nn_tensor_io_time(tensor));
        write_shape(out, "shape", nn_tensor_shape(tensor), static_cast<size_t>(nn_tensor_dims(tensor)));
        if (out && with_data) {
            kestrune::ReadMap data(tensor);
            if (data)
                out.base64("data", data.data(), nn_tensor_size(tensor));
        }
        if (nested)
            out.close_object();
    }
    out.close_object();
}

/* ---- descriptions --------------------------------------------------------- */

void write_labels(plugin::JsonWriter& out, nn_server* server)
{
    int count = nn_model_label_count(server->model);
    out.open_array("labels");
    for (int i = 0; out && i < count; ++i) {
        const char* label = nn_model_label(server->model, i);
        out.str(nullptr, label ? label : "");
    }
    out.close_array();
}

void write_io_list(plugin::JsonWriter& out, nn_server* server, const char* name, const uint32_t* list, size_t count)
{
    const void* model = server->model;
    out.open_array(name);
    for (size_t i = 0; out && i < count; ++i) {
        uint32_t layer = list[i];
        const char* layer_name = nn_model_layer_name(model, layer);
        nn_tensor* tensor = nn_context_tensor_index(server->context, layer);
        size_t n_scales = 0, n_zeros = 0, dims = 0;
        const float* scales = nn_model_layer_scales(model, layer, &n_scales);
        const int32_t* zeros = nn_model_layer_zeros(model, layer, &n_zeros);
        const int32_t* shape = nn_model_layer_shape(model, layer, &dims);
        out.open_object()
            .uint32("index", layer)
            .str("name", layer_name ? layer_name : "")
            .str("datatype", rt_type_name(tensor ? static_cast<int>(nn_tensor_type(tensor)) : -1))
            .number("scale", scales && n_scales ? scales[0] : 0.0)
            .int32("zero_point", zeros && n_zeros ? zeros[0] : 0);
        write_shape(out, "shape", shape, shape ? dims : 0);
        out.close_object();
    }
    out.close_array();
}

int model_description(int socket, nn_server* server)
{
    const void* model = server->model;
    const char* name = nn_model_name(model);
    const char* uuid = nn_model_uuid(model);
    size_t layers = nn_model_layer_count(model);
    plugin::JsonWriter out(server->common.json);
    out.open_object()
        .str("model_name", name ? name : "")
        .str("uuid", uuid ? uuid : "")
        .uint64("size", server->model_size)
        .uint64("memory_size", nn_model_memory_size(model));
    size_t n_inputs = 0, n_outputs = 0;
    const uint32_t* inputs = nn_model_inputs(model, &n_inputs);
    const uint32_t* outputs = nn_model_outputs(model, &n_outputs);
    if (inputs && n_inputs)
        write_io_list(out, server, "inputs", inputs, n_inputs);
    if (outputs && n_outputs)
        write_io_list(out, server, "outputs", outputs, n_outputs);
    out.uint64("layer_count", layers).int32("label_count", nn_model_label_count(model));
    write_labels(out, server);
    out.int64("timing", server->run_time)
        .open_object("timings")
        .int64("decode", server->decode_time)
        .int64("input", server->input_time)
        .int64("output", server->output_time)
        .close_object()
        .open_array("layers");
    for (size_t i = 0; out && i < layers; ++i)
        write_layer(out, server, i, false, true);
    out.close_array().close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

/* name, arch and model of one device. */
void write_device(plugin::JsonWriter& out, const sysinfo_device* device)
{
    out.optional_str("name", device->name).optional_str("arch", device->arch).optional_str("model", device->model);
}

int engine_description(int socket, nn_server* server)
{
    plugin::JsonWriter out(server->common.json);
    out.open_object().str("engine", "kestrunert").str("version", nn_version()).int32("batch_size", 1);
    sysinfo* info = sysinfo_new();
    if (info && out) {
        out.optional_str("hostname", info->hostname)
            .optional_str("os_name", info->os_name)
            .optional_str("os_description", info->os_description)
            .optional_str("os_version", info->os_version);
        const sysinfo_device* first = info->device_count > 0 && info->devices ? info->devices[0] : nullptr;
        out.open_object("device").str("api", "").str("id", "cpu:0");
        if (first)
            write_device(out, first);
        out.close_object().open_array("devices");
        for (int i = 0; out && info->devices && i < info->device_count; ++i) {
            const sysinfo_device* d = info->devices[i];
            out.open_object();
            if (d)
                write_device(out, d);
            out.close_object();
        }
        out.close_array();
    }
    sysinfo_free(info);
    if (out && !server->common.loaded) {
        out.null("model");
    } else if (out) {
        const void* model = server->model;
        const char* uuid = nn_model_uuid(model);
        const char* name = nn_model_name(model);
        out.open_object("model")
            .str("uuid", uuid ? uuid : "")
            .str("name", name ? name : "")
            .uint64("size", server->model_size)
            .uint64("memory_size", nn_model_memory_size(model))
            .uint64("layer_count", nn_model_layer_count(model))
            .int32("label_count", nn_model_label_count(model));
        write_labels(out, server);
        out.close_object();
    }
    nn_engine* engine = nn_context_engine(server->context);
    if (out && engine) {
        const char* name = nn_engine_name(engine);
        out.str("plugin", name ? name : "");
    }
    nn_tensor* cache = nn_context_cache(server->context);
    nn_tensor* pool = nn_context_mempool(server->context);
    out.open_object("model_limits")
        .int32("block_size", static_cast<int32_t>(RT_BLOCK_SIZE))
        .int32("max_layers", RT_MAX_LAYERS)
        .int32("max_input_size", RT_MAX_INPUT_SIZE)
        .uint64("max_data_cache", cache ? nn_tensor_size(cache) : 0)
        .uint64("max_model_size", server->max_model_size)
        .uint64("max_runtime_mem", pool ? nn_tensor_size(pool) : 0)
        .close_object()
        .close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

} // namespace
} // namespace rtplugin

using namespace rtplugin;

char* layer_json(char* pos, nn_server* server, size_t layer, bool with_data, bool nested)
{
    plugin::JsonWriter out(server->common.json, pos);
    write_layer(out, server, layer, with_data, nested);
    return out.pos();
}

static int v1_get(int socket, const char* target, http_header* headers, size_t header_count, nn_server* server)
{
    if (strncmp(target, "/v1/model", 9) != 0)
        return engine_description(socket, server);
    for (size_t i = 0; i < header_count; ++i) {
        if (!headers[i].name || !plugin::equals_nocase(plugin::header_name(headers[i]), "Accept") ||
            !plugin::equals_nocase(plugin::header_value(headers[i]), kfm_mime))
            continue;
        if (!server->common.loaded)
            return plugin_reply_text(socket, 428, "No Model Loaded");
        return http_respond(socket, 200, kfm_mime, (size_t)server->model_size, server->model, 0,
                            (const char*)NULL);
    }
    if (!server->common.loaded)
        return plugin_reply_text(socket, 428, "{\"status\": \"no model loaded\"}");
    return model_description(socket, server);
}

/* ---- upload ----------------------------------------------------------------- */

/* Makes room for `needed` bytes at the aligned model start, keeping the
 * model_size bytes received so far; the model start, or NULL when it cannot
 * grow. */
static uint8_t* upload_reserve(void* user, uint64_t needed)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (needed <= server->buffer_size && server->model)
        return server->model;
    if (needed > SIZE_MAX - 15)
        return NULL;
    uint8_t* old_base = static_cast<uint8_t*>(server->upload_buffer);
    uint8_t* old_model = server->model;
    bool in_upload = old_base && old_model >= old_base;
    size_t old_offset = in_upload ? (size_t)(old_model - old_base) : 0;
    uint8_t* base = static_cast<uint8_t*>(realloc(server->upload_buffer, (size_t)needed + 15));
    if (!base)
        return NULL;
    auto* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(base) + 15) & ~uintptr_t{15});
    if (server->model_size) {
        /* The aligned start can move with the block: bring the received
         * bytes along. A caller-given buffer is copied from. */
        const uint8_t* from = in_upload ? base + old_offset : old_model;
        memmove(aligned, from, (size_t)server->model_size);
    }
    server->upload_buffer = base;
    server->model = aligned;
    server->buffer_size = needed;
    return aligned;
}

static int load_upload(int socket, void* user, bool* replied)
{
    nn_server* server = static_cast<nn_server*>(user);
    static const char* const me = "v1_put";
    *replied = true;
    nn_context_model_unload(server->context);
    int status = nn_model_validate(server->model, server->model_size);
    if (status != 0) {
        fprintf(stderr, "%s failed to validate model: %s\n", me, nn_model_validate_error(status));
        return plugin_reply_json_text(socket, 200, "{\"error\": \"invalid model\"}");
    }
    status = nn_context_model_load(server->context, server->model_size, server->model);
    if (status != 0) {
        fprintf(stderr, "%s failed to load model: %s\n", me, rt_status_text(status));
        nn_context_model_unload(server->context);
        return plugin_reply_json_text(socket, 200, "{\"error\": \"model load error\"}");
    }
    size_t layers = nn_model_layer_count(server->model);
    bool ok = rt_reset_layer_timing(server);
    if (ok && layers > 0) {
        const char* last = nn_model_layer_name(server->model, layers - 1);
        ok = last && nn_server_set_output_name(server, last);
        for (size_t i = 0; ok && i < layers; ++i) {
            const char* type = nn_model_layer_type(server->model, i);
            if (type && strcmp(type, "input") == 0) {
                const char* name = nn_model_layer_name(server->model, i);
                ok = name && nn_server_set_input_name(server, name);
                break;
            }
        }
    }
    if (!ok) {
        nn_context_model_unload(server->context);
        return plugin_reply_text(socket, 503, "Out of timings/name memory");
    }
    server->common.loaded = 1;
    status = nn_context_run(server->context);
    nn_tensor* last = layers ? nn_context_tensor_index(server->context, layers - 1) : NULL;
    if (status == 0 && last)
        status = nn_tensor_sync(last);
    if (status != 0) {
        char* end = error_json(server->common.json.text, server, "model error: %s", rt_status_text(status));
        return plugin_reply_document(socket, &server->common.json, 500, end);
    }
    *replied = false;
    return 0;
}

/* Parts that write or grow the upload buffer first take a loaded model out:
 * its constants are views into those bytes. */
static void release_for_write(void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (server->common.loaded || server->mapped)
        nn_server_model_unload(server);
    nn_context_model_unload(server->context);
}

static uint64_t upload_size(void* user)
{
    return static_cast<nn_server*>(user)->model_size;
}

static void set_upload_size(void* user, uint64_t size)
{
    static_cast<nn_server*>(user)->model_size = size;
}

int v1_put(int socket, http_header* headers, size_t header_count, char* body, size_t body_len, nn_server* server)
{
    (void)headers;
    (void)header_count;
    if (server->common.loaded || server->mapped)
        nn_server_model_unload(server);
    server->common.loaded = 0;
    const plugin_upload_hooks hooks = {
        server,           RT_BLOCK_SIZE, server->max_model_size, RT_MAX_PART_SIZE, release_for_write,
        upload_reserve,   upload_size,   set_upload_size,        load_upload,
    };
    return plugin_upload_put(socket, body, body_len, &server->upload, &hooks);
}

/* ---- dispatch ----------------------------------------------------------------- */

int nn_server_http_handler(int socket, char* method, char* target, http_header* headers, size_t header_count,
                           char* body, size_t body_len, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (!server || !rt_reply_reserve(server, RT_MIN_REPLY_BUFFER)) {
        errno = ENOMEM;
        return -1;
    }
    int result;
    if (strcmp(method, "GET") == 0)
        result = v1_get(socket, target, headers, header_count, server);
    else if (strcmp(method, "PUT") == 0)
        result = v1_put(socket, headers, header_count, body, body_len, server);
    else if (strcmp(method, "POST") == 0)
        result = v1_post(socket, target, headers, header_count, body, body_len, server);
    else if (strcmp(method, "OPTIONS") == 0)
        result = http_respond(socket, 204, "", 0, NULL, 0, (const char*)NULL);
    else
        result = plugin_reply_text(socket, 404, "Not Found");
    /* The reply is written: an outsized buffer need not outlive it. */
    int error = errno;
    rt_release_outsized(server);
    errno = error;
    return result;
}
