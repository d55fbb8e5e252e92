/* HTTP side of the ONNX Runtime plug-in: dispatch, the engine and model
 * descriptions, the block-wise model upload and inference requests. */
#include "onnx_server.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "json_writer.h"
#include "platform.h"
#include "plugin_bytes.h"
#include "plugin_describe.h"
#include "plugin_handler.h"
#include "plugin_http.h"
#include "plugin_labels.h"
#include "plugin_post.h"

namespace onnxplugin {
namespace {

/* The largest JSON inference reply: a request whose outputs would make it
 * larger is refused before any of it is written. */
constexpr uint64_t kMaxJsonReply = 16777216u;

/* What a reply shows of one output value after the last run. */
struct OutputInfo {
    ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    int64_t dims[ONNX_MAX_INPUT_DIMS] = {};
    size_t rank = 0;
    const void* data = nullptr; /* NULL: no flat bytes (no value, not a tensor, strings) */
    uint64_t size = 0;          /* bytes at data */
    size_t count = 0;           /* elements */
};

/* Reads output `i`'s type, shape and bytes; leaves `info` empty when the
 * value is missing or not a tensor. */
void read_output(nn_server* server, size_t i, OutputInfo* info)
{
    *info = OutputInfo();
    const OrtApi* api = server->api;
    OrtValue* value = server->outputs ? server->outputs[i] : nullptr;
    int is_tensor = 0;
    if (!value || onnx_check_status(api->IsTensor(value, &is_tensor), api) != 0 || !is_tensor)
        return;
    OrtTensorTypeAndShapeInfo* shape = nullptr;
    if (onnx_check_status(api->GetTensorTypeAndShape(value, &shape), api) != 0)
        return;
    size_t rank = 0;
    bool ok = onnx_check_status(api->GetTensorElementType(shape, &info->type), api) == 0 &&
              onnx_check_status(api->GetDimensionsCount(shape, &rank), api) == 0;
    if (ok) {
        info->rank = rank < ONNX_MAX_INPUT_DIMS ? rank : ONNX_MAX_INPUT_DIMS;
        ok = onnx_check_status(api->GetDimensions(shape, info->dims, info->rank), api) == 0 &&
             onnx_check_status(api->GetTensorShapeElementCount(shape, &info->count), api) == 0;
    }
    api->ReleaseTensorTypeAndShapeInfo(shape);
    void* data = nullptr;
    /* A string tensor holds the library's string objects, not bytes. */
    if (ok && rank <= ONNX_MAX_INPUT_DIMS && info->type != ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING &&
        onnx_check_status(api->GetTensorMutableData(value, &data), api) == 0 && data) {
        info->data = data;
        info->size = (uint64_t)info->count * onnx_element_size(info->type);
    }
}

/* ---- descriptions ---------------------------------------------------------------- */

plugin::ModelSummary model_summary(nn_server* server)
{
    plugin::ModelSummary m;
    m.name = "";
    m.uuid = "";
    m.size = server->upload_bytes.size;
    m.memory_size = 0;
    m.layer_count = 0;
    m.labels = plugin::common_labels(server);
    return m;
}

/* The shape of the entry being written: the description writes one entry
 * after the other. */
struct IoContext {
    nn_server* server;
    OutputInfo output;
};

void input_entry(void* user, size_t, plugin::IoEntry* entry)
{
    nn_server* server = static_cast<IoContext*>(user)->server;
    entry->index = 0;
    entry->name = server->input_names[0];
    entry->datatype = TensorTypeName(server->input_type);
    entry->scale = 0.0;
    entry->zero_point = 0;
    entry->shape = plugin::ShapeView(server->input_dims, server->input_rank);
}

void output_entry(void* user, size_t i, plugin::IoEntry* entry)
{
    IoContext* context = static_cast<IoContext*>(user);
    read_output(context->server, i, &context->output);
    entry->index = (uint32_t)i;
    entry->name = context->server->output_names[i];
    entry->datatype = TensorTypeName(context->output.type);
    entry->scale = 0.0;
    entry->zero_point = 0;
    entry->shape = plugin::ShapeView(context->output.dims, context->output.rank);
}

int model_description(int socket, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    IoContext context{server, OutputInfo()};
    plugin::ModelDescription d;
    d.model = model_summary(server);
    d.inputs = plugin::IoList{&context, 1, false, input_entry};
    d.outputs = plugin::IoList{&context, server->output_count, false, output_entry};
    d.timing = server->run_time;
    d.decode = server->decode_time;
    d.input = server->input_time;
    d.output = 0;
    d.layers = nullptr;
    char* end = plugin::write_model_description(server->common.json, d);
    return plugin_reply_document(socket, &server->common.json, 200, end);
}

void engine_extra(void*, plugin::JsonWriter& out)
{
    /* The plug-in appends only the CPU provider that every build has. */
    out.str("Execution_Provider", "CPU");
}

int engine_description(int socket, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    plugin::ModelSummary model = model_summary(server);
    const OrtApiBase* base = OrtGetApiBase();
    plugin::EngineDescription d;
    d.engine = "ONNX Runtime";
    d.version = base ? base->GetVersionString() : "";
    d.device_api = "";
    d.device_id = "cpu:0";
    d.model = server->common.loaded ? &model : nullptr;
    d.user = server;
    d.extra = engine_extra;
    d.max_data_cache = 0;
    d.max_model_size = server->max_model_size;
    d.max_runtime_mem = 0;
    char* end = plugin::write_engine_description(server->common.json, d);
    return plugin_reply_document(socket, &server->common.json, 200, end);
}

/* ---- upload ----------------------------------------------------------------------- */

void release_for_write(void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (server->common.loaded)
        nn_server_model_unload(server);
}

int load_upload(int socket, void* user, bool* replied)
{
    nn_server* server = static_cast<nn_server*>(user);
    *replied = false;
    if (nn_server_model_load(server, reinterpret_cast<const char*>(server->upload_bytes.data), 0) == 0)
        return 0;
    *replied = true;
    fprintf(stderr, "%s failed to validate model\n", "v1_put");
    return plugin_reply_json_text(socket, 200, "{\"error\": \"invalid model\"}");
}

int v1_put(int socket, void* user, http_header*, size_t, char* body, size_t body_len)
{
    nn_server* server = static_cast<nn_server*>(user);
    if (server->common.loaded)
        nn_server_model_unload(server);
    const plugin_bytes_upload target = {server, PLUGIN_BLOCK_SIZE, ONNX_MAX_PART_SIZE, release_for_write, load_upload};
    return plugin_upload_put_bytes(socket, body, body_len, &server->upload, &server->upload_bytes, &target);
}

/* ---- inference ---------------------------------------------------------------------- */

struct PostRequest {
    nn_server* server;
    plugin_query query;
};

bool find_output(void* user, const char* name, uint32_t* index)
{
    nn_server* server = static_cast<nn_server*>(user);
    for (size_t i = 0; i < server->output_count; ++i) {
        if (server->output_names[i] && strcmp(server->output_names[i], name) == 0) {
            *index = (uint32_t)i;
            return true;
        }
    }
    return false;
}

int refuse_step(void*, int*, int*, const char** text)
{
    *text = "Unsupported Request";
    return 404;
}

bool load_image(int socket, void* user, const char* body, size_t length, int* result)
{
    PostRequest* req = static_cast<PostRequest*>(user);
    nn_server* server = req->server;
    int64_t start = clock_now_ns();
    int status = onnx_tensor_load_image_ex(0, server, body, length, req->query.imgproc);
    server->decode_time = clock_now_ns() - start;
    if (status == 0)
        return true;
    *result = plugin_reply_text(socket, 415, "Invalid or Unsupported Image Format");
    return false;
}

bool load_raw(int socket, void* user, const char* body, size_t length, int* result)
{
    nn_server* server = static_cast<PostRequest*>(user)->server;
    if (length != server->input_size) {
        *result = plugin_reply_text(socket, 400, "Input Tensor Size Mismatch");
        return false;
    }
    if (!server->input_buffer) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    int64_t start = clock_now_ns();
    if (length)
        memcpy(server->input_buffer, body, length);
    server->input_time = clock_now_ns() - start;
    return true;
}

bool load_labels(int socket, void* user, const char* body, size_t length, int* result)
{
    *result = plugin_labels_upload(socket, static_cast<PostRequest*>(user)->server, body, length);
    return false;
}

bool load_part(int socket, void* user, const multipart_part& part, int* result)
{
    if (strcmp(part.content_type, PLUGIN_FLOAT32_MIME) != 0)
        return true;
    nn_server* server = static_cast<PostRequest*>(user)->server;
    plugin::Float32Input input = {};
    input.name = server->input_names[0];
    input.name_prefix = false;
    input.size = server->input_size;
    input.check = plugin::ShapeCheck::none;
    int64_t start = clock_now_ns();
    if (!plugin::load_float32_part(socket, part, input, server->input_buffer, result))
        return false;
    server->input_time = clock_now_ns() - start;
    return true;
}

int run_once(void* user)
{
    return onnx_run(static_cast<nn_server*>(user)) ? 0 : 1;
}

int reply_label(int socket, void* user)
{
    nn_server* server = static_cast<PostRequest*>(user)->server;
    OutputInfo first;
    if (server->output_count)
        read_output(server, 0, &first);
    int index = 0;
    float score = onnx_model_label(server, first.data, nullptr, first.type, first.data ? first.count : 0, &index);
    return plugin_reply_top1(socket, server, index, score, server->run_time);
}

int reply_json(int socket, void* user)
{
    PostRequest* req = static_cast<PostRequest*>(user);
    nn_server* server = req->server;
    const plugin_query& q = req->query;
    /* The named outputs in request order, or all of them. */
    size_t count = q.output_count ? (size_t)q.output_count : server->output_count;
    auto output_at = [&](size_t i) { return q.output_count ? (size_t)q.outputs[i] : i; };
    uint64_t bound = 1024;
    OutputInfo info;
    for (size_t i = 0; i < count && bound <= kMaxJsonReply; ++i) {
        size_t o = output_at(i);
        read_output(server, o, &info);
        uint64_t b = plugin::output_object_bound(server->output_names[o], TensorTypeName(info.type), info.rank,
                                                 info.data ? info.size : 0);
        bound = b > kMaxJsonReply ? UINT64_MAX : bound + b;
    }
    if (q.id)
        bound += json_escaped_length(q.id, SIZE_MAX);
    if (bound > kMaxJsonReply)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    plugin::JsonWriter out(server->common.json);
    out.open_object();
    plugin::write_reply_head(out, server->run_time, server->decode_time, server->input_time, q.id);
    out.open_array("outputs");
    for (size_t i = 0; out && i < count; ++i) {
        size_t o = output_at(i);
        read_output(server, o, &info);
        plugin::OutputObject object;
        object.name = server->output_names[o];
        object.datatype = TensorTypeName(info.type);
        object.shape = plugin::ShapeView(info.dims, info.rank);
        object.timing = server->run_time;
        object.io_timing = 0;
        object.data = info.data;
        object.size = info.data ? info.size : 0;
        plugin::write_output(out, object);
    }
    out.close_array().close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

} // namespace
} // namespace onnxplugin

using namespace onnxplugin;

int onnx_v1_post(int socket, char* target, http_header* headers, size_t header_count, char* body, size_t body_len,
                 nn_server* server)
{
    if (!server->common.loaded)
        return plugin_reply_text(socket, 428, "No Model Loaded");
    PostRequest req;
    memset(&req.query, 0, sizeof req.query);
    req.server = server;
    req.query.step_start = -1;
    req.query.step_end = -1;
    int result = 0;
    const plugin_query_hooks query_hooks = {server, PLUGIN_MAX_OUTPUTS, find_output, refuse_step};
    if (!plugin_parse_query(socket, target, &query_hooks, &req.query, &result))
        return result;
    const plugin::BodyHooks body_hooks = {&req, load_image, load_raw, load_labels, load_part};
    if (!plugin::load_body(socket, headers, header_count, body, body_len, body_hooks, &result))
        return result;
    /* Every request runs the model, at least once. */
    const plugin::RunHooks run_hooks = {server, 0, run_once, nullptr, true};
    int runs = 0;
    int count = req.query.run > 1 ? req.query.run : 1;
    if (plugin::run_timed(run_hooks, count, &server->run_time, &runs) != 0)
        return plugin_reply_json_text(socket, 500, "{\"error\": \"ONNX Run Error\"}");
    const plugin::ReplyHooks reply_hooks = {&req, req.query.output_count, nullptr, reply_label, reply_json};
    return plugin::reply_by_accept(socket, headers, header_count, reply_hooks);
}

namespace {
int post(int socket, void* user, char* target, http_header* headers, size_t header_count, char* body,
         size_t body_len)
{
    return onnx_v1_post(socket, target, headers, header_count, body, body_len, static_cast<nn_server*>(user));
}
} // namespace

int nn_server_http_handler(int socket, char* method, char* target, http_header* headers, size_t header_count,
                           char* body, size_t body_len, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    /* A download gives back the uploaded model's bytes. */
    const plugin::HandlerHooks hooks = {
        server, server ? server->upload_bytes.data : nullptr, server ? server->upload_bytes.size : 0,
        model_description, engine_description, v1_put, post,
    };
    return plugin::handle_request(socket, method, target, headers, header_count, body, body_len, server, hooks);
}
