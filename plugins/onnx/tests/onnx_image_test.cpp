// Pictures into the model's input: layout by the input's dimensions, element
// kinds and float conversions, and the inputs that are refused.
#include "onnx_test_support.h"

#include <cmath>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

using namespace onnx_test;

namespace {

// A picture of w x h pixels of `channels` components, pixel(x, y, c) each.
struct Picture {
    int w, h, channels;
    std::vector<uint8_t> pixels;
    template <typename F>
    Picture(int w_, int h_, int c_, F pixel) : w(w_), h(h_), channels(c_), pixels((size_t)(w_ * h_ * c_))
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < channels; ++c)
                    pixels[(size_t)((y * w + x) * channels + c)] = (uint8_t)pixel(x, y, c);
    }
    uint8_t at(int x, int y, int c) const { return pixels[(size_t)((y * w + x) * channels + c)]; }
    std::string png() const
    {
        std::string out;
        stbi_write_png_to_func([](void* ctx, void* data, int size) {
            static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), (size_t)size);
        }, &out, w, h, channels, pixels.data(), w * channels);
        return out;
    }
};

int varied(int x, int y, int c)
{
    return (x * 37 + y * 11 + c * 80 + 5) % 256;
}

class OnnxImage : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Plugin::get().ok()); }
    int load_model(const Graph& g)
    {
        testing::internal::CaptureStdout();
        int status = server.load(dir.model("m", g));
        testing::internal::GetCapturedStdout();
        return status;
    }
    // The loader's status with its stdout in *out.
    int load_image(const std::string& bytes, uint32_t flags, std::string* out = nullptr)
    {
        testing::internal::CaptureStdout();
        int status = Plugin::get().load_image(0, server, bytes.data(), bytes.size(), flags);
        std::string text = testing::internal::GetCapturedStdout();
        if (out)
            *out = text;
        return status;
    }
    const float* floats() const { return reinterpret_cast<const float*>(server->input_buffer); }
    // One run; the first output's values.
    std::vector<float> run()
    {
        EXPECT_TRUE(onnx_run_here());
        float* data = nullptr;
        EXPECT_EQ(server->api->GetTensorMutableData(server->outputs[0], reinterpret_cast<void**>(&data)), nullptr);
        OrtTensorTypeAndShapeInfo* info = nullptr;
        size_t count = 0;
        EXPECT_EQ(server->api->GetTensorTypeAndShape(server->outputs[0], &info), nullptr);
        EXPECT_EQ(server->api->GetTensorShapeElementCount(info, &count), nullptr);
        server->api->ReleaseTensorTypeAndShapeInfo(info);
        return std::vector<float>(data, data + count);
    }
    bool onnx_run_here()
    {
        OrtStatus* s = server->api->Run(server->session, nullptr, server->input_names, &server->input, 1,
                                        server->output_names, server->output_count, server->outputs);
        return Plugin::get().check_status(s, server->api) == 0;
    }
    TempDir dir;
    Server server;
};

TEST_F(OnnxImage, PlanarInputIsFilledPlaneByPlane)
{
    ASSERT_EQ(load_model(gap_model()), 0);
    Picture pic(5, 5, 3, varied);
    std::string out;
    ASSERT_EQ(load_image(pic.png(), 0, &out), 0);
    EXPECT_NE(out.find("Tranposing image to NCHW tensor"), std::string::npos) << out;
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(floats()[c * 25 + y * 5 + x], (float)pic.at(x, y, c)) << c << " " << x << " " << y;
}

TEST_F(OnnxImage, InterleavedInputIsFilledAsDecoded)
{
    ASSERT_EQ(load_model(onnx_test::nhwc_mean_model()), 0);
    Picture pic(8, 8, 3, varied);
    std::string out;
    ASSERT_EQ(load_image(pic.png(), 0, &out), 0);
    EXPECT_EQ(out.find("Tranposing"), std::string::npos) << out;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(floats()[(y * 8 + x) * 3 + c], (float)pic.at(x, y, c));
}

// A solid green picture through the channel means is (0, 1, 0) only when
// the layout is right: read the other way the channels mix.
TEST_F(OnnxImage, SolidGreenThroughThePooledMeans)
{
    Picture green(8, 8, 3, [](int, int, int c) { return c == 1 ? 255 : 0; });
    for (const Graph& g : {gap_model({1, 3, 8, 8}), onnx_test::nhwc_mean_model()}) {
        Server fresh;
        std::swap(server.s, fresh.s);
        ASSERT_EQ(load_model(g), 0);
        ASSERT_EQ(load_image(green.png(), 1), 0);
        std::vector<float> y = run();
        ASSERT_EQ(y.size(), 3u);
        EXPECT_NEAR(y[0], 0.0, 1e-6);
        EXPECT_NEAR(y[1], 255.0 * 0.003921569, 1e-6);
        EXPECT_NEAR(y[2], 0.0, 1e-6);
    }
}

TEST_F(OnnxImage, RefusedInputs)
{
    Picture pic(8, 8, 3, varied);
    struct Row {
        const char* what;
        Graph model;
        uint32_t flags;
        int expected;
    };
    const Row rows[] = {
        {"batch 3", identity_model(onnxtest::FLOAT, {3, 3, 8, 8}), 0, 6},
        {"rank 2", identity_model(onnxtest::FLOAT, {1, 3}), 0, 6},
        {"5 channels", identity_model(onnxtest::FLOAT, {1, 8, 8, 5}), 0, 6},
        {"int32 input", identity_model(onnxtest::INT32, {1, 8, 8, 3}), 0, 16},
        {"uint8 with normalize", identity_model(onnxtest::UINT8, {1, 8, 8, 3}), 1, 5},
        {"int8 with whitening", identity_model(onnxtest::INT8, {1, 8, 8, 3}), 2, 5},
    };
    for (const Row& row : rows) {
        Server fresh;
        std::swap(server.s, fresh.s);
        ASSERT_EQ(load_model(row.model), 0) << row.what;
        EXPECT_EQ(load_image(pic.png(), row.flags), row.expected) << row.what;
    }
    // No picture at all, and no model.
    EXPECT_EQ(load_image("not a picture", 0), 1);
    EXPECT_EQ(Plugin::get().load_image(0, server, nullptr, 10, 0), 6);
    EXPECT_EQ(Plugin::get().load_image(0, nullptr, "x", 1, 0), 6);
    EXPECT_EQ(Plugin::get().load_image(0, server, "x", 0x80000000u, 0), 6);
    Server empty;
    std::string png = pic.png();
    EXPECT_EQ(Plugin::get().load_image(0, empty, png.data(), png.size(), 0), 6);
}

// The text-direction classifier's shape: every extent but the channels is
// dynamic. The buffer was made for [1,3,1,1]; nothing is written past it.
TEST_F(OnnxImage, DynamicExtentsStayInsideTheBuffer)
{
    using onnxtest::kDynamic;
    ASSERT_EQ(load_model(identity_model(onnxtest::FLOAT, {kDynamic, 3, kDynamic, kDynamic})), 0);
    EXPECT_EQ(server->input_size, 3u * 4u);
    Picture pic(48, 16, 3, varied);
    for (const char* kind : {"png", "bmp"}) {
        std::string bytes = pic.png();
        if (std::string(kind) == "bmp") {
            bytes.clear();
            stbi_write_bmp_to_func([](void* ctx, void* data, int size) {
                static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), (size_t)size);
            }, &bytes, pic.w, pic.h, 3, pic.pixels.data());
        }
        EXPECT_EQ(load_image(bytes, 0), 0) << kind;
    }
    EXPECT_TRUE(onnx_run_here());
}

TEST_F(OnnxImage, EightBitKindsTakeTheBytes)
{
    Picture pic(8, 8, 3, varied);
    for (int elem : {onnxtest::UINT8, onnxtest::INT8}) {
        Server fresh;
        std::swap(server.s, fresh.s);
        ASSERT_EQ(load_model(identity_model(elem, {1, 8, 8, 3})), 0);
        ASSERT_EQ(load_image(pic.png(), 0), 0);
        for (size_t i = 0; i < pic.pixels.size(); ++i) {
            int expected = elem == onnxtest::UINT8 ? pic.pixels[i] : pic.pixels[i] - 128;
            int got = elem == onnxtest::UINT8 ? (int)server->input_buffer[i] : (int)(int8_t)server->input_buffer[i];
            ASSERT_EQ(got, expected) << elem << " at " << i;
        }
    }
}

TEST_F(OnnxImage, FloatConversionsByFlags)
{
    ASSERT_EQ(load_model(onnx_test::nhwc_mean_model()), 0);
    Picture pic(8, 8, 3, varied);
    const size_t n = pic.pixels.size();
    double sum = 0.0, squares = 0.0;
    for (uint8_t b : pic.pixels) {
        sum += b;
        squares += (double)b * b;
    }
    double mean = sum / (double)n;
    double scale = std::max(std::sqrt(squares / (double)n - mean * mean), 1.0 / std::sqrt((double)n));
    struct Row {
        uint32_t flags;
        double (*expected)(double x, double mean, double scale);
    };
    const Row rows[] = {
        {0, [](double x, double, double) { return x; }},
        {1, [](double x, double, double) { return x * 0.003921569; }},
        {4, [](double x, double, double) { return x * 0.007843138 - 1.0; }},
        {2, [](double x, double m, double s) { return (x - m) / s; }},
        // normalize comes first of the three
        {1 | 2 | 4, [](double x, double, double) { return x * 0.003921569; }},
        {2 | 4, [](double x, double, double) { return x * 0.007843138 - 1.0; }},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(load_image(pic.png(), row.flags), 0) << row.flags;
        for (size_t i = 0; i < n; ++i)
            ASSERT_NEAR(floats()[i], row.expected(pic.pixels[i], mean, scale), 1e-5) << row.flags << " at " << i;
    }
}

TEST_F(OnnxImage, ALargerPictureIsResizedToTheInput)
{
    ASSERT_EQ(load_model(gap_model()), 0);
    Picture solid(40, 30, 3, [](int, int, int c) { return 50 * (c + 1); });
    ASSERT_EQ(load_image(solid.png(), 0), 0);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 25; ++i)
            ASSERT_NEAR(floats()[c * 25 + i], 50.0 * (c + 1), 1.0);
}

} // namespace
