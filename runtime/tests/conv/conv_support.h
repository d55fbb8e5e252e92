// Tensors, random operands and reference convolutions for the convolution
// suites.  The references are plain loops with double (float operands) or
// 64-bit integer (quantised operands) accumulation, followed by the output
// rule of the kernel the case is expected to take.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kestrune/nn.h"
#include "ops/ref.h"

namespace conv_test {

enum class Q { F32, I8, I8PC, U8 };  // element types / quantisation of a case

inline nn_type TypeOf(Q q)
{
    return q == Q::F32 ? NN_TYPE_F32 : q == Q::U8 ? NN_TYPE_U8 : NN_TYPE_I8;
}

// An owned CPU tensor.
struct Tensor {
    nn_tensor* t = nullptr;
    Tensor() = default;
    Tensor(nn_type type, std::vector<int32_t> shape, nn_engine* engine = nullptr)
    {
        t = nn_tensor_init(nullptr, engine);
        int err = nn_tensor_alloc(t, type, (int)shape.size(), shape.data());
        if (err) {
            nn_tensor_release(t);
            t = nullptr;
        }
    }
    ~Tensor()
    {
        if (t)
            nn_tensor_release(t);
    }
    Tensor(const Tensor&) = delete;
    Tensor& operator=(const Tensor&) = delete;
    Tensor(Tensor&& o) noexcept : t(o.t) { o.t = nullptr; }
    Tensor& operator=(Tensor&& o) noexcept
    {
        std::swap(t, o.t);
        return *this;
    }
    operator nn_tensor*() const { return t; }
    template <class T>
    void Set(const std::vector<T>& v)
    {
        void* p = nn_tensor_maprw(t);
        std::memcpy(p, v.data(), v.size() * sizeof(T));
        nn_tensor_unmap(t);
    }
    template <class T>
    std::vector<T> Get() const
    {
        std::vector<T> v((size_t)nn_tensor_volume(t));
        const void* p = nn_tensor_mapro(t);
        std::memcpy(v.data(), p, v.size() * sizeof(T));
        nn_tensor_unmap(t);
        return v;
    }
    void Quant(std::vector<int32_t> zeros, std::vector<float> scales, int axis = 0)
    {
        // One zero point per scale, as the quantisation functions expect.
        if (zeros.size() == 1 && scales.size() > 1)
            zeros.assign(scales.size(), zeros[0]);
        int32_t* z = (int32_t*)std::malloc(zeros.size() * sizeof(int32_t));
        float* s = (float*)std::malloc(scales.size() * sizeof(float));
        std::memcpy(z, zeros.data(), zeros.size() * sizeof(int32_t));
        std::memcpy(s, scales.data(), scales.size() * sizeof(float));
        nn_tensor_set_zeros(t, zeros.size(), z, 1);
        nn_tensor_set_scales(t, scales.size(), s, 1);
        nn_tensor_set_axis(t, (uint8_t)axis);
    }
};

// Attaches a copy of the array under the name (heap object, static name).
inline void AttachArray(nn_tensor* t, const char* name, const std::vector<int32_t>& v)
{
    int32_t* a = (int32_t*)std::malloc(v.size() * sizeof(int32_t));
    std::memcpy(a, v.data(), v.size() * sizeof(int32_t));
    nn_tensor_set_aux_object_by_name(t, name, a, free_aux_buffer, true, false);
}

// Geometry of a case: filter [KH, KW, Cin, Cout] (depthwise: [KH, KW, 1, CH]).
struct Geom {
    int n, h, w, cin, cout, kh, kw, sh, sw, top, bottom, left, right, dh, dw;
    int Oh() const { return (h + top + bottom - ((kh - 1) * dh + 1)) / sh + 1; }
    int Ow() const { return (w + left + right - ((kw - 1) * dw + 1)) / sw + 1; }
};

// Quantisation of the operands of a case.
struct QParams {
    float s_in = 1, s_out = 1;
    int32_t z_in = 0, z_out = 0, z_w = 0;
    std::vector<float> s_w;        // 1 or Cout
    std::vector<int32_t> mult, shift;
    float W(int c) const { return s_w.size() > 1 ? s_w[(size_t)c] : s_w[0]; }
};

// Raw operands: real values for FLOAT32, stored integers otherwise.
struct Operands {
    std::vector<double> in, filter, bias;  // FLOAT32 values
    std::vector<int32_t> qin, qfilter, qbias;
};

// The accumulator of output (n, y, x, co): FLOAT32 in double with the sum of
// |terms|, quantised as an exact integer without the bias.
struct Acc {
    double value = 0, magnitude = 0;
    int64_t q = 0;
};

inline Acc RefAcc(const Geom& g, const Operands& o, bool quantised, const QParams& qp, bool dw,
                  int n, int y, int x, int co)
{
    Acc a;
    for (int ky = 0; ky < g.kh; ++ky) {
        int iy = y * g.sh - g.top + ky * g.dh;
        if (iy < 0 || iy >= g.h)
            continue;
        for (int kx = 0; kx < g.kw; ++kx) {
            int ix = x * g.sw - g.left + kx * g.dw;
            if (ix < 0 || ix >= g.w)
                continue;
            int c0 = dw ? co : 0, c1 = dw ? co + 1 : g.cin;
            for (int ci = c0; ci < c1; ++ci) {
                size_t ii = (((size_t)n * g.h + iy) * g.w + ix) * g.cin + ci;
                size_t fi = dw ? ((size_t)ky * g.kw + kx) * g.cin + ci
                               : (((size_t)ky * g.kw + kx) * g.cin + ci) * g.cout + co;
                if (quantised) {
                    a.q += (int64_t)(o.qin[ii] - qp.z_in) * (o.qfilter[fi] - qp.z_w);
                } else {
                    double t = o.in[ii] * o.filter[fi];
                    a.value += t;
                    a.magnitude += std::fabs(t);
                }
            }
        }
    }
    return a;
}

inline double RefActivation(double v, int act)
{
    switch (act) {
    case 1: return v < 0 ? 0 : v;
    case 2: return v < 0 ? 0 : v > 6 ? 6 : v;
    case 3: return 1.0 / (1.0 + std::exp(-v));
    case 4: return 1.0 / (1.0 + std::fabs(v));
    case 5: return std::tanh(v);
    default: return v;
    }
}

// Output rules of the quantised kernels.
enum class Rule {
    Integer,     // multiplier pair per channel, RELU/RELU6 only
    FloatScale,  // s_in * s_w * (1 / s_out), ties to even, RELU/RELU6 only
    Stage,       // the accumulator output stage: INT8 blocks of 8 by float scale, the
                 // rest by pairs; RELU/RELU6 only
    Requantise,  // FLOAT32 work quantised back, then bias and activation operators
};

inline int32_t Q6(float s_out)
{
    int32_t m, e;
    ref::multiplier(1.0f / s_out, &m, &e);
    return ref::apply(6, m, e);
}

inline int32_t RefQuant(int64_t acc64, int c, int act, const QParams& qp, Rule rule, bool i8,
                        bool block_of_8)
{
    int32_t acc = (int32_t)acc64;
    int32_t v;
    bool float_rule = rule == Rule::FloatScale || (rule == Rule::Stage && block_of_8);
    if (float_rule)
        v = ref::round_even((float)acc * (qp.s_in * qp.W(c) * (1.0f / qp.s_out)));
    else
        v = ref::apply(acc, qp.mult[(size_t)c], qp.shift[(size_t)c]);
    const int32_t q6 = Q6(qp.s_out);
    bool clamp0 = act == 1 || act == 2;
    if (clamp0 && v < 0)
        v = 0;
    if (act == 2 && v > q6)
        v = q6;
    int64_t s = (int64_t)v + qp.z_out;
    return i8 ? (int32_t)ref::clamp(s, -128, 127) : (int32_t)ref::clamp(s, 0, 255);
}

// Stored value of a real number in the output's quantisation (nearest).
inline int32_t QuantiseReal(double v, const QParams& qp, bool i8)
{
    double q = std::nearbyint(v / qp.s_out) + qp.z_out;
    return i8 ? (int32_t)ref::clamp((int64_t)q, -128, 127) : (int32_t)ref::clamp((int64_t)q, 0, 255);
}

}  // namespace conv_test
