/* Quantised element-wise kernels.  Operands are read in their own types;
 * differences, sums and products are formed in 64 bits and saturate to 32 bits
 * only where a value enters the fixed-point rescale. */
#include <math.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"

#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

enum { OP_ADD = 0, OP_SUBTRACT = 1, OP_MULTIPLY = 2, OP_DIVIDE = 3 };

static inline int64_t add_sat64(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return a > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

static inline int64_t mul_sat64(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r))
        return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
    return r;
}

/* What one call needs of the three records, computed once. */
typedef struct binary_plan {
    int op;
    uint32_t ta, tb, to;
    int32_t za, zb, zo;
    /* add/subtract: each operand's rescale */
    int rescale_a, rescale_b;
    int32_t ma, ea, mb, eb;
    /* multiply/divide: the product's or quotient's rescale */
    int rescale;
    int32_t m, e;
    float ratio;
} binary_plan;

static binary_plan make_plan(int op, const nn_quant_params* a_q, const nn_quant_params* b_q,
                             const nn_quant_params* o_q)
{
    binary_plan p;
    float sa = quant_scale(a_q), sb = quant_scale(b_q), so = quant_scale(o_q);
    p.op = op;
    p.ta = a_q ? a_q->type : 0;
    p.tb = b_q ? b_q->type : 0;
    p.to = o_q ? o_q->type : 0;
    p.za = quant_zero(a_q);
    p.zb = quant_zero(b_q);
    p.zo = quant_zero(o_q);
    p.rescale_a = !scales_close(fabsf(sa - so));
    p.rescale_b = !scales_close(fabsf(sb - so));
    quantize_multiplier(&p.ma, &p.ea, sa / so);
    quantize_multiplier(&p.mb, &p.eb, sb / so);
    p.ratio = op == OP_DIVIDE ? sa / (sb * so) : (sa * sb) / so;
    p.rescale = !scales_close(fabsf(p.ratio - 1.0f));
    quantize_multiplier(&p.m, &p.e, p.ratio);
    return p;
}

static inline int64_t prep_a(const binary_plan* p, int64_t a)
{
    return p->rescale_a ? apply_multiplier(saturate_i32(a), p->ma, p->ea) : a;
}
static inline int64_t prep_b(const binary_plan* p, int64_t b)
{
    return p->rescale_b ? apply_multiplier(saturate_i32(b), p->mb, p->eb) : b;
}

/* a and b are the operands with their zero points taken off (and, for add and
 * subtract, already rescaled); the result with the output zero point added. */
static inline int64_t combine(const binary_plan* p, int64_t a, int64_t b)
{
    switch (p->op) {
    case OP_ADD: return add_sat64(add_sat64(a, b), p->zo);
    case OP_SUBTRACT: return add_sat64(add_sat64(a, -b), p->zo);
    case OP_MULTIPLY: {
        int64_t r = mul_sat64(a, b);
        if (p->rescale)
            r = apply_multiplier(saturate_i32(r), p->m, p->e);
        return add_sat64(r, p->zo);
    }
    default: {
        float q = (float)a / (float)b;
        if (p->rescale)
            q = roundf(p->ratio * q);
        return (int64_t)float_to_i32_sat(q) + p->zo;
    }
    }
}

static void binary_generic(const binary_plan* p, void* out, int32_t begin, int32_t count,
                           const void* a, const void* b)
{
    int additive = p->op == OP_ADD || p->op == OP_SUBTRACT;
    for (int32_t i = begin; i < count; ++i) {
        int64_t x = (int64_t)quant_read(a, (size_t)i, p->ta) - p->za;
        int64_t y = (int64_t)quant_read(b, (size_t)i, p->tb) - p->zb;
        if (additive) {
            x = prep_a(p, x);
            y = prep_b(p, y);
        }
        quant_store(out, (size_t)i, combine(p, x, y), p->to);
    }
}

void binary_quant_generic(int op, void* out, int32_t count, const void* a, const void* b,
                          const nn_quant_params* a_q, const nn_quant_params* b_q,
                          const nn_quant_params* out_q)
{
    if (count <= 0)
        return;
    binary_plan p = make_plan(op, a_q, b_q, out_q);
    binary_generic(&p, out, 0, count, a, b);
}

void binary_scalar_quant(int op, int value_first, void* out, int32_t count, const void* array,
                         const void* value, const nn_quant_params* array_q,
                         const nn_quant_params* value_q, const nn_quant_params* out_q)
{
    if (count <= 0)
        return;
    /* The plan's A is the left operand. */
    const nn_quant_params* left_q = value_first ? value_q : array_q;
    const nn_quant_params* right_q = value_first ? array_q : value_q;
    binary_plan p = make_plan(op, left_q, right_q, out_q);
    int additive = op == OP_ADD || op == OP_SUBTRACT;
    uint32_t tv = value_q ? value_q->type : 0, tarr = array_q ? array_q->type : 0;
    int32_t zv = quant_zero(value_q), zarr = quant_zero(array_q);
    int64_t v = (int64_t)quant_read(value, 0, tv) - zv;
    if (additive)
        v = value_first ? prep_a(&p, v) : prep_b(&p, v);
    for (int32_t i = 0; i < count; ++i) {
        int64_t x = (int64_t)quant_read(array, (size_t)i, tarr) - zarr;
        if (additive)
            x = value_first ? prep_b(&p, x) : prep_a(&p, x);
        int64_t r = value_first ? combine(&p, v, x) : combine(&p, x, v);
        quant_store(out, (size_t)i, r, p.to);
    }
}

/* ---- INT8 eight-lane kernels ------------------------------------------ */

static inline int8_t clamp_i8(int64_t v)
{
    return (int8_t)(v < -128 ? -128 : v > 127 ? 127 : v);
}

/* The tail of the fast kernels: both operands always rescaled (add), the
 * product always rescaled (multiply). */
static void i8_tail(const binary_plan* p, int8_t* out, int32_t begin, int32_t count,
                    const int8_t* a, const int8_t* b)
{
    for (int32_t i = begin; i < count; ++i) {
        int32_t x = wrap_sub(a[i], p->za), y = wrap_sub(b[i], p->zb);
        int64_t r;
        if (p->op == OP_ADD)
            r = (int64_t)apply_multiplier(x, p->ma, p->ea) + apply_multiplier(y, p->mb, p->eb);
        else
            r = apply_multiplier(saturate_i32((int64_t)x * y), p->m, p->e);
        out[i] = clamp_i8(r + p->zo);
    }
}

static inline int8_t lanes_store(int32_t r, int32_t zo)
{
    return clamp_i8(saturate_i32((int64_t)r + zo));
}

void add_i8_portable(int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
                     const nn_quant_params* a_q, const nn_quant_params* b_q,
                     const nn_quant_params* out_q)
{
    if (count <= 0)
        return;
    binary_plan p = make_plan(OP_ADD, a_q, b_q, out_q);
    float ra = quant_scale(a_q) / quant_scale(out_q), rb = quant_scale(b_q) / quant_scale(out_q);
    int32_t blocks = count / 8 * 8;
    /* When no product can reach 2^22 and no sum can saturate, the rounding and
     * the narrowing reduce to plain arithmetic with the same results. */
    const float limit = 4194304.0f;
    int64_t za = p.za < 0 ? -(int64_t)p.za : p.za, zb = p.zb < 0 ? -(int64_t)p.zb : p.zb;
    if (fabsf(ra) * (float)(128 + za) < limit && fabsf(rb) * (float)(128 + zb) < limit &&
        p.zo < (1 << 24) && p.zo > -(1 << 24)) {
        const float big = 12582912.0f;
        for (int32_t i = 0; i < blocks; ++i) {
            int32_t x = (int32_t)(((float)wrap_sub(a[i], p.za) * ra + big) - big);
            int32_t y = (int32_t)(((float)wrap_sub(b[i], p.zb) * rb + big) - big);
            int32_t v = x + y + p.zo;
            out[i] = (int8_t)(v < -128 ? -128 : v > 127 ? 127 : v);
        }
    } else {
        for (int32_t i = 0; i < blocks; ++i) {
            int32_t x = round_even_to_i32((float)wrap_sub(a[i], p.za) * ra);
            int32_t y = round_even_to_i32((float)wrap_sub(b[i], p.zb) * rb);
            out[i] = lanes_store(saturate_i32((int64_t)x + y), p.zo);
        }
    }
    i8_tail(&p, out, blocks, count, a, b);
}

void multiply_i8_portable(int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
                          const nn_quant_params* a_q, const nn_quant_params* b_q,
                          const nn_quant_params* out_q)
{
    if (count <= 0)
        return;
    binary_plan p = make_plan(OP_MULTIPLY, a_q, b_q, out_q);
    int32_t blocks = count / 8 * 8;
    for (int32_t i = 0; i < blocks; ++i) {
        int32_t prod = wrap_mul(wrap_sub(a[i], p.za), wrap_sub(b[i], p.zb));
        out[i] = lanes_store(round_even_to_i32((float)prod * p.ratio), p.zo);
    }
    i8_tail(&p, out, blocks, count, a, b);
}

#ifdef __ARM_NEON
static inline void widen_minus(const int8_t* p, int32x4_t z, int32x4_t* lo, int32x4_t* hi)
{
    int16x8_t w = vmovl_s8(vld1_s8(p));
    *lo = vsubq_s32(vmovl_s16(vget_low_s16(w)), z);
    *hi = vsubq_s32(vmovl_s16(vget_high_s16(w)), z);
}

namespace kestrune {
namespace {

/* Eight lanes at a time: lanes(a - za, b - zb) gives the result before the
 * output zero point; the tail follows the plan's rule. */
template <class F>
void i8_neon(const binary_plan* p, int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
             F lanes)
{
    const int32x4_t za = vdupq_n_s32(p->za), zb = vdupq_n_s32(p->zb), zo = vdupq_n_s32(p->zo);
    const int32_t blocks = count / 8 * 8;
    for (int32_t i = 0; i < blocks; i += 8) {
        int32x4_t a0, a1, b0, b1;
        widen_minus(a + i, za, &a0, &a1);
        widen_minus(b + i, zb, &b0, &b1);
        const int32x4_t lo = vqaddq_s32(lanes(a0, b0), zo);
        const int32x4_t hi = vqaddq_s32(lanes(a1, b1), zo);
        vst1_s8(out + i, vqmovn_s16(vcombine_s16(vqmovn_s32(lo), vqmovn_s32(hi))));
    }
    i8_tail(p, out, blocks, count, a, b);
}

} // namespace
} // namespace kestrune

static void add_i8_neon(int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
                        const nn_quant_params* a_q, const nn_quant_params* b_q,
                        const nn_quant_params* out_q)
{
    const binary_plan p = make_plan(OP_ADD, a_q, b_q, out_q);
    const float32x4_t ra = vdupq_n_f32(quant_scale(a_q) / quant_scale(out_q));
    const float32x4_t rb = vdupq_n_f32(quant_scale(b_q) / quant_scale(out_q));
    kestrune::i8_neon(&p, out, count, a, b, [&](int32x4_t x, int32x4_t y) {
        return vqaddq_s32(vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(x), ra)),
                          vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(y), rb)));
    });
}

static void multiply_i8_neon(int8_t* out, int32_t count, const int8_t* a, const int8_t* b,
                             const nn_quant_params* a_q, const nn_quant_params* b_q,
                             const nn_quant_params* out_q)
{
    const binary_plan p = make_plan(OP_MULTIPLY, a_q, b_q, out_q);
    const float32x4_t m = vdupq_n_f32(p.ratio);
    kestrune::i8_neon(&p, out, count, a, b, [&](int32x4_t x, int32x4_t y) {
        return vcvtnq_s32_f32(vmulq_f32(vcvtq_f32_s32(vmulq_s32(x, y)), m));
    });
}
#endif

/* The fast kernels are chosen by A's and B's types and run only when the
 * output is INT8 as well: they write int8 values. */
static bool fast_i8(const nn_quant_params* a_q, const nn_quant_params* b_q,
                    const nn_quant_params* o_q)
{
    return a_q && b_q && o_q && a_q->type == NN_TYPE_I8 && b_q->type == NN_TYPE_I8 &&
           o_q->type == NN_TYPE_I8;
}

namespace kestrune {
namespace {

using i8_kernel = void(int8_t*, int32_t, const int8_t*, const int8_t*, const nn_quant_params*,
                       const nn_quant_params*, const nn_quant_params*);

/* The eight-lane kernel Fast (one call per row, not per element) when every
 * record is INT8, else the generic kernel of op. */
template <i8_kernel* Fast>
void fast_or_generic(int op, void* out, int32_t count, const void* a, const void* b,
                     const nn_quant_params* a_q, const nn_quant_params* b_q,
                     const nn_quant_params* out_q)
{
    if (count <= 0)
        return;
    if (fast_i8(a_q, b_q, out_q))
        Fast(static_cast<int8_t*>(out), count, static_cast<const int8_t*>(a),
             static_cast<const int8_t*>(b), a_q, b_q, out_q);
    else
        binary_quant_generic(op, out, count, a, b, a_q, b_q, out_q);
}

#ifdef __ARM_NEON
constexpr i8_kernel* add_i8 = add_i8_neon;
constexpr i8_kernel* multiply_i8 = multiply_i8_neon;
#else
constexpr i8_kernel* add_i8 = add_i8_portable;
constexpr i8_kernel* multiply_i8 = multiply_i8_portable;
#endif

} // namespace
} // namespace kestrune

using kestrune::add_i8;
using kestrune::fast_or_generic;
using kestrune::multiply_i8;

void kernel_add_quant(void* out, int32_t count, const void* a, const void* b,
                      const nn_quant_params* a_q, const nn_quant_params* b_q,
                      const nn_quant_params* out_q)
{
    fast_or_generic<add_i8>(OP_ADD, out, count, a, b, a_q, b_q, out_q);
}

void kernel_subtract_quant(void* out, int32_t count, const void* a, const void* b,
                           const nn_quant_params* a_q, const nn_quant_params* b_q,
                           const nn_quant_params* out_q)
{
    binary_quant_generic(OP_SUBTRACT, out, count, a, b, a_q, b_q, out_q);
}

void kernel_multiply_quant(void* out, int32_t count, const void* a, const void* b,
                           const nn_quant_params* a_q, const nn_quant_params* b_q,
                           const nn_quant_params* out_q)
{
    fast_or_generic<multiply_i8>(OP_MULTIPLY, out, count, a, b, a_q, b_q, out_q);
}

void kernel_divide_quant(void* out, int32_t count, const void* a, const void* b,
                         const nn_quant_params* a_q, const nn_quant_params* b_q,
                         const nn_quant_params* out_q)
{
    binary_quant_generic(OP_DIVIDE, out, count, a, b, a_q, b_q, out_q);
}

void kernel_add_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                             const nn_quant_params* array_q, const nn_quant_params* value_q,
                             const nn_quant_params* out_q)
{
    binary_scalar_quant(OP_ADD, 0, out, count, array, value, array_q, value_q, out_q);
}
void kernel_subtract_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                                  const nn_quant_params* array_q, const nn_quant_params* value_q,
                                  const nn_quant_params* out_q)
{
    binary_scalar_quant(OP_SUBTRACT, 0, out, count, array, value, array_q, value_q, out_q);
}
void kernel_multiply_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                                  const nn_quant_params* array_q, const nn_quant_params* value_q,
                                  const nn_quant_params* out_q)
{
    binary_scalar_quant(OP_MULTIPLY, 0, out, count, array, value, array_q, value_q, out_q);
}
void kernel_divide_scalar_quant(void* out, int32_t count, const void* array, const void* value,
                                const nn_quant_params* array_q, const nn_quant_params* value_q,
                                const nn_quant_params* out_q)
{
    binary_scalar_quant(OP_DIVIDE, 0, out, count, array, value, array_q, value_q, out_q);
}
