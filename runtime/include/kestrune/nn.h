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

/* ---- Tensor record, shape and mapping ---------------------------------- */


/* ---- Auxiliary objects ------------------------------------------------- */


/* ---- Quantisation ------------------------------------------------------ */

/* A tensor's quantisation parameters as every quantised kernel receives them. */
typedef struct nn_quant_params {
    size_t zeros_count;
    const int32_t* zeros;
    size_t scales_count;
    const float* scales;
    size_t element_size;
    uint32_t type;
} nn_quant_params;


/* ---- Tensor shape and content operations ------------------------------- */


/* ---- Image and camera-frame input -------------------------------------- */


/* ---- Models ------------------------------------------------------------ */


/* ---- Execution context ------------------------------------------------- */


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


/* ---- Operators: pooling, reduction, resize, GRU ------------------------ */


/* ---- Operators: convolution -------------------------------------------- */


/* ---- Operators: dense, linear, matrix multiply ------------------------- */


/* ---- Detection post-processing and SVM --------------------------------- */


#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_NN_H */
