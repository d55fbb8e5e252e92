/* Built without the undefined-behaviour sanitizer (the decoders shift signed
 * values on purpose). */
#include "image_codec.h"

#include "image/picture_check.h"

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
    if (!data || length < 1 || !kestrune::picture::acceptable(nullptr, data, static_cast<uint64_t>(length)))
        return nullptr;
    /* The header's size, within the picture limit, before anything is
     * reserved; the decoder's result is trusted only with that size. */
    int w = 0, h = 0, own_channels = 0;
    if (!stbi_info_from_memory(data, length, &w, &h, &own_channels) || w < 1 || h < 1 ||
        int64_t{w} * h > kestrune::picture::kMaxPixels)
        return nullptr;
    uint8_t* pixels = stbi_load_from_memory(data, length, width, height, &own_channels, channels);
    if (pixels && (*width != w || *height != h)) {
        stbi_image_free(pixels);
        return nullptr;
    }
    return pixels;
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
