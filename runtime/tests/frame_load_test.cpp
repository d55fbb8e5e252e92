// Camera frames through the G2D stand-in (found as libg2d.so on the library
// path).  Every case runs in a process of its own, so each starts with the
// G2D library not yet loaded.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "g2d_stub.h"
#include "kestrune/nn.h"

namespace {

uint32_t fourcc(const char* s)
{
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

// The stand-in's controls and allocator, reached the way the runtime reaches it.
struct Stub {
    void* lib = dlopen("libg2d.so", RTLD_NOW);
    template <class F> F sym(const char* name) { return reinterpret_cast<F>(dlsym(lib, name)); }
    g2d_alloc_fn alloc = sym<g2d_alloc_fn>("g2d_alloc");
    g2d_free_fn free = sym<g2d_free_fn>("g2d_free");
    g2d_stub_fail_next_fn fail_next = sym<g2d_stub_fail_next_fn>("g2d_stub_fail_next");
    g2d_stub_calls_fn calls = sym<g2d_stub_calls_fn>("g2d_stub_calls");
    g2d_stub_last_surfaces_fn last = sym<g2d_stub_last_surfaces_fn>("g2d_stub_last_surfaces");
    g2d_stub_live_buffers_fn live = sym<g2d_stub_live_buffers_fn>("g2d_stub_live_buffers");
    g2d_stub_last_cache_op_fn last_cache_op = sym<g2d_stub_last_cache_op_fn>("g2d_stub_last_cache_op");
    ~Stub() { dlclose(lib); }
};

Stub& stub()
{
    static Stub s;
    return s;
}

// A frame in stand-in memory with luma y_of(x, y) and constant chroma (grey
// with the neutral 128).
struct Frame {
    g2d_buf* buf = nullptr;
    int w, h;
    Frame(const char* fmt, int w_, int h_, int (*y_of)(int, int), uint8_t u = 128, uint8_t v = 128)
        : w(w_), h(h_)
    {
        std::string f(fmt);
        bool packed = f == "YUYV" || f == "YVYU" || f == "UYVY" || f == "VYUY";
        bool full_chroma_rows = f == "NV16" || f == "NV61";
        int luma = w * h, chroma = full_chroma_rows ? luma : luma / 2;
        int size = packed ? w * h * 2 : luma + chroma;
        buf = stub().alloc(size, 1);
        uint8_t* p = static_cast<uint8_t*>(buf->buf_vaddr);
        if (packed) {
            // Byte order of each two-pixel group, 'Y' for luma.
            const char* order = f == "YUYV" ? "YUYV" : f == "YVYU" ? "YVYU" : f == "UYVY" ? "UYVY" : "VYUY";
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; x += 2) {
                    uint8_t* g = p + y * w * 2 + x * 2;
                    int luma_seen = 0;
                    for (int k = 0; k < 4; ++k)
                        g[k] = order[k] == 'Y' ? uint8_t(y_of(x + luma_seen++, y))
                                               : order[k] == 'U' ? u : v;
                }
            return;
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                p[y * w + x] = uint8_t(y_of(x, y));
        uint8_t* c = p + luma;
        if (f == "I420" || f == "YV12") {
            std::memset(c, f == "I420" ? u : v, size_t(chroma / 2));
            std::memset(c + chroma / 2, f == "I420" ? v : u, size_t(chroma / 2));
        } else {
            bool uv = f == "NV12" || f == "NV16";
            for (int i = 0; i < chroma; i += 2) {
                c[i] = uv ? u : v;
                c[i + 1] = uv ? v : u;
            }
        }
    }
    ~Frame() { stub().free(buf); }
    uint64_t phys() const { return uint32_t(buf->buf_paddr); }
};

int gradient(int x, int y) { return (x * 7 + y * 29 + 3) & 0xff; }

struct Tensor {
    nn_tensor* t = nn_tensor_init(nullptr, nullptr);
    std::vector<float> data;
    Tensor(int h, int w, int c = 3) { reshape(h, w, c); }
    void reshape(int h, int w, int c = 3)
    {
        data.assign(size_t(h) * w * c, -1.0f);
        const int32_t shape[] = {1, h, w, c};
        nn_tensor_assign(t, NN_TYPE_F32, 4, shape, data.data());
    }
    ~Tensor() { nn_tensor_release(t); }
};

// Cases about process-wide state (device opened once, the one-time warning)
// need a process in which no frame has been loaded yet; CTest runs every case
// in its own process.
#define REQUIRE_FRESH_PROCESS()                                                   \
    do {                                                                          \
        if (stub().calls(G2D_STUB_OPEN) != 0)                                     \
            GTEST_SKIP() << "needs a process without earlier frames (run alone)"; \
    } while (0)

g2d_surface last_src()
{
    g2d_surface s, d;
    EXPECT_TRUE(stub().last(&s, &d));
    return s;
}

g2d_surface last_dst()
{
    g2d_surface s, d;
    EXPECT_TRUE(stub().last(&s, &d));
    return d;
}

// Expected tensor of a grey frame: nearest-neighbour crop and scale, then
// mirror or flip, each channel equal to the luma.
std::vector<float> reference(int (*y_of)(int, int), int l, int t, int r, int b, int ow, int oh,
                             bool mirror, bool flip)
{
    std::vector<float> out(size_t(ow) * oh * 3);
    for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox) {
            int dx = mirror ? ow - 1 - ox : ox, dy = flip ? oh - 1 - oy : oy;
            int sx = l + dx * (r - l) / ow, sy = t + dy * (b - t) / oh;
            for (int c = 0; c < 3; ++c)
                out[(size_t(oy) * ow + ox) * 3 + c] = float(y_of(sx, sy));
        }
    return out;
}

TEST(FrameLoad, EveryFourccReachesG2dAsItsFormat)
{
    const struct {
        const char* name;
        int format;
    } table[] = {{"NV12", 20}, {"I420", 21}, {"YV12", 22}, {"NV21", 23}, {"YUYV", 24},
                 {"YVYU", 25}, {"UYVY", 26}, {"VYUY", 27}, {"NV16", 28}, {"NV61", 29}};
    for (const auto& row : table) {
        Frame f(row.name, 8, 4, gradient);
        Tensor t(4, 8);
        ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc(row.name), 8, 4, nullptr), 0)
            << row.name;
        g2d_surface s = last_src(), d = last_dst();
        EXPECT_EQ(s.format, row.format) << row.name;
        EXPECT_EQ(uint32_t(s.planes[0]), f.phys());
        EXPECT_EQ(s.planes[1], 0);
        EXPECT_EQ(s.stride, 8);
        EXPECT_EQ(s.width, 8);
        EXPECT_EQ(s.height, 4);
        EXPECT_EQ(s.rot, 0);
        EXPECT_EQ(d.format, 2);
        EXPECT_EQ(t.data, reference(gradient, 0, 0, 8, 4, 8, 4, false, false)) << row.name;
    }
}

uint8_t bt601(double value)
{
    long r = std::lrint(value);
    return uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
}

TEST(FrameLoad, ChromaIsReadFromEachLayout)
{
    const uint8_t u = 90, v = 200;
    for (const char* name : {"NV12", "I420", "YV12", "NV21", "YUYV", "YVYU", "UYVY", "VYUY", "NV16", "NV61"}) {
        Frame f(name, 6, 4, gradient, u, v);
        Tensor t(4, 6);
        ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc(name), 6, 4, nullptr), 0) << name;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) {
                double Y = gradient(x, y);
                const float* px = &t.data[(size_t(y) * 6 + x) * 3];
                EXPECT_EQ(px[0], bt601(Y + 1.402 * (v - 128))) << name << " R at " << x << "," << y;
                EXPECT_EQ(px[1], bt601(Y - 0.344136 * (u - 128) - 0.714136 * (v - 128))) << name;
                EXPECT_EQ(px[2], bt601(Y + 1.772 * (u - 128))) << name << " B";
            }
    }
}

TEST(FrameLoad, RegionIsUsedOnlyWithPositiveRightAndBottom)
{
    Frame f("NV12", 8, 6, gradient);
    const struct {
        bool given;
        int32_t region[4];
        int32_t want[4];
    } cases[] = {
        {false, {0, 0, 0, 0}, {0, 0, 8, 6}},
        {true, {2, 1, 6, 5}, {2, 1, 6, 5}},
        {true, {2, 1, 0, 5}, {0, 0, 8, 6}},
        {true, {2, 1, 6, 0}, {0, 0, 8, 6}},
        {true, {2, 1, -6, -5}, {0, 0, 8, 6}},
        {true, {0, 0, 8, 6}, {0, 0, 8, 6}},
    };
    for (const auto& c : cases) {
        Tensor t(3, 4);
        ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 8, 6,
                                       c.given ? c.region : nullptr),
                  0);
        g2d_surface s = last_src(), d = last_dst();
        EXPECT_EQ(s.left, c.want[0]);
        EXPECT_EQ(s.top, c.want[1]);
        EXPECT_EQ(s.right, c.want[2]);
        EXPECT_EQ(s.bottom, c.want[3]);
        EXPECT_EQ(s.stride, 8);
        EXPECT_EQ(s.width, 8);
        EXPECT_EQ(s.height, 6);
        EXPECT_EQ(d.left, 0);
        EXPECT_EQ(d.top, 0);
        EXPECT_EQ(d.right, 4);
        EXPECT_EQ(d.bottom, 3);
        EXPECT_EQ(d.stride, 4);
        EXPECT_EQ(d.width, 4);
        EXPECT_EQ(d.height, 3);
        EXPECT_EQ(t.data, reference(gradient, c.want[0], c.want[1], c.want[2], c.want[3], 4, 3,
                                    false, false));
    }
}

TEST(FrameLoad, MirrorFlipAndBothWarnOnce)
{
    REQUIRE_FRESH_PROCESS();
    Frame f("YUYV", 10, 6, gradient);
    const int32_t region[] = {1, 1, 9, 5};
    const struct {
        uint32_t proc;
        int rot;
        bool mirror, flip;
    } cases[] = {
        {0, 0, false, false},
        {NN_IMAGE_PROC_MIRROR, 4, true, false},
        {NN_IMAGE_PROC_FLIP, 5, false, true},
    };
    for (const auto& c : cases) {
        Tensor t(5, 3);  // scale 8x4 -> 3x5: shrink one way, stretch the other
        testing::internal::CaptureStderr();
        ASSERT_EQ(nn_tensor_load_frame_ex(t.t, nullptr, f.phys(), fourcc("YUYV"), 10, 6, region,
                                          c.proc),
                  0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(last_dst().rot, c.rot);
        EXPECT_EQ(t.data, reference(gradient, 1, 1, 9, 5, 3, 5, c.mirror, c.flip)) << c.proc;
    }
    Tensor t(5, 3);
    const uint32_t both = NN_IMAGE_PROC_MIRROR | NN_IMAGE_PROC_FLIP;
    testing::internal::CaptureStderr();
    ASSERT_EQ(nn_tensor_load_frame_ex(t.t, nullptr, f.phys(), fourcc("YUYV"), 10, 6, region, both), 0);
    EXPECT_EQ(last_dst().rot, 4);
    ASSERT_EQ(nn_tensor_load_frame_ex(t.t, nullptr, f.phys(), fourcc("YUYV"), 10, 6, region, both), 0);
    EXPECT_EQ(last_dst().rot, 4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[WARNING] G2D hardware does not support mirror and flip, ignoring flip.\n");
    EXPECT_EQ(t.data, reference(gradient, 1, 1, 9, 5, 3, 5, true, false));
}

TEST(FrameLoad, NormalisationFlagsApplyToTheFrame)
{
    Frame f("I420", 4, 2, gradient);
    Tensor t(2, 4);
    auto want = reference(gradient, 0, 0, 4, 2, 4, 2, false, false);
    ASSERT_EQ(nn_tensor_load_frame_ex(t.t, nullptr, f.phys(), fourcc("I420"), 4, 2, nullptr,
                                      NN_IMAGE_PROC_NORMALIZE),
              0);
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_FLOAT_EQ(t.data[i], want[i] * 0.003921569f);
    ASSERT_EQ(nn_tensor_load_frame_ex(t.t, nullptr, f.phys(), fourcc("I420"), 4, 2, nullptr,
                                      NN_IMAGE_PROC_SIGNED_NORMALIZE),
              0);
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_FLOAT_EQ(t.data[i], want[i] * 0.007843138f - 1.0f);
}

TEST(FrameLoad, BufferIsKeptReusedAndRegrown)
{
    Frame f("NV12", 16, 8, gradient);
    int frames_only = stub().live();
    Tensor t(4, 4);
    ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 16, 8, nullptr), 0);
    int allocs = stub().calls(G2D_STUB_ALLOC);
    int32_t first = last_dst().planes[0];
    ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 16, 8, nullptr), 0);
    EXPECT_EQ(stub().calls(G2D_STUB_ALLOC), allocs) << "second frame allocated again";
    EXPECT_EQ(last_dst().planes[0], first);
    EXPECT_EQ(stub().live(), frames_only + 1);

    // Smaller: the buffer still fits.  Larger: a new one replaces it.
    t.reshape(2, 2);
    ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 16, 8, nullptr), 0);
    EXPECT_EQ(stub().calls(G2D_STUB_ALLOC), allocs);
    t.reshape(8, 16);
    ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 16, 8, nullptr), 0);
    EXPECT_EQ(stub().calls(G2D_STUB_ALLOC), allocs + 1);
    EXPECT_NE(last_dst().planes[0], first);
    EXPECT_EQ(stub().live(), frames_only + 1) << "old buffer not freed";
    EXPECT_EQ(t.data, reference(gradient, 0, 0, 16, 8, 16, 8, false, false));

    nn_tensor_release(t.t);
    EXPECT_EQ(stub().live(), frames_only) << "release did not free the RGBA buffer";
    t.t = nn_tensor_init(nullptr, nullptr);
}

TEST(FrameLoad, DeviceOpenedOnceNeverClosedOrFlushed)
{
    REQUIRE_FRESH_PROCESS();
    Frame f("UYVY", 4, 4, gradient);
    Tensor a(4, 4), b(2, 2);
    ASSERT_EQ(nn_tensor_load_frame(a.t, nullptr, f.phys(), fourcc("UYVY"), 4, 4, nullptr), 0);
    ASSERT_EQ(nn_tensor_load_frame(b.t, nullptr, f.phys(), fourcc("UYVY"), 4, 4, nullptr), 0);
    EXPECT_EQ(stub().calls(G2D_STUB_OPEN), 1);
    EXPECT_EQ(stub().calls(G2D_STUB_BLIT), 2);
    EXPECT_EQ(stub().calls(G2D_STUB_FINISH), 2);
    EXPECT_EQ(stub().calls(G2D_STUB_CACHE_OP), 2);
    EXPECT_EQ(stub().last_cache_op(), 2);
    EXPECT_EQ(stub().calls(G2D_STUB_CLOSE), 0);
    EXPECT_EQ(stub().calls(G2D_STUB_FLUSH), 0);
}

TEST(FrameLoad, InjectedFailuresReportUnmapAndLeakNothing)
{
    REQUIRE_FRESH_PROCESS();
    Frame f("NV21", 4, 4, gradient);
    int frames_only = stub().live();
    const struct {
        int function;
        const char* message;
    } cases[] = {
        {G2D_STUB_OPEN, "failed to open g2d library\n"},
        {G2D_STUB_ALLOC, "g2d failed to allocate buffer\n"},
        {G2D_STUB_BLIT, "failed to blit video frame into tensor\n"},
        {G2D_STUB_FINISH, "failed to finish video frame conversion\n"},
    };
    for (const auto& c : cases) {
        {
            Tensor t(4, 4);
            stub().fail_next(c.function);
            testing::internal::CaptureStderr();
            EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV21"), 4, 4, nullptr), 1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
            EXPECT_EQ(nn_tensor_mapped(t.t), 0);
            for (float v : t.data)
                ASSERT_EQ(v, -1.0f) << "tensor written after a failure";
            // The next frame works.
            EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV21"), 4, 4, nullptr), 0);
        }
        EXPECT_EQ(stub().live(), frames_only) << c.message;
    }
    EXPECT_EQ(stub().calls(G2D_STUB_OPEN), 2) << "open retried only after its failure";
}

TEST(FrameLoad, AnotherSingleAuxObjectIsRefused)
{
    Frame f("NV12", 4, 4, gradient);
    Tensor t(4, 4);
    static int freed;
    static int object;
    nn_tensor_set_aux_object(t.t, &object, [](nn_tensor*) { ++freed; });
    int blits = stub().calls(G2D_STUB_BLIT);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 4, 4, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "incompatible auxiliary object for g2d\n");
    EXPECT_EQ(nn_tensor_mapped(t.t), 0);
    EXPECT_EQ(nn_tensor_aux_object(t.t), &object);
    EXPECT_EQ(freed, 0);
    EXPECT_EQ(stub().calls(G2D_STUB_BLIT), blits);
}

TEST(FrameLoad, NamedAuxObjectsAreRefusedToo)
{
    Frame f("NV12", 4, 4, gradient);
    Tensor t(4, 4);
    static int object;
    nn_tensor_set_aux_object_by_name(t.t, "other", &object, nullptr, false, false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 4, 4, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "incompatible auxiliary object for g2d\n");
    EXPECT_EQ(nn_tensor_aux_object_by_name(t.t, "other"), &object);
    EXPECT_EQ(nn_tensor_mapped(t.t), 0);
}

TEST(FrameLoad, FailedRegrowKeepsTheOldBuffer)
{
    Frame f("NV12", 8, 8, gradient);
    int frames_only = stub().live();
    Tensor t(2, 2);
    ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 8, 8, nullptr), 0);
    void* old = nn_tensor_aux_object(t.t);
    t.reshape(8, 8);
    stub().fail_next(G2D_STUB_ALLOC);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 8, 8, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "g2d failed to allocate buffer\n");
    EXPECT_EQ(nn_tensor_aux_object(t.t), old);
    EXPECT_EQ(stub().live(), frames_only + 1);
    ASSERT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), fourcc("NV12"), 8, 8, nullptr), 0);
    EXPECT_EQ(stub().live(), frames_only + 1);
    EXPECT_EQ(t.data, reference(gradient, 0, 0, 8, 8, 8, 8, false, false));
}

TEST(FrameLoad, UnsupportedFourccPrintsItsCharacters)
{
    Tensor t(2, 2);
    for (const char* name : {"RGBP", "nv12", "BGR3"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, 0x1000, fourcc(name), 2, 2, nullptr), 6);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("unsupported frame format ") + name + "\n");
    }
    // Checked before anything else, even a NULL tensor.
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_tensor_load_frame(nullptr, nullptr, 0x1000, fourcc("ABCD"), 2, 2, nullptr), 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "unsupported frame format ABCD\n");
}

TEST(FrameLoad, BadTensorsAndGeometryStopBeforeG2d)
{
    REQUIRE_FRESH_PROCESS();
    Frame f("NV12", 8, 8, gradient);
    uint32_t nv12 = fourcc("NV12");
    const int32_t inside[] = {0, 0, 8, 8};
    const int32_t cases_region[][4] = {
        {-1, 0, 4, 4}, {0, -1, 4, 4}, {0, 0, 9, 4}, {0, 0, 4, 9}, {4, 0, 4, 4}, {0, 5, 4, 4},
    };
    // Tensor checks.
    EXPECT_EQ(nn_tensor_load_frame(nullptr, nullptr, f.phys(), nv12, 8, 8, nullptr), 6);
    {
        nn_tensor* u8 = nn_tensor_init(nullptr, nullptr);
        std::vector<uint8_t> mem(8 * 8 * 3);
        const int32_t shape[] = {1, 8, 8, 3};
        nn_tensor_assign(u8, NN_TYPE_U8, 4, shape, mem.data());
        EXPECT_EQ(nn_tensor_load_frame(u8, nullptr, f.phys(), nv12, 8, 8, nullptr), 16);
        nn_tensor_release(u8);
    }
    for (auto shape : std::vector<std::vector<int32_t>>{{1, 8, 8, 1}, {2, 4, 4, 3}, {1, 8, 8, 4}, {8, 8, 3}}) {
        nn_tensor* t = nn_tensor_init(nullptr, nullptr);
        std::vector<float> mem(8 * 8 * 4);
        nn_tensor_assign(t, NN_TYPE_F32, int(shape.size()), shape.data(), mem.data());
        EXPECT_EQ(nn_tensor_load_frame(t, nullptr, f.phys(), nv12, 8, 8, nullptr), 9) << shape.size();
        nn_tensor_release(t);
    }
    // Frame checks.
    Tensor t(4, 4);
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), nv12, 0, 8, nullptr), 6);
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), nv12, 8, -1, nullptr), 6);
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, 0x100000000ull + f.phys(), nv12, 8, 8, nullptr), 6);
    for (const auto& r : cases_region)
        EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), nv12, 8, 8, r), 6)
            << r[0] << "," << r[1] << "," << r[2] << "," << r[3];
    for (int fn = 0; fn < G2D_STUB_FUNCTION_COUNT; ++fn) {
        if (fn != G2D_STUB_ALLOC) {  // the frame itself was allocated
            EXPECT_EQ(stub().calls(fn), 0) << "G2D function " << fn << " was called";
        }
    }
    EXPECT_EQ(stub().calls(G2D_STUB_ALLOC), 1);
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, f.phys(), nv12, 8, 8, inside), 0);
    EXPECT_EQ(stub().calls(G2D_STUB_BLIT), 1);
}

TEST(FrameLoad, TensorWithoutMemoryGives14AfterOpening)
{
    Frame f("NV12", 4, 4, gradient);
    nn_tensor* t = nn_tensor_init(nullptr, nullptr);
    const int32_t shape[] = {1, 4, 4, 3};
    nn_tensor_assign(t, NN_TYPE_F32, 4, shape, nullptr);
    int blits = stub().calls(G2D_STUB_BLIT);
    EXPECT_EQ(nn_tensor_load_frame(t, nullptr, f.phys(), fourcc("NV12"), 4, 4, nullptr), 14);
    EXPECT_EQ(stub().calls(G2D_STUB_BLIT), blits);
    nn_tensor_release(t);
}

}  // namespace
