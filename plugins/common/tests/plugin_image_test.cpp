// The picture input core: pictures written by the test (stb_image_write) in
// PNG, BMP and JPEG, stored as each element kind, conversion and layout and
// compared with values computed here from the pixels written; the resize
// path; and every refusal, with the destination never written past.
#include "plugin_image.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "case_name.h"

#include "image_writer.h"

namespace {

using image_writer::Format;

struct Picture {
    Format format;
    int width, height;
    std::vector<uint8_t> rgb;  // width x height x 3, row by row
};

std::vector<uint8_t> encode(const Picture& p)
{
    return image_writer::encode(p.format, p.width, p.height, 3, p.rgb.data());
}

Picture solid(Format format, int width, int height, uint8_t r, uint8_t g, uint8_t b)
{
    Picture p{format, width, height, {}};
    for (int i = 0; i < width * height; ++i)
        p.rgb.insert(p.rgb.end(), {r, g, b});
    return p;
}

// Every pixel different: 4 wide, 3 high.
Picture pattern(Format format)
{
    Picture p{format, 4, 3, {}};
    for (int i = 0; i < 12; ++i)
        p.rgb.insert(p.rgb.end(), {uint8_t(20 * i + 5), uint8_t(250 - 13 * i), uint8_t(i * i)});
    return p;
}

// What the input should hold, computed from the pixels in double precision.
std::vector<double> reference(const std::vector<uint8_t>& rgb, int width, int height, plugin_element element,
                              uint32_t flags, plugin_layout layout)
{
    const size_t n = rgb.size();
    std::vector<double> v(n);
    double mean = 0, squares = 0;
    for (uint8_t x : rgb) {
        mean += x;
        squares += double(x) * x;
    }
    mean /= double(n);
    const double deviation = std::max(std::sqrt(squares / double(n) - mean * mean), 1 / std::sqrt(double(n)));
    for (size_t i = 0; i < n; ++i) {
        double x = rgb[i];
        if (element == PLUGIN_ELEMENT_INT8)
            x -= 128;
        else if (element == PLUGIN_ELEMENT_FLOAT32 && flags == PLUGIN_IMAGE_NORMALIZE)
            x = x / 255.0;
        else if (element == PLUGIN_ELEMENT_FLOAT32 && flags == PLUGIN_IMAGE_SIGNED_NORMALIZE)
            x = x / 127.5 - 1.0;
        else if (element == PLUGIN_ELEMENT_FLOAT32 && flags == PLUGIN_IMAGE_WHITENING)
            x = (x - mean) / deviation;
        // NCHW: pixel p, channel c goes to c * plane + p.
        const size_t plane = size_t(width) * size_t(height);
        const size_t at = layout == PLUGIN_LAYOUT_NHWC ? i : (i % 3) * plane + i / 3;
        v[at] = x;
    }
    return v;
}

std::vector<double> stored(const std::vector<uint8_t>& buffer, plugin_element element, size_t count)
{
    std::vector<double> v(count);
    for (size_t i = 0; i < count; ++i) {
        if (element == PLUGIN_ELEMENT_UINT8)
            v[i] = buffer[i];
        else if (element == PLUGIN_ELEMENT_INT8)
            v[i] = static_cast<int8_t>(buffer[i]);
        else {
            float f;
            memcpy(&f, buffer.data() + 4 * i, 4);
            v[i] = f;
        }
    }
    return v;
}

size_t element_bytes(plugin_element e)
{
    return e == PLUGIN_ELEMENT_FLOAT32 ? 4 : 1;
}

struct StoreCase {
    std::string label;
    Picture picture;
    int height, width;  // the input's; differing from the picture's: resized
    plugin_element element;
    uint32_t flags;
    plugin_layout layout;
    double tolerance;
};

std::vector<StoreCase> store_cases()
{
    const Picture png = pattern(Format::png);
    const Picture bmp = pattern(Format::bmp);
    const Picture jpeg = solid(Format::jpeg, 8, 8, 200, 100, 50);
    const Picture big = solid(Format::png, 8, 6, 10, 128, 240);
    const double f = 1e-5;
    return {
        {"png uint8 nhwc", png, 3, 4, PLUGIN_ELEMENT_UINT8, 0, PLUGIN_LAYOUT_NHWC, 0},
        {"png uint8 nchw", png, 3, 4, PLUGIN_ELEMENT_UINT8, 0, PLUGIN_LAYOUT_NCHW, 0},
        {"bmp uint8 nhwc", bmp, 3, 4, PLUGIN_ELEMENT_UINT8, 0, PLUGIN_LAYOUT_NHWC, 0},
        {"png int8 nhwc", png, 3, 4, PLUGIN_ELEMENT_INT8, 0, PLUGIN_LAYOUT_NHWC, 0},
        {"bmp int8 nchw", bmp, 3, 4, PLUGIN_ELEMENT_INT8, 0, PLUGIN_LAYOUT_NCHW, 0},
        {"png float plain", png, 3, 4, PLUGIN_ELEMENT_FLOAT32, 0, PLUGIN_LAYOUT_NHWC, 0},
        {"png float normalize", png, 3, 4, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_NORMALIZE, PLUGIN_LAYOUT_NHWC, f},
        {"png float signed normalize", png, 3, 4, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_SIGNED_NORMALIZE,
         PLUGIN_LAYOUT_NHWC, f},
        {"png float whitening", png, 3, 4, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_WHITENING, PLUGIN_LAYOUT_NHWC, f},
        {"bmp float whitening nchw", bmp, 3, 4, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_WHITENING, PLUGIN_LAYOUT_NCHW, f},
        {"bmp float normalize nchw", bmp, 3, 4, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_NORMALIZE, PLUGIN_LAYOUT_NCHW, f},
        // JPEG is lossy: a solid colour comes back within a few steps.
        {"jpeg uint8", jpeg, 8, 8, PLUGIN_ELEMENT_UINT8, 0, PLUGIN_LAYOUT_NHWC, 3},
        {"jpeg float normalize", jpeg, 8, 8, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_NORMALIZE, PLUGIN_LAYOUT_NCHW,
         3 / 255.0},
        // A solid picture stays solid when resized.
        {"resized uint8", big, 3, 4, PLUGIN_ELEMENT_UINT8, 0, PLUGIN_LAYOUT_NHWC, 1},
        {"resized up float nchw", big, 12, 16, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_SIGNED_NORMALIZE,
         PLUGIN_LAYOUT_NCHW, 1 / 127.5 + f},
        // A solid picture's whitening: variance 0 < 1/n, so (x - mean) * sqrt(n) = 0.
        {"resized whitening", big, 3, 4, PLUGIN_ELEMENT_FLOAT32, PLUGIN_IMAGE_WHITENING, PLUGIN_LAYOUT_NHWC, 0.2},
    };
}

class ImageStore : public ::testing::TestWithParam<StoreCase> {};

TEST_P(ImageStore, MatchesTheReference)
{
    const StoreCase& c = GetParam();
    const std::vector<uint8_t> file = encode(c.picture);
    ASSERT_FALSE(file.empty());
    const size_t count = size_t(c.height) * size_t(c.width) * 3;
    // Guard bytes after the input: never written.
    std::vector<uint8_t> buffer(count * element_bytes(c.element) + 16, 0xEE);
    plugin_image_target t{c.height, c.width, 3, c.element, c.layout, buffer.data(), count * element_bytes(c.element)};
    ASSERT_EQ(plugin_image_load(&t, file.data(), file.size(), c.flags), 0);
    // The reference of a resized solid picture: the same colour at the input's size.
    std::vector<uint8_t> rgb = c.picture.rgb;
    if (c.height != c.picture.height || c.width != c.picture.width) {
        rgb.clear();
        for (size_t i = 0; i < count / 3; ++i)
            rgb.insert(rgb.end(), c.picture.rgb.begin(), c.picture.rgb.begin() + 3);
    }
    const std::vector<double> want = reference(rgb, c.width, c.height, c.element, c.flags, c.layout);
    const std::vector<double> got = stored(buffer, c.element, count);
    for (size_t i = 0; i < count; ++i)
        ASSERT_NEAR(got[i], want[i], c.tolerance) << "element " << i;
    for (size_t i = count * element_bytes(c.element); i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " past the input";
}

INSTANTIATE_TEST_SUITE_P(Cases, ImageStore, ::testing::ValuesIn(store_cases()), case_name<StoreCase>);

// ---- refusals ------------------------------------------------------------------------

struct RefusalCase {
    std::string label;
    Format format;
    int channels;
    plugin_element element;
    uint32_t flags;
    int status;
};

class ImageRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ImageRefusal, StatusAndNothingWritten)
{
    const RefusalCase& c = GetParam();
    const std::vector<uint8_t> file = encode(solid(c.format, 4, 4, 1, 2, 3));
    std::vector<uint8_t> buffer(4 * 4 * 8 * 4, 0xEE);
    plugin_image_target t{4, 4, c.channels, c.element, PLUGIN_LAYOUT_NHWC, buffer.data(), buffer.size()};
    EXPECT_EQ(plugin_image_load(&t, file.data(), file.size(), c.flags), c.status);
    for (uint8_t b : buffer)
        ASSERT_EQ(b, 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Cases, ImageRefusal,
                         ::testing::Values(
                             RefusalCase{"5 channels png", Format::png, 5, PLUGIN_ELEMENT_UINT8, 0, 6},
                             RefusalCase{"5 channels bmp", Format::bmp, 5, PLUGIN_ELEMENT_FLOAT32, 1, 6},
                             RefusalCase{"0 channels", Format::png, 0, PLUGIN_ELEMENT_UINT8, 0, 6},
                             RefusalCase{"normalize on uint8", Format::png, 3, PLUGIN_ELEMENT_UINT8, 1, 5},
                             RefusalCase{"whitening on int8", Format::bmp, 3, PLUGIN_ELEMENT_INT8, 2, 5},
                             RefusalCase{"other element", Format::png, 3, PLUGIN_ELEMENT_OTHER, 0, 16}),
                         case_name<RefusalCase>);

TEST(ImageRefusals, BadArgumentsAndDestinations)
{
    const std::vector<uint8_t> file = encode(solid(Format::png, 4, 4, 1, 2, 3));
    std::vector<uint8_t> buffer(4 * 4 * 3 * 4 + 8, 0xEE);
    plugin_image_target t{4, 4, 3, PLUGIN_ELEMENT_FLOAT32, PLUGIN_LAYOUT_NHWC, buffer.data(), 4 * 4 * 3 * 4};
    EXPECT_EQ(plugin_image_load(nullptr, file.data(), file.size(), 0), 6);
    EXPECT_EQ(plugin_image_load(&t, nullptr, 10, 0), 6);
    EXPECT_EQ(plugin_image_load(&t, file.data(), size_t(INT_MAX) + 1, 0), 6);  // refused before reading
    plugin_image_target flat = t;
    flat.height = 0;
    EXPECT_EQ(plugin_image_load(&flat, file.data(), file.size(), 0), 6);
    const char not_a_picture[] = "this is no picture at all";
    EXPECT_EQ(plugin_image_load(&t, not_a_picture, sizeof not_a_picture, 0), 1);
    EXPECT_EQ(plugin_image_load(&t, file.data(), file.size() / 2, 0), 1);  // truncated
    plugin_image_target none = t;
    none.data = nullptr;
    EXPECT_EQ(plugin_image_load(&none, file.data(), file.size(), 0), 14);
    // One byte short of 4 x 4 x 3 floats: refused, nothing written.
    plugin_image_target small = t;
    small.capacity = 4 * 4 * 3 * 4 - 1;
    EXPECT_EQ(plugin_image_load(&small, file.data(), file.size(), 0), 14);
    // Bytes where floats would be needed: the capacity counts bytes.
    plugin_image_target bytes_only = t;
    bytes_only.capacity = 4 * 4 * 3;
    EXPECT_EQ(plugin_image_load(&bytes_only, file.data(), file.size(), PLUGIN_IMAGE_NORMALIZE), 14);
    for (uint8_t b : buffer)
        ASSERT_EQ(b, 0xEE);
    // The same destination at its full size takes it.
    EXPECT_EQ(plugin_image_load(&t, file.data(), file.size(), PLUGIN_IMAGE_NORMALIZE), 0);
    float first;
    memcpy(&first, buffer.data(), 4);
    EXPECT_NEAR(first, 1 / 255.0, 1e-6);
}

}  // namespace
