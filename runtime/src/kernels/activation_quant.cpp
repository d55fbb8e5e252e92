/* Quantised hard swish and leaky relu: a generic kernel for every type pair
 * and an INT8 eight-lane kernel whose tail follows the generic rule. */
#include <math.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

static inline int32_t read_8bit(const void* in, int32_t i, uint32_t type)
{
    return type == NN_TYPE_I8 ? ((const int8_t*)in)[i] : ((const uint8_t*)in)[i];
}

static inline int8_t narrow_i8(int32_t r, int32_t z)
{
    int64_t v = (int64_t)r + z;
    v = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
    return (int8_t)(v < -128 ? -128 : v > 127 ? 127 : v);
}

static void swish_generic(void* out, int32_t begin, int32_t count, const void* in,
                          const nn_quant_params* out_q, const nn_quant_params* in_q)
{
    uint32_t in_type = in_q ? in_q->type : 0, out_type = out_q ? out_q->type : 0;
    float s_in = quant_scale(in_q), s_out = quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    for (int32_t i = begin; i < count; ++i) {
        float x = (float)((int64_t)read_8bit(in, i, in_type) - z_in) * s_in;
        float t = x + 3.0f;
        if (t < 0.0f)
            t = 0.0f;
        if (t > 6.0f)
            t = 6.0f;
        float y = roundf(((t * x) * 0.16666667f) / s_out);
        quant_store(out, (size_t)i, (int64_t)float_to_i32_sat(y) + z_out, out_type);
    }
}

static void leaky_generic(void* out, int32_t begin, int32_t count, const void* in,
                          const nn_quant_params* out_q, const nn_quant_params* in_q, float alpha)
{
    uint32_t in_type = in_q ? in_q->type : 0, out_type = out_q ? out_q->type : 0;
    float s_in = quant_scale(in_q), s_out = quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    int32_t m_pos, e_pos, m_neg, e_neg;
    quantize_multiplier(&m_pos, &e_pos, s_in / s_out);
    quantize_multiplier(&m_neg, &e_neg, (s_in * alpha) / s_out);
    for (int32_t i = begin; i < count; ++i) {
        int32_t q = saturate_i32((int64_t)read_8bit(in, i, in_type) - z_in);
        int32_t v = q <= 0 ? apply_multiplier(q, m_neg, e_neg) : apply_multiplier(q, m_pos, e_pos);
        quant_store(out, (size_t)i, (int64_t)v + z_out, out_type);
    }
}

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
    int32_t blocks = count / 8 * 8;
    float s_in = quant_scale(in_q), inv = 1.0f / quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    for (int32_t i = 0; i < blocks; ++i) {
        float x = (float)wrap_sub(in[i], z_in) * s_in;
        float t = x + 3.0f;
        t = t > 0.0f ? t : 0.0f;
        t = t < 6.0f ? t : 6.0f;
        out[i] = narrow_i8(round_even_to_i32(((t * 0.16666667f) * x) * inv), z_out);
    }
    swish_generic(out, blocks, count, in, out_q, in_q);
}

void leaky_relu_i8_portable(int8_t* out, int32_t count, const int8_t* in,
                            const nn_quant_params* out_q, const nn_quant_params* in_q, float alpha)
{
    int32_t blocks = count / 8 * 8;
    float s_in = quant_scale(in_q), inv = 1.0f / quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    for (int32_t i = 0; i < blocks; ++i) {
        float x = (float)wrap_sub(in[i], z_in) * s_in;
        float y = x < 0.0f ? alpha * x : x;
        out[i] = narrow_i8(round_even_to_i32(y * inv), z_out);
    }
    leaky_generic(out, blocks, count, in, out_q, in_q, alpha);
}

#ifdef __ARM_NEON
static inline void load_i8_as_f32(const int8_t* p, int32x4_t z, float32x4_t s, float32x4_t* lo,
                                  float32x4_t* hi)
{
    int16x8_t w = vmovl_s8(vld1_s8(p));
    *lo = vmulq_f32(vcvtq_f32_s32(vsubq_s32(vmovl_s16(vget_low_s16(w)), z)), s);
    *hi = vmulq_f32(vcvtq_f32_s32(vsubq_s32(vmovl_s16(vget_high_s16(w)), z)), s);
}

static inline int8x8_t store_lanes(float32x4_t lo, float32x4_t hi, int32x4_t z)
{
    int32x4_t a = vqaddq_s32(vcvtnq_s32_f32(lo), z);
    int32x4_t b = vqaddq_s32(vcvtnq_s32_f32(hi), z);
    return vqmovn_s16(vcombine_s16(vqmovn_s32(a), vqmovn_s32(b)));
}

static void swish_i8_neon(int8_t* out, int32_t count, const int8_t* in,
                          const nn_quant_params* out_q, const nn_quant_params* in_q)
{
    int32_t blocks = count / 8 * 8;
    float32x4_t s = vdupq_n_f32(quant_scale(in_q)), inv = vdupq_n_f32(1.0f / quant_scale(out_q));
    int32x4_t zi = vdupq_n_s32(quant_zero(in_q)), zo = vdupq_n_s32(quant_zero(out_q));
    float32x4_t three = vdupq_n_f32(3.0f), zero = vdupq_n_f32(0.0f), six = vdupq_n_f32(6.0f);
    float32x4_t k = vdupq_n_f32(0.16666667f);
    for (int32_t i = 0; i < blocks; i += 8) {
        float32x4_t x[2];
        load_i8_as_f32(in + i, zi, s, &x[0], &x[1]);
        float32x4_t y[2];
        for (int j = 0; j < 2; ++j) {
            float32x4_t t = vminq_f32(vmaxq_f32(vaddq_f32(x[j], three), zero), six);
            y[j] = vmulq_f32(vmulq_f32(vmulq_f32(t, k), x[j]), inv);
        }
        vst1_s8(out + i, store_lanes(y[0], y[1], zo));
    }
    swish_generic(out, blocks, count, in, out_q, in_q);
}

static void leaky_relu_i8_neon(int8_t* out, int32_t count, const int8_t* in,
                               const nn_quant_params* out_q, const nn_quant_params* in_q,
                               float alpha)
{
    int32_t blocks = count / 8 * 8;
    float32x4_t s = vdupq_n_f32(quant_scale(in_q)), inv = vdupq_n_f32(1.0f / quant_scale(out_q));
    int32x4_t zi = vdupq_n_s32(quant_zero(in_q)), zo = vdupq_n_s32(quant_zero(out_q));
    float32x4_t a = vdupq_n_f32(alpha), zero = vdupq_n_f32(0.0f);
    for (int32_t i = 0; i < blocks; i += 8) {
        float32x4_t x[2];
        load_i8_as_f32(in + i, zi, s, &x[0], &x[1]);
        float32x4_t y[2];
        for (int j = 0; j < 2; ++j)
            y[j] = vmulq_f32(vbslq_f32(vcltq_f32(x[j], zero), vmulq_f32(a, x[j]), x[j]), inv);
        vst1_s8(out + i, store_lanes(y[0], y[1], zo));
    }
    leaky_generic(out, blocks, count, in, out_q, in_q, alpha);
}
#endif

static int both_i8(const nn_quant_params* a, const nn_quant_params* b)
{
    return a && b && a->type == NN_TYPE_I8 && b->type == NN_TYPE_I8;
}

void kernel_swish_quant(void* out, int32_t count, const void* in, const nn_quant_params* out_q,
                        const nn_quant_params* in_q)
{
    if (count <= 0)
        return;
    if (both_i8(out_q, in_q)) {
#ifdef __ARM_NEON
        swish_i8_neon((int8_t*)out, count, (const int8_t*)in, out_q, in_q);
#else
        swish_i8_portable((int8_t*)out, count, (const int8_t*)in, out_q, in_q);
#endif
    } else {
        swish_generic(out, 0, count, in, out_q, in_q);
    }
}

void kernel_leaky_relu_quant(void* out, int32_t count, const void* in,
                             const nn_quant_params* out_q, const nn_quant_params* in_q,
                             float alpha)
{
    if (count <= 0)
        return;
    if (both_i8(out_q, in_q)) {
#ifdef __ARM_NEON
        leaky_relu_i8_neon((int8_t*)out, count, (const int8_t*)in, out_q, in_q, alpha);
#else
        leaky_relu_i8_portable((int8_t*)out, count, (const int8_t*)in, out_q, in_q, alpha);
#endif
    } else {
        leaky_generic(out, 0, count, in, out_q, in_q, alpha);
    }
}
