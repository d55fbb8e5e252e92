// The layout conventions of ovxlib.h on hand-worked fixtures: permutation
// direction, weight transposition, broadcasting, quantisation, data moves.
#include <cmath>

#include "graph_fixture.h"

namespace {

using ovxtest::affine;
using ovxtest::attr;
using ovxtest::GraphTest;

std::vector<float> iota(size_t n)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(i);
    return v;
}

TEST_F(GraphTest, PermuteOutputDimensionIIsInputDimensionPermI)
{
    // NHWC [C=2, W=3, H=2, N=1] to NCHW [W, H, C, N]: element (c, w, h) = c + 2w + 6h.
    static const uint32_t to_nchw[4] = {1, 2, 0, 3};
    const ovxlib_tensor_id in = io(attr({2, 3, 2, 1})), out = io(attr({3, 2, 2, 1}));
    ovxlib_node *p = node(OVXLIB_OP_PERMUTE, {in}, out);
    p->param.permute.perm = to_nchw;
    p->param.permute.dim_count = 4;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, iota(12));
    ASSERT_TRUE(run());
    // out(w, h, c) = in(c, w, h): channel 0 plane, then channel 1.
    EXPECT_EQ(read<float>(out), (std::vector<float>{0, 2, 4, 6, 8, 10, 1, 3, 5, 7, 9, 11}));
}

TEST_F(GraphTest, PermuteIntoAnotherRankKeepsThePermutedOrder)
{
    // The flatten of a [W=2, H=1, C=3, N=1] map back to NHWC, into a 2-D [6, 1].
    static const uint32_t to_nhwc[4] = {2, 0, 1, 3};
    const ovxlib_tensor_id in = io(attr({2, 1, 3, 1})), out = io(attr({6, 1}));
    ovxlib_node *p = node(OVXLIB_OP_PERMUTE, {in}, out);
    p->param.permute.perm = to_nhwc;
    p->param.permute.dim_count = 4;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    // in(w, c) = w + 2c.
    write(in, iota(6));
    ASSERT_TRUE(run());
    // NHWC order: for each w, the three channels.
    EXPECT_EQ(read<float>(out), (std::vector<float>{0, 2, 4, 1, 3, 5}));
}

// FCL weights [K=2, N=3] from a model stored K rows of N, x = [1, 10].
class FclWeights : public GraphTest {
protected:
    std::vector<float> product(bool transpose)
    {
        static const float kfm[6] = {1, 2, 3, 4, 5, 6};
        static const uint32_t swap[2] = {1, 0}, sizes[2] = {2, 3};
        const ovxlib_tensor_id in = io(attr({2, 1})), w = constant(attr({2, 3}), kfm, OVXLIB_FMT_NHWC);
        const ovxlib_tensor_id out = io(attr({3, 1}));
        if (transpose) {
            EXPECT_EQ(vsi_nn_TransposeTensor(graph, vsi_nn_GetTensor(graph, w), swap, 2, sizes), 0);
        }
        node(OVXLIB_OP_FCL, {in, w}, out)->param.fcl.weights = 3;
        lists({in}, {out});
        if (!ready())
            return {};
        write<float>(in, {1, 10});
        EXPECT_TRUE(run());
        return read<float>(out);
    }
};

TEST_F(FclWeights, TransposedWeightsGiveTheModelsProduct)
{
    // y[n] = 1 * W[0][n] + 10 * W[1][n].
    EXPECT_EQ(product(true), (std::vector<float>{41, 52, 63}));
}

TEST_F(FclWeights, UntransposedWeightsAreReadAsNRowsOfK)
{
    // Memory {1..6} read as 3 rows of 2: [1 2], [3 4], [5 6].
    EXPECT_EQ(product(false), (std::vector<float>{21, 43, 65}));
}

TEST_F(GraphTest, Format1FilterIsReadThroughItsDataShape)
{
    // A 1x2 kernel [KH=1, KW=2, Cin=1, Cout=2] stored as the model holds it:
    // tap kw, output co at kw * 2 + co.  Sizes [KW, KH, Cin, Cout] = [2, 1, 1, 2].
    static const float filter[4] = {1, 10, 2, 20};
    const ovxlib_tensor_id in = io(attr({3, 1, 1, 1})), w = constant(attr({2, 1, 1, 2}), filter, OVXLIB_FMT_NHWC);
    const ovxlib_tensor_id out = io(attr({2, 1, 2, 1}));
    ovxlib_node *conv = node(OVXLIB_OP_CONV2D, {in, w}, out);
    conv->param.conv.ksize[0] = 2;
    conv->param.conv.ksize[1] = 1;
    conv->param.conv.weights = 2;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write<float>(in, {1, 2, 3});
    ASSERT_TRUE(run());
    // co 0: 1*x + 2*x'; co 1: 10*x + 20*x'.
    EXPECT_EQ(read<float>(out), (std::vector<float>{5, 8, 50, 80}));
}

struct BroadcastCase {
    const char *name;
    int32_t op;
    std::vector<uint32_t> a, b, out;
    std::vector<float> x, y, expected;
    float scale;
};

void PrintTo(const BroadcastCase &c, std::ostream *os) { *os << c.name; }

class Broadcast : public GraphTest, public ::testing::WithParamInterface<BroadcastCase> {};

ovxlib_tensor_attr from(const std::vector<uint32_t> &sizes)
{
    ovxlib_tensor_attr a = attr({});
    for (uint32_t s : sizes)
        a.sizes[a.dim_count++] = s;
    return a;
}

TEST_P(Broadcast, SizeOneDimensionsRepeat)
{
    const BroadcastCase &c = GetParam();
    const ovxlib_tensor_id a = io(from(c.a)), b = io(from(c.b)), out = io(from(c.out));
    ovxlib_node *n = node(c.op, {a, b}, out);
    if (c.op == OVXLIB_OP_MULTIPLY || c.op == OVXLIB_OP_DIVIDE)
        n->param.eltwise.scale = c.scale;
    lists({a, b}, {out});
    ASSERT_TRUE(ready());
    write(a, c.x);
    write(b, c.y);
    ASSERT_TRUE(run());
    EXPECT_EQ(read<float>(out), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ovxlib, Broadcast,
    ::testing::Values(
        // Per-channel bias {1, 1, C, 1} over [W=2, H=1, C=2, N=1].
        BroadcastCase{"per_channel_add", OVXLIB_OP_ADD, {2, 1, 2, 1}, {1, 1, 2, 1}, {2, 1, 2, 1}, {1, 2, 3, 4}, {10, 20}, {11, 12, 23, 24}, 1},
        // Operand order matters: b - a is not a - b; b broadcasts along dimension 1.
        BroadcastCase{"subtract_order", OVXLIB_OP_SUBTRACT, {2, 2}, {2, 1}, {2, 2}, {1, 2, 3, 4}, {10, 20}, {-9, -18, -7, -16}, 1},
        // Both sides broadcast: [2, 1] x [1, 3] -> [2, 3]; rank 1 counts as [3] with [1] missing.
        BroadcastCase{"both_sides_scaled", OVXLIB_OP_MULTIPLY, {2, 1}, {1, 3}, {2, 3}, {1, 2}, {1, 10, 100}, {2, 4, 20, 40, 200, 400}, 2},
        BroadcastCase{"divide_by_one_value", OVXLIB_OP_DIVIDE, {3}, {1}, {3}, {2, 4, 8}, {4}, {1.5f, 3, 6}, 3}),
    [](const ::testing::TestParamInfo<BroadcastCase> &info) { return std::string(info.param.name); });

TEST_F(GraphTest, QuantisedAddDequantisesComputesAndRequantisesHalfToEven)
{
    // a: UINT8 scale 0.5 zero 128; b: INT8 scale 0.25 zero 0; out: UINT8 scale 1 zero 10.
    const ovxlib_tensor_id a = io(attr({6}, OVXLIB_TYPE_UINT8, affine(0.5f, 128)));
    const ovxlib_tensor_id b = io(attr({6}, OVXLIB_TYPE_INT8, affine(0.25f, 0)));
    const ovxlib_tensor_id out = io(attr({6}, OVXLIB_TYPE_UINT8, affine(1.0f, 10)));
    node(OVXLIB_OP_ADD, {a, b}, out);
    lists({a, b}, {out});
    ASSERT_TRUE(ready());
    // a real: 0.5, 1.5, -0.5, 2.5, 200, -100; b real: 0, 0, 0, 0, 10, -5.
    write<uint8_t>(a, {129, 131, 127, 133, 255, 0});
    write<uint8_t>(b, {0, 0, 0, 0, 40, static_cast<uint8_t>(-20)});
    ASSERT_TRUE(run());
    // Sums 0.5, 1.5, -0.5, 2.5 round to 0, 2, 0, 2 (half to even), plus zero point 10;
    // 63.5 + 10 = 73.5 rounds to 74, giving 84; -64 - 5 = -69 gives -59, saturated to 0.
    EXPECT_EQ(read<uint8_t>(out), (std::vector<uint8_t>{10, 12, 10, 12, 84, 0}));
}

TEST_F(GraphTest, PerChannelDequantisationFollowsTheChannelDimension)
{
    // INT8 constant [2, 3] with channel dimension 1: scales 1, 2, 4, zero points 0, 1, -1.
    static const float scales[3] = {1, 2, 4};
    static const int32_t zeros[3] = {0, 1, -1};
    static const int8_t values[6] = {3, -3, 3, 3, 3, 3};
    ovxlib_quant q{};
    q.type = OVXLIB_QUANT_PER_CHANNEL;
    q.scales = scales;
    q.scale_count = 3;
    q.zero_points = zeros;
    q.zero_point_count = 3;
    q.channel_dim = 1;
    const ovxlib_tensor_id c = constant(attr({2, 3}, OVXLIB_TYPE_INT8, q), values);
    const ovxlib_tensor_id in = io(attr({2, 3})), out = io(attr({2, 3}));
    node(OVXLIB_OP_ADD, {in, c}, out);
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, std::vector<float>(6, 0.0f));
    ASSERT_TRUE(run());
    EXPECT_EQ(read<float>(out), (std::vector<float>{3, -3, 4, 4, 16, 16}));
}

TEST_F(GraphTest, Int32SaturatesAndInt8RoundsNegativeHalvesToEven)
{
    const ovxlib_tensor_id in = io(attr({4}));
    const ovxlib_tensor_id i8 = io(attr({4}, OVXLIB_TYPE_INT8, affine(1.0f, 0)));
    const ovxlib_tensor_id i32 = io(attr({4}, OVXLIB_TYPE_INT32, affine(0.5f, 0)));
    node(OVXLIB_OP_RESHAPE, {in}, i8);
    node(OVXLIB_OP_RESHAPE, {in}, i32);
    lists({in}, {i8, i32});
    ASSERT_TRUE(ready());
    write<float>(in, {-2.5f, -3.5f, 1e10f, -1e10f});
    ASSERT_TRUE(run());
    EXPECT_EQ(read<int8_t>(i8), (std::vector<int8_t>{-2, -4, 127, -128}));
    EXPECT_EQ(read<int32_t>(i32), (std::vector<int32_t>{-5, -7, INT32_MAX, INT32_MIN}));
}

TEST_F(GraphTest, ConcatSliceAndPadMoveElementsInSizeOrder)
{
    // a [2, 2] and b [1, 2] joined along dimension 0 into [3, 2].
    const ovxlib_tensor_id a = io(attr({2, 2})), b = io(attr({1, 2})), joined = virt(attr({3, 2}));
    node(OVXLIB_OP_CONCAT, {a, b}, joined)->param.concat.axis = 0;
    // Slice start {1, 0} length {2, 2}: columns 1..2 of every row.
    static int32_t start[2] = {1, 0}, length[2] = {2, 2};
    const ovxlib_tensor_id cut = virt(attr({2, 2}));
    ovxlib_node *s = node(OVXLIB_OP_SLICE, {joined}, cut);
    s->param.slice.start = start;
    s->param.slice.length = length;
    s->param.slice.dim_count = 2;
    // Pad front {1, 0} back {0, 1} with -1.
    static uint32_t front[2] = {1, 0}, back[2] = {0, 1};
    const ovxlib_tensor_id padded = io(attr({3, 3}));
    ovxlib_node *p = node(OVXLIB_OP_PAD, {cut}, padded);
    p->param.pad.front_size = front;
    p->param.pad.back_size = back;
    p->param.pad.dim_count = 2;
    p->param.pad.const_value = -1;
    lists({a, b}, {padded});
    ASSERT_TRUE(ready());
    write<float>(a, {1, 2, 3, 4});
    write<float>(b, {5, 6});
    ASSERT_TRUE(run());
    // joined rows: [1 2 5], [3 4 6]; cut: [2 5], [4 6]; padded rows: [-1 2 5], [-1 4 6], [-1 -1 -1].
    EXPECT_EQ(read<float>(padded), (std::vector<float>{-1, 2, 5, -1, 4, 6, -1, -1, -1}));
}

TEST_F(GraphTest, ConcatAlongAMiddleDimensionInterleavesBlocks)
{
    // a [2, 1, 2] and b [2, 2, 2] along dimension 1 into [2, 3, 2].
    const ovxlib_tensor_id a = io(attr({2, 1, 2})), b = io(attr({2, 2, 2})), out = io(attr({2, 3, 2}));
    node(OVXLIB_OP_CONCAT, {a, b}, out)->param.concat.axis = 1;
    lists({a, b}, {out});
    ASSERT_TRUE(ready());
    write<float>(a, {1, 2, 3, 4});
    write<float>(b, {10, 11, 12, 13, 14, 15, 16, 17});
    ASSERT_TRUE(run());
    // For each outer index: a's row, then b's two rows.
    EXPECT_EQ(read<float>(out), (std::vector<float>{1, 2, 10, 11, 12, 13, 3, 4, 14, 15, 16, 17}));
}

TEST_F(GraphTest, QuantisedPadFillsTheZeroPoint)
{
    const ovxlib_quant q = affine(0.5f, 100);
    const ovxlib_tensor_id in = io(attr({1, 1}, OVXLIB_TYPE_UINT8, q)), out = io(attr({3, 1}, OVXLIB_TYPE_UINT8, q));
    static uint32_t front[2] = {1, 0}, back[2] = {1, 0};
    ovxlib_node *p = node(OVXLIB_OP_PAD, {in}, out);
    p->param.pad.front_size = front;
    p->param.pad.back_size = back;
    p->param.pad.dim_count = 2;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write<uint8_t>(in, {7});
    ASSERT_TRUE(run());
    EXPECT_EQ(read<uint8_t>(out), (std::vector<uint8_t>{100, 7, 100}));
}

TEST_F(GraphTest, ActivationsFollowTheirFormulas)
{
    const std::vector<float> x{-2, -0.5f, 0.5f, 7};
    struct Case {
        int32_t op;
        std::vector<float> y;
    };
    const Case cases[] = {
        {OVXLIB_OP_RELU, {0, 0, 0.5f, 7}},
        {OVXLIB_OP_RELU6, {0, 0, 0.5f, 6}},
        {OVXLIB_OP_LEAKY_RELU, {-0.2f, -0.05f, 0.5f, 7}},
        {OVXLIB_OP_SIGMOID, {}},
        {OVXLIB_OP_TANH, {}},
    };
    const ovxlib_tensor_id in = io(attr({4}));
    std::vector<ovxlib_tensor_id> outs;
    for (const Case &c : cases) {
        outs.push_back(io(attr({4})));
        ovxlib_node *n = node(c.op, {in}, outs.back());
        if (c.op == OVXLIB_OP_LEAKY_RELU)
            n->param.leaky_relu.ratio = 0.1f;
        if (c.op == OVXLIB_OP_TANH) {
            n->param.tanh_scale.scale_a = 2;
            n->param.tanh_scale.scale_b = 0.5f;
        }
    }
    ASSERT_EQ(vsi_nn_SetGraphInputs(graph, &in, 1), 0);
    ASSERT_EQ(vsi_nn_SetGraphOutputs(graph, outs.data(), static_cast<uint32_t>(outs.size())), 0);
    ASSERT_TRUE(ready());
    write(in, x);
    ASSERT_TRUE(run());
    for (size_t k = 0; k < 3; ++k) {
        const std::vector<float> y = read<float>(outs[k]);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_FLOAT_EQ(y[i], cases[k].y[i]) << "case " << k << " element " << i;
    }
    const std::vector<float> sig = read<float>(outs[3]), th = read<float>(outs[4]);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(sig[i], static_cast<float>(1.0 / (1.0 + std::exp(-double{x[i]}))));
        EXPECT_FLOAT_EQ(th[i], static_cast<float>(2.0 * std::tanh(0.5 * x[i])));
    }
}

TEST_F(GraphTest, OperationsWithoutACpuImplementationFailTheRun)
{
    struct Case {
        int32_t op;
        int32_t type;
    };
    for (const Case c : {Case{OVXLIB_OP_RESIZE, OVXLIB_TYPE_FLOAT32}, Case{OVXLIB_OP_SWISH, OVXLIB_TYPE_FLOAT32},
                         Case{OVXLIB_OP_RELU, OVXLIB_TYPE_FLOAT16}}) {
        vsi_nn_ReleaseGraph(&graph);
        graph = vsi_nn_CreateGraph(context, 0, 0);
        const ovxlib_tensor_id in = io(attr({2, 2, 1, 1}, c.type)), out = io(attr({2, 2, 1, 1}, c.type));
        node(c.op, {in}, out);
        lists({in}, {out});
        ASSERT_TRUE(ready());
        testing::internal::CaptureStderr();
        EXPECT_FALSE(run());
        const std::string text = testing::internal::GetCapturedStderr();
        EXPECT_NE(text.find("node 0"), std::string::npos) << text;
        EXPECT_NE(text.find("no CPU implementation"), std::string::npos) << text;
    }
}

} // namespace
