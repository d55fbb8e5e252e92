/* The benchmark's own static compilation of stb_image, stb_image_resize and
 * stb_image_write: the reference decode-and-resize, and the PNG it decodes. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>

typedef struct sink {
    unsigned char* data;
    size_t size;
} sink;

static void append(void* context, void* data, int size)
{
    sink* s = context;
    unsigned char* grown = realloc(s->data, s->size + (size_t)size);
    if (!grown)
        abort();
    memcpy(grown + s->size, data, (size_t)size);
    s->data = grown;
    s->size += (size_t)size;
}

unsigned char* bench_encode_png(const unsigned char* rgb, int w, int h, size_t* size)
{
    sink s = {0};
    if (!stbi_write_png_to_func(append, &s, w, h, 3, rgb, w * 3)) {
        free(s.data);
        return NULL;
    }
    *size = s.size;
    return s.data;
}

/* Decode and resize only: what the image loader adds nothing to but the
 * conversion to floats. */
int bench_decode_resize(const unsigned char* png, size_t size, unsigned char* out, int ow, int oh)
{
    int w, h, c;
    unsigned char* px = stbi_load_from_memory(png, (int)size, &w, &h, &c, 3);
    if (!px)
        return 0;
    int ok = stbir_resize_uint8(px, w, h, 0, out, ow, oh, 0, 3);
    stbi_image_free(px);
    return ok;
}
