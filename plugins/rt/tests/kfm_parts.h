// Pieces of the runtime plug-in's fixture models, shared by the suites and
// the rt_models program: FLOAT32 layers, constants, parameters, a chain of
// fill layers, and a temporary folder for model files.
#ifndef BRINDLECAST_RT_TESTS_KFM_PARTS_H
#define BRINDLECAST_RT_TESTS_KFM_PARTS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"
#include "temp_dir.h"

namespace kfm_parts {

inline kfm::Layer f32(const std::string& name, int16_t type, std::vector<int32_t> shape,
                      std::vector<uint32_t> inputs = {})
{
    kfm::Layer l = kfm::layer(name, type, std::move(shape), std::move(inputs));
    l.datatype = NN_TYPE_F32;
    return l;
}

inline kfm::Layer constant(const std::string& name, std::vector<int32_t> shape, std::vector<float> values)
{
    kfm::Layer l = f32(name, NN_LAYER_CONSTANT, shape);
    kfm::Parameter p = kfm::parameter("data");
    p.shape = shape;
    p.data_f32 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return l;
}

// A parameter of whole numbers (strides, ksize).
inline kfm::Parameter ints(const std::string& name, std::vector<int32_t> values)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(values);
    return p;
}

inline kfm::Parameter text(const std::string& name, const std::string& value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_str = std::vector<std::string>{value};
    return p;
}

// "input" [1,4] -> "output", a view of it; labels a..d.
inline kfm::Model classifier(bool labels = true)
{
    kfm::Model m;
    m.name = "classifier";
    if (labels)
        m.labels = std::vector<std::string>{"a", "b", "c", "d"};
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       f32("output", NN_LAYER_RESHAPE, {1, 4}, {0})};
    m.inputs = std::vector<uint32_t>{0};
    m.outputs = std::vector<uint32_t>{1};
    return m;
}

// "input" [1,4] -> softmax "output"; labels a..d.
inline kfm::Model softmax_classifier()
{
    kfm::Model m = classifier();
    m.name = "softmax";
    m.layers = std::vector<kfm::Layer>{f32("input", NN_LAYER_INPUT, {1, 4}),
                                       f32("output", NN_LAYER_SOFTMAX, {1, 4}, {0})};
    return m;
}

// l0 input [1,4], then l1 .. l<count - 1>: fill layers writing i into the
// same memory, so the memory tells which layer ran last.
inline kfm::Model fill_chain(uint32_t count, const std::string& l1_name = "l1")
{
    kfm::Model m;
    std::vector<kfm::Layer> layers{f32("l0", NN_LAYER_INPUT, {1, 4})};
    for (uint32_t i = 1; i < count; ++i) {
        kfm::Layer l = f32(i == 1 ? l1_name : "l" + std::to_string(i), NN_LAYER_FILL, {1, 4}, {i - 1});
        kfm::Parameter value = kfm::parameter("value");
        value.data_f32 = std::vector<float>{static_cast<float>(i)};
        l.parameters = std::vector<kfm::Parameter>{value};
        layers.push_back(l);
    }
    m.layers = layers;
    return m;
}

// The plug-in suites' temporary folder, which also takes a written model.
struct TempDir : temp_dir::TempDir {
    using temp_dir::TempDir::file;
    std::string file(const std::string& name, const kfm::Buffer& bytes) const
    {
        return put(name, reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
};

}  // namespace kfm_parts

#endif
