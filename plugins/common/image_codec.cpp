/* Built without the undefined-behaviour sanitizer (the decoders shift signed
 * values on purpose). */
#include "image_codec.h"

#include <stdlib.h>
#include <string.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STBI_NO_STDIO
/* Pictures come from network clients: a header may not make the decoder
 * reserve more than 16384 x 16384 pixels. */
#define STBI_MAX_DIMENSIONS 16384

namespace {
/* Blocks start zeroed: what a truncated or corrupt file never fills comes
 * out as zeros, never as earlier heap contents. */
void* zeroed_block(size_t size)
{
    return calloc(1, size ? size : 1);
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
#if !defined(__clang__)
/* stb's static functions are inlined into the wrappers below, and so are
 * its reader's unset-but-unused fields: the warning would land there. */
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

namespace plugin {
namespace codec {

uint8_t* decode(const uint8_t* data, int length, int channels, int* width, int* height) noexcept
{
    int own_channels = 0;
    return stbi_load_from_memory(data, length, width, height, &own_channels, channels);
}

void free_pixels(uint8_t* pixels) noexcept
{
    stbi_image_free(pixels);
}

bool resize(const uint8_t* in, int in_width, int in_height, uint8_t* out, int out_width, int out_height,
            int channels) noexcept
{
    return stbir_resize_uint8(in, in_width, in_height, 0, out, out_width, out_height, 0, channels) != 0;
}

} // namespace codec
} // namespace plugin

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
