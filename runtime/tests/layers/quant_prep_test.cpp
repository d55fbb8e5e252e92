// Quantised preparation of conv2d and dense weights: the named objects made
// on the first step, kept for later steps, and the refusals that replace
// reads past the model's arrays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "layer_test_util.h"

namespace {

using namespace layer_test;
using kfm::Layer;

// The fixed-point pair of a positive ratio: M * 2^(e - 31), 2^30 <= M < 2^31.
std::pair<int32_t, int32_t> pair_of(float ratio)
{
    int e = 0;
    double m = std::frexp(static_cast<double>(ratio), &e);
    int64_t q = std::llround(m * 2147483648.0);
    if (q == (int64_t{1} << 31)) {
        q /= 2;
        ++e;
    }
    return {static_cast<int32_t>(q), e};
}

std::vector<int32_t> aux_ints(nn_tensor* t, const char* name, size_t n)
{
    const int32_t* p = static_cast<const int32_t*>(nn_tensor_aux_object_by_name(t, name));
    if (!p)
        return {};
    std::vector<int32_t> v(n);
    std::memcpy(v.data(), p, n * sizeof(int32_t));
    return v;
}

std::vector<int8_t> filter_values(size_t n, int seed)
{
    std::vector<int8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<int8_t>(static_cast<int>((i * 7 + static_cast<size_t>(seed) * 13) % 23) - 11);
    return v;
}

const std::vector<float> kFilterScales = {0.1f, 0.2f, 0.3f};

// x: INT8 [1, 3, 3, 2] (scale 0.5, zero 1); a filter [3, 3, 2, 3] and a
// conv2d [1, 1, 1, 3] (scale 0.25, zero -2) per extra layer pair.
Layer conv_input() { return pooled(quantised(input("x", {1, 3, 3, 2}), NN_TYPE_I8, {0.5f}, {1}), 0); }
Layer conv_out(const std::string& name, uint32_t filter, uint32_t offset, std::vector<kfm::Parameter> extra = {})
{
    extra.push_back(list("strides", {1, 1, 1, 1}));
    return pooled(quantised(op(name, NN_LAYER_CONV2D, {1, 1, 1, 3}, {0, filter}, extra), NN_TYPE_I8, {0.25f}, {-2}),
                  offset);
}

TEST_F(Layers, QuantisedConvolutionPreparesItsFilterOnce)
{
    const std::vector<int8_t> w = filter_values(54, 1);
    Load({conv_input(), constant_q8("w", NN_TYPE_I8, {3, 3, 2, 3}, w, kFilterScales, {0, 0, 0}),
          conv_out("c", 1, 4)});
    std::vector<int8_t> x(18);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<int8_t>(static_cast<int>(i % 9) - 4);
    set_q(0, x);
    nn_tensor* filter = t(1);
    EXPECT_EQ(nn_tensor_aux_object_by_name(filter, "filter_multiplier"), nullptr);
    ASSERT_EQ(step(2), 0);
    const void* m1 = nn_tensor_aux_object_by_name(filter, "filter_multiplier");
    const void* s1 = nn_tensor_aux_object_by_name(filter, "filter_shifts");
    const void* r1 = nn_tensor_aux_object_by_name(filter, "filter_reducezero");
    ASSERT_NE(m1, nullptr);
    ASSERT_NE(s1, nullptr);
    ASSERT_NE(r1, nullptr);
    const std::vector<int8_t> first = kfm_test::elements<int8_t>(t(2));
    ASSERT_EQ(step(2), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(filter, "filter_multiplier"), m1);
    EXPECT_EQ(nn_tensor_aux_object_by_name(filter, "filter_shifts"), s1);
    EXPECT_EQ(nn_tensor_aux_object_by_name(filter, "filter_reducezero"), r1);
    EXPECT_EQ(kfm_test::elements<int8_t>(t(2)), first);

    std::vector<int32_t> want_m, want_s, want_sum(3, 0);
    for (int c = 0; c < 3; ++c) {
        auto [m, e] = pair_of(kFilterScales[static_cast<size_t>(c)] * 0.5f / 0.25f);
        want_m.push_back(m);
        want_s.push_back(e);
    }
    for (size_t i = 0; i < w.size(); ++i)
        want_sum[i % 3] += w[i];
    EXPECT_EQ(aux_ints(filter, "filter_multiplier", 3), want_m);
    EXPECT_EQ(aux_ints(filter, "filter_shifts", 3), want_s);
    EXPECT_EQ(aux_ints(filter, "filter_reducezero", 3), want_sum);

    // The result, in double precision, within one step of the output type.
    for (int c = 0; c < 3; ++c) {
        double acc = 0;
        for (int k = 0; k < 18; ++k)
            acc += (x[static_cast<size_t>(k)] - 1) * w[static_cast<size_t>(k * 3 + c)];
        double q = std::round(acc * 0.5 * kFilterScales[static_cast<size_t>(c)] / 0.25) - 2;
        q = std::min(127.0, std::max(-128.0, q));
        EXPECT_NEAR(first[static_cast<size_t>(c)], q, 1.0) << c;
    }
}

TEST_F(Layers, QuantisedConvolutionBorrowsGivenMultipliers)
{
    const std::vector<int32_t> given = {1 << 30, (1 << 30) + 7, (1 << 30) + 9};
    Load({conv_input(), constant_q8("w", NN_TYPE_I8, {3, 3, 2, 3}, filter_values(54, 2), kFilterScales, {0, 0, 0}),
          conv_out("c", 1, 4, {list("multiplier", given)})});
    ASSERT_EQ(step(2), 0);
    size_t n = 0;
    const int32_t* in_model = nn_model_layer_parameter_shape(buf.data(), 2, "multiplier", &n);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), in_model);
    std::vector<int32_t> want_s;
    for (float s : kFilterScales)
        want_s.push_back(pair_of(s * 0.5f / 0.25f).second);
    EXPECT_EQ(aux_ints(t(1), "filter_shifts", 3), want_s);
}

TEST_F(Layers, FilterSumsAreSignedForInt8AndUnsignedOtherwise)
{
    // UINT8 everywhere: bytes 200 + ... are summed as unsigned values.
    std::vector<int8_t> w(54);
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<int8_t>(static_cast<uint8_t>(200 + i));
    Load({pooled(quantised(input("x", {1, 3, 3, 2}), NN_TYPE_U8, {0.5f}, {128}), 0),
          constant_q8("w", NN_TYPE_U8, {3, 3, 2, 3}, w, {0.01f}, {128}),
          pooled(quantised(op("c", NN_LAYER_CONV2D, {1, 1, 1, 3}, {0, 1}, {list("strides", {1, 1, 1, 1})}),
                           NN_TYPE_U8, {0.25f}, {128}),
                 4)});
    step(2);
    std::vector<int32_t> want(3, 0);
    for (size_t i = 0; i < w.size(); ++i)
        want[i % 3] += static_cast<uint8_t>(w[i]);
    EXPECT_EQ(aux_ints(t(1), "filter_reducezero", 3), want);
    // One filter scale: the same pair for every channel.
    auto [m, e] = pair_of(0.01f * 0.5f / 0.25f);
    EXPECT_EQ(aux_ints(t(1), "filter_multiplier", 3), std::vector<int32_t>(3, m));
    EXPECT_EQ(aux_ints(t(1), "filter_shifts", 3), std::vector<int32_t>(3, e));
}

TEST_F(Layers, DepthwiseConvolutionHasNoFilterSums)
{
    Load({pooled(quantised(input("x", {1, 3, 3, 2}), NN_TYPE_I8, {0.5f}, {0}), 0),
          constant_q8("w", NN_TYPE_I8, {3, 3, 1, 2}, filter_values(18, 3), {0.1f, 0.2f}, {0, 0}),
          pooled(quantised(op("c", NN_LAYER_CONV2D, {1, 1, 1, 2}, {0, 1},
                              {list("strides", {1, 1, 1, 1}), integer("groups", 2)}),
                           NN_TYPE_I8, {0.25f}, {0}),
                 4)});
    step(2);
    EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), nullptr);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "filter_reducezero"), nullptr);
    std::vector<int32_t> want;
    for (float s : {0.1f, 0.2f})
        want.push_back(pair_of(s * 0.5f / 0.25f).first);
    EXPECT_EQ(aux_ints(t(1), "filter_multiplier", 2), want);
}

TEST_F(Layers, QuantisationRecordsThatWouldBeReadPastTheirEnd)
{
    struct Case {
        const char* what;
        std::vector<float> filter_scales;
        std::vector<float> input_scales;
        std::vector<kfm::Parameter> extra;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"two scales for three channels", {0.1f, 0.2f}, {0.5f}, {}, 23,
         "do_conv2d [c] missing or too few quantization scales\r\n"},
        {"input without scales", kFilterScales, {}, {}, 23,
         "do_conv2d [c] missing or too few quantization scales\r\n"},
        {"filter without scales", {}, {0.5f}, {}, 23, "do_conv2d [c] missing or too few quantization scales\r\n"},
        {"multiplier list of two", kFilterScales, {0.5f}, {list("multiplier", {1, 2})}, 6,
         "do_conv2d [c] parameter multiplier requires 3 entries, has 2\r\n"},
        {"shifts without list", kFilterScales, {0.5f}, {bare("shifts")}, 6,
         "do_conv2d [c] parameter shifts requires 3 entries, has 0\r\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Layer x = pooled(input("x", {1, 3, 3, 2}), 0);
        x.datatype = NN_TYPE_I8;
        if (!k.input_scales.empty())
            x.scales = k.input_scales;
        x.zeros = std::vector<int32_t>{0};
        Layer w = kfm::layer("w", NN_LAYER_CONSTANT, {3, 3, 2, 3});
        kfm::Parameter data = kfm::parameter("data");
        data.shape = std::vector<int32_t>{3, 3, 2, 3};
        data.data_i8 = filter_values(54, 4);
        w.parameters = std::vector<kfm::Parameter>{data};
        w.datatype = NN_TYPE_I8;
        if (!k.filter_scales.empty())
            w.scales = k.filter_scales;
        Load({x, w, conv_out("c", 1, 4, k.extra)});
        set_q<int8_t>(2, {5, 6, 7});
        Streams s;
        EXPECT_EQ(step(2, &s), k.status);
        EXPECT_EQ(s.out, k.out);
        EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), nullptr);
        EXPECT_EQ(kfm_test::elements<int8_t>(t(2)), (std::vector<int8_t>{5, 6, 7}));
        nn_context_release(ctx);
        ctx = nullptr;
    }
}

// The FLOAT32 work copy an element-wise operator keeps as the single object
// moves into the named list (another role of the tensor may still use it):
// it keeps its address and is released with the tensor (the leak check sees
// it).
TEST_F(Layers, SingleFloatCopyOfTheFilterMovesIntoTheNamedObjects)
{
    Load({conv_input(), constant_q8("w", NN_TYPE_I8, {3, 3, 2, 3}, filter_values(54, 5), kFilterScales, {0, 0, 0}),
          conv_out("c", 1, 4)});
    nn_tensor* copy = nn_tensor_init(nullptr, nullptr);
    const int32_t shape[4] = {3, 3, 2, 3};
    ASSERT_EQ(nn_tensor_alloc(copy, NN_TYPE_F32, 4, shape), 0);
    nn_tensor_set_aux_object(t(1), copy, release_aux_tensor);
    ASSERT_EQ(step(2), 0);
    EXPECT_NE(nn_tensor_aux_free(t(1)), release_aux_tensor);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "aux_f32_work"), copy);
    EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), nullptr);
    EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "filter_reducezero"), nullptr);
}

// Weights with a 0 extent hold no values, whatever channel count their
// other extent claims: nothing is sized by it (a model could make the
// preparation reserve gigabytes), and the step reports the mismatch.
TEST_F(Layers, QuantisedWeightsWithoutValuesSizeNothing)
{
    Load({pooled(quantised(input("x", {1, 4}), NN_TYPE_I8, {0.5f}, {0}), 0),
          constant_q8("w", NN_TYPE_I8, {0, 1 << 30}, {}, {0.1f}, {0}),
          pooled(quantised(op("d", NN_LAYER_DENSE, {1, 3}, {0, 1}), NN_TYPE_I8, {0.25f}, {0}), 4)});
    EXPECT_EQ(step(2), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), nullptr);
}

TEST_F(Layers, QuantisedDenseUsesTheFirstWeightScaleAndOneRowCache)
{
    auto model = [](int rows) {
        return std::vector<Layer>{
            pooled(quantised(input("x", {rows, 4}), NN_TYPE_I8, {0.5f}, {0}), 0),
            constant_q8("w", NN_TYPE_I8, {4, 3}, filter_values(12, 6), kFilterScales, {0, 0, 0}),
            pooled(quantised(op("d", NN_LAYER_DENSE, {rows, 3}, {0, 1}), NN_TYPE_I8, {0.25f}, {0}), 4)};
    };
    Load(model(1));
    set_q<int8_t>(0, {1, -2, 3, 4});
    ASSERT_EQ(step(2), 0);
    auto [m, e] = pair_of(0.1f * 0.5f / 0.25f);
    EXPECT_EQ(aux_ints(t(1), "filter_multiplier", 3), std::vector<int32_t>(3, m));
    EXPECT_EQ(aux_ints(t(1), "filter_shifts", 3), std::vector<int32_t>(3, e));
    const void* acc = nn_tensor_aux_object_by_name(t(1), "aux_accum_cache");
    const void* mult = nn_tensor_aux_object_by_name(t(1), "filter_multiplier");
    EXPECT_NE(acc, nullptr);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "filter_reducezero"), nullptr);
    ASSERT_EQ(step(2), 0);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "aux_accum_cache"), acc);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), mult);
    // Expected outputs: round(sum x * w * 0.1 * 0.5 / 0.25), within one step.
    const std::vector<int8_t> w = filter_values(12, 6), x = {1, -2, 3, 4};
    const std::vector<int8_t> got = kfm_test::elements<int8_t>(t(2));
    for (int n = 0; n < 3; ++n) {
        double a = 0;
        for (int k = 0; k < 4; ++k)
            a += x[static_cast<size_t>(k)] * w[static_cast<size_t>(k * 3 + n)];
        EXPECT_NEAR(got[static_cast<size_t>(n)], std::round(a * 0.1 * 0.5 / 0.25), 1.0) << n;
    }
    nn_context_release(ctx);
    ctx = nullptr;

    Load(model(2));
    step(2);
    EXPECT_NE(nn_tensor_aux_object_by_name(t(1), "filter_multiplier"), nullptr);
    EXPECT_EQ(nn_tensor_aux_object_by_name(t(1), "aux_accum_cache"), nullptr);
}

}  // namespace
