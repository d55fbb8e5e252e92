/* The TensorFlow Lite plug-in's server record and the routines its parts
 * share; everything here is written against the interpreter interface of
 * tf_interpreter.h. */
#ifndef BRINDLECAST_TF_SERVER_H
#define BRINDLECAST_TF_SERVER_H

#include <stddef.h>
#include <stdint.h>

#include "plugin.h"
#include "plugin_bytes.h"
#include "plugin_http.h"
#include "tf_interpreter.h"

/* An upload part larger than this ends the request without a reply. */
#define TF_MAX_PART_SIZE 4194304u
/* The largest JSON inference reply (outputs' data in base64): a request
 * whose outputs would make it larger gets 500 "JSON Response Too Large". */
#define TF_MAX_JSON_REPLY 16777216u

struct nn_server {
    /* First, as the framework's shared entry points require: the loaded
     * flag, the input and output names, the reply buffer and the labels. */
    nn_server_common common;
    tfplugin::Interpreter* interpreter; /* owned; NULL without a model */
    plugin_bytes model_bytes;           /* uploaded blocks, up to the largest model */
    plugin_upload upload;               /* block counters */
    bool from_upload;                   /* the model was built from model_bytes */
    bool delegate;                      /* apply the acceleration delegates */
    int64_t run_time;                   /* ns, of the last HTTP run */
    int64_t decode_time;
    int64_t input_time;
    int64_t* op_time;                   /* ns per interpreter node */
    size_t op_count;
    tfplugin::ProfileEvent* events;     /* room for one run's profiler events */
    int threads;
};

extern "C" {
/* The engine's name and version, also exported as data. */
NN_PLUGIN_EXPORT extern const char engine_name[];
NN_PLUGIN_EXPORT extern const char tf_version[];
}

namespace tfplugin {

/* Takes the model out with everything made for it; labels and uploaded
 * bytes stay. */
void drop_model(nn_server* server) noexcept;

/* HTTP and benchmark name of a TensorFlow Lite type code, "(invalid)"
 * outside them. */
const char* TensorTypeName(int type) noexcept;

/* Adds each operator-invoke event of a node below `count` to that node's
 * entry, as nanoseconds; every other event is passed over. */
void accumulate_events(int64_t* op_time, size_t count, const ProfileEvent* events, size_t event_count) noexcept;

/* One run under the profiler: reset, started, the invoke, stopped. False
 * when the invoke failed. */
bool profiled_invoke(nn_server* server) noexcept;
/* The events of the last profiled run added to the per-node times. */
void add_profile(nn_server* server) noexcept;

/* The name of a node's first output tensor, "" when there is none. */
const char* node_output_name(const Interpreter& interpreter, size_t node) noexcept;

/* The label reply's view of an output: the index of the largest value and
 * its score by the type, with the label text when labels are loaded and
 * the index is below their count (else *label NULL). */
float tf_model_label(nn_server* server, const void* data, const char** label, int type, size_t count,
                     int* index) noexcept;

/* Decodes an encoded image into the interpreter's tensor `tensor`: 0, or 6
 * (bad arguments, not rank 4, channels outside 1-4), 5 (flags on an 8-bit
 * input), 1 (not decoded), 14 (no such tensor or no data), 16 (type). */
int tf_tensor_load_image_ex(int tensor, nn_server* server, const void* data, size_t length,
                            uint32_t flags) noexcept;

/* The HTTP parts. */
int v1_put(int socket, char* body, size_t body_len, nn_server* server) noexcept;
int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server) noexcept;

} // namespace tfplugin

#endif /* BRINDLECAST_TF_SERVER_H */
