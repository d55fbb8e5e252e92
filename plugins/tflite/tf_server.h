/* The TensorFlow Lite plug-in's server record and the routines its parts
 * share; everything here is written against the interpreter interface of
 * tf_interpreter.h. */
#ifndef BRINDLECAST_TF_SERVER_H
#define BRINDLECAST_TF_SERVER_H

#include <stddef.h>
#include <stdint.h>

#include "plugin.h"
#include "plugin_http.h"
#include "tf_interpreter.h"

/* Model bytes are uploaded in blocks of this size; a larger part ends the
 * request without a reply. */
#define TF_BLOCK_SIZE 1048576u
#define TF_MAX_PART_SIZE 4194304u
/* The reply buffer holds at least this much before a request is handled. */
#define TF_MIN_REPLY_BUFFER 4096u

struct nn_server {
    /* First, as the framework's shared entry points require: the loaded
     * flag, the input and output names, the reply buffer and the labels. */
    nn_server_common common;
    tfplugin::Interpreter* interpreter; /* owned; NULL without a model */
    uint8_t* upload_buffer;             /* uploaded blocks are assembled in here */
    uint8_t* model;                     /* its first 16-byte aligned address */
    uint64_t buffer_size;               /* usable bytes from `model` */
    uint64_t model_size;                /* bytes uploaded */
    uint64_t max_model_size;
    plugin_upload upload;               /* block counters */
    bool delegate;                      /* apply the acceleration delegates */
    int64_t run_time;                   /* ns, of the last HTTP run */
    int64_t decode_time;
    int64_t input_time;
    int64_t* op_time;                   /* ns per interpreter node */
    size_t op_count;
    tfplugin::ProfileEvent* events;     /* room for one run's profiler events */
    int threads;
};

namespace tfplugin {

/* HTTP and benchmark name of a TensorFlow Lite type code, "(invalid)"
 * outside them. */
const char* TensorTypeName(int type) noexcept;

/* Adds each operator-invoke event of a node below `count` to that node's
 * entry, as nanoseconds; every other event is passed over. */
void accumulate_events(int64_t* op_time, size_t count, const ProfileEvent* events, size_t event_count) noexcept;

/* One profiled run: the profiler reset and started, the invoke, stopped,
 * and its events added to the server's per-node times. False when the
 * invoke failed. */
bool profiled_invoke(nn_server* server) noexcept;

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

} // namespace tfplugin

#endif /* BRINDLECAST_TF_SERVER_H */
