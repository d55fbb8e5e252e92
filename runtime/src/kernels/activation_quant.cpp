/* Quantised hard swish and leaky relu: a generic kernel for every type pair
 * and an INT8 eight-lane kernel whose tail follows the generic rule. */
#include <math.h>

#include "kernels/activation_ops.h"
#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace {

int32_t read_8bit(const void* in, int32_t i, uint32_t type)
{
    return type == NN_TYPE_I8 ? static_cast<const int8_t*>(in)[i]
                              : static_cast<const uint8_t*>(in)[i];
}

int8_t narrow_i8(int32_t r, int32_t z)
{
    int64_t v = static_cast<int64_t>(r) + z;
    v = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
    return static_cast<int8_t>(v < -128 ? -128 : v > 127 ? 127 : v);
}

/* The generic rules, element by element from begin, any 8-bit types. */
void swish_generic(void* out, int32_t begin, int32_t count, const void* in,
                   const nn_quant_params* out_q, const nn_quant_params* in_q)
{
    uint32_t in_type = in_q ? in_q->type : 0, out_type = out_q ? out_q->type : 0;
    float s_in = quant_scale(in_q), s_out = quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    for (int32_t i = begin; i < count; ++i) {
        float x = static_cast<float>(static_cast<int64_t>(read_8bit(in, i, in_type)) - z_in) * s_in;
        float t = x + 3.0f;
        if (t < 0.0f)
            t = 0.0f;
        if (t > 6.0f)
            t = 6.0f;
        float y = roundf(((t * x) * 0.16666667f) / s_out);
        quant_store(out, static_cast<size_t>(i), static_cast<int64_t>(float_to_i32_sat(y)) + z_out,
                    out_type);
    }
}

void leaky_generic(void* out, int32_t begin, int32_t count, const void* in,
                   const nn_quant_params* out_q, const nn_quant_params* in_q, float alpha)
{
    uint32_t in_type = in_q ? in_q->type : 0, out_type = out_q ? out_q->type : 0;
    float s_in = quant_scale(in_q), s_out = quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    int32_t m_pos, e_pos, m_neg, e_neg;
    quantize_multiplier(&m_pos, &e_pos, s_in / s_out);
    quantize_multiplier(&m_neg, &e_neg, (s_in * alpha) / s_out);
    for (int32_t i = begin; i < count; ++i) {
        int32_t q = saturate_i32(static_cast<int64_t>(read_8bit(in, i, in_type)) - z_in);
        int32_t v = q <= 0 ? apply_multiplier(q, m_neg, e_neg) : apply_multiplier(q, m_pos, e_pos);
        quant_store(out, static_cast<size_t>(i), static_cast<int64_t>(v) + z_out, out_type);
    }
}

/* The eight-lane rules on the dequantised value x, before the division by
 * the output scale; the tails follow the generic rules. */
struct SwishLanes {
    float operator()(float x) const
    {
        float t = x + 3.0f;
        t = t > 0.0f ? t : 0.0f;
        t = t < 6.0f ? t : 6.0f;
        return (t * 0.16666667f) * x;
    }
#ifdef __ARM_NEON
    float32x4_t operator()(float32x4_t x) const
    {
        const float32x4_t t = vminq_f32(vmaxq_f32(vaddq_f32(x, vdupq_n_f32(3.0f)),
                                                  vdupq_n_f32(0.0f)),
                                        vdupq_n_f32(6.0f));
        return vmulq_f32(vmulq_f32(t, vdupq_n_f32(0.16666667f)), x);
    }
#endif
    void tail(void* out, int32_t begin, int32_t count, const void* in,
              const nn_quant_params* out_q, const nn_quant_params* in_q) const
    {
        swish_generic(out, begin, count, in, out_q, in_q);
    }
};

struct LeakyLanes : LeakyRelu {
    void tail(void* out, int32_t begin, int32_t count, const void* in,
              const nn_quant_params* out_q, const nn_quant_params* in_q) const
    {
        leaky_generic(out, begin, count, in, out_q, in_q, alpha);
    }
};

template <class F>
void lanes_i8_portable(int8_t* out, int32_t count, const int8_t* in, const nn_quant_params* out_q,
                       const nn_quant_params* in_q, F f)
{
    const int32_t blocks = count / 8 * 8;
    const float s_in = quant_scale(in_q), inv = 1.0f / quant_scale(out_q);
    const int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    for (int32_t i = 0; i < blocks; ++i) {
        const float x = static_cast<float>(wrap_sub(in[i], z_in)) * s_in;
        out[i] = narrow_i8(round_even_to_i32(f(x) * inv), z_out);
    }
    f.tail(out, blocks, count, in, out_q, in_q);
}

#ifdef __ARM_NEON
template <class F>
void lanes_i8_neon(int8_t* out, int32_t count, const int8_t* in, const nn_quant_params* out_q,
                   const nn_quant_params* in_q, F f)
{
    const int32_t blocks = count / 8 * 8;
    const float32x4_t s = vdupq_n_f32(quant_scale(in_q));
    const float32x4_t inv = vdupq_n_f32(1.0f / quant_scale(out_q));
    const int32x4_t zi = vdupq_n_s32(quant_zero(in_q)), zo = vdupq_n_s32(quant_zero(out_q));
    for (int32_t i = 0; i < blocks; i += 8) {
        const int16x8_t w = vmovl_s8(vld1_s8(in + i));
        const int32x4_t q0 = vsubq_s32(vmovl_s16(vget_low_s16(w)), zi);
        const int32x4_t q1 = vsubq_s32(vmovl_s16(vget_high_s16(w)), zi);
        const float32x4_t x0 = vmulq_f32(vcvtq_f32_s32(q0), s);
        const float32x4_t x1 = vmulq_f32(vcvtq_f32_s32(q1), s);
        const int32x4_t a = vqaddq_s32(vcvtnq_s32_f32(vmulq_f32(f(x0), inv)), zo);
        const int32x4_t b = vqaddq_s32(vcvtnq_s32_f32(vmulq_f32(f(x1), inv)), zo);
        vst1_s8(out + i, vqmovn_s16(vcombine_s16(vqmovn_s32(a), vqmovn_s32(b))));
    }
    f.tail(out, blocks, count, in, out_q, in_q);
}
#endif

/* The eight-lane kernel when both records are INT8, else the generic rule. */
template <class F>
void activation_quant(void* out, int32_t count, const void* in, const nn_quant_params* out_q,
                      const nn_quant_params* in_q, F f)
{
    if (count <= 0)
        return;
    if (!(out_q && in_q && out_q->type == NN_TYPE_I8 && in_q->type == NN_TYPE_I8)) {
        f.tail(out, 0, count, in, out_q, in_q);
        return;
    }
    int8_t* o = static_cast<int8_t*>(out);
    const int8_t* x = static_cast<const int8_t*>(in);
#ifdef __ARM_NEON
    lanes_i8_neon(o, count, x, out_q, in_q, f);
#else
    lanes_i8_portable(o, count, x, out_q, in_q, f);
#endif
}

} // namespace
} // namespace kestrune

using namespace kestrune;

void swish_quant_generic(void* out, int32_t count, const void* in, const nn_quant_params* out_q,
                         const nn_quant_params* in_q)
{
    swish_generic(out, 0, count, in, out_q, in_q);
}

void leaky_relu_quant_generic(void* out, int32_t count, const void* in,
                              const nn_quant_params* out_q, const nn_quant_params* in_q,
                              float alpha)
{
    leaky_generic(out, 0, count, in, out_q, in_q, alpha);
}

void swish_i8_portable(int8_t* out, int32_t count, const int8_t* in,
                       const nn_quant_params* out_q, const nn_quant_params* in_q)
{
    lanes_i8_portable(out, count, in, out_q, in_q, SwishLanes{});
}

void leaky_relu_i8_portable(int8_t* out, int32_t count, const int8_t* in,
                            const nn_quant_params* out_q, const nn_quant_params* in_q, float alpha)
{
    lanes_i8_portable(out, count, in, out_q, in_q, LeakyLanes{{alpha}});
}

void kernel_swish_quant(void* out, int32_t count, const void* in, const nn_quant_params* out_q,
                        const nn_quant_params* in_q)
{
    activation_quant(out, count, in, out_q, in_q, SwishLanes{});
}

void kernel_leaky_relu_quant(void* out, int32_t count, const void* in,
                             const nn_quant_params* out_q, const nn_quant_params* in_q,
                             float alpha)
{
    activation_quant(out, count, in, out_q, in_q, LeakyLanes{{alpha}});
}
