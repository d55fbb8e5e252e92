// Test pictures written with stb_image_write (its JPEG writer shifts
// negative values, so this source goes without UBSan).
#include "armnn_pictures.h"

#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace armnn_test {

namespace {
void append(void* context, void* data, int size)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}
}  // namespace

std::string solid_picture(Picture format, int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < pixels.size(); i += 3) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
    }
    std::string out;
    int ok = 0;
    switch (format) {
    case Picture::png:
        ok = stbi_write_png_to_func(append, &out, w, h, 3, pixels.data(), w * 3);
        break;
    case Picture::bmp:
        ok = stbi_write_bmp_to_func(append, &out, w, h, 3, pixels.data());
        break;
    case Picture::jpeg:
        ok = stbi_write_jpg_to_func(append, &out, w, h, 3, pixels.data(), 100);
        break;
    }
    return ok ? out : std::string();
}

}  // namespace armnn_test
