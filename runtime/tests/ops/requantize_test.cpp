#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kernels/fixed_point.h"
#include "kernels/portable.h"
#include "ref.h"

namespace {

using ref::Quant;

// Per-channel INT8 with count 12: the first eight values by float scales
// (ties to even), the last four by the integer pairs (ties away / upward).
TEST(Requantize, PerChannelInt8SplitsAtEight)
{
    Quant out(NN_TYPE_I8, 1.0f, 0);
    Quant in(NN_TYPE_I32, 0.5f, 0);
    std::vector<int32_t> acc(12, 5), mult(12), shift(12);
    for (int i = 0; i < 12; ++i)
        quantize_multiplier(&mult[i], &shift[i], 0.5f);
    std::vector<int8_t> got(12, 99);
    requantize_accumulators(got.data(), 12, acc.data(), 0, out.p(), in.p(), mult.data(),
                            shift.data());
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(got[i], 2) << i;  // 2.5 -> 2
    for (int i = 8; i < 12; ++i)
        EXPECT_EQ(got[i], 3) << i;  // mul_q31 rounds 2.5 up
}

TEST(Requantize, PathChoice)
{
    std::vector<int32_t> acc = {-300, -7, 0, 7, 300, 1000};
    const int n = (int)acc.size();
    std::vector<int32_t> mult(n), shift(n);
    for (int i = 0; i < n; ++i)
        quantize_multiplier(&mult[i], &shift[i], 0.25f);

    // per-channel integer path: UINT8 output, zero point added, [0, 255]
    {
        Quant out(NN_TYPE_U8, 0.1f, 10);
        Quant in(NN_TYPE_I32, 1.0f, 0);
        std::vector<uint8_t> got(n);
        requantize_accumulators(got.data(), n, acc.data(), 0, out.p(), in.p(), mult.data(),
                                shift.data());
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(got[i], ref::clamp((int64_t)ref::apply_scale(acc[i], 0.25f) + 10, 0, 255));
    }
    // without the arrays the per-tensor path: input zero point subtracted,
    // rescaled by s_in / s_out
    {
        Quant out(NN_TYPE_I16, 2.0f, 3);
        Quant in(NN_TYPE_I32, 0.5f, -4);
        std::vector<int16_t> got(n);
        requantize_accumulators(got.data(), n, acc.data(), 0, out.p(), in.p(), nullptr, nullptr);
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(got[i], ref::apply_scale(acc[i] + 4, 0.25f) + 3) << i;
    }
    // one array missing: per-tensor path too
    {
        Quant out(NN_TYPE_I8, 1.0f, 0);
        Quant in(NN_TYPE_I32, 1.0f, 0);
        std::vector<int8_t> got(n);
        requantize_accumulators(got.data(), n, acc.data(), 0, out.p(), in.p(), mult.data(),
                                nullptr);
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(got[i], ref::clamp(acc[i], -128, 127)) << i;
    }
}

TEST(Requantize, IdentityShortcutAndRelu)
{
    // same type, zero point and scale: copied, then clamped by the activation
    Quant q(NN_TYPE_I8, 0.1f, -5);
    std::vector<int8_t> in = {-128, -6, -5, -4, 0, 54, 55, 56, 127};
    std::vector<int8_t> relu(in.size()), relu6(in.size()), lin(in.size());
    requantize_accumulators(lin.data(), (int)in.size(), in.data(), 0, q.p(), q.p(), nullptr, nullptr);
    requantize_accumulators(relu.data(), (int)in.size(), in.data(), 1, q.p(), q.p(), nullptr, nullptr);
    requantize_accumulators(relu6.data(), (int)in.size(), in.data(), 2, q.p(), q.p(), nullptr, nullptr);
    int32_t q6 = ref::apply_scale(6, 1.0f / 0.1f);  // 60
    for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(lin[i], in[i]);
        EXPECT_EQ(relu[i], std::max<int>(in[i], -5));
        EXPECT_EQ(relu6[i], std::min<int>(std::max<int>(in[i], -5), -5 + q6));
    }
    // in place
    std::vector<int8_t> inplace = in;
    requantize_accumulators(inplace.data(), (int)in.size(), inplace.data(), 1, q.p(), q.p(),
                            nullptr, nullptr);
    EXPECT_EQ(inplace, relu);
}

TEST(Requantize, PerTensorRelu6AndSaturation)
{
    Quant in(NN_TYPE_U8, 0.05f, 128);
    Quant out(NN_TYPE_U8, 0.1f, 2);
    std::vector<uint8_t> x = {0, 100, 128, 129, 200, 255};
    std::vector<uint8_t> got(x.size());
    requantize_accumulators(got.data(), (int)x.size(), x.data(), 2, out.p(), in.p(), nullptr, nullptr);
    int32_t q6 = ref::apply_scale(6, 1.0f / 0.1f);
    for (size_t i = 0; i < x.size(); ++i) {
        int32_t v = ref::apply_scale(x[i] - 128, 0.05f / 0.1f);
        v = std::min(std::max(v, 0), q6);
        EXPECT_EQ(got[i], ref::clamp(v + 2, 0, 255)) << i;
    }
    // UINT16 and UINT32 outputs
    Quant i32(NN_TYPE_I32, 1.0f, 0);
    Quant u16(NN_TYPE_U16, 1.0f, 0);
    Quant u32(NN_TYPE_U32, 1.0f, 0);
    std::vector<int32_t> big = {-1, 65535, 70000, 1 << 29};
    std::vector<uint16_t> g16(4);
    std::vector<uint32_t> g32(4);
    requantize_accumulators(g16.data(), 4, big.data(), 0, u16.p(), i32.p(), nullptr, nullptr);
    requantize_accumulators(g32.data(), 4, big.data(), 0, u32.p(), i32.p(), nullptr, nullptr);
    EXPECT_EQ(g16, (std::vector<uint16_t>{0, 65535, 65535, 65535}));
    EXPECT_EQ(g32, (std::vector<uint32_t>{0, 65535, 70000, 1u << 29}));
}

// A per-channel input record: element i takes scale and zero point i mod count.
TEST(Requantize, PerTensorPathWithPerChannelInput)
{
    Quant in(NN_TYPE_I8, {0.5f, 0.25f}, {1, -1});
    Quant out(NN_TYPE_I8, 1.0f, 0);
    std::vector<int8_t> x = {9, 9, 9, 9, 9};
    std::vector<int8_t> got(5);
    requantize_accumulators(got.data(), 5, x.data(), 0, out.p(), in.p(), nullptr, nullptr);
    for (int i = 0; i < 5; ++i) {
        float s = i % 2 ? 0.25f : 0.5f;
        int32_t z = i % 2 ? -1 : 1;
        EXPECT_EQ(got[i], ref::apply_scale(9 - z, s)) << i;
    }
}

// RELU6 on the per-channel paths clamps at the output's 6.0 as well.
TEST(Requantize, PerChannelRelu6ClampsAtSix)
{
    Quant out8(NN_TYPE_I8, 0.1f, 0);
    Quant outu(NN_TYPE_U8, 0.1f, 0);
    Quant in(NN_TYPE_I32, 0.1f, 0);
    const int n = 10;
    std::vector<int32_t> acc(n, 100), mult(n), shift(n);
    for (int i = 0; i < n; ++i)
        quantize_multiplier(&mult[i], &shift[i], 1.0f);
    std::vector<int8_t> g8(n);
    std::vector<uint8_t> gu(n);
    requantize_accumulators(g8.data(), n, acc.data(), 2, out8.p(), in.p(), mult.data(), shift.data());
    requantize_accumulators(gu.data(), n, acc.data(), 2, outu.p(), in.p(), mult.data(), shift.data());
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(g8[i], 60) << i;
        EXPECT_EQ(gu[i], 60) << i;
    }
    // RELU leaves values above 6.0 alone
    requantize_accumulators(g8.data(), n, acc.data(), 1, out8.p(), in.p(), mult.data(), shift.data());
    EXPECT_EQ(g8[0], 100);
    EXPECT_EQ(g8[9], 100);
}

TEST(Requantize, CountZeroWritesNothing)
{
    Quant q(NN_TYPE_I8, 1.0f, 0);
    int8_t out[2] = {7, 7};
    int8_t in[2] = {1, 1};
    requantize_accumulators(out, 0, in, 0, q.p(), q.p(), nullptr, nullptr);
    requantize_accumulators(out, -3, in, 0, q.p(), q.p(), nullptr, nullptr);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 7);
}

// The eight-lane body against the portable one over random data and counts.
TEST(Requantize, Int8KernelBodiesAgree)
{
    std::mt19937 rng(5);
    std::uniform_int_distribution<int32_t> acc(-40000, 40000);
    Quant out(NN_TYPE_I8, 0.37f, -3);
    Quant in(NN_TYPE_I32, {0.011f, 0.02f, 0.013f}, {0, 0, 0});
    for (int act = 0; act <= 2; ++act)
        for (int n = 0; n <= 67; ++n) {
            std::vector<int32_t> x(n), m(n), s(n);
            for (int i = 0; i < n; ++i) {
                x[i] = acc(rng);
                quantize_multiplier(&m[i], &s[i], in.scales[i % 3] / 0.37f);
            }
            std::vector<int8_t> a(n + 1, 0x55), b(n + 1, 0x55);
            requantize_i8_kernel(a.data(), n, x.data(), act, out.p(), in.p(), m.data(), s.data());
            requantize_i8_kernel_portable(b.data(), n, x.data(), act, out.p(), in.p(), m.data(),
                                          s.data());
            ASSERT_EQ(a, b) << "count " << n << " act " << act;
            ASSERT_EQ(a[n], 0x55);
            // the float half against a reference of its rule
            for (int i = 0; i < n / 8 * 8; ++i) {
                float f = in.scales[i % 3] * (1.0f / 0.37f);
                int64_t r = ref::round_even((float)x[i] * f);
                if (act)
                    r = std::max<int64_t>(r, 0);
                if (act == 2)
                    r = std::min<int64_t>(r, ref::apply_scale(6, 1.0f / 0.37f));
                ASSERT_EQ(a[i], ref::clamp(r - 3, -128, 127)) << i;
            }
        }
}

}  // namespace
