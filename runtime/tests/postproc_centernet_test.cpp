// CenterNet decoding through the real 3x3 max pooling.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kestrune/nn.h"
#include "postproc_util.h"
#include "recording_engine.h"

namespace {

using kestrune::test::F32;
using kestrune::test::Host;
using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

constexpr float kUntouched = -2.0f;

// Bytes the cache needs: pooled copy, then the pairs from max(16 M, 4 N M).
int32_t CacheBytes(int32_t n, int32_t m) { return std::max(16 * m, 4 * n * m) + 8 * m; }

struct Grid {
    int32_t n, h, w, c;
    int32_t m() const { return h * w * c; }
};

struct Decoding {
    Decoding(Grid g, std::vector<float> heat, std::vector<float> off, std::vector<float> size,
        int32_t out_rows, int32_t cache_bytes = -1)
        : heatmap({g.n, g.h, g.w, g.c}, heat),
          offsets({g.n, g.h * g.w * 2}, off),
          sizes({g.n, g.h * g.w * 2}, size),
          cache({cache_bytes < 0 ? CacheBytes(g.n, g.m()) : cache_bytes}, {}, 0, nullptr, NN_TYPE_U8),
          output({out_rows, 6}, {}, kUntouched)
    {
    }
    int Decode() { return nn_decode_centernet(heatmap, offsets, sizes, cache, output); }
    F32 heatmap, offsets, sizes;
    Host<uint8_t> cache;
    F32 output;
};

void ExpectRow(F32& out, int row, std::vector<float> want)
{
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(out[row * 6 + i], want[i], 1e-5) << "row " << row << " column " << i;
}

void ExpectUntouchedFrom(F32& out, int row)
{
    for (size_t i = static_cast<size_t>(row) * 6; i < out.volume(); ++i)
        ASSERT_EQ(out[i], kUntouched) << i;
    EXPECT_TRUE(out.GuardIntact());
}

TEST(CenterNet, SinglePeakAgainstHandValues)
{
    Grid g{1, 4, 4, 2};
    std::vector<float> heat(g.m(), 0.0f);
    heat[(1 * 4 + 2) * 2 + 1] = 0.8f;  // y 1, x 2, class 1
    heat[(1 * 4 + 1) * 2 + 1] = 0.3f;  // a neighbour below the peak: not a peak
    heat[(3 * 4 + 3) * 2 + 0] = 0.0f;
    std::vector<float> off(32, 0.0f), size(32, 1.0f);
    off[2 * 6] = 0.25f;  // cell 6 = (y 1, x 2)
    off[2 * 6 + 1] = 0.5f;
    size[2 * 6] = 2.0f;
    size[2 * 6 + 1] = 3.0f;
    Decoding r(g, heat, off, size, 50);
    ASSERT_EQ(r.Decode(), 0);
    // cx 2.25, cy 1.5, half sizes 1 and 1.5, scale 4.
    ExpectRow(r.output, 0, {5.0f, 0.0f, 13.0f, 12.0f, 0.8f, 1.0f});
    ExpectUntouchedFrom(r.output, 1);
    EXPECT_EQ(r.heatmap.values(), heat);  // non-peaks are cleared in the pooled copy only
    for (nn_tensor* t : {r.heatmap.t(), r.offsets.t(), r.sizes.t(), r.cache.t(), r.output.t()})
        EXPECT_EQ(nn_tensor_mapped(t), 0);
}

TEST(CenterNet, FlatRegionMakesEveryCellAPeak)
{
    Grid g{1, 3, 3, 1};
    Decoding r(g, std::vector<float>(9, 0.5f), std::vector<float>(18, 0.0f),
          std::vector<float>(18, 0.0f), 50);
    ASSERT_EQ(r.Decode(), 0);
    // Equal scores: the higher index first, cell 8 down to cell 0.
    for (int row = 0; row < 9; ++row) {
        int cell = 8 - row;
        float x = static_cast<float>(cell % 3) * 4, y = static_cast<float>(cell / 3) * 4;
        ExpectRow(r.output, row, {x, y, x, y, 0.5f, 0.0f});
    }
    ExpectUntouchedFrom(r.output, 9);
}

TEST(CenterNet, TenCellsExamineAtMostTen)
{
    Grid g{1, 2, 5, 1};
    std::vector<float> heat(10);
    for (int i = 0; i < 10; ++i)
        heat[i] = 1.0f;
    Decoding r(g, heat, std::vector<float>(20, 0.0f), std::vector<float>(20, 0.0f), 12);
    ASSERT_EQ(r.Decode(), 0);
    for (int row = 0; row < 10; ++row)
        EXPECT_EQ(r.output[row * 6 + 4], 1.0f);
    ExpectUntouchedFrom(r.output, 10);
}

TEST(CenterNet, AtMostFiftyPerImage)
{
    Grid g{1, 8, 8, 1};
    // 64 equal cells are all peaks; only the best 50 become rows.
    Decoding r(g, std::vector<float>(64, 0.25f), std::vector<float>(128, 0.0f),
          std::vector<float>(128, 0.0f), 60);
    ASSERT_EQ(r.Decode(), 0);
    for (int row = 0; row < 50; ++row)
        EXPECT_EQ(r.output[row * 6 + 4], 0.25f);
    ExpectUntouchedFrom(r.output, 50);
}

TEST(CenterNet, EachImageUsesItsOwnOffsetsAndSizes)
{
    Grid g{2, 2, 2, 1};
    std::vector<float> heat = {0.9f, 0, 0, 0, /* image 1 */ 0, 0, 0, 0.6f};
    std::vector<float> off(16, 0.0f), size(16, 0.0f);
    off[0] = 0.5f, off[1] = 0.5f, size[0] = 1, size[1] = 2;           // image 0, cell 0
    off[8 + 0] = 9, off[8 + 1] = 9, size[8 + 0] = 9, size[8 + 1] = 9; // image 1, cell 0 (unused)
    off[8 + 6] = 0.25f, off[8 + 7] = 0.75f;                            // image 1, cell 3
    size[8 + 6] = 0.5f, size[8 + 7] = 1.5f;
    Decoding r(g, heat, off, size, 4);
    ASSERT_EQ(r.Decode(), 0);
    // Image 0: centre (0.5, 0.5), half sizes (0.5, 1).
    ExpectRow(r.output, 0, {0.0f, -2.0f, 4.0f, 6.0f, 0.9f, 0.0f});
    // Image 1: cell 3 = (x 1, y 1), centre (1.25, 1.75), half sizes (0.25, 0.75).
    ExpectRow(r.output, 1, {4.0f, 4.0f, 6.0f, 10.0f, 0.6f, 0.0f});
    ExpectUntouchedFrom(r.output, 2);
}

TEST(CenterNet, FiveImagesKeepThePairsClearOfThePooledCopy)
{
    Grid g{5, 2, 2, 1};
    std::vector<float> heat(20, 0.0f);
    for (int n = 0; n < 5; ++n)
        heat[n * 4 + n % 4] = 0.1f * static_cast<float>(n + 1);
    Decoding r(g, heat, std::vector<float>(40, 0.0f), std::vector<float>(40, 0.0f), 6);
    ASSERT_EQ(r.Decode(), 0);
    for (int n = 0; n < 5; ++n) {
        float x = static_cast<float>(n % 4 % 2) * 4, y = static_cast<float>(n % 4 / 2) * 4;
        ExpectRow(r.output, n, {x, y, x, y, 0.1f * static_cast<float>(n + 1), 0.0f});
    }
    ExpectUntouchedFrom(r.output, 5);
}

TEST(CenterNet, RowsBeyondTheOutputAreNotWritten)
{
    Grid g{1, 1, 3, 1};
    Decoding r(g, {0.5f, 0.1f, 0.7f}, std::vector<float>(6, 0.0f), std::vector<float>(6, 0.0f), 1);
    ASSERT_EQ(r.Decode(), 0);
    ExpectRow(r.output, 0, {8.0f, 0.0f, 8.0f, 0.0f, 0.7f, 0.0f});
    EXPECT_TRUE(r.output.GuardIntact());
}

TEST(CenterNet, Failures)
{
    Grid g{1, 2, 2, 1};
    std::vector<float> heat = {0.9f, 0, 0, 0};
    {
        SCOPED_TRACE("cache one byte short");
        Decoding r(g, heat, std::vector<float>(8), std::vector<float>(8), 2, CacheBytes(1, 4) - 1);
        EXPECT_EQ(r.Decode(), NN_ERROR_OUT_OF_RESOURCES);
        ExpectUntouchedFrom(r.output, 0);
    }
    {
        SCOPED_TRACE("five images, cache one byte short of 28 M");
        Grid five{5, 2, 2, 1};
        Decoding r(five, std::vector<float>(20), std::vector<float>(40), std::vector<float>(40), 2,
              CacheBytes(5, 4) - 1);
        EXPECT_EQ(CacheBytes(5, 4), 28 * 4);
        EXPECT_EQ(r.Decode(), NN_ERROR_OUT_OF_RESOURCES);
    }
    {
        SCOPED_TRACE("offsets of one image for two");
        F32 heatmap({2, 2, 2, 1}), offsets({1, 8}), sizes({2, 8});
        Host<uint8_t> cache({CacheBytes(2, 4)}, {}, 0, nullptr, NN_TYPE_U8);
        F32 output({4, 6});
        EXPECT_EQ(nn_decode_centernet(heatmap, offsets, sizes, cache, output),
                  NN_ERROR_INVALID_SHAPE);
    }
    {
        SCOPED_TRACE("INT32 heatmap");
        Host<int32_t> heatmap({1, 2, 2, 1});
        F32 offsets({1, 8}), sizes({1, 8}), output({2, 6});
        Host<uint8_t> cache({CacheBytes(1, 4)}, {}, 0, nullptr, NN_TYPE_U8);
        EXPECT_EQ(nn_decode_centernet(heatmap, offsets, sizes, cache, output),
                  NN_ERROR_TYPE_MISMATCH);
    }
    RecordingEngine eng({Slot::kTensorInit, Slot::kAssign, Slot::kMapRo, Slot::kMapRw,
                         Slot::kUnmap});
    eng.SetMapResult(Slot::kMapRo, nullptr);
    eng.SetMapResult(Slot::kMapRw, nullptr);
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);  // output, offsets, sizes not mappable
        F32 heatmap({1, 2, 2, 1}, heat);
        F32 good_off({1, 8}), good_size({1, 8}), good_out({2, 6}, {}, kUntouched);
        F32 bad_off({1, 8}, {}, 0.0f, eng.engine()), bad_size({1, 8}, {}, 0.0f, eng.engine());
        F32 bad_out({2, 6}, {}, 0.0f, eng.engine());
        Host<uint8_t> cache({CacheBytes(1, 4)}, {}, 0, nullptr, NN_TYPE_U8);
        EXPECT_EQ(nn_decode_centernet(heatmap, which == 1 ? bad_off.t() : good_off.t(),
                                      which == 2 ? bad_size.t() : good_size.t(), cache,
                                      which == 0 ? bad_out.t() : good_out.t()),
                  NN_ERROR_TENSOR_NO_DATA);
        for (nn_tensor* t : {heatmap.t(), good_off.t(), good_size.t(), good_out.t(), cache.t()})
            EXPECT_EQ(nn_tensor_mapped(t), 0);
        ExpectUntouchedFrom(good_out, 0);
    }
}

}  // namespace
