#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "recording_engine.h"
#include "tensor_ops_fixture.h"

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;
using testfx::Tensor;

std::vector<float> Unary(int (*op)(nn_tensor*, nn_tensor*), const std::vector<float>& x)
{
    Tensor in(NN_TYPE_F32, {(int32_t)x.size()}), out(NN_TYPE_F32, {(int32_t)x.size()});
    in.set(x);
    EXPECT_EQ(op(out, in), 0);
    EXPECT_GT(out->time, 0u);  // the operator's own duration
    EXPECT_EQ(nn_tensor_mapped(in), 0);
    EXPECT_EQ(nn_tensor_mapped(out), 0);
    return out.get<float>();
}

float Swish(float x)
{
    float t = std::min(std::max(x + 3.0f, 0.0f), 6.0f);
    return (float)((double)(x * t) * 0.166666667);
}

TEST(Activations, FloatTable)
{
    const float nan = NAN;
    struct Row {
        const char* name;
        int (*op)(nn_tensor*, nn_tensor*);
        std::vector<float> in, want;
    } rows[] = {
        {"sigmoid_fast", nn_sigmoid_fast, {0, 3, -3, 1}, {1, 0.25f, 0.25f, 0.5f}},
        {"sigmoid", nn_sigmoid, {0, 2}, {0.5f, 1.0f / (std::exp(-2.0f) + 1.0f)}},
        {"tanh", nn_tanh, {0, 1}, {0, std::tanh(1.0f)}},
        {"relu", nn_relu, {-1, 0, 2.5f}, {0, 0, 2.5f}},
        {"relu6", nn_relu6, {-1, 3, 6, 7}, {0, 3, 6, 6}},
        {"swish", nn_swish, {-5, -3, -1, 0, 3, 4},
         {0, 0, (float)((double)(-2.0f) * 0.166666667), 0, (float)(18.0 * 0.166666667),
          (float)(24.0 * 0.166666667)}},
        {"abs", nn_abs, {-2, 0, 3}, {2, 0, 3}},
        {"log", nn_log, {-1, 1, std::exp(2.0f)}, {0, 0, std::log(std::exp(2.0f))}},
        {"exp", nn_exp, {0, 1}, {1, std::exp(1.0f)}},
        {"sqrt", nn_sqrt, {4, 2}, {2, std::sqrt(2.0f)}},
    };
    for (const auto& r : rows) {
        std::vector<float> got = Unary(r.op, r.in);
        for (size_t i = 0; i < r.want.size(); ++i)
            EXPECT_EQ(got[i], r.want[i]) << r.name << " of " << r.in[i];
    }
    EXPECT_EQ(Swish(-1.0f), Unary(nn_swish, {-1})[0]);
    // NaN stays NaN through the rectifiers
    EXPECT_TRUE(std::isnan(Unary(nn_relu, {nan})[0]));
    EXPECT_TRUE(std::isnan(Unary(nn_relu6, {nan})[0]));
    // log of 0 and negative square roots follow IEEE
    EXPECT_EQ(Unary(nn_log, {0})[0], -INFINITY);
    EXPECT_TRUE(std::isnan(Unary(nn_sqrt, {-1})[0]));
}

TEST(Activations, LeakyReluAndRsqrt)
{
    Tensor in(NN_TYPE_F32, {4}), out(NN_TYPE_F32, {4});
    in.set<float>({-2, 0, 3, -0.5f});
    ASSERT_EQ(nn_leaky_relu(out, in, 0.1f), 0);
    EXPECT_EQ(out.get<float>(), (std::vector<float>{0.1f * -2.0f, 0, 3, 0.1f * -0.5f}));

    in.set<float>({0, 4, NAN, -1});
    float eps = 1e-3f;
    ASSERT_EQ(nn_rsqrt(out, in, &eps), 0);
    std::vector<float> got = out.get<float>();
    EXPECT_NEAR(got[0], 31.6227766, 1e-4);
    EXPECT_EQ(got[1], 0.5f);
    EXPECT_EQ(got[2], 1.0f / std::sqrt(eps));  // NaN gives epsilon
    EXPECT_EQ(got[3], 1.0f / std::sqrt(eps));
    ASSERT_EQ(nn_rsqrt(out, in, nullptr), 0);
    got = out.get<float>();
    EXPECT_EQ(got[0], INFINITY);
    EXPECT_TRUE(std::isnan(got[3]));
}

TEST(Activations, Prelu)
{
    Tensor in(NN_TYPE_F32, {10}), out(NN_TYPE_F32, {10}), s4(NN_TYPE_F32, {4}), s5(NN_TYPE_F32, {5});
    in.set<float>({-1, -2, 3, -4, 5, -1, -2, 3, -4, 5});
    s5.set<float>({0.5f, 0.25f, 2, 3, 4});
    out.set<float>(std::vector<float>(10, 9));
    EXPECT_EQ(nn_prelu(out, in, s4), NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(out.get<float>(), std::vector<float>(10, 9));
    ASSERT_EQ(nn_prelu(out, in, s5), 0);
    EXPECT_EQ(out.get<float>(),
              (std::vector<float>{-0.5f, -0.5f, 3, -12, 5, -0.5f, -0.5f, 3, -12, 5}));
    Tensor empty(NN_TYPE_F32, {0});
    EXPECT_EQ(nn_prelu(out, in, empty), NN_ERROR_INVALID_SHAPE);
}

std::vector<double> SoftmaxRef(const std::vector<float>& x)
{
    double m = x[0], s = 0;
    for (float v : x)
        m = std::max(m, (double)v);
    std::vector<double> e;
    for (float v : x) {
        e.push_back(std::exp(v - m));
        s += e.back();
    }
    for (double& v : e)
        v /= s;
    return e;
}

TEST(Activations, SoftmaxRows)
{
    struct Row {
        std::vector<int32_t> shape;
        std::vector<float> in;
        int row;  // values per normalised row
    } rows[] = {
        {{1, 3}, {1, 2, 3}, 3},
        {{1, 1, 1, 1}, {5}, 1},
        {{1, 4}, {2, 2, 2, 2}, 4},
        {{2, 3}, {1, 2, 3, -1, 0, 4}, 3},  // every batch entry normalised
        {{1, 2, 2, 3}, {1, 2, 3, 0, 0, 0, -5, 5, 1, 9, 8, 7}, 3},
        {{2, 2, 1, 1}, {1, 3, 0, 0}, 2},  // axis 1
        {{3}, {4, 5, 6}, 1},              // one dimension: single values
    };
    for (const auto& r : rows) {
        Tensor in(NN_TYPE_F32, r.shape), out(NN_TYPE_F32, r.shape);
        in.set(r.in);
        ASSERT_EQ(nn_softmax(out, in), 0);
        std::vector<float> got = out.get<float>();
        for (size_t base = 0; base < r.in.size(); base += r.row) {
            std::vector<float> part(r.in.begin() + base, r.in.begin() + base + r.row);
            std::vector<double> want = SoftmaxRef(part);
            for (int i = 0; i < r.row; ++i)
                EXPECT_NEAR(got[base + i], want[i], 1e-6) << "row at " << base;
        }
    }
    Tensor in(NN_TYPE_F32, {1, 3}), out(NN_TYPE_F32, {1, 3});
    in.set<float>({1, 2, 3});
    ASSERT_EQ(nn_softmax(out, in), 0);
    std::vector<float> g = out.get<float>();
    EXPECT_NEAR(g[0], 0.0900, 1e-4);
    EXPECT_NEAR(g[1], 0.2447, 1e-4);
    EXPECT_NEAR(g[2], 0.6652, 1e-4);
}

TEST(Activations, QuantisedRectifiersAndSaturation)
{
    // relu in place on INT8 with the same quantisation clamps at the zero point
    Tensor q(NN_TYPE_I8, {5});
    q.quant({-3}, {0.1f});
    q.set<int8_t>({-128, -4, -3, 0, 100});
    ASSERT_EQ(nn_relu(q, q), 0);
    EXPECT_EQ(q.get<int8_t>(), (std::vector<int8_t>{-3, -3, -3, 0, 100}));
    ASSERT_EQ(nn_relu6(q, q), 0);
    EXPECT_EQ(q.get<int8_t>(), (std::vector<int8_t>{-3, -3, -3, 0, 57}));

    // hard swish and leaky relu into UINT8 saturate; into INT32 they do not
    Tensor in(NN_TYPE_I8, {3}), u8(NN_TYPE_U8, {3}), i32(NN_TYPE_I32, {3});
    in.quant({0}, {1.0f});
    in.set<int8_t>({-100, 100, 20});
    u8.quant({0}, {0.1f});
    i32.quant({0}, {0.1f});
    ASSERT_EQ(nn_leaky_relu(u8, in, 0.5f), 0);
    EXPECT_EQ(u8.get<uint8_t>(), (std::vector<uint8_t>{0, 255, 200}));
    ASSERT_EQ(nn_leaky_relu(i32, in, 0.5f), 0);
    EXPECT_EQ(i32.get<int32_t>(), (std::vector<int32_t>{-500, 1000, 200}));
    ASSERT_EQ(nn_swish(u8, in), 0);
    EXPECT_EQ(u8.get<uint8_t>(), (std::vector<uint8_t>{0, 255, 200}));
    ASSERT_EQ(nn_swish(i32, in), 0);
    EXPECT_EQ(i32.get<int32_t>()[1], 1000);
    // a FLOAT32 output of a quantised input is a type mismatch
    Tensor f(NN_TYPE_F32, {3});
    EXPECT_EQ(nn_swish(f, in), NN_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(nn_relu(f, in), NN_ERROR_TYPE_MISMATCH);
}

TEST(Activations, QuantisedLogisticThroughFloat)
{
    Tensor in(NN_TYPE_U8, {3}), out(NN_TYPE_U8, {3});
    in.quant({128}, {0.05f});
    in.set<uint8_t>({128, 188, 68});
    out.quant({0}, {1.0f / 256.0f});
    ASSERT_EQ(nn_sigmoid(out, in), 0);
    std::vector<uint8_t> got = out.get<uint8_t>();
    for (int i = 0; i < 3; ++i) {
        float x = (float)(in.get<uint8_t>()[i] - 128) * 0.05f;
        float y = 1.0f / (std::exp(-x) + 1.0f);
        float q = std::round(y / (1.0f / 256.0f));
        EXPECT_EQ(got[i], (uint8_t)std::min(255.0f, q)) << i;
    }
    EXPECT_EQ(nn_tensor_mapped((nn_tensor*)nn_tensor_aux_object(out)), 0);
    EXPECT_EQ(nn_tensor_mapped((nn_tensor*)nn_tensor_aux_object(in)), 0);
}

TEST(Activations, Batchnorm)
{
    Tensor in(NN_TYPE_F32, {1, 1, 2, 2}), out(NN_TYPE_F32, {1, 1, 2, 2});
    Tensor mean(NN_TYPE_F32, {2}), var(NN_TYPE_F32, {2}), off(NN_TYPE_F32, {2}),
        scale(NN_TYPE_F32, {2}), eps(NN_TYPE_F32, {1}), scratch(NN_TYPE_F32, {2});
    in.set<float>({1, 2, 3, 4});
    mean.set<float>({1, 2});
    var.set<float>({4, 16});
    off.set<float>({10, 20});
    scale.set<float>({2, 3});
    eps.set<float>({0});
    ASSERT_EQ(nn_batchnorm(out, scratch, in, mean, var, off, scale, eps), 0);
    EXPECT_EQ(out.get<float>(), (std::vector<float>{10, 20, 12, 21.5f}));
    EXPECT_EQ(var.get<float>(), (std::vector<float>{4, 16}));

    // zero variance and epsilon divide by zero
    var.set<float>({0, 0});
    ASSERT_EQ(nn_batchnorm(out, scratch, in, mean, var, off, scale, eps), 0);
    std::vector<float> g = out.get<float>();
    EXPECT_TRUE(std::isnan(g[0]));  // 0 / 0
    EXPECT_EQ(g[2], INFINITY);

    Tensor tiny(NN_TYPE_F32, {1});
    EXPECT_EQ(nn_batchnorm(out, tiny, in, mean, var, off, scale, eps), NN_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(nn_batchnorm(out, nullptr, in, mean, var, off, scale, eps),
              NN_ERROR_INVALID_PARAMETER);
}

// A failing step ends the sequence: later steps are not run.
TEST(Activations, BatchnormStopsAtTheFailingStep)
{
    RecordingEngine eng({Slot::kTensorInit, Slot::kAlloc, Slot::kView, Slot::kMapRo,
                         Slot::kMapRw, Slot::kMapWo, Slot::kUnmap, Slot::kTensorRelease,
                         Slot::kBinary, Slot::kUnary});
    eng.SetResult(Slot::kUnary, NN_ERROR_NOT_IMPLEMENTED);
    eng.SetHandler(Slot::kBinary, [](const kestrune::test::SlotCall& c) {
        return c.ints[0] == 2 ? (int)NN_ERROR_SHAPE_MISMATCH : (int)NN_ERROR_NOT_IMPLEMENTED;
    });
    std::vector<nn_tensor*> ts;
    auto make = [&](std::vector<float> v) {
        nn_tensor* t = nn_tensor_init(nullptr, eng.engine());
        int32_t n = (int32_t)v.size();
        EXPECT_EQ(nn_tensor_alloc(t, NN_TYPE_F32, 1, &n), 0);
        std::copy(v.begin(), v.end(), (float*)eng.BufferOf(t));
        ts.push_back(t);
        return t;
    };
    nn_tensor* out = make({0, 0});
    nn_tensor* scratch = make({0, 0});
    nn_tensor* in = make({1, 2});
    nn_tensor* one = make({1, 1});
    nn_tensor* eps = make({0});
    EXPECT_EQ(nn_batchnorm(out, scratch, in, one, one, one, one, eps), NN_ERROR_SHAPE_MISMATCH);
    std::vector<int64_t> ops;
    for (const auto& c : eng.CallsOf(Slot::kBinary))
        ops.push_back(c.ints[0]);
    EXPECT_EQ(ops, (std::vector<int64_t>{0, 1, 2}));  // add, subtract, multiply; no divide
    EXPECT_EQ(eng.Count(Slot::kUnary), 1u);
    for (nn_tensor* t : ts) {
        EXPECT_EQ(nn_tensor_mapped(t), 0);
        nn_tensor_release(t);
    }
}

}  // namespace
