/* HTTP side of the runtime plug-in: dispatch, the engine and model
 * descriptions, the model download and the block-wise model upload. */
#include "rt_server.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "http.h"
#include "platform.h"
#include "json_writer.h"
#include "plugin_describe.h"
#include "plugin_handler.h"
#include "plugin_http.h"
#include "scoped.h"

/* ---- layer objects and descriptions --------------------------------------- */

namespace rtplugin {
namespace {

const char* layer_name(void* user, size_t layer)
{
    return nn_model_layer_name(static_cast<nn_server*>(user)->model, layer);
}

const char* layer_type(void* user, size_t layer)
{
    return nn_model_layer_type(static_cast<nn_server*>(user)->model, layer);
}

int64_t layer_avg_timing(void* user, size_t layer)
{
    const nn_server* server = static_cast<nn_server*>(user);
    return layer < server->layer_timing_count ? server->layer_timing[layer] : 0;
}

bool layer_tensor(void* user, size_t layer, plugin::LayerTensor* out)
{
    nn_tensor* tensor = nn_context_tensor_index(static_cast<nn_server*>(user)->context, layer);
    if (!tensor)
        return false;
    out->datatype = rt_type_name(nn_tensor_type(tensor));
    out->timing = nn_tensor_time(tensor);
    out->io_timing = nn_tensor_io_time(tensor);
    out->shape = plugin::ShapeView(nn_tensor_shape(tensor), static_cast<size_t>(nn_tensor_dims(tensor)));
    return true;
}

void layer_data(void* user, size_t layer, plugin::JsonWriter& out)
{
    nn_tensor* tensor = nn_context_tensor_index(static_cast<nn_server*>(user)->context, layer);
    kestrune::ReadMap data(tensor);
    if (data)
        out.base64("data", data.data(), nn_tensor_size(tensor));
}

plugin::LayerHooks layer_hooks(nn_server* server)
{
    return plugin::LayerHooks{server, layer_name, layer_type, layer_avg_timing, layer_tensor, layer_data};
}

const char* model_label(void* user, int index)
{
    return nn_model_label(static_cast<nn_server*>(user)->model, index);
}

/* The model's inputs or outputs list. */
struct IoLayers {
    nn_server* server;
    const uint32_t* layers;
};

void io_entry(void* user, size_t i, plugin::IoEntry* e)
{
    const IoLayers* io = static_cast<const IoLayers*>(user);
    const void* model = io->server->model;
    const uint32_t layer = io->layers[i];
    nn_tensor* tensor = nn_context_tensor_index(io->server->context, layer);
    size_t n_scales = 0, n_zeros = 0, dims = 0;
    const float* scales = nn_model_layer_scales(model, layer, &n_scales);
    const int32_t* zeros = nn_model_layer_zeros(model, layer, &n_zeros);
    const int32_t* shape = nn_model_layer_shape(model, layer, &dims);
    e->index = layer;
    e->name = nn_model_layer_name(model, layer);
    e->datatype = rt_type_name(tensor ? static_cast<int>(nn_tensor_type(tensor)) : -1);
    e->scale = scales && n_scales ? scales[0] : 0.0;
    e->zero_point = zeros && n_zeros ? zeros[0] : 0;
    e->shape = plugin::ShapeView(shape, shape ? dims : 0);
}

plugin::ModelSummary model_summary(nn_server* server)
{
    const void* model = server->model;
    return plugin::ModelSummary{nn_model_name(model),
                                nn_model_uuid(model),
                                server->model_size,
                                nn_model_memory_size(model),
                                nn_model_layer_count(model),
                                plugin::LabelList{server, nn_model_label_count(model), model_label}};
}

int model_description(int socket, nn_server* server)
{
    const void* model = server->model;
    size_t n_inputs = 0, n_outputs = 0;
    const uint32_t* inputs = nn_model_inputs(model, &n_inputs);
    const uint32_t* outputs = nn_model_outputs(model, &n_outputs);
    IoLayers in{server, inputs}, out{server, outputs};
    const plugin::LayerHooks layers = layer_hooks(server);
    const plugin::ModelDescription d{
        model_summary(server),
        plugin::IoList{&in, inputs ? n_inputs : 0, true, io_entry},
        plugin::IoList{&out, outputs ? n_outputs : 0, true, io_entry},
        server->run_time,
        server->decode_time,
        server->input_time,
        server->output_time,
        &layers,
    };
    char* end = plugin::write_model_description(server->common.json, d);
    return plugin_reply_document(socket, &server->common.json, 200, end);
}

/* "plugin": the compute engine's name, when there is one. */
void engine_plugin(void* user, plugin::JsonWriter& out)
{
    nn_engine* engine = nn_context_engine(static_cast<nn_server*>(user)->context);
    if (engine) {
        const char* name = nn_engine_name(engine);
        out.str("plugin", name ? name : "");
    }
}

int engine_description(int socket, nn_server* server)
{
    nn_tensor* cache = nn_context_cache(server->context);
    nn_tensor* pool = nn_context_mempool(server->context);
    const plugin::ModelSummary model = server->common.loaded ? model_summary(server) : plugin::ModelSummary{};
    const plugin::EngineDescription d{
        "kestrunert",
        nn_version(),
        "",
        "cpu:0",
        server->common.loaded ? &model : nullptr,
        server,
        engine_plugin,
        cache ? nn_tensor_size(cache) : 0,
        server->max_model_size,
        pool ? nn_tensor_size(pool) : 0,
    };
    char* end = plugin::write_engine_description(server->common.json, d);
    return plugin_reply_document(socket, &server->common.json, 200, end);
}

} // namespace
} // namespace rtplugin

using namespace rtplugin;

char* layer_json(char* pos, nn_server* server, size_t layer, bool with_data, bool nested)
{
    plugin::JsonWriter out(server->common.json, pos);
    plugin::write_layer(out, layer_hooks(server), layer, with_data, nested);
    return out.pos();
}

/* ---- upload ----------------------------------------------------------------- */

/* Makes room for `needed` bytes at the aligned model start, keeping the
 * model_size bytes received so far; the model start, or NULL when it cannot
 * grow.  Bytes held in a caller-given buffer are copied along. */
static uint8_t* upload_reserve(void* user, uint64_t needed)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (needed <= server->buffer_size && server->model)
        return server->model;
    plugin_bytes* upload = &server->upload;
    const bool in_upload = upload->block && server->model == upload->data;
    upload->size = in_upload ? server->model_size : 0;
    const uint8_t* elsewhere = !in_upload && server->model_size ? server->model : NULL;
    uint8_t* data = plugin_bytes_reserve(upload, needed);
    if (!data)
        return NULL;
    if (elsewhere)
        memmove(data, elsewhere, (size_t)server->model_size);
    server->model = data;
    server->buffer_size = needed;
    return data;
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
    return plugin_upload_put(socket, body, body_len, &server->blocks, &hooks);
}

/* ---- dispatch ----------------------------------------------------------------- */

static int model_description_hook(int socket, void* user)
{
    return model_description(socket, static_cast<nn_server*>(user));
}

static int engine_description_hook(int socket, void* user)
{
    return engine_description(socket, static_cast<nn_server*>(user));
}

static int put_hook(int socket, void* user, http_header* headers, size_t header_count, char* body, size_t body_len)
{
    return v1_put(socket, headers, header_count, body, body_len, static_cast<nn_server*>(user));
}

static int post_hook(int socket, void* user, char* target, http_header* headers, size_t header_count, char* body,
                     size_t body_len)
{
    return v1_post(socket, target, headers, header_count, body, body_len, static_cast<nn_server*>(user));
}

int nn_server_http_handler(int socket, char* method, char* target, http_header* headers, size_t header_count,
                           char* body, size_t body_len, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (!server) {
        errno = ENOMEM;
        return -1;
    }
    const plugin::HandlerHooks hooks = {
        server,           server->model, server->model_size, model_description_hook, engine_description_hook,
        put_hook,         post_hook,
    };
    int result = plugin::handle_request(socket, method, target, headers, header_count, body, body_len, server, hooks);
    /* The reply is written: an outsized buffer need not outlive it. */
    int error = errno;
    rt_release_outsized(server);
    errno = error;
    return result;
}
