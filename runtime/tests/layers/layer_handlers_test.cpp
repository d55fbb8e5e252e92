// Each layer handler stepped through a small model, with results computed
// here by naive loops.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "context/context_internal.h"
#include "layer_test_util.h"

namespace {

using namespace layer_test;
using kfm::Layer;
using kfm::Parameter;

void expect_near(const std::vector<float>& got, const std::vector<double>& want, double tol = 1e-5)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << i;
        else
            EXPECT_NEAR(got[i], want[i], tol * std::max(1.0, std::fabs(want[i]))) << i;
    }
}

// out[y][x] = bias + sum of w[i][j] * in[y*s + i*d - pad][x*s + j*d - pad],
// zero outside (one channel).
std::vector<double> conv_ref(const std::vector<float>& in, int h, int w, const std::vector<float>& k,
                             int kh, int kw, int oh, int ow, int stride, int dil, int pad, double bias)
{
    std::vector<double> out(static_cast<size_t>(oh * ow));
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            double acc = bias;
            for (int i = 0; i < kh; ++i)
                for (int j = 0; j < kw; ++j) {
                    int yy = y * stride + i * dil - pad, xx = x * stride + j * dil - pad;
                    if (yy >= 0 && yy < h && xx >= 0 && xx < w)
                        acc += static_cast<double>(k[static_cast<size_t>(i * kw + j)]) *
                               in[static_cast<size_t>(yy * w + xx)];
                }
            out[static_cast<size_t>(y * ow + x)] = acc;
        }
    return out;
}

const std::vector<int32_t> kPad1 = {0, 1, 1, 0};

TEST_F(Layers, PadIsAbsorbedByTheConvolutionThatNamesItsInput)
{
    std::vector<float> ones(9, 1.0f);
    Load({input("x", {1, 4, 4, 1}), constant_f32("w", {3, 3, 1, 1}, ones), constant_f32("b", {1}, {0.5f}),
          op("p", NN_LAYER_PAD, {1, 6, 6, 1}, {0}, {list("head", kPad1), list("tail", kPad1)}),
          op("c", NN_LAYER_CONV2D, {1, 4, 4, 1}, {3, 1, 2},
             {list("strides", {1, 1, 1, 1}), integer("alt_input", 0), list("head", kPad1),
              list("tail", kPad1)})});
    const std::vector<float> x = iota(16);
    set(0, x);
    const std::vector<float> sentinel(36, -7.0f);
    set(3, sentinel);
    Streams s;
    EXPECT_EQ(step(3, &s), 0);
    EXPECT_EQ(s.out + s.err, "");
    EXPECT_EQ(get(3), sentinel);  // nothing written
    EXPECT_EQ(step(4, &s), 0);
    EXPECT_EQ(s.out + s.err, "");
    expect_near(get(4), conv_ref(x, 4, 4, ones, 3, 3, 4, 4, 1, 1, 1, 0.5));
}

TEST_F(Layers, PadBeforeALayerReadingAnotherInputWarnsAndPads)
{
    Load({input("x", {1, 2, 2, 1}), input("y", {1, 2, 2, 1}),
          op("p", NN_LAYER_PAD, {1, 4, 4, 1}, {0},
             {list("head", kPad1), list("tail", kPad1), real("value", 3.0f)}),
          op("m", NN_LAYER_POOL2D, {1, 2, 2, 1}, {2},
             {list("ksize", {1, 1, 1, 1}), list("strides", {1, 1, 1, 1}), text("pooling", "MAXIMUM"),
              integer("alt_input", 1)})});
    set(0, {1, 2, 3, 4});
    Streams s;
    EXPECT_EQ(step(2, &s), 0);
    EXPECT_EQ(s.out, "do_pad [p] warning next layer has alt_input 1 which does not match our input 0\n");
    // The CPU pads with zero whatever the value.
    EXPECT_EQ(get(2), (std::vector<float>{0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 4, 0, 0, 0, 0, 0}));
}

TEST_F(Layers, DilationsReplaceOnlyTheHeightAndWidthEntries)
{
    const std::vector<float> x = iota(25), k = iota(9, 0.5f, 0.25f);
    Load({input("x", {1, 5, 5, 1}), constant_f32("w", {3, 3, 1, 1}, k),
          op("d", NN_LAYER_CONV2D, {1, 1, 1, 1}, {0, 1},
             {list("strides", {1, 1, 1, 1}), list("dilations", {7, 2, 2, 7})}),
          op("n", NN_LAYER_CONV2D, {1, 3, 3, 1}, {0, 1}, {list("strides", {1, 1, 1})})});
    set(0, x);
    EXPECT_EQ(step(2), 0);
    expect_near(get(2), conv_ref(x, 5, 5, k, 3, 3, 1, 1, 1, 2, 0, 0.0));
    EXPECT_EQ(step(3), 0);
    expect_near(get(3), conv_ref(x, 5, 5, k, 3, 3, 3, 3, 1, 1, 0, 0.0));
}

TEST_F(Layers, ConvolutionActivationNamesInAnyCase)
{
    const std::vector<float> x = {-1, 2, -3, 4};
    Load({input("x", {1, 2, 2, 1}), constant_f32("w", {1, 1, 1, 1}, {1.0f}),
          op("r", NN_LAYER_CONV2D, {1, 2, 2, 1}, {0, 1},
             {list("strides", {1, 1, 1, 1}), text("activation", "rElU")})});
    set(0, x);
    EXPECT_EQ(step(2), 0);
    EXPECT_EQ(get(2), (std::vector<float>{0, 2, 0, 4}));
}

// The operator called with the pad array the handler is expected to build.
std::vector<float> deconv_direct(nn_tensor* in, nn_tensor* filter, std::vector<int32_t> out_shape,
                                 std::vector<int32_t> pad)
{
    nn_tensor* out = nn_tensor_init(nullptr, nullptr);
    EXPECT_EQ(nn_tensor_alloc(out, NN_TYPE_F32, 4, out_shape.data()), 0);
    const int32_t strides[4] = {1, 2, 2, 1};
    EXPECT_EQ(nn_transpose_conv2d_ex(out, nullptr, in, filter, nullptr, strides, pad.data(), 0), 0);
    std::vector<float> v = floats(out);
    nn_tensor_release(out);
    return v;
}

TEST_F(Layers, DeconvolutionReplacesHeightAndWidthPadsFromTheFilter)
{
    // Filter 3 high and 5 wide: H pads come from dimension 1 ((5 - 1) / 2),
    // W pads from dimension 0 ((3 - 1) / 2).
    const Parameter head = list("head", {0, 9, 9, 0}), tail = list("tail", {0, 9, 9, 0});
    Load({input("x", {1, 3, 3, 1}), constant_f32("w", {3, 5, 1, 1}, iota(15, -1.0f, 0.2f)),
          op("same", NN_LAYER_DECONV2D, {1, 6, 6, 1}, {0, 1}, {list("strides", {1, 2, 2, 1}), head, tail}),
          op("other", NN_LAYER_DECONV2D, {1, 7, 6, 1}, {0, 1}, {list("strides", {1, 2, 2, 1}), head, tail})});
    set(0, iota(9));
    EXPECT_EQ(step(2), 0);
    const std::vector<float> got = get(2);
    EXPECT_EQ(got, deconv_direct(t(0), t(1), {1, 6, 6, 1}, {0, 0, 2, 2, 1, 1, 0, 0}));
    EXPECT_NE(got, deconv_direct(t(0), t(1), {1, 6, 6, 1}, {0, 0, 1, 1, 2, 2, 0, 0}));
    // 3 x 2 is not 7: the H pads become 0; the W pads still follow the filter.
    EXPECT_EQ(step(3), 0);
    EXPECT_EQ(get(3), deconv_direct(t(0), t(1), {1, 7, 6, 1}, {0, 0, 0, 0, 1, 1, 0, 0}));
}

TEST_F(Layers, PoolingReadsThePaddedInputDirectly)
{
    const Parameter k = list("ksize", {1, 3, 3, 1}), s1 = list("strides", {1, 1, 1, 1});
    Load({input("x", {1, 4, 4, 1}),
          op("p", NN_LAYER_PAD, {1, 6, 6, 1}, {0}, {list("head", kPad1), list("tail", kPad1)}),
          op("max", NN_LAYER_POOL2D, {1, 4, 4, 1}, {1},
             {k, s1, text("pooling", "MAXIMUM"), integer("alt_input", 0), list("head", kPad1),
              list("tail", kPad1)}),
          op("avg", NN_LAYER_POOL2D, {1, 4, 4, 1}, {0},
             {k, s1, text("pooling", "AVERAGE"), list("head", {0, 1, 1}), list("tail", {0, 1, 1})})});
    const std::vector<float> x = iota(16);
    set(0, x);
    EXPECT_EQ(step(1), 0);
    EXPECT_EQ(step(2), 0);
    std::vector<float> want(16);
    for (int y = 0; y < 4; ++y)
        for (int c = 0; c < 4; ++c) {
            float m = -1e30f;
            for (int i = -1; i <= 1; ++i)
                for (int j = -1; j <= 1; ++j)
                    if (y + i >= 0 && y + i < 4 && c + j >= 0 && c + j < 4)
                        m = std::max(m, x[static_cast<size_t>((y + i) * 4 + c + j)]);
            want[static_cast<size_t>(y * 4 + c)] = m;
        }
    EXPECT_EQ(get(2), want);
    // Average: the same pad array (lists of 3 fill what they hold).
    EXPECT_EQ(step(3), 0);
    nn_tensor* out = nn_tensor_init(nullptr, nullptr);
    const int32_t shape[4] = {1, 4, 4, 1}, ks[4] = {1, 3, 3, 1}, st[4] = {1, 1, 1, 1};
    const int32_t pad[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    ASSERT_EQ(nn_tensor_alloc(out, NN_TYPE_F32, 4, shape), 0);
    ASSERT_EQ(nn_avgpool_ex(out, t(0), nullptr, ks, st, pad), 0);
    EXPECT_EQ(get(3), floats(out));
    nn_tensor_release(out);
}

TEST_F(Layers, ResizeDefaultsAndIgnoredKeys)
{
    Load({input("x", {1, 2, 2, 1}), op("r", NN_LAYER_RESIZE, {1, 4, 4, 1}, {0}),
          op("r2", NN_LAYER_RESIZE, {1, 4, 4, 1}, {0},
             {bare("mode"), integer("align_corners", 1), integer("half_pixel_centers", 1)})});
    set(0, {1, 2, 3, 4});
    std::vector<float> want(16);
    for (int y = 0; y < 4; ++y)
        for (int c = 0; c < 4; ++c)
            want[static_cast<size_t>(y * 4 + c)] = static_cast<float>(1 + (y / 2) * 2 + c / 2);
    EXPECT_EQ(step(1), 0);
    EXPECT_EQ(get(1), want);
    EXPECT_EQ(step(2), 0);
    EXPECT_EQ(get(2), want);
}

TEST_F(Layers, ReductionsWithAndWithoutAxes)
{
    const std::vector<float> x = iota(12, 0.5f, 0.5f);  // [1, 2, 3, 2]
    Load({input("x", {1, 2, 3, 2}), op("all", NN_LAYER_REDUCE_MEAN, {1}, {0}, {bare("axes")}),
          op("hw", NN_LAYER_REDUCE_SUM, {1, 1, 1, 2}, {0}, {list("axes", {1, 2})}),
          op("max", NN_LAYER_REDUCE_MAX, {1}, {0}, {list("axes", {})})});
    set(0, x);
    double mean = 0, c0 = 0, c1 = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        mean += x[i] / 12.0;
        (i % 2 ? c1 : c0) += x[i];
    }
    EXPECT_EQ(step(1), 0);
    expect_near(get(1), {mean});
    EXPECT_EQ(step(2), 0);
    expect_near(get(2), {c0, c1});
    EXPECT_EQ(step(3), 0);
    expect_near(get(3), {6.0});
}

TEST_F(Layers, SliceBoundsAndTheirZeroFill)
{
    const std::vector<float> x = iota(16);  // [1, 4, 4, 1]
    Load({input("x", {1, 4, 4, 1}),
          op("top", NN_LAYER_SLICE, {1, 2, 4, 1}, {0}, {list("axes", {1}), list("tail", {2})}),
          op("mid", NN_LAYER_SLICE, {1, 2, 2, 1}, {0},
             {list("axes", {1, 2}), list("head", {1, 1}), list("tail", {3, 3})}),
          op("from1", NN_LAYER_SLICE, {1, 4, 3, 1}, {0}, {list("axes", {2}), list("head", {1})}),
          op("whole", NN_LAYER_SLICE, {1, 4, 4, 1}, {0}, {bare("axes"), bare("head")})});
    set(0, x);
    EXPECT_EQ(step(1), 0);
    EXPECT_EQ(get(1), std::vector<float>(x.begin(), x.begin() + 8));
    EXPECT_EQ(step(2), 0);
    EXPECT_EQ(get(2), (std::vector<float>{6, 7, 10, 11}));
    EXPECT_EQ(step(3), 0);  // no tail: to the end of the extent
    EXPECT_EQ(get(3), (std::vector<float>{2, 3, 4, 6, 7, 8, 10, 11, 12, 14, 15, 16}));
    EXPECT_EQ(step(4), 0);
    EXPECT_EQ(get(4), x);
}

TEST_F(Layers, ConcatOfSixteenAndShuffle)
{
    std::vector<Layer> layers;
    std::vector<uint32_t> inputs;
    for (uint32_t i = 0; i < 16; ++i) {
        layers.push_back(input("i" + std::to_string(i), {1, 1, 1, 1}));
        inputs.push_back(i);
    }
    layers.push_back(op("cat", NN_LAYER_CONCAT, {1, 1, 1, 16}, inputs, {integer("axis", 3)}));
    layers.push_back(input("m", {1, 2, 3, 1}));
    layers.push_back(op("tr", NN_LAYER_SHUFFLE, {1, 3, 2, 1}, {17}, {list("axes", {0, 2, 1, 3})}));
    layers.push_back(op("nolist", NN_LAYER_SHUFFLE, {1, 3, 2, 1}, {17}, {bare("axes")}));
    layers.push_back(op("none", NN_LAYER_CONCAT, {1, 1, 1, 2}, {}, {integer("axis", 3)}));
    Load(layers);
    for (size_t i = 0; i < 16; ++i)
        set(i, {static_cast<float>(i * i)});
    EXPECT_EQ(step(16), 0);
    std::vector<float> want;
    for (size_t i = 0; i < 16; ++i)
        want.push_back(static_cast<float>(i * i));
    EXPECT_EQ(get(16), want);
    set(17, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(step(18), 0);
    EXPECT_EQ(get(18), (std::vector<float>{1, 4, 2, 5, 3, 6}));
    // Without a list: length 0 and no list reach the shuffle, which refuses 4 dimensions.
    EXPECT_EQ(step(19), NN_ERROR_INVALID_SHAPE);
    // No inputs: 0 tensors concatenated, nothing written.
    set(20, {5, 6});
    EXPECT_EQ(step(20), 0);
    EXPECT_EQ(get(20), (std::vector<float>{5, 6}));
}

TEST_F(Layers, MatmulTransposesByPresence)
{
    Parameter stored_zero = integer("transpose_b", 0);
    Load({input("a", {2, 3}), input("b", {2, 3}), op("m", NN_LAYER_MATMUL, {2, 2}, {0, 1}, {stored_zero})});
    const std::vector<float> a = {1, 2, 3, 4, 5, 6}, b = {0.5f, -1, 2, 3, 0, -2};
    set(0, a);
    set(1, b);
    EXPECT_EQ(step(2), 0);
    std::vector<double> want(4);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
            for (int k = 0; k < 3; ++k)
                want[static_cast<size_t>(i * 2 + j)] += a[static_cast<size_t>(i * 3 + k)] * b[static_cast<size_t>(j * 3 + k)];
    expect_near(get(2), want);
}

TEST_F(Layers, LinearAndDenseInFloat)
{
    const std::vector<float> x = {1, -2, 3};
    const std::vector<float> wl = {1, 0, 1, -1, 1, 0};         // [2, 3]: one row per output
    const std::vector<float> wd = {1, -1, 0, 1, 1, 0};         // [3, 2]
    Load({input("x", {1, 3}), constant_f32("wl", {2, 3}, wl), constant_f32("wd", {3, 2}, wd),
          constant_f32("b", {2}, {0.5f, -0.5f}),
          op("lin", NN_LAYER_LINEAR, {1, 2}, {0, 1, 3}),
          op("den", NN_LAYER_DENSE, {1, 2}, {0, 2}, {text("activation", "relu")})});
    set(0, x);
    EXPECT_EQ(step(4), 0);
    expect_near(get(4), {1 + 3 + 0.5, -1 - 2 - 0.5});
    EXPECT_EQ(step(5), 0);
    expect_near(get(5), {std::max(0.0, 1.0 + 3.0), std::max(0.0, -1.0 - 2.0)});
}

struct Eltwise {
    const char* name;
    int16_t type;
    std::vector<Parameter> params;
    bool binary;
    double (*ref)(double a, double b);
};

double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-v)); }

TEST_F(Layers, ElementWiseAndActivationLayers)
{
    const std::vector<Eltwise> table = {
        {"add", NN_LAYER_ADD, {}, true, [](double a, double b) { return a + b; }},
        {"subtract", NN_LAYER_SUBTRACT, {}, true, [](double a, double b) { return a - b; }},
        {"multiply", NN_LAYER_MULTIPLY, {}, true, [](double a, double b) { return a * b; }},
        {"divide", NN_LAYER_DIVIDE, {}, true, [](double a, double b) { return a / b; }},
        {"prelu", NN_LAYER_PRELU, {}, true, [](double a, double b) { return a < 0 ? a * b : a; }},
        {"abs", NN_LAYER_ABS, {}, false, [](double a, double) { return std::fabs(a); }},
        {"sqrt", NN_LAYER_SQRT, {}, false, [](double a, double) { return std::sqrt(std::fabs(a)); }},
        {"log", NN_LAYER_LOG, {}, false, [](double a, double) { return std::log(std::fabs(a)); }},
        {"exp", NN_LAYER_EXP, {}, false, [](double a, double) { return std::exp(a); }},
        {"sigmoid", NN_LAYER_SIGMOID, {}, false, [](double a, double) { return sigmoid(a); }},
        {"tanh", NN_LAYER_TANH, {}, false, [](double a, double) { return std::tanh(a); }},
        {"relu", NN_LAYER_RELU, {}, false, [](double a, double) { return std::max(0.0, a); }},
        {"relu6", NN_LAYER_RELU6, {}, false, [](double a, double) { return std::min(6.0, std::max(0.0, a)); }},
        {"leaky", NN_LAYER_LEAKY_RELU, {real("alpha", 0.1f)}, false,
         [](double a, double) { return a < 0 ? a * static_cast<double>(0.1f) : a; }},
        {"leaky0", NN_LAYER_LEAKY_RELU, {}, false, [](double a, double) { return std::max(0.0, a); }},
        {"swish", NN_LAYER_SWISH, {bare("beta"), bare("hard")}, false,
         [](double a, double) { return a * std::min(6.0, std::max(0.0, a + 3.0)) / 6.0; }},  // hard swish
        {"rsqrt", NN_LAYER_RSQRT, {}, false, [](double a, double) { return 1.0 / std::sqrt(std::fabs(a)); }},
        {"rsqrt_eps", NN_LAYER_RSQRT, {real("epsilon", 2.0f)}, false,
         [](double a, double) { return 1.0 / std::sqrt(std::max(std::fabs(a), 2.0)); }},
        {"rsqrt_bare", NN_LAYER_RSQRT, {bare("epsilon")}, false,
         [](double a, double) { return 1.0 / std::sqrt(std::fabs(a)); }},
    };
    const std::vector<float> a = {-2.0f, -0.5f, 0.25f, 7.0f}, b = {1.0f, 2.0f, 4.0f, 0.5f};
    const std::vector<float> positive = {0.25f, 1.0f, 4.0f, 9.0f};
    for (const Eltwise& e : table) {
        SCOPED_TRACE(e.name);
        const bool pos = e.type == NN_LAYER_SQRT || e.type == NN_LAYER_RSQRT;
        const std::vector<float>& x = pos ? positive : a;
        Load({input("a", {1, 4}), input("b", {1, 4}),
              op(e.name, e.type, {1, 4}, e.binary ? std::vector<uint32_t>{0, 1} : std::vector<uint32_t>{0},
                 e.params)});
        set(0, x);
        set(1, b);
        Streams s;
        EXPECT_EQ(step(2, &s), 0);
        EXPECT_EQ(s.out + s.err, "");
        std::vector<double> want;
        for (size_t i = 0; i < 4; ++i)
            want.push_back(e.ref(x[i], b[i]));
        expect_near(get(2), want, 1e-4);
        nn_context_release(ctx);
        ctx = nullptr;
    }
}

TEST_F(Layers, SoftmaxAndBatchnorm)
{
    Load({input("x", {1, 4}), op("sm", NN_LAYER_SOFTMAX, {1, 4}, {0}), constant_f32("mean", {4}, {1, 2, 3, 4}),
          constant_f32("var", {4}, {1, 4, 0.25f, 9}), constant_f32("off", {4}, {0, 1, 0, -1}),
          constant_f32("scale", {4}, {1, 2, 3, 4}), constant_f32("eps", {1}, {0.0f}),
          op("bn", NN_LAYER_BATCHNORM, {1, 4}, {0, 2, 3, 4, 5, 6})});
    const std::vector<float> x = {1, -1, 0.5f, 2};
    set(0, x);
    EXPECT_EQ(step(1), 0);
    double sum = 0;
    for (float v : x)
        sum += std::exp(v);
    std::vector<double> sm;
    for (float v : x)
        sm.push_back(std::exp(v) / sum);
    expect_near(get(1), sm);
    EXPECT_EQ(step(7), 0);
    const double mean[] = {1, 2, 3, 4}, var[] = {1, 4, 0.25, 9}, off[] = {0, 1, 0, -1}, sc[] = {1, 2, 3, 4};
    std::vector<double> bn;
    for (int i = 0; i < 4; ++i)
        bn.push_back((x[static_cast<size_t>(i)] - mean[i]) * sc[i] / std::sqrt(var[i]) + off[i]);
    expect_near(get(7), bn);
}

TEST_F(Layers, SvmKernelAndCenternetReachTheirOperators)
{
    // x [1, 2]; support vectors [3, 2]; class counts {1, 2}.
    Load({input("x", {1, 2}), constant_f32("sv", {3, 2}, {1, 0, 0, 1, 1, 1}), constant_f32("n", {2}, {1, 2}),
          op("k", NN_LAYER_SVM_UPDATE_KERNEL, {2, 3}, {0, 1, 2}),
          input("heat", {1, 2, 2, 1}), input("off", {1, 2, 2, 2}), input("size", {1, 2, 2, 2}),
          op("cn", NN_LAYER_DECODE_CENTERNET, {4, 6}, {4, 5, 6})});
    set(0, {2, 3});
    EXPECT_EQ(step(3), 0);
    EXPECT_EQ(get(3), (std::vector<float>{2, 0, 0, 0, 3, 5}));

    set(4, {0.1f, 0.9f, 0.2f, 0.3f});
    set(5, iota(8, 0.0f, 0.125f));
    set(6, iota(8, 1.0f, 0.5f));
    set(7, std::vector<float>(24, -1.0f));
    EXPECT_EQ(step(7), 0);
    nn_tensor* out = nn_tensor_init(nullptr, nullptr);
    const int32_t shape[2] = {4, 6};
    ASSERT_EQ(nn_tensor_alloc(out, NN_TYPE_F32, 2, shape), 0);
    kfm_test::write_floats(out, std::vector<float>(24, -1.0f));
    ASSERT_EQ(nn_decode_centernet(t(4), t(5), t(6), nn_context_cache(ctx), out), 0);
    EXPECT_EQ(get(7), floats(out));
    EXPECT_NE(get(7), std::vector<float>(24, -1.0f));
    nn_tensor_release(out);
}

TEST_F(Layers, GruPassesItsEightInputsInOrderWithTheLoadsState)
{
    // I = 2, H = 2, G = 4: gate weights [I + H, G], input weights [I, H],
    // recurrent weights [H, H].
    std::vector<Layer> layers = {
        input("x", {1, 2}), input("h", {1, 2}), constant_f32("gw", {4, 4}, iota(16, -0.4f, 0.05f)),
        constant_f32("gb", {4}, {0.1f, -0.1f, 0.2f, 0.0f}), constant_f32("iw", {2, 2}, {0.3f, -0.2f, 0.5f, 0.1f}),
        constant_f32("ib", {2}, {0.05f, -0.05f}), constant_f32("rw", {2, 2}, {-0.3f, 0.4f, 0.2f, 0.6f}),
        constant_f32("rb", {2}, {0.0f, 0.1f}), op("g", NN_LAYER_GRU, {1, 2}, {0, 1, 2, 3, 4, 5, 6, 7})};
    Load(layers);
    nn_context* first = ctx;
    const kfm_test::ReadOnlyModel first_model = buf;  // the bytes stay while first holds them
    ctx = nullptr;
    Load(layers);
    nn_context* second = ctx;
    for (nn_context* c : {first, second}) {
        kfm_test::write_floats(nn_context_tensor_index(c, 0), {0.7f, -1.2f});
        kfm_test::write_floats(nn_context_tensor_index(c, 1), {0.25f, -0.5f});
    }
    ctx = first;
    EXPECT_EQ(step(8), 0);
    auto at = [&](size_t i) { return nn_context_tensor_index(second, i); };
    ASSERT_EQ(nn_gru(at(8), at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7), second->gru), 0);
    EXPECT_EQ(get(8), floats(at(8)));
    EXPECT_EQ(get(1), floats(at(1)));
    EXPECT_NE(get(8), (std::vector<float>{0, 0}));
    nn_context_release(first);
    ctx = second;  // released by the fixture, with the buffer it reads
}

}  // namespace
