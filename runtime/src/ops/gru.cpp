/* The GRU cell, built from other operators over views into the cache. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "tensor/tensor_record.h"

enum {
    GRU_ROW = 0,
    GRU_CONCAT = 1,
    GRU_GATES = 2,
    GRU_UPDATE = 3,
    GRU_RESET = 4,
    GRU_ONES = 5,
    GRU_CANDIDATE = 6,
    GRU_SCRATCH = 7,
    GRU_FIELDS = 8
};

struct nn_gru_context {
    nn_tensor* t[GRU_FIELDS];
};

static int view2(nn_tensor* t, nn_type type, int32_t n, nn_tensor* parent, int64_t offset)
{
    int32_t shape[2] = {1, n};
    if (offset > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    return nn_tensor_view(t, type, 2, shape, parent, (int)offset);
}

NN_API int nn_gru_init(nn_gru_context** place, nn_tensor* cache, nn_type type,
                       int32_t input_size, int32_t gate_size, int32_t hidden_size)
{
    if (!place || !cache)
        return NN_ERROR_INVALID_PARAMETER;
    if (type != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    const int64_t I = input_size, G = gate_size, H = hidden_size;
    /* the update gate is the second half of the gates */
    if (I < 0 || H < 1 || G < 2 * H)
        return NN_ERROR_INVALID_PARAMETER;
    const int64_t required = (I + 4 * H + G) * 4;
    const int64_t size = (int64_t)nn_tensor_size(cache);
    if (size < required) {
        fprintf(stderr, "nn_gru insuffient cache size %d of %d required\n", (int)size,
                (int)required);
        return NN_ERROR_OUT_OF_MEMORY;
    }
    nn_gru_context* c = (nn_gru_context*)calloc(1, sizeof *c);
    if (!c)
        return NN_ERROR_OUT_OF_MEMORY;
    *place = c;
    nn_engine* engine = nn_tensor_engine(cache);
    for (int i = 0; i < GRU_FIELDS; ++i) {
        c->t[i] = nn_tensor_init(NULL, engine);
        if (!c->t[i])
            return NN_ERROR_OUT_OF_MEMORY;
    }
    const int64_t f = 4;
    int status = view2(c->t[GRU_ONES], NN_TYPE_F32, (int32_t)H, cache, 0);
    if (!status)
        status = view2(c->t[GRU_CANDIDATE], NN_TYPE_F32, (int32_t)H, cache, H * f);
    if (!status)
        status = view2(c->t[GRU_SCRATCH], NN_TYPE_F32, (int32_t)H, cache, 2 * H * f);
    if (!status)
        status = view2(c->t[GRU_CONCAT], NN_TYPE_F32, (int32_t)(I + H), cache, 3 * H * f);
    if (!status)
        status = view2(c->t[GRU_GATES], NN_TYPE_F32, (int32_t)G, cache, (I + 4 * H) * f);
    if (status)
        return status;
    int64_t total = 0;
    const int fields[5] = {GRU_ONES, GRU_CANDIDATE, GRU_SCRATCH, GRU_CONCAT, GRU_GATES};
    for (int i = 0; i < 5; ++i)
        total += (int64_t)nn_tensor_size(c->t[fields[i]]);
    if (total != required || size < required)
        return NN_ERROR_INTERNAL;
    status = view2(c->t[GRU_RESET], NN_TYPE_F32, (int32_t)H, c->t[GRU_GATES], 0);
    if (status)
        return status;
    return view2(c->t[GRU_UPDATE], NN_TYPE_F32, (int32_t)H, c->t[GRU_GATES], H * f);
}

NN_API void nn_gru_release(nn_gru_context* c)
{
    if (!c)
        return;
    for (int i = 0; i < GRU_FIELDS; ++i)
        nn_tensor_release(c->t[i]);
    free(c);
}

static int32_t last_extent(const nn_tensor* t)
{
    return t->dims > 0 ? t->shape[t->dims - 1] : 1;
}

NN_API int nn_gru(nn_tensor* output, nn_tensor* input, nn_tensor* h, nn_tensor* gate_weights,
                  nn_tensor* gate_bias, nn_tensor* input_weights, nn_tensor* input_bias,
                  nn_tensor* recurrent_weights, nn_tensor* recurrent_bias, nn_gru_context* c)
{
    int64_t start = clock_now_ns();
    if (!output || !input || !h || !gate_weights || !gate_bias || !input_weights ||
        !input_bias || !recurrent_weights || !recurrent_bias || !c)
        return NN_ERROR_INVALID_PARAMETER;
    nn_tensor** t = c->t;
    const int32_t H = nn_tensor_volume(t[GRU_ONES]);
    const int32_t I = nn_tensor_volume(t[GRU_CONCAT]) - H;
    const int32_t rows = input->shape[0];
    const int32_t in_len = last_extent(input), out_len = last_extent(output);
    if (output->shape[0] < rows || in_len != I || nn_tensor_volume(h) != H)
        return NN_ERROR_SHAPE_MISMATCH;

    int status;
    if (rows > 1 && (status = nn_tensor_fill(h, 0.0)))
        return status;
    if ((status = nn_tensor_fill(t[GRU_ONES], 1.0)))
        return status;
    int keep_dims = h->dims;
    int32_t keep_shape[4];
    memcpy(keep_shape, h->shape, sizeof keep_shape);
    const int32_t flat[2] = {1, -1};
    if ((status = nn_tensor_reshape(h, 2, flat)))
        return status;

    const int64_t in_size = (int64_t)nn_tensor_element_size(input);
    const int64_t out_size = (int64_t)nn_tensor_element_size(output);
    for (int32_t r = 0; r < rows; ++r) {
        nn_tensor* pair[2] = {t[GRU_ROW], h};
        if ((status = view2(t[GRU_ROW], (nn_type)input->type, in_len, input,
                            (int64_t)r * in_len * in_size)) ||
            (status = nn_tensor_concat(t[GRU_CONCAT], 2, pair, 1)) ||
            (status = nn_dense(t[GRU_GATES], t[GRU_CONCAT], gate_weights, gate_bias,
                               NN_ACTIVATION_SIGMOID)) ||
            (status = nn_dense(t[GRU_SCRATCH], h, recurrent_weights, recurrent_bias,
                               NN_ACTIVATION_LINEAR)) ||
            (status = nn_dense(t[GRU_CANDIDATE], t[GRU_ROW], input_weights, input_bias,
                               NN_ACTIVATION_LINEAR)) ||
            (status = nn_multiply(t[GRU_SCRATCH], t[GRU_RESET], t[GRU_SCRATCH])) ||
            (status = nn_add(t[GRU_CANDIDATE], t[GRU_SCRATCH], t[GRU_CANDIDATE])) ||
            (status = nn_tanh(t[GRU_CANDIDATE], t[GRU_CANDIDATE])) ||
            (status = nn_subtract(t[GRU_SCRATCH], t[GRU_ONES], t[GRU_UPDATE])) ||
            (status = nn_multiply(t[GRU_CANDIDATE], t[GRU_SCRATCH], t[GRU_CANDIDATE])) ||
            (status = nn_multiply(t[GRU_SCRATCH], t[GRU_UPDATE], h)) ||
            (status = nn_add(h, t[GRU_CANDIDATE], t[GRU_SCRATCH])) ||
            (status = view2(t[GRU_ROW], (nn_type)output->type, out_len, output,
                            (int64_t)r * out_len * out_size)) ||
            (status = nn_tensor_copy(t[GRU_ROW], h)))
            return status;
    }
    if ((status = nn_tensor_reshape(h, keep_dims, keep_shape)))
        return status;
    output->time = (uint64_t)(clock_now_ns() - start);
    return 0;
}
