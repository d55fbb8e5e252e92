// Solid-colour test pictures, encoded with the framework suites' writer.
#ifndef BRINDLECAST_ARMNN_PICTURES_H
#define BRINDLECAST_ARMNN_PICTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "image_writer.h"

namespace armnn_test {

enum class Picture { png, bmp, jpeg };

// A w x h picture of one colour (3 channels) in the given format; empty
// when it could not be encoded.
inline std::string solid_picture(Picture format, int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < pixels.size(); i += 3) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
    }
    const image_writer::Format f = format == Picture::png   ? image_writer::Format::png
                                   : format == Picture::bmp ? image_writer::Format::bmp
                                                            : image_writer::Format::jpeg;
    const std::vector<uint8_t> file = image_writer::encode(f, w, h, 3, pixels.data());
    return std::string(file.begin(), file.end());
}

}  // namespace armnn_test

#endif
