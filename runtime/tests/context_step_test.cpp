// Stepping and running layers: statuses, the layers this runtime core runs
// itself, user operations and the run's failure report.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "context/context_internal.h"
#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "kfm_writer.h"

namespace {

using kfm::Buffer;
using kfm::pooled;
using kfm_test::capture;
using kfm_test::constant_i8;
using kfm_test::quantised;
using kfm_test::floats;

class Step : public testing::Test {
protected:
    void Load(std::vector<kfm::Layer> layers, size_t pool = 1024)
    {
        kfm::Model m;
        m.memory_block_size = 16;
        m.layers = std::move(layers);
        buf = kfm::write(m);
        ctx = nn_context_init(nullptr, pool, nullptr, 0, nullptr);
        ASSERT_NE(ctx, nullptr);
        auto s = capture([&] { ASSERT_EQ(nn_context_model_load(ctx, buf.size(), buf.data()), 0); });
        ASSERT_EQ(s.err, "");
    }
    void TearDown() override { nn_context_release(ctx); }
    nn_tensor* t(size_t i) { return nn_context_tensor_index(ctx, i); }
    int step(size_t i, kfm_test::Streams* streams = nullptr)
    {
        int status = -1;
        auto s = capture([&] { status = nn_context_step(ctx, i); });
        if (streams)
            *streams = s;
        return status;
    }
    Buffer buf;
    nn_context* ctx = nullptr;
};

TEST_F(Step, StatusesOfCodesThatRunNothing)
{
    std::vector<kfm::Layer> layers;
    const int16_t codes[] = {1, 2, 3, 0, 251, -1, 19, 35, 47, 49, 103, 104, 110, 120, 130, 131, 133, 200, 252, 32767};
    for (int16_t code : codes) {
        kfm::Layer l = kfm::layer("l" + std::to_string(code), code, {1});
        if (code == 2) {
            kfm::Parameter p = kfm::parameter("data");
            p.shape = std::vector<int32_t>{1};
            p.data_f32 = std::vector<float>{1};
            l.parameters = std::vector<kfm::Parameter>{p};
        }
        layers.push_back(l);
    }
    Load(layers);
    for (size_t i = 0; i < std::size(codes); ++i) {
        kfm_test::Streams s;
        EXPECT_EQ(step(i, &s), codes[i] >= 1 && codes[i] <= 3 ? 0 : 5) << codes[i];
        EXPECT_EQ(s.out + s.err, "") << codes[i];
    }
    EXPECT_EQ(step(std::size(codes)), 5);  // past the last layer
    EXPECT_EQ(step(1000000), 5);
    EXPECT_EQ(nn_context_step(nullptr, 0), 6);
    nn_context* empty = nn_context_init(nullptr, 0, nullptr, 0, nullptr);
    EXPECT_EQ(nn_context_step(empty, 0), 21);
    EXPECT_EQ(nn_context_run(empty), 6);
    EXPECT_EQ(nn_context_run(nullptr), 6);
    nn_context_release(empty);
}

TEST_F(Step, UnidentifiedModelBytes)
{
    Load({kfm::layer("in", 1, {1}), kfm::layer("out", 42, {1}, {0})});
    std::vector<uint8_t> other(buf.data(), buf.data() + buf.size());
    other[4] = 'X';
    const void* saved = ctx->model;
    ctx->model = other.data();
    EXPECT_EQ(nn_context_step(ctx, 0), 5);  // every type reads as 0
    EXPECT_EQ(nn_context_run(ctx), 6);
    ctx->model = saved;
}

TEST_F(Step, CopyWritesTheSecondInputIntoTheFirst)
{
    Load({pooled("a", 1, {4}, 0), pooled("b", 1, {4}, 1), kfm::layer("c", 14, {4}, {0, 1}),
          kfm::layer("c2", 14, {2}, {0, 1})});
    kfm_test::write_floats(t(0), {1, 2, 3, 4});
    kfm_test::write_floats(t(1), {5, 6, 7, 8});
    EXPECT_EQ(step(2), 0);
    EXPECT_EQ(floats(t(0)), (std::vector<float>{5, 6, 7, 8}));
    kfm_test::write_floats(t(1), {9, 9, 9, 9});
    EXPECT_EQ(step(3), 0);  // a 2-element view copies 2 elements
    EXPECT_EQ(floats(t(0)), (std::vector<float>{9, 9, 7, 8}));
}

TEST_F(Step, FillWritesTheFirstInput)
{
    kfm::Layer f = kfm::layer("f", 15, {4}, {0});
    kfm::Parameter v = kfm::parameter("value");
    v.data_f32 = std::vector<float>{2.5f};
    f.parameters = std::vector<kfm::Parameter>{v};
    kfm::Layer novalue = kfm::layer("z", 15, {4}, {0});
    kfm::Layer empty_value = kfm::layer("e", 15, {4}, {0});
    empty_value.parameters = std::vector<kfm::Parameter>{kfm::parameter("value")};
    Load({pooled("a", 1, {4}, 0), f, novalue, empty_value});
    EXPECT_EQ(step(1), 0);
    EXPECT_EQ(floats(t(0)), std::vector<float>(4, 2.5f));
    EXPECT_EQ(step(2), 0);
    EXPECT_EQ(floats(t(0)), std::vector<float>(4, 0.0f));
    EXPECT_EQ(step(1), 0);
    EXPECT_EQ(step(3), 0);
    EXPECT_EQ(floats(t(0)), std::vector<float>(4, 0.0f));
}

TEST_F(Step, QuantAndDequant)
{
    kfm::Layer q = quantised(pooled("q", 16, {4}, 1, {0}), NN_TYPE_I8, 0.5f, 1);
    q.axis = 0;  // stored
    kfm::Layer q_noaxis = quantised(pooled("q2", 16, {4}, 2, {0}), NN_TYPE_I8, 0.5f, 1);
    kfm::Layer d = pooled("d", 17, {4}, 3, {4});
    kfm::Layer i8 = quantised(pooled("i8", 1, {4}, 4), NN_TYPE_I8, 0.25f, -2);
    kfm::Layer u8 = quantised(pooled("u8", 16, {4}, 5, {4}), NN_TYPE_U8, 0.5f, 128);  // requantise
    kfm::Layer d_noinput = pooled("dn", 17, {4}, 6);
    Load({pooled("in", 1, {4}, 0), q, q_noaxis, d, i8, u8, d_noinput});

    kfm_test::write_floats(t(0), {-1.0f, 0.0f, 0.26f, 100.0f});
    EXPECT_EQ(step(1), 0);
    // q = 1 + round(x / 0.5), clamped to INT8
    EXPECT_EQ(kfm_test::elements<int8_t>(t(1)), (std::vector<int8_t>{-1, 1, 2, 127}));
    EXPECT_EQ(step(2), 12);  // FLOAT32 to INT8 without a stored axis

    int8_t* raw = static_cast<int8_t*>(nn_tensor_mapwo(t(4)));
    ASSERT_NE(raw, nullptr);
    raw[0] = -2;
    raw[1] = 2;
    raw[2] = 10;
    raw[3] = -128;
    nn_tensor_unmap(t(4));
    EXPECT_EQ(step(3), 0);
    // (q - (-2)) * 0.25
    EXPECT_EQ(floats(t(3)), (std::vector<float>{0.0f, 1.0f, 3.0f, -31.5f}));
    // INT8 (zero -2, scale 0.25) to UINT8 (zero 128, scale 0.5): round(f / 0.5) + 128
    EXPECT_EQ(step(5), 0);
    EXPECT_EQ(kfm_test::elements<uint8_t>(t(5)), (std::vector<uint8_t>{128, 130, 134, 65}));
    EXPECT_EQ(step(6), 6);  // no inputs
}

TEST_F(Step, ReshapeRequantisesInPlace)
{
    kfm::Layer in = quantised(pooled("in", 1, {4}, 0), NN_TYPE_I8, 1.0f, 0);
    kfm::Layer rs = quantised(kfm::layer("rs", 101, {2, 2}, {0}), NN_TYPE_I8, 2.0f, 0);
    kfm::Layer fin = pooled("f", 1, {4}, 1);
    kfm::Layer rsf = kfm::layer("rsf", 101, {2, 2}, {2});
    Load({in, rs, fin, rsf});
    int8_t* p = static_cast<int8_t*>(nn_tensor_mapwo(t(0)));
    ASSERT_NE(p, nullptr);
    p[0] = 4;
    p[1] = -4;
    p[2] = 3;
    p[3] = 0;
    nn_tensor_unmap(t(0));
    EXPECT_EQ(step(1), 0);
    // q * 1 / 2 rounded half away from zero
    EXPECT_EQ(kfm_test::elements<int8_t>(t(0)), (std::vector<int8_t>{2, -2, 2, 0}));
    kfm_test::write_floats(t(2), {1, 2, 3, 4});
    EXPECT_EQ(step(3), 0);  // FLOAT32: nothing to do
    EXPECT_EQ(floats(t(3)), (std::vector<float>{1, 2, 3, 4}));
}

// Layers whose output is a view of a constant would write into the caller's
// read-only model bytes.
TEST_F(Step, NothingWritesIntoConstants)
{
    kfm::Layer cp = kfm::layer("cp", 14, {2}, {0, 1});
    kfm::Layer fl = kfm::layer("fl", 15, {2}, {0});
    kfm::Layer rs_other = quantised(kfm::layer("rs", 101, {2}, {0}), NN_TYPE_I8, 2.0f, 0);
    kfm::Layer rs_same = quantised(kfm::layer("rs_same", 101, {2}, {0}), NN_TYPE_I8, 1.0f, 3);
    kfm::Layer via_view = kfm::layer("via", 15, {2}, {4});  // fill of a reshape of the constant
    Load({constant_i8("w", {10, 20}, 1.0f, 3), pooled("src", 1, {2}, 0), cp, fl, rs_same, rs_other,
          via_view});
    std::vector<uint8_t> before(buf.data(), buf.data() + buf.size());
    EXPECT_EQ(step(2), 6);
    EXPECT_EQ(step(3), 6);
    EXPECT_EQ(step(4), 0);  // same parameters: nothing changes
    EXPECT_EQ(step(5), 6);
    EXPECT_EQ(step(6), 6);
    EXPECT_EQ(std::vector<uint8_t>(buf.data(), buf.data() + buf.size()), before);
}

TEST_F(Step, BatchnormNeedsSixInputs)
{
    Load({pooled("x", 1, {1}, 0), kfm::layer("bn", 102, {1}, {0, 0, 0, 0, 0}),
          kfm::layer("bn0", 102, {1})});
    kfm_test::Streams s;
    EXPECT_EQ(step(1, &s), 6);
    EXPECT_EQ(s.out + s.err, "");
    EXPECT_EQ(step(2, &s), 6);
    EXPECT_EQ(s.out + s.err, "");
}

struct UserOpCall {
    nn_context* ctx;
    std::string op;
    size_t layer;
};
std::vector<UserOpCall> g_calls;
int g_result = 0;

int record_user_op(nn_context* ctx, const char* op, size_t layer)
{
    g_calls.push_back({ctx, op, layer});
    return g_result;
}

kfm::Layer user_op(const std::string& name, kfm::opt<std::vector<std::string>> opname)
{
    kfm::Layer l = kfm::layer(name, 250, {1}, {0});
    if (opname) {
        kfm::Parameter p = kfm::parameter("opname");
        if (!opname->empty())
            p.data_str = *opname;
        l.parameters = std::vector<kfm::Parameter>{p};
    }
    return l;
}

TEST_F(Step, UserOperations)
{
    Load({pooled("x", 1, {1}, 0), user_op("u", std::vector<std::string>{"scale", "other"}),
          user_op("noname", std::nullopt), user_op("nocontents", std::vector<std::string>{})});
    g_calls.clear();
    EXPECT_EQ(step(1), 5);  // no callback
    ASSERT_EQ(nn_context_user_ops_register(ctx, record_user_op), 0);
    g_result = 0;
    EXPECT_EQ(step(1), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].ctx, ctx);
    EXPECT_EQ(g_calls[0].op, "scale");
    EXPECT_EQ(g_calls[0].layer, 1u);
    g_result = 5;
    EXPECT_EQ(step(1), 5);
    for (size_t layer : {2u, 3u}) {
        kfm_test::Streams s;
        EXPECT_EQ(step(layer, &s), 6);
        EXPECT_EQ(s.out, std::string("do_user_op [") + nn_model_layer_name(buf.data(), layer) +
                             "] missing parameter or contents: opname\r\n");
    }
    EXPECT_EQ(g_calls.size(), 2u);
}

TEST_F(Step, RunStopsAtTheFirstFailure)
{
    kfm::Layer fill7 = kfm::layer("f", 15, {4}, {1});
    kfm::Parameter v = kfm::parameter("value");
    v.data_f32 = std::vector<float>{7};
    fill7.parameters = std::vector<kfm::Parameter>{v};
    Load({pooled("a", 1, {4}, 0), pooled("b", 1, {4}, 1), kfm::layer("c", 14, {4}, {0, 1}),
          pooled("act", 47, {4}, 2, {0}), fill7});
    kfm_test::write_floats(t(0), {1, 1, 1, 1});
    kfm_test::write_floats(t(1), {2, 2, 2, 2});
    int status = -1;
    auto s = capture([&] { status = nn_context_run(ctx); });
    EXPECT_EQ(status, 5);
    EXPECT_EQ(s.err, "[ERROR] layer 3 [elu] act: not implemented\r\n");
    EXPECT_EQ(floats(t(0)), std::vector<float>(4, 2.0f));  // the copy ran
    EXPECT_EQ(floats(t(1)), std::vector<float>(4, 2.0f));  // the fill did not
}

TEST_F(Step, RunReportsUserOperationStatuses)
{
    Load({pooled("x", 1, {1}, 0), user_op("u", std::vector<std::string>{"op"})});
    struct Case {
        bool registered;
        int result;
        int status;
        const char* err;
    } cases[] = {
        {false, 0, 5, "[ERROR] layer 1 [user_op] u: not implemented\r\n"},
        {true, 5, 5, "[ERROR] layer 1 [user_op] u: not implemented\r\n"},
        {true, 0, 0, ""},
        {true, 99, 99, "[ERROR] layer 1 [user_op] u: unknown status\r\n"},
        {true, -4, -4, "[ERROR] layer 1 [user_op] u: unknown status\r\n"},
    };
    for (const Case& c : cases) {
        if (c.registered)
            nn_context_user_ops_register(ctx, record_user_op);
        g_result = c.result;
        int status = 0;
        auto s = capture([&] { status = nn_context_run(ctx); });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(s.err, c.err);
    }
}

TEST_F(Step, RunsOfModelsWithNothingToRun)
{
    Load({pooled("a", 1, {1}, 0), kfm::layer("v", 3, {1})});
    EXPECT_EQ(nn_context_run(ctx), 0);
    nn_context_release(ctx);
    ctx = nullptr;
    Load({});
    EXPECT_EQ(nn_context_run(ctx), 0);
}

}  // namespace
