// Writes the runtime plug-in's demonstration files with the test KFM writer:
//   softmax.kfm  "input" FLOAT32 [1,4] -> softmax "output", labels a b c d
//   demo.kfm     a colour classifier on an 8x8 RGB image input (the image
//                loader scales a posted picture to it): conv2d 3x3 with a fused
//                relu -> max pool 2x2 -> reshape -> dense -> softmax, with the
//                labels "red", "green", "blue"
//   wide.kfm     "input" FLOAT32 [1,1048576] (4 MiB) -> "output", a view of it:
//                outputs big enough for replies near their size bounds
//   tall.kfm     "input" UINT8 [1,16777217,1,1] -> "output": an image input one
//                value past what a picture may be scaled to
//   huge.kfm     the same as [1,268435460,1,1]: 256 MiB of input, more than
//                the memory pool holds
//   red.ppm, green.ppm, blue.ppm  small pictures to post to it
//
//     rt_models <folder>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_parts.h"
#include "kfm_writer.h"

namespace {

using kfm_parts::constant;
using kfm_parts::f32;
using kfm_parts::text;

using kfm_parts::ints;

kfm::Layer with(kfm::Layer l, std::vector<kfm::Parameter> params)
{
    l.parameters = std::move(params);
    return l;
}

// Each conv2d output channel weighs its own colour twice against the other
// two over a 3x3 window (pixels are 0..255, so the weights carry 1/255); the
// fused relu keeps the positive evidence, the 2x2 max pool keeps the strongest,
// and the dense layer sums each channel over the 3x3 pooled grid.
kfm::Model colour_model()
{
    std::vector<float> filter(3 * 3 * 3 * 3);  // [KH, KW, Cin, Cout]
    for (size_t i = 0; i < filter.size(); ++i) {
        size_t cin = i / 3 % 3, cout = i % 3;
        filter[i] = (cin == cout ? 2.0f : -1.0f) / (9.0f * 255.0f);
    }
    std::vector<float> weights(27 * 3);  // [27, 3]: pooled (y, x, c) -> class
    for (size_t k = 0; k < 27; ++k)
        for (size_t n = 0; n < 3; ++n)
            weights[k * 3 + n] = k % 3 == n ? 0.5f : 0.0f;
    kfm::Model m;
    m.name = "colour-demo";
    m.labels = std::vector<std::string>{"red", "green", "blue"};
    m.layers = std::vector<kfm::Layer>{
        f32("input", NN_LAYER_INPUT, {1, 8, 8, 3}),
        constant("conv_filter", {3, 3, 3, 3}, filter),
        constant("conv_bias", {3}, {-0.05f, -0.05f, -0.05f}),
        with(f32("conv", NN_LAYER_CONV2D, {1, 6, 6, 3}, {0, 1, 2}),
             {ints("strides", {1, 1, 1, 1}), text("activation", "relu")}),
        with(f32("pool", NN_LAYER_POOL2D, {1, 3, 3, 3}, {3}),
             {ints("ksize", {1, 2, 2, 1}), ints("strides", {1, 2, 2, 1}), text("pooling", "MAXIMUM")}),
        f32("flatten", NN_LAYER_RESHAPE, {1, 27}, {4}),
        constant("dense_weights", {27, 3}, weights),
        constant("dense_bias", {3}, {0.1f, 0.0f, -0.1f}),
        f32("dense", NN_LAYER_DENSE, {1, 3}, {5, 6, 7}),
        f32("output", NN_LAYER_SOFTMAX, {1, 3}, {8})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{9};
    return m;
}

// A 16x16 picture of mostly one colour with a grey border.
std::string picture(int channel)
{
    std::string ppm = "P6\n16 16\n255\n";
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            for (int c = 0; c < 3; ++c) {
                bool border = x < 2 || y < 2 || x > 13 || y > 13;
                ppm += static_cast<char>(border ? 128 : c == channel ? 220 : 30);
            }
    return ppm;
}

kfm::Model wide_model()
{
    kfm::Model m;
    m.name = "wide";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 1048576}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 1048576}, {0})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{1};
    return m;
}

// One UINT8 image input of `rows` rows in the memory pool, viewed as the
// output.
kfm::Model tall_model(int32_t rows)
{
    kfm::Layer in = f32("input", NN_LAYER_INPUT, {1, rows, 1, 1});
    in.datatype = NN_TYPE_U8;
    in.scales = std::vector<float>{1.0f};
    in.zeros = std::vector<int32_t>{0};
    in.mempool_offset = 0;  // a UINT8 view into the pool
    kfm::Layer out = f32("output", NN_LAYER_RESHAPE, {1, rows, 1, 1}, {0});
    out.datatype = NN_TYPE_U8;
    out.scales = in.scales;
    out.zeros = in.zeros;
    kfm::Model m;
    m.name = "tall";
    m.memory_block_size = 16;
    m.memory_blocks = static_cast<uint32_t>(rows / 16 + 1);
    m.layers = std::vector<kfm::Layer>{in, out};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{1};
    return m;
}

bool save(const std::string& path, const void* data, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    kfm::Buffer softmax = kfm::write(kfm_parts::softmax_classifier());
    kfm::Buffer demo = kfm::write(colour_model());
    kfm::Buffer wide = kfm::write(wide_model());
    kfm::Buffer tall = kfm::write(tall_model((1 << 24) + 1));
    kfm::Buffer huge = kfm::write(tall_model(268435460));
    bool ok = save(dir + "/softmax.kfm", softmax.data(), softmax.size()) &&
              save(dir + "/demo.kfm", demo.data(), demo.size()) && save(dir + "/wide.kfm", wide.data(), wide.size()) &&
              save(dir + "/tall.kfm", tall.data(), tall.size()) && save(dir + "/huge.kfm", huge.data(), huge.size());
    const char* names[] = {"red", "green", "blue"};
    for (int c = 0; ok && c < 3; ++c) {
        std::string p = picture(c);
        ok = save(dir + "/" + names[c] + ".ppm", p.data(), p.size());
    }
    return ok ? 0 : 1;
}
