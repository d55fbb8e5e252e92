// Fixture models of the OpenVX plug-in suites, written with the test KFM
// writer: small graphs the ovxlib stand-in builds and runs.
#ifndef BRINDLECAST_OVX_TESTS_OVX_MODELS_H
#define BRINDLECAST_OVX_TESTS_OVX_MODELS_H

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_parts.h"
#include "kfm_writer.h"

namespace ovx_models {

using kfm_parts::classifier;
using kfm_parts::constant;
using kfm_parts::f32;
using kfm_parts::softmax_classifier;

// "input" [1,4] -> relu "hidden" [1,4] -> softmax "output"; labels a..d.
// "hidden" is an intermediate (virtual) tensor of the graph.
inline kfm::Model hidden_softmax()
{
    kfm::Model m = classifier();
    m.name = "hidden";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}), f32("hidden", NN_LAYER_RELU, {1, 4}, {0}),
                                       f32("output", NN_LAYER_SOFTMAX, {1, 4}, {1})};
    m.outputs = std::vector<uint32_t>{2};
    return m;
}

// classifier() with a constant "unused" that no layer reads: the graph
// builder skips it, so it has no tensor.
inline kfm::Model with_skipped()
{
    kfm::Model m = classifier();
    m.name = "skipped";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}), constant("unused", {1, 4}, {1, 2, 3, 4}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    m.outputs = std::vector<uint32_t>{2};
    return m;
}

// classifier() in INT8 with one zero point and scale per layer.
inline kfm::Model int8_classifier()
{
    kfm::Model m = classifier();
    m.name = "int8";
    for (kfm::Layer& l : *m.layers) {
        l.datatype = NN_TYPE_I8;
        l.zeros = std::vector<int32_t>{-3};
        l.scales = std::vector<float>{0.5f};
    }
    return m;
}

// "input" [1,4] -> gru: a layer the graph library does not build.
inline kfm::Model gru_model()
{
    kfm::Model m = classifier();
    m.name = "gru";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}), f32("gru", NN_LAYER_GRU, {1, 4}, {0})};
    m.outputs.reset();
    return m;
}

// An 8x8 RGB image input -> view [1,192] -> softmax over the 192 values.
inline kfm::Model image_softmax()
{
    kfm::Model m;
    m.name = "image";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 8, 8, 3}),
                                       f32("flat", NN_LAYER_RESHAPE, {1, 192}, {0}),
                                       f32("output", NN_LAYER_SOFTMAX, {1, 192}, {1})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{2};
    return m;
}

// Softmax of `x` in double precision.
inline std::vector<double> softmax_of(const std::vector<float>& x)
{
    double top = *std::max_element(x.begin(), x.end()), sum = 0.0;
    std::vector<double> e;
    for (float v : x)
        sum += e.emplace_back(std::exp(static_cast<double>(v) - top));
    for (double& v : e)
        v /= sum;
    return e;
}

// A 24-bit BMP of `w` x `h` pixels, each rgb(x, y) of the callback.
template <typename Pixel>
std::string bmp(int w, int h, Pixel rgb)
{
    const int row = (w * 3 + 3) / 4 * 4;
    const uint32_t size = 54u + static_cast<uint32_t>(row * h);
    std::string out(size, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<char>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, size);
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    out[26] = 1;
    out[28] = 24;
    put32(34, static_cast<uint32_t>(row * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto c = rgb(x, y);  // rows are stored bottom-up, as BGR
            const size_t at = 54 + static_cast<size_t>((h - 1 - y) * row + x * 3);
            out[at] = static_cast<char>(c[2]);
            out[at + 1] = static_cast<char>(c[1]);
            out[at + 2] = static_cast<char>(c[0]);
        }
    return out;
}

}  // namespace ovx_models

#endif
