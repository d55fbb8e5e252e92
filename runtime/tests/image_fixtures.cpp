/* The test-side compilation of stb_image_write (static, the runtime has none);
 * stb_image_resize is the runtime's own compilation. */
#include "image_fixtures.h"

#include <stdlib.h>
#include <string.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#include <stb/stb_image_write.h>
#include <stb/stb_image_resize.h>
#pragma GCC diagnostic pop

typedef struct sink {
    unsigned char* data;
    size_t size;
    int failed;
} sink;

static void append(void* context, void* data, int size)
{
    sink* s = static_cast<sink*>(context);
    unsigned char* grown = static_cast<unsigned char*>(realloc(s->data, s->size + (size_t)size));
    if (!grown) {
        s->failed = 1;
        return;
    }
    memcpy(grown + s->size, data, (size_t)size);
    s->data = grown;
    s->size += (size_t)size;
}

static unsigned char* finish(sink* s, int ok, size_t* size)
{
    if (!ok || s->failed) {
        free(s->data);
        return NULL;
    }
    *size = s->size;
    return s->data;
}

unsigned char* fixture_encode_png(const uint8_t* pixels, int w, int h, int channels, size_t* size)
{
    sink s = {};
    int ok = stbi_write_png_to_func(append, &s, w, h, channels, pixels, w * channels);
    return finish(&s, ok, size);
}

unsigned char* fixture_encode_bmp(const uint8_t* pixels, int w, int h, int channels, size_t* size)
{
    sink s = {};
    int ok = stbi_write_bmp_to_func(append, &s, w, h, channels, pixels);
    return finish(&s, ok, size);
}

unsigned char* fixture_encode_jpg(const uint8_t* pixels, int w, int h, int channels, size_t* size)
{
    sink s = {};
    int ok = stbi_write_jpg_to_func(append, &s, w, h, channels, pixels, 100);
    return finish(&s, ok, size);
}

int fixture_resize_uint8(const uint8_t* in, int w, int h, uint8_t* out, int ow, int oh,
                         int channels)
{
    return stbir_resize_uint8(in, w, h, 0, out, ow, oh, 0, channels);
}
