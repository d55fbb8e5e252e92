/* Element-wise operators: the broadcasting binary operators on a FLOAT32 path
 * and a quantised path, and the unary operators. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "kernels/portable.h"
#include "ops/frame.h"
#include "ops/ops.h"
#include "platform.h"
#include "tensor/tensor_record.h"

namespace {

using kestrune::FrameMaps;
using kestrune::quantise_back;
using kestrune::ReadMap;
using kestrune::ReadWriteMap;
using kestrune::run_on_views;

/* ---- shape cases ------------------------------------------------------- */

/* The shape cases in the order they are tried; the flat ones (channel to
 * same) come first. */
enum class Case { channel, both_single, a_single, b_single, same, first, general };

Case classify(const nn_tensor* a, const nn_tensor* b)
{
    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b);
    const int32_t *sa = a->shape, *sb = b->shape;
    if (vb > 0 && vb == sb[0] && vb == sa[3])
        return Case::channel;
    if (va == 1 && vb == 1)
        return Case::both_single;
    if (va == 1)
        return Case::a_single;
    if (vb == 1)
        return Case::b_single;
    if (nn_tensor_shape_equal(sa, sb))
        return Case::same;
    if (sa[0] == sb[0] && (sa[0] == va || sb[0] == vb))
        return Case::first;
    return Case::general;
}

bool flat_case(Case kase)
{
    return kase <= Case::same;
}

/* The output volume a flat case writes. */
int32_t flat_need(Case kase, int32_t va, int32_t vb)
{
    return kase == Case::a_single ? vb : va;
}

/* Dims and shape of a tensor, to put back after a reshape. */
struct saved_shape {
    int dims;
    int32_t shape[4];
};

saved_shape save_shape(const nn_tensor* t)
{
    saved_shape s;
    s.dims = t->dims;
    memcpy(s.shape, t->shape, sizeof s.shape);
    return s;
}

int restore_shape(nn_tensor* t, const saved_shape* s)
{
    return nn_tensor_reshape(t, s->dims, s->shape);
}

/* The shape right-aligned into four dimensions. */
void pad_shape(const nn_tensor* t, int32_t out[4])
{
    int dims = t->dims;
    for (int i = 0; i < 4; ++i)
        out[i] = 1;
    for (int i = 0; i < dims; ++i)
        out[4 - dims + i] = t->shape[i];
}

int broadcast_shape(const int32_t a[4], const int32_t b[4], int32_t out[4])
{
    for (int k = 0; k < 4; ++k) {
        if (a[k] == b[k] || b[k] == 1)
            out[k] = a[k];
        else if (a[k] == 1)
            out[k] = b[k];
        else
            return 0;
    }
    return 1;
}

void report_volume(int32_t volume, const int32_t* shape)
{
    fprintf(stderr, "output volume %d insufficient for shape [%d %d %d %d]\n", volume, shape[0],
            shape[1], shape[2], shape[3]);
}

void report_broadcast(int a_dims, const int32_t* a, int b_dims, const int32_t* b)
{
    printf("unable broadcast using A(%d)=[%d %d %d %d] B(%d)=[%d %d %d %d]\n", a_dims, a[0], a[1],
           a[2], a[3], b_dims, b[0], b[1], b[2], b[3]);
    fflush(stdout);
}

/* Case 7: O takes the shape of the operand that varies beyond dimension 0
 * (B when A varies along dimension 0 only: *a_single). */
int first_case_reshape(nn_tensor* o, nn_tensor* a, nn_tensor* b, bool* a_single,
                       int32_t shape[4])
{
    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b), vo = nn_tensor_volume(o);
    *a_single = a->shape[0] == va;
    nn_tensor* big = *a_single ? b : a;
    if (vo < (*a_single ? vb : va)) {
        report_volume(vo, big->shape);
        return NN_ERROR_INVALID_SHAPE;
    }
    memcpy(shape, big->shape, 4 * sizeof *shape);
    return nn_tensor_reshape(o, big->dims, shape);
}

inline int32_t clampi(int32_t i, int32_t extent)
{
    return i < extent - 1 ? i : extent - 1;
}

inline int64_t offset4(const int32_t* strides, int32_t n, int32_t h, int32_t w, int32_t c)
{
    return (int64_t)n * strides[0] + (int64_t)h * strides[1] + (int64_t)w * strides[2] +
           (int64_t)c * strides[3];
}

/* Case 8 once O, A and B are four-dimensional and O has the broadcast shape:
 * the element offsets of O and the matching (clamped) ones of A and B. */
struct Broadcast {
    const int32_t *so, *to, *sa, *ta, *sb, *tb;

    /* fn(oo, ao, bo) for rows [h0, h1) of image n and every column: per
     * channel, or (PerChannel false) once at channel 0 for a whole row. */
    template <bool PerChannel, typename Fn>
    void walk(int32_t n, int64_t h0, int64_t h1, Fn&& fn) const
    {
        const int32_t inner = PerChannel ? so[3] : 1;
        for (int64_t h = h0; h < h1; ++h)
            for (int32_t x = 0; x < so[2]; ++x)
                for (int32_t c = 0; c < inner; ++c) {
                    const int32_t y = (int32_t)h;
                    fn(offset4(to, n, y, x, c),
                       offset4(ta, clampi(n, sa[0]), clampi(y, sa[1]), clampi(x, sa[2]),
                               PerChannel ? clampi(c, sa[3]) : 0),
                       offset4(tb, clampi(n, sb[0]), clampi(y, sb[1]), clampi(x, sb[2]),
                               PerChannel ? clampi(c, sb[3]) : 0));
                }
    }
};

/* ---- FLOAT32 rows ------------------------------------------------------ */

/* The FLOAT32 array-with-array and array-with-one-value kernels, by operator. */
typedef void (*f32_arrays_fn)(float*, int32_t, const float*, const float*);
typedef void (*f32_array_value_fn)(float*, int32_t, const float*, float);
constexpr f32_arrays_fn kF32Arrays[] = {kernel_bias_add_f32, kernel_subtract_f32,
                                        kernel_multiply_f32, kernel_divide_f32};
constexpr f32_array_value_fn kF32ArrayValue[] = {kernel_add_scalar_f32, kernel_subtract_scalar_f32,
                                                 kernel_multiply_scalar_f32,
                                                 kernel_divide_scalar_f32};
static_assert(OP_ADD == 0 && OP_SUBTRACT == 1 && OP_MULTIPLY == 2 && OP_DIVIDE == 3,
              "kernel tables follow the operator codes");

void f32_arrays(int op, float* o, int32_t n, const float* a, const float* b)
{
    kF32Arrays[op](o, n, a, b);
}

void f32_array_value(int op, float* o, int32_t n, const float* a, float v)
{
    kF32ArrayValue[op](o, n, a, v);
}

inline float f32_op(int op, float a, float b)
{
    switch (op) {
    case OP_ADD: return a + b;
    case OP_SUBTRACT: return a - b;
    case OP_MULTIPLY: return a * b;
    default: return a / b;
    }
}

/* Case 8 of the FLOAT32 path once A and B are four-dimensional; so is the
 * broadcast shape and O has been reshaped to it. */
void f32_general(int op, nn_tensor* o, float* po, nn_tensor* a, const float* pa, nn_tensor* b,
                 const float* pb)
{
    const Broadcast s = {o->shape, o->strides, a->shape, a->strides, b->shape, b->strides};
    if (s.sa[3] == s.sb[3]) {
        for (int32_t n = 0; n < s.so[0]; ++n)
            s.walk<false>(n, 0, s.so[1], [&](int64_t oo, int64_t ao, int64_t bo) {
                f32_arrays(op, po + oo, s.sa[3], pa + ao, pb + bo);
            });
        return;
    }
    for (int32_t n = 0; n < s.so[0]; ++n)
        s.walk<true>(n, 0, s.so[1], [&](int64_t oo, int64_t ao, int64_t bo) {
            po[oo] = f32_op(op, pa[ao], pb[bo]);
        });
}

/* The flat cases: one set of views and one run of kernels. */
int f32_flat(Case kase, int op, nn_tensor* o, nn_tensor* a, nn_tensor* b, int64_t start)
{
    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b);
    if (nn_tensor_volume(o) < flat_need(kase, va, vb))
        return NN_ERROR_INVALID_SHAPE;
    return run_on_views(o, a, b, start, [&](float* po, const float* pa, const float* pb) {
        switch (kase) {
        case Case::channel:
            for (int32_t r = 0; r < va / vb; ++r)
                f32_arrays(op, po + (int64_t)r * vb, vb, pa + (int64_t)r * vb, pb);
            break;
        case Case::both_single: f32_array_value(op, po, 1, pa, pb[0]); break;
        case Case::a_single: binary_value_first_f32(op, po, vb, pa[0], pb); break;
        case Case::b_single: f32_array_value(op, po, va, pa, pb[0]); break;
        default: f32_arrays(op, po, va, pa, pb); break;
        }
    });
}

/* Case 7: one operand varies along dimension 0 only. */
int f32_first(int op, nn_tensor* o, nn_tensor* a, nn_tensor* b, int64_t start)
{
    bool a_single;
    int32_t shape[4];
    int status = first_case_reshape(o, a, b, &a_single, shape);
    if (status)
        return status;
    const int32_t m = shape[1] * shape[2] * shape[3];
    return run_on_views(o, a, b, start, [&](float* po, const float* pa, const float* pb) {
        for (int32_t i = 0; i < shape[0]; ++i) {
            int off = nn_tensor_offsetv(o, 1, i);
            if (a_single)
                binary_value_first_f32(op, po + off, m, pa[i], pb + off);
            else
                f32_array_value(op, po + off, m, pa + off, pb[i]);
        }
    });
}

/* ---- the quantised rows ------------------------------------------------ */

typedef void (*quant_array_fn)(void*, int32_t, const void*, const void*, const nn_quant_params*,
                               const nn_quant_params*, const nn_quant_params*);

/* The array and the array-with-one-value kernels, by operator. */
constexpr quant_array_fn kQuantArray[] = {kernel_add_quant, kernel_subtract_quant,
                                          kernel_multiply_quant, kernel_divide_quant};
constexpr quant_array_fn kQuantScalar[] = {kernel_add_scalar_quant, kernel_subtract_scalar_quant,
                                           kernel_multiply_scalar_quant,
                                           kernel_divide_scalar_quant};

/* Worker record of the quantised rows (case 2) and broadcast rows (case 8). */
struct quant_rows_args {
    int op;
    int32_t rows, length;
    char* o;
    const char* a;
    const char* b;
    size_t eo, ea, eb;
    const nn_quant_params *qo, *qa, *qb;
    /* broadcast rows */
    int32_t n;
    int32_t so[4], sa[4], sb[4];
    int32_t to[4], ta[4], tb[4];

    Broadcast broadcast() const { return {so, to, sa, ta, sb, tb}; }
};

/* This thread's rows of the channel case: one array kernel each. */
void quant_rows_worker(const quant_rows_args* w)
{
    nn_row_range r = nn_thread_rows(w->rows);
    quant_array_fn fn = kQuantArray[w->op];
    for (int64_t i = r.begin; i < r.begin + r.count; ++i)
        fn(w->o + i * w->length * (int64_t)w->eo, w->length, w->a + i * w->length * (int64_t)w->ea,
           w->b, w->qa, w->qb, w->qo);
}

/* Rows h of the broadcast shape's second extent for one first-extent index n:
 * for each w one array kernel over the innermost extent. */
void binary_quant_broadcast_worker(const quant_rows_args* w)
{
    nn_row_range r = nn_thread_rows(w->so[1]);
    quant_array_fn fn = kQuantArray[w->op];
    w->broadcast().walk<false>(w->n, r.begin, r.begin + r.count,
                               [&](int64_t oo, int64_t ao, int64_t bo) {
                                   fn(w->o + oo * (int64_t)w->eo, w->so[3],
                                      w->a + ao * (int64_t)w->ea, w->b + bo * (int64_t)w->eb,
                                      w->qa, w->qb, w->qo);
                               });
}

/* Case 8 of the quantised path, A, B and O already four-dimensional. */
void quant_general(quant_rows_args* w, nn_tensor* o, nn_tensor* a, nn_tensor* b)
{
    memcpy(w->so, o->shape, sizeof w->so);
    memcpy(w->sa, a->shape, sizeof w->sa);
    memcpy(w->sb, b->shape, sizeof w->sb);
    memcpy(w->to, o->strides, sizeof w->to);
    memcpy(w->ta, a->strides, sizeof w->ta);
    memcpy(w->tb, b->strides, sizeof w->tb);
    if (w->sa[3] == w->sb[3]) {
        const int team = nn_team_for((int64_t)w->so[1] * w->so[2] * w->so[3] * (int64_t)w->eo,
                                     NN_GRAIN_BYTES);
        for (int32_t n = 0; n < w->so[0]; ++n) {
            w->n = n;
#pragma omp parallel num_threads(team)
            binary_quant_broadcast_worker(w);
        }
        return;
    }
    quant_array_fn fn = kQuantScalar[w->op];
    const Broadcast s = w->broadcast();
    for (int32_t n = 0; n < s.so[0]; ++n)
        s.walk<true>(n, 0, s.so[1], [&](int64_t oo, int64_t ao, int64_t bo) {
            fn(w->o + oo * (int64_t)w->eo, 1, w->a + ao * (int64_t)w->ea,
               w->b + bo * (int64_t)w->eb, w->qa, w->qb, w->qo);
        });
}

int integer_type(uint32_t type)
{
    return type >= NN_TYPE_I8 && type <= NN_TYPE_U32;
}

/* ---- the drivers ------------------------------------------------------- */

/* Case 8 for both paths: reshape A and B to four dimensions, broadcast, run,
 * and give every tensor back its own dims and shape. */
int general_case(int op, nn_tensor* o, nn_tensor* a, nn_tensor* b, quant_rows_args* qargs,
                 int64_t start)
{
    saved_shape keep_a = save_shape(a), keep_b = save_shape(b), keep_o = save_shape(o);
    int32_t pa[4], pb[4], so[4];
    pad_shape(a, pa);
    pad_shape(b, pb);
    int status = nn_tensor_reshape(a, 4, pa);
    if (status)
        return status;
    status = nn_tensor_reshape(b, 4, pb);
    if (status) {
        restore_shape(a, &keep_a);
        return status;
    }
    int32_t va = nn_tensor_volume(a);
    int equal = nn_tensor_shape_equal(pa, pb);
    if (!equal && !broadcast_shape(pa, pb, so)) {
        report_broadcast(keep_a.dims, pa, keep_b.dims, pb);
        restore_shape(a, &keep_a);
        restore_shape(b, &keep_b);
        return NN_ERROR_SHAPE_MISMATCH;
    }
    if (equal) {
        if (nn_tensor_volume(o) < va)
            status = NN_ERROR_INVALID_SHAPE;
    } else {
        status = nn_tensor_reshape(o, 4, so);
    }
    if (!status) {
        if (qargs) {
            if (equal)
                kQuantArray[op](qargs->o, va, qargs->a, qargs->b, qargs->qa, qargs->qb, qargs->qo);
            else
                quant_general(qargs, o, a, b);
        } else {
            /* The views are given back before the shapes are restored. */
            status = run_on_views(o, a, b, start,
                                  [&](float* po, const float* xa, const float* xb) {
                                      if (equal)
                                          f32_arrays(op, po, va, xa, xb);
                                      else
                                          f32_general(op, o, po, a, xa, b, xb);
                                  });
        }
    }
    int r1 = restore_shape(a, &keep_a);
    int r2 = restore_shape(b, &keep_b);
    int r3 = restore_shape(o, &keep_o);
    if (!status)
        status = r1 ? r1 : r2 ? r2 : r3;
    return status;
}

/* The quantised cases on mapped data. */
int quant_cases(quant_rows_args& w, nn_tensor* o, nn_tensor* a, nn_tensor* b, int64_t start)
{
    const int op = w.op;
    const int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b);
    const Case kase = classify(a, b);
    if (flat_case(kase) && nn_tensor_volume(o) < flat_need(kase, va, vb))
        return NN_ERROR_INVALID_SHAPE;
    switch (kase) {
    case Case::channel:
        w.rows = va / vb;
        w.length = vb;
#pragma omp parallel num_threads(nn_team_for((int64_t)va * (int64_t)w.eo, NN_GRAIN_BYTES))
        quant_rows_worker(&w);
        return 0;
    case Case::both_single:
    case Case::b_single: kQuantScalar[op](w.o, va, w.a, w.b, w.qa, w.qb, w.qo); return 0;
    case Case::a_single: binary_scalar_quant(op, 1, w.o, vb, w.b, w.a, w.qb, w.qa, w.qo); return 0;
    case Case::same: kQuantArray[op](w.o, va, w.a, w.b, w.qa, w.qb, w.qo); return 0;
    case Case::first: {
        bool a_single;
        int32_t shape[4];
        int status = first_case_reshape(o, a, b, &a_single, shape);
        if (status)
            return status;
        int32_t m = shape[1] * shape[2] * shape[3];
        for (int32_t i = 0; i < shape[0]; ++i) {
            int64_t off = nn_tensor_offsetv(o, 1, i);
            char* dst = w.o + off * (int64_t)w.eo;
            if (a_single)
                binary_scalar_quant(op, 1, dst, m, w.b + off * (int64_t)w.eb,
                                    w.a + (int64_t)i * w.ea, w.qb, w.qa, w.qo);
            else
                kQuantScalar[op](dst, m, w.a + off * (int64_t)w.ea, w.b + (int64_t)i * w.eb, w.qa,
                                 w.qb, w.qo);
        }
        return 0;
    }
    default: return general_case(op, o, a, b, &w, start);
    }
}

} // namespace

int nn_binary_op(nn_tensor* o, nn_tensor* a, nn_tensor* b, int op)
{
    if (!o || !a || !b || op < OP_ADD || op > OP_DIVIDE)
        return NN_ERROR_INVALID_PARAMETER;
    int status;
    if (engine_binary(o, a, b, op, &status))
        return status;
    int64_t start = clock_now_ns();
    Case kase = classify(a, b);
    if (flat_case(kase))
        return f32_flat(kase, op, o, a, b, start);
    if (kase == Case::first)
        return f32_first(op, o, a, b, start);
    return general_case(op, o, a, b, nullptr, start);
}

int nn_binary_op_quant(nn_tensor* o, nn_tensor* a, nn_tensor* b, int op)
{
    if (!o || !a || !b || op < OP_ADD || op > OP_DIVIDE)
        return NN_ERROR_INVALID_PARAMETER;
    if (!integer_type(o->type) || !integer_type(a->type) || !integer_type(b->type))
        return NN_ERROR_TYPE_MISMATCH;
    int64_t start = clock_now_ns();
    ReadWriteMap po(o);
    if (!po)
        return NN_ERROR_TENSOR_NO_DATA;
    ReadMap pa(a);
    if (!pa)
        return NN_ERROR_TENSOR_NO_DATA;
    ReadMap pb(b);
    if (!pb)
        return NN_ERROR_TENSOR_NO_DATA;
    nn_quant_params qa, qb, qo;
    nn_tensor_quant_params(a, &qa);
    nn_tensor_quant_params(b, &qb);
    nn_tensor_quant_params(o, &qo);
    quant_rows_args w;
    memset(&w, 0, sizeof w);
    w.op = op;
    w.o = po.as<char>();
    w.a = pa.as<char>();
    w.b = pb.as<char>();
    w.eo = nn_tensor_element_size(o);
    w.ea = nn_tensor_element_size(a);
    w.eb = nn_tensor_element_size(b);
    w.qo = &qo;
    w.qa = &qa;
    w.qb = &qb;
    const int status = quant_cases(w, o, a, b, start);
    op_store_time(o, start);
    return status;
}

namespace {

int binary(nn_tensor* o, nn_tensor* a, nn_tensor* b, int op)
{
    if (!o || !a || !b)
        return NN_ERROR_INVALID_PARAMETER;
    if (o->type == NN_TYPE_F32)
        return nn_binary_op(o, a, b, op);
    return nn_binary_op_quant(o, a, b, op);
}

} // namespace

NN_API int nn_add(nn_tensor* output, nn_tensor* a, nn_tensor* b)
{
    return binary(output, a, b, OP_ADD);
}
NN_API int nn_subtract(nn_tensor* output, nn_tensor* a, nn_tensor* b)
{
    return binary(output, a, b, OP_SUBTRACT);
}
NN_API int nn_multiply(nn_tensor* output, nn_tensor* a, nn_tensor* b)
{
    return binary(output, a, b, OP_MULTIPLY);
}
NN_API int nn_divide(nn_tensor* output, nn_tensor* a, nn_tensor* b)
{
    return binary(output, a, b, OP_DIVIDE);
}

/* ---- unary operators --------------------------------------------------- */

namespace {

enum class Unary { abs, sqrt, rsqrt, log, exp };

void abs_row(float* o, int32_t n, const float* x)
{
    for (int32_t i = 0; i < n; ++i)
        o[i] = fabsf(x[i]);
}

int unary(nn_tensor* o, nn_tensor* in, Unary kind, const float* epsilon)
{
    if (!o || !in)
        return NN_ERROR_INVALID_PARAMETER;
    int status;
    if (kind == Unary::sqrt && engine_unary(o, in, NN_ACTIVATION_SQRT, &status))
        return status;
    int32_t n = nn_tensor_volume(in);
    if (nn_tensor_volume(o) < n)
        return NN_ERROR_SHAPE_MISMATCH;
    FrameMaps maps(o, in);
    if (maps.status())
        return maps.status();
    float* po = maps.out();
    const float* px = maps.a();
    int64_t start = clock_now_ns();
    switch (kind) {
    case Unary::abs: abs_row(po, n, px); break;
    case Unary::sqrt:
        for (int32_t i = 0; i < n; ++i)
            po[i] = sqrtf(px[i]);
        break;
    case Unary::rsqrt:
        if (epsilon) {
            float e = *epsilon;
            for (int32_t i = 0; i < n; ++i) {
                float x = px[i];
                po[i] = 1.0f / sqrtf(x > e ? x : e);  /* a NaN x gives epsilon */
            }
        } else {
            for (int32_t i = 0; i < n; ++i)
                po[i] = 1.0f / sqrtf(px[i]);
        }
        break;
    case Unary::log:
        for (int32_t i = 0; i < n; ++i)
            po[i] = logf(fabsf(px[i]));
        break;
    default:
        for (int32_t i = 0; i < n; ++i)
            po[i] = expf(px[i]);
        break;
    }
    op_store_time(o, start);
    return quantise_back(o, po);
}

} // namespace

NN_API int nn_abs(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, Unary::abs, nullptr);
}
NN_API int nn_sqrt(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, Unary::sqrt, nullptr);
}
NN_API int nn_rsqrt(nn_tensor* output, nn_tensor* input, const float* epsilon)
{
    return unary(output, input, Unary::rsqrt, epsilon);
}
NN_API int nn_log(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, Unary::log, nullptr);
}
NN_API int nn_exp(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, Unary::exp, nullptr);
}
