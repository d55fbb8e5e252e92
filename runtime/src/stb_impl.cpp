/* The one compilation of stb_image and stb_image_resize.  Built without the
 * undefined-behaviour sanitizer (the decoders shift signed values on purpose);
 * the library's hidden visibility keeps every stbi_ and stbir_ symbol out of
 * the exported interface. */
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
/* Pictures come from network clients: a header may not make the decoder
 * reserve more than 16384 x 16384 pixels. */
#define STBI_MAX_DIMENSIONS 16384

#include <stdlib.h>
#include <string.h>

namespace {
/* Every block the decoders take starts zeroed: parts of a picture that a
 * truncated or corrupt file never fills (a JPEG component that no scan
 * covers, for one) come out as zeros, never as earlier heap contents. */
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
