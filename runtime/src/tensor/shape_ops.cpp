/* Shape arithmetic: comparison, reshaping, offsets and windowed-operator padding. */
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "tensor/tensor_internal.h"

bool nn_tensor_shape_equal(const int32_t a[4], const int32_t b[4])
{
    if (!a || !b)
        return a == b;
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

void nn_tensor_shape_copy(int32_t dst[4], const int32_t src[4])
{
    if (dst && src)
        memmove(dst, src, 4 * sizeof(int32_t));
}

/* The report goes out split over both streams, entries on stdout. */
static int report_too_large(long long volume, int current, int dims, const int32_t* shape)
{
    fprintf(stderr, "nn_tensor_reshape volume too large (%lld) for target tensor (%d)", volume,
            current);
    fprintf(stderr, " %d dims: [ ", dims);
    fflush(stderr);
    for (int i = 0; i < dims; ++i)
        printf("%d ", shape[i]);
    fflush(stdout);
    fprintf(stderr, "]\n");
    return NN_ERROR_INVALID_SHAPE;
}

/* Products saturate instead of overflowing: any value past INT32_MAX already
 * exceeds every tensor's volume. */
static int64_t mul_sat(int64_t a, int64_t b)
{
    int64_t r;
    return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

int nn_tensor_reshape(nn_tensor* t, int dims, const int32_t* shape)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    if (dims > 4) {
        fprintf(stderr, "nn_tensor_reshape cannot have more than 4 dimensions (%d given)\n", dims);
        return NN_ERROR_INVALID_SHAPE;
    }
    const int volume = nn_tensor_volume(t);
    if (dims < 1) {
        if (volume < 1)
            return report_too_large(1, volume, dims, shape);
        const int32_t ones[4] = {1, 1, 1, 1};
        nn_tensor_store_shape(t, t->type, 0, ones);
        return NN_SUCCESS;
    }
    if (!shape)
        return NN_ERROR_INVALID_SHAPE;

    int64_t known = 1;
    for (int i = 0; i < dims; ++i)
        known = mul_sat(known, shape[i] < 1 ? 1 : shape[i]);
    int64_t fill = 1;
    int negative = 0;
    for (int i = 0; i < dims; ++i) {
        if (shape[i] >= 0)
            continue;
        if (negative && fill > 1) {
            fprintf(stderr, "nn_tensor_reshape cannot have more than a single -1 dimensions\n");
            return NN_ERROR_INVALID_SHAPE;
        }
        negative = 1;
        fill = volume / known;
    }
    const int64_t new_volume = mul_sat(known, fill);
    if (new_volume < 0) {
        fprintf(stderr, "nn_tensor_reshape sub-zero volume: %lld\n", (long long)new_volume);
        return NN_ERROR_INVALID_SHAPE;
    }
    if (new_volume > volume)
        return report_too_large((long long)new_volume, volume, dims, shape);

    int32_t extents[4];
    for (int i = 0; i < 4; ++i)
        extents[i] = i < dims ? (shape[i] < 1 ? (int32_t)fill : shape[i]) : 1;
    nn_tensor_store_shape(t, t->type, dims, extents);
    return NN_SUCCESS;
}

int nn_tensor_offset(const nn_tensor* t, int dims, const int32_t* index)
{
    if (dims > 4)
        return -1;
    if (dims < 1)
        return 0;
    if (!t || !index)
        return -1;
    int64_t offset = 0;
    for (int i = 0; i < dims; ++i)
        offset += (int64_t)index[i] * t->strides[i];
    return (int)offset;
}

int nn_tensor_offsetv(const nn_tensor* t, int dims, ...)
{
    if (dims > 4)
        return -1;
    if (dims < 1)
        return 0;
    int32_t index[4];
    va_list ap;
    va_start(ap, dims);
    for (int i = 0; i < dims; ++i)
        index[i] = va_arg(ap, int);
    va_end(ap);
    return nn_tensor_offset(t, dims, index);
}

int nn_tensor_padding(const nn_tensor* t, const char* padding, const int32_t* window,
                      const int32_t* strides, const int32_t* dilations, int32_t* output_shape,
                      int32_t* pads)
{
    if (!t || !padding)
        return NN_ERROR_INVALID_PARAMETER;
    const int same = strcmp(padding, "SAME") == 0;
    if (!same && strcmp(padding, "VALID") != 0)
        return NN_ERROR_INVALID_PARAMETER;

    /* Everything is computed before anything is written. */
    int32_t out[4], head[4], tail[4];
    const int dims = t->dims < 4 ? t->dims : 4;
    for (int d = 0; d < dims; ++d) {
        const int32_t w = window ? window[d] : 1;
        const int32_t s = strides ? strides[d] : 1;
        const int32_t dl = dilations ? dilations[d] : 1;
        if (w < 1 || s < 1 || dl < 1)
            return NN_ERROR_INVALID_PARAMETER;
        const float ef = (float)dl * (float)(w - 1) + 1.0f;
        if (!(ef < 2147483648.0f))
            return NN_ERROR_INVALID_SHAPE;
        const int64_t e = (int64_t)ef;
        const int64_t n = t->shape[d];
        double o;
        if (same) {
            o = (double)((n + s - 1) / s);
            const float p = (float)(((int64_t)o - 1) * s + e - n) / 2.0f;
            const float h = floorf(p), tl = ceilf(p);
            head[d] = h > 0.0f ? (int32_t)h : 0;
            tail[d] = tl > 0.0f ? (int32_t)tl : 0;
        } else {
            o = floorf((float)(n - e) / (float)s + 1.0f);
            head[d] = tail[d] = 0;
        }
        if (!(o >= 1.0))
            return NN_ERROR_INVALID_SHAPE;
        out[d] = (int32_t)o;
    }
    for (int d = 0; d < dims; ++d) {
        if (output_shape)
            output_shape[d] = out[d];
        if (pads) {
            pads[2 * d] = head[d];
            pads[2 * d + 1] = tail[d];
        }
    }
    return NN_SUCCESS;
}
