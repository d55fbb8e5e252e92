// Writes the runtime plug-in's demonstration files with the test KFM writer:
//   softmax.kfm  "input" FLOAT32 [1,4] -> "output", labels a b c d
//   demo.kfm     a colour classifier: an image input of 1x1 pixel (the image
//                loader scales any picture down to its mean colour) and the
//                labels "red", "green", "blue"
//   red.ppm, green.ppm, blue.ppm  small pictures to post to it
//
//     rt_models <folder>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"

namespace {

kfm::Layer f32(const std::string& name, int16_t type, std::vector<int32_t> shape, std::vector<uint32_t> inputs = {})
{
    kfm::Layer l = kfm::layer(name, type, std::move(shape), std::move(inputs));
    l.datatype = NN_TYPE_F32;
    return l;
}

kfm::Model softmax_model()
{
    kfm::Model m;
    m.name = "softmax";
    m.labels = std::vector<std::string>{"a", "b", "c", "d"};
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{1};
    return m;
}

kfm::Model colour_model()
{
    kfm::Model m;
    m.name = "colour-demo";
    m.labels = std::vector<std::string>{"red", "green", "blue"};
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 1, 1, 3}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 3}, {0})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{1};
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
    kfm::Buffer softmax = kfm::write(softmax_model());
    kfm::Buffer demo = kfm::write(colour_model());
    bool ok = save(dir + "/softmax.kfm", softmax.data(), softmax.size()) &&
              save(dir + "/demo.kfm", demo.data(), demo.size());
    const char* names[] = {"red", "green", "blue"};
    for (int c = 0; ok && c < 3; ++c) {
        std::string p = picture(c);
        ok = save(dir + "/" + names[c] + ".ppm", p.data(), p.size());
    }
    return ok ? 0 : 1;
}
