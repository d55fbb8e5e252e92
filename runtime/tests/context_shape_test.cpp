// Load-time refusals of layer tensors: a declared shape that the layer's
// inputs and parameters cannot produce (status 9, the layer named), and layer
// tensors outside the memory pool past the context's limit (status 3).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "kfm_writer.h"

namespace {

using kfm_test::capture;

kfm::Parameter ints(const std::string& name, std::vector<int32_t> values)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(values);
    return p;
}

kfm::Parameter text(const std::string& name, const std::string& value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_str = std::vector<std::string>{value};
    return p;
}

kfm::Parameter int16(const std::string& name, int16_t value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_i16 = std::vector<int16_t>{value};
    return p;
}

kfm::Layer with(kfm::Layer l, std::vector<kfm::Parameter> params)
{
    l.parameters = std::move(params);
    return l;
}

// A FLOAT32 constant of zeros.
kfm::Layer zeros(const std::string& name, std::vector<int32_t> shape)
{
    size_t n = 1;
    for (int32_t e : shape)
        n *= static_cast<size_t>(e);
    kfm::Layer l = kfm::layer(name, NN_LAYER_CONSTANT, shape);
    kfm::Parameter p = kfm::parameter("data");
    p.shape = shape;
    p.data_f32 = std::vector<float>(n, 0.0f);
    l.parameters = std::vector<kfm::Parameter>{p};
    return l;
}

struct Result {
    int status = -1;
    kfm_test::Streams streams;
};

// Writes and loads the model into a new context with a pool of `pool` bytes
// (none for 0); the context is released before returning.
Result load(const kfm::Model& m, size_t pool = 0)
{
    kfm::Buffer buf = kfm::write(m);
    nn_context* ctx = nn_context_init(nullptr, pool, nullptr, 0, nullptr);
    Result r;
    if (!ctx) {
        ADD_FAILURE() << "no context";
        return r;
    }
    r.streams = capture([&] { r.status = nn_context_model_load(ctx, buf.size(), buf.data()); });
    nn_context_release(ctx);
    return r;
}

kfm::Model model_of(std::vector<kfm::Layer> layers)
{
    kfm::Model m;
    m.layers = std::move(layers);
    return m;
}

// The demonstration classifier: an 8x8 RGB input, a 3x3 conv2d to [1,6,6,3],
// a 2x2 max pool, a reshape to 27 values, a dense layer and a softmax.
kfm::Model colour_model(std::vector<int32_t> conv_shape)
{
    return model_of({
        kfm::layer("input", NN_LAYER_INPUT, {1, 8, 8, 3}),
        zeros("conv_filter", {3, 3, 3, 3}),
        zeros("conv_bias", {3}),
        with(kfm::layer("conv", NN_LAYER_CONV2D, conv_shape, {0, 1, 2}),
             {ints("strides", {1, 1, 1, 1}), text("activation", "relu")}),
        with(kfm::layer("pool", NN_LAYER_POOL2D, {1, 3, 3, 3}, {3}),
             {ints("ksize", {1, 2, 2, 1}), ints("strides", {1, 2, 2, 1}), text("pooling", "MAXIMUM")}),
        kfm::layer("flatten", NN_LAYER_RESHAPE, {1, 27}, {4}),
        zeros("dense_weights", {27, 3}),
        zeros("dense_bias", {3}),
        kfm::layer("dense", NN_LAYER_DENSE, {1, 3}, {5, 6, 7}),
        kfm::layer("output", NN_LAYER_SOFTMAX, {1, 3}, {8}),
    });
}

TEST(ContextShape, DemonstrationModelWithAnImpossibleConvolutionIsRefusedPromptly)
{
    Result good = load(colour_model({1, 6, 6, 3}), 50331648);
    ASSERT_EQ(good.status, 0) << good.streams.err << good.streams.out;

    // One byte of the conv2d's rows changed: 6 -> 0x01000006.
    auto start = std::chrono::steady_clock::now();
    Result bad = load(colour_model({1, 16777222, 6, 3}), 50331648);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(bad.status, NN_ERROR_INVALID_SHAPE);
    EXPECT_NE(bad.streams.err.find("impossible shape for layer conv [conv2d]"), std::string::npos)
        << bad.streams.err;
    EXPECT_LT(seconds, 5.0);
}

// One layer "probe" after the base layers, once with a shape its inputs and
// parameters produce and once with one they cannot.
struct ShapeCase {
    const char* what;
    std::vector<kfm::Layer> base;
    kfm::Layer probe;  // shape set per run
    std::vector<int32_t> possible;
    std::vector<int32_t> impossible;
};

kfm::Layer probe(int16_t type, std::vector<uint32_t> inputs, std::vector<kfm::Parameter> params = {})
{
    kfm::Layer l = kfm::layer("probe", type, {}, std::move(inputs));
    if (!params.empty())
        l.parameters = std::move(params);
    return l;
}

std::vector<ShapeCase> shape_cases()
{
    const kfm::Layer image = kfm::layer("image", NN_LAYER_INPUT, {1, 8, 8, 3});
    const std::vector<kfm::Parameter> conv_params{ints("strides", {1, 1, 1, 1})};
    const std::vector<kfm::Parameter> strided_padded{ints("strides", {1, 2, 2, 1}),
                                                     ints("head", {0, 1, 1, 0}),
                                                     ints("tail", {0, 1, 1, 0})};
    const std::vector<kfm::Parameter> pool_params{ints("ksize", {1, 2, 2, 1}),
                                                  ints("strides", {1, 2, 2, 1}),
                                                  text("pooling", "MAXIMUM")};
    std::vector<ShapeCase> cases;
    // 8 rows, 3x3 window, stride 1: at most 8 window positions start inside.
    cases.push_back({"conv2d rows", {image, zeros("filter", {3, 3, 3, 4})},
                     probe(NN_LAYER_CONV2D, {0, 1}, conv_params), {1, 6, 6, 4}, {1, 9, 6, 4}});
    cases.push_back({"conv2d columns", {image, zeros("filter", {3, 3, 3, 4})},
                     probe(NN_LAYER_CONV2D, {0, 1}, conv_params), {1, 6, 6, 4}, {1, 6, 9, 4}});
    // 8 + 1 + 1 padded rows at stride 2: windows start at 0, 2, 4, 6, 8.
    cases.push_back({"conv2d strided and padded", {image, zeros("filter", {3, 3, 3, 4})},
                     probe(NN_LAYER_CONV2D, {0, 1}, strided_padded), {1, 5, 5, 4}, {1, 6, 5, 4}});
    cases.push_back({"conv2d batch", {image, zeros("filter", {3, 3, 3, 4})},
                     probe(NN_LAYER_CONV2D, {0, 1}, conv_params), {1, 6, 6, 4}, {2, 6, 6, 4}});
    cases.push_back({"conv2d channels", {image, zeros("filter", {3, 3, 3, 4})},
                     probe(NN_LAYER_CONV2D, {0, 1}, conv_params), {1, 6, 6, 4}, {1, 6, 6, 5}});
    // The data input named by alt_input (a 4x4 image), not input 0.
    cases.push_back({"conv2d alt_input",
                     {image, zeros("filter", {3, 3, 3, 4}), kfm::layer("small", NN_LAYER_INPUT, {1, 4, 4, 3})},
                     probe(NN_LAYER_CONV2D, {0, 1}, {ints("strides", {1, 1, 1, 1}), int16("alt_input", 2)}),
                     {1, 2, 2, 4}, {1, 6, 6, 4}});
    // 4x4 input, stride 2, 3x3 window: nothing past 4 * 2 + 3.
    cases.push_back({"deconv2d", {kfm::layer("small", NN_LAYER_INPUT, {1, 4, 4, 3}), zeros("filter", {3, 3, 4, 3})},
                     probe(NN_LAYER_DECONV2D, {0, 1}, {ints("strides", {1, 2, 2, 1})}), {1, 8, 8, 4},
                     {1, 12, 8, 4}});
    // 2x2 windows at stride 2 over 8 rows start at 0, 2, 4, 6.
    cases.push_back({"pool2d rows", {image}, probe(NN_LAYER_POOL2D, {0}, pool_params), {1, 4, 4, 3},
                     {1, 5, 4, 3}});
    cases.push_back({"pool2d channels", {image}, probe(NN_LAYER_POOL2D, {0}, pool_params),
                     {1, 4, 4, 3}, {1, 4, 4, 4}});
    cases.push_back({"pool2d batch", {image}, probe(NN_LAYER_POOL2D, {0}, pool_params),
                     {1, 4, 4, 3}, {2, 4, 4, 3}});
    // [1, 27] x [27, 3] = [1, 3].
    cases.push_back({"dense", {kfm::layer("x", NN_LAYER_INPUT, {1, 27}), zeros("w", {27, 3})},
                     probe(NN_LAYER_DENSE, {0, 1}), {1, 3}, {1, 4}});
    cases.push_back({"dense rows", {kfm::layer("x", NN_LAYER_INPUT, {1, 27}), zeros("w", {27, 3})},
                     probe(NN_LAYER_DENSE, {0, 1}), {1, 3}, {2, 3}});
    // linear weights are [N, K].
    cases.push_back({"linear", {kfm::layer("x", NN_LAYER_INPUT, {1, 27}), zeros("w", {3, 27})},
                     probe(NN_LAYER_LINEAR, {0, 1}), {1, 3}, {1, 27}});
    cases.push_back({"matmul", {kfm::layer("a", NN_LAYER_INPUT, {2, 5}), zeros("b", {5, 3})},
                     probe(NN_LAYER_MATMUL, {0, 1}), {2, 3}, {2, 4}});
    cases.push_back({"matmul transposed b", {kfm::layer("a", NN_LAYER_INPUT, {2, 5}), zeros("b", {3, 5})},
                     probe(NN_LAYER_MATMUL, {0, 1}, {int16("transpose_b", 1)}), {2, 3}, {2, 5}});
    // [1, 8, 8, 3] with [3] broadcast: 192 elements.
    cases.push_back({"add", {image, zeros("bias", {3})}, probe(NN_LAYER_ADD, {0, 1}), {1, 8, 8, 3},
                     {1, 8, 8, 4}});
    cases.push_back({"multiply broadcast", {kfm::layer("col", NN_LAYER_INPUT, {4, 1}), zeros("row", {1, 5})},
                     probe(NN_LAYER_MULTIPLY, {0, 1}), {4, 5}, {4, 6}});
    cases.push_back({"relu", {image}, probe(NN_LAYER_RELU, {0}), {1, 8, 8, 3}, {1, 8, 8, 4}});
    cases.push_back({"sigmoid", {image}, probe(NN_LAYER_SIGMOID, {0}), {1, 8, 8, 3}, {1, 9, 8, 3}});
    cases.push_back({"softmax", {kfm::layer("x", NN_LAYER_INPUT, {1, 4})}, probe(NN_LAYER_SOFTMAX, {0}),
                     {1, 4}, {1, 5}});
    cases.push_back({"concat", {image, kfm::layer("other", NN_LAYER_INPUT, {1, 8, 8, 3})},
                     probe(NN_LAYER_CONCAT, {0, 1}, {int16("axis", 3)}), {1, 8, 8, 6}, {1, 8, 8, 7}});
    cases.push_back({"slice", {image},
                     probe(NN_LAYER_SLICE, {0}, {ints("axes", {1}), ints("head", {0}), ints("tail", {4})}),
                     {1, 4, 8, 3}, {1, 9, 8, 3}});
    cases.push_back({"pad", {image},
                     probe(NN_LAYER_PAD, {0}, {ints("head", {0, 1, 2, 0}), ints("tail", {0, 1, 0, 0})}),
                     {1, 10, 10, 3}, {1, 11, 10, 3}});
    cases.push_back({"reshape", {image}, probe(NN_LAYER_RESHAPE, {0}), {1, 192}, {1, 191}});
    cases.push_back({"resize channels", {image}, probe(NN_LAYER_RESIZE, {0}), {1, 16, 16, 3},
                     {1, 16, 16, 4}});
    cases.push_back({"resize batch", {image}, probe(NN_LAYER_RESIZE, {0}), {1, 16, 16, 3},
                     {2, 16, 16, 3}});
    cases.push_back({"reduce_mean", {image}, probe(NN_LAYER_REDUCE_MEAN, {0}, {ints("axes", {1, 2})}),
                     {1, 3}, {1, 8, 3}});
    // An empty axes list reduces everything to one value.
    cases.push_back({"reduce_sum all", {image}, probe(NN_LAYER_REDUCE_SUM, {0}, {ints("axes", {})}),
                     {1}, {3}});
    return cases;
}

TEST(ContextShape, EachKindRefusesAShapeItsInputsCannotProduce)
{
    for (const ShapeCase& c : shape_cases()) {
        SCOPED_TRACE(c.what);
        std::vector<kfm::Layer> layers = c.base;
        layers.push_back(c.probe);
        layers.back().shape = c.possible;
        Result good = load(model_of(layers));
        EXPECT_EQ(good.status, 0) << good.streams.err << good.streams.out;

        layers.back().shape = c.impossible;
        Result bad = load(model_of(layers));
        EXPECT_EQ(bad.status, NN_ERROR_INVALID_SHAPE);
        EXPECT_NE(bad.streams.err.find("[ERROR] impossible shape for layer probe ["), std::string::npos)
            << bad.streams.err;
    }
}

// A rule steps aside where the layer's handler or operator decides when the
// layer runs, which refuses it there with its own message: parameters
// missing, operands that do not fit each other, a pad that the next layer
// absorbs (it never runs).
TEST(ContextShape, RulesStepAsideWhereTheHandlerDecides)
{
    const kfm::Layer image = kfm::layer("image", NN_LAYER_INPUT, {1, 8, 8, 3});
    const std::vector<kfm::Parameter> pads{ints("head", {0, 1, 1, 0}), ints("tail", {0, 1, 1, 0})};
    struct Case {
        const char* what;
        std::vector<kfm::Layer> layers;
    } cases[] = {
        {"conv2d without strides",
         {image, zeros("filter", {3, 3, 3, 4}), kfm::layer("probe", NN_LAYER_CONV2D, {1, 99, 6, 4}, {0, 1})}},
        {"pool2d with an unknown pooling",
         {image, with(kfm::layer("probe", NN_LAYER_POOL2D, {1, 99, 4, 3}, {0}),
                      {ints("ksize", {1, 2, 2, 1}), ints("strides", {1, 2, 2, 1}), text("pooling", "MEDIAN")})}},
        {"dense weights that do not fit the input",
         {kfm::layer("x", NN_LAYER_INPUT, {1, 4}), zeros("w", {5, 3}), kfm::layer("probe", NN_LAYER_DENSE, {1, 7}, {0, 1})}},
        {"concat without axis",
         {image, kfm::layer("probe", NN_LAYER_CONCAT, {1, 8, 8, 9}, {0, 0})}},
        {"pad absorbed by the next conv2d",
         {image, zeros("filter", {3, 3, 3, 4}), with(kfm::layer("probe", NN_LAYER_PAD, {1, 8, 8, 3}, {0}), pads),
          with(kfm::layer("conv", NN_LAYER_CONV2D, {1, 8, 8, 4}, {2, 1}),
               {ints("strides", {1, 1, 1, 1}), pads[0], pads[1], int16("alt_input", 0)})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = load(model_of(c.layers));
        EXPECT_EQ(r.status, 0) << r.streams.err;
    }
}

// Layers without a pool offset get memory of their own: together they may
// take as many bytes as the pool holds.
TEST(ContextShape, LayerTensorsOutsideThePoolAreBoundedByThePoolSize)
{
    std::vector<kfm::Layer> layers{kfm::layer("input", NN_LAYER_INPUT, {1, 64})};
    for (int i = 1; i < 4; ++i)
        layers.push_back(kfm::layer("relu" + std::to_string(i), NN_LAYER_RELU, {1, 64},
                                    {static_cast<uint32_t>(i - 1)}));
    Result fits = load(model_of(layers), 4 * 256);
    EXPECT_EQ(fits.status, 0) << fits.streams.err;

    layers.push_back(kfm::layer("relu4", NN_LAYER_RELU, {1, 64}, {3}));
    Result over = load(model_of(layers), 4 * 256);
    EXPECT_EQ(over.status, NN_ERROR_OUT_OF_MEMORY);
    EXPECT_NE(over.streams.err.find("[ERROR] layer relu4 [relu] needs 1280 bytes outside the memory "
                                    "pool, past the limit of 1024 bytes"),
              std::string::npos)
        << over.streams.err;

    // Layers placed in the pool do not count.
    kfm::Model pooled = model_of(layers);
    pooled.memory_block_size = 1;
    (*pooled.layers)[0].mempool_offset = 0;
    Result placed = load(pooled, 4 * 256);
    EXPECT_EQ(placed.status, 0) << placed.streams.err;
}

// Without a pool the limit is 48 MiB; a larger input is refused before any
// of it is allocated.
TEST(ContextShape, LayerTensorsWithoutAPoolAreBoundedBy48MiB)
{
    Result over = load(model_of({kfm::layer("input", NN_LAYER_INPUT, {1, 4096, 3073})}));
    EXPECT_EQ(over.status, NN_ERROR_OUT_OF_MEMORY);
    EXPECT_NE(over.streams.err.find("[ERROR] layer input [input] needs 50348032 bytes outside the "
                                    "memory pool, past the limit of 50331648 bytes"),
              std::string::npos)
        << over.streams.err;
    Result fits = load(model_of({kfm::layer("input", NN_LAYER_INPUT, {1, 4096, 3072})}));
    EXPECT_EQ(fits.status, 0) << fits.streams.err;
    // A shape no tensor can have keeps the allocation's own refusal.
    Result shapeless = load(model_of({kfm::layer("input", NN_LAYER_INPUT, {65536, 65536})}));
    EXPECT_EQ(shapeless.status, NN_ERROR_INVALID_SHAPE);
    EXPECT_EQ(shapeless.streams.err.find("[ERROR] failed to allocate tensor for layer input [input]: "), 0u)
        << shapeless.streams.err;
}

}  // namespace
