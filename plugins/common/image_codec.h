/* The framework's own compilation of stb_image and stb_image_resize, with
 * static linkage (a plug-in may also carry the runtime's copy): these
 * wrappers are the only way in. */
#ifndef BRINDLECAST_IMAGE_CODEC_H
#define BRINDLECAST_IMAGE_CODEC_H

#include <stdint.h>

namespace plugin {
namespace codec {

/* Pixels of the picture in `data` with `channels` components each (stb
 * converts), its size in *width and *height; NULL when it is not a picture
 * stb reads or is larger than 16384 pixels a side. */
uint8_t* decode(const uint8_t* data, int length, int channels, int* width, int* height) noexcept;
void free_pixels(uint8_t* pixels) noexcept;

/* stbir_resize_uint8 of tightly packed pixels; false when it failed. */
bool resize(const uint8_t* in, int in_width, int in_height, uint8_t* out, int out_width, int out_height,
            int channels) noexcept;

} // namespace codec
} // namespace plugin

#endif
