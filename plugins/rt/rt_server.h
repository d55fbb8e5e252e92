/* The runtime plug-in's server record and the routines its parts share. */
#ifndef BRINDLECAST_RT_SERVER_H
#define BRINDLECAST_RT_SERVER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kestrune/nn.h"
#include "plugin.h"
#include "plugin_bytes.h"
#include "plugin_describe.h"
#include "plugin_handler.h"
#include "plugin_http.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Model bytes are assembled in blocks of the framework's block size. */
#define RT_BLOCK_SIZE PLUGIN_BLOCK_SIZE
/* An upload part larger than this ends the request without a reply. */
#define RT_MAX_PART_SIZE 4194304u
/* The reply buffer holds at least this much before a request is handled. */
#define RT_MIN_REPLY_BUFFER PLUGIN_MIN_REPLY_BUFFER
/* The largest JSON inference reply (the outputs' data is base64, 4/3 of the
 * tensor bytes): a request whose outputs would make it larger gets 500
 * "JSON Response Too Large" before any of it is written. */
#define RT_MAX_JSON_REPLY 16777216u
/* A reply or datagram buffer that grew past this for one request is given
 * back (the reply buffer to RT_MIN_REPLY_BUFFER, the datagram buffer whole)
 * once that request is answered. */
#define RT_KEEP_BUFFER 1048576u

struct nn_server {
    /* First, as the framework's shared entry points require: the loaded
     * flag, the input and output names and the reply buffer (json). */
    nn_server_common common;
    nn_context* context;
    nn_engine* engine;         /* compute engine block, or NULL for the CPU */
    int mapped;                /* model is a read-only mapping of a file */
    plugin_bytes upload;       /* uploaded blocks are assembled in here */
    uint8_t* model;            /* the current model bytes */
    uint64_t max_model_size;
    uint64_t buffer_size;      /* mapping length or usable upload capacity */
    uint64_t model_size;
    plugin_upload blocks;      /* block counters of the model upload */
    uint8_t* rpc_buffer;       /* payload buffer of the datagram handler */
    uint64_t rpc_capacity;
    int64_t run_time;
    int64_t decode_time;
    int64_t input_time;
    int64_t output_time;
    int64_t* layer_timing;     /* one entry per layer while loaded */
    size_t layer_timing_count;
};

size_t nn_server_sizeof(void);
nn_context* nn_server_context(nn_server* server);
const void* nn_server_model(nn_server* server);

/* Whether client data may be written into `tensor`: false when it does not
 * map or when its memory lies inside the model bytes (a constant, say), where
 * a write would fault on a read-only mapping or silently change an upload. */
bool rt_tensor_accepts_input(nn_server* server, nn_tensor* tensor);

/* (Re)allocates layer_timing zero-filled with one entry per layer of the
 * current model; false when the allocation fails (a layer-less model gets an
 * empty array and true). */
bool rt_reset_layer_timing(nn_server* server);

/* The text of a status, never NULL. */
const char* rt_status_text(int status);

/* HTTP type name of a tensor type ("FLOAT32" ...), "NONE" for others. */
const char* rt_type_name(int type);

/* The HTTP parts: a layer object into the reply buffer (the error object is
 * the framework's error_json). */
char* layer_json(char* pos, nn_server* server, size_t layer, bool with_data, bool nested);
int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body,
            size_t body_len, nn_server* server);
int v1_put(int socket, http_header* headers, size_t header_count, char* body, size_t body_len,
           nn_server* server);

/* Grows the reply buffer to at least `size` bytes; false when it cannot. */
bool rt_reply_reserve(nn_server* server, uint64_t size);

/* After a request is answered: the reply and datagram buffers grown past
 * RT_KEEP_BUFFER go back to their normal size (a failed shrink keeps the
 * buffer as it was). */
void rt_release_outsized(nn_server* server);

#ifdef __cplusplus
}
#endif

#endif
