// Camera frames by address over the datagram RPC, through the G2D stand-in
// (on the library path), or without any libg2d.so (RPC_FRAME_ABSENT).
#include <dlfcn.h>

#include "g2d_stub.h"
#include "kfm_test_util.h"
#include "rpc_fixture.h"

using namespace rpc_test;

namespace {

uint32_t fourcc(const char* s)
{
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

struct Served {
    SocketPair sockets;
    ServerHandle srv;
    explicit Served(const kfm::Buffer& model)
    {
        EXPECT_EQ(srv.load(sockets.dir.file("m.kfm", model)), 0);
        nn_server_set_input_name(srv.server, "image");
    }
    Reply call(const Request& r)
    {
        EXPECT_TRUE(sockets.send(r.encode()));
        kfm_test::capture([&] { nn_server_unix_handler(srv.server, sockets.server); });
        return sockets.receive();
    }
    std::vector<float> image() { return kfm_test::floats(nn_context_tensor(nn_server_context(srv.server), "image")); }
};

Request frame_request(uint32_t address, uint16_t fw, uint16_t fh, uint16_t cx, uint16_t cy, uint16_t cw,
                      uint16_t ch)
{
    Request r;
    r.flags = 0x0002;
    r.address = address;
    r.fourcc = fourcc("NV12");
    r.frame_width = fw;
    r.frame_height = fh;
    r.crop_x = cx;
    r.crop_y = cy;
    r.crop_width = cw;
    r.crop_height = ch;
    return r;
}

#ifndef RPC_FRAME_ABSENT

struct StubFrame {
    void* lib = dlopen("libg2d.so", RTLD_NOW);
    g2d_buf* buf = nullptr;
    // An NV12 frame of w x h, luma and chroma all 128 (mid grey).
    StubFrame(int w, int h)
    {
        auto alloc = reinterpret_cast<g2d_alloc_fn>(lib ? dlsym(lib, "g2d_alloc") : nullptr);
        if (alloc)
            buf = alloc(w * h * 3 / 2, 1);
        if (buf)
            std::memset(buf->buf_vaddr, 128, size_t(w * h * 3 / 2));
    }
    ~StubFrame()
    {
        auto release = reinterpret_cast<g2d_free_fn>(lib ? dlsym(lib, "g2d_free") : nullptr);
        if (buf && release)
            release(buf);
        if (lib)
            dlclose(lib);
    }
    uint32_t phys() const { return uint32_t(buf->buf_paddr); }
};

TEST(RpcFrame, FrameLandsInTheTensor)
{
    StubFrame frame(8, 4);
    ASSERT_NE(frame.buf, nullptr);
    Served s(image_model(4, 8));
    kfm_test::write_floats(nn_context_tensor(nn_server_context(s.srv.server), "image"),
                           std::vector<float>(4 * 8 * 3, -1.0f));
    Reply r = s.call(frame_request(frame.phys(), 8, 4, 0, 0, 8, 4));
    ASSERT_TRUE(r.received);
    EXPECT_EQ(r.flags, 0u) << r.text();
    // Mid grey: every channel of every pixel near 128 whatever the YUV range.
    for (float v : s.image())
        EXPECT_NEAR(v, 128.0f, 8.0f);
    EXPECT_GT(s.srv.server->decode_time, 0);
}

TEST(RpcFrame, RefusedFramesAndTargets)
{
    StubFrame frame(8, 4);
    ASSERT_NE(frame.buf, nullptr);
    struct {
        const char* name;
        int8_t type;
        Request request;
        const char* error;
    } rows[] = {
        {"region wider than the frame", NN_TYPE_F32, frame_request(frame.phys(), 8, 4, 4, 0, 8, 4),
         "RPC_DECODE_INPUT load frame failed: invalid parameter"},
        {"region taller than the frame", NN_TYPE_F32, frame_request(frame.phys(), 8, 4, 0, 2, 8, 4),
         "RPC_DECODE_INPUT load frame failed: invalid parameter"},
        {"frame width 0", NN_TYPE_F32, frame_request(frame.phys(), 0, 4, 0, 0, 0, 0),
         "RPC_DECODE_INPUT load frame failed: invalid parameter"},
        {"UINT8 tensor", NN_TYPE_U8, frame_request(frame.phys(), 8, 4, 0, 0, 8, 4),
         "RPC_DECODE_INPUT load frame failed: tensor type unsupported"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Served s(image_model(4, 8, row.type));
        Reply r = s.call(row.request);
        ASSERT_TRUE(r.received);
        EXPECT_EQ(r.flags, 3u);
        EXPECT_EQ(r.text(), row.error);
    }
    // An address the stand-in never handed out is refused by the blit.
    Served s(image_model(4, 8));
    Reply r = s.call(frame_request(frame.phys() + 0x100000, 8, 4, 0, 0, 8, 4));
    EXPECT_EQ(r.flags, 3u);
    EXPECT_EQ(r.text().rfind("RPC_DECODE_INPUT load frame failed: ", 0), 0u) << r.text();
}

#else

TEST(RpcFrame, WithoutG2d)
{
    Served s(image_model(4, 8));
    Reply r = s.call(frame_request(0x10000000, 8, 4, 0, 0, 8, 4));
    ASSERT_TRUE(r.received);
    EXPECT_EQ(r.flags, 3u);
    EXPECT_EQ(r.text(), "RPC_DECODE_INPUT load frame failed: not implemented");
}

#endif

}  // namespace
