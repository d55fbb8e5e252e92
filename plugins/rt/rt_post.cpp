/* HTTP inference requests of the runtime plug-in: query, inputs from the
 * body, running, and the tensor, label or JSON reply. */
#include "rt_server.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "http.h"
#include "multipart.h"
#include "platform.h"
#include "json_writer.h"
#include "plugin_http.h"
#include "plugin_post.h"
#include "scoped.h"

namespace {

constexpr const char pixmap_mime[] = "image/x-portable-pixmap";

} // namespace

typedef struct post_request {
    plugin_query q;
    char last_type[MULTIPART_FIELD_SIZE];     /* content type of the last part */
    char last_filename[MULTIPART_FIELD_SIZE]; /* its filename */
} post_request;

static int reply_model_error(int socket, nn_server* server, const char* format, int status)
{
    char* end = error_json(server->common.json.text, server, format, rt_status_text(status));
    return plugin_reply_document(socket, &server->common.json, 500, end);
}

/* ---- query ------------------------------------------------------------------ */

static bool find_layer(void* user, const char* name, uint32_t* index)
{
    nn_server* server = static_cast<nn_server*>(user);
    uint32_t i = nn_model_layer_lookup(server->model, name);
    if (i == UINT32_MAX || i >= nn_model_layer_count(server->model))
        return false;
    *index = i;
    return true;
}

/* Steps start inside the model and end at its last layer at the latest. */
static int check_step(void* user, int* start, int* end, const char** text)
{
    nn_server* server = static_cast<nn_server*>(user);
    size_t layers = nn_model_layer_count(server->model);
    if ((unsigned)*start >= layers) {
        *text = "Starting Step Out of Range";
        return 400;
    }
    if ((size_t)*end > layers)
        *end = (int)layers;
    return 0;
}

/* ---- inputs ------------------------------------------------------------------ */

static nn_tensor* input_tensor(nn_server* server)
{
    size_t count = 0;
    const uint32_t* inputs = nn_model_inputs(server->model, &count);
    if (inputs && count)
        return nn_context_tensor_index(server->context, inputs[0]);
    return nn_context_tensor(server->context, server->common.input_name);
}

/* Copies `length` bytes into the tensor; false (500 sent) when it may not
 * be written. */
static bool write_input(nn_server* server, nn_tensor* tensor, const void* data, size_t length)
{
    kestrune::WriteMap to;
    if (!rt_tensor_accepts_input(server, tensor) || !to.map(tensor))
        return false;
    memcpy(to.data(), data, length);
    to.reset();
    server->input_time = nn_tensor_io_time(tensor);
    return true;
}

/* Reads one PPM header field ending at `stop` from [*p, end). */
static bool ppm_token(const char** p, const char* end, char stop, const char** token, size_t* length)
{
    const char* start = *p;
    const char* q = static_cast<const char*>(memchr(start, stop, (size_t)(end - start)));
    if (!q)
        return false;
    *token = start;
    *length = (size_t)(q - start);
    *p = q + 1;
    return true;
}

/* 0 done, else the reply was sent. */
static bool load_pixmap(int socket, nn_server* server, const char* data, uint64_t length, int* result)
{
    nn_tensor* tensor = nn_context_tensor(server->context, "input");
    if (!tensor) {
        *result = plugin_reply_text(socket, 404, "Input Tensor Not Found");
        return false;
    }
    if (nn_tensor_type(tensor) != NN_TYPE_F32) {
        *result = plugin_reply_text(socket, 400, "Input Tensor Size Mismatch");
        return false;
    }
    const char* p = data;
    const char* end = data + length;
    const char *magic, *width_text, *height_text, *maxval;
    size_t magic_len, width_len, height_len, maxval_len;
    int width = 0, height = 0;
    if (!ppm_token(&p, end, '\n', &magic, &magic_len) || !ppm_token(&p, end, ' ', &width_text, &width_len) ||
        !ppm_token(&p, end, '\n', &height_text, &height_len) || !ppm_token(&p, end, '\n', &maxval, &maxval_len) ||
        !plugin_parse_count(width_text, width_len, &width) || !plugin_parse_count(height_text, height_len, &height)) {
        *result = plugin_reply_text(socket, 400, "Image does not match input volume");
        return false;
    }
    uint64_t volume = (uint64_t)width * (uint64_t)height * 3u;
    int tensor_volume = nn_tensor_volume(tensor);
    if (tensor_volume < 0 || (uint64_t)tensor_volume != volume || (uint64_t)(end - p) < volume) {
        *result = plugin_reply_text(socket, 400, "Image does not match input volume");
        return false;
    }
    kestrune::WriteMap map;
    if (!rt_tensor_accepts_input(server, tensor) || !map.map(tensor)) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    float* to = map.as<float>();
    const uint8_t* pixels = reinterpret_cast<const uint8_t*>(p);
    for (uint64_t i = 0; i < volume; ++i)
        to[i] = static_cast<float>(pixels[i]) * 0.007843138f - 1.0f;
    return true;
}

/* The request being answered, as the body, run and reply hooks see it. */
struct post_state {
    nn_server* server;
    post_request* req;
};

static bool image_body(int socket, void* user, const char* body, size_t body_len, int* result)
{
    post_state* st = static_cast<post_state*>(user);
    nn_server* server = st->server;
    nn_tensor* tensor = input_tensor(server);
    if (tensor && !rt_tensor_accepts_input(server, tensor)) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    int64_t start = clock_now_ns();
    int status = tensor ? nn_tensor_load_image_ex(tensor, body, body_len, st->req->q.imgproc) : 6;
    server->decode_time = clock_now_ns() - start;
    if (status != 0) {
        *result = plugin_reply_text(socket, 415, "Invalid or Unsupported Image Format");
        return false;
    }
    return true;
}

static bool tensor_body(int socket, void* user, const char* body, size_t body_len, int* result)
{
    nn_server* server = static_cast<post_state*>(user)->server;
    nn_tensor* tensor = input_tensor(server);
    if (!tensor || nn_tensor_size(tensor) != body_len) {
        *result = plugin_reply_text(socket, 400, "Input Tensor Size Mismatch");
        return false;
    }
    if (!write_input(server, tensor, body, body_len)) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    return true;
}

static bool float32_part(int socket, nn_server* server, const multipart_part& part, int* result)
{
    nn_tensor* tensor = nn_context_tensor(server->context, part.name);
    if (!tensor) {
        *result = plugin_reply_text(socket, 404, "Input Tensor Not Found");
        return false;
    }
    plugin::Float32Input input = {nullptr, false, nn_tensor_size(tensor), plugin::ShapeCheck::all, {-1, -1, -1, -1}};
    if (const int32_t* shape = nn_tensor_shape(tensor))
        memcpy(input.shape, shape, sizeof input.shape);
    const char* text = nullptr;
    if (int status = plugin::check_float32_part(part, input, &text)) {
        *result = plugin_reply_text(socket, status, text);
        return false;
    }
    if (!write_input(server, tensor, part.data, (size_t)part.length)) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    return true;
}

static bool body_part(int socket, void* user, const multipart_part& part, int* result)
{
    post_state* st = static_cast<post_state*>(user);
    post_request* req = st->req;
    memcpy(req->last_type, part.content_type, sizeof req->last_type);
    memcpy(req->last_filename, part.filename, sizeof req->last_filename);
    if (strcmp(part.content_type, PLUGIN_FLOAT32_MIME) == 0)
        return float32_part(socket, st->server, part, result);
    if (strcmp(part.content_type, pixmap_mime) == 0) {
        size_t layers = nn_model_layer_count(st->server->model);
        req->q.output_count = 0;
        if (layers)
            req->q.outputs[req->q.output_count++] = (uint32_t)(layers - 1);
        req->q.run = 1;
        return load_pixmap(socket, st->server, part.data, part.length, result);
    }
    return true;
}

/* ---- running ------------------------------------------------------------------- */

static int run_once(void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    size_t layers = server->layer_timing_count;
    nn_tensor* last = layers ? nn_context_tensor_index(server->context, layers - 1) : NULL;
    int status = nn_context_run(server->context);
    if (status == 0 && server->engine && last)
        status = nn_tensor_sync(last);
    return status;
}

static void add_layer_times(void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    for (size_t i = 0; i < server->layer_timing_count; ++i) {
        nn_tensor* t = nn_context_tensor_index(server->context, i);
        if (t)
            server->layer_timing[i] += nn_tensor_time(t);
    }
}

static bool run_model(int socket, nn_server* server, post_request* req, int* result)
{
    size_t layers = server->layer_timing_count;
    if (req->q.run == 0 && req->q.step_start >= 0) {
        int end = req->q.step_end < 0 ? 0 : req->q.step_end;
        for (int i = 0; i < end && (size_t)i < layers; ++i)
            server->layer_timing[i] = 0;
        for (int i = req->q.step_start; i < end; ++i) {
            int status = nn_context_step(server->context, (size_t)i);
            if (status != 0) {
                *result = reply_model_error(socket, server, "model error: %s", status);
                return false;
            }
            nn_tensor* t = nn_context_tensor_index(server->context, (size_t)i);
            if (t && (size_t)i < layers)
                server->layer_timing[i] += nn_tensor_time(t);
        }
        return true;
    }
    if (req->q.run == 0)
        return true;
    for (size_t i = 0; i < layers; ++i)
        server->layer_timing[i] = 0;
    /* A program told to stop (SIGINT) ends a long request between runs. */
    const plugin::RunHooks hooks = {server, 0, run_once, add_layer_times, true};
    int runs = 0;
    int status = plugin::run_timed(hooks, req->q.run, &server->run_time, &runs);
    if (status != 0) {
        *result = reply_model_error(socket, server, "model error: %s", status);
        return false;
    }
    for (size_t i = 0; runs > 0 && i < layers; ++i)
        server->layer_timing[i] /= runs;
    return true;
}

/* ---- replies --------------------------------------------------------------------- */

/* The one output the request named. */
static int reply_tensor(int socket, void* user)
{
    nn_server* server = static_cast<post_state*>(user)->server;
    const post_request* req = static_cast<post_state*>(user)->req;
    nn_tensor* tensor = nn_context_tensor_index(server->context, req->q.outputs[0]);
    if (!tensor)
        return plugin_reply_text(socket, 404, "Output Tensor Not Found");
    nn_tensor_sync(tensor);
    server->output_time = nn_tensor_io_time(tensor);
    kestrune::ReadMap data(tensor);
    if (!data)
        return plugin_reply_text(socket, 500, "Output Tensor Empty");
    char shape_text[32];
    plugin_shape_text(shape_text, sizeof shape_text, nn_tensor_shape(tensor), nn_tensor_dims(tensor), false);
    return plugin_reply_tensor(socket, data.data(), nn_tensor_size(tensor), rt_type_name(nn_tensor_type(tensor)),
                               shape_text, server->run_time);
}

static int reply_argmax_error(int socket, nn_server* server, int status)
{
    return plugin_reply_format(socket, &server->common.json, 500, "ArgMax Error: %s\n", rt_status_text(status));
}

static int reply_label(int socket, void* user)
{
    nn_server* server = static_cast<post_state*>(user)->server;
    size_t count = 0;
    const uint32_t* outputs = nn_model_outputs(server->model, &count);
    nn_tensor* tensor = outputs && count ? nn_context_tensor_index(server->context, outputs[0])
                                         : nn_context_tensor(server->context, server->common.output_name);
    if (!tensor)
        return plugin_reply_text(socket, 404, "Output tensor not found");
    nn_tensor_sync(tensor);
    server->output_time = nn_tensor_io_time(tensor);
    int index = 0;
    float score = 0.0f;
    int status = nn_argmax(tensor, &index, &score, sizeof score);
    if (status != 0)
        return reply_argmax_error(socket, server, status);
    return plugin_reply_label(socket, &server->common.json, nn_model_label(server->model, index), index, score,
                              server->run_time);
}

/* An upper bound of the builder form's size with the listed outputs: their
 * base64 data, names and a fixed allowance for everything else. */
static uint64_t builder_reply_bound(nn_server* server, const post_request* req)
{
    uint64_t bound = 1024;
    if (req->q.id)
        bound += json_escaped_length(req->q.id, SIZE_MAX);
    for (int i = 0; i < req->q.output_count; ++i) {
        uint32_t layer = req->q.outputs[i];
        const char* name = nn_model_layer_name(server->model, layer);
        const char* type = nn_model_layer_type(server->model, layer);
        bound += 512 + json_escaped_length(name ? name : "", SIZE_MAX) + json_escaped_length(type ? type : "", SIZE_MAX);
        nn_tensor* tensor = nn_context_tensor_index(server->context, layer);
        if (tensor) {
            uint64_t data = json_base64_length(nn_tensor_size(tensor));
            if (data > RT_MAX_JSON_REPLY)
                return UINT64_MAX;
            bound += data;
        }
        if (bound > RT_MAX_JSON_REPLY)
            return bound;
    }
    return bound;
}

static int reply_builder(int socket, nn_server* server, const post_request* req)
{
    if (builder_reply_bound(server, req) > RT_MAX_JSON_REPLY)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    plugin::JsonWriter out(server->common.json);
    out.open_object();
    plugin::write_reply_head(out, server->run_time, server->decode_time, server->input_time, req->q.id);
    if (out && req->q.output_count) {
        out.open_array("outputs");
        for (int i = 0; out && i < req->q.output_count; ++i)
            out.resume(layer_json(out.pos(), server, req->q.outputs[i], true, false));
        out.close_array();
    } else if (out) {
        nn_tensor* tensor = nn_context_tensor(server->context, server->common.output_name);
        if (tensor) {
            int index = 0;
            float score = 0.0f;
            int status = nn_argmax(tensor, &index, &score, sizeof score);
            if (status != 0)
                return reply_model_error(socket, server, "argmax failed: %s", status);
            const char* label = nn_model_label(server->model, index);
            if (label)
                out.str("label", label).number("softmax", static_cast<double>(score));
        }
    }
    out.close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

/* Appends formatted text at *pos inside the reply buffer; false when it does
 * not fit. */
static bool put_text(nn_server* server, char** pos, const char* format, ...) __attribute__((format(printf, 3, 4)));
static bool put_text(nn_server* server, char** pos, const char* format, ...)
{
    json_buffer* json = &server->common.json;
    size_t room = (size_t)(json->capacity - (uint64_t)(*pos - json->text));
    va_list args;
    va_start(args, format);
    int n = vsnprintf(*pos, room, format, args);
    va_end(args);
    if (n < 0 || (size_t)n >= room)
        return false;
    *pos += n;
    return true;
}

/* "name":"escaped text", into the reply buffer without growing it. */
static bool put_str(nn_server* server, char** pos, const char* name, const char* value)
{
    json_buffer* json = &server->common.json;
    uint64_t used = (uint64_t)(*pos - json->text);
    uint64_t need = strlen(name) + 7 + json_escaped_length(value, SIZE_MAX);
    if (used + need >= json->capacity)
        return false;
    *pos = json_put_str(*pos, name, value, SIZE_MAX);
    return true;
}

static int reply_pixmap(int socket, nn_server* server, const post_request* req)
{
    size_t layers = nn_model_layer_count(server->model);
    nn_tensor* tensor = layers ? nn_context_tensor_index(server->context, layers - 1) : NULL;
    if (!tensor)
        return plugin_reply_text(socket, 404, "Output tensor not found");
    int index = 0;
    float score = 0.0f;
    int status = nn_argmax(tensor, &index, &score, sizeof score);
    if (status != 0)
        return reply_argmax_error(socket, server, status);
    const char* label = nn_model_label(server->model, index);
    if (!label)
        label = "unknown";
    /* Room for the fixed text and every name escaped. */
    uint64_t need = (uint64_t)(layers + 2) * 128u + json_escaped_length(req->last_filename, SIZE_MAX) +
                    json_escaped_length(label, SIZE_MAX);
    for (size_t i = 0; i < layers; ++i) {
        const char* name = nn_model_layer_name(server->model, i);
        const char* type = nn_model_layer_type(server->model, i);
        need += json_escaped_length(name ? name : "", SIZE_MAX) + json_escaped_length(type ? type : "", SIZE_MAX);
    }
    if (!rt_reply_reserve(server, need))
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    char* pos = server->common.json.text;
    bool ok = put_text(server, &pos, "[{") && put_str(server, &pos, "id", req->last_filename) &&
              put_str(server, &pos, "label", label) &&
              put_text(server, &pos,
                       "\"softmax\":%d,\"timing\":{\"inference\":%.06f,\"input\":%.06f,\"output\":%.06f,"
                       "\"op_timings\":[",
                       (int)(score * 100.0f), (double)server->run_time / 1e9, (double)server->input_time / 1e9,
                       (double)nn_tensor_io_time(tensor) / 1e9);
    for (size_t i = 0; ok && i < layers; ++i) {
        const char* name = nn_model_layer_name(server->model, i);
        const char* type = nn_model_layer_type(server->model, i);
        int64_t t = i < server->layer_timing_count ? server->layer_timing[i] : 0;
        ok = put_text(server, &pos, "{") && put_str(server, &pos, "name", name ? name : "") &&
             put_str(server, &pos, "type", type ? type : "") &&
             put_text(server, &pos, "\"seconds\":%.06f}%s", (double)t / 1e9, i + 1 < layers ? "," : "");
    }
    ok = ok && put_text(server, &pos, "]}}]");
    if (!ok)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    return http_respond(socket, 200, PLUGIN_JSON_MIME, (size_t)(pos - server->common.json.text), server->common.json.text,
                        0, (const char*)NULL);
}

/* The pixmap form when the last part was a pixmap, else the builder form. */
static int reply_json(int socket, void* user)
{
    nn_server* server = static_cast<post_state*>(user)->server;
    const post_request* req = static_cast<post_state*>(user)->req;
    if (strcmp(req->last_type, pixmap_mime) == 0)
        return reply_pixmap(socket, server, req);
    return reply_builder(socket, server, req);
}

int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server)
{
    if (!server->common.loaded)
        return plugin_reply_text(socket, 428, "No Model Loaded");
    post_request req;
    memset(&req, 0, sizeof req);
    req.q.step_start = -1;
    req.q.step_end = -1;
    int result = 0;
    const plugin_query_hooks hooks = {server, PLUGIN_MAX_OUTPUTS, find_layer, check_step};
    if (!plugin_parse_query(socket, target, &hooks, &req.q, &result))
        return result;
    post_state state = {server, &req};
    const plugin::BodyHooks body_hooks = {&state, image_body, tensor_body, nullptr, body_part};
    if (!plugin::load_body(socket, headers, header_count, body, body_len, body_hooks, &result))
        return result;
    if (!run_model(socket, server, &req, &result))
        return result;
    const plugin::ReplyHooks reply_hooks = {&state, req.q.output_count, reply_tensor, reply_label, reply_json};
    return plugin::reply_by_accept(socket, headers, header_count, reply_hooks);
}
