// Camera frames when no libg2d.so can be found on the library path, and with a
// G2D library that lacks g2d_finish (G2D_VARIANT_LACKS_FINISH).  Nothing is
// kept after a failed load, so every call tries again.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include "g2d_abi.h"
#include "kestrune/nn.h"

namespace {

const uint32_t kNv12 = uint32_t('N') | uint32_t('V') << 8 | uint32_t('1') << 16 | uint32_t('2') << 24;
const std::string kPrefix = "failed to load g2d library: ";

struct Tensor {
    nn_tensor* t = nn_tensor_init(nullptr, nullptr);
    std::vector<float> data = std::vector<float>(2 * 2 * 3, -1.0f);
    Tensor()
    {
        const int32_t shape[] = {1, 2, 2, 3};
        nn_tensor_assign(t, NN_TYPE_F32, 4, shape, data.data());
    }
    ~Tensor() { nn_tensor_release(t); }
};

std::string load_failure(nn_tensor* t)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(nn_tensor_load_frame(t, nullptr, 0x10000000, kNv12, 4, 4, nullptr), 5);
    EXPECT_EQ(nn_tensor_mapped(t), 0);
    return testing::internal::GetCapturedStderr();
}

#ifndef G2D_VARIANT_LACKS_FINISH
TEST(FrameWithoutG2d, FailsEveryTimeUntilTheLibraryAppears)
{
    Tensor t;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string err = load_failure(t.t);
        ASSERT_EQ(err.compare(0, kPrefix.size(), kPrefix), 0) << err;
        EXPECT_EQ(err.compare(kPrefix.size(), 11, "libg2d.so: "), 0) << err;
        EXPECT_EQ(err.back(), '\n');
        EXPECT_LE(err.size(), kPrefix.size() + 128) << "error text longer than 128 bytes";
    }
    // Once a library of that name is loaded into the process, the next frame
    // finds it: the earlier failures were not remembered.
    void* lib = dlopen(G2D_STUB_PATH, RTLD_NOW);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto alloc = reinterpret_cast<g2d_alloc_fn>(dlsym(lib, "g2d_alloc"));
    auto release = reinterpret_cast<g2d_free_fn>(dlsym(lib, "g2d_free"));
    g2d_buf* frame = alloc(4 * 4 * 3 / 2, 1);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(nn_tensor_load_frame(t.t, nullptr, uint32_t(frame->buf_paddr), kNv12, 4, 4, nullptr), 0);
    nn_tensor_release(t.t);
    t.t = nn_tensor_init(nullptr, nullptr);
    release(frame);
    dlclose(lib);
}
#else
TEST(FrameWithIncompleteG2d, NamesTheMissingFunctionEveryTime)
{
    Tensor t;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string err = load_failure(t.t);
        const std::string want = kPrefix + "g2d_finish: ";
        ASSERT_EQ(err.compare(0, want.size(), want), 0) << err;
        EXPECT_NE(err.find("g2d_finish", want.size()), std::string::npos) << "dlerror() text missing";
    }
    for (float v : t.data)
        EXPECT_EQ(v, -1.0f);
}
#endif

}  // namespace
