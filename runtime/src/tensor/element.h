/* One element of a tensor buffer read as a double from its own type. */
#ifndef KESTRUNE_TENSOR_ELEMENT_H
#define KESTRUNE_TENSOR_ELEMENT_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline double nn_half_to_double(uint16_t h)
{
    const int exponent = (h >> 10) & 0x1f;
    const int mantissa = h & 0x3ff;
    double v;
    if (exponent == 0)
        v = ldexp((double)mantissa, -24);
    else if (exponent == 31)
        v = mantissa ? NAN : INFINITY;
    else
        v = ldexp((double)(mantissa + 1024), exponent - 25);
    return (h & 0x8000) ? -v : v;
}

/* RAW and STRING bytes read as unsigned; codes above 12 hold nothing (0). */
static inline double nn_element_to_double(const void* data, uint32_t type, size_t index)
{
    const unsigned char* p = (const unsigned char*)data;
    switch (type) {
    case NN_TYPE_RAW:
    case NN_TYPE_STR:
    case NN_TYPE_U8:
        return p[index];
    case NN_TYPE_I8:
        return (int8_t)p[index];
    case NN_TYPE_I16: {
        int16_t v;
        memcpy(&v, p + 2 * index, 2);
        return v;
    }
    case NN_TYPE_U16: {
        uint16_t v;
        memcpy(&v, p + 2 * index, 2);
        return v;
    }
    case NN_TYPE_I32: {
        int32_t v;
        memcpy(&v, p + 4 * index, 4);
        return v;
    }
    case NN_TYPE_U32: {
        uint32_t v;
        memcpy(&v, p + 4 * index, 4);
        return v;
    }
    case NN_TYPE_I64: {
        int64_t v;
        memcpy(&v, p + 8 * index, 8);
        return (double)v;
    }
    case NN_TYPE_U64: {
        uint64_t v;
        memcpy(&v, p + 8 * index, 8);
        return (double)v;
    }
    case NN_TYPE_F16: {
        uint16_t v;
        memcpy(&v, p + 2 * index, 2);
        return nn_half_to_double(v);
    }
    case NN_TYPE_F32: {
        float v;
        memcpy(&v, p + 4 * index, 4);
        return v;
    }
    case NN_TYPE_F64: {
        double v;
        memcpy(&v, p + 8 * index, 8);
        return v;
    }
    default:
        return 0.0;
    }
}

#ifdef __cplusplus
}
#endif

#endif
