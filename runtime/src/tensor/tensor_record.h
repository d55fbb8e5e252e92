/* The tensor record's layout: private to the runtime, public in size only. */
#ifndef KESTRUNE_TENSOR_RECORD_H
#define KESTRUNE_TENSOR_RECORD_H

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Which form the aux field holds (kept in the record's padding). */
enum { NN_AUX_NONE = 0, NN_AUX_SINGLE = 1, NN_AUX_LIST = 2 };

struct nn_tensor {
    uint64_t time;            /*   0 ns of the last CPU operation that wrote it */
    uint64_t io_time;         /*   8 written by compute engines only */
    uint32_t type;            /*  16 nn_type */
    int32_t dims;             /*  20 0..4 */
    int32_t shape[4];         /*  24 */
    int32_t strides[4];       /*  40 element strides */
    nn_engine* engine;        /*  56 */
    void* map_ptr;            /*  64 */
    uint8_t map_mode;         /*  72 nn_map_mode */
    int8_t map_count;         /*  73 nested mappings, at most 127 */
    uint8_t reserved74[6];    /*  74 */
    void* data;               /*  80 CPU buffer or the engine's native handle */
    uint8_t owns_data;        /*  88 */
    uint8_t allocated;        /*  89 record allocated by nn_tensor_init */
    uint8_t aux_form;         /*  90 NN_AUX_* */
    uint8_t reserved91[5];    /*  91 */
    void* aux;                /*  96 single object or first list node */
    nn_aux_free_fn aux_free;  /* 104 free function of the single object */
    uint32_t panel_size;      /* 112 */
    uint8_t quant_axis;       /* 116 */
    uint8_t owns_zeros;       /* 117 */
    uint8_t owns_scales;      /* 118 */
    uint8_t reserved119;      /* 119 */
    uint64_t zeros_count;     /* 120 */
    int32_t* zeros;           /* 128 */
    uint64_t scales_count;    /* 136 */
    float* scales;            /* 144 */
};

#define NN_TENSOR_RECORD_SIZE 152

#ifdef __cplusplus
static_assert(sizeof(struct nn_tensor) == NN_TENSOR_RECORD_SIZE, "tensor record is 152 bytes");
#else
_Static_assert(sizeof(struct nn_tensor) == NN_TENSOR_RECORD_SIZE, "tensor record is 152 bytes");
#endif

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_TENSOR_RECORD_H */
