/* The Arm NN plug-in's server record and what its parts share.  Arm NN
 * throws, so these sources are built with exceptions and every entry point
 * catches whatever comes out of Arm NN. */
#ifndef BRINDLECAST_ARMNN_SERVER_H
#define BRINDLECAST_ARMNN_SERVER_H

#include <armnn/ArmNN.hpp>
#include <armnn/Version.hpp>
#include <armnnTfLiteParser/ITfLiteParser.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin.h"
#include "plugin_http.h"

namespace armnnplugin {

/* Output buffers, and so the most outputs a model may have. */
constexpr size_t max_outputs = 4;
/* The most "output" keys one inference request may carry. */
constexpr int max_requested_outputs = 5;
/* The largest input or output a model may have: its buffer is allocated
 * at load. */
constexpr uint64_t max_tensor_bytes = 256u << 20;
/* Initial reservations of the input and output buffers. */
constexpr size_t input_reserve = 0xC000;
constexpr size_t output_reserve = 1000;
/* Uploaded model blocks and the largest part of an upload. */
constexpr uint64_t block_size = 1048576;
constexpr uint64_t max_part_size = 4194304;

} // namespace armnnplugin

struct nn_server {
    /* First, as the framework's shared entry points require: the loaded
     * flag, the input and output names, the reply buffer and the labels. */
    nn_server_common common;
    armnnTfLiteParser::ITfLiteParserPtr parser{nullptr, &armnnTfLiteParser::ITfLiteParser::Destroy};
    armnn::IRuntimePtr runtime{nullptr, &armnn::IRuntime::Destroy};
    armnn::NetworkId network_id = 0;
    armnn::INetworkPtr network{nullptr, &armnn::INetwork::Destroy};
    armnn::InputTensors input_tensors;
    armnn::OutputTensors output_tensors;
    std::vector<uint8_t> model_bytes;  /* an uploaded model: its first model_size bytes */
    uint64_t model_size = 0;
    std::array<std::vector<uint8_t>, armnnplugin::max_outputs> output_buffers;
    std::vector<uint8_t> input_buffer;
    size_t max_model_size = 0;
    int backend_preference = 0;
    int64_t run_time = 0;
    int64_t decode_time = 0;
    int64_t input_time = 0;
    int64_t output_time = 0;
    plugin_upload upload{};            /* block counters of the model upload */

    /* The loaded model's subgraph input and outputs, by name. */
    std::string input_tensor_name;
    armnn::BindingPointInfo input_binding;
    std::vector<std::string> output_names;
    std::vector<armnn::BindingPointInfo> output_bindings;
};

extern "C" {

/* The engine's name and version text, exported as data. */
NN_PLUGIN_EXPORT extern const char engine_name[];
NN_PLUGIN_EXPORT extern const char armnn_version[];

/* The element type's name in replies: "FLOAT32", "UINT8", "INT8", ...,
 * "(invalid)" for a type without one. */
NN_PLUGIN_EXPORT const char* TensorTypeName(armnn::DataType type);

/* Top-1 of `count` elements of `type` at `data`: the index in *index and
 * the score (FLOAT32: the value; signed 8-bit: max / 256 + 0.5; UINT8:
 * max / 256; other types: index 0 and 0). */
NN_PLUGIN_EXPORT float armnn_model_label(nn_server* server, const void* data, int* index, armnn::DataType type,
                                         size_t count);

/* Decodes an image (PNG, BMP, JPEG, ... as stb_image reads them) into the
 * input buffer of the input called `name`, resized to its height and width;
 * `flags` 1 normalise, 2 whitening, 4 signed normalise (FLOAT32 inputs
 * only). 0, or 6 bad argument or input shape, 5 flags on an 8-bit input,
 * 1 not decoded, 14 no input buffer, 16 unsupported input type. */
NN_PLUGIN_EXPORT int armnn_tensor_load_image_ex(const char* name, nn_server* server, const void* data,
                                                size_t length, uint32_t flags);

} // extern "C"

namespace armnnplugin {

/* True for the signed 8-bit element types. */
bool is_signed_byte(armnn::DataType type) noexcept;

/* Drops the loaded network and everything built for it (not the labels). */
void release_network(nn_server* server) noexcept;

/* Runs the loaded network once over the input and output tensors; throws
 * what Arm NN throws. */
armnn::Status enqueue(nn_server* server);

/* The line every entry point prints for an exception out of Arm NN. */
void report_exception(const char* what) noexcept;

} // namespace armnnplugin

#endif
