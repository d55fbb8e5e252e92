/* The ONNX Runtime plug-in's server record and the routines its parts share.
 * ONNX Runtime is reached only through its API table of version 5 and the
 * execution-provider functions. */
#ifndef BRINDLECAST_ONNX_SERVER_H
#define BRINDLECAST_ONNX_SERVER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "onnxruntime_c_api.h"
#include "plugin.h"
#include "plugin_bytes.h"
#include "plugin_http.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The API table version asked for: every entry used here exists there, and
 * every later 1.x library serves it. */
#define ONNX_API_VERSION 5

/* Execution providers by the compute option. */
enum { ONNX_PROVIDER_CPU = 0, ONNX_PROVIDER_ACL = 1, ONNX_PROVIDER_ARMNN = 2, ONNX_PROVIDER_VSINPU = 3 };

/* An upload part larger than this ends the request without a reply. */
#define ONNX_MAX_PART_SIZE 4194304u
/* The largest input buffer a model may ask for: its shape comes from the
 * model file, which is not trusted. */
#define ONNX_MAX_INPUT_BYTES (256u * 1024u * 1024u)
/* Dimensions of the input kept with the record; a deeper input is refused. */
#define ONNX_MAX_INPUT_DIMS 8

struct nn_server {
    /* First, as the framework's shared entry points require: the loaded
     * flag, the two given names ("input"/"output"), the JSON reply buffer
     * and the labels. */
    nn_server_common common;
    const OrtApi* api;
    OrtEnv* env;
    OrtSessionOptions* options;
    OrtSession* session;
    OrtAllocator* allocator;   /* ONNX Runtime's default; not owned */
    OrtValue* input;           /* over input_buffer */
    uint8_t* input_buffer;
    size_t input_size;         /* bytes of input_buffer */
    OrtValue** outputs;        /* one per output; filled by Run */
    char** output_names;       /* from the allocator, freed through it */
    size_t output_count;
    char* input_names[1];      /* from the allocator */
    ONNXTensorElementDataType input_type;
    int64_t input_dims[ONNX_MAX_INPUT_DIMS]; /* as the input value was created (dynamic ones 1) */
    size_t input_rank;
    plugin_bytes upload_bytes; /* the uploaded model, up to max_model_size */
    plugin_upload upload;      /* block counters of the upload */
    uint64_t max_model_size;
    int opt_level;
    int provider;
    int64_t run_time;
    int64_t decode_time;
    int64_t input_time;
    int threads;
};

/* Status of ONNX Runtime: 0 for none, else its message printed "%s\n" on
 * stderr, the status released and -1. */
NN_PLUGIN_EXPORT int onnx_check_status(OrtStatus* status, const OrtApi* api);
/* Bytes of one element of an ONNX tensor type. */
NN_PLUGIN_EXPORT size_t onnx_element_size(ONNXTensorElementDataType type);
/* Type name in replies ("FLOAT32" ...), "(invalid)" for unnamed types. */
NN_PLUGIN_EXPORT const char* TensorTypeName(ONNXTensorElementDataType type);
/* Top-1 of `count` elements of `type` at `data`: the score, with the index in
 * *index (may be NULL) and, when labels are loaded and the index is below
 * their count, the label in *label (else *label is left alone). */
NN_PLUGIN_EXPORT float onnx_model_label(nn_server* server, const void* data, const char** label, int type,
                                        size_t count, int* index);
/* Decodes an encoded image into the input buffer (see onnx_image.cpp). */
NN_PLUGIN_EXPORT int onnx_tensor_load_image_ex(int input, nn_server* server, const void* data, size_t length,
                                               uint32_t flags);

/* One Run over the input value into the output values; the status printed
 * and released, false when it failed. */
bool onnx_run(nn_server* server);

int onnx_v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body,
                 size_t body_len, nn_server* server);

#ifdef __cplusplus
}
#endif

#endif
