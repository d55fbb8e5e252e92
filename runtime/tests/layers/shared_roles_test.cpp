// One quantised tensor in two roles of a model: the data input and the filter
// of one convolution, or a constant feeding operators that prepare it
// differently.  Each role keeps the auxiliary objects it makes apart from the
// other's, so a run neither frees what the other still uses nor reads arrays
// sized for the other, and the model bytes stay as they were.  Results are
// checked against naive double-precision loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "layer_test_util.h"

namespace {

using namespace layer_test;
using kfm::Layer;

// Quantisation of the shared tensor and of every output.
constexpr float kSharedScale = 0.5f;
constexpr float kOutScale = 0.25f;
constexpr int32_t kOutZero = -2;

double real_of(int8_t q, float scale, int32_t zero) { return (q - zero) * static_cast<double>(scale); }

int8_t quantise(double v, float scale, int32_t zero)
{
    double q = std::round(v / scale) + zero;
    return static_cast<int8_t>(std::min(127.0, std::max(-128.0, q)));
}

struct Shape4 {
    int n, h, w, c;
    size_t at(int a, int b, int x, int d) const
    {
        return static_cast<size_t>(((a * h + b) * w + x) * c + d);
    }
};

// NHWC convolution without padding, filter [KH, KW, Cin, Cout]: real values.
std::vector<double> conv_ref(const std::vector<double>& in, Shape4 is, const std::vector<double>& f,
                             Shape4 fs, Shape4 os, int stride)
{
    std::vector<double> out(static_cast<size_t>(os.n * os.h * os.w * os.c), 0.0);
    for (int n = 0; n < os.n; ++n)
        for (int y = 0; y < os.h; ++y)
            for (int x = 0; x < os.w; ++x)
                for (int co = 0; co < os.c; ++co) {
                    double acc = 0;
                    for (int ky = 0; ky < fs.n; ++ky)
                        for (int kx = 0; kx < fs.h; ++kx)
                            for (int ci = 0; ci < fs.w; ++ci) {
                                const int iy = y * stride + ky, ix = x * stride + kx;
                                if (iy < is.h && ix < is.w)
                                    acc += in[is.at(n, iy, ix, ci)] * f[fs.at(ky, kx, ci, co)];
                            }
                    out[os.at(n, y, x, co)] = acc;
                }
    return out;
}

// Transposed convolution, stride 1, no padding: every input pixel spreads
// over the window of the filter turned by half a turn.
std::vector<double> deconv_ref(const std::vector<double>& in, Shape4 is, const std::vector<double>& f,
                               Shape4 fs, Shape4 os)
{
    std::vector<double> out(static_cast<size_t>(os.n * os.h * os.w * os.c), 0.0);
    for (int y = 0; y < is.h; ++y)
        for (int x = 0; x < is.w; ++x)
            for (int ci = 0; ci < is.c; ++ci)
                for (int r = 0; r < fs.n; ++r)
                    for (int s = 0; s < fs.h; ++s) {
                        const int oy = y + r, ox = x + s;
                        if (oy >= os.h || ox >= os.w)
                            continue;
                        for (int co = 0; co < os.c; ++co)
                            out[os.at(0, oy, ox, co)] +=
                                in[is.at(0, y, x, ci)] * f[fs.at(fs.n - 1 - r, fs.h - 1 - s, ci, co)];
                    }
    return out;
}

std::vector<int8_t> values(size_t n, int seed)
{
    std::vector<int8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<int8_t>(static_cast<int>((i * 5 + static_cast<size_t>(seed) * 11) % 17) - 8);
    return v;
}

std::vector<double> reals(const std::vector<int8_t>& q, float scale, int32_t zero)
{
    std::vector<double> r;
    for (int8_t v : q)
        r.push_back(real_of(v, scale, zero));
    return r;
}

Layer q_out(Layer l, uint32_t offset, float scale = kOutScale)
{
    return pooled(quantised(std::move(l), NN_TYPE_I8, {scale}, {kOutZero}), offset);
}

void expect_quantised(const std::vector<int8_t>& got, const std::vector<double>& real, float scale)
{
    ASSERT_EQ(got.size(), real.size());
    for (size_t i = 0; i < real.size(); ++i)
        EXPECT_NEAR(got[i], quantise(real[i], scale, kOutZero), 1.0) << i;
}

// Runs the loaded model twice (the second run reuses what the first made),
// checking the status, the results and that the model bytes never change.
class SharedRoles : public Layers {
protected:
    void LoadWith(std::vector<Layer> layers, size_t cache)
    {
        Load(std::move(layers), 1 << 16, cache);
        original.assign(buf.data(), buf.data() + buf.size());
    }
    void RunTwice(const std::function<void()>& check)
    {
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run);
            int status = -1;
            Streams s = capture([&] { status = nn_context_run(ctx); });
            ASSERT_EQ(status, 0) << s.err << s.out;
            check();
            EXPECT_TRUE(std::equal(original.begin(), original.end(), buf.data()));
        }
    }
    void Reset()
    {
        nn_context_release(ctx);
        ctx = nullptr;
    }
    std::vector<uint8_t> original;
};

// The data input of a convolution is its filter: inputs {k, k}, or an
// "alt_input" naming the filter layer; k a constant or an input layer; the
// direct variant (no cache), the GEMM variant (a cache) and the transposed
// convolution; k also read by an element-wise layer before (which keeps a
// FLOAT32 copy of k as its single auxiliary object).
TEST_F(SharedRoles, OneTensorAsDataInputAndFilter)
{
    const Shape4 ks = {2, 2, 2, 2};  // conv: input N,H,W,Cin = filter KH,KW,Cin,Cout
    const Shape4 ds = {1, 2, 2, 2};  // deconv: input [1,2,2,2], filter [1,2,2,2]
    struct Case {
        const char* what;
        bool deconv;
        bool constant;  // k is a constant (else an input layer)
        bool alt;       // the conv names k by "alt_input", its in0 another layer
        size_t cache;
        bool after_eltwise = false;  // an element-wise layer read k first
    };
    const Case cases[] = {
        {"conv {k, k}, direct", false, true, false, 0},
        {"conv {k, k}, GEMM", false, true, false, 1 << 16},
        {"conv alt_input naming the filter, direct", false, true, true, 0},
        {"conv {x, x} of an input layer, direct", false, false, false, 0},
        {"conv {k, k} after an element-wise layer read k", false, true, false, 0, true},
        {"deconv {k, k}", true, true, false, 0},
        {"deconv {x, x} of an input layer", true, false, false, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Shape4 s = k.deconv ? ds : ks;
        const std::vector<int32_t> shape = {s.n, s.h, s.w, s.c};
        const std::vector<int8_t> q = values(static_cast<size_t>(s.n * s.h * s.w * s.c), k.deconv ? 3 : 1);
        Layer shared = k.constant
                           ? constant_q8("k", NN_TYPE_I8, shape, q, {kSharedScale}, {0})
                           : pooled(quantised(input("k", shape), NN_TYPE_I8, {kSharedScale}, {0}), 0);
        const Shape4 os = k.deconv ? Shape4{1, 2, 2, 2} : Shape4{2, 1, 1, 2};
        std::vector<kfm::Parameter> params = {list("strides", {1, 1, 1, 1})};
        std::vector<uint32_t> inputs = {0, 0};
        std::vector<Layer> layers = {shared};
        if (k.alt) {
            layers.push_back(pooled(quantised(input("other", shape), NN_TYPE_I8, {1.0f}, {0}), 8));
            params.push_back(integer("alt_input", 0));
            inputs = {1, 0};
        }
        if (k.after_eltwise)
            layers.push_back(q_out(op("r", NN_LAYER_RELU, shape, {0}), 8));
        layers.push_back(q_out(op("c", k.deconv ? NN_LAYER_DECONV2D : NN_LAYER_CONV2D,
                                  {os.n, os.h, os.w, os.c}, inputs, params),
                               4));
        LoadWith(layers, k.cache);
        if (!k.constant)
            set_q<int8_t>(0, q);
        const std::vector<double> r = reals(q, kSharedScale, 0);
        const std::vector<double> want = k.deconv ? deconv_ref(r, s, r, s, os) : conv_ref(r, s, r, s, os, 1);
        RunTwice([&] { expect_quantised(kfm_test::elements<int8_t>(t(layers.size() - 1)), want, kOutScale); });
        Reset();
    }
}

// Both operands of an element-wise layer are one quantised tensor: the
// operator dequantises it once into one view for both.
TEST_F(SharedRoles, OneTensorAsBothOperandsOfAnElementWiseLayer)
{
    struct Case {
        const char* what;
        int16_t type;
        std::function<double(double)> f;
    };
    const Case cases[] = {
        {"prelu x by the slope x", NN_LAYER_PRELU, [](double x) { return x > 0 ? x : x * x; }},
        {"add", NN_LAYER_ADD, [](double x) { return x + x; }},
        {"multiply", NN_LAYER_MULTIPLY, [](double x) { return x * x; }},
    };
    const std::vector<int8_t> q = {3, 8, -4, 1, -7, 0};
    for (const Case& k : cases) {
        for (bool constant : {true, false}) {
            SCOPED_TRACE(std::string(k.what) + (constant ? ", constant" : ", input layer"));
            Layer shared = constant ? constant_q8("k", NN_TYPE_I8, {2, 3}, q, {kSharedScale}, {0})
                                    : pooled(quantised(input("k", {2, 3}), NN_TYPE_I8, {kSharedScale}, {0}), 0);
            LoadWith({shared, q_out(op("e", k.type, {2, 3}, {0, 0}), 4)}, 0);
            if (!constant)
                set_q<int8_t>(0, q);
            std::vector<double> want;
            for (int8_t v : q)
                want.push_back(k.f(real_of(v, kSharedScale, 0)));
            RunTwice([&] { expect_quantised(kfm_test::elements<int8_t>(t(1)), want, kOutScale); });
            Reset();
        }
    }
}

// One quantised constant feeding two operators that size or scale its
// prepared arrays differently: each consumer gets arrays made for it.
TEST_F(SharedRoles, OneConstantPreparedForTwoConsumers)
{
    // w [4, 4, 1, 1]: a conv2d filter of one output channel, or dense
    // weights [4, 4] of four output columns.
    const std::vector<int8_t> wq = values(16, 2);
    const std::vector<double> w = reals(wq, 0.1f, 0);
    const std::vector<int8_t> xq = values(16, 4), vq = values(4, 5);
    const std::vector<double> x = reals(xq, kSharedScale, 0), v = reals(vq, kSharedScale, 0);
    auto conv = [&](const std::string& name, uint32_t offset, float scale) {
        return q_out(op(name, NN_LAYER_CONV2D, {1, 1, 1, 1}, {0, 1}, {list("strides", {1, 1, 1, 1})}), offset,
                     scale);
    };
    auto dense = [&](uint32_t input, uint32_t offset) {
        return q_out(op("d", NN_LAYER_DENSE, {1, 4}, {input, 1}), offset);
    };
    const Layer xl = pooled(quantised(input("x", {1, 4, 4, 1}), NN_TYPE_I8, {kSharedScale}, {0}), 0);
    const Layer vl = pooled(quantised(input("v", {1, 4}), NN_TYPE_I8, {kSharedScale}, {0}), 2);
    const Layer wl = constant_q8("w", NN_TYPE_I8, {4, 4, 1, 1}, wq, {0.1f}, {0});
    const std::vector<double> conv_want = conv_ref(x, {1, 4, 4, 1}, w, {4, 4, 1, 1}, {1, 1, 1, 1}, 1);
    std::vector<double> dense_want(4, 0.0);
    for (int n = 0; n < 4; ++n)
        for (int kk = 0; kk < 4; ++kk)
            dense_want[static_cast<size_t>(n)] += v[static_cast<size_t>(kk)] * w[static_cast<size_t>(kk * 4 + n)];

    struct Case {
        const char* what;
        std::vector<Layer> layers;
        std::vector<std::pair<size_t, std::vector<double>>> outputs;
        std::vector<float> scales;
    };
    const std::vector<Case> cases = {
        {"conv2d then dense", {xl, wl, vl, conv("c", 4, kOutScale), dense(2, 5)},
         {{3, conv_want}, {4, dense_want}}, {kOutScale, kOutScale}},
        {"dense then conv2d", {xl, wl, vl, dense(2, 5), conv("c", 4, kOutScale)},
         {{3, dense_want}, {4, conv_want}}, {kOutScale, kOutScale}},
        {"two conv2d of other output scales", {xl, wl, conv("c", 4, kOutScale), conv("e", 5, 0.125f)},
         {{2, conv_want}, {3, conv_want}}, {kOutScale, 0.125f}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        LoadWith(k.layers, 1 << 16);
        set_q<int8_t>(0, xq);
        if (k.layers.size() > 4)
            set_q<int8_t>(2, vq);
        RunTwice([&] {
            for (size_t i = 0; i < k.outputs.size(); ++i)
                expect_quantised(kfm_test::elements<int8_t>(t(k.outputs[i].first)), k.outputs[i].second,
                                 k.scales[i]);
        });
        Reset();
    }
}

// Arrays the preparation made for a convolution of one output channel are
// refused by a dense product of four columns called on them directly (the
// dense layer itself rebuilds them first).
TEST_F(SharedRoles, DenseRefusesArraysPreparedForFewerColumns)
{
    Load({pooled(quantised(input("x", {1, 4, 4, 1}), NN_TYPE_I8, {kSharedScale}, {0}), 0),
          constant_q8("w", NN_TYPE_I8, {4, 4, 1, 1}, values(16, 2), {0.1f}, {0}),
          pooled(quantised(input("v", {1, 4}), NN_TYPE_I8, {kSharedScale}, {0}), 2),
          q_out(op("c", NN_LAYER_CONV2D, {1, 1, 1, 1}, {0, 1}, {list("strides", {1, 1, 1, 1})}), 4),
          q_out(op("d", NN_LAYER_DENSE, {1, 4}, {2, 1}), 5)});
    ASSERT_EQ(step(3), 0);
    set_q<int8_t>(4, {9, 9, 9, 9});
    EXPECT_EQ(nn_dense(t(4), t(2), t(1), nullptr, 0), NN_ERROR_INVALID_QUANTIZATION);
    EXPECT_EQ(kfm_test::elements<int8_t>(t(4)), (std::vector<int8_t>{9, 9, 9, 9}));
    EXPECT_EQ(step(4), 0);
}

}  // namespace
