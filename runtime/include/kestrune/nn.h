/*
 * libkestrune-rt: tensors, KFM models, execution contexts and CPU operators.
 *
 * Every function that can fail returns an nn_error status as a plain int, or a
 * pointer that is NULL on failure.  Memory handed in by the caller (model
 * buffers, memory pools, caches, tensor data) stays the caller's and must
 * outlive the record that borrows it.
 */
#ifndef KESTRUNE_NN_H
#define KESTRUNE_NN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(KESTRUNE_BUILDING)
#define NN_API __attribute__((visibility("default")))
#else
#define NN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------ */

typedef enum nn_error {
    NN_SUCCESS = 0,
    NN_ERROR_INTERNAL = 1,
    NN_ERROR_INVALID_HANDLE = 2,
    NN_ERROR_OUT_OF_MEMORY = 3,
    NN_ERROR_OUT_OF_RESOURCES = 4,
    NN_ERROR_NOT_IMPLEMENTED = 5,
    NN_ERROR_INVALID_PARAMETER = 6,
    NN_ERROR_TYPE_MISMATCH = 7,
    NN_ERROR_SHAPE_MISMATCH = 8,
    NN_ERROR_INVALID_SHAPE = 9,
    NN_ERROR_INVALID_ORDERING = 10,
    NN_ERROR_INVALID_AXIS = 11,
    NN_ERROR_MISSING_RESOURCE = 12,
    NN_ERROR_INVALID_ENGINE = 13,
    NN_ERROR_TENSOR_NO_DATA = 14,
    NN_ERROR_KERNEL_MISSING = 15,
    NN_ERROR_TENSOR_TYPE_UNSUPPORTED = 16,
    NN_ERROR_TOO_MANY_INPUTS = 17,
    NN_ERROR_SYSTEM_ERROR = 18,
    NN_ERROR_INVALID_LAYER = 19,
    NN_ERROR_INVALID_MODEL = 20,
    NN_ERROR_MISSING_MODEL = 21,
    NN_ERROR_STRING_TOO_LARGE = 22,
    NN_ERROR_INVALID_QUANTIZATION = 23
} nn_error;

/* ---- Element types ----------------------------------------------------- */

typedef enum nn_type {
    NN_TYPE_RAW = 0,
    NN_TYPE_STR = 1,
    NN_TYPE_I8 = 2,
    NN_TYPE_U8 = 3,
    NN_TYPE_I16 = 4,
    NN_TYPE_U16 = 5,
    NN_TYPE_I32 = 6,
    NN_TYPE_U32 = 7,
    NN_TYPE_I64 = 8,
    NN_TYPE_U64 = 9,
    NN_TYPE_F16 = 10,
    NN_TYPE_F32 = 11,
    NN_TYPE_F64 = 12
} nn_type;

typedef enum nn_map_mode {
    NN_MAP_NONE = 0,
    NN_MAP_RO = 1,
    NN_MAP_WO = 2,
    NN_MAP_RW = 3
} nn_map_mode;

typedef enum nn_image_proc {
    NN_IMAGE_PROC_NORMALIZE = 1,
    NN_IMAGE_PROC_WHITENING = 2,
    NN_IMAGE_PROC_SIGNED_NORMALIZE = 4,
    NN_IMAGE_PROC_MIRROR = 0x1000,
    NN_IMAGE_PROC_FLIP = 0x2000
} nn_image_proc;

typedef enum nn_activation {
    NN_LINEAR = 0,
    NN_RELU = 1,
    NN_RELU6 = 2,
    NN_SIGMOID = 3,
    NN_SIGMOID_FAST = 4,
    NN_TANH = 5
} nn_activation;

/* Opaque records: sizes come from the *_sizeof functions. */
typedef struct nn_tensor nn_tensor;
typedef struct nn_engine nn_engine;
typedef struct nn_context nn_context;
typedef struct nn_model nn_model;

/* ---- Library ----------------------------------------------------------- */

NN_API const char* nn_strerror(int status);
NN_API const char* nn_version(void);
NN_API int nn_init(void);

/* ---- Compute engines --------------------------------------------------- */

NN_API size_t nn_engine_sizeof(void);
NN_API nn_engine* nn_engine_init(void* memory);
NN_API const char* nn_engine_name(const nn_engine* engine);
NN_API const char* nn_engine_version(const nn_engine* engine);

/* Loads the engine plug-in library at `path` into a record cleared by
 * nn_engine_init and calls its nn_engine_plugin_init.  Relative names of
 * existing files are opened by their absolute path; other names go to the
 * dynamic loader unchanged.  12 when the library cannot be opened, 13 when it
 * has no entry point, else the entry point's status (the library then stays
 * loaded even on failure: release the engine). */
NN_API int nn_engine_load(nn_engine* engine, const char* path);
/* Calls the engine's fini slot when set and closes its library when one is
 * loaded; closing a library clears all 32 slots. */
NN_API void nn_engine_unload(nn_engine* engine);
/* Unloads an engine that has a library; never frees the record. */
NN_API void nn_engine_release(nn_engine* engine);

/* ---- Tensor record, shape and mapping ---------------------------------- */

/* Size of the opaque tensor record (152 bytes) for callers that embed it. */
NN_API size_t nn_tensor_sizeof(void);
/* Clears `memory` (nn_tensor_sizeof() bytes) or allocates a record when it is
 * NULL.  An engine is kept only when it has a tensor-init slot; the slot's
 * result is the tensor to use. */
NN_API nn_tensor* nn_tensor_init(void* memory, nn_engine* engine);
/* Frees what the tensor owns (buffer, auxiliary objects, quantisation arrays,
 * the record itself when nn_tensor_init allocated it). */
NN_API void nn_tensor_release(nn_tensor* tensor);

NN_API nn_engine* nn_tensor_engine(const nn_tensor* tensor);
NN_API nn_type nn_tensor_type(const nn_tensor* tensor);
NN_API size_t nn_tensor_element_size(const nn_tensor* tensor);
NN_API int nn_tensor_dims(const nn_tensor* tensor);
NN_API const int32_t* nn_tensor_shape(const nn_tensor* tensor);
NN_API const int32_t* nn_tensor_strides(const nn_tensor* tensor);
NN_API int nn_tensor_volume(const nn_tensor* tensor);
NN_API size_t nn_tensor_size(const nn_tensor* tensor);
/* Nanoseconds of the last CPU operation that wrote the tensor (syncs first). */
NN_API int64_t nn_tensor_time(nn_tensor* tensor);
NN_API int64_t nn_tensor_io_time(const nn_tensor* tensor);
NN_API void* nn_tensor_native_handle(const nn_tensor* tensor);
/* Stores the handle in the data field.  On a tensor whose buffer the runtime
 * owns, the owned buffer is freed first; a mapped tensor is left unchanged. */
NN_API void nn_tensor_set_native_handle(nn_tensor* tensor, void* handle);
NN_API uint32_t nn_tensor_panel_size(const nn_tensor* tensor);
NN_API void nn_tensor_set_panel_size(nn_tensor* tensor, uint32_t panel_size);
NN_API int nn_tensor_sync(nn_tensor* tensor);
/* Prints "[ d0 d1 ... ]" and, with `data`, ": " and every element as "%.04f ". */
NN_API void nn_tensor_printf(nn_tensor* tensor, bool data, FILE* out);

/* Give the tensor a shape (dims 0-4, entries >= 0) and memory: the caller's
 * buffer (borrowed), a zeroed buffer of its own, or a window into a parent. */
NN_API int nn_tensor_assign(nn_tensor* tensor, nn_type type, int dims, const int32_t* shape,
                            void* data);
NN_API int nn_tensor_alloc(nn_tensor* tensor, nn_type type, int dims, const int32_t* shape);
NN_API int nn_tensor_view(nn_tensor* tensor, nn_type type, int dims, const int32_t* shape,
                          nn_tensor* parent, int offset);

/* Mapping nests up to 127 levels; read-only and write-only mappings admit only
 * mappings of their own kind, read-write admits all. */
NN_API const void* nn_tensor_mapro(nn_tensor* tensor);
NN_API void* nn_tensor_mapwo(nn_tensor* tensor);
NN_API void* nn_tensor_maprw(nn_tensor* tensor);
NN_API void nn_tensor_unmap(nn_tensor* tensor);
NN_API int nn_tensor_mapped(const nn_tensor* tensor);

/* ---- Auxiliary objects ------------------------------------------------- */

/* A node of a tensor's list of named auxiliary objects. */
typedef struct nn_aux_object {
    const char* name;
    bool free_name;             /* free(name) when the node is freed */
    void* object;
    void (*free)(void* object); /* frees the object */
    bool free_object;           /* call `free` with the object when the node is freed */
    struct nn_aux_object* prev;
    struct nn_aux_object* next;
} nn_aux_object;

/* A tensor carries either one object with a free function called with the
 * tensor, or a list of named objects; setting one form frees the other. */
typedef void (*nn_aux_free_fn)(nn_tensor* tensor);
NN_API void nn_tensor_set_aux_object(nn_tensor* tensor, void* object, nn_aux_free_fn free_fn);
NN_API void* nn_tensor_aux_object(const nn_tensor* tensor);
NN_API nn_aux_free_fn nn_tensor_aux_free(const nn_tensor* tensor);
NN_API void nn_tensor_set_aux_object_by_name(nn_tensor* tensor, const char* name, void* object,
                                             void (*free_fn)(void* object), bool free_object,
                                             bool free_name);
NN_API void* nn_tensor_aux_object_by_name(const nn_tensor* tensor, const char* name);

/* Free functions for auxiliary objects: a plain allocation, and a single
 * object that is itself a tensor. */
NN_API void free_aux_buffer(void* buffer);
NN_API void release_aux_tensor(nn_tensor* tensor);

/* ---- Quantisation ------------------------------------------------------ */

/* A tensor's affine quantisation parameters as the quantized kernels receive
 * them: real value = (quantized value - zero point) x scale.  One pair is
 * per-tensor; more are per-channel over the innermost dimension. */
typedef struct nn_quant_params {
    size_t zeros_count;
    const int32_t* zeros;
    size_t scales_count;
    const float* scales;
    size_t element_size;
    uint32_t type; /* nn_type */
} nn_quant_params;

NN_API int nn_tensor_axis(const nn_tensor* t);
NN_API void nn_tensor_set_axis(nn_tensor* t, uint8_t axis);
NN_API const int32_t* nn_tensor_zeros(const nn_tensor* t, size_t* count);
NN_API const float* nn_tensor_scales(const nn_tensor* t, size_t* count);
/* A non-zero `own` hands the array to the tensor, which frees it when it is
 * replaced or released. */
NN_API void nn_tensor_set_zeros(nn_tensor* t, size_t count, int32_t* zeros, int own);
NN_API void nn_tensor_set_scales(nn_tensor* t, size_t count, float* scales, int own);
NN_API void nn_tensor_quant_params(const nn_tensor* t, nn_quant_params* params);
/* The last argument is accepted for compatibility and has no effect. */
NN_API int nn_tensor_quantize_buffer(nn_tensor* t, size_t count, const float* values, int unused);
NN_API int nn_tensor_quantize(nn_tensor* dst, nn_tensor* src, int unused);
NN_API int nn_tensor_dequantize_buffer(nn_tensor* t, size_t count, float* values);
NN_API int nn_tensor_dequantize(nn_tensor* dst, nn_tensor* src);
NN_API int nn_tensor_requantize(nn_tensor* dst, nn_tensor* src);

/* ---- Tensor shape and content operations ------------------------------- */

NN_API bool nn_tensor_shape_equal(const int32_t a[4], const int32_t b[4]);
NN_API void nn_tensor_shape_copy(int32_t dst[4], const int32_t src[4]);
/* Changes dims, shape and strides only; entries below 1 take the remaining
 * volume.  The new volume may be smaller than the current one. */
NN_API int nn_tensor_reshape(nn_tensor* t, int dims, const int32_t* shape);
NN_API int nn_tensor_offset(const nn_tensor* t, int dims, const int32_t* index);
NN_API int nn_tensor_offsetv(const nn_tensor* t, int dims, ...);
/* Number of elements whose difference exceeds the tolerance. */
NN_API int nn_tensor_compare(nn_tensor* a, nn_tensor* b, double tolerance);
NN_API int nn_tensor_fill(nn_tensor* t, double value);
NN_API int nn_tensor_randomize(nn_tensor* t);
/* Output shape and (head, tail) pads of a windowed operator over t; padding
 * is "SAME" or "VALID"; NULL arrays are skipped (window, stride, dilation 1). */
NN_API int nn_tensor_padding(const nn_tensor* t, const char* padding, const int32_t* window,
                             const int32_t* strides, const int32_t* dilations,
                             int32_t* output_shape, int32_t* pads);
NN_API int nn_tensor_pad(nn_tensor* dst, nn_tensor* src, const int32_t* head, const int32_t* tail,
                         double value);
NN_API int nn_tensor_copy(nn_tensor* dst, nn_tensor* src);
NN_API int nn_tensor_concat(nn_tensor* dst, int count, nn_tensor** inputs, int axis);
NN_API int nn_tensor_slice(nn_tensor* dst, nn_tensor* src, int count, const int32_t* axes,
                           const int32_t* begins, const int32_t* ends);
NN_API int nn_tensor_shuffle(nn_tensor* dst, nn_tensor* src, int dims, const int32_t* order);
NN_API int nn_argmax(nn_tensor* t, int* index, float* score, size_t score_size);

/* ---- Image and camera-frame input -------------------------------------- */

/* Decode an encoded image (JPEG, PNG, BMP, PSD, TGA, HDR, PIC, PNM) into a
 * [1, H, W, C] tensor of FLOAT32, UINT8 or INT8, resizing it to H x W when its
 * size differs.  `proc` holds nn_image_proc normalisation flags (FLOAT32
 * only). */
NN_API int nn_tensor_load_file_ex(nn_tensor* tensor, const char* path, uint32_t proc);
NN_API int nn_tensor_load_file(nn_tensor* tensor, const char* path);
NN_API int nn_tensor_load_image_ex(nn_tensor* tensor, const void* data, size_t size, uint32_t proc);
NN_API int nn_tensor_load_image(nn_tensor* tensor, const void* data, size_t size);

/* Convert a camera frame at physical address `phys_addr` (fourcc such as
 * "NV12" read as a little-endian value) through the G2D engine into a FLOAT32
 * [1, H, W, 3] tensor, cropping to `region` (left, top, right, bottom) when
 * its last two values are positive.  `unused` is ignored. */
NN_API int nn_tensor_load_frame_ex(nn_tensor* tensor, void* unused, uint64_t phys_addr,
                                   uint32_t fourcc, int width, int height,
                                   const int32_t* region, uint32_t proc);
NN_API int nn_tensor_load_frame(nn_tensor* tensor, void* unused, uint64_t phys_addr,
                                uint32_t fourcc, int width, int height, const int32_t* region);


/* ---- Models ------------------------------------------------------------ */

/* A model is the caller's KFM buffer, verified once by nn_model_validate and
 * read in place afterwards; strings and arrays returned point into it.  Every
 * query answers its "nothing" result (NULL or 0, out-parameters unwritten)
 * for a NULL buffer or one without the "KFMx" identifier. */

/* Layer type codes (kfm_layer field `type`). */
typedef enum nn_layer_type {
    NN_LAYER_NONE = 0,
    NN_LAYER_INPUT = 1,
    NN_LAYER_CONSTANT = 2,
    NN_LAYER_VARIABLE = 3,
    NN_LAYER_PAD = 10,
    NN_LAYER_CONCAT = 11,
    NN_LAYER_SLICE = 12,
    NN_LAYER_SHUFFLE = 13,
    NN_LAYER_COPY = 14,
    NN_LAYER_FILL = 15,
    NN_LAYER_QUANT = 16,
    NN_LAYER_DEQUANT = 17,
    NN_LAYER_RESIZE = 18,
    NN_LAYER_ADD = 20,
    NN_LAYER_SUBTRACT = 21,
    NN_LAYER_MULTIPLY = 22,
    NN_LAYER_DIVIDE = 23,
    NN_LAYER_ABS = 30,
    NN_LAYER_SQRT = 31,
    NN_LAYER_RSQRT = 32,
    NN_LAYER_LOG = 33,
    NN_LAYER_EXP = 34,
    NN_LAYER_POW = 35,
    NN_LAYER_SIGMOID = 40,
    NN_LAYER_TANH = 41,
    NN_LAYER_RELU = 42,
    NN_LAYER_RELU6 = 43,
    NN_LAYER_SOFTMAX = 44,
    NN_LAYER_PRELU = 45,
    NN_LAYER_LEAKY_RELU = 46,
    NN_LAYER_ELU = 47,
    NN_LAYER_SWISH = 48,
    NN_LAYER_MISH = 49,
    NN_LAYER_MATMUL = 50,
    NN_LAYER_DENSE = 51,
    NN_LAYER_LINEAR = 52,
    NN_LAYER_CONV2D = 60,
    NN_LAYER_POOL2D = 61,
    NN_LAYER_DECONV2D = 62,
    NN_LAYER_REDUCE_SUM = 70,
    NN_LAYER_REDUCE_MIN = 71,
    NN_LAYER_REDUCE_MAX = 72,
    NN_LAYER_REDUCE_MEAN = 73,
    NN_LAYER_REDUCE_PRODUCT = 74,
    NN_LAYER_GRU = 100,
    NN_LAYER_RESHAPE = 101,
    NN_LAYER_BATCHNORM = 102,
    NN_LAYER_SOFTPLUS = 103,
    NN_LAYER_NMS = 104,
    NN_LAYER_IMAGE_STANDARDIZE = 110,
    NN_LAYER_SVM = 120,
    NN_LAYER_SVM_UPDATE_KERNEL = 121,
    NN_LAYER_SVM_DECISION_STATS = 122,
    NN_LAYER_SVM_SOFT_PROBABILITY = 123,
    NN_LAYER_DECODE = 130,
    NN_LAYER_DECODE_SSD = 131,
    NN_LAYER_DECODE_CENTERNET = 132,
    NN_LAYER_DECODE_YOLO = 133,
    NN_LAYER_USER_OP = 250,
    NN_LAYER_FINAL = 251
} nn_layer_type;

/* Verification: 0 when valid, else a verifier code with its text below. */
NN_API int nn_model_validate(const void* buffer, size_t size);
NN_API const char* nn_model_validate_error(int code);

NN_API const char* nn_model_name(const void* model);
NN_API const char* nn_model_uuid(const void* model);
NN_API int nn_model_serial(const void* model);
NN_API const char* nn_model_label(const void* model, int index);
NN_API int nn_model_label_count(const void* model);
NN_API const uint32_t* nn_model_inputs(const void* model, size_t* count);
NN_API const uint32_t* nn_model_outputs(const void* model, size_t* count);
NN_API size_t nn_model_layer_count(const void* model);
NN_API size_t nn_model_memory_size(const void* model);
NN_API size_t nn_model_cache_minimum_size(const void* model);
NN_API size_t nn_model_cache_optimum_size(const void* model);

NN_API size_t nn_model_resource_count(const void* model);
NN_API const void* nn_model_resource_at(const void* model, size_t index);
NN_API const void* nn_model_resource(const void* model, const char* name);
NN_API const char* nn_model_resource_name(const void* resource);
NN_API const char* nn_model_resource_meta(const void* resource);
NN_API const char* nn_model_resource_mime(const void* resource);
NN_API const uint8_t* nn_model_resource_data(const void* resource, size_t* size);

NN_API const char* nn_model_layer_name(const void* model, size_t layer);
NN_API const char* nn_model_layer_type(const void* model, size_t layer);
NN_API int nn_model_layer_type_id(const void* model, size_t layer);
NN_API const char* nn_model_layer_datatype(const void* model, size_t layer);
NN_API int nn_model_layer_datatype_id(const void* model, size_t layer);
NN_API const int32_t* nn_model_layer_zeros(const void* model, size_t layer, size_t* count);
NN_API const float* nn_model_layer_scales(const void* model, size_t layer, size_t* count);
NN_API int nn_model_layer_axis(const void* model, size_t layer);
NN_API const int32_t* nn_model_layer_shape(const void* model, size_t layer, size_t* dims);
NN_API size_t nn_model_layer_inputs(const void* model, size_t layer, const uint32_t** inputs);
NN_API const void* nn_model_layer_parameter(const void* model, size_t layer, const char* key);
NN_API uint32_t nn_model_layer_lookup(const void* model, const char* name);

NN_API const int32_t* nn_model_parameter_shape(const void* parameter, size_t* count);
NN_API const float* nn_model_parameter_data_f32(const void* parameter, size_t* count);
NN_API const int32_t* nn_model_parameter_data_i32(const void* parameter, size_t* count);
NN_API const int16_t* nn_model_parameter_data_i16(const void* parameter, size_t* count);
NN_API const int8_t* nn_model_parameter_data_i8(const void* parameter, size_t* count);
NN_API const uint8_t* nn_model_parameter_data_raw(const void* parameter, size_t* count);
NN_API const char* nn_model_parameter_data_str(const void* parameter, size_t index);
NN_API size_t nn_model_parameter_data_str_len(const void* parameter);

NN_API const int32_t* nn_model_layer_parameter_shape(const void* model, size_t layer,
                                                     const char* key, size_t* count);
NN_API const float* nn_model_layer_parameter_data_f32(const void* model, size_t layer,
                                                      const char* key, size_t* count);
NN_API const int16_t* nn_model_layer_parameter_data_i16(const void* model, size_t layer,
                                                        const char* key, size_t* count);
NN_API const uint8_t* nn_model_layer_parameter_data_raw(const void* model, size_t layer,
                                                        const char* key, size_t* count);
NN_API const char* nn_model_layer_parameter_data_str(const void* model, size_t layer,
                                                     const char* key, size_t index);
NN_API size_t nn_model_layer_parameter_data_str_len(const void* model, size_t layer,
                                                    const char* key);

/* ---- Execution context ------------------------------------------------- */

/* A user-operation callback: (context, operation name, layer index) -> status;
 * 5 means not handled. */
typedef int (*nn_user_op_fn)(nn_context* context, const char* operation, size_t layer);

NN_API size_t nn_context_sizeof(void);
NN_API nn_context* nn_context_init_ex(void* memory, nn_engine* engine, size_t mempool_size,
                                      void* mempool_memory, size_t cache_size,
                                      void* cache_memory);
NN_API nn_context* nn_context_init(nn_engine* engine, size_t mempool_size, void* mempool_memory,
                                   size_t cache_size, void* cache_memory);
NN_API void nn_context_release(nn_context* context);
NN_API nn_engine* nn_context_engine(nn_context* context);
NN_API const void* nn_context_model(nn_context* context);
NN_API nn_tensor* nn_context_mempool(nn_context* context);
NN_API nn_tensor* nn_context_cache(nn_context* context);
NN_API nn_tensor* nn_context_tensor(nn_context* context, const char* name);
NN_API nn_tensor* nn_context_tensor_index(nn_context* context, size_t index);
NN_API int nn_context_user_ops_register(nn_context* context, nn_user_op_fn fn);
NN_API nn_user_op_fn nn_context_user_ops(nn_context* context);

/* Verifies the buffer and lays the model out in the context; the buffer must
 * stay valid and unchanged until the model is unloaded. */
NN_API int nn_context_model_load(nn_context* context, size_t size, const void* buffer);
NN_API void nn_context_model_unload(nn_context* context);
NN_API int nn_context_step(nn_context* context, size_t layer);
NN_API int nn_context_run(nn_context* context);

/* ---- Operators: activations and element-wise --------------------------- */

/* Activation codes by their full names; 6 (square root) is only the kind an
 * engine's unary slot receives from nn_sqrt. */
enum {
    NN_ACTIVATION_LINEAR = 0,
    NN_ACTIVATION_RELU = 1,
    NN_ACTIVATION_RELU6 = 2,
    NN_ACTIVATION_SIGMOID = 3,
    NN_ACTIVATION_SIGMOID_FAST = 4,
    NN_ACTIVATION_TANH = 5,
    NN_ACTIVATION_SQRT = 6
};

/* Activations: output first; the output may be the input.  INT8 and UINT8
 * operands of sigmoid, fast sigmoid, tanh, prelu and softmax are computed in
 * FLOAT32 and quantised back; relu, relu6, swish and leaky relu work in the
 * quantised domain for non-FLOAT32 outputs. */
NN_API int nn_sigmoid(nn_tensor* output, nn_tensor* input);
NN_API int nn_sigmoid_fast(nn_tensor* output, nn_tensor* input);
NN_API int nn_tanh(nn_tensor* output, nn_tensor* input);
NN_API int nn_relu(nn_tensor* output, nn_tensor* input);
NN_API int nn_relu6(nn_tensor* output, nn_tensor* input);
NN_API int nn_swish(nn_tensor* output, nn_tensor* input);
NN_API int nn_leaky_relu(nn_tensor* output, nn_tensor* input, float alpha);
/* The input's volume must be a whole multiple of the slope's. */
NN_API int nn_prelu(nn_tensor* output, nn_tensor* input, nn_tensor* slope);
NN_API int nn_softmax(nn_tensor* output, nn_tensor* input);
/* output = (input - mean) * scale / sqrt(variance + epsilon) + offset; the
 * scratch tensor holds at least the variance's bytes. */
NN_API int nn_batchnorm(nn_tensor* output, nn_tensor* scratch, nn_tensor* input, nn_tensor* mean,
                        nn_tensor* variance, nn_tensor* offset, nn_tensor* scale,
                        nn_tensor* epsilon);

/* Element-wise binary operators with broadcasting. */
NN_API int nn_add(nn_tensor* output, nn_tensor* a, nn_tensor* b);
NN_API int nn_subtract(nn_tensor* output, nn_tensor* a, nn_tensor* b);
NN_API int nn_multiply(nn_tensor* output, nn_tensor* a, nn_tensor* b);
NN_API int nn_divide(nn_tensor* output, nn_tensor* a, nn_tensor* b);
/* Element-wise unary operators. */
NN_API int nn_abs(nn_tensor* output, nn_tensor* input);
NN_API int nn_sqrt(nn_tensor* output, nn_tensor* input);
/* 1 / sqrt(x), or 1 / sqrt(max(x, *epsilon)) when epsilon is given. */
NN_API int nn_rsqrt(nn_tensor* output, nn_tensor* input, const float* epsilon);
/* The logarithm of |x|. */
NN_API int nn_log(nn_tensor* output, nn_tensor* input);
NN_API int nn_exp(nn_tensor* output, nn_tensor* input);


/* ---- Operators: pooling, reduction, resize, GRU ------------------------ */

/* Pooling over NHWC tensors: ksize and strides are four entries (only height
 * and width are used), padding eight (a head/tail pair per dimension). */
NN_API int nn_maxpool_ex(nn_tensor* output, nn_tensor* input, const int32_t* ksize,
                         const int32_t* strides, const int32_t* padding);
/* The third argument is not read. */
NN_API int nn_avgpool_ex(nn_tensor* output, nn_tensor* input, nn_tensor* unused,
                         const int32_t* ksize, const int32_t* strides, const int32_t* padding);
NN_API int nn_maxpool(nn_tensor* output, nn_tensor* input, const int32_t* ksize,
                      const int32_t* strides);
NN_API int nn_avgpool(nn_tensor* output, nn_tensor* input, const int32_t* ksize,
                      const int32_t* strides);

/* FLOAT32 reductions over a run of consecutive axes (NULL: all of them); the
 * output receives outer * inner values. */
NN_API int nn_reduce_sum(nn_tensor* output, nn_tensor* input, int axis_count, const int32_t* axes);
NN_API int nn_reduce_min(nn_tensor* output, nn_tensor* input, int axis_count, const int32_t* axes);
NN_API int nn_reduce_max(nn_tensor* output, nn_tensor* input, int axis_count, const int32_t* axes);
NN_API int nn_reduce_mean(nn_tensor* output, nn_tensor* input, int axis_count,
                          const int32_t* axes);
NN_API int nn_reduce_product(nn_tensor* output, nn_tensor* input, int axis_count,
                             const int32_t* axes);

/* Nearest-neighbour enlargement of height and width; modes 0 and 1 sample
 * alike and align_corners is not read. */
NN_API int nn_resize(nn_tensor* output, nn_tensor* input, uint32_t mode, int align_corners);

/* GRU cell: working views laid out in a cache tensor by nn_gru_init (input
 * width I, gate width G = 2H, hidden width H; the cache holds at least
 * (I + 4H + G) * 4 bytes), one step per input row carrying the hidden state
 * h.  Weights are [I + H, G], [I, H] and [H, H] with biases of G, H and H
 * values. */
typedef struct nn_gru_context nn_gru_context;
NN_API int nn_gru_init(nn_gru_context** context, nn_tensor* cache, nn_type type,
                       int32_t input_size, int32_t gate_size, int32_t hidden_size);
NN_API void nn_gru_release(nn_gru_context* context);
NN_API int nn_gru(nn_tensor* output, nn_tensor* input, nn_tensor* h, nn_tensor* gate_weights,
                  nn_tensor* gate_bias, nn_tensor* input_weights, nn_tensor* input_bias,
                  nn_tensor* recurrent_weights, nn_tensor* recurrent_bias,
                  nn_gru_context* context);


/* ---- Operators: convolution -------------------------------------------- */

/* 2-D convolution of an NHWC input [N, H, W, Cin] with a filter [KH, KW, Cin,
 * Cout] into the caller-shaped output [N, OH, OW, Cout]; bias is Cout values
 * (FLOAT32, or INT32 accumulator units for quantised operands) or NULL.
 * strides and dilations have four entries (only H and W are used), padding
 * eight (a head/tail pair per dimension).  The cache tensor is scratch memory
 * for the tiled GEMM and the depthwise accumulators; without one the direct
 * variant runs.  In nn_conv groups 0 or groups = Cout (not 1) selects the
 * depthwise convolution (filter [KH, KW, 1, CH]); in nn_conv_ex only the
 * latter.  The output's time field receives the call's duration. */
NN_API int nn_conv(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                   nn_tensor* bias, const int32_t strides[4], int32_t groups, int32_t activation);
NN_API int nn_conv_ex(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                      nn_tensor* bias, const int32_t strides[4], const int32_t padding[8],
                      const int32_t dilations[4], int32_t groups, int32_t activation);
/* Transposed convolution; the cache is not used and only activations 1-3 are
 * applied. */
NN_API int nn_transpose_conv2d_ex(nn_tensor* output, nn_tensor* cache, nn_tensor* input,
                                  nn_tensor* filter, nn_tensor* bias, const int32_t strides[4],
                                  const int32_t padding[8], int32_t activation);


/* ---- Operators: dense, linear, matrix multiply ------------------------- */

/* Fully connected layer: output [M, N] = input [M, K] · weights [K, N] + bias
 * (N values or NULL), then the activation.  FLOAT32, or quantised: INT8/UINT8
 * input and weights, an INT32 bias, and an INT8, UINT8, INT16, UINT16, INT32
 * or UINT32 output, with the weights' "filter_multiplier", "filter_shifts"
 * and "aux_accum_cache" auxiliary objects when present. */
NN_API int nn_dense(nn_tensor* output, nn_tensor* input, nn_tensor* weights, nn_tensor* bias,
                    int activation);
/* FLOAT32 fully connected layer with weights [N, K], one row per output. */
NN_API int nn_linear(nn_tensor* output, nn_tensor* input, nn_tensor* weights, nn_tensor* bias,
                     int activation);
/* FLOAT32 product output [M, N] = op(a) · op(b); a non-zero flag means the
 * operand is stored transposed (a as [K, M], b as [N, K]). */
NN_API int nn_matmul(nn_tensor* output, nn_tensor* a, nn_tensor* b, uint8_t transpose_a,
                     uint8_t transpose_b);
/* nn_matmul with b staged (transposed) in the cache tensor when it fits. */
NN_API int nn_matmul_cache(nn_tensor* output, nn_tensor* cache, nn_tensor* a, nn_tensor* b,
                           uint8_t transpose_a, uint8_t transpose_b);


/* ---- Detection post-processing and SVM --------------------------------- */

/* SSD score selection.  scores are FLOAT32 [1, NB, NC, 1] (nn_ssd_sort_scores,
 * nn_ssd_sort_scoresv0) or [1, NB, NC] (nn_ssd_sort_scoresv2); class_ids INT32
 * [1, M] name the class columns to process in order; thresholds FLOAT32 [M];
 * max_k INT32 (first element) is the number of best boxes examined per class.
 * Row j of indices (INT32 [M, NB]) receives the boxes whose score is strictly
 * above thresholds[j], best first (equal scores: higher box index first), and
 * counts[j] (INT32 [M]) their number; nn_ssd_sort_scoresv0 also writes the
 * selected scores at row j of selected_scores (FLOAT32 [M, NB]).  The cache
 * holds the (score, index) pairs: at least 8 * NB bytes, else 4.  Other
 * results: 6 missing tensor or class id outside [0, NC), 7 wrong element
 * type, 9 an array too small for what is written, 14 a tensor not mappable. */
NN_API int nn_ssd_sort_scores(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                              nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                              nn_tensor* counts);
NN_API int nn_ssd_sort_scoresv0(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                                nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                                nn_tensor* counts, nn_tensor* selected_scores);
NN_API int nn_ssd_sort_scoresv2(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                                nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                                nn_tensor* counts);
/* The same selection on plain arrays for every class c < nc: scores hold nc
 * values per box (b * nc + c); boxes hold nc * nb boxes of 4 floats, of which
 * the first nb are the input.  The scratch (24 * nb bytes: the pairs, then a
 * copy of the input boxes) is filled first, the first nb boxes are cleared,
 * then class c's selected scores and boxes go to position c * nb + count and
 * counts[c] is set.  Returns 0 (6 for a NULL array or a negative size). */
NN_API int nn_ssd_sort_scores_bbx(const float* scores, float* boxes, void* scratch, int32_t k,
                                  int32_t nb, int32_t nc, int32_t* counts,
                                  float* selected_scores, float threshold);
/* Decodes the selected boxes of each class row c of counts (INT32 [M]) and
 * indices (INT32 [M, NB]) from encodings (FLOAT32 [1, NB, 1, 4], ty tx th tw)
 * against anchors (FLOAT32 [NB, 4], ymin xmin ymax xmax) into row c of decoded
 * (FLOAT32 [M, NB, 4], ymin xmin ymax xmax).  Indices outside [0, NB) are
 * skipped.  The cache needs 80 * NB bytes (4 when short).  1 for a count
 * below 0 or above NB. */
NN_API int nn_ssd_decode_bounding_box(nn_tensor* encodings, nn_tensor* anchors, nn_tensor* cache,
                                      nn_tensor* indices, nn_tensor* counts, nn_tensor* decoded);

/* Greedy per-class non-maximum suppression.  Row c of counts (INT32 [NCLS])
 * gives the number of candidates of class c, best first; each kept box is
 * appended to row c of out_boxes (FLOAT32 [NCLS, NB, 4]) and out_counts[c]
 * receives their number.  A candidate is dropped when its IoU with a kept box
 * is at least the IoU threshold (iou: FLOAT32, first element).  The cache
 * needs 40 * NB bytes (4 when short); a count below 0 or above NB gives 1.
 *   nn_ssd_nms_standard    boxes [NCLS, NB, 4]; corners scaled by image's
 *                          shape[1]; areas and overlaps with +1
 *   nn_ssd_nms_standardv2  candidate k of class c is boxes[0][indices[c][k]]
 *                          (boxes [1, NB, 4], indices INT32 [NCLS, NB], indices
 *                          outside [0, NB) skipped); scaled as above; output
 *                          corners reordered to (b1, b0, b3, b2)
 *   nn_ssd_nms_standardv3  boxes [NCLS, NB, 4] in their own units, +0.001;
 *                          the last class row is neither processed nor counted */
NN_API int nn_ssd_nms_standard(nn_tensor* boxes, nn_tensor* counts, nn_tensor* iou,
                               nn_tensor* image, nn_tensor* cache, nn_tensor* out_boxes,
                               nn_tensor* out_counts);
NN_API int nn_ssd_nms_standardv2(nn_tensor* boxes, nn_tensor* indices, nn_tensor* counts,
                                 nn_tensor* iou, nn_tensor* image, nn_tensor* cache,
                                 nn_tensor* out_boxes, nn_tensor* out_counts);
NN_API int nn_ssd_nms_standardv3(nn_tensor* boxes, nn_tensor* counts, nn_tensor* iou,
                                 nn_tensor* cache, nn_tensor* out_boxes, nn_tensor* out_counts);

/* Selection, decoding and suppression in one call.  Their working arrays are
 * kept on `out` (named auxiliary objects, freed with it); the class list
 * (1 .. NC-1, then 0), score threshold (0.1 when not above 0), IoU threshold
 * (0.75 when not above 0) and max K (50 when below 1) are fixed by the first
 * call on that output.  A later call whose NC or NB differs from the first
 * gives 8; failed allocations give 3 and keep nothing.  `unused` is ignored
 * and may be NULL.
 *   nn_ssd_nms_full  boxes [1, NB, 4], scores [1, NB, NC]; suppression over
 *                    the selected indices, scaled by image's shape[1]
 *   nn_nms           boxes [NC, NB, 4], scores [1, NB, NC]: only the counts of
 *                    the selection reach the suppression, which takes the first
 *                    counts[j] boxes of row j, so row j of boxes must already
 *                    hold the boxes of class-list entry j in selection order
 *   nn_ssd_decode_nms_standard_bbx  scores [1, NB, NC, 1], encodings and
 *                    anchors as for nn_ssd_decode_bounding_box
 *   nn_ssd_decode_nms_variance_bbx  raw [1, NB, NC + 4] (NC logits, four
 *                    offsets), anchors [NB, 4] (centre y x, size y x),
 *                    variances 0.1 and 0.2; score threshold and max K used as
 *                    given; row c of out is class column c, column 0 is the
 *                    background and is never reported (out_counts[0] = 0) */
NN_API int nn_ssd_nms_full(nn_tensor* image, nn_tensor* boxes, nn_tensor* scores,
                           nn_tensor* unused, int32_t max_k, nn_tensor* out,
                           nn_tensor* out_counts, float score_threshold, float iou_threshold);
NN_API int nn_nms(nn_tensor* boxes, nn_tensor* scores, nn_tensor* unused, int32_t max_k,
                  nn_tensor* out, nn_tensor* out_counts, float score_threshold,
                  float iou_threshold);
NN_API int nn_ssd_decode_nms_standard_bbx(nn_tensor* scores, nn_tensor* encodings,
                                          nn_tensor* anchors, nn_tensor* cache, int32_t max_k,
                                          nn_tensor* out, nn_tensor* out_counts,
                                          float score_threshold, float iou_threshold);
NN_API int nn_ssd_decode_nms_variance_bbx(nn_tensor* raw, nn_tensor* anchors, nn_tensor* cache,
                                          int32_t max_k, nn_tensor* out, nn_tensor* out_counts,
                                          float score_threshold, float iou_threshold);

/* CenterNet decoding: heatmap FLOAT32 [N, H, W, C]; offsets and sizes hold 2
 * floats per grid cell of each image (x then y; width then height, in grid
 * units).  A cell equal to the maximum of its 3x3 neighbourhood is a peak;
 * the best min(H * W * C, 50) positive peaks of each image become rows
 * [x1, y1, x2, y2, score, class] of output (6 floats per row, numbered across
 * the batch, on a grid 4 times finer); rows that do not fit the output and
 * rows after the last detection are not written.  The cache receives the
 * pooled heatmap, then the (score, index) pairs from byte max(16 M,
 * 4 N M), M = H * W * C: 24 M bytes for one image (4 when short). */
NN_API int nn_decode_centernet(nn_tensor* heatmap, nn_tensor* offsets, nn_tensor* sizes,
                               nn_tensor* cache, nn_tensor* output);

/* Multi-class linear SVM with k classes, L support vectors of D features and
 * P = k (k - 1) / 2 class pairs (0,1), (0,2) ... (k-2,k-1); all FLOAT32.
 *   nn_svm_update_kernel   output [k, L]: row c holds x . sv_l at class c's
 *                          columns and 0 elsewhere; input0 x [1, D], input1
 *                          support vectors [L, D], input2 per-class counts [k]
 *                          (whole numbers; negative or summing above L: 6);
 *                          cache of L floats (4 when short)
 *   nn_svm_decision_stats  output [P] decision values; input0 kernel values
 *                          [k, L], input1 coefficients [k - 1, L], input2
 *                          intercepts [P]; cache of one float (4 when empty)
 *   nn_svm_soft_probability  output [k] probabilities from input0 decision
 *                          values [P] and Platt's A (input1) and B (input2),
 *                          by pairwise coupling; cache of 12 k k bytes (4 when
 *                          short); 1 when the coupling does not converge
 * Extents that do not match k, L, D and P give 9. */
NN_API int nn_svm_update_kernel(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                                nn_tensor* input1, nn_tensor* input2);
NN_API int nn_svm_decision_stats(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                                 nn_tensor* input1, nn_tensor* input2);
NN_API int nn_svm_soft_probability(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                                   nn_tensor* input1, nn_tensor* input2);


#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_NN_H */
