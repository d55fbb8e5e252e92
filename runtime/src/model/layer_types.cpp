#include "model/model_internal.h"

static const struct {
    short code;
    const char* name;
} layer_type_names[] = {
    {0, "none"},
    {1, "input"},
    {2, "constant"},
    {3, "variable"},
    {10, "pad"},
    {11, "concat"},
    {12, "slice"},
    {13, "shuffle"},
    {14, "copy"},
    {15, "fill"},
    {16, "quant"},
    {17, "dequant"},
    {18, "resize"},
    {20, "add"},
    {21, "subtract"},
    {22, "multiply"},
    {23, "divide"},
    {30, "abs"},
    {31, "sqrt"},
    {32, "rsqrt"},
    {33, "log"},
    {34, "exp"},
    {35, "pow"},
    {40, "sigmoid"},
    {41, "tanh"},
    {42, "relu"},
    {43, "relu6"},
    {44, "softmax"},
    {45, "prelu"},
    {46, "leaky_relu"},
    {47, "elu"},
    {48, "swish"},
    {49, "mish"},
    {50, "matmul"},
    {51, "dense"},
    {52, "linear"},
    {60, "conv2d"},
    {61, "pool2d"},
    {62, "deconv2d"},
    {70, "reduce_sum"},
    {71, "reduce_min"},
    {72, "reduce_max"},
    {73, "reduce_mean"},
    {74, "reduce_product"},
    {100, "gru"},
    {101, "reshape"},
    {102, "batchnorm"},
    {103, "softplus"},
    {104, "nms"},
    {110, "image_standardize"},
    {120, "svm"},
    {121, "svm_update_kernel"},
    {122, "svm_decision_stats"},
    {123, "svm_soft_probability"},
    {130, "decode"},
    {131, "decode_ssd"},
    {132, "decode_centernet"},
    {133, "decode_yolo"},
    {250, "user_op"},
    {251, "final"},
};

const char* nn_layer_type_name(int code)
{
    for (size_t i = 0; i < sizeof layer_type_names / sizeof layer_type_names[0]; ++i)
        if (layer_type_names[i].code == code)
            return layer_type_names[i].name;
    return "";
}
