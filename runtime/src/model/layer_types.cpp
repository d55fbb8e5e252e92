/* Names of the layer type codes, as nn_model_layer_type reports them. */
#include <array>

#include "kestrune/nn.h"
#include "model/model_internal.h"

namespace kestrune {
namespace {

struct LayerTypeName {
    int code;
    const char* name;
};

constexpr LayerTypeName layer_type_names[] = {
    {NN_LAYER_NONE, "none"},
    {NN_LAYER_INPUT, "input"},
    {NN_LAYER_CONSTANT, "constant"},
    {NN_LAYER_VARIABLE, "variable"},
    {NN_LAYER_PAD, "pad"},
    {NN_LAYER_CONCAT, "concat"},
    {NN_LAYER_SLICE, "slice"},
    {NN_LAYER_SHUFFLE, "shuffle"},
    {NN_LAYER_COPY, "copy"},
    {NN_LAYER_FILL, "fill"},
    {NN_LAYER_QUANT, "quant"},
    {NN_LAYER_DEQUANT, "dequant"},
    {NN_LAYER_RESIZE, "resize"},
    {NN_LAYER_ADD, "add"},
    {NN_LAYER_SUBTRACT, "subtract"},
    {NN_LAYER_MULTIPLY, "multiply"},
    {NN_LAYER_DIVIDE, "divide"},
    {NN_LAYER_ABS, "abs"},
    {NN_LAYER_SQRT, "sqrt"},
    {NN_LAYER_RSQRT, "rsqrt"},
    {NN_LAYER_LOG, "log"},
    {NN_LAYER_EXP, "exp"},
    {NN_LAYER_POW, "pow"},
    {NN_LAYER_SIGMOID, "sigmoid"},
    {NN_LAYER_TANH, "tanh"},
    {NN_LAYER_RELU, "relu"},
    {NN_LAYER_RELU6, "relu6"},
    {NN_LAYER_SOFTMAX, "softmax"},
    {NN_LAYER_PRELU, "prelu"},
    {NN_LAYER_LEAKY_RELU, "leaky_relu"},
    {NN_LAYER_ELU, "elu"},
    {NN_LAYER_SWISH, "swish"},
    {NN_LAYER_MISH, "mish"},
    {NN_LAYER_MATMUL, "matmul"},
    {NN_LAYER_DENSE, "dense"},
    {NN_LAYER_LINEAR, "linear"},
    {NN_LAYER_CONV2D, "conv2d"},
    {NN_LAYER_POOL2D, "pool2d"},
    {NN_LAYER_DECONV2D, "deconv2d"},
    {NN_LAYER_REDUCE_SUM, "reduce_sum"},
    {NN_LAYER_REDUCE_MIN, "reduce_min"},
    {NN_LAYER_REDUCE_MAX, "reduce_max"},
    {NN_LAYER_REDUCE_MEAN, "reduce_mean"},
    {NN_LAYER_REDUCE_PRODUCT, "reduce_product"},
    {NN_LAYER_GRU, "gru"},
    {NN_LAYER_RESHAPE, "reshape"},
    {NN_LAYER_BATCHNORM, "batchnorm"},
    {NN_LAYER_SOFTPLUS, "softplus"},
    {NN_LAYER_NMS, "nms"},
    {NN_LAYER_IMAGE_STANDARDIZE, "image_standardize"},
    {NN_LAYER_SVM, "svm"},
    {NN_LAYER_SVM_UPDATE_KERNEL, "svm_update_kernel"},
    {NN_LAYER_SVM_DECISION_STATS, "svm_decision_stats"},
    {NN_LAYER_SVM_SOFT_PROBABILITY, "svm_soft_probability"},
    {NN_LAYER_DECODE, "decode"},
    {NN_LAYER_DECODE_SSD, "decode_ssd"},
    {NN_LAYER_DECODE_CENTERNET, "decode_centernet"},
    {NN_LAYER_DECODE_YOLO, "decode_yolo"},
    {NN_LAYER_USER_OP, "user_op"},
    {NN_LAYER_FINAL, "final"},
};

constexpr bool ascending_codes()
{
    for (size_t i = 1; i < std::size(layer_type_names); ++i)
        if (layer_type_names[i - 1].code >= layer_type_names[i].code)
            return false;
    return true;
}
static_assert(ascending_codes(), "one name per code");

} // namespace
} // namespace kestrune

const char* nn_layer_type_name(int code)
{
    for (const auto& t : kestrune::layer_type_names)
        if (t.code == code)
            return t.name;
    return "";
}
