/* CenterNet decoding: peaks of the class heatmap (cells equal to their 3x3
 * maximum) become [x1, y1, x2, y2, score, class] rows. */
#include <stdlib.h>

#include "postproc/postproc_internal.h"

#define CENTERNET_MAX_DETECTIONS 50
#define CENTERNET_SCALE 4.0

NN_API int nn_decode_centernet(nn_tensor* heatmap, nn_tensor* offsets, nn_tensor* sizes,
                               nn_tensor* cache, nn_tensor* output)
{
    if (!heatmap || !offsets || !sizes || !cache || !output)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(heatmap) != NN_TYPE_F32 || nn_tensor_type(offsets) != NN_TYPE_F32 ||
        nn_tensor_type(sizes) != NN_TYPE_F32 || nn_tensor_type(output) != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    if (nn_tensor_dims(heatmap) != 4)
        return NN_ERROR_INVALID_SHAPE;
    const int32_t* shape = nn_tensor_shape(heatmap);
    int64_t n_images = shape[0], h = shape[1], w = shape[2], c = shape[3];
    int64_t cells = h * w, m = cells * c;
    if (nn_pp_volume(offsets) < n_images * cells * 2 || nn_pp_volume(sizes) < n_images * cells * 2)
        return NN_ERROR_INVALID_SHAPE;
    if (m == 0 || n_images == 0)
        return NN_SUCCESS;
    /* The pooled copy from the start, the pairs from byte 16 * M or, for more
     * than four images, right behind the pooled copy. */
    uint64_t pooled_bytes = (uint64_t)(n_images * m) * sizeof(float);
    uint64_t pairs_at = pooled_bytes > (uint64_t)m * 16 ? pooled_bytes : (uint64_t)m * 16;
    if (pairs_at + (uint64_t)m * sizeof(nn_score_pair) > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;

    kestrune::UniqueTensor pooled_owner(nn_tensor_init(NULL, nn_tensor_engine(heatmap)));
    nn_tensor* pooled = pooled_owner.get();
    if (!pooled)
        return NN_ERROR_OUT_OF_MEMORY;
    static const int32_t ksize[4] = {0, 3, 3, 0};
    static const int32_t strides[4] = {1, 1, 1, 1};
    static const int32_t padding[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    int status = nn_tensor_view(pooled, NN_TYPE_F32, 4, shape, cache, 0);
    if (status == NN_SUCCESS)
        status = nn_maxpool_ex(pooled, heatmap, ksize, strides, padding);
    if (status != NN_SUCCESS)
        return status;

    nn_pp_maps maps;
    float* rows = (float*)nn_pp_maprw(&maps, output);
    float* peak = (float*)nn_pp_maprw(&maps, pooled);
    uint8_t* scratch = (uint8_t*)nn_pp_maprw(&maps, cache);
    const float* heat = (const float*)nn_pp_mapro(&maps, heatmap);
    const float* off = (const float*)nn_pp_mapro(&maps, offsets);
    const float* size = (const float*)nn_pp_mapro(&maps, sizes);
    if (!rows || !peak || !scratch || !heat || !off || !size)
        return NN_ERROR_TENSOR_NO_DATA;

    nn_score_pair* pairs = (nn_score_pair*)(scratch + pairs_at);
    int64_t room = nn_pp_volume(output) / 6;
    int64_t best = m < CENTERNET_MAX_DETECTIONS ? m : CENTERNET_MAX_DETECTIONS;
    int64_t r = 0;
    for (int64_t n = 0; n < n_images; ++n) {
        const float* x_in = heat + n * m;
        float* p_in = peak + n * m;
        for (int64_t i = 0; i < m; ++i) {
            /* Not a peak: cleared in the pooled copy; the heatmap stays. */
            if (x_in[i] != p_in[i]) {
                p_in[i] = 0;
                pairs[i].score = 0.0f;
            } else {
                pairs[i].score = x_in[i];
            }
            pairs[i].index = (int32_t)i;
        }
        qsort(pairs, (size_t)m, sizeof *pairs, compare_scores);
        const float* img_off = off + n * cells * 2;
        const float* img_size = size + n * cells * 2;
        for (int64_t t = 0; t < best; ++t) {
            const nn_score_pair* pair = &pairs[m - 1 - t];
            if (!(pair->score > 0))
                continue;
            if (r >= room) {  /* no row left in the output */
                ++r;
                continue;
            }
            int64_t i = pair->index, cls = i % c, p = i / c, y = p / w, x = p % w;
            float cx = (float)x + img_off[2 * p], cy = (float)y + img_off[2 * p + 1];
            double hw = img_size[2 * p] * 0.5, hh = img_size[2 * p + 1] * 0.5;
            float* row = rows + r * 6;
            row[0] = (float)((cx - hw) * CENTERNET_SCALE);
            row[1] = (float)((cy - hh) * CENTERNET_SCALE);
            row[2] = (float)((cx + hw) * CENTERNET_SCALE);
            row[3] = (float)((cy + hh) * CENTERNET_SCALE);
            row[4] = pair->score;
            row[5] = (float)cls;
            ++r;
        }
    }

    return status;
}
