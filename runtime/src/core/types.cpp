#include "types.h"

#include <string.h>

static const struct {
    const char* name;
    size_t size;
} type_table[NN_TYPE_COUNT] = {
    {"RAW", 1}, {"STR", 1}, {"I8", 1},  {"U8", 1},  {"I16", 2}, {"U16", 2}, {"I32", 4},
    {"U32", 4}, {"I64", 8}, {"U64", 8}, {"F16", 2}, {"F32", 4}, {"F64", 8},
};

size_t nn_type_size(uint32_t type) { return type < NN_TYPE_COUNT ? type_table[type].size : 0; }

const char* nn_type_name(uint32_t type) { return type < NN_TYPE_COUNT ? type_table[type].name : NULL; }

float nn_half_to_float(uint16_t bits)
{
    uint32_t sign = (uint32_t)(bits >> 15) << 31;
    uint32_t exponent = (bits >> 10) & 0x1Fu;
    uint32_t mantissa = bits & 0x3FFu;
    uint32_t out;
    if (exponent == 0x1F) {
        out = sign | 0x7F800000u | (mantissa << 13);
    } else if (exponent != 0) {
        out = sign | ((exponent + 112u) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        out = sign;
    } else {
        /* Subnormal half: normalise into a float. */
        int e = -1;
        do {
            ++e;
            mantissa <<= 1;
        } while (!(mantissa & 0x400u));
        out = sign | ((uint32_t)(112 - e) << 23) | ((mantissa & 0x3FFu) << 13);
    }
    float f;
    memcpy(&f, &out, sizeof f);
    return f;
}

double nn_element_to_double(uint32_t type, const void* data, size_t index)
{
    switch (type) {
    case 0: /* RAW */
    case 1: /* STR */
    case 3: return ((const uint8_t*)data)[index];
    case 2: return ((const int8_t*)data)[index];
    case 4: return ((const int16_t*)data)[index];
    case 5: return ((const uint16_t*)data)[index];
    case 6: return ((const int32_t*)data)[index];
    case 7: return ((const uint32_t*)data)[index];
    case 8: return (double)((const int64_t*)data)[index];
    case 9: return (double)((const uint64_t*)data)[index];
    case 10: return nn_half_to_float(((const uint16_t*)data)[index]);
    case 11: return ((const float*)data)[index];
    case 12: return ((const double*)data)[index];
    default: return 0.0;
    }
}
