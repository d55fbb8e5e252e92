// The insufficient-cache warning: printed once per process on standard
// output, while every such call gives the direct variant's result.  Its own
// test program, so no other suite has printed it before.
#include <gtest/gtest.h>

#include "conv_cases.h"

using namespace conv_test;

namespace {

TEST(ConvCacheWarning, PrintedOnceEveryCallDirect)
{
    const Case c = {"small cache", {1, 5, 6, 3, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, Q::F32, true, 2, false, false};
    const int32_t strides[4] = {1, 1, 1, 1};
    const int32_t pad[8] = {0, 0, 1, 1, 1, 1, 0, 0};
    const int32_t dil[4] = {1, 1, 1, 1};
    // A tile row is 3*3*3 floats = 108 bytes; a cache of exactly that is too small.
    Tensor cache(NN_TYPE_U8, {108});
    std::string printed;
    for (int call = 0; call < 3; ++call) {
        Built b = Build(c, 20u + (unsigned)call);
        testing::internal::CaptureStdout();
        ASSERT_EQ(nn_conv_ex(b.out, cache, b.in, b.filter, b.bias, strides, pad, dil, 1, 2), 0);
        printed += testing::internal::GetCapturedStdout();
        Compare(c, Variant::Direct, b);
        // The direct variant built no panel.
        EXPECT_EQ(nn_tensor_aux_object_by_name(b.filter, "filter_aux_panel"), nullptr);
    }
    EXPECT_EQ(printed, "warning: insufficient cache (108B) for conv2d tile (108B)\n");
}

}  // namespace
