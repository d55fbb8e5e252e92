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
#include "plugin_http.h"

#define KFM_MIME "application/vnd.kestrune.kfm"

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
    json_buffer* json = &server->common.json;
    pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "error", text);
    if (pos)
        pos = json_obj_close(&json->text, &json->capacity, pos);
    return pos;
}

static char* shape_json(char* pos, nn_server* server, const char* name, const int32_t* shape, size_t dims)
{
    json_buffer* json = &server->common.json;
    pos = json_arr_open(&json->text, &json->capacity, pos, name);
    for (size_t i = 0; pos && shape && i < dims; ++i)
        pos = json_int(&json->text, &json->capacity, pos, NULL, shape[i]);
    return pos ? json_arr_close(&json->text, &json->capacity, pos) : NULL;
}

char* layer_json(char* pos, nn_server* server, size_t layer, bool with_data, bool nested)
{
    json_buffer* json = &server->common.json;
    const void* model = server->model;
    const char* name = nn_model_layer_name(model, layer);
    const char* type = nn_model_layer_type(model, layer);
    int64_t timing = layer < server->layer_timing_count ? server->layer_timing[layer] : 0;
    pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "name", name ? name : "");
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "type", type ? type : "");
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "avg_timing", timing);
    nn_tensor* tensor = nn_context_tensor_index(server->context, layer);
    if (pos && tensor) {
        if (nested)
            pos = json_obj_open(&json->text, &json->capacity, pos, "tensor");
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "datatype", rt_type_name(nn_tensor_type(tensor)));
        if (pos)
            pos = json_int64(&json->text, &json->capacity, pos, "timing", nn_tensor_time(tensor));
        if (pos)
            pos = json_int64(&json->text, &json->capacity, pos, "io_timing", nn_tensor_io_time(tensor));
        if (pos)
            pos = shape_json(pos, server, "shape", nn_tensor_shape(tensor), (size_t)nn_tensor_dims(tensor));
        if (pos && with_data) {
            const void* data = nn_tensor_mapro(tensor);
            if (data) {
                pos = json_base64(&json->text, &json->capacity, pos, "data", data, nn_tensor_size(tensor));
                nn_tensor_unmap(tensor);
            }
        }
        if (pos && nested)
            pos = json_obj_close(&json->text, &json->capacity, pos);
    }
    return pos ? json_obj_close(&json->text, &json->capacity, pos) : NULL;
}

/* ---- descriptions --------------------------------------------------------- */

static char* labels_json(char* pos, nn_server* server)
{
    json_buffer* json = &server->common.json;
    int count = nn_model_label_count(server->model);
    pos = json_arr_open(&json->text, &json->capacity, pos, "labels");
    for (int i = 0; pos && i < count; ++i) {
        const char* label = nn_model_label(server->model, i);
        pos = json_str(&json->text, &json->capacity, pos, NULL, label ? label : "");
    }
    return pos ? json_arr_close(&json->text, &json->capacity, pos) : NULL;
}

static char* io_list_json(char* pos, nn_server* server, const char* name, const uint32_t* list, size_t count)
{
    json_buffer* json = &server->common.json;
    const void* model = server->model;
    pos = json_arr_open(&json->text, &json->capacity, pos, name);
    for (size_t i = 0; pos && i < count; ++i) {
        uint32_t layer = list[i];
        const char* layer_name = nn_model_layer_name(model, layer);
        nn_tensor* tensor = nn_context_tensor_index(server->context, layer);
        size_t n_scales = 0, n_zeros = 0, dims = 0;
        const float* scales = nn_model_layer_scales(model, layer, &n_scales);
        const int32_t* zeros = nn_model_layer_zeros(model, layer, &n_zeros);
        const int32_t* shape = nn_model_layer_shape(model, layer, &dims);
        pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
        if (pos)
            pos = json_uint(&json->text, &json->capacity, pos, "index", layer);
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "name", layer_name ? layer_name : "");
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "datatype",
                           rt_type_name(tensor ? (int)nn_tensor_type(tensor) : -1));
        if (pos)
            pos = json_double(&json->text, &json->capacity, pos, "scale", scales && n_scales ? scales[0] : 0.0);
        if (pos)
            pos = json_int(&json->text, &json->capacity, pos, "zero_point", zeros && n_zeros ? zeros[0] : 0);
        if (pos)
            pos = shape_json(pos, server, "shape", shape, shape ? dims : 0);
        if (pos)
            pos = json_obj_close(&json->text, &json->capacity, pos);
    }
    return pos ? json_arr_close(&json->text, &json->capacity, pos) : NULL;
}

static int model_description(int socket, nn_server* server)
{
    json_buffer* json = &server->common.json;
    const void* model = server->model;
    const char* name = nn_model_name(model);
    const char* uuid = nn_model_uuid(model);
    size_t layers = nn_model_layer_count(model);
    char* pos = json_obj_open(&json->text, &json->capacity, json->text, NULL);
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "model_name", name ? name : "");
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "uuid", uuid ? uuid : "");
    if (pos)
        pos = json_uint64(&json->text, &json->capacity, pos, "size", server->model_size);
    if (pos)
        pos = json_uint64(&json->text, &json->capacity, pos, "memory_size", nn_model_memory_size(model));
    size_t n_inputs = 0, n_outputs = 0;
    const uint32_t* inputs = nn_model_inputs(model, &n_inputs);
    const uint32_t* outputs = nn_model_outputs(model, &n_outputs);
    if (pos && inputs && n_inputs)
        pos = io_list_json(pos, server, "inputs", inputs, n_inputs);
    if (pos && outputs && n_outputs)
        pos = io_list_json(pos, server, "outputs", outputs, n_outputs);
    if (pos)
        pos = json_uint64(&json->text, &json->capacity, pos, "layer_count", layers);
    if (pos)
        pos = json_int(&json->text, &json->capacity, pos, "label_count", nn_model_label_count(model));
    if (pos)
        pos = labels_json(pos, server);
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "timing", server->run_time);
    if (pos)
        pos = json_obj_open(&json->text, &json->capacity, pos, "timings");
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "decode", server->decode_time);
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "input", server->input_time);
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "output", server->output_time);
    if (pos)
        pos = json_obj_close(&json->text, &json->capacity, pos);
    if (pos)
        pos = json_arr_open(&json->text, &json->capacity, pos, "layers");
    for (size_t i = 0; pos && i < layers; ++i)
        pos = layer_json(pos, server, i, false, true);
    if (pos)
        pos = json_arr_close(&json->text, &json->capacity, pos);
    if (pos)
        pos = json_obj_close(&json->text, &json->capacity, pos);
    return plugin_reply_document(socket, &server->common.json, 200, pos);
}

static char* optional_str(char* pos, json_buffer* json, const char* name, const char* value)
{
    return pos && value ? json_str(&json->text, &json->capacity, pos, name, value) : pos;
}

static int engine_description(int socket, nn_server* server)
{
    json_buffer* json = &server->common.json;
    char* pos = json_obj_open(&json->text, &json->capacity, json->text, NULL);
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "engine", "kestrunert");
    if (pos)
        pos = json_str(&json->text, &json->capacity, pos, "version", nn_version());
    if (pos)
        pos = json_int(&json->text, &json->capacity, pos, "batch_size", 1);
    sysinfo* info = sysinfo_new();
    if (info && pos) {
        pos = optional_str(pos, json, "hostname", info->hostname);
        pos = optional_str(pos, json, "os_name", info->os_name);
        pos = optional_str(pos, json, "os_description", info->os_description);
        pos = optional_str(pos, json, "os_version", info->os_version);
        const sysinfo_device* first = info->device_count > 0 && info->devices ? info->devices[0] : NULL;
        if (pos)
            pos = json_obj_open(&json->text, &json->capacity, pos, "device");
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "api", "");
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "id", "cpu:0");
        if (first) {
            pos = optional_str(pos, json, "name", first->name);
            pos = optional_str(pos, json, "arch", first->arch);
            pos = optional_str(pos, json, "model", first->model);
        }
        if (pos)
            pos = json_obj_close(&json->text, &json->capacity, pos);
        if (pos)
            pos = json_arr_open(&json->text, &json->capacity, pos, "devices");
        for (int i = 0; pos && info->devices && i < info->device_count; ++i) {
            const sysinfo_device* d = info->devices[i];
            pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
            if (d) {
                pos = optional_str(pos, json, "name", d->name);
                pos = optional_str(pos, json, "arch", d->arch);
                pos = optional_str(pos, json, "model", d->model);
            }
            if (pos)
                pos = json_obj_close(&json->text, &json->capacity, pos);
        }
        if (pos)
            pos = json_arr_close(&json->text, &json->capacity, pos);
    }
    sysinfo_free(info);
    if (pos && !server->common.loaded) {
        pos = json_null(&json->text, &json->capacity, pos, "model");
    } else if (pos) {
        const void* model = server->model;
        const char* uuid = nn_model_uuid(model);
        const char* name = nn_model_name(model);
        pos = json_obj_open(&json->text, &json->capacity, pos, "model");
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "uuid", uuid ? uuid : "");
        if (pos)
            pos = json_str(&json->text, &json->capacity, pos, "name", name ? name : "");
        if (pos)
            pos = json_uint64(&json->text, &json->capacity, pos, "size", server->model_size);
        if (pos)
            pos = json_uint64(&json->text, &json->capacity, pos, "memory_size", nn_model_memory_size(model));
        if (pos)
            pos = json_uint64(&json->text, &json->capacity, pos, "layer_count", nn_model_layer_count(model));
        if (pos)
            pos = json_int(&json->text, &json->capacity, pos, "label_count", nn_model_label_count(model));
        if (pos)
            pos = labels_json(pos, server);
        if (pos)
            pos = json_obj_close(&json->text, &json->capacity, pos);
    }
    nn_engine* engine = nn_context_engine(server->context);
    if (pos && engine) {
        const char* name = nn_engine_name(engine);
        pos = json_str(&json->text, &json->capacity, pos, "plugin", name ? name : "");
    }
    nn_tensor* cache = nn_context_cache(server->context);
    nn_tensor* pool = nn_context_mempool(server->context);
    if (pos)
        pos = json_obj_open(&json->text, &json->capacity, pos, "model_limits");
    if (pos)
        pos = json_int(&json->text, &json->capacity, pos, "block_size", (int32_t)RT_BLOCK_SIZE);
    if (pos)
        pos = json_int(&json->text, &json->capacity, pos, "max_layers", RT_MAX_LAYERS);
    if (pos)
        pos = json_int(&json->text, &json->capacity, pos, "max_input_size", RT_MAX_INPUT_SIZE);
    if (pos)
        pos = json_uint64(&json->text, &json->capacity, pos, "max_data_cache", cache ? nn_tensor_size(cache) : 0);
    if (pos)
        pos = json_uint64(&json->text, &json->capacity, pos, "max_model_size", server->max_model_size);
    if (pos)
        pos = json_uint64(&json->text, &json->capacity, pos, "max_runtime_mem", pool ? nn_tensor_size(pool) : 0);
    if (pos)
        pos = json_obj_close(&json->text, &json->capacity, pos);
    if (pos)
        pos = json_obj_close(&json->text, &json->capacity, pos);
    return plugin_reply_document(socket, &server->common.json, 200, pos);
}

static int v1_get(int socket, const char* target, http_header* headers, size_t header_count, nn_server* server)
{
    if (strncmp(target, "/v1/model", 9) != 0)
        return engine_description(socket, server);
    for (size_t i = 0; i < header_count; ++i) {
        const http_header* h = &headers[i];
        size_t n = strlen(KFM_MIME);
        if (!h->name || h->name_len != 6 || strncasecmp(h->name, "Accept", 6) != 0)
            continue;
        if (h->value_len != n || strncasecmp(h->value, KFM_MIME, n) != 0)
            continue;
        if (!server->common.loaded)
            return plugin_reply_text(socket, 428, "No Model Loaded");
        return http_respond(socket, 200, KFM_MIME, (size_t)server->model_size, server->model, 0,
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
    uint8_t* aligned = (uint8_t*)(((uintptr_t)base + 15) & ~(uintptr_t)15);
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
    return ((nn_server*)user)->model_size;
}

static void set_upload_size(void* user, uint64_t size)
{
    ((nn_server*)user)->model_size = size;
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
    if (strcmp(method, "GET") == 0)
        return v1_get(socket, target, headers, header_count, server);
    if (strcmp(method, "PUT") == 0)
        return v1_put(socket, headers, header_count, body, body_len, server);
    if (strcmp(method, "POST") == 0)
        return v1_post(socket, target, headers, header_count, body, body_len, server);
    if (strcmp(method, "OPTIONS") == 0)
        return http_respond(socket, 204, "", 0, NULL, 0, (const char*)NULL);
    return plugin_reply_text(socket, 404, "Not Found");
}
