// The convolution and depthwise kernels: each entry (the NEON body on Arm)
// against its portable body, bit for bit, over channel counts that exercise
// the vector blocks and their tails; and the 3x3 whole-row kernels against
// the per-tap path they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/conv_kernels.h"
#include "kernels/conv_x86.h"
#include "kernels/fixed_point.h"
#include "ops/frame.h"
#include "ops/ref.h"
#include "wide_bodies.h"

namespace {

template <class T>
std::vector<T> Random(size_t n, std::mt19937& rng, int lo = -128, int hi = 127)
{
    std::vector<T> v(n);
    if constexpr (std::is_floating_point<T>::value) {
        std::uniform_real_distribution<float> u(-2, 2);
        for (auto& x : v) x = u(rng);
    } else {
        std::uniform_int_distribution<int> u(lo, hi);
        for (auto& x : v) x = (T)u(rng);
    }
    return v;
}

template <class T>
bool SameBits(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

const int kChannels[] = {1, 3, 4, 8, 13, 16, 17, 24, 35};

// A wide body's output followed by guard values it must leave alone.
template <class T>
struct Guarded {
    static constexpr size_t kGuard = 64;
    std::vector<T> v;
    size_t n;
    Guarded(size_t n_, T sentinel) : v(n_ + kGuard, sentinel), n(n_) {}
    T* data() { return v.data(); }
    std::vector<T> out() const { return std::vector<T>(v.begin(), v.begin() + (long)n); }
    bool guard_intact(T sentinel) const
    {
        for (size_t i = n; i < v.size(); ++i)
            if (std::memcmp(&v[i], &sentinel, sizeof(T)) != 0)
                return false;
        return true;
    }
};

using DepthwiseRowsF32Body = decltype(depthwise_rows_f32_avx2);
using DepthwiseRowsI8Body = decltype(depthwise3x3_i8_rows_avx2);

TEST(ConvKernels, MacRowBodiesAgree)
{
    std::mt19937 rng(1);
    for (int n : {1, 3, 4, 15, 16, 17, 33, 64}) {
        auto in = Random<float>((size_t)n, rng), w = Random<float>((size_t)n, rng);
        auto base = Random<float>((size_t)n, rng);
        auto a = base, b = base, c = base, d = base;
        mac_row_f32_portable(a.data(), n, in.data(), w.data());
        mac_row_f32_short(b.data(), n, in.data(), w.data());
        mac_row_f32_unrolled(c.data(), n, in.data(), w.data());
        kernel_mac_row_f32(d.data(), n, in.data(), w.data());
        EXPECT_TRUE(SameBits(a, b)) << n;
        EXPECT_TRUE(SameBits(a, c)) << n;
        EXPECT_TRUE(SameBits(a, d)) << n;
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(a[(size_t)i], base[(size_t)i] + in[(size_t)i] * w[(size_t)i]);
    }
}

TEST(ConvKernels, DirectRowBodiesAgree)
{
    std::mt19937 rng(2);
    struct G {
        int ow, cout, iw, cin, stride, pad, rows, kw;
    } cases[] = {{5, 16, 7, 3, 1, 1, 3, 3}, {4, 13, 9, 5, 2, 2, 2, 5},
                 {1, 36, 3, 1, 1, 0, 1, 3}, {7, 4, 4, 2, 1, 3, 3, 3}};
    for (const G& g : cases) {
        auto in = Random<float>((size_t)g.rows * g.iw * g.cin, rng);
        auto f = Random<float>((size_t)g.rows * g.kw * g.cin * g.cout, rng);
        std::vector<float> a((size_t)g.ow * g.cout, 7.0f), b = a;
        conv2d_direct_f32_portable(g.ow, g.cout, a.data(), g.iw, g.cin, g.stride, in.data(), g.pad,
                                   g.rows, g.kw, f.data());
        kernel_conv2d_direct_f32(g.ow, g.cout, b.data(), g.iw, g.cin, g.stride, in.data(), g.pad,
                                 0, g.rows, g.kw, f.data());
        EXPECT_TRUE(SameBits(a, b)) << g.cout;
    }
}

TEST(ConvKernels, TransposedBodiesAgree)
{
    std::mt19937 rng(3);
    const int32_t os[4] = {2, 7, 9, 6}, is[4] = {2, 3, 4, 5}, fs[4] = {3, 3, 5, 6};
    auto in = Random<float>(2 * 3 * 4 * 5, rng), f = Random<float>(3 * 3 * 5 * 6, rng);
    std::vector<float> a(2 * 7 * 9 * 6, 1.0f), b(a.size(), 2.0f);
    transpose_conv2d_f32_portable(os, a.data(), is, in.data(), fs, f.data(), 1, 0, 2, 2);
    kernel_transpose_conv2d_f32(os, b.data(), is, in.data(), fs, f.data(), 1, 0, 2, 2);
    EXPECT_TRUE(SameBits(a, b));
}

TEST(ConvKernels, DepthwiseFloatBodiesAgree)
{
    std::mt19937 rng(4);
    for (int ch : kChannels)
        for (int dil : {1, 2}) {
            const int ow = 6, iw = 9, kw = 3, stride = dil == 1 ? 2 : 1, pad = 2;
            auto in = Random<float>((size_t)iw * ch, rng), f = Random<float>((size_t)kw * ch, rng);
            auto a = Random<float>((size_t)ow * ch, rng), b = a;
            depthwise_f32_portable(ow, ch, a.data(), iw, stride, in.data(), pad, kw, dil, f.data());
            kernel_depthwise_f32(ow, ch, b.data(), iw, stride, in.data(), pad, 0, kw, dil, f.data());
            EXPECT_TRUE(SameBits(a, b)) << ch << " dilation " << dil;
        }
}

// The 3x3 row kernel equals zero + the taps row by row + bias + activation,
// at strides 1 and 2, on row widths around the kernel's four lanes and its
// three-pixel steps and the AVX-512 body's four-column interior blocks (the
// interior, the borders, or no interior at all).
TEST(ConvKernels, FloatRowsKernelMatchesThePerTapPath)
{
    std::mt19937 rng(5);
    for (int ch : kChannels)
        for (int stride : {1, 2})
            for (int iw : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 19})
                for (int rows = 1; rows <= 3; ++rows)
                    for (int edge : {1, -1, 0}) {
                        if (edge == 0 && rows != 3)
                            continue;
                        for (int pad : {0, 1, 2}) {
                            const int span = iw + 2 * pad - 3;
                            const int ow = span < 0 ? 0 : span / stride + 1;
                            const int act = (ch + rows + iw) % 6;
                            const bool bias_given = (iw + pad) % 4 != 0;
                            auto in = Random<float>((size_t)rows * iw * ch, rng);
                            auto f = Random<float>((size_t)9 * ch, rng);
                            auto bias = Random<float>((size_t)ch, rng);
                            const float* b_or_null = bias_given ? bias.data() : nullptr;
                            std::vector<float> a((size_t)ow * ch), b(a.size()), c(a.size());
                            depthwise_rows_f32_portable(ow, ch, a.data(), iw, stride, pad, rows,
                                                        edge, in.data(), f.data(), b_or_null, act);
                            kernel_depthwise_rows_f32(ow, ch, b.data(), iw, stride, pad, pad, rows,
                                                      edge, in.data(), f.data(), b_or_null, act);
                            const int f0 = edge == 1 ? 3 - rows : 0;
                            for (int r = 0; r < rows; ++r)
                                kernel_depthwise_f32(ow, ch, c.data(), iw, stride,
                                                     in.data() + (size_t)r * iw * ch, pad, pad, 3,
                                                     1, f.data() + (size_t)(f0 + r) * 3 * ch);
                            for (int x = 0; x < ow && bias_given; ++x)
                                kernel_bias_add_f32(c.data() + (size_t)x * ch, ch,
                                                    c.data() + (size_t)x * ch, bias.data());
                            apply_activation(c.data(), (uint32_t)c.size(), c.data(), act);
                            EXPECT_TRUE(SameBits(a, b)) << ch << " stride " << stride << " iw "
                                                        << iw << " rows " << rows << " pad " << pad;
                            /* the wide bodies this CPU has (they fuse RELU and RELU6
                             * only) */
                            for (DepthwiseRowsF32Body* body : wide_bodies<DepthwiseRowsF32Body>(
                                     WIDE_BODIES(depthwise_rows_f32)))
                                if (act == 1 || act == 2) {
                                    std::vector<float> d(a.size());
                                    body(ow, ch, d.data(), iw, stride, pad, rows, edge, in.data(),
                                         f.data(), b_or_null, act);
                                    EXPECT_TRUE(SameBits(a, d)) << "wide: " << ch << " stride "
                                                                << stride << " iw " << iw;
                                }
                            EXPECT_TRUE(SameBits(a, c)) << ch << " stride " << stride << " iw "
                                                        << iw << " rows " << rows << " edge "
                                                        << edge;
                        }
                    }
}

// The wide FLOAT32 row bodies this CPU has, called directly, against a
// naive loop of the same sum (0, the taps inside the row row by row and left
// to right, each a separate multiply and add, then the bias) and the RELU
// rules (a NaN stays, -0 gives +0): channel counts around the 8- and
// 16-lane blocks and none at all, rows narrower than a window and around the
// four-column interiors, both strides, both borders; nothing written past
// the row.
TEST(ConvKernels, WideFloatRowsBodiesMatchTheNaiveSum)
{
    const std::vector<DepthwiseRowsF32Body*> bodies =
        wide_bodies<DepthwiseRowsF32Body>(WIDE_BODIES(depthwise_rows_f32));
    if (bodies.empty()) GTEST_SKIP() << "no wide body on this CPU";
    std::mt19937 rng(9);
    const float sentinel = -555.5f;
    for (int ch : {0, 1, 7, 8, 9, 15, 16, 17, 33})
        for (int stride : {1, 2})
            for (int iw : {1, 2, 3, 7, 11, 19})
                for (int rows = 1; rows <= 3; ++rows)
                    for (int pad : {0, 1, 2}) {
                        const int span = iw + 2 * pad - 3;
                        const int ow = span < 0 ? 0 : span / stride + 1;
                        const int edge = rows == 3 ? 0 : ((iw + pad) % 2 ? 1 : -1);
                        const int act = (ch + iw + rows + pad) % 3;
                        const bool bias_given = (ch + pad) % 3 != 0;
                        auto in = Random<float>((size_t)rows * iw * ch, rng);
                        auto f = Random<float>((size_t)9 * ch, rng);
                        auto bias = Random<float>((size_t)ch, rng);
                        // a NaN and a -0 among the inputs now and then
                        if (!in.empty() && (iw + rows) % 4 == 0)
                            in[(size_t)(iw * ch) % in.size()] = std::nanf("");
                        if (!bias.empty() && pad == 1)
                            bias[0] = -0.0f;
                        const float* bp = bias_given ? bias.data() : nullptr;
                        const int f0 = edge == 1 ? 3 - rows : 0;
                        std::vector<float> want((size_t)ow * ch);
                        for (int x = 0; x < ow; ++x)
                            for (int c = 0; c < ch; ++c) {
                                float v = 0.0f;
                                for (int r = 0; r < rows; ++r)
                                    for (int k = 0; k < 3; ++k) {
                                        const int col = x * stride + k - pad;
                                        if (col < 0 || col >= iw)
                                            continue;
                                        const float p = in[((size_t)r * iw + col) * ch + c] *
                                                        f[((size_t)(f0 + r) * 3 + k) * ch + c];
                                        v = v + p;
                                    }
                                if (bias_given)
                                    v = v + bias[(size_t)c];
                                if (act == 2 && v >= 6.0f)
                                    v = 6.0f;
                                if ((act == 1 || act == 2) && v <= 0.0f)
                                    v = 0.0f;
                                want[(size_t)x * ch + c] = v;
                            }
                        for (DepthwiseRowsF32Body* body : bodies) {
                            Guarded<float> got(want.size(), sentinel);
                            body(ow, ch, got.data(), iw, stride, pad, rows, edge, in.data(),
                                 f.data(), bp, act);
                            EXPECT_TRUE(SameBits(got.out(), want))
                                << ch << " stride " << stride << " iw " << iw << " rows " << rows
                                << " pad " << pad << " act " << act;
                            EXPECT_TRUE(got.guard_intact(sentinel)) << ch << " iw " << iw;
                        }
                    }
}

TEST(ConvKernels, QuantisedTapBodiesAgreeWithTheIntegerSum)
{
    std::mt19937 rng(6);
    struct T {
        nn_type in, f;
        int32_t z_in, z_w;
    } types[] = {{NN_TYPE_I8, NN_TYPE_I8, 3, 0},
                 {NN_TYPE_I8, NN_TYPE_I8, -7, 2},
                 {NN_TYPE_U8, NN_TYPE_U8, 120, 128},
                 {NN_TYPE_U8, NN_TYPE_I8, 0, 0},
                 {NN_TYPE_I8, NN_TYPE_U8, -128, 255},
                 // Zero points a model may store far outside the 8-bit range:
                 // 64-bit products, sums wrapping in 32 bits.
                 {NN_TYPE_I8, NN_TYPE_I8, INT32_MIN + 3, 0},
                 {NN_TYPE_U8, NN_TYPE_I8, 2013265920, -33554437}};
    for (const T& t : types)
        for (int ch : kChannels) {
            const int ow = 5, iw = 8, kw = 3, stride = 2, pad = 1, dil = 2;
            auto in = Random<uint8_t>((size_t)iw * ch, rng, 0, 255);
            auto f = Random<uint8_t>((size_t)kw * ch, rng, 0, 255);
            auto base = Random<int32_t>((size_t)ow * ch, rng, -1000, 1000);
            auto a = base, b = base, want = base;
            const nn_quant_params in_q = {1, &t.z_in, 0, nullptr, 1, (uint32_t)t.in};
            const nn_quant_params f_q = {1, &t.z_w, 0, nullptr, 1, (uint32_t)t.f};
            kernel_depthwise_quant(ow, ch, b.data(), iw, stride, in.data(), pad, 0, kw, dil,
                                   f.data(), &in_q, &f_q);
            if (t.in == NN_TYPE_I8 && t.f == NN_TYPE_I8 && t.z_w == 0)
                depthwise_quant_i8_portable(ow, ch, a.data(), iw, stride, (const int8_t*)in.data(),
                                            pad, kw, dil, (const int8_t*)f.data(), t.z_in);
            else
                depthwise_quant_general_portable(ow, ch, a.data(), iw, stride, in.data(), pad, kw,
                                                 dil, f.data(), t.in, t.f, t.z_in, t.z_w);
            auto val = [](const uint8_t* p, size_t i, nn_type ty) {
                return ty == NN_TYPE_I8 ? (int32_t)(int8_t)p[i] : (int32_t)p[i];
            };
            for (int x = 0; x < ow; ++x)
                for (int k = 0; k < kw; ++k) {
                    int c = x * stride + k * dil - pad;
                    if (c < 0 || c >= iw)
                        continue;
                    for (int j = 0; j < ch; ++j) {
                        int32_t& w = want[(size_t)x * ch + j];
                        const int64_t p = ((int64_t)val(in.data(), (size_t)c * ch + j, t.in) - t.z_in) *
                                          ((int64_t)val(f.data(), (size_t)k * ch + j, t.f) - t.z_w);
                        w = (int32_t)(uint32_t)((uint64_t)(uint32_t)w + (uint64_t)p);
                    }
                }
            EXPECT_EQ(a, want) << ch;
            EXPECT_EQ(b, want) << ch;
        }
}

TEST(ConvKernels, QuantisedRowsBodiesAgree)
{
    std::mt19937 rng(7);
    for (int ch : {8, 16, 24, 5, 13})
        for (int rows = 1; rows <= 3; ++rows)
            for (int act : {0, 1, 2, 3}) {
                const int iw = 7, pad = 1, ow = iw;
                const int edge = rows == 3 ? 0 : (rows % 2 ? 1 : -1);
                auto in = Random<int8_t>((size_t)rows * iw * ch, rng);
                auto f = Random<int8_t>((size_t)9 * ch, rng, -127, 127);
                auto bias = Random<int32_t>((size_t)ch, rng, -4000, 4000);
                std::vector<float> sw((size_t)ch);
                std::vector<int32_t> mult((size_t)ch), shift((size_t)ch);
                const float s_in = 0.04f, s_out = 2.5f;
                const int32_t z_in = -3, z_out = 4, z_w = 0;
                for (int c = 0; c < ch; ++c) {
                    sw[(size_t)c] = 0.01f + 0.002f * (float)c;
                    ref::multiplier(s_in * sw[(size_t)c] / s_out, &mult[(size_t)c], &shift[(size_t)c]);
                }
                const nn_quant_params in_q = {1, &z_in, 1, &s_in, 1, NN_TYPE_I8};
                const nn_quant_params out_q = {1, &z_out, 1, &s_out, 1, NN_TYPE_I8};
                const nn_quant_params f_q = {1, &z_w, (size_t)ch, sw.data(), 1, NN_TYPE_I8};
                std::vector<int8_t> a((size_t)ow * ch), b(a.size()), want(a.size());
                kernel_depthwise_quant_rows(ow, ch, b.data(), iw, pad, pad, rows, edge, in.data(),
                                            f.data(), bias.data(), act, &out_q, &in_q, &f_q,
                                            mult.data(), shift.data());
                if (ch % 8 == 0)
                    depthwise_quant_rows8_portable(ow, ch, a.data(), iw, pad, rows, edge, in.data(),
                                                   f.data(), bias.data(), act, &out_q, &in_q, &f_q);
                else
                    depthwise_quant_rows_scalar(ow, ch, a.data(), iw, pad, rows, edge, in.data(),
                                                f.data(), bias.data(), act, &out_q, &in_q,
                                                mult.data(), shift.data());
                // Reference: the integer 3x3 sum, then the rule of the kernel.
                int32_t m6, e6;
                ref::multiplier(1.0f / s_out, &m6, &e6);
                const int32_t q6 = ref::apply(6, m6, e6);
                const int f0 = edge == 1 ? 3 - rows : 0;
                for (int x = 0; x < ow; ++x)
                    for (int c = 0; c < ch; ++c) {
                        int64_t s = bias[(size_t)c];
                        for (int r = 0; r < rows; ++r)
                            for (int k = 0; k < 3; ++k) {
                                int col = x + k - pad;
                                if (col < 0 || col >= iw)
                                    continue;
                                s += (int64_t)(in[((size_t)r * iw + col) * ch + c] - z_in) *
                                     f[((size_t)(f0 + r) * 3 + k) * ch + c];
                            }
                        int32_t v = ch % 8 == 0
                                        ? ref::round_even((float)s * (s_in * sw[(size_t)c] * (1.0f / s_out)))
                                        : ref::apply((int32_t)s, mult[(size_t)c], shift[(size_t)c]);
                        if ((act == 1 || act == 2) && v < 0)
                            v = 0;
                        if (act == 2 && v > q6)
                            v = q6;
                        want[(size_t)x * ch + c] = (int8_t)ref::clamp((int64_t)v + z_out, -128, 127);
                    }
                EXPECT_EQ(a, want) << ch << " rows " << rows << " act " << act;
                EXPECT_EQ(b, want) << ch << " rows " << rows << " act " << act;
            }
}

// The INT8 3x3 row kernel of strides 1 and 2 (and its portable body) against
// the integer 3x3 sum and the stage's rule, channel by channel: channels
// below float_channels by their factors, the rest by the pairs.  Channel
// counts and row widths around the eight-lane blocks and the three-pixel
// steps; zero points at the ends of the INT8 range; windows cut at the top
// and bottom; taps with and without -128.
TEST(ConvKernels, QuantisedRowsOfStrideOneAndTwoMatchTheIntegerSum)
{
    std::mt19937 rng(8);
    const float s_in = 0.03f, s_out = 0.7f;
    int32_t m6, e6;
    ref::multiplier(1.0f / s_out, &m6, &e6);
    const int32_t q6 = ref::apply(6, m6, e6);
    const std::vector<DepthwiseRowsI8Body*> bodies =
        wide_bodies<DepthwiseRowsI8Body>(WIDE_BODIES(depthwise3x3_i8_rows));
    for (int ch : {0, 1, 7, 8, 9, 15, 16, 17, 32, 40, 64})
        for (int stride : {1, 2})
            for (int iw : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 19})
                for (int rows = 1; rows <= 3; ++rows)
                    for (int pad : {0, 1, 2}) {
                        const int span = iw + 2 * pad - 3;
                        const int ow = span < 0 ? 0 : span / stride + 1;
                        const int edge = rows == 3 ? 0 : ((iw + pad) % 2 ? 1 : -1);
                        const int act = (ch + iw + rows + pad) % 4;
                        const int nf = (ch + iw) % 3 == 0 ? ch : (ch + iw) % 3 == 1 ? ch / 8 * 8 : 0;
                        const int32_t z_in = (iw % 3 == 0) ? -128 : (iw % 3 == 1 ? 127 : 5);
                        const int32_t z_out = pad == 2 ? 127 : -128 + 9 * pad;
                        auto in = Random<int8_t>((size_t)rows * iw * ch, rng);
                        auto f = Random<int8_t>((size_t)9 * ch, rng);
                        // Taps with -128 among them (16-bit products), without
                        // (two 8-bit products per 16-bit lane), and the largest
                        // such sums: input -128, taps -127.
                        const int taps = (ch + iw + pad + rows) % 3;
                        if (taps == 0 && ch > 0)
                            f[(size_t)(ch + iw) % f.size()] = -128;
                        for (auto& v : f)
                            if (taps == 2 || (taps == 1 && v == -128))
                                v = -127;
                        if (taps == 2)
                            std::fill(in.begin(), in.end(), (int8_t)-128);
                        auto bias = Random<int32_t>((size_t)ch, rng, -30000, 30000);
                        const bool with_bias = (ch + pad) % 3 != 0;
                        std::vector<float> factors((size_t)ch);
                        std::vector<int32_t> mult((size_t)ch), shift((size_t)ch);
                        for (int c = 0; c < ch; ++c) {
                            const float s_w = 0.004f + 0.001f * (float)c;
                            factors[(size_t)c] = s_in * s_w * (1.0f / s_out);
                            ref::multiplier(s_in * s_w / s_out, &mult[(size_t)c], &shift[(size_t)c]);
                        }
                        const depthwise_i8_stage st = {factors.data(), nf, mult.data(), shift.data(),
                                                       z_in, z_out, q6, act, nullptr, nullptr};
                        std::vector<int8_t> a((size_t)ow * ch, 1), b(a.size(), 2), want(a.size());
                        const int32_t* bp = with_bias ? bias.data() : nullptr;
                        kernel_depthwise3x3_i8_rows(ow, ch, a.data(), iw, stride, pad, rows, edge,
                                                    in.data(), f.data(), bp, &st);
                        // The same with the layer's bias and blocks made beforehand.
                        std::vector<int8_t> prepared(a.size(), 3);
                        std::vector<int32_t> bias_in((size_t)ch);
                        std::vector<uint8_t> narrow((size_t)ch / 8 + 1);
                        depthwise_i8_stage st_prepared = st;
                        if (kernel_depthwise3x3_i8_reads_prepared()) {
                            kernel_depthwise3x3_i8_prepare(ch, f.data(), bp, z_in, bias_in.data(),
                                                           narrow.data());
                            st_prepared.bias_in = bias_in.data();
                            st_prepared.narrow = narrow.data();
                        }
                        kernel_depthwise3x3_i8_rows(ow, ch, prepared.data(), iw, stride, pad, rows,
                                                    edge, in.data(), f.data(), bp, &st_prepared);
                        depthwise3x3_i8_rows_portable(ow, ch, b.data(), iw, stride, pad, rows, edge,
                                                      in.data(), f.data(), bp, &st);
                        const int f0 = edge == 1 ? 3 - rows : 0;
                        for (int x = 0; x < ow; ++x)
                            for (int c = 0; c < ch; ++c) {
                                int64_t sum = with_bias ? bias[(size_t)c] : 0;
                                for (int r = 0; r < rows; ++r)
                                    for (int k = 0; k < 3; ++k) {
                                        const int col = x * stride + k - pad;
                                        if (col < 0 || col >= iw)
                                            continue;
                                        sum += (int64_t)(in[((size_t)r * iw + col) * ch + c] - z_in) *
                                               f[((size_t)(f0 + r) * 3 + k) * ch + c];
                                    }
                                int32_t v = c < nf ? ref::round_even((float)sum * factors[(size_t)c])
                                                   : ref::apply((int32_t)sum, mult[(size_t)c],
                                                                shift[(size_t)c]);
                                if ((act == 1 || act == 2) && v < 0)
                                    v = 0;
                                if (act == 2 && v > q6)
                                    v = q6;
                                want[(size_t)x * ch + c] = (int8_t)ref::clamp((int64_t)v + z_out, -128, 127);
                            }
                        EXPECT_EQ(a, want) << ch << " stride " << stride << " iw " << iw << " rows "
                                           << rows << " pad " << pad;
                        EXPECT_EQ(b, want) << ch << " stride " << stride << " iw " << iw << " rows "
                                           << rows << " pad " << pad;
                        EXPECT_EQ(prepared, want) << "prepared: " << ch << " stride " << stride
                                                  << " iw " << iw << " rows " << rows << " pad "
                                                  << pad;
                        /* the wide bodies this CPU has, called directly */
                        for (DepthwiseRowsI8Body* body : bodies) {
                            Guarded<int8_t> wide(want.size(), 77);
                            body(ow, ch, wide.data(), iw, stride, pad, rows, edge, in.data(),
                                 f.data(), bp, &st);
                            EXPECT_EQ(wide.out(), want) << "wide: " << ch << " stride " << stride
                                                        << " iw " << iw << " rows " << rows
                                                        << " pad " << pad;
                            EXPECT_TRUE(wide.guard_intact(77)) << "wide: " << ch << " iw " << iw;
                        }
                    }
}

}  // namespace
