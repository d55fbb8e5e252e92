// Verification of KFM buffers: every code built deliberately, the texts, a
// cross-check against the generated verifier, and a byte-mutation sweep.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kestrune/kfm_schema.h"
#include "kestrune/nn.h"
#include "kfm_generated.h"
#include "kfm_writer.h"
#include "model/model_verify.h"

namespace {

using kfm::Buffer;

int validate(const Buffer& b) { return nn_model_validate(b.data(), b.size()); }

bool google_accepts(const Buffer& b)
{
    flatbuffers::Verifier v(b.data(), b.size());
    return kfm_check::VerifyModelBuffer(v);
}

// A model that stores at least one of every kind of field.
kfm::Model rich_model()
{
    kfm::Model m;
    m.field0 = 7;
    m.field2 = 9;
    m.name = "rich";
    m.field4 = "four";
    m.labels = std::vector<std::string>{"cat", "dog"};
    m.resources = std::vector<kfm::Resource>{kfm::resource("r0", {1, 2, 3})};
    m.resources->front().meta = "meta";
    m.resources->front().mime = "text/plain";
    m.field7 = std::vector<kfm::Resource>{kfm::resource("hidden", {})};
    kfm::Layer in = kfm::layer("in", 1, {1, 4});
    in.mempool_offset = 0;
    in.datatype = 0;
    kfm::Layer c = kfm::layer("w", 2, {1, 4});
    kfm::Parameter data = kfm::parameter("data");
    data.shape = std::vector<int32_t>{1, 4};
    data.data_f32 = std::vector<float>{1, 2, 3, 4};
    data.data_i16 = std::vector<int16_t>{5};
    data.data_raw = std::vector<uint8_t>{6};
    data.data_str = std::vector<std::string>{"RELU", "x"};
    data.data_i32 = std::vector<int32_t>{7};
    data.data_i8 = std::vector<int8_t>{-8};
    data.field8 = std::vector<uint8_t>{9};
    c.parameters = std::vector<kfm::Parameter>{data};
    c.field1 = "one";
    c.field8 = "eight";
    c.panel_size = 4;
    c.zeros = std::vector<int32_t>{0};
    c.scales = std::vector<float>{0.5f};
    c.axis = 1;
    c.field13 = std::vector<int64_t>{1, 2};
    kfm::Layer add = kfm::layer("sum", 20, {1, 4}, {0, 1});
    m.layers = std::vector<kfm::Layer>{in, c, add};
    m.memory_block_size = 16;
    m.memory_blocks = 4;
    m.cache_minimum_size = 64;
    m.cache_optimum_size = 128;
    m.field13 = "thirteen";
    m.field14 = "fourteen";
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{2};
    return m;
}

TEST(ModelVerify, WellFormedFixturesPassBothVerifiers)
{
    kfm::Model empty;
    kfm::Model no_layers = rich_model();
    no_layers.layers.reset();
    kfm::Model zero_layers;
    zero_layers.layers = std::vector<kfm::Layer>{};
    kfm::Model stored_defaults;
    kfm::Layer l = kfm::layer("l", 0);
    l.datatype = 0;
    l.mempool_offset = 0;
    l.axis = 0;
    stored_defaults.layers = std::vector<kfm::Layer>{l};
    stored_defaults.memory_blocks = 1;
    for (const kfm::Model& m : {empty, rich_model(), no_layers, zero_layers, stored_defaults}) {
        Buffer b = kfm::write(m);
        EXPECT_EQ(validate(b), 0);
        EXPECT_TRUE(google_accepts(b));
    }
}

TEST(ModelVerify, HeaderChecks)
{
    Buffer good = kfm::write(rich_model());
    Buffer other_id = good.copy();
    std::memcpy(other_id.data() + 4, "KFMy", 4);
    Buffer shifted = good.shifted(1);
    Buffer shifted2 = good.shifted(2);
    Buffer seven = good.truncated(7);
    struct Case {
        const char* what;
        const void* data;
        size_t size;
        int code;
    } cases[] = {
        {"null buffer", nullptr, 100, 1},
        {"7 bytes", seven.data(), 7, 1},
        {"0 bytes", good.data(), 0, 1},
        {"odd address", shifted.data(), shifted.size(), 5},
        {"address 2 mod 4", shifted2.data(), shifted2.size(), 5},
        {"odd address and short", shifted.data(), 3, 5},
        {"size too large", good.data(), 0xFFFFFFF8u, 6},
        {"another identifier", other_id.data(), other_id.size(), 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nn_model_validate(c.data, c.size), c.code) << c.what;
}

TEST(ModelVerify, RequiredFieldsMissing)
{
    std::vector<std::pair<const char*, kfm::Model>> cases;
    {
        kfm::Model m = rich_model();
        (*m.layers)[2].name.reset();
        cases.emplace_back("nameless layer", m);
    }
    {
        kfm::Model m = rich_model();
        (*m.layers)[1].parameters->front().name.reset();
        cases.emplace_back("nameless parameter", m);
    }
    {
        kfm::Model m = rich_model();
        m.resources->front().name.reset();
        cases.emplace_back("nameless resource", m);
    }
    {
        kfm::Model m = rich_model();
        m.field7->front().name.reset();
        cases.emplace_back("nameless resource in field 7", m);
    }
    {
        kfm::Model m = rich_model();
        m.field1.reset();
        cases.emplace_back("model without field 1", m);
    }
    for (const auto& c : cases) {
        Buffer b = kfm::write(c.second);
        EXPECT_EQ(validate(b), 4) << c.first;
        EXPECT_FALSE(google_accepts(b)) << c.first;
    }
}

// The first object the writer builds is the model's field 1; FlatBuffers
// places it last, so with a 3-character text its terminator is the last byte.
TEST(ModelVerify, StringAtTheEndOfTheBuffer)
{
    kfm::Model m = rich_model();
    m.field1 = "abc";
    Buffer b = kfm::write(m);
    ASSERT_EQ(validate(b), 0);
    ASSERT_EQ(std::memcmp(b.data() + b.size() - 8, "\3\0\0\0abc\0", 8), 0);

    Buffer unterminated = b.copy();
    unterminated.data()[b.size() - 1] = 'x';
    EXPECT_EQ(validate(unterminated), 7);

    Buffer too_long = b.copy();
    too_long.put_u32(b.size() - 8, 4);
    EXPECT_EQ(validate(too_long), 8);

    Buffer cut = b.truncated(b.size() - 1);
    EXPECT_EQ(validate(cut), 8);
}

// Positions inside the root table, read from the bytes the writer produced.
struct RootView {
    uint32_t table;
    uint32_t vtable;
    explicit RootView(const Buffer& b)
    {
        table = b.get_u32(0);
        vtable = table - static_cast<uint32_t>(b.get_u32(table));
    }
    uint16_t vt_entry(const Buffer& b, int field) const
    {
        uint16_t v;
        std::memcpy(&v, b.data() + vtable + 4 + 2 * field, 2);
        return v;
    }
};

void put_u16(Buffer& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

TEST(ModelVerify, TableAndVtablePatches)
{
    Buffer good = kfm::write(rich_model());
    ASSERT_EQ(validate(good), 0);
    RootView r(good);
    const uint32_t size = static_cast<uint32_t>(good.size());
    // the name field's target and the shape vector of layer 0
    uint32_t name_field = r.table + r.vt_entry(good, KFM_MODEL_NAME);

    struct Case {
        const char* what;
        std::function<void(Buffer&)> patch;
        int code;
    };
    std::vector<Case> cases = {
        {"root offset 0", [](Buffer& b) { b.put_u32(0, 0); }, 15},
        {"root offset past the end", [&](Buffer& b) { b.put_u32(0, size); }, 15},
        {"root offset at end - 2", [&](Buffer& b) { b.put_u32(0, size - 2); }, 15},
        {"root offset unaligned", [&](Buffer& b) { b.put_u32(0, r.table + 2); }, 15},
        {"vtable odd", [&](Buffer& b) { b.put_u32(r.table, b.get_u32(r.table) + 1); }, 29},
        {"vtable before the buffer", [&](Buffer& b) { b.put_u32(r.table, r.table + 4); }, 29},
        {"vtable header past the end",
         [&](Buffer& b) { b.put_u32(r.table, static_cast<uint32_t>(r.table - size)); }, 27},
        {"vtable size odd", [&](Buffer& b) { put_u16(b, r.vtable, 7); }, 30},
        {"vtable size past the end", [&](Buffer& b) { put_u16(b, r.vtable, 0xFFFE); }, 30},
        {"vtable size 2", [&](Buffer& b) { put_u16(b, r.vtable, 2); }, 28},
        {"table size past the end", [&](Buffer& b) { put_u16(b, r.vtable + 2, 0xFFFC); }, 20},
        {"table size too small for its fields", [&](Buffer& b) { put_u16(b, r.vtable + 2, 4); }, 13},
        {"4-byte field unaligned",
         [&](Buffer& b) { put_u16(b, r.vtable + 4, static_cast<uint16_t>(r.vt_entry(b, 0) + 1)); },
         12},
        {"string offset past the end",
         [&](Buffer& b) { b.put_u32(name_field, size - name_field); }, 17},
        {"string offset 0", [&](Buffer& b) { b.put_u32(name_field, 0); }, 17},
        {"string offset wraps", [&](Buffer& b) { b.put_u32(name_field, 0u - name_field); }, 17},
        {"string offset unaligned",
         [&](Buffer& b) { b.put_u32(name_field, b.get_u32(name_field) + 1); }, 17},
        {"vtable shorter than the fields: absent",
         [&](Buffer& b) { put_u16(b, r.vtable, 4); }, 4},
    };
    for (const Case& c : cases) {
        Buffer b = good.copy();
        c.patch(b);
        EXPECT_EQ(validate(b), c.code) << c.what;
    }
}

TEST(ModelVerify, VectorPatches)
{
    kfm::Model m;
    kfm::Layer l = kfm::layer("v", 1, {2, 3, 4});
    l.field13 = std::vector<int64_t>{1};
    m.layers = std::vector<kfm::Layer>{l};
    Buffer good = kfm::write(m);
    ASSERT_EQ(validate(good), 0);
    const uint32_t size = static_cast<uint32_t>(good.size());
    // The shape vector: count 3 followed by 2, 3, 4.
    const int32_t shape_bytes[] = {3, 2, 3, 4};
    size_t shape = good.find(shape_bytes, sizeof shape_bytes);
    ASSERT_NE(shape, Buffer::npos);
    // The 8-byte vector: count 1, then 1 as int64 at an 8-aligned position.
    const uint32_t f13_bytes[] = {1, 1, 0};
    size_t f13 = good.find(f13_bytes, sizeof f13_bytes);
    ASSERT_NE(f13, Buffer::npos);
    ASSERT_EQ((f13 + 4) % 8, 0u);
    // Field slots that point at those vectors, found through layer 0's vtable.
    auto target = [&](size_t slot) { return slot + good.get_u32(slot); };
    RootView root(good);
    size_t layers = target(root.table + root.vt_entry(good, KFM_MODEL_LAYERS));
    uint32_t layer = static_cast<uint32_t>(target(layers + 4));
    uint32_t layer_vt = layer - good.get_u32(layer);
    auto vt = [&](int field) {
        uint16_t v;
        std::memcpy(&v, good.data() + layer_vt + 4 + 2 * field, 2);
        return static_cast<size_t>(layer + v);
    };
    auto slot_of = [&](size_t at) {
        if (at == target(vt(KFM_LAYER_SHAPE)))
            return vt(KFM_LAYER_SHAPE);
        if (at == target(vt(KFM_LAYER_FIELD13)))
            return vt(KFM_LAYER_FIELD13);
        return Buffer::npos;
    };
    size_t shape_slot = slot_of(shape);
    size_t f13_slot = slot_of(f13);
    ASSERT_NE(shape_slot, Buffer::npos);
    ASSERT_NE(f13_slot, Buffer::npos);

    struct Case {
        const char* what;
        std::function<void(Buffer&)> patch;
        int code;
    };
    std::vector<Case> cases = {
        {"count raised past the end", [&](Buffer& b) { b.put_u32(shape, 0x10000); }, 26},
        {"count one too many",
         [&](Buffer& b) { b.put_u32(shape, (size - static_cast<uint32_t>(shape) - 4) / 4 + 1); },
         26},
        {"count above the representable size", [&](Buffer& b) { b.put_u32(shape, 0x40000000); }, 25},
        {"header past the end",
         [&](Buffer& b) { b.put_u32(shape_slot, size - static_cast<uint32_t>(shape_slot)); }, 16},
        {"header unaligned", [&](Buffer& b) { b.put_u32(shape_slot, b.get_u32(shape_slot) + 2); }, 16},
        {"8-byte payload 4 mod 8",
         [&](Buffer& b) { b.put_u32(f13_slot, b.get_u32(f13_slot) + 4); }, 16},
    };
    for (const Case& c : cases) {
        Buffer b = good.copy();
        c.patch(b);
        EXPECT_EQ(validate(b), c.code) << c.what;
    }
    // The count exactly reaching the end is still inside.
    Buffer exact = good.copy();
    exact.put_u32(shape, (size - static_cast<uint32_t>(shape) - 4) / 4);
    EXPECT_EQ(validate(exact), 0);
}

TEST(ModelVerify, ErrorTexts)
{
    const char* texts[] = {
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
    for (int i = 0; i < 37; ++i)
        EXPECT_STREQ(nn_model_validate_error(i), texts[i]) << i;
    for (int code : {37, -1, 1000, INT32_MIN})
        EXPECT_STREQ(nn_model_validate_error(code), "unknown") << code;
}

}  // namespace

namespace {

// The nesting budget, with a self-nesting table (field 0: a vector of the
// same table) verified through the verifier runtime directly.
int nested_verify_table(const kfm_table_verifier_descriptor* td)
{
    return kfm_verify_table_vector_field(td, 0, 0, nested_verify_table);
}

Buffer nested_chain(int tables)
{
    flatbuffers::FlatBufferBuilder b;
    flatbuffers::uoffset_t inner = 0;
    for (int k = tables - 1; k >= 0; --k) {
        flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<void>>> children;
        if (k != tables - 1)
            children = b.CreateVector(std::vector<flatbuffers::Offset<void>>{flatbuffers::Offset<void>(inner)});
        auto start = b.StartTable();
        if (k != tables - 1)
            b.AddOffset(4, children);
        inner = b.EndTable(start);
    }
    b.Finish(flatbuffers::Offset<void>(inner), "KFMx");
    return Buffer(b.GetBufferPointer(), b.GetSize());
}

TEST(ModelVerify, NestingBudget)
{
    // Each level uses one for the table and one for its vector: tables at
    // depths 0..49 fit in 100, a table at depth 50 does not.
    for (int tables : {1, 2, 50}) {
        Buffer b = nested_chain(tables);
        EXPECT_EQ(kfm_verify_table_as_root(b.data(), b.size(), "KFMx", nested_verify_table), 0) << tables;
    }
    for (int tables : {51, 80}) {
        Buffer b = nested_chain(tables);
        EXPECT_EQ(kfm_verify_table_as_root(b.data(), b.size(), "KFMx", nested_verify_table), 3) << tables;
    }
}

}  // namespace

namespace {

// The schema's tables written out with the exported field checks, call by
// call, as a verifier that other readers of the same tables would write.
#define KFM_TRY(expr)          \
    do {                       \
        if (int r_ = (expr))   \
            return r_;         \
    } while (0)

int c_form_resource(const kfm_table_verifier_descriptor* td)
{
    KFM_TRY(kfm_verify_string_field(td, KFM_RESOURCE_NAME, 1));
    KFM_TRY(kfm_verify_string_field(td, KFM_RESOURCE_META, 0));
    KFM_TRY(kfm_verify_string_field(td, KFM_RESOURCE_MIME, 0));
    return kfm_verify_vector_field(td, KFM_RESOURCE_DATA, 0, 1, 1, 0xFFFFFFFFu);
}

int c_form_parameter(const kfm_table_verifier_descriptor* td)
{
    KFM_TRY(kfm_verify_string_field(td, KFM_PARAMETER_NAME, 1));
    KFM_TRY(kfm_verify_vector_field(td, KFM_PARAMETER_SHAPE, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_F32, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_I16, 0, 2, 2, 0xFFFFFFFFu / 2));
    KFM_TRY(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_RAW, 0, 1, 1, 0xFFFFFFFFu));
    KFM_TRY(kfm_verify_string_vector_field(td, KFM_PARAMETER_DATA_STR, 0));
    KFM_TRY(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_I32, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_vector_field(td, KFM_PARAMETER_DATA_I8, 0, 1, 1, 0xFFFFFFFFu));
    return kfm_verify_vector_field(td, KFM_PARAMETER_FIELD8, 0, 1, 1, 0xFFFFFFFFu);
}

int c_form_layer(const kfm_table_verifier_descriptor* td)
{
    KFM_TRY(kfm_verify_string_field(td, KFM_LAYER_NAME, 1));
    KFM_TRY(kfm_verify_string_field(td, KFM_LAYER_FIELD1, 0));
    KFM_TRY(kfm_verify_field(td, KFM_LAYER_TYPE, 2, 2));
    KFM_TRY(kfm_verify_vector_field(td, KFM_LAYER_INPUTS, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_table_vector_field(td, KFM_LAYER_PARAMETERS, 0, c_form_parameter));
    KFM_TRY(kfm_verify_vector_field(td, KFM_LAYER_SHAPE, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_field(td, KFM_LAYER_MEMPOOL_OFFSET, 4, 4));
    KFM_TRY(kfm_verify_field(td, KFM_LAYER_PANEL_SIZE, 4, 4));
    KFM_TRY(kfm_verify_string_field(td, KFM_LAYER_FIELD8, 0));
    KFM_TRY(kfm_verify_field(td, KFM_LAYER_DATATYPE, 1, 1));
    KFM_TRY(kfm_verify_vector_field(td, KFM_LAYER_ZEROS, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_vector_field(td, KFM_LAYER_SCALES, 0, 4, 4, 0xFFFFFFFFu / 4));
    KFM_TRY(kfm_verify_field(td, KFM_LAYER_AXIS, 1, 1));
    return kfm_verify_vector_field(td, KFM_LAYER_FIELD13, 0, 8, 8, 0xFFFFFFFFu / 8);
}

int c_form_model(const kfm_table_verifier_descriptor* td)
{
    KFM_TRY(kfm_verify_field(td, KFM_MODEL_FIELD0, 4, 4));
    KFM_TRY(kfm_verify_string_field(td, KFM_MODEL_FIELD1, 1));
    KFM_TRY(kfm_verify_field(td, KFM_MODEL_FIELD2, 4, 4));
    KFM_TRY(kfm_verify_string_field(td, KFM_MODEL_NAME, 0));
    KFM_TRY(kfm_verify_string_field(td, KFM_MODEL_FIELD4, 0));
    KFM_TRY(kfm_verify_string_vector_field(td, KFM_MODEL_LABELS, 0));
    KFM_TRY(kfm_verify_table_vector_field(td, KFM_MODEL_RESOURCES, 0, c_form_resource));
    KFM_TRY(kfm_verify_table_vector_field(td, KFM_MODEL_FIELD7, 0, c_form_resource));
    KFM_TRY(kfm_verify_table_vector_field(td, KFM_MODEL_LAYERS, 0, c_form_layer));
    KFM_TRY(kfm_verify_field(td, KFM_MODEL_MEMORY_BLOCK_SIZE, 4, 4));
    KFM_TRY(kfm_verify_field(td, KFM_MODEL_MEMORY_BLOCKS, 4, 4));
    KFM_TRY(kfm_verify_field(td, KFM_MODEL_CACHE_MINIMUM_SIZE, 4, 4));
    KFM_TRY(kfm_verify_field(td, KFM_MODEL_CACHE_OPTIMUM_SIZE, 4, 4));
    KFM_TRY(kfm_verify_string_field(td, KFM_MODEL_FIELD13, 0));
    KFM_TRY(kfm_verify_string_field(td, KFM_MODEL_FIELD14, 0));
    KFM_TRY(kfm_verify_vector_field(td, KFM_MODEL_INPUTS, 0, 4, 4, 0xFFFFFFFFu / 4));
    return kfm_verify_vector_field(td, KFM_MODEL_OUTPUTS, 0, 4, 4, 0xFFFFFFFFu / 4);
}

#undef KFM_TRY

// The exported field checks are a separate path from the schema's own
// tables: over every single-byte mutant and every truncation of a model that
// stores every kind of field, both give the same code.
TEST(ModelVerify, ExportedFieldChecksAgreeWithTheSchemaTables)
{
    const Buffer good = kfm::write(rich_model());
    ASSERT_EQ(kfm_verify_table_as_root(good.data(), good.size(), "KFMx", c_form_model), 0);
    int rejected = 0;
    for (size_t i = 0; i < good.size(); ++i) {
        for (int delta : {1, 0x80, 0xFF}) {
            Buffer b = good;
            b.data()[i] = static_cast<uint8_t>(b.data()[i] + delta);
            int expected = kfm_verify_table_as_root(b.data(), b.size(), "KFMx", c_form_model);
            ASSERT_EQ(nn_model_validate(b.data(), b.size()), expected) << i << " +" << delta;
            rejected += expected != 0;
        }
    }
    for (size_t n = 0; n < good.size(); ++n) {
        int expected = kfm_verify_table_as_root(good.data(), n, "KFMx", c_form_model);
        ASSERT_EQ(nn_model_validate(good.data(), n), expected) << "first " << n << " bytes";
        rejected += expected != 0;
    }
    EXPECT_GT(rejected, 0);
}

// Limits of the exported checks that the schema never asks for, on the root
// of the same model (two labels, one output, no field 40).
TEST(ModelVerify, ExportedFieldChecksHonourTheirLimits)
{
    struct Case {
        const char* what;
        kfm_table_verifier_fn* check;
        int expected;
    };
    const Case cases[] = {
        {"two labels within a count limit of 2",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_vector_field(td, KFM_MODEL_LABELS, 0, 4, 4, 2);
         },
         0},
        {"two labels over a count limit of 1",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_vector_field(td, KFM_MODEL_LABELS, 0, 4, 4, 1);
         },
         25},
        {"one output read as 2^30 elements of 4 bytes would pass the buffer",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_vector_field(td, KFM_MODEL_OUTPUTS, 0, 0x40000000u, 4, 0xFFFFFFFFu);
         },
         26},
        {"absent required string",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_string_field(td, 40, 1);
         },
         4},
        {"absent optional vector of strings",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_string_vector_field(td, 40, 0);
         },
         0},
        {"absent required vector of tables",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_table_vector_field(td, 40, 1, c_form_layer);
         },
         4},
        {"a string field read as a scalar wider than the table",
         [](const kfm_table_verifier_descriptor* td) {
             return kfm_verify_field(td, KFM_MODEL_NAME, 0x10000u, 4);
         },
         13},
    };
    const Buffer good = kfm::write(rich_model());
    for (const Case& c : cases)
        EXPECT_EQ(kfm_verify_table_as_root(good.data(), good.size(), "KFMx", c.check), c.expected)
            << c.what;
}

}  // namespace
