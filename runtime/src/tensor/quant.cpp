/* Quantisation parameters of a tensor and the float <-> quantized conversions. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "core/parallel.h"
#include "core/types.h"
#include "platform.h"
#include "tensor/quant_kernels.h"
#include "tensor/tensor_record.h"

int nn_tensor_axis(const nn_tensor* t) { return t ? t->quant_axis : 0; }

void nn_tensor_set_axis(nn_tensor* t, uint8_t axis)
{
    if (t)
        t->quant_axis = axis;
}

const int32_t* nn_tensor_zeros(const nn_tensor* t, size_t* count)
{
    if (!t)
        return NULL;
    if (count)
        *count = (size_t)t->zeros_count;
    return t->zeros;
}

const float* nn_tensor_scales(const nn_tensor* t, size_t* count)
{
    if (!t)
        return NULL;
    if (count)
        *count = (size_t)t->scales_count;
    return t->scales;
}

/* Handing back the array the tensor already holds must not free it. */
void nn_tensor_set_zeros(nn_tensor* t, size_t count, int32_t* zeros, int own)
{
    if (!t)
        return;
    if (t->zeros && t->owns_zeros && t->zeros != zeros)
        free(t->zeros);
    t->zeros_count = count;
    t->zeros = zeros;
    t->owns_zeros = own ? 1 : 0;
}

void nn_tensor_set_scales(nn_tensor* t, size_t count, float* scales, int own)
{
    if (!t)
        return;
    if (t->scales && t->owns_scales && t->scales != scales)
        free(t->scales);
    t->scales_count = count;
    t->scales = scales;
    t->owns_scales = own ? 1 : 0;
}

void nn_tensor_quant_params(const nn_tensor* t, nn_quant_params* params)
{
    if (!params)
        return;
    if (!t) {
        *params = (nn_quant_params){0, NULL, 0, NULL, 0, 0};
        return;
    }
    params->zeros_count = (size_t)t->zeros_count;
    params->zeros = t->zeros;
    params->scales_count = (size_t)t->scales_count;
    params->scales = t->scales;
    params->element_size = nn_type_size(t->type);
    params->type = t->type;
}

enum { QUANTIZE, DEQUANTIZE };

/* The checks shared by the two buffer functions, in their fixed order; the
 * caller maps the tensor after they pass. */
static int check_buffer_args(const nn_tensor* t, size_t count, const void* values, int kind)
{
    const char* fn = kind == QUANTIZE ? "nn_tensor_quantize_buffer" : "nn_tensor_dequantize_buffer";
    if (!t || !values)
        return NN_ERROR_INVALID_PARAMETER;
    if (count < (size_t)nn_tensor_volume(t))
        return NN_ERROR_SHAPE_MISMATCH;
    if (!t->scales) {
        if (t->zeros)
            fprintf(stderr, "[ERROR] %s: tensor missing scales\r\n", fn);
        else
            fprintf(stderr, "[ERROR] %s: tensor missing zeros\r\n", fn);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    if (!t->zeros) {
        fprintf(stderr, "[ERROR] %s: tensor missing zeros\r\n", fn);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    if (t->zeros_count != t->scales_count)
        return NN_ERROR_INVALID_QUANTIZATION;

    const uint64_t n = t->zeros_count;
    const int axis = t->quant_axis;
    const int dims = t->dims;
    const int inner = axis == dims - 1 || axis == dims - 2;
    if (n == 1) {
        if (axis != 0 && !inner) {
            fprintf(stderr, "[ERROR] %s: currently unsupported axis %d\r\n", fn, axis);
            return NN_ERROR_NOT_IMPLEMENTED;
        }
    } else if (axis == 0) {
        if (kind == QUANTIZE && n != (uint64_t)t->shape[3])
            return NN_ERROR_INVALID_QUANTIZATION;
    } else {
        if (axis >= dims) {
            if (kind == DEQUANTIZE)
                fprintf(stderr, "[ERROR] %s: quant invalid axis \r\n", fn);
            return NN_ERROR_INVALID_QUANTIZATION;
        }
        if (n != (uint64_t)t->shape[axis]) {
            if (kind == DEQUANTIZE)
                fprintf(stderr, "[ERROR] %s: quant invalid n_zeros!= shape[axis] \r\n", fn);
            return NN_ERROR_INVALID_QUANTIZATION;
        }
        if (!inner) {
            fprintf(stderr, "[ERROR] %s: currently unsupported axis %d\r\n", fn, axis);
            return NN_ERROR_NOT_IMPLEMENTED;
        }
    }

    const uint32_t type = t->type;
    if (kind == QUANTIZE) {
        if (type != NN_TYPE_U8 && type != NN_TYPE_I8)
            return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    } else if (type != NN_TYPE_U8 && type != NN_TYPE_I8 && type != NN_TYPE_I32 &&
               type != NN_TYPE_U32) {
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    }
    return NN_SUCCESS;
}

/* Rows of c elements, element j of a row using parameter j.  With one pair of
 * parameters every row is one element, so the split over rows is a split over
 * elements and the kernel runs over the thread's whole share at once. */
typedef struct quant_job {
    const void* in;
    void* out;
    int64_t rows;
    size_t c;
    const int32_t* zeros;
    const float* scales;
} quant_job;

static void quantize_u8_worker(const quant_job* job)
{
    nn_row_range r = nn_thread_rows(job->rows);
    if (r.count == 0)
        return;
    const float* in = (const float*)job->in;
    uint8_t* out = (uint8_t*)job->out;
    if (job->c == 1) {
        nn_quantize_u8(in + r.begin, out + r.begin, (size_t)r.count, job->zeros, job->scales, 0);
        return;
    }
    for (int64_t row = r.begin; row < r.begin + r.count; ++row)
        nn_quantize_u8(in + row * job->c, out + row * job->c, job->c, job->zeros, job->scales, 1);
}

static void quantize_i8_worker(const quant_job* job)
{
    nn_row_range r = nn_thread_rows(job->rows);
    if (r.count == 0)
        return;
    const float* in = (const float*)job->in;
    int8_t* out = (int8_t*)job->out;
    if (job->c == 1) {
        nn_quantize_i8(in + r.begin, out + r.begin, (size_t)r.count, job->zeros, job->scales, 0);
        return;
    }
    for (int64_t row = r.begin; row < r.begin + r.count; ++row)
        nn_quantize_i8(in + row * job->c, out + row * job->c, job->c, job->zeros, job->scales, 1);
}

static void dequantize_u8_worker(const quant_job* job)
{
    nn_row_range r = nn_thread_rows(job->rows);
    if (r.count == 0)
        return;
    const uint8_t* in = (const uint8_t*)job->in;
    float* out = (float*)job->out;
    if (job->c == 1) {
        nn_dequantize_u8(in + r.begin, out + r.begin, (size_t)r.count, job->zeros, job->scales, 0);
        return;
    }
    for (int64_t row = r.begin; row < r.begin + r.count; ++row)
        nn_dequantize_u8(in + row * job->c, out + row * job->c, job->c, job->zeros, job->scales, 1);
}

static void dequantize_i8_worker(const quant_job* job)
{
    nn_row_range r = nn_thread_rows(job->rows);
    if (r.count == 0)
        return;
    const int8_t* in = (const int8_t*)job->in;
    float* out = (float*)job->out;
    if (job->c == 1) {
        nn_dequantize_i8(in + r.begin, out + r.begin, (size_t)r.count, job->zeros, job->scales, 0);
        return;
    }
    for (int64_t row = r.begin; row < r.begin + r.count; ++row)
        nn_dequantize_i8(in + row * job->c, out + row * job->c, job->c, job->zeros, job->scales, 1);
}

static quant_job make_job(const nn_tensor* t, const void* in, void* out, size_t c)
{
    quant_job job;
    job.in = in;
    job.out = out;
    job.c = c ? c : 1;
    job.rows = (int64_t)nn_tensor_volume(t) / (int64_t)job.c;
    job.zeros = t->zeros;
    job.scales = t->scales;
    return job;
}

int nn_tensor_quantize_buffer(nn_tensor* t, size_t count, const float* values, int unused)
{
    (void)unused;
    int err = check_buffer_args(t, count, values, QUANTIZE);
    if (err)
        return err;
    void* out = nn_tensor_mapwo(t);
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;
    const quant_job job = make_job(t, values, out, (size_t)t->zeros_count);
    if (t->type == NN_TYPE_U8) {
#pragma omp parallel
        quantize_u8_worker(&job);
    } else {
#pragma omp parallel
        quantize_i8_worker(&job);
    }
    nn_tensor_unmap(t);
    return NN_SUCCESS;
}

int nn_tensor_dequantize_buffer(nn_tensor* t, size_t count, float* values)
{
    int err = check_buffer_args(t, count, values, DEQUANTIZE);
    if (err)
        return err;
    const void* in = nn_tensor_mapro(t);
    if (!in)
        return NN_ERROR_TENSOR_NO_DATA;
    /* A zeros count of 0 works as one per-tensor pair. */
    const quant_job job = make_job(t, in, values, (size_t)t->zeros_count);
    const size_t step = job.c == 1 ? 0 : 1;
    switch (t->type) {
    case NN_TYPE_U8:
#pragma omp parallel
        dequantize_u8_worker(&job);
        break;
    case NN_TYPE_I8:
#pragma omp parallel
        dequantize_i8_worker(&job);
        break;
    case NN_TYPE_I32:
        if (!step)
            nn_dequantize_i32((const int32_t*)in, values, (size_t)job.rows, job.zeros, job.scales, 0);
        for (int64_t row = 0; step && row < job.rows; ++row)
            nn_dequantize_i32((const int32_t*)in + row * job.c, values + row * job.c, job.c,
                              job.zeros, job.scales, 1);
        break;
    default: /* NN_TYPE_U32 */
        if (!step)
            nn_dequantize_u32((const uint32_t*)in, values, (size_t)job.rows, job.zeros, job.scales, 0);
        for (int64_t row = 0; step && row < job.rows; ++row)
            nn_dequantize_u32((const uint32_t*)in + row * job.c, values + row * job.c, job.c,
                              job.zeros, job.scales, 1);
        break;
    }
    nn_tensor_unmap(t);
    return NN_SUCCESS;
}

int nn_tensor_quantize(nn_tensor* dst, nn_tensor* src, int unused)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    if (src->type != NN_TYPE_F32)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    const float* values = (const float*)nn_tensor_mapro(src);
    if (!values)
        return NN_ERROR_TENSOR_NO_DATA;
    int err = nn_tensor_quantize_buffer(dst, (size_t)nn_tensor_volume(src), values, unused);
    nn_tensor_unmap(src);
    return err;
}

int nn_tensor_dequantize(nn_tensor* dst, nn_tensor* src)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    if (dst->type != NN_TYPE_F32)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    float* values = (float*)nn_tensor_mapwo(dst);
    if (!values)
        return NN_ERROR_TENSOR_NO_DATA;
    int err = nn_tensor_dequantize_buffer(src, (size_t)nn_tensor_volume(dst), values);
    nn_tensor_unmap(dst);
    return err;
}

static int is_8bit(uint32_t type) { return type == NN_TYPE_U8 || type == NN_TYPE_I8; }

static int has_params(const nn_tensor* t)
{
    return t->zeros && t->scales && t->zeros_count >= 1 && t->scales_count >= 1;
}

typedef struct requant_job {
    const void* in;
    void* out;
    int64_t n;
    uint32_t in_type, out_type;
    int32_t zero_in, zero_out;
    float scale_in, scale_out;
} requant_job;

static void requantize_worker(const requant_job* job)
{
    nn_row_range r = nn_thread_rows(job->n);
    const int lo = job->out_type == NN_TYPE_U8 ? 0 : -128;
    const int hi = job->out_type == NN_TYPE_U8 ? 255 : 127;
    for (int64_t i = r.begin; i < r.begin + r.count; ++i) {
        int32_t q = job->in_type == NN_TYPE_U8 ? ((const uint8_t*)job->in)[i]
                                               : ((const int8_t*)job->in)[i];
        float f = (float)nn_quant_diff(q, job->zero_in) * job->scale_in;
        f = roundf(f / job->scale_out);
        /* Clamp in float first: beyond +-2^40 the sum with any 32-bit zero
         * point saturates the same way. */
        if (f != f)
            f = 0.0f;
        else if (f > 1099511627776.0f)
            f = 1099511627776.0f;
        else if (f < -1099511627776.0f)
            f = -1099511627776.0f;
        int64_t v = (int64_t)f + job->zero_out;
        v = v < lo ? lo : v > hi ? hi : v;
        if (job->out_type == NN_TYPE_U8)
            ((uint8_t*)job->out)[i] = (uint8_t)v;
        else
            ((int8_t*)job->out)[i] = (int8_t)v;
    }
}

int nn_tensor_requantize(nn_tensor* dst, nn_tensor* src)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    const int64_t start = clock_now_ns();
    if (!is_8bit(src->type))
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    const void* in = nn_tensor_mapro(src);
    if (!in)
        return NN_ERROR_TENSOR_NO_DATA;
    int err = NN_SUCCESS;
    void* out = NULL;
    if (!is_8bit(dst->type)) {
        err = NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    } else if (!(out = nn_tensor_mapwo(dst))) {
        err = NN_ERROR_TENSOR_NO_DATA;
    } else if (!has_params(src) || !has_params(dst)) {
        err = NN_ERROR_TENSOR_NO_DATA;
    } else if (nn_tensor_volume(src) < nn_tensor_volume(dst)) {
        err = NN_ERROR_SHAPE_MISMATCH;
    }
    if (err) {
        if (out)
            nn_tensor_unmap(dst);
        nn_tensor_unmap(src);
        return err;
    }

    if (src->type == dst->type && src->zeros[0] == dst->zeros[0] &&
        fabsf(src->scales[0] - dst->scales[0]) < 1e-5f) {
        const int same = in == out;
        nn_tensor_unmap(dst);
        nn_tensor_unmap(src);
        return same ? NN_SUCCESS : nn_tensor_copy(dst, src);
    }

    requant_job job;
    job.in = in;
    job.out = out;
    job.n = nn_tensor_volume(dst);
    job.in_type = src->type;
    job.out_type = dst->type;
    job.zero_in = src->zeros[0];
    job.zero_out = dst->zeros[0];
    job.scale_in = src->scales[0];
    job.scale_out = dst->scales[0];
#pragma omp parallel
    requantize_worker(&job);

    dst->time = (uint64_t)(clock_now_ns() - start);
    nn_tensor_unmap(dst);
    nn_tensor_unmap(src);
    return NN_SUCCESS;
}
