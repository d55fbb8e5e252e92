// Element counts, top-1 and picture loading on tensors of a stand-in graph.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image_fixtures.h"
#include "kestrune/nn.h"
#include "ovx/ovx_kfm.h"

namespace {

// A graph of one host tensor, set up so its bytes can be read back.
class OneTensor {
public:
    OneTensor(std::vector<uint32_t> sizes, int32_t type, int32_t fmt = OVXLIB_FMT_NHWC)
    {
        context_ = vsi_nn_CreateContext();
        graph_ = vsi_nn_CreateGraph(context_, 0, 0);
        ovxlib_tensor_attr a{};
        for (size_t i = 0; i < sizes.size(); ++i)
            a.sizes[i] = sizes[i];
        a.dim_count = static_cast<uint32_t>(sizes.size());
        a.type = type;
        a.fmt = fmt;
        if (type == OVXLIB_TYPE_UINT8 || type == OVXLIB_TYPE_INT8) {
            a.quant.type = OVXLIB_QUANT_AFFINE;
            a.quant.scale = 1.0f;
        }
        id_ = vsi_nn_AddTensor(graph_, OVXLIB_AUTO_ID, &a, nullptr);
        EXPECT_NE(id_, OVXLIB_NO_TENSOR);
        EXPECT_EQ(vsi_nn_SetupGraph(graph_, 0), 0);
    }
    ~OneTensor()
    {
        vsi_nn_ReleaseGraph(&graph_);
        vsi_nn_ReleaseContext(&context_);
    }
    ovxlib_graph* graph() { return graph_; }
    ovxlib_tensor* tensor() { return vsi_nn_GetTensor(graph_, id_); }
    void fill(const void* bytes) { ASSERT_EQ(vsi_nn_CopyDataToTensor(graph_, tensor(), bytes), 0); }
    std::vector<uint8_t> bytes()
    {
        uint8_t* p = vsi_nn_ConvertTensorToData(graph_, tensor());
        std::vector<uint8_t> v(p, p + vsi_nn_tensor_bytes(tensor()));
        vsi_nn_Free(p);
        return v;
    }
    std::vector<float> floats()
    {
        std::vector<uint8_t> b = bytes();
        std::vector<float> f(b.size() / 4);
        std::memcpy(f.data(), b.data(), b.size());
        return f;
    }

private:
    ovxlib_context* context_ = nullptr;
    ovxlib_graph* graph_ = nullptr;
    uint32_t id_ = OVXLIB_NO_TENSOR;
};

TEST(TensorVolume, ElementCountsAndBytesByType)
{
    ovxlib_tensor t{};
    EXPECT_EQ(vsi_nn_tensor_volume(nullptr), 0u);
    EXPECT_EQ(vsi_nn_tensor_bytes(nullptr), 0u);
    t.attr.type = OVXLIB_TYPE_FLOAT32;
    EXPECT_EQ(vsi_nn_tensor_volume(&t), 1u);  // no dimensions
    EXPECT_EQ(vsi_nn_tensor_bytes(&t), 4u);
    t.attr.dim_count = 3;
    t.attr.sizes[0] = 3;
    t.attr.sizes[1] = 5;
    t.attr.sizes[2] = 7;
    t.attr.sizes[3] = 1000;  // beyond the dimension count
    EXPECT_EQ(vsi_nn_tensor_volume(&t), 105u);
    const std::pair<int32_t, uint32_t> sizes[] = {{6, 4}, {7, 4}, {10, 4}, {4, 2}, {5, 2}, {15, 2}, {8, 8},
                                                  {9, 8}, {11, 8}, {2, 1},  {3, 1}, {0, 1}, {99, 1}};
    for (auto [type, size] : sizes) {
        t.attr.type = type;
        EXPECT_EQ(vsi_nn_tensor_bytes(&t), 105u * size) << "type " << type;
    }
    // 32-bit arithmetic: 2^16 x 2^16 wraps to 0.
    t.attr.dim_count = 2;
    t.attr.sizes[0] = t.attr.sizes[1] = 65536;
    EXPECT_EQ(vsi_nn_tensor_volume(&t), 0u);
}

TEST(Argmax, FirstLargestAndItsScoreByType)
{
    {
        OneTensor t({3, 1}, OVXLIB_TYPE_FLOAT32);
        const float v[3] = {0.2f, 0.7f, 0.7f};
        t.fill(v);
        int32_t index = -1;
        float score = 0;
        EXPECT_EQ(vsi_nn_argmax(t.graph(), t.tensor(), &index, &score, sizeof score), 0);
        EXPECT_EQ(index, 1);
        EXPECT_EQ(score, 0.7f);
        // A score of too few bytes: the index is stored all the same.
        index = -1;
        score = -5;
        EXPECT_EQ(vsi_nn_argmax(t.graph(), t.tensor(), &index, &score, 2), -1);
        EXPECT_EQ(index, 1);
        EXPECT_EQ(score, -5);
        EXPECT_EQ(vsi_nn_argmax(t.graph(), t.tensor(), nullptr, nullptr, 0), 0);
    }
    {
        OneTensor t({4}, OVXLIB_TYPE_UINT8);
        const uint8_t v[4] = {3, 255, 128, 255};
        t.fill(v);
        int32_t index = -1;
        float score = 0;
        EXPECT_EQ(vsi_nn_argmax(t.graph(), t.tensor(), &index, &score, 4), 0);
        EXPECT_EQ(index, 1);
        EXPECT_EQ(score, 255.0f / 256.0f);
    }
    {
        OneTensor t({4}, OVXLIB_TYPE_INT8);
        const int8_t v[4] = {-128, 100, -1, 127};  // 127 wins compared signed
        t.fill(v);
        int32_t index = -1;
        float score = 0;
        EXPECT_EQ(vsi_nn_argmax(t.graph(), t.tensor(), &index, &score, 4), 0);
        EXPECT_EQ(index, 3);
        EXPECT_EQ(score, 255.0f / 256.0f);
    }
    {
        OneTensor t({4}, OVXLIB_TYPE_INT32);
        const int32_t v[4] = {1, 9, 3, 4};
        t.fill(v);
        int32_t index = -1;
        float score = -1;
        EXPECT_EQ(vsi_nn_argmax(t.graph(), t.tensor(), &index, &score, 4), 0);
        EXPECT_EQ(index, 0);
        EXPECT_EQ(score, 0.0f);
    }
    EXPECT_EQ(vsi_nn_argmax(nullptr, nullptr, nullptr, nullptr, 4), -1);
}

// Pixels of a w x h picture, c interleaved components, no symmetry.
std::vector<uint8_t> pixels(int w, int h, int c)
{
    std::vector<uint8_t> p(static_cast<size_t>(w * h * c));
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<uint8_t>((i * 53 + 7) % 251);
    return p;
}

std::vector<uint8_t> bmp(const std::vector<uint8_t>& px, int w, int h, int c)
{
    size_t size = 0;
    unsigned char* e = fixture_encode_bmp(px.data(), w, h, c, &size);
    std::vector<uint8_t> v(e, e + size);
    std::free(e);
    return v;
}

std::vector<uint8_t> pnm(const std::vector<uint8_t>& px, int w, int h, int c)
{
    std::string head = std::string(c == 1 ? "P5" : "P6") + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    std::vector<uint8_t> v(head.begin(), head.end());
    v.insert(v.end(), px.begin(), px.end());
    return v;
}

TEST(LoadImage, Uint8AndInt8TakeThePixelBytesUnchanged)
{
    const std::vector<uint8_t> px = pixels(4, 3, 3);
    for (int32_t type : {OVXLIB_TYPE_UINT8, OVXLIB_TYPE_INT8}) {
        OneTensor t({3, 4, 3, 1}, type);  // NHWC [C, W, H, N]
        const std::vector<uint8_t> file = bmp(px, 4, 3, 3);
        EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), file.size(), 0), 0);
        EXPECT_EQ(t.bytes(), px);
    }
    // NCHW geometry: W, H, C from sizes 0, 1, 2; the pixel order stays interleaved.
    OneTensor t({4, 3, 3, 1}, OVXLIB_TYPE_UINT8, OVXLIB_FMT_NCHW);
    const std::vector<uint8_t> file = pnm(px, 4, 3, 3);
    EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), file.size(), 0), 0);
    EXPECT_EQ(t.bytes(), px);
}

TEST(LoadImage, AnotherSizeIsResized)
{
    const std::vector<uint8_t> px = pixels(8, 6, 1);
    std::vector<uint8_t> want(4 * 3);
    ASSERT_NE(fixture_resize_uint8(px.data(), 8, 6, want.data(), 4, 3, 1), 0);
    OneTensor t({1, 4, 3, 1}, OVXLIB_TYPE_UINT8);
    const std::vector<uint8_t> file = pnm(px, 8, 6, 1);
    EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), file.size(), 0), 0);
    EXPECT_EQ(t.bytes(), want);
}

TEST(LoadImage, Float32FlagsApplyInOrder)
{
    const std::vector<uint8_t> px = pixels(3, 2, 3);
    const std::vector<uint8_t> file = pnm(px, 3, 2, 3);
    struct Row {
        int flags;
        double (*f)(double);
    };
    const Row rows[] = {
        {0, [](double x) { return x; }},
        {NN_IMAGE_PROC_NORMALIZE, [](double x) { return x / 255.0; }},
        {NN_IMAGE_PROC_SIGNED_NORMALIZE, [](double x) { return x * 2.0 / 255.0 - 1.0; }},
        {NN_IMAGE_PROC_NORMALIZE | NN_IMAGE_PROC_SIGNED_NORMALIZE, [](double x) { return (x / 255.0) * 2.0 / 255.0 - 1.0; }},
    };
    for (const Row& r : rows) {
        OneTensor t({3, 3, 2, 1}, OVXLIB_TYPE_FLOAT32);
        ASSERT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), file.size(), r.flags), 0);
        std::vector<float> got = t.floats();
        ASSERT_EQ(got.size(), px.size());
        for (size_t i = 0; i < px.size(); ++i)
            EXPECT_NEAR(got[i], r.f(px[i]), 1e-5) << "flags " << r.flags << " element " << i;
    }
    // Whitening over the whole volume, after normalising.
    OneTensor t({3, 3, 2, 1}, OVXLIB_TYPE_FLOAT32);
    ASSERT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), file.size(),
                                       NN_IMAGE_PROC_NORMALIZE | NN_IMAGE_PROC_WHITENING), 0);
    double sum = 0, sq = 0;
    for (uint8_t p : px) {
        sum += p / 255.0;
        sq += (p / 255.0) * (p / 255.0);
    }
    const double n = static_cast<double>(px.size()), mean = sum / n, sd = std::sqrt(sq / n - mean * mean);
    std::vector<float> got = t.floats();
    for (size_t i = 0; i < px.size(); ++i)
        EXPECT_NEAR(got[i], (px[i] / 255.0 - mean) / std::max(sd, 1 / std::sqrt(n)), 1e-4);
}

TEST(LoadImage, FlatPictureIsWhitenedWithTheFloor)
{
    const std::vector<uint8_t> px(2 * 2, 200);
    const std::vector<uint8_t> file = pnm(px, 2, 2, 1);
    OneTensor t({1, 2, 2, 1}, OVXLIB_TYPE_FLOAT32);
    ASSERT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), file.size(), NN_IMAGE_PROC_WHITENING), 0);
    for (float v : t.floats())
        EXPECT_NEAR(v, 0.0f, 1e-4);
}

TEST(LoadImage, RefusalsLeaveTheTensorUnchanged)
{
    const std::vector<uint8_t> px = pixels(4, 3, 3);
    const std::vector<uint8_t> file = bmp(px, 4, 3, 3);
    const std::vector<uint8_t> before(36, 0x11);
    struct Row {
        const char* what;
        std::vector<uint32_t> sizes;
        int32_t type;
        int flags;
        std::vector<uint8_t> data;
    };
    const std::vector<Row> rows = {
        {"uint8 with flags", {3, 4, 3, 1}, OVXLIB_TYPE_UINT8, NN_IMAGE_PROC_NORMALIZE, file},
        {"no channels", {4, 3}, OVXLIB_TYPE_UINT8, 0, file},
        {"batch of two", {3, 4, 3, 2}, OVXLIB_TYPE_UINT8, 0, file},
        {"int32 tensor", {3, 4, 3, 1}, OVXLIB_TYPE_INT32, 0, file},
        {"not a picture", {3, 4, 3, 1}, OVXLIB_TYPE_UINT8, 0, std::vector<uint8_t>(40, 0x42)},
        {"cut picture", {3, 4, 3, 1}, OVXLIB_TYPE_UINT8, 0, std::vector<uint8_t>(file.begin(), file.begin() + 20)},
    };
    for (const Row& r : rows) {
        OneTensor t(r.sizes, r.type);
        std::vector<uint8_t> mark(vsi_nn_tensor_bytes(t.tensor()), 0x11);
        t.fill(mark.data());
        EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), r.data.data(), r.data.size(), r.flags), -1) << r.what;
        EXPECT_EQ(t.bytes(), mark) << r.what;
    }
    OneTensor t({3, 4, 3, 1}, OVXLIB_TYPE_UINT8);
    EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), nullptr, 10, 0), -1);
    EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), nullptr, file.data(), file.size(), 0), -1);
    EXPECT_EQ(vsi_nn_tensor_load_image(t.graph(), t.tensor(), file.data(), size_t{1} << 31, 0), -1);
}

}  // namespace
