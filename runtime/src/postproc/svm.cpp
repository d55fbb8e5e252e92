/* Multi-class linear SVM evaluated inside a model: kernel values per class,
 * one-vs-one decision values, and class probabilities by Platt's sigmoid and
 * pairwise coupling.  Dot products go through nn_matmul. */
#include <math.h>
#include <string.h>

#include "postproc/postproc_internal.h"

/* One row of a matrix tensor as a [1, len] view. */
static int row_view(nn_tensor* view, nn_tensor* matrix, int64_t row, int64_t len)
{
    int64_t offset = row * len * (int64_t)sizeof(float);
    if (offset > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    const int32_t shape[2] = {1, (int32_t)len};
    return nn_tensor_view(view, NN_TYPE_F32, 2, shape, matrix, (int)offset);
}

NN_API int nn_svm_update_kernel(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                                nn_tensor* input1, nn_tensor* input2)
{
    if (!output || !cache || !input0 || !input1 || !input2)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(output) != NN_TYPE_F32 || nn_tensor_type(input2) != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    int64_t k = nn_pp_volume(input2);
    int64_t l = nn_tensor_dims(input1) >= 1 ? nn_tensor_shape(input1)[0] : 0;
    int64_t d = l > 0 ? nn_pp_volume(input1) / l : 0;
    if (k < 1 || l < 1 || d < 1 || nn_pp_volume(input1) != l * d || nn_pp_volume(input0) != d ||
        nn_pp_volume(output) != k * l)
        return NN_ERROR_INVALID_SHAPE;
    if ((uint64_t)l * sizeof(float) > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;

    kestrune::UniqueTensor view;
    nn_pp_maps maps;
    int status = NN_SUCCESS;
    const float* counts = (const float*)nn_pp_mapro(&maps, input2);
    if (!counts)
        return NN_ERROR_TENSOR_NO_DATA;
    /* Whole, non-negative counts that together fit the L support vectors. */
    int64_t total = 0;
    for (int64_t c = 0; c < k; ++c) {
        if (!(counts[c] >= 0) || counts[c] > (float)l)
            return NN_ERROR_INVALID_PARAMETER;
        total += (int64_t)counts[c];
    }
    if (total > l)
        return NN_ERROR_INVALID_PARAMETER;
    view.reset(nn_tensor_init(NULL, nn_tensor_engine(output)));
    if (!view)
        return NN_ERROR_OUT_OF_MEMORY;
    const int32_t shape[2] = {1, (int32_t)l};
    status = nn_tensor_view(view.get(), NN_TYPE_F32, 2, shape, cache, 0);
    if (status == NN_SUCCESS)
        status = nn_matmul(view.get(), input0, input1, 0, 1);
    if (status != NN_SUCCESS)
        return status;
    float* out = (float*)nn_pp_maprw(&maps, output);
    const float* v = (const float*)nn_pp_mapro(&maps, view.get());
    if (!out || !v)
        return NN_ERROR_TENSOR_NO_DATA;
    /* Row c holds class c's values at its own columns and 0 everywhere else,
     * whatever the output held before. */
    memset(out, 0, (size_t)(k * l) * sizeof(float));
    int64_t start = 0;
    for (int64_t c = 0; c < k; ++c) {
        int64_t n = (int64_t)counts[c];
        memcpy(out + c * l + start, v + start, (size_t)n * sizeof(float));
        start += n;
    }

    return status;
}

/* s = a · b for two [1, len] rows, read back from the [1, 1] view. */
static int dot_rows(nn_tensor* s, nn_tensor* a_view, nn_tensor* a, int64_t a_row, nn_tensor* b_view,
                    nn_tensor* b, int64_t b_row, int64_t len, float* result)
{
    int status = row_view(a_view, a, a_row, len);
    if (status == NN_SUCCESS)
        status = row_view(b_view, b, b_row, len);
    if (status == NN_SUCCESS)
        status = nn_matmul(s, a_view, b_view, 0, 1);
    if (status != NN_SUCCESS)
        return status;
    kestrune::ReadMap value(s);
    if (!value)
        return NN_ERROR_TENSOR_NO_DATA;
    *result = value.as<float>()[0];
    return NN_SUCCESS;
}

/* All five tensors given, the output and the three inputs FLOAT32. */
static int check_f32_args(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                          nn_tensor* input1, nn_tensor* input2)
{
    if (!output || !cache || !input0 || !input1 || !input2)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(output) != NN_TYPE_F32 || nn_tensor_type(input0) != NN_TYPE_F32 ||
        nn_tensor_type(input1) != NN_TYPE_F32 || nn_tensor_type(input2) != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    return NN_SUCCESS;
}

NN_API int nn_svm_decision_stats(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                                 nn_tensor* input1, nn_tensor* input2)
{
    int err = check_f32_args(output, cache, input0, input1, input2);
    if (err != NN_SUCCESS)
        return err;
    int64_t k = nn_tensor_dims(input0) >= 1 ? nn_tensor_shape(input0)[0] : 0;
    int64_t l = k > 0 ? nn_pp_volume(input0) / k : 0;
    int64_t pairs = k * (k - 1) / 2;
    if (k < 2 || l < 1 || nn_pp_volume(input0) != k * l || nn_pp_volume(input1) != (k - 1) * l ||
        nn_pp_volume(input2) != pairs || nn_pp_volume(output) != pairs)
        return NN_ERROR_INVALID_SHAPE;
    if (nn_tensor_size(cache) < sizeof(float))
        return NN_ERROR_OUT_OF_RESOURCES;

    kestrune::UniqueTensor s_owner, coef_owner, kernel_owner;
    nn_pp_maps maps;
    int status = NN_SUCCESS;
    float* out = (float*)nn_pp_maprw(&maps, output);
    const float* intercepts = (const float*)nn_pp_mapro(&maps, input2);
    if (!out || !intercepts)
        return NN_ERROR_TENSOR_NO_DATA;
    s_owner.reset(nn_tensor_init(NULL, nn_tensor_engine(cache)));
    coef_owner.reset(nn_tensor_init(NULL, nn_tensor_engine(input1)));
    kernel_owner.reset(nn_tensor_init(NULL, nn_tensor_engine(input0)));
    nn_tensor* s = s_owner.get();
    nn_tensor* coef_row = coef_owner.get();
    nn_tensor* kernel_row = kernel_owner.get();
    if (!s || !coef_row || !kernel_row)
        return NN_ERROR_OUT_OF_MEMORY;
    const int32_t one[2] = {1, 1};
    status = nn_tensor_view(s, NN_TYPE_F32, 2, one, cache, 0);
    if (status != NN_SUCCESS)
        return status;
    int64_t p = 0;
    for (int64_t i = 0; i < k; ++i) {
        for (int64_t j = i + 1; j < k; ++j, ++p) {
            float s1, s2;
            status = dot_rows(s, coef_row, input1, j - 1, kernel_row, input0, i, l, &s1);
            if (status == NN_SUCCESS)
                status = dot_rows(s, coef_row, input1, i, kernel_row, input0, j, l, &s2);
            if (status != NN_SUCCESS)
                return status;
            out[p] = s1 + s2 - intercepts[p];
        }
    }

    return status;
}

/* Platt's sigmoid 1 / (1 + exp(f)) without overflow, held inside (0, 1). */
static double platt(float f)
{
    double x = f;
    double q = x >= 0 ? exp(-x) / (1.0 + exp(-x)) : 1.0 / (1.0 + exp(x));
    if (q < 1e-7)
        q = 1e-7;
    if (q > 0.9999999)
        q = 0.9999999;
    return q;
}

NN_API int nn_svm_soft_probability(nn_tensor* output, nn_tensor* cache, nn_tensor* input0,
                                   nn_tensor* input1, nn_tensor* input2)
{
    int err = check_f32_args(output, cache, input0, input1, input2);
    if (err != NN_SUCCESS)
        return err;
    int64_t k = nn_pp_volume(output), pairs = k * (k - 1) / 2;
    if (k < 2 || nn_pp_volume(input0) != pairs || nn_pp_volume(input1) != pairs ||
        nn_pp_volume(input2) != pairs || k * k * 3 > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    if ((uint64_t)(k * k) * 12 > (uint64_t)nn_tensor_size(cache))
        return NN_ERROR_OUT_OF_RESOURCES;

    kestrune::UniqueTensor view(nn_tensor_init(NULL, nn_tensor_engine(cache)));
    if (!view)
        return NN_ERROR_OUT_OF_MEMORY;
    const int32_t shape[2] = {(int32_t)(k * k), 3};
    int status = nn_tensor_view(view.get(), NN_TYPE_F32, 2, shape, cache, 0);
    if (status != NN_SUCCESS)
        return status;
    nn_pp_maps maps;
    float* work = (float*)nn_pp_maprw(&maps, view.get());
    float* prob = (float*)nn_pp_maprw(&maps, output);
    const float* dec = (const float*)nn_pp_mapro(&maps, input0);
    const float* a = (const float*)nn_pp_mapro(&maps, input1);
    const float* b = (const float*)nn_pp_mapro(&maps, input2);
    if (!work || !prob || !dec || !a || !b)
        return NN_ERROR_TENSOR_NO_DATA;
#define R(i, j) work[((i) * k + (j)) * 3]
#define Q(i, j) work[((i) * k + (j)) * 3 + 1]
#define QP(t) work[(t) * 3 + 2]
    int64_t p = 0;
    for (int64_t i = 0; i < k; ++i)
        for (int64_t j = i + 1; j < k; ++j, ++p) {
            R(i, j) = (float)platt(dec[p] * a[p] + b[p]);
            R(j, i) = 1.0f - R(i, j);
        }
    if (k == 2) {
        prob[0] = R(0, 1);
        prob[1] = R(1, 0);
        return status;
    }
    for (int64_t t = 0; t < k; ++t) {
        prob[t] = 1.0f / (float)k;
        Q(t, t) = 0;
        for (int64_t j = 0; j < t; ++j) {
            Q(t, t) += R(j, t) * R(j, t);
            Q(t, j) = Q(j, t);
        }
        for (int64_t j = t + 1; j < k; ++j) {
            Q(t, t) += R(j, t) * R(j, t);
            Q(t, j) = -R(j, t) * R(t, j);
        }
    }
    int64_t max_iterations = k > 100 ? k : 100;
    float tolerance = 0.005f / (float)k;
    int converged = 0;
    for (int64_t iteration = 0; iteration < max_iterations && !converged; ++iteration) {
        float pqp = 0;
        for (int64_t t = 0; t < k; ++t) {
            QP(t) = 0;
            for (int64_t j = 0; j < k; ++j)
                QP(t) += Q(t, j) * prob[j];
            pqp += prob[t] * QP(t);
        }
        /* NaN anywhere never meets the tolerance. */
        converged = 1;
        for (int64_t t = 0; t < k; ++t)
            if (!(fabsf(QP(t) - pqp) < tolerance))
                converged = 0;
        if (converged)
            break;
        for (int64_t t = 0; t < k; ++t) {
            float diff = (pqp - QP(t)) / Q(t, t);
            prob[t] += diff;
            pqp = (pqp + diff * (diff * Q(t, t) + 2 * QP(t))) / ((1 + diff) * (1 + diff));
            for (int64_t j = 0; j < k; ++j) {
                QP(j) = (QP(j) + diff * Q(t, j)) / (1 + diff);
                prob[j] /= 1 + diff;
            }
        }
    }
#undef R
#undef Q
#undef QP
    return converged ? status : NN_ERROR_INTERNAL;
}
