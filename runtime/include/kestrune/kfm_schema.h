/*
 * KFM model files: field indices of the four tables and C-callable readers.
 *
 * A KFM file is one FlatBuffers buffer (little-endian) with the identifier
 * "KFMx" at bytes 4-7 and a `kfm_model` table as its root.  Fields are bound
 * by index; the names below are the ones the runtime uses.  The readers do no
 * bounds checking: they are for buffers that nn_model_validate accepted.
 * Every multi-byte load goes through memcpy, since vector payloads and
 * resource bytes need not be aligned for the host.
 *
 * This header depends on nothing but the C library so that other libraries
 * reading the same tables can include it on its own.
 */
#ifndef KESTRUNE_KFM_SCHEMA_H
#define KESTRUNE_KFM_SCHEMA_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KFM_IDENTIFIER "KFMx"

/* Table kfm_model (root), 17 fields. */
enum kfm_model_field {
    KFM_MODEL_FIELD0 = 0,              /* 4-byte scalar, unread */
    KFM_MODEL_FIELD1 = 1,              /* string, required, unread */
    KFM_MODEL_FIELD2 = 2,              /* 4-byte scalar, unread */
    KFM_MODEL_NAME = 3,                /* string */
    KFM_MODEL_FIELD4 = 4,              /* string, unread */
    KFM_MODEL_LABELS = 5,              /* vector of string */
    KFM_MODEL_RESOURCES = 6,           /* vector of kfm_resource */
    KFM_MODEL_FIELD7 = 7,              /* vector of kfm_resource, unread */
    KFM_MODEL_LAYERS = 8,              /* vector of kfm_layer */
    KFM_MODEL_MEMORY_BLOCK_SIZE = 9,   /* u32 */
    KFM_MODEL_MEMORY_BLOCKS = 10,      /* u32, default 1 */
    KFM_MODEL_CACHE_MINIMUM_SIZE = 11, /* u32 */
    KFM_MODEL_CACHE_OPTIMUM_SIZE = 12, /* u32 */
    KFM_MODEL_FIELD13 = 13,            /* string, unread */
    KFM_MODEL_FIELD14 = 14,            /* string, unread */
    KFM_MODEL_INPUTS = 15,             /* vector of u32 */
    KFM_MODEL_OUTPUTS = 16,            /* vector of u32 */
    KFM_MODEL_FIELD_COUNT = 17
};

/* Table kfm_layer, 14 fields. */
enum kfm_layer_field {
    KFM_LAYER_NAME = 0,           /* string, required */
    KFM_LAYER_FIELD1 = 1,         /* string, unread */
    KFM_LAYER_TYPE = 2,           /* i16 */
    KFM_LAYER_INPUTS = 3,         /* vector of u32 */
    KFM_LAYER_PARAMETERS = 4,     /* vector of kfm_parameter */
    KFM_LAYER_SHAPE = 5,          /* vector of i32 */
    KFM_LAYER_MEMPOOL_OFFSET = 6, /* u32, in memory-pool blocks */
    KFM_LAYER_PANEL_SIZE = 7,     /* u32 */
    KFM_LAYER_FIELD8 = 8,         /* string, unread */
    KFM_LAYER_DATATYPE = 9,       /* i8, nn_type code */
    KFM_LAYER_ZEROS = 10,         /* vector of i32 */
    KFM_LAYER_SCALES = 11,        /* vector of f32 */
    KFM_LAYER_AXIS = 12,          /* i8 */
    KFM_LAYER_FIELD13 = 13,       /* vector of 8-byte scalars, unread */
    KFM_LAYER_FIELD_COUNT = 14
};

/* Table kfm_parameter, 9 fields. */
enum kfm_parameter_field {
    KFM_PARAMETER_NAME = 0,     /* string, required */
    KFM_PARAMETER_SHAPE = 1,    /* vector of i32 */
    KFM_PARAMETER_DATA_F32 = 2, /* vector of f32 */
    KFM_PARAMETER_DATA_I16 = 3, /* vector of i16 */
    KFM_PARAMETER_DATA_RAW = 4, /* vector of u8 */
    KFM_PARAMETER_DATA_STR = 5, /* vector of string */
    KFM_PARAMETER_DATA_I32 = 6, /* vector of i32 */
    KFM_PARAMETER_DATA_I8 = 7,  /* vector of i8 */
    KFM_PARAMETER_FIELD8 = 8,   /* vector of 1-byte scalars, unread */
    KFM_PARAMETER_FIELD_COUNT = 9
};

/* Table kfm_resource, 4 fields. */
enum kfm_resource_field {
    KFM_RESOURCE_NAME = 0, /* string, required */
    KFM_RESOURCE_META = 1, /* string */
    KFM_RESOURCE_MIME = 2, /* string */
    KFM_RESOURCE_DATA = 3, /* vector of u8 */
    KFM_RESOURCE_FIELD_COUNT = 4
};

/* ---- Little-endian loads ------------------------------------------------ */

static inline uint16_t kfm_load_u16(const void* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap16(v);
#endif
    return v;
}

static inline uint32_t kfm_load_u32(const void* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

static inline int32_t kfm_load_i32(const void* p) { return (int32_t)kfm_load_u32(p); }

/* ---- Buffer and tables -------------------------------------------------- */

/* 1 when buffer is not NULL and bytes 4-7 are "KFMx". */
static inline int kfm_identified(const void* buffer)
{
    return buffer != NULL && memcmp((const uint8_t*)buffer + 4, KFM_IDENTIFIER, 4) == 0;
}

/* The root kfm_model table, or NULL for a NULL or unidentified buffer. */
static inline const uint8_t* kfm_root(const void* buffer)
{
    if (!kfm_identified(buffer))
        return NULL;
    return (const uint8_t*)buffer + kfm_load_u32(buffer);
}

/* Byte offset of field `index` inside `table`, 0 when the field is absent. */
static inline uint16_t kfm_field_offset(const uint8_t* table, unsigned index)
{
    const uint8_t* vtable = table - kfm_load_i32(table);
    uint16_t vsize = kfm_load_u16(vtable);
    unsigned slot = 4u + 2u * index;
    if (slot + 2u > vsize)
        return 0;
    return kfm_load_u16(vtable + slot);
}

static inline int kfm_field_present(const uint8_t* table, unsigned index)
{
    return table != NULL && kfm_field_offset(table, index) != 0;
}

/* Address of a present field's bytes, NULL when absent. */
static inline const uint8_t* kfm_field(const uint8_t* table, unsigned index)
{
    uint16_t off = table ? kfm_field_offset(table, index) : 0;
    return off ? table + off : NULL;
}

/* Scalars with a default for an absent field. */
static inline uint32_t kfm_u32(const uint8_t* table, unsigned index, uint32_t def)
{
    const uint8_t* p = kfm_field(table, index);
    return p ? kfm_load_u32(p) : def;
}

static inline int16_t kfm_i16(const uint8_t* table, unsigned index, int16_t def)
{
    const uint8_t* p = kfm_field(table, index);
    return p ? (int16_t)kfm_load_u16(p) : def;
}

static inline int8_t kfm_i8(const uint8_t* table, unsigned index, int8_t def)
{
    const uint8_t* p = kfm_field(table, index);
    return p ? (int8_t)*p : def;
}

/* Target of an offset field (string, vector or table), NULL when absent. */
static inline const uint8_t* kfm_offset_target(const uint8_t* table, unsigned index)
{
    const uint8_t* p = kfm_field(table, index);
    return p ? p + kfm_load_u32(p) : NULL;
}

/* A zero-terminated string field, NULL when absent. */
static inline const char* kfm_string(const uint8_t* table, unsigned index)
{
    const uint8_t* s = kfm_offset_target(table, index);
    return s ? (const char*)(s + 4) : NULL;
}

/* The payload of a vector field and its element count; NULL when absent. */
static inline const uint8_t* kfm_vector(const uint8_t* table, unsigned index, uint32_t* count)
{
    const uint8_t* v = kfm_offset_target(table, index);
    if (!v)
        return NULL;
    if (count)
        *count = kfm_load_u32(v);
    return v + 4;
}

/* Element count of a vector payload returned by kfm_vector. */
static inline uint32_t kfm_vector_count(const uint8_t* payload) { return kfm_load_u32(payload - 4); }

/* Element i of a vector of tables or strings (each element is an offset). */
static inline const uint8_t* kfm_vector_table(const uint8_t* payload, uint32_t i)
{
    const uint8_t* e = payload + 4u * (size_t)i;
    return e + kfm_load_u32(e);
}

static inline const char* kfm_vector_string(const uint8_t* payload, uint32_t i)
{
    return (const char*)(kfm_vector_table(payload, i) + 4);
}

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_KFM_SCHEMA_H */
