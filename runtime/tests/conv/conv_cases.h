// The case record of the convolution suites: building a case's tensors, the
// variant and output rule it is expected to take, and the check of one call
// against the reference.
#pragma once

#include <gtest/gtest.h>
#include <omp.h>

#include <string>

#include "conv_support.h"

namespace conv_test {

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

inline Built Build(const Case& c, unsigned seed)
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

inline const char* VariantName(Variant v)
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
inline Variant Expected(const Case& c, bool cache)
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
inline Rule RuleOf(const Case& c, Variant v)
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

// Compares the output of b with the reference of case c taken through v.
// force: the output rule to expect instead of the one the case implies.
inline void Compare(const Case& c, Variant v, const Built& b, const Rule* force = nullptr)
{
    const Geom& g = c.g;
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
    const Rule rule = force ? *force : RuleOf(c, v);
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
                        // FLOAT32 work quantised back (direct), or codes 3-5 applied
                        // by their operators to the kernel's result: a few rounding
                        // steps from the real value.
                        double real = (double)acc * (double)(b.qp.s_in * b.qp.W(co));
                        want = QuantiseReal(RefActivation(real, c.act), b.qp, i8);
                        tol = 2;
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


// Runs the case once and compares every output value with the reference.
inline void Check(const Case& c, Variant v, size_t cache_bytes, int threads = 0)
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
    Compare(c, v, b);
}

}  // namespace conv_test
