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
#include "kestrune/nn.h"
#include "resource.h"

#define IMAGE_MAX_MEMORY_SIZE 0x7fffffffu

namespace {

/* Pictures come from network clients and tensor shapes from model files:
 * a decoded picture holds at most 2^24 pixels (4096 x 4096), however few
 * bytes describe it, and a tensor filled from a picture at most 2^24 values
 * (height x width x channels), so that neither the decoder nor the resize
 * works on more than that. */
const int64_t kMaxPicturePixels = (int64_t)1 << 24;

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

/* The bytes of a picture, read front to back the way stb_image reads them
 * (0 past the end).  A file's size is its size when the check is made. */
class PictureBytes {
public:
    explicit PictureBytes(const image_source* src) : src_(src)
    {
        if (!src->path) {
            size_ = (uint64_t)src->size;
            ok_ = true;
            return;
        }
        file_.reset(fopen(src->path, "rb"));
        struct stat st;
        /* Only a regular file has a size to check the picture against. */
        if (file_ && fstat(fileno(file_.get()), &st) == 0 && S_ISREG(st.st_mode)) {
            size_ = (uint64_t)st.st_size;
            ok_ = true;
        }
    }
    bool ok() const { return ok_; }
    uint64_t size() const { return size_; }
    uint64_t pos() const { return pos_; }
    bool at_end() const { return pos_ >= size_; }
    int get8()
    {
        if (pos_ >= size_)
            return 0;
        ++pos_;
        if (!src_->path)
            return src_->data[pos_ - 1];
        const int c = getc(file_.get());
        return c == EOF ? 0 : c;
    }
    /* n bytes from offset at, false when the picture ends before them. */
    bool read_at(uint64_t at, unsigned char* out, size_t n)
    {
        if (at > size_ || n > size_ - at)
            return false;
        if (!src_->path) {
            memcpy(out, src_->data + at, n);
        } else if (fseeko(file_.get(), (off_t)at, SEEK_SET) != 0 ||
                   fread(out, 1, n, file_.get()) != n) {
            return false;
        }
        pos_ = at + n;
        return true;
    }

private:
    const image_source* src_;
    platform::UniqueFile file_;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
    bool ok_ = false;
};

uint32_t be32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

bool pnm_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* A header number, saturating above 65535 (no side or sample is larger). */
int64_t pnm_number(PictureBytes& in, int* c)
{
    int64_t value = 0;
    while (!in.at_end() && *c >= '0' && *c <= '9') {
        value = value * 10 + (*c - '0');
        if (value > 65536)
            value = 65536;
        *c = in.get8();
    }
    return value;
}

void pnm_skip(PictureBytes& in, int* c)
{
    for (;;) {
        while (!in.at_end() && pnm_space(*c))
            *c = in.get8();
        if (in.at_end() || *c != '#')
            return;
        while (!in.at_end() && *c != '\n' && *c != '\r')
            *c = in.get8();
    }
}

/* A binary pixmap (P5 grey, P6 colour), its header read as stb_image reads
 * it: magic, whitespace and '#' comments, width, height, maxval, then one
 * byte (whitespace) before the samples.  Refused: samples of more than 8 bits
 * (the stb_image that Debian 12 ships converts them past the end of its
 * buffer), no width or height, and fewer sample bytes than the header
 * promises (its loader ignores the short read and hands back the rest of
 * its buffer as it was). */
bool pixmap_acceptable(PictureBytes& in, bool colour)
{
    in.get8(), in.get8();
    int c = in.get8();
    pnm_skip(in, &c);
    const int64_t width = pnm_number(in, &c);
    pnm_skip(in, &c);
    const int64_t height = pnm_number(in, &c);
    pnm_skip(in, &c);
    const int64_t maxval = pnm_number(in, &c);
    if (maxval > 255 || width < 1 || height < 1 || width > 16384 || height > 16384)
        return false;
    const uint64_t samples = (uint64_t)width * (uint64_t)height * (colour ? 3u : 1u);
    return in.size() - in.pos() >= samples;
}

/* A PNG's chunks, each of which has to fit in the picture: the decoder takes
 * a chunk's length from its header and reserves that much (up to 2 GiB)
 * before it reads the chunk. */
bool png_acceptable(PictureBytes& in)
{
    uint64_t at = 8;
    for (;;) {
        unsigned char head[8];
        if (!in.read_at(at, head, sizeof head))
            return false;
        const uint64_t length = be32(head);
        if (length > in.size() || in.size() - at < 12 + length)
            return false;
        if (memcmp(head + 4, "IEND", 4) == 0)
            return true;
        at += 12 + length;
    }
}

/* An uncompressed true-colour or grey TGA (the decoder reads its pixels with
 * one block read whose short read it ignores): its pixels have to be there. */
bool tga_acceptable(PictureBytes& in, const unsigned char* head)
{
    if (head[1] != 0 || (head[2] != 2 && head[2] != 3))
        return true;
    const uint64_t width = head[12] | (unsigned)head[13] << 8;
    const uint64_t height = head[14] | (unsigned)head[15] << 8;
    const int bits = head[16];
    const uint64_t pixel = bits == 15 || bits == 16 ? 2 : (uint64_t)bits / 8;
    return in.size() >= 18 + head[0] + width * height * pixel;
}

/* A JPEG of at most kMaxJpegScans scans.  Each scan of a progressive JPEG
 * is a pass over every block of the picture, however few bytes the scan
 * holds: 64 KiB of empty scans over 4096 x 4096 pixels kept the decoder busy
 * for half a minute.  Every scan the decoder reads starts at a marker 0xff
 * 0xda, so the pairs counted bound the scans (ordinary progressive JPEGs
 * have about ten). */
const int kMaxJpegScans = 64;

bool jpeg_acceptable(PictureBytes& in)
{
    int scans = 0;
    int previous = 0;
    unsigned char chunk[4096];
    for (uint64_t at = 0; at < in.size(); at += sizeof chunk) {
        const size_t n = in.size() - at < sizeof chunk ? (size_t)(in.size() - at) : sizeof chunk;
        if (!in.read_at(at, chunk, n))
            return false;
        for (size_t i = 0; i < n; ++i) {
            if (previous == 0xff && chunk[i] == 0xda && ++scans > kMaxJpegScans)
                return false;
            previous = chunk[i];
        }
    }
    return true;
}

/* Whether the picture may be handed to stb_image.  Formats are told apart by
 * their signatures, as stb_image picks its decoder:
 *   - Radiance HDR ("#?") and Softimage PIC (0x53 0x80 0xf6 0x34) are
 *     refused: on a truncated picture the HDR decoder's run-length loop never
 *     ends (and its flat pixels come from stack bytes it never wrote), and a
 *     failed PIC decode is converted from a NULL buffer.
 *   - binary pixmaps, PNG and uncompressed TGA are checked against their
 *     size first, JPEG for the number of its scans (above);
 *   - BMP, GIF and PSD go to the decoder as they are. */
bool acceptable(const image_source* src)
{
    PictureBytes in(src);
    if (!in.ok())
        return false;
    unsigned char head[18] = {};
    const size_t known = in.size() < sizeof head ? (size_t)in.size() : sizeof head;
    if (!in.read_at(0, head, known))
        return false;
    if (known >= 2 && head[0] == '#' && head[1] == '?')
        return false;
    if (known >= 4 && be32(head) == 0x5380f634u)
        return false;
    if (known >= 2 && head[0] == 'P' && (head[1] == '5' || head[1] == '6')) {
        in.read_at(0, head, 0);
        return pixmap_acceptable(in, head[1] == '6');
    }
    if (known >= 8 && memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0)
        return png_acceptable(in);
    if (head[0] == 0xff) {
        size_t i = 1;
        while (i < known && head[i] == 0xff)
            ++i;
        if (i < known && head[i] == 0xd8)
            return jpeg_acceptable(in);
    }
    if (known == sizeof head)
        return tga_acceptable(in, head);
    return true;
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
