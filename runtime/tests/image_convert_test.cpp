// Pixel conversion and normalisation: NEON and portable paths against naive
// loops written here, including tails and overlapping memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "image/image_convert.h"
#include "kestrune/nn.h"

namespace {

std::vector<uint8_t> rgba_pattern(size_t pixels)
{
    std::vector<uint8_t> v(pixels * 4);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>((i * 37 + 11) & 0xff);
    return v;
}

std::vector<float> expected_rgb(const std::vector<uint8_t>& rgba, size_t pixels)
{
    std::vector<float> out;
    for (size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 3; ++c)
            out.push_back(static_cast<float>(rgba[4 * i + c]));
    return out;
}

class RgbaToFloat : public ::testing::TestWithParam<size_t> {};

TEST_P(RgbaToFloat, MatchesNaiveLoopAndLeavesTheRestAlone)
{
    size_t n = GetParam();
    auto rgba = rgba_pattern(n);
    std::vector<float> out(3 * n + 4, -7.0f);
    ASSERT_TRUE(nn_image_rgba_to_float(out.data(), rgba.data(), n));
    auto want = expected_rgb(rgba, n);
    for (size_t i = 0; i < 3 * n; ++i)
        ASSERT_EQ(out[i], want[i]) << "element " << i;
    for (size_t i = 3 * n; i < out.size(); ++i)
        EXPECT_EQ(out[i], -7.0f) << "wrote past the end at " << i;
}

// Below, at, just above a 16-pixel step, and several steps with a tail.
INSTANTIATE_TEST_SUITE_P(PixelCounts, RgbaToFloat, ::testing::Values(0, 1, 15, 16, 17, 40, 307));

// Output overlapping the RGBA input: each case places the float output at a
// byte offset from the start of the input inside one shared block.
class RgbaToFloatOverlap : public ::testing::TestWithParam<long> {};

TEST_P(RgbaToFloatOverlap, ConvertsAsIfTheInputWereReadFirst)
{
    const size_t n = 40;
    long offset = GetParam();  // output start minus input start, in bytes
    std::vector<uint8_t> block(64 + 4 * n + 12 * n + 64);
    uint8_t* in = block.data() + 64 + (offset < 0 ? -offset : 0);
    float* out = reinterpret_cast<float*>(in + offset);
    auto rgba = rgba_pattern(n);
    std::memcpy(in, rgba.data(), rgba.size());
    ASSERT_TRUE(nn_image_rgba_to_float(out, in, n));
    auto want = expected_rgb(rgba, n);
    std::vector<float> got(3 * n);
    std::memcpy(got.data(), out, got.size() * sizeof(float));
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Offsets, RgbaToFloatOverlap, ::testing::Values(0L, 4L, 16L, -8L, -64L));

TEST(BytesToFloat, EveryByteValue)
{
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    std::vector<float> out(256);
    nn_image_bytes_to_float(out.data(), bytes.data(), bytes.size());
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(out[i], static_cast<float>(i));
}

// Double-precision reference of the standardisation.
std::vector<double> standardized(const std::vector<float>& v)
{
    double sum = 0, sq = 0;
    for (float x : v) {
        sum += x;
        sq += double(x) * x;
    }
    double n = double(v.size()), mean = sum / n, var = sq / n - mean * mean;
    double dev = var > 0 ? std::sqrt(var) : 0, floor = 1 / std::sqrt(n);
    double div = dev > floor ? dev : floor;
    std::vector<double> out;
    for (float x : v)
        out.push_back((x - mean) / div);
    return out;
}

TEST(Standardize, MatchesDoubleReference)
{
    const std::vector<std::vector<float>> cases = {
        {0, 255, 128, 64, 32, 16},
        {1, 2, 3, 4},
        {10.0f, 10.25f},          // deviation 0.125 is below the floor 1/sqrt(2)
        {-3, 5, 7, -1, 0, 2, 9},
    };
    for (const auto& c : cases) {
        auto v = c;
        standardize_buffer(v.data(), v.size());
        auto want = standardized(c);
        for (size_t i = 0; i < v.size(); ++i)
            EXPECT_NEAR(v[i], want[i], 1e-5) << "case of " << c.size() << " values, element " << i;
    }
}

TEST(Standardize, ConstantInputBecomesZeros)
{
    std::vector<float> v(12, 77.0f);
    standardize_buffer(v.data(), v.size());
    for (float x : v)
        EXPECT_EQ(x, 0.0f);
}

TEST(ApplyProc, FlagsRunInOrderAndCombine)
{
    const float k1 = 0.003921569f, k2 = 0.007843138f;
    struct Case {
        uint32_t proc;
        float in, want;
    } cases[] = {
        {0, 200, 200},
        {NN_IMAGE_PROC_NORMALIZE, 255, 255 * k1},
        {NN_IMAGE_PROC_SIGNED_NORMALIZE, 255, 255 * k2 - 1},
        {NN_IMAGE_PROC_SIGNED_NORMALIZE, 0, -1},
        {NN_IMAGE_PROC_NORMALIZE | NN_IMAGE_PROC_SIGNED_NORMALIZE, 255, (255 * k1) * k2 - 1},
        {NN_IMAGE_PROC_MIRROR | NN_IMAGE_PROC_FLIP, 9, 9},  // not normalisation flags
    };
    for (const auto& c : cases) {
        float v = c.in;
        nn_image_apply_proc(&v, 1, c.proc);
        EXPECT_FLOAT_EQ(v, c.want) << "proc " << c.proc;
    }
    // Signed normalisation of 255 lands on 1 within float rounding.
    float one = 255;
    nn_image_apply_proc(&one, 1, NN_IMAGE_PROC_SIGNED_NORMALIZE);
    EXPECT_NEAR(one, 1.0f, 1e-6);
}

TEST(ApplyProc, WhiteningComesAfterNormalize)
{
    std::vector<float> v = {0, 51, 102, 255};
    std::vector<float> scaled;
    for (float x : v)
        scaled.push_back(x * 0.003921569f);
    auto want = standardized(scaled);
    nn_image_apply_proc(v.data(), v.size(), NN_IMAGE_PROC_NORMALIZE | NN_IMAGE_PROC_WHITENING);
    for (size_t i = 0; i < v.size(); ++i)
        EXPECT_NEAR(v[i], want[i], 1e-5);
}

}  // namespace
