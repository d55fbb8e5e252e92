#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <random>
#include <vector>

#include "tensor_ops_fixture.h"

namespace {

using testfx::Tensor;

struct PoolGeom {
    int32_t n, ih, iw, ch, oh, ow;
    int32_t k[4], s[4], p[8];
};

// The naive six-loop pool: valid taps only, rows beyond the bottom padding
// untouched (max) or zero (average).
std::vector<float> RefPool(const PoolGeom& g, const std::vector<float>& in, bool average,
                           float untouched)
{
    std::vector<float> out((size_t)g.n * g.oh * g.ow * g.ch, untouched);
    for (int n = 0; n < g.n; ++n)
        for (int oy = 0; oy < g.oh; ++oy) {
            int iy0 = oy * g.s[1] - g.p[2];
            bool skip = iy0 + g.k[1] - g.ih > g.p[3];
            for (int ox = 0; ox < g.ow; ++ox)
                for (int c = 0; c < g.ch; ++c) {
                    float& o = out[(((size_t)n * g.oh + oy) * g.ow + ox) * g.ch + c];
                    if (average)
                        o = 0.0f;
                    if (skip)
                        continue;
                    float m = -1e9f, sum = 0.0f;
                    int count = 0;
                    for (int ky = 0; ky < g.k[1]; ++ky) {
                        int iy = iy0 + ky;
                        if (iy < 0 || iy >= g.ih)
                            continue;
                        for (int kx = 0; kx < g.k[2]; ++kx) {
                            int ix = ox * g.s[2] - g.p[4] + kx;
                            if (ix < 0 || ix >= g.iw)
                                continue;
                            float v = in[(((size_t)n * g.ih + iy) * g.iw + ix) * g.ch + c];
                            m = count == 0 || v > m ? v : m;
                            sum += v;
                            ++count;
                        }
                    }
                    o = average ? sum * (count ? 1.0f / (float)count : 0.0f) : (count ? m : -1e9f);
                }
        }
    return out;
}

std::vector<float> Iota(size_t n, float scale, float offset)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (float)((i * 7919) % 101) * scale + offset;
    return v;
}

TEST(Pooling, FloatAgainstNaivePool)
{
    const PoolGeom geoms[] = {
        {1, 4, 4, 1, 4, 4, {1, 3, 3, 1}, {1, 1, 1, 1}, {0, 0, 1, 1, 1, 1, 0, 0}},
        {1, 4, 4, 2, 2, 2, {1, 2, 2, 1}, {1, 2, 2, 1}, {0}},
        {1, 4, 4, 1, 2, 3, {1, 2, 2, 1}, {1, 2, 2, 1}, {0, 0, 0, 0, 1, 0, 0, 0}},
        {2, 9, 7, 13, 5, 4, {1, 3, 3, 1}, {1, 2, 2, 1}, {0, 0, 1, 1, 1, 1, 0, 0}},
        {1, 3, 3, 5, 6, 3, {1, 2, 2, 1}, {1, 1, 1, 1}, {0, 0, 0, 1, 0, 1, 0, 0}},  // extra rows
        {3, 5, 5, 4, 1, 1, {1, 5, 5, 1}, {1, 1, 1, 1}, {0}},
    };
    for (const auto& g : geoms)
        for (int average = 0; average < 2; ++average) {
            Tensor in(NN_TYPE_F32, {g.n, g.ih, g.iw, g.ch}), out(NN_TYPE_F32, {g.n, g.oh, g.ow, g.ch});
            std::vector<float> x = Iota((size_t)g.n * g.ih * g.iw * g.ch, 0.25f, -12.0f);
            in.set(x);
            out.set(std::vector<float>((size_t)g.n * g.oh * g.ow * g.ch, 77.0f));
            int status = average ? nn_avgpool_ex(out, in, nullptr, g.k, g.s, g.p)
                                 : nn_maxpool_ex(out, in, g.k, g.s, g.p);
            ASSERT_EQ(status, 0);
            std::vector<float> want = RefPool(g, x, average, 77.0f);
            EXPECT_EQ(out.get<float>(), want) << "geometry " << (&g - geoms) << " avg " << average;
            EXPECT_EQ(nn_tensor_mapped(out) + nn_tensor_mapped(in), 0);
        }
}

TEST(Pooling, SmallFixtures)
{
    Tensor in(NN_TYPE_F32, {1, 4, 4, 1}), out(NN_TYPE_F32, {1, 2, 2, 1});
    in.set<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const int32_t k[4] = {1, 2, 2, 1}, s[4] = {1, 2, 2, 1};
    ASSERT_EQ(nn_maxpool(out, in, k, s), 0);
    EXPECT_EQ(out.get<float>(), (std::vector<float>{6, 8, 14, 16}));
    ASSERT_EQ(nn_avgpool(out, in, k, s), 0);
    EXPECT_EQ(out.get<float>(), (std::vector<float>{3.5f, 5.5f, 11.5f, 13.5f}));
    // values below -1e9 are not clipped
    Tensor low(NN_TYPE_F32, {1, 1, 2, 1}), one(NN_TYPE_F32, {1, 1, 1, 1});
    low.set<float>({-3e9f, -2e9f});
    const int32_t k2[4] = {1, 1, 2, 1};
    ASSERT_EQ(nn_maxpool(one, low, k2, s), 0);
    EXPECT_EQ(one.get<float>()[0], -2e9f);
}

TEST(Pooling, Quantised)
{
    const int32_t k[4] = {1, 1, 2, 1}, s[4] = {1, 1, 2, 1}, none[8] = {0};
    // matching scales: the rounded mean, no zero-point shift
    Tensor in(NN_TYPE_I8, {1, 1, 4, 1}), out(NN_TYPE_I8, {1, 1, 2, 1});
    in.quant({5}, {0.5f});
    out.quant({-9}, {0.500001f});
    in.set<int8_t>({1, 2, -1, -2});
    ASSERT_EQ(nn_avgpool_ex(out, in, nullptr, k, s, none), 0);
    EXPECT_EQ(out.get<int8_t>(), (std::vector<int8_t>{2, -2}));
    // other scales: rescaled around the zero points
    out.quant({-9}, {0.25f});
    in.set<int8_t>({9, 9, 3, 4});
    ASSERT_EQ(nn_avgpool_ex(out, in, nullptr, k, s, none), 0);
    EXPECT_EQ(out.get<int8_t>(), (std::vector<int8_t>{-9 + 8, (int8_t)(-9 + 2 * (4 - 5) + 0)}));
    // max copies values, starting at the type's minimum
    Tensor u(NN_TYPE_U16, {1, 1, 4, 1}), uo(NN_TYPE_U16, {1, 1, 2, 1});
    u.set<uint16_t>({1, 65535, 0, 7});
    ASSERT_EQ(nn_maxpool(uo, u, k, s), 0);
    EXPECT_EQ(uo.get<uint16_t>(), (std::vector<uint16_t>{65535, 7}));
    Tensor i8(NN_TYPE_I8, {1, 1, 2, 1}), o8(NN_TYPE_I8, {1, 1, 3, 1});
    i8.set<int8_t>({-100, -120});
    const int32_t pad[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const int32_t s1[4] = {1, 1, 1, 1};
    ASSERT_EQ(nn_maxpool_ex(o8, i8, k, s1, pad), 0);  // third window has no valid tap
    EXPECT_EQ(o8.get<int8_t>(), (std::vector<int8_t>{-100, -120, -128}));
}

TEST(Pooling, OperandChecks)
{
    const int32_t k[4] = {1, 2, 2, 1}, s[4] = {1, 2, 2, 1};
    Tensor in(NN_TYPE_F32, {1, 4, 4, 2});
    Tensor batch(NN_TYPE_F32, {2, 2, 2, 2}), chans(NN_TYPE_F32, {1, 2, 2, 3}),
        size(NN_TYPE_I8, {1, 2, 2, 2});
    EXPECT_EQ(nn_maxpool(batch, in, k, s), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_avgpool(chans, in, k, s), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_maxpool(size, in, k, s), NN_ERROR_TYPE_MISMATCH);
    Tensor nodata;
    int32_t shape[4] = {1, 2, 2, 2};
    ASSERT_EQ(nn_tensor_assign(nodata, NN_TYPE_F32, 4, shape, nullptr), 0);
    EXPECT_EQ(nn_maxpool(nodata, in, k, s), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_maxpool(batch, in, nullptr, s), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_mapped(in), 0);
}

TEST(Pooling, ThreadCountsAgree)
{
    std::vector<std::vector<float>> results;
    const int32_t k[4] = {1, 3, 3, 1}, s[4] = {1, 2, 2, 1}, p[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    for (int threads : {1, 3, 8}) {
        omp_set_num_threads(threads);
        Tensor in(NN_TYPE_F32, {2, 21, 17, 6}), mx(NN_TYPE_F32, {2, 11, 9, 6}),
            av(NN_TYPE_F32, {2, 11, 9, 6});
        in.set(Iota(2 * 21 * 17 * 6, 0.5f, -3.0f));
        ASSERT_EQ(nn_maxpool_ex(mx, in, k, s, p), 0);
        ASSERT_EQ(nn_avgpool_ex(av, in, nullptr, k, s, p), 0);
        std::vector<float> r = mx.get<float>();
        std::vector<float> a = av.get<float>();
        r.insert(r.end(), a.begin(), a.end());
        results.push_back(r);
    }
    omp_set_num_threads(omp_get_num_procs());
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

// ---- reductions ---------------------------------------------------------

std::vector<float> RefReduce(int kind, const std::vector<float>& x, int64_t outer, int64_t n,
                             int64_t inner)
{
    std::vector<float> out;
    for (int64_t o = 0; o < outer; ++o)
        for (int64_t i = 0; i < inner; ++i) {
            float v = kind == 4 ? 1.0f : kind == 1 || kind == 2 ? x[o * n * inner + i] : 0.0f;
            for (int64_t r = 0; r < n; ++r) {
                float e = x[(o * n + r) * inner + i];
                if (kind == 0 || kind == 3)
                    v += e;
                else if (kind == 1)
                    v = e < v ? e : v;
                else if (kind == 2)
                    v = e > v ? e : v;
                else
                    v *= e;
            }
            if (kind == 3)
                v /= (float)n;
            out.push_back(v);
        }
    return out;
}

typedef int (*reduce_fn)(nn_tensor*, nn_tensor*, int, const int32_t*);
const reduce_fn kReduce[5] = {nn_reduce_sum, nn_reduce_min, nn_reduce_max, nn_reduce_mean,
                              nn_reduce_product};

TEST(Reduce, Views)
{
    struct Row {
        std::vector<int32_t> shape;
        std::vector<int32_t> axes;  // empty: NULL
        int64_t outer, n, inner;
    } rows[] = {
        {{1, 2, 3, 4}, {1, 2}, 1, 6, 4},
        {{2, 3, 4, 5}, {3}, 24, 5, 1},
        {{2, 3, 4, 5}, {0, 1, 2, 3}, 1, 120, 1},
        {{2, 3, 4, 5}, {}, 1, 120, 1},
        {{2, 3, 4, 5}, {1}, 2, 3, 20},
        {{2, 1, 3}, {1}, 2, 1, 3},  // reduce = 1 copies
        {{2, 3}, {2}, 6, 1, 1},     // axis = dims: a trailing extent of 1
    };
    for (const auto& r : rows)
        for (int kind = 0; kind < 5; ++kind) {
            Tensor in(NN_TYPE_F32, r.shape), out(NN_TYPE_F32, {(int32_t)(r.outer * r.inner)});
            std::vector<float> x = Iota(nn_tensor_volume(in), 0.01f, 0.5f);
            in.set(x);
            std::vector<int32_t> before = in.shape();
            int dims = in->dims;
            ASSERT_EQ(kReduce[kind](out, in, (int)r.axes.size(), r.axes.empty() ? nullptr : r.axes.data()), 0);
            EXPECT_EQ(out.get<float>(), RefReduce(kind, x, r.outer, r.n, r.inner)) << kind;
            EXPECT_EQ(in.shape(), before);
            EXPECT_EQ(in->dims, dims);
            EXPECT_EQ(out->time, 0u);
            EXPECT_EQ(nn_tensor_mapped(in) + nn_tensor_mapped(out), 0);
        }
    Tensor in(NN_TYPE_F32, {4}), out(NN_TYPE_F32, {1});
    in.set<float>({1, 2, 3, 4});
    ASSERT_EQ(nn_reduce_mean(out, in, 0, nullptr), 0);
    EXPECT_EQ(out.get<float>()[0], 2.5f);
}

TEST(Reduce, Rejections)
{
    Tensor in(NN_TYPE_F32, {2, 3, 4, 5}), out(NN_TYPE_F32, {120});
    struct {
        std::vector<int32_t> axes;
        int count;
    } bad[] = {{{1, 3}, 2}, {{2, 1}, 2}, {{-1}, 1}, {{4}, 1}, {{1}, 0}, {{1}, -2}};
    for (const auto& b : bad) {
        EXPECT_EQ(nn_reduce_sum(out, in, b.count, b.axes.data()), NN_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(in->dims, 4);
    }
    Tensor i8(NN_TYPE_I8, {4}), small(NN_TYPE_F32, {23});
    int32_t ax3[] = {3};
    EXPECT_EQ(nn_reduce_max(out, i8, 0, nullptr), NN_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(nn_reduce_max(small, in, 1, ax3), NN_ERROR_SHAPE_MISMATCH);
    Tensor nodata;
    int32_t shape[1] = {24};
    ASSERT_EQ(nn_tensor_assign(nodata, NN_TYPE_F32, 1, shape, nullptr), 0);
    EXPECT_EQ(nn_reduce_min(nodata, in, 1, ax3), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(in.shape(), (std::vector<int32_t>{2, 3, 4, 5}));
    EXPECT_EQ(nn_tensor_mapped(in), 0);
}

// ---- resize --------------------------------------------------------------

TEST(Resize, NearestNeighbour)
{
    Tensor in(NN_TYPE_F32, {1, 2, 2, 1}), o4(NN_TYPE_F32, {1, 4, 4, 1}), o3(NN_TYPE_F32, {1, 3, 3, 1});
    in.set<float>({1, 2, 3, 4});
    ASSERT_EQ(nn_resize(o4, in, 0, 0), 0);
    EXPECT_EQ(o4.get<float>(),
              (std::vector<float>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
    ASSERT_EQ(nn_resize(o3, in, 1, 1), 0);
    EXPECT_EQ(o3.get<float>(), (std::vector<float>{1, 1, 2, 1, 1, 2, 3, 3, 4}));
    Tensor same(NN_TYPE_F32, {1, 2, 2, 1});
    ASSERT_EQ(nn_resize(same, in, 0, 0), 0);
    EXPECT_EQ(same.get<float>(), in.get<float>());
}

// Bytes in blocks of 16 and 8 with a tail, words in fours: a reference
// sampler over several channel counts, batches and types.
TEST(Resize, TypesAndChannels)
{
    for (nn_type t : {NN_TYPE_I8, NN_TYPE_U8, NN_TYPE_I32, NN_TYPE_U32, NN_TYPE_F32})
        for (int ch : {1, 3, 7, 8, 16, 19, 25}) {
            const int n = 2, ih = 3, iw = 2, oh = 7, ow = 5;
            Tensor in(t, {n, ih, iw, ch}), out(t, {n, oh, ow, ch});
            size_t es = nn_tensor_element_size(in);
            std::vector<uint8_t> src(nn_tensor_size(in));
            for (size_t i = 0; i < src.size(); ++i)
                src[i] = (uint8_t)(i * 13 + 1);
            memcpy(in->data, src.data(), src.size());
            ASSERT_EQ(nn_resize(out, in, 0, 0), 0);
            const uint8_t* got = out.data<uint8_t>();
            float rh = (float)oh / (float)ih, rw = (float)ow / (float)iw;
            for (int b = 0; b < n; ++b)
                for (int y = 0; y < oh; ++y)
                    for (int x = 0; x < ow; ++x) {
                        int sy = std::min((int)((float)y / rh), ih - 1);
                        int sx = std::min((int)((float)x / rw), iw - 1);
                        ASSERT_EQ(memcmp(got + (((size_t)b * oh + y) * ow + x) * ch * es,
                                         src.data() + (((size_t)b * ih + sy) * iw + sx) * ch * es,
                                         ch * es),
                                  0)
                            << "type " << t << " ch " << ch << " at " << b << "," << y << "," << x;
                    }
        }
}

TEST(Resize, Rejections)
{
    Tensor in(NN_TYPE_F32, {1, 4, 4, 1}), small(NN_TYPE_F32, {1, 2, 2, 1}), big(NN_TYPE_F32, {1, 8, 8, 1});
    small.set<float>({9, 9, 9, 9});
    EXPECT_EQ(nn_resize(small, in, 0, 0), NN_ERROR_NOT_IMPLEMENTED);
    EXPECT_EQ(small.get<float>(), (std::vector<float>{9, 9, 9, 9}));
    EXPECT_EQ(nn_resize(big, in, 2, 0), NN_ERROR_NOT_IMPLEMENTED);
    Tensor h(NN_TYPE_I16, {1, 1, 1, 1}), ho(NN_TYPE_I16, {1, 2, 2, 1});
    EXPECT_EQ(nn_resize(ho, h, 0, 0), NN_ERROR_NOT_IMPLEMENTED);
    Tensor f16(NN_TYPE_F16, {1, 1, 1, 1}), f16o(NN_TYPE_F16, {1, 2, 2, 1});
    EXPECT_EQ(nn_resize(f16o, f16, 0, 0), NN_ERROR_NOT_IMPLEMENTED);
    Tensor i8(NN_TYPE_I8, {1, 8, 8, 1});
    EXPECT_EQ(nn_resize(i8, in, 0, 0), NN_ERROR_TYPE_MISMATCH);
    Tensor batch(NN_TYPE_F32, {2, 8, 8, 1}), chans(NN_TYPE_F32, {1, 8, 8, 2});
    EXPECT_EQ(nn_resize(batch, in, 0, 0), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_resize(chans, in, 0, 0), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_resize(nullptr, in, 0, 0), NN_ERROR_MISSING_RESOURCE);
    int status = 0;
    testfx::Output out = testfx::Capture([&] { status = nn_resize(in, in, 0, 0); });
    EXPECT_EQ(status, NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out.err, "nn_resize cannot have same input and output tensors\n");
    EXPECT_EQ(nn_tensor_mapped(in) + nn_tensor_mapped(big) + nn_tensor_mapped(small), 0);
    // modes 0 and 1 sample alike
    Tensor a(NN_TYPE_F32, {1, 8, 8, 1}), b(NN_TYPE_F32, {1, 8, 8, 1});
    in.set(Iota(16, 1.0f, 0.0f));
    ASSERT_EQ(nn_resize(a, in, 0, 0), 0);
    ASSERT_EQ(nn_resize(b, in, 1, 1), 0);
    EXPECT_EQ(a.get<float>(), b.get<float>());
}

TEST(Resize, ThreadCountsAgree)
{
    std::vector<std::vector<uint8_t>> results;
    for (int threads : {1, 3, 8}) {
        omp_set_num_threads(threads);
        Tensor in(NN_TYPE_U8, {2, 5, 6, 3}), out(NN_TYPE_U8, {2, 13, 11, 3});
        for (int i = 0; i < nn_tensor_volume(in); ++i)
            in.data<uint8_t>()[i] = (uint8_t)(i * 7);
        ASSERT_EQ(nn_resize(out, in, 0, 0), 0);
        results.push_back(out.get<uint8_t>());
    }
    omp_set_num_threads(omp_get_num_procs());
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

}  // namespace
