#include "plugin_http.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "multipart.h"

/* ---- replies ------------------------------------------------------------ */

int plugin_reply_text(int socket, int status, const char* text)
{
    return http_respond(socket, status, PLUGIN_TEXT_MIME, strlen(text), text, 0, (const char*)NULL);
}

int plugin_reply_json_text(int socket, int status, const char* text)
{
    return http_respond(socket, status, PLUGIN_JSON_MIME, strlen(text), text, 0, (const char*)NULL);
}

int plugin_reply_document(int socket, const json_buffer* json, int status, char* end)
{
    if (!end)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    end = json_end(json->text, end);
    return http_respond(socket, status, PLUGIN_JSON_MIME, (size_t)(end - json->text), json->text, 0,
                        (const char*)NULL);
}

int plugin_reply_format(int socket, json_buffer* json, int status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = json->text ? vsnprintf(json->text, (size_t)json->capacity, format, args) : -1;
    va_end(args);
    if (n < 0 || (uint64_t)n >= json->capacity)
        return plugin_reply_text(socket, 500, "Out of Memory");
    return http_respond(socket, status, PLUGIN_TEXT_MIME, (size_t)n, json->text, 0, (const char*)NULL);
}

void plugin_shape_text(char* text, size_t capacity, const int32_t* dims, int count, bool last_first)
{
    size_t used = 0;
    if (capacity == 0)
        return;
    text[0] = '\0';
    for (int i = 0; i < count; ++i) {
        int32_t d = dims[last_first ? count - 1 - i : i];
        int n = snprintf(text + used, capacity - used, "%d ", d);
        if (n < 0 || (size_t)n >= capacity - used) {
            text[used] = '\0';
            break;
        }
        used += (size_t)n;
    }
}

int plugin_reply_tensor(int socket, const void* data, size_t size, const char* type_name,
                        const char* shape_text, int64_t timing)
{
    char timing_text[32];
    snprintf(timing_text, sizeof timing_text, "%ld", (long)timing);
    return http_respond(socket, 200, PLUGIN_TENSOR_MIME, size, data, 0, "X-Tensor-Type", type_name,
                        "X-Tensor-Shape", shape_text, "X-Model-Timing", timing_text, (const char*)NULL);
}

int plugin_reply_label(int socket, json_buffer* json, const char* label, int index, float score,
                       int64_t timing)
{
    int n = -1;
    if (json->text)
        n = label ? snprintf(json->text, (size_t)json->capacity, "%s", label)
                  : snprintf(json->text, (size_t)json->capacity, "%d", index);
    if (n < 0 || (uint64_t)n >= json->capacity)
        n = 0;
    char softmax[64], timing_text[32];
    snprintf(softmax, sizeof softmax, "%f", (double)score);
    snprintf(timing_text, sizeof timing_text, "%ld", (long)timing);
    return http_respond(socket, 200, PLUGIN_TEXT_MIME, (size_t)n, json->text, 0, "X-Softmax", softmax,
                        "X-Model-Timing", timing_text, (const char*)NULL);
}

const http_header* plugin_header(const http_header* headers, size_t count, const char* name)
{
    const size_t n = strlen(name);
    const http_header* found = NULL;
    for (size_t i = 0; i < count; ++i)
        if (headers[i].name && headers[i].name_len == n && memcmp(headers[i].name, name, n) == 0)
            found = &headers[i];
    return found;
}

/* ---- numbers and shapes --------------------------------------------------- */

bool plugin_parse_count(const char* text, size_t length, int* value)
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

int plugin_parse_shape(const char* text, int32_t shape[4])
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
        if (!plugin_parse_count(p, len, &v))
            return 0;
        shape[n++] = v;
        if (!comma)
            break;
        p = comma + 1;
    }
    return 1;
}

/* ---- the inference query --------------------------------------------------- */

/* "run" also takes a sign. */
static bool parse_int(const char* text, int* value)
{
    bool negative = text[0] == '-';
    int magnitude = 0;
    const char* digits = text + (negative || text[0] == '+');
    if (!plugin_parse_count(digits, strlen(digits), &magnitude))
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

static const struct {
    const char* name;
    uint32_t flags;
} imgproc_names[] = {
    {"none", 0},
    {"normalize", 1},
    {"whitening", 2},
    {"signed_normalize", 4},
};

/* 0 when the pair is taken, else the reply's status with *text its body. */
static int query_pair(const char* key, const char* value, const plugin_query_hooks* hooks,
                      plugin_query* query, const char** text)
{
    static const char* const bad = "Badly Formatted URL Query";
    if (strcasecmp(key, "output") == 0) {
        int max = hooks->max_outputs < PLUGIN_MAX_OUTPUTS ? hooks->max_outputs : PLUGIN_MAX_OUTPUTS;
        if (query->output_count >= max) {
            *text = "Too Many Outputs Requested";
            return 400;
        }
        char name[128];
        if (!decode_name(value, name, sizeof name)) {
            *text = bad;
            return 400;
        }
        uint32_t index = 0;
        if (!hooks->find_output(hooks->user, name, &index)) {
            *text = "Output Tensor Not Found";
            return 404;
        }
        query->outputs[query->output_count++] = index;
        return 0;
    }
    if (strcasecmp(key, "run") == 0) {
        if (!parse_int(value, &query->run)) {
            *text = bad;
            return 400;
        }
        return 0;
    }
    if (strcasecmp(key, "step") == 0) {
        const char* dash = strchr(value, '-');
        int start = 0, end = 0;
        bool ok;
        if (dash) {
            ok = plugin_parse_count(value, (size_t)(dash - value), &start) &&
                 plugin_parse_count(dash + 1, strlen(dash + 1), &end);
        } else {
            ok = plugin_parse_count(value, strlen(value), &start);
            end = start == INT_MAX ? INT_MAX : start + 1;
        }
        if (!ok) {
            *text = bad;
            return 400;
        }
        int status = hooks->check_step(hooks->user, &start, &end, text);
        if (status)
            return status;
        query->step_start = start;
        query->step_end = end;
        return 0;
    }
    for (size_t i = 0; i < sizeof imgproc_names / sizeof imgproc_names[0]; ++i)
        if (strcasecmp(value, imgproc_names[i].name) == 0) {
            query->imgproc = imgproc_names[i].flags;
            return 0;
        }
    *text = "Unsupported Image Processing Request";
    return 404;
}

bool plugin_parse_query(int socket, char* target, const plugin_query_hooks* hooks,
                        plugin_query* query, int* result)
{
    char* rest = strchr(target, '?');
    if (!rest)
        return true;
    *rest++ = '\0';
    for (char *pair = rest, *next; pair; pair = next) {
        next = strchr(pair, '&');
        if (next)
            *next++ = '\0';
        char* value = strchr(pair, '=');
        if (value)
            *value++ = '\0';
        const char* text = "Badly Formatted URL Query";
        int status = 0;
        if (pair[0] == '\0') {
            status = 400;
        } else if (strcasecmp(pair, "id") == 0) {
            query->id = value ? value : "";
            continue;
        } else if (strcasecmp(pair, "output") != 0 && strcasecmp(pair, "run") != 0 &&
                   strcasecmp(pair, "step") != 0 && strcasecmp(pair, "imgproc") != 0) {
            continue; /* other keys are ignored */
        } else if (!value || value[0] == '\0') {
            status = 400;
        } else {
            status = query_pair(pair, value, hooks, query, &text);
        }
        if (status) {
            *result = plugin_reply_text(socket, status, text);
            return false;
        }
    }
    return true;
}

/* ---- block-wise model upload ------------------------------------------------ */

/* 0 when the upload goes on with the next part; else *done and the result. */
static int block_count_part(int socket, const char* data, uint64_t length, plugin_upload* upload,
                            const plugin_upload_hooks* hooks, bool* done)
{
    *done = true;
    char digits[32];
    size_t n = length < sizeof digits - 1 ? (size_t)length : sizeof digits - 1;
    memcpy(digits, data, n);
    digits[n] = '\0';
    long long count = strtoll(digits, NULL, 10);
    upload->block_count = count > INT32_MAX ? INT32_MAX : count < INT32_MIN ? INT32_MIN : (int32_t)count;
    if (count == 0)
        return plugin_reply_text(socket, 400, "Invalid block_count value");
    if (count < 0 || count > INT32_MAX ||
        (hooks->block_size && (uint64_t)count > hooks->max_model_size / hooks->block_size))
        return plugin_reply_text(socket, 400, "Requested model is larger than allowed");
    hooks->release(hooks->user);
    hooks->set_size(hooks->user, 0);
    if (!hooks->reserve(hooks->user, (uint64_t)count * hooks->block_size))
        return plugin_reply_json_text(socket, 507, "{\"error\": \"model too large\"}");
    upload->block_index = 0;
    *done = false;
    return 0;
}

/* 0 when the upload goes on with the next part; else *done and the result. */
static int block_content_part(int socket, const char* data, uint64_t length, plugin_upload* upload,
                              const plugin_upload_hooks* hooks, bool* done)
{
    *done = true;
    const bool whole = upload->block_count == 0;
    const uint64_t kept = whole ? 0 : hooks->size(hooks->user);
    if (length > hooks->max_model_size || kept > hooks->max_model_size - length)
        return plugin_reply_json_text(socket, 507, "{\"error\": \"model too large\"}");
    hooks->release(hooks->user);
    if (whole)
        hooks->set_size(hooks->user, 0);
    uint8_t* model = hooks->reserve(hooks->user, kept + length);
    if (!model)
        return plugin_reply_json_text(socket, 507, "{\"error\": \"model too large\"}");
    if (length)
        memcpy(model + kept, data, (size_t)length);
    hooks->set_size(hooks->user, kept + length);
    if (!whole) {
        upload->block_index++;
        if (upload->block_index < upload->block_count) {
            char text[96];
            int n = snprintf(text, sizeof text, "{\"block\": %d, \"block_count\": %d}",
                             upload->block_index, upload->block_count);
            return http_respond(socket, 200, PLUGIN_JSON_MIME, (size_t)n, text, 0, (const char*)NULL);
        }
    }
    bool replied = false;
    int result = hooks->load(socket, hooks->user, &replied);
    *done = replied;
    return replied ? result : 0;
}

int plugin_upload_put(int socket, char* body, size_t body_len, plugin_upload* upload,
                      const plugin_upload_hooks* hooks)
{
    static const char* const me = "v1_put";
    if (!body || body_len == 0)
        return plugin_reply_json_text(socket, 200, "{\"reply\": \"success\"}");
    const char* pos = body;
    uint64_t left = body_len;
    bool any_part = false;
    while (left > 0) {
        char name[MULTIPART_NAME_SIZE];
        char filename[32];
        char content_type[32] = "";
        const char* data = NULL;
        uint64_t length = 0;
        uint64_t step = multipart_next_part(pos, left, name, filename, sizeof filename, content_type,
                                            sizeof content_type, &data, &length);
        if (step == 0)
            break;
        any_part = true;
        pos += step;
        left -= step;
        if (length > hooks->max_part_size) {
            fprintf(stderr, "%s multipart element %s too large (%zu)\n", me, filename, (size_t)length);
            errno = EMSGSIZE;
            return -1;
        }
        if (strcmp(name, "block_count") == 0) {
            bool done = false;
            int result = block_count_part(socket, data, length, upload, hooks, &done);
            if (done)
                return result;
        } else if (strcmp(name, "block_content") == 0) {
            bool done = false;
            int result = block_content_part(socket, data, length, upload, hooks, &done);
            if (done)
                return result;
        } else if (strcmp(name, "block_size") == 0 || strcmp(name, "model_name") == 0 ||
                   strcmp(name, "model_checksum") == 0 || strcmp(name, "block_id") == 0) {
            /* accepted; nothing to do */
        } else {
            return plugin_reply_text(socket, 415, "Unsupported multi-part data");
        }
    }
    if (!any_part)
        return plugin_reply_text(socket, 415, "Unsupported multi-part data");
    return plugin_reply_json_text(socket, 200, "{\"reply\": \"success\"}");
}
