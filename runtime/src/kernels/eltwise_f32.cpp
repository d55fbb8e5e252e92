/* FLOAT32 and INT32 element-wise kernels: two arrays, or an array and one
 * value.  Eight elements per step (two four-lane vectors), the rest singly. */
#include <stdint.h>

#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

/* Vectors are used when the output is one of the inputs or lies apart from
 * them; a partial overlap is computed one element at a time, in order. */
#ifdef __ARM_NEON
static int vector_safe(const void* out, const void* in, int32_t count, size_t size)
{
    const char* o = (const char*)out;
    const char* i = (const char*)in;
    size_t n = (size_t)count * size;
    return o == i || o + n <= i || i + n <= o;
}
#endif

#define BINARY_OPS(X) X(add, +) X(subtract, -) X(multiply, *) X(divide, /)

#define DEFINE_PORTABLE(name, op)                                                               \
    void name##_f32_portable(float* out, int32_t count, const float* a, const float* b)         \
    {                                                                                           \
        for (int32_t i = 0; i < count; ++i)                                                     \
            out[i] = a[i] op b[i];                                                              \
    }                                                                                           \
    void name##_scalar_f32_portable(float* out, int32_t count, const float* a, float v)         \
    {                                                                                           \
        for (int32_t i = 0; i < count; ++i)                                                     \
            out[i] = a[i] op v;                                                                 \
    }                                                                                           \
    void name##_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b)     \
    {                                                                                           \
        for (int32_t i = 0; i < count; ++i)                                                     \
            out[i] = v op b[i];                                                                 \
    }
BINARY_OPS(DEFINE_PORTABLE)

#ifdef __ARM_NEON
#define NEON_add vaddq_f32
#define NEON_subtract vsubq_f32
#define NEON_multiply vmulq_f32
#define NEON_divide vdivq_f32

#define DEFINE_NEON(name, op)                                                                   \
    static void name##_neon(float* out, int32_t count, const float* a, const float* b)          \
    {                                                                                           \
        int32_t i = 0;                                                                          \
        if (vector_safe(out, a, count, 4) && vector_safe(out, b, count, 4))                     \
            for (; i + 8 <= count; i += 8) {                                                    \
                float32x4_t x0 = NEON_##name(vld1q_f32(a + i), vld1q_f32(b + i));               \
                float32x4_t x1 = NEON_##name(vld1q_f32(a + i + 4), vld1q_f32(b + i + 4));       \
                vst1q_f32(out + i, x0);                                                         \
                vst1q_f32(out + i + 4, x1);                                                     \
            }                                                                                   \
        for (; i < count; ++i)                                                                  \
            out[i] = a[i] op b[i];                                                              \
    }                                                                                           \
    static void name##_scalar_neon(float* out, int32_t count, const float* a, float v)          \
    {                                                                                           \
        float32x4_t s = vdupq_n_f32(v);                                                         \
        int32_t i = 0;                                                                          \
        if (vector_safe(out, a, count, 4))                                                      \
            for (; i + 8 <= count; i += 8) {                                                    \
                float32x4_t x0 = NEON_##name(vld1q_f32(a + i), s);                              \
                float32x4_t x1 = NEON_##name(vld1q_f32(a + i + 4), s);                          \
                vst1q_f32(out + i, x0);                                                         \
                vst1q_f32(out + i + 4, x1);                                                     \
            }                                                                                   \
        for (; i < count; ++i)                                                                  \
            out[i] = a[i] op v;                                                                 \
    }                                                                                           \
    static void name##_scalar_rev_neon(float* out, int32_t count, float v, const float* b)      \
    {                                                                                           \
        float32x4_t s = vdupq_n_f32(v);                                                         \
        int32_t i = 0;                                                                          \
        if (vector_safe(out, b, count, 4))                                                      \
            for (; i + 8 <= count; i += 8) {                                                    \
                float32x4_t x0 = NEON_##name(s, vld1q_f32(b + i));                              \
                float32x4_t x1 = NEON_##name(s, vld1q_f32(b + i + 4));                          \
                vst1q_f32(out + i, x0);                                                         \
                vst1q_f32(out + i + 4, x1);                                                     \
            }                                                                                   \
        for (; i < count; ++i)                                                                  \
            out[i] = v op b[i];                                                                 \
    }
BINARY_OPS(DEFINE_NEON)
#endif

#ifdef __ARM_NEON
#define ARRAY_BODY(name) name##_neon
#define SCALAR_BODY(name) name##_scalar_neon
#define REV_BODY(name) name##_scalar_rev_neon
#else
#define ARRAY_BODY(name) name##_f32_portable
#define SCALAR_BODY(name) name##_scalar_f32_portable
#define REV_BODY(name) name##_scalar_rev_f32_portable
#endif

void kernel_bias_add_f32(float* out, int32_t count, const float* a, const float* b)
{
    if (count > 0)
        ARRAY_BODY(add)(out, count, a, b);
}
void kernel_subtract_f32(float* out, int32_t count, const float* a, const float* b)
{
    if (count > 0)
        ARRAY_BODY(subtract)(out, count, a, b);
}
void kernel_multiply_f32(float* out, int32_t count, const float* a, const float* b)
{
    if (count > 0)
        ARRAY_BODY(multiply)(out, count, a, b);
}
void kernel_divide_f32(float* out, int32_t count, const float* a, const float* b)
{
    if (count > 0)
        ARRAY_BODY(divide)(out, count, a, b);
}

void kernel_add_scalar_f32(float* out, int32_t count, const float* array, float value)
{
    if (count > 0)
        SCALAR_BODY(add)(out, count, array, value);
}
void kernel_subtract_scalar_f32(float* out, int32_t count, const float* array, float value)
{
    if (count > 0)
        SCALAR_BODY(subtract)(out, count, array, value);
}
void kernel_multiply_scalar_f32(float* out, int32_t count, const float* array, float value)
{
    if (count > 0)
        SCALAR_BODY(multiply)(out, count, array, value);
}
void kernel_divide_scalar_f32(float* out, int32_t count, const float* array, float value)
{
    if (count > 0)
        SCALAR_BODY(divide)(out, count, array, value);
}

void binary_value_first_f32(int op, float* out, int32_t count, float value, const float* b)
{
    if (count <= 0)
        return;
    switch (op) {
    case 0: REV_BODY(add)(out, count, value, b); break;
    case 1: REV_BODY(subtract)(out, count, value, b); break;
    case 2: REV_BODY(multiply)(out, count, value, b); break;
    case 3: REV_BODY(divide)(out, count, value, b); break;
    default: break;
    }
}

void bias_add_i32_portable(int32_t* out, int32_t count, const int32_t* a, const int32_t* b)
{
    for (int32_t i = 0; i < count; ++i)
        out[i] = (int32_t)((uint32_t)a[i] + (uint32_t)b[i]);
}

void kernel_bias_add_i32(int32_t* out, int32_t count, const int32_t* a, const int32_t* b)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    int32_t i = 0;
    if (vector_safe(out, a, count, 4) && vector_safe(out, b, count, 4))
        for (; i + 8 <= count; i += 8) {
            int32x4_t x0 = vaddq_s32(vld1q_s32(a + i), vld1q_s32(b + i));
            int32x4_t x1 = vaddq_s32(vld1q_s32(a + i + 4), vld1q_s32(b + i + 4));
            vst1q_s32(out + i, x0);
            vst1q_s32(out + i + 4, x1);
        }
    bias_add_i32_portable(out + i, count - i, a + i, b + i);
#else
    bias_add_i32_portable(out, count, a, b);
#endif
}
