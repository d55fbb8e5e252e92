#include "plugin_http.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string_view>

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

namespace plugin {

const http_header* find_header(const http_header* headers, size_t count, std::string_view name) noexcept
{
    const http_header* found = nullptr;
    for (size_t i = 0; i < count; ++i)
        if (headers[i].name && header_name(headers[i]) == name)
            found = &headers[i];
    return found;
}

bool parse_count(std::string_view text, int* value) noexcept
{
    if (text.empty())
        return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > INT_MAX)
            return false;
    }
    *value = static_cast<int>(v);
    return true;
}

bool equals_nocase(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && (a.empty() || strncasecmp(a.data(), b.data(), a.size()) == 0);
}

} // namespace plugin

const http_header* plugin_header(const http_header* headers, size_t count, const char* name)
{
    return plugin::find_header(headers, count, name);
}

/* ---- numbers and shapes --------------------------------------------------- */

bool plugin_parse_count(const char* text, size_t length, int* value)
{
    return plugin::parse_count(std::string_view(text, length), value);
}

int plugin_parse_shape(const char* text, int32_t shape[4])
{
    for (int i = 0; i < 4; ++i)
        shape[i] = 1;
    std::string_view rest(text);
    if (rest.empty())
        return 1;
    for (int n = 0;; ++n) {
        if (n == 4)
            return -1;
        const size_t comma = rest.find(',');
        int v = 0;
        if (!plugin::parse_count(rest.substr(0, comma), &v))
            return 0;
        shape[n] = v;
        if (comma == std::string_view::npos)
            return 1;
        rest.remove_prefix(comma + 1);
    }
}

/* ---- the inference query --------------------------------------------------- */

namespace plugin {
namespace {

enum class QueryKey { output, run, step, imgproc, id, other };

constexpr struct {
    std::string_view word;
    QueryKey key;
} query_keys[] = {
    {"output", QueryKey::output}, {"run", QueryKey::run}, {"step", QueryKey::step},
    {"imgproc", QueryKey::imgproc}, {"id", QueryKey::id},
};

constexpr struct {
    std::string_view name;
    uint32_t flags;
} imgproc_names[] = {
    {"none", 0},
    {"normalize", 1},
    {"whitening", 2},
    {"signed_normalize", 4},
};

/* Percent escapes an output name may carry (upper-case hex only). */
constexpr struct {
    std::string_view escape;
    char c;
} name_escapes[] = {{"%3A", ':'}, {"%2F", '/'}, {"%3B", ';'}, {"%20", ' '}};

constexpr const char* bad_query = "Badly Formatted URL Query";

QueryKey query_key(std::string_view word) noexcept
{
    for (const auto& k : query_keys)
        if (equals_nocase(word, k.word))
            return k.key;
    return QueryKey::other;
}

/* "run" also takes a sign. */
bool parse_int(std::string_view text, int* value) noexcept
{
    const bool negative = text[0] == '-';
    int magnitude = 0;
    if (negative || text[0] == '+')
        text.remove_prefix(1);
    if (!parse_count(text, &magnitude))
        return false;
    *value = negative ? -magnitude : magnitude;
    return true;
}

/* The output name with its escapes decoded into `out`; false when the
 * result does not fit `capacity` with its zero. */
bool decode_name(std::string_view value, char* out, size_t capacity) noexcept
{
    size_t n = 0;
    while (!value.empty()) {
        char c = value[0];
        size_t used = 1;
        if (c == '%')
            for (const auto& e : name_escapes)
                if (value.substr(0, e.escape.size()) == e.escape) {
                    c = e.c;
                    used = e.escape.size();
                    break;
                }
        if (n + 1 >= capacity)
            return false;
        out[n++] = c;
        value.remove_prefix(used);
    }
    out[n] = '\0';
    return true;
}

/* 0 when the pair is taken, else the reply's status with *text its body. */
int query_pair(QueryKey key, std::string_view value, const plugin_query_hooks* hooks, plugin_query* query,
               const char** text) noexcept
{
    switch (key) {
    case QueryKey::output: {
        int max = hooks->max_outputs < PLUGIN_MAX_OUTPUTS ? hooks->max_outputs : PLUGIN_MAX_OUTPUTS;
        if (query->output_count >= max) {
            *text = "Too Many Outputs Requested";
            return 400;
        }
        char name[128];
        if (!decode_name(value, name, sizeof name)) {
            *text = bad_query;
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
    case QueryKey::run:
        if (!parse_int(value, &query->run)) {
            *text = bad_query;
            return 400;
        }
        if (query->run > PLUGIN_MAX_RUNS) {
            *text = PLUGIN_TOO_MANY_RUNS;
            return 400;
        }
        return 0;
    case QueryKey::step: {
        const size_t dash = value.find('-');
        int start = 0, end = 0;
        bool ok;
        if (dash != std::string_view::npos) {
            ok = parse_count(value.substr(0, dash), &start) && parse_count(value.substr(dash + 1), &end);
        } else {
            ok = parse_count(value, &start);
            end = start == INT_MAX ? INT_MAX : start + 1;
        }
        if (!ok) {
            *text = bad_query;
            return 400;
        }
        int status = hooks->check_step(hooks->user, &start, &end, text);
        if (status)
            return status;
        query->step_start = start;
        query->step_end = end;
        return 0;
    }
    default:
        for (const auto& p : imgproc_names)
            if (equals_nocase(value, p.name)) {
                query->imgproc = p.flags;
                return 0;
            }
        *text = "Unsupported Image Processing Request";
        return 404;
    }
}

} // namespace
} // namespace plugin

bool plugin_decode_name(const char* value, size_t length, char* out, size_t capacity)
{
    return capacity > 0 && plugin::decode_name(std::string_view(value, length), out, capacity);
}

bool plugin_parse_query(int socket, char* target, const plugin_query_hooks* hooks,
                        plugin_query* query, int* result)
{
    using namespace plugin;
    char* rest = strchr(target, '?');
    if (!rest)
        return true;
    *rest++ = '\0';
    /* Pairs are split by '&', keys from values by the first '='; only the
     * id, which the reply quotes, is cut out of the text. */
    for (char* pair = rest; pair;) {
        char* amp = strchr(pair, '&');
        const std::string_view text_pair = amp ? std::string_view(pair, static_cast<size_t>(amp - pair))
                                               : std::string_view(pair);
        char* next = amp ? amp + 1 : nullptr;
        const size_t eq = text_pair.find('=');
        const std::string_view key = text_pair.substr(0, eq);
        const bool has_value = eq != std::string_view::npos;
        const std::string_view value = has_value ? text_pair.substr(eq + 1) : std::string_view();
        int status = 0;
        const char* text = bad_query;
        const QueryKey k = query_key(key);
        if (key.empty()) {
            status = 400;
        } else if (k == QueryKey::id) {
            if (amp)
                *amp = '\0';
            query->id = has_value ? pair + eq + 1 : "";
        } else if (k == QueryKey::other) {
            /* other keys are ignored */
        } else if (value.empty()) {
            status = 400;
        } else {
            status = query_pair(k, value, hooks, query, &text);
        }
        if (status) {
            *result = plugin_reply_text(socket, status, text);
            return false;
        }
        pair = next;
    }
    return true;
}

/* ---- block-wise model upload ------------------------------------------------ */

namespace plugin {
namespace {

constexpr const char* too_large = "{\"error\": \"model too large\"}";
constexpr const char* upload_done = "{\"reply\": \"success\"}";
constexpr const char* unsupported_part = "Unsupported multi-part data";

enum class UploadField { block_count, block_content, ignored, unknown };

constexpr struct {
    std::string_view name;
    UploadField field;
} upload_fields[] = {
    {"block_count", UploadField::block_count}, {"block_content", UploadField::block_content},
    /* accepted; nothing to do */
    {"block_size", UploadField::ignored},      {"model_name", UploadField::ignored},
    {"model_checksum", UploadField::ignored},  {"block_id", UploadField::ignored},
};

UploadField upload_field(std::string_view name) noexcept
{
    for (const auto& f : upload_fields)
        if (name == f.name)
            return f.field;
    return UploadField::unknown;
}

} // namespace
} // namespace plugin

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
        return plugin_reply_json_text(socket, 507, plugin::too_large);
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
        return plugin_reply_json_text(socket, 507, plugin::too_large);
    hooks->release(hooks->user);
    if (whole)
        hooks->set_size(hooks->user, 0);
    uint8_t* model = hooks->reserve(hooks->user, kept + length);
    if (!model)
        return plugin_reply_json_text(socket, 507, plugin::too_large);
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
        return plugin_reply_json_text(socket, 200, plugin::upload_done);
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
        bool done = false;
        int result = 0;
        switch (plugin::upload_field(name)) {
        case plugin::UploadField::block_count:
            result = block_count_part(socket, data, length, upload, hooks, &done);
            break;
        case plugin::UploadField::block_content:
            result = block_content_part(socket, data, length, upload, hooks, &done);
            break;
        case plugin::UploadField::ignored:
            break;
        case plugin::UploadField::unknown:
            return plugin_reply_text(socket, 415, plugin::unsupported_part);
        }
        if (done)
            return result;
    }
    if (!any_part)
        return plugin_reply_text(socket, 415, plugin::unsupported_part);
    return plugin_reply_json_text(socket, 200, plugin::upload_done);
}
