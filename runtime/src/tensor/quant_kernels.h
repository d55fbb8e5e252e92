/* Inner loops of quantize and dequantize: one contiguous run of n elements.
 *
 * `step` is 1 when element j uses zeros[j] and scales[j] (one row of
 * per-channel parameters) and 0 when every element uses zeros[0], scales[0].
 * The NEON and portable bodies give bit-identical results. */
#ifndef KESTRUNE_TENSOR_QUANT_KERNELS_H
#define KESTRUNE_TENSOR_QUANT_KERNELS_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void nn_quantize_u8(const float* x, uint8_t* q, size_t n, const int32_t* zeros,
                    const float* scales, size_t step);
void nn_quantize_i8(const float* x, int8_t* q, size_t n, const int32_t* zeros,
                    const float* scales, size_t step);
void nn_dequantize_u8(const uint8_t* q, float* x, size_t n, const int32_t* zeros,
                      const float* scales, size_t step);
void nn_dequantize_i8(const int8_t* q, float* x, size_t n, const int32_t* zeros,
                      const float* scales, size_t step);
void nn_dequantize_i32(const int32_t* q, float* x, size_t n, const int32_t* zeros,
                       const float* scales, size_t step);
void nn_dequantize_u32(const uint32_t* q, float* x, size_t n, const int32_t* zeros,
                       const float* scales, size_t step);

/* q - zero as a 32-bit integer that wraps instead of overflowing. */
static inline int32_t nn_quant_diff(int32_t q, int32_t zero)
{
    return (int32_t)((uint32_t)q - (uint32_t)zero);
}

/* Clamping happens in float before any conversion, so out-of-range values and
 * infinities saturate; a NaN result stores the zero point (clamped). */
static inline float nn_quant_level(float x, int32_t zero, float scale)
{
    float q = (float)zero + roundf(x / scale);
    return q != q ? (float)zero : q;
}

static inline uint8_t nn_quant_u8(float x, int32_t zero, float scale)
{
    float q = nn_quant_level(x, zero, scale);
    if (q <= 0.0f)
        return 0;
    if (q >= 255.0f)
        return 255;
    return (uint8_t)q;
}

static inline int8_t nn_quant_i8(float x, int32_t zero, float scale)
{
    float q = nn_quant_level(x, zero, scale);
    if (q <= -128.0f)
        return -128;
    if (q >= 127.0f)
        return 127;
    return (int8_t)q;
}

#ifdef __cplusplus
}
#endif

#endif
