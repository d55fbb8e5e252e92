/* Picture decoding and resizing for the tensor loader (stb, compiled into
 * this library alone). */
#ifndef OVX_KFM_IMAGE_CODEC_H
#define OVX_KFM_IMAGE_CODEC_H

#include <stdint.h>

namespace ovx {

/* Decoded pixels, interleaved rows of `channels` components (0: the
 * picture's own count), or NULL; released with free_image. */
uint8_t* decode_image(const uint8_t* data, int length, int channels, int* width, int* height);
void free_image(uint8_t* pixels);
/* Resamples width x height pixels of `channels` components into out. */
bool resize_image(const uint8_t* pixels, int width, int height, uint8_t* out, int out_width,
                  int out_height, int channels);

} // namespace ovx

#endif
