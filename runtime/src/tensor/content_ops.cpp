/* Element-wise content operations: compare, fill, randomize and argmax. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/engine_rule.h"
#include "core/types.h"
#include "platform.h"
#include "tensor/tensor_record.h"

#if defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define NN_FILL_NEON 1
#endif

int nn_tensor_compare(nn_tensor* a, nn_tensor* b, double tolerance)
{
    /* A missing tensor differs from every element of the other one. */
    if (!a || !b)
        return a ? nn_tensor_volume(a) : nn_tensor_volume(b);
    if (!nn_tensor_shape_equal(a->shape, b->shape))
        return nn_tensor_volume(a);
    nn_engine* engine = nn_shared_engine2(a, b);
    if (engine && engine->compare)
        return engine->compare(a, b, tolerance);

    const int volume = nn_tensor_volume(a);
    const void* pa = nn_tensor_mapro(a);
    if (!pa)
        return volume;
    const void* pb = nn_tensor_mapro(b);
    if (!pb) {
        nn_tensor_unmap(a);
        return volume;
    }
    int differ = 0;
    for (int i = 0; i < volume; ++i) {
        const double x = nn_element_to_double(a->type, pa, (size_t)i);
        const double y = nn_element_to_double(b->type, pb, (size_t)i);
        if (fabs(x - y) > tolerance) {
            printf("\t%f != %f", x, y);
            ++differ;
        }
    }
    nn_tensor_unmap(b);
    nn_tensor_unmap(a);
    return differ;
}

/* Conversions truncate toward zero and saturate; NaN gives 0. */
static int32_t to_i32(double v)
{
    if (v != v)
        return 0;
    if (v >= 2147483647.0)
        return INT32_MAX;
    if (v <= -2147483648.0)
        return INT32_MIN;
    return (int32_t)v;
}

static uint32_t to_u32(double v)
{
    if (!(v > 0.0))
        return 0;
    if (v >= 4294967295.0)
        return UINT32_MAX;
    return (uint32_t)v;
}

static int64_t to_i64(double v)
{
    if (v != v)
        return 0;
    if (v >= 9223372036854775807.0)
        return INT64_MAX;
    if (v <= -9223372036854775808.0)
        return INT64_MIN;
    return (int64_t)v;
}

static uint64_t to_u64(double v)
{
    if (!(v > 0.0))
        return 0;
    if (v >= 18446744073709551615.0)
        return UINT64_MAX;
    return (uint64_t)v;
}

/* Repeats one element of es bytes (es divides 16) over the buffer. */
static void fill_pattern(unsigned char* dst, size_t bytes, const unsigned char* elem, size_t es)
{
    unsigned char block[64];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = elem[i % es];
    size_t i = 0;
#ifdef NN_FILL_NEON
    const uint8x16_t v = vld1q_u8(block);
    for (; i + 16 <= bytes; i += 16)
        vst1q_u8(dst + i, v);
#else
    for (; i + sizeof block <= bytes; i += sizeof block)
        memcpy(dst + i, block, sizeof block);
#endif
    if (i < bytes)
        memcpy(dst + i, block, bytes - i);
}

int nn_tensor_fill(nn_tensor* t, double value)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    if (t->engine && t->engine->fill)
        return t->engine->fill(t, value);

    const int64_t start = clock_now_ns();
    unsigned char* data = (unsigned char*)nn_tensor_mapwo(t);
    if (!data)
        return NN_ERROR_TENSOR_NO_DATA;
    const size_t bytes = nn_tensor_size(t);
    if (value == 0.0) {
        memset(data, 0, bytes);
    } else {
        unsigned char elem[8];
        size_t es = 0;
        switch (t->type) {
        case NN_TYPE_I8:
            memset(data, (uint8_t)to_i32(value), bytes);
            break;
        case NN_TYPE_U8:
            memset(data, (uint8_t)to_u32(value), bytes);
            break;
        case NN_TYPE_I16: {
            uint16_t v = (uint16_t)to_i32(value);
            memcpy(elem, &v, es = 2);
            break;
        }
        case NN_TYPE_U16: {
            uint16_t v = (uint16_t)to_u32(value);
            memcpy(elem, &v, es = 2);
            break;
        }
        case NN_TYPE_I32: {
            int32_t v = to_i32(value);
            memcpy(elem, &v, es = 4);
            break;
        }
        case NN_TYPE_U32: {
            uint32_t v = to_u32(value);
            memcpy(elem, &v, es = 4);
            break;
        }
        case NN_TYPE_I64: {
            int64_t v = to_i64(value);
            memcpy(elem, &v, es = 8);
            break;
        }
        case NN_TYPE_U64: {
            uint64_t v = to_u64(value);
            memcpy(elem, &v, es = 8);
            break;
        }
        case NN_TYPE_F32: {
            float v = (float)value;
            memcpy(elem, &v, es = 4);
            break;
        }
        case NN_TYPE_F64:
            memcpy(elem, &value, es = 8);
            break;
        case NN_TYPE_RAW:
        case NN_TYPE_STR:
        case NN_TYPE_F16:
            nn_tensor_unmap(t);
            return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
        default: /* unknown codes hold no bytes */
            break;
        }
        if (es)
            fill_pattern(data, bytes, elem, es);
    }
    t->time = (uint64_t)(clock_now_ns() - start);
    nn_tensor_unmap(t);
    return NN_SUCCESS;
}

int nn_tensor_randomize(nn_tensor* t)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    if (t->type != NN_TYPE_F32 && t->type != NN_TYPE_F64)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    const int64_t start = clock_now_ns();
    void* data = nn_tensor_maprw(t);
    if (!data)
        return NN_ERROR_TENSOR_NO_DATA;
    const int volume = nn_tensor_volume(t);
    for (int i = 0; i < volume; ++i) {
        const float r = (float)rand() * 0x1p-31f;
        const float v = 2.0f * r - 1.0f;
        if (t->type == NN_TYPE_F32)
            ((float*)data)[i] = v;
        else
            ((double*)data)[i] = v;
    }
    t->time = (uint64_t)(clock_now_ns() - start);
    nn_tensor_unmap(t);
    return NN_SUCCESS;
}

int nn_argmax(nn_tensor* t, int* index, float* score, size_t score_size)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    const void* data = nn_tensor_mapro(t);
    if (!data)
        return NN_ERROR_TENSOR_NO_DATA;
    const int volume = nn_tensor_volume(t);
    int best = 0;
    float best_score = 0.0f;
    switch (t->type) {
    case NN_TYPE_F32: {
        const float* v = (const float*)data;
        for (int i = 1; i < volume; ++i)
            if (v[i] > v[best])
                best = i;
        best_score = v[best];
        break;
    }
    case NN_TYPE_U8: {
        const uint8_t* v = (const uint8_t*)data;
        for (int i = 1; i < volume; ++i)
            if (v[i] > v[best])
                best = i;
        best_score = (float)v[best] * 0.00390625f;
        break;
    }
    case NN_TYPE_I8: {
        const int8_t* v = (const int8_t*)data;
        for (int i = 1; i < volume; ++i)
            if (v[i] > v[best])
                best = i;
        best_score = (float)(v[best] * 0.00390625 + 0.5);
        break;
    }
    default:
        break;
    }
    nn_tensor_unmap(t);
    if (index)
        *index = best;
    if (score) {
        if (score_size < 4)
            return NN_ERROR_INVALID_PARAMETER;
        *score = best_score;
    }
    return NN_SUCCESS;
}
