// One table of convolution cases run through every CPU variant (1x1, tiled
// GEMM, direct, depthwise) against the reference loops of conv_support.h.
#include <gtest/gtest.h>
#include <omp.h>

#include <string>

#include "conv_cases.h"

using namespace conv_test;

namespace {

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
    // im2col runs of every length class: a few channels per tap
    {"f32 3x3 s2 cin2", {1, 7, 12, 2, 16, 3, 3, 2, 2, 0, 1, 0, 1, 1, 1}, Q::F32, true, 2, false, false},
    {"f32 3x3 cin5", {1, 5, 9, 5, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, false, 1, false, false},
    {"i8pc 3x3 s2 cin1 rz", {1, 9, 14, 1, 8, 3, 3, 2, 2, 0, 1, 0, 1, 1, 1}, Q::I8PC, true, 2, false, true},
    {"i8pc 3x3 cin2 rz", {1, 5, 9, 2, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 1, false, true},
    {"i8pc 3x3 s2 cin3 rz", {1, 9, 12, 3, 32, 3, 3, 2, 2, 0, 1, 0, 1, 1, 1}, Q::I8PC, true, 2, false, true},
    {"i8 3x3 cin6", {1, 5, 8, 6, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, false, 0, false, false},
    // depthwise: cin = cout = CH
    {"dw f32 rows", {2, 6, 6, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 1, true, false},
    {"dw f32 s2", {1, 7, 7, 5, 5, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, Q::F32, true, 2, true, false},
    {"dw f32 h2", {1, 2, 7, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, false, 3, true, false},
    {"dw f32 dilated", {1, 8, 9, 3, 3, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::F32, true, 5, true, false},
    {"dw f32 cut by two", {1, 4, 5, 6, 6, 3, 3, 1, 1, 2, 2, 2, 2, 1, 1}, Q::F32, true, 4, true, false},
    {"dw i8pc rows", {2, 5, 6, 16, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 2, true, false},
    {"dw i8 rows scalar", {1, 5, 5, 13, 13, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 1, true, false},
    {"dw i8pc 5x5", {1, 6, 6, 24, 24, 5, 5, 1, 1, 2, 2, 2, 2, 1, 1}, Q::I8PC, false, 4, true, false},
    {"dw i8 s2 ch12", {1, 7, 8, 12, 12, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, Q::I8, true, 2, true, false},
    {"dw u8", {1, 5, 5, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::U8, true, 1, true, false},
    {"dw i8pc no bias", {1, 4, 5, 16, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, false, 1, true, false},
    {"dw i8 dilated no bias", {1, 7, 7, 9, 9, 3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, Q::I8, false, 0, true, false},
    {"dw i8pc cut by two", {1, 4, 5, 8, 8, 3, 3, 1, 1, 2, 2, 2, 2, 1, 1}, Q::I8PC, true, 2, true, false},
    {"dw i8 sigmoid", {1, 4, 5, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8, true, 3, true, false},
    // the 3x3 row kernels at stride 2: interiors of several steps, odd widths
    {"dw f32 s2 wide", {1, 9, 14, 9, 9, 3, 3, 2, 2, 0, 1, 0, 1, 1, 1}, Q::F32, true, 2, true, false},
    {"dw f32 s1 wide", {1, 5, 13, 7, 7, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, false, 0, true, false},
    {"dw i8pc s2 ch16", {1, 9, 14, 16, 16, 3, 3, 2, 2, 0, 1, 0, 1, 1, 1}, Q::I8PC, true, 2, true, false},
    {"dw i8pc s2 ch17 pad1", {1, 8, 11, 17, 17, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, Q::I8PC, false, 1, true, false},
    {"dw i8pc s1 ch24 wide", {1, 4, 13, 24, 24, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::I8PC, true, 2, true, false},
    // FLOAT32 pixels read in place (short filter rows, width-16 panels):
    // edge columns on both sides, interiors around the wide tiles' 12 and 6
    // rows, three panels, rows whose window misses the image
    {"f32 in place s2 edges", {1, 9, 27, 3, 32, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, Q::F32, true, 2, false, false},
    {"f32 in place ow27 cout48", {1, 4, 27, 2, 48, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, false, 5, false, false},
    {"f32 in place 1x7", {1, 3, 13, 1, 16, 1, 7, 1, 1, 0, 0, 3, 3, 1, 1}, Q::F32, true, 1, false, false},
    {"f32 in place narrow", {1, 4, 2, 3, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 0, false, false},
    {"f32 in place rows outside", {1, 3, 9, 3, 16, 3, 3, 1, 1, 3, 0, 1, 1, 1, 1}, Q::F32, true, 3, false, false},
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

// A network's first layer: each output row (3x3 over 3 channels into 32) is
// far less than a team's work, the whole image is more, so the threads share
// whole rows, each with its own tile in a slice of the cache (roomy: whole
// rows; tight: slices of two columns or one; too tight for a slice each: the
// threads share each tile instead).  Same values as the reference at 1 and
// 8 threads, batch of two, odd width.
TEST(ConvTable, ThreadsShareWholeRowsOfThinTiles)
{
    const Case cases[] = {
        {"rows f32", {2, 40, 41, 3, 32, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 2, false, false},
        {"rows i8pc s2", {2, 79, 81, 3, 32, 3, 3, 2, 2, 0, 1, 0, 1, 1, 1}, Q::I8PC, true, 2, false, true},
    };
    for (const Case& c : cases) {
        const size_t row = 27 * (c.q == Q::F32 ? 4 : 1);
        for (int threads : {1, 8})
            for (size_t cache : {(size_t)1 << 20, 8 * 2 * row + 512, 8 * row, 2 * row + 1})
                Check(c, Variant::Gemm, cache, threads);
    }
    omp_set_num_threads(4);
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
