/* Model queries: offset arithmetic on a verified KFM buffer, read in place. */
#include <stdio.h>
#include <string.h>

#include "core/types.h"
#include "kestrune/kfm_schema.h"
#include "kestrune/nn.h"
#include "model/model_internal.h"

/* ---- Helpers --------------------------------------------------------------- */

static const uint8_t* vector_out(const uint8_t* table, unsigned field, size_t* count)
{
    uint32_t n;
    const uint8_t* v = table ? kfm_vector(table, field, &n) : NULL;
    if (v && count)
        *count = n;
    return v;
}

static const uint8_t* model_layers(const void* model, uint32_t* count)
{
    const uint8_t* root = kfm_root(model);
    if (!root)
        return NULL;
    return kfm_vector(root, KFM_MODEL_LAYERS, count);
}

const uint8_t* model_layer_table(const void* model, size_t layer)
{
    uint32_t n = 0;
    const uint8_t* layers = model_layers(model, &n);
    if (!layers || layer >= n)
        return NULL;
    return kfm_vector_table(layers, (uint32_t)layer);
}

const uint8_t* model_layer_parameters(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    return t ? kfm_vector(t, KFM_LAYER_PARAMETERS, NULL) : NULL;
}

int layer_parameter_index(const uint8_t* parameters, const char* key)
{
    if (!parameters || !key)
        return -1;
    uint32_t n = kfm_vector_count(parameters);
    for (uint32_t i = 0; i < n && i <= 0x7FFFFFFFu; ++i) {
        const char* name = kfm_string(kfm_vector_table(parameters, i), KFM_PARAMETER_NAME);
        if (name && strcmp(name, key) == 0)
            return (int)i;
    }
    return -1;
}

const void* layer_parameter_at(const uint8_t* parameters, int index)
{
    if (!parameters || index < 0 || (uint32_t)index >= kfm_vector_count(parameters))
        return NULL;
    return kfm_vector_table(parameters, (uint32_t)index);
}

static const uint8_t* model_resources(const void* model, uint32_t* count)
{
    const uint8_t* root = kfm_root(model);
    return root ? kfm_vector(root, KFM_MODEL_RESOURCES, count) : NULL;
}

/* ---- Model-wide ------------------------------------------------------------ */

NN_API const char* nn_model_name(const void* model)
{
    const uint8_t* root = kfm_root(model);
    return root ? kfm_string(root, KFM_MODEL_NAME) : NULL;
}

NN_API const char* nn_model_uuid(const void* model)
{
    (void)model;
    return NULL;
}

NN_API int nn_model_serial(const void* model)
{
    (void)model;
    return 0;
}

NN_API const char* nn_model_label(const void* model, int index)
{
    const uint8_t* root = kfm_root(model);
    uint32_t n = 0;
    const uint8_t* labels = root ? kfm_vector(root, KFM_MODEL_LABELS, &n) : NULL;
    if (!labels || index < 0 || (uint32_t)index >= n)
        return NULL;
    return kfm_vector_string(labels, (uint32_t)index);
}

NN_API int nn_model_label_count(const void* model)
{
    const uint8_t* root = kfm_root(model);
    uint32_t n = 0;
    if (!root || !kfm_vector(root, KFM_MODEL_LABELS, &n))
        return 0;
    return n > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)n;
}

NN_API const uint32_t* nn_model_inputs(const void* model, size_t* count)
{
    return (const uint32_t*)vector_out(kfm_root(model), KFM_MODEL_INPUTS, count);
}

NN_API const uint32_t* nn_model_outputs(const void* model, size_t* count)
{
    return (const uint32_t*)vector_out(kfm_root(model), KFM_MODEL_OUTPUTS, count);
}

NN_API size_t nn_model_layer_count(const void* model)
{
    uint32_t n = 0;
    return model_layers(model, &n) ? n : 0;
}

NN_API size_t nn_model_memory_size(const void* model)
{
    const uint8_t* root = kfm_root(model);
    if (!root)
        return 0;
    uint64_t b = kfm_u32(root, KFM_MODEL_MEMORY_BLOCK_SIZE, 0);
    uint64_t k = kfm_u32(root, KFM_MODEL_MEMORY_BLOCKS, 1);
    if (b == 0)
        return 0;
    uint64_t l = nn_model_layer_count(model);
    uint64_t header = 128u * (l + 1u);
    return (size_t)(((header + b - 1u) / b + k) * b);
}

NN_API size_t nn_model_cache_minimum_size(const void* model)
{
    const uint8_t* root = kfm_root(model);
    return root ? kfm_u32(root, KFM_MODEL_CACHE_MINIMUM_SIZE, 0) : 0;
}

NN_API size_t nn_model_cache_optimum_size(const void* model)
{
    const uint8_t* root = kfm_root(model);
    return root ? kfm_u32(root, KFM_MODEL_CACHE_OPTIMUM_SIZE, 0) : 0;
}

/* ---- Resources ------------------------------------------------------------- */

NN_API size_t nn_model_resource_count(const void* model)
{
    uint32_t n = 0;
    return model_resources(model, &n) ? n : 0;
}

NN_API const void* nn_model_resource_at(const void* model, size_t index)
{
    uint32_t n = 0;
    const uint8_t* res = model_resources(model, &n);
    if (!res || index >= n)
        return NULL;
    return kfm_vector_table(res, (uint32_t)index);
}

NN_API const void* nn_model_resource(const void* model, const char* name)
{
    uint32_t n = 0;
    const uint8_t* res = model_resources(model, &n);
    if (!res || !name)
        return NULL;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* t = kfm_vector_table(res, i);
        const char* s = kfm_string(t, KFM_RESOURCE_NAME);
        if (s && strcmp(s, name) == 0)
            return t;
    }
    return NULL;
}

NN_API const char* nn_model_resource_name(const void* resource)
{
    return resource ? kfm_string((const uint8_t*)resource, KFM_RESOURCE_NAME) : NULL;
}

NN_API const char* nn_model_resource_meta(const void* resource)
{
    return resource ? kfm_string((const uint8_t*)resource, KFM_RESOURCE_META) : NULL;
}

NN_API const char* nn_model_resource_mime(const void* resource)
{
    return resource ? kfm_string((const uint8_t*)resource, KFM_RESOURCE_MIME) : NULL;
}

NN_API const uint8_t* nn_model_resource_data(const void* resource, size_t* size)
{
    return vector_out((const uint8_t*)resource, KFM_RESOURCE_DATA, size);
}

/* ---- Layers ---------------------------------------------------------------- */

NN_API const char* nn_model_layer_name(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    return t ? kfm_string(t, KFM_LAYER_NAME) : NULL;
}

NN_API const char* nn_model_layer_type(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    if (!t)
        return NULL;
    return nn_layer_type_name(kfm_i16(t, KFM_LAYER_TYPE, 0));
}

NN_API int nn_model_layer_type_id(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    return t ? kfm_i16(t, KFM_LAYER_TYPE, 0) : 0;
}

NN_API const char* nn_model_layer_datatype(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    if (!t)
        return NULL;
    int code = kfm_i8(t, KFM_LAYER_DATATYPE, 0);
    const char* name = code >= 0 ? nn_type_name((uint32_t)code) : NULL;
    return name ? name : "";
}

NN_API int nn_model_layer_datatype_id(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    if (!t)
        return 0;
    int code = kfm_i8(t, KFM_LAYER_DATATYPE, 0);
    return code == 0 ? NN_TYPE_F32 : code;
}

NN_API const int32_t* nn_model_layer_zeros(const void* model, size_t layer, size_t* count)
{
    return (const int32_t*)vector_out(model_layer_table(model, layer), KFM_LAYER_ZEROS, count);
}

NN_API const float* nn_model_layer_scales(const void* model, size_t layer, size_t* count)
{
    return (const float*)vector_out(model_layer_table(model, layer), KFM_LAYER_SCALES, count);
}

NN_API int nn_model_layer_axis(const void* model, size_t layer)
{
    const uint8_t* t = model_layer_table(model, layer);
    return t ? kfm_i8(t, KFM_LAYER_AXIS, 0) : 0;
}

NN_API const int32_t* nn_model_layer_shape(const void* model, size_t layer, size_t* dims)
{
    const uint8_t* t = model_layer_table(model, layer);
    if (!t)
        return NULL;
    const int32_t* shape = (const int32_t*)vector_out(t, KFM_LAYER_SHAPE, dims);
    if (!shape && dims)
        *dims = 0;
    return shape;
}

NN_API size_t nn_model_layer_inputs(const void* model, size_t layer, const uint32_t** inputs)
{
    if (!kfm_identified(model)) {
        printf("[ERROR] %s: invalid model\r\n", "nn_model_layer_inputs");
        return 0;
    }
    const uint8_t* t = model_layer_table(model, layer);
    uint32_t n = 0;
    const uint8_t* v = t ? kfm_vector(t, KFM_LAYER_INPUTS, &n) : NULL;
    if (!v)
        return 0;
    if (inputs)
        *inputs = (const uint32_t*)v;
    return n;
}

NN_API const void* nn_model_layer_parameter(const void* model, size_t layer, const char* key)
{
    const uint8_t* params = model_layer_parameters(model, layer);
    return layer_parameter_at(params, layer_parameter_index(params, key));
}

NN_API uint32_t nn_model_layer_lookup(const void* model, const char* name)
{
    if (!kfm_identified(model) || !name)
        return 0xFFFFFFFFu;
    uint32_t nres = 0;
    const uint8_t* res = model_resources(model, &nres);
    uint32_t nlayers = 0;
    const uint8_t* layers = model_layers(model, &nlayers);
    if (res) {
        for (uint32_t i = 0; i < nres; ++i) {
            const uint8_t* r = kfm_vector_table(res, i);
            const char* rname = kfm_string(r, KFM_RESOURCE_NAME);
            if (!rname || strncmp(rname, "alias_", 6) != 0 || strcmp(rname + 6, name) != 0)
                continue;
            uint32_t size = 0;
            const uint8_t* data = kfm_vector(r, KFM_RESOURCE_DATA, &size);
            if (!data)
                size = 0;
            if (size != 4) {
                fprintf(stderr, "[ERROR] model layer alias '%s' has invalid data size: %zu\n", name,
                        (size_t)size);
                return 0xFFFFFFFFu;
            }
            uint32_t index = kfm_load_u32(data);
            if (!layers || index >= nlayers) {
                fprintf(stderr, "[ERROR] model layer alias '%s' points to invalid layer index: %u\n",
                        name, index);
                return 0xFFFFFFFFu;
            }
            return index;
        }
    }
    if (!layers)
        return 0xFFFFFFFFu;
    for (uint32_t i = 0; i < nlayers; ++i) {
        const char* lname = kfm_string(kfm_vector_table(layers, i), KFM_LAYER_NAME);
        if (lname && strcmp(lname, name) == 0)
            return i;
    }
    return 0xFFFFFFFFu;
}

/* ---- Parameter data -------------------------------------------------------- */

NN_API const int32_t* nn_model_parameter_shape(const void* parameter, size_t* count)
{
    return (const int32_t*)vector_out((const uint8_t*)parameter, KFM_PARAMETER_SHAPE, count);
}

NN_API const float* nn_model_parameter_data_f32(const void* parameter, size_t* count)
{
    return (const float*)vector_out((const uint8_t*)parameter, KFM_PARAMETER_DATA_F32, count);
}

NN_API const int32_t* nn_model_parameter_data_i32(const void* parameter, size_t* count)
{
    return (const int32_t*)vector_out((const uint8_t*)parameter, KFM_PARAMETER_DATA_I32, count);
}

NN_API const int16_t* nn_model_parameter_data_i16(const void* parameter, size_t* count)
{
    return (const int16_t*)vector_out((const uint8_t*)parameter, KFM_PARAMETER_DATA_I16, count);
}

NN_API const int8_t* nn_model_parameter_data_i8(const void* parameter, size_t* count)
{
    if (!parameter)
        return NULL;
    const uint8_t* p = (const uint8_t*)parameter;
    const uint8_t* v = vector_out(p, KFM_PARAMETER_DATA_I8, count);
    if (!v)
        v = vector_out(p, KFM_PARAMETER_DATA_RAW, count);
    if (!v)
        fprintf(stderr, "NO INTEGER DATA?\r\n");
    return (const int8_t*)v;
}

NN_API const uint8_t* nn_model_parameter_data_raw(const void* parameter, size_t* count)
{
    return vector_out((const uint8_t*)parameter, KFM_PARAMETER_DATA_RAW, count);
}

NN_API const char* nn_model_parameter_data_str(const void* parameter, size_t index)
{
    size_t n = 0;
    const uint8_t* v = vector_out((const uint8_t*)parameter, KFM_PARAMETER_DATA_STR, &n);
    if (!v || index >= n)
        return NULL;
    return kfm_vector_string(v, (uint32_t)index);
}

NN_API size_t nn_model_parameter_data_str_len(const void* parameter)
{
    size_t n = 0;
    return vector_out((const uint8_t*)parameter, KFM_PARAMETER_DATA_STR, &n) ? n : 0;
}

NN_API const int32_t* nn_model_layer_parameter_shape(const void* model, size_t layer,
                                                     const char* key, size_t* count)
{
    return nn_model_parameter_shape(nn_model_layer_parameter(model, layer, key), count);
}

NN_API const float* nn_model_layer_parameter_data_f32(const void* model, size_t layer,
                                                      const char* key, size_t* count)
{
    return nn_model_parameter_data_f32(nn_model_layer_parameter(model, layer, key), count);
}

NN_API const int16_t* nn_model_layer_parameter_data_i16(const void* model, size_t layer,
                                                        const char* key, size_t* count)
{
    return nn_model_parameter_data_i16(nn_model_layer_parameter(model, layer, key), count);
}

NN_API const uint8_t* nn_model_layer_parameter_data_raw(const void* model, size_t layer,
                                                        const char* key, size_t* count)
{
    return nn_model_parameter_data_raw(nn_model_layer_parameter(model, layer, key), count);
}

NN_API const char* nn_model_layer_parameter_data_str(const void* model, size_t layer,
                                                     const char* key, size_t index)
{
    return nn_model_parameter_data_str(nn_model_layer_parameter(model, layer, key), index);
}

NN_API size_t nn_model_layer_parameter_data_str_len(const void* model, size_t layer,
                                                    const char* key)
{
    return nn_model_parameter_data_str_len(nn_model_layer_parameter(model, layer, key));
}
