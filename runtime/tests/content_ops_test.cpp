// Compare, fill, randomize and argmax on CPU tensors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tensor_ops_fixture.h"

namespace {

using testfx::Capture;
using testfx::Tensor;

TEST(Compare, CountsAndPrintsDifferences)
{
    Tensor a(NN_TYPE_F32, {2, 2}), b(NN_TYPE_F32, {2, 2});
    a.set<float>({1.0f, 2.0f, 3.0f, 4.0f});
    b.set<float>({1.0f, 2.5f, 3.05f, -4.0f});
    int n = -1;
    auto o = Capture([&] { n = nn_tensor_compare(a, b, 0.1); });
    EXPECT_EQ(n, 2);
    EXPECT_EQ(o.out, "\t2.000000 != 2.500000\t4.000000 != -4.000000");
    EXPECT_EQ(nn_tensor_mapped(a) + nn_tensor_mapped(b), 0);
    EXPECT_EQ(nn_tensor_compare(a, a, 0.0), 0);

    Tensor c(NN_TYPE_F32, {4});
    EXPECT_EQ(nn_tensor_compare(a, c, 0.0), 4);  // shapes differ: volume of a
    Tensor empty;
    int32_t shape[2] = {2, 2};
    ASSERT_EQ(nn_tensor_assign(empty, NN_TYPE_F32, 2, shape, nullptr), 0);
    EXPECT_EQ(nn_tensor_compare(a, empty, 0.0), 4);  // cannot map b
    EXPECT_EQ(nn_tensor_compare(empty, a, 0.0), 4);
    EXPECT_EQ(nn_tensor_mapped(a), 0);
    EXPECT_EQ(nn_tensor_compare(a, nullptr, 0.0), 4);
}

TEST(Compare, ReadsEachElementAsItsOwnType)
{
    // Two bytes against two floats: no read past the byte buffer, values converted.
    Tensor u(NN_TYPE_U8, {2}), f(NN_TYPE_F32, {2}), h(NN_TYPE_F16, {2}), d(NN_TYPE_F64, {2});
    u.set<uint8_t>({1, 200});
    f.set<float>({1.0f, 200.5f});
    h.set<uint16_t>({0x3C00, 0x5A40});  // 1.0 and 200.0
    d.set<double>({1.0, 200.0});
    int n = -1;
    auto o = Capture([&] { n = nn_tensor_compare(u, f, 0.25); });
    EXPECT_EQ(n, 1);
    EXPECT_EQ(o.out, "\t200.000000 != 200.500000");
    EXPECT_EQ(nn_tensor_compare(u, h, 0.0), 0);
    EXPECT_EQ(nn_tensor_compare(h, d, 0.0), 0);
}

// Bytes of one element of `type` holding `value`, from an independent reading.
struct FillCase {
    const char* name;
    nn_type type;
    double value;
    int expected;
    std::vector<uint8_t> element;  // expected bytes of every element
};

std::vector<uint8_t> Bytes(const void* p, size_t n)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

template <typename T>
std::vector<uint8_t> B(T v)
{
    return Bytes(&v, sizeof v);
}

TEST(Fill, ConvertsToTheElementType)
{
    const FillCase cases[] = {
        {"i8 truncates", NN_TYPE_I8, -3.7, 0, B<int8_t>(-3)},
        {"i8 low byte", NN_TYPE_I8, 300.0, 0, B<uint8_t>(44)},
        {"u8 low byte", NN_TYPE_U8, 300.0, 0, B<uint8_t>(44)},
        {"u8 negative", NN_TYPE_U8, -1.0, 0, B<uint8_t>(0)},
        {"i16", NN_TYPE_I16, -3.7, 0, B<int16_t>(-3)},
        {"u16 low bits", NN_TYPE_U16, 70000.0, 0, B<uint16_t>(4464)},
        {"i32 saturates", NN_TYPE_I32, 3e9, 0, B<int32_t>(2147483647)},
        {"i32 saturates low", NN_TYPE_I32, -3e9, 0, B<int32_t>(-2147483647 - 1)},
        {"u32 negative", NN_TYPE_U32, -5.0, 0, B<uint32_t>(0)},
        {"u32", NN_TYPE_U32, 4000000000.5, 0, B<uint32_t>(4000000000u)},
        {"i64", NN_TYPE_I64, -1e19, 0, B<int64_t>(INT64_MIN)},
        {"u64", NN_TYPE_U64, 1e19, 0, B<uint64_t>(10000000000000000000ull)},
        {"f32 rounds", NN_TYPE_F32, 0.1, 0, B<float>(0.1f)},
        {"f64", NN_TYPE_F64, 0.1, 0, B<double>(0.1)},
        {"f16 refused", NN_TYPE_F16, 1.0, 16, {}},
        {"raw refused", NN_TYPE_RAW, 1.0, 16, {}},
        {"string refused", NN_TYPE_STR, 2.0, 16, {}},
        {"f16 cleared by 0", NN_TYPE_F16, 0.0, 0, B<uint16_t>(0)},
        {"i32 cleared by 0", NN_TYPE_I32, 0.0, 0, B<int32_t>(0)},
    };
    for (const auto& c : cases) {
        // Element counts around the 16-byte store width; a tail guard follows.
        for (int n : {1, 3, 15, 16, 17, 33}) {
            SCOPED_TRACE(testing::Message() << c.name << " n " << n);
            const size_t es = c.element.empty() ? 2 : c.element.size();
            std::vector<uint8_t> buffer(n * 8 + 16, 0xCD);
            Tensor t;
            int32_t shape[1] = {n};
            ASSERT_EQ(nn_tensor_assign(t, c.type, 1, shape, buffer.data()), 0);
            t->time = UINT64_MAX;
            EXPECT_EQ(nn_tensor_fill(t, c.value), c.expected);
            EXPECT_EQ(nn_tensor_mapped(t), 0);
            if (c.expected == 0) {
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(Bytes(buffer.data() + i * es, es), c.element) << "element " << i;
                EXPECT_NE(t->time, UINT64_MAX);
            } else {
                EXPECT_EQ(t->time, UINT64_MAX);
            }
            const size_t written = c.expected == 0 ? n * es : 0;
            for (size_t i = written; i < buffer.size(); ++i)
                ASSERT_EQ(buffer[i], 0xCD) << "byte " << i;
        }
    }
}

TEST(Fill, FailuresAndUnknownTypes)
{
    EXPECT_EQ(nn_tensor_fill(nullptr, 1.0), NN_ERROR_INVALID_PARAMETER);
    Tensor t;
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_F32, 1, shape, nullptr), 0);
    EXPECT_EQ(nn_tensor_fill(t, 1.0), NN_ERROR_TENSOR_NO_DATA);
    Tensor ro(NN_TYPE_F32, {4});
    ASSERT_NE(nn_tensor_mapro(ro), nullptr);
    EXPECT_EQ(nn_tensor_fill(ro, 1.0), NN_ERROR_TENSOR_NO_DATA);  // mapped read-only
    nn_tensor_unmap(ro);
    EXPECT_EQ(nn_tensor_mapped(ro), 0);
}

TEST(Randomize, FloatValuesFromTheUnseededGenerator)
{
    const int n = 37;
    std::vector<float> expected(n);
    srand(4242);
    for (int i = 0; i < n; ++i)
        expected[i] = (float)(2.0 * ((double)rand() / 2147483648.0) - 1.0);
    srand(4242);
    Tensor f(NN_TYPE_F32, {n});
    f->time = UINT64_MAX;
    ASSERT_EQ(nn_tensor_randomize(f), 0);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(f.data<float>()[i], expected[i], 1e-6) << i;
        EXPECT_GE(f.data<float>()[i], -1.0f);
        EXPECT_LE(f.data<float>()[i], 1.0f);
    }
    EXPECT_NE(f->time, UINT64_MAX);

    srand(4242);
    Tensor d(NN_TYPE_F64, {n});
    ASSERT_EQ(nn_tensor_randomize(d), 0);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(d.data<double>()[i], (double)f.data<float>()[i]) << i;

    for (nn_type type : {NN_TYPE_U8, NN_TYPE_I16, NN_TYPE_F16, NN_TYPE_I32}) {
        Tensor other(type, {2});
        memset(other->data, 0x42, nn_tensor_size(other));
        EXPECT_EQ(nn_tensor_randomize(other), NN_ERROR_TENSOR_TYPE_UNSUPPORTED);
        for (size_t i = 0; i < nn_tensor_size(other); ++i)
            EXPECT_EQ(other.data<uint8_t>()[i], 0x42);
    }
    EXPECT_EQ(nn_tensor_randomize(nullptr), NN_ERROR_INVALID_PARAMETER);
}

TEST(Argmax, FirstMaximumAndScores)
{
    struct Case {
        const char* name;
        nn_type type;
        std::vector<double> values;
        int index;
        float score;
    };
    const Case cases[] = {
        {"f32 first of equal", NN_TYPE_F32, {0.1, 0.7, 0.7, 0.2}, 1, 0.7f},
        {"f32 negative", NN_TYPE_F32, {-3, -1, -2}, 1, -1.0f},
        {"u8", NN_TYPE_U8, {3, 200, 200, 7}, 1, 200 / 256.0f},
        {"i8", NN_TYPE_I8, {-5, 100, 7, 100}, 1, (float)(100 / 256.0 + 0.5)},
        {"i8 all negative", NN_TYPE_I8, {-5, -1, -7}, 1, (float)(-1 / 256.0 + 0.5)},
        {"i32 unsupported", NN_TYPE_I32, {1, 5, 2}, 0, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int n = (int)c.values.size();
        Tensor t(c.type, {n});
        for (int i = 0; i < n; ++i) {
            switch (c.type) {
            case NN_TYPE_F32: t.data<float>()[i] = (float)c.values[i]; break;
            case NN_TYPE_U8: t.data<uint8_t>()[i] = (uint8_t)c.values[i]; break;
            case NN_TYPE_I8: t.data<int8_t>()[i] = (int8_t)c.values[i]; break;
            default: t.data<int32_t>()[i] = (int32_t)c.values[i]; break;
            }
        }
        int index = -1;
        float score = -99.0f;
        EXPECT_EQ(nn_argmax(t, &index, &score, sizeof score), 0);
        EXPECT_EQ(index, c.index);
        EXPECT_EQ(score, c.score);
        EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

TEST(Argmax, ShortScoreBufferStillStoresTheIndex)
{
    Tensor t(NN_TYPE_F32, {4});
    t.set<float>({0.1f, 0.7f, 0.7f, 0.2f});
    int index = -1;
    float score = -99.0f;
    EXPECT_EQ(nn_argmax(t, &index, &score, 2), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(score, -99.0f);
    EXPECT_EQ(nn_argmax(t, nullptr, nullptr, 0), 0);
    EXPECT_EQ(nn_argmax(nullptr, &index, &score, 4), NN_ERROR_INVALID_PARAMETER);
    Tensor empty;
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_assign(empty, NN_TYPE_F32, 1, shape, nullptr), 0);
    EXPECT_EQ(nn_argmax(empty, &index, &score, 4), NN_ERROR_TENSOR_NO_DATA);
}

}  // namespace
