// Copy, pad, concat, slice and shuffle on CPU tensors.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "tensor_ops_fixture.h"

namespace {

using testfx::Capture;
using testfx::Tensor;

std::vector<float> Iota(int n, float from = 0.0f)
{
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
}

TEST(Copy, CopiesTheSmallerVolumeAndKeepsTime)
{
    Tensor src(NN_TYPE_F32, {5}), dst(NN_TYPE_F32, {3});
    src.set(Iota(5, 1));
    dst->time = 77;
    ASSERT_EQ(nn_tensor_copy(dst, src), 0);
    EXPECT_EQ(dst.get<float>(), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(dst->time, 77u);

    Tensor big(NN_TYPE_F32, {6});
    big.set<float>({9, 9, 9, 9, 9, 9});
    ASSERT_EQ(nn_tensor_copy(big, src), 0);
    EXPECT_EQ(big.get<float>(), (std::vector<float>{1, 2, 3, 4, 5, 9}));
    EXPECT_EQ(nn_tensor_mapped(big) + nn_tensor_mapped(src), 0);
}

TEST(Copy, Failures)
{
    Tensor f(NN_TYPE_F32, {2}), i(NN_TYPE_I32, {2}), bare;
    int32_t shape[1] = {2};
    ASSERT_EQ(nn_tensor_assign(bare, NN_TYPE_F32, 1, shape, nullptr), 0);
    EXPECT_EQ(nn_tensor_copy(f, i), NN_ERROR_TENSOR_TYPE_UNSUPPORTED);
    EXPECT_EQ(nn_tensor_copy(f, bare), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_copy(bare, f), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_copy(nullptr, f), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_mapped(f), 0);
}

TEST(Pad, QuantizedSourcePadsWithItsZeroPoint)
{
    Tensor src(NN_TYPE_U8, {1, 2, 2, 1}), dst(NN_TYPE_U8, {1, 4, 4, 1});
    src.set<uint8_t>({1, 2, 3, 4});
    src.quant({128}, {1.0f});
    const int32_t head[4] = {0, 1, 1, 0}, tail[4] = {0, 1, 1, 0};
    dst->time = UINT64_MAX;
    ASSERT_EQ(nn_tensor_pad(dst, src, head, tail, 5.0), 0);
    const uint8_t P = 128;
    EXPECT_EQ(dst.get<uint8_t>(), (std::vector<uint8_t>{P, P, P, P, P, 1, 2, P, P, 3, 4, P, P, P, P, P}));
    EXPECT_NE(dst->time, UINT64_MAX);
    EXPECT_EQ(nn_tensor_mapped(dst) + nn_tensor_mapped(src), 0);
}

// A 16- or 32-bit quantised element pads with its whole zero point (300 is
// 0x012C; its low byte repeated would read 0x2C2C).
TEST(Pad, WideQuantizedSourcePadsWithTheWholeZeroPoint)
{
    const int32_t head[4] = {0, 1, 0, 0}, tail[4] = {0, 0, 1, 0};
    {
        Tensor src(NN_TYPE_I16, {1, 1, 1, 1}), dst(NN_TYPE_I16, {1, 2, 2, 1});
        src.set<int16_t>({-7});
        src.quant({300}, {0.5f});
        ASSERT_EQ(nn_tensor_pad(dst, src, head, tail, 0.0), 0);
        EXPECT_EQ(dst.get<int16_t>(), (std::vector<int16_t>{300, 300, -7, 300}));
    }
    {
        Tensor src(NN_TYPE_I32, {1, 1, 1, 1}), dst(NN_TYPE_I32, {1, 2, 2, 1});
        src.set<int32_t>({5});
        src.quant({-70000}, {0.5f});
        ASSERT_EQ(nn_tensor_pad(dst, src, head, tail, 0.0), 0);
        EXPECT_EQ(dst.get<int32_t>(), (std::vector<int32_t>{-70000, -70000, 5, -70000}));
    }
}

TEST(Pad, FloatPadsWithZeroWhateverTheValue)
{
    // Two batches, two channels, asymmetric pads.
    Tensor src(NN_TYPE_F32, {2, 1, 2, 2}), dst(NN_TYPE_F32, {2, 3, 3, 2});
    src.set(Iota(8, 1));
    src.quant({3}, {1.0f});
    memset(dst->data, 0xFF, nn_tensor_size(dst));
    const int32_t head[4] = {9, 2, 0, 9}, tail[4] = {9, 0, 1, 9};
    ASSERT_EQ(nn_tensor_pad(dst, src, head, tail, 7.0), 0);
    std::vector<float> expected(36, 0.0f);
    for (int b = 0; b < 2; ++b)
        for (int x = 0; x < 2; ++x)
            for (int c = 0; c < 2; ++c)
                expected[b * 18 + 2 * 6 + x * 2 + c] = (float)(1 + b * 4 + x * 2 + c);
    EXPECT_EQ(dst.get<float>(), expected);

    // An integer source without zero points pads with zero bytes.
    Tensor s8(NN_TYPE_I8, {1, 1, 1, 1}), d8(NN_TYPE_I8, {1, 1, 3, 1});
    s8.set<int8_t>({-5});
    memset(d8->data, 0x11, 3);
    const int32_t h1[4] = {0, 0, 1, 0}, t1[4] = {0, 0, 1, 0};
    ASSERT_EQ(nn_tensor_pad(d8, s8, h1, t1, 9.0), 0);
    EXPECT_EQ(d8.get<int8_t>(), (std::vector<int8_t>{0, -5, 0}));
}

TEST(Pad, RejectsBadDestinationsAndPads)
{
    Tensor src(NN_TYPE_F32, {1, 2, 2, 1});
    const int32_t one[4] = {0, 1, 1, 0};
    const int32_t neg[4] = {0, -1, 1, 0};
    struct Case {
        const char* name;
        nn_type type;
        std::vector<int32_t> dst;
        const int32_t* head;
        const int32_t* tail;
        int expected;
    } cases[] = {
        {"type differs", NN_TYPE_I32, {1, 4, 4, 1}, one, one, 16},
        {"negative pad", NN_TYPE_F32, {1, 2, 4, 1}, neg, one, 6},
        {"too small", NN_TYPE_F32, {1, 3, 4, 1}, one, one, 8},
        {"too big", NN_TYPE_F32, {1, 5, 4, 1}, one, one, 8},
        {"channels differ", NN_TYPE_F32, {1, 4, 4, 2}, one, one, 8},
        {"batch differs", NN_TYPE_F32, {2, 4, 4, 1}, one, one, 8},
        {"missing head", NN_TYPE_F32, {1, 4, 4, 1}, nullptr, one, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor dst(c.type, c.dst);
        memset(dst->data, 0x3E, nn_tensor_size(dst));
        EXPECT_EQ(nn_tensor_pad(dst, src, c.head, c.tail, 0.0), c.expected);
        for (size_t i = 0; i < nn_tensor_size(dst); ++i)
            ASSERT_EQ(dst.data<uint8_t>()[i], 0x3E);
        EXPECT_EQ(nn_tensor_mapped(dst) + nn_tensor_mapped(src), 0);
    }
}

TEST(Concat, InterleavesAlongTheAxis)
{
    Tensor a(NN_TYPE_F32, {1, 2, 2, 1}), b(NN_TYPE_F32, {1, 2, 2, 3}), dst(NN_TYPE_F32, {1, 2, 2, 4});
    a.set(Iota(4, 100));
    b.set(Iota(12, 0));
    nn_tensor* inputs[2] = {a, b};
    dst->time = UINT64_MAX;
    ASSERT_EQ(nn_tensor_concat(dst, 2, inputs, 3), 0);
    std::vector<float> expected;
    for (int p = 0; p < 4; ++p) {
        expected.push_back(100.0f + p);
        for (int c = 0; c < 3; ++c)
            expected.push_back((float)(p * 3 + c));
    }
    EXPECT_EQ(dst.get<float>(), expected);
    EXPECT_NE(dst->time, UINT64_MAX);
    EXPECT_EQ(nn_tensor_mapped(a) + nn_tensor_mapped(b) + nn_tensor_mapped(dst), 0);

    // Axis 1 of [2, 1, 2] and [2, 2, 2] into [2, 3, 2].
    Tensor x(NN_TYPE_I16, {2, 1, 2}), y(NN_TYPE_I16, {2, 2, 2}), z(NN_TYPE_I16, {2, 3, 2});
    x.set<int16_t>({1, 2, 3, 4});
    y.set<int16_t>({10, 11, 12, 13, 14, 15, 16, 17});
    nn_tensor* xy[2] = {x, y};
    ASSERT_EQ(nn_tensor_concat(z, 2, xy, 1), 0);
    EXPECT_EQ(z.get<int16_t>(), (std::vector<int16_t>{1, 2, 10, 11, 12, 13, 3, 4, 14, 15, 16, 17}));
}

TEST(Concat, Failures)
{
    Tensor a(NN_TYPE_F32, {1, 2, 2, 1}), i32(NN_TYPE_I32, {1, 2, 2, 1}), wide(NN_TYPE_F32, {1, 2, 2, 5});
    Tensor flat(NN_TYPE_F32, {1, 1, 1, 3});
    Tensor dst(NN_TYPE_F32, {1, 2, 2, 4});
    memset(dst->data, 0x3E, nn_tensor_size(dst));
    std::vector<nn_tensor*> many(17, a.t);
    nn_tensor* mixed[2] = {a, i32};
    nn_tensor* over[2] = {a, wide};
    nn_tensor* short_outer[2] = {a, flat};
    nn_tensor* with_null[2] = {a, nullptr};
    nn_tensor* self[1] = {dst};
    struct Case {
        const char* name;
        int count;
        nn_tensor** inputs;
        int axis;
        int expected;
    } cases[] = {
        {"17 inputs", 17, many.data(), 3, 17},
        {"axis 4", 2, over, 4, 11},
        {"axis -1", 2, over, -1, 11},
        {"type differs", 2, mixed, 3, 7},
        {"chunks exceed the step", 2, over, 3, 8},
        {"input shorter than outer x chunk", 2, short_outer, 3, 8},
        {"null input", 2, with_null, 3, 6},
        {"destination is its own input", 1, self, 3, 14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(nn_tensor_concat(dst, c.count, c.inputs, c.axis), c.expected);
        for (size_t i = 0; i < nn_tensor_size(dst); ++i)
            ASSERT_EQ(dst.data<uint8_t>()[i], 0x3E);
        EXPECT_EQ(nn_tensor_mapped(a) + nn_tensor_mapped(dst), 0);
    }
    EXPECT_EQ(nn_tensor_concat(nullptr, 1, mixed, 3), NN_ERROR_INVALID_PARAMETER);
}

TEST(Slice, NegativeBeginsAndZeroEnds)
{
    Tensor src(NN_TYPE_F32, {1, 5, 2}), dst(NN_TYPE_F32, {10});
    src.set(Iota(10));
    dst->time = 55;
    const int32_t axes[1] = {1}, begins[1] = {-2}, ends[1] = {0};
    ASSERT_EQ(nn_tensor_slice(dst, src, 1, axes, begins, ends), 0);
    EXPECT_EQ(dst->dims, 3);
    EXPECT_EQ(dst.shape(), (std::vector<int32_t>{1, 2, 2, 1}));
    EXPECT_EQ(dst.get<float>(), (std::vector<float>{6, 7, 8, 9}));
    EXPECT_EQ(dst->time, 55u);
    EXPECT_EQ(nn_tensor_mapped(dst) + nn_tensor_mapped(src), 0);
}

TEST(Slice, SeveralAxesAgainstANaiveWalk)
{
    Tensor src(NN_TYPE_U16, {2, 3, 4, 5}), dst(NN_TYPE_U16, {120});
    for (int i = 0; i < 120; ++i)
        src.data<uint16_t>()[i] = (uint16_t)(i * 3);
    const int32_t axes[3] = {3, 1, 2}, begins[3] = {1, 1, 0}, ends[3] = {-1, 3, 2};
    ASSERT_EQ(nn_tensor_slice(dst, src, 3, axes, begins, ends), 0);
    EXPECT_EQ(dst.shape(), (std::vector<int32_t>{2, 2, 2, 3}));
    std::vector<uint16_t> expected;
    for (int a = 0; a < 2; ++a)
        for (int b = 1; b < 3; ++b)
            for (int c = 0; c < 2; ++c)
                for (int d = 1; d < 4; ++d)
                    expected.push_back((uint16_t)(((a * 3 + b) * 4 + c) * 5 + d) * 3);
    EXPECT_EQ(dst.get<uint16_t>(), expected);
}

// Slice moves each element as one unit of its size: every size the runtime
// knows, into a separate tensor and in place, against a byte-wise walk over a
// copy of the source.
TEST(Slice, EveryElementSizeSeparateAndInPlace)
{
    const nn_type types[] = {NN_TYPE_U8, NN_TYPE_I16, NN_TYPE_F32, NN_TYPE_F64};
    const int32_t s[4] = {2, 3, 4, 5};
    const int32_t axes[3] = {3, 1, 2}, begins[3] = {1, 1, 1}, ends[3] = {-1, 3, 4};
    const int32_t b[4] = {0, 1, 1, 1}, e[4] = {2, 3, 4, 4};
    for (nn_type type : types) {
        for (bool in_place : {false, true}) {
            SCOPED_TRACE(std::to_string(type) + (in_place ? " in place" : " separate"));
            Tensor src(type, {2, 3, 4, 5}), other(type, {120});
            const size_t es = nn_tensor_element_size(src);
            std::vector<uint8_t> original(120 * es);
            for (size_t i = 0; i < original.size(); ++i)
                original[i] = (uint8_t)(i * 13 + i / es);
            memcpy(src->data, original.data(), original.size());
            nn_tensor* dst = in_place ? src.t : other.t;
            ASSERT_EQ(nn_tensor_slice(dst, src, 3, axes, begins, ends), 0);
            EXPECT_EQ(std::vector<int32_t>(dst->shape, dst->shape + 4),
                      (std::vector<int32_t>{2, 2, 3, 3}));
            std::vector<uint8_t> expected;
            for (int i0 = b[0]; i0 < e[0]; ++i0)
                for (int i1 = b[1]; i1 < e[1]; ++i1)
                    for (int i2 = b[2]; i2 < e[2]; ++i2)
                        for (int i3 = b[3]; i3 < e[3]; ++i3) {
                            const size_t at = (((size_t)i0 * s[1] + i1) * s[2] + i2) * s[3] + i3;
                            expected.insert(expected.end(), original.begin() + at * es,
                                            original.begin() + (at + 1) * es);
                        }
            const uint8_t* got = static_cast<const uint8_t*>(dst->data);
            EXPECT_EQ(std::vector<uint8_t>(got, got + expected.size()), expected);
            EXPECT_EQ(nn_tensor_mapped(dst) + nn_tensor_mapped(src), 0);
        }
    }
}

TEST(Slice, Failures)
{
    Tensor src(NN_TYPE_F32, {1, 5}), i32(NN_TYPE_I32, {5}), dst(NN_TYPE_F32, {5}), tiny(NN_TYPE_F32, {1});
    memset(dst->data, 0x3E, nn_tensor_size(dst));
    struct Case {
        const char* name;
        nn_tensor* dst;
        int count;
        int32_t axis, begin, end;
        int expected;
    } cases[] = {
        {"count above dims", dst, 3, 1, 0, 0, 9},
        {"axis negative", dst, 1, -1, 0, 0, 11},
        {"axis above dims", dst, 1, 3, 0, 0, 11},
        {"begin past the extent", dst, 1, 1, 7, 0, 11},
        {"begin before the start", dst, 1, 1, -7, 0, 11},
        {"end past the extent", dst, 1, 1, 0, 9, 11},
        {"end before the start", dst, 1, 1, 0, -9, 11},
        {"empty range", dst, 1, 1, 3, 3, 11},
        {"destination too small", tiny, 1, 1, 0, 3, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t axes[3] = {c.axis, c.axis, c.axis}, begins[3] = {c.begin, c.begin, c.begin},
                      ends[3] = {c.end, c.end, c.end};
        EXPECT_EQ(nn_tensor_slice(c.dst, src, c.count, axes, begins, ends), c.expected);
        EXPECT_EQ(c.dst->shape[0], c.dst == tiny.t ? 1 : 5);
        EXPECT_EQ(nn_tensor_mapped(c.dst) + nn_tensor_mapped(src), 0);
    }
    for (size_t i = 0; i < nn_tensor_size(dst); ++i)
        ASSERT_EQ(dst.data<uint8_t>()[i], 0x3E);
    const int32_t axes[1] = {1}, begins[1] = {0}, ends[1] = {2};
    EXPECT_EQ(nn_tensor_slice(dst, i32, 1, axes, begins, ends), NN_ERROR_TYPE_MISMATCH);

    // No axes: a copy.
    src.set(Iota(5, 1));
    ASSERT_EQ(nn_tensor_slice(dst, src, 0, axes, begins, ends), 0);
    EXPECT_EQ(dst.get<float>(), (std::vector<float>{1, 2, 3, 4, 5}));
}

TEST(Shuffle, PermutesAxes)
{
    struct Case {
        const char* name;
        nn_type type;
        std::vector<int32_t> shape;
        std::vector<int32_t> order;
    } cases[] = {
        {"nhwc to nchw f32", NN_TYPE_F32, {1, 2, 3, 4}, {0, 3, 1, 2}},
        {"full reverse u8", NN_TYPE_U8, {2, 3, 4, 5}, {3, 2, 1, 0}},
        {"transpose i16", NN_TYPE_I16, {3, 4}, {1, 0}},
        {"identity f64", NN_TYPE_F64, {2, 3, 2}, {0, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int dims = (int)c.shape.size();
        Tensor src(c.type, c.shape);
        const int n = nn_tensor_volume(src);
        const size_t es = nn_tensor_element_size(src);
        Tensor dst(c.type, {n});
        for (size_t i = 0; i < (size_t)n * es; ++i)
            src.data<uint8_t>()[i] = (uint8_t)(i * 7 + i / es);
        dst->time = UINT64_MAX;
        ASSERT_EQ(nn_tensor_shuffle(dst, src, dims, c.order.data()), 0);
        int32_t s[4] = {1, 1, 1, 1}, d[4] = {1, 1, 1, 1};
        for (int k = 0; k < dims; ++k) {
            s[k] = c.shape[k];
            d[k] = c.shape[c.order[k]];
        }
        EXPECT_EQ(dst.shape(), (std::vector<int32_t>{d[0], d[1], d[2], d[3]}));
        EXPECT_EQ(dst->dims, dims);
        // dst[j] = src[i] with j[k] = i[order[k]].
        int i4[4];
        for (i4[0] = 0; i4[0] < s[0]; ++i4[0])
            for (i4[1] = 0; i4[1] < s[1]; ++i4[1])
                for (i4[2] = 0; i4[2] < s[2]; ++i4[2])
                    for (i4[3] = 0; i4[3] < s[3]; ++i4[3]) {
                        int j4[4] = {0, 0, 0, 0};
                        for (int k = 0; k < dims; ++k)
                            j4[k] = i4[c.order[k]];
                        size_t si = ((i4[0] * s[1] + i4[1]) * s[2] + i4[2]) * s[3] + i4[3];
                        size_t di = ((j4[0] * d[1] + j4[1]) * d[2] + j4[2]) * d[3] + j4[3];
                        ASSERT_EQ(memcmp(dst.data<uint8_t>() + di * es, src.data<uint8_t>() + si * es, es), 0)
                            << si;
                    }
        EXPECT_NE(dst->time, UINT64_MAX);
        EXPECT_EQ(nn_tensor_mapped(dst) + nn_tensor_mapped(src), 0);
    }
}

TEST(Shuffle, Failures)
{
    Tensor src(NN_TYPE_F32, {1, 2, 3, 4}), dst(NN_TYPE_F32, {24}), i32(NN_TYPE_I32, {24}), small(NN_TYPE_F32, {23});
    memset(dst->data, 0x3E, nn_tensor_size(dst));
    const int32_t good[4] = {0, 3, 1, 2}, dup[4] = {0, 0, 1, 2}, big[4] = {0, 1, 2, 4}, neg[4] = {-1, 1, 2, 3};
    EXPECT_EQ(nn_tensor_shuffle(i32, src, 4, good), NN_ERROR_TYPE_MISMATCH);
    EXPECT_EQ(nn_tensor_shuffle(dst, src, 3, good), NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(nn_tensor_shuffle(dst, src, 4, dup), NN_ERROR_INVALID_AXIS);
    EXPECT_EQ(nn_tensor_shuffle(dst, src, 4, big), NN_ERROR_INVALID_AXIS);
    EXPECT_EQ(nn_tensor_shuffle(dst, src, 4, neg), NN_ERROR_INVALID_AXIS);
    EXPECT_EQ(nn_tensor_shuffle(dst, src, 4, nullptr), NN_ERROR_INVALID_PARAMETER);
    int rc = 0;
    auto o = Capture([&] { rc = nn_tensor_shuffle(src, src, 4, good); });
    EXPECT_EQ(rc, NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(o.err, "nn_tensor_shuffle does not support same tensor for input and output\n");
    int rc2 = 0;
    auto o2 = Capture([&] { rc2 = nn_tensor_shuffle(small, src, 4, good); });
    EXPECT_EQ(rc2, NN_ERROR_INVALID_SHAPE);  // reshape refuses the larger volume
    for (size_t i = 0; i < nn_tensor_size(dst); ++i)
        ASSERT_EQ(dst.data<uint8_t>()[i], 0x3E);
    EXPECT_EQ(dst.shape(), (std::vector<int32_t>{24, 1, 1, 1}));
    EXPECT_EQ(nn_tensor_mapped(dst) + nn_tensor_mapped(src), 0);
}

}  // namespace

namespace {

// Operations that do not time themselves keep the time an earlier fill stored.
TEST(TimeField, UntimedOperationsKeepTheFillsTime)
{
    struct Case {
        const char* name;
        nn_type type;
        std::function<int(nn_tensor* dst, nn_tensor* f32, nn_tensor* u8)> run;
    } cases[] = {
        {"copy", NN_TYPE_F32, [](nn_tensor* d, nn_tensor* f, nn_tensor*) { return nn_tensor_copy(d, f); }},
        {"slice", NN_TYPE_F32,
         [](nn_tensor* d, nn_tensor* f, nn_tensor*) {
             const int32_t axes[1] = {0}, begins[1] = {1}, ends[1] = {3};
             return nn_tensor_slice(d, f, 1, axes, begins, ends);
         }},
        {"quantize", NN_TYPE_U8, [](nn_tensor* d, nn_tensor* f, nn_tensor*) { return nn_tensor_quantize(d, f, 1); }},
        {"dequantize", NN_TYPE_F32, [](nn_tensor* d, nn_tensor*, nn_tensor* u) { return nn_tensor_dequantize(d, u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor f(NN_TYPE_F32, {4}), u(NN_TYPE_U8, {4}), dst(c.type, {4});
        f.set<float>({1, 2, 3, 4});
        u.quant({0}, {1.0f});
        dst.quant({0}, {1.0f});
        dst->time = UINT64_MAX;
        ASSERT_EQ(nn_tensor_fill(dst, 1.0), 0);
        const uint64_t filled = dst->time;
        ASSERT_NE(filled, UINT64_MAX);
        ASSERT_EQ(c.run(dst, f, u), 0);
        EXPECT_EQ(dst->time, filled);
    }
}

}  // namespace
