// Pictures for the picture-input suites, written with stb_image_write.
#pragma once

#include <cstdint>
#include <vector>

namespace image_writer {

enum class Format { png, bmp, jpeg };

// The file of a width x height picture of `channels` interleaved bytes per
// pixel (JPEG at quality 100); empty when stb refused.
std::vector<uint8_t> encode(Format format, int width, int height, int channels, const uint8_t* pixels);

}  // namespace image_writer
