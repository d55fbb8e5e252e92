// Pictures into the Arm NN plug-in's input (armnn_tensor_load_image_ex),
// the top-1 label and the type names.
#include "armnn_test_util.h"

#include <cmath>

#include "case_name.h"

namespace armnn_test {
namespace {

using tflite_test::Model;

// A server with `model` loaded from a file.
struct Loaded {
    TempDir dir;
    Server server;
    explicit Loaded(const Model& model)
    {
        const std::string path = write_model(dir, "model.tflite", model);
        testing::internal::CaptureStdout();
        EXPECT_EQ(plugin().nn_server_model_load(server, path.c_str(), 1), 0);
        testing::internal::GetCapturedStdout();
    }
};

// ---- values through the model ------------------------------------------------

constexpr uint8_t red = 200, green = 100, blue = 50;

struct ImageCase {
    std::string label;
    TensorType type;
    const char* imgproc;  // the query word
    int size;             // of the picture, square (the input is 4 x 4)
    std::vector<double> expected;
};

// Whitening of a solid picture of n pixels, in double precision.
std::vector<double> whitened(int n)
{
    const double c[3] = {red, green, blue};
    double sum = 0, sq = 0;
    for (int i = 0; i < n; ++i)
        for (double v : c) {
            sum += v;
            sq += v * v;
        }
    const double count = 3.0 * n, mean = sum / count, var = sq / count - mean * mean;
    const double scale = std::max(std::sqrt(var), 1.0 / std::sqrt(count));
    return {(c[0] - mean) / scale, (c[1] - mean) / scale, (c[2] - mean) / scale};
}

std::vector<ImageCase> image_cases()
{
    const double r = red, g = green, b = blue;
    return {
        {"float32 none", TensorType::float32, "none", 4, {r, g, b}},
        {"float32 normalize", TensorType::float32, "normalize", 4, {r * 0.003921569, g * 0.003921569, b * 0.003921569}},
        {"float32 signed normalize", TensorType::float32, "signed_normalize", 4,
         {r * 0.007843138 - 1, g * 0.007843138 - 1, b * 0.007843138 - 1}},
        {"float32 whitening", TensorType::float32, "whitening", 4, whitened(16)},
        {"float32 resized", TensorType::float32, "none", 9, {r, g, b}},
        {"uint8", TensorType::uint8, "none", 4, {r, g, b}},
        {"uint8 resized", TensorType::uint8, "none", 2, {r, g, b}},
        {"int8 minus 128", TensorType::int8, "none", 4, {r - 128, g - 128, b - 128}},
    };
}

class ArmnnImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(ArmnnImage, PooledChannelsThroughTheModel)
{
    const ImageCase& c = GetParam();
    Loaded m(tflite_test::pool_model(c.type));
    const std::string png = solid_picture(Picture::png, c.size, c.size, red, green, blue);
    Reply r = call(m.server, post(std::string("/v1/model?run=1&imgproc=") + c.imgproc, "", "image/png", png));
    ASSERT_EQ(r.status, 200) << r.body;
    const std::string data = output_data(r.body);
    std::vector<double> got;
    if (c.type == TensorType::float32)
        for (float v : values_of<float>(data))
            got.push_back(v);
    else if (c.type == TensorType::uint8)
        for (uint8_t v : values_of<uint8_t>(data))
            got.push_back(v);
    else
        for (int8_t v : values_of<int8_t>(data))
            got.push_back(v);
    ASSERT_EQ(got.size(), 3u) << r.body;
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(got[i], c.expected[i], 1e-4 * std::max(1.0, std::fabs(c.expected[i]))) << "channel " << i;
}

INSTANTIATE_TEST_SUITE_P(Inputs, ArmnnImage, ::testing::ValuesIn(image_cases()), case_name<ImageCase>);

TEST(ArmnnImageFormats, BmpAndJpegDecodeToo)
{
    Loaded m(tflite_test::pool_model(TensorType::uint8));
    Reply bmp = call(m.server, post("/?run=1", "", "image/bmp", solid_picture(Picture::bmp, 4, 4, red, green, blue)));
    ASSERT_EQ(bmp.status, 200);
    EXPECT_EQ(values_of<uint8_t>(output_data(bmp.body)), (std::vector<uint8_t>{red, green, blue}));
    Reply jpeg = call(m.server, post("/?run=1", "", "image/jpeg", solid_picture(Picture::jpeg, 4, 4, red, green, blue)));
    ASSERT_EQ(jpeg.status, 200);
    std::vector<uint8_t> v = values_of<uint8_t>(output_data(jpeg.body));
    ASSERT_EQ(v.size(), 3u);
    const uint8_t want[3] = {red, green, blue};
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(v[i], want[i], 4) << "JPEG is lossy";
}

// ---- statuses ------------------------------------------------------------------

struct StatusCase {
    std::string label;
    Model model;
    Picture format;
    uint32_t flags;
    int status;
};

Model pool_16bit()
{
    Model m = tflite_test::pool_model(TensorType::int16);
    for (auto& t : m.tensors)
        t.quantization = tflite_test::Quantization{{1.0f / 256}, {0}};
    return m;
}

std::vector<StatusCase> status_cases()
{
    using tflite_test::pool_model;
    return {
        {"uint8 normalize", pool_model(TensorType::uint8), Picture::png, 1, 5},
        {"int8 whitening", pool_model(TensorType::int8), Picture::png, 2, 5},
        {"uint8 plain", pool_model(TensorType::uint8), Picture::png, 0, 0},
        {"int16 input", pool_16bit(), Picture::png, 0, 16},
        {"rank 2 input", tflite_test::softmax_model(), Picture::png, 0, 6},
        {"five channels png", pool_model(TensorType::float32, 4, 4, 5), Picture::png, 0, 6},
        {"five channels bmp", pool_model(TensorType::float32, 4, 4, 5), Picture::bmp, 0, 6},
        {"one channel", pool_model(TensorType::float32, 4, 4, 1), Picture::png, 1, 0},
    };
}

class ArmnnImageStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ArmnnImageStatus, StatusAndTheServerGoesOn)
{
    const StatusCase& c = GetParam();
    Loaded m(c.model);
    const std::string picture = solid_picture(c.format, 4, 4, red, green, blue);
    EXPECT_EQ(Plugin::get().load_image("input", m.server, picture.data(), picture.size(), c.flags), c.status);
    // Over HTTP a refused picture is 415, and the next request is answered.
    const char* word = c.flags == 1 ? "normalize" : c.flags == 2 ? "whitening" : "none";
    Reply r = call(m.server, post(std::string("/?imgproc=") + word, "", "image/png", picture));
    EXPECT_EQ(r.status, c.status == 0 ? 200 : 415) << r.body;
    if (c.status != 0) {
        EXPECT_EQ(r.body, "Invalid or Unsupported Image Format");
    }
    EXPECT_EQ(call(m.server, Request{}).status, 200);
}

INSTANTIATE_TEST_SUITE_P(Inputs, ArmnnImageStatus, ::testing::ValuesIn(status_cases()), case_name<StatusCase>);

TEST(ArmnnImageArguments, BadArgumentsAndUndecodableBytes)
{
    Loaded m(tflite_test::pool_model(TensorType::float32));
    auto load = Plugin::get().load_image;
    const std::string png = solid_picture(Picture::png, 4, 4, 1, 2, 3);
    EXPECT_EQ(load("input", m.server, nullptr, 10, 0), 6);
    EXPECT_EQ(load("input", nullptr, png.data(), png.size(), 0), 6);
    EXPECT_EQ(load("input", m.server, png.data(), size_t(INT32_MAX) + 1, 0), 6);
    EXPECT_EQ(load("no such input", m.server, png.data(), png.size(), 0), 6);
    EXPECT_EQ(load("input", m.server, "not a picture", 13, 0), 1);
    Server empty;
    EXPECT_EQ(load("input", empty, png.data(), png.size(), 0), 6) << "no model loaded";
}

// ---- top-1 label -------------------------------------------------------------------

struct LabelCase {
    std::string label;
    armnn::DataType type;
    std::vector<uint8_t> bytes;
    size_t count;
    int index;
    float score;
};

std::vector<uint8_t> float_bytes(std::vector<float> v)
{
    std::vector<uint8_t> b(v.size() * 4);
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

std::vector<LabelCase> label_cases()
{
    using armnn::DataType;
    return {
        {"float32 max", DataType::Float32, float_bytes({0.1f, 0.7f, 0.2f}), 3, 1, 0.7f},
        {"float32 first of ties", DataType::Float32, float_bytes({0.1f, 0.5f, 0.5f}), 3, 1, 0.5f},
        {"float32 negative", DataType::Float32, float_bytes({-3.0f, -1.0f, -2.0f}), 3, 1, -1.0f},
        {"float32 count 1", DataType::Float32, float_bytes({0.25f, 0.9f}), 1, 0, 0.25f},
        {"uint8 255", DataType::QAsymmU8, {10, 255, 3}, 3, 1, 255.0f / 256.0f},
        {"uint8 ties", DataType::QAsymmU8, {7, 9, 9}, 3, 1, 9.0f / 256.0f},
        {"int8 127", DataType::QAsymmS8, {0x80, 0x7F, 0x00}, 3, 1, 127.0f / 256.0f + 0.5f},
        {"int8 negative", DataType::QAsymmS8, {0xF0, 0x80, 0xFE}, 3, 2, -2.0f / 256.0f + 0.5f},
        {"symmetric int8", DataType::QSymmS8, {0x05, 0x06}, 2, 1, 6.0f / 256.0f + 0.5f},
        {"int32 other", DataType::Signed32, {1, 0, 0, 0, 9, 0, 0, 0}, 2, 0, 0.0f},
        {"int16 other", DataType::QSymmS16, {1, 0, 9, 0}, 2, 0, 0.0f},
    };
}

class ArmnnLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(ArmnnLabel, IndexAndScore)
{
    const LabelCase& c = GetParam();
    int index = -1;
    float score = Plugin::get().label(nullptr, c.bytes.data(), &index, c.type, c.count);
    EXPECT_EQ(index, c.index);
    EXPECT_FLOAT_EQ(score, c.score);
}

INSTANTIATE_TEST_SUITE_P(Types, ArmnnLabel, ::testing::ValuesIn(label_cases()), case_name<LabelCase>);

// ---- type names -------------------------------------------------------------------------

TEST(ArmnnTypeName, EveryEnumValueByName)
{
    using armnn::DataType;
    const std::pair<DataType, const char*> names[] = {
        {DataType::Float16, "FLOAT16"}, {DataType::Float32, "FLOAT32"}, {DataType::QAsymmU8, "UINT8"},
        {DataType::Signed32, "INT32"},  {DataType::Boolean, "BOOL"},    {DataType::QSymmS16, "INT16"},
        {DataType::QSymmS8, "INT8"},    {DataType::QAsymmS8, "INT8"},   {DataType::BFloat16, "(invalid)"},
    };
    for (auto& [type, name] : names)
        EXPECT_STREQ(Plugin::get().type_name(type), name) << static_cast<int>(type);
    // The per-axis 8-bit value of this release (between QSymmS16 and QSymmS8).
    EXPECT_STREQ(Plugin::get().type_name(static_cast<DataType>(static_cast<int>(DataType::QSymmS16) + 1)), "INT8");
    EXPECT_STREQ(Plugin::get().type_name(static_cast<DataType>(99)), "(invalid)");
    EXPECT_STREQ(Plugin::get().type_name(static_cast<DataType>(-1)), "(invalid)");
}

}  // namespace
}  // namespace armnn_test
