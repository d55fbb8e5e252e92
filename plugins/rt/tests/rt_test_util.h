// Helpers of the runtime plug-in suites: fixture models written with the
// test KFM writer, the handler called over a socketpair, the reply parsed.
#ifndef BRINDLECAST_RT_TEST_UTIL_H
#define BRINDLECAST_RT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kfm_parts.h"
#include "kfm_writer.h"
#include "linked_plugin.h"
#include "rt_server.h"

namespace rt_test {

// ---- models ---------------------------------------------------------------

using kfm_parts::constant;
using kfm_parts::f32;
using kfm_parts::TempDir;

using kfm_parts::classifier;
using kfm_parts::softmax_classifier;

// Softmax of `x` in double precision.
inline std::vector<double> softmax_of(const std::vector<double>& x)
{
    double top = x.empty() ? 0.0 : *std::max_element(x.begin(), x.end()), sum = 0.0;
    std::vector<double> e;
    for (double v : x)
        sum += e.emplace_back(std::exp(v - top));
    for (double& v : e)
        v /= sum;
    return e;
}

// "input" [1,2,2,3] with `layers` after it; labels l0..l11.
inline kfm::Model image_with(const std::string& name, std::vector<kfm::Layer> layers)
{
    kfm::Model m;
    m.name = name;
    std::vector<std::string> labels;
    for (int i = 0; i < 12; ++i)
        labels.push_back("l" + std::to_string(i));
    m.labels = labels;
    layers.insert(layers.begin(), f32("input", NN_LAYER_INPUT, {1, 2, 2, 3}));
    m.layers = std::move(layers);
    return m;
}

// "input" [1,2,2,3] -> "flat" view [1,12] -> softmax "out".
inline kfm::Model image_softmax_model()
{
    return image_with("image-softmax", {f32("flat", NN_LAYER_RESHAPE, {1, 12}, {0}),
                                        f32("out", NN_LAYER_SOFTMAX, {1, 12}, {1})});
}

// "input" [1,2,2,3] -> "out" view.
inline kfm::Model image_model()
{
    return image_with("image", {f32("out", NN_LAYER_RESHAPE, {1, 12}, {0})});
}

// input then nine views: ten layers, "l0" .. "l9"; l1 is named "conv/1".
inline kfm::Model chain10()
{
    kfm::Model m;
    m.name = "chain";
    std::vector<kfm::Layer> layers{f32("l0", NN_LAYER_INPUT, {1, 4})};
    for (uint32_t i = 1; i < 10; ++i)
        layers.push_back(f32(i == 1 ? "conv/1" : "l" + std::to_string(i), NN_LAYER_RESHAPE, {1, 4}, {i - 1}));
    m.layers = layers;
    return m;
}

// "input" [1,4], constant "w" [1,4], "output" a view of input.
inline kfm::Model with_constant()
{
    kfm::Model m = classifier();
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}), constant("w", {1, 4}, {1, 2, 3, 4}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    m.outputs = std::vector<uint32_t>{2};
    return m;
}

// One large constant (about `bytes`), for block uploads.
inline kfm::Model large(size_t bytes)
{
    kfm::Model m;
    m.name = "large";
    size_t n = bytes / 4;
    std::vector<float> values(n);
    for (size_t i = 0; i < n; ++i)
        values[i] = (float)(i % 251);
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       constant("big", {1, (int32_t)n}, std::move(values)),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    return m;
}

inline kfm::Model layerless()
{
    kfm::Model m;
    m.name = "empty";
    m.layers = std::vector<kfm::Layer>{};
    return m;
}

// Requests, replies and the server wrapper are the plug-in suites' shared helpers.
using namespace plugin_call;

}  // namespace rt_test

#endif
