/* Quantised preparation of the weights of conv2d and dense layers. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "resource.h"
#include "core/scoped.h"
#include "kernels/fixed_point.h"
#include "layers/quant_prep.h"
#include "ops/frame.h"
#include "ops/prepared_quant.h"

/* Attaches `object` under a heap copy of `key`, freed with free_aux_buffer
 * when `owned`; 3 when the list node cannot be made (nothing is handed over
 * then).  A FLOAT32 work tensor of the weights in another role is kept. */
static int attach_object(nn_tensor* t, const char* key, void* object, bool owned)
{
    return aux_attach_named(t, key, object, free_aux_buffer, owned);
}

/* An object of the runtime's: the tensor frees it from now on, or it is
 * freed here when it cannot be attached. */
template <typename T>
static int attach(nn_tensor* t, const char* key, platform::unique_malloc<T> object)
{
    int status = attach_object(t, key, object.get(), true);
    if (status == NN_SUCCESS)
        object.release();
    return status;
}

/* An object of the model's, never freed. */
static int attach_borrowed(nn_tensor* t, const char* key, const void* object)
{
    return attach_object(t, key, const_cast<void*>(object), false);
}

static int invalid_scales(const layer_call* c)
{
    printf("%s [%s] missing or too few quantization scales\r\n", c->label,
           c->name ? c->name : "");
    return NN_ERROR_INVALID_QUANTIZATION;
}

/* A "multiplier" or "shifts" parameter: its list when present (at least n
 * entries), NULL when absent. */
static int borrowed_list(const layer_call* c, const char* key, int32_t n, const int32_t** list)
{
    *list = NULL;
    const void* p = layer_param(c, key);
    if (!p)
        return NN_SUCCESS;
    size_t count = 0;
    const int32_t* v = param_list(p, &count);
    if (count < (size_t)n)
        return layer_short_list(c, key, (size_t)n, count);
    *list = v;
    return NN_SUCCESS;
}

/* "filter_multiplier" and "filter_shifts" for this layer, with the record of
 * what they were made for: arrays made for another layer sharing the weights
 * (another channel count, per-channel mode, input or output scale, or given
 * lists) are rebuilt, so no layer reads arrays sized or scaled for another. */
static int prepare_multipliers(const layer_call* c, const quant_prep* q)
{
    const int32_t n = q->channels > 0 ? q->channels : 0;
    const int32_t *given_m, *given_s;
    int status = borrowed_list(c, "multiplier", n, &given_m);
    if (status == NN_SUCCESS)
        status = borrowed_list(c, "shifts", n, &given_s);
    if (status != NN_SUCCESS)
        return status;

    /* Zeroed first: records are compared byte for byte. */
    prepared_quant want;
    memset(&want, 0, sizeof want);
    want.channels = n;
    want.given_multipliers = given_m;
    want.given_shifts = given_s;
    const float *s_in = NULL, *s_out = NULL, *s_w = NULL;
    if (!given_m || !given_s) {
        size_t n_in = 0, n_out = 0, n_w = 0;
        s_in = nn_tensor_scales(q->input, &n_in);
        s_out = nn_tensor_scales(q->output, &n_out);
        s_w = nn_tensor_scales(q->weights, &n_w);
        if (!s_in || !s_out || !s_w || n_in < 1 || n_out < 1 || n_w < 1)
            return invalid_scales(c);
        want.per_channel = q->per_channel && n_w >= 2;
        if (want.per_channel && n_w < (size_t)n)
            return invalid_scales(c);
        want.input_scale = s_in[0];
        want.output_scale = s_out[0];
    }
    prepared_quant* record = prepared_quant_of(q->weights);
    if (record && memcmp(record, &want, sizeof want) == 0 &&
        nn_tensor_aux_object_by_name(q->weights, "filter_multiplier") &&
        nn_tensor_aux_object_by_name(q->weights, "filter_shifts"))
        return NN_SUCCESS; /* made for a layer of the same needs */

    platform::unique_malloc<int32_t[]> mult, shifts;
    if (!given_m || !given_s) {
        size_t bytes = (size_t)(n > 0 ? n : 1) * sizeof(int32_t);
        mult.reset(static_cast<int32_t*>(malloc(bytes)));
        shifts.reset(static_cast<int32_t*>(malloc(bytes)));
        if (!mult || !shifts)
            return NN_ERROR_OUT_OF_MEMORY;
        for (int32_t ch = 0; ch < n; ++ch) {
            float s = s_w[want.per_channel ? ch : 0] * s_in[0] / s_out[0];
            quantize_multiplier(&mult[ch], &shifts[ch], s);
        }
    }
    if (!record) {
        auto made = platform::calloc_array<prepared_quant>(1);
        if (!made)
            return NN_ERROR_OUT_OF_MEMORY;
        status = attach(q->weights, PREPARED_QUANT_NAME, std::move(made));
        if (status != NN_SUCCESS)
            return status;
        record = prepared_quant_of(q->weights);
    }
    /* Until both arrays are in place the record covers no channel: a step
     * that fails half-way leaves nothing that looks prepared. */
    record->channels = -1;
    status = given_s ? attach_borrowed(q->weights, "filter_shifts", given_s)
                     : attach(q->weights, "filter_shifts", std::move(shifts));
    if (status != NN_SUCCESS)
        return status;
    status = given_m ? attach_borrowed(q->weights, "filter_multiplier", given_m)
                     : attach(q->weights, "filter_multiplier", std::move(mult));
    if (status != NN_SUCCESS)
        return status;
    *record = want;
    return NN_SUCCESS;
}

/* Per output channel c the sum of the filter's values of that channel
 * (channel index fastest), as signed bytes for INT8 and unsigned otherwise. */
static int prepare_reduce_zero(const quant_prep* q)
{
    const int32_t* shape = nn_tensor_shape(q->weights);
    const int64_t channels = shape[3];
    const int64_t per_channel = (int64_t)shape[0] * shape[1] * shape[2];
    auto sums = platform::calloc_array<int32_t>(static_cast<size_t>(channels > 0 ? channels : 0));
    if (!sums)
        return NN_ERROR_OUT_OF_MEMORY;
    {
        kestrune::ReadMap map(q->weights);
        const uint8_t* bytes = map.as<uint8_t>();
        if (!bytes)
            return NN_ERROR_TENSOR_NO_DATA;
        const int is_signed = nn_tensor_type(q->weights) == NN_TYPE_I8;
        for (int64_t k = 0; k < per_channel; ++k) {
            const uint8_t* row = bytes + k * channels;
            for (int64_t ch = 0; ch < channels; ++ch)
                sums[ch] += is_signed ? (int32_t)(int8_t)row[ch] : (int32_t)row[ch];
        }
    }
    return attach(q->weights, "filter_reducezero", std::move(sums));
}

int quant_prepare(const layer_call* c, const quant_prep* q)
{
    /* More channels than the weights hold values (weights with a 0 extent,
     * or a shape the operator refuses anyway): nothing is sized by them. */
    if ((int64_t)q->channels > (int64_t)nn_tensor_volume(q->weights))
        return NN_ERROR_SHAPE_MISMATCH;
    /* Each object is made when it is missing, so a step after a failure
     * completes what is left. */
    int status = prepare_multipliers(c, q);
    if (status == NN_SUCCESS && q->reduce_zero &&
        !nn_tensor_aux_object_by_name(q->weights, "filter_reducezero"))
        status = prepare_reduce_zero(q);
    if (status == NN_SUCCESS && q->accum_cache &&
        !nn_tensor_aux_object_by_name(q->weights, "aux_accum_cache")) {
        size_t n = (size_t)(q->channels > 0 ? q->channels : 1);
        platform::unique_malloc<int32_t[]> acc(static_cast<int32_t*>(malloc(n * sizeof(int32_t))));
        status = acc ? attach(q->weights, "aux_accum_cache", std::move(acc))
                     : NN_ERROR_OUT_OF_MEMORY;
    }
    return status;
}
