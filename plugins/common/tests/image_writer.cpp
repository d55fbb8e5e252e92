// Built without the undefined-behaviour sanitizer: the JPEG writer shifts
// negative values on purpose.
#include "image_writer.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace image_writer {
namespace {

void append(void* context, void* data, int size)
{
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::vector<uint8_t> encode(Format format, int width, int height, int channels, const uint8_t* pixels)
{
    std::vector<uint8_t> file;
    int ok = 0;
    switch (format) {
    case Format::png:
        ok = stbi_write_png_to_func(append, &file, width, height, channels, pixels, width * channels);
        break;
    case Format::bmp:
        ok = stbi_write_bmp_to_func(append, &file, width, height, channels, pixels);
        break;
    case Format::jpeg:
        ok = stbi_write_jpg_to_func(append, &file, width, height, channels, pixels, 100);
        break;
    }
    if (!ok)
        file.clear();
    return file;
}

}  // namespace image_writer
