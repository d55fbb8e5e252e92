// Quantisation: parameters, quantize/dequantize of buffers and tensors, the
// inner kernels at every tail length, and requantize.  The suite also runs
// with three OpenMP threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "tensor/quant_kernels.h"
#include "tensor_ops_fixture.h"

namespace {

using testfx::Capture;
using testfx::Tensor;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Independent reference: exact half-away-from-zero rounding in double, then
// saturation of the integer.
int64_t RefLevel(double x, int32_t zero, double scale, int64_t lo, int64_t hi)
{
    double q = x / scale;
    if (std::isnan(q))
        return std::min(std::max<int64_t>(zero, lo), hi);
    double r = q < 0 ? -std::floor(-q + 0.5) : std::floor(q + 0.5);
    if (r > 1e12)
        return hi;
    if (r < -1e12)
        return lo;
    int64_t v = (int64_t)r + zero;
    return std::min(std::max(v, lo), hi);
}

// ---- parameters --------------------------------------------------------------

TEST(QuantParams, NullTensorAnswers)
{
    size_t count = 77;
    EXPECT_EQ(nn_tensor_axis(nullptr), 0);
    EXPECT_EQ(nn_tensor_zeros(nullptr, &count), nullptr);
    EXPECT_EQ(nn_tensor_scales(nullptr, &count), nullptr);
    EXPECT_EQ(count, 77u);
    nn_tensor_set_axis(nullptr, 2);
    nn_tensor_set_zeros(nullptr, 1, nullptr, 1);
    nn_tensor_set_scales(nullptr, 1, nullptr, 1);
    float v = 0;
    EXPECT_EQ(nn_tensor_quantize_buffer(nullptr, 1, &v, 1), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_dequantize_buffer(nullptr, 1, &v), NN_ERROR_INVALID_PARAMETER);
    Tensor t(NN_TYPE_U8, {1});
    EXPECT_EQ(nn_tensor_quantize(nullptr, t, 1), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_quantize(t, nullptr, 1), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_dequantize(nullptr, t), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_dequantize(t, nullptr), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_requantize(nullptr, t), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_requantize(t, nullptr), NN_ERROR_INVALID_PARAMETER);
}

TEST(QuantParams, StoreReplaceAndHandOut)
{
    Tensor t(NN_TYPE_I8, {2, 3});
    int32_t borrowed[3] = {1, 2, 3};
    nn_tensor_set_zeros(t, 3, borrowed, 0);
    size_t count = 0;
    EXPECT_EQ(nn_tensor_zeros(t, &count), borrowed);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(nn_tensor_zeros(t, nullptr), borrowed);

    // An owned array replaced by another is freed (the leak checker sees it).
    float* owned = (float*)malloc(2 * sizeof(float));
    owned[0] = 0.5f;
    owned[1] = 0.25f;
    nn_tensor_set_scales(t, 2, owned, 7);  // any non-zero value owns
    EXPECT_EQ(t->owns_scales, 1);
    // Handing back the array the tensor already owns keeps it alive.
    nn_tensor_set_scales(t, 2, owned, 1);
    EXPECT_EQ(nn_tensor_scales(t, &count)[1], 0.25f);
    float* other = (float*)malloc(sizeof(float));
    other[0] = 2.0f;
    nn_tensor_set_scales(t, 1, other, 1);  // frees `owned`
    nn_tensor_set_axis(t, 1);
    EXPECT_EQ(nn_tensor_axis(t), 1);

    nn_quant_params p;
    nn_tensor_quant_params(t, &p);
    EXPECT_EQ(p.zeros_count, 3u);
    EXPECT_EQ(p.zeros, borrowed);
    EXPECT_EQ(p.scales_count, 1u);
    EXPECT_EQ(p.scales, other);
    EXPECT_EQ(p.element_size, 1u);
    EXPECT_EQ(p.type, (uint32_t)NN_TYPE_I8);
    nn_tensor_quant_params(t, nullptr);
    // release frees `other` and leaves `borrowed` alone
}

// ---- quantize ----------------------------------------------------------------

struct QuantizeCase {
    const char* name;
    nn_type type;
    int32_t zero;
    float scale;
    std::vector<float> in;
    std::vector<int> out;
};

TEST(Quantize, PerTensorValues)
{
    const QuantizeCase cases[] = {
        {"u8 halves round away", NN_TYPE_U8, 128, 0.5f, {-64.0f, 0.0f, 0.25f, 63.5f, 100.0f},
         {0, 128, 129, 255, 255}},
        {"u8 negative half", NN_TYPE_U8, 128, 0.5f, {-0.25f, -0.75f}, {127, 126}},
        {"i8 saturates", NN_TYPE_I8, 0, 1.0f, {-200.0f, 127.6f, -0.5f, 0.5f}, {-128, 127, -1, 1}},
        {"i8 nan stores zero", NN_TYPE_I8, -3, 1.0f, {kNaN, kInf, -kInf}, {-3, 127, -128}},
        {"u8 nan clamps zero", NN_TYPE_U8, 300, 1.0f, {kNaN}, {255}},
        {"u8 huge values", NN_TYPE_U8, 0, 1e-30f, {1e30f, -1e30f}, {255, 0}},
        {"u8 zero scale", NN_TYPE_U8, 7, 0.0f, {0.0f, 1.0f, -1.0f}, {7, 255, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor t(c.type, {(int32_t)c.in.size()});
        t.quant({c.zero}, {c.scale});
        ASSERT_EQ(nn_tensor_quantize_buffer(t, c.in.size(), c.in.data(), 1), 0);
        for (size_t i = 0; i < c.in.size(); ++i) {
            int got = c.type == NN_TYPE_U8 ? t.data<uint8_t>()[i] : t.data<int8_t>()[i];
            EXPECT_EQ(got, c.out[i]) << "element " << i;
        }
        EXPECT_EQ(nn_tensor_mapped(t), 0);
    }
}

TEST(Quantize, PerChannelUsesParameterJOfEveryRow)
{
    // [1, 2, 2, 3], axis 3: each innermost group uses parameters 0, 1, 2.
    Tensor t(NN_TYPE_I8, {1, 2, 2, 3});
    t.quant({0, 10, -10}, {1.0f, 0.5f, 2.0f}, 3);
    std::vector<float> in(12, 4.0f);
    ASSERT_EQ(nn_tensor_quantize_buffer(t, in.size(), in.data(), 3), 0);
    for (int i = 0; i < 12; ++i) {
        const int expected[3] = {4, 18, -8};
        EXPECT_EQ(t.data<int8_t>()[i], expected[i % 3]) << i;
    }

    // Axis naming the dimension before the last: still parameter j of each row.
    Tensor u(NN_TYPE_U8, {1, 1, 3, 2});
    u.quant({0, 100, 200}, {1.0f, 1.0f, 1.0f}, 2);
    std::vector<float> ones(6, 1.0f);
    ASSERT_EQ(nn_tensor_quantize_buffer(u, ones.size(), ones.data(), 1), 0);
    EXPECT_EQ(u.get<uint8_t>(), (std::vector<uint8_t>{1, 101, 201, 1, 101, 201}));
}

TEST(Quantize, LargeBuffersMatchTheReference)
{
    // Sizes that leave every thread of a team of 1-4 a different share.
    for (int n : {1, 15, 16, 17, 33, 1000, 4099}) {
        SCOPED_TRACE(n);
        std::vector<float> in(n);
        for (int i = 0; i < n; ++i)
            in[i] = (float)((i * 37 % 601) - 300) * 0.25f;  // exact in float
        Tensor u(NN_TYPE_U8, {n}), s(NN_TYPE_I8, {n});
        u.quant({100}, {0.5f});
        s.quant({-20}, {0.25f});
        ASSERT_EQ(nn_tensor_quantize_buffer(u, in.size(), in.data(), 1), 0);
        ASSERT_EQ(nn_tensor_quantize_buffer(s, in.size(), in.data(), 1), 0);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(u.data<uint8_t>()[i], RefLevel(in[i], 100, 0.5, 0, 255)) << i;
            ASSERT_EQ(s.data<int8_t>()[i], RefLevel(in[i], -20, 0.25, -128, 127)) << i;
        }
    }
    // Per-channel rows over threads.
    const int rows = 101, c = 17;
    std::vector<int32_t> zeros(c);
    std::vector<float> scales(c);
    for (int j = 0; j < c; ++j) {
        zeros[j] = j * 3 - 20;
        scales[j] = j % 2 ? 0.5f : 0.25f;
    }
    Tensor t(NN_TYPE_I8, {1, 1, rows, c});
    t.quant(zeros, scales, 3);
    std::vector<float> in(rows * c);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = (float)((int)(i * 13 % 257) - 128) * 0.25f;
    ASSERT_EQ(nn_tensor_quantize_buffer(t, in.size(), in.data(), 1), 0);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(t.data<int8_t>()[i], RefLevel(in[i], zeros[i % c], scales[i % c], -128, 127)) << i;
}

// ---- shared checks of the buffer functions ------------------------------------

enum Fn { Q, D };

struct CheckCase {
    const char* name;
    Fn fn;
    nn_type type;
    std::vector<int32_t> shape;
    std::vector<int32_t> zeros;  // empty: none set
    std::vector<float> scales;
    int axis;
    size_t count;  // 0: the volume
    int expected;
    const char* message;  // exact stderr text
};

TEST(QuantizeBuffer, ChecksInOrderWithMessages)
{
    const CheckCase cases[] = {
        {"short buffer", Q, NN_TYPE_U8, {4}, {0}, {1}, 0, 3, 8, ""},
        {"short buffer d", D, NN_TYPE_U8, {4}, {0}, {1}, 0, 3, 8, ""},
        {"zeros no scales", Q, NN_TYPE_U8, {4}, {0}, {}, 0, 0, 14,
         "[ERROR] nn_tensor_quantize_buffer: tensor missing scales\r\n"},
        {"zeros no scales d", D, NN_TYPE_U8, {4}, {0}, {}, 0, 0, 14,
         "[ERROR] nn_tensor_dequantize_buffer: tensor missing scales\r\n"},
        {"neither", Q, NN_TYPE_U8, {4}, {}, {}, 0, 0, 14,
         "[ERROR] nn_tensor_quantize_buffer: tensor missing zeros\r\n"},
        {"scales no zeros", D, NN_TYPE_U8, {4}, {}, {1}, 0, 0, 14,
         "[ERROR] nn_tensor_dequantize_buffer: tensor missing zeros\r\n"},
        {"counts differ", Q, NN_TYPE_U8, {1, 1, 1, 3}, {0, 0}, {1, 1, 1}, 0, 0, 23, ""},
        {"counts differ d", D, NN_TYPE_U8, {1, 1, 1, 3}, {0, 0}, {1, 1, 1}, 0, 0, 23, ""},
        {"per-tensor axis 1 of 4", Q, NN_TYPE_U8, {1, 2, 2, 3}, {0}, {1}, 1, 0, 5,
         "[ERROR] nn_tensor_quantize_buffer: currently unsupported axis 1\r\n"},
        {"per-tensor axis 1 of 4 d", D, NN_TYPE_U8, {1, 2, 2, 3}, {0}, {1}, 1, 0, 5,
         "[ERROR] nn_tensor_dequantize_buffer: currently unsupported axis 1\r\n"},
        {"per-tensor axis dims-1", Q, NN_TYPE_U8, {1, 2, 2, 3}, {0}, {1}, 3, 0, 0, ""},
        {"per-tensor axis dims-2", D, NN_TYPE_U8, {2, 2, 3}, {0}, {1}, 1, 0, 0, ""},
        {"axis 0 count not shape[3]", Q, NN_TYPE_U8, {1, 1, 2, 3}, {0, 0}, {1, 1}, 0, 0, 23, ""},
        {"axis 0 count not shape[3] d", D, NN_TYPE_U8, {1, 1, 2, 3}, {0, 0}, {1, 1}, 0, 0, 0, ""},
        {"axis 1 count shape[1]", Q, NN_TYPE_U8, {1, 2, 2, 3}, {0, 0}, {1, 1}, 1, 0, 5,
         "[ERROR] nn_tensor_quantize_buffer: currently unsupported axis 1\r\n"},
        {"axis 1 count shape[1] d", D, NN_TYPE_U8, {1, 2, 2, 3}, {0, 0}, {1, 1}, 1, 0, 5,
         "[ERROR] nn_tensor_dequantize_buffer: currently unsupported axis 1\r\n"},
        {"axis 1 other count", Q, NN_TYPE_U8, {1, 2, 2, 3}, {0, 0, 0}, {1, 1, 1}, 1, 0, 23, ""},
        {"axis 1 other count d", D, NN_TYPE_U8, {1, 2, 2, 3}, {0, 0, 0}, {1, 1, 1}, 1, 0, 23,
         "[ERROR] nn_tensor_dequantize_buffer: quant invalid n_zeros!= shape[axis] \r\n"},
        {"axis beyond dims", Q, NN_TYPE_U8, {2, 3}, {0, 0, 0}, {1, 1, 1}, 2, 0, 23, ""},
        {"axis beyond dims d", D, NN_TYPE_U8, {2, 3}, {0, 0, 0}, {1, 1, 1}, 2, 0, 23,
         "[ERROR] nn_tensor_dequantize_buffer: quant invalid axis \r\n"},
        {"quantize into i32", Q, NN_TYPE_I32, {4}, {0}, {1}, 0, 0, 16, ""},
        {"quantize into f32", Q, NN_TYPE_F32, {4}, {0}, {1}, 0, 0, 16, ""},
        {"dequantize i16", D, NN_TYPE_I16, {4}, {0}, {1}, 0, 0, 16, ""},
        {"dequantize u32 ok", D, NN_TYPE_U32, {4}, {0}, {1}, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor t(c.type, c.shape);
        memset(t->data, 0x5A, nn_tensor_size(t));
        t.quant(c.zeros, c.scales, c.axis);
        const size_t vol = (size_t)nn_tensor_volume(t);
        std::vector<float> buf(vol, 0.0f);
        const std::vector<float> before = buf;
        const size_t count = c.count ? c.count : vol;
        int rc = -1;
        auto o = Capture([&] {
            rc = c.fn == Q ? nn_tensor_quantize_buffer(t, count, buf.data(), 1)
                           : nn_tensor_dequantize_buffer(t, count, buf.data());
        });
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(o.err, c.message);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(nn_tensor_mapped(t), 0);
        if (rc != 0) {
            if (c.fn == D) {
                EXPECT_EQ(buf, before);
            }
            for (size_t i = 0; i < nn_tensor_size(t); ++i)
                ASSERT_EQ(t.data<uint8_t>()[i], 0x5A);
        }
    }
    Tensor t(NN_TYPE_U8, {2});
    t.quant({0}, {1});
    EXPECT_EQ(nn_tensor_quantize_buffer(t, 2, nullptr, 1), NN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nn_tensor_dequantize_buffer(t, 2, nullptr), NN_ERROR_INVALID_PARAMETER);
}

TEST(QuantizeBuffer, UnmappableTensorGives14)
{
    Tensor t;  // no memory
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_U8, 1, shape, nullptr), 0);
    t.quant({0}, {1});
    std::vector<float> buf(4);
    EXPECT_EQ(nn_tensor_quantize_buffer(t, 4, buf.data(), 1), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_dequantize_buffer(t, 4, buf.data()), NN_ERROR_TENSOR_NO_DATA);
}

// ---- dequantize --------------------------------------------------------------

TEST(Dequantize, EveryTypePerTensorAndPerChannel)
{
    struct Case {
        const char* name;
        nn_type type;
        std::vector<int64_t> q;
        std::vector<int32_t> zeros;
        std::vector<float> scales;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {"u8", NN_TYPE_U8, {0, 128, 255}, {128}, {0.5f}, {-64.0f, 0.0f, 63.5f}},
        {"i8", NN_TYPE_I8, {-128, 0, 127}, {-1}, {0.25f}, {-31.75f, 0.25f, 32.0f}},
        {"i32", NN_TYPE_I32, {-1000, 0, 1000}, {10}, {0.5f}, {-505.0f, -5.0f, 495.0f}},
        // The difference wraps: INT32_MIN - 1 is INT32_MAX.
        {"i32 wraps", NN_TYPE_I32, {INT32_MIN}, {1}, {1.0f}, {2147483648.0f}},
        {"u32 unsigned value", NN_TYPE_U32, {4000000000LL, 3}, {-5}, {1.0f}, {4000000000.0f, 8.0f}},
        {"u8 per channel", NN_TYPE_U8, {10, 10, 10, 20, 20, 20}, {0, 10, 20}, {1.0f, 2.0f, 4.0f},
         {10.0f, 0.0f, -40.0f, 20.0f, 20.0f, 0.0f}},
        {"i32 per channel", NN_TYPE_I32, {1, 2, 3, 4}, {1, 2}, {2.0f, 3.0f}, {0.0f, 0.0f, 4.0f, 6.0f}},
        {"u32 per channel", NN_TYPE_U32, {1, 2, 3, 4}, {1, 2}, {2.0f, 3.0f}, {0.0f, 0.0f, 4.0f, 6.0f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int n = (int)c.q.size();
        const int cc = (int)c.zeros.size();
        Tensor t(c.type, {1, 1, n / cc, cc});
        for (int i = 0; i < n; ++i) {
            switch (c.type) {
            case NN_TYPE_U8: t.data<uint8_t>()[i] = (uint8_t)c.q[i]; break;
            case NN_TYPE_I8: t.data<int8_t>()[i] = (int8_t)c.q[i]; break;
            case NN_TYPE_I32: t.data<int32_t>()[i] = (int32_t)c.q[i]; break;
            default: t.data<uint32_t>()[i] = (uint32_t)c.q[i]; break;
            }
        }
        t.quant(c.zeros, c.scales, cc > 1 ? 3 : 0);
        std::vector<float> out(n, -1.0f);
        ASSERT_EQ(nn_tensor_dequantize_buffer(t, out.size(), out.data()), 0);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(Dequantize, RemainderOfAShortRowIsLeftUnwritten)
{
    // Axis 0 with two pairs over a row of 5: two rows of 2, element 4 untouched.
    Tensor t(NN_TYPE_U8, {1, 1, 1, 5});
    t.set<uint8_t>({1, 2, 3, 4, 5});
    t.quant({0, 1}, {1.0f, 10.0f});
    std::vector<float> out(5, -7.0f);
    ASSERT_EQ(nn_tensor_dequantize_buffer(t, out.size(), out.data()), 0);
    EXPECT_EQ(out, (std::vector<float>{1.0f, 10.0f, 3.0f, 30.0f, -7.0f}));
}

TEST(Dequantize, ZeroCountWorksAsOnePair)
{
    Tensor t(NN_TYPE_U8, {3});
    t.set<uint8_t>({5, 6, 7});
    int32_t zero = 5;
    float scale = 2.0f;
    nn_tensor_set_zeros(t, 0, &zero, 0);
    nn_tensor_set_scales(t, 0, &scale, 0);
    std::vector<float> out(3);
    ASSERT_EQ(nn_tensor_dequantize_buffer(t, out.size(), out.data()), 0);
    EXPECT_EQ(out, (std::vector<float>{0.0f, 2.0f, 4.0f}));
}

TEST(Dequantize, LargeTensorsOverThreads)
{
    for (nn_type type : {NN_TYPE_U8, NN_TYPE_I8}) {
        for (int n : {33, 1000, 4099}) {
            SCOPED_TRACE(n);
            Tensor t(type, {n});
            for (int i = 0; i < n; ++i)
                t.data<uint8_t>()[i] = (uint8_t)(i * 7);
            t.quant({3}, {0.125f});
            std::vector<float> out(n);
            ASSERT_EQ(nn_tensor_dequantize_buffer(t, out.size(), out.data()), 0);
            for (int i = 0; i < n; ++i) {
                int q = type == NN_TYPE_U8 ? (int)(uint8_t)(i * 7) : (int)(int8_t)(uint8_t)(i * 7);
                ASSERT_EQ(out[i], (float)((q - 3) * 0.125)) << i;
            }
        }
    }
}

// ---- the kernels at every tail length ------------------------------------------

template <typename Q>
void CheckDequantKernel(void (*kernel)(const Q*, float*, size_t, const int32_t*, const float*, size_t),
                        int64_t lo, int64_t hi)
{
    for (size_t n : {0, 1, 15, 16, 17, 33}) {
        for (size_t step : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " step " << step);
            std::vector<Q> q(n + 1);
            std::vector<int32_t> zeros(n + 1);
            std::vector<float> scales(n + 1);
            for (size_t j = 0; j < n + 1; ++j) {
                q[j] = (Q)(lo + (int64_t)((j * 2654435761u) % (uint64_t)(hi - lo + 1)));
                zeros[j] = (int32_t)(j % 5) - 2;
                scales[j] = (j % 3 + 1) * 0.125f;
            }
            std::vector<float> out(n + 1, 12345.0f);
            kernel(q.data(), out.data(), n, zeros.data(), scales.data(), step);
            for (size_t j = 0; j < n; ++j) {
                size_t p = step ? j : 0;
                double expected = ((double)q[j] - zeros[p]) * scales[p];
                ASSERT_EQ(out[j], (float)expected) << j;
            }
            EXPECT_EQ(out[n], 12345.0f) << "wrote past the end";
        }
    }
}

TEST(QuantKernels, DequantizeTails)
{
    CheckDequantKernel<uint8_t>(nn_dequantize_u8, 0, 255);
    CheckDequantKernel<int8_t>(nn_dequantize_i8, -128, 127);
    CheckDequantKernel<int32_t>(nn_dequantize_i32, -100000, 100000);
    CheckDequantKernel<uint32_t>(nn_dequantize_u32, 0, 1000000);
}

TEST(QuantKernels, QuantizeTails)
{
    for (size_t n : {0, 1, 15, 16, 17, 33}) {
        for (size_t step : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " step " << step);
            std::vector<float> x(n + 1);
            std::vector<int32_t> zeros(n + 1);
            std::vector<float> scales(n + 1);
            for (size_t j = 0; j < n + 1; ++j) {
                x[j] = ((float)((j * 97) % 2001) - 1000.0f) * 0.125f;
                zeros[j] = (int32_t)(j % 7) * 10 - 30;
                scales[j] = j % 2 ? 0.5f : 0.25f;
            }
            if (n > 3) {
                x[0] = kNaN;
                x[1] = kInf;
                x[2] = -kInf;
                x[3] = 1e30f;
            }
            std::vector<uint8_t> u(n + 1, 0xEE);
            std::vector<int8_t> s(n + 1, 0x11);
            nn_quantize_u8(x.data(), u.data(), n, zeros.data(), scales.data(), step);
            nn_quantize_i8(x.data(), s.data(), n, zeros.data(), scales.data(), step);
            for (size_t j = 0; j < n; ++j) {
                size_t p = step ? j : 0;
                ASSERT_EQ(u[j], RefLevel(x[j], zeros[p], scales[p], 0, 255)) << j;
                ASSERT_EQ(s[j], RefLevel(x[j], zeros[p], scales[p], -128, 127)) << j;
            }
            EXPECT_EQ(u[n], 0xEE);
            EXPECT_EQ(s[n], 0x11);
        }
    }
}

// ---- tensor forms ------------------------------------------------------------

TEST(QuantizeTensor, RoundTripKeepsTime)
{
    Tensor f(NN_TYPE_F32, {2, 2});
    f.set<float>({-1.0f, 0.0f, 0.5f, 2.0f});
    Tensor q(NN_TYPE_U8, {2, 2});
    q.quant({10}, {0.5f});
    q->time = 111;
    ASSERT_EQ(nn_tensor_quantize(q, f, 3), 0);
    EXPECT_EQ(q.get<uint8_t>(), (std::vector<uint8_t>{8, 10, 11, 14}));
    EXPECT_EQ(q->time, 111u);

    Tensor back(NN_TYPE_F32, {2, 2});
    back->time = 222;
    ASSERT_EQ(nn_tensor_dequantize(back, q), 0);
    EXPECT_EQ(back.get<float>(), (std::vector<float>{-1.0f, 0.0f, 0.5f, 2.0f}));
    EXPECT_EQ(back->time, 222u);
    EXPECT_EQ(nn_tensor_mapped(q) + nn_tensor_mapped(f) + nn_tensor_mapped(back), 0);
}

TEST(QuantizeTensor, FloatSideMustBeFloat32)
{
    Tensor q(NN_TYPE_U8, {4});
    q.quant({0}, {1.0f});
    for (nn_type type : {NN_TYPE_F64, NN_TYPE_I32, NN_TYPE_U8, NN_TYPE_F16}) {
        Tensor other(type, {4});
        memset(other->data, 0x3C, nn_tensor_size(other));
        EXPECT_EQ(nn_tensor_quantize(q, other, 1), NN_ERROR_TENSOR_TYPE_UNSUPPORTED) << type;
        EXPECT_EQ(nn_tensor_dequantize(other, q), NN_ERROR_TENSOR_TYPE_UNSUPPORTED) << type;
        for (size_t i = 0; i < nn_tensor_size(other); ++i)
            ASSERT_EQ(other.data<uint8_t>()[i], 0x3C);
    }
}

TEST(QuantizeTensor, SizesAndMappingFailures)
{
    Tensor q(NN_TYPE_U8, {4});
    q.quant({0}, {1.0f});
    Tensor small(NN_TYPE_F32, {3});
    small.set<float>({7, 7, 7});
    // src volume 3 below the quantized volume 4; dst volume 3 below 4.
    EXPECT_EQ(nn_tensor_quantize(q, small, 1), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(nn_tensor_dequantize(small, q), NN_ERROR_SHAPE_MISMATCH);
    EXPECT_EQ(small.get<float>(), (std::vector<float>{7, 7, 7}));
    EXPECT_EQ(nn_tensor_mapped(small) + nn_tensor_mapped(q), 0);

    Tensor empty;
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_assign(empty, NN_TYPE_F32, 1, shape, nullptr), 0);
    EXPECT_EQ(nn_tensor_quantize(q, empty, 1), NN_ERROR_TENSOR_NO_DATA);
    EXPECT_EQ(nn_tensor_dequantize(empty, q), NN_ERROR_TENSOR_NO_DATA);
}

// ---- requantize --------------------------------------------------------------

TEST(Requantize, ConvertsWithBothParameterSets)
{
    struct Case {
        const char* name;
        nn_type st, dt;
        int32_t sz, dz;
        float ss, ds;
        std::vector<int> in, out;
    };
    const Case cases[] = {
        {"u8 to i8", NN_TYPE_U8, NN_TYPE_I8, 128, 0, 0.5f, 0.5f, {128, 255, 0}, {0, 127, -128}},
        {"i8 to u8 rescale", NN_TYPE_I8, NN_TYPE_U8, 0, 100, 1.0f, 0.5f, {-10, 3, 100}, {80, 106, 255}},
        {"u8 to u8 other zero", NN_TYPE_U8, NN_TYPE_U8, 0, 50, 1.0f, 1.0f, {0, 10, 250}, {50, 60, 255}},
        // (q + 5) / 4 / 0.5 rounded half away from zero, plus the zero point.
        {"i8 to i8", NN_TYPE_I8, NN_TYPE_I8, -5, 3, 0.25f, 0.5f, {-128, -5, 127, 60}, {-59, 3, 69, 36}},
        {"i8 to i8 saturates", NN_TYPE_I8, NN_TYPE_I8, -5, -120, 0.25f, 0.5f, {-128, 127}, {-128, -54}},
        // Scale 0 on the destination: NaN stores its zero point, infinities saturate.
        {"zero scale", NN_TYPE_U8, NN_TYPE_U8, 10, 100, 1.0f, 0.0f, {10, 20, 0}, {100, 255, 0}},
        // A far-away zero point still adds exactly.
        {"big zero", NN_TYPE_U8, NN_TYPE_I8, 0, -100000, 1.0f, 0.001f, {100, 0}, {0, -128}},
        {"huge ratio", NN_TYPE_U8, NN_TYPE_I8, 0, -1000000, 1.0f, 1e-30f, {200}, {127}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int n = (int)c.in.size();
        Tensor s(c.st, {n}), d(c.dt, {n});
        for (int i = 0; i < n; ++i)
            s.data<uint8_t>()[i] = (uint8_t)c.in[i];
        s.quant({c.sz}, {c.ss});
        d.quant({c.dz}, {c.ds});
        d->time = UINT64_MAX;
        ASSERT_EQ(nn_tensor_requantize(d, s), 0);
        for (int i = 0; i < n; ++i) {
            int got = c.dt == NN_TYPE_U8 ? d.data<uint8_t>()[i] : d.data<int8_t>()[i];
            EXPECT_EQ(got, c.out[i]) << i;
        }
        EXPECT_NE(d->time, UINT64_MAX);
        EXPECT_EQ(nn_tensor_mapped(d) + nn_tensor_mapped(s), 0);
    }
}

TEST(Requantize, LargeTensorMatchesTheReference)
{
    const int n = 5003;
    Tensor s(NN_TYPE_U8, {n}), d(NN_TYPE_I8, {n});
    for (int i = 0; i < n; ++i)
        s.data<uint8_t>()[i] = (uint8_t)(i * 31);
    s.quant({17}, {0.5f});
    d.quant({-3}, {0.25f});
    ASSERT_EQ(nn_tensor_requantize(d, s), 0);
    for (int i = 0; i < n; ++i) {
        double f = ((int)(uint8_t)(i * 31) - 17) * 0.5;
        ASSERT_EQ(d.data<int8_t>()[i], RefLevel(f, -3, 0.25, -128, 127)) << i;
    }
}

TEST(Requantize, EqualParametersShortcut)
{
    // Two views of one buffer: nothing is touched, not even the time.
    std::vector<uint8_t> buffer = {1, 2, 3, 4};
    Tensor a, b;
    int32_t shape[1] = {4};
    ASSERT_EQ(nn_tensor_assign(a, NN_TYPE_U8, 1, shape, buffer.data()), 0);
    ASSERT_EQ(nn_tensor_assign(b, NN_TYPE_U8, 1, shape, buffer.data()), 0);
    a.quant({5}, {0.5f});
    b.quant({5}, {0.500001f});  // within 1e-5
    b->time = 99;
    EXPECT_EQ(nn_tensor_requantize(b, a), 0);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(b->time, 99u);

    // Own buffer with equal parameters: a plain copy.
    Tensor c(NN_TYPE_U8, {4});
    c.quant({5}, {0.5f});
    c->time = 98;
    EXPECT_EQ(nn_tensor_requantize(c, a), 0);
    EXPECT_EQ(c.get<uint8_t>(), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(c->time, 98u);
    EXPECT_EQ(nn_tensor_mapped(a) + nn_tensor_mapped(b) + nn_tensor_mapped(c), 0);
}

TEST(Requantize, Failures)
{
    Tensor u8(NN_TYPE_U8, {4}), i8(NN_TYPE_I8, {4}), f32(NN_TYPE_F32, {4}), big(NN_TYPE_U8, {5});
    Tensor bare(NN_TYPE_U8, {4});
    u8.quant({0}, {1.0f});
    i8.quant({0}, {2.0f});
    big.quant({0}, {1.0f});
    f32.quant({0}, {1.0f});
    memset(i8->data, 0x77, 4);
    memset(big->data, 0x77, 5);
    struct Case {
        const char* name;
        nn_tensor* dst;
        nn_tensor* src;
        int expected;
    } cases[] = {
        {"same tensor", u8, u8, NN_ERROR_TENSOR_NO_DATA},
        {"float source", i8, f32, NN_ERROR_TENSOR_TYPE_UNSUPPORTED},
        {"float destination", f32, u8, NN_ERROR_TENSOR_TYPE_UNSUPPORTED},
        {"source without parameters", i8, bare, NN_ERROR_TENSOR_NO_DATA},
        {"destination without parameters", bare, u8, NN_ERROR_TENSOR_NO_DATA},
        {"source smaller", big, u8, NN_ERROR_SHAPE_MISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(nn_tensor_requantize(c.dst, c.src), c.expected);
        EXPECT_EQ(nn_tensor_mapped(c.dst), 0);
        EXPECT_EQ(nn_tensor_mapped(c.src), 0);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(i8.data<uint8_t>()[i], 0x77);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(big.data<uint8_t>()[i], 0x77);
}

}  // namespace
