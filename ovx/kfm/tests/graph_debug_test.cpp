// Debug output of the builder, in a process of its own that starts with
// KESTRUNE_OPENVX_DEBUG=1 (the flag, once set, stays set).
#include <gtest/gtest.h>

#include "ovx_fixtures.h"

namespace {

using namespace ovx_test;

TEST(Debug, LinesOnStandardOutputOnly)
{
    Layer x = quantised(input("x", {1, 4, 4, 3}), NN_TYPE_I8, {0.5f}, {-3});
    Layer w = constant_q8("w", NN_TYPE_I8, {1, 1, 3, 2}, pattern_i8(6), {0.1f, 0.2f}, {0, 0});
    w.axis = 9;
    Layer c = quantised(op("c", NN_LAYER_CONV2D, {1, 4, 4, 2}, {0, 1}, {list("strides", {1, 1, 1, 1})}), NN_TYPE_I8,
                        {0.25f}, {1});
    Layer p = quantised(op("p", NN_LAYER_POOL2D, {1, 2, 2, 2}, {2},
                           {list("ksize", {1, 2, 2, 1}), list("strides", {1, 2, 2, 1}), text("pooling", "MAXIMUM")}),
                        NN_TYPE_I8, {0.25f}, {1});
    Layer unused = constant_f32("unused", {2}, {1, 2});
    Layer r = quantised(op("r", NN_LAYER_REDUCE_MEAN, {1, 1, 1, 2}, {3}, {list("axes", {1, 2})}), NN_TYPE_I8, {0.25f}, {1});
    Built b(placed({x, w, c, p, unused, r}));
    ASSERT_NE(b.graph, nullptr) << b.streams.err;
    EXPECT_EQ(b.streams.err, "");
    const std::string& out = b.streams.out;
    for (const char* line : {"KFMx Output indices = []\n", "Created empty VX graph, inputs = 1, outputs = 1\n",
                             "KFMx Layer count = 6\n", "\nKFM layer Type: input Name: x \n", "KFM Datatype: I8 ",
                             "Scale = 0.500000, zero_point = -3 \n",
                             "Warning: KFM I8 datatype...changing VSI type and zero_point to U8\n",
                             "input scale 0.500000, input zp 125, qnt_type 2, vx_data_type 3\r\n",
                             "Adding transpose to NCHW node at input\n", "Perchannel quant axis missing... using default\n",
                             "Pool kernel size: [2 2] Strides: [2 2]Pad size: [0 0 0 0]\n",
                             "Warning: layer has no connections...skipping\n",
                             "Reduce_mean axes: [1 0] num_axes: 2  keep_dim: 1\n", "Permute output layer to NHWC\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;
}

TEST(Debug, MissingQuantisationIsExplained)
{
    Layer x = input("x", {1, 4});
    x.datatype = NN_TYPE_U8;
    Built b(placed({x, op("r", NN_LAYER_RELU, {1, 4}, {0})}));
    EXPECT_EQ(b.graph, nullptr);
    EXPECT_NE(b.streams.out.find("Warning: No zero point/scale provided; Trying previous layer params\n"
                                 "Scale/Zero point not found; KFM missing params\n"),
              std::string::npos)
        << b.streams.out;
}

}  // namespace
