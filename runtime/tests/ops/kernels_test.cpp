// The kernels' NEON bodies against their portable bodies (bit for bit, on
// every target; on x86-64 the float element-wise and activation entries reach
// the widest AVX body the CPU has, or the portable one where KESTRUNE_KERNELS
// caps it), and the INT8
// eight-lane kernels against references of their rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"
#include "ref.h"

namespace {

using ref::Quant;

std::vector<float> RandomFloats(std::mt19937& rng, int n, bool specials = true)
{
    std::uniform_real_distribution<float> d(-9.0f, 9.0f);
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = d(rng);
    if (specials && n > 3) {
        v[1] = NAN;
        v[2] = -0.0f;
        v[3] = INFINITY;
    }
    return v;
}

// Runs two bodies on the same input and compares the outputs and the guard
// element behind them.
template <typename A, typename B>
void SameBits(const char* name, A fast, B portable, int max_count = 67)
{
    std::mt19937 rng(99);
    for (int n = 0; n <= max_count; ++n) {
        std::vector<float> x = RandomFloats(rng, n + 1);
        std::vector<float> y = RandomFloats(rng, n + 1);
        std::vector<float> o1(n + 1, 123.0f), o2(n + 1, 123.0f);
        fast(o1.data(), n, x.data(), y.data());
        portable(o2.data(), n, x.data(), y.data());
        ASSERT_TRUE(ref::same_bits(o1.data(), o2.data(), (n + 1) * 4)) << name << " count " << n;
        ASSERT_EQ(o1[n], 123.0f) << name << " wrote past count " << n;
        // in place
        std::vector<float> p1 = x, p2 = x;
        fast(p1.data(), n, p1.data(), y.data());
        portable(p2.data(), n, p2.data(), y.data());
        ASSERT_TRUE(ref::same_bits(p1.data(), p2.data(), (n + 1) * 4)) << name << " in place " << n;
    }
}

TEST(KernelBodies, FloatActivations)
{
    SameBits("relu", [](float* o, int n, const float* x, const float*) { kernel_relu_f32(o, n, x); },
             [](float* o, int n, const float* x, const float*) { relu_f32_portable(o, n, x); });
    SameBits("relu6", [](float* o, int n, const float* x, const float*) { kernel_relu6_f32(o, n, x); },
             [](float* o, int n, const float* x, const float*) { relu6_f32_portable(o, n, x); },
             120);
    SameBits("sigmoid_fast",
             [](float* o, int n, const float* x, const float*) { kernel_sigmoid_fast_f32(o, n, x); },
             [](float* o, int n, const float* x, const float*) { sigmoid_fast_f32_portable(o, n, x); });
    SameBits("swish", [](float* o, int n, const float* x, const float*) { kernel_swish_f32(o, n, x); },
             [](float* o, int n, const float* x, const float*) { swish_f32_portable(o, n, x); });
    SameBits("leaky",
             [](float* o, int n, const float* x, const float*) { kernel_leaky_relu_f32(o, n, x, 0.3f); },
             [](float* o, int n, const float* x, const float*) { leaky_relu_f32_portable(o, n, x, 0.3f); });
    SameBits("prelu",
             [](float* o, int n, const float* x, const float* s) { kernel_prelu_f32(o, 1, x, n, s); },
             [](float* o, int n, const float* x, const float* s) { prelu_f32_portable(o, 1, x, n, s); });
}

TEST(KernelBodies, FloatElementWise)
{
    SameBits("add", kernel_bias_add_f32, add_f32_portable);
    SameBits("subtract", kernel_subtract_f32, subtract_f32_portable);
    SameBits("multiply", kernel_multiply_f32, multiply_f32_portable);
    SameBits("divide", kernel_divide_f32, divide_f32_portable);
    SameBits("add scalar",
             [](float* o, int n, const float* x, const float* y) { kernel_add_scalar_f32(o, n, x, y[0]); },
             [](float* o, int n, const float* x, const float* y) { add_scalar_f32_portable(o, n, x, y[0]); });
    SameBits("subtract scalar",
             [](float* o, int n, const float* x, const float*) { kernel_subtract_scalar_f32(o, n, x, 2.5f); },
             [](float* o, int n, const float* x, const float*) { subtract_scalar_f32_portable(o, n, x, 2.5f); });
    SameBits("divide value first",
             [](float* o, int n, const float* x, const float*) { binary_value_first_f32(3, o, n, 7.0f, x); },
             [](float* o, int n, const float* x, const float*) { divide_scalar_rev_f32_portable(o, n, 7.0f, x); });
    // Every array-and-value form, the value on either side.
    using Scalar = void (*)(float*, int32_t, const float*, float);
    using ValueFirst = void (*)(float*, int32_t, float, const float*);
    const struct {
        const char* name;
        Scalar entry, portable;
        ValueFirst first_portable;
    } forms[] = {{"add", kernel_add_scalar_f32, add_scalar_f32_portable, add_scalar_rev_f32_portable},
                 {"subtract", kernel_subtract_scalar_f32, subtract_scalar_f32_portable,
                  subtract_scalar_rev_f32_portable},
                 {"multiply", kernel_multiply_scalar_f32, multiply_scalar_f32_portable,
                  multiply_scalar_rev_f32_portable},
                 {"divide", kernel_divide_scalar_f32, divide_scalar_f32_portable,
                  divide_scalar_rev_f32_portable}};
    for (int op = 0; op < 4; ++op) {
        const auto& f = forms[op];
        for (float v : {-0.75f, 0.0f, (float)NAN}) {
            SameBits(f.name, [&](float* o, int n, const float* x, const float*) { f.entry(o, n, x, v); },
                     [&](float* o, int n, const float* x, const float*) { f.portable(o, n, x, v); });
            SameBits(f.name,
                     [&](float* o, int n, const float* x, const float*) { binary_value_first_f32(op, o, n, v, x); },
                     [&](float* o, int n, const float* x, const float*) { f.first_portable(o, n, v, x); });
        }
    }
    // partial overlap: computed in order either way
    std::vector<float> a(40), b(40);
    for (int i = 0; i < 40; ++i)
        a[i] = b[i] = (float)i;
    kernel_bias_add_f32(a.data() + 1, 30, a.data(), a.data());
    add_f32_portable(b.data() + 1, 30, b.data(), b.data());
    EXPECT_EQ(a, b);
}

// An output that partly overlaps an array operand, ahead of it or behind it:
// every form must give what one in-order loop over the same buffer gives.
TEST(KernelBodies, PartialOverlapRunsInOrder)
{
    struct Case {
        const char* name;
        // run(out, n, x, other): x is the operand the output overlaps
        void (*run)(float*, int, const float*, const float*);
        float (*one)(float x, float other);
    };
    const Case cases[] = {
        {"add, first operand", [](float* o, int n, const float* x, const float* y) { kernel_bias_add_f32(o, n, x, y); },
         [](float x, float y) { return x + y; }},
        {"subtract, second operand",
         [](float* o, int n, const float* x, const float* y) { kernel_subtract_f32(o, n, y, x); },
         [](float x, float y) { return y - x; }},
        {"multiply by value",
         [](float* o, int n, const float* x, const float*) { kernel_multiply_scalar_f32(o, n, x, 1.5f); },
         [](float x, float) { return x * 1.5f; }},
        {"value minus array",
         [](float* o, int n, const float* x, const float*) { binary_value_first_f32(1, o, n, 2.0f, x); },
         [](float x, float) { return 2.0f - x; }},
    };
    const int n = 40;
    for (const Case& c : cases)
        for (int shift : {-9, -5, -1, 1, 3, 4, 8}) {
            std::vector<float> buf(96), ref(96), other(n);
            for (int i = 0; i < 96; ++i)
                buf[i] = ref[i] = (float)(i % 13) - 4.25f;
            for (int i = 0; i < n; ++i)
                other[i] = 0.5f * (float)i;
            const int x0 = 24;
            c.run(buf.data() + x0 + shift, n, buf.data() + x0, other.data());
            for (int i = 0; i < n; ++i)
                ref[x0 + shift + i] = c.one(ref[x0 + i], other[i]);
            EXPECT_TRUE(ref::same_bits(buf.data(), ref.data(), 96 * 4)) << c.name << " shift " << shift;
        }
    for (int shift : {-9, -1, 1, 8}) {
        std::vector<int32_t> buf(96), ref(96), other(n);
        for (int i = 0; i < 96; ++i)
            buf[i] = ref[i] = INT32_MAX - 3 * i;
        for (int i = 0; i < n; ++i)
            other[i] = 1000 * i;
        kernel_bias_add_i32(buf.data() + 24 + shift, n, buf.data() + 24, other.data());
        for (int i = 0; i < n; ++i)
            ref[24 + shift + i] = (int32_t)((uint32_t)ref[24 + i] + (uint32_t)other[i]);
        EXPECT_EQ(buf, ref) << "int32 add shift " << shift;
    }
}

TEST(KernelBodies, Int32Add)
{
    std::mt19937 rng(3);
    std::uniform_int_distribution<int32_t> d(INT32_MIN, INT32_MAX);
    for (int n = 0; n <= 67; ++n) {
        std::vector<int32_t> x(n), y(n), o1(n + 1, 7), o2(n + 1, 7);
        for (int i = 0; i < n; ++i) {
            x[i] = d(rng);
            y[i] = d(rng);
        }
        kernel_bias_add_i32(o1.data(), n, x.data(), y.data());
        bias_add_i32_portable(o2.data(), n, x.data(), y.data());
        ASSERT_EQ(o1, o2) << n;
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(o1[i], (int32_t)((uint32_t)x[i] + (uint32_t)y[i]));
        ASSERT_EQ(o1[n], 7);
    }
}

// ---- INT8 eight-lane kernels ---------------------------------------------

std::vector<int8_t> RandomI8(std::mt19937& rng, int n)
{
    std::uniform_int_distribution<int> d(-128, 127);
    std::vector<int8_t> v(n);
    for (auto& x : v)
        x = (int8_t)d(rng);
    return v;
}

const int kCounts[] = {0, 1, 7, 8, 9, 17};

TEST(Int8Kernels, AddAndMultiplyAgainstTheirRules)
{
    Quant qa(NN_TYPE_I8, 0.5f, 3), qb(NN_TYPE_I8, 0.25f, -1), qo(NN_TYPE_I8, 1.0f, 2);
    std::mt19937 rng(17);
    for (int n : kCounts) {
        std::vector<int8_t> a = RandomI8(rng, n), b = RandomI8(rng, n);
        // exact halves in the lanes: (q - z) * 0.5 with odd q - z
        for (int i = 0; i < n; ++i)
            a[i] = (int8_t)(3 + 2 * (i % 5) + 1);
        std::vector<int8_t> add(n + 1, 0x55), mul(n + 1, 0x55);
        kernel_add_quant(add.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        kernel_multiply_quant(mul.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        for (int i = 0; i < n; ++i) {
            int32_t x = a[i] - 3, y = b[i] + 1;
            int64_t want_add, want_mul;
            if (i < n / 8 * 8) {
                want_add = (int64_t)ref::round_even((float)x * 0.5f) + ref::round_even((float)y * 0.25f) + 2;
                want_mul = (int64_t)ref::round_even((float)(x * y) * (0.5f * 0.25f / 1.0f)) + 2;
            } else {
                want_add = (int64_t)ref::apply_scale(x, 0.5f) + ref::apply_scale(y, 0.25f) + 2;
                want_mul = (int64_t)ref::apply_scale(x * y, 0.125f) + 2;
            }
            ASSERT_EQ(add[i], ref::clamp(want_add, -128, 127)) << "add n " << n << " i " << i;
            ASSERT_EQ(mul[i], ref::clamp(want_mul, -128, 127)) << "mul n " << n << " i " << i;
        }
        ASSERT_EQ(add[n], 0x55);
        ASSERT_EQ(mul[n], 0x55);
        // bodies agree
        std::vector<int8_t> p(n + 1, 0x55);
        add_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        ASSERT_EQ(p, add);
        multiply_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        ASSERT_EQ(p, mul);
    }
}

// Ratios large enough that the lanes saturate take the saturating path.
TEST(Int8Kernels, AddLanesWithHugeRatios)
{
    Quant qa(NN_TYPE_I8, 3e6f, 1), qb(NN_TYPE_I8, -2.5e6f, -4), qo(NN_TYPE_I8, 1.0f, 100);
    std::mt19937 rng(5);
    const int n = 24;
    std::vector<int8_t> a = RandomI8(rng, n), b = RandomI8(rng, n), out(n), p(n);
    kernel_add_quant(out.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
    add_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
    EXPECT_EQ(out, p);
    for (int i = 0; i < n; ++i) {
        int64_t x = ref::round_even((float)(a[i] - 1) * 3e6f);
        int64_t y = ref::round_even((float)(b[i] + 4) * -2.5e6f);
        int64_t s = ref::clamp(ref::clamp(x + y, INT32_MIN, INT32_MAX) + 100, INT32_MIN, INT32_MAX);
        EXPECT_EQ(out[i], ref::clamp(s, -128, 127)) << i;
    }
}

// Zero points far outside the 8-bit range (a model may store any): the
// bodies wrap the lanes' 32-bit differences and products alike, in the
// element-wise and the activation kernels.
TEST(Int8Kernels, BodiesAgreeOnFarZeroPoints)
{
    std::mt19937 rng(43);
    Quant qa(NN_TYPE_I8, 1e-9f, INT32_MIN), qb(NN_TYPE_I8, 1e-9f, INT32_MAX - 5), qo(NN_TYPE_I8, 1.0f, 3);
    for (int n : {7, 8, 19}) {
        std::vector<int8_t> a = RandomI8(rng, n), b = RandomI8(rng, n);
        std::vector<int8_t> f(n + 1, 9), p(n + 1, 9);
        kernel_add_quant(f.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        add_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        EXPECT_EQ(f, p) << n;
        kernel_multiply_quant(f.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        multiply_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        EXPECT_EQ(f, p) << n;
        kernel_swish_quant(f.data(), n, a.data(), qo.p(), qa.p());
        swish_i8_portable(p.data(), n, a.data(), qo.p(), qa.p());
        EXPECT_EQ(f, p) << n;
        kernel_leaky_relu_quant(f.data(), n, a.data(), qo.p(), qa.p(), 0.11f);
        leaky_relu_i8_portable(p.data(), n, a.data(), qo.p(), qa.p(), 0.11f);
        EXPECT_EQ(f, p) << n;
    }
}

// The choice rule: a tie rounds to even in the lanes, upward in the generic
// kernel, so the two give different bytes for the same operands.
TEST(Int8Kernels, ChoiceRuleShowsInTheBytes)
{
    Quant i8(NN_TYPE_I8, 2.0f, 0), in(NN_TYPE_I8, 1.0f, 0), one(NN_TYPE_I8, 1.0f, 0);
    Quant i16out(NN_TYPE_I16, 2.0f, 0);
    std::vector<int8_t> x(8, 1), zero(8, 0);  // 1 * (1 / 2) = 0.5
    std::vector<int8_t> fast(8);
    std::vector<int16_t> generic(8);
    kernel_add_quant(fast.data(), 8, x.data(), zero.data(), in.p(), one.p(), i8.p());
    kernel_add_quant(generic.data(), 8, x.data(), zero.data(), in.p(), one.p(), i16out.p());
    // fast: 0.5 -> 0 and 0 * 0.5 -> 0; generic: apply(1, pair of 0.5) = 1
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(fast[i], 0);
        EXPECT_EQ(generic[i], 1);
    }
    // leaky relu and hard swish: the INT8 kernel only for INT8 output and input
    std::vector<int8_t> lf(8);
    std::vector<uint8_t> lg(8);
    Quant u8(NN_TYPE_U8, 2.0f, 0);
    kernel_leaky_relu_quant(lf.data(), 8, x.data(), i8.p(), in.p(), 0.1f);
    kernel_leaky_relu_quant(lg.data(), 8, x.data(), u8.p(), in.p(), 0.1f);
    EXPECT_EQ(lf[0], 0);
    EXPECT_EQ(lg[0], 1);
}

TEST(Int8Kernels, LeakyAndSwishAgainstTheirRules)
{
    Quant qi(NN_TYPE_I8, 0.1f, -4), qo(NN_TYPE_I8, 0.05f, 6);
    std::mt19937 rng(23);
    const float alpha = 0.2f;
    int32_t mp, ep, mn, en;
    quantize_multiplier(&mp, &ep, 0.1f / 0.05f);
    quantize_multiplier(&mn, &en, (0.1f * alpha) / 0.05f);
    for (int n : kCounts) {
        std::vector<int8_t> x = RandomI8(rng, n);
        std::vector<int8_t> leaky(n + 1, 0x55), swish(n + 1, 0x55);
        kernel_leaky_relu_quant(leaky.data(), n, x.data(), qo.p(), qi.p(), alpha);
        kernel_swish_quant(swish.data(), n, x.data(), qo.p(), qi.p());
        for (int i = 0; i < n; ++i) {
            int32_t q = x[i] + 4;
            float xf = (float)q * 0.1f;
            float t = std::min(std::max(xf + 3.0f, 0.0f), 6.0f);
            int64_t wl, ws;
            if (i < n / 8 * 8) {
                float y = xf < 0 ? alpha * xf : xf;
                wl = (int64_t)ref::round_even(y * (1.0f / 0.05f)) + 6;
                ws = (int64_t)ref::round_even(((t * 0.16666667f) * xf) * (1.0f / 0.05f)) + 6;
            } else {
                wl = (int64_t)(q <= 0 ? ref::apply(q, mn, en) : ref::apply(q, mp, ep)) + 6;
                ws = (int64_t)std::round(((t * xf) * 0.16666667f) / 0.05f) + 6;
            }
            ASSERT_EQ(leaky[i], ref::clamp(wl, -128, 127)) << "leaky n " << n << " i " << i;
            ASSERT_EQ(swish[i], ref::clamp(ws, -128, 127)) << "swish n " << n << " i " << i;
        }
        ASSERT_EQ(leaky[n], 0x55);
        ASSERT_EQ(swish[n], 0x55);
        std::vector<int8_t> p(n + 1, 0x55);
        leaky_relu_i8_portable(p.data(), n, x.data(), qo.p(), qi.p(), alpha);
        ASSERT_EQ(p, leaky);
        swish_i8_portable(p.data(), n, x.data(), qo.p(), qi.p());
        ASSERT_EQ(p, swish);
    }
}

TEST(Int8Kernels, BodiesAgreeOnRandomData)
{
    std::mt19937 rng(41);
    Quant qa(NN_TYPE_I8, 0.037f, 5), qb(NN_TYPE_I8, 0.021f, -7), qo(NN_TYPE_I8, 0.05f, 1);
    for (int n = 0; n <= 67; ++n) {
        std::vector<int8_t> a = RandomI8(rng, n), b = RandomI8(rng, n);
        std::vector<int8_t> f(n + 1, 9), p(n + 1, 9);
        kernel_add_quant(f.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        add_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        ASSERT_EQ(f, p) << n;
        kernel_multiply_quant(f.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        multiply_i8_portable(p.data(), n, a.data(), b.data(), qa.p(), qb.p(), qo.p());
        ASSERT_EQ(f, p) << n;
        kernel_swish_quant(f.data(), n, a.data(), qo.p(), qa.p());
        swish_i8_portable(p.data(), n, a.data(), qo.p(), qa.p());
        ASSERT_EQ(f, p) << n;
        kernel_leaky_relu_quant(f.data(), n, a.data(), qo.p(), qa.p(), 0.11f);
        leaky_relu_i8_portable(p.data(), n, a.data(), qo.p(), qa.p(), 0.11f);
        ASSERT_EQ(f, p) << n;
    }
}

// The portable float pooling rows against a naive window loop, NaN, -0 and
// infinity among the values: each channel must see its taps in order
// (max keeps the value so far unless the next tap is greater).  The channel
// counts cover whole and partial blocks of 16 and 4.
TEST(KernelBodies, PortablePoolingAgainstNaiveWindow)
{
    std::mt19937 rng(9);
    for (int ch : {1, 3, 4, 5, 16, 17, 21, 36, 37})
        for (int kw = 1; kw <= 3; ++kw) {
            const int iw = 7, rows = 2, ow = 4, stride = 2, pad = 1;
            std::vector<float> in = RandomFloats(rng, iw * ch * rows);
            in[0] = 0.0f;
            in[ch] = -0.0f;  // equal to 0 but not greater: the first tap's +0 stays
            std::vector<float> mx(ow * ch + 1, 5.0f), av(ow * ch + 1, 5.0f);
            maxpool_f32_portable(ow, ch, mx.data(), iw, stride, in.data(), pad, rows, kw);
            avgpool_f32_portable(ow, ch, av.data(), iw, stride, in.data(), pad, rows, kw);
            for (int ox = 0; ox < ow; ++ox)
                for (int c = 0; c < ch; ++c) {
                    float m = -1e9f, sum = 0.0f;
                    int n = 0;
                    for (int r = 0; r < rows; ++r)
                        for (int k = 0; k < kw; ++k) {
                            const int x = ox * stride - pad + k;
                            if (x < 0 || x >= iw)
                                continue;
                            const float v = in[(r * iw + x) * ch + c];
                            m = n == 0 || v > m ? v : m;
                            sum += v;
                            ++n;
                        }
                    const float avg = sum * (n ? 1.0f / (float)n : 0.0f);
                    const size_t at = (size_t)ox * ch + c;
                    ASSERT_TRUE(ref::same_bits(&mx[at], &m, 4)) << ch << " " << kw << " " << at;
                    ASSERT_TRUE(ref::same_bits(&av[at], &avg, 4)) << ch << " " << kw << " " << at;
                }
            ASSERT_EQ(mx[ow * ch], 5.0f);
            ASSERT_EQ(av[ow * ch], 5.0f);
        }
}

TEST(KernelBodies, PoolingRows)
{
    std::mt19937 rng(8);
    for (int ch = 1; ch <= 37; ch += 3)
        for (int kw = 1; kw <= 3; ++kw) {
            const int iw = 7, rows = 2, ow = 4, stride = 2, pad = 1;
            std::vector<float> in = RandomFloats(rng, iw * ch * rows, false);
            std::vector<float> o1(ow * ch + 1, 5.0f), o2(ow * ch + 1, 5.0f);
            kernel_maxpool_f32(ow, ch, o1.data(), iw, stride, in.data(), pad, 0, rows, kw);
            maxpool_f32_portable(ow, ch, o2.data(), iw, stride, in.data(), pad, rows, kw);
            ASSERT_TRUE(ref::same_bits(o1.data(), o2.data(), o1.size() * 4)) << ch << " " << kw;
            kernel_avgpool_f32(ow, ch, o1.data(), iw, stride, in.data(), pad, 0, rows, kw);
            avgpool_f32_portable(ow, ch, o2.data(), iw, stride, in.data(), pad, rows, kw);
            ASSERT_TRUE(ref::same_bits(o1.data(), o2.data(), o1.size() * 4)) << ch << " " << kw;
            ASSERT_EQ(o1[ow * ch], 5.0f);
        }
}

// Integer pooling rows in each element type, the ends of its range included,
// against a naive window loop; the first output pixel's window is empty.
template <typename T>
void QuantisedPoolRows(nn_type type)
{
    const int iw = 7, rows = 2, ow = 4, stride = 2, pad = 3, kw = 3, ch = 3;
    const int64_t lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    std::mt19937 rng(12 + (int)type);
    std::uniform_int_distribution<int64_t> d(lo, hi);
    std::vector<T> in(iw * ch * rows);
    for (auto& v : in)
        v = (T)d(rng);
    in[0] = (T)lo;
    in[1] = (T)hi;
    in[ch + 2] = (T)hi;
    std::vector<T> mx(ow * ch + 1, 7), av(ow * ch + 1, 7);
    const float scale = 1.0f;
    const int32_t zero = 0;
    const nn_quant_params q = {1, &zero, 1, &scale, sizeof(T), (uint32_t)type};
    kernel_maxpool_quant(ow, ch, mx.data(), iw, stride, in.data(), pad, 0, rows, kw, &q);
    kernel_avgpool_quant(ow, ch, av.data(), iw, stride, in.data(), pad, 0, rows, kw, &q, &q);
    for (int ox = 0; ox < ow; ++ox)
        for (int c = 0; c < ch; ++c) {
            int64_t m = lo, sum = 0, n = 0;
            for (int r = 0; r < rows; ++r)
                for (int k = 0; k < kw; ++k) {
                    const int x = ox * stride - pad + k;
                    if (x < 0 || x >= iw)
                        continue;
                    const int64_t v = in[(r * iw + x) * ch + c];
                    m = std::max(m, v);
                    sum += v;
                    ++n;
                }
            const double s32 = (double)std::min<int64_t>(std::max<int64_t>(sum, INT32_MIN), INT32_MAX);
            const int64_t avg = n ? (int64_t)std::round(s32 / (double)n) : 0;
            EXPECT_EQ((int64_t)mx[ox * ch + c], m) << type << " max " << ox << "," << c;
            EXPECT_EQ((int64_t)av[ox * ch + c], std::min(std::max(avg, lo), hi))
                << type << " avg " << ox << "," << c;
        }
    EXPECT_EQ(mx[ow * ch], 7);
    EXPECT_EQ(av[ow * ch], 7);
}

TEST(KernelBodies, QuantisedPoolingInEveryIntegerType)
{
    QuantisedPoolRows<int8_t>(NN_TYPE_I8);
    QuantisedPoolRows<uint8_t>(NN_TYPE_U8);
    QuantisedPoolRows<int16_t>(NN_TYPE_I16);
    QuantisedPoolRows<uint16_t>(NN_TYPE_U16);
    QuantisedPoolRows<int32_t>(NN_TYPE_I32);
    QuantisedPoolRows<uint32_t>(NN_TYPE_U32);
}

// 8-bit average pooling rows (eight channels in vector lanes on NEON, blocks
// of sixteen elsewhere) against
// the naive window sum: channel counts around the lanes, windows of more taps
// than one 16-bit partial sum takes (255), every value at an end of the range.
template <typename T>
void EightBitAveragePool(nn_type type)
{
    const int64_t lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    std::mt19937 rng(40 + (int)type);
    std::uniform_int_distribution<int64_t> d(lo, hi);
    struct Window {
        int iw, rows, kw, stride, pad;
    };
    for (const Window w : {Window{5, 1, 3, 2, 1}, Window{40, 9, 33, 1, 0}, Window{17, 17, 17, 1, 0}})
        for (int ch : {1, 7, 8, 9, 16, 17, 33})
            for (int fill : {0, 1, 2}) {
                const int span = w.iw + 2 * w.pad - w.kw;
                const int ow = span < 0 ? 0 : span / w.stride + 1;
                std::vector<T> in((size_t)w.iw * ch * w.rows);
                for (auto& v : in)
                    v = (T)(fill == 0 ? d(rng) : fill == 1 ? lo : hi);
                std::vector<T> av((size_t)ow * ch + 1, 7);
                const float scale = 1.0f;
                const int32_t zero = 0;
                const nn_quant_params q = {1, &zero, 1, &scale, 1, (uint32_t)type};
                kernel_avgpool_quant(ow, ch, av.data(), w.iw, w.stride, in.data(), w.pad, 0, w.rows,
                                     w.kw, &q, &q);
                for (int ox = 0; ox < ow; ++ox)
                    for (int c = 0; c < ch; ++c) {
                        int64_t sum = 0, n = 0;
                        for (int r = 0; r < w.rows; ++r)
                            for (int k = 0; k < w.kw; ++k) {
                                const int x = ox * w.stride - w.pad + k;
                                if (x < 0 || x >= w.iw)
                                    continue;
                                sum += in[((size_t)r * w.iw + x) * ch + c];
                                ++n;
                            }
                        const int64_t avg = n ? (int64_t)std::round((double)sum / (double)n) : 0;
                        ASSERT_EQ((int64_t)av[(size_t)ox * ch + c], avg)
                            << type << " ch " << ch << " kw " << w.kw << " " << ox << "," << c;
                    }
                EXPECT_EQ(av[(size_t)ow * ch], 7);
            }
}

TEST(KernelBodies, EightBitAveragePoolInLanes)
{
    EightBitAveragePool<int8_t>(NN_TYPE_I8);
    EightBitAveragePool<uint8_t>(NN_TYPE_U8);
}

}  // namespace
