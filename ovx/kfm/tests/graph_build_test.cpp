// The builder's graph for tiny models: operations, operand ids, parameters,
// tensor attributes, the streams of its messages, and every refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ovx_fixtures.h"

namespace {

using namespace ovx_test;

const char kFailed[] = "[ERROR]Failed to create VX node of type:";

std::string refusal(const std::string& layer) { return std::string("korvel_CreateNeuralNode [") + layer + "] "; }

// ---- One layer after an input: op, operands and parameters ---------------

struct LayerCase {
    const char* name;
    std::vector<Layer> layers;
    int32_t op;  // the node producing the last layer's tensor
    std::function<void(const Built&, const ovxlib_node&)> check;
};

Layer image(std::vector<int32_t> shape = {1, 6, 5, 3}) { return input("x", std::move(shape)); }

std::vector<LayerCase> layer_cases()
{
    std::vector<LayerCase> c;
    c.push_back({"Pad",
                 {image(), op("p", NN_LAYER_PAD, {1, 9, 9, 3}, {0}, {list("head", {0, 1, 3, 0}), list("tail", {0, 2, 1, 0})})},
                 OVXLIB_OP_PAD, [](const Built& b, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.pad.dim_count, 4u);
                     EXPECT_EQ(std::vector<uint32_t>(n.param.pad.front_size, n.param.pad.front_size + 4),
                               (std::vector<uint32_t>{3, 1, 0, 0}));
                     EXPECT_EQ(std::vector<uint32_t>(n.param.pad.back_size, n.param.pad.back_size + 4),
                               (std::vector<uint32_t>{1, 2, 0, 0}));
                     EXPECT_EQ(n.inputs[0], b.ids[0]);
                 }});
    c.push_back({"ConcatOfNchwImages",
                 {image(), op("r", NN_LAYER_RELU, {1, 6, 5, 3}, {0}),
                  op("c", NN_LAYER_CONCAT, {1, 6, 5, 6}, {0, 1}, {integer("axis", 3)})},
                 OVXLIB_OP_CONCAT, [](const Built& b, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.concat.axis, 2u);
                     EXPECT_EQ(n.inputs[0], b.ids[0]);
                     EXPECT_EQ(n.inputs[1], b.ids[1]);
                 }});
    c.push_back({"ConcatOfNhwcRows",
                 {image({2, 4}), op("r", NN_LAYER_RELU, {2, 4}, {0}),
                  op("c", NN_LAYER_CONCAT, {2, 8}, {0, 0}, {integer("axis", 1)})},
                 OVXLIB_OP_CONCAT, [](const Built& b, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.concat.axis, 0u);  // n - axis - 1
                     EXPECT_EQ(b.attr(n.outputs[0]).fmt, OVXLIB_FMT_NHWC);
                 }});
    c.push_back({"SliceTakesEachKfmAxis",
                 {image(), op("s", NN_LAYER_SLICE, {1, 3, 2, 2}, {0},
                              {list("axes", {0, 1, 2, 3}), list("head", {0, 1, 2, 1}), list("tail", {1, 4, 4, 3})})},
                 OVXLIB_OP_SLICE, [](const Built&, const ovxlib_node& n) {
                     ASSERT_EQ(n.param.slice.dim_count, 4u);
                     // size order W, H, C, N
                     EXPECT_EQ(std::vector<int32_t>(n.param.slice.start, n.param.slice.start + 4),
                               (std::vector<int32_t>{2, 1, 1, 0}));
                     EXPECT_EQ(std::vector<int32_t>(n.param.slice.length, n.param.slice.length + 4),
                               (std::vector<int32_t>{2, 3, 2, 1}));
                 }});
    c.push_back({"Resize",
                 {image(), op("z", NN_LAYER_RESIZE, {1, 12, 10, 3}, {0}, {integer("mode", 1), integer("align_corners", 1)})},
                 OVXLIB_OP_RESIZE, [](const Built&, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.resize.type, 1);
                     EXPECT_EQ(n.param.resize.size[0], 12u);
                     EXPECT_EQ(n.param.resize.size[1], 10u);
                     EXPECT_EQ(n.param.resize.align_corners, 1);
                     EXPECT_EQ(n.param.resize.half_pixel_centers, 0);
                 }});
    for (auto [type, code] : {std::pair{NN_LAYER_ADD, OVXLIB_OP_ADD}, {NN_LAYER_SUBTRACT, OVXLIB_OP_SUBTRACT},
                              {NN_LAYER_MULTIPLY, OVXLIB_OP_MULTIPLY}, {NN_LAYER_DIVIDE, OVXLIB_OP_DIVIDE}}) {
        c.push_back({"Eltwise",
                     {image(), op("r", NN_LAYER_RELU, {1, 6, 5, 3}, {0}), op("e", type, {1, 6, 5, 3}, {1, 0})},
                     code, [code = code](const Built& b, const ovxlib_node& n) {
                         EXPECT_EQ(n.inputs[0], b.ids[1]);
                         EXPECT_EQ(n.inputs[1], b.ids[0]);
                         if (code == OVXLIB_OP_MULTIPLY || code == OVXLIB_OP_DIVIDE) {
                             EXPECT_EQ(n.param.eltwise.scale, 1.0f);
                         }
                     }});
    }
    for (auto [type, code] : {std::pair{NN_LAYER_SIGMOID, OVXLIB_OP_SIGMOID}, {NN_LAYER_RELU, OVXLIB_OP_RELU},
                              {NN_LAYER_RELU6, OVXLIB_OP_RELU6}, {NN_LAYER_SWISH, OVXLIB_OP_SWISH}}) {
        c.push_back({"Unary", {image(), op("u", type, {1, 6, 5, 3}, {0})}, code,
                     [code = code](const Built&, const ovxlib_node& n) {
                         if (code == OVXLIB_OP_SWISH) {
                             EXPECT_EQ(n.param.swish.beta, 1.0f);
                             EXPECT_EQ(n.param.swish.kind, 1);
                         }
                     }});
    }
    c.push_back({"Tanh", {image(), op("t", NN_LAYER_TANH, {1, 6, 5, 3}, {0})}, OVXLIB_OP_TANH,
                 [](const Built&, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.tanh_scale.scale_a, 1.0f);
                     EXPECT_EQ(n.param.tanh_scale.scale_b, 1.0f);
                 }});
    c.push_back({"LeakyRelu", {image(), op("l", NN_LAYER_LEAKY_RELU, {1, 6, 5, 3}, {0}, {real("alpha", 0.125f)})},
                 OVXLIB_OP_LEAKY_RELU,
                 [](const Built&, const ovxlib_node& n) { EXPECT_EQ(n.param.leaky_relu.ratio, 0.125f); }});
    c.push_back({"Softmax", {image({1, 10}), op("s", NN_LAYER_SOFTMAX, {1, 10}, {0})}, OVXLIB_OP_SOFTMAX,
                 [](const Built& b, const ovxlib_node& n) {
                     EXPECT_EQ(b.sizes(n.outputs[0]), (std::vector<uint32_t>{10, 1}));
                     EXPECT_EQ(b.attr(n.outputs[0]).fmt, OVXLIB_FMT_NCHW);
                 }});
    c.push_back({"MatmulTransposesItsWeights",
                 {image({2, 6}), constant_f32("w", {6, 3}, pattern(18)), op("m", NN_LAYER_MATMUL, {2, 3}, {0, 1})},
                 OVXLIB_OP_FCL, [](const Built& b, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.fcl.weights, 3u);
                     EXPECT_EQ(n.param.fcl.axis, 0);
                     EXPECT_EQ(n.inputs[1], b.ids[1]);
                     EXPECT_EQ(b.attr(b.ids[1]).fmt, OVXLIB_FMT_NCHW);  // transposed
                     EXPECT_EQ(b.sizes(n.outputs[0]), (std::vector<uint32_t>{3, 2}));
                 }});
    c.push_back({"DenseWithActivation",
                 {image({1, 6}), constant_f32("w", {6, 3}, pattern(18)), constant_f32("b", {3}, {1, 2, 3}),
                  op("d", NN_LAYER_DENSE, {1, 3}, {0, 1, 2}, {text("activation", "Relu6")})},
                 OVXLIB_OP_RELU6, [](const Built& b, const ovxlib_node& n) {
                     const ovxlib_node* fc = b.producer(n.inputs[0]);
                     ASSERT_NE(fc, nullptr);
                     EXPECT_EQ(fc->op, OVXLIB_OP_FCL2);
                     EXPECT_EQ(fc->input_count, 3u);
                     EXPECT_EQ(fc->inputs[2], b.ids[2]);
                     EXPECT_EQ(b.attr(n.inputs[0]).is_virtual, 1);
                 }});
    c.push_back({"Conv",
                 {image(), constant_f32("w", {3, 2, 3, 4}, pattern(72)),
                  op("c", NN_LAYER_CONV2D, {1, 3, 5, 4}, {0, 1},
                     {list("strides", {1, 2, 1, 1}), list("dilations", {1, 1, 2, 1}), list("head", {0, 1, 1, 0}),
                      list("tail", {0, 0, 1, 0})})},
                 OVXLIB_OP_CONV2D, [](const Built&, const ovxlib_node& n) {
                     const ovxlib_conv_param& p = n.param.conv;
                     EXPECT_EQ(std::vector<uint32_t>(p.ksize, p.ksize + 2), (std::vector<uint32_t>{2, 3}));
                     EXPECT_EQ(std::vector<uint32_t>(p.stride, p.stride + 2), (std::vector<uint32_t>{1, 2}));
                     EXPECT_EQ(std::vector<uint32_t>(p.dilation, p.dilation + 2), (std::vector<uint32_t>{2, 1}));
                     EXPECT_EQ(std::vector<uint32_t>(p.pad, p.pad + 4), (std::vector<uint32_t>{1, 1, 1, 0}));
                     EXPECT_EQ(p.weights, 4u);
                     EXPECT_EQ(p.group, 1u);
                     EXPECT_EQ(p.multiplier, 0u);
                     EXPECT_EQ(n.input_count, 2u);
                 }});
    c.push_back({"Depthwise",
                 {image(), constant_f32("w", {3, 3, 1, 3}, pattern(27)), constant_f32("b", {3}, {1, 2, 3}),
                  op("c", NN_LAYER_CONV2D, {1, 4, 3, 3}, {0, 1, 2}, {list("strides", {1, 1, 1, 1}), integer("groups", 3)})},
                 OVXLIB_OP_CONV2D, [](const Built&, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.conv.multiplier, 1u);
                     EXPECT_EQ(n.param.conv.weights, 3u);
                     EXPECT_EQ(n.input_count, 3u);
                 }});
    c.push_back({"Deconv",
                 {image(), constant_f32("w", {2, 3, 3, 4}, pattern(72)),
                  op("d", NN_LAYER_DECONV2D, {1, 12, 10, 4}, {0, 1}, {list("strides", {1, 2, 2, 1}), text("activation", "tanh")})},
                 OVXLIB_OP_TANH, [](const Built& b, const ovxlib_node& n) {
                     const ovxlib_node* d = b.producer(n.inputs[0]);
                     ASSERT_NE(d, nullptr);
                     EXPECT_EQ(d->op, OVXLIB_OP_DECONVOLUTION);
                     const ovxlib_conv_param& p = d->param.deconv;
                     EXPECT_EQ(std::vector<uint32_t>(p.ksize, p.ksize + 2), (std::vector<uint32_t>{2, 3}));
                     EXPECT_EQ(p.weights, 4u);
                     EXPECT_EQ(p.pad_type, OVXLIB_PAD_SAME);
                     EXPECT_EQ(std::vector<uint32_t>(p.pad, p.pad + 4), (std::vector<uint32_t>{0, 0, 0, 0}));
                     EXPECT_EQ(b.attr(b.ids[1]).fmt, OVXLIB_FMT_NCHW);
                 }});
    c.push_back({"MaxPool",
                 {image(), op("p", NN_LAYER_POOL2D, {1, 3, 2, 3}, {0},
                              {list("ksize", {1, 2, 3, 1}), list("strides", {1, 2, 2, 1}), text("pooling", "MAXIMUM")})},
                 OVXLIB_OP_POOL, [](const Built&, const ovxlib_node& n) {
                     const ovxlib_pool_param& p = n.param.pool;
                     EXPECT_EQ(p.type, OVXLIB_POOL_MAX);
                     EXPECT_EQ(std::vector<uint32_t>(p.ksize, p.ksize + 2), (std::vector<uint32_t>{3, 2}));
                     EXPECT_EQ(std::vector<uint32_t>(p.stride, p.stride + 2), (std::vector<uint32_t>{2, 2}));
                     EXPECT_EQ(p.pad_type, OVXLIB_PAD_EXPLICIT);
                 }});
    c.push_back({"AveragePoolUnpadded",
                 {image(), op("p", NN_LAYER_POOL2D, {1, 3, 2, 3}, {0},
                              {list("ksize", {1, 2, 2, 1}), list("strides", {1, 2, 2, 1}), text("pooling", "AVERAGE")})},
                 OVXLIB_OP_POOL, [](const Built&, const ovxlib_node& n) { EXPECT_EQ(n.param.pool.type, OVXLIB_POOL_AVG); }});
    c.push_back({"AveragePoolPadded",
                 {image(), op("p", NN_LAYER_POOL2D, {1, 3, 3, 3}, {0},
                              {list("ksize", {1, 2, 2, 1}), list("strides", {1, 2, 2, 1}), text("pooling", "AVERAGE"),
                               list("head", {0, 0, 1, 0})})},
                 OVXLIB_OP_POOL, [](const Built&, const ovxlib_node& n) {
                     EXPECT_EQ(n.param.pool.type, OVXLIB_POOL_AVG_EXCLUDE_PAD);
                     EXPECT_EQ(std::vector<uint32_t>(n.param.pool.pad, n.param.pool.pad + 4),
                               (std::vector<uint32_t>{1, 0, 0, 0}));
                 }});
    c.push_back({"ReduceMean",
                 {image(), op("r", NN_LAYER_REDUCE_MEAN, {1, 1, 1, 3}, {0}, {list("axes", {1, 2})})},
                 OVXLIB_OP_REDUCE, [](const Built&, const ovxlib_node& n) {
                     const ovxlib_reduce_param& p = n.param.reduce;
                     EXPECT_EQ(p.type, OVXLIB_REDUCE_MEAN);
                     ASSERT_EQ(p.axis_count, 2u);
                     EXPECT_EQ(p.axis[0], 1);
                     EXPECT_EQ(p.axis[1], 0);
                     EXPECT_EQ(p.keep_dim, 1);
                 }});
    return c;
}

class EachLayer : public testing::TestWithParam<LayerCase> {};

TEST_P(EachLayer, BuildsItsNode)
{
    const LayerCase& c = GetParam();
    Built b(placed(c.layers));
    ASSERT_NE(b.graph, nullptr) << b.streams.err << b.streams.out;
    EXPECT_EQ(b.streams.err, "");
    EXPECT_EQ(b.streams.out, "");
    const size_t last = c.layers.size() - 1;
    ASSERT_EQ(b.graph->output_count, 1u);
    EXPECT_EQ(b.graph->output_ids[0], b.ids[last]);
    // The last layer's result is permuted back to NHWC when it is an NCHW image.
    const ovxlib_node* n = b.producer(b.ids[last]);
    ASSERT_NE(n, nullptr);
    if (n->op == OVXLIB_OP_PERMUTE && c.op != OVXLIB_OP_PERMUTE) {
        EXPECT_EQ(std::vector<uint32_t>(n->param.permute.perm, n->param.permute.perm + 4),
                  (std::vector<uint32_t>{2, 0, 1, 3}));
        EXPECT_EQ(b.layer_attr(last).fmt, OVXLIB_FMT_NHWC);
        n = b.producer(n->inputs[0]);
        ASSERT_NE(n, nullptr);
    }
    EXPECT_EQ(n->op, c.op);
    c.check(b, *n);
    // Every other node is set up and verified by the stand-in.
    Streams s = capture([&] {
        EXPECT_EQ(vsi_nn_SetupGraph(b.graph, 0), 0);
        EXPECT_EQ(vsi_nn_VerifyGraph(b.graph), 0);
    });
    EXPECT_EQ(s.err, "");
}

INSTANTIATE_TEST_SUITE_P(Builder, EachLayer, testing::ValuesIn(layer_cases()),
                         [](const testing::TestParamInfo<LayerCase>& i) {
                             return std::string(i.param.name) + std::to_string(i.index);
                         });

// ---- Input layers, outputs and types -------------------------------------

TEST(Inputs, ImageWithChannelsIsPermutedToNchw)
{
    Built b(placed({image(), op("r", NN_LAYER_RELU, {1, 6, 5, 3}, {0})}));
    ASSERT_NE(b.graph, nullptr);
    const uint32_t in = b.graph->input_ids[0];
    EXPECT_EQ(b.sizes(in), (std::vector<uint32_t>{3, 5, 6, 1}));
    EXPECT_EQ(b.attr(in).fmt, OVXLIB_FMT_NHWC);
    EXPECT_EQ(b.attr(in).is_virtual, 0);
    const ovxlib_node& permute = b.node(0);
    EXPECT_EQ(permute.op, OVXLIB_OP_PERMUTE);
    EXPECT_EQ(permute.inputs[0], in);
    EXPECT_EQ(permute.outputs[0], b.ids[0]);
    EXPECT_EQ(std::vector<uint32_t>(permute.param.permute.perm, permute.param.permute.perm + 4),
              (std::vector<uint32_t>{1, 2, 0, 3}));
    EXPECT_EQ(b.sizes(b.ids[0]), (std::vector<uint32_t>{5, 6, 3, 1}));
    EXPECT_EQ(b.attr(b.ids[0]).fmt, OVXLIB_FMT_NCHW);
}

TEST(Inputs, SingleChannelImageIsTakenAsNchw)
{
    Built b(placed({image({1, 6, 5, 1}), op("r", NN_LAYER_RELU, {1, 6, 5, 1}, {0})}));
    ASSERT_NE(b.graph, nullptr);
    EXPECT_EQ(b.graph->input_ids[0], b.ids[0]);
    EXPECT_EQ(b.sizes(b.ids[0]), (std::vector<uint32_t>{5, 6, 1, 1}));
    EXPECT_EQ(b.attr(b.ids[0]).fmt, OVXLIB_FMT_NCHW);
    EXPECT_EQ(b.node(0).op, OVXLIB_OP_RELU);
}

TEST(Types, Int8InputIsShownAsUint8AndAnInt8ConstantKeepsItsType)
{
    Layer x = quantised(input("x", {1, 4}), NN_TYPE_I8, {0.5f}, {-3});
    Layer w = constant_q8("w", NN_TYPE_I8, {4, 2}, pattern_i8(8), {0.25f}, {-7});
    Layer bias = constant_q8("b", NN_TYPE_I8, {2}, {1, 2}, {0.125f}, {0});
    Layer d = quantised(op("d", NN_LAYER_DENSE, {1, 2}, {0, 1, 2}), NN_TYPE_I8, {0.75f}, {4});
    Built b(placed({x, w, bias, d}));
    ASSERT_NE(b.graph, nullptr) << b.streams.err;
    const ovxlib_tensor_attr& in = b.layer_attr(0);
    EXPECT_EQ(in.type, OVXLIB_TYPE_UINT8);
    EXPECT_EQ(in.quant.type, OVXLIB_QUANT_AFFINE);
    EXPECT_EQ(in.quant.zero_point, 125);
    EXPECT_EQ(in.quant.scale, 0.5f);
    const ovxlib_tensor_attr& wa = b.layer_attr(1);
    EXPECT_EQ(wa.type, OVXLIB_TYPE_INT8);
    EXPECT_EQ(wa.quant.zero_point, -7);
    EXPECT_EQ(wa.is_const, 1);
    EXPECT_EQ(b.layer_attr(3).type, OVXLIB_TYPE_UINT8);
    EXPECT_EQ(b.layer_attr(3).quant.zero_point, 132);
    // vx parameters of a quantised node.
    const ovxlib_node* fc = b.producer(b.ids[3]);
    ASSERT_NE(fc, nullptr);
    EXPECT_EQ(fc->vx.overflow_policy, OVXLIB_OVERFLOW_SATURATE);
    EXPECT_EQ(fc->vx.rounding_policy, OVXLIB_ROUNDING_NEAREST_EVEN);
    EXPECT_EQ(fc->vx.accumulator_bits, 32u);
    EXPECT_EQ(fc->vx.accumulator_enable, 1u);
    EXPECT_EQ(fc->vx.down_scale_size_rounding, OVXLIB_DOWN_SCALE_FLOOR);
}

TEST(Types, PerChannelConstantTakesItsAxisOrTheDefaultDimension)
{
    for (auto [axis, name, want] : {std::tuple{int8_t{2}, "w", 2}, {int8_t{5}, "w", 3}, {int8_t{-1}, "w", 3},
                                    {int8_t{7}, "depthwise_w", 2}}) {
        Layer x = quantised(input("x", {1, 3, 3, 2}), NN_TYPE_I8, {0.5f}, {0});
        Layer w = constant_q8(name, NN_TYPE_I8, {1, 1, 2, 3}, pattern_i8(6), {0.1f, 0.2f, 0.3f}, {0, 0, 0});
        w.axis = axis;
        Layer c = quantised(op("c", NN_LAYER_CONV2D, {1, 3, 3, 3}, {0, 1}, {list("strides", {1, 1, 1, 1})}),
                            NN_TYPE_I8, {0.5f}, {0});
        Built b(placed({x, w, c}));
        ASSERT_NE(b.graph, nullptr) << b.streams.err;
        const ovxlib_tensor_attr& a = b.layer_attr(1);
        EXPECT_EQ(a.quant.type, OVXLIB_QUANT_PER_CHANNEL);
        EXPECT_EQ(a.quant.scale_count, 3u);
        EXPECT_EQ(a.quant.zero_point_count, 3u);
        EXPECT_EQ(a.quant.channel_dim, want) << "axis " << int{axis} << " " << name;
        EXPECT_EQ(b.sizes(b.ids[1]), (std::vector<uint32_t>{1, 1, 2, 3}));
        EXPECT_EQ(a.fmt, OVXLIB_FMT_NHWC);
    }
}

TEST(Types, DatatypeZeroOrAbsentIsFloat32WithoutQuantisation)
{
    for (bool stored : {false, true}) {
        Layer x = input("x", {1, 4});
        Layer r = op("r", NN_LAYER_RELU, {1, 4}, {0});
        if (stored)
            x.datatype = r.datatype = 0;
        Built b(placed({x, r}));
        ASSERT_NE(b.graph, nullptr) << b.streams.err;
        for (size_t l : {0, 1}) {
            EXPECT_EQ(b.layer_attr(l).type, OVXLIB_TYPE_FLOAT32);
            EXPECT_EQ(b.layer_attr(l).quant.type, OVXLIB_QUANT_NONE);
        }
        EXPECT_EQ(b.node(0).vx.overflow_policy, 0);
    }
}

TEST(Types, QuantisedLayerWithoutParametersTakesThePreviousLayers)
{
    Layer x = quantised(input("x", {1, 4}), NN_TYPE_U8, {0.5f}, {10});
    Layer r = op("r", NN_LAYER_RELU, {1, 4}, {0});
    r.datatype = NN_TYPE_U8;
    Built b(placed({x, r}));
    ASSERT_NE(b.graph, nullptr);
    EXPECT_EQ(b.layer_attr(1).quant.zero_point, 10);
    // A first layer has no previous layer: refused (silently without debug).
    Layer bare_in = input("x", {1, 4});
    bare_in.datatype = NN_TYPE_U8;
    Built none(placed({bare_in, r}));
    EXPECT_EQ(none.graph, nullptr);
    EXPECT_EQ(none.streams.err, std::string(kFailed) + "input, name:x\n");
}

TEST(Reshape, OneByOneFlattenIsAReshapeAndAFeatureMapFlattenAPermute)
{
    auto flatten = [](int32_t hw, int32_t c) {
        return placed({image({1, hw, hw, c}), op("r", NN_LAYER_RELU, {1, hw, hw, c}, {0}),
                       op("f", NN_LAYER_RESHAPE, {1, hw * hw * c}, {1})});
    };
    Built one(flatten(1, 64));
    ASSERT_NE(one.graph, nullptr);
    const ovxlib_node* n = one.producer(one.ids[2]);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->op, OVXLIB_OP_RESHAPE);
    EXPECT_EQ(one.sizes(one.ids[2]), (std::vector<uint32_t>{64, 1}));

    Built map(flatten(7, 64));
    ASSERT_NE(map.graph, nullptr);
    n = map.producer(map.ids[2]);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->op, OVXLIB_OP_PERMUTE);
    EXPECT_EQ(n->param.permute.dim_count, 4u);
    EXPECT_EQ(std::vector<uint32_t>(n->param.permute.perm, n->param.permute.perm + 4),
              (std::vector<uint32_t>{2, 0, 1, 3}));
    EXPECT_EQ(map.sizes(map.ids[2]), (std::vector<uint32_t>{3136, 1}));
    EXPECT_EQ(map.layer_attr(2).fmt, OVXLIB_FMT_NHWC);
}

TEST(Constants, DeconvolutionWeightsAreRearranged)
{
    // Data shape [s0, s1, s2, s3] = [2, 2, 2, 2]: byte (r, q, k, j) at
    // 8r + 4q + 2k + j moves to 8r + 4j + 2q + k, then each run of 4 is
    // reversed.  Bytes 0..15 in: worked by hand.
    std::vector<int8_t> bytes(16);
    for (int i = 0; i < 16; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<int8_t>(i);
    const std::vector<uint8_t> want = {6, 4, 2, 0, 7, 5, 3, 1, 14, 12, 10, 8, 15, 13, 11, 9};
    Layer x = quantised(input("x", {1, 2, 2, 2}), NN_TYPE_U8, {0.5f}, {0});
    Layer w = quantised(kfm::layer("w", NN_LAYER_CONSTANT, {2, 2, 2, 2}), NN_TYPE_U8, {0.5f}, {0});
    Parameter data = kfm::parameter("data");
    data.shape = std::vector<int32_t>{2, 2, 2, 2};
    data.data_raw = std::vector<uint8_t>(bytes.begin(), bytes.end());
    w.parameters = std::vector<Parameter>{data};
    Layer d = quantised(op("d", NN_LAYER_DECONV2D, {1, 4, 4, 2}, {0, 1}, {list("strides", {1, 2, 2, 1})}),
                        NN_TYPE_U8, {0.5f}, {0});
    Built b(placed({x, w, d}));
    ASSERT_NE(b.graph, nullptr) << b.streams.err;
    ASSERT_EQ(vsi_nn_SetupGraph(b.graph, 0), 0);
    ovxlib_tensor* t = vsi_nn_GetTensor(b.graph, b.ids[1]);
    EXPECT_EQ(t->attr.fmt, OVXLIB_FMT_NCHW);
    uint8_t* held = vsi_nn_ConvertTensorToData(b.graph, t);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(held, held + 16), want);
    vsi_nn_Free(held);
    // A quantised deconvolution pads by one on every side.
    const ovxlib_node* n = b.producer(b.layer_attr(2).is_virtual ? b.ids[2] : b.producer(b.ids[2])->inputs[0]);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::vector<uint32_t>(n->param.deconv.pad, n->param.deconv.pad + 4), (std::vector<uint32_t>{1, 1, 1, 1}));
}

TEST(Constants, PerChannelOperandOfAnImageBroadcastsOverWidthAndHeight)
{
    Built b(placed({image({1, 3, 2, 4}), constant_f32("b", {4}, {1, 2, 3, 4}), op("a", NN_LAYER_ADD, {1, 3, 2, 4}, {0, 1})}));
    ASSERT_NE(b.graph, nullptr);
    EXPECT_EQ(b.sizes(b.ids[1]), (std::vector<uint32_t>{1, 1, 4, 1}));
    EXPECT_EQ(b.layer_attr(1).fmt, OVXLIB_FMT_NCHW);
}

TEST(Constants, UnconsumedConstantCreatesNoTensor)
{
    Built b(placed({image({1, 4}), constant_f32("k", {2}, {1, 2}), op("r", NN_LAYER_RELU, {1, 4}, {0})}));
    ASSERT_NE(b.graph, nullptr);
    EXPECT_EQ(b.ids[1], kNone);
    EXPECT_EQ(b.graph->tensor_count, 2u);
}

// ---- Outputs ---------------------------------------------------------------

TEST(Outputs, WithoutListOrWithOneEntryTheLastLayerIsTheOnlyOutput)
{
    for (int variant = 0; variant < 3; ++variant) {
        kfm::Model m = placed({image({1, 4}), op("a", NN_LAYER_RELU, {1, 4}, {0}), op("b", NN_LAYER_SIGMOID, {1, 4}, {1})});
        if (variant == 1)
            m.outputs = std::vector<uint32_t>{1};
        if (variant == 2)
            m.outputs = std::vector<uint32_t>{};
        Built b(m);
        ASSERT_NE(b.graph, nullptr) << b.streams.err;
        ASSERT_EQ(b.graph->output_count, 1u);
        EXPECT_EQ(b.graph->output_ids[0], b.ids[2]);
        EXPECT_EQ(b.layer_attr(1).is_virtual, 1);
        EXPECT_EQ(b.layer_attr(2).is_virtual, 0);
    }
}

TEST(Outputs, ListedLayersAreRegisteredInOrder)
{
    kfm::Model m = placed({image(), op("a", NN_LAYER_RELU, {1, 6, 5, 3}, {0}), op("b", NN_LAYER_SIGMOID, {1, 6, 5, 3}, {1})});
    m.outputs = std::vector<uint32_t>{1, 2};
    Built b(m);
    ASSERT_NE(b.graph, nullptr) << b.streams.err;
    ASSERT_EQ(b.graph->output_count, 2u);
    EXPECT_EQ(b.graph->output_ids[0], b.ids[1]);
    EXPECT_EQ(b.graph->output_ids[1], b.ids[2]);
    EXPECT_EQ(b.layer_attr(1).fmt, OVXLIB_FMT_NHWC);
    EXPECT_EQ(b.sizes(b.ids[1]), (std::vector<uint32_t>{3, 5, 6, 1}));
}

// ---- Messages and refusals -------------------------------------------------

TEST(Messages, NullArgumentsAndWrongIdentifier)
{
    kfm::Buffer buf = kfm::write(placed({image({1, 4})}));
    ovxlib_context* ctx = vsi_nn_CreateContext();
    uint32_t ids[2];
    ovxlib_graph* g = nullptr;
    Streams s = capture([&] { g = model2graph(buf.data(), nullptr, ids); });
    EXPECT_EQ(g, nullptr);
    EXPECT_EQ(s.err, "[ERROR]NULL VX context in model2graph\n");
    s = capture([&] { g = model2graph(nullptr, ctx, ids); });
    EXPECT_EQ(s.err, "[ERROR]NULL KFM model in model2graph\n");
    s = capture([&] { g = model2graph(buf.data(), ctx, nullptr); });
    EXPECT_EQ(s.err, "[ERROR]NULL VSI Tensor ID array in model2graph\n");
    kfm::Buffer bad = buf.copy();
    bad.data()[7] = 'y';
    s = capture([&] { g = model2graph(bad.data(), ctx, ids); });
    EXPECT_EQ(g, nullptr);
    EXPECT_EQ(s.err + s.out, "");
    EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
    vsi_nn_ReleaseContext(&ctx);
}

TEST(Messages, UnsupportedLayerGivesBothLines)
{
    Built b(placed({image({1, 4}), op("g", NN_LAYER_GRU, {1, 4}, {0})}));
    EXPECT_EQ(b.graph, nullptr);
    EXPECT_EQ(b.streams.err, "[ERROR]Unsupported KFM operation\n[ERROR]Failed to create VX node of type:gru, name:g\n");
    EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
}

TEST(Messages, SeventeenInputConcatFailsTheGraph)
{
    std::vector<uint32_t> ins(17, 0);
    Built b(placed({image({1, 4}), op("c", NN_LAYER_CONCAT, {1, 68}, ins, {integer("axis", 1)})}));
    EXPECT_EQ(b.graph, nullptr);
    EXPECT_EQ(b.streams.out, "korvel_CreateNeuralNode [c] requested 17 tensors to concatenate but maximum is 16\n");
    EXPECT_EQ(b.streams.err, std::string(kFailed) + "concat, name:c\n");
}

TEST(Messages, MissingParametersSkipOrFail)
{
    struct Row {
        Layer layer;
        bool built;
        const char* out;
        const char* err;
    };
    const std::vector<Row> rows = {
        {op("r", NN_LAYER_REDUCE_MEAN, {1, 1}, {0}), true, "korvel_CreateNeuralNode [r] missing required parameter: axes\r\n", ""},
        {op("p", NN_LAYER_PAD, {1, 4}, {0}, {list("tail", {0, 0, 0, 0})}), true,
         "korvel_CreateNeuralNode [p] missing required parameter: head\r\n", ""},
        {op("p", NN_LAYER_PAD, {1, 4}, {0}, {list("head", {0, 0, 0, 0})}), true,
         "korvel_CreateNeuralNode [p] missing required parameter: tail\r\n", ""},
        {op("c", NN_LAYER_CONV2D, {1, 4}, {0, 0}), false, "korvel_CreateNeuralNode [c] missing required parameter: strides\r\n",
         "[ERROR]Failed to create VX node of type:conv2d, name:c\n"},
        {op("c", NN_LAYER_CONV2D, {1, 4}, {0, 0}, {list("strides", {1, 1, 1, 1}), bare("groups")}), true, "",
         "missing data from groups paramter\r\n"},
        {op("c", NN_LAYER_CONV2D, {1, 4}, {0, 0}, {list("strides", {1, 1, 1, 1}), text("activation", "GELU")}), false, "",
         "unsupported activation for conv: GELU\r\n[ERROR]Failed to create VX node of type:conv2d, name:c\n"},
        {op("p", NN_LAYER_POOL2D, {1, 4}, {0}, {list("strides", {1, 1, 1, 1})}), false,
         "korvel_CreateNeuralNode [p] missing required parameter: ksize\r\n", "[ERROR]Failed to create VX node of type:pool2d, name:p\n"},
        {op("p", NN_LAYER_POOL2D, {1, 4}, {0}, {list("ksize", {1, 1, 1, 1})}), false,
         "korvel_CreateNeuralNode [p] missing required parameter: strides\r\n", "[ERROR]Failed to create VX node of type:pool2d, name:p\n"},
        {op("p", NN_LAYER_POOL2D, {1, 4}, {0}, {list("ksize", {1, 1, 1, 1}), list("strides", {1, 1, 1, 1})}), false,
         "korvel_CreateNeuralNode [p] missing required parameter: pooling\r\n", "[ERROR]Failed to create VX node of type:pool2d, name:p\n"},
        {op("c", NN_LAYER_CONCAT, {1, 4}, {0}), false, "korvel_CreateNeuralNode [c] missing required parameter: axis\r\n",
         "[ERROR]Failed to create VX node of type:concat, name:c\n"},
    };
    for (const Row& r : rows) {
        kfm::Model m = placed({image({1, 4}), r.layer});
        m.outputs = std::vector<uint32_t>{0, 1};  // the skipped layer's slot stays empty
        Built b(m);
        EXPECT_EQ(b.graph != nullptr, r.built) << *r.layer.name << " " << b.streams.err;
        EXPECT_EQ(b.streams.out, r.out);
        EXPECT_EQ(b.streams.err, r.err);
        if (r.built) {
            EXPECT_EQ(b.ids[1], kNone);
        }
    }
}

TEST(Messages, ConstantWithoutDataOrShape)
{
    Layer no_data = kfm::layer("k", NN_LAYER_CONSTANT, {2});
    Layer no_shape = kfm::layer("k", NN_LAYER_CONSTANT, {2});
    Parameter p = kfm::parameter("data");
    p.data_f32 = std::vector<float>{1, 2};
    no_shape.parameters = std::vector<Parameter>{p};
    for (auto [layer, line] : {std::pair{no_data, "[ERROR] constant k missing required data parameter\r\n"},
                               {no_shape, "[ERROR] constant k missing data shape attribute\r\n"}}) {
        Built b(placed({image({1, 2}), layer, op("a", NN_LAYER_ADD, {1, 2}, {0, 1})}));
        EXPECT_EQ(b.graph, nullptr);
        EXPECT_EQ(b.streams.err, std::string(line) + kFailed + "constant, name:k\n");
    }
}

// Faults of the model that would make the graph read past a list, read a
// tensor that does not exist or compute something else: each is refused
// with one line naming the layer.
struct Refusal {
    const char* name;
    std::function<kfm::Model()> model;
    const char* layer;
    const char* reason;  // part of the refusal line
};

Layer dense_w() { return constant_f32("w", {4, 2}, pattern(8)); }

std::vector<Refusal> refusals()
{
    std::vector<Refusal> r;
    r.push_back({"SecondInputLayerWithOneSlot",
                 [] {
                     kfm::Model m = placed({image({1, 4}), input("y", {1, 4}), op("a", NN_LAYER_ADD, {1, 4}, {0, 1})});
                     m.inputs = std::vector<uint32_t>{0};
                     return m;
                 },
                 "y", "graph reserves 1 inputs"});
    r.push_back({"EmptyInputsListCountsAsOne",
                 [] {
                     kfm::Model m = placed({image({1, 4}), input("y", {1, 4}), op("a", NN_LAYER_ADD, {1, 4}, {0, 1})});
                     m.inputs = std::vector<uint32_t>{};
                     return m;
                 },
                 "y", "graph reserves 1 inputs"});
    r.push_back({"ConsumerOfASkippedLayer",
                 [] {
                     return placed({image({1, 4}), op("p", NN_LAYER_PAD, {1, 4}, {0}), op("r", NN_LAYER_RELU, {1, 4}, {1})});
                 },
                 "r", "reads layer 1, which has no tensor"});
    r.push_back({"InputNotAnEarlierLayer",
                 [] { return placed({image({1, 4}), op("a", NN_LAYER_ADD, {1, 4}, {0, 1})}); }, "a",
                 "reads layer 1, which is not an earlier layer"});
    r.push_back({"DenseWithoutBias",
                 [] { return placed({image({1, 4}), dense_w(), op("d", NN_LAYER_DENSE, {1, 2}, {0, 1})}); }, "d",
                 "has 2 inputs, needs at least 3"});
    r.push_back({"MatmulTransposeFlag",
                 [] {
                     return placed({image({1, 4}), dense_w(), op("m", NN_LAYER_MATMUL, {1, 2}, {0, 1}, {bare("transpose_b")})});
                 },
                 "m", "transposed matmul operands"});
    r.push_back({"WeightsWithoutData",
                 [] {
                     return placed({image({1, 4}), op("w", NN_LAYER_RELU, {4, 2}, {0}), op("m", NN_LAYER_MATMUL, {1, 2}, {0, 1})});
                 },
                 "m", "weights layer 1 has no data"});
    r.push_back({"ConvWeightsOfThreeDimensions",
                 [] {
                     return placed({image({1, 3, 3, 2}), constant_f32("w", {1, 2, 4}, pattern(8)),
                                    op("c", NN_LAYER_CONV2D, {1, 3, 3, 4}, {0, 1}, {list("strides", {1, 1, 1, 1})})});
                 },
                 "c", "weights have 3 dimensions, need 4"});
    r.push_back({"ShortStrides",
                 [] {
                     return placed({image({1, 3, 3, 2}), constant_f32("w", {1, 1, 2, 4}, pattern(8)),
                                    op("c", NN_LAYER_CONV2D, {1, 3, 3, 4}, {0, 1}, {list("strides", {1, 1})})});
                 },
                 "c", "parameter strides has 2 entries, needs 4"});
    r.push_back({"ShortHead",
                 [] {
                     return placed({image({1, 3, 3, 2}),
                                    op("p", NN_LAYER_POOL2D, {1, 3, 3, 2}, {0},
                                       {list("ksize", {1, 1, 1, 1}), list("strides", {1, 1, 1, 1}), text("pooling", "MAXIMUM"),
                                        list("head", {0, 1})})});
                 },
                 "p", "parameter head has 2 entries, needs 4"});
    r.push_back({"ShortSliceHead",
                 [] {
                     return placed({image({1, 4, 4, 2}), op("s", NN_LAYER_SLICE, {1, 2, 4, 2}, {0},
                                                             {list("axes", {0, 1, 2, 3}), list("head", {0, 1}),
                                                              list("tail", {1, 3, 4, 2})})});
                 },
                 "s", "needs axes 0 to 3 in order"});
    r.push_back({"FewerScalesThanZeroPoints",
                 [] {
                     return placed({quantised(input("x", {1, 4}), NN_TYPE_U8, {0.5f}, {1, 2}), op("r", NN_LAYER_RELU, {1, 4}, {0})});
                 },
                 "x", "has 1 scales for 2 zero points"});
    r.push_back({"ConstantDataShorterThanItsShape",
                 [] {
                     Layer k = constant_f32("k", {2, 3}, {1, 2, 3});
                     return placed({image({1, 4}), k, op("m", NN_LAYER_MATMUL, {1, 3}, {0, 1})});
                 },
                 "k", "has 12 bytes of data for 24"});
    r.push_back({"PanelPackedConstant",
                 [] {
                     Layer k = dense_w();
                     k.panel_size = 4;
                     return placed({image({1, 4}), k, op("m", NN_LAYER_MATMUL, {1, 2}, {0, 1})});
                 },
                 "w", "packed in panels"});
    r.push_back({"RankAboveFour",
                 [] { return placed({image({1, 1, 2, 2, 2}), op("r", NN_LAYER_RELU, {1, 1, 2, 2, 2}, {0})}); }, "x",
                 "has rank 5"});
    r.push_back({"NegativeConcatAxis",
                 [] { return placed({image({1, 4}), op("c", NN_LAYER_CONCAT, {1, 8}, {0, 0}, {integer("axis", -1)})}); },
                 "c", "parameter axis"});
    r.push_back({"ConcatAxisBeyondRankOfNhwcInput",
                 [] { return placed({image({1, 4}), op("c", NN_LAYER_CONCAT, {1, 8}, {0, 0}, {integer("axis", 2)})}); },
                 "c", "concatenates along axis 2 of a rank 2 tensor"});
    r.push_back({"NegativeReduceAxis",
                 [] { return placed({image(), op("r", NN_LAYER_REDUCE_MEAN, {1, 6, 5, 1}, {0}, {list("axes", {-1})})}); },
                 "r", "reduces axis -1"});
    return r;
}

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, OneLineNamingTheLayerAndNoGraph)
{
    const Refusal& r = GetParam();
    const uint32_t live = ovxlib_test_live_graphs();
    Built b(r.model());
    EXPECT_EQ(b.graph, nullptr);
    EXPECT_NE(b.streams.err.find(refusal(r.layer)), std::string::npos) << b.streams.err;
    EXPECT_NE(b.streams.err.find(r.reason), std::string::npos) << b.streams.err;
    EXPECT_NE(b.streams.err.find(kFailed), std::string::npos);
    EXPECT_EQ(ovxlib_test_live_graphs(), live);
}

INSTANTIATE_TEST_SUITE_P(Builder, Refused, testing::ValuesIn(refusals()),
                         [](const testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

TEST(Skipping, PadAbsorbedByTheNextLayerIsNotBuilt)
{
    Layer c = op("c", NN_LAYER_CONV2D, {1, 4, 4, 2}, {2, 1},
                 {list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0}), integer("alt_input", 0)});
    Built b(placed({image({1, 4, 4, 2}), constant_f32("w", {3, 3, 2, 2}, pattern(36)),
                    op("p", NN_LAYER_PAD, {1, 6, 6, 2}, {0}, {list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0})}), c}));
    ASSERT_NE(b.graph, nullptr) << b.streams.err;
    EXPECT_EQ(b.ids[2], kNone);
    for (uint32_t i = 0; i < b.node_count(); ++i)
        EXPECT_NE(b.node(i).op, OVXLIB_OP_PAD);
    const ovxlib_node* conv = b.producer(b.producer(b.ids[3])->inputs[0]);
    ASSERT_NE(conv, nullptr);
    EXPECT_EQ(conv->op, OVXLIB_OP_CONV2D);
    EXPECT_EQ(conv->inputs[0], b.ids[0]);
    EXPECT_EQ(std::vector<uint32_t>(conv->param.conv.pad, conv->param.conv.pad + 4), (std::vector<uint32_t>{1, 1, 1, 1}));
}

TEST(Failures, EveryFailingStandInCallLeavesNoGraph)
{
    kfm::Model m = placed({image({1, 4, 4, 2}), op("p", NN_LAYER_PAD, {1, 6, 6, 2}, {0}, {list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0})}),
                           op("s", NN_LAYER_SLICE, {1, 2, 2, 2}, {1}, {list("axes", {0, 1, 2, 3}), list("head", {0, 1, 1, 0}), list("tail", {1, 3, 3, 2})}),
                           op("r", NN_LAYER_REDUCE_MEAN, {1, 1, 1, 2}, {2}, {list("axes", {1, 2})})});
    for (ovxlib_test_call call : {OVXLIB_CALL_CREATE_GRAPH, OVXLIB_CALL_ADD_TENSOR, OVXLIB_CALL_ADD_NODE}) {
        for (uint32_t n = 1; n <= 8; ++n) {
            ovxlib_test_reset();
            ovxlib_test_fail_call(call, n);
            Built b(m);
            ovxlib_test_reset();
            if (b.graph)
                continue;  // fewer calls than n
            EXPECT_NE(b.streams.err, "");
            EXPECT_EQ(ovxlib_test_live_graphs(), 0u);
        }
    }
}

}  // namespace
