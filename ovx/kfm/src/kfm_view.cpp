#include "kfm_view.h"

namespace ovx {

LayerView read_layer(const void* model, size_t index)
{
    LayerView l;
    l.model = model;
    l.index = index;
    const char* name = nn_model_layer_name(model, index);
    l.name = name ? name : "";
    l.type = nn_model_layer_type_id(model, index);
    l.datatype = nn_model_layer_datatype_id(model, index);
    l.shape.data = nn_model_layer_shape(model, index, &l.shape.size);
    if (!l.shape.data)
        l.shape.size = 0;
    l.zeros.data = nn_model_layer_zeros(model, index, &l.zeros.size);
    if (!l.zeros.data)
        l.zeros.size = 0;
    l.scales.data = nn_model_layer_scales(model, index, &l.scales.size);
    if (!l.scales.data)
        l.scales.size = 0;
    l.axis = nn_model_layer_axis(model, index);
    const uint32_t* inputs = nullptr;
    l.inputs.size = nn_model_layer_inputs(model, index, &inputs);
    l.inputs.data = inputs;
    if (!inputs)
        l.inputs.size = 0;
    return l;
}

const void* layer_param(const void* model, size_t layer, const char* key)
{
    return nn_model_layer_parameter(model, layer, key);
}

Ints param_list(const void* param)
{
    Ints v;
    v.data = nn_model_parameter_shape(param, &v.size);
    if (!v.data)
        v.size = 0;
    return v;
}

std::optional<int> param_int(const void* param)
{
    size_t n = 0;
    const int16_t* v = nn_model_parameter_data_i16(param, &n);
    if (!v || n == 0)
        return std::nullopt;
    return v[0];
}

std::optional<float> param_real(const void* param)
{
    size_t n = 0;
    const float* v = nn_model_parameter_data_f32(param, &n);
    if (!v || n == 0)
        return std::nullopt;
    return v[0];
}

const char* param_text(const void* param) { return nn_model_parameter_data_str(param, 0); }

} // namespace ovx
