// Model fixtures and a stepping fixture for the layer handler suites.
#ifndef KESTRUNE_TESTS_LAYER_TEST_UTIL_H
#define KESTRUNE_TESTS_LAYER_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "kfm_writer.h"
#include "read_only_model.h"

namespace layer_test {

using kfm_test::capture;
using kfm_test::floats;
using kfm_test::Streams;

inline kfm::Parameter list(const std::string& name, std::vector<int32_t> values)
{
    kfm::Parameter p = kfm::parameter(name);
    p.shape = std::move(values);
    return p;
}

inline kfm::Parameter integer(const std::string& name, int16_t value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_i16 = std::vector<int16_t>{value};
    return p;
}

inline kfm::Parameter real(const std::string& name, float value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_f32 = std::vector<float>{value};
    return p;
}

inline kfm::Parameter text(const std::string& name, const std::string& value)
{
    kfm::Parameter p = kfm::parameter(name);
    p.data_str = std::vector<std::string>{value};
    return p;
}

// A present parameter without data.
inline kfm::Parameter bare(const std::string& name) { return kfm::parameter(name); }

inline kfm::Layer with(kfm::Layer l, std::vector<kfm::Parameter> params)
{
    l.parameters = std::move(params);
    return l;
}

inline kfm::Layer input(const std::string& name, std::vector<int32_t> shape)
{
    return kfm::layer(name, NN_LAYER_INPUT, std::move(shape));
}

inline kfm::Layer op(const std::string& name, int16_t type, std::vector<int32_t> shape,
                     std::vector<uint32_t> inputs, std::vector<kfm::Parameter> params = {})
{
    kfm::Layer l = kfm::layer(name, type, std::move(shape), std::move(inputs));
    if (!params.empty())
        l.parameters = std::move(params);
    return l;
}

inline kfm::Layer constant_f32(const std::string& name, std::vector<int32_t> shape,
                               std::vector<float> values)
{
    kfm::Layer l = kfm::layer(name, NN_LAYER_CONSTANT, shape);
    kfm::Parameter p = kfm::parameter("data");
    p.shape = shape;
    p.data_f32 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return l;
}

inline kfm::Layer quantised(kfm::Layer l, nn_type type, std::vector<float> scales,
                            std::vector<int32_t> zeros)
{
    l.datatype = static_cast<int8_t>(type);
    l.scales = std::move(scales);
    l.zeros = std::move(zeros);
    return l;
}

// A quantised constant of INT8 or UINT8 values (the bytes as given).
inline kfm::Layer constant_q8(const std::string& name, nn_type type, std::vector<int32_t> shape,
                              std::vector<int8_t> values, std::vector<float> scales,
                              std::vector<int32_t> zeros)
{
    kfm::Layer l = kfm::layer(name, NN_LAYER_CONSTANT, shape);
    kfm::Parameter p = kfm::parameter("data");
    p.shape = shape;
    p.data_i8 = std::move(values);
    l.parameters = std::vector<kfm::Parameter>{p};
    return quantised(l, type, std::move(scales), std::move(zeros));
}

// A layer laid out in the memory pool (block `offset` of 16 bytes), so that
// its tensor takes the layer's own data type.
inline kfm::Layer pooled(kfm::Layer l, uint32_t offset)
{
    l.mempool_offset = offset;
    return l;
}

class Layers : public testing::Test {
protected:
    void Load(std::vector<kfm::Layer> layers, size_t pool = 1 << 16, size_t cache = 1 << 16)
    {
        kfm::Model m;
        m.memory_block_size = 16;
        m.layers = std::move(layers);
        // Read-only, as the runtime plug-in maps a model file: a handler
        // writing into a constant faults.
        buf = kfm_test::ReadOnlyModel(kfm::write(m));
        ASSERT_NE(buf.data(), nullptr);
        written = buf.hash();
        ctx = nn_context_init(nullptr, pool, nullptr, cache, nullptr);
        ASSERT_NE(ctx, nullptr);
        int status = -1;
        auto s = capture([&] { status = nn_context_model_load(ctx, buf.size(), buf.data()); });
        ASSERT_EQ(status, 0) << s.err;
    }
    void TearDown() override
    {
        nn_context_release(ctx);
        if (buf.data()) {
            EXPECT_EQ(buf.hash(), written) << "the model's bytes changed";
        }
    }
    nn_tensor* t(size_t i) { return nn_context_tensor_index(ctx, i); }
    int step(size_t i, Streams* streams = nullptr)
    {
        int status = -1;
        auto s = capture([&] { status = nn_context_step(ctx, i); });
        if (streams)
            *streams = s;
        return status;
    }
    void set(size_t i, const std::vector<float>& v) { kfm_test::write_floats(t(i), v); }
    std::vector<float> get(size_t i) { return floats(t(i)); }
    template <class T>
    void set_q(size_t i, const std::vector<T>& v)
    {
        T* p = static_cast<T*>(nn_tensor_mapwo(t(i)));
        ASSERT_NE(p, nullptr);
        for (size_t k = 0; k < v.size(); ++k)
            p[k] = v[k];
        nn_tensor_unmap(t(i));
    }
    kfm_test::ReadOnlyModel buf;
    uint64_t written = 0;
    nn_context* ctx = nullptr;
};

inline std::vector<float> iota(size_t n, float from = 1.0f, float step = 1.0f)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = from + step * static_cast<float>(i);
    return v;
}

}  // namespace layer_test

#endif
