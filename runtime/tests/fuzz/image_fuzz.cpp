/* libFuzzer target: an encoded picture from an untrusted source, decoded into
 * a tensor by nn_tensor_load_image_ex (from memory) or nn_tensor_load_file_ex
 * (from a file).  No picture may crash, stall or hand the tensor bytes that
 * the picture did not decide.
 *
 * Byte 0 chooses the tensor, the rest is the picture:
 *   bits 0-1  channels - 1
 *   bits 2-3  0 FLOAT32, 1 UINT8, 2 INT8, 3 FLOAT32 normalised and whitened
 *   bit  4    from a file instead of memory
 *   bits 5-6  height x width: 8x8, 1x1, 3x5, 16x16
 *
 * Each picture is decoded twice, once with every heap block the decode takes
 * filled with 0x00 and once with 0xff: a result that differs between the two
 * carries uninitialised heap bytes into the tensor.
 *
 * Built with -DKESTRUNE_IMAGE_SEEDS instead, the file is the seed writer of
 * scripts/fuzz.sh: `image_seeds DIR` writes a small picture of every format
 * the loader is offered (JPEG, PNG, BMP, GIF, PSD, TGA, HDR, PIC, PNM). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kestrune/nn.h"

#ifndef KESTRUNE_IMAGE_SEEDS

#if defined(__has_include)
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#define IMAGE_FUZZ_HOOKS 1
#endif
#endif

namespace {

/* The byte new heap blocks are filled with, or -1 for none.  The decoders
 * take their blocks from malloc and realloc only (a calloc block is never
 * filled: the hook runs before calloc's zeroing of small blocks only). */
volatile int fill_byte = -1;

#ifdef IMAGE_FUZZ_HOOKS
void on_malloc(const volatile void* ptr, size_t size)
{
    const int fill = fill_byte;
    if (fill >= 0 && ptr && size <= ((size_t)256 << 20))
        memset(const_cast<void*>(ptr), fill, size);
}
void on_free(const volatile void*) {}
#endif

char file_path[64];

/* The picture as a file, removed again after each input (a run that ends
 * in a crash leaves none behind but the one it crashed on). */
bool write_file(const uint8_t* data, size_t size)
{
    if (!file_path[0])
        snprintf(file_path, sizeof file_path, "/tmp/kestrune-image-fuzz-%ld", (long)getpid());
    FILE* f = fopen(file_path, "wb");
    if (!f)
        return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

struct Choice {
    nn_type type;
    uint32_t proc;
    int32_t shape[4];
    bool from_file;
};

Choice choose(uint8_t b)
{
    static const int32_t sides[4][2] = {{8, 8}, {1, 1}, {3, 5}, {16, 16}};
    Choice c;
    const int kind = (b >> 2) & 3;
    c.type = kind == 1 ? NN_TYPE_U8 : kind == 2 ? NN_TYPE_I8 : NN_TYPE_F32;
    c.proc = kind == 3 ? NN_IMAGE_PROC_NORMALIZE | NN_IMAGE_PROC_WHITENING : 0;
    c.shape[0] = 1;
    c.shape[1] = sides[(b >> 5) & 3][0];
    c.shape[2] = sides[(b >> 5) & 3][1];
    c.shape[3] = (b & 3) + 1;
    c.from_file = (b >> 4) & 1;
    return c;
}

/* One load into `out` (of `bytes` bytes) with heap blocks filled by `fill`. */
int load(const Choice& c, const uint8_t* picture, size_t size, uint8_t* out, size_t bytes, int fill)
{
    memset(out, 0xA5, bytes);
    nn_tensor* t = nn_tensor_init(nullptr, nullptr);
    if (!t)
        return -1;
    if (nn_tensor_assign(t, c.type, 4, c.shape, out) != 0) {
        nn_tensor_release(t);
        return -1;
    }
    fill_byte = fill;
    const int status = c.from_file ? nn_tensor_load_file_ex(t, file_path, c.proc)
                                   : nn_tensor_load_image_ex(t, picture, size, c.proc);
    fill_byte = -1;
    nn_tensor_release(t);
    return status;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
#ifdef IMAGE_FUZZ_HOOKS
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const Choice c = choose(data[0]);
    /* An exact-size copy of the picture: reads past its end are caught. */
    const size_t picture_size = size - 1;
    uint8_t* picture = static_cast<uint8_t*>(malloc(picture_size ? picture_size : 1));
    if (!picture)
        return 0;
    memcpy(picture, data + 1, picture_size);
    if (c.from_file && !write_file(picture, picture_size)) {
        free(picture);
        return 0;
    }
    const size_t element = c.type == NN_TYPE_F32 ? 4 : 1;
    const size_t bytes = (size_t)c.shape[1] * c.shape[2] * c.shape[3] * element;
    uint8_t* zeros = static_cast<uint8_t*>(malloc(bytes));
    uint8_t* ones = static_cast<uint8_t*>(malloc(bytes));
    if (zeros && ones) {
        const int first = load(c, picture, picture_size, zeros, bytes, 0x00);
        const int second = load(c, picture, picture_size, ones, bytes, 0xff);
        if (first != second) {
            fprintf(stderr, "the same picture gave status %d, then %d\n", first, second);
            abort();
        }
        if (first == 0 && memcmp(zeros, ones, bytes) != 0) {
            fprintf(stderr, "uninitialised heap bytes reached the tensor\n");
            abort();
        }
    }
    if (c.from_file)
        unlink(file_path);
    free(ones);
    free(zeros);
    free(picture);
    return 0;
}

#else /* KESTRUNE_IMAGE_SEEDS */

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace {

const char* seed_dir;
int written;

void put(const char* name, uint8_t selector, const void* data, size_t size)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", seed_dir, name);
    FILE* f = fopen(path, "wb");
    if (!f) {
        perror(path);
        exit(1);
    }
    fputc(selector, f);
    fwrite(data, 1, size, f);
    fclose(f);
    ++written;
}

struct Buffer {
    uint8_t bytes[65536];
    size_t size;
    void add(const void* p, size_t n)
    {
        memcpy(bytes + size, p, n);
        size += n;
    }
    void byte(int b) { bytes[size++] = (uint8_t)b; }
    void be16(int v) { byte(v >> 8), byte(v); }
    void be32(uint32_t v) { be16((int)(v >> 16)), be16((int)(v & 0xffff)); }
    void text(const char* s) { add(s, strlen(s)); }
};

Buffer out;

void sink(void*, void* data, int size) { out.add(data, (size_t)size); }

/* A w x h picture of c channels with a gradient in it. */
void pattern(uint8_t* px, int w, int h, int c)
{
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < c; ++k)
                px[(y * w + x) * c + k] = (uint8_t)(x * 37 + y * 11 + k * 80);
}

void stb_written(const char* name, uint8_t selector, int ok)
{
    if (!ok) {
        fprintf(stderr, "could not encode %s\n", name);
        exit(1);
    }
    put(name, selector, out.bytes, out.size);
    out.size = 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    seed_dir = argv[1];
    uint8_t px[16 * 16 * 4];
    float hdr[16 * 16 * 3];

    pattern(px, 8, 8, 3);
    stb_written("png-rgb", 0x02, stbi_write_png_to_func(sink, nullptr, 8, 8, 3, px, 8 * 3));
    stb_written("png-rgb-resized", 0x66, stbi_write_png_to_func(sink, nullptr, 8, 8, 3, px, 8 * 3));
    stb_written("jpeg-rgb", 0x06, stbi_write_jpg_to_func(sink, nullptr, 8, 8, 3, px, 90));
    stb_written("bmp-rgb", 0x1a, stbi_write_bmp_to_func(sink, nullptr, 8, 8, 3, px));
    stb_written("tga-rgb", 0x02, stbi_write_tga_to_func(sink, nullptr, 8, 8, 3, px));
    stbi_write_tga_with_rle = 0;
    stb_written("tga-raw", 0x06, stbi_write_tga_to_func(sink, nullptr, 8, 8, 3, px));
    pattern(px, 16, 16, 4);
    stb_written("png-rgba", 0x63, stbi_write_png_to_func(sink, nullptr, 16, 16, 4, px, 16 * 4));
    stb_written("jpeg-grey", 0x20, stbi_write_jpg_to_func(sink, nullptr, 16, 16, 1, px, 50));
    for (int i = 0; i < 16 * 16 * 3; ++i)
        hdr[i] = (float)(i % 97) / 13.0f;
    stb_written("hdr-rle", 0x62, stbi_write_hdr_to_func(sink, nullptr, 16, 16, 3, hdr));
    stb_written("hdr-flat", 0x02, stbi_write_hdr_to_func(sink, nullptr, 4, 2, 3, hdr));

    /* Binary pixmaps, grey and colour, one with a comment in its header. */
    pattern(px, 8, 8, 3);
    out.text("P6\n# seed\n8 8\n255\n");
    out.add(px, 8 * 8 * 3);
    put("pnm-p6", 0x02, out.bytes, out.size);
    out.size = 0;
    out.text("P5 3 5 255 ");
    out.add(px, 3 * 5);
    put("pnm-p5", 0x40, out.bytes, out.size);
    out.size = 0;

    /* GIF: 1x1, a two-colour table, one image. */
    static const uint8_t gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 255, 255,
                                  255, 0, 0, 0, 0x2c, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44,
                                  0x01, 0, 0x3b};
    put("gif", 0x02, gif, sizeof gif);

    /* PSD: 4x4 RGB, eight bits, raw planes. */
    out.text("8BPS");
    out.be16(1);
    out.add("\0\0\0\0\0\0", 6);
    out.be16(3);
    out.be32(4);
    out.be32(4);
    out.be16(8);
    out.be16(3);
    out.be32(0), out.be32(0), out.be32(0);
    out.be16(0);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 16; ++i)
            out.byte(i * 16 + k * 60);
    put("psd", 0x02, out.bytes, out.size);
    out.size = 0;

    /* Softimage PIC: 4x3, one packet of uncompressed RGB and one of
     * mixed-RLE alpha. */
    out.be32(0x5380f634);
    out.be32(0x40000000);
    for (int i = 0; i < 80; ++i)
        out.byte(0);
    out.text("PICT");
    out.be16(4), out.be16(3);
    out.be32(0x3f800000), out.be16(3), out.be16(0);
    out.add("\x01\x08\x00\xe0", 4);
    out.add("\x00\x08\x02\x10", 4);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 12; ++x)
            out.byte(x * 20 + y);
        out.byte(0x83), out.byte(200); /* four alike */
    }
    put("pic", 0x03, out.bytes, out.size);
    out.size = 0;

    fprintf(stderr, "%d seeds\n", written);
    return 0;
}

#endif
