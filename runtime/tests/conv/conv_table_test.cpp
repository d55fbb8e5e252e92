// One table of convolution cases run through every CPU variant (1x1, tiled
// GEMM, direct, depthwise) against the reference loops of conv_support.h.
#include <gtest/gtest.h>
#include <omp.h>

#include <string>

#include "conv_support.h"

using namespace conv_test;

namespace {

struct Case {
    const char* name;
    Geom g;
    Q q;
    bool bias;
    int act;
    bool depthwise;
    bool reduce_zero;  // attach "filter_reducezero"
};

// A case's tensors with their reference data.
struct Built {
    Tensor in, filter, bias, out;
    Operands o;
    QParams qp;
};

Built Build(const Case& c, unsigned seed)
{
    const Geom& g = c.g;
    Built b;
    std::mt19937 rng(seed);
    const bool quant = c.q != Q::F32;
    const nn_type t = TypeOf(c.q);
    const int fcin = c.depthwise ? 1 : g.cin;
    const size_t nin = (size_t)g.n * g.h * g.w * g.cin;
    const size_t nf = (size_t)g.kh * g.kw * fcin * g.cout;
    b.in = Tensor(t, {g.n, g.h, g.w, g.cin});
    b.filter = Tensor(t, {g.kh, g.kw, fcin, g.cout});
    b.out = Tensor(t, {g.n, g.Oh(), g.Ow(), g.cout});
    if (!quant) {
        std::uniform_real_distribution<double> u(-1, 1);
        std::vector<float> in(nin), f(nf), bias((size_t)g.cout);
        for (auto& v : in) v = (float)u(rng);
        for (auto& v : f) v = (float)u(rng);
        for (auto& v : bias) v = (float)u(rng);
        b.o.in.assign(in.begin(), in.end());
        b.o.filter.assign(f.begin(), f.end());
        b.o.bias.assign(bias.begin(), bias.end());
        b.in.Set(in);
        b.filter.Set(f);
        if (c.bias) {
            b.bias = Tensor(NN_TYPE_F32, {g.cout});
            b.bias.Set(bias);
        }
        return b;
    }
    const bool u8 = c.q == Q::U8;
    QParams& qp = b.qp;
    qp.s_in = 0.05f;
    qp.z_in = u8 ? 120 : 3;
    qp.z_w = u8 ? 128 : 0;
    qp.z_out = u8 ? 128 : -5;
    if (c.q == Q::I8PC)
        for (int co = 0; co < g.cout; ++co) qp.s_w.push_back(0.01f + 0.003f * (float)co);
    else
        qp.s_w.push_back(0.02f);
    const int taps = g.kh * g.kw * fcin;
    qp.s_out = qp.s_in * qp.s_w[0] * std::sqrt((float)taps) * 5476.0f / 45.0f;
    std::uniform_int_distribution<int> d8(u8 ? 0 : -128, u8 ? 255 : 127);
    std::uniform_int_distribution<int> db(-3000, 3000);
    std::vector<int8_t> si(nin), sf(nf);
    std::vector<uint8_t> ui(nin), uf(nf);
    b.o.qin.resize(nin);
    b.o.qfilter.resize(nf);
    for (size_t i = 0; i < nin; ++i) {
        int v = d8(rng);
        b.o.qin[i] = v;
        si[i] = (int8_t)v;
        ui[i] = (uint8_t)v;
    }
    for (size_t i = 0; i < nf; ++i) {
        int v = d8(rng);
        if (!u8 && v == -128) v = -127;
        b.o.qfilter[i] = v;
        sf[i] = (int8_t)v;
        uf[i] = (uint8_t)v;
    }
    if (u8) {
        b.in.Set(ui);
        b.filter.Set(uf);
    } else {
        b.in.Set(si);
        b.filter.Set(sf);
    }
    b.in.Quant({qp.z_in}, {qp.s_in});
    b.out.Quant({qp.z_out}, {qp.s_out});
    b.filter.Quant({qp.z_w}, qp.s_w, 3);
    std::vector<float> bias_scales;
    for (int co = 0; co < g.cout; ++co) {
        int32_t m, e;
        ref::multiplier(qp.s_in * qp.W(co) / qp.s_out, &m, &e);
        qp.mult.push_back(m);
        qp.shift.push_back(e);
        bias_scales.push_back(qp.s_in * qp.W(co));
    }
    AttachArray(b.filter, "filter_multiplier", qp.mult);
    AttachArray(b.filter, "filter_shifts", qp.shift);
    if (c.reduce_zero) {
        std::vector<int32_t> rz((size_t)g.cout, 0);
        for (size_t i = 0; i < nf; ++i) rz[i % (size_t)g.cout] += b.o.qfilter[i];
        AttachArray(b.filter, "filter_reducezero", rz);
    }
    if (c.bias) {
        b.o.qbias.resize((size_t)g.cout);
        for (auto& v : b.o.qbias) v = db(rng);
        b.bias = Tensor(NN_TYPE_I32, {g.cout});
        b.bias.Set(b.o.qbias);
        if (c.q == Q::I8PC)
            b.bias.Quant({0}, bias_scales);
        else
            b.bias.Quant({0}, {bias_scales[0]});
    }
    return b;
}

enum class Variant { OneByOne, Gemm, Direct, DepthwiseRows, DepthwiseTaps };

const char* VariantName(Variant v)
{
    switch (v) {
    case Variant::OneByOne: return "1x1";
    case Variant::Gemm: return "gemm";
    case Variant::Direct: return "direct";
    case Variant::DepthwiseRows: return "depthwise-rows";
    default: return "depthwise-taps";
    }
}

// The variant nn_conv_ex takes for the case, with or without a cache.
Variant Expected(const Case& c, bool cache)
{
    const Geom& g = c.g;
    if (c.depthwise) {
        bool is3 = g.kh == 3 && g.kw == 3 && g.sh == g.sw && g.sh == 1 && g.dh == 1 &&
                   g.dw == 1 && g.h > 2 && g.w > 2;
        if (c.q == Q::F32 || c.q == Q::U8)
            return is3 && c.q == Q::F32 ? Variant::DepthwiseRows : Variant::DepthwiseTaps;
        return is3 ? Variant::DepthwiseRows : Variant::DepthwiseTaps;
    }
    if (g.kh == 1 && g.kw == 1 && g.sh == 1 && g.sw == 1 && g.top == 0 && g.left == 0 &&
        g.Oh() == g.h && g.Ow() == g.w)
        return Variant::OneByOne;
    return cache ? Variant::Gemm : Variant::Direct;
}

// The quantised rule of the kernel the variant reaches.
Rule RuleOf(const Case& c, Variant v)
{
    const Geom& g = c.g;
    const bool i8 = c.q == Q::I8 || c.q == Q::I8PC;
    if (v == Variant::Direct)
        return Rule::Requantise;
    if (v == Variant::DepthwiseRows)
        return g.cout % 8 == 0 ? Rule::FloatScale : Rule::Integer;
    if (v == Variant::DepthwiseTaps)
        return Rule::Stage;
    const int k = ((g.kh - 1) * g.dh + 1) * ((g.kw - 1) * g.dw + 1) * g.cin;
    int width = g.cout % 16 == 0 ? 16 : g.cout % 8 == 0 ? 8 : g.cout % 4 == 0 ? 4 : 0;
    int rows = v == Variant::OneByOne ? g.n * g.Oh() * g.Ow() : g.Ow();
    bool panel8 = i8 && width >= 8 &&
                  (k / g.cout <= 8 || (c.reduce_zero && rows >= 9 && rows <= 16));
    return panel8 ? Rule::FloatScale : Rule::Integer;
}

// Runs the case once and compares every output value with the reference.
void Check(const Case& c, Variant v, size_t cache_bytes, int threads = 0)
{
    SCOPED_TRACE(std::string(c.name) + " via " + VariantName(v));
    Built b = Build(c, 1234u);
    const Geom& g = c.g;
    Tensor cache;
    if (cache_bytes)
        cache = Tensor(NN_TYPE_U8, {(int32_t)cache_bytes});
    const int32_t strides[4] = {1, g.sh, g.sw, 1};
    const int32_t padding[8] = {0, 0, g.top, g.bottom, g.left, g.right, 0, 0};
    const int32_t dil[4] = {1, g.dh, g.dw, 1};
    if (threads)
        omp_set_num_threads(threads);
    int status = nn_conv_ex(b.out, cache, b.in, b.filter, c.bias ? (nn_tensor*)b.bias : nullptr,
                            strides, padding, dil, c.depthwise ? g.cout : 1, c.act);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(nn_tensor_mapped(b.out), 0);
    EXPECT_EQ(nn_tensor_mapped(b.in), 0);
    EXPECT_EQ(nn_tensor_mapped(b.filter), 0);
    const int oh = g.Oh(), ow = g.Ow();
    const bool quant = c.q != Q::F32;
    std::vector<float> of;
    std::vector<int32_t> oq;
    if (!quant) {
        of = b.out.Get<float>();
    } else if (c.q == Q::U8) {
        auto raw = b.out.Get<uint8_t>();
        oq.assign(raw.begin(), raw.end());
    } else {
        auto raw = b.out.Get<int8_t>();
        oq.assign(raw.begin(), raw.end());
    }
    const Rule rule = RuleOf(c, v);
    int bad = 0;
    for (int n = 0; n < g.n; ++n)
        for (int y = 0; y < oh; ++y)
            for (int x = 0; x < ow; ++x)
                for (int co = 0; co < g.cout; ++co) {
                    size_t oi = (((size_t)n * oh + y) * ow + x) * g.cout + co;
                    Acc a = RefAcc(g, b.o, quant, b.qp, c.depthwise, n, y, x, co);
                    if (!quant) {
                        double bias = c.bias ? b.o.bias[(size_t)co] : 0.0;
                        double want = RefActivation(a.value + bias, c.act);
                        double tol = 1e-5 * (a.magnitude + std::fabs(bias)) + 1e-6;
                        if (std::fabs(of[oi] - want) > tol && bad++ < 5)
                            ADD_FAILURE() << "at " << n << "," << y << "," << x << "," << co
                                          << ": " << of[oi] << " want " << want;
                        continue;
                    }
                    int64_t acc = a.q + (c.bias ? b.o.qbias[(size_t)co] : 0);
                    const bool i8 = c.q != Q::U8;
                    int32_t want;
                    int tol = 0;
                    if (rule == Rule::Requantise || c.act >= 3) {
                        // FLOAT32 work quantised back, then bias and activation by
                        // their operators: a few rounding steps apart.
                        double real = (double)acc * (double)(b.qp.s_in * b.qp.W(co));
                        want = QuantiseReal(RefActivation(real, c.act), b.qp, i8);
                        tol = 2;
                        if (c.depthwise) {
                            // Quantised depthwise kernels leave codes 3-5 unapplied:
                            // the integer value before any activation.
                            want = RefQuant(acc, co, 0, b.qp, rule, i8,
                                            i8 && co < g.cout / 8 * 8);
                            tol = 0;
                        }
                    } else {
                        want = RefQuant(acc, co, c.act, b.qp, rule, i8,
                                        i8 && co < g.cout / 8 * 8);
                    }
                    if (std::abs(oq[oi] - want) > tol && bad++ < 5)
                        ADD_FAILURE() << "at " << n << "," << y << "," << x << "," << co << ": "
                                      << oq[oi] << " want " << want << " (acc " << acc << ")";
                }
    EXPECT_EQ(bad, 0);
}

// g: n h w cin cout kh kw sh sw top bottom left right dh dw
const Case kCases[] = {
    {"f32 3x3 pad1", {1, 5, 7, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, false, false},
    {"f32 3x3 s2 asym", {2, 9, 14, 17, 13, 3, 3, 2, 2, 0, 1, 1, 0, 1, 1}, Q::F32, false, 1, false, false},
    {"f32 5x5 asym", {1, 6, 16, 1, 4, 5, 5, 1, 1, 2, 1, 2, 1, 1, 1}, Q::F32, true, 2, false, false},
    {"f32 1x1", {2, 3, 17, 17, 32, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1}, Q::F32, true, 3, false, false},
    {"f32 1x1 s2", {1, 6, 13, 3, 16, 1, 1, 2, 2, 0, 0, 0, 0, 1, 1}, Q::F32, true, 4, false, false},
    {"f32 1x1 padded", {1, 4, 5, 3, 8, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, false, false},
    {"f32 dilated", {1, 7, 20, 3, 16, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::F32, true, 5, false, false},
    {"f32 ow1 tall", {1, 2, 3, 3, 13, 5, 3, 1, 1, 2, 1, 0, 0, 1, 1}, Q::F32, true, 0, false, false},
    {"i8 ow17", {1, 4, 17, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 1, false, false},
    {"i8pc ow20 n2", {2, 4, 20, 3, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 2, false, false},
    {"u8 ow1", {1, 5, 3, 17, 13, 3, 3, 1, 1, 0, 0, 0, 0, 1, 1}, Q::U8, true, 0, false, false},
    {"i8pc 1x1", {1, 3, 7, 17, 16, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1}, Q::I8PC, true, 1, false, false},
    {"u8 1x1", {2, 2, 5, 3, 8, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1}, Q::U8, false, 2, false, false},
    {"i8 5x5 s2", {1, 9, 9, 1, 32, 5, 5, 2, 2, 1, 2, 2, 1, 1, 1}, Q::I8, false, 2, false, false},
    {"i8pc dilated rz", {1, 6, 16, 3, 8, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::I8PC, true, 1, false, true},
    {"i8pc rz ow7", {1, 4, 7, 17, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 0, false, true},
    {"u8 dilated sigmoid", {1, 7, 9, 3, 4, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2}, Q::U8, false, 3, false, false},
    {"i8 tanh", {1, 4, 7, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 5, false, false},
    // depthwise: cin = cout = CH
    {"dw f32 rows", {2, 6, 6, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 1, true, false},
    {"dw f32 s2", {1, 7, 7, 5, 5, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, Q::F32, true, 2, true, false},
    {"dw f32 h2", {1, 2, 7, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, false, 3, true, false},
    {"dw f32 dilated", {1, 8, 9, 3, 3, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::F32, true, 5, true, false},
    {"dw f32 cut by two", {1, 4, 5, 6, 6, 3, 3, 1, 1, 2, 2, 2, 2, 1, 1}, Q::F32, true, 4, true, false},
    {"dw i8pc rows", {2, 5, 6, 16, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 2, true, false},
    {"dw i8 rows scalar", {1, 5, 5, 13, 13, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 1, true, false},
    {"dw i8pc 5x5", {1, 6, 6, 24, 24, 5, 5, 1, 1, 2, 2, 2, 2, 1, 1}, Q::I8PC, false, 0, true, false},
    {"dw i8 s2 ch12", {1, 7, 8, 12, 12, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, Q::I8, true, 2, true, false},
    {"dw u8", {1, 5, 5, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::U8, true, 1, true, false},
    {"dw i8pc no bias", {1, 4, 5, 16, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, false, 1, true, false},
    {"dw i8 dilated no bias", {1, 7, 7, 9, 9, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::I8, false, 0, true, false},
    {"dw i8pc cut by two", {1, 4, 5, 8, 8, 3, 3, 1, 1, 2, 2, 2, 2, 1, 1}, Q::I8PC, true, 2, true, false},
    {"dw i8 sigmoid", {1, 4, 5, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 3, true, false},
};

TEST(ConvTable, EveryCaseThroughEveryVariant)
{
    for (const Case& c : kCases) {
        Check(c, Expected(c, true), 1 << 20);
        if (!c.depthwise && Expected(c, false) != Variant::OneByOne)
            Check(c, Expected(c, false), 0);
    }
}

// Tile widths 16, 4, 2, 1 (OW 17) and OW itself (OW 20): same results.
TEST(ConvTable, TileWidthsFromTheCacheSize)
{
    const Case f32 = {"tiles f32", {1, 3, 17, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, false, false};
    const Case i8 = {"tiles i8", {1, 3, 17, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 1, false, false};
    const size_t row_f32 = 27 * 4, row_i8 = 27;
    for (int width : {16, 4, 2, 1}) {
        // A tile row must be smaller than the cache: one byte more than the tile.
        Check(f32, Variant::Gemm, (size_t)width * row_f32 + 1);
        Check(i8, Variant::Gemm, (size_t)width * row_i8 + 1);
    }
    const Case wide = {"tiles ow20", {1, 3, 20, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, false, false};
    Check(wide, Variant::Gemm, 20 * row_f32 + 1);
    Check(wide, Variant::Gemm, 16 * row_f32 + 1);  // 10 + 10
}

// Results are bit-identical for 1, 2, 3 and 8 threads.
TEST(ConvTable, ThreadCountsGiveIdenticalBytes)
{
    const Case cases[] = {kCases[1], kCases[3], kCases[9], kCases[19], kCases[25]};
    for (const Case& c : cases) {
        std::vector<std::vector<unsigned char>> results;
        for (int threads : {1, 2, 3, 8}) {
            Built b = Build(c, 99u);
            Tensor cache(NN_TYPE_U8, {1 << 16});
            const int32_t strides[4] = {1, c.g.sh, c.g.sw, 1};
            const int32_t padding[8] = {0, 0, c.g.top, c.g.bottom, c.g.left, c.g.right, 0, 0};
            const int32_t dil[4] = {1, c.g.dh, c.g.dw, 1};
            omp_set_num_threads(threads);
            ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, c.bias ? (nn_tensor*)b.bias : nullptr,
                                 strides, padding, dil, c.depthwise ? c.g.cout : 1, c.act),
                      0);
            results.push_back(b.out.Get<unsigned char>());
            if (c.q == Q::F32) {
                // Without a cache: the direct variant, also split over the threads.
                Built d = Build(c, 99u);
                ASSERT_EQ(nn_conv_ex(d.out, nullptr, d.in, d.filter,
                                     c.bias ? (nn_tensor*)d.bias : nullptr, strides, padding, dil,
                                     c.depthwise ? c.g.cout : 1, c.act),
                          0);
                results.push_back(d.out.Get<unsigned char>());
            }
        }
        const size_t per = c.q == Q::F32 ? 2 : 1;
        for (size_t i = per; i < results.size(); ++i)
            EXPECT_EQ(results[i], results[i % per]) << c.name << " result " << i;
    }
    omp_set_num_threads(4);
}

}  // namespace
