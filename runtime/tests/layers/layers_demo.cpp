// Demonstration: writes a conv2d -> pool2d -> dense model, runs it, prints
// each layer's time and the output, and checks the output against naive
// loops computed here.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"

namespace {

kfm::Parameter list(const std::string& name, std::vector<int32_t> v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(v);
    return p;
}

kfm::Parameter text(const std::string& name, const std::string& v)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_str = std::vector<std::string>{v};
    return p;
}

kfm::Layer constant(const std::string& name, std::vector<int32_t> shape, std::vector<float> values)
{
    kfm::Layer l = kfm::layer(name, NN_LAYER_CONSTANT, shape);
    kfm::Parameter p = kfm::parameter("data");
    p.shape = shape;
    p.data_f32 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return l;
}

}  // namespace

int main()
{
    // image [1, 6, 6, 1] -> conv2d 3x3, 2 filters, relu, padding 1 -> [1, 6, 6, 2]
    // -> max pool 2x2 stride 2 -> [1, 3, 3, 2] -> reshape [1, 18] -> dense 3.
    std::vector<float> filt(18), dense_w(54), image(36);
    for (size_t i = 0; i < filt.size(); ++i)
        filt[i] = (i % 2 ? -0.25f : 0.5f) * static_cast<float>(1 + i % 3);
    for (size_t i = 0; i < dense_w.size(); ++i)
        dense_w[i] = 0.1f * static_cast<float>(static_cast<int>(i % 7) - 3);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<float>((i * 5) % 11) - 4.0f;
    const std::vector<float> conv_b = {0.5f, -0.5f}, dense_b = {1.0f, 0.0f, -1.0f};

    kfm::Model m;
    m.memory_block_size = 16;
    kfm::Layer conv = kfm::layer("conv", NN_LAYER_CONV2D, {1, 6, 6, 2}, {0, 1, 2});
    conv.parameters = std::vector<kfm::Parameter>{list("strides", {1, 1, 1, 1}), list("head", {0, 1, 1, 0}),
                                                  list("tail", {0, 1, 1, 0}), text("activation", "RELU")};
    kfm::Layer pool = kfm::layer("pool", NN_LAYER_POOL2D, {1, 3, 3, 2}, {3});
    pool.parameters = std::vector<kfm::Parameter>{list("ksize", {1, 2, 2, 1}), list("strides", {1, 2, 2, 1}),
                                                  text("pooling", "MAXIMUM")};
    m.layers = std::vector<kfm::Layer>{
        kfm::layer("image", NN_LAYER_INPUT, {1, 6, 6, 1}),
        constant("filter", {3, 3, 1, 2}, filt),
        constant("conv_bias", {2}, conv_b),
        conv,
        pool,
        kfm::layer("flat", NN_LAYER_RESHAPE, {1, 18}, {4}),
        constant("weights", {18, 3}, dense_w),
        constant("dense_bias", {3}, dense_b),
        kfm::layer("scores", NN_LAYER_DENSE, {1, 3}, {5, 6, 7}),
    };
    kfm::Buffer buf = kfm::write(m);

    nn_context* ctx = nn_context_init(nullptr, 0, nullptr, 1 << 16, nullptr);
    if (!ctx || nn_context_model_load(ctx, buf.size(), buf.data()) != 0) {
        std::printf("load failed\n");
        return 1;
    }
    nn_tensor* in = nn_context_tensor(ctx, "image");
    float* p = static_cast<float*>(nn_tensor_mapwo(in));
    for (size_t i = 0; i < image.size(); ++i)
        p[i] = image[i];
    nn_tensor_unmap(in);
    int status = nn_context_run(ctx);
    if (status != 0) {
        std::printf("run failed: %s\n", nn_strerror(status));
        return 1;
    }
    for (const char* name : {"conv", "pool", "scores"})
        std::printf("%-8s %10lld ns\n", name, static_cast<long long>(nn_tensor_time(nn_context_tensor(ctx, name))));
    nn_tensor* out = nn_context_tensor(ctx, "scores");
    std::printf("output: ");
    nn_tensor_printf(out, true, stdout);
    std::printf("\n");

    // Reference.
    double c[6][6][2], q[3][3][2], s[3];
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            for (int o = 0; o < 2; ++o) {
                double a = conv_b[static_cast<size_t>(o)];
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) {
                        int yy = y + i - 1, xx = x + j - 1;
                        if (yy >= 0 && yy < 6 && xx >= 0 && xx < 6)
                            a += image[static_cast<size_t>(yy * 6 + xx)] * filt[static_cast<size_t>((i * 3 + j) * 2 + o)];
                    }
                c[y][x][o] = a > 0 ? a : 0;
            }
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            for (int o = 0; o < 2; ++o)
                q[y][x][o] = std::fmax(std::fmax(c[2 * y][2 * x][o], c[2 * y][2 * x + 1][o]),
                                       std::fmax(c[2 * y + 1][2 * x][o], c[2 * y + 1][2 * x + 1][o]));
    const float* r = static_cast<const float*>(nn_tensor_mapro(out));
    int bad = 0;
    for (int n = 0; n < 3; ++n) {
        s[n] = dense_b[static_cast<size_t>(n)];
        for (int k = 0; k < 18; ++k)
            s[n] += (&q[0][0][0])[k] * dense_w[static_cast<size_t>(k * 3 + n)];
        bad += std::fabs(r[n] - s[n]) > 1e-4 * std::fmax(1.0, std::fabs(s[n]));
    }
    nn_tensor_unmap(out);
    std::printf("reference: %.4f %.4f %.4f %s\n", s[0], s[1], s[2], bad ? "MISMATCH" : "match");
    nn_context_release(ctx);
    return bad ? 1 : 0;
}
