/* Pooling row kernels: one output row from the window rows of the input. */
#include <math.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

/* The valid tap range [begin, end) of output column ox. */
static inline void tap_range(int32_t ox, int32_t stride, int32_t pad_left, int32_t kw, int32_t iw,
                             int32_t* begin, int32_t* end)
{
    /* 64-bit: strides and pads come from model files */
    int64_t ix0 = (int64_t)ox * stride - pad_left;
    int64_t b = ix0 < 0 ? 0 : ix0 > iw ? iw : ix0;
    int64_t e = ix0 + kw > iw ? iw : ix0 + kw;
    *begin = (int32_t)b;
    *end = (int32_t)(e > b ? e : b);
}

/* Channels are the inner loop: each tap updates a whole pixel's channels. */
void maxpool_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t rows, int32_t kw)
{
    const int64_t row = (int64_t)iw * ch;
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        float* o = out + (int64_t)ox * ch;
        if (rows <= 0 || e <= b) {
            for (int32_t c = 0; c < ch; ++c)
                o[c] = -1e9f;
            continue;
        }
        const float* first = in + (int64_t)b * ch;
        for (int32_t c = 0; c < ch; ++c)
            o[c] = first[c];
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t x = b; x < e; ++x) {
                const float* v = in + r * row + (int64_t)x * ch;
                for (int32_t c = 0; c < ch; ++c)
                    o[c] = v[c] > o[c] ? v[c] : o[c];
            }
    }
}

void avgpool_f32_portable(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                          const float* in, int32_t pad_left, int32_t rows, int32_t kw)
{
    const int64_t row = (int64_t)iw * ch;
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        int32_t n = rows * (e - b);
        float k = n > 0 ? 1.0f / (float)n : 0.0f;
        float* o = out + (int64_t)ox * ch;
        for (int32_t c = 0; c < ch; ++c)
            o[c] = 0.0f;
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t x = b; x < e; ++x) {
                const float* v = in + r * row + (int64_t)x * ch;
                for (int32_t c = 0; c < ch; ++c)
                    o[c] += v[c];
            }
        for (int32_t c = 0; c < ch; ++c)
            o[c] *= k;
    }
}

#ifdef __ARM_NEON
static void maxpool_f32_neon(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                             const float* in, int32_t pad_left, int32_t rows, int32_t kw)
{
    const int64_t row = (int64_t)iw * ch;
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        float* o = out + (int64_t)ox * ch;
        if (rows <= 0 || e <= b) {
            for (int32_t c = 0; c < ch; ++c)
                o[c] = -1e9f;
            continue;
        }
        const float* first = in + (int64_t)b * ch;
        int32_t c = 0;
        for (; c + 4 <= ch; c += 4) {
            float32x4_t m = vld1q_f32(first + c);
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t x = b; x < e; ++x) {
                    float32x4_t v = vld1q_f32(in + r * row + (int64_t)x * ch + c);
                    m = vbslq_f32(vcgtq_f32(v, m), v, m);
                }
            vst1q_f32(o + c, m);
        }
        for (; c < ch; ++c) {
            float m = first[c];
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t x = b; x < e; ++x) {
                    float v = in[r * row + (int64_t)x * ch + c];
                    if (v > m)
                        m = v;
                }
            o[c] = m;
        }
    }
}

static void avgpool_f32_neon(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                             const float* in, int32_t pad_left, int32_t rows, int32_t kw)
{
    const int64_t row = (int64_t)iw * ch;
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        int32_t n = rows * (e - b);
        float k = n > 0 ? 1.0f / (float)n : 0.0f;
        float* o = out + (int64_t)ox * ch;
        int32_t c = 0;
        for (; c + 4 <= ch; c += 4) {
            float32x4_t s = vdupq_n_f32(0.0f);
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t x = b; x < e; ++x)
                    s = vaddq_f32(s, vld1q_f32(in + r * row + (int64_t)x * ch + c));
            vst1q_f32(o + c, vmulq_n_f32(s, k));
        }
        for (; c < ch; ++c) {
            float s = 0.0f;
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t x = b; x < e; ++x)
                    s += in[r * row + (int64_t)x * ch + c];
            o[c] = s * k;
        }
    }
}
#endif

void kernel_maxpool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                        int32_t kw)
{
    (void)pad_right;
    if (ow <= 0 || ch <= 0)
        return;
#ifdef __ARM_NEON
    maxpool_f32_neon(ow, ch, out, iw, stride, in, pad_left, rows, kw);
#else
    maxpool_f32_portable(ow, ch, out, iw, stride, in, pad_left, rows, kw);
#endif
}

void kernel_avgpool_f32(int32_t ow, int32_t ch, float* out, int32_t iw, int32_t stride,
                        const float* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                        int32_t kw)
{
    (void)pad_right;
    if (ow <= 0 || ch <= 0)
        return;
#ifdef __ARM_NEON
    avgpool_f32_neon(ow, ch, out, iw, stride, in, pad_left, rows, kw);
#else
    avgpool_f32_portable(ow, ch, out, iw, stride, in, pad_left, rows, kw);
#endif
}

static int64_t type_min(uint32_t type)
{
    switch (type) {
    case NN_TYPE_I8: return -128;
    case NN_TYPE_I16: return -32768;
    case NN_TYPE_I32: return INT32_MIN;
    default: return 0;
    }
}

/* Integer element in its own type, unsigned 32-bit included. */
static inline int64_t read_int(const void* p, int64_t i, uint32_t type)
{
    if (type == NN_TYPE_U32)
        return ((const uint32_t*)p)[i];
    return quant_read(p, (size_t)i, type);
}

void kernel_maxpool_quant(int32_t ow, int32_t ch, void* out, int32_t iw, int32_t stride,
                          const void* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                          int32_t kw, const nn_quant_params* in_q)
{
    (void)pad_right;
    uint32_t type = in_q ? in_q->type : 0;
    if (ow <= 0 || ch <= 0 || type < NN_TYPE_I8 || type > NN_TYPE_U32)
        return;
    const int64_t row = (int64_t)iw * ch;
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        for (int32_t c = 0; c < ch; ++c) {
            int64_t m = type_min(type);
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t x = b; x < e; ++x) {
                    int64_t v = read_int(in, r * row + (int64_t)x * ch + c, type);
                    if (v > m)
                        m = v;
                }
            quant_store(out, (size_t)((int64_t)ox * ch + c), m, type);
        }
    }
}

void kernel_avgpool_quant(int32_t ow, int32_t ch, void* out, int32_t iw, int32_t stride,
                          const void* in, int32_t pad_left, int32_t pad_right, int32_t rows,
                          int32_t kw, const nn_quant_params* in_q, const nn_quant_params* out_q)
{
    (void)pad_right;
    uint32_t type = in_q ? in_q->type : 0, out_type = out_q ? out_q->type : 0;
    if (ow <= 0 || ch <= 0 || type < NN_TYPE_I8 || type > NN_TYPE_U32)
        return;
    int32_t z_in = quant_zero(in_q), z_out = quant_zero(out_q);
    float m = quant_scale(in_q) / quant_scale(out_q);
    int rescale = !scales_close(fabsf(m - 1.0f));
    int32_t mult, shift;
    quantize_multiplier(&mult, &shift, m);
    const int64_t row = (int64_t)iw * ch;
    for (int32_t ox = 0; ox < ow; ++ox) {
        int32_t b, e;
        tap_range(ox, stride, pad_left, kw, iw, &b, &e);
        int32_t n = rows > 0 ? rows * (e - b) : 0;
        for (int32_t c = 0; c < ch; ++c) {
            int64_t sum = 0;
            for (int32_t r = 0; r < rows; ++r)
                for (int32_t x = b; x < e; ++x)
                    sum += read_int(in, r * row + (int64_t)x * ch + c, type);
            int64_t avg = n > 0 ? rounding_divide(saturate_i32(sum), n) : z_in;
            if (rescale)
                avg = (int64_t)z_out +
                      apply_multiplier(saturate_i32(avg - z_in), mult, shift);
            quant_store(out, (size_t)((int64_t)ox * ch + c), avg, out_type);
        }
    }
}
