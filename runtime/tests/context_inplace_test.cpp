// Layers that write where they read: nothing writes into the caller's model
// bytes (loaded here from a read-only mapping of a file, as the runtime
// plug-in holds a model), and concat and pad give the plain result when the
// model places their output over their inputs in the pool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "kfm_writer.h"
#include "read_only_model.h"

namespace {

using kfm::pooled;
using kfm_test::capture;
using kfm_test::constant_i8;
using kfm_test::quantised;
using kfm_test::floats;

kfm::Layer with_data(kfm::Layer l, std::vector<int32_t> shape, std::vector<float> values)
{
    kfm::Parameter p = kfm::parameter("data");
    p.shape = std::move(shape);
    p.data_f32 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return l;
}

kfm::Layer constant_f32(const std::string& name, std::vector<int32_t> shape, std::vector<float> values)
{
    return with_data(kfm::layer(name, 2, shape), shape, std::move(values));
}

kfm::Parameter list(const std::string& name, std::vector<int32_t> values)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(values);
    return p;
}

kfm::Parameter int_param(const std::string& name, int16_t value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_i16 = std::vector<int16_t>{value};
    return p;
}

// A context over a model mapped read-only; pool offsets count floats.
struct Loaded {
    explicit Loaded(std::vector<kfm::Layer> layers, size_t pool = 1024, size_t cache = 1024)
    {
        kfm::Model m;
        m.memory_block_size = 4;
        m.layers = std::move(layers);
        model = kfm_test::ReadOnlyModel(kfm::write(m));
        ctx = nn_context_init(nullptr, pool, nullptr, cache, nullptr);
        if (!ctx || !model.data())
            return;
        streams = capture([&] { status = nn_context_model_load(ctx, model.size(), model.data()); });
        before = model.hash();
    }
    ~Loaded() { nn_context_release(ctx); }  // before the mapping goes
    nn_tensor* t(size_t i) { return nn_context_tensor_index(ctx, i); }
    int step(size_t i) { return nn_context_step(ctx, i); }
    bool unchanged() const { return model.hash() == before; }

    kfm_test::ReadOnlyModel model;
    nn_context* ctx = nullptr;
    int status = -1;
    kfm_test::Streams streams;
    uint64_t before = 0;
};

// ---- Nothing writes into the model --------------------------------------

// Each layer type whose handler writes into one of its inputs, with that
// input in the model's bytes: it refuses (6) or works on memory of its own.
TEST(ModelBytes, LayersThatWriteAnInputLeaveTheModelAsItWas)
{
    struct Case {
        const char* what;
        std::vector<kfm::Layer> extra;  // after w (0, INT8 [2]) and src (1, input [2])
        int status;
    };
    const kfm::Layer same_view = quantised(kfm::layer("rs", 101, {2}, {0}), NN_TYPE_I8, 1.0f, 3);
    const Case cases[] = {
        {"copy into a constant", {kfm::layer("cp", 14, {2}, {0, 1})}, 6},
        {"fill of a constant", {kfm::layer("fl", 15, {2}, {0})}, 6},
        {"fill of a reshape of a constant", {same_view, kfm::layer("fl", 15, {2}, {2})}, 6},
        {"copy into a reshape of a constant", {same_view, kfm::layer("cp", 14, {2}, {2, 1})}, 6},
        {"8-bit reshape requantising a constant",
         {quantised(kfm::layer("rs", 101, {2}, {0}), NN_TYPE_I8, 2.0f, 0)}, 6},
        {"8-bit reshape with the constant's own quantisation", {same_view}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<kfm::Layer> layers = {constant_i8("w", {10, 20}, 1.0f, 3), pooled("src", 1, {2}, 0)};
        layers.insert(layers.end(), c.extra.begin(), c.extra.end());
        Loaded l(layers);
        ASSERT_EQ(l.status, 0) << l.streams.err;
        EXPECT_EQ(l.step(layers.size() - 1), c.status);
        EXPECT_TRUE(l.unchanged());
    }
}

// A GRU cell computed here: dense weights are [in, out] row-major; the gates
// are r (first H) and z (last H).
struct GruWeights {
    int I, H;
    std::vector<float> wg, bg, wx, bx, wh, bh;
};

std::vector<double> gru_ref(const GruWeights& w, const std::vector<double>& x, const std::vector<double>& h)
{
    const int I = w.I, H = w.H, G = 2 * H;
    std::vector<double> xh(x);
    xh.insert(xh.end(), h.begin(), h.end());
    std::vector<double> gates(static_cast<size_t>(G));
    for (int j = 0; j < G; ++j) {
        double a = w.bg[static_cast<size_t>(j)];
        for (int k = 0; k < I + H; ++k)
            a += xh[static_cast<size_t>(k)] * w.wg[static_cast<size_t>(k * G + j)];
        gates[static_cast<size_t>(j)] = 1.0 / (1.0 + std::exp(-a));
    }
    std::vector<double> out(static_cast<size_t>(H));
    for (int j = 0; j < H; ++j) {
        double cx = w.bx[static_cast<size_t>(j)], ch = w.bh[static_cast<size_t>(j)];
        for (int k = 0; k < I; ++k)
            cx += x[static_cast<size_t>(k)] * w.wx[static_cast<size_t>(k * H + j)];
        for (int k = 0; k < H; ++k)
            ch += h[static_cast<size_t>(k)] * w.wh[static_cast<size_t>(k * H + j)];
        double r = gates[static_cast<size_t>(j)], z = gates[static_cast<size_t>(H + j)];
        double c = std::tanh(cx + r * ch);
        out[static_cast<size_t>(j)] = (1 - z) * c + z * h[static_cast<size_t>(j)];
    }
    return out;
}

void expect_near(const std::vector<float>& got, const std::vector<double>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-5) << i;
}

// The hidden state of a GRU layer given as a constant (or a view of one):
// the first step starts from the constant's values, the next from the state
// the first left, a new load from the constant again; the model's bytes
// never change.
TEST(ModelBytes, GruStateFromTheModelIsSteppedAsTheContextsCopy)
{
    const GruWeights w = {2,
                          2,
                          {0.1f, -0.2f, 0.3f, 0.05f, -0.4f, 0.25f, 0.15f, -0.1f,
                           0.2f, 0.35f, -0.3f, 0.1f, 0.05f, -0.15f, 0.4f, 0.3f},
                          {0.1f, -0.1f, 0.2f, 0.0f},
                          {0.3f, -0.2f, 0.5f, 0.1f},
                          {0.05f, -0.05f},
                          {-0.3f, 0.4f, 0.2f, 0.6f},
                          {0.0f, 0.1f}};
    const std::vector<float> h0 = {0.25f, -0.5f};
    const std::vector<double> x = {0.7, -1.2};
    struct Case {
        const char* what;
        bool via_reshape;
        bool later_constant;  // the state names a layer after the gru
    };
    const Case cases[] = {
        {"constant", false, false},
        {"reshape of a constant", true, false},
        {"constant after the gru layer", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<kfm::Layer> layers = {
            pooled("x", 1, {1, 2}, 0),           constant_f32("gw", {4, 4}, w.wg),
            constant_f32("gb", {4}, w.bg),       constant_f32("iw", {2, 2}, w.wx),
            constant_f32("ib", {2}, w.bx),       constant_f32("rw", {2, 2}, w.wh),
            constant_f32("rb", {2}, w.bh),       constant_f32("h", {1, 2}, h0),
        };
        uint32_t h_index = 7;
        if (c.via_reshape) {
            layers.push_back(kfm::layer("hr", 101, {2}, {7}));
            h_index = 8;
        }
        const uint32_t gru = static_cast<uint32_t>(layers.size());
        layers.push_back(pooled("g", 100, {1, 2}, 16, {0, h_index, 1, 2, 3, 4, 5, 6}));
        if (c.later_constant) {
            layers.push_back(constant_f32("h_late", {1, 2}, h0));
            layers[gru].inputs = std::vector<uint32_t>{0, gru + 1, 1, 2, 3, 4, 5, 6};
        }
        Loaded l(layers);
        ASSERT_EQ(l.status, 0) << l.streams.err;
        kfm_test::write_floats(l.t(0), {0.7f, -1.2f});
        ASSERT_EQ(l.step(gru), 0);
        std::vector<double> h1 = gru_ref(w, x, {h0[0], h0[1]});
        expect_near(floats(l.t(gru)), h1);
        ASSERT_EQ(l.step(gru), 0);
        expect_near(floats(l.t(gru)), gru_ref(w, x, h1));
        EXPECT_TRUE(l.unchanged());

        // Loaded again: from the constant's values again.
        ASSERT_EQ(nn_context_model_load(l.ctx, l.model.size(), l.model.data()), 0);
        kfm_test::write_floats(l.t(0), {0.7f, -1.2f});
        ASSERT_EQ(l.step(gru), 0);
        expect_near(floats(l.t(gru)), h1);
        EXPECT_TRUE(l.unchanged());
    }
}

// ---- Outputs placed over their inputs -----------------------------------

std::vector<float> iota(size_t n, float from)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = from + static_cast<float>(i);
    return v;
}

// concat of a [rows, ca] and b [rows, cb] along axis 1 (axis 0 when rows is
// 1), with a, b and the output at the given float offsets in the pool.
TEST(PoolOverlap, ConcatEqualsThePlainConcatenation)
{
    struct Case {
        const char* what;
        int rows, ca, cb;
        uint32_t at_a, at_b, at_out;
    };
    const Case cases[] = {
        {"output exactly over its inputs", 1, 3, 4, 0, 3, 0},
        {"output one element after the first input", 1, 3, 4, 0, 3, 1},
        {"output one element before the first input", 1, 3, 4, 1, 4, 0},
        {"output over the second input only", 1, 3, 4, 0, 16, 14},
        {"inputs in reverse order under the output", 1, 3, 4, 4, 0, 0},
        {"rows, output at the first input", 3, 2, 3, 0, 6, 0},
        {"rows, output inside the first input", 3, 2, 3, 0, 6, 3},
        {"rows, output over the second input", 3, 2, 3, 20, 0, 2},
        {"rows, output before both", 3, 2, 3, 8, 14, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int cols = c.ca + c.cb;
        const int axis = c.rows == 1 ? 0 : 1;
        auto shape = [&](int n) {
            return c.rows == 1 ? std::vector<int32_t>{n} : std::vector<int32_t>{c.rows, n};
        };
        kfm::Layer cat = pooled("cat", 11, shape(cols), c.at_out, {0, 1});
        cat.parameters = std::vector<kfm::Parameter>{int_param("axis", static_cast<int16_t>(axis))};
        Loaded l({pooled("a", 1, shape(c.ca), c.at_a), pooled("b", 1, shape(c.cb), c.at_b), cat});
        ASSERT_EQ(l.status, 0) << l.streams.err;
        const std::vector<float> a = iota(static_cast<size_t>(c.rows * c.ca), 1.0f);
        const std::vector<float> b = iota(static_cast<size_t>(c.rows * c.cb), 101.0f);
        kfm_test::write_floats(l.t(0), a);
        kfm_test::write_floats(l.t(1), b);
        std::vector<float> want;
        for (int r = 0; r < c.rows; ++r) {
            want.insert(want.end(), a.begin() + r * c.ca, a.begin() + (r + 1) * c.ca);
            want.insert(want.end(), b.begin() + r * c.cb, b.begin() + (r + 1) * c.cb);
        }
        ASSERT_EQ(l.step(2), 0);
        EXPECT_EQ(floats(l.t(2)), want);
    }
}

// pad of an [n, h, w, c] input by one row and one column on each side (pad
// value 0), with the output at float offsets around the input's.
TEST(PoolOverlap, PadEqualsThePlainPadding)
{
    struct Case {
        const char* what;
        int n, h, w, c;
        uint32_t at_in, at_out;
    };
    const Case cases[] = {
        {"output at the input", 1, 2, 3, 1, 0, 0},
        {"output starting inside the input", 1, 2, 3, 1, 0, 2},
        {"output starting before the input", 1, 3, 3, 1, 7, 0},
        {"output starting just before the input", 1, 3, 3, 1, 1, 0},
        {"two images, two channels, output at the input", 2, 2, 2, 2, 0, 0},
        {"two images, two channels, output before the input", 2, 2, 2, 2, 30, 3},
        {"two images, two channels, output inside the input", 2, 2, 2, 2, 0, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int oh = c.h + 2, ow = c.w + 2;
        kfm::Layer pad = pooled("pad", 10, {c.n, oh, ow, c.c}, c.at_out, {0});
        pad.parameters = std::vector<kfm::Parameter>{list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0})};
        Loaded l({pooled("x", 1, {c.n, c.h, c.w, c.c}, c.at_in), pad});
        ASSERT_EQ(l.status, 0) << l.streams.err;
        const std::vector<float> x = iota(static_cast<size_t>(c.n * c.h * c.w * c.c), 1.0f);
        kfm_test::write_floats(l.t(0), x);
        std::vector<float> want(static_cast<size_t>(c.n * oh * ow * c.c), 0.0f);
        for (int b = 0; b < c.n; ++b)
            for (int y = 0; y < c.h; ++y)
                for (int xx = 0; xx < c.w; ++xx)
                    for (int k = 0; k < c.c; ++k)
                        want[static_cast<size_t>(((b * oh + y + 1) * ow + xx + 1) * c.c + k)] =
                            x[static_cast<size_t>(((b * c.h + y) * c.w + xx) * c.c + k)];
        ASSERT_EQ(l.step(1), 0);
        EXPECT_EQ(floats(l.t(1)), want);
    }
}

}  // namespace
