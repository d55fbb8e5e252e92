// Records of the ovxlib stand-in: tensor refusals, ids and slots, releases,
// the data calls and the test controls.
#include <chrono>
#include <cstring>

#include "graph_fixture.h"

namespace {

using ovxtest::affine;
using ovxtest::attr;
using ovxtest::GraphTest;

struct TensorCase {
    const char *name;
    ovxlib_tensor_attr attr;
    bool with_data;
};

void PrintTo(const TensorCase &c, std::ostream *os) { *os << c.name; }

ovxlib_tensor_attr with_dims(uint32_t n)
{
    ovxlib_tensor_attr a = attr({});
    for (uint32_t i = 0; i < n && i < OVXLIB_MAX_DIMS; ++i)
        a.sizes[i] = 1;
    a.dim_count = n;
    return a;
}

ovxlib_tensor_attr flags(ovxlib_tensor_attr a, bool is_virtual, bool is_const)
{
    a.is_virtual = is_virtual;
    a.is_const = is_const;
    return a;
}

ovxlib_tensor_attr quant_type(int32_t type)
{
    ovxlib_tensor_attr a = attr({4}, OVXLIB_TYPE_UINT8);
    a.quant.type = type;
    a.quant.scale = 1.0f;
    return a;
}

class AddTensorRefusal : public GraphTest, public ::testing::WithParamInterface<TensorCase> {};

TEST_P(AddTensorRefusal, GivesTheNoTensorId)
{
    static const float data[64] = {};
    const TensorCase &c = GetParam();
    EXPECT_EQ(vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, &c.attr, c.with_data ? data : nullptr), OVXLIB_NO_TENSOR);
    EXPECT_EQ(graph->tensor_count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ovxlib, AddTensorRefusal,
    ::testing::Values(TensorCase{"rank9", with_dims(9), false},
                      TensorCase{"zero_size", attr({3, 0, 2}), false},
                      TensorCase{"type0", attr({4}, 0), false},
                      TensorCase{"type1", attr({4}, 1), false},
                      TensorCase{"type12", attr({4}, 12), false},
                      TensorCase{"type16", attr({4}, 16), false},
                      TensorCase{"quant_type1", quant_type(1), false},
                      TensorCase{"quant_type4", quant_type(4), false},
                      TensorCase{"const_without_data", flags(attr({4}), false, true), false},
                      TensorCase{"virtual_const", flags(attr({4}), true, true), true},
                      // 2^30 float32 elements: 2^32 bytes, one past the limit.
                      TensorCase{"over_4GiB", attr({1u << 15, 1u << 15}), false},
                      TensorCase{"product_overflow", attr({0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}), false}),
    [](const ::testing::TestParamInfo<TensorCase> &info) { return std::string(info.param.name); });

TEST_F(GraphTest, AddTensorTakesOnlyAutomaticIdsAndCountsFromZero)
{
    ovxlib_tensor_attr a = attr({2, 3});
    EXPECT_EQ(vsi_nn_AddTensor(graph, 0, &a, nullptr), OVXLIB_NO_TENSOR);
    EXPECT_EQ(vsi_nn_AddTensor(graph, OVXLIB_AUTO_ID, nullptr, nullptr), OVXLIB_NO_TENSOR);
    EXPECT_EQ(io(a), 0u);
    EXPECT_EQ(io(attr({8}, OVXLIB_TYPE_INT8, affine(0.5f, -3))), 1u);
    // Just below the byte limit, rank 8 and type FLOAT16 are accepted (no storage before set-up).
    EXPECT_EQ(io(attr({0xFFFFFFFFu}, OVXLIB_TYPE_UINT8)), 2u);
    EXPECT_EQ(io(with_dims(8)), 3u);
    EXPECT_EQ(io(attr({2}, OVXLIB_TYPE_FLOAT16)), 4u);
    EXPECT_EQ(graph->tensor_count, 5u);

    // The attribute is a copy.
    a.sizes[0] = 99;
    EXPECT_EQ(vsi_nn_GetTensor(graph, 0)->attr.sizes[0], 2u);
    const ovxlib_tensor_attr &q = vsi_nn_GetTensor(graph, 1)->attr;
    EXPECT_EQ(q.type, OVXLIB_TYPE_INT8);
    EXPECT_EQ(q.quant.zero_point, -3);
    EXPECT_EQ(vsi_nn_GetTensor(graph, 5), nullptr);
    EXPECT_EQ(vsi_nn_GetTensor(graph, OVXLIB_NO_TENSOR), nullptr);
}

TEST_F(GraphTest, SlotsStartAsTheNoTensorId)
{
    ASSERT_EQ(vsi_nn_SetGraphInputs(graph, nullptr, 2), 0);
    ASSERT_EQ(vsi_nn_SetGraphOutputs(graph, nullptr, 3), 0);
    EXPECT_EQ(graph->input_count, 2u);
    EXPECT_EQ(graph->output_count, 3u);
    for (uint32_t i = 0; i < 2; ++i)
        EXPECT_EQ(graph->input_ids[i], OVXLIB_NO_TENSOR);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(graph->output_ids[i], OVXLIB_NO_TENSOR);

    uint32_t index = 77;
    ovxlib_node *concat = vsi_nn_AddNode(graph, OVXLIB_OP_CONCAT, 3, 1, &index);
    ASSERT_NE(concat, nullptr);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(concat->op, OVXLIB_OP_CONCAT);
    EXPECT_EQ(concat->input_count, 3u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(concat->inputs[i], OVXLIB_NO_TENSOR);
    EXPECT_EQ(concat->outputs[0], OVXLIB_NO_TENSOR);
    ovxlib_node *conv = vsi_nn_AddNode(graph, OVXLIB_OP_CONV2D, 3, 1, &index);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(graph->node_count, 2u);
    EXPECT_EQ(vsi_nn_GetNode(graph, 1), conv);
    EXPECT_EQ(vsi_nn_GetNode(graph, 2), nullptr);
    // Defaults of the parameters the builder may leave alone.
    EXPECT_EQ(conv->param.conv.group, 1u);
    EXPECT_EQ(conv->param.conv.dilation[0], 1u);
    EXPECT_EQ(conv->vx.down_scale_size_rounding, OVXLIB_DOWN_SCALE_FLOOR);
    EXPECT_EQ(conv->vx.overflow_policy, 0);
    ovxlib_node *mul = vsi_nn_AddNode(graph, OVXLIB_OP_MULTIPLY, 2, 1, nullptr);
    EXPECT_FLOAT_EQ(mul->param.eltwise.scale, 1.0f);
    ovxlib_node *pool = vsi_nn_AddNode(graph, OVXLIB_OP_POOL, 1, 1, nullptr);
    EXPECT_EQ(pool->param.pool.round_type, OVXLIB_ROUND_FLOOR);

    // Unknown operation codes and impossible counts.
    EXPECT_EQ(vsi_nn_AddNode(graph, 3, 1, 1, nullptr), nullptr);
    EXPECT_EQ(vsi_nn_AddNode(graph, OVXLIB_OP_RELU, 1, 0, nullptr), nullptr);
    EXPECT_EQ(vsi_nn_AddNode(graph, OVXLIB_OP_CONCAT, 65, 1, nullptr), nullptr);
    EXPECT_EQ(graph->node_count, 4u);
}

TEST(Release, ClearsTheAddressAndAcceptsNull)
{
    ovxlib_test_reset();
    const uint32_t graphs = ovxlib_test_live_graphs(), contexts = ovxlib_test_live_contexts();
    ovxlib_context *context = vsi_nn_CreateContext();
    ovxlib_graph *graph = vsi_nn_CreateGraph(context, 0, 0);
    EXPECT_EQ(ovxlib_test_live_contexts(), contexts + 1);
    EXPECT_EQ(ovxlib_test_live_graphs(), graphs + 1);
    vsi_nn_ReleaseGraph(&graph);
    EXPECT_EQ(graph, nullptr);
    vsi_nn_ReleaseGraph(&graph);
    vsi_nn_ReleaseGraph(nullptr);
    vsi_nn_ReleaseContext(&context);
    EXPECT_EQ(context, nullptr);
    vsi_nn_ReleaseContext(&context);
    vsi_nn_ReleaseContext(nullptr);
    vsi_nn_Free(nullptr);
    EXPECT_EQ(ovxlib_test_live_graphs(), graphs);
    EXPECT_EQ(ovxlib_test_live_contexts(), contexts);
    EXPECT_EQ(vsi_nn_CreateGraph(nullptr, 0, 0), nullptr);
    EXPECT_STRNE(vsi_nn_GetVersion(), "");
}

TEST_F(GraphTest, CopyAndConvertMoveWholeTensors)
{
    static const float weights[3] = {1, 2, 3};
    const ovxlib_tensor_id in = io(attr({3})), w = constant(attr({3}), weights), mid = virt(attr({3}));
    const ovxlib_tensor_id out = io(attr({3}));
    node(OVXLIB_OP_ADD, {in, w}, mid);
    node(OVXLIB_OP_RELU, {mid}, out);
    lists({in}, {out});
    ovxlib_tensor *tin = vsi_nn_GetTensor(graph, in);

    EXPECT_EQ(vsi_nn_ConvertTensorToData(graph, tin), nullptr);  // not set up yet
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, vsi_nn_GetTensor(graph, w), weights), -1);
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, vsi_nn_GetTensor(graph, mid), weights), -1);
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, nullptr, weights), -1);
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, tin, nullptr), -1);
    ovxlib_tensor stranger{};
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, &stranger, weights), -1);
    ASSERT_TRUE(ready());

    write<float>(in, {-5, 0.5f, 2});
    ASSERT_TRUE(run());
    EXPECT_EQ(read<float>(out), (std::vector<float>{0, 2.5f, 5}));
    EXPECT_EQ(read<float>(w), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(vsi_nn_ConvertTensorToData(graph, vsi_nn_GetTensor(graph, mid)), nullptr);
}

TEST_F(GraphTest, TransposeRewritesAFormat1MatrixIntoItsOwnBuffer)
{
    // [a, b] = [2, 3] stored 2 rows of 3.
    float data[6] = {1, 2, 3, 4, 5, 6};
    const ovxlib_tensor_id w = constant(attr({2, 3}), data, OVXLIB_FMT_NHWC);
    ovxlib_tensor *t = vsi_nn_GetTensor(graph, w);
    const uint32_t perm[2] = {1, 0}, wrong_perm[2] = {0, 1}, sizes[2] = {2, 3}, swapped[2] = {3, 2};

    EXPECT_EQ(vsi_nn_TransposeTensor(graph, t, wrong_perm, 2, sizes), -1);
    EXPECT_EQ(vsi_nn_TransposeTensor(graph, t, perm, 2, swapped), -1);
    EXPECT_EQ(vsi_nn_TransposeTensor(graph, t, perm, 1, sizes), -1);
    ASSERT_EQ(vsi_nn_TransposeTensor(graph, t, perm, 2, sizes), 0);
    EXPECT_EQ(t->attr.fmt, OVXLIB_FMT_NCHW);
    EXPECT_EQ(t->attr.sizes[0], 2u);
    EXPECT_EQ(t->attr.sizes[1], 3u);
    EXPECT_EQ(vsi_nn_TransposeTensor(graph, t, perm, 2, sizes), -1);  // now format 0

    // The caller's buffer is no longer read: scribble on it.
    const float kept[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(data, kept, sizeof data), 0);
    std::memset(data, 0, sizeof data);

    const ovxlib_tensor_id in = io(attr({1})), out = io(attr({1}));
    node(OVXLIB_OP_RESHAPE, {in}, out);
    lists({in}, {out});
    ASSERT_TRUE(ready());
    // 3 rows of 2.
    EXPECT_EQ(read<float>(w), (std::vector<float>{1, 4, 2, 5, 3, 6}));

    // Only constants: a graph input is refused.
    EXPECT_EQ(vsi_nn_TransposeTensor(graph, vsi_nn_GetTensor(graph, in), perm, 2, sizes), -1);
}

// Each control fails the call it names, the n-th time, and only that once.
TEST_F(GraphTest, ControlsFailTheNthCallOfTheirKind)
{
    const ovxlib_tensor_attr a = attr({2});
    ovxlib_test_fail_call(OVXLIB_CALL_ADD_TENSOR, 3);
    EXPECT_EQ(io(a), 0u);
    EXPECT_EQ(vsi_nn_AddNode(graph, OVXLIB_OP_RELU, 1, 1, nullptr) != nullptr, true);  // other kinds unaffected
    EXPECT_EQ(io(a), 1u);
    EXPECT_EQ(io(a), OVXLIB_NO_TENSOR);
    EXPECT_EQ(io(a), 2u);

    ovxlib_test_fail_call(OVXLIB_CALL_ADD_NODE, 1);
    EXPECT_EQ(vsi_nn_AddNode(graph, OVXLIB_OP_RELU, 1, 1, nullptr), nullptr);
    EXPECT_NE(vsi_nn_AddNode(graph, OVXLIB_OP_RELU, 1, 1, nullptr), nullptr);

    ovxlib_test_fail_call(OVXLIB_CALL_SET_GRAPH_INPUTS, 1);
    EXPECT_EQ(vsi_nn_SetGraphInputs(graph, nullptr, 1), -1);
    ovxlib_test_fail_call(OVXLIB_CALL_SET_GRAPH_OUTPUTS, 2);
    EXPECT_EQ(vsi_nn_SetGraphOutputs(graph, nullptr, 1), 0);
    EXPECT_EQ(vsi_nn_SetGraphOutputs(graph, nullptr, 1), -1);

    ovxlib_test_fail_call(OVXLIB_CALL_CREATE_CONTEXT, 1);
    EXPECT_EQ(vsi_nn_CreateContext(), nullptr);
    ovxlib_test_fail_call(OVXLIB_CALL_CREATE_GRAPH, 1);
    EXPECT_EQ(vsi_nn_CreateGraph(context, 0, 0), nullptr);

    static const float matrix[4] = {1, 2, 3, 4};
    const uint32_t swap[2] = {1, 0}, sizes[2] = {2, 2};
    ovxlib_tensor *w = vsi_nn_GetTensor(graph, constant(attr({2, 2}), matrix, OVXLIB_FMT_NHWC));
    ovxlib_test_fail_call(OVXLIB_CALL_TRANSPOSE_TENSOR, 1);
    EXPECT_EQ(vsi_nn_TransposeTensor(graph, w, swap, 2, sizes), -1);
    EXPECT_EQ(w->attr.fmt, OVXLIB_FMT_NHWC);
    EXPECT_EQ(vsi_nn_TransposeTensor(graph, w, swap, 2, sizes), 0);

    // Armed, then disarmed.
    ovxlib_test_fail_call(OVXLIB_CALL_ADD_TENSOR, 1);
    ovxlib_test_fail_call(OVXLIB_CALL_ADD_TENSOR, 0);
    EXPECT_NE(io(a), OVXLIB_NO_TENSOR);
}

class ReadyGraphTest : public GraphTest {
protected:
    void SetUp() override
    {
        GraphTest::SetUp();
        in = io(attr({2}));
        out = io(attr({2}));
        node(OVXLIB_OP_RELU, {in}, out);
        lists({in}, {out});
    }
    ovxlib_tensor_id in = 0, out = 0;
};

TEST_F(ReadyGraphTest, ControlsFailSetupVerifyRunAndCopies)
{
    ovxlib_test_fail_call(OVXLIB_CALL_SETUP_GRAPH, 1);
    EXPECT_EQ(vsi_nn_SetupGraph(graph, 0), -1);
    EXPECT_EQ(vsi_nn_SetupGraph(graph, 0), 0);
    ovxlib_test_fail_call(OVXLIB_CALL_VERIFY_GRAPH, 1);
    EXPECT_EQ(vsi_nn_VerifyGraph(graph), -1);
    EXPECT_EQ(vsi_nn_VerifyGraph(graph), 0);

    ovxlib_tensor *tin = vsi_nn_GetTensor(graph, in), *tout = vsi_nn_GetTensor(graph, out);
    const float values[2] = {-1, 3};
    ovxlib_test_fail_call(OVXLIB_CALL_COPY_DATA_TO_TENSOR, 1);
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, tin, values), -1);
    EXPECT_EQ(vsi_nn_CopyDataToTensor(graph, tin, values), 0);

    const uint64_t runs = ovxlib_test_run_count();
    ovxlib_test_fail_call(OVXLIB_CALL_RUN_GRAPH, 2);
    EXPECT_EQ(vsi_nn_RunGraph(graph), 0);
    EXPECT_EQ(vsi_nn_RunGraph(graph), -1);
    EXPECT_EQ(vsi_nn_RunGraph(graph), 0);
    EXPECT_EQ(ovxlib_test_run_count(), runs + 3);

    ovxlib_test_fail_call(OVXLIB_CALL_CONVERT_TENSOR_TO_DATA, 1);
    EXPECT_EQ(vsi_nn_ConvertTensorToData(graph, tout), nullptr);
    EXPECT_EQ(read<float>(out), (std::vector<float>{0, 3}));

    ovxlib_test_reset();
    EXPECT_EQ(ovxlib_test_run_count(), 0u);
}

TEST_F(ReadyGraphTest, RunWaitsTheDelayAndNeedsAVerifiedGraph)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(vsi_nn_VerifyGraph(graph), -1);
    EXPECT_EQ(vsi_nn_RunGraph(graph), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(ready());
    ovxlib_test_set_run_delay_us(30000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(run());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    // Parameters changed after verification are checked again at the run.
    vsi_nn_GetNode(graph, 0)->outputs[0] = in;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(run());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("vsi_nn_RunGraph: node 0 (RELU): output 0"), std::string::npos);
    vsi_nn_GetNode(graph, 0)->outputs[0] = out;
    EXPECT_TRUE(run());
    // So is a tensor whose sizes no longer fit its storage.
    vsi_nn_GetTensor(graph, out)->attr.sizes[0] = 3;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(run());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("tensor 1: sizes or type changed"), std::string::npos);
    vsi_nn_GetTensor(graph, out)->attr.sizes[0] = 2;
    // A graph with a tensor added after verification must be set up again.
    io(attr({1}));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(run());
    testing::internal::GetCapturedStderr();
}

} // namespace
