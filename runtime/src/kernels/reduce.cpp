/* Reductions over the middle axis of an [outer, reduce, inner] view, in
 * single precision, in increasing order of the reduced index. */
#include "kernels/kernels.h"

enum { R_SUM, R_MIN, R_MAX, R_MEAN, R_PRODUCT };

static void reduce(int kind, float* out, int32_t s0, int32_t s1, int32_t s2, const float* in,
                   int32_t outer, int32_t n, int32_t inner)
{
    for (int32_t o = 0; o < outer; ++o)
        for (int32_t i = 0; i < inner; ++i) {
            const float* p = in + (int64_t)o * s0 + (int64_t)i * s2;
            float v;
            switch (kind) {
            case R_MIN:
            case R_MAX:
                v = n > 0 ? p[0] : 0.0f;
                for (int32_t r = 1; r < n; ++r) {
                    float x = p[(int64_t)r * s1];
                    if (kind == R_MIN ? x < v : x > v)
                        v = x;
                }
                break;
            case R_PRODUCT:
                v = 1.0f;
                for (int32_t r = 0; r < n; ++r)
                    v *= p[(int64_t)r * s1];
                break;
            default:
                v = 0.0f;
                for (int32_t r = 0; r < n; ++r)
                    v += p[(int64_t)r * s1];
                if (kind == R_MEAN)
                    v /= (float)n;
                break;
            }
            out[(int64_t)o * inner + i] = v;
        }
}

void kernel_reduce_sum_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t n, int32_t inner)
{
    (void)volume;
    reduce(R_SUM, out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_min_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t n, int32_t inner)
{
    (void)volume;
    reduce(R_MIN, out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_max_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t n, int32_t inner)
{
    (void)volume;
    reduce(R_MAX, out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_mean_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                            const float* in, int32_t outer, int32_t n, int32_t inner)
{
    (void)volume;
    reduce(R_MEAN, out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_product_f32(float* out, int32_t volume, int32_t s0, int32_t s1, int32_t s2,
                               const float* in, int32_t outer, int32_t n, int32_t inner)
{
    (void)volume;
    reduce(R_PRODUCT, out, s0, s1, s2, in, outer, n, inner);
}
