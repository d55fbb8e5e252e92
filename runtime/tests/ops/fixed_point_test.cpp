#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "kernels/fixed_point.h"
#include "ref.h"

namespace {

struct MultiplierCase {
    float scale;
    int32_t m;
    int32_t e;
};

TEST(FixedPoint, QuantizeMultiplierTable)
{
    const float inf = std::numeric_limits<float>::infinity();
    const MultiplierCase cases[] = {
        {1.0f, 1 << 30, 1},
        {0.5f, 1 << 30, 0},
        {0.75f, 3 << 29, 0},
        {0.0f, 0, 0},
        {0.25f, 1 << 30, -1},
        {-1.0f, -(1 << 30), 1},
        // the largest float below 1 keeps its 24 mantissa bits
        {std::nextafter(1.0f, 0.0f), 2147483520, 0},
        {-std::nextafter(1.0f, 0.0f), -2147483520, 0},
        // a zero output scale in a model gives an infinite or NaN ratio
        {inf, 0, 0},
        {-inf, 0, 0},
        {std::nanf(""), 0, 0},
    };
    for (const auto& c : cases) {
        int32_t m = 7, e = 7;
        quantize_multiplier(&m, &e, c.scale);
        EXPECT_EQ(m, c.m) << c.scale;
        EXPECT_EQ(e, c.e) << c.scale;
    }
}

TEST(FixedPoint, RoundingTables)
{
    // mul_q31 rounds halves toward +inf
    EXPECT_EQ(mul_q31(5, 1 << 30), 3);    // 2.5
    EXPECT_EQ(mul_q31(-5, 1 << 30), -2);  // -2.5
    EXPECT_EQ(mul_q31(0, 1 << 30), 0);
    // round_shift rounds halves away from zero
    struct {
        int32_t h;
        int n;
        int32_t want;
    } shifts[] = {{6, 2, 2}, {5, 2, 1}, {-6, 2, -2}, {-5, 2, -1}, {7, 0, 7}, {3, 1, 2},
                  {-3, 1, -2}, {INT32_MIN, 31, -1}, {INT32_MAX, 40, 0}, {INT32_MIN, 32, -1}};
    for (const auto& s : shifts)
        EXPECT_EQ(round_shift(s.h, s.n), s.want) << s.h << " >> " << s.n;

    struct {
        int32_t x;
        float scale;
        int32_t want;
    } applies[] = {{5, 0.5f, 3}, {-5, 0.5f, -2}, {5, 0.25f, 2}, {100, 1.0f, 100},
                   {-100, 1.0f, -100}, {3, 2.0f, 6}, {7, 0.0f, 0}};
    for (const auto& a : applies) {
        int32_t m, e;
        quantize_multiplier(&m, &e, a.scale);
        EXPECT_EQ(apply_multiplier(a.x, m, e), a.want) << a.x << " * " << a.scale;
    }
}

TEST(FixedPoint, RatioOneIsIdentityBelowTwoToThirty)
{
    int32_t m, e;
    quantize_multiplier(&m, &e, 1.0f);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int32_t> d(-(1 << 30) + 1, (1 << 30) - 1);
    for (int i = 0; i < 100000; ++i) {
        int32_t x = d(rng);
        ASSERT_EQ(apply_multiplier(x, m, e), x);
    }
}

TEST(FixedPoint, LeftShiftWraps)
{
    // ratio 8: e = 4, the shift loses the top bits in 32-bit arithmetic
    int32_t m, e;
    quantize_multiplier(&m, &e, 8.0f);
    ASSERT_EQ(e, 4);
    int32_t x = 0x10000001;
    EXPECT_EQ(apply_multiplier(x, m, e), ref::apply(x, m, e));
}

// A million random (x, scale) pairs against the 128-bit reference.
TEST(FixedPoint, RandomPairsAgainstWideReference)
{
    std::mt19937_64 rng(1234);
    std::uniform_real_distribution<double> lg(-20.0, 6.0);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> small(-100000, 100000);
    for (int i = 0; i < 1000000; ++i) {
        float scale = (float)std::exp2(lg(rng));
        if (i & 1)
            scale = -scale;
        int32_t x = (i % 3 == 0) ? any(rng) : small(rng);
        int32_t m, e, rm, re;
        quantize_multiplier(&m, &e, scale);
        ref::multiplier(scale, &rm, &re);
        ASSERT_EQ(m, rm) << scale;
        ASSERT_EQ(e, re) << scale;
        ASSERT_EQ(apply_multiplier(x, m, e), ref::apply(x, rm, re)) << x << " * " << scale;
    }
}

TEST(FixedPoint, RoundingDivideAndStore)
{
    EXPECT_EQ(rounding_divide(3, 2), 2);
    EXPECT_EQ(rounding_divide(-3, 2), -2);
    EXPECT_EQ(rounding_divide(3, -2), -2);
    EXPECT_EQ(rounding_divide(5, 4), 1);
    EXPECT_EQ(rounding_divide(-7, 3), -2);
    EXPECT_EQ(rounding_divide(0, 5), 0);

    struct {
        nn_type type;
        int64_t v;
        int64_t want;
    } stores[] = {
        {NN_TYPE_I8, 200, 127},      {NN_TYPE_I8, -200, -128},   {NN_TYPE_U8, 300, 255},
        {NN_TYPE_U8, -4, 0},         {NN_TYPE_I16, 40000, 32767}, {NN_TYPE_I16, -40000, -32768},
        {NN_TYPE_U16, 70000, 65535}, {NN_TYPE_U16, -1, 0},        {NN_TYPE_I32, (int64_t)1 << 40, INT32_MAX},
        {NN_TYPE_I32, -((int64_t)1 << 40), INT32_MIN}, {NN_TYPE_U32, 0, 0}, {NN_TYPE_U32, -5, 0},
        {NN_TYPE_U32, 3000000000LL, 3000000000LL},
    };
    for (const auto& s : stores) {
        unsigned char buf[8] = {0};
        quant_store(buf, 0, s.v, s.type);
        int64_t got = 0;
        switch (s.type) {
        case NN_TYPE_I8: got = (int8_t)buf[0]; break;
        case NN_TYPE_U8: got = buf[0]; break;
        case NN_TYPE_I16: { int16_t v; memcpy(&v, buf, 2); got = v; } break;
        case NN_TYPE_U16: { uint16_t v; memcpy(&v, buf, 2); got = v; } break;
        case NN_TYPE_I32: { int32_t v; memcpy(&v, buf, 4); got = v; } break;
        default: { uint32_t v; memcpy(&v, buf, 4); got = v; } break;
        }
        EXPECT_EQ(got, s.want) << "type " << s.type << " v " << s.v;
    }
    unsigned char f[4] = {1, 2, 3, 4};
    quant_store(f, 0, 5, NN_TYPE_F32);  // other types store nothing
    EXPECT_EQ(f[0], 1);
    EXPECT_EQ(f[3], 4);
}

TEST(FixedPoint, ScalesCloseThreshold)
{
    float limit;
    uint32_t bits = 0x3727C5AC;
    memcpy(&limit, &bits, 4);
    EXPECT_EQ(limit, 1e-5f);
    EXPECT_TRUE(scales_close(std::nextafter(limit, 0.0f)));
    EXPECT_FALSE(scales_close(limit));
    EXPECT_FALSE(scales_close(std::nanf("")));
}

}  // namespace
