/* HTTP inference requests of the OpenVX plug-in: query, every body into the
 * graph's first input, whole-graph runs, and the tensor, label or JSON reply. */
#include "ovx_server.h"

#include <stdio.h>
#include <string.h>

#include "http.h"
#include "platform.h"
#include "plugin_describe.h"
#include "plugin_post.h"

namespace ovx {
namespace {

struct Post {
    nn_server* server;
    plugin_query q;
};

Post& post_of(void* user)
{
    return *static_cast<Post*>(user);
}

/* ---- query ------------------------------------------------------------------ */

bool find_layer(void* user, const char* name, uint32_t* index)
{
    nn_server* server = static_cast<nn_server*>(user);
    const uint32_t i = nn_model_layer_lookup(server->model, name);
    if (i == UINT32_MAX || i >= nn_model_layer_count(server->model))
        return false;
    *index = i;
    return true;
}

/* Nothing runs layer by layer here: the start is only range-checked. */
int check_step(void* user, int* start, int* end, const char** text)
{
    (void)end;
    nn_server* server = static_cast<nn_server*>(user);
    if (static_cast<unsigned>(*start) >= nn_model_layer_count(server->model)) {
        *text = "Starting Step Out of Range";
        return 400;
    }
    return 0;
}

/* ---- inputs: all into graph input 0 --------------------------------------------- */

/* Raw bytes, exactly the input's size; false when the reply was sent. */
bool copy_input(int socket, nn_server* server, const char* data, uint64_t length, int* result)
{
    ovxlib_tensor* tensor = graph_input(server);
    if (!tensor || vsi_nn_tensor_bytes(tensor) != length) {
        *result = plugin_reply_text(socket, 400, "Input Tensor Size Mismatch");
        return false;
    }
    const int64_t start = clock_now_ns();
    const int status = vsi_nn_CopyDataToTensor(server->graph, tensor, reinterpret_cast<const uint8_t*>(data));
    server->input_time = clock_now_ns() - start;
    if (status != 0) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    return true;
}

bool image_body(int socket, void* user, const char* body, size_t length, int* result)
{
    Post& post = post_of(user);
    nn_server* server = post.server;
    const int64_t start = clock_now_ns();
    const int status = vsi_nn_tensor_load_image(server->graph, graph_input(server),
                                                reinterpret_cast<const uint8_t*>(body), length, post.q.imgproc);
    server->decode_time = clock_now_ns() - start;
    if (status != 0) {
        *result = plugin_reply_text(socket, 415, "Invalid or Unsupported Image Format");
        return false;
    }
    return true;
}

bool tensor_body(int socket, void* user, const char* body, size_t length, int* result)
{
    return copy_input(socket, post_of(user).server, body, length, result);
}

/* A float32 tensor part goes to input 0 whatever its name, checked only for
 * its size; every other part (a pixmap too) is skipped. */
bool tensor_part(int socket, void* user, const multipart_part& part, int* result)
{
    if (strcmp(part.content_type, PLUGIN_FLOAT32_MIME) != 0)
        return true;
    nn_server* server = post_of(user).server;
    if (!graph_input(server)) {
        *result = plugin_reply_text(socket, 404, "Input Tensor Not Found");
        return false;
    }
    return copy_input(socket, server, part.data, part.length, result);
}

/* ---- replies --------------------------------------------------------------------- */

int run_once(void* user)
{
    return run(static_cast<nn_server*>(user)) ? 0 : 1;
}

/* A host copy of a tensor's bytes, given back with vsi_nn_Free. */
struct HostCopy {
    uint8_t* data;
    HostCopy(ovxlib_graph* graph, ovxlib_tensor* tensor) : data(vsi_nn_ConvertTensorToData(graph, tensor)) {}
    ~HostCopy()
    {
        if (data)
            vsi_nn_Free(data);
    }
    HostCopy(const HostCopy&) = delete;
    HostCopy& operator=(const HostCopy&) = delete;
};

/* The one requested output's bytes, its sizes last to first. */
int tensor_reply(int socket, void* user)
{
    Post& post = post_of(user);
    nn_server* server = post.server;
    ovxlib_tensor* tensor = layer_tensor(server, post.q.outputs[0]);
    if (!tensor)
        return plugin_reply_text(socket, 404, "Output Tensor Not Found");
    const HostCopy copy(server->graph, tensor);
    if (!copy.data)
        return plugin_reply_text(socket, 500, "Output Tensor Empty");
    int32_t dims[OVXLIB_MAX_DIMS];
    const int count = static_cast<int>(tensor->attr.dim_count < OVXLIB_MAX_DIMS ? tensor->attr.dim_count
                                                                                : OVXLIB_MAX_DIMS);
    for (int i = 0; i < count; ++i)
        dims[i] = static_cast<int32_t>(tensor->attr.sizes[i]);
    char shape_text[32];
    plugin_shape_text(shape_text, sizeof shape_text, dims, count, true);
    return plugin_reply_tensor(socket, copy.data, vsi_nn_tensor_bytes(tensor), type_name(tensor), shape_text,
                               server->run_time);
}

/* Top-1 of graph output 0 as text. */
int label_reply(int socket, void* user)
{
    nn_server* server = post_of(user).server;
    ovxlib_tensor* tensor = graph_output(server);
    if (!tensor)
        return plugin_reply_text(socket, 404, "Output tensor not found");
    int32_t index = 0;
    float score = 0.0f;
    if (vsi_nn_argmax(server->graph, tensor, &index, &score, sizeof score) != 0)
        return plugin_reply_format(socket, &server->common.json, 500, "ArgMax Error\n");
    return plugin_reply_label(socket, &server->common.json, nn_model_label(server->model, index), index, score,
                              server->run_time);
}

/* An upper bound of the JSON reply with the requested outputs. */
uint64_t json_reply_bound(nn_server* server, const plugin_query& q)
{
    uint64_t bound = 1024 + (q.id ? json_escaped_length(q.id, SIZE_MAX) : 0);
    for (int i = 0; i < q.output_count && bound <= OVX_MAX_JSON_REPLY; ++i) {
        const uint32_t layer = q.outputs[i];
        const char* name = nn_model_layer_name(server->model, layer);
        const char* type = nn_model_layer_type(server->model, layer);
        ovxlib_tensor* tensor = layer_tensor(server, layer);
        size_t dims = 0;
        (void)nn_model_layer_shape(server->model, layer, &dims);
        const uint64_t one = plugin::output_object_bound(name ? name : "", type_name(tensor), dims,
                                                         tensor ? vsi_nn_tensor_bytes(tensor) : 0);
        /* "type" and "avg_timing" besides what an output object holds. */
        const uint64_t extra = 64 + json_escaped_length(type ? type : "", SIZE_MAX);
        if (one > OVX_MAX_JSON_REPLY)
            return UINT64_MAX;
        bound += one + extra;
    }
    return bound;
}

int json_reply(int socket, void* user)
{
    Post& post = post_of(user);
    nn_server* server = post.server;
    const plugin_query& q = post.q;
    if (json_reply_bound(server, q) > OVX_MAX_JSON_REPLY)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    plugin::JsonWriter out(server->common.json);
    out.open_object();
    plugin::write_reply_head(out, server->run_time, server->decode_time, server->input_time, q.id);
    if (out && q.output_count) {
        out.open_array("outputs");
        for (int i = 0; out && i < q.output_count; ++i)
            write_layer(out, server, q.outputs[i], true, false);
        out.close_array();
    } else if (out) {
        /* Without a tensor for graph output 0 the object ends here. */
        ovxlib_tensor* tensor = graph_output(server);
        if (tensor) {
            int32_t index = 0;
            float score = 0.0f;
            if (vsi_nn_argmax(server->graph, tensor, &index, &score, sizeof score) != 0)
                return reply_internal_error(socket, server, "argmax failed: ");
            const char* label = nn_model_label(server->model, index);
            if (label)
                out.str("label", label).number("softmax", static_cast<double>(score));
        }
    }
    out.close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

} // namespace

int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server)
{
    Post post;
    memset(&post, 0, sizeof post);
    post.server = server;
    int result = 0;
    const plugin_query_hooks query{server, PLUGIN_MAX_OUTPUTS, find_layer, check_step};
    if (!plugin::begin_post(socket, server->common.loaded, target, query, &post.q, &result))
        return result;
    const plugin::BodyHooks inputs{&post, image_body, tensor_body, nullptr, tensor_part};
    if (!plugin::load_body(socket, headers, header_count, body, body_len, inputs, &result))
        return result;
    /* run 0 leaves the last run's tensors and time; a negative count runs
     * nothing and reports 0; more than one run starts with two warm-ups. */
    if (post.q.run != 0) {
        const plugin::RunHooks runs{server, 2, run_once, nullptr, true};
        int made = 0;
        if (plugin::run_timed(runs, post.q.run, &server->run_time, &made) != 0)
            return reply_internal_error(socket, server, "model error: ");
    }
    const plugin::ReplyHooks replies{&post, post.q.output_count, tensor_reply, label_reply, json_reply};
    return plugin::reply_by_accept(socket, headers, header_count, replies);
}

} // namespace ovx
