// Model queries on one rich fixture: absent, stored and bad-index rows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "model/model_internal.h"

namespace {

using kfm::Buffer;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// Layers: 0 bare (no type, datatype, shape, inputs, params), 1 input with
// datatype 0 stored, 2 constant INT8 with quantisation and parameters,
// 3 type 19 (unnamed), 4 type -3, 5 user_op datatype 99, 6 "dup", 7 "dup".
kfm::Model query_model()
{
    kfm::Model m;
    m.name = "query-model";
    m.labels = std::vector<std::string>{"zero", "one", "two"};
    kfm::Layer bare;
    bare.name = "bare";
    kfm::Layer in = kfm::layer("in", 1, {1, 2, 3, 4}, {});
    in.datatype = 0;
    in.inputs = std::vector<uint32_t>{};
    kfm::Layer c = kfm::layer("const", 2, {3}, {0, 1});
    c.datatype = 2;
    c.zeros = std::vector<int32_t>{1, 2, 3};
    c.scales = std::vector<float>{0.25f, 0.5f, 1.0f};
    c.axis = -1;
    kfm::Parameter data = kfm::parameter("data");
    data.shape = std::vector<int32_t>{3};
    data.data_i8 = std::vector<int8_t>{-1, 2, -3};
    data.data_raw = std::vector<uint8_t>{9, 9, 9};
    kfm::Parameter raw = kfm::parameter("raw");
    raw.data_raw = std::vector<uint8_t>{200, 1};
    kfm::Parameter act = kfm::parameter("activation");
    act.data_str = std::vector<std::string>{"RELU", "TANH"};
    act.data_f32 = std::vector<float>{1.5f};
    act.data_i16 = std::vector<int16_t>{-7, 8};
    act.data_i32 = std::vector<int32_t>{70000};
    kfm::Parameter empty = kfm::parameter("empty");
    kfm::Parameter dup = kfm::parameter("data");  // a second "data": the first wins
    dup.data_i8 = std::vector<int8_t>{100};
    c.parameters = std::vector<kfm::Parameter>{data, raw, act, empty, dup};
    kfm::Layer unnamed = kfm::layer("unnamed", 19);
    kfm::Layer negative = kfm::layer("negative", -3);
    kfm::Layer user = kfm::layer("user", 250, {2}, {2});
    user.datatype = 99;
    user.parameters = std::vector<kfm::Parameter>{};
    kfm::Layer dup1 = kfm::layer("dup", 42);
    kfm::Layer dup2 = kfm::layer("dup", 43);
    m.layers = std::vector<kfm::Layer>{bare, in, c, unnamed, negative, user, dup1, dup2};
    m.memory_block_size = 1024;
    m.memory_blocks = 100;
    m.cache_minimum_size = 4096;
    m.cache_optimum_size = 8192;
    m.outputs = std::vector<uint32_t>{5, 7};
    kfm::Resource r = kfm::resource("blob", {1, 2, 3, 4, 5});
    r.meta = "some meta";
    r.mime = "application/octet-stream";
    kfm::Resource bare_res;
    bare_res.name = "bare";
    m.resources = std::vector<kfm::Resource>{r, bare_res, kfm::resource("blob", {9})};
    return m;
}

class ModelQuery : public testing::Test {
protected:
    void SetUp() override
    {
        buf = kfm::write(query_model());
        ASSERT_EQ(nn_model_validate(buf.data(), buf.size()), 0);
        model = buf.data();
        std::memcpy(unidentified, buf.data(), sizeof unidentified);
        unidentified[7] = 'y';
    }
    Buffer buf;
    const void* model = nullptr;
    uint8_t unidentified[16];
};

TEST_F(ModelQuery, ModelWide)
{
    EXPECT_STREQ(nn_model_name(model), "query-model");
    EXPECT_EQ(nn_model_uuid(model), nullptr);
    EXPECT_EQ(nn_model_serial(model), 0);
    EXPECT_EQ(nn_model_label_count(model), 3);
    EXPECT_STREQ(nn_model_label(model, 0), "zero");
    EXPECT_STREQ(nn_model_label(model, 2), "two");
    EXPECT_EQ(nn_model_label(model, 3), nullptr);
    EXPECT_EQ(nn_model_label(model, -1), nullptr);
    EXPECT_EQ(nn_model_layer_count(model), 8u);
    // (ceil(128 * 9 / 1024) + 100) * 1024
    EXPECT_EQ(nn_model_memory_size(model), (2u + 100u) * 1024u);
    EXPECT_EQ(nn_model_cache_minimum_size(model), 4096u);
    EXPECT_EQ(nn_model_cache_optimum_size(model), 8192u);

    size_t count = 77;
    EXPECT_EQ(nn_model_inputs(model, &count), nullptr);
    EXPECT_EQ(count, 77u);  // unwritten
    const uint32_t* outs = nn_model_outputs(model, &count);
    ASSERT_NE(outs, nullptr);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(outs[0], 5u);
    EXPECT_EQ(outs[1], 7u);
    EXPECT_NE(nn_model_outputs(model, nullptr), nullptr);
}

TEST_F(ModelQuery, BadBuffersGiveNothing)
{
    for (const void* bad : {static_cast<const void*>(nullptr), static_cast<const void*>(unidentified)}) {
        size_t count = 5;
        EXPECT_EQ(nn_model_name(bad), nullptr);
        EXPECT_EQ(nn_model_label(bad, 0), nullptr);
        EXPECT_EQ(nn_model_label_count(bad), 0);
        EXPECT_EQ(nn_model_inputs(bad, &count), nullptr);
        EXPECT_EQ(nn_model_outputs(bad, &count), nullptr);
        EXPECT_EQ(count, 5u);
        EXPECT_EQ(nn_model_layer_count(bad), 0u);
        EXPECT_EQ(nn_model_memory_size(bad), 0u);
        EXPECT_EQ(nn_model_cache_minimum_size(bad), 0u);
        EXPECT_EQ(nn_model_resource_count(bad), 0u);
        EXPECT_EQ(nn_model_resource_at(bad, 0), nullptr);
        EXPECT_EQ(nn_model_resource(bad, "blob"), nullptr);
        EXPECT_EQ(nn_model_layer_name(bad, 0), nullptr);
        EXPECT_EQ(nn_model_layer_type(bad, 0), nullptr);
        EXPECT_EQ(nn_model_layer_type_id(bad, 1), 0);
        EXPECT_EQ(nn_model_layer_datatype(bad, 0), nullptr);
        EXPECT_EQ(nn_model_layer_datatype_id(bad, 0), 0);
        EXPECT_EQ(nn_model_layer_shape(bad, 1, &count), nullptr);
        EXPECT_EQ(count, 5u);
        EXPECT_EQ(nn_model_layer_parameter(bad, 2, "data"), nullptr);
        EXPECT_EQ(nn_model_layer_lookup(bad, "in"), 0xFFFFFFFFu);
        const uint32_t* inputs = reinterpret_cast<const uint32_t*>(&count);
        CaptureStdout();
        EXPECT_EQ(nn_model_layer_inputs(bad, 2, &inputs), 0u);
        EXPECT_EQ(GetCapturedStdout(), "[ERROR] nn_model_layer_inputs: invalid model\r\n");
        EXPECT_EQ(inputs, reinterpret_cast<const uint32_t*>(&count));
    }
}

// One row per layer (and one past the end): what each layer query answers.
TEST_F(ModelQuery, LayerRows)
{
    struct Row {
        size_t layer;
        const char* name;
        const char* type;
        int type_id;
        const char* datatype;
        int datatype_id;
        int axis;
        int dims;  // -1: shape NULL
        size_t inputs;
    } rows[] = {
        {0, "bare", "none", 0, "RAW", 11, 0, -1, 0},
        {1, "in", "input", 1, "RAW", 11, 0, 4, 0},
        {2, "const", "constant", 2, "I8", 2, -1, 1, 2},
        {3, "unnamed", "", 19, "RAW", 11, 0, -1, 0},
        {4, "negative", "", -3, "RAW", 11, 0, -1, 0},
        {5, "user", "user_op", 250, "", 99, 0, 1, 1},
        {8, nullptr, nullptr, 0, nullptr, 0, 0, -2, 0},
        {1000000, nullptr, nullptr, 0, nullptr, 0, 0, -2, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.layer);
        auto streq = [](const char* a, const char* b) {
            return (a == nullptr && b == nullptr) || (a && b && std::strcmp(a, b) == 0);
        };
        EXPECT_TRUE(streq(nn_model_layer_name(model, r.layer), r.name));
        EXPECT_TRUE(streq(nn_model_layer_type(model, r.layer), r.type));
        EXPECT_EQ(nn_model_layer_type_id(model, r.layer), r.type_id);
        EXPECT_TRUE(streq(nn_model_layer_datatype(model, r.layer), r.datatype));
        EXPECT_EQ(nn_model_layer_datatype_id(model, r.layer), r.datatype_id);
        EXPECT_EQ(nn_model_layer_axis(model, r.layer), r.axis);
        size_t dims = 99;
        const int32_t* shape = nn_model_layer_shape(model, r.layer, &dims);
        if (r.dims >= 0) {
            ASSERT_NE(shape, nullptr);
            EXPECT_EQ(dims, static_cast<size_t>(r.dims));
        } else {
            EXPECT_EQ(shape, nullptr);
            EXPECT_EQ(dims, r.dims == -1 ? 0u : 99u);  // existing layer: *dims = 0
        }
        const uint32_t* inputs = nullptr;
        EXPECT_EQ(nn_model_layer_inputs(model, r.layer, &inputs), r.inputs);
        EXPECT_EQ(nn_model_layer_inputs(model, r.layer, nullptr), r.inputs);
    }
    size_t dims = 0;
    const int32_t* shape = nn_model_layer_shape(model, 1, &dims);
    EXPECT_EQ(std::vector<int32_t>(shape, shape + dims), (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_NE(nn_model_layer_shape(model, 1, nullptr), nullptr);
    const uint32_t* inputs = nullptr;
    ASSERT_EQ(nn_model_layer_inputs(model, 2, &inputs), 2u);
    EXPECT_EQ(inputs[0], 0u);
    EXPECT_EQ(inputs[1], 1u);
    // An empty stored `inputs` vector is present with 0 entries.
    inputs = nullptr;
    EXPECT_EQ(nn_model_layer_inputs(model, 1, &inputs), 0u);
    EXPECT_NE(inputs, nullptr);
}

TEST_F(ModelQuery, Quantisation)
{
    size_t n = 0;
    const int32_t* zeros = nn_model_layer_zeros(model, 2, &n);
    ASSERT_NE(zeros, nullptr);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(zeros[2], 3);
    const float* scales = nn_model_layer_scales(model, 2, &n);
    ASSERT_NE(scales, nullptr);
    EXPECT_EQ(n, 3u);
    EXPECT_FLOAT_EQ(scales[1], 0.5f);
    n = 42;
    EXPECT_EQ(nn_model_layer_zeros(model, 1, &n), nullptr);
    EXPECT_EQ(nn_model_layer_scales(model, 1, &n), nullptr);
    EXPECT_EQ(nn_model_layer_zeros(model, 99, &n), nullptr);
    EXPECT_EQ(n, 42u);
}

TEST_F(ModelQuery, Parameters)
{
    const void* data = nn_model_layer_parameter(model, 2, "data");
    ASSERT_NE(data, nullptr);
    size_t n = 0;
    const int8_t* i8 = nn_model_parameter_data_i8(data, &n);
    ASSERT_NE(i8, nullptr);
    EXPECT_EQ(std::vector<int8_t>(i8, i8 + n), (std::vector<int8_t>{-1, 2, -3}));
    const int32_t* shape = nn_model_layer_parameter_shape(model, 2, "data", &n);
    ASSERT_NE(shape, nullptr);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(shape[0], 3);

    // data_i8 falls back to data_raw, and reports when neither is there.
    const void* raw = nn_model_layer_parameter(model, 2, "raw");
    i8 = nn_model_parameter_data_i8(raw, &n);
    ASSERT_NE(i8, nullptr);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(i8[0], static_cast<int8_t>(200));
    const uint8_t* r = nn_model_layer_parameter_data_raw(model, 2, "raw", &n);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[0], 200);
    const void* empty = nn_model_layer_parameter(model, 2, "empty");
    ASSERT_NE(empty, nullptr);
    n = 13;
    CaptureStderr();
    EXPECT_EQ(nn_model_parameter_data_i8(empty, &n), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "NO INTEGER DATA?\r\n");
    EXPECT_EQ(n, 13u);
    CaptureStderr();
    EXPECT_EQ(nn_model_parameter_data_i8(nullptr, &n), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");

    EXPECT_EQ(nn_model_layer_parameter_data_str_len(model, 2, "activation"), 2u);
    EXPECT_STREQ(nn_model_layer_parameter_data_str(model, 2, "activation", 1), "TANH");
    EXPECT_EQ(nn_model_layer_parameter_data_str(model, 2, "activation", 2), nullptr);
    EXPECT_EQ(nn_model_layer_parameter_data_str(model, 2, "empty", 0), nullptr);
    EXPECT_EQ(nn_model_layer_parameter_data_str_len(model, 2, "empty"), 0u);
    const float* f = nn_model_layer_parameter_data_f32(model, 2, "activation", &n);
    ASSERT_NE(f, nullptr);
    EXPECT_FLOAT_EQ(f[0], 1.5f);
    const int16_t* i16 = nn_model_layer_parameter_data_i16(model, 2, "activation", &n);
    ASSERT_NE(i16, nullptr);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(i16[0], -7);
    const int32_t* i32 = nn_model_parameter_data_i32(nn_model_layer_parameter(model, 2, "activation"), &n);
    ASSERT_NE(i32, nullptr);
    EXPECT_EQ(i32[0], 70000);

    // Absent keys, parameterless layers, empty vectors, NULL keys and handles.
    EXPECT_EQ(nn_model_layer_parameter(model, 2, "Data"), nullptr);
    EXPECT_EQ(nn_model_layer_parameter(model, 1, "data"), nullptr);
    EXPECT_EQ(nn_model_layer_parameter(model, 5, "data"), nullptr);
    EXPECT_EQ(nn_model_layer_parameter(model, 2, nullptr), nullptr);
    EXPECT_EQ(nn_model_layer_parameter(model, 8, "data"), nullptr);
    n = 3;
    EXPECT_EQ(nn_model_parameter_shape(nullptr, &n), nullptr);
    EXPECT_EQ(nn_model_parameter_data_f32(nullptr, &n), nullptr);
    EXPECT_EQ(nn_model_parameter_data_str(nullptr, 0), nullptr);
    EXPECT_EQ(nn_model_parameter_data_str_len(nullptr), 0u);
    EXPECT_EQ(nn_model_layer_parameter_data_f32(model, 2, "empty", &n), nullptr);
    EXPECT_EQ(n, 3u);

    // The internal index search the handlers use.
    const uint8_t* params = model_layer_parameters(model, 2);
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(layer_parameter_index(params, "data"), 0);
    EXPECT_EQ(layer_parameter_index(params, "empty"), 3);
    EXPECT_EQ(layer_parameter_index(params, "nothing"), -1);
    EXPECT_EQ(layer_parameter_index(nullptr, "data"), -1);
    EXPECT_EQ(layer_parameter_index(model_layer_parameters(model, 5), "data"), -1);
    EXPECT_EQ(layer_parameter_at(params, 0), nn_model_layer_parameter(model, 2, "data"));
    EXPECT_NE(layer_parameter_at(params, 4), nullptr);
    EXPECT_NE(layer_parameter_at(params, 4), layer_parameter_at(params, 0));
    EXPECT_EQ(layer_parameter_at(params, 5), nullptr);
    EXPECT_EQ(layer_parameter_at(params, -1), nullptr);
}

TEST_F(ModelQuery, Resources)
{
    EXPECT_EQ(nn_model_resource_count(model), 3u);
    const void* r = nn_model_resource(model, "blob");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r, nn_model_resource_at(model, 0));  // the first of two "blob"s
    EXPECT_STREQ(nn_model_resource_name(r), "blob");
    EXPECT_STREQ(nn_model_resource_meta(r), "some meta");
    EXPECT_STREQ(nn_model_resource_mime(r), "application/octet-stream");
    size_t size = 0;
    const uint8_t* d = nn_model_resource_data(r, &size);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(d, d + size), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    const void* bare = nn_model_resource_at(model, 1);
    ASSERT_NE(bare, nullptr);
    EXPECT_STREQ(nn_model_resource_name(bare), "bare");
    EXPECT_EQ(nn_model_resource_meta(bare), nullptr);
    EXPECT_EQ(nn_model_resource_mime(bare), nullptr);
    size = 8;
    EXPECT_EQ(nn_model_resource_data(bare, &size), nullptr);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(nn_model_resource_at(model, 3), nullptr);
    EXPECT_EQ(nn_model_resource(model, "nothing"), nullptr);
    EXPECT_EQ(nn_model_resource_name(nullptr), nullptr);
    EXPECT_EQ(nn_model_resource_data(nullptr, &size), nullptr);
}

TEST(ModelQueryEdge, MemorySizeAndCounts)
{
    struct Case {
        const char* what;
        kfm::opt<uint32_t> block_size, blocks;
        size_t layers;
        size_t expected;
    } cases[] = {
        {"no block size", std::nullopt, 5u, 3, 0},
        {"block size 0 stored", 0u, 5u, 3, 0},
        {"blocks default 1", 64u, std::nullopt, 0, (2 + 1) * 64},
        {"exact multiple", 128u, 2u, 3, (4 + 2) * 128},
        {"example", 1024u, 100u, 9, 104448},
        // 64-bit result: the product exceeds 32 bits.
        {"large", 0x80000000u, 0xFFFFFFFFu, 1,
         static_cast<size_t>((1ull + 0xFFFFFFFFull) * 0x80000000ull)},
    };
    for (const Case& c : cases) {
        kfm::Model m;
        m.memory_block_size = c.block_size;
        m.memory_blocks = c.blocks;
        m.layers = std::vector<kfm::Layer>(c.layers, kfm::layer("l", 1));
        Buffer b = kfm::write(m);
        EXPECT_EQ(nn_model_memory_size(b.data()), c.expected) << c.what;
    }
    kfm::Model none;
    Buffer b = kfm::write(none);
    EXPECT_EQ(nn_model_layer_count(b.data()), 0u);
    EXPECT_EQ(nn_model_label_count(b.data()), 0);
    EXPECT_EQ(nn_model_layer_lookup(b.data(), "x"), 0xFFFFFFFFu);
    EXPECT_EQ(nn_model_layer_name(b.data(), 0), nullptr);
}

TEST(ModelLookup, AliasesThenNames)
{
    kfm::Model m;
    m.layers = std::vector<kfm::Layer>{kfm::layer("a", 1), kfm::layer("X", 1), kfm::layer("b", 1),
                                       kfm::layer("c", 1), kfm::layer("a", 1)};
    kfm::Resource empty_alias;
    empty_alias.name = "alias_nodata";
    m.resources = std::vector<kfm::Resource>{
        kfm::resource("alias_", {}),  kfm::alias("X", 3),        kfm::alias("X", 0),
        kfm::resource("alias_short", {1, 0}), kfm::alias("far", 5), empty_alias,
        kfm::alias("alias", 2), kfm::resource("aliasX", {2, 0, 0, 0})};
    Buffer b = kfm::write(m);
    ASSERT_EQ(nn_model_validate(b.data(), b.size()), 0);
    struct Case {
        const char* name;
        uint32_t index;
        const char* err;
    } cases[] = {
        {"X", 3, ""},  // the first alias wins over the layer named X
        {"a", 0, ""},  // first of two layers named a
        {"c", 3, ""},
        {"alias", 2, ""},
        {"x", 0xFFFFFFFFu, ""},  // case-sensitive
        {"short", 0xFFFFFFFFu, "[ERROR] model layer alias 'short' has invalid data size: 2\n"},
        {"nodata", 0xFFFFFFFFu, "[ERROR] model layer alias 'nodata' has invalid data size: 0\n"},
        {"far", 0xFFFFFFFFu, "[ERROR] model layer alias 'far' points to invalid layer index: 5\n"},
        {"", 0xFFFFFFFFu, "[ERROR] model layer alias '' has invalid data size: 0\n"},
    };
    for (const Case& c : cases) {
        CaptureStderr();
        EXPECT_EQ(nn_model_layer_lookup(b.data(), c.name), c.index) << c.name;
        EXPECT_EQ(GetCapturedStderr(), c.err) << c.name;
    }
    EXPECT_EQ(nn_model_layer_lookup(b.data(), nullptr), 0xFFFFFFFFu);

    // An alias in a model without layers points nowhere.
    kfm::Model only_alias;
    only_alias.resources = std::vector<kfm::Resource>{kfm::alias("in", 0)};
    Buffer c = kfm::write(only_alias);
    CaptureStderr();
    EXPECT_EQ(nn_model_layer_lookup(c.data(), "in"), 0xFFFFFFFFu);
    EXPECT_EQ(GetCapturedStderr(), "[ERROR] model layer alias 'in' points to invalid layer index: 0\n");
}

TEST(ModelLayerTypes, NamesOfEveryCode)
{
    const std::pair<int, const char*> named[] = {
        {0, "none"}, {1, "input"}, {2, "constant"}, {3, "variable"}, {10, "pad"}, {11, "concat"},
        {12, "slice"}, {13, "shuffle"}, {14, "copy"}, {15, "fill"}, {16, "quant"},
        {17, "dequant"}, {18, "resize"}, {20, "add"}, {21, "subtract"}, {22, "multiply"},
        {23, "divide"}, {30, "abs"}, {31, "sqrt"}, {32, "rsqrt"}, {33, "log"}, {34, "exp"},
        {35, "pow"}, {40, "sigmoid"}, {41, "tanh"}, {42, "relu"}, {43, "relu6"},
        {44, "softmax"}, {45, "prelu"}, {46, "leaky_relu"}, {47, "elu"}, {48, "swish"},
        {49, "mish"}, {50, "matmul"}, {51, "dense"}, {52, "linear"}, {60, "conv2d"},
        {61, "pool2d"}, {62, "deconv2d"}, {70, "reduce_sum"}, {71, "reduce_min"},
        {72, "reduce_max"}, {73, "reduce_mean"}, {74, "reduce_product"}, {100, "gru"},
        {101, "reshape"}, {102, "batchnorm"}, {103, "softplus"}, {104, "nms"},
        {110, "image_standardize"}, {120, "svm"}, {121, "svm_update_kernel"},
        {122, "svm_decision_stats"}, {123, "svm_soft_probability"}, {130, "decode"},
        {131, "decode_ssd"}, {132, "decode_centernet"}, {133, "decode_yolo"}, {250, "user_op"},
        {251, "final"}};
    std::vector<std::string> expected(400, "");
    for (const auto& p : named)
        expected[p.first] = p.second;
    for (int code = -10; code < 390; ++code)
        EXPECT_STREQ(nn_layer_type_name(code), code >= 0 ? expected[code].c_str() : "") << code;
    EXPECT_STREQ(nn_layer_type_name(-32768), "");
}

}  // namespace
