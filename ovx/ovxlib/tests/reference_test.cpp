// Convolution, pooling, fully connected, softmax and mean reduction against
// plain double-precision loops written here over NHWC images and
// [KH, KW, Cin, Cout] filters, the model file's own layouts.
#include <cmath>
#include <random>

#include "graph_fixture.h"

namespace {

using ovxtest::affine;
using ovxtest::attr;

std::vector<float> random_values(size_t n, uint32_t seed, float lo = -1, float hi = 1)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float &x : v)
        x = dist(gen);
    return v;
}

// An NHWC image [N, H, W, C] held as the stand-in's [W, H, C, N] sizes.
struct Image {
    int n, h, w, c;
    std::vector<double> v;  // NHWC order
    double at(int b, int y, int x, int ch) const { return v[((size_t(b) * h + y) * w + x) * c + ch]; }
    std::vector<float> as_whcn() const
    {
        std::vector<float> out(v.size());
        for (int b = 0; b < n; ++b)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int ch = 0; ch < c; ++ch)
                        out[x + size_t(w) * (y + size_t(h) * (ch + size_t(c) * b))] = float(at(b, y, x, ch));
        return out;
    }
};

Image image(int n, int h, int w, int c, uint32_t seed)
{
    Image im{n, h, w, c, {}};
    for (float x : random_values(size_t(n) * h * w * c, seed))
        im.v.push_back(x);
    return im;
}

struct ConvCase {
    const char *name;
    int h, w, cin, kh, kw, cout;
    int stride_h, stride_w, dil_h, dil_w;
    int top, bottom, left, right;
    int multiplier;  // 0: ordinary convolution
    // Depthwise weights listed [KW, KH, Cin, multiplier] instead of
    // [KW, KH, 1, Cout]: the same bytes, output channel ci * multiplier + j.
    bool split = false;
};

void PrintTo(const ConvCase &c, std::ostream *os) { *os << c.name; }

ovxlib_tensor_attr weights_attr(const ConvCase &c, int32_t type = OVXLIB_TYPE_FLOAT32, ovxlib_quant q = {})
{
    const uint32_t cin_w = c.multiplier ? 1 : uint32_t(c.cin);
    if (c.split)
        return attr({uint32_t(c.kw), uint32_t(c.kh), uint32_t(c.cin), uint32_t(c.multiplier)}, type, q);
    return attr({uint32_t(c.kw), uint32_t(c.kh), cin_w, uint32_t(c.cout)}, type, q);
}

int out_size(int in, int pads, int k, int d, int s) { return (in + pads - ((k - 1) * d + 1)) / s + 1; }

// out[b][oy][ox][co], filter [KH, KW, Cin_w, Cout].
std::vector<double> conv_reference(const Image &in, const std::vector<float> &filter, const std::vector<float> &bias,
                                   const ConvCase &c, int oh, int ow)
{
    std::vector<double> out;
    const int cin_w = c.multiplier ? 1 : c.cin;
    for (int b = 0; b < in.n; ++b)
        for (int oy = 0; oy < oh; ++oy)
            for (int ox = 0; ox < ow; ++ox)
                for (int co = 0; co < c.cout; ++co) {
                    double sum = bias[co];
                    for (int ky = 0; ky < c.kh; ++ky)
                        for (int kx = 0; kx < c.kw; ++kx)
                            for (int ci = 0; ci < cin_w; ++ci) {
                                const int y = oy * c.stride_h - c.top + ky * c.dil_h;
                                const int x = ox * c.stride_w - c.left + kx * c.dil_w;
                                if (y < 0 || y >= in.h || x < 0 || x >= in.w)
                                    continue;
                                const int ch = c.multiplier ? co / c.multiplier : ci;
                                sum += in.at(b, y, x, ch) * filter[((size_t(ky) * c.kw + kx) * cin_w + ci) * c.cout + co];
                            }
                    out.push_back(sum);
                }
    return out;
}

// Stand-in output [W, H, C, N] back into NHWC order.
template <typename T>
std::vector<double> to_nhwc(const std::vector<T> &whcn, int n, int h, int w, int c, double scale = 1, double zero = 0)
{
    std::vector<double> out;
    for (int b = 0; b < n; ++b)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int ch = 0; ch < c; ++ch)
                    out.push_back((double(whcn[x + size_t(w) * (y + size_t(h) * (ch + size_t(c) * b))]) - zero) * scale);
    return out;
}

class Conv : public ovxtest::GraphTest, public ::testing::WithParamInterface<ConvCase> {
protected:
    ovxlib_node *add_conv(ovxlib_tensor_id in, ovxlib_tensor_id w, ovxlib_tensor_id b, ovxlib_tensor_id out)
    {
        const ConvCase &c = GetParam();
        ovxlib_node *n = node(OVXLIB_OP_CONV2D, {in, w, b}, out);
        ovxlib_conv_param &p = n->param.conv;
        p.ksize[0] = c.kw, p.ksize[1] = c.kh;
        p.stride[0] = c.stride_w, p.stride[1] = c.stride_h;
        p.dilation[0] = c.dil_w, p.dilation[1] = c.dil_h;
        p.pad[0] = c.left, p.pad[1] = c.right, p.pad[2] = c.top, p.pad[3] = c.bottom;
        p.weights = c.cout;
        p.multiplier = c.multiplier;
        return n;
    }
};

TEST_P(Conv, Float32MatchesTheReference)
{
    const ConvCase &c = GetParam();
    const int cin_w = c.multiplier ? 1 : c.cin;
    const int oh = out_size(c.h, c.top + c.bottom, c.kh, c.dil_h, c.stride_h);
    const int ow = out_size(c.w, c.left + c.right, c.kw, c.dil_w, c.stride_w);
    const Image im = image(2, c.h, c.w, c.cin, 1);
    const std::vector<float> filter = random_values(size_t(c.kh) * c.kw * cin_w * c.cout, 2);
    const std::vector<float> bias = random_values(c.cout, 3);

    const ovxlib_tensor_id in = io(attr({uint32_t(c.w), uint32_t(c.h), uint32_t(c.cin), 2}));
    const ovxlib_tensor_id w = constant(weights_attr(c), filter.data(), OVXLIB_FMT_NHWC);
    const ovxlib_tensor_id b = constant(attr({uint32_t(c.cout)}), bias.data());
    const ovxlib_tensor_id out = io(attr({uint32_t(ow), uint32_t(oh), uint32_t(c.cout), 2}));
    add_conv(in, w, b, out);
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, im.as_whcn());
    ASSERT_TRUE(run());

    const std::vector<double> want = conv_reference(im, filter, bias, c, oh, ow);
    const std::vector<double> got = to_nhwc(read<float>(out), 2, oh, ow, c.cout);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(got[i], want[i], 1e-5) << "element " << i;
}

// UINT8 input, INT8 per-channel filter (one scale for split depthwise
// weights), INT32 per-channel bias, UINT8 output: within one step.
TEST_P(Conv, QuantisedIsWithinOneStep)
{
    const ConvCase &c = GetParam();
    const int cin_w = c.multiplier ? 1 : c.cin;
    const int oh = out_size(c.h, c.top + c.bottom, c.kh, c.dil_h, c.stride_h);
    const int ow = out_size(c.w, c.left + c.right, c.kw, c.dil_w, c.stride_w);
    const float in_scale = 1.0f / 64, out_scale = 1.0f / 16;
    const int32_t in_zero = 120, out_zero = 128;
    std::mt19937 gen(7);
    std::vector<uint8_t> q_in(size_t(2) * c.h * c.w * c.cin);
    for (uint8_t &x : q_in)
        x = uint8_t(gen() % 256);
    std::vector<float> w_scales(c.cout);
    for (int co = 0; co < c.cout; ++co)
        w_scales[co] = c.split ? 0.02f : 0.01f * float(co + 1);
    std::vector<int8_t> q_filter(size_t(c.kh) * c.kw * cin_w * c.cout);
    for (int8_t &x : q_filter)
        x = int8_t(int(gen() % 255) - 127);
    std::vector<int32_t> q_bias(c.cout);
    std::vector<float> b_scales(c.cout);
    for (int co = 0; co < c.cout; ++co) {
        q_bias[co] = int32_t(gen() % 2001) - 1000;
        b_scales[co] = in_scale * w_scales[co];
    }

    ovxlib_quant wq{}, bq{};
    wq.type = bq.type = OVXLIB_QUANT_PER_CHANNEL;
    wq.scales = w_scales.data(), bq.scales = b_scales.data();
    wq.scale_count = bq.scale_count = uint32_t(c.cout);
    wq.channel_dim = 3, bq.channel_dim = 0;
    if (c.split)  // no dimension holds Cout: one scale
        wq = affine(w_scales[0], 0);
    const ovxlib_tensor_id in =
        io(attr({uint32_t(c.w), uint32_t(c.h), uint32_t(c.cin), 2}, OVXLIB_TYPE_UINT8, affine(in_scale, in_zero)));
    const ovxlib_tensor_id w = constant(weights_attr(c, OVXLIB_TYPE_INT8, wq), q_filter.data(), OVXLIB_FMT_NHWC);
    const ovxlib_tensor_id b = constant(attr({uint32_t(c.cout)}, OVXLIB_TYPE_INT32, bq), q_bias.data());
    const ovxlib_tensor_id out =
        io(attr({uint32_t(ow), uint32_t(oh), uint32_t(c.cout), 2}, OVXLIB_TYPE_UINT8, affine(out_scale, out_zero)));
    add_conv(in, w, b, out);
    lists({in}, {out});
    ASSERT_TRUE(ready());

    // The same values in real terms, NHWC, for the reference.
    Image im{2, c.h, c.w, c.cin, {}};
    std::vector<uint8_t> whcn(q_in.size());
    for (int bb = 0; bb < 2; ++bb)
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x)
                for (int ch = 0; ch < c.cin; ++ch) {
                    const uint8_t q = q_in[((size_t(bb) * c.h + y) * c.w + x) * c.cin + ch];
                    im.v.push_back((q - in_zero) * double(in_scale));
                    whcn[x + size_t(c.w) * (y + size_t(c.h) * (ch + size_t(c.cin) * bb))] = q;
                }
    std::vector<float> filter(q_filter.size()), bias(c.cout);
    for (size_t i = 0; i < q_filter.size(); ++i)
        filter[i] = float(q_filter[i] * double(w_scales[i % c.cout]));
    for (int co = 0; co < c.cout; ++co)
        bias[co] = float(q_bias[co] * double(b_scales[co]));
    write(in, whcn);
    ASSERT_TRUE(run());

    const std::vector<double> want = conv_reference(im, filter, bias, c, oh, ow);
    const std::vector<double> got = to_nhwc(read<uint8_t>(out), 2, oh, ow, c.cout, out_scale, out_zero);
    for (size_t i = 0; i < want.size(); ++i) {
        const double clamped = std::fmin(std::fmax(want[i], -out_zero * double(out_scale)),
                                         (255 - out_zero) * double(out_scale));
        ASSERT_NEAR(got[i], clamped, out_scale * 1.0001) << "element " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ovxlib, Conv,
    ::testing::Values(ConvCase{"plain3x3", 5, 6, 3, 3, 3, 4, 1, 1, 1, 1, 0, 0, 0, 0, 0},
                      ConvCase{"asymmetric_pads_and_strides", 7, 6, 2, 3, 2, 3, 2, 1, 1, 1, 1, 0, 0, 2, 0},
                      ConvCase{"dilations", 7, 8, 2, 2, 3, 3, 1, 2, 2, 1, 0, 1, 1, 0, 0},
                      ConvCase{"depthwise", 6, 5, 4, 3, 3, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1},
                      ConvCase{"depthwise_multiplier2_strided", 6, 7, 3, 3, 2, 6, 2, 2, 1, 2, 0, 1, 1, 1, 2},
                      ConvCase{"depthwise_multiplier2_split", 5, 5, 3, 2, 3, 6, 1, 1, 1, 1, 1, 0, 0, 1, 2, true}),
    [](const ::testing::TestParamInfo<ConvCase> &info) { return std::string(info.param.name); });

struct PoolCase {
    const char *name;
    int32_t type;
    int h, w, kh, kw, stride_h, stride_w, top, bottom, left, right;
    bool ceil;
};

void PrintTo(const PoolCase &c, std::ostream *os) { *os << c.name; }

class Pool : public ovxtest::GraphTest, public ::testing::WithParamInterface<PoolCase> {};

int pool_out(int in, int pads, int k, int s, bool ceil, int head)
{
    const int span = in + pads - k;
    int out = (ceil ? (span + s - 1) / s : span / s) + 1;
    if (ceil && (out - 1) * s >= in + head)
        --out;
    return out;
}

TEST_P(Pool, MatchesTheReference)
{
    const PoolCase &c = GetParam();
    const int ch = 3;
    const int oh = pool_out(c.h, c.top + c.bottom, c.kh, c.stride_h, c.ceil, c.top);
    const int ow = pool_out(c.w, c.left + c.right, c.kw, c.stride_w, c.ceil, c.left);
    const Image im = image(1, c.h, c.w, ch, 11);
    const ovxlib_tensor_id in = io(attr({uint32_t(c.w), uint32_t(c.h), ch, 1}));
    const ovxlib_tensor_id out = io(attr({uint32_t(ow), uint32_t(oh), ch, 1}));
    ovxlib_pool_param &p = node(OVXLIB_OP_POOL, {in}, out)->param.pool;
    p.type = c.type;
    p.ksize[0] = c.kw, p.ksize[1] = c.kh;
    p.stride[0] = c.stride_w, p.stride[1] = c.stride_h;
    p.pad[0] = c.left, p.pad[1] = c.right, p.pad[2] = c.top, p.pad[3] = c.bottom;
    p.round_type = c.ceil ? OVXLIB_ROUND_CEIL : OVXLIB_ROUND_FLOOR;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, im.as_whcn());
    ASSERT_TRUE(run());

    std::vector<double> want;
    for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox)
            for (int k = 0; k < ch; ++k) {
                double best = -1e300, sum = 0;
                int inside = 0, in_padded = 0;
                for (int dy = 0; dy < c.kh; ++dy)
                    for (int dx = 0; dx < c.kw; ++dx) {
                        const int y = oy * c.stride_h - c.top + dy, x = ox * c.stride_w - c.left + dx;
                        if (y >= -c.top && y < c.h + c.bottom && x >= -c.left && x < c.w + c.right)
                            ++in_padded;  // padded cells count as zeros
                        if (y < 0 || y >= c.h || x < 0 || x >= c.w)
                            continue;
                        best = std::fmax(best, im.at(0, y, x, k));
                        sum += im.at(0, y, x, k);
                        ++inside;
                    }
                want.push_back(c.type == OVXLIB_POOL_MAX ? best
                               : c.type == OVXLIB_POOL_AVG ? sum / in_padded
                                                           : sum / inside);
            }
    const std::vector<double> got = to_nhwc(read<float>(out), 1, oh, ow, ch);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(got[i], want[i], 1e-6) << "element " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Ovxlib, Pool,
    ::testing::Values(PoolCase{"max_padded", OVXLIB_POOL_MAX, 7, 6, 3, 3, 2, 2, 1, 1, 0, 1, false},
                      PoolCase{"average_counting_pads", OVXLIB_POOL_AVG, 6, 7, 3, 2, 2, 1, 1, 0, 1, 1, false},
                      PoolCase{"average_without_pads", OVXLIB_POOL_AVG_EXCLUDE_PAD, 6, 7, 3, 2, 2, 1, 1, 0, 1, 1,
                               false},
                      PoolCase{"max_ceil", OVXLIB_POOL_MAX, 6, 6, 3, 3, 2, 2, 0, 0, 0, 0, true},
                      // Rounded up, a third window would start in the tail padding: dropped.
                      PoolCase{"average_ceil_last_window", OVXLIB_POOL_AVG_EXCLUDE_PAD, 4, 4, 2, 2, 2, 2, 0, 1, 0, 1,
                               true},
                      PoolCase{"average_1x1_stride2", OVXLIB_POOL_AVG, 5, 4, 1, 1, 2, 2, 0, 0, 0, 0, false}),
    [](const ::testing::TestParamInfo<PoolCase> &info) { return std::string(info.param.name); });

using Reference = ovxtest::GraphTest;

// A window of 2^30 x 2^30 cells over a 1x1 input (a size a model could
// choose): only the input cell is visited.
TEST_F(Reference, HugePoolingWindowsVisitOnlyTheInput)
{
    const uint32_t k = 1u << 30, head = 1u << 29, tail = (1u << 29) - 1;
    const ovxlib_tensor_id in = io(attr({1, 1, 1, 1}));
    std::vector<ovxlib_tensor_id> outs;
    for (int32_t type : {OVXLIB_POOL_MAX, OVXLIB_POOL_AVG_EXCLUDE_PAD, OVXLIB_POOL_AVG}) {
        outs.push_back(io(attr({1, 1, 1, 1})));
        ovxlib_pool_param &p = node(OVXLIB_OP_POOL, {in}, outs.back())->param.pool;
        p.type = type;
        p.ksize[0] = p.ksize[1] = k;
        p.pad[0] = p.pad[2] = head;
        p.pad[1] = p.pad[3] = tail;
    }
    ASSERT_EQ(vsi_nn_SetGraphInputs(graph, &in, 1), 0);
    ASSERT_EQ(vsi_nn_SetGraphOutputs(graph, outs.data(), 3), 0);
    ASSERT_TRUE(ready());
    write<float>(in, {5});
    ASSERT_TRUE(run());
    EXPECT_EQ(read<float>(outs[0])[0], 5.0f);
    EXPECT_EQ(read<float>(outs[1])[0], 5.0f);
    EXPECT_FLOAT_EQ(read<float>(outs[2])[0], float(5.0 / (double(k) * k)));  // padded cells count
}

// x is M rows of K; the model's weights are K rows of N, transposed as the
// graph builder does.
TEST_F(Reference, FullyConnectedMatchesTheReference)
{
    const uint32_t k = 5, n = 4, m = 3;
    const std::vector<float> x = random_values(k * m, 21), kfm_weights = random_values(k * n, 22),
                             bias = random_values(n, 23);
    const ovxlib_tensor_id in = io(attr({k, m})), w = constant(attr({k, n}), kfm_weights.data(), OVXLIB_FMT_NHWC);
    const ovxlib_tensor_id b = constant(attr({n}), bias.data()), out = io(attr({n, m}));
    const uint32_t swap[2] = {1, 0}, sizes[2] = {k, n};
    ASSERT_EQ(vsi_nn_TransposeTensor(graph, vsi_nn_GetTensor(graph, w), swap, 2, sizes), 0);
    node(OVXLIB_OP_FCL2, {in, w, b}, out)->param.fcl.weights = n;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, x);
    ASSERT_TRUE(run());
    const std::vector<float> got = read<float>(out);
    for (uint32_t row = 0; row < m; ++row)
        for (uint32_t j = 0; j < n; ++j) {
            double sum = bias[j];
            for (uint32_t i = 0; i < k; ++i)
                sum += double(x[row * k + i]) * kfm_weights[i * n + j];
            ASSERT_NEAR(got[row * n + j], sum, 1e-5) << row << "," << j;
        }
}

TEST_F(Reference, QuantisedFullyConnectedIsWithinOneStep)
{
    const uint32_t k = 6, n = 3;
    const float xs = 0.05f, ws = 0.02f, os = 0.1f;
    const std::vector<uint8_t> x{0, 17, 128, 200, 255, 90};
    const std::vector<uint8_t> w_rows{10, 250, 128, 0, 77, 199, 30, 60, 90, 120, 150, 180, 255, 1, 128, 129, 5, 33};
    const std::vector<int32_t> bias{100, -2000, 0};
    const ovxlib_tensor_id in = io(attr({k, 1}, OVXLIB_TYPE_UINT8, affine(xs, 100)));
    // Already N rows of K (format 0): no transposition.
    const ovxlib_tensor_id w = constant(attr({k, n}, OVXLIB_TYPE_UINT8, affine(ws, 128)), w_rows.data());
    const ovxlib_tensor_id b = constant(attr({n}, OVXLIB_TYPE_INT32, affine(xs * ws, 0)), bias.data());
    const ovxlib_tensor_id out = io(attr({n, 1}, OVXLIB_TYPE_UINT8, affine(os, 60)));
    node(OVXLIB_OP_FCL, {in, w, b}, out)->param.fcl.weights = n;
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, x);
    ASSERT_TRUE(run());
    const std::vector<uint8_t> got = read<uint8_t>(out);
    for (uint32_t j = 0; j < n; ++j) {
        double sum = bias[j] * double(xs) * ws;
        for (uint32_t i = 0; i < k; ++i)
            sum += (x[i] - 100) * double(xs) * (w_rows[j * k + i] - 128) * ws;
        const double want = std::fmin(std::fmax(sum / os + 60, 0), 255);
        EXPECT_NEAR(got[j], want, 1.0) << j;
    }
}

TEST_F(Reference, SoftmaxRunsOverDimensionZero)
{
    const std::vector<float> x = random_values(15, 31, -4, 4);
    const ovxlib_tensor_id in = io(attr({5, 3})), out = io(attr({5, 3}));
    node(OVXLIB_OP_SOFTMAX, {in}, out);
    lists({in}, {out});
    ASSERT_TRUE(ready());
    write(in, x);
    ASSERT_TRUE(run());
    const std::vector<float> got = read<float>(out);
    for (int row = 0; row < 3; ++row) {
        double total = 0;
        for (int i = 0; i < 5; ++i)
            total += std::exp(double(x[row * 5 + i]));
        for (int i = 0; i < 5; ++i)
            EXPECT_NEAR(got[row * 5 + i], std::exp(double(x[row * 5 + i])) / total, 1e-6);
    }
}

TEST_F(Reference, MeanReductionKeepsOrDropsTheReducedDimensions)
{
    // [W=4, H=3, C=2, N=2]: mean over W and H kept as 1, and over C dropped.
    const uint32_t W = 4, H = 3, C = 2, N = 2;
    const std::vector<float> x = random_values(W * H * C * N, 41);
    const ovxlib_tensor_id in = io(attr({W, H, C, N}));
    const ovxlib_tensor_id spatial = io(attr({1, 1, C, N})), channels = io(attr({W, H, N}));
    static int32_t wh[2] = {1, 0}, c_axis[1] = {2};
    ovxlib_reduce_param &r1 = node(OVXLIB_OP_REDUCE, {in}, spatial)->param.reduce;
    r1.axis = wh, r1.axis_count = 2, r1.keep_dim = 1;
    ovxlib_reduce_param &r2 = node(OVXLIB_OP_REDUCE, {in}, channels)->param.reduce;
    r2.axis = c_axis, r2.axis_count = 1, r2.keep_dim = 0;
    lists({in}, {spatial, channels});
    ASSERT_TRUE(ready());
    write(in, x);
    ASSERT_TRUE(run());
    auto at = [&](uint32_t w, uint32_t h, uint32_t c, uint32_t n) { return double(x[w + W * (h + H * (c + C * n))]); };
    const std::vector<float> s = read<float>(spatial), ch = read<float>(channels);
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t c = 0; c < C; ++c) {
            double sum = 0;
            for (uint32_t h = 0; h < H; ++h)
                for (uint32_t w = 0; w < W; ++w)
                    sum += at(w, h, c, n);
            EXPECT_NEAR(s[c + C * n], sum / (W * H), 1e-6);
        }
    for (uint32_t n = 0; n < N; ++n)
        for (uint32_t h = 0; h < H; ++h)
            for (uint32_t w = 0; w < W; ++w)
                EXPECT_NEAR(ch[w + W * (h + H * n)], (at(w, h, 0, n) + at(w, h, 1, n)) / 2, 1e-6);
}

} // namespace
