/* The accumulator output stage shared by relu/relu6 on quantised tensors, the
 * depthwise convolution and the quantised dense product. */
#include <math.h>

#include "kernels/fixed_point.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace kestrune {
namespace {

/* Per-channel values: non-zero activations clamp at zero, RELU6 also at 6.0. */
int32_t clamp_per_channel(int32_t v, int32_t activation, int32_t q6)
{
    if (activation != 0 && v < 0)
        v = 0;
    if (activation == 2 && v > q6)
        v = q6;
    return v;
}

int64_t read_wide(const void* in, size_t i, uint32_t type)
{
    if (type == NN_TYPE_U32)
        return static_cast<const uint32_t*>(in)[i];
    return quant_read(in, i, type);
}

void store_out(void* out, size_t i, int64_t v, uint32_t type)
{
    switch (type) {
    case NN_TYPE_I8:
    case NN_TYPE_U8:
    case NN_TYPE_I16:
    case NN_TYPE_U16:
    case NN_TYPE_I32: quant_store(out, i, v, type); break;
    /* UINT32 results stop at INT32_MAX */
    case NN_TYPE_U32:
        static_cast<uint32_t*>(out)[i] = static_cast<uint32_t>(saturate<int32_t>(v < 0 ? 0 : v));
        break;
    default: break;
    }
}

/* Values begin..count-1 through their (multiplier, shift) pairs into T. */
template <typename T>
void requantize_pairs(T* out, int32_t begin, int32_t count, const int32_t* in,
                      int32_t activation, int32_t z, int32_t q6, const int32_t* multipliers,
                      const int32_t* shifts)
{
    for (int32_t i = begin; i < count; ++i) {
        int32_t v = apply_multiplier(in[i], multipliers[i], shifts[i]);
        v = clamp_per_channel(v, activation, q6);
        out[i] = saturate<T>(static_cast<int64_t>(v) + z);
    }
}

void requantize_i8_portable(int8_t* out, int32_t count, const int32_t* in,
                            int32_t activation, const nn_quant_params* out_q,
                            const nn_quant_params* in_q, const int32_t* multipliers,
                            const int32_t* shifts)
{
    int32_t z = quant_zero(out_q);
    float inv = 1.0f / quant_scale(out_q);
    int32_t q6 = six_in_steps(out_q);
    int32_t blocks = count / 8 * 8;
    int many = in_q && in_q->scales_count > 1;
    for (int32_t i = 0; i < blocks; ++i) {
        float factor = (many ? quant_scale_at(in_q, (size_t)i) : quant_scale(in_q)) * inv;
        int32_t r = round_even_to_i32((float)in[i] * factor);
        r = clamp_per_channel(r, activation, q6);
        out[i] = saturate<int8_t>(static_cast<int64_t>(r) + z);
    }
    requantize_pairs(out, blocks, count, in, activation, z, q6, multipliers, shifts);
}

#ifdef __ARM_NEON
void requantize_i8_neon(int8_t* out, int32_t count, const int32_t* in, int32_t activation,
                        const nn_quant_params* out_q, const nn_quant_params* in_q,
                        const int32_t* multipliers, const int32_t* shifts)
{
    int32_t z = quant_zero(out_q);
    float inv = 1.0f / quant_scale(out_q);
    int32_t q6 = six_in_steps(out_q);
    int32_t blocks = count / 8 * 8;
    int many = in_q && in_q->scales_count > 1;
    float32x4_t fixed = vdupq_n_f32(quant_scale(in_q) * inv);
    int32x4_t vz = vdupq_n_s32(z), zero = vdupq_n_s32(0), vq6 = vdupq_n_s32(q6);
    for (int32_t i = 0; i < blocks; i += 8) {
        float32x4_t f0 = fixed, f1 = fixed;
        if (many) {
            float f[8];
            for (int j = 0; j < 8; ++j)
                f[j] = quant_scale_at(in_q, (size_t)(i + j)) * inv;
            f0 = vld1q_f32(f);
            f1 = vld1q_f32(f + 4);
        }
        int32x4_t r0 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(vld1q_s32(in + i)), f0));
        int32x4_t r1 = vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(vld1q_s32(in + i + 4)), f1));
        if (activation != 0) {
            r0 = vmaxq_s32(r0, zero);
            r1 = vmaxq_s32(r1, zero);
        }
        if (activation == 2) {
            r0 = vminq_s32(r0, vq6);
            r1 = vminq_s32(r1, vq6);
        }
        r0 = vqaddq_s32(r0, vz);
        r1 = vqaddq_s32(r1, vz);
        int16x8_t h = vcombine_s16(vqmovn_s32(r0), vqmovn_s32(r1));
        vst1_s8(out + i, vqmovn_s16(h));
    }
    requantize_pairs(out, blocks, count, in, activation, z, q6, multipliers, shifts);
}
#endif

void requantize_per_tensor(void* out, int32_t count, const void* in, int32_t activation,
                           const nn_quant_params* out_q, const nn_quant_params* in_q)
{
    uint32_t in_type = in_q ? in_q->type : 0;
    uint32_t out_type = out_q ? out_q->type : 0;
    float s_in = quant_scale(in_q), s_out = quant_scale(out_q);
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    int32_t q6 = six_in_steps(out_q);
    int many = in_q && in_q->scales_count > 1;

    if (in_type == out_type && z_in == z_out && scales_close(fabsf(s_in - s_out)) && !many) {
        for (int32_t i = 0; i < count; ++i) {
            int64_t x = read_wide(in, (size_t)i, in_type);
            if (activation == 1 || activation == 2) {
                if (x < z_out)
                    x = z_out;
                if (activation == 2 && x > (int64_t)z_out + q6)
                    x = (int64_t)z_out + q6;
            }
            store_out(out, (size_t)i, x, out_type);
        }
        return;
    }

    int32_t m, e;
    quantize_multiplier(&m, &e, s_in / s_out);
    for (int32_t i = 0; i < count; ++i) {
        int32_t zi = z_in;
        if (many) {
            zi = quant_zero_at(in_q, (size_t)i);
            quantize_multiplier(&m, &e, quant_scale_at(in_q, (size_t)i) / s_out);
        }
        int64_t x = read_wide(in, (size_t)i, in_type);
        int32_t v = apply_multiplier(saturate_i32(x - zi), m, e);
        v = clamp_fused(v, activation, q6);
        store_out(out, (size_t)i, (int64_t)v + z_out, out_type);
    }
}

} // namespace
} // namespace kestrune

using namespace kestrune;

/* Both bodies stay reachable so tests can compare them. */
void requantize_i8_kernel_portable(int8_t* out, int32_t count, const int32_t* in,
                                   int32_t activation, const nn_quant_params* out_q,
                                   const nn_quant_params* in_q, const int32_t* multipliers,
                                   const int32_t* shifts)
{
    if (count > 0)
        requantize_i8_portable(out, count, in, activation, out_q, in_q, multipliers, shifts);
}

void requantize_i8_kernel(int8_t* out, int32_t count, const int32_t* in, int32_t activation,
                          const nn_quant_params* out_q, const nn_quant_params* in_q,
                          const int32_t* multipliers, const int32_t* shifts)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    requantize_i8_neon(out, count, in, activation, out_q, in_q, multipliers, shifts);
#else
    requantize_i8_portable(out, count, in, activation, out_q, in_q, multipliers, shifts);
#endif
}

void requantize_accumulators(void* out, int32_t count, const void* in, int32_t activation,
                             const nn_quant_params* out_q, const nn_quant_params* in_q,
                             const int32_t* multipliers, const int32_t* shifts)
{
    if (count <= 0 || !out || !in)
        return;
    uint32_t in_type = in_q ? in_q->type : 0;
    uint32_t out_type = out_q ? out_q->type : 0;
    int arrays = multipliers && shifts;
    if (arrays && out_type == NN_TYPE_I8 && in_type == NN_TYPE_I32) {
        requantize_i8_kernel((int8_t*)out, count, (const int32_t*)in, activation, out_q, in_q,
                             multipliers, shifts);
    } else if (arrays && in_type == NN_TYPE_I32 && out_type < NN_TYPE_I16) {
        requantize_pairs(static_cast<uint8_t*>(out), 0, count, static_cast<const int32_t*>(in),
                         activation, quant_zero(out_q), six_in_steps(out_q), multipliers, shifts);
    } else {
        requantize_per_tensor(out, count, in, activation, out_q, in_q);
    }
}
