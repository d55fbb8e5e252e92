/* Helpers shared by the detection post-processing and SVM operators. */
#ifndef KESTRUNE_POSTPROC_INTERNAL_H
#define KESTRUNE_POSTPROC_INTERNAL_H

#include <stdint.h>

#include "kestrune/nn.h"
#include "core/scoped.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A (score, box index) pair as sorted in a cache: 8 bytes. */
typedef struct nn_score_pair {
    float score;
    int32_t index;
} nn_score_pair;

/* qsort comparator of two nn_score_pair: ascending score, NaN below every
 * number, equal scores by ascending index, so reading the sorted pairs from
 * the end gives the best score first and, among equals, the higher index. */
int compare_scores(const void* a, const void* b);

/* Decodes nb boxes of raw (nc class logits then four offsets per box) against
 * anchors (centre 0, centre 1, size 0, size 1): class columns 1 .. nc-1 are
 * copied to scores (b * nc + c; column 0 is left as it is), the sigmoid is
 * applied in place to all nb * nc scores and the boxes are written as
 * (c0 - s0/2, c1 - s1/2, c0 + s0/2, c1 + s1/2). */
void decode_variance_bbx(const float* raw, const float* anchors, int32_t nb, int32_t nc,
                         float* boxes, float* scores, float centre_variance, float size_variance);

/* Suppression with its variant's parameters (see nms.cpp). */
typedef struct nn_nms_variant {
    int gather;    /* candidates through the selected indices */
    int scaled;    /* corners multiplied by the image's shape[1] */
    int reorder;   /* corners stored as (b1, b0, b3, b2) */
    float e;       /* added to widths and heights */
    int skip_last; /* the last class row is neither processed nor counted */
} nn_nms_variant;

extern const nn_nms_variant nms_v3_all_rows;

int nms_run(const nn_nms_variant* v, nn_tensor* boxes, nn_tensor* indices, nn_tensor* counts,
               nn_tensor* iou, nn_tensor* image, nn_tensor* cache, nn_tensor* out_boxes,
               nn_tensor* out_counts);

/* Mappings taken by one operator call, all given back when the set ends (or
 * earlier by unmap_all). */
struct nn_pp_maps {
    nn_tensor* tensors[16];
    int count = 0;

    nn_pp_maps() = default;
    nn_pp_maps(const nn_pp_maps&) = delete;
    nn_pp_maps& operator=(const nn_pp_maps&) = delete;
    ~nn_pp_maps() { unmap_all(); }

    void unmap_all() noexcept
    {
        while (count > 0)
            nn_tensor_unmap(tensors[--count]);
    }
};

inline const void* nn_pp_mapro(nn_pp_maps* m, nn_tensor* t)
{
    const void* p = m->count < 16 ? nn_tensor_mapro(t) : NULL;
    if (p)
        m->tensors[m->count++] = t;
    return p;
}

inline void* nn_pp_maprw(nn_pp_maps* m, nn_tensor* t)
{
    void* p = m->count < 16 ? nn_tensor_maprw(t) : NULL;
    if (p)
        m->tensors[m->count++] = t;
    return p;
}

inline void nn_pp_unmap_all(nn_pp_maps* m) { m->unmap_all(); }

/* Elements of a tensor (0 for NULL). */
static inline int64_t nn_pp_volume(const nn_tensor* t) { return t ? nn_tensor_volume(t) : 0; }

#ifdef __cplusplus
}
#endif

#endif
