// Allocation failures inside runtime operations: the program is linked with
// --wrap for malloc, calloc and realloc, and the k-th allocation after arming
// fails.  For every k, an operation either completes or returns one of its
// documented failure statuses, then the same call without failures gives the
// result of an undisturbed run.  LeakSanitizer checks that nothing a failed
// call made was left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "failing_alloc.h"
#include "image_fixtures.h"
#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "layers/layer_test_util.h"
#include "postproc_util.h"

namespace {

using kestrune::test::F32;
using kestrune::test::I32;

// One operation on fixtures it owns: run() calls it and returns its status,
// result() is what a check compares.
struct Operation {
    virtual ~Operation() = default;
    virtual int run() = 0;
    virtual std::vector<float> result() = 0;
};

// Runs a fresh operation with the k-th allocation failing, for k = 0, 1, ...
// until a run meets no failure.  A run that meets one either succeeds with
// the undisturbed result or gives an allowed status and is followed by a
// clean run equal to the undisturbed one.
void Sweep(const std::function<std::unique_ptr<Operation>()>& make, const std::set<int>& allowed)
{
    std::vector<float> want;
    {
        auto op = make();
        ASSERT_EQ(op->run(), 0);
        want = op->result();
    }
    for (int k = 0; k < 500; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        auto op = make();
        testing::internal::CaptureStderr();
        failing_alloc::arm(k);
        int status = op->run();
        failing_alloc::disarm();
        testing::internal::GetCapturedStderr();
        if (failing_alloc::calls <= k) {  // no allocation failed: the sweep is complete
            EXPECT_EQ(status, 0);
            EXPECT_EQ(op->result(), want);
            EXPECT_GT(k, 0) << "the operation allocates nothing";
            return;
        }
        if (status == 0) {  // the failure was absorbed: the result must be whole
            EXPECT_EQ(op->result(), want);
            continue;
        }
        EXPECT_TRUE(allowed.count(status)) << "status " << status;
        testing::internal::CaptureStderr();
        int again = op->run();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(again, 0) << "after the failed call";
        if (again == 0) {
            EXPECT_EQ(op->result(), want);
        }
    }
    ADD_FAILURE() << "more than 500 allocations";
}

// ---- image input ------------------------------------------------------------

std::vector<unsigned char> png_bytes(int w, int h)
{
    std::vector<uint8_t> px((size_t)w * h * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = (uint8_t)(i * 37 + 11);
    size_t size = 0;
    unsigned char* encoded = fixture_encode_png(px.data(), w, h, 3, &size);
    std::vector<unsigned char> out(encoded, encoded + size);
    free(encoded);
    return out;
}

struct ImageLoad : Operation {
    std::vector<unsigned char> png = png_bytes(8, 6);
    F32 out;
    explicit ImageLoad(std::vector<int32_t> shape) : out(std::move(shape)) {}
    int run() override { return nn_tensor_load_image_ex(out, png.data(), png.size(), 1); }
    std::vector<float> result() override { return out.values(); }
};

TEST(AllocationFailure, ImageDecodeAndResize)
{
    // Decoding failures give 1, the resize buffer 3.
    Sweep([] { return std::make_unique<ImageLoad>(std::vector<int32_t>{1, 3, 4, 3}); }, {1, 3});
    Sweep([] { return std::make_unique<ImageLoad>(std::vector<int32_t>{1, 6, 8, 3}); }, {1});
}

// A header may promise at most 2^24 pixels (4096 x 4096): a 24-bit BMP header
// of 4096 x 4097 without pixel data is refused before the decoder reserves
// its pixels; one of 4096 x 4096 gets as far as asking for them (that
// request is failed here, so that nothing is decoded).
TEST(AllocationFailure, PictureHeadersAreBoundedBeforeDecoding)
{
    for (int h : {4096, 4097}) {
        std::vector<uint8_t> bmp(54, 0);
        auto put32 = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                bmp[at + i] = (uint8_t)(v >> (8 * i));
        };
        bmp[0] = 'B', bmp[1] = 'M';
        put32(2, 54), put32(10, 54), put32(14, 40), put32(18, 4096), put32(22, (uint32_t)h);
        bmp[26] = 1, bmp[28] = 24;
        F32 out({1, 2, 2, 3});
        failing_alloc::arm(1 << 30);  // counts; only the large requests fail
        failing_alloc::fail_above = 1 << 20;
        int status = nn_tensor_load_image(out, bmp.data(), bmp.size());
        failing_alloc::disarm();
        EXPECT_EQ(status, 1) << h;
        if (h == 4096) {
            EXPECT_GE(failing_alloc::largest, (size_t)4096 * 4096 * 3);
        } else {
            EXPECT_LT(failing_alloc::largest, (size_t)1 << 20);
        }
    }
}

// ---- element-wise work tensors ------------------------------------------------

struct QuantisedAdd : Operation {
    std::vector<int8_t> a_data{-4, -1, 0, 3, 7, 100};
    int32_t a_shape[4] = {1, 1, 2, 3};
    unsigned char a_record[152];
    nn_tensor* a = nn_tensor_init(a_record, nullptr);
    F32 b{{1, 1, 2, 3}, {0.5f, 1, 2, -3, 4, 0}};
    F32 out{{1, 1, 2, 3}};
    QuantisedAdd()
    {
        nn_tensor_assign(a, NN_TYPE_I8, 4, a_shape, a_data.data());
        static int32_t zero[1] = {2};
        static float scale[1] = {0.25f};
        nn_tensor_set_zeros(a, 1, zero, 0);
        nn_tensor_set_scales(a, 1, scale, 0);
    }
    ~QuantisedAdd() override { nn_tensor_release(a); }
    int run() override { return nn_add(out, a, b); }
    std::vector<float> result() override { return out.values(); }
};

TEST(AllocationFailure, ElementWiseWorkTensor)
{
    // The work tensor's record gives 3; its data, 14 (no mapping).
    Sweep([] { return std::make_unique<QuantisedAdd>(); }, {3, 14});
}

// ---- suppression state ------------------------------------------------------------

struct Suppression : Operation {
    static constexpr int32_t nb = 2, nc = 3;
    F32 scores{{1, nb, nc}, {0.05f, 0.5f, 0.2f, 0.9f, 0.08f, 0.3f}};
    F32 boxes{{nc, nb, 4}, {0, 0, 1, 1, 9, 9, 9, 9, 5, 5, 6, 6, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1}};
    F32 out{{nc, nb, 4}, {}, -1.0f};
    I32 counts{{nc}, {}, -1};
    int run() override { return nn_nms(boxes, scores, nullptr, 0, out, counts, 0.0f, 0.0f); }
    std::vector<float> result() override
    {
        std::vector<float> r = out.values();
        for (int32_t c : counts.values())
            r.push_back((float)c);
        return r;
    }
};

TEST(AllocationFailure, SuppressionStateAndScratch)
{
    Sweep([] { return std::make_unique<Suppression>(); }, {3});
}

// ---- convolution filter objects ------------------------------------------------------

struct TiledConv : Operation {
    F32 input{{1, 5, 6, 3}};
    F32 filter{{3, 3, 3, 16}};
    F32 bias{{16}};
    F32 cache{{1, 16384}};
    F32 output{{1, 3, 4, 16}};
    TiledConv()
    {
        for (size_t i = 0; i < input.volume(); ++i)
            input[i] = (float)((int)(i % 7) - 3) * 0.5f;
        for (size_t i = 0; i < filter.volume(); ++i)
            filter[i] = (float)((int)(i % 5) - 2) * 0.25f;
        for (size_t i = 0; i < bias.volume(); ++i)
            bias[i] = (float)i * 0.1f;
    }
    int run() override
    {
        static const int32_t strides[4] = {1, 1, 1, 1};
        static const int32_t padding[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        static const int32_t dilations[4] = {1, 1, 1, 1};
        return nn_conv_ex(output, cache, input, filter, bias, strides, padding, dilations, 1, 1);
    }
    std::vector<float> result() override { return output.values(); }
};

TEST(AllocationFailure, ConvolutionPanelObject)
{
    Sweep([] { return std::make_unique<TiledConv>(); }, {3, 14});
}

// An INT8 convolution without a cache: the direct variant, with FLOAT32 work
// tensors on the input and output and a dequantised copy of the filter.
struct Int8Tensor {
    std::vector<int8_t> data;
    std::vector<int32_t> shape;
    unsigned char record[152];
    nn_tensor* t = nn_tensor_init(record, nullptr);
    int32_t zero[1];
    float scale[1];
    Int8Tensor(std::vector<int32_t> s, float sc, int32_t z) : shape(std::move(s))
    {
        size_t volume = 1;
        for (int32_t d : shape)
            volume *= (size_t)d;
        data.resize(volume);
        for (size_t i = 0; i < volume; ++i)
            data[i] = (int8_t)((int)(i * 29 % 61) - 30);
        zero[0] = z;
        scale[0] = sc;
        nn_tensor_assign(t, NN_TYPE_I8, (int)shape.size(), shape.data(), data.data());
        nn_tensor_set_zeros(t, 1, zero, 0);
        nn_tensor_set_scales(t, 1, scale, 0);
    }
    ~Int8Tensor() { nn_tensor_release(t); }
};

struct Int8DirectConv : Operation {
    Int8Tensor input{{1, 4, 5, 2}, 0.05f, 3};
    Int8Tensor filter{{3, 3, 2, 4}, 0.02f, 0};
    Int8Tensor output{{1, 2, 3, 4}, 0.1f, -5};
    int run() override
    {
        static const int32_t strides[4] = {1, 1, 1, 1};
        static const int32_t padding[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        static const int32_t dilations[4] = {1, 1, 1, 1};
        return nn_conv_ex(output.t, nullptr, input.t, filter.t, nullptr, strides, padding, dilations,
                          1, 0);
    }
    std::vector<float> result() override { return std::vector<float>(output.data.begin(), output.data.end()); }
};

TEST(AllocationFailure, QuantisedDirectConvolutionWorkTensors)
{
    Sweep([] { return std::make_unique<Int8DirectConv>(); }, {3, 14});
}

// ---- contexts and models ------------------------------------------------------------

// A context made, a model loaded and run: conv2d 3x3 with a fused relu ->
// max pool -> reshape -> dense -> softmax, FLOAT32.
struct LoadAndRun : Operation {
    kfm::Buffer buf;
    nn_context* ctx = nullptr;
    std::vector<float> out;
    LoadAndRun()
    {
        using namespace layer_test;
        std::vector<float> w(3 * 3 * 3 * 4), d(2 * 2 * 4 * 3);
        for (size_t i = 0; i < w.size(); ++i)
            w[i] = (float)((int)(i % 7) - 3) * 0.1f;
        for (size_t i = 0; i < d.size(); ++i)
            d[i] = (float)((int)(i % 5) - 2) * 0.2f;
        kfm::Model m;
        m.memory_block_size = 16;
        m.labels = std::vector<std::string>{"r", "g", "b"};
        m.layers = std::vector<kfm::Layer>{
            input("x", {1, 4, 4, 3}),
            constant_f32("w", {3, 3, 3, 4}, w),
            constant_f32("b", {4}, {0.1f, -0.1f, 0.2f, 0}),
            op("c", NN_LAYER_CONV2D, {1, 4, 4, 4}, {0, 1, 2},
               {list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}), list("tail", {0, 1, 1, 0}),
                text("activation", "relu")}),
            op("p", NN_LAYER_POOL2D, {1, 2, 2, 4}, {3},
               {list("ksize", {1, 2, 2, 1}), list("strides", {1, 2, 2, 1}), text("pooling", "MAXIMUM")}),
            op("f", NN_LAYER_RESHAPE, {1, 16}, {4}),
            constant_f32("d", {16, 3}, d),
            op("y", NN_LAYER_DENSE, {1, 3}, {5, 6}),
            op("s", NN_LAYER_SOFTMAX, {1, 3}, {7})};
        buf = kfm::write(m);
    }
    ~LoadAndRun() override { nn_context_release(ctx); }
    int run() override
    {
        nn_context_release(ctx);
        ctx = nn_context_init(nullptr, 1 << 16, nullptr, 1 << 16, nullptr);
        if (!ctx)
            return NN_ERROR_OUT_OF_MEMORY;
        int status = nn_context_model_load(ctx, buf.size(), buf.data());
        if (status)
            return status;
        nn_tensor* x = nn_context_tensor_index(ctx, 0);
        float* p = x ? (float*)nn_tensor_mapwo(x) : nullptr;
        if (!p)
            return NN_ERROR_TENSOR_NO_DATA;
        for (int i = 0; i < 48; ++i)
            p[i] = (float)((i * 13) % 17) * 0.1f;
        nn_tensor_unmap(x);
        status = nn_context_run(ctx);
        if (status)
            return status;
        out = kfm_test::floats(nn_context_tensor_index(ctx, 8));
        return 0;
    }
    std::vector<float> result() override { return out; }
};

TEST(AllocationFailure, ContextModelLoadAndRun)
{
    Sweep([] { return std::make_unique<LoadAndRun>(); }, {NN_ERROR_OUT_OF_MEMORY, NN_ERROR_TENSOR_NO_DATA});
}

}  // namespace
