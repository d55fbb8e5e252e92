/*
 * Compute-engine plug-in interface.
 *
 * An engine is a 1024-byte record whose first 32 pointer-sized entries are
 * slots.  A plug-in library exports
 *
 *     int nn_engine_plugin_init(nn_engine* engine);
 *
 * with C linkage; it fills `name` and `version` and the operation slots it
 * implements and returns 0.  Slots it leaves NULL send the operation to the
 * runtime's CPU path.  The runtime uses a slot only when every tensor the
 * operation compares belongs to the same engine; for copy, concat, binary and
 * unary operations a slot answering NN_ERROR_NOT_IMPLEMENTED (5) also falls
 * back to the CPU.  The rest of the record after the slots is the plug-in's.
 */
#ifndef KESTRUNE_NN_ENGINE_PLUGIN_H
#define KESTRUNE_NN_ENGINE_PLUGIN_H

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*nn_engine_init_fn)(nn_engine* engine);
typedef void (*nn_engine_fini_fn)(nn_engine* engine);
typedef nn_tensor* (*nn_engine_tensor_init_fn)(nn_tensor* tensor, nn_engine* engine);
typedef void (*nn_engine_tensor_release_fn)(nn_tensor* tensor);
typedef int (*nn_engine_sync_fn)(nn_tensor* tensor);
typedef int (*nn_engine_assign_fn)(nn_tensor* tensor, nn_type type, const int32_t* shape, int dims,
                                   void* data);
typedef int (*nn_engine_alloc_fn)(nn_tensor* tensor, nn_type type, const int32_t* shape, int dims);
typedef int (*nn_engine_view_fn)(nn_tensor* tensor, nn_type type, const int32_t* shape, int dims,
                                 nn_tensor* parent, int offset);
typedef void* (*nn_engine_map_fn)(nn_tensor* tensor);
typedef void (*nn_engine_unmap_fn)(nn_tensor* tensor, const void* mapped);
typedef int (*nn_engine_compare_fn)(nn_tensor* a, nn_tensor* b, double tolerance);
typedef int (*nn_engine_fill_fn)(nn_tensor* tensor, double value);
typedef int (*nn_engine_copy_fn)(nn_tensor* dst, nn_tensor* src);
typedef int (*nn_engine_pad_fn)(nn_tensor* dst, nn_tensor* src, const int32_t* head,
                                const int32_t* tail, double value);
typedef int (*nn_engine_concat_fn)(nn_tensor* dst, nn_tensor** inputs, int count, int axis);
typedef int (*nn_engine_slice_fn)(nn_tensor* dst, nn_tensor* src, int count, const int32_t* axes,
                                  const int32_t* begins, const int32_t* ends);
typedef int (*nn_engine_shuffle_fn)(nn_tensor* dst, nn_tensor* src, int dims,
                                    const int32_t* order);
typedef int (*nn_engine_pool_fn)(nn_tensor* output, nn_tensor* input, const int32_t* window,
                                 const int32_t* strides, const int32_t* padding);
typedef int (*nn_engine_conv_fn)(nn_tensor* output, nn_tensor* cache, nn_tensor* input,
                                 nn_tensor* filter, nn_tensor* bias, const int32_t* strides,
                                 const int32_t* padding, int groups, int activation);
typedef int (*nn_engine_matmul_fn)(nn_tensor* output, nn_tensor* a, nn_tensor* b, bool transpose_a,
                                   bool transpose_b);
typedef int (*nn_engine_dense_fn)(nn_tensor* output, nn_tensor* input, nn_tensor* weights,
                                  nn_tensor* bias, int activation);
typedef int (*nn_engine_binary_fn)(nn_tensor* output, nn_tensor* a, nn_tensor* b, int operation);
typedef int (*nn_engine_unary_fn)(nn_tensor* output, nn_tensor* input, int kind);

/* Operation codes of the binary slot and kinds of the unary slot. */
enum { NN_BINARY_ADD = 0, NN_BINARY_SUBTRACT = 1, NN_BINARY_MULTIPLY = 2, NN_BINARY_DIVIDE = 3 };
enum { NN_UNARY_SQRT = 6 };

struct nn_engine {
    const char* name;                            /*  0 */
    const char* version;                         /*  1 */
    void* handle;                                /*  2 */
    void* reserved3;                             /*  3 */
    nn_engine_init_fn init;                      /*  4 */
    nn_engine_fini_fn fini;                      /*  5 */
    nn_engine_tensor_init_fn tensor_init;        /*  6 */
    nn_engine_tensor_release_fn tensor_release;  /*  7 */
    nn_engine_sync_fn sync;                      /*  8 */
    nn_engine_assign_fn assign;                  /*  9 */
    nn_engine_alloc_fn alloc;                    /* 10 */
    nn_engine_view_fn view;                      /* 11 */
    nn_engine_map_fn mapro;                      /* 12 */
    nn_engine_map_fn maprw;                      /* 13 */
    nn_engine_map_fn mapwo;                      /* 14 */
    nn_engine_unmap_fn unmap;                    /* 15 */
    nn_engine_compare_fn compare;                /* 16 */
    nn_engine_fill_fn fill;                      /* 17 */
    void* reserved18;                            /* 18 */
    nn_engine_copy_fn copy;                      /* 19 */
    nn_engine_pad_fn pad;                        /* 20 */
    nn_engine_concat_fn concat;                  /* 21 */
    nn_engine_slice_fn slice;                    /* 22 */
    nn_engine_shuffle_fn shuffle;                /* 23 */
    nn_engine_pool_fn avgpool;                   /* 24 */
    nn_engine_pool_fn maxpool;                   /* 25 */
    nn_engine_conv_fn conv;                      /* 26 */
    nn_engine_matmul_fn matmul;                  /* 27 */
    nn_engine_dense_fn dense;                    /* 28 */
    nn_engine_dense_fn linear;                   /* 29 */
    nn_engine_binary_fn binary;                  /* 30 */
    nn_engine_unary_fn unary;                    /* 31 */
    unsigned char plugin_private[1024 - 32 * sizeof(void*)];
};

#define NN_ENGINE_SLOT_COUNT 32
#define NN_ENGINE_RECORD_SIZE 1024

#ifdef __cplusplus
static_assert(sizeof(struct nn_engine) == NN_ENGINE_RECORD_SIZE, "engine record is 1024 bytes");
static_assert(offsetof(struct nn_engine, unary) == 31 * sizeof(void*), "unary is slot 31");
#else
_Static_assert(sizeof(struct nn_engine) == NN_ENGINE_RECORD_SIZE, "engine record is 1024 bytes");
_Static_assert(offsetof(struct nn_engine, unary) == 31 * sizeof(void*), "unary is slot 31");
#endif

/* The plug-in's entry point, looked up by nn_engine_load: fill slots 0 and 1
 * and the operation slots the engine implements, return 0 on success.  Any
 * other status is handed to the caller of nn_engine_load with the library
 * still loaded.  The fini slot, when set, runs at nn_engine_unload before the
 * library is closed; the runtime then clears every slot.  The declaration
 * carries default visibility so that a plug-in built with hidden visibility
 * still exports it. */
#if defined(__GNUC__)
#define NN_ENGINE_PLUGIN_API __attribute__((visibility("default")))
#else
#define NN_ENGINE_PLUGIN_API
#endif
NN_ENGINE_PLUGIN_API int nn_engine_plugin_init(nn_engine* engine);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_NN_ENGINE_PLUGIN_H */
