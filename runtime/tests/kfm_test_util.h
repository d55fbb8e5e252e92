// Helpers shared by the context, load and step suites.
#ifndef KESTRUNE_TESTS_KFM_TEST_UTIL_H
#define KESTRUNE_TESTS_KFM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_writer.h"

namespace kfm_test {

// Both standard streams of a block of code.
struct Streams {
    std::string out;
    std::string err;
};

template <class F>
Streams capture(F&& f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Streams s;
    s.err = testing::internal::GetCapturedStderr();
    s.out = testing::internal::GetCapturedStdout();
    return s;
}

inline std::vector<float> floats(nn_tensor* t)
{
    const float* p = static_cast<const float*>(nn_tensor_mapro(t));
    if (!p)
        return {};
    std::vector<float> v(p, p + nn_tensor_volume(t));
    nn_tensor_unmap(t);
    return v;
}

template <class T>
std::vector<T> elements(nn_tensor* t)
{
    const T* p = static_cast<const T*>(nn_tensor_mapro(t));
    if (!p)
        return {};
    std::vector<T> v(p, p + nn_tensor_volume(t));
    nn_tensor_unmap(t);
    return v;
}

inline void write_floats(nn_tensor* t, const std::vector<float>& v)
{
    float* p = static_cast<float*>(nn_tensor_mapwo(t));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < v.size(); ++i)
        p[i] = v[i];
    nn_tensor_unmap(t);
}

inline const void* data_of(nn_tensor* t)
{
    const void* p = nn_tensor_mapro(t);
    nn_tensor_unmap(t);
    return p;
}

// A layer with one per-tensor scale and zero point.
inline kfm::Layer quantised(kfm::Layer l, int8_t type, float scale, int32_t zero)
{
    l.datatype = type;
    l.scales = std::vector<float>{scale};
    l.zeros = std::vector<int32_t>{zero};
    return l;
}

// An INT8 constant of the given values.
inline kfm::Layer constant_i8(const std::string& name, std::vector<int8_t> values, float scale, int32_t zero)
{
    kfm::Layer l = kfm::layer(name, 2, {static_cast<int32_t>(values.size())});
    kfm::Parameter p = kfm::parameter("data");
    p.shape = std::vector<int32_t>{static_cast<int32_t>(values.size())};
    p.data_i8 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return quantised(l, NN_TYPE_I8, scale, zero);
}

}  // namespace kfm_test

#endif
