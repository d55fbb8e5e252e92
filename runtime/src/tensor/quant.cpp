/* Quantisation parameters of a tensor and the float <-> quantized conversions. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <limits>

#include "core/parallel.h"
#include "core/scoped.h"
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

namespace {

/* The zeros and the scales are kept alike: an array, its count and whether
 * the tensor owns it. */
template <typename T>
struct ParamFields {
    T* nn_tensor::*values;
    uint64_t nn_tensor::*count;
    uint8_t nn_tensor::*owns;
};
constexpr ParamFields<int32_t> zeros_fields{&nn_tensor::zeros, &nn_tensor::zeros_count,
                                            &nn_tensor::owns_zeros};
constexpr ParamFields<float> scales_fields{&nn_tensor::scales, &nn_tensor::scales_count,
                                           &nn_tensor::owns_scales};

template <typename T>
const T* params(const nn_tensor* t, size_t* count, ParamFields<T> f)
{
    if (!t)
        return nullptr;
    if (count)
        *count = (size_t)(t->*f.count);
    return t->*f.values;
}

/* Handing back the array the tensor already holds must not free it. */
template <typename T>
void set_params(nn_tensor* t, size_t count, T* values, int own, ParamFields<T> f)
{
    if (!t)
        return;
    if (t->*f.values && t->*f.owns && t->*f.values != values)
        free(t->*f.values);
    t->*f.count = count;
    t->*f.values = values;
    t->*f.owns = own ? 1 : 0;
}

} // namespace

const int32_t* nn_tensor_zeros(const nn_tensor* t, size_t* count)
{
    return params(t, count, zeros_fields);
}

const float* nn_tensor_scales(const nn_tensor* t, size_t* count)
{
    return params(t, count, scales_fields);
}

void nn_tensor_set_zeros(nn_tensor* t, size_t count, int32_t* zeros, int own)
{
    set_params(t, count, zeros, own, zeros_fields);
}

void nn_tensor_set_scales(nn_tensor* t, size_t count, float* scales, int own)
{
    set_params(t, count, scales, own, scales_fields);
}

void nn_tensor_quant_params(const nn_tensor* t, nn_quant_params* params)
{
    if (!params)
        return;
    if (!t) {
        *params = nn_quant_params{0, nullptr, 0, nullptr, 0, 0};
        return;
    }
    params->zeros_count = (size_t)t->zeros_count;
    params->zeros = t->zeros;
    params->scales_count = (size_t)t->scales_count;
    params->scales = t->scales;
    params->element_size = nn_type_size(t->type);
    params->type = t->type;
}

namespace {
enum class Direction { quantize, dequantize };
} // namespace

/* The checks shared by the two buffer functions, in their fixed order; the
 * caller maps the tensor after they pass. */
static int check_buffer_args(const nn_tensor* t, size_t count, const void* values, Direction kind)
{
    const char* fn = kind == Direction::quantize ? "nn_tensor_quantize_buffer"
                                                 : "nn_tensor_dequantize_buffer";
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
        if (kind == Direction::quantize && n != (uint64_t)t->shape[3])
            return NN_ERROR_INVALID_QUANTIZATION;
    } else {
        if (axis >= dims) {
            if (kind == Direction::dequantize)
                fprintf(stderr, "[ERROR] %s: quant invalid axis \r\n", fn);
            return NN_ERROR_INVALID_QUANTIZATION;
        }
        if (n != (uint64_t)t->shape[axis]) {
            if (kind == Direction::dequantize)
                fprintf(stderr, "[ERROR] %s: quant invalid n_zeros!= shape[axis] \r\n", fn);
            return NN_ERROR_INVALID_QUANTIZATION;
        }
        if (!inner) {
            fprintf(stderr, "[ERROR] %s: currently unsupported axis %d\r\n", fn, axis);
            return NN_ERROR_NOT_IMPLEMENTED;
        }
    }

    const uint32_t type = t->type;
    if (kind == Direction::quantize) {
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

namespace {

template <typename In, typename Out>
using QuantKernel = void (*)(const In*, Out*, size_t, const int32_t*, const float*, size_t);

/* Rows [begin, begin + count) of the job through one kernel. */
template <typename In, typename Out>
void run_rows(const quant_job* job, QuantKernel<In, Out> kernel, int64_t begin, int64_t count)
{
    const In* in = static_cast<const In*>(job->in);
    Out* out = static_cast<Out*>(job->out);
    if (job->c == 1) {
        kernel(in + begin, out + begin, (size_t)count, job->zeros, job->scales, 0);
        return;
    }
    for (int64_t row = begin; row < begin + count; ++row)
        kernel(in + row * job->c, out + row * job->c, job->c, job->zeros, job->scales, 1);
}

/* The calling OpenMP thread's share of the rows. */
template <typename In, typename Out, QuantKernel<In, Out> Kernel>
void rows_worker(const quant_job* job)
{
    nn_row_range r = nn_thread_rows(job->rows);
    if (r.count == 0)
        return;
    run_rows<In, Out>(job, Kernel, r.begin, r.count);
}

} // namespace

/* Threads for a job: a grain of bytes each (four per element, the float
 * side). */
static int job_team(const quant_job* job)
{
    return nn_team_for(job->rows * (int64_t)job->c * 4, NN_GRAIN_BYTES);
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
    int err = check_buffer_args(t, count, values, Direction::quantize);
    if (err)
        return err;
    kestrune::WriteMap out(t);
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;
    const quant_job job = make_job(t, values, out.data(), (size_t)t->zeros_count);
    const int team = job_team(&job);
    if (t->type == NN_TYPE_U8) {
#pragma omp parallel num_threads(team)
        rows_worker<float, uint8_t, nn_quantize_u8>(&job);
    } else {
#pragma omp parallel num_threads(team)
        rows_worker<float, int8_t, nn_quantize_i8>(&job);
    }
    return NN_SUCCESS;
}

int nn_tensor_dequantize_buffer(nn_tensor* t, size_t count, float* values)
{
    int err = check_buffer_args(t, count, values, Direction::dequantize);
    if (err)
        return err;
    kestrune::ReadMap in(t);
    if (!in)
        return NN_ERROR_TENSOR_NO_DATA;
    /* A zeros count of 0 works as one per-tensor pair. */
    const quant_job job = make_job(t, in.data(), values, (size_t)t->zeros_count);
    const int team = job_team(&job);
    switch (t->type) {
    case NN_TYPE_U8:
#pragma omp parallel num_threads(team)
        rows_worker<uint8_t, float, nn_dequantize_u8>(&job);
        break;
    case NN_TYPE_I8:
#pragma omp parallel num_threads(team)
        rows_worker<int8_t, float, nn_dequantize_i8>(&job);
        break;
    case NN_TYPE_I32:
        run_rows<int32_t, float>(&job, nn_dequantize_i32, 0, job.rows);
        break;
    default: /* NN_TYPE_U32 */
        run_rows<uint32_t, float>(&job, nn_dequantize_u32, 0, job.rows);
        break;
    }
    return NN_SUCCESS;
}

int nn_tensor_quantize(nn_tensor* dst, nn_tensor* src, int unused)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    if (src->type != NN_TYPE_F32)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    kestrune::ReadMap values(src);
    if (!values)
        return NN_ERROR_TENSOR_NO_DATA;
    return nn_tensor_quantize_buffer(dst, (size_t)nn_tensor_volume(src), values.as<float>(), unused);
}

int nn_tensor_dequantize(nn_tensor* dst, nn_tensor* src)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    if (dst->type != NN_TYPE_F32)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    kestrune::WriteMap values(dst);
    if (!values)
        return NN_ERROR_TENSOR_NO_DATA;
    return nn_tensor_dequantize_buffer(src, (size_t)nn_tensor_volume(dst), values.as<float>());
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

namespace {

template <typename In, typename Out>
void requantize_rows(const requant_job* job)
{
    nn_row_range r = nn_thread_rows(job->n);
    constexpr int lo = std::numeric_limits<Out>::min(), hi = std::numeric_limits<Out>::max();
    const In* in = static_cast<const In*>(job->in);
    Out* out = static_cast<Out*>(job->out);
    for (int64_t i = r.begin; i < r.begin + r.count; ++i) {
        float f = (float)nn_quant_diff(in[i], job->zero_in) * job->scale_in;
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
        out[i] = (Out)v;
    }
}

/* Both types are UINT8 or INT8 (checked before the job is made). */
template <typename In>
void requantize_from(const requant_job* job)
{
    if (job->out_type == NN_TYPE_U8)
        requantize_rows<In, uint8_t>(job);
    else
        requantize_rows<In, int8_t>(job);
}

void requantize_worker(const requant_job* job)
{
    if (job->in_type == NN_TYPE_U8)
        requantize_from<uint8_t>(job);
    else
        requantize_from<int8_t>(job);
}

} // namespace

int nn_tensor_requantize(nn_tensor* dst, nn_tensor* src)
{
    if (!dst || !src)
        return NN_ERROR_INVALID_PARAMETER;
    const int64_t start = clock_now_ns();
    if (!is_8bit(src->type))
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    kestrune::ReadMap in(src);
    if (!in)
        return NN_ERROR_TENSOR_NO_DATA;
    kestrune::WriteMap out;
    if (!is_8bit(dst->type))
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    if (!out.map(dst))
        return NN_ERROR_TENSOR_NO_DATA;
    if (!has_params(src) || !has_params(dst))
        return NN_ERROR_TENSOR_NO_DATA;
    if (nn_tensor_volume(src) < nn_tensor_volume(dst))
        return NN_ERROR_SHAPE_MISMATCH;

    if (src->type == dst->type && src->zeros[0] == dst->zeros[0] &&
        fabsf(src->scales[0] - dst->scales[0]) < 1e-5f) {
        const bool same = in.data() == out.data();
        /* Both mappings go before the copy maps the tensors again. */
        out.reset();
        in.reset();
        return same ? NN_SUCCESS : nn_tensor_copy(dst, src);
    }

    requant_job job;
    job.in = in.data();
    job.out = out.data();
    job.n = nn_tensor_volume(dst);
    job.in_type = src->type;
    job.out_type = dst->type;
    job.zero_in = src->zeros[0];
    job.zero_out = dst->zeros[0];
    job.scale_in = src->scales[0];
    job.scale_out = dst->scales[0];
#pragma omp parallel num_threads(nn_team_for(job.n * 4, NN_GRAIN_BYTES))
    requantize_worker(&job);

    dst->time = (uint64_t)(clock_now_ns() - start);
    return NN_SUCCESS;
}
