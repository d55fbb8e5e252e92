#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tensor_ops_fixture.h"

namespace {

using testfx::Tensor;

const int I = 3, H = 4, G = 8;

struct Weights {
    std::vector<float> wg, bg, wx, bx, wh, bh;
    explicit Weights(unsigned seed)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> d(-0.8f, 0.8f);
        auto fill = [&](std::vector<float>& v, int n) {
            v.resize(n);
            for (float& x : v)
                x = d(rng);
        };
        fill(wg, (I + H) * G);
        fill(bg, G);
        fill(wx, I * H);
        fill(bx, H);
        fill(wh, H * H);
        fill(bh, H);
    }
};

// One step of the cell in double precision; weights are [in, out] row-major.
std::vector<double> Step(const Weights& w, const std::vector<float>& x, const std::vector<double>& h)
{
    std::vector<double> cat(x.begin(), x.end());
    cat.insert(cat.end(), h.begin(), h.end());
    std::vector<double> gates(G);
    for (int j = 0; j < G; ++j) {
        double s = w.bg[j];
        for (int k = 0; k < I + H; ++k)
            s += cat[k] * w.wg[k * G + j];
        gates[j] = 1.0 / (1.0 + std::exp(-s));
    }
    std::vector<double> next(H);
    for (int j = 0; j < H; ++j) {
        double rec = w.bh[j], inp = w.bx[j];
        for (int k = 0; k < H; ++k)
            rec += h[k] * w.wh[k * H + j];
        for (int k = 0; k < I; ++k)
            inp += x[k] * w.wx[k * H + j];
        double r = gates[j], z = gates[H + j];
        double c = std::tanh(inp + r * rec);
        next[j] = (1 - z) * c + z * h[j];
    }
    return next;
}

struct Cell {
    Weights w{7};
    Tensor cache{NN_TYPE_F32, {I + 4 * H + G}};
    Tensor wg{NN_TYPE_F32, {I + H, G}}, bg{NN_TYPE_F32, {G}}, wx{NN_TYPE_F32, {I, H}},
        bx{NN_TYPE_F32, {H}}, wh{NN_TYPE_F32, {H, H}}, bh{NN_TYPE_F32, {H}};
    nn_gru_context* ctx = nullptr;
    Cell()
    {
        wg.set(w.wg);
        bg.set(w.bg);
        wx.set(w.wx);
        bx.set(w.bx);
        wh.set(w.wh);
        bh.set(w.bh);
        EXPECT_EQ(nn_gru_init(&ctx, cache, NN_TYPE_F32, I, G, H), 0);
    }
    ~Cell() { nn_gru_release(ctx); }
    int Run(nn_tensor* out, nn_tensor* in, nn_tensor* h)
    {
        return nn_gru(out, in, h, wg, bg, wx, bx, wh, bh, ctx);
    }
};

TEST(Gru, OneRowContinuesFromTheIncomingState)
{
    Cell cell;
    Tensor in(NN_TYPE_F32, {1, I}), out(NN_TYPE_F32, {1, H}), h(NN_TYPE_F32, {2, 2});
    std::vector<float> x = {0.5f, -1.0f, 0.25f};
    std::vector<float> h0 = {0.1f, -0.2f, 0.3f, 0.05f};
    in.set(x);
    h.set(h0);
    ASSERT_EQ(cell.Run(out, in, h), 0);
    std::vector<double> want = Step(cell.w, x, std::vector<double>(h0.begin(), h0.end()));
    for (int j = 0; j < H; ++j) {
        EXPECT_NEAR(out.get<float>()[j], want[j], 1e-5) << j;
        EXPECT_NEAR(h.get<float>()[j], want[j], 1e-5) << j;
    }
    EXPECT_EQ(h->dims, 2);
    EXPECT_EQ(h.shape(), (std::vector<int32_t>{2, 2, 1, 1}));
}

TEST(Gru, FiveRowsStartFromZero)
{
    Cell cell;
    Tensor in(NN_TYPE_F32, {5, I}), out(NN_TYPE_F32, {5, H}), h(NN_TYPE_F32, {H});
    std::vector<float> x;
    for (int i = 0; i < 5 * I; ++i)
        x.push_back(std::sin((float)i));
    in.set(x);
    h.set<float>({9, 9, 9, 9});
    ASSERT_EQ(cell.Run(out, in, h), 0);
    std::vector<double> state(H, 0.0);
    std::vector<float> got = out.get<float>();
    for (int r = 0; r < 5; ++r) {
        state = Step(cell.w, std::vector<float>(x.begin() + r * I, x.begin() + r * I + I), state);
        for (int j = 0; j < H; ++j)
            EXPECT_NEAR(got[r * H + j], state[j], 1e-5) << r << "," << j;
    }
    for (int j = 0; j < H; ++j)
        EXPECT_EQ(h.get<float>()[j], got[4 * H + j]);
    EXPECT_EQ(h->dims, 1);
    EXPECT_EQ(nn_tensor_mapped(h) + nn_tensor_mapped(out) + nn_tensor_mapped(in), 0);
}

TEST(Gru, InitChecks)
{
    Tensor small(NN_TYPE_U8, {107}), exact(NN_TYPE_U8, {108});
    nn_gru_context* ctx = nullptr;
    int status = 0;
    testfx::Output o = testfx::Capture(
        [&] { status = nn_gru_init(&ctx, small, NN_TYPE_F32, 3, 8, 4); });
    EXPECT_EQ(status, NN_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(o.err, "nn_gru insuffient cache size 107 of 108 required\n");
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(nn_gru_init(&ctx, exact, NN_TYPE_F32, 3, 8, 4), 0);
    ASSERT_NE(ctx, nullptr);
    nn_gru_release(ctx);
    ctx = nullptr;
    EXPECT_EQ(nn_gru_init(&ctx, exact, NN_TYPE_I8, 3, 8, 4), NN_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(nn_gru_init(nullptr, exact, NN_TYPE_F32, 3, 8, 4), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_gru_init(&ctx, nullptr, NN_TYPE_F32, 3, 8, 4), NN_ERROR_INVALID_PARAMETER);
    // a gate width below 2H would put the update gate past the cache
    EXPECT_EQ(nn_gru_init(&ctx, exact, NN_TYPE_F32, 3, 7, 4), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ctx, nullptr);
    nn_gru_release(nullptr);
}

TEST(Gru, CallChecks)
{
    Cell cell;
    Tensor in(NN_TYPE_F32, {2, I}), out(NN_TYPE_F32, {2, H}), h(NN_TYPE_F32, {H});
    Tensor short_out(NN_TYPE_F32, {1, H}), wide_in(NN_TYPE_F32, {2, I + 1}), long_h(NN_TYPE_F32, {H + 1});
    EXPECT_EQ(cell.Run(short_out, in, h), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(cell.Run(out, wide_in, h), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(cell.Run(out, in, long_h), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(cell.Run(out, in, nullptr), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_gru(out, in, h, cell.wg, cell.bg, cell.wx, cell.bx, cell.wh, cell.bh, nullptr),
              NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(h->dims, 1);
}

}  // namespace
