/* SSD post-processing: per-class selection of the best-scoring boxes and the
 * decoding of box regressions against anchors. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "postproc/postproc_internal.h"

int compare_scores(const void* a, const void* b)
{
    const nn_score_pair* x = (const nn_score_pair*)a;
    const nn_score_pair* y = (const nn_score_pair*)b;
    int xnan = isnan(x->score), ynan = isnan(y->score);
    if (xnan != ynan)
        return xnan ? -1 : 1;
    if (!xnan) {
        if (x->score < y->score)
            return -1;
        if (x->score > y->score)
            return 1;
    }
    return (x->index > y->index) - (x->index < y->index);
}

/* ---- Selection --------------------------------------------------------- */

static int sort_scores(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                       nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                       nn_tensor* counts, nn_tensor* selected, int with_selected)
{
    if (!scores || !cache || !class_ids || !thresholds || !max_k || !indices || !counts ||
        (with_selected && !selected))
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_dims(scores) < 3)
        return NN_ERROR_INVALID_SHAPE;
    const int32_t* shape = nn_tensor_shape(scores);
    const int32_t* strides = nn_tensor_strides(scores);
    int64_t nb = shape[1], nc = shape[2];
    if ((uint64_t)nb * sizeof(nn_score_pair) > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;
    if (nn_tensor_type(scores) != NN_TYPE_F32 || nn_tensor_type(thresholds) != NN_TYPE_F32 ||
        nn_tensor_type(class_ids) != NN_TYPE_I32 || nn_tensor_type(max_k) != NN_TYPE_I32 ||
        nn_tensor_type(indices) != NN_TYPE_I32 || nn_tensor_type(counts) != NN_TYPE_I32 ||
        (with_selected && nn_tensor_type(selected) != NN_TYPE_F32))
        return NN_ERROR_TYPE_MISMATCH;
    int64_t m = nn_pp_volume(class_ids);
    if (nn_pp_volume(thresholds) < m || nn_pp_volume(counts) < m || nn_pp_volume(max_k) < 1)
        return NN_ERROR_INVALID_SHAPE;
    if (m == 0)
        return NN_SUCCESS;

    nn_pp_maps maps;
    int status = NN_SUCCESS;
    nn_score_pair* pairs = (nn_score_pair*)nn_pp_maprw(&maps, cache);
    int32_t* out_indices = (int32_t*)nn_pp_maprw(&maps, indices);
    int32_t* out_counts = (int32_t*)nn_pp_maprw(&maps, counts);
    float* out_scores = with_selected ? (float*)nn_pp_maprw(&maps, selected) : NULL;
    const float* in_scores = (const float*)nn_pp_mapro(&maps, scores);
    const int32_t* ids = (const int32_t*)nn_pp_mapro(&maps, class_ids);
    const float* thr = (const float*)nn_pp_mapro(&maps, thresholds);
    const int32_t* k_value = (const int32_t*)nn_pp_mapro(&maps, max_k);
    if (!pairs || !out_indices || !out_counts || (with_selected && !out_scores) || !in_scores ||
        !ids || !thr || !k_value)
        return NN_ERROR_TENSOR_NO_DATA;

    /* Rows are NB long; row j gets at most min(K, NB) entries. */
    int64_t k = k_value[0] <= 0 ? 0 : k_value[0] < nb ? k_value[0] : nb;
    int64_t need = k > 0 ? (m - 1) * nb + k : 0;
    if (nn_pp_volume(indices) < need || (with_selected && nn_pp_volume(selected) < need))
        return NN_ERROR_INVALID_SHAPE;
    for (int64_t j = 0; j < m; ++j) {
        if (ids[j] < 0 || ids[j] >= nc)
            return NN_ERROR_INVALID_PARAMETER;
    }

    for (int64_t j = 0; j < m; ++j) {
        const float* column = in_scores + (int64_t)ids[j] * strides[2];
        for (int64_t b = 0; b < nb; ++b) {
            pairs[b].score = column[b * strides[1]];
            pairs[b].index = (int32_t)b;
        }
        qsort(pairs, (size_t)nb, sizeof *pairs, compare_scores);
        int32_t count = 0;
        for (int64_t t = 0; t < k; ++t) {
            const nn_score_pair* p = &pairs[nb - 1 - t];
            if (p->score > thr[j]) {
                out_indices[j * nb + count] = p->index;
                if (out_scores)
                    out_scores[j * nb + count] = p->score;
                ++count;
            }
        }
        out_counts[j] = count;
    }

    return status;
}

NN_API int nn_ssd_sort_scores(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                              nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                              nn_tensor* counts)
{
    return sort_scores(scores, cache, class_ids, thresholds, max_k, indices, counts, NULL, 0);
}

NN_API int nn_ssd_sort_scoresv0(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                                nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                                nn_tensor* counts, nn_tensor* selected_scores)
{
    return sort_scores(scores, cache, class_ids, thresholds, max_k, indices, counts,
                       selected_scores, 1);
}

NN_API int nn_ssd_sort_scoresv2(nn_tensor* scores, nn_tensor* cache, nn_tensor* class_ids,
                                nn_tensor* thresholds, nn_tensor* max_k, nn_tensor* indices,
                                nn_tensor* counts)
{
    return sort_scores(scores, cache, class_ids, thresholds, max_k, indices, counts, NULL, 0);
}

NN_API int nn_ssd_sort_scores_bbx(const float* scores, float* boxes, void* scratch, int32_t k,
                                  int32_t nb, int32_t nc, int32_t* counts,
                                  float* selected_scores, float threshold)
{
    if (nb < 0 || nc < 0)
        return NN_ERROR_INVALID_PARAMETER;
    if (nc == 0)
        return NN_SUCCESS;
    if (!counts || (nb > 0 && (!scores || !boxes || !scratch || !selected_scores)))
        return NN_ERROR_INVALID_PARAMETER;
    size_t n = (size_t)nb;
    nn_score_pair* pairs = (nn_score_pair*)scratch;
    float* copy = (float*)(pairs + n);
    if (n) {
        memcpy(copy, boxes, n * 4 * sizeof(float));
        memset(boxes, 0, n * 4 * sizeof(float));
    }
    size_t best = k <= 0 ? 0 : (size_t)k < n ? (size_t)k : n;
    for (size_t c = 0; c < (size_t)nc; ++c) {
        for (size_t b = 0; b < n; ++b) {
            pairs[b].score = scores[b * (size_t)nc + c];
            pairs[b].index = (int32_t)b;
        }
        if (n)
            qsort(pairs, n, sizeof *pairs, compare_scores);
        int32_t count = 0;
        for (size_t t = 0; t < best; ++t) {
            const nn_score_pair* p = &pairs[n - 1 - t];
            if (p->score > threshold) {
                size_t at = c * n + (size_t)count;
                selected_scores[at] = p->score;
                memcpy(boxes + at * 4, copy + (size_t)p->index * 4, 4 * sizeof(float));
                ++count;
            }
        }
        counts[c] = count;
    }
    return NN_SUCCESS;
}

/* ---- Box decoding ------------------------------------------------------ */

NN_API int nn_ssd_decode_bounding_box(nn_tensor* encodings, nn_tensor* anchors, nn_tensor* cache,
                                      nn_tensor* indices, nn_tensor* counts, nn_tensor* decoded)
{
    if (!encodings || !anchors || !cache || !indices || !counts || !decoded)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(encodings) != NN_TYPE_F32 || nn_tensor_type(anchors) != NN_TYPE_F32 ||
        nn_tensor_type(decoded) != NN_TYPE_F32 || nn_tensor_type(indices) != NN_TYPE_I32 ||
        nn_tensor_type(counts) != NN_TYPE_I32)
        return NN_ERROR_TYPE_MISMATCH;
    if (nn_tensor_dims(encodings) < 2)
        return NN_ERROR_INVALID_SHAPE;
    int64_t nb = nn_tensor_shape(encodings)[1];
    int64_t rows = nn_pp_volume(counts);
    /* Gathered encodings from the start, gathered anchors from float 16 * NB. */
    if ((uint64_t)nb * 80 > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;
    if (nn_pp_volume(encodings) < nb * 4 || nn_pp_volume(anchors) < nb * 4 ||
        nn_pp_volume(decoded) < rows * nb * 4 || nn_pp_volume(indices) < rows * nb ||
        (rows > 0 && (rows - 1) * nb * 16 > INT32_MAX))
        return NN_ERROR_INVALID_SHAPE;
    if (rows == 0 || nb == 0)
        return NN_SUCCESS;

    kestrune::UniqueTensor view_owner;
    nn_pp_maps maps;
    int status = NN_SUCCESS;
    float* scratch = (float*)nn_pp_maprw(&maps, cache);
    const int32_t* sel = (const int32_t*)nn_pp_maprw(&maps, indices);
    const int32_t* n_sel = (const int32_t*)nn_pp_maprw(&maps, counts);
    const float* enc = (const float*)nn_pp_mapro(&maps, encodings);
    const float* anc = (const float*)nn_pp_mapro(&maps, anchors);
    if (!scratch || !sel || !n_sel || !enc || !anc)
        return NN_ERROR_TENSOR_NO_DATA;
    for (int64_t c = 0; c < rows; ++c) {
        if (n_sel[c] < 0 || n_sel[c] > nb)
            return NN_ERROR_INTERNAL;
    }
    view_owner.reset(nn_tensor_init(NULL, nn_tensor_engine(decoded)));
    nn_tensor* view = view_owner.get();
    if (!view)
        return NN_ERROR_OUT_OF_MEMORY;
    float* gathered_enc = scratch;
    float* gathered_anc = scratch + 16 * nb;
    const int32_t view_shape[3] = {1, (int32_t)nb, 4};
    for (int64_t c = 0; c < rows; ++c) {
        int64_t gathered = 0;
        for (int64_t k = 0; k < n_sel[c]; ++k) {
            int32_t b = sel[c * nb + k];
            if (b < 0 || b >= nb)
                continue;
            memcpy(gathered_enc + gathered * 4, enc + (int64_t)b * 4, 4 * sizeof(float));
            memcpy(gathered_anc + gathered * 4, anc + (int64_t)b * 4, 4 * sizeof(float));
            ++gathered;
        }
        status = nn_tensor_view(view, NN_TYPE_F32, 3, view_shape, decoded, (int)(c * nb * 16));
        if (status != NN_SUCCESS)
            return status;
        kestrune::ReadWriteMap out_map(view); /* given back before the next row's view */
        float* out = out_map.as<float>();
        if (!out)
            return NN_ERROR_TENSOR_NO_DATA;
        for (int64_t g = 0; g < gathered; ++g) {
            const float* e = gathered_enc + g * 4;
            const float* a = gathered_anc + g * 4;
            float ha = a[2] - a[0], wa = a[3] - a[1];
            float cy = (a[0] + a[2]) * 0.5f + (e[0] / 10.0f) * ha;
            float cx = (a[1] + a[3]) * 0.5f + (e[1] / 10.0f) * wa;
            float h = ha * expf(e[2] / 5.0f), w = wa * expf(e[3] / 5.0f);
            float* box = out + g * 4;
            box[0] = cy - h / 2;
            box[1] = cx - w / 2;
            box[2] = cy + h / 2;
            box[3] = cx + w / 2;
        }
    }

    return status;
}

void decode_variance_bbx(const float* raw, const float* anchors, int32_t nb, int32_t nc,
                         float* boxes, float* scores, float centre_variance, float size_variance)
{
    size_t n = nb > 0 ? (size_t)nb : 0, classes = nc > 0 ? (size_t)nc : 0;
    size_t width = classes + 4;
    for (size_t b = 0; b < n; ++b) {
        const float* row = raw + b * width;
        for (size_t c = 1; c < classes; ++c)
            scores[b * classes + c] = row[c];
    }
    for (size_t i = 0; i < n * classes; ++i)
        scores[i] = 1.0f / (1.0f + expf(-scores[i]));
    for (size_t b = 0; b < n; ++b) {
        const float* t = raw + b * width + classes;
        const float* a = anchors + b * 4;
        float c0 = a[0] + t[0] * centre_variance * a[2];
        float c1 = a[1] + t[1] * centre_variance * a[3];
        float s0 = a[2] * expf(t[2] * size_variance);
        float s1 = a[3] * expf(t[3] * size_variance);
        float* box = boxes + b * 4;
        box[0] = c0 - s0 / 2;
        box[1] = c1 - s1 / 2;
        box[2] = c0 + s0 / 2;
        box[3] = c1 + s1 / 2;
    }
}
