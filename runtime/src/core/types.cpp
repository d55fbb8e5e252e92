#include "types.h"

#include <string.h>

#include <array>
#include <cstddef>

#include "kestrune/nn.h"

namespace {

struct TypeInfo {
    nn_type code;
    const char* name;
    size_t size;
};

constexpr std::array<TypeInfo, NN_TYPE_COUNT> type_table{{
    {NN_TYPE_RAW, "RAW", 1}, {NN_TYPE_STR, "STR", 1}, {NN_TYPE_I8, "I8", 1},
    {NN_TYPE_U8, "U8", 1},   {NN_TYPE_I16, "I16", 2}, {NN_TYPE_U16, "U16", 2},
    {NN_TYPE_I32, "I32", 4}, {NN_TYPE_U32, "U32", 4}, {NN_TYPE_I64, "I64", 8},
    {NN_TYPE_U64, "U64", 8}, {NN_TYPE_F16, "F16", 2}, {NN_TYPE_F32, "F32", 4},
    {NN_TYPE_F64, "F64", 8},
}};

constexpr bool every_type_in_place()
{
    for (std::size_t i = 0; i < type_table.size(); ++i)
        if (static_cast<std::size_t>(type_table[i].code) != i)
            return false;
    return true;
}
static_assert(every_type_in_place(), "type table is listed by code");
static_assert(NN_TYPE_COUNT == NN_TYPE_F64 + 1, "the table covers every type code");
static_assert(type_table[NN_TYPE_I16].size == sizeof(int16_t) &&
                  type_table[NN_TYPE_I32].size == sizeof(int32_t) &&
                  type_table[NN_TYPE_I64].size == sizeof(int64_t) &&
                  type_table[NN_TYPE_F32].size == sizeof(float) &&
                  type_table[NN_TYPE_F64].size == sizeof(double),
              "sizes match the C types the elements are read as");

} // namespace

size_t nn_type_size(uint32_t type) { return type < NN_TYPE_COUNT ? type_table[type].size : 0; }

const char* nn_type_name(uint32_t type) { return type < NN_TYPE_COUNT ? type_table[type].name : nullptr; }

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

namespace {
template <typename T>
double element(const void* data, size_t index)
{
    return static_cast<double>(static_cast<const T*>(data)[index]);
}
} // namespace

double nn_element_to_double(uint32_t type, const void* data, size_t index)
{
    switch (type) {
    case NN_TYPE_RAW:
    case NN_TYPE_STR:
    case NN_TYPE_U8: return element<uint8_t>(data, index);
    case NN_TYPE_I8: return element<int8_t>(data, index);
    case NN_TYPE_I16: return element<int16_t>(data, index);
    case NN_TYPE_U16: return element<uint16_t>(data, index);
    case NN_TYPE_I32: return element<int32_t>(data, index);
    case NN_TYPE_U32: return element<uint32_t>(data, index);
    case NN_TYPE_I64: return element<int64_t>(data, index);
    case NN_TYPE_U64: return element<uint64_t>(data, index);
    case NN_TYPE_F16: return nn_half_to_float(static_cast<const uint16_t*>(data)[index]);
    case NN_TYPE_F32: return element<float>(data, index);
    case NN_TYPE_F64: return element<double>(data, index);
    default: return 0.0;
    }
}
