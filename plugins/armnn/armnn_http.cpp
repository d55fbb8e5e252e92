/* HTTP side of the Arm NN plug-in: the engine and model descriptions, the
 * model download and block-wise upload, and inference requests. */
#include "armnn_server.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "http.h"
#include "json_writer.h"
#include "platform.h"
#include "plugin_describe.h"
#include "plugin_handler.h"
#include "plugin_http.h"
#include "plugin_labels.h"
#include "plugin_post.h"

namespace armnnplugin {
namespace {

constexpr const char enqueue_error[] = "{\"error\": \"ARMNN enqueue_workload Error\"}";
/* The largest JSON inference reply: a request whose outputs would make it
 * larger gets 500 "JSON Response Too Large" before any of it is written. */
constexpr uint64_t max_json_reply = 16777216;

/* The extents of a shape, widened for the shared writers. */
struct Extents {
    explicit Extents(const armnn::TensorShape& shape) noexcept : count(shape.GetNumDimensions())
    {
        if (count > armnn::MaxNumOfTensorDimensions)
            count = armnn::MaxNumOfTensorDimensions;
        for (unsigned int i = 0; i < count; ++i)
            dims[i] = shape[i];
    }
    plugin::ShapeView view() const noexcept { return plugin::ShapeView(dims, count); }

    uint32_t dims[armnn::MaxNumOfTensorDimensions] = {};
    unsigned int count;
};

/* ---- descriptions ------------------------------------------------------------ */

plugin::ModelSummary summary(nn_server* server) noexcept
{
    return {"", "", server->model_size, 0, 0, plugin::common_labels(server)};
}

/* One of the "inputs" and "outputs" lists; the shape of the entry being
 * written is held here. */
struct IoSource {
    nn_server* server;
    bool input;
    Extents extents{armnn::TensorShape{}};
};

void io_entry(void* user, size_t i, plugin::IoEntry* entry)
{
    IoSource* source = static_cast<IoSource*>(user);
    nn_server* server = source->server;
    const armnn::TensorInfo& info = source->input ? server->input_binding.second : server->output_bindings[i].second;
    source->extents = Extents(info.GetShape());
    entry->index = 0;
    entry->name = source->input ? server->input_tensor_name.c_str() : server->output_names[i].c_str();
    entry->datatype = TensorTypeName(info.GetDataType());
    entry->scale = info.GetQuantizationScale();
    entry->zero_point = info.GetQuantizationOffset();
    entry->shape = source->extents.view();
}

int model_description(int socket, nn_server* server)
{
    plugin::ModelDescription d{};
    d.model = summary(server);
    IoSource inputs{server, true}, outputs{server, false};
    d.inputs = {&inputs, 1, false, io_entry};
    d.outputs = {&outputs, server->output_names.size(), false, io_entry};
    d.timing = server->run_time;
    d.decode = server->decode_time;
    d.input = server->input_time;
    d.output = server->output_time;
    d.layers = nullptr;
    char* end = plugin::write_model_description(server->common.json, d);
    return plugin_reply_document(socket, &server->common.json, 200, end);
}

int engine_description(int socket, nn_server* server)
{
    const plugin::ModelSummary model = summary(server);
    plugin::EngineDescription d{};
    d.engine = engine_name;
    d.version = armnn_version;
    d.device_api = "";
    d.device_id = "cpu:0";
    d.model = server->common.loaded ? &model : nullptr;
    d.max_model_size = server->max_model_size;
    char* end = plugin::write_engine_description(server->common.json, d);
    return plugin_reply_document(socket, &server->common.json, 200, end);
}

/* ---- upload -------------------------------------------------------------------- */

/* The model bytes received so far are the first model_size of model_bytes.
 * Room for an announced model is capacity only: the vector's bytes are
 * touched as the parts arrive (a part is at most max_part_size bytes). */
uint8_t* upload_reserve(void* user, uint64_t needed)
{
    nn_server* server = static_cast<nn_server*>(user);
    std::vector<uint8_t>& bytes = server->model_bytes;
    if (needed > server->max_model_size)
        return nullptr;
    try {
        bytes.reserve(static_cast<size_t>(needed));
        if (needed > bytes.size() && needed - server->model_size <= max_part_size)
            bytes.resize(static_cast<size_t>(needed));
    } catch (...) {
        return nullptr;
    }
    return bytes.data();
}

uint64_t upload_size(void* user)
{
    return static_cast<nn_server*>(user)->model_size;
}

void set_upload_size(void* user, uint64_t size)
{
    static_cast<nn_server*>(user)->model_size = size;
}

void upload_release(void* user)
{
    release_network(static_cast<nn_server*>(user));
}

int upload_load(int socket, void* user, bool* replied)
{
    nn_server* server = static_cast<nn_server*>(user);
    *replied = false;
    /* The parser takes the vector whole (shrinking keeps its block). */
    server->model_bytes.resize(static_cast<size_t>(server->model_size));
    if (nn_server_model_load(server, nullptr, 0) != 0) {
        fprintf(stderr, "%s failed to load model\n", "v1_put");
        *replied = true;
        return plugin_reply_json_text(socket, 200, "{\"error\": \"model load error\"}");
    }
    return 0;
}

int v1_put(int socket, char* body, size_t body_len, nn_server* server)
{
    if (server->common.loaded)
        nn_server_model_unload(server);
    const plugin_upload_hooks hooks = {server,         block_size,     server->max_model_size, max_part_size,
                                       upload_release, upload_reserve, upload_size,            set_upload_size,
                                       upload_load};
    return plugin_upload_put(socket, body, body_len, &server->upload, &hooks);
}

/* ---- inference ------------------------------------------------------------------- */

struct Post {
    nn_server* server;
    plugin_query q;
};

/* A requested name selects each output whose name it begins with; the
 * last such output wins. */
bool find_output(void* user, const char* name, uint32_t* index)
{
    nn_server* server = static_cast<Post*>(user)->server;
    bool found = false;
    for (size_t i = 0; i < server->output_names.size(); ++i) {
        const std::string& output = server->output_names[i];
        if (strncmp(name, output.c_str(), output.size()) == 0) {
            *index = static_cast<uint32_t>(i);
            found = true;
        }
    }
    return found;
}

int refuse_step(void*, int*, int*, const char** text)
{
    *text = "Run layer unsupported";
    return 404;
}

bool load_picture(int socket, void* user, const char* body, size_t length, int* result)
{
    Post* post = static_cast<Post*>(user);
    nn_server* server = post->server;
    const int64_t start = clock_now_ns();
    int status = armnn_tensor_load_image_ex(server->input_tensor_name.c_str(), server, body, length, post->q.imgproc);
    server->decode_time = clock_now_ns() - start;
    if (status != 0) {
        *result = plugin_reply_text(socket, 415, "Invalid or Unsupported Image Format");
        return false;
    }
    return true;
}

bool load_labels(int socket, void* user, const char* body, size_t length, int* result)
{
    *result = plugin_labels_upload(socket, static_cast<Post*>(user)->server, body, length);
    return false;
}

bool load_part(int socket, void* user, const multipart_part& part, int* result)
{
    if (strcmp(part.content_type, PLUGIN_FLOAT32_MIME) != 0)
        return true;
    nn_server* server = static_cast<Post*>(user)->server;
    const armnn::TensorInfo& info = server->input_binding.second;
    const armnn::TensorShape& shape = info.GetShape();
    plugin::Float32Input input{};
    input.name = server->input_tensor_name.c_str();
    input.name_prefix = true;
    input.size = server->input_buffer.size();
    /* An NHWC input by its height, width and channels; another shape whole
     * (its missing extents 1). */
    const unsigned int rank = shape.GetNumDimensions();
    input.check = rank == 4 ? plugin::ShapeCheck::hwc : plugin::ShapeCheck::all;
    for (unsigned int i = 0; i < 4; ++i)
        input.shape[i] = i < rank ? static_cast<int32_t>(shape[i]) : 1;
    const int64_t start = clock_now_ns();
    void* to = server->input_buffer.empty() ? nullptr : server->input_buffer.data();
    if (!plugin::load_float32_part(socket, part, input, to, result))
        return false;
    server->input_time = clock_now_ns() - start;
    return true;
}

/* One run; an exception out of Arm NN is a failed run (the framework's
 * loop is built without exceptions). */
int run_once(void* user)
{
    nn_server* server = static_cast<Post*>(user)->server;
    try {
        return enqueue(server) == armnn::Status::Success ? 0 : 1;
    } catch (const std::exception& e) {
        report_exception(e.what());
    } catch (...) {
        report_exception("unknown exception");
    }
    return 1;
}

size_t element_count(const armnn::TensorInfo& info)
{
    return info.GetNumElements();
}

int reply_tensor(int socket, void* user)
{
    Post* post = static_cast<Post*>(user);
    nn_server* server = post->server;
    const uint32_t i = post->q.outputs[0];
    const armnn::TensorInfo& info = server->output_bindings[i].second;
    const Extents extents(info.GetShape());
    int32_t dims[armnn::MaxNumOfTensorDimensions];
    for (unsigned int d = 0; d < extents.count; ++d)
        dims[d] = static_cast<int32_t>(extents.dims[d]);
    char shape_text[32];
    plugin_shape_text(shape_text, sizeof shape_text, dims, static_cast<int>(extents.count), false);
    return plugin_reply_tensor(socket, server->output_buffers[i].data(), server->output_buffers[i].size(),
                               TensorTypeName(info.GetDataType()), shape_text, server->run_time);
}

int reply_label(int socket, void* user)
{
    nn_server* server = static_cast<Post*>(user)->server;
    int index = 0;  /* a loaded model has an output: one without fails its first run */
    float score = 0.0f;
    if (!server->output_bindings.empty()) {
        const armnn::TensorInfo& info = server->output_bindings[0].second;
        score = armnn_model_label(server, server->output_buffers[0].data(), &index, info.GetDataType(),
                                  element_count(info));
    }
    return plugin_reply_top1(socket, server, index, score, server->run_time);
}

plugin::OutputObject output_object(nn_server* server, uint32_t i, const Extents& extents)
{
    const armnn::TensorInfo& info = server->output_bindings[i].second;
    plugin::OutputObject o{};
    o.name = server->output_names[i].c_str();
    o.datatype = TensorTypeName(info.GetDataType());
    o.shape = extents.view();
    o.timing = server->run_time;
    o.io_timing = server->output_time;
    o.data = server->output_buffers[i].data();
    o.size = server->output_buffers[i].size();
    return o;
}

int reply_json(int socket, void* user)
{
    Post* post = static_cast<Post*>(user);
    nn_server* server = post->server;
    /* The outputs asked for, or every output. */
    uint32_t all[max_outputs];
    const uint32_t* list = post->q.outputs;
    size_t count = static_cast<size_t>(post->q.output_count);
    if (count == 0) {
        count = server->output_names.size();
        for (size_t i = 0; i < count; ++i)
            all[i] = static_cast<uint32_t>(i);
        list = all;
    }
    uint64_t bound = 1024 + (post->q.id ? json_escaped_length(post->q.id, SIZE_MAX) : 0);
    for (size_t k = 0; k < count && bound <= max_json_reply; ++k) {
        const uint32_t i = list[k];
        const armnn::TensorInfo& info = server->output_bindings[i].second;
        uint64_t one = plugin::output_object_bound(server->output_names[i].c_str(), TensorTypeName(info.GetDataType()),
                                                   info.GetNumDimensions(), server->output_buffers[i].size());
        bound = one > max_json_reply ? UINT64_MAX : bound + one;
    }
    if (bound > max_json_reply)
        return plugin_reply_text(socket, 500, "JSON Response Too Large");
    plugin::JsonWriter out(server->common.json);
    out.open_object();
    plugin::write_reply_head(out, server->run_time, server->decode_time, server->input_time, post->q.id);
    out.open_array("outputs");
    for (size_t k = 0; out && k < count; ++k) {
        const Extents extents(server->output_bindings[list[k]].second.GetShape());
        plugin::write_output(out, output_object(server, list[k], extents));
    }
    out.close_array().close_object();
    return plugin_reply_document(socket, &server->common.json, 200, out.pos());
}

int v1_post(int socket, char* target, const http_header* headers, size_t header_count, char* body, size_t body_len,
            nn_server* server)
{
    Post post{server, {}};
    int result = 0;
    const plugin_query_hooks query_hooks = {&post, max_requested_outputs, find_output, refuse_step};
    if (!plugin::begin_post(socket, server->common.loaded, target, query_hooks, &post.q, &result))
        return result;
    const plugin::BodyHooks body_hooks = {&post, load_picture, nullptr, load_labels, load_part};
    if (!plugin::load_body(socket, headers, header_count, body, body_len, body_hooks, &result))
        return result;
    /* "run" 0 (the default) runs nothing: the reply comes from the last run. */
    if (post.q.run != 0) {
        const plugin::RunHooks run_hooks = {&post, 1, run_once, nullptr, true};
        int runs = 0;
        if (plugin::run_timed(run_hooks, post.q.run, &server->run_time, &runs) != 0)
            return plugin_reply_json_text(socket, 500, enqueue_error);
    }
    const plugin::ReplyHooks reply_hooks = {&post, post.q.output_count, reply_tensor, reply_label, reply_json};
    return plugin::reply_by_accept(socket, headers, header_count, reply_hooks);
}

/* The framework's dispatch is built without exceptions: what Arm NN throws
 * is caught in each hook, and answered with 500. */
template <typename Handle>
int guarded(int socket, Handle handle) noexcept
{
    try {
        return handle();
    } catch (const std::exception& e) {
        report_exception(e.what());
    } catch (...) {
        report_exception("unknown exception");
    }
    return plugin_reply_text(socket, 500, "Internal Server Error");
}

int model_description_hook(int socket, void* user)
{
    return guarded(socket, [&] { return model_description(socket, static_cast<nn_server*>(user)); });
}

int engine_description_hook(int socket, void* user)
{
    return guarded(socket, [&] { return engine_description(socket, static_cast<nn_server*>(user)); });
}

int put_hook(int socket, void* user, http_header*, size_t, char* body, size_t body_len)
{
    return guarded(socket, [&] { return v1_put(socket, body, body_len, static_cast<nn_server*>(user)); });
}

int post_hook(int socket, void* user, char* target, http_header* headers, size_t header_count, char* body,
              size_t body_len)
{
    return guarded(socket, [&] {
        return v1_post(socket, target, headers, header_count, body, body_len, static_cast<nn_server*>(user));
    });
}

} // namespace
} // namespace armnnplugin

extern "C" int nn_server_http_handler(int socket, char* method, char* target, http_header* headers,
                                      size_t header_count, char* body, size_t body_len, void* user)
{
    using namespace armnnplugin;
    nn_server* server = static_cast<nn_server*>(user);
    if (!server) {
        errno = ENOMEM;
        return -1;
    }
    const plugin::HandlerHooks hooks = {server,
                                        server->model_bytes.data(),
                                        server->model_size,
                                        model_description_hook,
                                        engine_description_hook,
                                        put_hook,
                                        post_hook};
    return plugin::handle_request(socket, method, target, headers, header_count, body, body_len, server, hooks);
}
