/* The JSON documents every engine plug-in writes: the error object, shapes,
 * label lists, layer objects, the inputs/outputs lists, the model and engine
 * descriptions and the output objects of an inference reply.  The keys and
 * their order are the HTTP API's; the values an engine alone knows come in
 * as plain records or through small hook records. */
#ifndef BRINDLECAST_PLUGIN_DESCRIBE_H
#define BRINDLECAST_PLUGIN_DESCRIBE_H

#include <stddef.h>
#include <stdint.h>

#include "json.h"
#include "json_writer.h"
#include "nn_plugin.h"

/* Limits every engine publishes in "model_limits" (the upload uses the
 * block size; the other two are published values only). */
#define PLUGIN_BLOCK_SIZE 1048576u
#define PLUGIN_MAX_LAYERS 1024
#define PLUGIN_MAX_INPUT_SIZE 607500

extern "C" {

/* {"error": text} at `pos` in the server's reply buffer, the text formatted
 * into 1024 bytes (a longer one is cut, with a note on stderr); NULL when the
 * text cannot be formatted or the buffer cannot grow.  The server is any
 * plug-in's record (it begins with nn_server_common). */
char* error_json(char* pos, nn_server* server, const char* format, ...) __attribute__((format(printf, 3, 4)));

} // extern "C"

namespace plugin {

/* The extents of a shape as an engine keeps them: 32-bit signed (KFM, the
 * runtime, TensorFlow Lite), 32-bit unsigned (Arm NN) or 64-bit signed (ONNX
 * Runtime).  Written as plain decimal numbers whatever their width. */
class ShapeView {
public:
    ShapeView() noexcept = default;
    ShapeView(const int32_t* dims, size_t count) noexcept : dims_(dims), count_(dims ? count : 0), kind_(Kind::i32) {}
    ShapeView(const uint32_t* dims, size_t count) noexcept : dims_(dims), count_(dims ? count : 0), kind_(Kind::u32) {}
    ShapeView(const int64_t* dims, size_t count) noexcept : dims_(dims), count_(dims ? count : 0), kind_(Kind::i64) {}

    size_t size() const noexcept { return count_; }
    /* Extent i (i < size()), widened. */
    int64_t operator[](size_t i) const noexcept;

private:
    enum class Kind { i32, u32, i64 };
    const void* dims_ = nullptr;
    size_t count_ = 0;
    Kind kind_ = Kind::i32;
};

/* "name": [d0, d1, ...] (an empty array without extents). */
void write_shape(JsonWriter& out, const char* name, ShapeView shape) noexcept;

/* A list of label texts: `count` of them, label(user, i) each (NULL is
 * written as an empty string). */
struct LabelList {
    void* user;
    int count;
    const char* (*label)(void* user, int index);
};

/* The labels a plug-in loaded into its nn_server_common. */
LabelList common_labels(nn_server* server) noexcept;

/* "label_count": n, "labels": [...]. */
void write_labels(JsonWriter& out, const LabelList& labels) noexcept;

/* ---- layer objects ---------------------------------------------------------- */

/* The tensor of a layer, as a layer object shows it. */
struct LayerTensor {
    const char* datatype;
    int64_t timing;
    int64_t io_timing;
    ShapeView shape;
};

struct LayerHooks {
    void* user;
    const char* (*name)(void* user, size_t layer);   /* NULL: "" */
    const char* (*type)(void* user, size_t layer);   /* NULL: "" */
    int64_t (*avg_timing)(void* user, size_t layer);
    /* The layer's tensor; false when it has none (the object then ends after
     * "avg_timing"). */
    bool (*tensor)(void* user, size_t layer, LayerTensor* tensor);
    /* Writes the member "data" (base64 of the tensor's bytes) when the bytes
     * can be had, nothing otherwise. */
    void (*data)(void* user, size_t layer, JsonWriter& out);
};

/* {"name", "type", "avg_timing"[, {"tensor": ]"datatype", "timing",
 * "io_timing", "shape"[, "data"][}]}. */
void write_layer(JsonWriter& out, const LayerHooks& hooks, size_t layer, bool with_data, bool nested) noexcept;

/* ---- the model description ---------------------------------------------------- */

/* One entry of "inputs" or "outputs". */
struct IoEntry {
    uint32_t index;        /* written only when the list has indices */
    const char* name;      /* NULL: "" */
    const char* datatype;
    double scale;
    int32_t zero_point;
    ShapeView shape;
};

struct IoList {
    void* user;
    size_t count;          /* 0: the list is left out */
    bool with_index;
    void (*entry)(void* user, size_t i, IoEntry* entry);
};

/* "name": [{"index", "name", "datatype", "scale", "zero_point", "shape"}...];
 * nothing when the list is empty. */
void write_io_list(JsonWriter& out, const char* name, const IoList& list) noexcept;

/* What the engine description's "model" object and the model description
 * share. */
struct ModelSummary {
    const char* name;      /* NULL: "" */
    const char* uuid;      /* NULL: "" */
    uint64_t size;
    uint64_t memory_size;
    uint64_t layer_count;
    LabelList labels;
};

struct ModelDescription {
    ModelSummary model;
    IoList inputs;
    IoList outputs;
    int64_t timing;        /* run time of the last inference, ns */
    int64_t decode;
    int64_t input;
    int64_t output;
    const LayerHooks* layers;  /* NULL: no "layers" array */
};

/* The model description document: "model_name", "uuid", "size",
 * "memory_size", "inputs", "outputs", "layer_count", "label_count", "labels",
 * "timing", "timings", "layers".  Returns the write position (NULL: failed). */
char* write_model_description(json_buffer& json, const ModelDescription& d) noexcept;

/* ---- the engine description ------------------------------------------------------ */

struct EngineDescription {
    const char* engine;
    const char* version;
    const char* device_api;
    const char* device_id;
    const ModelSummary* model;  /* NULL: "model": null */
    /* Engine-specific members after "model" ("plugin", "Delegate", ...);
     * may be NULL. */
    void* user;
    void (*extra)(void* user, JsonWriter& out);
    uint64_t max_data_cache;
    uint64_t max_model_size;
    uint64_t max_runtime_mem;
};

/* The engine description document: "engine", "version", "batch_size", the
 * host's "hostname", "os_name", "os_description", "os_version", "device",
 * "devices" (each only when known), "model", the extra members and
 * "model_limits".  Returns the write position (NULL: failed). */
char* write_engine_description(json_buffer& json, const EngineDescription& d) noexcept;

/* ---- inference replies ----------------------------------------------------------------- */

/* "timing", "decode", "input" and, when given, "id": the first members of
 * every JSON inference reply (the object is already open). */
void write_reply_head(JsonWriter& out, int64_t timing, int64_t decode, int64_t input, const char* id) noexcept;

/* One output of an inference reply. */
struct OutputObject {
    const char* name;      /* NULL: "" */
    const char* datatype;
    ShapeView shape;
    int64_t timing;
    int64_t io_timing;
    const void* data;      /* NULL: no "data" */
    uint64_t size;         /* bytes of data */
};

/* {"name", "datatype", "shape", "timing", "io_timing", "data" (base64)}. */
void write_output(JsonWriter& out, const OutputObject& output) noexcept;

/* Characters write_output needs at most for an output of `name` and
 * `size` data bytes and a shape of `dims` extents (UINT64_MAX when that does
 * not fit 64 bits): for refusing an outsized reply before writing it. */
uint64_t output_object_bound(const char* name, const char* datatype, size_t dims, uint64_t size) noexcept;

} // namespace plugin

#endif /* BRINDLECAST_PLUGIN_DESCRIBE_H */
