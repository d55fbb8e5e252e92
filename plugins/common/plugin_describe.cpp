#include "plugin_describe.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform.h"
#include "plugin.h"
#include "plugin_labels.h"

char* error_json(char* pos, nn_server* server, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) {
        fprintf(stderr, "error_json: encoding error\n");
        return NULL;
    }
    if ((size_t)n >= sizeof text)
        fprintf(stderr, "error_json: error truncated from length %d\n", n);
    return plugin::JsonWriter(nn_server_common_of(server)->json, pos)
        .open_object()
        .str("error", text)
        .close_object()
        .pos();
}

namespace plugin {

int64_t ShapeView::operator[](size_t i) const noexcept
{
    switch (kind_) {
    case Kind::u32:
        return static_cast<const uint32_t*>(dims_)[i];
    case Kind::i64:
        return static_cast<const int64_t*>(dims_)[i];
    default:
        return static_cast<const int32_t*>(dims_)[i];
    }
}

void write_shape(JsonWriter& out, const char* name, ShapeView shape) noexcept
{
    out.open_array(name);
    for (size_t i = 0; out && i < shape.size(); ++i)
        out.int64(nullptr, shape[i]);
    out.close_array();
}

namespace {

const char* common_label(void* user, int index)
{
    return plugin_label(static_cast<nn_server*>(user), index);
}

const char* or_empty(const char* text) noexcept
{
    return text ? text : "";
}

} // namespace

LabelList common_labels(nn_server* server) noexcept
{
    const int count = nn_server_common_of(server)->label_count;
    return LabelList{server, count < 0 ? 0 : count < NN_SERVER_MAX_LABELS ? count : NN_SERVER_MAX_LABELS,
                     common_label};
}

void write_labels(JsonWriter& out, const LabelList& labels) noexcept
{
    out.int32("label_count", labels.count).open_array("labels");
    for (int i = 0; out && i < labels.count; ++i)
        out.str(nullptr, or_empty(labels.label(labels.user, i)));
    out.close_array();
}

void write_layer(JsonWriter& out, const LayerHooks& hooks, size_t layer, bool with_data, bool nested) noexcept
{
    out.open_object()
        .str("name", or_empty(hooks.name(hooks.user, layer)))
        .str("type", or_empty(hooks.type(hooks.user, layer)))
        .int64("avg_timing", hooks.avg_timing(hooks.user, layer));
    LayerTensor tensor{};
    if (out && hooks.tensor(hooks.user, layer, &tensor)) {
        if (nested)
            out.open_object("tensor");
        out.str("datatype", tensor.datatype).int64("timing", tensor.timing).int64("io_timing", tensor.io_timing);
        write_shape(out, "shape", tensor.shape);
        if (out && with_data && hooks.data)
            hooks.data(hooks.user, layer, out);
        if (nested)
            out.close_object();
    }
    out.close_object();
}

void write_io_list(JsonWriter& out, const char* name, const IoList& list) noexcept
{
    if (list.count == 0)
        return;
    out.open_array(name);
    for (size_t i = 0; out && i < list.count; ++i) {
        IoEntry e{};
        list.entry(list.user, i, &e);
        out.open_object();
        if (list.with_index)
            out.uint32("index", e.index);
        out.str("name", or_empty(e.name))
            .str("datatype", e.datatype)
            .number("scale", e.scale)
            .int32("zero_point", e.zero_point);
        write_shape(out, "shape", e.shape);
        out.close_object();
    }
    out.close_array();
}

char* write_model_description(json_buffer& json, const ModelDescription& d) noexcept
{
    JsonWriter out(json);
    out.open_object()
        .str("model_name", or_empty(d.model.name))
        .str("uuid", or_empty(d.model.uuid))
        .uint64("size", d.model.size)
        .uint64("memory_size", d.model.memory_size);
    write_io_list(out, "inputs", d.inputs);
    write_io_list(out, "outputs", d.outputs);
    out.uint64("layer_count", d.model.layer_count);
    write_labels(out, d.model.labels);
    out.int64("timing", d.timing)
        .open_object("timings")
        .int64("decode", d.decode)
        .int64("input", d.input)
        .int64("output", d.output)
        .close_object();
    if (d.layers) {
        out.open_array("layers");
        for (uint64_t i = 0; out && i < d.model.layer_count; ++i)
            write_layer(out, *d.layers, static_cast<size_t>(i), false, true);
        out.close_array();
    }
    return out.close_object().pos();
}

namespace {

/* name, arch and model of one device, each only when known. */
void write_device(JsonWriter& out, const sysinfo_device* device) noexcept
{
    out.optional_str("name", device->name).optional_str("arch", device->arch).optional_str("model", device->model);
}

void write_host(JsonWriter& out, const EngineDescription& d) noexcept
{
    sysinfo* info = sysinfo_new();
    if (info && out) {
        out.optional_str("hostname", info->hostname)
            .optional_str("os_name", info->os_name)
            .optional_str("os_description", info->os_description)
            .optional_str("os_version", info->os_version);
        const sysinfo_device* first = info->device_count > 0 && info->devices ? info->devices[0] : nullptr;
        out.open_object("device").str("api", d.device_api).str("id", d.device_id);
        if (first)
            write_device(out, first);
        out.close_object().open_array("devices");
        for (int i = 0; out && info->devices && i < info->device_count; ++i) {
            const sysinfo_device* device = info->devices[i];
            out.open_object();
            if (device)
                write_device(out, device);
            out.close_object();
        }
        out.close_array();
    }
    sysinfo_free(info);
}

} // namespace

char* write_engine_description(json_buffer& json, const EngineDescription& d) noexcept
{
    JsonWriter out(json);
    out.open_object().str("engine", d.engine).str("version", d.version).int32("batch_size", 1);
    write_host(out, d);
    if (out && !d.model) {
        out.null("model");
    } else if (out) {
        out.open_object("model")
            .str("uuid", or_empty(d.model->uuid))
            .str("name", or_empty(d.model->name))
            .uint64("size", d.model->size)
            .uint64("memory_size", d.model->memory_size)
            .uint64("layer_count", d.model->layer_count);
        write_labels(out, d.model->labels);
        out.close_object();
    }
    if (out && d.extra)
        d.extra(d.user, out);
    return out.open_object("model_limits")
        .int32("block_size", static_cast<int32_t>(PLUGIN_BLOCK_SIZE))
        .int32("max_layers", PLUGIN_MAX_LAYERS)
        .int32("max_input_size", PLUGIN_MAX_INPUT_SIZE)
        .uint64("max_data_cache", d.max_data_cache)
        .uint64("max_model_size", d.max_model_size)
        .uint64("max_runtime_mem", d.max_runtime_mem)
        .close_object()
        .close_object()
        .pos();
}

void write_reply_head(JsonWriter& out, int64_t timing, int64_t decode, int64_t input, const char* id) noexcept
{
    out.int64("timing", timing).int64("decode", decode).int64("input", input);
    if (id)
        out.str("id", id);
}

void write_output(JsonWriter& out, const OutputObject& output) noexcept
{
    out.open_object().str("name", or_empty(output.name)).str("datatype", output.datatype);
    write_shape(out, "shape", output.shape);
    out.int64("timing", output.timing).int64("io_timing", output.io_timing);
    if (output.data)
        out.base64("data", output.data, output.size);
    out.close_object();
}

uint64_t output_object_bound(const char* name, const char* datatype, size_t dims, uint64_t size) noexcept
{
    const uint64_t data = json_base64_length(size);
    /* The keys, braces and two 20-digit timings: well under 256. */
    const uint64_t fixed = 256 + json_escaped_length(or_empty(name), SIZE_MAX) +
                           json_escaped_length(or_empty(datatype), SIZE_MAX);
    const uint64_t shape = static_cast<uint64_t>(dims) * 21;
    if (data == UINT64_MAX || dims > UINT64_MAX / 21 || data > UINT64_MAX - fixed - shape)
        return UINT64_MAX;
    return data + fixed + shape;
}

} // namespace plugin
