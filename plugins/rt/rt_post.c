/* HTTP inference requests of the runtime plug-in: query, inputs from the
 * body, running, and the tensor, label or JSON reply. */
#include "rt_server.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "http.h"
#include "multipart.h"
#include "platform.h"

#define TENSOR_MIME "application/vnd.kestrune.tensor"
#define FLOAT32_MIME "application/vnd.kestrune.tensor.float32"
#define PIXMAP_MIME "image/x-portable-pixmap"
#define JSON_MIME "application/json"
#define TEXT_MIME "text/plain"
#define MAX_OUTPUTS 16

typedef struct post_request {
    uint32_t outputs[MAX_OUTPUTS];
    int output_count;
    int run;
    int step_start;
    int step_end;
    uint32_t imgproc;
    const char* id;
    char last_type[MULTIPART_FIELD_SIZE];     /* content type of the last part */
    char last_filename[MULTIPART_FIELD_SIZE]; /* its filename */
} post_request;

static int reply_text(int socket, int status, const char* text)
{
    return http_respond(socket, status, TEXT_MIME, strlen(text), text, 0, (const char*)NULL);
}

static int reply_document(int socket, nn_server* server, int status, char* end)
{
    if (!end)
        return reply_text(socket, 500, "JSON Response Too Large");
    end = json_end(server->common.json.text, end);
    size_t length = (size_t)(end - server->common.json.text);
    return http_respond(socket, status, JSON_MIME, length, server->common.json.text, 0, (const char*)NULL);
}

static int reply_model_error(int socket, nn_server* server, const char* format, int status)
{
    char* end = error_json(server->common.json.text, server, format, rt_status_text(status));
    return reply_document(socket, server, 500, end);
}

/* ---- query ------------------------------------------------------------------ */

/* A whole decimal number of digits only that fits an int. */
static bool parse_count(const char* text, size_t length, int* value)
{
    if (length == 0)
        return false;
    long long v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
        if (v > INT_MAX)
            return false;
    }
    *value = (int)v;
    return true;
}

/* "run" also takes a sign. */
static bool parse_int(const char* text, int* value)
{
    bool negative = text[0] == '-';
    int magnitude = 0;
    const char* digits = text + (negative || text[0] == '+');
    if (!parse_count(digits, strlen(digits), &magnitude))
        return false;
    *value = negative ? -magnitude : magnitude;
    return true;
}

/* Turns %3A, %2F, %3B and %20 (upper-case hex only) into ':', '/', ';' and
 * ' '; false when the result does not fit `capacity` with its zero. */
static bool decode_name(const char* value, char* out, size_t capacity)
{
    size_t n = 0;
    for (const char* p = value; *p; ++p) {
        char c = *p;
        if (c == '%' && p[1] && p[2]) {
            if (p[1] == '3' && p[2] == 'A')
                c = ':', p += 2;
            else if (p[1] == '2' && p[2] == 'F')
                c = '/', p += 2;
            else if (p[1] == '3' && p[2] == 'B')
                c = ';', p += 2;
            else if (p[1] == '2' && p[2] == '0')
                c = ' ', p += 2;
        }
        if (n + 1 >= capacity)
            return false;
        out[n++] = c;
    }
    out[n] = '\0';
    return true;
}

/* 0 when the query is good, else the reply was sent and *result holds it. */
static bool parse_query(int socket, char* target, nn_server* server, post_request* req, int* result)
{
    char* query = strchr(target, '?');
    if (!query)
        return true;
    *query++ = '\0';
    size_t layers = nn_model_layer_count(server->model);
    for (char *pair = query, *next; pair; pair = next) {
        next = strchr(pair, '&');
        if (next)
            *next++ = '\0';
        char* value = strchr(pair, '=');
        if (value)
            *value++ = '\0';
        if (pair[0] == '\0') {
            *result = reply_text(socket, 400, "Badly Formatted URL Query");
            return false;
        }
        if (strcasecmp(pair, "id") == 0) {
            req->id = value ? value : "";
            continue;
        }
        bool known = strcasecmp(pair, "output") == 0 || strcasecmp(pair, "run") == 0 ||
                     strcasecmp(pair, "step") == 0 || strcasecmp(pair, "imgproc") == 0;
        if (!known)
            continue;
        if (!value || value[0] == '\0') {
            *result = reply_text(socket, 400, "Badly Formatted URL Query");
            return false;
        }
        if (strcasecmp(pair, "output") == 0) {
            if (req->output_count == MAX_OUTPUTS) {
                *result = reply_text(socket, 400, "Too Many Outputs Requested");
                return false;
            }
            char name[128];
            if (!decode_name(value, name, sizeof name)) {
                *result = reply_text(socket, 400, "Badly Formatted URL Query");
                return false;
            }
            uint32_t index = nn_model_layer_lookup(server->model, name);
            if (index == UINT32_MAX || index >= layers) {
                *result = reply_text(socket, 404, "Output Tensor Not Found");
                return false;
            }
            req->outputs[req->output_count++] = index;
        } else if (strcasecmp(pair, "run") == 0) {
            if (!parse_int(value, &req->run)) {
                *result = reply_text(socket, 400, "Badly Formatted URL Query");
                return false;
            }
        } else if (strcasecmp(pair, "step") == 0) {
            char* dash = strchr(value, '-');
            int start = 0, end = 0;
            bool ok;
            if (dash) {
                ok = parse_count(value, (size_t)(dash - value), &start) &&
                     parse_count(dash + 1, strlen(dash + 1), &end);
            } else {
                ok = parse_count(value, strlen(value), &start);
                end = start == INT_MAX ? INT_MAX : start + 1;
            }
            if (!ok) {
                *result = reply_text(socket, 400, "Badly Formatted URL Query");
                return false;
            }
            if ((unsigned)start >= layers) {
                *result = reply_text(socket, 400, "Starting Step Out of Range");
                return false;
            }
            if ((size_t)end > layers)
                end = (int)layers;
            req->step_start = start;
            req->step_end = end;
        } else {
            if (strcasecmp(value, "none") == 0)
                req->imgproc = 0;
            else if (strcasecmp(value, "normalize") == 0)
                req->imgproc = 1;
            else if (strcasecmp(value, "whitening") == 0)
                req->imgproc = 2;
            else if (strcasecmp(value, "signed_normalize") == 0)
                req->imgproc = 4;
            else {
                *result = reply_text(socket, 404, "Unsupported Image Processing Request");
                return false;
            }
        }
    }
    return true;
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
    void* to = rt_tensor_accepts_input(server, tensor) ? nn_tensor_mapwo(tensor) : NULL;
    if (!to)
        return false;
    memcpy(to, data, length);
    nn_tensor_unmap(tensor);
    server->input_time = nn_tensor_io_time(tensor);
    return true;
}

/* "d0,d1,d2,d3" (missing ones 1); 1 ok, 0 malformed, -1 more than four. */
static int parse_shape(const char* text, int32_t shape[4])
{
    for (int i = 0; i < 4; ++i)
        shape[i] = 1;
    if (text[0] == '\0')
        return 1;
    int n = 0;
    const char* p = text;
    for (;;) {
        const char* comma = strchr(p, ',');
        size_t len = comma ? (size_t)(comma - p) : strlen(p);
        if (n == 4)
            return -1;
        int v = 0;
        if (!parse_count(p, len, &v))
            return 0;
        shape[n++] = v;
        if (!comma)
            break;
        p = comma + 1;
    }
    return 1;
}

/* Reads one PPM header field ending at `stop` from [*p, end). */
static bool ppm_token(const char** p, const char* end, char stop, const char** token, size_t* length)
{
    const char* start = *p;
    const char* q = memchr(start, stop, (size_t)(end - start));
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
        *result = reply_text(socket, 404, "Input Tensor Not Found");
        return false;
    }
    if (nn_tensor_type(tensor) != NN_TYPE_F32) {
        *result = reply_text(socket, 400, "Input Tensor Size Mismatch");
        return false;
    }
    const char* p = data;
    const char* end = data + length;
    const char *magic, *width_text, *height_text, *maxval;
    size_t magic_len, width_len, height_len, maxval_len;
    int width = 0, height = 0;
    if (!ppm_token(&p, end, '\n', &magic, &magic_len) || !ppm_token(&p, end, ' ', &width_text, &width_len) ||
        !ppm_token(&p, end, '\n', &height_text, &height_len) || !ppm_token(&p, end, '\n', &maxval, &maxval_len) ||
        !parse_count(width_text, width_len, &width) || !parse_count(height_text, height_len, &height)) {
        *result = reply_text(socket, 400, "Image does not match input volume");
        return false;
    }
    uint64_t volume = (uint64_t)width * (uint64_t)height * 3u;
    int tensor_volume = nn_tensor_volume(tensor);
    if (tensor_volume < 0 || (uint64_t)tensor_volume != volume || (uint64_t)(end - p) < volume) {
        *result = reply_text(socket, 400, "Image does not match input volume");
        return false;
    }
    float* to = rt_tensor_accepts_input(server, tensor) ? nn_tensor_mapwo(tensor) : NULL;
    if (!to) {
        *result = reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    const uint8_t* pixels = (const uint8_t*)p;
    for (uint64_t i = 0; i < volume; ++i)
        to[i] = (float)pixels[i] * 0.007843138f - 1.0f;
    nn_tensor_unmap(tensor);
    return true;
}

/* Inputs from the body: headers first, then multipart parts. */
static bool load_inputs(int socket, http_header* headers, size_t header_count, char* body, size_t body_len,
                        nn_server* server, post_request* req, int* result)
{
    for (size_t i = 0; i < header_count; ++i) {
        const http_header* h = &headers[i];
        if (!h->name || h->name_len != 12 || memcmp(h->name, "Content-Type", 12) != 0)
            continue;
        if (h->value_len >= 6 && memcmp(h->value, "image/", 6) == 0) {
            nn_tensor* tensor = input_tensor(server);
            if (tensor && !rt_tensor_accepts_input(server, tensor)) {
                *result = reply_text(socket, 500, "Failed Map Input Tensor");
                return false;
            }
            int64_t start = clock_now_ns();
            int status = tensor ? nn_tensor_load_image_ex(tensor, body, body_len, req->imgproc) : 6;
            server->decode_time = clock_now_ns() - start;
            if (status != 0) {
                *result = reply_text(socket, 415, "Invalid or Unsupported Image Format");
                return false;
            }
        } else if (h->value_len >= strlen(TENSOR_MIME) && memcmp(h->value, TENSOR_MIME, strlen(TENSOR_MIME)) == 0) {
            nn_tensor* tensor = input_tensor(server);
            if (!tensor || nn_tensor_size(tensor) != body_len) {
                *result = reply_text(socket, 400, "Input Tensor Size Mismatch");
                return false;
            }
            if (!write_input(server, tensor, body, body_len)) {
                *result = reply_text(socket, 500, "Failed Map Input Tensor");
                return false;
            }
        }
    }
    if (!body || body_len == 0)
        return true;
    const char* pos = body;
    uint64_t left = body_len;
    while (left > 0) {
        multipart_part part;
        part.content_type[0] = '\0'; /* an untyped part is skipped */
        uint64_t step = multipart_next_part(pos, left, part.name, part.filename, sizeof part.filename,
                                            part.content_type, sizeof part.content_type, &part.data, &part.length);
        if (step == 0)
            break;
        pos += step;
        left -= step;
        memcpy(req->last_type, part.content_type, sizeof req->last_type);
        memcpy(req->last_filename, part.filename, sizeof req->last_filename);
        if (strcmp(part.content_type, FLOAT32_MIME) == 0) {
            nn_tensor* tensor = nn_context_tensor(server->context, part.name);
            if (!tensor) {
                *result = reply_text(socket, 404, "Input Tensor Not Found");
                return false;
            }
            if (nn_tensor_size(tensor) != part.length) {
                *result = reply_text(socket, 400, "Input Tensor Size Mismatch");
                return false;
            }
            int32_t shape[4];
            int parsed = parse_shape(part.filename, shape);
            if (parsed < 0) {
                *result = reply_text(socket, 400, "Input Tensor Rank Too High");
                return false;
            }
            if (parsed == 0 || !nn_tensor_shape_equal(nn_tensor_shape(tensor), shape)) {
                *result = reply_text(socket, 400, "POSTed Tensor Has Incorrect Shape");
                return false;
            }
            if (!write_input(server, tensor, part.data, (size_t)part.length)) {
                *result = reply_text(socket, 500, "Failed Map Input Tensor");
                return false;
            }
        } else if (strcmp(part.content_type, PIXMAP_MIME) == 0) {
            size_t layers = nn_model_layer_count(server->model);
            req->output_count = 0;
            if (layers)
                req->outputs[req->output_count++] = (uint32_t)(layers - 1);
            req->run = 1;
            if (!load_pixmap(socket, server, part.data, part.length, result))
                return false;
        }
    }
    return true;
}

/* ---- running ------------------------------------------------------------------- */

static bool run_model(int socket, nn_server* server, post_request* req, int* result)
{
    size_t layers = server->layer_timing_count;
    if (req->run == 0 && req->step_start >= 0) {
        int end = req->step_end < 0 ? 0 : req->step_end;
        for (int i = 0; i < end && (size_t)i < layers; ++i)
            server->layer_timing[i] = 0;
        for (int i = req->step_start; i < end; ++i) {
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
    if (req->run == 0)
        return true;
    for (size_t i = 0; i < layers; ++i)
        server->layer_timing[i] = 0;
    server->run_time = 0;
    nn_tensor* last = layers ? nn_context_tensor_index(server->context, layers - 1) : NULL;
    for (int r = 0; r < req->run; ++r) {
        int64_t start = clock_now_ns();
        int status = nn_context_run(server->context);
        if (status == 0 && server->engine && last)
            status = nn_tensor_sync(last);
        server->run_time += clock_now_ns() - start;
        if (status != 0) {
            *result = reply_model_error(socket, server, "model error: %s", status);
            return false;
        }
        for (size_t i = 0; i < layers; ++i) {
            nn_tensor* t = nn_context_tensor_index(server->context, i);
            if (t)
                server->layer_timing[i] += nn_tensor_time(t);
        }
    }
    if (req->run > 0) {
        for (size_t i = 0; i < layers; ++i)
            server->layer_timing[i] /= req->run;
        server->run_time /= req->run;
    }
    return true;
}

/* ---- replies --------------------------------------------------------------------- */

static int reply_tensor(int socket, nn_server* server, const post_request* req)
{
    if (req->output_count == 0)
        return http_respond(socket, 204, TENSOR_MIME, 0, NULL, 0, (const char*)NULL);
    if (req->output_count > 1)
        return reply_text(socket, 400, "Only a single tensor can be returned using application/vnd.kestrune.tensor");
    nn_tensor* tensor = nn_context_tensor_index(server->context, req->outputs[0]);
    if (!tensor)
        return reply_text(socket, 404, "Output Tensor Not Found");
    nn_tensor_sync(tensor);
    server->output_time = nn_tensor_io_time(tensor);
    const void* data = nn_tensor_mapro(tensor);
    if (!data)
        return reply_text(socket, 500, "Output Tensor Empty");
    char shape_text[32] = "";
    size_t used = 0;
    const int32_t* shape = nn_tensor_shape(tensor);
    for (int i = 0; i < nn_tensor_dims(tensor); ++i) {
        int n = snprintf(shape_text + used, sizeof shape_text - used, "%d ", shape[i]);
        if (n < 0 || (size_t)n >= sizeof shape_text - used) {
            shape_text[used] = '\0';
            break;
        }
        used += (size_t)n;
    }
    char timing[32];
    snprintf(timing, sizeof timing, "%ld", (long)server->run_time);
    int result = http_respond(socket, 200, TENSOR_MIME, nn_tensor_size(tensor), data, 0, "X-Tensor-Type",
                              rt_type_name(nn_tensor_type(tensor)), "X-Tensor-Shape", shape_text,
                              "X-Model-Timing", timing, (const char*)NULL);
    nn_tensor_unmap(tensor);
    return result;
}

/* Formats into the reply buffer and sends it as 500 text/plain. */
static int reply_argmax_error(int socket, nn_server* server, int status)
{
    json_buffer* json = &server->common.json;
    int n = snprintf(json->text, (size_t)json->capacity, "ArgMax Error: %s\n", rt_status_text(status));
    if (n < 0 || (uint64_t)n >= json->capacity)
        return reply_text(socket, 500, "Out of Memory");
    return http_respond(socket, 500, TEXT_MIME, (size_t)n, json->text, 0, (const char*)NULL);
}

static int reply_label(int socket, nn_server* server)
{
    size_t count = 0;
    const uint32_t* outputs = nn_model_outputs(server->model, &count);
    nn_tensor* tensor = outputs && count ? nn_context_tensor_index(server->context, outputs[0])
                                         : nn_context_tensor(server->context, server->common.output_name);
    if (!tensor)
        return reply_text(socket, 404, "Output tensor not found");
    nn_tensor_sync(tensor);
    server->output_time = nn_tensor_io_time(tensor);
    int index = 0;
    float score = 0.0f;
    int status = nn_argmax(tensor, &index, &score, sizeof score);
    if (status != 0)
        return reply_argmax_error(socket, server, status);
    json_buffer* json = &server->common.json;
    const char* label = nn_model_label(server->model, index);
    int n = label ? snprintf(json->text, (size_t)json->capacity, "%s", label)
                  : snprintf(json->text, (size_t)json->capacity, "%d", index);
    if (n < 0 || (uint64_t)n >= json->capacity)
        n = 0;
    char softmax[64], timing[32];
    snprintf(softmax, sizeof softmax, "%f", (double)score);
    snprintf(timing, sizeof timing, "%ld", (long)server->run_time);
    return http_respond(socket, 200, TEXT_MIME, (size_t)n, json->text, 0, "X-Softmax", softmax, "X-Model-Timing",
                        timing, (const char*)NULL);
}

static int reply_builder(int socket, nn_server* server, const post_request* req)
{
    json_buffer* json = &server->common.json;
    char* pos = json_obj_open(&json->text, &json->capacity, json->text, NULL);
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "timing", server->run_time);
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "decode", server->decode_time);
    if (pos)
        pos = json_int64(&json->text, &json->capacity, pos, "input", server->input_time);
    if (pos && req->id)
        pos = json_str(&json->text, &json->capacity, pos, "id", req->id);
    if (pos && req->output_count) {
        pos = json_arr_open(&json->text, &json->capacity, pos, "outputs");
        for (int i = 0; pos && i < req->output_count; ++i)
            pos = layer_json(pos, server, req->outputs[i], true, false);
        if (pos)
            pos = json_arr_close(&json->text, &json->capacity, pos);
    } else if (pos) {
        nn_tensor* tensor = nn_context_tensor(server->context, server->common.output_name);
        if (tensor) {
            int index = 0;
            float score = 0.0f;
            int status = nn_argmax(tensor, &index, &score, sizeof score);
            if (status != 0)
                return reply_model_error(socket, server, "argmax failed: %s", status);
            const char* label = nn_model_label(server->model, index);
            if (label) {
                pos = json_str(&json->text, &json->capacity, pos, "label", label);
                if (pos)
                    pos = json_double(&json->text, &json->capacity, pos, "softmax", (double)score);
            }
        }
    }
    if (pos)
        pos = json_obj_close(&json->text, &json->capacity, pos);
    return reply_document(socket, server, 200, pos);
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
        return reply_text(socket, 404, "Output tensor not found");
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
        return reply_text(socket, 500, "JSON Response Too Large");
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
        return reply_text(socket, 500, "JSON Response Too Large");
    return http_respond(socket, 200, JSON_MIME, (size_t)(pos - server->common.json.text), server->common.json.text,
                        0, (const char*)NULL);
}

int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server)
{
    if (!server->common.loaded)
        return reply_text(socket, 428, "No Model Loaded");
    post_request req;
    memset(&req, 0, sizeof req);
    req.step_start = -1;
    req.step_end = -1;
    int result = 0;
    if (!parse_query(socket, target, server, &req, &result))
        return result;
    if (!load_inputs(socket, headers, header_count, body, body_len, server, &req, &result))
        return result;
    if (!run_model(socket, server, &req, &result))
        return result;

    const http_header* accept = NULL;
    for (size_t i = 0; i < header_count; ++i)
        if (headers[i].name && headers[i].name_len == 6 && memcmp(headers[i].name, "Accept", 6) == 0)
            accept = &headers[i];
    const char* value = accept ? accept->value : "";
    size_t value_len = accept ? accept->value_len : 0;
    if (value_len == strlen(TENSOR_MIME) && memcmp(value, TENSOR_MIME, value_len) == 0)
        return reply_tensor(socket, server, &req);
    if (value_len == strlen(TEXT_MIME) && memcmp(value, TEXT_MIME, value_len) == 0)
        return reply_label(socket, server);
    if (strcmp(req.last_type, PIXMAP_MIME) == 0)
        return reply_pixmap(socket, server, &req);
    return reply_builder(socket, server, &req);
}
