/* HTTP side of the TensorFlow Lite plug-in: dispatch, the engine and model
 * descriptions, the model download and upload, and inference requests. */
#include "tf_server.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "http.h"
#include "json_writer.h"
#include "platform.h"
#include "plugin_describe.h"
#include "plugin_handler.h"
#include "plugin_labels.h"
#include "plugin_post.h"

namespace tfplugin {

namespace {

bool valid_tensor(const Interpreter& interpreter, int tensor) noexcept
{
    return tensor >= 0 && static_cast<size_t>(tensor) < interpreter.tensor_count();
}

/* The index of the tensor called `name`, or -1. */
int tensor_named(const Interpreter& interpreter, const char* name) noexcept
{
    for (size_t i = 0; name && i < interpreter.tensor_count() && i <= INT_MAX; ++i) {
        const char* n = interpreter.tensor_name(i);
        if (n && strcmp(n, name) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

/* The first entry of an input or output list, or -1. */
int first_of(const Interpreter& interpreter, IntList list) noexcept
{
    return list.count && valid_tensor(interpreter, list[0]) ? list[0] : -1;
}

plugin::ShapeView shape_of(const Interpreter& interpreter, size_t tensor) noexcept
{
    IntList dims = interpreter.tensor_dims(tensor);
    return plugin::ShapeView(dims.data, dims.count);
}

/* ---- descriptions -------------------------------------------------------------- */

/* Layers are the interpreter's nodes, each shown by its first output tensor. */
const char* layer_name(void* user, size_t node)
{
    return node_output_name(*static_cast<nn_server*>(user)->interpreter, node);
}

const char* layer_type(void* user, size_t node)
{
    return static_cast<nn_server*>(user)->interpreter->node_op_name(node);
}

int64_t layer_timing(void* user, size_t node)
{
    nn_server* server = static_cast<nn_server*>(user);
    return node < server->op_count ? server->op_time[node] : 0;
}

int output_of(const Interpreter& interpreter, size_t node) noexcept
{
    IntList outputs = interpreter.node_outputs(node);
    return outputs.count && valid_tensor(interpreter, outputs[0]) ? outputs[0] : -1;
}

bool layer_tensor(void* user, size_t node, plugin::LayerTensor* tensor)
{
    const Interpreter& interpreter = *static_cast<nn_server*>(user)->interpreter;
    int t = output_of(interpreter, node);
    if (t < 0)
        return false;
    tensor->datatype = TensorTypeName(interpreter.tensor_type(static_cast<size_t>(t)));
    tensor->timing = 0;
    tensor->io_timing = 0;
    tensor->shape = shape_of(interpreter, static_cast<size_t>(t));
    return true;
}

void layer_data(void* user, size_t node, plugin::JsonWriter& out)
{
    Interpreter& interpreter = *static_cast<nn_server*>(user)->interpreter;
    int t = output_of(interpreter, node);
    const void* data = t >= 0 ? interpreter.tensor_data(static_cast<size_t>(t)) : nullptr;
    if (data)
        out.base64("data", data, interpreter.tensor_bytes(static_cast<size_t>(t)));
}

void io_entry(const Interpreter& interpreter, IntList list, size_t i, plugin::IoEntry* entry) noexcept
{
    const size_t t = static_cast<size_t>(list[i]);
    entry->index = static_cast<uint32_t>(list[i]);
    entry->name = interpreter.tensor_name(t);
    entry->datatype = TensorTypeName(interpreter.tensor_type(t));
    entry->scale = interpreter.tensor_scale(t);
    entry->zero_point = interpreter.tensor_zero_point(t);
    entry->shape = shape_of(interpreter, t);
}

void input_entry(void* user, size_t i, plugin::IoEntry* entry)
{
    const Interpreter& interpreter = *static_cast<nn_server*>(user)->interpreter;
    io_entry(interpreter, interpreter.inputs(), i, entry);
}

void output_entry(void* user, size_t i, plugin::IoEntry* entry)
{
    const Interpreter& interpreter = *static_cast<nn_server*>(user)->interpreter;
    io_entry(interpreter, interpreter.outputs(), i, entry);
}

/* Input and output lists with only entries that name a tensor. */
size_t listed(const Interpreter& interpreter, IntList list) noexcept
{
    size_t n = 0;
    while (n < list.count && valid_tensor(interpreter, list[n]))
        ++n;
    return n;
}

plugin::ModelSummary summary_of(nn_server* server) noexcept
{
    const Interpreter& interpreter = *server->interpreter;
    plugin::ModelSummary m;
    m.name = "";
    m.uuid = "";
    m.size = server->from_upload ? server->model_bytes.size : 0;
    m.memory_size = interpreter.model_bytes();
    m.layer_count = interpreter.node_count();
    m.labels = plugin::common_labels(server);
    return m;
}

int model_description(int socket, nn_server* server) noexcept
{
    const Interpreter& interpreter = *server->interpreter;
    const plugin::LayerHooks layers = {server, layer_name, layer_type, layer_timing, layer_tensor, layer_data};
    plugin::ModelDescription d;
    d.model = summary_of(server);
    d.inputs = {server, listed(interpreter, interpreter.inputs()), true, input_entry};
    d.outputs = {server, listed(interpreter, interpreter.outputs()), true, output_entry};
    d.timing = server->run_time;
    d.decode = server->decode_time;
    d.input = server->input_time;
    d.output = 0; /* outputs are read in place: no transfer to time */
    d.layers = &layers;
    return plugin_reply_document(socket, &server->common.json, 200,
                                 plugin::write_model_description(server->common.json, d));
}

void delegate_member(void* user, plugin::JsonWriter& out)
{
    out.str("Delegate", static_cast<nn_server*>(user)->delegate ? "NNAPI(OVX)" : "CPU");
}

int engine_description(int socket, nn_server* server) noexcept
{
    plugin::ModelSummary model;
    if (server->common.loaded)
        model = summary_of(server);
    plugin::EngineDescription d;
    d.engine = engine_name;
    d.version = tf_version;
    d.device_api = "";
    d.device_id = "cpu:0";
    d.model = server->common.loaded ? &model : nullptr;
    d.user = server;
    d.extra = delegate_member;
    d.max_data_cache = 0;
    d.max_model_size = server->model_bytes.max_size;
    d.max_runtime_mem = 0;
    return plugin_reply_document(socket, &server->common.json, 200,
                                 plugin::write_engine_description(server->common.json, d));
}

/* ---- upload --------------------------------------------------------------------- */

/* The model is built on the uploaded bytes: it goes before they change. */
void release_model(void* user)
{
    drop_model(static_cast<nn_server*>(user));
}

int load_upload(int socket, void* user, bool* replied)
{
    nn_server* server = static_cast<nn_server*>(user);
    *replied = false;
    if (nn_server_model_load(server, reinterpret_cast<const char*>(server->model_bytes.data), 0) == 0)
        return 0;
    fprintf(stderr, "%s failed to load model\n", "v1_put");
    *replied = true;
    return plugin_reply_json_text(socket, 200, "{\"error\": \"model load error\"}");
}

/* ---- inference ---------------------------------------------------------------------- */

struct Post {
    nn_server* server;
    plugin_query q;
};

bool find_output(void* user, const char* name, uint32_t* index)
{
    int t = tensor_named(*static_cast<nn_server*>(user)->interpreter, name);
    if (t < 0)
        return false;
    *index = static_cast<uint32_t>(t);
    return true;
}

/* A step range is only checked: the interpreter runs whole graphs. */
int check_step(void* user, int* start, int* end, const char** text)
{
    const size_t nodes = static_cast<nn_server*>(user)->interpreter->node_count();
    if (static_cast<unsigned>(*start) >= nodes) {
        *text = "Starting Step Out of Range";
        return 400;
    }
    if (static_cast<size_t>(*end) > nodes)
        *end = static_cast<int>(nodes);
    return 0;
}

bool image_body(int socket, void* user, const char* body, size_t length, int* result)
{
    Post& post = *static_cast<Post*>(user);
    nn_server* server = post.server;
    const int input = first_of(*server->interpreter, server->interpreter->inputs());
    const int64_t start = clock_now_ns();
    const int status = tf_tensor_load_image_ex(input, server, body, length, post.q.imgproc);
    server->decode_time = clock_now_ns() - start;
    if (status == 0)
        return true;
    *result = plugin_reply_text(socket, 415, "Invalid or Unsupported Image Format");
    return false;
}

bool labels_body(int socket, void* user, const char* body, size_t length, int* result)
{
    *result = plugin_labels_upload(socket, static_cast<Post*>(user)->server, body, length);
    return false;
}

/* A float32 part goes into the input tensor of its name. */
bool part_body(int socket, void* user, const multipart_part& part, int* result)
{
    if (strcmp(part.content_type, PLUGIN_FLOAT32_MIME) != 0)
        return true;
    nn_server* server = static_cast<Post*>(user)->server;
    Interpreter& interpreter = *server->interpreter;
    const IntList inputs = interpreter.inputs();
    int tensor = -1;
    for (size_t i = 0; i < inputs.count && tensor < 0; ++i) {
        const char* name = valid_tensor(interpreter, inputs[i]) ? interpreter.tensor_name(static_cast<size_t>(inputs[i]))
                                                                : nullptr;
        if (name && strcmp(name, part.name) == 0)
            tensor = inputs[i];
    }
    if (tensor < 0) {
        *result = plugin_reply_text(socket, 404, "Input Tensor Not Found");
        return false;
    }
    const size_t t = static_cast<size_t>(tensor);
    const IntList dims = interpreter.tensor_dims(t);
    plugin::Float32Input input;
    input.name = nullptr;
    input.name_prefix = false;
    input.size = interpreter.tensor_bytes(t);
    /* The file name's four extents against the tensor's, missing ones 1. */
    input.check = dims.count <= 4 ? plugin::ShapeCheck::all : plugin::ShapeCheck::none;
    for (size_t i = 0; i < 4; ++i)
        input.shape[i] = i < dims.count ? dims[i] : 1;
    const int64_t start = clock_now_ns();
    if (!plugin::load_float32_part(socket, part, input, interpreter.tensor_data(t), result))
        return false;
    server->input_time = clock_now_ns() - start;
    return true;
}

int run_profiled(void* user)
{
    return profiled_invoke(static_cast<nn_server*>(user)) ? 0 : 1;
}

void add_events(void* user)
{
    add_profile(static_cast<nn_server*>(user));
}

/* Zeroed per-node times and run time, two warm-ups before several runs, the
 * averages after them. False when a run failed (500 sent). */
bool run_model(int socket, Post& post, int* result) noexcept
{
    nn_server* server = post.server;
    if (post.q.run == 0)
        return true;
    memset(server->op_time, 0, server->op_count * sizeof *server->op_time);
    const plugin::RunHooks hooks = {server, 2, run_profiled, add_events, true};
    int runs = 0;
    if (plugin::run_timed(hooks, post.q.run, &server->run_time, &runs) != 0) {
        *result = plugin_reply_json_text(socket, 500, "{\"error\": \"TfLite Invoke Error\"}");
        return false;
    }
    for (size_t i = 0; runs > 0 && i < server->op_count; ++i)
        server->op_time[i] /= runs;
    return true;
}

int reply_tensor(int socket, void* user)
{
    Post& post = *static_cast<Post*>(user);
    nn_server* server = post.server;
    Interpreter& interpreter = *server->interpreter;
    const size_t t = post.q.outputs[0];
    const void* data = interpreter.tensor_data(t);
    if (!data)
        return plugin_reply_text(socket, 500, "Output Tensor Empty");
    char shape[32];
    const IntList dims = interpreter.tensor_dims(t);
    plugin_shape_text(shape, sizeof shape, dims.data, static_cast<int>(dims.count), false);
    return plugin_reply_tensor(socket, data, interpreter.tensor_bytes(t), TensorTypeName(interpreter.tensor_type(t)),
                               shape, server->run_time);
}

/* Elements of a tensor of a type the label reply scores (others: 0). */
size_t scored_count(const Interpreter& interpreter, size_t tensor) noexcept
{
    const size_t bytes = interpreter.tensor_bytes(tensor);
    switch (interpreter.tensor_type(tensor)) {
    case kTypeFloat32: return bytes / sizeof(float);
    case kTypeInt8:
    case kTypeUInt8: return bytes;
    default: return 0;
    }
}

int reply_text(int socket, void* user)
{
    nn_server* server = static_cast<Post*>(user)->server;
    Interpreter& interpreter = *server->interpreter;
    const int output = first_of(interpreter, interpreter.outputs());
    if (output < 0)
        return plugin_reply_text(socket, 404, "Output tensor not found");
    if (server->common.label_count <= 0)
        return plugin_reply_text(socket, 404, "Labels not loaded");
    const size_t t = static_cast<size_t>(output);
    const char* label = nullptr;
    int index = 0;
    const float score = tf_model_label(server, interpreter.tensor_data(t), &label, interpreter.tensor_type(t),
                                       scored_count(interpreter, t), &index);
    return plugin_reply_label(socket, &server->common.json, label, index, score, server->run_time);
}

plugin::OutputObject output_object(Interpreter& interpreter, size_t t) noexcept
{
    plugin::OutputObject o;
    o.name = interpreter.tensor_name(t);
    o.datatype = TensorTypeName(interpreter.tensor_type(t));
    o.shape = shape_of(interpreter, t);
    o.timing = 0;
    o.io_timing = 0;
    o.data = interpreter.tensor_data(t);
    o.size = o.data ? interpreter.tensor_bytes(t) : 0;
    return o;
}

int reply_json(int socket, void* user)
{
    Post& post = *static_cast<Post*>(user);
    nn_server* server = post.server;
    Interpreter& interpreter = *server->interpreter;
    uint64_t bound = 1024;
    for (int i = 0; i < post.q.output_count && bound <= TF_MAX_JSON_REPLY; ++i) {
        const plugin::OutputObject o = output_object(interpreter, post.q.outputs[i]);
        const uint64_t one = plugin::output_object_bound(o.name, o.datatype, o.shape.size(), o.size);
        bound = one > TF_MAX_JSON_REPLY ? UINT64_MAX : bound + one;
    }
    if (bound > TF_MAX_JSON_REPLY)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    plugin::JsonWriter out(server->common.json);
    out.open_object();
    plugin::write_reply_head(out, server->run_time, server->decode_time, server->input_time, post.q.id);
    if (post.q.output_count) {
        out.open_array("outputs");
        for (int i = 0; out && i < post.q.output_count; ++i)
            plugin::write_output(out, output_object(interpreter, post.q.outputs[i]));
        out.close_array();
    } else {
        const int t = tensor_named(interpreter, server->common.output_name);
        if (t >= 0) {
            const char* label = nullptr;
            int index = 0;
            const float score = tf_model_label(server, interpreter.tensor_data(static_cast<size_t>(t)), &label,
                                               interpreter.tensor_type(static_cast<size_t>(t)),
                                               scored_count(interpreter, static_cast<size_t>(t)), &index);
            if (label)
                out.str("label", label).number("softmax", static_cast<double>(score));
        }
    }
    out.close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

} // namespace

int v1_put(int socket, char* body, size_t body_len, nn_server* server) noexcept
{
    if (server->common.loaded)
        nn_server_model_unload(server);
    const plugin_bytes_upload target = {server, PLUGIN_BLOCK_SIZE, TF_MAX_PART_SIZE, release_model, load_upload};
    return plugin_upload_put_bytes(socket, body, body_len, &server->upload, &server->model_bytes, &target);
}

int v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server) noexcept
{
    Post post;
    memset(&post, 0, sizeof post);
    post.server = server;
    int result = 0;
    const plugin_query_hooks query = {server, PLUGIN_MAX_OUTPUTS, find_output, check_step};
    if (!plugin::begin_post(socket, server->common.loaded, target, query, &post.q, &result))
        return result;
    const plugin::BodyHooks body_hooks = {&post, image_body, nullptr, labels_body, part_body};
    if (!plugin::load_body(socket, headers, header_count, body, body_len, body_hooks, &result))
        return result;
    if (!run_model(socket, post, &result))
        return result;
    const plugin::ReplyHooks replies = {&post, post.q.output_count, reply_tensor, reply_text, reply_json};
    return plugin::reply_by_accept(socket, headers, header_count, replies);
}

} // namespace tfplugin

namespace {

int describe_model(int socket, void* user)
{
    return tfplugin::model_description(socket, static_cast<nn_server*>(user));
}

int describe_engine(int socket, void* user)
{
    return tfplugin::engine_description(socket, static_cast<nn_server*>(user));
}

int put(int socket, void* user, http_header* headers, size_t header_count, char* body, size_t body_len)
{
    (void)headers;
    (void)header_count;
    return tfplugin::v1_put(socket, body, body_len, static_cast<nn_server*>(user));
}

int post(int socket, void* user, char* target, http_header* headers, size_t header_count, char* body,
         size_t body_len)
{
    return tfplugin::v1_post(socket, target, headers, header_count, body, body_len, static_cast<nn_server*>(user));
}

} // namespace

int nn_server_http_handler(int socket, char* method, char* target, http_header* headers, size_t header_count,
                           char* body, size_t body_len, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (!server) {
        errno = EINVAL;
        return -1;
    }
    /* A download returns the bytes of the model's allocation. */
    const tfplugin::Interpreter* interpreter = server->common.loaded ? server->interpreter : nullptr;
    const void* model = interpreter ? interpreter->model_data() : nullptr;
    const plugin::HandlerHooks hooks = {
        server, model, model ? interpreter->model_bytes() : 0, describe_model, describe_engine, put, post,
    };
    return plugin::handle_request(socket, method, target, headers, header_count, body, body_len, server, hooks);
}
