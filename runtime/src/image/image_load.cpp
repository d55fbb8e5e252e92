/* Encoded images (files or bytes in memory) into tensors: decode with
 * stb_image, fit to the tensor's height and width with stb_image_resize,
 * convert to the tensor's type and normalise. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include "image/image_convert.h"
#include "kestrune/nn.h"

#define IMAGE_MAX_MEMORY_SIZE 0x7fffffffu
#define IMAGE_MAX_PIXELS ((int64_t)1 << 24)

typedef struct image_source {
    const char* path;        /* a file, or */
    const stbi_uc* data;     /* bytes in memory */
    int size;
} image_source;

/* A binary pixmap (P5 or P6) of more than 8 bits per sample.  The stb_image
 * release the system ships converts these past the end of its own buffer,
 * so they are refused before it sees them. */
static int wide_pixmap(const image_source* src)
{
    unsigned char magic[2] = {0, 0};
    if (src->path) {
        FILE* f = fopen(src->path, "rb");
        if (!f)
            return 0;
        size_t n = fread(magic, 1, 2, f);
        fclose(f);
        if (n < 2)
            return 0;
    } else {
        if (src->size < 2)
            return 0;
        memcpy(magic, src->data, 2);
    }
    if (magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6'))
        return 0;
    return src->path ? stbi_is_16_bit(src->path) : stbi_is_16_bit_from_memory(src->data, src->size);
}

/* The decoded pixels, or NULL when the bytes are no picture.  A picture
 * without width or height (a pixmap header can say so) counts as none: there
 * is nothing to resize or copy from it. */
static stbi_uc* decode(const image_source* src, int channels, int* width, int* height)
{
    int own_channels;
    *width = *height = 0;
    if (wide_pixmap(src))
        return NULL;
    /* Pictures come from network clients: at most 2^24 pixels (4096 x 4096),
     * however few bytes describe them. */
    int w = 0, h = 0, c = 0;
    const int known = src->path ? stbi_info(src->path, &w, &h, &c)
                                : stbi_info_from_memory(src->data, src->size, &w, &h, &c);
    if (known && (int64_t)w * h > IMAGE_MAX_PIXELS)
        return NULL;
    stbi_uc* pixels = src->path
                          ? stbi_load(src->path, width, height, &own_channels, channels)
                          : stbi_load_from_memory(src->data, src->size, width, height,
                                                  &own_channels, channels);
    if (pixels && (*width < 1 || *height < 1)) {
        stbi_image_free(pixels);
        return NULL;
    }
    return pixels;
}

/* Tensor geometry the loaders accept: one image of 1-4 channels. */
static int check_image_shape(const int32_t* shape)
{
    if (shape[0] != 1 || shape[1] < 1 || shape[2] < 1 || shape[3] < 1 || shape[3] > 4)
        return NN_ERROR_INVALID_SHAPE;
    return NN_SUCCESS;
}

static int load_float(nn_tensor* t, const image_source* src, uint32_t proc)
{
    const int32_t* shape = nn_tensor_shape(t);
    int height = shape[1], width = shape[2], channels = shape[3];
    int w = 0, h = 0;
    stbi_uc* pixels = decode(src, channels, &w, &h);
    if (!pixels)
        return NN_ERROR_INTERNAL;

    /* The decoded pixels are used as they are when they already fit. */
    size_t volume = (size_t)height * (size_t)width * (size_t)channels;
    uint8_t* resized = NULL;
    if (w != width || h != height) {
        resized = static_cast<uint8_t*>(malloc(volume));
        if (!resized) {
            stbi_image_free(pixels);
            return NN_ERROR_OUT_OF_MEMORY;
        }
        int ok = stbir_resize_uint8(pixels, w, h, 0, resized, width, height, 0, channels);
        stbi_image_free(pixels);
        pixels = NULL;
        if (!ok) {
            free(resized);
            return NN_ERROR_INTERNAL;
        }
    }

    int status = NN_SUCCESS;
    float* out = static_cast<float*>(nn_tensor_mapwo(t));
    if (out) {
        nn_image_bytes_to_float(out, resized ? resized : pixels, volume);
        nn_image_apply_proc(out, volume, proc);
        nn_tensor_unmap(t);
    } else {
        status = NN_ERROR_TENSOR_NO_DATA;
    }
    free(resized);
    stbi_image_free(pixels);
    return status;
}

static int load_bytes(nn_tensor* t, const image_source* src, bool to_signed)
{
    const int32_t* shape = nn_tensor_shape(t);
    int height = shape[1], width = shape[2], channels = shape[3];
    int w = 0, h = 0;
    stbi_uc* pixels = decode(src, channels, &w, &h);
    if (!pixels)
        return NN_ERROR_INTERNAL;

    uint8_t* out = static_cast<uint8_t*>(nn_tensor_mapwo(t));
    if (!out) {
        stbi_image_free(pixels);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    int status = NN_SUCCESS;
    size_t size = nn_tensor_size(t);
    if (w != width || h != height) {
        if (!stbir_resize_uint8(pixels, w, h, 0, out, width, height, 0, channels))
            status = NN_ERROR_INTERNAL;
    } else {
        memcpy(out, pixels, size);
    }
    if (status == NN_SUCCESS && to_signed)
        for (size_t i = 0; i < size; ++i)
            out[i] = (uint8_t)(out[i] - 128u); /* the byte of (int8)(value - 128) */
    nn_tensor_unmap(t);
    stbi_image_free(pixels);
    return status;
}

static int load_image(nn_tensor* t, const image_source* src, uint32_t proc)
{
    int type = nn_tensor_type(t);
    if (type != NN_TYPE_F32 && type != NN_TYPE_U8 && type != NN_TYPE_I8)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    if (type != NN_TYPE_F32 && proc != 0)
        return NN_ERROR_NOT_IMPLEMENTED;
    int status = check_image_shape(nn_tensor_shape(t));
    if (status != NN_SUCCESS)
        return status;
    if (type == NN_TYPE_F32)
        return load_float(t, src, proc);
    return load_bytes(t, src, type == NN_TYPE_I8);
}

NN_API int nn_tensor_load_file_ex(nn_tensor* tensor, const char* path, uint32_t proc)
{
    if (!tensor || !path)
        return NN_ERROR_INVALID_PARAMETER;
    image_source src = {path, NULL, 0};
    return load_image(tensor, &src, proc);
}

NN_API int nn_tensor_load_file(nn_tensor* tensor, const char* path)
{
    return nn_tensor_load_file_ex(tensor, path, 0);
}

NN_API int nn_tensor_load_image_ex(nn_tensor* tensor, const void* data, size_t size, uint32_t proc)
{
    if (!tensor || !data || size > IMAGE_MAX_MEMORY_SIZE)
        return NN_ERROR_INVALID_PARAMETER;
    image_source src = {NULL, static_cast<const stbi_uc*>(data), (int)size};
    return load_image(tensor, &src, proc);
}

NN_API int nn_tensor_load_image(nn_tensor* tensor, const void* data, size_t size)
{
    return nn_tensor_load_image_ex(tensor, data, size, 0);
}
