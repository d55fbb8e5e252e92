/* Reductions over the middle axis of an [outer, reduce, inner] view, in
 * single precision, in increasing order of the reduced index. */
#include "kernels/kernels.h"

namespace kestrune {
namespace {

/* Each fold starts from start(values, n) at index `first` and folds in the
 * following values with step. */
struct Sum {
    static constexpr int32_t first = 0;
    static float start(const float*, int32_t) { return 0.0f; }
    static float step(float v, float x) { return v + x; }
    static float finish(float v, int32_t) { return v; }
};
struct Mean : Sum {
    static float finish(float v, int32_t n) { return v / static_cast<float>(n); }
};
struct Product {
    static constexpr int32_t first = 0;
    static float start(const float*, int32_t) { return 1.0f; }
    static float step(float v, float x) { return v * x; }
    static float finish(float v, int32_t) { return v; }
};
struct Min {
    static constexpr int32_t first = 1;
    /* Min and max of nothing are 0. */
    static float start(const float* p, int32_t n) { return n > 0 ? p[0] : 0.0f; }
    static float step(float v, float x) { return x < v ? x : v; }
    static float finish(float v, int32_t) { return v; }
};
struct Max : Min {
    static float step(float v, float x) { return x > v ? x : v; }
};

template <class R>
void reduce(float* out, int32_t s0, int32_t s1, int32_t s2, const float* in, int32_t outer,
            int32_t n, int32_t inner)
{
    for (int32_t o = 0; o < outer; ++o)
        for (int32_t i = 0; i < inner; ++i) {
            const float* p = in + static_cast<int64_t>(o) * s0 + static_cast<int64_t>(i) * s2;
            float v = R::start(p, n);
            for (int32_t r = R::first; r < n; ++r)
                v = R::step(v, p[static_cast<int64_t>(r) * s1]);
            out[static_cast<int64_t>(o) * inner + i] = R::finish(v, n);
        }
}

} // namespace
} // namespace kestrune

using namespace kestrune;

void kernel_reduce_sum_f32(float* out, int32_t, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t n, int32_t inner)
{
    reduce<Sum>(out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_min_f32(float* out, int32_t, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t n, int32_t inner)
{
    reduce<Min>(out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_max_f32(float* out, int32_t, int32_t s0, int32_t s1, int32_t s2,
                           const float* in, int32_t outer, int32_t n, int32_t inner)
{
    reduce<Max>(out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_mean_f32(float* out, int32_t, int32_t s0, int32_t s1, int32_t s2,
                            const float* in, int32_t outer, int32_t n, int32_t inner)
{
    reduce<Mean>(out, s0, s1, s2, in, outer, n, inner);
}
void kernel_reduce_product_f32(float* out, int32_t, int32_t s0, int32_t s1, int32_t s2,
                               const float* in, int32_t outer, int32_t n, int32_t inner)
{
    reduce<Product>(out, s0, s1, s2, in, outer, n, inner);
}
