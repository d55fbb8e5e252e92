// Shape arithmetic: reshape with its messages, offsets and window padding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tensor_ops_fixture.h"

namespace {

using testfx::Capture;
using testfx::Tensor;

TEST(ShapeEqual, ComparesFourEntries)
{
    const int32_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 4}, c[4] = {1, 2, 3, 5};
    EXPECT_TRUE(nn_tensor_shape_equal(a, b));
    EXPECT_FALSE(nn_tensor_shape_equal(a, c));
    int32_t d[4] = {0, 0, 0, 0};
    nn_tensor_shape_copy(d, c);
    EXPECT_TRUE(nn_tensor_shape_equal(d, c));
    EXPECT_FALSE(nn_tensor_shape_equal(a, nullptr));
}

struct ReshapeCase {
    const char* name;
    std::vector<int32_t> from;
    int dims;
    std::vector<int32_t> to;
    int expected;
    std::vector<int32_t> shape;  // after success
    std::string err, out;
};

TEST(Reshape, Table)
{
    const ReshapeCase cases[] = {
        {"fill one", {2, 3, 4}, 2, {-1, 6}, 0, {4, 6, 1, 1}, "", ""},
        {"second -1 after a fill", {2, 3, 4}, 3, {2, -1, -1}, 9, {},
         "nn_tensor_reshape cannot have more than a single -1 dimensions\n", ""},
        {"zero entry becomes fill", {2, 3, 4}, 2, {0, 24}, 0, {1, 24, 1, 1}, "", ""},
        {"too large", {2, 3, 4}, 2, {5, 5}, 9, {},
         "nn_tensor_reshape volume too large (25) for target tensor (24) 2 dims: [ ]\n", "5 5 "},
        {"shrinking accepted", {2, 3, 4}, 2, {2, 2}, 0, {2, 2, 1, 1}, "", ""},
        {"four dims", {24}, 4, {2, 1, 3, 4}, 0, {2, 1, 3, 4}, "", ""},
        {"too many dims", {2, 3, 4}, 5, {1, 1, 1, 1, 24}, 9, {},
         "nn_tensor_reshape cannot have more than 4 dimensions (5 given)\n", ""},
        {"no dims", {2, 3, 4}, 0, {}, 0, {1, 1, 1, 1}, "", ""},
        // 64-bit products: 65536 x 65536 does not wrap to 0.
        {"overflowing product", {2, 3, 4}, 2, {65536, 65536}, 9, {},
         "nn_tensor_reshape volume too large (4294967296) for target tensor (24) 2 dims: [ ]\n",
         "65536 65536 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor t(NN_TYPE_F32, c.from);
        const std::vector<int32_t> before = t.shape();
        const int dims_before = t->dims;
        int rc = -1;
        auto o = Capture([&] { rc = nn_tensor_reshape(t, c.dims, c.to.data()); });
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, c.out);
        if (rc == 0) {
            EXPECT_EQ(t.shape(), c.shape);
            EXPECT_EQ(t->dims, c.dims);
            const int32_t* s = t->shape;
            EXPECT_EQ(t->strides[0], s[1] * s[2] * s[3]);
            EXPECT_EQ(t->strides[1], s[2] * s[3]);
            EXPECT_EQ(t->strides[2], s[3]);
            EXPECT_EQ(t->strides[3], 1);
        } else {
            EXPECT_EQ(t.shape(), before);
            EXPECT_EQ(t->dims, dims_before);
        }
    }
}

TEST(Reshape, EmptyTensorWithoutDims)
{
    Tensor t;
    int32_t shape[2] = {0, 3};
    ASSERT_EQ(nn_tensor_assign(t, NN_TYPE_F32, 2, shape, nullptr), 0);
    int rc = -1;
    auto o = Capture([&] { rc = nn_tensor_reshape(t, 0, nullptr); });
    EXPECT_EQ(rc, 9);
    EXPECT_EQ(o.err, "nn_tensor_reshape volume too large (1) for target tensor (0) 0 dims: [ ]\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(nn_tensor_reshape(nullptr, 1, shape), NN_ERROR_INVALID_PARAMETER);

    // A negative dims count flattens to no dims: the record keeps dims 0-4.
    Tensor u(NN_TYPE_F32, {2, 3});
    ASSERT_EQ(nn_tensor_reshape(u, -2, nullptr), 0);
    EXPECT_EQ(u->dims, 0);
    EXPECT_EQ(u.shape(), (std::vector<int32_t>{1, 1, 1, 1}));
    EXPECT_EQ(nn_tensor_reshape(u, 1, nullptr), NN_ERROR_INVALID_SHAPE);
}

TEST(Offset, SumsStrides)
{
    Tensor t(NN_TYPE_F32, {3, 5});
    EXPECT_EQ(nn_tensor_offsetv(t, 2, 1, 2), 7);
    const int32_t index[4] = {2, 4, 0, 0};
    EXPECT_EQ(nn_tensor_offset(t, 2, index), 14);
    EXPECT_EQ(nn_tensor_offset(t, 5, index), -1);
    EXPECT_EQ(nn_tensor_offsetv(t, 5, 1, 1, 1, 1, 1), -1);
    EXPECT_EQ(nn_tensor_offset(t, 0, index), 0);
    EXPECT_EQ(nn_tensor_offsetv(t, -1), 0);
    Tensor u(NN_TYPE_U8, {2, 3, 4, 5});
    EXPECT_EQ(nn_tensor_offsetv(u, 4, 1, 2, 3, 4), 60 + 40 + 15 + 4);
}

struct PaddingCase {
    const char* name;
    const char* padding;
    int32_t n, window, stride, dilation;
    int expected;
    int32_t out, head, tail;
};

TEST(Padding, SameAndValid)
{
    const PaddingCase cases[] = {
        {"same 5/3/2", "SAME", 5, 3, 2, 1, 0, 3, 1, 1},
        {"same 6/3/2 odd total at tail", "SAME", 6, 3, 2, 1, 0, 3, 0, 1},
        {"same 7/1/1", "SAME", 7, 1, 1, 1, 0, 7, 0, 0},
        {"same dilated", "SAME", 8, 3, 1, 2, 0, 8, 2, 2},
        {"valid 5/3/2", "VALID", 5, 3, 2, 1, 0, 2, 0, 0},
        {"valid dilated", "VALID", 9, 3, 2, 2, 0, 3, 0, 0},
        {"valid window too wide", "VALID", 2, 3, 1, 1, 9, 0, 0, 0},
        {"window 0", "SAME", 5, 0, 1, 1, 6, 0, 0, 0},
        {"stride 0", "VALID", 5, 3, 0, 1, 6, 0, 0, 0},
        {"dilation 0", "SAME", 5, 3, 1, 0, 6, 0, 0, 0},
        {"unknown padding", "FULL", 5, 3, 1, 1, 6, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor t(NN_TYPE_F32, {1, c.n, 4, 1});
        const int32_t window[4] = {1, c.window, 1, 1};
        const int32_t strides[4] = {1, c.stride, 1, 1};
        const int32_t dilations[4] = {1, c.dilation, 1, 1};
        int32_t out[4] = {-7, -7, -7, -7};
        int32_t pads[8] = {-7, -7, -7, -7, -7, -7, -7, -7};
        EXPECT_EQ(nn_tensor_padding(t, c.padding, window, strides, dilations, out, pads), c.expected);
        if (c.expected == 0) {
            EXPECT_EQ(out[1], c.out);
            EXPECT_EQ(pads[2], c.head);
            EXPECT_EQ(pads[3], c.tail);
            EXPECT_EQ(out[0], 1);
            EXPECT_EQ(out[2], 4);
            EXPECT_EQ(pads[4] + pads[5], 0);
        } else {
            for (int32_t v : out)
                EXPECT_EQ(v, -7);
            for (int32_t v : pads)
                EXPECT_EQ(v, -7);
        }
    }
}

TEST(Padding, OnlyTheTensorsDimsAndOptionalArrays)
{
    Tensor t(NN_TYPE_F32, {5, 6});
    int32_t out[4] = {-7, -7, -7, -7};
    int32_t pads[8] = {-7, -7, -7, -7, -7, -7, -7, -7};
    const int32_t window[4] = {3, 3, 9, 9};
    ASSERT_EQ(nn_tensor_padding(t, "SAME", window, nullptr, nullptr, out, pads), 0);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 6);
    EXPECT_EQ(out[2], -7);
    EXPECT_EQ(pads[0], 1);
    EXPECT_EQ(pads[3], 1);
    EXPECT_EQ(pads[4], -7);
    EXPECT_EQ(nn_tensor_padding(t, "VALID", nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(nn_tensor_padding(nullptr, "SAME", nullptr, nullptr, nullptr, out, pads), 6);
    EXPECT_EQ(nn_tensor_padding(t, nullptr, nullptr, nullptr, nullptr, out, pads), 6);
}

}  // namespace
