/* HTTP side of the OpenVX plug-in: dispatch, the engine and model
 * descriptions, the model download and the block-wise model upload. */
#include "ovx_server.h"

#include <stdio.h>

#include "http.h"
#include "kfm_describe.h"
#include "plugin_describe.h"
#include "plugin_handler.h"

namespace ovx {
namespace {

/* OpenVX data type codes and their names in replies. */
constexpr struct {
    int32_t vx_type;
    const char* name;
} type_names[] = {
    {0, "RAW"},    {2, "INT8"},   {3, "UINT8"},   {4, "INT16"},    {5, "UINT16"},   {6, "INT32"},
    {7, "UINT32"}, {8, "INT64"},  {9, "UINT64"},  {10, "FLOAT32"}, {11, "FLOAT64"}, {15, "FLOAT16"},
};

/* ---- layer objects: names from the model, tensors from the graph ----------- */

nn_server* server_of(void* user)
{
    return static_cast<nn_server*>(user);
}

const char* layer_name(void* user, size_t layer)
{
    return nn_model_layer_name(server_of(user)->model, layer);
}

const char* layer_type(void* user, size_t layer)
{
    return nn_model_layer_type(server_of(user)->model, layer);
}

/* This engine times no layer. */
int64_t no_timing(void*, size_t)
{
    return 0;
}

plugin::ShapeView model_shape(nn_server* server, size_t layer)
{
    size_t dims = 0;
    const int32_t* shape = nn_model_layer_shape(server->model, layer, &dims);
    return plugin::ShapeView(shape, dims);
}

bool layer_tensor_of(void* user, size_t layer, plugin::LayerTensor* out)
{
    nn_server* server = server_of(user);
    ovxlib_tensor* tensor = layer_tensor(server, layer);
    if (!tensor)
        return false;
    *out = plugin::LayerTensor{type_name(tensor), 0, 0, model_shape(server, layer)};
    return true;
}

/* A virtual intermediate tensor has no host copy: no "data". */
void layer_data(void* user, size_t layer, plugin::JsonWriter& out)
{
    nn_server* server = server_of(user);
    ovxlib_tensor* tensor = layer_tensor(server, layer);
    uint8_t* data = tensor ? vsi_nn_ConvertTensorToData(server->graph, tensor) : nullptr;
    if (!data)
        return;
    out.base64("data", data, vsi_nn_tensor_bytes(tensor));
    vsi_nn_Free(data);
}

plugin::LayerHooks layer_hooks(nn_server* server)
{
    return plugin::LayerHooks{server, layer_name, layer_type, no_timing, layer_tensor_of, layer_data};
}

/* ---- descriptions ------------------------------------------------------------ */

plugin::ModelSummary model_summary(nn_server* server)
{
    return plugin::kfm_model_summary(server->model, server->model_size);
}

/* One entry of the model's inputs or outputs; its datatype is its ovxlib
 * tensor's. */
void io_entry(nn_server* server, uint32_t layer, plugin::IoEntry* entry)
{
    size_t n_scales = 0, n_zeros = 0;
    const float* scales = nn_model_layer_scales(server->model, layer, &n_scales);
    const int32_t* zeros = nn_model_layer_zeros(server->model, layer, &n_zeros);
    *entry = plugin::IoEntry{layer,
                             nn_model_layer_name(server->model, layer),
                             type_name(layer_tensor(server, layer)),
                             scales && n_scales ? scales[0] : 0.0,
                             zeros && n_zeros ? zeros[0] : 0,
                             model_shape(server, layer)};
}

void input_entry(void* user, size_t i, plugin::IoEntry* entry)
{
    nn_server* server = server_of(user);
    io_entry(server, nn_model_inputs(server->model, nullptr)[i], entry);
}

void output_entry(void* user, size_t i, plugin::IoEntry* entry)
{
    nn_server* server = server_of(user);
    io_entry(server, nn_model_outputs(server->model, nullptr)[i], entry);
}

int model_description(int socket, nn_server* server)
{
    size_t n_inputs = 0, n_outputs = 0;
    const uint32_t* inputs = nn_model_inputs(server->model, &n_inputs);
    const uint32_t* outputs = nn_model_outputs(server->model, &n_outputs);
    const plugin::LayerHooks layers = layer_hooks(server);
    /* The engine reports no output copy time. */
    const plugin::ModelDescription d{model_summary(server),
                                     plugin::IoList{server, inputs ? n_inputs : 0, true, input_entry},
                                     plugin::IoList{server, outputs ? n_outputs : 0, true, output_entry},
                                     server->run_time,
                                     server->decode_time,
                                     server->input_time,
                                     0,
                                     &layers};
    return plugin_reply_document(socket, &server->common.json, 200,
                                 plugin::write_model_description(server->common.json, d));
}

int engine_description(int socket, nn_server* server)
{
    const char* api = vsi_nn_GetVersion();
    const plugin::ModelSummary model = server->common.loaded ? model_summary(server) : plugin::ModelSummary{};
    /* ovxlib places the graph's memory itself: no cache or pool to publish. */
    const plugin::EngineDescription d{"kestrunert openvx",
                                      nn_version(),
                                      api ? api : "",
                                      "VPU (NPU/GPU)",
                                      server->common.loaded ? &model : nullptr,
                                      nullptr,
                                      nullptr,
                                      0,
                                      server->max_model_size,
                                      0};
    return plugin_reply_document(socket, &server->common.json, 200,
                                 plugin::write_engine_description(server->common.json, d));
}

/* ---- upload ------------------------------------------------------------------- */

/* Before the upload buffer is written: the graph built from the model bytes
 * goes, and the model data is the upload from now on. */
void release_for_write(void* user)
{
    nn_server* server = server_of(user);
    nn_server_model_unload(server);
    server->model = nullptr;
    server->model_size = 0;
}

/* All blocks are in: validated here, then built by the model load. */
int load_upload(int socket, void* user, bool* replied)
{
    nn_server* server = server_of(user);
    static const char* const me = "v1_put";
    *replied = true;
    server->model = server->upload_buffer.data;
    server->model_size = server->upload_buffer.size;
    int status = nn_model_validate(server->model, static_cast<size_t>(server->model_size));
    if (status != 0) {
        fprintf(stderr, "%s failed to validate model: %s\n", me, nn_model_validate_error(status));
        return plugin_reply_json_text(socket, 200, "{\"error\": \"invalid model\"}");
    }
    status = nn_server_model_load(server, nullptr, 0);
    if (status != 0) {
        const char* text = nn_strerror(status);
        fprintf(stderr, "%s failed to load model: %s\n", me, text ? text : "unknown error");
        return plugin_reply_json_text(socket, 200, "{\"error\": \"model load error\"}");
    }
    *replied = false;
    return 0;
}

int model_description_of(int socket, void* user)
{
    return model_description(socket, server_of(user));
}

int engine_description_of(int socket, void* user)
{
    return engine_description(socket, server_of(user));
}

int v1_put(int socket, void* user, http_header*, size_t, char* body, size_t body_len)
{
    nn_server* server = server_of(user);
    release_for_write(server);
    const plugin_bytes_upload target{server, PLUGIN_BLOCK_SIZE, OVX_MAX_PART_SIZE, release_for_write, load_upload};
    return plugin_upload_put_bytes(socket, body, body_len, &server->upload, &server->upload_buffer, &target);
}

} // namespace

const char* type_name(const ovxlib_tensor* tensor)
{
    if (!tensor)
        return "NONE";
    const int32_t code = tensor->attr.type;
    for (const auto& t : type_names)
        if (t.vx_type == code)
            return t.name;
    return "NONE";
}

void write_layer(plugin::JsonWriter& out, nn_server* server, size_t layer, bool with_data, bool nested)
{
    plugin::write_layer(out, layer_hooks(server), layer, with_data, nested);
}

int reply_internal_error(int socket, nn_server* server, const char* prefix)
{
    const char* text = nn_strerror(1);
    char* end = error_json(server->common.json.text, server, "%s%s", prefix, text ? text : "internal error");
    return plugin_reply_document(socket, &server->common.json, 500, end);
}

} // namespace ovx

/* ---- dispatch ------------------------------------------------------------------- */

namespace {

int v1_post_of(int socket, void* user, char* target, http_header* headers, size_t header_count, char* body,
               size_t body_len)
{
    return ovx::v1_post(socket, target, headers, header_count, body, body_len, static_cast<nn_server*>(user));
}

} // namespace

int nn_server_http_handler(int socket, char* method, char* target, http_header* headers, size_t header_count,
                           char* body, size_t body_len, void* user)
{
    nn_server* server = static_cast<nn_server*>(user);
    const plugin::HandlerHooks hooks{server,
                                     server ? server->model : nullptr,
                                     server ? server->model_size : 0,
                                     ovx::model_description_of,
                                     ovx::engine_description_of,
                                     ovx::v1_put,
                                     v1_post_of};
    return plugin::handle_request(socket, method, target, headers, header_count, body, body_len, server, hooks);
}
