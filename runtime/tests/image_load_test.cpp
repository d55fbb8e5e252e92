// Encoded images into tensors, on fixtures the tests encode themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "image_fixtures.h"
#include "kestrune/nn.h"

namespace {

const float kUnsigned = 0.003921569f;
const float kSigned = 0.007843138f;

struct Encoded {
    unsigned char* data = nullptr;
    size_t size = 0;
    ~Encoded() { std::free(data); }
};

// 2x2 RGB: every byte distinct, 0 and 255 among them.
const std::vector<uint8_t> kRgb2x2 = {0, 10, 20, 255, 128, 64, 30, 200, 90, 1, 254, 77};

void encode_png(Encoded& e, const std::vector<uint8_t>& px, int w, int h, int c)
{
    e.data = fixture_encode_png(px.data(), w, h, c, &e.size);
    ASSERT_NE(e.data, nullptr);
}

// A tensor over caller memory filled with a sentinel, so "unchanged" is visible.
struct Tensor {
    nn_tensor* t;
    std::vector<uint8_t> memory;
    Tensor(nn_type type, std::vector<int32_t> shape, size_t element = 0)
    {
        t = nn_tensor_init(nullptr, nullptr);
        size_t volume = 1;
        for (int32_t d : shape)
            volume *= d > 0 ? size_t(d) : 0;
        if (!element)
            element = type == NN_TYPE_F32 ? 4 : type == NN_TYPE_F64 ? 8 : type == NN_TYPE_I16 ? 2 : 1;
        memory.assign(volume * element + 1, 0xA5);
        nn_tensor_assign(t, type, int(shape.size()), shape.data(), memory.data());
    }
    ~Tensor() { nn_tensor_release(t); }
    const float* f32() const { return reinterpret_cast<const float*>(memory.data()); }
    bool untouched() const
    {
        for (uint8_t b : memory)
            if (b != 0xA5)
                return false;
        return true;
    }
};

double whitened(const std::vector<float>& v, size_t i)
{
    double sum = 0, sq = 0;
    for (float x : v) {
        sum += x;
        sq += double(x) * x;
    }
    double n = double(v.size()), mean = sum / n, var = sq / n - mean * mean;
    double div = std::max(var > 0 ? std::sqrt(var) : 0.0, 1 / std::sqrt(n));
    return (v[i] - mean) / div;
}

TEST(ImageLoad, SmallPngIntoFloatWithEachProc)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    struct Case {
        uint32_t proc;
        float (*f)(float);
    } cases[] = {
        {0, [](float x) { return x; }},
        {NN_IMAGE_PROC_NORMALIZE, [](float x) { return x * kUnsigned; }},
        {NN_IMAGE_PROC_SIGNED_NORMALIZE, [](float x) { return x * kSigned - 1.0f; }},
        {NN_IMAGE_PROC_NORMALIZE | NN_IMAGE_PROC_SIGNED_NORMALIZE,
         [](float x) { return (x * kUnsigned) * kSigned - 1.0f; }},
    };
    for (const auto& c : cases) {
        Tensor t(NN_TYPE_F32, {1, 2, 2, 3});
        ASSERT_EQ(nn_tensor_load_image_ex(t.t, png.data, png.size, c.proc), 0) << c.proc;
        for (size_t i = 0; i < kRgb2x2.size(); ++i)
            EXPECT_FLOAT_EQ(t.f32()[i], c.f(kRgb2x2[i])) << "proc " << c.proc << " element " << i;
        EXPECT_EQ(nn_tensor_mapped(t.t), 0);
    }
    Tensor raw(NN_TYPE_F32, {1, 2, 2, 3});
    ASSERT_EQ(nn_tensor_load_image_ex(raw.t, png.data, png.size, NN_IMAGE_PROC_SIGNED_NORMALIZE), 0);
    EXPECT_FLOAT_EQ(raw.f32()[0], -1.0f);  // byte 0
    EXPECT_NEAR(raw.f32()[3], 1.0f, 1e-6);  // byte 255

    Tensor white(NN_TYPE_F32, {1, 2, 2, 3});
    ASSERT_EQ(nn_tensor_load_image_ex(white.t, png.data, png.size, NN_IMAGE_PROC_WHITENING), 0);
    std::vector<float> values(kRgb2x2.begin(), kRgb2x2.end());
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_NEAR(white.f32()[i], whitened(values, i), 1e-5) << i;
}

TEST(ImageLoad, ResizesToTheTensorAndEqualsStbResize)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    std::vector<uint8_t> want(4 * 4 * 3);
    ASSERT_TRUE(fixture_resize_uint8(kRgb2x2.data(), 2, 2, want.data(), 4, 4, 3));

    Tensor f(NN_TYPE_F32, {1, 4, 4, 3});
    ASSERT_EQ(nn_tensor_load_image(f.t, png.data, png.size), 0);
    Tensor u(NN_TYPE_U8, {1, 4, 4, 3});
    ASSERT_EQ(nn_tensor_load_image(u.t, png.data, png.size), 0);
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(f.f32()[i], float(want[i])) << i;
        EXPECT_EQ(u.memory[i], want[i]) << i;
    }
    EXPECT_EQ(u.memory[want.size()], 0xA5) << "wrote past the tensor";
}

TEST(ImageLoad, ChannelCountComesFromTheTensor)
{
    // A grey image into one channel, and the same grey image expanded to RGB.
    const std::vector<uint8_t> grey = {0, 90, 180, 255, 7, 64};
    Encoded png;
    encode_png(png, grey, 3, 2, 1);
    Tensor one(NN_TYPE_F32, {1, 2, 3, 1});
    ASSERT_EQ(nn_tensor_load_image(one.t, png.data, png.size), 0);
    Tensor three(NN_TYPE_F32, {1, 2, 3, 3});
    ASSERT_EQ(nn_tensor_load_image(three.t, png.data, png.size), 0);
    for (size_t i = 0; i < grey.size(); ++i) {
        EXPECT_EQ(one.f32()[i], float(grey[i]));
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(three.f32()[3 * i + c], float(grey[i]));
    }
}

TEST(ImageLoad, WhiteningOfAConstantImageGivesZeros)
{
    std::vector<uint8_t> flat(4 * 3 * 3, 150);
    Encoded png;
    encode_png(png, flat, 4, 3, 3);
    Tensor t(NN_TYPE_F32, {1, 3, 4, 3});
    ASSERT_EQ(nn_tensor_load_image_ex(t.t, png.data, png.size, NN_IMAGE_PROC_WHITENING), 0);
    for (size_t i = 0; i < flat.size(); ++i)
        EXPECT_EQ(t.f32()[i], 0.0f);
}

TEST(ImageLoad, ByteTensors)
{
    const std::vector<uint8_t> px = {200, 0, 255, 128};
    Encoded png;
    encode_png(png, px, 2, 2, 1);

    Tensor u(NN_TYPE_U8, {1, 2, 2, 1});
    ASSERT_EQ(nn_tensor_load_image(u.t, png.data, png.size), 0);
    EXPECT_EQ(std::vector<uint8_t>(u.memory.begin(), u.memory.begin() + 4), px);

    Tensor s(NN_TYPE_I8, {1, 2, 2, 1});
    ASSERT_EQ(nn_tensor_load_image(s.t, png.data, png.size), 0);
    const int8_t* v = reinterpret_cast<const int8_t*>(s.memory.data());
    EXPECT_EQ(v[0], 72);
    EXPECT_EQ(v[1], -128);
    EXPECT_EQ(v[2], 127);
    EXPECT_EQ(v[3], 0);

    // Normalisation is for FLOAT32 only: 5, nothing written.
    for (nn_type type : {NN_TYPE_U8, NN_TYPE_I8}) {
        Tensor q(type, {1, 2, 2, 1});
        EXPECT_EQ(nn_tensor_load_image_ex(q.t, png.data, png.size, NN_IMAGE_PROC_NORMALIZE), 5);
        EXPECT_TRUE(q.untouched());
    }
}

TEST(ImageLoad, FromAFile)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    char path[] = "/tmp/kestrune-image-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, png.data, png.size), ssize_t(png.size));
    close(fd);
    Tensor t(NN_TYPE_F32, {1, 2, 2, 3});
    EXPECT_EQ(nn_tensor_load_file_ex(t.t, path, NN_IMAGE_PROC_NORMALIZE), 0);
    for (size_t i = 0; i < kRgb2x2.size(); ++i)
        EXPECT_FLOAT_EQ(t.f32()[i], kRgb2x2[i] * kUnsigned);
    Tensor plain(NN_TYPE_U8, {1, 2, 2, 3});
    EXPECT_EQ(nn_tensor_load_file(plain.t, path), 0);
    EXPECT_EQ(plain.memory[3], 255);
    unlink(path);

    Tensor missing(NN_TYPE_F32, {1, 2, 2, 3});
    EXPECT_EQ(nn_tensor_load_file(missing.t, path), 1);
    EXPECT_TRUE(missing.untouched());
}

TEST(ImageLoad, BadArgumentsComeBeforeTheType)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    Tensor f64(NN_TYPE_F64, {1, 2, 2, 3});
    EXPECT_EQ(nn_tensor_load_image(nullptr, png.data, png.size), 6);
    EXPECT_EQ(nn_tensor_load_image(f64.t, nullptr, png.size), 6);
    EXPECT_EQ(nn_tensor_load_image(f64.t, png.data, size_t(0x80000000u)), 6);
    EXPECT_EQ(nn_tensor_load_file(nullptr, "x.png"), 6);
    EXPECT_EQ(nn_tensor_load_file(f64.t, nullptr), 6);
    EXPECT_EQ(nn_tensor_load_file_ex(nullptr, nullptr, 1), 6);
    EXPECT_TRUE(f64.untouched());
}

TEST(ImageLoad, UnsupportedTypesAndUndecodableBytesLeaveTheTensor)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    for (nn_type type : {NN_TYPE_F64, NN_TYPE_I16, NN_TYPE_F16, NN_TYPE_I32, NN_TYPE_RAW}) {
        Tensor t(type, {1, 2, 2, 3}, 8);
        EXPECT_EQ(nn_tensor_load_image(t.t, png.data, png.size), 16) << type;
        EXPECT_TRUE(t.untouched());
    }
    const unsigned char junk[] = "definitely not an image";
    for (nn_type type : {NN_TYPE_F32, NN_TYPE_U8, NN_TYPE_I8}) {
        Tensor t(type, {1, 2, 2, 3});
        EXPECT_EQ(nn_tensor_load_image(t.t, junk, sizeof junk), 1) << type;
        EXPECT_EQ(nn_tensor_load_image(t.t, png.data, 10), 1) << "truncated, type " << type;
        EXPECT_TRUE(t.untouched());
    }
    // Binary pixmaps of 16-bit samples, whole or cut short, grey or colour:
    // refused (the decoder's conversion of them writes past its buffer).
    for (const char* header : {"P5\n4 3\n1000\n", "P6\n4 3\n65535\n", "P5\n116\n 62515\n 6255\n"}) {
        for (size_t bytes : {size_t(5), size_t(72)}) {
            std::string ppm = std::string(header) + std::string(bytes, '\x01');
            for (nn_type type : {NN_TYPE_F32, NN_TYPE_U8}) {
                Tensor t(type, {1, 2, 2, 3});
                EXPECT_EQ(nn_tensor_load_image(t.t, ppm.data(), ppm.size()), 1) << header << " type " << type;
                EXPECT_TRUE(t.untouched());
            }
        }
    }
    // Pixmaps whose header gives no width or height: the decoder hands back
    // an empty picture, which is refused before any resize or copy.
    for (const char* header : {"P6\n,16 16\n255\n", "P6\n0 2\n255\n", "P6\n2 0\n255\n"}) {
        std::string ppm = std::string(header) + std::string(48, '\x80');
        for (nn_type type : {NN_TYPE_F32, NN_TYPE_U8, NN_TYPE_I8})
            for (std::vector<int32_t> shape : {std::vector<int32_t>{1, 2, 2, 3}, {1, 4, 4, 3}}) {
                Tensor t(type, shape);
                EXPECT_EQ(nn_tensor_load_image(t.t, ppm.data(), ppm.size()), 1) << header << " type " << type;
                EXPECT_TRUE(t.untouched());
            }
    }
}

// A picture may be 16384 pixels a side at the most: a header cannot make
// the decoder reserve more (the 2^26 pixels in all are shown by the
// allocation-failure suite, which sees the decoder's allocations).
TEST(ImageLoad, SidesUpTo16384)
{
    for (int w : {16384, 16385}) {
        Encoded png;
        encode_png(png, std::vector<uint8_t>((size_t)w * 3, 7), w, 1, 3);
        Tensor t(NN_TYPE_U8, {1, 1, 2, 3});
        EXPECT_EQ(nn_tensor_load_image(t.t, png.data, png.size), w == 16384 ? 0 : 1) << w;
    }
}

TEST(ImageLoad, ShapesThatAreNotOneImageOfOneToFourChannels)
{
    // BMP: stb_image asserts on a channel request outside 1-4 for it.
    Encoded bmp;
    bmp.data = fixture_encode_bmp(kRgb2x2.data(), 2, 2, 3, &bmp.size);
    ASSERT_NE(bmp.data, nullptr);
    const std::vector<std::vector<int32_t>> shapes = {
        {2, 2, 2, 3}, {1, 2, 2, 5}, {1, 2, 2, 0}, {1, 0, 2, 3}, {0, 2, 2, 3},
    };
    for (nn_type type : {NN_TYPE_F32, NN_TYPE_U8}) {
        for (const auto& shape : shapes) {
            Tensor t(type, shape);
            EXPECT_EQ(nn_tensor_load_image(t.t, bmp.data, bmp.size), 9)
                << shape[0] << "x" << shape[1] << "x" << shape[2] << "x" << shape[3];
            EXPECT_TRUE(t.untouched());
        }
    }
    Tensor four(NN_TYPE_U8, {1, 2, 2, 4});
    ASSERT_EQ(nn_tensor_load_image(four.t, bmp.data, bmp.size), 0);
    EXPECT_EQ(four.memory[3], 255);  // alpha added by the decoder
    EXPECT_EQ(four.memory[4], kRgb2x2[3]);
}

// A model decides the input tensor's shape: height x width x channels may be
// 2^24 values at the most, refused with 9 before any decode or resize (the
// resize's own size arithmetic overflows on a tensor of 2^28 rows).
TEST(ImageLoad, TensorOfMoreThan2To24ValuesGives9)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    const std::vector<std::vector<int32_t>> refused = {
        {1, 268435460, 1, 1}, {1, 1, 268435460, 1}, {1, 4097, 4096, 1}, {1, 4096, 4096, 2},
        {1, 2897, 2897, 2}, {1, 1, 16777217, 1},
    };
    for (nn_type type : {NN_TYPE_F32, NN_TYPE_U8, NN_TYPE_I8}) {
        for (const auto& shape : refused) {
            nn_tensor* t = nn_tensor_init(nullptr, nullptr);
            ASSERT_EQ(nn_tensor_assign(t, type, 4, shape.data(), nullptr), 0);
            EXPECT_EQ(nn_tensor_load_image(t, png.data, png.size), 9)
                << shape[1] << "x" << shape[2] << "x" << shape[3] << " type " << type;
            nn_tensor_release(t);
        }
    }
    // 4096 x 4096 x 1 is the largest picture tensor: filled by the resize.
    Tensor most(NN_TYPE_U8, {1, 4096, 4096, 1});
    ASSERT_EQ(nn_tensor_load_image(most.t, png.data, png.size), 0);
    EXPECT_EQ(most.memory[size_t(4096) * 4096], 0xA5) << "wrote past the tensor";
}

std::string write_temp(const std::string& content)
{
    char path[] = "/tmp/kestrune-image-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    close(fd);
    return path;
}

// A picture whose pixel data is shorter than its header promises is refused
// with 1 before it is decoded, from memory and from a file alike; the same
// header with all its bytes decodes to those bytes.
TEST(ImageLoad, PicturesShorterThanTheirHeaderAreRefused)
{
    // TGA: uncompressed true-colour 2x2, 24 bits, the 18-byte header.
    const std::string tga = std::string("\0\0\2\0\0\0\0\0\0\0\0\0\2\0\2\0\x18\0", 18);
    struct Case {
        std::string head;
        size_t needed;  // pixel bytes the header promises
        int channels;   // of the tensor
    } cases[] = {
        {"P6\n8 8\n255\n", 8 * 8 * 3, 3},
        {"P5\n8 8\n255\n", 8 * 8, 1},
        {"P6 # a comment\n#another\r8\t8\v255\f", 8 * 8 * 3, 3},
        {"P5\n3\n5 200\n", 3 * 5, 1},
        {tga, 2 * 2 * 3, 3},
    };
    for (const auto& c : cases) {
        for (size_t have : {size_t(0), size_t(3), c.needed - 1, c.needed}) {
            const std::string picture = c.head + std::string(have, '\x40');
            const int want = have == c.needed ? 0 : 1;
            const std::string path = write_temp(picture);
            for (bool from_file : {false, true}) {
                SCOPED_TRACE(c.head.substr(0, 2) + " with " + std::to_string(have) + " bytes" +
                             (from_file ? " from a file" : ""));
                Tensor t(NN_TYPE_U8, {1, 8, 8, c.channels});
                EXPECT_EQ(from_file ? nn_tensor_load_file(t.t, path.c_str())
                                    : nn_tensor_load_image(t.t, picture.data(), picture.size()),
                          want);
                if (want == 0) {
                    for (size_t i = 0; i + 1 < t.memory.size(); ++i)
                        ASSERT_EQ(t.memory[i], 0x40) << i;
                } else {
                    EXPECT_TRUE(t.untouched());
                }
            }
            unlink(path.c_str());
        }
    }
    // A PNG chunk that claims more bytes than the picture holds (the decoder
    // would reserve them first): refused.
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    std::string cut(reinterpret_cast<const char*>(png.data), png.size);
    const size_t idat = cut.find("IDAT") - 4;
    ASSERT_LT(idat, cut.size());
    cut.replace(idat, 4, std::string("\x7f\xff\xff\xf0", 4));
    Tensor t(NN_TYPE_U8, {1, 2, 2, 3});
    EXPECT_EQ(nn_tensor_load_image(t.t, cut.data(), cut.size()), 1);
    EXPECT_EQ(nn_tensor_load_image(t.t, png.data, png.size - 1), 1) << "without the end of IEND";
    EXPECT_TRUE(t.untouched());
}

// Runs f in a child process that may take at most `seconds`: its exit status,
// or minus the signal that ended it (SIGALRM: it ran out of time).
int bounded(const std::function<int()>& f, unsigned seconds)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        _exit(f());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string pic_header(int w, int h)
{
    std::string s("\x53\x80\xf6\x34\x40\0\0\0", 8);
    s += std::string(80, '\0') + "PICT";
    s += {char(w >> 8), char(w), char(h >> 8), char(h)};
    s += std::string("\x3f\x80\0\0\0\3\0\0", 8);
    return s;
}

// Radiance HDR and Softimage PIC pictures are refused (1) by their signature,
// whole or not: a truncated HDR made the decoder loop for ever and a corrupt
// PIC dereferenced NULL.  Each load runs in a child under a 20 s alarm.
TEST(ImageLoad, HdrAndPicAreRefused)
{
    const std::string hdr = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 8 +X 8\n";
    std::string whole_hdr = hdr;
    for (int row = 0; row < 8; ++row) {
        whole_hdr += std::string("\x02\x02\x00\x08", 4);
        for (int k = 0; k < 4; ++k)
            whole_hdr += {char(0x88), char(0x80)};  // a run of 8
    }
    std::string whole_pic = pic_header(8, 8) + std::string("\0\x08\0\xe0", 4);
    whole_pic += std::string(8 * 8 * 3, '\x40');
    const struct {
        const char* name;
        std::string picture;
    } cases[] = {
        {"HDR cut inside the first scanline (the decoder never ends)", hdr + std::string("\x02\x02\x00\x08", 4)},
        {"HDR cut after its header", hdr},
        {"whole HDR", whole_hdr},
        {"PIC of 112 bytes, its pixels cut short (NULL dereference)",
         pic_header(8, 8) + std::string("\0\x08\0\xe0", 4) + "\x40\x40\x40\x40"},
        {"PIC with a bad packet type", pic_header(2, 2) + std::string("\0\x08\x07\xe0", 4)},
        {"whole PIC", whole_pic},
    };
    EXPECT_EQ(cases[3].picture.size(), 112u);
    for (const auto& c : cases) {
        for (bool from_file : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (from_file ? " from a file" : ""));
            const std::string path = write_temp(c.picture);
            const int status = bounded([&] {
                Tensor t(NN_TYPE_F32, {1, 8, 8, 3});
                const int s = from_file ? nn_tensor_load_file(t.t, path.c_str())
                                        : nn_tensor_load_image(t.t, c.picture.data(), c.picture.size());
                // offset, so that a sanitizer's exit status stands apart
                return t.untouched() ? 10 + s : 100;
            }, 20);
            unlink(path.c_str());
            EXPECT_NE(status, -SIGALRM) << "the decode did not end";
            EXPECT_EQ(status, 11) << "status 10 + 1 expected; negative: killed by a signal";
        }
    }
}

// A JPEG whose only scan covers its first (luma) component: the decoder
// leaves the chroma planes as it reserved them, and those blocks start zeroed
// (earlier heap contents went into the colour conversion).  Chroma 0 against
// a luma of 200 gives green 255 and blue 0 (blue = Y + 1.772 (Cb - 128)).
TEST(ImageLoad, JpegComponentsNoScanCoversComeOutAsZeros)
{
    const std::vector<uint8_t> grey(8 * 8 * 3, 200);
    Encoded jpg;
    jpg.data = fixture_encode_jpg(grey.data(), 8, 8, 3, &jpg.size);
    ASSERT_NE(jpg.data, nullptr);
    std::string bytes(reinterpret_cast<const char*>(jpg.data), jpg.size);
    const size_t sos = bytes.find("\xff\xda");
    ASSERT_NE(sos, std::string::npos);
    ASSERT_EQ(bytes[sos + 4], 3) << "a scan of the three components";
    const size_t length = size_t(uint8_t(bytes[sos + 2])) << 8 | uint8_t(bytes[sos + 3]);
    const std::string luma_only = std::string("\xff\xda\x00\x08\x01", 5) + bytes.substr(sos + 5, 2) +
                                  std::string("\x00\x3f\x00", 3);
    bytes.replace(sos, 2 + length, luma_only);
    Tensor t(NN_TYPE_U8, {1, 8, 8, 3});
    ASSERT_EQ(nn_tensor_load_image(t.t, bytes.data(), bytes.size()), 0);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(t.memory[3 * i + 1], 255) << "green of pixel " << i;
        EXPECT_EQ(t.memory[3 * i + 2], 0) << "blue of pixel " << i;
    }
}

// A progressive grey JPEG of w x h pixels and `scans` DC scans without data:
// one quantisation table, a DC table of the one code '0' (difference 0).
std::string progressive_jpeg(int w, int h, int scans)
{
    auto segment = [](int marker, const std::string& body) {
        const size_t n = body.size() + 2;
        return std::string{char(0xff), char(marker), char(n >> 8), char(n)} + body;
    };
    std::string out("\xff\xd8", 2);
    out += segment(0xdb, std::string(1, '\0') + std::string(64, '\1'));
    out += segment(0xc2, std::string{8, char(h >> 8), char(h), char(w >> 8), char(w), 1, 1, 0x11, 0});
    out += segment(0xc4, std::string{0, 1} + std::string(15, '\0') + std::string(1, '\0'));
    for (int i = 0; i < scans; ++i)
        out += segment(0xda, std::string{1, 1, 0, 0, 0, 0}) + std::string(2, '\0');
    return out + "\xff\xd9";
}

// Every scan of a progressive JPEG passes over all its blocks, however few
// bytes it holds: more than 64 scans are refused (1) before decoding, and
// 64 KiB of empty scans over 4096 x 4096 pixels are refused at once (the
// decode ran for half a minute; the child has 20 s).
TEST(ImageLoad, JpegOfMoreThan64ScansIsRefused)
{
    for (int scans : {1, 64, 65}) {
        const std::string jpg = progressive_jpeg(64, 64, scans);
        Tensor t(NN_TYPE_U8, {1, 64, 64, 1});
        ASSERT_EQ(nn_tensor_load_image(t.t, jpg.data(), jpg.size()), scans <= 64 ? 0 : 1) << scans;
        if (scans <= 64) {
            for (size_t i = 0; i < 64 * 64; ++i)
                ASSERT_EQ(t.memory[i], 128) << "a block of zero coefficients, pixel " << i;
        } else {
            EXPECT_TRUE(t.untouched());
        }
    }
    const std::string many = progressive_jpeg(4096, 4096, 5400);
    ASSERT_LT(many.size(), 65536u);
    const std::string path = write_temp(many);
    for (bool from_file : {false, true}) {
        const int status = bounded([&] {
            Tensor t(NN_TYPE_U8, {1, 8, 8, 1});
            return 10 + (from_file ? nn_tensor_load_file(t.t, path.c_str())
                                   : nn_tensor_load_image(t.t, many.data(), many.size()));
        }, 20);
        EXPECT_EQ(status, 11) << (from_file ? "from a file" : "from memory") << "; -14: it ran out of time";
    }
    unlink(path.c_str());
}

TEST(ImageLoad, TensorWithoutMemoryGives14)
{
    Encoded png;
    encode_png(png, kRgb2x2, 2, 2, 3);
    for (nn_type type : {NN_TYPE_F32, NN_TYPE_U8}) {
        nn_tensor* t = nn_tensor_init(nullptr, nullptr);
        const int32_t shape[] = {1, 2, 2, 3};
        ASSERT_EQ(nn_tensor_assign(t, type, 4, shape, nullptr), 0);
        EXPECT_EQ(nn_tensor_load_image(t, png.data, png.size), 14);
        // and with a resize on the way
        const int32_t bigger[] = {1, 3, 3, 3};
        ASSERT_EQ(nn_tensor_assign(t, type, 4, bigger, nullptr), 0);
        EXPECT_EQ(nn_tensor_load_image(t, png.data, png.size), 14);
        nn_tensor_release(t);
    }
}

}  // namespace
