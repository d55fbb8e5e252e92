/* The inference request (POST) as every engine plug-in reads and answers it:
 * the body by Content-Type and its multipart parts, the checks of a float32
 * tensor part, the loop of timed runs and the reply form chosen by Accept.
 * The engine's own steps come in through small hook records; each hook that
 * refuses a request sends the reply itself and hands back what sending it
 * returned. */
#ifndef BRINDLECAST_PLUGIN_POST_H
#define BRINDLECAST_PLUGIN_POST_H

#include <stddef.h>
#include <stdint.h>

#include "http.h"
#include "multipart.h"

#define PLUGIN_LABELS_PREFIX "labels/"

namespace plugin {

/* ---- the body ------------------------------------------------------------------ */

/* Every hook returns true to go on, or false when it sent a reply (its
 * result in *result): the request ends there.  A NULL hook skips that kind
 * of body. */
struct BodyHooks {
    void* user;
    /* Content-Type beginning "image/": the whole body is one picture. */
    bool (*image)(int socket, void* user, const char* body, size_t length, int* result);
    /* Content-Type beginning "application/vnd.kestrune.tensor": raw bytes. */
    bool (*tensor)(int socket, void* user, const char* body, size_t length, int* result);
    /* Content-Type beginning "labels/": a new label list. */
    bool (*labels)(int socket, void* user, const char* body, size_t length, int* result);
    /* Each multipart part of a non-empty body, in order. */
    bool (*part)(int socket, void* user, const multipart_part& part, int* result);
};

/* Calls the hooks for every "Content-Type" header (name compared exactly, in
 * header order), then for every multipart part of the body.  True when all
 * went on. */
bool load_body(int socket, const http_header* headers, size_t header_count, const char* body, size_t body_len,
               const BodyHooks& hooks, int* result) noexcept;

/* ---- a float32 tensor part ------------------------------------------------------------ */

enum class ShapeCheck {
    none,      /* only the rank (at most four numbers) is checked */
    hwc,       /* extents 1..3 of the file name against height, width, channels */
    all,       /* all four extents against `shape` */
};

/* The input a part of type "application/vnd.kestrune.tensor.float32" is
 * checked against. */
struct Float32Input {
    const char* name;      /* NULL: the caller found the input by the part's name */
    bool name_prefix;      /* the part name matches when it begins with `name` */
    uint64_t size;         /* the input's bytes */
    ShapeCheck check;
    int32_t shape[4];      /* `all`: the whole shape; `hwc`: {_, height, width, channels} */
};

/* 0 when the part fits the input; else the reply's status with *text its
 * body: 404 "Input Tensor Not Found", 400 "Input Tensor Size Mismatch",
 * 400 "Input Tensor Rank Too High", 400 "POSTed Tensor Has Incorrect Shape". */
int check_float32_part(const multipart_part& part, const Float32Input& input, const char** text) noexcept;

/* check_float32_part, then the part's bytes copied to `to` (input.size of
 * them; NULL: 500 "Failed Map Input Tensor").  True when copied; otherwise
 * the reply was sent. */
bool load_float32_part(int socket, const multipart_part& part, const Float32Input& input, void* to,
                       int* result) noexcept;

/* ---- runs ---------------------------------------------------------------------------------- */

struct RunHooks {
    void* user;
    int warmups;                   /* untimed runs before the timed ones when count > 1 */
    int (*run)(void* user);        /* one run: 0, or the failing status */
    void (*after_run)(void* user); /* after each good timed run (per-layer sums); may be NULL */
    bool stop_between_runs;        /* a program told to stop ends the loop between timed runs */
};

/* *run_time = 0; the warm-ups (count > 1); then `count` timed runs, their
 * time summed into *run_time and, when all went well, divided by the runs
 * made (so it holds their average); *runs the timed runs made.  0, or the
 * status of the first failing run (*run_time then holds the sum so far).
 * A count below 1 runs nothing and leaves *run_time 0 (a "run" of 0, which
 * keeps the last request's timing, is the caller's not to pass here). */
int run_timed(const RunHooks& hooks, int count, int64_t* run_time, int* runs) noexcept;

/* ---- the reply form --------------------------------------------------------------------------- */

struct ReplyHooks {
    void* user;
    int output_count;              /* outputs the request named */
    /* Accept "application/vnd.kestrune.tensor" with exactly one output (the
     * 204 and 400 replies of none or several are sent here); NULL: the
     * engine has no tensor reply and answers such a request with JSON. */
    int (*tensor)(int socket, void* user);
    /* Accept "text/plain": the top-1 label. */
    int (*text)(int socket, void* user);
    /* Anything else. */
    int (*json)(int socket, void* user);
};

/* By the value of the last "Accept" header (name and value compared
 * exactly). */
int reply_by_accept(int socket, const http_header* headers, size_t header_count, const ReplyHooks& hooks) noexcept;

} // namespace plugin

#endif /* BRINDLECAST_PLUGIN_POST_H */
