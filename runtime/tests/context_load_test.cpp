// Loading models into contexts: layouts, views, constants, engines, unload,
// and one table over every load failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "context/context_internal.h"
#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "kfm_writer.h"
#include "recording_engine.h"

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;
using kfm::Buffer;
using kfm::pooled;
using kfm_test::capture;
using kfm_test::data_of;

kfm::Layer constant_f32(const std::string& name, std::vector<int32_t> shape, std::vector<float> values)
{
    kfm::Layer l = kfm::layer(name, 2, shape);
    kfm::Parameter p = kfm::parameter("data");
    p.shape = shape;
    p.data_f32 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return l;
}

struct Loaded {
    Buffer buf;
    nn_context* ctx = nullptr;
    int status = -1;
    kfm_test::Streams streams;
    ~Loaded() { nn_context_release(ctx); }
    nn_tensor* t(size_t i) { return nn_context_tensor_index(ctx, i); }
};

void load_into(Loaded& l, const kfm::Model& m, size_t pool, size_t cache = 0, nn_engine* engine = nullptr)
{
    l.buf = kfm::write(m);
    l.ctx = nn_context_init(engine, pool, nullptr, cache, nullptr);
    ASSERT_NE(l.ctx, nullptr);
    l.streams = capture([&] { l.status = nn_context_model_load(l.ctx, l.buf.size(), l.buf.data()); });
}

TEST(ContextLoad, PoolViewsAtTheirOffsets)
{
    kfm::Model m;
    m.memory_block_size = 16;
    kfm::Layer i8 = pooled("i8", 1, {2, 3}, 4);
    i8.datatype = NN_TYPE_I8;
    kfm::Layer u8 = pooled("u8", 1, {5}, 5);
    u8.datatype = NN_TYPE_U8;
    kfm::Layer i32 = pooled("i32", 1, {3}, 6);
    i32.datatype = NN_TYPE_I32;
    kfm::Layer scalar = pooled("scalar", 1, {}, 7);
    m.layers = std::vector<kfm::Layer>{pooled("in", 1, {1, 4}, 2), pooled("zero", 1, {2}, 0), i8, u8,
                                       i32, scalar};
    Loaded l;
    load_into(l, m, 256);
    ASSERT_EQ(l.status, 0) << l.streams.err;
    EXPECT_EQ(l.streams.err + l.streams.out, "");
    const uint8_t* pool = static_cast<const uint8_t*>(data_of(nn_context_mempool(l.ctx)));
    struct Row {
        size_t layer;
        size_t offset;
        nn_type type;
        size_t size;
    } rows[] = {
        {0, 32, NN_TYPE_F32, 16}, {1, 0, NN_TYPE_F32, 8},  {2, 64, NN_TYPE_I8, 6},
        {3, 80, NN_TYPE_U8, 5},   {4, 96, NN_TYPE_F32, 12}, {5, 112, NN_TYPE_F32, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.layer);
        nn_tensor* t = l.t(r.layer);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(data_of(t), pool + r.offset);
        EXPECT_EQ(nn_tensor_type(t), r.type);
        EXPECT_EQ(nn_tensor_size(t), r.size);
    }
    EXPECT_EQ(nn_context_tensor(l.ctx, "i32"), l.t(4));
    EXPECT_EQ(nn_context_tensor(l.ctx, "nothing"), nullptr);
    EXPECT_EQ(nn_context_tensor_index(l.ctx, 6), nullptr);
    EXPECT_EQ(nn_context_model(l.ctx), l.buf.data());
}

TEST(ContextLoad, BlockSizeAbsentCountsBytes)
{
    kfm::Model m;
    m.memory_blocks = 3;  // stored, but no block size: needs 0 bytes
    m.layers = std::vector<kfm::Layer>{pooled("in", 1, {2}, 12)};
    Loaded l;
    load_into(l, m, 32);
    ASSERT_EQ(l.status, 0) << l.streams.err;
    const uint8_t* pool = static_cast<const uint8_t*>(data_of(nn_context_mempool(l.ctx)));
    EXPECT_EQ(data_of(l.t(0)), pool + 12);
}

TEST(ContextLoad, OwnFloatTensorsWithoutOffsetsOrPool)
{
    kfm::Model m;
    kfm::Layer i8 = kfm::layer("i8", 1, {2, 2});
    i8.datatype = NN_TYPE_I8;
    kfm::Layer pooled_but_no_pool = pooled("p", 42, {3}, 0);
    m.layers = std::vector<kfm::Layer>{i8, pooled_but_no_pool, kfm::layer("none", 0)};
    for (size_t pool : {size_t{0}, size_t{1024}}) {
        SCOPED_TRACE(pool);
        Loaded l;
        load_into(l, m, pool);
        ASSERT_EQ(l.status, 0) << l.streams.err;
        EXPECT_EQ(nn_tensor_type(l.t(0)), NN_TYPE_F32);  // whatever the datatype
        EXPECT_EQ(nn_tensor_size(l.t(0)), 16u);
        EXPECT_EQ(kfm_test::floats(l.t(0)), std::vector<float>(4, 0.0f));
        const void* pool_data = pool ? data_of(nn_context_mempool(l.ctx)) : nullptr;
        if (pool)
            EXPECT_EQ(data_of(l.t(1)), pool_data);  // stored 0 in a pool context
        else
            EXPECT_NE(data_of(l.t(1)), nullptr);
        EXPECT_EQ(nn_tensor_volume(l.t(2)), 1);
    }
}

TEST(ContextLoad, ConstantsPointIntoTheBuffer)
{
    kfm::Model m;
    kfm::Layer f = constant_f32("f", {2, 2}, {1, 2, 3, 4});
    f.panel_size = 8;
    kfm::Layer i32 = kfm::layer("i32", 2, {3});
    i32.datatype = NN_TYPE_I32;
    kfm::Parameter pi = kfm::parameter("data");
    pi.shape = std::vector<int32_t>{3};
    pi.data_i32 = std::vector<int32_t>{-1, 0, 70000};
    i32.parameters = std::vector<kfm::Parameter>{pi};
    kfm::Layer i8 = kfm::layer("i8", 2, {2});
    i8.datatype = NN_TYPE_I8;
    kfm::Parameter p8 = kfm::parameter("data");
    p8.shape = std::vector<int32_t>{2};
    p8.data_i8 = std::vector<int8_t>{-5, 6};
    i8.parameters = std::vector<kfm::Parameter>{p8};
    i8.scales = std::vector<float>{0.5f, 0.25f};
    i8.zeros = std::vector<int32_t>{1, 2};
    i8.axis = 1;
    kfm::Layer u8 = kfm::layer("u8", 2, {3});
    u8.datatype = NN_TYPE_U8;
    kfm::Parameter pr = kfm::parameter("data");
    pr.shape = std::vector<int32_t>{3};
    pr.data_raw = std::vector<uint8_t>{250, 251, 252};
    u8.parameters = std::vector<kfm::Parameter>{pr};
    kfm::Layer stored0 = constant_f32("stored0", {1}, {9});
    stored0.datatype = 0;  // stored 0 reads as FLOAT32
    m.layers = std::vector<kfm::Layer>{f, i32, i8, u8, stored0};
    Loaded l;
    load_into(l, m, 64);
    ASSERT_EQ(l.status, 0) << l.streams.err;
    const void* model = l.buf.data();
    struct Row {
        size_t layer;
        nn_type type;
        const void* data;
        int volume;
    } rows[] = {
        {0, NN_TYPE_F32, nn_model_parameter_data_f32(nn_model_layer_parameter(model, 0, "data"), nullptr), 4},
        {1, NN_TYPE_I32, nn_model_parameter_data_i32(nn_model_layer_parameter(model, 1, "data"), nullptr), 3},
        {2, NN_TYPE_I8, nn_model_parameter_data_i8(nn_model_layer_parameter(model, 2, "data"), nullptr), 2},
        {3, NN_TYPE_U8, nn_model_parameter_data_raw(nn_model_layer_parameter(model, 3, "data"), nullptr), 3},
        {4, NN_TYPE_F32, nn_model_parameter_data_f32(nn_model_layer_parameter(model, 4, "data"), nullptr), 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.layer);
        ASSERT_NE(r.data, nullptr);
        const uint8_t* p = static_cast<const uint8_t*>(r.data);
        EXPECT_GE(p, l.buf.data());
        EXPECT_LT(p, l.buf.data() + l.buf.size());
        EXPECT_EQ(data_of(l.t(r.layer)), r.data);
        EXPECT_EQ(nn_tensor_type(l.t(r.layer)), r.type);
        EXPECT_EQ(nn_tensor_volume(l.t(r.layer)), r.volume);
    }
    EXPECT_EQ(kfm_test::floats(l.t(0)), (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(nn_tensor_panel_size(l.t(0)), 8u);
    EXPECT_EQ(nn_tensor_panel_size(l.t(1)), 0u);
    // Quantisation is borrowed from the buffer, not copied.
    size_t n = 0;
    EXPECT_EQ(nn_tensor_scales(l.t(2), &n), nn_model_layer_scales(model, 2, nullptr));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(nn_tensor_zeros(l.t(2), &n), nn_model_layer_zeros(model, 2, nullptr));
    EXPECT_EQ(nn_tensor_axis(l.t(2)), 1);
    EXPECT_EQ(nn_tensor_scales(l.t(0), nullptr), nullptr);
}

// Stored but empty scales and zeros lists are no quantisation at all: a
// count of 0 means "one pair" to the quantisation code, which would read the
// bytes after the empty list (past the model's end when the list is last).
TEST(ContextLoad, EmptyQuantisationListsAreNone)
{
    kfm::Model m;
    kfm::Layer u8 = kfm::layer("u8", 2, {3});
    u8.datatype = NN_TYPE_U8;
    kfm::Parameter pr = kfm::parameter("data");
    pr.shape = std::vector<int32_t>{3};
    pr.data_raw = std::vector<uint8_t>{5, 6, 7};
    u8.parameters = std::vector<kfm::Parameter>{pr};
    u8.scales = std::vector<float>{};
    u8.zeros = std::vector<int32_t>{};
    m.layers = std::vector<kfm::Layer>{u8};
    Loaded l;
    load_into(l, m, 64);
    ASSERT_EQ(l.status, 0) << l.streams.err;
    size_t n = 7;
    EXPECT_EQ(nn_tensor_scales(l.t(0), &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(nn_tensor_zeros(l.t(0), &n), nullptr);
    std::vector<float> out(3, -1.0f);
    kfm_test::capture(
        [&] { EXPECT_EQ(nn_tensor_dequantize_buffer(l.t(0), out.size(), out.data()), NN_ERROR_TENSOR_NO_DATA); });
    EXPECT_EQ(out, (std::vector<float>{-1.0f, -1.0f, -1.0f}));
}

TEST(ContextLoad, ViewLayers)
{
    kfm::Model m;
    m.memory_block_size = 4;
    kfm::Layer in = pooled("in", 1, {2, 3}, 0);
    kfm::Layer q = pooled("q", 1, {6}, 8);
    q.datatype = NN_TYPE_U8;
    kfm::Layer rs = kfm::layer("rs", 101, {3, 2}, {0});
    kfm::Layer rs8 = kfm::layer("rs8", 101, {2, 3}, {1});
    rs8.datatype = NN_TYPE_I8;
    kfm::Layer cp = kfm::layer("cp", 14, {6}, {1, 0});
    kfm::Layer fl = kfm::layer("fl", 15, {2}, {0});
    m.layers = std::vector<kfm::Layer>{in, q, rs, rs8, cp, fl};
    Loaded l;
    load_into(l, m, 128);
    ASSERT_EQ(l.status, 0) << l.streams.err;
    struct Row {
        size_t layer, of;
        nn_type type;
        int dims;
    } rows[] = {
        {2, 0, NN_TYPE_F32, 2}, {3, 1, NN_TYPE_I8, 2}, {4, 1, NN_TYPE_U8, 1}, {5, 0, NN_TYPE_F32, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.layer);
        EXPECT_EQ(data_of(l.t(r.layer)), data_of(l.t(r.of)));
        EXPECT_EQ(nn_tensor_type(l.t(r.layer)), r.type);
        EXPECT_EQ(nn_tensor_dims(l.t(r.layer)), r.dims);
    }
    EXPECT_EQ(nn_tensor_shape(l.t(2))[0], 3);
}

TEST(ContextLoad, FirstLayerSkipsLeadingInputsConstantsVariables)
{
    struct Case {
        std::vector<int16_t> types;
        size_t first;
    } cases[] = {
        {{1, 2, 60, 1}, 2}, {{1, 3, 2, 1}, 4}, {{0, 1}, 0}, {{3, 42}, 1}, {{}, 0},
    };
    for (const Case& c : cases) {
        kfm::Model m;
        std::vector<kfm::Layer> layers;
        for (size_t i = 0; i < c.types.size(); ++i) {
            if (c.types[i] == 2)
                layers.push_back(constant_f32("l" + std::to_string(i), {1}, {1}));
            else
                layers.push_back(kfm::layer("l" + std::to_string(i), c.types[i], {1}));
        }
        m.layers = layers;
        Loaded l;
        load_into(l, m, 0);
        ASSERT_EQ(l.status, 0);
        EXPECT_EQ(l.ctx->first_layer, c.first);
    }
}

TEST(ContextLoad, EngineAcceptsOnlyFloatFirstLayers)
{
    struct Case {
        const char* what;
        kfm::opt<int8_t> datatype;
        bool layers;
        int status;
    } cases[] = {
        {"UINT8 first layer", NN_TYPE_U8, true, 5},
        {"INT8 first layer", NN_TYPE_I8, true, 5},
        {"datatype absent", std::nullopt, true, 0},
        {"datatype FLOAT32", NN_TYPE_F32, true, 0},
        {"no layers", std::nullopt, false, 5},
    };
    for (const Case& c : cases) {
        RecordingEngine eng({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc, Slot::kView,
                             Slot::kMapRo, Slot::kMapRw, Slot::kMapWo, Slot::kUnmap});
        kfm::Model m;
        if (c.layers) {
            kfm::Layer in = kfm::layer("in", 1, {4});
            in.datatype = c.datatype;
            m.layers = std::vector<kfm::Layer>{in, kfm::layer("out", 42, {4})};
        }
        Loaded l;
        load_into(l, m, 0, 0, eng.engine());
        EXPECT_EQ(l.status, c.status) << c.what;
        EXPECT_EQ(l.streams.out, c.status ? "Quantized KFM unsupported by opencl backend\r\n" : "") << c.what;
        if (c.status == 0) {
            EXPECT_EQ(nn_tensor_engine(l.t(0)), eng.engine());
            EXPECT_EQ(eng.Count(Slot::kAlloc), 2u);
        } else {
            EXPECT_EQ(nn_context_model(l.ctx), nullptr);
        }
    }
}

TEST(ContextLoad, UnloadAndReload)
{
    kfm::Model big;
    big.layers = std::vector<kfm::Layer>{kfm::layer("a", 1, {4}), kfm::layer("b", 1, {4}),
                                         kfm::layer("c", 1, {4})};
    kfm::Model small;
    small.layers = std::vector<kfm::Layer>{kfm::layer("x", 1, {2})};
    Buffer b1 = kfm::write(big), b2 = kfm::write(small);
    nn_context* ctx = nn_context_init(nullptr, 0, nullptr, 0, nullptr);
    ASSERT_EQ(nn_context_model_load(ctx, b1.size(), b1.data()), 0);
    EXPECT_EQ(ctx->tensor_capacity, 3u);
    // Loading over a loaded model unloads it first (nothing leaks).
    ASSERT_EQ(nn_context_model_load(ctx, b2.size(), b2.data()), 0);
    EXPECT_EQ(ctx->tensor_capacity, 3u);
    EXPECT_EQ(ctx->tensors[1], nullptr);
    EXPECT_EQ(ctx->tensors[2], nullptr);
    EXPECT_EQ(nn_context_tensor_index(ctx, 1), nullptr);  // past this model's layers
    EXPECT_NE(nn_context_tensor(ctx, "x"), nullptr);
    nn_context_model_unload(ctx);
    EXPECT_EQ(nn_context_model(ctx), nullptr);
    EXPECT_EQ(ctx->tensors[0], nullptr);
    EXPECT_EQ(nn_context_tensor(ctx, "x"), nullptr);
    nn_context_model_unload(ctx);  // nothing loaded: nothing happens
    nn_context_model_unload(nullptr);
    ASSERT_EQ(nn_context_model_load(ctx, b1.size(), b1.data()), 0);
    EXPECT_EQ(nn_model_layer_count(nn_context_model(ctx)), 3u);
    nn_context_release(ctx);  // unloads
}

TEST(ContextLoad, AliasNamesATensor)
{
    kfm::Model m;
    m.layers = std::vector<kfm::Layer>{kfm::layer("a", 1, {1}), kfm::layer("b", 1, {1})};
    m.resources = std::vector<kfm::Resource>{kfm::alias("input", 1)};
    Loaded l;
    load_into(l, m, 0);
    ASSERT_EQ(l.status, 0);
    EXPECT_EQ(nn_context_tensor(l.ctx, "input"), l.t(1));
    EXPECT_EQ(nn_context_tensor(l.ctx, "a"), l.t(0));
}

// ---- Failures ----------------------------------------------------------------

struct FailCase {
    const char* what;
    std::function<kfm::Model()> model;
    size_t pool;
    int status;
    std::string out;
    std::string err;
};

kfm::Model one(kfm::Layer l, std::vector<kfm::Layer> before = {})
{
    kfm::Model m;
    before.push_back(std::move(l));
    m.layers = before;
    return m;
}

kfm::Layer with_param(kfm::Layer l, kfm::Parameter p)
{
    l.parameters = std::vector<kfm::Parameter>{std::move(p)};
    return l;
}

kfm::Parameter shaped(std::vector<int32_t> shape)
{
    kfm::Parameter p = kfm::parameter("data");
    p.shape = std::move(shape);
    return p;
}

TEST(ContextLoad, FailureTable)
{
    kfm::Layer in = kfm::layer("in", 1, {4});
    auto data_f32 = [](std::vector<int32_t> shape, std::vector<float> v) {
        kfm::Parameter p = shaped(std::move(shape));
        p.data_f32 = std::move(v);
        return p;
    };
    std::vector<FailCase> cases = {
        {"pool smaller than the model needs",
         [] {
             kfm::Model m = one(kfm::layer("a", 1, {1}));
             m.memory_block_size = 16;
             m.memory_blocks = 100;
             return m;
         },
         1024, 3, "", "model requires 1856 bytes but only 1024 bytes was provided.\n"},
        {"model needing 4 GiB + 64 bytes (compared in 64 bits)",
         [] {
             kfm::Model m = one(kfm::layer("a", 1, {1}));
             m.memory_block_size = 64;
             m.memory_blocks = 67108861;  // (4 + K) * 64 = 2^32 + 64
             return m;
         },
         1024, 3, "", "model requires 4294967360 bytes but only 1024 bytes was provided.\n"},
        {"constant without data",
         [] { return one(kfm::layer("w", 2, {1})); }, 0, 6, "",
         "[ERROR] constant w missing required data parameter\r\n"},
        {"constant without shape",
         [] { return one(with_param(kfm::layer("w", 2), kfm::parameter("data"))); }, 0, 6, "",
         "[ERROR] constant w missing data shape attribute\r\n"},
        {"constant without contents",
         [] {
             kfm::Parameter p = shaped({2});
             p.data_i32 = std::vector<int32_t>{1, 2};  // FLOAT32 layer reads data_f32
             return one(with_param(kfm::layer("w", 2), p));
         },
         0, 6, "", "[ERROR] constant w missing data contents\r\n"},
        {"constant with fewer values than its shape",
         [=] { return one(with_param(kfm::layer("w", 2), data_f32({2, 3}, {1, 2, 3, 4, 5}))); }, 0,
         6, "", "[ERROR] constant w missing data contents\r\n"},
        {"INT8 constant without integer data",
         [] {
             kfm::Layer l = with_param(kfm::layer("w", 2), shaped({2}));
             l.datatype = NN_TYPE_I8;
             return one(l);
         },
         0, 6, "", "NO INTEGER DATA?\r\n[ERROR] constant w missing data contents\r\n"},
        {"constant of another datatype",
         [=] {
             kfm::Layer l = with_param(kfm::layer("w", 2), data_f32({1}, {1}));
             l.datatype = NN_TYPE_I16;
             return one(l);
         },
         0, 16, "", "[ERROR] constant w unsupported data type: I16\r\n"},
        {"copy with one input", [=] { return one(kfm::layer("c", 14, {4}, {0}), {in}); }, 0, 6, "",
         "[ERROR] insufficient inputs for copy operation: c\r\n"},
        {"reshape without inputs", [=] { return one(kfm::layer("r", 101, {4}), {in}); }, 0, 6, "",
         "[ERROR] insufficient inputs for reshape operation: r\r\n"},
        {"fill without inputs", [=] { return one(kfm::layer("f", 15, {4}), {in}); }, 0, 6, "",
         "[ERROR] insufficient inputs for fill operation: f\r\n"},
        {"reshape of a later layer",
         [=] {
             kfm::Model m = one(kfm::layer("r", 101, {4}, {1}));
             m.layers->push_back(in);
             return m;
         },
         0, 6, "", "[ERROR] reshape layer r input 1 is not an earlier layer\r\n"},
        {"copy of itself", [=] { return one(kfm::layer("c", 14, {4}, {1, 0}), {in}); }, 0, 6, "",
         "[ERROR] copy layer c input 1 is not an earlier layer\r\n"},
        {"input past the last layer", [=] { return one(kfm::layer("add", 20, {4}, {0, 2}), {in}); },
         0, 6, "", "[ERROR] layer add input 2 is past the last layer\r\n"},
        {"layer past the end of the pool",
         [] {
             kfm::Model m = one(pooled("x", 1, {8}, 3));
             m.memory_block_size = 16;
             return m;
         },
         64, 3, "", "[ERROR] tensor blocks surpass available memory pool for layer x\r\n"},
        {"offset x block size wrapping 32 bits",
         [] {
             kfm::Model m = one(pooled("x", 1, {4}, 0x10000));
             m.memory_block_size = 0x10000;
             return m;
         },
         64, 3, "", "[ERROR] tensor blocks surpass available memory pool for layer x\r\n"},
        {"volume x element size wrapping 32 bits",
         [] { return one(pooled("x", 1, {65536, 65536}, 0)); }, 64, 3, "",
         "[ERROR] tensor blocks surpass available memory pool for layer x\r\n"},
        {"extents whose product passes 64 bits, in the pool",
         [] { return one(pooled("x", 1, {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, 0)); }, 64, 3, "",
         "[ERROR] tensor blocks surpass available memory pool for layer x\r\n"},
        {"constant whose extents' product passes 64 bits",
         [=] {
             return one(with_param(kfm::layer("w", 2),
                                   data_f32({INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, {1, 2})));
         },
         0, 6, "", "[ERROR] constant w missing data contents\r\n"},
        {"FLOAT32 layer at a byte offset that is not a multiple of 4",
         [] { return one(pooled("x", 42, {2}, 6)); }, 64, 6, "",
         "[ERROR] failed to create tensor view for layer x [relu]: invalid parameter\r\n"},
        {"offset past INT32_MAX",
         [] {
             kfm::Model m = one(pooled("x", 1, {}, 0x80000000u));
             return m;
         },
         64, 3, "", "[ERROR] tensor blocks surpass available memory pool for layer x\r\n"},
        {"negative shape entry in the pool",
         [] { return one(pooled("x", 42, {2, -2}, 0)); }, 64, 9, "",
         "[ERROR] failed to create tensor view for layer x [relu]: invalid shape\r\n"},
        {"five dimensions in the pool",
         [] { return one(pooled("x", 1, {1, 1, 1, 1, 1}, 0)); }, 64, 9, "",
         "[ERROR] failed to create tensor view for layer x [input]: invalid shape\r\n"},
        {"negative shape entry, own memory", [] { return one(kfm::layer("x", 1, {-1})); }, 0, 9, "",
         "[ERROR] failed to allocate tensor for layer x [input]: invalid shape\r\n"},
        {"reshape view larger than its input",
         [=] { return one(kfm::layer("r", 101, {8}, {0}), {in}); }, 0, 9, "",
         "[ERROR] failed to create reshape memory view for layer r: invalid shape\r\n"},
        {"copy view larger than its input",
         [=] { return one(kfm::layer("c", 14, {8}, {0, 0}), {in}); }, 0, 9, "",
         "[ERROR] failed to create copy memory view for layer c: invalid shape\n"},
        {"fill view larger than its input",
         [=] { return one(kfm::layer("f", 15, {2, 4}, {0}), {in}); }, 0, 9, "",
         "[ERROR] failed to create fill memory view for layer f: invalid shape\n"},
        {"gru without 8 inputs",
         [=] { return one(kfm::layer("g", 100, {1, 4}, {0, 0, 0}), {in}); }, 0, 6, "",
         "[ERROR] load_layer [g] missing 8 required inputs, has 3\r\n"},
        {"gru without inputs", [=] { return one(kfm::layer("g", 100, {1, 4}), {in}); }, 0, 6, "",
         "[ERROR] load_layer [g] missing 8 required inputs, has 0\r\n"},
        // Operators that write their output while reading their inputs.
        {"conv2d reading its own output", [=] { return one(kfm::layer("c", 60, {4}, {0, 1}), {in}); }, 0,
         19, "", "[ERROR] layer c reads its own output\r\n"},
        {"conv2d naming itself by alt_input",
         [=] {
             kfm::Parameter alt = kfm::parameter("alt_input");
             alt.data_i16 = std::vector<int16_t>{1};
             return one(with_param(kfm::layer("c", 60, {4}, {0, 0}), alt), {in});
         },
         0, 19, "", "[ERROR] layer c reads its own output\r\n"},
        {"dense reading its own output", [=] { return one(kfm::layer("d", 51, {4}, {1, 0}), {in}); }, 0, 19,
         "", "[ERROR] layer d reads its own output\r\n"},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.what);
        Loaded l;
        load_into(l, c.model(), c.pool);
        EXPECT_EQ(l.status, c.status);
        EXPECT_EQ(l.streams.out, c.out);
        EXPECT_EQ(l.streams.err, c.err);
        // A failed load leaves no model and no tensors behind.
        EXPECT_EQ(nn_context_model(l.ctx), nullptr);
        EXPECT_EQ(nn_context_step(l.ctx, 0), 21);
        for (size_t i = 0; i < l.ctx->tensor_capacity; ++i)
            EXPECT_EQ(l.ctx->tensors[i], nullptr);
        nn_context_model_unload(l.ctx);
    }
}

TEST(ContextLoad, AssignFailureNamesTheDataAddress)
{
    kfm::Parameter p = shaped({1, 1, 1, 1, 1});
    p.data_f32 = std::vector<float>{1};
    Loaded l;
    load_into(l, one(with_param(kfm::layer("w", 2), p)), 0);
    EXPECT_EQ(l.status, 9);
    char expected[200];
    std::snprintf(expected, sizeof expected, "[ERROR] failed to assign memory %p for layer w [constant]: invalid shape\r\n",
                  static_cast<const void*>(nn_model_parameter_data_f32(nn_model_layer_parameter(l.buf.data(), 0, "data"), nullptr)));
    EXPECT_EQ(l.streams.err, expected);
}

TEST(ContextLoad, BufferAndVerificationFailures)
{
    nn_context* ctx = nn_context_init(nullptr, 0, nullptr, 0, nullptr);
    Buffer good = kfm::write(one(kfm::layer("a", 1, {1})));
    int status = -1;
    auto s = capture([&] { status = nn_context_model_load(ctx, 100, nullptr); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(s.out + s.err, "");
    s = capture([&] { status = nn_context_model_load(ctx, 7, good.data()); });
    EXPECT_EQ(status, 6);
    EXPECT_EQ(s.out, "model verification failed: buffer header too small\r\n");
    EXPECT_EQ(s.err, "");
    Buffer shifted = good.shifted(2);
    s = capture([&] { status = nn_context_model_load(ctx, shifted.size(), shifted.data()); });
    EXPECT_EQ(status, 6);
    EXPECT_EQ(s.out, "model verification failed: runtime: buffer header not aligned\r\n");
    EXPECT_EQ(nn_context_model_load(nullptr, good.size(), good.data()), 6);

    // A failing verification leaves a loaded model as it was.
    ASSERT_EQ(nn_context_model_load(ctx, good.size(), good.data()), 0);
    capture([&] { status = nn_context_model_load(ctx, 7, good.data()); });
    EXPECT_EQ(nn_context_model(ctx), good.data());
    EXPECT_NE(nn_context_tensor(ctx, "a"), nullptr);
    nn_context_release(ctx);
}

TEST(ContextLoad, TensorRecordAllocationFailure)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc});
    nn_context* ctx = nn_context_init(eng.engine(), 0, nullptr, 0, nullptr);
    eng.SetTensorInitResult(nullptr);
    Buffer b = kfm::write(one(kfm::layer("in", 1, {1})));
    int status = -1;
    auto s = capture([&] { status = nn_context_model_load(ctx, b.size(), b.data()); });
    EXPECT_EQ(status, 3);
    EXPECT_EQ(s.err, "[ERROR] insufficient memory to create tensor for layer in\r\n");
    EXPECT_EQ(nn_context_model(ctx), nullptr);
    nn_context_release(ctx);
}

}  // namespace

namespace {

// A GRU layer over input width I = 3, gate width G = 8, hidden width H = 4:
// its state needs (3 + 16 + 8) * 4 = 108 bytes of cache.
std::vector<kfm::Layer> gru_layers(int grus)
{
    std::vector<kfm::Layer> layers{kfm::layer("x", 1, {1, 3}), kfm::layer("h", 1, {1, 4}),
                                   kfm::layer("wg", 1, {7, 8}), kfm::layer("bg", 1, {8}),
                                   kfm::layer("wx", 1, {3, 4}), kfm::layer("bx", 1, {4}),
                                   kfm::layer("wh", 1, {4, 4}), kfm::layer("bh", 1, {4})};
    for (int g = 0; g < grus; ++g)
        layers.push_back(kfm::layer("gru" + std::to_string(g), 100, {1, 4}, {0, 1, 2, 3, 4, 5, 6, 7}));
    return layers;
}

TEST(ContextLoad, GruState)
{
    kfm::Model m;
    m.layers = gru_layers(1);
    Loaded l;
    load_into(l, m, 0, 108);
    ASSERT_EQ(l.status, 0) << l.streams.err;
    EXPECT_NE(l.ctx->gru, nullptr);
    nn_context_model_unload(l.ctx);
    EXPECT_EQ(l.ctx->gru, nullptr);
    // Loaded again into the same context: one state again.
    ASSERT_EQ(nn_context_model_load(l.ctx, l.buf.size(), l.buf.data()), 0);
    EXPECT_NE(l.ctx->gru, nullptr);
}

TEST(ContextLoad, GruFailures)
{
    struct Case {
        const char* what;
        int grus;
        size_t cache;
        int status;
        const char* err;
    } cases[] = {
        {"second gru layer", 2, 108, 6,
         "[ERROR] kfmx currently only supports a single gru layer per model\r\n"},
        {"no cache", 1, 0, 6, "[ERROR] failed to initialize gru context: invalid parameter\r\n"},
        {"cache one byte short", 1, 107, 3,
         "nn_gru insuffient cache size 107 of 108 required\n"
         "[ERROR] failed to initialize gru context: out of memory\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kfm::Model m;
        m.layers = gru_layers(c.grus);
        Loaded l;
        load_into(l, m, 0, c.cache);
        EXPECT_EQ(l.status, c.status);
        EXPECT_EQ(l.streams.err, c.err);
        // The failed load released the state of the first gru layer too.
        EXPECT_EQ(l.ctx->gru, nullptr);
        EXPECT_EQ(nn_context_model(l.ctx), nullptr);
    }
}

TEST(ContextLoad, GruInputsMustBeEarlierLayers)
{
    kfm::Model m;
    std::vector<kfm::Layer> layers = gru_layers(0);
    layers.insert(layers.begin() + 2, kfm::layer("g", 100, {1, 4}, {0, 1, 3, 3, 4, 5, 6, 7}));
    m.layers = layers;
    Loaded l;
    load_into(l, m, 0, 108);
    EXPECT_EQ(l.status, 6);
    EXPECT_EQ(l.streams.err, "[ERROR] gru layer g input 3 is not an earlier layer\r\n");
}

}  // namespace
