/* Encoded images (files or bytes in memory) into tensors: decode with
 * stb_image, fit to the tensor's height and width with stb_image_resize,
 * convert to the tensor's type and normalise. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include "core/scoped.h"
#include "image/image_convert.h"
#include "image/picture_check.h"
#include "kestrune/nn.h"
#include "resource.h"

#define IMAGE_MAX_MEMORY_SIZE 0x7fffffffu

namespace {

/* A decoded picture holds at most kMaxPicturePixels pixels, and a tensor
 * filled from a picture at most as many values (height x width x channels),
 * so that neither the decoder nor the resize works on more than that. */
const int64_t kMaxPicturePixels = kestrune::picture::kMaxPixels;

struct image_source {
    const char* path;        /* a file, or */
    const stbi_uc* data;     /* bytes in memory */
    int size;
};

struct StbiFree {
    void operator()(stbi_uc* pixels) const noexcept { stbi_image_free(pixels); }
};
/* Pixels decoded by stb_image, given back with stbi_image_free. */
using Pixels = std::unique_ptr<stbi_uc, StbiFree>;

struct Decoded {
    Pixels pixels;
    int width = 0;
    int height = 0;
};

/* Whether stb_image may decode the picture (see picture_check.h). */
bool acceptable(const image_source* src)
{
    return kestrune::picture::acceptable(src->path, src->data, src->path ? 0 : (uint64_t)src->size);
}

/* The decoded pixels, none when the bytes are no picture or one refused
 * above.  The decoder's result is trusted only with the width and height its
 * header check gave, within the picture limit: a picture without width or
 * height (a pixmap header can say so) counts as none, there is nothing to
 * resize or copy from it. */
Decoded decode(const image_source* src, int channels)
{
    Decoded out;
    if (!acceptable(src))
        return out;
    int w = 0, h = 0, c = 0;
    const int known = src->path ? stbi_info(src->path, &w, &h, &c)
                                : stbi_info_from_memory(src->data, src->size, &w, &h, &c);
    if (!known || w < 1 || h < 1 || (int64_t)w * h > kMaxPicturePixels)
        return out;
    int own_channels;
    out.pixels.reset(src->path ? stbi_load(src->path, &out.width, &out.height, &own_channels, channels)
                               : stbi_load_from_memory(src->data, src->size, &out.width,
                                                       &out.height, &own_channels, channels));
    if (out.pixels && (out.width != w || out.height != h))
        out.pixels.reset();
    return out;
}

/* Tensor geometry the loaders accept: one image of 1-4 channels, of at most
 * kMaxPicturePixels values. */
int check_image_shape(const int32_t* shape)
{
    if (shape[0] != 1 || shape[1] < 1 || shape[2] < 1 || shape[3] < 1 || shape[3] > 4)
        return NN_ERROR_INVALID_SHAPE;
    const int64_t pixels = (int64_t)shape[1] * shape[2];
    if (pixels > kMaxPicturePixels || pixels * shape[3] > kMaxPicturePixels)
        return NN_ERROR_INVALID_SHAPE;
    return NN_SUCCESS;
}

int load_float(nn_tensor* t, Decoded image, int height, int width, int channels, uint32_t proc)
{
    /* The decoded pixels are used as they are when they already fit. */
    const size_t volume = (size_t)height * (size_t)width * (size_t)channels;
    platform::unique_malloc<uint8_t[]> resized;
    if (image.width != width || image.height != height) {
        resized = platform::malloc_array<uint8_t>(volume);
        if (!resized)
            return NN_ERROR_OUT_OF_MEMORY;
        const int ok = stbir_resize_uint8(image.pixels.get(), image.width, image.height, 0,
                                          resized.get(), width, height, 0, channels);
        image.pixels.reset();
        if (!ok)
            return NN_ERROR_INTERNAL;
    }

    kestrune::WriteMap out_map(t);
    float* out = out_map.as<float>();
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;
    nn_image_bytes_to_float(out, resized ? resized.get() : image.pixels.get(), volume);
    nn_image_apply_proc(out, volume, proc);
    return NN_SUCCESS;
}

int load_bytes(nn_tensor* t, const Decoded& image, int height, int width, int channels,
               bool to_signed)
{
    kestrune::WriteMap out_map(t);
    uint8_t* out = out_map.as<uint8_t>();
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;
    const size_t size = nn_tensor_size(t);
    if (image.width != width || image.height != height) {
        if (!stbir_resize_uint8(image.pixels.get(), image.width, image.height, 0, out, width,
                                height, 0, channels))
            return NN_ERROR_INTERNAL;
    } else {
        memcpy(out, image.pixels.get(), size);
    }
    if (to_signed)
        for (size_t i = 0; i < size; ++i)
            out[i] = (uint8_t)(out[i] - 128u); /* the byte of (int8)(value - 128) */
    return NN_SUCCESS;
}

int load_image(nn_tensor* t, const image_source* src, uint32_t proc)
{
    int type = nn_tensor_type(t);
    if (type != NN_TYPE_F32 && type != NN_TYPE_U8 && type != NN_TYPE_I8)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    if (type != NN_TYPE_F32 && proc != 0)
        return NN_ERROR_NOT_IMPLEMENTED;
    const int32_t* shape = nn_tensor_shape(t);
    int status = check_image_shape(shape);
    if (status != NN_SUCCESS)
        return status;
    const int height = shape[1], width = shape[2], channels = shape[3];
    Decoded image = decode(src, channels);
    if (!image.pixels)
        return NN_ERROR_INTERNAL;
    if (type == NN_TYPE_F32)
        return load_float(t, std::move(image), height, width, channels, proc);
    return load_bytes(t, image, height, width, channels, type == NN_TYPE_I8);
}

} // namespace

NN_API int nn_tensor_load_file_ex(nn_tensor* tensor, const char* path, uint32_t proc)
{
    if (!tensor || !path)
        return NN_ERROR_INVALID_PARAMETER;
    image_source src = {path, nullptr, 0};
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
    image_source src = {nullptr, static_cast<const stbi_uc*>(data), (int)size};
    return load_image(tensor, &src, proc);
}

NN_API int nn_tensor_load_image(nn_tensor* tensor, const void* data, size_t size)
{
    return nn_tensor_load_image_ex(tensor, data, size, 0);
}
