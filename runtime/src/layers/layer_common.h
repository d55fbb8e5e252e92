/* What the layer handlers share: parameter readers by kind, the messages of
 * their refusals, operands, activation names, the pad array and the choice of
 * a convolution's or pooling's data input. */
#ifndef KESTRUNE_LAYERS_LAYER_COMMON_H
#define KESTRUNE_LAYERS_LAYER_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "context/context_internal.h"
#include "context/step.h"
#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The layer a handler works on, with the label it names itself by. */
typedef struct layer_call {
    nn_context* ctx;
    size_t layer;
    const char* label;
    const char* name; /* the layer's name */
} layer_call;

void layer_call_init(layer_call* c, nn_context* ctx, size_t layer, const char* label);

/* The parameter table found by exact name, NULL when the layer has none. */
const void* layer_param(const layer_call* c, const char* key);

/* A list parameter: its `shape` vector; a present parameter without one is
 * an empty list (NULL, 0). */
const int32_t* param_list(const void* param, size_t* count);

/* Entry i of a list read in place (model bytes need not be host-aligned). */
int32_t param_list_at(const int32_t* list, size_t i);

/* An integer parameter: 1 and element 0 of `data_i16` in *value, 0 when the
 * parameter has no such data. */
int param_int(const void* param, int16_t* value);

/* A real parameter: element 0 of `data_f32`, `fallback` when absent or
 * without data. */
float param_real(const void* param, float fallback);

/* A string parameter: string 0 of `data_str`, NULL when it has none. */
const char* param_string(const void* param);

/* ---- Refusals (each prints its message and returns 6) -------------------- */

/* "%s [%s] missing required parameter: <key>\r\n" on standard output. */
int layer_missing(const layer_call* c, const char* key);

/* "%s [%s] missing required parameter data: <key>\r\n" on standard output:
 * a present parameter without the field its kind is read from. */
int layer_missing_data(const layer_call* c, const char* key);

/* "%s [%s] parameter <key> requires <need> entries, has <has>\r\n" on
 * standard output. */
int layer_short_list(const layer_call* c, const char* key, size_t need, size_t has);

/* "%s [%s] missing <count> required inputs, has <has>\r\n" on standard error. */
int layer_missing_inputs(const layer_call* c, size_t count);

/* ---- Readers with their checks ----------------------------------------- */

/* A required list read by position: copies the first min(n, 4) entries into
 * `out` (the rest `fill`); absent: the missing message; fewer than `need`
 * entries: the short-list message. */
int layer_required_list4(const layer_call* c, const char* key, size_t need, int32_t fill,
                         int32_t out[4]);

/* The tensors of the layer's first `count` inputs; fewer: the inputs
 * message. */
int layer_inputs(const layer_call* c, size_t count, nn_tensor** tensors);

/* Two operands and the bias when there is a third input (else in[2] is
 * NULL): conv2d, deconv2d, linear and dense. */
int layer_inputs_with_bias(const layer_call* c, nn_tensor* in[3]);

/* An operator over the "axes" list parameter (required; without a list or
 * with an empty one it covers all axes) on the layer's first input. */
typedef int (*layer_axes_fn)(nn_tensor* out, nn_tensor* in, int count, const int32_t* axes);
int layer_axes_operator(nn_context* ctx, size_t layer, const char* label, layer_axes_fn fn);

/* The layer's number of inputs (0 without `inputs`). */
size_t layer_input_count(const layer_call* c);

/* Index of the layer named by input k (the caller checked k < count). */
uint32_t layer_input_index(const layer_call* c, size_t k);

/* The "activation" parameter: absent 0; a name outside the table prints
 * "unsupported activation for <what>: %s\r\n" on standard error (6); a
 * parameter without a string gives the missing-data message (6). */
int layer_activation(const layer_call* c, const char* what, int32_t* activation);

/* Code of an activation name (any letter case), -1 when it has none. */
int activation_code(const char* name);

/* The eight pad entries from "head" and "tail" interleaved by dimension. */
void layer_pad_array(const layer_call* c, int32_t pad[8]);

/* The data input of conv2d and pool2d: the layer named by "alt_input" when
 * the parameter exists, else in0 (read from `inputs`). */
int layer_data_input(const layer_call* c, nn_tensor** data);

/* The tensor of a layer index given by an "alt_input" value, NULL when the
 * value names no layer of the model. */
nn_tensor* layer_tensor_at(const layer_call* c, int32_t index);

#ifdef __cplusplus
}
#endif

#endif
