/* Image fixtures for the image and frame suites, made in memory by the tests
 * themselves, and an independent resize to compare against. */
#ifndef KESTRUNE_TEST_IMAGE_FIXTURES_H
#define KESTRUNE_TEST_IMAGE_FIXTURES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Encoded bytes of a w x h image of `channels` bytes per pixel; free() them. */
unsigned char* fixture_encode_png(const uint8_t* pixels, int w, int h, int channels, size_t* size);
unsigned char* fixture_encode_bmp(const uint8_t* pixels, int w, int h, int channels, size_t* size);
/* Baseline JPEG at quality 100 (no chroma subsampling). */
unsigned char* fixture_encode_jpg(const uint8_t* pixels, int w, int h, int channels, size_t* size);

/* stb_image_resize's stbir_resize_uint8 (the runtime's compilation of it). */
int fixture_resize_uint8(const uint8_t* in, int w, int h, uint8_t* out, int ow, int oh,
                         int channels);

#ifdef __cplusplus
}
#endif

#endif
