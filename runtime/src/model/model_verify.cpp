/* FlatBuffers buffer verification for KFM files, with the codes and texts of
 * flatcc's verifier runtime.  Positions are byte offsets from the buffer
 * start in unsigned 32-bit arithmetic; every read is preceded by a check that
 * keeps it inside [0, end). */
#include "model/model_verify.h"

#include <string.h>

#include "kestrune/kfm_schema.h"
#include "kestrune/nn.h"

#define OFFSET_SIZE 4u
#define COUNT_MAX(elem) (0xFFFFFFFFu / (elem))

static uint32_t read_u32(const uint8_t* buf, uint32_t pos) { return kfm_load_u32(buf + pos); }
static uint16_t read_u16(const uint8_t* buf, uint32_t pos) { return kfm_load_u16(buf + pos); }

/* An offset at `base` pointing `offset` bytes further to a 4-aligned header
 * that lies inside the buffer; a zero or wrapping offset fails. */
static int check_header(uint32_t end, uint32_t base, uint32_t offset)
{
    uint32_t k = base + offset;
    return k > base && k <= end - OFFSET_SIZE && (k & (OFFSET_SIZE - 1)) == 0;
}

/* As check_header, and the payload after the count is aligned to
 * max(align, 4) relative to the buffer start. */
static int check_aligned_header(uint32_t end, uint32_t base, uint32_t offset, uint32_t align)
{
    uint32_t k = base + offset;
    if (align < OFFSET_SIZE)
        align = OFFSET_SIZE;
    return k > base && k <= end - OFFSET_SIZE && ((k + OFFSET_SIZE) & (align - 1u)) == 0;
}

static int verify_string(const uint8_t* buf, uint32_t end, uint32_t base, uint32_t offset)
{
    if (!check_header(end, base, offset))
        return KFM_VERIFY_STRING_HEADER_OUT_OF_RANGE_OR_UNALIGNED;
    base += offset;
    uint32_t n = read_u32(buf, base);
    base += OFFSET_SIZE;
    if (!(end - base > n))
        return KFM_VERIFY_STRING_OUT_OF_RANGE;
    if (buf[base + n] != 0)
        return KFM_VERIFY_STRING_NOT_ZERO_TERMINATED;
    return KFM_VERIFY_OK;
}

static int verify_vector(const uint8_t* buf, uint32_t end, uint32_t base, uint32_t offset,
                         uint32_t elem_size, uint32_t align, uint32_t max_count)
{
    if (!check_aligned_header(end, base, offset, align))
        return KFM_VERIFY_VECTOR_HEADER_OUT_OF_RANGE_OR_UNALIGNED;
    base += offset;
    uint32_t n = read_u32(buf, base);
    base += OFFSET_SIZE;
    if (n > max_count)
        return KFM_VERIFY_VECTOR_COUNT_EXCEEDS_REPRESENTABLE_VECTOR_SIZE;
    if (end - base < n * elem_size)
        return KFM_VERIFY_VECTOR_OUT_OF_RANGE;
    return KFM_VERIFY_OK;
}

static int verify_string_vector(const uint8_t* buf, uint32_t end, uint32_t base, uint32_t offset)
{
    int ret = verify_vector(buf, end, base, offset, OFFSET_SIZE, OFFSET_SIZE, COUNT_MAX(OFFSET_SIZE));
    if (ret)
        return ret;
    base += offset;
    uint32_t n = read_u32(buf, base);
    base += OFFSET_SIZE;
    for (uint32_t i = 0; i < n; ++i, base += OFFSET_SIZE) {
        ret = verify_string(buf, end, base, read_u32(buf, base));
        if (ret)
            return ret;
    }
    return KFM_VERIFY_OK;
}

static int verify_table(const uint8_t* buf, uint32_t end, uint32_t base, uint32_t offset, int ttl,
                        kfm_table_verifier_fn* tvf)
{
    kfm_table_verifier_descriptor td;
    td.ttl = ttl - 1;
    if (td.ttl <= 0)
        return KFM_VERIFY_MAX_NESTING_LEVEL_REACHED;
    if (!check_header(end, base, offset))
        return KFM_VERIFY_TABLE_HEADER_OUT_OF_RANGE_OR_UNALIGNED;
    td.table = base + offset;
    /* The vtable sits at table - soffset; a negative or odd position fails. */
    uint32_t vbase = td.table - read_u32(buf, td.table);
    if ((int32_t)vbase < 0 || (vbase & 1u))
        return KFM_VERIFY_VTABLE_OFFSET_OUT_OF_RANGE_OR_UNALIGNED;
    if (vbase + 2u > end)
        return KFM_VERIFY_VTABLE_HEADER_OUT_OF_RANGE;
    td.vsize = read_u16(buf, vbase);
    uint32_t vend = vbase + td.vsize;
    if (vend > end || (td.vsize & 1u))
        return KFM_VERIFY_VTABLE_SIZE_OUT_OF_RANGE_OR_UNALIGNED;
    if (td.vsize < 4u)
        return KFM_VERIFY_VTABLE_HEADER_TOO_SMALL;
    td.tsize = read_u16(buf, vbase + 2u);
    if (end - td.table < td.tsize)
        return KFM_VERIFY_TABLE_SIZE_OUT_OF_RANGE;
    td.vtable = vbase;
    td.buf = buf;
    td.end = end;
    return tvf(&td);
}

static int verify_table_vector(const uint8_t* buf, uint32_t end, uint32_t base, uint32_t offset,
                               int ttl, kfm_table_verifier_fn* tvf)
{
    if (!(ttl-- > 0))
        return KFM_VERIFY_MAX_NESTING_LEVEL_REACHED;
    int ret = verify_vector(buf, end, base, offset, OFFSET_SIZE, OFFSET_SIZE, COUNT_MAX(OFFSET_SIZE));
    if (ret)
        return ret;
    base += offset;
    uint32_t n = read_u32(buf, base);
    base += OFFSET_SIZE;
    for (uint32_t i = 0; i < n; ++i, base += OFFSET_SIZE) {
        ret = verify_table(buf, end, base, read_u32(buf, base), ttl, tvf);
        if (ret)
            return ret;
    }
    return KFM_VERIFY_OK;
}

/* Vtable entry of field `id`; 0 when the slot lies beyond the vtable. */
static uint16_t read_vt_entry(const kfm_table_verifier_descriptor* td, unsigned id)
{
    uint32_t vo = (id + 2u) * 2u;
    if (vo >= td->vsize)
        return 0;
    return read_u16(td->buf, td->vtable + vo);
}

/* Position of an offset field in the buffer (0 when absent). */
static int get_offset_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                            uint32_t* out)
{
    *out = 0;
    uint16_t vte = read_vt_entry(td, id);
    if (!vte)
        return required ? KFM_VERIFY_REQUIRED_FIELD_MISSING : KFM_VERIFY_OK;
    if ((uint32_t)vte + OFFSET_SIZE > td->tsize)
        return KFM_VERIFY_TABLE_FIELD_OUT_OF_RANGE;
    uint32_t k = td->table + vte;
    if (k & (OFFSET_SIZE - 1))
        return KFM_VERIFY_TABLE_FIELD_NOT_ALIGNED;
    *out = k;
    return KFM_VERIFY_OK;
}

int kfm_verify_field(const kfm_table_verifier_descriptor* td, unsigned id, uint32_t size,
                     uint32_t align)
{
    uint16_t vte = read_vt_entry(td, id);
    if (!vte)
        return KFM_VERIFY_OK;
    if ((uint32_t)vte + size > td->tsize)
        return KFM_VERIFY_TABLE_FIELD_OUT_OF_RANGE;
    if ((td->table + vte) & (align - 1u))
        return KFM_VERIFY_TABLE_FIELD_NOT_ALIGNED;
    return KFM_VERIFY_OK;
}

int kfm_verify_string_field(const kfm_table_verifier_descriptor* td, unsigned id, int required)
{
    uint32_t base;
    int ret = get_offset_field(td, id, required, &base);
    if (ret || !base)
        return ret;
    return verify_string(td->buf, td->end, base, read_u32(td->buf, base));
}

int kfm_verify_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                            uint32_t elem_size, uint32_t align, uint32_t max_count)
{
    uint32_t base;
    int ret = get_offset_field(td, id, required, &base);
    if (ret || !base)
        return ret;
    return verify_vector(td->buf, td->end, base, read_u32(td->buf, base), elem_size, align,
                         max_count);
}

int kfm_verify_string_vector_field(const kfm_table_verifier_descriptor* td, unsigned id,
                                   int required)
{
    uint32_t base;
    int ret = get_offset_field(td, id, required, &base);
    if (ret || !base)
        return ret;
    return verify_string_vector(td->buf, td->end, base, read_u32(td->buf, base));
}

int kfm_verify_table_vector_field(const kfm_table_verifier_descriptor* td, unsigned id,
                                  int required, kfm_table_verifier_fn* tvf)
{
    uint32_t base;
    int ret = get_offset_field(td, id, required, &base);
    if (ret || !base)
        return ret;
    return verify_table_vector(td->buf, td->end, base, read_u32(td->buf, base), td->ttl, tvf);
}

int kfm_verify_table_as_root(const void* buf, size_t size, const char* identifier,
                             kfm_table_verifier_fn* tvf)
{
    if (buf == NULL)
        return KFM_VERIFY_BUFFER_HEADER_TOO_SMALL;
    if ((uintptr_t)buf & (OFFSET_SIZE - 1))
        return KFM_VERIFY_RUNTIME_BUFFER_HEADER_NOT_ALIGNED;
    /* The 8-byte margin keeps every field size and offset sum below 2^32. */
    if (size > 0xFFFFFFFFu - 8u)
        return KFM_VERIFY_RUNTIME_BUFFER_SIZE_TOO_LARGE;
    if (size < OFFSET_SIZE + 4u)
        return KFM_VERIFY_BUFFER_HEADER_TOO_SMALL;
    const uint8_t* bytes = (const uint8_t*)buf;
    if (identifier && memcmp(bytes + OFFSET_SIZE, identifier, 4) != 0)
        return KFM_VERIFY_IDENTIFIER_MISMATCH;
    return verify_table(bytes, (uint32_t)size, 0, read_u32(bytes, 0), KFM_VERIFY_MAX_LEVELS, tvf);
}

/* ---- The KFM schema ------------------------------------------------------ */

#define CHECK(expr)             \
    do {                        \
        int ret_ = (expr);      \
        if (ret_)               \
            return ret_;        \
    } while (0)

int kfm_resource_verify_table(const kfm_table_verifier_descriptor* td)
{
    CHECK(kfm_verify_string_field(td, KFM_RESOURCE_NAME, 1));
    CHECK(kfm_verify_string_field(td, KFM_RESOURCE_META, 0));
    CHECK(kfm_verify_string_field(td, KFM_RESOURCE_MIME, 0));
    CHECK(kfm_verify_vector_field(td, KFM_RESOURCE_DATA, 0, 1, 1, COUNT_MAX(1)));
    return KFM_VERIFY_OK;
}

int kfm_parameter_verify_table(const kfm_table_verifier_descriptor* td)
{
    CHECK(kfm_verify_string_field(td, KFM_PARAMETER_NAME, 1));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_SHAPE, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_F32, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_I16, 0, 2, 2, COUNT_MAX(2)));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_RAW, 0, 1, 1, COUNT_MAX(1)));
    CHECK(kfm_verify_string_vector_field(td, KFM_PARAMETER_DATA_STR, 0));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_I32, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_I8, 0, 1, 1, COUNT_MAX(1)));
    CHECK(kfm_verify_vector_field(td, KFM_PARAMETER_FIELD8, 0, 1, 1, COUNT_MAX(1)));
    return KFM_VERIFY_OK;
}

int kfm_layer_verify_table(const kfm_table_verifier_descriptor* td)
{
    CHECK(kfm_verify_string_field(td, KFM_LAYER_NAME, 1));
    CHECK(kfm_verify_string_field(td, KFM_LAYER_FIELD1, 0));
    CHECK(kfm_verify_field(td, KFM_LAYER_TYPE, 2, 2));
    CHECK(kfm_verify_vector_field(td, KFM_LAYER_INPUTS, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_table_vector_field(td, KFM_LAYER_PARAMETERS, 0, kfm_parameter_verify_table));
    CHECK(kfm_verify_vector_field(td, KFM_LAYER_SHAPE, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_field(td, KFM_LAYER_MEMPOOL_OFFSET, 4, 4));
    CHECK(kfm_verify_field(td, KFM_LAYER_PANEL_SIZE, 4, 4));
    CHECK(kfm_verify_string_field(td, KFM_LAYER_FIELD8, 0));
    CHECK(kfm_verify_field(td, KFM_LAYER_DATATYPE, 1, 1));
    CHECK(kfm_verify_vector_field(td, KFM_LAYER_ZEROS, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_vector_field(td, KFM_LAYER_SCALES, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_field(td, KFM_LAYER_AXIS, 1, 1));
    CHECK(kfm_verify_vector_field(td, KFM_LAYER_FIELD13, 0, 8, 8, COUNT_MAX(8)));
    return KFM_VERIFY_OK;
}

int kfm_model_verify_table(const kfm_table_verifier_descriptor* td)
{
    CHECK(kfm_verify_field(td, KFM_MODEL_FIELD0, 4, 4));
    CHECK(kfm_verify_string_field(td, KFM_MODEL_FIELD1, 1));
    CHECK(kfm_verify_field(td, KFM_MODEL_FIELD2, 4, 4));
    CHECK(kfm_verify_string_field(td, KFM_MODEL_NAME, 0));
    CHECK(kfm_verify_string_field(td, KFM_MODEL_FIELD4, 0));
    CHECK(kfm_verify_string_vector_field(td, KFM_MODEL_LABELS, 0));
    CHECK(kfm_verify_table_vector_field(td, KFM_MODEL_RESOURCES, 0, kfm_resource_verify_table));
    CHECK(kfm_verify_table_vector_field(td, KFM_MODEL_FIELD7, 0, kfm_resource_verify_table));
    CHECK(kfm_verify_table_vector_field(td, KFM_MODEL_LAYERS, 0, kfm_layer_verify_table));
    CHECK(kfm_verify_field(td, KFM_MODEL_MEMORY_BLOCK_SIZE, 4, 4));
    CHECK(kfm_verify_field(td, KFM_MODEL_MEMORY_BLOCKS, 4, 4));
    CHECK(kfm_verify_field(td, KFM_MODEL_CACHE_MINIMUM_SIZE, 4, 4));
    CHECK(kfm_verify_field(td, KFM_MODEL_CACHE_OPTIMUM_SIZE, 4, 4));
    CHECK(kfm_verify_string_field(td, KFM_MODEL_FIELD13, 0));
    CHECK(kfm_verify_string_field(td, KFM_MODEL_FIELD14, 0));
    CHECK(kfm_verify_vector_field(td, KFM_MODEL_INPUTS, 0, 4, 4, COUNT_MAX(4)));
    CHECK(kfm_verify_vector_field(td, KFM_MODEL_OUTPUTS, 0, 4, 4, COUNT_MAX(4)));
    return KFM_VERIFY_OK;
}

/* ---- Exported ------------------------------------------------------------ */

NN_API int nn_model_validate(const void* buffer, size_t size)
{
    return kfm_verify_table_as_root(buffer, size, KFM_IDENTIFIER, kfm_model_verify_table);
}

static const char* const verify_texts[] = {
    "ok",
    "buffer header too small",
    "identifier mismatch",
    "max nesting level reached",
    "required field missing",
    "runtime: buffer header not aligned",
    "runtime: buffer size too large",
    "string not zero terminated",
    "string out of range",
    "struct out of range",
    "struct size overflow",
    "struct unaligned",
    "table field not aligned",
    "table field out of range",
    "table field size overflow",
    "table header out of range or unaligned",
    "vector header out of range or unaligned",
    "string header out of range or unaligned",
    "offset out of range",
    "table offset out of range or unaligned",
    "table size out of range",
    "type field absent from required union field",
    "type field absent from required union vector field",
    "union cannot have a table without a type",
    "union value field present with type NONE",
    "vector count exceeds representable vector size",
    "vector out of range",
    "vtable header out of range",
    "vtable header too small",
    "vtable offset out of range or unaligned",
    "vtable size out of range or unaligned",
    "vtable size overflow",
    "union element absent without type NONE",
    "union element present with type NONE",
    "union type and table vectors have different lengths",
    "union vector verification not supported",
    "not supported",
};

NN_API const char* nn_model_validate_error(int code)
{
    if (code < 0 || (size_t)code >= sizeof verify_texts / sizeof verify_texts[0])
        return "unknown";
    return verify_texts[code];
}
