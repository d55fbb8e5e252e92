/* This library's own compilation of stb_image and stb_image_resize, with
 * static linkage: nothing of it is visible outside this file, so it cannot
 * meet the runtime's copy in a program that links both.  Built without the
 * undefined-behaviour sanitizer (the decoders shift signed values on
 * purpose). */
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
/* Pictures come from network clients: a header may not make the decoder
 * reserve more than 16384 x 16384 pixels. */
#define STBI_MAX_DIMENSIONS 16384
#define STBI_NO_STDIO

#include <stdlib.h>
#include <string.h>

#include "image_codec.h"

namespace {
/* Blocks start zeroed: what a truncated picture never fills comes out as
 * zeros, never as earlier heap contents. */
void* zeroed_block(size_t size)
{
    void* block = malloc(size);
    if (block)
        memset(block, 0, size);
    return block;
}
} // namespace
#define STBI_MALLOC(size) zeroed_block(size)
#define STBI_REALLOC(block, size) realloc(block, size)
#define STBI_FREE(block) free(block)

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace ovx {

uint8_t* decode_image(const uint8_t* data, int length, int channels, int* width, int* height)
{
    int own = 0;
    return stbi_load_from_memory(data, length, width, height, &own, channels);
}

void free_image(uint8_t* pixels) { stbi_image_free(pixels); }

bool resize_image(const uint8_t* pixels, int width, int height, uint8_t* out, int out_width,
                  int out_height, int channels)
{
    return stbir_resize_uint8(pixels, width, height, 0, out, out_width, out_height, 0, channels) != 0;
}

} // namespace ovx
