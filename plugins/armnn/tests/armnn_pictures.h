// Solid-colour test pictures, encoded in memory with stb_image_write.
#ifndef BRINDLECAST_ARMNN_PICTURES_H
#define BRINDLECAST_ARMNN_PICTURES_H

#include <cstdint>
#include <string>

namespace armnn_test {

enum class Picture { png, bmp, jpeg };

// A w x h picture of one colour (3 channels) in the given format; empty
// when it could not be encoded.
std::string solid_picture(Picture format, int w, int h, uint8_t r, uint8_t g, uint8_t b);

}  // namespace armnn_test

#endif
