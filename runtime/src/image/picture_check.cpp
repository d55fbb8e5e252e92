/* Checks made on a picture before stb_image decodes it: the decoders of the
 * stb_image that Debian 12 ships trust sizes and lengths written in the
 * picture, so a short or hostile one makes them read past their buffer,
 * reserve gigabytes or loop.  Shared by the runtime's image loader and by
 * every library that carries its own copy of stb_image. */
#include "image/picture_check.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "resource.h"

namespace kestrune {
namespace picture {

namespace {

/* The bytes of a picture, read front to back the way stb_image reads them
 * (0 past the end).  A file's size is its size when the check is made. */
class PictureBytes {
public:
    PictureBytes(const char* path, const unsigned char* data, uint64_t size) : path_(path), data_(data)
    {
        if (!path) {
            size_ = size;
            ok_ = true;
            return;
        }
        file_.reset(fopen(path, "rb"));
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
        if (!path_)
            return data_[pos_ - 1];
        const int c = getc(file_.get());
        return c == EOF ? 0 : c;
    }
    /* n bytes from offset at, false when the picture ends before them. */
    bool read_at(uint64_t at, unsigned char* out, size_t n)
    {
        if (at > size_ || n > size_ - at)
            return false;
        if (!path_) {
            memcpy(out, data_ + at, n);
        } else if (fseeko(file_.get(), (off_t)at, SEEK_SET) != 0 ||
                   fread(out, 1, n, file_.get()) != n) {
            return false;
        }
        pos_ = at + n;
        return true;
    }

private:
    const char* path_;
    const unsigned char* data_;
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

} // namespace

bool acceptable(const char* path, const unsigned char* data, uint64_t size) noexcept
{
    PictureBytes in(path, data, size);
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

} // namespace picture
} // namespace kestrune
