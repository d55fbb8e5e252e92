/* Pixel conversion and normalisation shared by the image and frame loaders.
 * Built without floating-point contraction so that the NEON and portable
 * paths, and every target, give identical values. */
#include "image/image_convert.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "kestrune/nn.h"
#include "resource.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

void nn_image_bytes_to_float(float* dst, const uint8_t* src, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        dst[i] = (float)src[i];
}

void nn_image_rgba_to_float_scalar(float* dst, const uint8_t* rgba, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* p = rgba + 4 * i;
        float* o = dst + 3 * i;
        o[0] = (float)p[0];
        o[1] = (float)p[1];
        o[2] = (float)p[2];
    }
}

/* Last pixel first: correct when the output starts at or after the input,
 * since every write then lands on pixels already read. */
static void rgba_to_float_backward(float* dst, const uint8_t* rgba, size_t pixels)
{
    for (size_t i = pixels; i-- > 0;) {
        const uint8_t* p = rgba + 4 * i;
        float r = (float)p[0], g = (float)p[1], b = (float)p[2];
        float* o = dst + 3 * i;
        o[0] = r;
        o[1] = g;
        o[2] = b;
    }
}

#ifdef __ARM_NEON
static inline void store_channel_quads(float32x4_t out[4][3], uint8x16_t c, int ch)
{
    uint16x8_t lo = vmovl_u8(vget_low_u8(c)), hi = vmovl_u8(vget_high_u8(c));
    out[0][ch] = vcvtq_f32_u32(vmovl_u16(vget_low_u16(lo)));
    out[1][ch] = vcvtq_f32_u32(vmovl_u16(vget_high_u16(lo)));
    out[2][ch] = vcvtq_f32_u32(vmovl_u16(vget_low_u16(hi)));
    out[3][ch] = vcvtq_f32_u32(vmovl_u16(vget_high_u16(hi)));
}

/* 16 pixels per step; the tail goes one pixel at a time. */
static void rgba_to_float_neon(float* dst, const uint8_t* rgba, size_t pixels)
{
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        uint8x16x4_t px = vld4q_u8(rgba + 4 * i);
        float32x4_t q[4][3];
        store_channel_quads(q, px.val[0], 0);
        store_channel_quads(q, px.val[1], 1);
        store_channel_quads(q, px.val[2], 2);
        for (int k = 0; k < 4; ++k) {
            float32x4x3_t v = {{q[k][0], q[k][1], q[k][2]}};
            vst3q_f32(dst + 3 * (i + 4 * (size_t)k), v);
        }
    }
    nn_image_rgba_to_float_scalar(dst + 3 * i, rgba + 4 * i, pixels - i);
}
#endif

bool nn_image_rgba_to_float(float* dst, const uint8_t* rgba, size_t pixels)
{
    uintptr_t out_lo = (uintptr_t)dst, out_hi = out_lo + 12 * pixels;
    uintptr_t in_lo = (uintptr_t)rgba, in_hi = in_lo + 4 * pixels;
    bool overlap = out_lo < in_hi && in_lo < out_hi;
    if (!overlap) {
#ifdef __ARM_NEON
        if (pixels >= 16) {
            rgba_to_float_neon(dst, rgba, pixels);
            return true;
        }
#endif
        nn_image_rgba_to_float_scalar(dst, rgba, pixels);
        return true;
    }
    if (out_lo >= in_lo) {
        rgba_to_float_backward(dst, rgba, pixels);
        return true;
    }
    /* Output below an overlapping input: no order of single pixels is safe,
     * so convert from a copy. */
    platform::unique_malloc<uint8_t[]> copy = platform::malloc_array<uint8_t>(4 * pixels);
    if (!copy)
        return false;
    memcpy(copy.get(), rgba, 4 * pixels);
    nn_image_rgba_to_float_scalar(dst, copy.get(), pixels);
    return true;
}

void standardize_buffer(float* data, size_t n)
{
    if (n == 0)
        return;
    float sum = 0.0f, squares = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        sum += data[i];
        squares += data[i] * data[i];
    }
    float count = (float)n;
    float mean = sum / count;
    float variance = squares / count - mean * mean;
    float floor = 1.0f / sqrtf(count);
    /* A variance below 0 (rounding) gives NaN under sqrt: the floor wins. */
    float deviation = variance > 0.0f ? sqrtf(variance) : 0.0f;
    float divisor = deviation > floor ? deviation : floor;
    for (size_t i = 0; i < n; ++i)
        data[i] = (data[i] - mean) / divisor;
}

void nn_image_apply_proc(float* data, size_t n, uint32_t proc)
{
    if (proc & NN_IMAGE_PROC_NORMALIZE)
        for (size_t i = 0; i < n; ++i)
            data[i] = data[i] * NN_IMAGE_SCALE_UNSIGNED;
    if (proc & NN_IMAGE_PROC_SIGNED_NORMALIZE)
        for (size_t i = 0; i < n; ++i)
            data[i] = data[i] * NN_IMAGE_SCALE_SIGNED - 1.0f;
    if (proc & NN_IMAGE_PROC_WHITENING)
        standardize_buffer(data, n);
}
