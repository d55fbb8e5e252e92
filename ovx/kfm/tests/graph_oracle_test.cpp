// One KFM model, two runs: the runtime's context and the graph the builder
// made, run by the ovxlib stand-in.  The runtime is the independent oracle:
// a wrong kernel order, stride, pad pair, permutation or missing zero-point
// shift in the graph shows as a different result.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "ovx_fixtures.h"

namespace {

using namespace ovx_test;

struct Case {
    const char* name;
    std::vector<Layer> layers;
    size_t output;  // the output layer (the model's last)
};

void expect_same_float(const kfm::Model& model, size_t output, const std::vector<float>& in)
{
    Built built(model);
    ASSERT_NE(built.graph, nullptr) << built.streams.err << built.streams.out;
    int32_t type = 0;
    std::vector<float> want = bytes_floats(run_runtime(built.buffer, 0, output, float_bytes(in)));
    std::vector<float> got = bytes_floats(run_graph(built, float_bytes(in), false, &type));
    EXPECT_EQ(type, OVXLIB_TYPE_FLOAT32);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_FALSE(want.empty());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-4 * std::max(1.0f, std::fabs(want[i]))) << "element " << i;
}

Layer conv(const std::string& name, std::vector<int32_t> shape, std::vector<uint32_t> inputs,
           std::vector<Parameter> params)
{
    return op(name, NN_LAYER_CONV2D, std::move(shape), std::move(inputs), std::move(params));
}

Layer pool(const std::string& name, std::vector<int32_t> shape, uint32_t in, const char* kind,
           std::vector<int32_t> head, std::vector<int32_t> tail)
{
    return op(name, NN_LAYER_POOL2D, std::move(shape), {in},
              {list("ksize", {1, 3, 3, 1}), list("strides", {1, 2, 2, 1}), text("pooling", kind),
               list("head", std::move(head)), list("tail", std::move(tail))});
}

std::vector<Case> float_cases()
{
    std::vector<Case> cases;
    // H stride 2, W dilation 2, pads top 1 and right 2: [1,7,6,3] -> [1,3,6,4].
    cases.push_back({"ConvAsymmetricPadsStridesDilations",
                     {input("x", {1, 7, 6, 3}), constant_f32("w", {3, 2, 3, 4}, pattern(72, 0.125f)),
                      constant_f32("b", {4}, {0.5f, -0.25f, 0.0f, 1.0f}),
                      conv("c", {1, 3, 6, 4}, {0, 1, 2},
                           {list("strides", {1, 2, 1, 1}), list("dilations", {1, 1, 2, 1}),
                            list("head", {0, 1, 0, 0}), list("tail", {0, 0, 2, 0})})},
                     3});
    cases.push_back({"DepthwiseWithRelu",
                     {input("x", {1, 5, 4, 3}), constant_f32("w", {3, 3, 1, 3}, pattern(27, 0.25f, 3)),
                      constant_f32("b", {3}, {0.1f, -0.2f, 0.3f}),
                      conv("dw", {1, 5, 4, 3}, {0, 1, 2},
                           {list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0}),
                            integer("groups", 3), text("activation", "relu")})},
                     3});
    cases.push_back({"MaxPoolWithPadding",
                     {input("x", {1, 5, 6, 2}), pool("p", {1, 3, 3, 2}, 0, "MAXIMUM", {0, 1, 1, 0}, {0, 1, 0, 0})},
                     1});
    cases.push_back({"AveragePoolWithPadding",
                     {input("x", {1, 5, 6, 2}), pool("p", {1, 3, 3, 2}, 0, "AVERAGE", {0, 1, 1, 0}, {0, 1, 0, 0})},
                     1});
    cases.push_back({"Dense",
                     {input("x", {1, 6}), constant_f32("w", {6, 4}, pattern(24, 0.5f)),
                      constant_f32("b", {4}, {1.0f, 2.0f, -1.0f, 0.0f}),
                      op("d", NN_LAYER_DENSE, {1, 4}, {0, 1, 2}, {text("activation", "RELU")})},
                     3});
    cases.push_back({"Matmul",
                     {input("x", {2, 6}), constant_f32("w", {6, 3}, pattern(18, 0.5f, 5)),
                      op("m", NN_LAYER_MATMUL, {2, 3}, {0, 1})},
                     2});
    // conv [1,3,3,4] flattened to [1,36] in NHWC order, then dense.
    cases.push_back({"FlattenIntoDense",
                     {input("x", {1, 3, 3, 2}), constant_f32("w", {1, 1, 2, 4}, pattern(8, 0.5f)),
                      conv("c", {1, 3, 3, 4}, {0, 1}, {list("strides", {1, 1, 1, 1})}),
                      op("flat", NN_LAYER_RESHAPE, {1, 36}, {2}),
                      constant_f32("dw", {36, 5}, pattern(180, 0.125f, 2)),
                      constant_f32("db", {5}, {0.0f, 1.0f, 0.0f, -1.0f, 0.5f}),
                      op("d", NN_LAYER_DENSE, {1, 5}, {3, 4, 5})},
                     6});
    cases.push_back({"ConcatAlongChannels",
                     {input("x", {1, 3, 4, 2}), op("a", NN_LAYER_RELU, {1, 3, 4, 2}, {0}),
                      op("s", NN_LAYER_SIGMOID, {1, 3, 4, 2}, {0}),
                      op("cat", NN_LAYER_CONCAT, {1, 3, 4, 4}, {1, 2}, {integer("axis", 3)})},
                     3});
    cases.push_back({"ConcatAlongWidth",
                     {input("x", {1, 3, 4, 2}), op("a", NN_LAYER_RELU, {1, 3, 4, 2}, {0}),
                      op("t", NN_LAYER_TANH, {1, 3, 4, 2}, {0}),
                      op("cat", NN_LAYER_CONCAT, {1, 3, 8, 2}, {1, 2}, {integer("axis", 2)})},
                     3});
    cases.push_back({"PerChannelBiasAdd",
                     {input("x", {1, 3, 2, 4}), constant_f32("b", {4}, {1.0f, -2.0f, 3.0f, 0.5f}),
                      op("add", NN_LAYER_ADD, {1, 3, 2, 4}, {0, 1})},
                     2});
    cases.push_back({"NonSquareSlice",
                     {input("x", {1, 5, 6, 3}),
                      op("s", NN_LAYER_SLICE, {1, 3, 2, 2}, {0},
                         {list("axes", {0, 1, 2, 3}), list("head", {0, 1, 3, 1}), list("tail", {1, 4, 5, 3})})},
                     1});
    // The second reduction's axes differ from the first's: a shared axes
    // array would give the first node H and fail its output size.
    cases.push_back({"TwoReduceMeansWithDifferentAxes",
                     {input("x", {1, 4, 3, 2}), op("r1", NN_LAYER_REDUCE_MEAN, {1, 4, 1, 2}, {0}, {list("axes", {2})}),
                      op("r2", NN_LAYER_REDUCE_MEAN, {1, 1, 1, 2}, {1}, {list("axes", {1})})},
                     2});
    cases.push_back({"SoftmaxAfterDense",
                     {input("x", {1, 4}), constant_f32("w", {4, 3}, pattern(12, 0.5f)),
                      constant_f32("b", {3}, {0.0f, 0.5f, -0.5f}), op("d", NN_LAYER_DENSE, {1, 3}, {0, 1, 2}),
                      op("sm", NN_LAYER_SOFTMAX, {1, 3}, {3})},
                     4});
    // The pad layer is absorbed: the conv reads the pad's input and pads it.
    cases.push_back({"ConvAbsorbingAPad",
                     {input("x", {1, 4, 3, 2}), constant_f32("w", {3, 3, 2, 2}, pattern(36, 0.25f, 4)),
                      op("p", NN_LAYER_PAD, {1, 6, 4, 2}, {0}, {list("head", {0, 1, 1, 0}), list("tail", {0, 1, 0, 0})}),
                      conv("c", {1, 4, 2, 2}, {2, 1},
                           {list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}), list("tail", {0, 1, 0, 0}),
                            integer("alt_input", 0)})},
                     3});
    return cases;
}

class FloatModels : public testing::TestWithParam<Case> {};

TEST_P(FloatModels, GraphGivesTheRuntimesResult)
{
    const Case& c = GetParam();
    kfm::Model m = placed(c.layers);
    const size_t in = volume_of(*m.layers->at(0).shape);
    expect_same_float(m, c.output, pattern(in, 0.5f, 1));
}

INSTANTIATE_TEST_SUITE_P(Oracle, FloatModels, testing::ValuesIn(float_cases()),
                         [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// An INT8 model: the graph's input and output are UINT8 with zero points
// shifted by 128, so its bytes are the runtime's with the top bit flipped.
std::vector<Case> quantised_cases()
{
    const std::vector<float> filter_scales = {0.02f, 0.03f, 0.025f};
    std::vector<Case> cases;
    Layer x = quantised(input("x", {1, 4, 5, 2}), NN_TYPE_I8, {0.05f}, {3});
    Layer w = constant_q8("w", NN_TYPE_I8, {3, 3, 2, 3}, pattern_i8(54), filter_scales, {0, 0, 0});
    w.axis = 3;
    kfm::Layer b = kfm::layer("b", NN_LAYER_CONSTANT, {3});
    Parameter bd = kfm::parameter("data");
    bd.shape = std::vector<int32_t>{3};
    bd.data_i32 = std::vector<int32_t>{40, -25, 10};
    b.parameters = std::vector<Parameter>{bd};
    b = quantised(b, NN_TYPE_I32, {0.05f * 0.02f, 0.05f * 0.03f, 0.05f * 0.025f}, {0, 0, 0});
    Layer c = quantised(conv("c", {1, 4, 5, 3}, {0, 1, 2},
                             {list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0})}),
                        NN_TYPE_I8, {0.04f}, {-5});
    cases.push_back({"Int8Conv", {x, w, b, c}, 3});
    Layer p = quantised(pool("p", {1, 2, 2, 3}, 3, "MAXIMUM", {0, 1, 1, 0}, {0, 0, 0, 0}), NN_TYPE_I8, {0.04f}, {-5});
    cases.push_back({"Int8ConvThenMaxPool", {x, w, b, c, p}, 4});
    Layer dx = quantised(input("x", {1, 8}), NN_TYPE_I8, {0.1f}, {0});
    Layer dw = constant_q8("w", NN_TYPE_I8, {8, 3}, pattern_i8(24, 5), {0.02f}, {0});
    kfm::Layer db = kfm::layer("b", NN_LAYER_CONSTANT, {3});
    Parameter dbd = kfm::parameter("data");
    dbd.shape = std::vector<int32_t>{3};
    dbd.data_i32 = std::vector<int32_t>{100, -50, 0};
    db.parameters = std::vector<Parameter>{dbd};
    db = quantised(db, NN_TYPE_I32, {0.1f * 0.02f}, {0});
    Layer d = quantised(op("d", NN_LAYER_DENSE, {1, 3}, {0, 1, 2}), NN_TYPE_I8, {0.05f}, {2});
    cases.push_back({"Int8Dense", {dx, dw, db, d}, 3});
    return cases;
}

class QuantisedModels : public testing::TestWithParam<Case> {};

TEST_P(QuantisedModels, GraphGivesTheRuntimesResultWithinOneStep)
{
    const Case& c = GetParam();
    kfm::Model m = placed(c.layers);
    const size_t n = volume_of(*m.layers->at(0).shape);
    std::vector<uint8_t> in(n);
    for (size_t i = 0; i < n; ++i)
        in[i] = static_cast<uint8_t>(static_cast<int8_t>(static_cast<int>((i * 29) % 101) - 50));
    Built built(m);
    ASSERT_NE(built.graph, nullptr) << built.streams.err << built.streams.out;
    int32_t type = 0;
    std::vector<uint8_t> want = run_runtime(built.buffer, 0, c.output, in);
    std::vector<uint8_t> got = run_graph(built, in, true, &type);
    EXPECT_EQ(type, OVXLIB_TYPE_UINT8);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_FALSE(want.empty());
    int differing = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        const int r = static_cast<int8_t>(want[i]), g = static_cast<int>(got[i]) - 128;
        EXPECT_LE(std::abs(r - g), 1) << "element " << i;
        differing += r != g;
    }
    // Most elements agree exactly; an off-by-one in every element is a fault.
    EXPECT_LT(differing, static_cast<int>(want.size() / 4 + 1));
}

INSTANTIATE_TEST_SUITE_P(Oracle, QuantisedModels, testing::ValuesIn(quantised_cases()),
                         [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
