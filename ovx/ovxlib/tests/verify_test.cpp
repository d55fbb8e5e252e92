// Set-up and verification refuse every fault of a graph's structure and
// geometry with one line that names the node, its op and the mismatch.
#include <algorithm>

#include "graph_fixture.h"

namespace {

using ovxtest::affine;
using ovxtest::attr;

class Faults;
using Build = void (*)(Faults &);

struct FaultCase {
    const char *name;
    Build build;
    const char *expected;  // part of the refusal line
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class Faults : public ovxtest::GraphTest, public ::testing::WithParamInterface<FaultCase> {
public:
    using GraphTest::constant;
    using GraphTest::io;
    using GraphTest::lists;
    using GraphTest::node;
    using GraphTest::virt;
    using GraphTest::graph;

    // in [W, H, Cin, 1] -> conv with weights [KW, KH, Cin, Cout] -> out; the
    // node comes back for the case to adjust.
    ovxlib_node *conv(ovxlib_tensor_attr in_attr, ovxlib_tensor_attr w_attr, ovxlib_tensor_attr out_attr,
                      int32_t op = OVXLIB_OP_CONV2D)
    {
        weights.assign(1 << 12, 0.0f);
        const ovxlib_tensor_id in = io(in_attr), w = constant(w_attr, weights.data()), out = io(out_attr);
        ovxlib_node *n = node(op, {in, w}, out);
        n->param.conv.ksize[0] = w_attr.sizes[0];
        n->param.conv.ksize[1] = w_attr.sizes[1];
        n->param.conv.weights = w_attr.sizes[3];
        lists({in}, {out});
        return n;
    }
    ovxlib_node *pool(ovxlib_tensor_attr in_attr, ovxlib_tensor_attr out_attr, uint32_t kw, uint32_t kh)
    {
        const ovxlib_tensor_id in = io(in_attr), out = io(out_attr);
        ovxlib_node *n = node(OVXLIB_OP_POOL, {in}, out);
        n->param.pool.ksize[0] = kw;
        n->param.pool.ksize[1] = kh;
        lists({in}, {out});
        return n;
    }
    ovxlib_node *unary(int32_t op, ovxlib_tensor_attr in_attr, ovxlib_tensor_attr out_attr)
    {
        const ovxlib_tensor_id in = io(in_attr), out = io(out_attr);
        ovxlib_node *n = node(op, {in}, out);
        lists({in}, {out});
        return n;
    }
    ovxlib_node *binary(int32_t op, ovxlib_tensor_attr a_attr, ovxlib_tensor_attr b_attr, ovxlib_tensor_attr out_attr)
    {
        const ovxlib_tensor_id a = io(a_attr), b = io(b_attr), out = io(out_attr);
        ovxlib_node *n = node(op, {a, b}, out);
        lists({a, b}, {out});
        return n;
    }
    ovxlib_node *fcl(ovxlib_tensor_attr in_attr, ovxlib_tensor_attr w_attr, ovxlib_tensor_attr out_attr, uint32_t n_out)
    {
        weights.assign(1 << 12, 0.0f);
        const ovxlib_tensor_id in = io(in_attr), w = constant(w_attr, weights.data()), out = io(out_attr);
        ovxlib_node *n = node(OVXLIB_OP_FCL, {in, w}, out);
        n->param.fcl.weights = n_out;
        lists({in}, {out});
        return n;
    }

    std::vector<float> weights;
    std::vector<float> scales{1, 1, 1};
    uint32_t perm[4] = {};
    int32_t start[4] = {}, length[4] = {}, axes[4] = {};
    uint32_t front[4] = {}, back[4] = {};
};

// The unchanged fixtures pass, so each fault below is what the check caught.
TEST_F(Faults, TheUnchangedFixturesPass)
{
    conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({3, 3, 3, 1}));
    EXPECT_TRUE(ready());
}

TEST_F(Faults, TheUnchangedPoolPasses)
{
    ovxlib_node *n = pool(attr({6, 6, 2, 1}), attr({2, 2, 2, 1}), 3, 3);
    n->param.pool.stride[0] = n->param.pool.stride[1] = 2;
    EXPECT_TRUE(ready());
}

TEST_P(Faults, AreRefusedWithOneLine)
{
    const FaultCase &c = GetParam();
    c.build(*this);
    std::string refusal;
    EXPECT_FALSE(ready(&refusal));
    EXPECT_NE(refusal.find(c.expected), std::string::npos) << refusal;
    EXPECT_EQ(std::count(refusal.begin(), refusal.end(), '\n'), 1) << refusal;
}

// A valid one-node RELU graph [2, 2] whose pieces each case breaks.
ovxlib_node *relu(Faults &f) { return f.unary(OVXLIB_OP_RELU, attr({2, 2}), attr({2, 2})); }

const FaultCase kFaults[] = {
    // Structure.
    {"graph_input_slot_empty",
     [](Faults &f) {
         relu(f);
         ASSERT_EQ(vsi_nn_SetGraphInputs(f.graph, nullptr, 1), 0);
     },
     "graph input 0: slot not filled"},
    {"graph_output_unknown_id",
     [](Faults &f) {
         relu(f);
         const ovxlib_tensor_id bad = 9;
         ASSERT_EQ(vsi_nn_SetGraphOutputs(f.graph, &bad, 1), 0);
     },
     "graph output 0: no such tensor"},
    {"graph_output_virtual",
     [](Faults &f) {
         const ovxlib_tensor_id in = f.io(attr({2})), out = f.virt(attr({2}));
         f.node(OVXLIB_OP_RELU, {in}, out);
         f.lists({in}, {out});
     },
     "graph output 0: is virtual"},
    {"graph_output_produced_by_no_node",
     [](Faults &f) {
         relu(f);
         const ovxlib_tensor_id loose = f.io(attr({2}));
         ASSERT_EQ(vsi_nn_SetGraphOutputs(f.graph, &loose, 1), 0);
     },
     "is the output of no node"},
    {"node_input_slot_empty", [](Faults &f) { relu(f)->inputs[0] = OVXLIB_NO_TENSOR; },
     "node 0 (RELU): input 0: slot not filled"},
    {"node_output_slot_empty", [](Faults &f) { relu(f)->outputs[0] = OVXLIB_NO_TENSOR; },
     "node 0 (RELU): output 0: slot not filled"},
    {"input_produced_later",
     [](Faults &f) {
         const ovxlib_tensor_id in = f.io(attr({2})), mid = f.virt(attr({2})), out = f.io(attr({2}));
         f.node(OVXLIB_OP_RELU, {mid}, out);
         f.node(OVXLIB_OP_RELU, {in}, mid);
         f.lists({in}, {out});
     },
     "node 0 (RELU): input 0: tensor 1 is no constant, graph input or output of an earlier node"},
    {"two_producers",
     [](Faults &f) {
         const ovxlib_tensor_id in = f.io(attr({2})), out = f.io(attr({2}));
         f.node(OVXLIB_OP_RELU, {in}, out);
         f.node(OVXLIB_OP_RELU6, {in}, out);
         f.lists({in}, {out});
     },
     "node 1 (RELU6): output 0: tensor 1 is already the output of node 0"},
    {"output_is_graph_input",
     [](Faults &f) {
         const ovxlib_tensor_id in = f.io(attr({2})), out = f.io(attr({2}));
         f.node(OVXLIB_OP_RELU, {out}, in);
         f.lists({in, out}, {out});
     },
     "output 0: tensor 0 is a graph input"},
    {"wrong_input_count",
     [](Faults &f) {
         const ovxlib_tensor_id in = f.io(attr({2})), out = f.io(attr({2}));
         f.node(OVXLIB_OP_ADD, {in}, out);
         f.lists({in}, {out});
     },
     "node 0 (ADD): 1 inputs; takes 2 to 2"},
    {"zero_scale",
     [](Faults &f) { f.unary(OVXLIB_OP_RELU, attr({2}, OVXLIB_TYPE_UINT8, affine(0, 0)), attr({2})); },
     "input 0: tensor 0 has scale 0"},
    {"int8_zero_point_128",
     [](Faults &f) { f.unary(OVXLIB_OP_RELU, attr({2}), attr({2}, OVXLIB_TYPE_INT8, affine(1, 128))); },
     "output 0: tensor 1 has zero point 128 outside INT8"},
    {"per_channel_count",
     [](Faults &f) {
         ovxlib_quant q{};
         q.type = OVXLIB_QUANT_PER_CHANNEL;
         q.scales = f.scales.data();
         q.scale_count = 3;
         q.channel_dim = 1;
         f.unary(OVXLIB_OP_RELU, attr({3, 2}, OVXLIB_TYPE_INT8, q), attr({3, 2}));
     },
     "has 3 per-channel scales for 2 channels"},
    {"per_channel_dimension",
     [](Faults &f) {
         ovxlib_quant q{};
         q.type = OVXLIB_QUANT_PER_CHANNEL;
         q.scales = f.scales.data();
         q.scale_count = 3;
         q.channel_dim = 2;
         f.unary(OVXLIB_OP_RELU, attr({3, 2}, OVXLIB_TYPE_INT8, q), attr({3, 2}));
     },
     "channel dimension 2 of 2 dimensions"},

    // Element-wise and data movement.
    {"activation_sizes", [](Faults &f) { f.unary(OVXLIB_OP_SIGMOID, attr({2, 3}), attr({3, 2})); },
     "node 0 (SIGMOID): output sizes [3,2] differ from input sizes [2,3]"},
    {"broadcast_mismatch", [](Faults &f) { f.binary(OVXLIB_OP_ADD, attr({2, 3}), attr({3, 2}), attr({3, 3})); },
     "node 0 (ADD): input sizes [2,3] and [3,2] do not broadcast"},
    {"broadcast_output", [](Faults &f) { f.binary(OVXLIB_OP_MULTIPLY, attr({2, 1}), attr({1, 3}), attr({2, 1})); },
     "do not broadcast to output sizes [2,1]"},
    {"permute_repeats",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_PERMUTE, attr({2, 3, 4}), attr({2, 3, 4}));
         f.perm[0] = 0, f.perm[1] = 0, f.perm[2] = 1;
         n->param.permute.perm = f.perm;
         n->param.permute.dim_count = 3;
     },
     "node 0 (PERMUTE): entry 1 (0) makes no permutation"},
    {"permute_rank",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_PERMUTE, attr({2, 3, 4}), attr({4, 2, 3}));
         f.perm[0] = 1, f.perm[1] = 0;
         n->param.permute.perm = f.perm;
         n->param.permute.dim_count = 2;
     },
     "permutation of 2 dimensions for an input of 3"},
    {"permute_count",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_PERMUTE, attr({2, 3}), attr({3, 3}));
         f.perm[0] = 1, f.perm[1] = 0;
         n->param.permute.perm = f.perm;
         n->param.permute.dim_count = 2;
     },
     "another element count"},
    {"reshape_count", [](Faults &f) { f.unary(OVXLIB_OP_RESHAPE, attr({7, 7, 64, 1}), attr({3136, 2})); },
     "node 0 (RESHAPE): output sizes [3136,2] hold another element count than input sizes [7,7,64,1]"},
    {"concat_total",
     [](Faults &f) { f.binary(OVXLIB_OP_CONCAT, attr({2, 3}), attr({2, 3}), attr({2, 5}))->param.concat.axis = 1; },
     "inputs give 6 along axis 1, the output has 5"},
    {"concat_other_dimension",
     [](Faults &f) { f.binary(OVXLIB_OP_CONCAT, attr({2, 3}), attr({3, 3}), attr({4, 6}))->param.concat.axis = 1; },
     "input 0 sizes [2,3] differ from output sizes [4,6] outside axis 1"},
    {"concat_axis",
     [](Faults &f) { f.binary(OVXLIB_OP_CONCAT, attr({2, 3}), attr({2, 3}), attr({2, 6}))->param.concat.axis = 2; },
     "axis 2 of an output of 2 dimensions"},
    {"slice_past_end",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_SLICE, attr({4, 3}), attr({2, 3}));
         f.start[0] = 3, f.length[0] = 2, f.start[1] = 0, f.length[1] = 3;
         n->param.slice = {f.start, f.length, 2};
     },
     "dimension 0: start 3 length 2 outside size 4"},
    {"slice_output",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_SLICE, attr({4, 3}), attr({2, 2}));
         f.start[0] = 1, f.length[0] = 2, f.start[1] = 0, f.length[1] = 3;
         n->param.slice = {f.start, f.length, 2};
     },
     "dimension 1: length 3, output size 2"},
    {"slice_negative_length",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_SLICE, attr({4}), attr({2}));
         f.start[0] = 2, f.length[0] = -2;
         n->param.slice = {f.start, f.length, 1};
     },
     "dimension 0: start 2 length -2"},
    {"pad_output",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_PAD, attr({4, 3}), attr({6, 4}));
         f.front[0] = 1, f.back[0] = 1, f.front[1] = 1, f.back[1] = 1;
         n->param.pad.front_size = f.front;
         n->param.pad.back_size = f.back;
         n->param.pad.dim_count = 2;
     },
     "dimension 1: 3 + 1 + 1, output size 4"},
    {"pad_rank",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_PAD, attr({4, 3, 1, 1}), attr({4, 3, 1, 1}));
         n->param.pad.front_size = f.front;
         n->param.pad.back_size = f.back;
         n->param.pad.dim_count = 2;
     },
     "2 dimensions padded, the input has 4"},
    {"softmax_axis",
     [](Faults &f) { f.unary(OVXLIB_OP_SOFTMAX, attr({4}), attr({4}))->param.softmax.axis = 1; },
     "node 0 (SOFTMAX): axis 1 of 1 dimensions"},

    // Convolution: in [5, 4, 2, 1], weights [3, 2, 2, 3] give [3, 3, 3, 1].
    {"conv_kernel_pair_swapped",
     [](Faults &f) {
         ovxlib_node *n = f.conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({3, 3, 3, 1}));
         n->param.conv.ksize[0] = 2;
         n->param.conv.ksize[1] = 3;
     },
     "node 0 (CONV2D): kernel size {2,3}, weights sizes [3,2,2,3]"},
    {"conv_stride_pair_swapped",
     [](Faults &f) {
         // Stride {W 2, H 1} gives [2, 3]; the output was sized for {1, 2}.
         ovxlib_node *n = f.conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({3, 2, 3, 1}));
         n->param.conv.stride[0] = 2;
         n->param.conv.stride[1] = 1;
     },
     "W: input 5, pads 0+0, kernel 3, stride 2, dilation 1 give 2, output has 3"},
    {"conv_dilation_pair_swapped",
     [](Faults &f) {
         // Dilation {W 1, H 2}: H extent 3 of 4 gives 2; sized as if W were dilated.
         ovxlib_node *n = f.conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({1, 3, 3, 1}));
         n->param.conv.dilation[0] = 1;
         n->param.conv.dilation[1] = 2;
     },
     "W: input 5, pads 0+0, kernel 3, stride 1, dilation 1 give 3, output has 1"},
    {"conv_pads_top_bottom_for_left_right",
     [](Faults &f) {
         // Pads {left 0, right 0, top 1, bottom 1} give [3, 5]; the output was padded along W.
         ovxlib_node *n = f.conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({5, 3, 3, 1}));
         n->param.conv.pad[2] = 1;
         n->param.conv.pad[3] = 1;
     },
     "W: input 5, pads 0+0, kernel 3, stride 1, dilation 1 give 3, output has 5"},
    {"conv_ceil_rounding",
     [](Faults &f) {
         // (5 - 3) / 2 + 1 = 2 rounded down; up gives the same, so use H: (4 - 2) / 3 -> 1 or 2.
         ovxlib_node *n = f.conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({2, 1, 3, 1}));
         n->param.conv.stride[0] = 2;
         n->param.conv.stride[1] = 3;
         n->vx.down_scale_size_rounding = OVXLIB_DOWN_SCALE_CEIL;
     },
     "H: input 4, pads 0+0, kernel 2, stride 3, dilation 1 give 2, output has 1"},
    {"conv_weights_count",
     [](Faults &f) { f.conv(attr({5, 4, 2, 1}), attr({3, 2, 2, 3}), attr({3, 3, 3, 1}))->param.conv.weights = 4; },
     "weights 4, output channels 3"},
    {"conv_input_channels",
     [](Faults &f) { f.conv(attr({5, 4, 4, 1}), attr({3, 2, 2, 3}), attr({3, 3, 3, 1})); },
     "weights sizes [3,2,2,3], expected [3,2,4,3]"},
    {"conv_bias_count",
     [](Faults &f) {
         ovxlib_node *n = vsi_nn_AddNode(f.graph, OVXLIB_OP_CONV2D, 3, 1, nullptr);
         f.weights.assign(64, 0.0f);
         const ovxlib_tensor_id in = f.io(attr({3, 3, 1, 1})), w = f.constant(attr({3, 3, 1, 2}), f.weights.data());
         const ovxlib_tensor_id b = f.constant(attr({3}), f.weights.data()), out = f.io(attr({1, 1, 2, 1}));
         n->inputs[0] = in, n->inputs[1] = w, n->inputs[2] = b, n->outputs[0] = out;
         n->param.conv.ksize[0] = n->param.conv.ksize[1] = 3;
         n->param.conv.weights = 2;
         f.lists({in}, {out});
     },
     "bias sizes [3] for 2 output channels"},
    {"depthwise_channels",
     [](Faults &f) {
         // Multiplier 1 over 2 input channels cannot give 4 outputs.
         ovxlib_node *n = f.conv(attr({3, 3, 2, 1}), attr({3, 3, 1, 4}), attr({1, 1, 4, 1}));
         n->param.conv.multiplier = 1;
     },
     "depthwise multiplier 1: input channels 2"},
    {"conv_batch",
     [](Faults &f) { f.conv(attr({5, 4, 2, 2}), attr({3, 2, 2, 3}), attr({3, 3, 3, 1})); }, "batch 2 in, 1 out"},

    // Pooling: in [6, 6, 2, 1], 3x3 stride 2 gives [2, 2] rounded down, [3, 3] up.
    {"pool_round_up",
     [](Faults &f) {
         ovxlib_node *n = f.pool(attr({6, 6, 2, 1}), attr({2, 2, 2, 1}), 3, 3);
         n->param.pool.stride[0] = n->param.pool.stride[1] = 2;
         n->param.pool.round_type = OVXLIB_ROUND_CEIL;
     },
     "node 0 (POOL): W: input 6, pads 0+0, kernel 3, stride 2, dilation 1 give 3, output has 2"},
    {"pool_pads_ignored",
     [](Faults &f) {
         // Sized for pads {1, 1, 1, 1} but none given.
         ovxlib_node *n = f.pool(attr({6, 6, 2, 1}), attr({6, 6, 2, 1}), 3, 3);
         (void)n;
     },
     "give 4, output has 6"},
    {"pool_channels", [](Faults &f) { f.pool(attr({6, 6, 2, 1}), attr({4, 4, 3, 1}), 3, 3); }, "channels 2 in, 3 out"},
    {"pool_type", [](Faults &f) { f.pool(attr({6, 6, 2, 1}), attr({4, 4, 2, 1}), 3, 3)->param.pool.type = 0x1B002; },
     "pool type 0x1B002"},

    // Fully connected: x [K=6, M=2], weights [6, 4] give [4, 2].
    {"fcl_weights_param", [](Faults &f) { f.fcl(attr({6, 2}), attr({6, 4}), attr({4, 2}), 6); },
     "node 0 (FCL): weights 6, the weights tensor [6,4] holds 4 outputs"},
    {"fcl_k", [](Faults &f) { f.fcl(attr({4, 3}), attr({6, 4}), attr({4, 2}), 4); },
     "input sizes [4,3] do not begin with K = 6 values"},
    {"fcl_output", [](Faults &f) { f.fcl(attr({6, 2}), attr({6, 4}), attr({2, 4}), 4); },
     "output sizes [2,4], expected 4 outputs for each of 2 rows"},
    {"fcl_weights_rank", [](Faults &f) { f.fcl(attr({6, 2}), attr({6, 4, 1, 1}), attr({4, 2}), 4); },
     "weights sizes [6,4,1,1] are not [K,N]"},

    // Reduce over [W=4, H=3, C=2, N=1].
    {"reduce_keep_dims",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_REDUCE, attr({4, 3, 2, 1}), attr({4, 1, 2, 1}));
         f.axes[0] = 0, f.axes[1] = 1;
         n->param.reduce.axis = f.axes;
         n->param.reduce.axis_count = 2;
         n->param.reduce.keep_dim = 1;
     },
     "output sizes [4,1,2,1] do not match input sizes [4,3,2,1] reduced (keep 1)"},
    {"reduce_dropped_dims",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_REDUCE, attr({4, 3, 2, 1}), attr({4, 1}));
         f.axes[0] = 0, f.axes[1] = 1;
         n->param.reduce.axis = f.axes;
         n->param.reduce.axis_count = 2;
     },
     "(keep 0)"},
    {"reduce_axis_repeated",
     [](Faults &f) {
         ovxlib_node *n = f.unary(OVXLIB_OP_REDUCE, attr({4, 3, 2, 1}), attr({1, 3, 2, 1}));
         f.axes[0] = 0, f.axes[1] = 0;
         n->param.reduce.axis = f.axes;
         n->param.reduce.axis_count = 2;
         n->param.reduce.keep_dim = 1;
     },
     "axis 0 repeated or outside 4 dimensions"},
};

INSTANTIATE_TEST_SUITE_P(Ovxlib, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

} // namespace
