/* Internals of the graph builder shared by its files and reached by the
 * tests through the static library. */
#ifndef OVX_KFM_BUILDER_H
#define OVX_KFM_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include "kfm_view.h"
#include "ovx/ovx_kfm.h"

/* Builds layer `layer`: 0 built (or skipped: no consumer, or padding the next
 * layer absorbs), 6 skipped for a missing parameter, -1 failure.  Its name is
 * the label of its messages. */
int korvel_CreateNeuralNode(ovxlib_graph* graph, size_t layer, const void* model,
                            uint32_t* tensor_ids, int is_output);

namespace ovx {

/* Process-wide state of the builder (one graph is built at a time). */
struct BuildState {
    bool debug = false;
    bool int8_as_uint8 = false;  // the layer being built was switched to UINT8
    uint32_t input_slots = 0;    // reserved by SetGraphInputs
    uint32_t output_slots = 0;
    uint32_t inputs_registered = 0;
    uint32_t outputs_registered = 0;
    // While model2graph builds `model`: each layer's first consumer (0 for
    // none), found in one pass so the build stays linear in the model.
    const void* model = nullptr;
    const uint32_t* consumers = nullptr;
    size_t layer_count = 0;
};
extern BuildState g_build;

constexpr const char* kBuilder = "korvel_CreateNeuralNode";

void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
/* One stderr line naming the builder, the layer and the reason; gives -1. */
int refuse(const LayerView& layer, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* Index of the first later layer whose inputs name `layer`, 0 for none. */
size_t find_consumer_layer(const void* model, size_t layer, size_t count);

/* KFM data type code -> OpenVX type. */
int32_t vx_type_of(int datatype);
bool is_quantised(int datatype);
/* OpenVX element size (1 for any type the table does not name). */
uint32_t vx_element_size(int32_t type);
/* KFM 4-D axis -> size-order dimension of an NCHW tensor (above 3: 0). */
uint32_t map_concat_axis(int axis);

/* The zero points and scales a layer is built with (its own or, when it has
 * neither, the previous layer's); false when none can be found. */
bool resolve_quant(LayerView& layer);
void set_tensor_quant(ovxlib_tensor_attr& attr, const LayerView& layer, bool add_128);

enum class Order { reversed, reversed_nchw };
/* The layer's sizes in the given order (rank n <= 4 already checked). */
void layer_sizes(const LayerView& layer, Order order, ovxlib_tensor_attr& attr);
/* The attribute of a non-constant layer's tensor: sizes in that order, the
 * format, the OpenVX type (INT8 shown as UINT8) and the quantisation. */
ovxlib_tensor_attr layer_attr(const LayerView& layer, Order order, int32_t fmt);

/* Constant layers (type 2), input layers (type 1) and operator layers. */
int build_constant(ovxlib_graph* graph, LayerView& layer, int consumer_type, uint32_t* tensor_ids,
                   bool is_output);
int build_operator(ovxlib_graph* graph, LayerView& layer, uint32_t* tensor_ids, bool is_output);
/* Registers the layer's id in the graph's output list (refused when full). */
int register_output(ovxlib_graph* graph, const LayerView& layer, uint32_t id);

/* The deconvolution weight byte order: data shape [s0, s1, s2, s3], byte
 * (r, q, k, j) to r*S + j*s0*s1 + q*s1 + k (S = s0*s1*s2), then every run of
 * s0*s1 bytes reversed. */
void rearrange_deconv_weights(const uint8_t* in, uint8_t* out, const uint32_t shape[4]);

/* Weight buffers of rearranged deconvolution constants: reachable for the
 * life of the library, freed when it is unloaded. */
bool keep_weight_buffer(void* buffer);

} // namespace ovx

#endif
