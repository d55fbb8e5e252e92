/* The tensor record's layout: private to the runtime, public in size only. */
#ifndef KESTRUNE_TENSOR_RECORD_H
#define KESTRUNE_TENSOR_RECORD_H

#include <stddef.h>

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

/* The layout engines and the offsets in the comments rely on. */
#ifdef __cplusplus
#define NN_RECORD_ASSERT(cond, text) static_assert(cond, text)
#else
#define NN_RECORD_ASSERT(cond, text) _Static_assert(cond, text)
#endif
NN_RECORD_ASSERT(sizeof(struct nn_tensor) == NN_TENSOR_RECORD_SIZE, "tensor record is 152 bytes");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, time) == 0, "time at 0");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, io_time) == 8, "io_time at 8");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, type) == 16, "type at 16");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, dims) == 20, "dims at 20");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, shape) == 24, "shape at 24");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, strides) == 40, "strides at 40");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, engine) == 56, "engine at 56");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, map_ptr) == 64, "map_ptr at 64");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, map_mode) == 72, "map_mode at 72");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, map_count) == 73, "map_count at 73");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, reserved74) == 74, "reserved74 at 74");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, data) == 80, "data at 80");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, owns_data) == 88, "owns_data at 88");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, allocated) == 89, "allocated at 89");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, aux_form) == 90, "aux_form at 90");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, reserved91) == 91, "reserved91 at 91");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, aux) == 96, "aux at 96");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, aux_free) == 104, "aux_free at 104");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, panel_size) == 112, "panel_size at 112");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, quant_axis) == 116, "quant_axis at 116");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, owns_zeros) == 117, "owns_zeros at 117");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, owns_scales) == 118, "owns_scales at 118");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, reserved119) == 119, "reserved119 at 119");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, zeros_count) == 120, "zeros_count at 120");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, zeros) == 128, "zeros at 128");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, scales_count) == 136, "scales_count at 136");
NN_RECORD_ASSERT(offsetof(struct nn_tensor, scales) == 144, "scales at 144");
#undef NN_RECORD_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_TENSOR_RECORD_H */
