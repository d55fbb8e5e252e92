/* Element-wise content operations: compare, fill, randomize and argmax. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits>
#include <type_traits>

#include "core/engine_rule.h"
#include "core/scoped.h"
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
    kestrune::ReadMap pa(a);
    if (!pa)
        return volume;
    kestrune::ReadMap pb(b);
    if (!pb)
        return volume;
    int differ = 0;
    for (int i = 0; i < volume; ++i) {
        const double x = nn_element_to_double(a->type, pa.data(), (size_t)i);
        const double y = nn_element_to_double(b->type, pb.data(), (size_t)i);
        if (fabs(x - y) > tolerance) {
            printf("\t%f != %f", x, y);
            ++differ;
        }
    }
    return differ;
}

namespace {

/* double to an integer type: truncates toward zero and saturates; NaN (and,
 * for unsigned types, anything not above 0) gives 0. */
template <typename T>
T saturate(double v)
{
    static_assert(std::is_integral<T>::value, "integer targets only");
    constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
    if constexpr (std::is_signed<T>::value) {
        constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
        if (v != v)
            return 0;
        if (v >= hi)
            return std::numeric_limits<T>::max();
        if (v <= lo)
            return std::numeric_limits<T>::min();
    } else {
        if (!(v > 0.0))
            return 0;
        if (v >= hi)
            return std::numeric_limits<T>::max();
    }
    return static_cast<T>(v);
}

/* The bytes of one element, for fill_pattern; returns its size. */
template <typename T>
size_t element_bytes(unsigned char* elem, T v)
{
    memcpy(elem, &v, sizeof v);
    return sizeof v;
}

template <typename T>
int argmax_index(const T* v, int volume)
{
    int best = 0;
    for (int i = 1; i < volume; ++i)
        if (v[i] > v[best])
            best = i;
    return best;
}

} // namespace

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
    kestrune::WriteMap map(t);
    unsigned char* data = map.as<unsigned char>();
    if (!data)
        return NN_ERROR_TENSOR_NO_DATA;
    const size_t bytes = nn_tensor_size(t);
    if (value == 0.0) {
        memset(data, 0, bytes);
    } else {
        unsigned char elem[8];
        size_t es = 0;
        switch (t->type) {
        /* 8- and 16-bit types take the low bits of the 32-bit conversion. */
        case NN_TYPE_I8:
            memset(data, static_cast<uint8_t>(saturate<int32_t>(value)), bytes);
            break;
        case NN_TYPE_U8:
            memset(data, static_cast<uint8_t>(saturate<uint32_t>(value)), bytes);
            break;
        case NN_TYPE_I16:
            es = element_bytes(elem, static_cast<uint16_t>(saturate<int32_t>(value)));
            break;
        case NN_TYPE_U16:
            es = element_bytes(elem, static_cast<uint16_t>(saturate<uint32_t>(value)));
            break;
        case NN_TYPE_I32: es = element_bytes(elem, saturate<int32_t>(value)); break;
        case NN_TYPE_U32: es = element_bytes(elem, saturate<uint32_t>(value)); break;
        case NN_TYPE_I64: es = element_bytes(elem, saturate<int64_t>(value)); break;
        case NN_TYPE_U64: es = element_bytes(elem, saturate<uint64_t>(value)); break;
        case NN_TYPE_F32: es = element_bytes(elem, static_cast<float>(value)); break;
        case NN_TYPE_F64: es = element_bytes(elem, value); break;
        case NN_TYPE_RAW:
        case NN_TYPE_STR:
        case NN_TYPE_F16:
            return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
        default: /* unknown codes hold no bytes */
            break;
        }
        if (es)
            fill_pattern(data, bytes, elem, es);
    }
    t->time = (uint64_t)(clock_now_ns() - start);
    return NN_SUCCESS;
}

int nn_tensor_randomize(nn_tensor* t)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    if (t->type != NN_TYPE_F32 && t->type != NN_TYPE_F64)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    const int64_t start = clock_now_ns();
    kestrune::ReadWriteMap data(t);
    if (!data)
        return NN_ERROR_TENSOR_NO_DATA;
    const int volume = nn_tensor_volume(t);
    auto uniform = [volume](auto* out) {
        for (int i = 0; i < volume; ++i) {
            const float r = (float)rand() * 0x1p-31f;
            const float v = 2.0f * r - 1.0f;
            out[i] = v;
        }
    };
    if (t->type == NN_TYPE_F32)
        uniform(data.as<float>());
    else
        uniform(data.as<double>());
    t->time = (uint64_t)(clock_now_ns() - start);
    return NN_SUCCESS;
}

int nn_argmax(nn_tensor* t, int* index, float* score, size_t score_size)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    kestrune::ReadMap data(t);
    if (!data)
        return NN_ERROR_TENSOR_NO_DATA;
    const int volume = nn_tensor_volume(t);
    int best = 0;
    float best_score = 0.0f;
    switch (t->type) {
    case NN_TYPE_F32: {
        const float* v = data.as<float>();
        best = argmax_index(v, volume);
        best_score = v[best];
        break;
    }
    case NN_TYPE_U8: {
        const uint8_t* v = data.as<uint8_t>();
        best = argmax_index(v, volume);
        best_score = (float)v[best] * 0.00390625f;
        break;
    }
    case NN_TYPE_I8: {
        const int8_t* v = data.as<int8_t>();
        best = argmax_index(v, volume);
        best_score = (float)(v[best] * 0.00390625 + 0.5);
        break;
    }
    default:
        break;
    }
    data.reset();
    if (index)
        *index = best;
    if (score) {
        if (score_size < 4)
            return NN_ERROR_INVALID_PARAMETER;
        *score = best_score;
    }
    return NN_SUCCESS;
}
