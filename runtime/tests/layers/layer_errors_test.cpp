// Every parameter and input-count refusal of the layer handlers: status, the
// exact message on its stream, and the output left unwritten.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layer_test_util.h"

namespace {

using namespace layer_test;
using kfm::Layer;
using kfm::Parameter;

struct Row {
    std::string what;
    std::vector<Layer> layers;  // the layer under test is named "L"
    size_t step;
    int status;
    std::string out;
    std::string err;
};

const std::vector<int32_t> kImage = {1, 4, 4, 1};

std::vector<Layer> with_inputs(int16_t type, size_t n, std::vector<Parameter> params = {})
{
    std::vector<Layer> layers;
    std::vector<uint32_t> inputs;
    for (size_t i = 0; i < n; ++i) {
        layers.push_back(input("i" + std::to_string(i), kImage));
        inputs.push_back(static_cast<uint32_t>(i));
    }
    layers.push_back(op("L", type, kImage, inputs, std::move(params)));
    return layers;
}

Parameter strides3() { return list("strides", {1, 1, 1}); }

std::vector<Row> rows()
{
    const std::string miss = "missing required parameter: ";
    const std::string nodata = "missing required parameter data: ";
    std::vector<Row> r;
    auto add = [&](std::string what, std::vector<Layer> layers, int status, std::string out,
                   std::string err = "") {
        size_t at = layers.size() - 1;
        r.push_back({std::move(what), std::move(layers), at, status, std::move(out), std::move(err)});
    };

    // concat
    add("concat without parameters", with_inputs(NN_LAYER_CONCAT, 2), 6,
        "do_concat [L] " + miss + "axis\r\n");
    add("concat axis without integer", with_inputs(NN_LAYER_CONCAT, 2, {bare("axis")}), 6,
        "do_concat [L] " + nodata + "axis\r\n");
    add("concat of 17", with_inputs(NN_LAYER_CONCAT, 17, {integer("axis", 3)}), 6,
        "do_concat [L] requested 17 tensors to concatenate but maximum is 16\n");

    // slice
    add("slice without axes", with_inputs(NN_LAYER_SLICE, 1, {list("head", {0})}), 6,
        "do_slice [L] " + miss + "axes\r\n");
    add("slice head of one for two axes",
        with_inputs(NN_LAYER_SLICE, 1, {list("axes", {1, 2}), list("head", {0})}), 6, "",
        "do_slice [L] n_axes 2 requires head to be null or matching\n");
    add("slice tail of three for two axes",
        with_inputs(NN_LAYER_SLICE, 1, {list("axes", {1, 2}), list("tail", {1, 1, 1})}), 6, "",
        "do_slice [L] n_axes 2 requires tail to be null or matching\n");
    add("slice head without list for one axis",
        with_inputs(NN_LAYER_SLICE, 1, {list("axes", {1}), bare("head")}), 6, "",
        "do_slice [L] n_axes 1 requires head to be null or matching\n");
    add("slice head checked before tail",
        with_inputs(NN_LAYER_SLICE, 1, {list("axes", {1}), list("tail", {}), list("head", {})}), 6,
        "", "do_slice [L] n_axes 1 requires head to be null or matching\n");
    add("slice without inputs", with_inputs(NN_LAYER_SLICE, 0, {list("axes", {1})}), 6, "",
        "do_slice [L] missing 1 required inputs, has 0\r\n");

    // shuffle, reductions
    add("shuffle without axes", with_inputs(NN_LAYER_SHUFFLE, 1), 6,
        "do_shuffle [L] " + miss + "axes\r\n");
    const std::pair<int16_t, const char*> reductions[] = {
        {NN_LAYER_REDUCE_SUM, "do_reduce_sum"},   {NN_LAYER_REDUCE_MIN, "do_reduce_min"},
        {NN_LAYER_REDUCE_MAX, "do_reduce_max"},   {NN_LAYER_REDUCE_MEAN, "do_reduce_mean"},
        {NN_LAYER_REDUCE_PRODUCT, "do_reduce_product"}};
    for (auto [type, label] : reductions)
        add(std::string(label) + " without axes", with_inputs(type, 1, {bare("keep")}), 6,
            std::string(label) + " [L] " + miss + "axes\r\n");

    // swish
    add("swish without parameters", with_inputs(NN_LAYER_SWISH, 1), 6,
        "do_swish [L] " + miss + "beta\r\n");
    add("swish with hard only", with_inputs(NN_LAYER_SWISH, 1, {bare("hard")}), 6,
        "do_swish [L] " + miss + "beta\r\n");
    add("swish with beta only", with_inputs(NN_LAYER_SWISH, 1, {bare("beta")}), 6,
        "do_swish [L] " + miss + "hard\r\n");

    // pad
    add("pad without parameters", with_inputs(NN_LAYER_PAD, 1), 6, "do_pad [L] " + miss + "head\r\n");
    add("pad with head only", with_inputs(NN_LAYER_PAD, 1, {list("head", {0, 0, 0, 0})}), 6,
        "do_pad [L] " + miss + "tail\r\n");
    add("pad head of two", with_inputs(NN_LAYER_PAD, 1, {list("head", {0, 1}), list("tail", {0, 0, 0})}),
        6, "do_pad [L] parameter head requires 3 entries, has 2\r\n");
    add("pad tail without list",
        with_inputs(NN_LAYER_PAD, 1, {list("head", {0, 0, 0}), bare("tail")}), 6,
        "do_pad [L] parameter tail requires 3 entries, has 0\r\n");
    {
        auto layers = with_inputs(NN_LAYER_PAD, 1, {list("head", {0, 0, 0}), list("tail", {0, 0, 0})});
        layers.push_back(op("next", NN_LAYER_POOL2D, kImage, {1}, {bare("alt_input")}));
        r.push_back({"pad before a layer whose alt_input has no integer", layers, 1, 6,
                     "do_pad [next] " + nodata + "alt_input\r\n", ""});
    }
    {
        auto layers = with_inputs(NN_LAYER_PAD, 0, {list("head", {0, 0, 0}), list("tail", {0, 0, 0})});
        layers.push_back(op("next", NN_LAYER_POOL2D, kImage, {0}, {integer("alt_input", 0)}));
        r.push_back({"pad without inputs before an absorbing layer", layers, 0, 6, "",
                     "do_pad [L] missing 1 required inputs, has 0\r\n"});
    }
    add("pad without inputs",
        with_inputs(NN_LAYER_PAD, 0, {list("head", {0, 0, 0}), list("tail", {0, 0, 0})}), 6, "",
        "do_pad [L] missing 1 required inputs, has 0\r\n");

    // pool2d
    const Parameter k = list("ksize", {1, 2, 2, 1}), s = list("strides", {1, 2, 2, 1});
    add("pool2d without parameters", with_inputs(NN_LAYER_POOL2D, 1), 6,
        "do_pool2d [L] " + miss + "ksize\r\n");
    add("pool2d with strides and pooling only",
        with_inputs(NN_LAYER_POOL2D, 1, {s, text("pooling", "MAXIMUM")}), 6,
        "do_pool2d [L] " + miss + "ksize\r\n");
    add("pool2d without strides", with_inputs(NN_LAYER_POOL2D, 1, {k, text("pooling", "MAXIMUM")}), 6,
        "do_pool2d [L] " + miss + "strides\r\n");
    add("pool2d without pooling", with_inputs(NN_LAYER_POOL2D, 1, {k, s}), 6,
        "do_pool2d [L] " + miss + "pooling\r\n");
    add("pool2d ksize of two", with_inputs(NN_LAYER_POOL2D, 1, {list("ksize", {1, 2}), s, text("pooling", "MAXIMUM")}),
        6, "do_pool2d [L] parameter ksize requires 3 entries, has 2\r\n");
    add("pool2d strides without list", with_inputs(NN_LAYER_POOL2D, 1, {k, bare("strides"), text("pooling", "MAXIMUM")}),
        6, "do_pool2d [L] parameter strides requires 3 entries, has 0\r\n");
    add("pool2d pooling without text", with_inputs(NN_LAYER_POOL2D, 1, {k, s, bare("pooling")}), 6,
        "do_pool2d [L] " + nodata + "pooling\r\n");
    add("pool2d pooling in lower case", with_inputs(NN_LAYER_POOL2D, 1, {k, s, text("pooling", "maximum")}),
        5, "do_pool2d [L] unsupported pooling type: maximum\r\n");
    add("pool2d pooling MIN", with_inputs(NN_LAYER_POOL2D, 1, {k, s, text("pooling", "MIN")}), 5,
        "do_pool2d [L] unsupported pooling type: MIN\r\n");
    add("pool2d alt_input without integer",
        with_inputs(NN_LAYER_POOL2D, 1, {k, s, text("pooling", "MAXIMUM"), bare("alt_input")}), 6,
        "do_pool2d [L] " + nodata + "alt_input\r\n");
    add("pool2d alt_input past the layers",
        with_inputs(NN_LAYER_POOL2D, 1, {k, s, text("pooling", "MAXIMUM"), integer("alt_input", 2)}), 6,
        "do_pool2d [L] alt_input 2 is not a layer of the model\r\n");
    add("pool2d negative alt_input",
        with_inputs(NN_LAYER_POOL2D, 1, {k, s, text("pooling", "MAXIMUM"), integer("alt_input", -1)}), 6,
        "do_pool2d [L] alt_input -1 is not a layer of the model\r\n");
    add("pool2d without inputs", with_inputs(NN_LAYER_POOL2D, 0, {k, s, text("pooling", "MAXIMUM")}), 6,
        "", "do_pool2d [L] missing 1 required inputs, has 0\r\n");

    // conv2d, in its order of checks
    add("conv2d without parameters", with_inputs(NN_LAYER_CONV2D, 0), 6,
        "do_conv2d [L] " + miss + "strides\r\n");
    add("conv2d strides of two", with_inputs(NN_LAYER_CONV2D, 2, {list("strides", {1, 1})}), 6,
        "do_conv2d [L] parameter strides requires 3 entries, has 2\r\n");
    add("conv2d with one input", with_inputs(NN_LAYER_CONV2D, 1, {strides3(), bare("groups")}), 6, "",
        "do_conv2d [L] missing 2 required inputs, has 1\r\n");
    add("conv2d groups without integer",
        with_inputs(NN_LAYER_CONV2D, 2, {strides3(), bare("groups"), text("activation", "SOFTMAX")}), 6,
        "", "missing data from groups paramter\r\n");
    {
        Parameter g = bare("groups");
        g.data_i16 = std::vector<int16_t>{};
        add("conv2d groups with an empty integer vector", with_inputs(NN_LAYER_CONV2D, 2, {strides3(), g}),
            6, "", "missing data from groups paramter\r\n");
    }
    add("conv2d unknown activation",
        with_inputs(NN_LAYER_CONV2D, 2, {strides3(), text("activation", "SOFTMAX"), list("dilations", {1})}),
        6, "", "unsupported activation for conv: SOFTMAX\r\n");
    add("conv2d activation without text", with_inputs(NN_LAYER_CONV2D, 2, {strides3(), bare("activation")}),
        6, "do_conv2d [L] " + nodata + "activation\r\n");
    add("conv2d dilations of one", with_inputs(NN_LAYER_CONV2D, 2, {strides3(), list("dilations", {1}), bare("alt_input")}),
        6, "do_conv2d [L] parameter dilations requires 3 entries, has 1\r\n");
    add("conv2d alt_input without integer", with_inputs(NN_LAYER_CONV2D, 2, {strides3(), bare("alt_input")}),
        6, "do_conv2d [L] " + nodata + "alt_input\r\n");
    add("conv2d alt_input naming itself past the layers",
        with_inputs(NN_LAYER_CONV2D, 2, {strides3(), integer("alt_input", 30)}), 6,
        "do_conv2d [L] alt_input 30 is not a layer of the model\r\n");

    // deconv2d
    add("deconv2d without parameters", with_inputs(NN_LAYER_DECONV2D, 2), 6,
        "do_deconv2d [L] " + miss + "strides\r\n");
    add("deconv2d with one input", with_inputs(NN_LAYER_DECONV2D, 1, {strides3()}), 6, "",
        "do_deconv2d [L] missing 2 required inputs, has 1\r\n");
    add("deconv2d unknown activation", with_inputs(NN_LAYER_DECONV2D, 2, {strides3(), text("activation", "gelu")}),
        6, "", "unsupported activation for conv: gelu\r\n");

    // linear, dense, matmul
    add("linear unknown activation", with_inputs(NN_LAYER_LINEAR, 2, {text("activation", "swish")}), 6, "",
        "unsupported activation for linear: swish\r\n");
    add("linear with one input", with_inputs(NN_LAYER_LINEAR, 1), 6, "",
        "do_linear [L] missing 2 required inputs, has 1\r\n");
    add("dense unknown activation", with_inputs(NN_LAYER_DENSE, 3, {text("activation", "RELU7")}), 6, "",
        "unsupported activation for dense: RELU7\r\n");
    add("dense activation without text", with_inputs(NN_LAYER_DENSE, 2, {bare("activation")}), 6,
        "do_dense [L] " + nodata + "activation\r\n");
    add("matmul with one input", with_inputs(NN_LAYER_MATMUL, 1, {bare("transpose_b")}), 6, "",
        "do_matmul [L] missing 2 required inputs, has 1\r\n");

    // resize
    add("resize align_corners without integer", with_inputs(NN_LAYER_RESIZE, 1, {bare("align_corners")}),
        6, "do_resize [L] " + nodata + "align_corners\r\n");
    add("resize half_pixel_centers without integer",
        with_inputs(NN_LAYER_RESIZE, 1, {integer("align_corners", 1), bare("half_pixel_centers")}), 6,
        "do_resize [L] " + nodata + "half_pixel_centers\r\n");
    add("resize without inputs", with_inputs(NN_LAYER_RESIZE, 0, {bare("mode")}), 6, "",
        "do_resize [L] missing 1 required inputs, has 0\r\n");

    // exact input counts
    const std::pair<int16_t, const char*> threes[] = {
        {NN_LAYER_SVM_UPDATE_KERNEL, "do_svm_update_kernel"},
        {NN_LAYER_SVM_DECISION_STATS, "do_svm_decision_stats"},
        {NN_LAYER_SVM_SOFT_PROBABILITY, "do_svm_soft_probability"},
        {NN_LAYER_DECODE_CENTERNET, "do_decode_centernet"}};
    for (auto [type, label] : threes)
        for (size_t n : {0, 2, 4})
            add(std::string(label) + " with " + std::to_string(n) + " inputs", with_inputs(type, n), 6, "",
                std::string(label) + " [L] missing 3 required inputs, has " + std::to_string(n) + "\r\n");

    // operators called straight from the step
    const std::pair<int16_t, const char*> binaries[] = {
        {NN_LAYER_ADD, "do_add"}, {NN_LAYER_SUBTRACT, "do_subtract"}, {NN_LAYER_MULTIPLY, "do_multiply"},
        {NN_LAYER_DIVIDE, "do_divide"}, {NN_LAYER_PRELU, "do_prelu"}};
    for (auto [type, label] : binaries)
        add(std::string(label) + " with one input", with_inputs(type, 1), 6, "",
            std::string(label) + " [L] missing 2 required inputs, has 1\r\n");
    const std::pair<int16_t, const char*> unaries[] = {
        {NN_LAYER_ABS, "do_abs"},         {NN_LAYER_SQRT, "do_sqrt"},     {NN_LAYER_RSQRT, "do_rsqrt"},
        {NN_LAYER_LOG, "do_log"},         {NN_LAYER_EXP, "do_exp"},       {NN_LAYER_SIGMOID, "do_sigmoid"},
        {NN_LAYER_TANH, "do_tanh"},       {NN_LAYER_RELU, "do_relu"},     {NN_LAYER_RELU6, "do_relu6"},
        {NN_LAYER_SOFTMAX, "do_softmax"}, {NN_LAYER_LEAKY_RELU, "do_leaky_relu"}};
    for (auto [type, label] : unaries)
        add(std::string(label) + " without inputs", with_inputs(type, 0), 6, "",
            std::string(label) + " [L] missing 1 required inputs, has 0\r\n");
    add("batchnorm with five inputs", with_inputs(NN_LAYER_BATCHNORM, 5), 6, "", "");
    return r;
}

class LayerErrors : public Layers {};

TEST_F(LayerErrors, EveryRefusalHasItsStatusMessageAndLeavesTheOutputUnwritten)
{
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.what);
        Load(row.layers);
        nn_tensor* out = t(row.step);
        ASSERT_NE(out, nullptr);
        const std::vector<float> sentinel = iota(static_cast<size_t>(nn_tensor_volume(out)), 0.5f);
        set(row.step, sentinel);
        Streams s;
        EXPECT_EQ(step(row.step, &s), row.status);
        EXPECT_EQ(s.out, row.out);
        EXPECT_EQ(s.err, row.err);
        EXPECT_EQ(get(row.step), sentinel);
        nn_context_release(ctx);
        ctx = nullptr;
    }
}

}  // namespace
