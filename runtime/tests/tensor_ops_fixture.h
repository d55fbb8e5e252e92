// Small helpers for the quantisation and tensor-operation suites: a tensor
// record that releases itself, typed views of its data, and output capture.
#ifndef KESTRUNE_TESTS_TENSOR_OPS_FIXTURE_H
#define KESTRUNE_TESTS_TENSOR_OPS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "tensor/tensor_record.h"

namespace testfx {

struct Tensor {
    nn_tensor* t;
    Tensor() : t(nn_tensor_init(nullptr, nullptr)) {}
    Tensor(nn_type type, std::vector<int32_t> shape) : Tensor()
    {
        EXPECT_EQ(nn_tensor_alloc(t, type, (int)shape.size(), shape.data()), 0);
    }
    ~Tensor() { nn_tensor_release(t); }
    Tensor(const Tensor&) = delete;
    Tensor& operator=(const Tensor&) = delete;
    operator nn_tensor*() const { return t; }
    nn_tensor* operator->() const { return t; }

    template <typename T>
    T* data() const
    {
        return static_cast<T*>(t->data);
    }
    template <typename T>
    void set(const std::vector<T>& v) const
    {
        ASSERT_LE(v.size() * sizeof(T), nn_tensor_size(t));
        memcpy(t->data, v.data(), v.size() * sizeof(T));
    }
    template <typename T>
    std::vector<T> get() const
    {
        const T* p = data<T>();
        return std::vector<T>(p, p + nn_tensor_volume(t));
    }
    std::vector<int32_t> shape() const { return std::vector<int32_t>(t->shape, t->shape + 4); }
    // Per-tensor or per-channel parameters owned by the tensor.
    void quant(std::vector<int32_t> zeros, std::vector<float> scales, int axis = 0) const
    {
        int32_t* z = zeros.empty() ? nullptr : (int32_t*)malloc(zeros.size() * 4);
        float* s = scales.empty() ? nullptr : (float*)malloc(scales.size() * 4);
        if (z)
            memcpy(z, zeros.data(), zeros.size() * 4);
        if (s)
            memcpy(s, scales.data(), scales.size() * 4);
        nn_tensor_set_zeros(t, zeros.size(), z, 1);
        nn_tensor_set_scales(t, scales.size(), s, 1);
        nn_tensor_set_axis(t, (uint8_t)axis);
    }
};

// Runs f with stdout and stderr captured.
struct Output {
    std::string out, err;
};
template <typename F>
Output Capture(F f)
{
    fflush(stdout);
    fflush(stderr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    fflush(stdout);
    fflush(stderr);
    Output o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

}  // namespace testfx

#endif
