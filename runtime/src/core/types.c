#include "types.h"

static const struct {
    const char* name;
    size_t size;
} type_table[NN_TYPE_COUNT] = {
    {"RAW", 1}, {"STR", 1}, {"I8", 1},  {"U8", 1},  {"I16", 2}, {"U16", 2}, {"I32", 4},
    {"U32", 4}, {"I64", 8}, {"U64", 8}, {"F16", 2}, {"F32", 4}, {"F64", 8},
};

size_t nn_type_size(uint32_t type) { return type < NN_TYPE_COUNT ? type_table[type].size : 0; }

const char* nn_type_name(uint32_t type) { return type < NN_TYPE_COUNT ? type_table[type].name : NULL; }
