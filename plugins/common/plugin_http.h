/* What every engine plug-in's HTTP handler shares: the reply forms, the
 * inference query, the numbers and shapes of multipart file names, and the
 * block-wise model upload.  Engine-specific steps come in through small hook
 * records; everything else is the same for every engine. */
#ifndef BRINDLECAST_PLUGIN_HTTP_H
#define BRINDLECAST_PLUGIN_HTTP_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "http.h"
#include "json.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PLUGIN_TENSOR_MIME "application/vnd.kestrune.tensor"
#define PLUGIN_FLOAT32_MIME "application/vnd.kestrune.tensor.float32"
#define PLUGIN_JSON_MIME "application/json"
#define PLUGIN_TEXT_MIME "text/plain"

/* The most outputs any engine lets one request name. */
#define PLUGIN_MAX_OUTPUTS 16
/* The most model runs one request may ask for ("run"): each costs a whole
 * run of the model on the serving thread, which serves nothing else (and
 * does not stop) meanwhile.  A larger count is refused with 400 text/plain
 * PLUGIN_TOO_MANY_RUNS; a negative count runs nothing. */
#define PLUGIN_MAX_RUNS 100
#define PLUGIN_TEXT_OF(x) PLUGIN_TEXT_OF_(x)
#define PLUGIN_TEXT_OF_(x) #x
#define PLUGIN_TOO_MANY_RUNS "Too Many Runs Requested (at most " PLUGIN_TEXT_OF(PLUGIN_MAX_RUNS) ")"

/* ---- replies ------------------------------------------------------------ */

int plugin_reply_text(int socket, int status, const char* text);
int plugin_reply_json_text(int socket, int status, const char* text);

/* The JSON document written into `json` up to `end` (its trailing ',' taken
 * off), or 500 "JSON Response Too Large" when a writer failed (end NULL). */
int plugin_reply_document(int socket, const json_buffer* json, int status, char* end);

/* `format` written into the reply buffer and sent as text/plain with
 * `status`; 500 "Out of Memory" when it does not fit. */
int plugin_reply_format(int socket, json_buffer* json, int status, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

/* "%d " for each of `count` extents, in order or last to first, cut at the
 * last whole extent that fits `capacity`. */
void plugin_shape_text(char* text, size_t capacity, const int32_t* dims, int count, bool last_first);

/* 200 with the tensor's bytes and the X-Tensor-Type, X-Tensor-Shape and
 * X-Model-Timing headers. */
int plugin_reply_tensor(int socket, const void* data, size_t size, const char* type_name,
                        const char* shape_text, int64_t timing);

/* 200 text/plain: the label, or the index as "%d" when there is none, with
 * X-Softmax "%f" and X-Model-Timing. */
int plugin_reply_label(int socket, json_buffer* json, const char* label, int index, float score,
                       int64_t timing);

/* The last header called `name` (compared exactly: a later one overrides an
 * earlier one), or NULL. */
const http_header* plugin_header(const http_header* headers, size_t count, const char* name);

/* ---- numbers and shapes --------------------------------------------------- */

/* A whole decimal number of `length` digits, nothing else, that fits an int. */
bool plugin_parse_count(const char* text, size_t length, int* value);

/* "d0,d1,d2,d3" (missing extents 1): 1 parsed, 0 malformed, -1 more than four. */
int plugin_parse_shape(const char* text, int32_t shape[4]);

/* ---- the inference query --------------------------------------------------- */

/* An output name with the escapes %3A ':', %2F '/', %3B ';' and %20 ' '
 * decoded (upper-case hex only; any other byte is copied) into `out`; false
 * when the result does not fit `capacity` with its zero. */
bool plugin_decode_name(const char* value, size_t length, char* out, size_t capacity);

typedef struct plugin_query {
    uint32_t outputs[PLUGIN_MAX_OUTPUTS];
    int output_count;
    int run;           /* 0 unless given; at most PLUGIN_MAX_RUNS */
    int step_start;    /* -1 unless given */
    int step_end;
    uint32_t imgproc;  /* 0 none, 1 normalize, 2 whitening, 4 signed_normalize */
    const char* id;    /* inside the target; NULL unless given */
} plugin_query;

typedef struct plugin_query_hooks {
    void* user;
    int max_outputs;   /* 1 .. PLUGIN_MAX_OUTPUTS */
    /* The output called `name` (decoded); false when there is none. */
    bool (*find_output)(void* user, const char* name, uint32_t* index);
    /* Checks and may narrow a "step" range [*start, *end) (end start + 1
     * for a single step); 0 when it is accepted, else the reply's status
     * with *text its body. */
    int (*check_step)(void* user, int* start, int* end, const char** text);
} plugin_query_hooks;

/* Parses the query behind '?' in `target` (which it cuts there and writes
 * into) into `query`.  True when it is good; otherwise the error reply was
 * sent and *result holds what sending it returned. */
bool plugin_parse_query(int socket, char* target, const plugin_query_hooks* hooks,
                        plugin_query* query, int* result);

/* ---- block-wise model upload ------------------------------------------------ */

typedef struct plugin_upload {
    int32_t block_index;
    int32_t block_count;
} plugin_upload;

typedef struct plugin_upload_hooks {
    void* user;
    uint64_t block_size;     /* bytes per announced block */
    uint64_t max_model_size;
    uint64_t max_part_size;  /* a larger part ends the request without a reply */
    /* Takes a loaded model out before the model bytes are written. */
    void (*release)(void* user);
    /* The model bytes with room for `needed` of them, keeping the `size`
     * bytes received so far; NULL when it cannot grow. */
    uint8_t* (*reserve)(void* user, uint64_t needed);
    /* The model bytes received so far (reserve keeps them). */
    uint64_t (*size)(void* user);
    void (*set_size)(void* user, uint64_t size);
    /* All blocks are in: validate and load.  Returns what a sent reply
     * returned, with *replied true; *replied false when it went well and the
     * upload's own success reply is wanted. */
    int (*load)(int socket, void* user, bool* replied);
} plugin_upload_hooks;

/* The multipart body of a PUT: "block_count", "block_content" and the
 * accepted-and-ignored fields, as one whole model or in announced blocks. */
int plugin_upload_put(int socket, char* body, size_t body_len, plugin_upload* upload,
                      const plugin_upload_hooks* hooks);

#ifdef __cplusplus
}

#include <string_view>

namespace plugin {

inline std::string_view header_name(const http_header& h) noexcept
{
    return h.name ? std::string_view(h.name, h.name_len) : std::string_view();
}
inline std::string_view header_value(const http_header& h) noexcept
{
    return h.value ? std::string_view(h.value, h.value_len) : std::string_view();
}

/* The last header called `name` (compared exactly), or NULL. */
const http_header* find_header(const http_header* headers, size_t count, std::string_view name) noexcept;

/* A whole decimal number, nothing else, that fits an int. */
bool parse_count(std::string_view text, int* value) noexcept;

/* ASCII letters compared without case, as strcasecmp does in the C locale. */
bool equals_nocase(std::string_view a, std::string_view b) noexcept;

} // namespace plugin
#endif

#endif /* BRINDLECAST_PLUGIN_HTTP_H */
