/* The OpenVX plug-in's server record and the routines its parts share: a KFM
 * model turned into an ovxlib graph by libovx-kfm and run whole. */
#ifndef BRINDLECAST_OVX_SERVER_H
#define BRINDLECAST_OVX_SERVER_H

#include <cstddef>
#include <cstdint>

#include "json_writer.h"
#include "kestrune/nn.h"
#include "ovx/ovx_kfm.h"
#include "ovxlib/ovxlib.h"
#include "plugin.h"
#include "plugin_bytes.h"
#include "plugin_http.h"

/* An upload part larger than this ends the request without a reply. */
#define OVX_MAX_PART_SIZE 4194304u
/* The largest JSON inference reply (outputs as base64): a larger one gets 500
 * "JSON Response Too Large" before any of it is written. */
#define OVX_MAX_JSON_REPLY 16777216u

struct nn_server {
    /* First, as the framework's shared entry points require: the loaded
     * flag, the input and output names and the reply buffer (json). */
    nn_server_common common;
    int64_t mapped;            /* model data is a read-only mapping of a file */
    /* Uploaded blocks are assembled from the buffer's aligned start, its
     * capacity beside it; a finished upload becomes the model data. */
    plugin_bytes upload_buffer;
    uint8_t* model;            /* the KFM bytes in use: mapping, upload or caller's */
    uint64_t max_model_size;
    uint64_t model_size;
    plugin_upload upload;      /* block counters of the model upload */
    char* scratch;             /* the handler's two scratch buffers */
    char* scratch2;
    int64_t run_time;          /* ns, kept from the last request that measured it */
    int64_t decode_time;
    int64_t input_time;
    uint32_t* tensor_ids;      /* one ovxlib tensor id per layer while loaded */
    size_t tensor_id_count;
    ovxlib_context* context;
    ovxlib_graph* graph;
};

/* The model data (record accessor; the entry points do not use it). */
extern "C" const void* nn_server_model(nn_server* server);

namespace ovx {

/* The ovxlib tensor holding a layer's result, or NULL when the graph builder
 * gave it none (a skipped layer) or nothing is loaded. */
ovxlib_tensor* layer_tensor(nn_server* server, size_t layer);
/* The first tensor of the graph's input or output list, or NULL. */
ovxlib_tensor* graph_input(nn_server* server);
ovxlib_tensor* graph_output(nn_server* server);
/* Name of a tensor's OpenVX data type ("FLOAT32" ...); "NONE" for other
 * types and for no tensor. */
const char* type_name(const ovxlib_tensor* tensor);

/* One run of the graph; false when ovxlib reports a failure. */
bool run(nn_server* server);

/* The layer object of the HTTP replies. */
void write_layer(plugin::JsonWriter& out, nn_server* server, size_t layer, bool with_data, bool nested);
/* 500 {"error": "<prefix>internal error"}: ovxlib gives no status of its
 * own, so a failure has the text of the runtime's status 1. */
int reply_internal_error(int socket, nn_server* server, const char* prefix);

int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server);

} // namespace ovx

#endif
