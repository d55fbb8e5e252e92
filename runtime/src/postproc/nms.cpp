/* Greedy per-class non-maximum suppression in its three variants. */
#include <string.h>

#include "postproc/postproc_internal.h"

static const nn_nms_variant v1 = {0, 1, 0, 1.0f, 0};
static const nn_nms_variant v2 = {1, 1, 1, 1.0f, 0};
static const nn_nms_variant v3 = {0, 0, 0, 0.001f, 1};
const nn_nms_variant nms_v3_all_rows = {0, 0, 0, 0.001f, 0};

/* Corners are kept as p0..p3 with p0, p2 on one axis and p1, p3 on the other;
 * area and overlap do not depend on which axis is which. */
static float overlap(const float* a, const float* b, float e)
{
    float w = (a[2] < b[2] ? a[2] : b[2]) - (a[0] > b[0] ? a[0] : b[0]) + e;
    float h = (a[3] < b[3] ? a[3] : b[3]) - (a[1] > b[1] ? a[1] : b[1]) + e;
    return (w > 0 ? w : 0) * (h > 0 ? h : 0);
}

/* Suppresses the n candidates of one class (best first) and appends the kept
 * boxes to out; returns their number.  The best remaining candidate is taken
 * out before the others are tested against it, so every pass removes at least
 * one candidate and at most n boxes are appended, whatever the threshold or
 * the boxes' orientation. */
static int32_t suppress(float* cand, float* spare, float* area, int32_t* keep, int32_t n,
                        float iou_threshold, float e, float* out)
{
    int32_t appended = 0;
    for (int32_t i = 0; i < n; ++i)
        keep[i] = i;
    while (n > 0) {
        /* Compact through the survivor list (indices ascending). */
        for (int32_t j = 0; j < n; ++j) {
            memcpy(spare + (size_t)j * 4, cand + (size_t)keep[j] * 4, 4 * sizeof(float));
            area[j] = area[keep[j]];
        }
        float* swap = cand;
        cand = spare;
        spare = swap;

        const float* best = cand;
        memcpy(out + (size_t)appended * 4, best, 4 * sizeof(float));
        ++appended;
        int32_t survivors = 0;
        for (int32_t j = 1; j < n; ++j) {
            float inter = overlap(best, cand + (size_t)j * 4, e);
            float iou = inter / (area[0] + area[j] - inter);
            if (iou_threshold > iou)
                keep[survivors++] = j;
        }
        n = survivors;
    }
    return appended;
}

int nms_run(const nn_nms_variant* v, nn_tensor* boxes, nn_tensor* indices, nn_tensor* counts,
               nn_tensor* iou, nn_tensor* image, nn_tensor* cache, nn_tensor* out_boxes,
               nn_tensor* out_counts)
{
    if (!boxes || !counts || !iou || !cache || !out_boxes || !out_counts ||
        (v->gather && !indices) || (v->scaled && !image))
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_dims(boxes) < 2 || (v->scaled && nn_tensor_dims(image) < 2))
        return NN_ERROR_INVALID_SHAPE;
    int64_t nb = nn_tensor_shape(boxes)[1];
    /* Index list, areas and two candidate arrays of NB entries each. */
    if ((uint64_t)nb * 40 > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;
    if (nn_tensor_type(boxes) != NN_TYPE_F32 || nn_tensor_type(iou) != NN_TYPE_F32 ||
        nn_tensor_type(out_boxes) != NN_TYPE_F32 || nn_tensor_type(counts) != NN_TYPE_I32 ||
        nn_tensor_type(out_counts) != NN_TYPE_I32 ||
        (v->gather && nn_tensor_type(indices) != NN_TYPE_I32))
        return NN_ERROR_TYPE_MISMATCH;
    int64_t classes = nn_pp_volume(counts);
    int64_t rows = v->skip_last ? (classes > 1 ? classes - 1 : 0) : classes;
    if (nn_pp_volume(out_counts) < rows || nn_pp_volume(iou) < 1)
        return NN_ERROR_INVALID_SHAPE;
    if (rows == 0)
        return NN_SUCCESS;

    nn_pp_maps maps;
    int status = NN_SUCCESS;
    uint8_t* scratch = (uint8_t*)nn_pp_maprw(&maps, cache);
    float* out = (float*)nn_pp_maprw(&maps, out_boxes);
    int32_t* kept = (int32_t*)nn_pp_maprw(&maps, out_counts);
    const float* in = (const float*)nn_pp_mapro(&maps, boxes);
    const int32_t* n_cand = (const int32_t*)nn_pp_mapro(&maps, counts);
    const float* threshold = (const float*)nn_pp_mapro(&maps, iou);
    const int32_t* sel = v->gather ? (const int32_t*)nn_pp_mapro(&maps, indices) : NULL;
    if (!scratch || !out || !kept || !in || !n_cand || !threshold || (v->gather && !sel))
        return NN_ERROR_TENSOR_NO_DATA;

    /* Every row's count must fit NB and every array what this row touches. */
    int64_t in_boxes = nn_pp_volume(boxes) / 4, out_room = nn_pp_volume(out_boxes) / 4;
    int64_t sel_room = v->gather ? nn_pp_volume(indices) : 0;
    for (int64_t c = 0; c < rows; ++c) {
        int64_t n = n_cand[c];
        if (n < 0 || n > nb)
            return NN_ERROR_INTERNAL;
        if (n == 0)
            continue;
        if (c * nb + n > out_room || (v->gather ? c * nb + n > sel_room : c * nb + n > in_boxes))
            return NN_ERROR_INVALID_SHAPE;
    }

    int32_t* keep = (int32_t*)scratch;
    float* area = (float*)(scratch + 4 * nb);
    float* cand = (float*)(scratch + 8 * nb);
    float* spare = cand + 4 * nb;
    float scale = v->scaled ? (float)nn_tensor_shape(image)[1] : 1.0f;
    float e = v->e;
    for (int64_t c = 0; c < rows; ++c) {
        int32_t n = 0;
        for (int64_t k = 0; k < n_cand[c]; ++k) {
            const float* src;
            if (v->gather) {
                int32_t b = sel[c * nb + k];
                if (b < 0 || b >= nb)
                    continue;
                src = in + (int64_t)b * 4;
            } else {
                src = in + (c * nb + k) * 4;
            }
            float* p = cand + (size_t)n * 4;
            if (v->reorder) {
                p[0] = src[1] * scale;
                p[1] = src[0] * scale;
                p[2] = src[3] * scale;
                p[3] = src[2] * scale;
            } else {
                for (int i = 0; i < 4; ++i)
                    p[i] = src[i] * scale;
            }
            area[n] = (p[2] - p[0] + e) * (p[3] - p[1] + e);
            ++n;
        }
        kept[c] = suppress(cand, spare, area, keep, n, threshold[0], e, out + c * nb * 4);
    }

    return status;
}

NN_API int nn_ssd_nms_standard(nn_tensor* boxes, nn_tensor* counts, nn_tensor* iou,
                               nn_tensor* image, nn_tensor* cache, nn_tensor* out_boxes,
                               nn_tensor* out_counts)
{
    return nms_run(&v1, boxes, NULL, counts, iou, image, cache, out_boxes, out_counts);
}

NN_API int nn_ssd_nms_standardv2(nn_tensor* boxes, nn_tensor* indices, nn_tensor* counts,
                                 nn_tensor* iou, nn_tensor* image, nn_tensor* cache,
                                 nn_tensor* out_boxes, nn_tensor* out_counts)
{
    return nms_run(&v2, boxes, indices, counts, iou, image, cache, out_boxes, out_counts);
}

NN_API int nn_ssd_nms_standardv3(nn_tensor* boxes, nn_tensor* counts, nn_tensor* iou,
                                 nn_tensor* cache, nn_tensor* out_boxes, nn_tensor* out_counts)
{
    return nms_run(&v3, boxes, NULL, counts, iou, NULL, cache, out_boxes, out_counts);
}
