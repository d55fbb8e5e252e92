/* FLOAT32 and INT32 element-wise kernels: two arrays, or an array and one
 * value.  Eight elements per step (two four-lane vectors), the rest singly. */
#include <stddef.h>
#include <stdint.h>

#include "kernels/eltwise_x86.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"
#include "kernels/simd.h"
#if defined(__x86_64__)
#include "kernels/cpu_isa.h"
#endif

namespace kestrune {
namespace {

using simd::Lanes;

/* The operations, on one value or on a vector of lanes. */
struct Add {
    static constexpr int code = 0;
    template <class L, typename V>
    static V apply(L, V a, V b) { return L::add(a, b); }
};
struct Subtract {
    static constexpr int code = 1;
    template <class L, typename V>
    static V apply(L, V a, V b) { return L::sub(a, b); }
};
struct Multiply {
    static constexpr int code = 2;
    template <class L, typename V>
    static V apply(L, V a, V b) { return L::mul(a, b); }
};
struct Divide {
    static constexpr int code = 3;
    template <class L, typename V>
    static V apply(L, V a, V b) { return L::div(a, b); }
};

/* Operands: an array read at each index, or one value for every index. */
template <typename T>
struct Array {
    const T* p;
    template <class L>
    typename L::type at(L, int32_t i) const { return L::load(p + i); }
    /* Vectors are used when the output is this array or lies apart from it;
     * a partial overlap is computed one element at a time, in order. */
    bool vector_safe(const T* out, int32_t count) const
    {
        const size_t n = static_cast<size_t>(count);
        return out == p || out + n <= p || p + n <= out;
    }
};

template <typename T>
struct Value {
    T v;
    template <class L>
    typename L::type at(L, int32_t) const { return L::dup(v); }
    bool vector_safe(const T*, int32_t) const { return true; }
};

template <typename T>
Array<T> array(const T* p) { return Array<T>{p}; }
template <typename T>
Value<T> value(T v) { return Value<T>{v}; }

/* out[i] = a[i] op b[i] for L's lanes from i; a read before b, so that the
 * compiler keeps a as the first operand (it decides which NaN an addition of
 * two NaNs returns). */
template <class L, class Op, typename T, class A, class B>
inline void step(T* out, int32_t i, A a, B b)
{
    const typename L::type x = a.at(L{}, i);
    const typename L::type y = b.at(L{}, i);
    L::store(out + i, Op::apply(L{}, x, y));
}

template <class Op, typename T, class A, class B>
void binary_portable(T* out, int32_t count, A a, B b)
{
    for (int32_t i = 0; i < count; ++i)
        step<Lanes<T, 1>, Op>(out, i, a, b);
}

#ifdef __ARM_NEON
template <class Op, typename T, class A, class B>
void binary_neon(T* out, int32_t count, A a, B b)
{
    using V = simd::Wide<T>;
    int32_t i = 0;
    if (a.vector_safe(out, count) && b.vector_safe(out, count))
        for (; i + 2 * V::width <= count; i += 2 * V::width) {
            const typename V::type a0 = a.at(V{}, i), b0 = b.at(V{}, i);
            const typename V::type x0 = Op::apply(V{}, a0, b0);
            const typename V::type a1 = a.at(V{}, i + V::width), b1 = b.at(V{}, i + V::width);
            const typename V::type x1 = Op::apply(V{}, a1, b1);
            V::store(out + i, x0);
            V::store(out + i + V::width, x1);
        }
    for (; i < count; ++i)
        step<Lanes<T, 1>, Op>(out, i, a, b);
}
#endif

#if defined(__x86_64__)
/* The wide table's body for a form, when it has one: every float form but
 * two values, and the INT32 addition of two arrays. */
template <class Op>
bool binary_wide(const eltwise_wide_table* w, float* out, int32_t count, Array<float> a,
                 Array<float> b)
{
    w->binary[Op::code][0](out, count, a.p, b.p, 0.0f);
    return true;
}
template <class Op>
bool binary_wide(const eltwise_wide_table* w, float* out, int32_t count, Array<float> a,
                 Value<float> b)
{
    w->binary[Op::code][1](out, count, a.p, nullptr, b.v);
    return true;
}
template <class Op>
bool binary_wide(const eltwise_wide_table* w, float* out, int32_t count, Value<float> a,
                 Array<float> b)
{
    w->binary[Op::code][2](out, count, nullptr, b.p, a.v);
    return true;
}
template <class Op>
bool binary_wide(const eltwise_wide_table* w, int32_t* out, int32_t count, Array<int32_t> a,
                 Array<int32_t> b)
{
    if (Op::code != Add::code)
        return false;
    w->add_i32(out, count, a.p, b.p);
    return true;
}
template <class Op, typename T, class A, class B>
bool binary_wide(const eltwise_wide_table*, T*, int32_t, A, B)
{
    return false;
}
#endif

/* The entry body of every form. */
template <class Op, typename T, class A, class B>
void binary(T* out, int32_t count, A a, B b)
{
    if (count <= 0)
        return;
#ifdef __ARM_NEON
    binary_neon<Op>(out, count, a, b);
#else
#if defined(__x86_64__)
    if (const eltwise_wide_table* w = eltwise_wide())
        if (a.vector_safe(out, count) && b.vector_safe(out, count) &&
            binary_wide<Op>(w, out, count, a, b))
            return;
#endif
    binary_portable<Op>(out, count, a, b);
#endif
}

} // namespace
} // namespace kestrune

using kestrune::array;
using kestrune::binary;
using kestrune::binary_portable;
using kestrune::value;
using Add = kestrune::Add;
using Subtract = kestrune::Subtract;
using Multiply = kestrune::Multiply;
using Divide = kestrune::Divide;

void add_f32_portable(float* out, int32_t count, const float* a, const float* b)
{
    binary_portable<Add>(out, count, array(a), array(b));
}
void subtract_f32_portable(float* out, int32_t count, const float* a, const float* b)
{
    binary_portable<Subtract>(out, count, array(a), array(b));
}
void multiply_f32_portable(float* out, int32_t count, const float* a, const float* b)
{
    binary_portable<Multiply>(out, count, array(a), array(b));
}
void divide_f32_portable(float* out, int32_t count, const float* a, const float* b)
{
    binary_portable<Divide>(out, count, array(a), array(b));
}

void add_scalar_f32_portable(float* out, int32_t count, const float* a, float v)
{
    binary_portable<Add>(out, count, array(a), value(v));
}
void subtract_scalar_f32_portable(float* out, int32_t count, const float* a, float v)
{
    binary_portable<Subtract>(out, count, array(a), value(v));
}
void multiply_scalar_f32_portable(float* out, int32_t count, const float* a, float v)
{
    binary_portable<Multiply>(out, count, array(a), value(v));
}
void divide_scalar_f32_portable(float* out, int32_t count, const float* a, float v)
{
    binary_portable<Divide>(out, count, array(a), value(v));
}

void add_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b)
{
    binary_portable<Add>(out, count, value(v), array(b));
}
void subtract_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b)
{
    binary_portable<Subtract>(out, count, value(v), array(b));
}
void multiply_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b)
{
    binary_portable<Multiply>(out, count, value(v), array(b));
}
void divide_scalar_rev_f32_portable(float* out, int32_t count, float v, const float* b)
{
    binary_portable<Divide>(out, count, value(v), array(b));
}

void kernel_bias_add_f32(float* out, int32_t count, const float* a, const float* b)
{
    binary<Add>(out, count, array(a), array(b));
}
void kernel_subtract_f32(float* out, int32_t count, const float* a, const float* b)
{
    binary<Subtract>(out, count, array(a), array(b));
}
void kernel_multiply_f32(float* out, int32_t count, const float* a, const float* b)
{
    binary<Multiply>(out, count, array(a), array(b));
}
void kernel_divide_f32(float* out, int32_t count, const float* a, const float* b)
{
    binary<Divide>(out, count, array(a), array(b));
}

void kernel_add_scalar_f32(float* out, int32_t count, const float* array_in, float v)
{
    binary<Add>(out, count, array(array_in), value(v));
}
void kernel_subtract_scalar_f32(float* out, int32_t count, const float* array_in, float v)
{
    binary<Subtract>(out, count, array(array_in), value(v));
}
void kernel_multiply_scalar_f32(float* out, int32_t count, const float* array_in, float v)
{
    binary<Multiply>(out, count, array(array_in), value(v));
}
void kernel_divide_scalar_f32(float* out, int32_t count, const float* array_in, float v)
{
    binary<Divide>(out, count, array(array_in), value(v));
}

void binary_value_first_f32(int op, float* out, int32_t count, float v, const float* b)
{
    switch (op) {
    case 0: binary<Add>(out, count, value(v), array(b)); break;
    case 1: binary<Subtract>(out, count, value(v), array(b)); break;
    case 2: binary<Multiply>(out, count, value(v), array(b)); break;
    case 3: binary<Divide>(out, count, value(v), array(b)); break;
    default: break;
    }
}

#if defined(__x86_64__)
const kestrune::eltwise_wide_table* kestrune::eltwise_wide(void)
{
    static const eltwise_wide_table* const chosen = cpu_isa_avx512() ? eltwise_table_avx512()
                                                    : cpu_isa_avx2()  ? eltwise_table_avx2()
                                                                      : nullptr;
    return chosen;
}
#endif

void bias_add_i32_portable(int32_t* out, int32_t count, const int32_t* a, const int32_t* b)
{
    binary_portable<Add>(out, count, array(a), array(b));
}

void kernel_bias_add_i32(int32_t* out, int32_t count, const int32_t* a, const int32_t* b)
{
    binary<Add>(out, count, array(a), array(b));
}
