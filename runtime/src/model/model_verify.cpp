/* FlatBuffers buffer verification for KFM files, with the codes and texts of
 * flatcc's verifier runtime.  Positions are byte offsets from the buffer
 * start in unsigned 32-bit arithmetic; every read is preceded by a check that
 * keeps it inside [0, end). */
#include "model/model_verify.h"

#include <array>
#include <cstring>
#include <iterator>
#include <utility>

#include "kestrune/kfm_schema.h"
#include "kestrune/nn.h"

namespace kestrune {
namespace {

constexpr uint32_t offset_size = 4;

constexpr uint32_t count_max(uint32_t elem) { return 0xFFFFFFFFu / elem; }

/* The bytes under verification.  Reads take positions that the caller has
 * already checked against end(). */
class Bytes {
public:
    constexpr Bytes(const uint8_t* data, uint32_t end) noexcept : data_(data), end_(end) {}

    const uint8_t* data() const noexcept { return data_; }
    uint32_t end() const noexcept { return end_; }
    uint8_t u8(uint32_t pos) const noexcept { return data_[pos]; }
    uint16_t u16(uint32_t pos) const noexcept { return kfm_load_u16(data_ + pos); }
    uint32_t u32(uint32_t pos) const noexcept { return kfm_load_u32(data_ + pos); }

    /* An offset at `base` pointing `offset` bytes further to a header whose
     * count word lies inside the buffer; a zero or wrapping offset fails.
     * The header is 4-aligned, and so is the payload behind it when `align`
     * is given (then to max(align, 4)). */
    bool header(uint32_t base, uint32_t offset) const noexcept
    {
        uint32_t k = base + offset;
        return k > base && k <= end_ - offset_size && (k & (offset_size - 1)) == 0;
    }
    bool aligned_header(uint32_t base, uint32_t offset, uint32_t align) const noexcept
    {
        uint32_t k = base + offset;
        if (align < offset_size)
            align = offset_size;
        return k > base && k <= end_ - offset_size && ((k + offset_size) & (align - 1u)) == 0;
    }

private:
    const uint8_t* data_;
    uint32_t end_;
};

Bytes bytes_of(const kfm_table_verifier_descriptor* td) { return Bytes(td->buf, td->end); }

int verify_string(Bytes b, uint32_t base, uint32_t offset)
{
    if (!b.header(base, offset))
        return KFM_VERIFY_STRING_HEADER_OUT_OF_RANGE_OR_UNALIGNED;
    base += offset;
    uint32_t n = b.u32(base);
    base += offset_size;
    if (!(b.end() - base > n))
        return KFM_VERIFY_STRING_OUT_OF_RANGE;
    if (b.u8(base + n) != 0)
        return KFM_VERIFY_STRING_NOT_ZERO_TERMINATED;
    return KFM_VERIFY_OK;
}

int verify_vector(Bytes b, uint32_t base, uint32_t offset, uint32_t elem_size, uint32_t align,
                  uint32_t max_count)
{
    if (!b.aligned_header(base, offset, align))
        return KFM_VERIFY_VECTOR_HEADER_OUT_OF_RANGE_OR_UNALIGNED;
    base += offset;
    uint32_t n = b.u32(base);
    base += offset_size;
    if (n > max_count)
        return KFM_VERIFY_VECTOR_COUNT_EXCEEDS_REPRESENTABLE_VECTOR_SIZE;
    if (b.end() - base < n * elem_size)
        return KFM_VERIFY_VECTOR_OUT_OF_RANGE;
    return KFM_VERIFY_OK;
}

/* A vector of offsets, then `each(element position, its offset)` in order
 * until one fails. */
template <typename Each>
int verify_offset_vector(Bytes b, uint32_t base, uint32_t offset, Each each)
{
    int ret = verify_vector(b, base, offset, offset_size, offset_size, count_max(offset_size));
    if (ret)
        return ret;
    base += offset;
    uint32_t n = b.u32(base);
    base += offset_size;
    for (uint32_t i = 0; i < n; ++i, base += offset_size) {
        ret = each(base, b.u32(base));
        if (ret)
            return ret;
    }
    return KFM_VERIFY_OK;
}

int verify_string_vector(Bytes b, uint32_t base, uint32_t offset)
{
    return verify_offset_vector(b, base, offset, [b](uint32_t at, uint32_t to) {
        return verify_string(b, at, to);
    });
}

int verify_table(Bytes b, uint32_t base, uint32_t offset, int ttl, kfm_table_verifier_fn* tvf)
{
    kfm_table_verifier_descriptor td;
    td.ttl = ttl - 1;
    if (td.ttl <= 0)
        return KFM_VERIFY_MAX_NESTING_LEVEL_REACHED;
    if (!b.header(base, offset))
        return KFM_VERIFY_TABLE_HEADER_OUT_OF_RANGE_OR_UNALIGNED;
    td.table = base + offset;
    /* The vtable sits at table - soffset; a negative or odd position fails. */
    uint32_t vbase = td.table - b.u32(td.table);
    if (static_cast<int32_t>(vbase) < 0 || (vbase & 1u))
        return KFM_VERIFY_VTABLE_OFFSET_OUT_OF_RANGE_OR_UNALIGNED;
    if (vbase + 2u > b.end())
        return KFM_VERIFY_VTABLE_HEADER_OUT_OF_RANGE;
    td.vsize = b.u16(vbase);
    uint32_t vend = vbase + td.vsize;
    if (vend > b.end() || (td.vsize & 1u))
        return KFM_VERIFY_VTABLE_SIZE_OUT_OF_RANGE_OR_UNALIGNED;
    if (td.vsize < 4u)
        return KFM_VERIFY_VTABLE_HEADER_TOO_SMALL;
    td.tsize = b.u16(vbase + 2u);
    if (b.end() - td.table < td.tsize)
        return KFM_VERIFY_TABLE_SIZE_OUT_OF_RANGE;
    td.vtable = vbase;
    td.buf = b.data();
    td.end = b.end();
    return tvf(&td);
}

/* The vector itself takes one nesting level, each table another. */
int verify_table_vector(Bytes b, uint32_t base, uint32_t offset, int ttl,
                        kfm_table_verifier_fn* tvf)
{
    if (!(ttl-- > 0))
        return KFM_VERIFY_MAX_NESTING_LEVEL_REACHED;
    return verify_offset_vector(b, base, offset, [b, ttl, tvf](uint32_t at, uint32_t to) {
        return verify_table(b, at, to, ttl, tvf);
    });
}

/* Vtable entry of field `id`; 0 when the slot lies beyond the vtable. */
uint16_t vtable_entry(const kfm_table_verifier_descriptor* td, unsigned id)
{
    uint32_t vo = (id + 2u) * 2u;
    if (vo >= td->vsize)
        return 0;
    return kfm_load_u16(td->buf + td->vtable + vo);
}

/* An offset field (string, vector or table vector): absent is an error only
 * when required; present, its 4-aligned slot inside the table is followed to
 * `check(bytes, slot position, stored offset)`. */
template <typename Check>
int verify_offset_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                        Check check)
{
    uint16_t vte = vtable_entry(td, id);
    if (!vte)
        return required ? KFM_VERIFY_REQUIRED_FIELD_MISSING : KFM_VERIFY_OK;
    if (static_cast<uint32_t>(vte) + offset_size > td->tsize)
        return KFM_VERIFY_TABLE_FIELD_OUT_OF_RANGE;
    uint32_t k = td->table + vte;
    if (k & (offset_size - 1))
        return KFM_VERIFY_TABLE_FIELD_NOT_ALIGNED;
    Bytes b = bytes_of(td);
    return check(b, k, b.u32(k));
}

int verify_scalar_field(const kfm_table_verifier_descriptor* td, unsigned id, uint32_t size,
                        uint32_t align)
{
    uint16_t vte = vtable_entry(td, id);
    if (!vte)
        return KFM_VERIFY_OK;
    if (static_cast<uint32_t>(vte) + size > td->tsize)
        return KFM_VERIFY_TABLE_FIELD_OUT_OF_RANGE;
    if ((td->table + vte) & (align - 1u))
        return KFM_VERIFY_TABLE_FIELD_NOT_ALIGNED;
    return KFM_VERIFY_OK;
}

int verify_string_field(const kfm_table_verifier_descriptor* td, unsigned id, int required)
{
    return verify_offset_field(td, id, required, verify_string);
}

int verify_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                        uint32_t elem_size, uint32_t align, uint32_t max_count)
{
    return verify_offset_field(td, id, required, [=](Bytes b, uint32_t at, uint32_t to) {
        return verify_vector(b, at, to, elem_size, align, max_count);
    });
}

/* As verify_vector_field for the schema's vectors, whose elements are
 * aligned to their size: the sizes are constants of each table's checks. */
template <uint32_t Elem>
int verify_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required)
{
    return verify_offset_field(td, id, required, [](Bytes b, uint32_t at, uint32_t to) {
        return verify_vector(b, at, to, Elem, Elem, count_max(Elem));
    });
}

int verify_string_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required)
{
    return verify_offset_field(td, id, required, verify_string_vector);
}

int verify_table_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                              kfm_table_verifier_fn* tvf)
{
    return verify_offset_field(td, id, required, [td, tvf](Bytes b, uint32_t at, uint32_t to) {
        return verify_table_vector(b, at, to, td->ttl, tvf);
    });
}

/* ---- The KFM schema as tables of fields --------------------------------- */

enum class Kind : uint8_t { scalar, string, vector, string_vector, table_vector };

struct Field {
    unsigned id;
    Kind kind;
    bool required;
    uint32_t size; /* scalar or vector element bytes, also their alignment */
    kfm_table_verifier_fn* table;
};

constexpr Field scalar(unsigned id, uint32_t size)
{
    return {id, Kind::scalar, false, size, nullptr};
}
constexpr Field string(unsigned id, bool required = false)
{
    return {id, Kind::string, required, 0, nullptr};
}
constexpr Field vector(unsigned id, uint32_t elem)
{
    return {id, Kind::vector, false, elem, nullptr};
}
constexpr Field strings(unsigned id) { return {id, Kind::string_vector, false, 0, nullptr}; }
constexpr Field tables(unsigned id, kfm_table_verifier_fn* fn)
{
    return {id, Kind::table_vector, false, 0, fn};
}

/* Field I of a table, its kind and sizes fixed at compile time so that each
 * table's checks come out as the straight sequence of calls they stand for. */
template <const auto& Fields, size_t I>
int verify_field(const kfm_table_verifier_descriptor* td)
{
    constexpr Field f = Fields[I];
    if constexpr (f.kind == Kind::scalar)
        return verify_scalar_field(td, f.id, f.size, f.size);
    else if constexpr (f.kind == Kind::string)
        return verify_string_field(td, f.id, f.required);
    else if constexpr (f.kind == Kind::vector)
        return verify_vector_field<f.size>(td, f.id, f.required);
    else if constexpr (f.kind == Kind::string_vector)
        return verify_string_vector_field(td, f.id, f.required);
    else
        return verify_table_vector_field(td, f.id, f.required, f.table);
}

template <const auto& Fields, size_t... I>
int verify_fields(const kfm_table_verifier_descriptor* td, std::index_sequence<I...>)
{
    int ret = KFM_VERIFY_OK;
    /* In schema order; the first failure is the result. */
    ((ret = verify_field<Fields, I>(td)) || ...);
    return ret;
}

template <const auto& Fields>
int verify_fields(const kfm_table_verifier_descriptor* td)
{
    return verify_fields<Fields>(td, std::make_index_sequence<std::size(Fields)>());
}

constexpr std::array<Field, 4> resource_fields = {{
    string(KFM_RESOURCE_NAME, true),
    string(KFM_RESOURCE_META),
    string(KFM_RESOURCE_MIME),
    vector(KFM_RESOURCE_DATA, 1),
}};

constexpr std::array<Field, 9> parameter_fields = {{
    string(KFM_PARAMETER_NAME, true),
    vector(KFM_PARAMETER_SHAPE, 4),
    vector(KFM_PARAMETER_DATA_F32, 4),
    vector(KFM_PARAMETER_DATA_I16, 2),
    vector(KFM_PARAMETER_DATA_RAW, 1),
    strings(KFM_PARAMETER_DATA_STR),
    vector(KFM_PARAMETER_DATA_I32, 4),
    vector(KFM_PARAMETER_DATA_I8, 1),
    vector(KFM_PARAMETER_FIELD8, 1),
}};

constexpr std::array<Field, 14> layer_fields = {{
    string(KFM_LAYER_NAME, true),
    string(KFM_LAYER_FIELD1),
    scalar(KFM_LAYER_TYPE, 2),
    vector(KFM_LAYER_INPUTS, 4),
    tables(KFM_LAYER_PARAMETERS, kfm_parameter_verify_table),
    vector(KFM_LAYER_SHAPE, 4),
    scalar(KFM_LAYER_MEMPOOL_OFFSET, 4),
    scalar(KFM_LAYER_PANEL_SIZE, 4),
    string(KFM_LAYER_FIELD8),
    scalar(KFM_LAYER_DATATYPE, 1),
    vector(KFM_LAYER_ZEROS, 4),
    vector(KFM_LAYER_SCALES, 4),
    scalar(KFM_LAYER_AXIS, 1),
    vector(KFM_LAYER_FIELD13, 8),
}};

constexpr std::array<Field, 17> model_fields = {{
    scalar(KFM_MODEL_FIELD0, 4),
    string(KFM_MODEL_FIELD1, true),
    scalar(KFM_MODEL_FIELD2, 4),
    string(KFM_MODEL_NAME),
    string(KFM_MODEL_FIELD4),
    strings(KFM_MODEL_LABELS),
    tables(KFM_MODEL_RESOURCES, kfm_resource_verify_table),
    tables(KFM_MODEL_FIELD7, kfm_resource_verify_table),
    tables(KFM_MODEL_LAYERS, kfm_layer_verify_table),
    scalar(KFM_MODEL_MEMORY_BLOCK_SIZE, 4),
    scalar(KFM_MODEL_MEMORY_BLOCKS, 4),
    scalar(KFM_MODEL_CACHE_MINIMUM_SIZE, 4),
    scalar(KFM_MODEL_CACHE_OPTIMUM_SIZE, 4),
    string(KFM_MODEL_FIELD13),
    string(KFM_MODEL_FIELD14),
    vector(KFM_MODEL_INPUTS, 4),
    vector(KFM_MODEL_OUTPUTS, 4),
}};

/* Every field of a table is listed once, in index order. */
template <size_t N>
constexpr bool lists_every_field(const std::array<Field, N>& fields, unsigned count)
{
    if (N != count)
        return false;
    for (size_t i = 0; i < N; ++i)
        if (fields[i].id != i)
            return false;
    return true;
}
static_assert(lists_every_field(resource_fields, KFM_RESOURCE_FIELD_COUNT));
static_assert(lists_every_field(parameter_fields, KFM_PARAMETER_FIELD_COUNT));
static_assert(lists_every_field(layer_fields, KFM_LAYER_FIELD_COUNT));
static_assert(lists_every_field(model_fields, KFM_MODEL_FIELD_COUNT));

} // namespace
} // namespace kestrune

using namespace kestrune;

int kfm_verify_field(const kfm_table_verifier_descriptor* td, unsigned id, uint32_t size,
                     uint32_t align)
{
    return verify_scalar_field(td, id, size, align);
}

int kfm_verify_string_field(const kfm_table_verifier_descriptor* td, unsigned id, int required)
{
    return verify_string_field(td, id, required);
}

int kfm_verify_vector_field(const kfm_table_verifier_descriptor* td, unsigned id, int required,
                            uint32_t elem_size, uint32_t align, uint32_t max_count)
{
    return verify_vector_field(td, id, required, elem_size, align, max_count);
}

int kfm_verify_string_vector_field(const kfm_table_verifier_descriptor* td, unsigned id,
                                   int required)
{
    return verify_string_vector_field(td, id, required);
}

int kfm_verify_table_vector_field(const kfm_table_verifier_descriptor* td, unsigned id,
                                  int required, kfm_table_verifier_fn* tvf)
{
    return verify_table_vector_field(td, id, required, tvf);
}

int kfm_verify_table_as_root(const void* buf, size_t size, const char* identifier,
                             kfm_table_verifier_fn* tvf)
{
    if (buf == nullptr)
        return KFM_VERIFY_BUFFER_HEADER_TOO_SMALL;
    if (reinterpret_cast<uintptr_t>(buf) & (offset_size - 1))
        return KFM_VERIFY_RUNTIME_BUFFER_HEADER_NOT_ALIGNED;
    /* The 8-byte margin keeps every field size and offset sum below 2^32. */
    if (size > 0xFFFFFFFFu - 8u)
        return KFM_VERIFY_RUNTIME_BUFFER_SIZE_TOO_LARGE;
    if (size < offset_size + 4u)
        return KFM_VERIFY_BUFFER_HEADER_TOO_SMALL;
    const Bytes b(static_cast<const uint8_t*>(buf), static_cast<uint32_t>(size));
    if (identifier && std::memcmp(b.data() + offset_size, identifier, 4) != 0)
        return KFM_VERIFY_IDENTIFIER_MISMATCH;
    return verify_table(b, 0, b.u32(0), KFM_VERIFY_MAX_LEVELS, tvf);
}

int kfm_resource_verify_table(const kfm_table_verifier_descriptor* td)
{
    return verify_fields<resource_fields>(td);
}

int kfm_parameter_verify_table(const kfm_table_verifier_descriptor* td)
{
    return verify_fields<parameter_fields>(td);
}

int kfm_layer_verify_table(const kfm_table_verifier_descriptor* td)
{
    return verify_fields<layer_fields>(td);
}

int kfm_model_verify_table(const kfm_table_verifier_descriptor* td)
{
    return verify_fields<model_fields>(td);
}

/* ---- Exported ------------------------------------------------------------ */

NN_API int nn_model_validate(const void* buffer, size_t size)
{
    return kfm_verify_table_as_root(buffer, size, KFM_IDENTIFIER, kfm_model_verify_table);
}

namespace kestrune {
namespace {

/* Indexed by code, flatcc's numbering (the codes this verifier never gives
 * keep their slots). */
constexpr const char* verify_texts[] = {
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
static_assert(std::size(verify_texts) == KFM_VERIFY_NOT_SUPPORTED + 1);

} // namespace
} // namespace kestrune

NN_API const char* nn_model_validate_error(int code)
{
    if (code < 0 || static_cast<size_t>(code) >= std::size(verify_texts))
        return "unknown";
    return verify_texts[code];
}
