/* Selection, decoding and suppression chained in one call, with the working
 * arrays kept on the output tensor between calls. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <iterator>

#include "resource.h"
#include "postproc/postproc_internal.h"
#include "tensor/tensor_record.h"

namespace {

constexpr int32_t scratch_floats = 0x100000;

enum state_item {
    ST_CLASS_ID,
    ST_SCORE_THRESHOLD,
    ST_IOU_THRESHOLD,
    ST_MAX_ID,
    ST_INDICES,
    ST_INDICES_LEN,
    ST_SCORE_OUT,
    ST_BBX_CANDIDATE,
    ST_SCORES_CANDIDATE,
    ST_COUNT
};

constexpr unsigned bit(int item) { return 1u << item; }
constexpr unsigned common_items = bit(ST_CLASS_ID) | bit(ST_IOU_THRESHOLD) | bit(ST_INDICES_LEN);
constexpr unsigned selection_items =
    common_items | bit(ST_SCORE_THRESHOLD) | bit(ST_MAX_ID) | bit(ST_INDICES);

static const char* const state_names[ST_COUNT] = {
    "data_class_id", "data_score_threshold", "data_iou_threshold",
    "data_max_id",   "data_indices",         "data_indices_len",
    "data_score_out", "bbx_candidate",       "scores_candidate",
};

/* Bytes of each array for nc classes and nb boxes.  The class list carries
 * one word more: the list always ends with class 0, and the word behind it
 * records NB, so a later call can tell whether the stored arrays fit. */
static size_t state_bytes(int item, size_t nc, size_t nb)
{
    switch (item) {
    case ST_CLASS_ID:
        return (nc + 1) * sizeof(int32_t);
    case ST_SCORE_THRESHOLD:
    case ST_INDICES_LEN:
        return nc * 4;
    case ST_IOU_THRESHOLD:
    case ST_MAX_ID:
        return 4;
    case ST_INDICES:
    case ST_SCORE_OUT:
    case ST_SCORES_CANDIDATE:
        return nc * nb * 4;
    default:
        return nc * nb * 16;
    }
}

typedef struct nms_state {
    void* item[ST_COUNT];
} nms_state;

/* Finds or creates the arrays in `wanted` on `out`.  Missing arrays are made
 * all at once, so a failed allocation stores nothing (3) and a later call
 * tries again; arrays made for another NC or NB give 8. */
static int state_get(nn_tensor* out, unsigned wanted, int32_t nc, int32_t nb, float score_threshold,
                     float iou_threshold, int32_t max_k, nms_state* st)
{
    memset(st, 0, sizeof *st);
    for (int i = 0; i < ST_COUNT; ++i)
        st->item[i] = nn_tensor_aux_object_by_name(out, state_names[i]);
    const int32_t* classes = (const int32_t*)st->item[ST_CLASS_ID];
    if (classes) {
        int32_t stored_nc = 1;
        while (classes[stored_nc - 1] != 0)
            ++stored_nc;
        if (stored_nc != nc || classes[stored_nc] != nb)
            return NN_ERROR_SHAPE_MISMATCH;
    }
    wanted |= bit(ST_CLASS_ID);

    /* Until stored on `out`, the new arrays are freed on every return. */
    std::array<platform::unique_malloc<void>, ST_COUNT> made;
    for (int i = 0; i < ST_COUNT; ++i) {
        if (!(wanted & bit(i)) || st->item[i])
            continue;
        size_t bytes = state_bytes(i, static_cast<size_t>(nc), static_cast<size_t>(nb));
        made[i].reset(calloc(bytes ? bytes : 1, 1));
        if (!made[i])
            return NN_ERROR_OUT_OF_MEMORY;
    }
    if (made[ST_CLASS_ID]) {
        int32_t* list = static_cast<int32_t*>(made[ST_CLASS_ID].get());
        for (int32_t c = 0; c + 1 < nc; ++c)
            list[c] = c + 1;
        list[nc - 1] = 0;
        list[nc] = nb;
    }
    if (made[ST_SCORE_THRESHOLD]) {
        float* thr = static_cast<float*>(made[ST_SCORE_THRESHOLD].get());
        for (int32_t c = 0; c < nc; ++c)
            thr[c] = score_threshold > 0 ? score_threshold : 0.1f;
    }
    if (made[ST_IOU_THRESHOLD]) {
        float* iou = static_cast<float*>(made[ST_IOU_THRESHOLD].get());
        *iou = iou_threshold > 0 ? iou_threshold : 0.75f;
    }
    if (made[ST_MAX_ID])
        *static_cast<int32_t*>(made[ST_MAX_ID].get()) = max_k < 1 ? 50 : max_k;

    /* The class list goes first: without it nothing else is trusted later.
     * An array the tensor did not take stays ours (and is freed). */
    for (int i = 0; i < ST_COUNT; ++i) {
        void* array = made[i].get();
        if (!array)
            continue;
        nn_tensor_set_aux_object_by_name(out, state_names[i], array, free_aux_buffer, true, false);
        if (nn_tensor_aux_object_by_name(out, state_names[i]) != array)
            return NN_ERROR_OUT_OF_MEMORY;
        made[i].release();
        st->item[i] = array;
    }
    return NN_SUCCESS;
}

/* A tensor assigned over a state array for the length of one call. */
static nn_tensor* wrap(nn_tensor* record, nn_type type, int dims, const int32_t* shape, void* data,
                       const char* failure)
{
    nn_tensor* t = nn_tensor_init(record, NULL);
    int status = nn_tensor_assign(t, type, dims, shape, data);
    if (status != NN_SUCCESS && failure)
        fprintf(stderr, failure, nn_strerror(status));
    return t;
}

/* Tensors assigned over the state arrays for the length of one call, one
 * per item up to ST_BBX_CANDIDATE (NULL where the array is absent). */
class wrapped {
public:
    wrapped(const nms_state& st, int32_t nc, int32_t nb);
    wrapped(const wrapped&) = delete;
    wrapped& operator=(const wrapped&) = delete;
    ~wrapped()
    {
        for (nn_tensor& r : records_)
            nn_tensor_release(&r);
    }
    nn_tensor* operator[](state_item item) const { return tensors_[item]; }

private:
    static constexpr int count = ST_BBX_CANDIDATE + 1;
    nn_tensor records_[count] = {};
    nn_tensor* tensors_[count] = {};
};

enum class layout : uint8_t { row, one, grid, column, boxes };

struct wrap_spec {
    nn_type type;
    layout shape;
    const char* failure; /* NULL: a failed assignment says nothing */
};

constexpr wrap_spec wrap_specs[] = {
    {NN_TYPE_I32, layout::row, "failed to assign class_id tensor: %s\n"},
    {NN_TYPE_F32, layout::row, "failed to assign score_threshold tensor: %s\n"},
    {NN_TYPE_F32, layout::one, "failed to assign score_threshold tensor: %s\n"},
    {NN_TYPE_I32, layout::one, nullptr},
    {NN_TYPE_I32, layout::grid, "failed to assign indices tensor: %s\n"},
    {NN_TYPE_I32, layout::column, "failed to assign indices_len tensor: %s\n"},
    {NN_TYPE_F32, layout::grid, "failed to assign score_out tensor: %s\n"},
    {NN_TYPE_F32, layout::boxes, "failed to assign bbx_candidates tensor: %s\n"},
};
static_assert(std::size(wrap_specs) == ST_BBX_CANDIDATE + 1, "one entry per wrapped item");

wrapped::wrapped(const nms_state& st, int32_t nc, int32_t nb)
{
    const int32_t shapes[][3] = {{1, nc}, {1, 1}, {nc, nb}, {nc, 1}, {nc, nb, 4}};
    for (int i = 0; i < count; ++i) {
        if (!st.item[i])
            continue;
        const wrap_spec& w = wrap_specs[i];
        tensors_[i] = wrap(&records_[i], w.type, w.shape == layout::boxes ? 3 : 2,
                           shapes[static_cast<int>(w.shape)], st.item[i], w.failure);
    }
}

} // namespace

/* NB and NC of scores [1, NB, NC] or [1, NB, NC, 1]. */
static int score_extents(nn_tensor* scores, int32_t* nb, int32_t* nc)
{
    if (nn_tensor_dims(scores) < 3 || nn_tensor_shape(scores)[2] < 1)
        return NN_ERROR_INVALID_SHAPE;
    *nb = nn_tensor_shape(scores)[1];
    *nc = nn_tensor_shape(scores)[2];
    return NN_SUCCESS;
}

/* NB and NC of the scores, then the state arrays in `wanted` for them. */
static int scored_state(nn_tensor* scores, nn_tensor* out, unsigned wanted, float score_threshold,
                        float iou_threshold, int32_t max_k, int32_t* nb, int32_t* nc,
                        nms_state* st)
{
    int status = score_extents(scores, nb, nc);
    if (status != NN_SUCCESS)
        return status;
    return state_get(out, wanted, *nc, *nb, score_threshold, iou_threshold, max_k, st);
}

/* nn_ssd_nms_full and nn_nms: selection over scores [1, NB, NC], then the
 * suppression of the full variant (v2, through the indices) or of v3. */
static int select_and_suppress(nn_tensor* image, nn_tensor* boxes, nn_tensor* scores, int32_t max_k,
                               nn_tensor* out, nn_tensor* out_counts, float score_threshold,
                               float iou_threshold, int gather)
{
    if (!boxes || !scores || !out || !out_counts || (gather && !image))
        return NN_ERROR_INVALID_PARAMETER;
    int32_t nb, nc;
    nms_state st;
    int status = scored_state(scores, out, selection_items, score_threshold, iou_threshold, max_k,
                              &nb, &nc, &st);
    if (status != NN_SUCCESS)
        return status;
    /* Without a cache argument: 4 MiB of zeroed scratch for this call. */
    auto buffer = platform::calloc_array<float>(scratch_floats);
    if (!buffer)
        return NN_ERROR_OUT_OF_MEMORY;
    const int32_t shape[2] = {1, scratch_floats};
    nn_tensor cache_record;
    kestrune::UniqueTensor cache(wrap(&cache_record, NN_TYPE_F32, 2, shape, buffer.get(),
                                      "failed to assign tensor_cache: %s\n"));
    wrapped w(st, nc, nb);
    status = nn_ssd_sort_scoresv2(scores, cache.get(), w[ST_CLASS_ID], w[ST_SCORE_THRESHOLD],
                                  w[ST_MAX_ID], w[ST_INDICES], w[ST_INDICES_LEN]);
    if (status != NN_SUCCESS)
        return status;
    if (gather)
        return nn_ssd_nms_standardv2(boxes, w[ST_INDICES], w[ST_INDICES_LEN], w[ST_IOU_THRESHOLD],
                                     image, cache.get(), out, out_counts);
    return nn_ssd_nms_standardv3(boxes, w[ST_INDICES_LEN], w[ST_IOU_THRESHOLD], cache.get(), out,
                                 out_counts);
}

NN_API int nn_ssd_nms_full(nn_tensor* image, nn_tensor* boxes, nn_tensor* scores,
                           nn_tensor* unused, int32_t max_k, nn_tensor* out,
                           nn_tensor* out_counts, float score_threshold, float iou_threshold)
{
    (void)unused;
    return select_and_suppress(image, boxes, scores, max_k, out, out_counts, score_threshold,
                               iou_threshold, 1);
}

NN_API int nn_nms(nn_tensor* boxes, nn_tensor* scores, nn_tensor* unused, int32_t max_k,
                  nn_tensor* out, nn_tensor* out_counts, float score_threshold,
                  float iou_threshold)
{
    (void)unused;
    return select_and_suppress(NULL, boxes, scores, max_k, out, out_counts, score_threshold,
                               iou_threshold, 0);
}

NN_API int nn_ssd_decode_nms_standard_bbx(nn_tensor* scores, nn_tensor* encodings,
                                          nn_tensor* anchors, nn_tensor* cache, int32_t max_k,
                                          nn_tensor* out, nn_tensor* out_counts,
                                          float score_threshold, float iou_threshold)
{
    if (!scores || !encodings || !anchors || !cache || !out || !out_counts)
        return NN_ERROR_INVALID_PARAMETER;
    int32_t nb, nc;
    nms_state st;
    const unsigned wanted = selection_items | bit(ST_SCORE_OUT) | bit(ST_BBX_CANDIDATE);
    int status = scored_state(scores, out, wanted, score_threshold, iou_threshold, max_k, &nb, &nc,
                              &st);
    if (status != NN_SUCCESS)
        return status;
    wrapped w(st, nc, nb);
    status = nn_ssd_sort_scoresv0(scores, cache, w[ST_CLASS_ID], w[ST_SCORE_THRESHOLD], w[ST_MAX_ID],
                                  w[ST_INDICES], w[ST_INDICES_LEN], w[ST_SCORE_OUT]);
    if (status == NN_SUCCESS)
        status = nn_ssd_decode_bounding_box(encodings, anchors, cache, w[ST_INDICES],
                                            w[ST_INDICES_LEN], w[ST_BBX_CANDIDATE]);
    if (status == NN_SUCCESS)
        status = nn_ssd_nms_standardv3(w[ST_BBX_CANDIDATE], w[ST_INDICES_LEN], w[ST_IOU_THRESHOLD],
                                       cache, out, out_counts);
    return status;
}

NN_API int nn_ssd_decode_nms_variance_bbx(nn_tensor* raw, nn_tensor* anchors, nn_tensor* cache,
                                          int32_t max_k, nn_tensor* out, nn_tensor* out_counts,
                                          float score_threshold, float iou_threshold)
{
    if (!raw || !anchors || !cache || !out || !out_counts)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(raw) != NN_TYPE_F32 || nn_tensor_type(anchors) != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    if (nn_tensor_dims(raw) < 3 || nn_tensor_shape(raw)[2] < 5)
        return NN_ERROR_INVALID_SHAPE;
    int32_t nb = nn_tensor_shape(raw)[1], nc = nn_tensor_shape(raw)[2] - 4;
    if (nn_pp_volume(anchors) < (int64_t)nb * 4)
        return NN_ERROR_INVALID_SHAPE;
    /* Pairs and the copies of the decoded boxes. */
    if ((uint64_t)nb * 24 > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;
    nms_state st;
    int status = state_get(out,
                           common_items | bit(ST_SCORE_OUT) | bit(ST_BBX_CANDIDATE) |
                               bit(ST_SCORES_CANDIDATE),
                           nc, nb, score_threshold, iou_threshold, max_k, &st);
    if (status != NN_SUCCESS)
        return status;

    {
        nn_pp_maps maps; /* given back before the suppression maps the cache again */
        void* scratch = nn_pp_maprw(&maps, cache);
        const float* in = static_cast<const float*>(nn_pp_mapro(&maps, raw));
        const float* anc = static_cast<const float*>(nn_pp_mapro(&maps, anchors));
        if (!scratch || !in || !anc)
            return NN_ERROR_TENSOR_NO_DATA;
        float* scores = static_cast<float*>(st.item[ST_SCORES_CANDIDATE]);
        float* candidates = static_cast<float*>(st.item[ST_BBX_CANDIDATE]);
        int32_t* counts = static_cast<int32_t*>(st.item[ST_INDICES_LEN]);
        /* Column 0 is the background: the decoder leaves it alone, so it is
         * cleared on every call (the same input gives the same scores) and
         * its count is dropped after the selection. */
        for (int64_t b = 0; b < nb; ++b)
            scores[b * nc] = 0;
        decode_variance_bbx(in, anc, nb, nc, candidates, scores, 0.1f, 0.2f);
        status = nn_ssd_sort_scores_bbx(scores, candidates, scratch, max_k, nb, nc, counts,
                                        static_cast<float*>(st.item[ST_SCORE_OUT]),
                                        score_threshold);
        counts[0] = 0;
    }
    if (status != NN_SUCCESS)
        return status;

    /* Row c is class column c: every class row is suppressed and counted. */
    wrapped w(st, nc, nb);
    return nms_run(&nms_v3_all_rows, w[ST_BBX_CANDIDATE], nullptr, w[ST_INDICES_LEN],
                   w[ST_IOU_THRESHOLD], nullptr, cache, out, out_counts);
}
