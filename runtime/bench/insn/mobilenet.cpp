// The benchmark network (mobilenet.h).
#include "mobilenet.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>


namespace mobilenet {

namespace {

constexpr uint32_t kBlock = 64;

kfm::Parameter ints(const std::string& name, std::vector<int32_t> v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(v);
    return p;
}

kfm::Parameter text(const std::string& name, const std::string& value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_str = std::vector<std::string>{value};
    return p;
}

kfm::Parameter small_int(const std::string& name, int16_t v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_i16 = std::vector<int16_t>{v};
    return p;
}

}  // namespace

void quantise_weights(const std::vector<float>& w, int ch, std::vector<int8_t>* q,
                      std::vector<float>* scales)
{
    scales->assign(static_cast<size_t>(ch), 0.0f);
    for (size_t i = 0; i < w.size(); ++i) {
        float& s = (*scales)[i % static_cast<size_t>(ch)];
        s = std::fmax(s, std::fabs(w[i]));
    }
    for (float& s : *scales)
        s = s > 0 ? s / 127.0f : 1.0f;
    q->resize(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        const float v = std::nearbyint(w[i] / (*scales)[i % static_cast<size_t>(ch)]);
        (*q)[i] = static_cast<int8_t>(v > 127 ? 127 : v < -127 ? -127 : v);
    }
}

Weights weights()
{
    Random rnd;
    Weights wt;
    for (const Conv& c : kConvs) {
        const int fan_in = c.depthwise ? c.k * c.k : c.k * c.k * c.cin;
        std::vector<float> w(static_cast<size_t>(fan_in) * static_cast<size_t>(c.cout));
        const float amp = std::sqrt(6.0f / static_cast<float>(fan_in));
        for (float& v : w)
            v = amp * rnd.uniform();
        std::vector<float> bias(static_cast<size_t>(c.cout));
        for (float& v : bias)
            v = 0.25f * rnd.uniform() + 0.25f;
        wt.conv_w.push_back(std::move(w));
        wt.conv_b.push_back(std::move(bias));
    }
    const int ch = kConvs[kConvCount - 1].cout;
    wt.dense_w.resize(static_cast<size_t>(ch) * kClasses);
    wt.dense_b.resize(kClasses);
    for (float& v : wt.dense_w)
        v = 0.2f * rnd.uniform();
    for (float& v : wt.dense_b)
        v = 0.1f * rnd.uniform();
    return wt;
}

std::vector<float> input()
{
    Random rnd;
    rnd.s = 0x9e3779b97f4a7c15ULL;
    std::vector<float> x(static_cast<size_t>(kSize) * kSize * 3);
    for (float& v : x)
        v = rnd.uniform() * 1.5f;
    return x;
}

void set_input(nn_tensor* in, bool int8)
{
    const std::vector<float> x = input();
    void* p = nn_tensor_mapwo(in);
    if (!p)
        return;
    const size_t n = std::min(x.size(), static_cast<size_t>(nn_tensor_volume(in)));
    for (size_t i = 0; i < n; ++i) {
        if (int8)
            static_cast<int8_t*>(p)[i] = static_cast<int8_t>(std::nearbyint(x[i] / kInputScale));
        else
            static_cast<float*>(p)[i] = x[i];
    }
    nn_tensor_unmap(in);
}

Network build(bool int8)
{
    const Weights wt = weights();
    Network net;
    std::vector<kfm::Layer> layers;
    // The layer's output in the memory pool, after every earlier one.
    auto quantise_as = [&](kfm::Layer* l, float scale, int32_t zero) {
        size_t elems = 1;
        for (int32_t d : *l->shape)
            elems *= static_cast<size_t>(d);
        l->mempool_offset = static_cast<uint32_t>(net.pool_bytes / kBlock);
        net.pool_bytes += (elems * (int8 ? 1 : 4) + kBlock - 1) / kBlock * kBlock;
        if (int8) {
            l->datatype = NN_TYPE_I8;
            l->scales = std::vector<float>{scale};
            l->zeros = std::vector<int32_t>{zero};
        } else {
            l->datatype = NN_TYPE_F32;
        }
    };
    // Weights of a layer: FLOAT32, or INT8 per channel with its INT32 bias
    // (scale s_in * s_w[c]).  Returns the indices of the filter and bias.
    auto constants = [&](const std::string& name, std::vector<int32_t> shape,
                         const std::vector<float>& w, const std::vector<float>& bias,
                         float in_scale) {
        const int ch = shape.back();
        kfm::Layer f = kfm::layer(name + "/w", NN_LAYER_CONSTANT, shape);
        kfm::Parameter fd = kfm::parameter("data");
        fd.shape = shape;
        kfm::Layer b = kfm::layer(name + "/b", NN_LAYER_CONSTANT, {ch});
        kfm::Parameter bd = kfm::parameter("data");
        bd.shape = std::vector<int32_t>{ch};
        if (int8) {
            std::vector<int8_t> q;
            std::vector<float> s;
            quantise_weights(w, ch, &q, &s);
            fd.data_i8 = q;
            f.datatype = NN_TYPE_I8;
            f.scales = s;
            f.zeros = std::vector<int32_t>(static_cast<size_t>(ch), 0);
            f.axis = static_cast<int8_t>(shape.size() - 1);
            std::vector<int32_t> qb(static_cast<size_t>(ch));
            std::vector<float> bs(static_cast<size_t>(ch));
            for (int c = 0; c < ch; ++c) {
                bs[static_cast<size_t>(c)] = in_scale * s[static_cast<size_t>(c)];
                qb[static_cast<size_t>(c)] =
                    static_cast<int32_t>(std::nearbyint(bias[static_cast<size_t>(c)] / bs[static_cast<size_t>(c)]));
            }
            bd.data_i32 = qb;
            b.datatype = NN_TYPE_I32;
            b.scales = bs;
            b.zeros = std::vector<int32_t>(static_cast<size_t>(ch), 0);
        } else {
            fd.data_f32 = w;
            f.datatype = NN_TYPE_F32;
            bd.data_f32 = bias;
            b.datatype = NN_TYPE_F32;
        }
        f.parameters = std::vector<kfm::Parameter>{fd};
        b.parameters = std::vector<kfm::Parameter>{bd};
        layers.push_back(f);
        layers.push_back(b);
        return std::make_pair(static_cast<uint32_t>(layers.size() - 2),
                              static_cast<uint32_t>(layers.size() - 1));
    };

    kfm::Layer in = kfm::layer("input", NN_LAYER_INPUT, {1, kSize, kSize, 3});
    quantise_as(&in, kInputScale, 0);
    layers.push_back(in);
    uint32_t prev = 0;
    float prev_scale = kInputScale;
    int size = kSize;
    for (const Conv& c : kConvs) {
        const int out = c.stride == 2 ? size / 2 : size;
        const std::vector<int32_t> shape = c.depthwise
                                               ? std::vector<int32_t>{c.k, c.k, 1, c.cout}
                                               : std::vector<int32_t>{c.k, c.k, c.cin, c.cout};
        const size_t at = static_cast<size_t>(&c - kConvs);
        const auto fb = constants(c.name, shape, wt.conv_w[at], wt.conv_b[at], prev_scale);
        kfm::Layer l = kfm::layer(c.name, NN_LAYER_CONV2D, {1, out, out, c.cout},
                                  {prev, fb.first, fb.second});
        quantise_as(&l, kRelu6Scale, kRelu6Zero);
        // "same" padding: the extra row and column of an even input at the end
        const int pad_head = c.k == 3 && c.stride == 1 ? 1 : 0;
        const int pad_tail = c.k == 3 ? 1 : 0;
        std::vector<kfm::Parameter> params{ints("strides", {1, c.stride, c.stride, 1}),
                                           ints("head", {0, pad_head, pad_head, 0}),
                                           ints("tail", {0, pad_tail, pad_tail, 0}),
                                           text("activation", "RELU6")};
        if (c.depthwise)
            params.push_back(small_int("groups", static_cast<int16_t>(c.cout)));
        l.parameters = params;
        layers.push_back(l);
        prev = static_cast<uint32_t>(layers.size() - 1);
        prev_scale = kRelu6Scale;
        const double macs = static_cast<double>(out) * out * c.cout * (c.depthwise ? c.k * c.k : c.k * c.k * c.cin);
        net.steps.push_back({prev, c.name, macs});
        net.macs += macs;
        size = out;
    }
    const int ch = kConvs[kConvCount - 1].cout;
    kfm::Layer pool = kfm::layer("average pool", NN_LAYER_POOL2D, {1, 1, 1, ch}, {prev});
    quantise_as(&pool, kRelu6Scale, kRelu6Zero);
    pool.parameters = std::vector<kfm::Parameter>{ints("ksize", {1, size, size, 1}),
                                                  ints("strides", {1, 1, 1, 1}),
                                                  text("pooling", "AVERAGE")};
    layers.push_back(pool);
    prev = static_cast<uint32_t>(layers.size() - 1);
    net.steps.push_back({prev, "average pool", 0});

    const auto fb = constants("dense", {ch, kClasses}, wt.dense_w, wt.dense_b, kRelu6Scale);
    // a view of the pool's output, quantised alike
    kfm::Layer flat = kfm::layer("flatten", NN_LAYER_RESHAPE, {1, ch}, {prev});
    flat.datatype = pool.datatype;
    flat.scales = pool.scales;
    flat.zeros = pool.zeros;
    layers.push_back(flat);
    kfm::Layer dense = kfm::layer("dense 256->10", NN_LAYER_DENSE, {1, kClasses},
                                  {static_cast<uint32_t>(layers.size() - 1), fb.first, fb.second});
    quantise_as(&dense, 1.0f / 16.0f, 0);
    layers.push_back(dense);
    net.steps.push_back({static_cast<uint32_t>(layers.size() - 1), "dense 256->10",
                         static_cast<double>(ch) * kClasses});
    net.macs += static_cast<double>(ch) * kClasses;
    kfm::Layer soft = kfm::layer("softmax", NN_LAYER_SOFTMAX, {1, kClasses},
                                 {static_cast<uint32_t>(layers.size() - 1)});
    quantise_as(&soft, kOutputScale, kOutputZero);
    layers.push_back(soft);
    net.steps.push_back({static_cast<uint32_t>(layers.size() - 1), "softmax", 0});

    kfm::Model m;
    m.memory_block_size = kBlock;
    m.layers = layers;
    m.outputs = std::vector<uint32_t>{static_cast<uint32_t>(layers.size() - 1)};
    net.buffer = kfm::write(m);
    return net;
}

}  // namespace mobilenet
