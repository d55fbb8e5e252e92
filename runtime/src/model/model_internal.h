/* Internal model helpers shared by the context, the load and the handlers. */
#ifndef KESTRUNE_MODEL_INTERNAL_H
#define KESTRUNE_MODEL_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Name of a layer type code; "" for a code the list does not name. */
const char* nn_layer_type_name(int code);

/* The kfm_layer table of layer `layer`, or NULL for a bad buffer or index. */
const uint8_t* model_layer_table(const void* model, size_t layer);

/* The layer's `parameters` vector payload (kfm_vector form), NULL when absent. */
const uint8_t* model_layer_parameters(const void* model, size_t layer);

/* Index of the first parameter of `parameters` whose name equals `key`, or -1
 * when none does, `key` is NULL or the layer has no parameters. */
int layer_parameter_index(const uint8_t* parameters, const char* key);

/* The kfm_parameter table at `index` of `parameters`, NULL when out of range. */
const void* layer_parameter_at(const uint8_t* parameters, int index);

#ifdef __cplusplus
}
#endif

#endif
