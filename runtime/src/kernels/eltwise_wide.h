/* The bodies of eltwise_x86.h's tables as templates over a vector type V
 * (Avx2 or Avx512 below); included by the files built for those extensions
 * only, and all of it local to the including file, so no body built for one
 * extension can stand in for another at link time.  Whole vectors, two per
 * step where the body is short; the last few elements go through one more
 * vector in a buffer of their own. */
#ifndef KESTRUNE_KERNELS_ELTWISE_WIDE_H
#define KESTRUNE_KERNELS_ELTWISE_WIDE_H

#include <immintrin.h>
#include <stdint.h>

#include <string.h>

#include "kernels/eltwise_x86.h"

namespace kestrune {
namespace {

#ifdef __AVX2__
struct Avx2 {
    using F = __m256;
    using I = __m256i;
    using M = __m256;
    static constexpr int lanes = 8;
    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static I iload(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void istore(int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static I iadd(I a, I b) { return _mm256_add_epi32(a, b); }
    static F dup(float v) { return _mm256_set1_ps(v); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F div(F a, F b) { return _mm256_div_ps(a, b); }
    static F abs(F a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    /* Ordered comparisons: false for a NaN lane, as in the scalar tests. */
    static M le(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    static M lt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static M ge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static M gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static F select(M m, F yes, F no) { return _mm256_blendv_ps(no, yes, m); }
    /* Each lane times k in double precision, rounded back to float. */
    static F scale_in_double(F p, double k)
    {
        const __m256d kk = _mm256_set1_pd(k);
        const __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(p)), kk));
        const __m128 hi = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)), kk));
        return _mm256_set_m128(hi, lo);
    }
};
#endif

#ifdef __AVX512F__
struct Avx512 {
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;
    static constexpr int lanes = 16;
    static F load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
    static I iload(const int32_t* p) { return _mm512_loadu_si512(p); }
    static void istore(int32_t* p, I v) { _mm512_storeu_si512(p, v); }
    static I iadd(I a, I b) { return _mm512_add_epi32(a, b); }
    static F dup(float v) { return _mm512_set1_ps(v); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F div(F a, F b) { return _mm512_div_ps(a, b); }
    static F abs(F a) { return _mm512_abs_ps(a); }
    static M le(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
    static M lt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static M ge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
    static M gt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    static F select(M m, F yes, F no) { return _mm512_mask_blend_ps(m, no, yes); }
    static F scale_in_double(F p, double k)
    {
        const __m512d kk = _mm512_set1_pd(k);
        const __m256 lo = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(p)), kk));
        const __m256 hi = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(p, 1)), kk));
        return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
    }
};
#endif

/* ---- the operations ------------------------------------------------------- */

struct Add {
    template <class V> static typename V::F on(typename V::F a, typename V::F b) { return V::add(a, b); }
};
struct Subtract {
    template <class V> static typename V::F on(typename V::F a, typename V::F b) { return V::sub(a, b); }
};
struct Multiply {
    template <class V> static typename V::F on(typename V::F a, typename V::F b) { return V::mul(a, b); }
};
struct Divide {
    template <class V> static typename V::F on(typename V::F a, typename V::F b) { return V::div(a, b); }
};

/* The activations of activation_ops.h lane by lane: the same tests in the
 * same order, so NaN and -0 take the scalar functor's branch. */
template <class V>
struct Lanes {
    using F = typename V::F;
    static F relu(F x) { return V::select(V::le(x, V::dup(0.0f)), V::dup(0.0f), x); }
    static F relu6(F x)
    {
        const F upper = V::select(V::ge(x, V::dup(6.0f)), V::dup(6.0f), x);
        return V::select(V::le(x, V::dup(0.0f)), V::dup(0.0f), upper);
    }
    static F sigmoid_fast(F x) { return V::div(V::dup(1.0f), V::add(V::abs(x), V::dup(1.0f))); }
    static F swish(F x)
    {
        F t = V::add(x, V::dup(3.0f));
        t = V::select(V::lt(t, V::dup(0.0f)), V::dup(0.0f), t);
        t = V::select(V::gt(t, V::dup(6.0f)), V::dup(6.0f), t);
        return V::scale_in_double(V::mul(x, t), 0.166666667);
    }
    static F leaky(F x, F alpha) { return V::select(V::lt(x, V::dup(0.0f)), V::mul(alpha, x), x); }
    static F prelu(F x, F s) { return V::select(V::gt(x, V::dup(0.0f)), x, V::mul(s, x)); }
};

/* ---- bodies -------------------------------------------------------------- */

/* Form 0: a op b; 1: a op v; 2: v op b.  The first operand is loaded first
 * (it decides which NaN an operation on two NaNs returns). */
template <class V, class Op, int Form>
void binary(float* out, int32_t count, const float* a, const float* b, float v)
{
    using F = typename V::F;
    const F vv = V::dup(v);
    auto first = [&](int32_t i) { return Form == 2 ? vv : V::load(a + i); };
    auto second = [&](int32_t i) { return Form == 1 ? vv : V::load(b + i); };
    int32_t i = 0;
    for (; i + 2 * V::lanes <= count; i += 2 * V::lanes) {
        const F a0 = first(i), b0 = second(i);
        const F a1 = first(i + V::lanes), b1 = second(i + V::lanes);
        const F x0 = Op::template on<V>(a0, b0), x1 = Op::template on<V>(a1, b1);
        V::store(out + i, x0);
        V::store(out + i + V::lanes, x1);
    }
    for (; i + V::lanes <= count; i += V::lanes)
        V::store(out + i, Op::template on<V>(first(i), second(i)));
    if (i < count) {
        const size_t rest = (size_t)(count - i) * sizeof(float);
        float ta[V::lanes] = {}, tb[V::lanes] = {}, to[V::lanes];
        if (Form != 2)
            memcpy(ta, a + i, rest);
        if (Form != 1)
            memcpy(tb, b + i, rest);
        const F x = Form == 2 ? vv : V::load(ta);
        const F y = Form == 1 ? vv : V::load(tb);
        V::store(to, Op::template on<V>(x, y));
        memcpy(out + i, to, rest);
    }
}

template <class V>
void add_i32(int32_t* out, int32_t count, const int32_t* a, const int32_t* b)
{
    int32_t i = 0;
    for (; i + V::lanes <= count; i += V::lanes)
        V::istore(out + i, V::iadd(V::iload(a + i), V::iload(b + i)));
    if (i < count) {
        const size_t rest = (size_t)(count - i) * sizeof(int32_t);
        int32_t ta[V::lanes] = {}, tb[V::lanes] = {}, to[V::lanes];
        memcpy(ta, a + i, rest);
        memcpy(tb, b + i, rest);
        V::istore(to, V::iadd(V::iload(ta), V::iload(tb)));
        memcpy(out + i, to, rest);
    }
}

/* out[i] = vec(in[i]) lane by lane. */
template <class V, class Vec>
inline void unary(float* out, int32_t count, const float* in, Vec vec)
{
    int32_t i = 0;
    for (; i + V::lanes <= count; i += V::lanes)
        V::store(out + i, vec(V::load(in + i)));
    if (i < count) {
        const size_t rest = (size_t)(count - i) * sizeof(float);
        float t[V::lanes] = {};
        memcpy(t, in + i, rest);
        V::store(t, vec(V::load(t)));
        memcpy(out + i, t, rest);
    }
}

template <class V>
void relu(float* out, int32_t count, const float* in)
{
    unary<V>(out, count, in, [](typename V::F x) { return Lanes<V>::relu(x); });
}
template <class V>
void relu6(float* out, int32_t count, const float* in)
{
    unary<V>(out, count, in, [](typename V::F x) { return Lanes<V>::relu6(x); });
}
template <class V>
void sigmoid_fast(float* out, int32_t count, const float* in)
{
    unary<V>(out, count, in, [](typename V::F x) { return Lanes<V>::sigmoid_fast(x); });
}
template <class V>
void swish(float* out, int32_t count, const float* in)
{
    unary<V>(out, count, in, [](typename V::F x) { return Lanes<V>::swish(x); });
}
template <class V>
void leaky_relu(float* out, int32_t count, const float* in, float alpha)
{
    const typename V::F a = V::dup(alpha);
    unary<V>(out, count, in, [a](typename V::F x) { return Lanes<V>::leaky(x, a); });
}

template <class V>
void prelu(float* out, int32_t rows, const float* in, int32_t k, const float* slope)
{
    for (int32_t r = 0; r < rows; ++r) {
        const float* x = in + static_cast<int64_t>(r) * k;
        float* y = out + static_cast<int64_t>(r) * k;
        int32_t j = 0;
        for (; j + V::lanes <= k; j += V::lanes)
            V::store(y + j, Lanes<V>::prelu(V::load(x + j), V::load(slope + j)));
        if (j < k) {
            const size_t rest = (size_t)(k - j) * sizeof(float);
            float tx[V::lanes] = {}, ts[V::lanes] = {};
            memcpy(tx, x + j, rest);
            memcpy(ts, slope + j, rest);
            V::store(tx, Lanes<V>::prelu(V::load(tx), V::load(ts)));
            memcpy(y + j, tx, rest);
        }
    }
}

/* The table of V's bodies. */
template <class V>
constexpr eltwise_wide_table table()
{
    return eltwise_wide_table{
        {{binary<V, Add, 0>, binary<V, Add, 1>, binary<V, Add, 2>},
         {binary<V, Subtract, 0>, binary<V, Subtract, 1>, binary<V, Subtract, 2>},
         {binary<V, Multiply, 0>, binary<V, Multiply, 1>, binary<V, Multiply, 2>},
         {binary<V, Divide, 0>, binary<V, Divide, 1>, binary<V, Divide, 2>}},
        add_i32<V>,
        relu<V>,
        relu6<V>,
        sigmoid_fast<V>,
        swish<V>,
        leaky_relu<V>,
        prelu<V>,
    };
}

} // namespace
} // namespace kestrune

#endif
