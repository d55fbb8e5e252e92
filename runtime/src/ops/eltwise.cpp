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

/* ---- shape cases ------------------------------------------------------- */

enum {
    CASE_CHANNEL = 2,
    CASE_BOTH_SINGLE = 3,
    CASE_A_SINGLE = 4,
    CASE_B_SINGLE = 5,
    CASE_SAME = 6,
    CASE_FIRST = 7,
    CASE_GENERAL = 8
};

static int classify(const nn_tensor* a, const nn_tensor* b)
{
    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b);
    const int32_t *sa = a->shape, *sb = b->shape;
    if (vb > 0 && vb == sb[0] && vb == sa[3])
        return CASE_CHANNEL;
    if (va == 1 && vb == 1)
        return CASE_BOTH_SINGLE;
    if (va == 1)
        return CASE_A_SINGLE;
    if (vb == 1)
        return CASE_B_SINGLE;
    if (nn_tensor_shape_equal(sa, sb))
        return CASE_SAME;
    if (sa[0] == sb[0] && (sa[0] == va || sb[0] == vb))
        return CASE_FIRST;
    return CASE_GENERAL;
}

/* Dims and shape of a tensor, to put back after a reshape. */
typedef struct saved_shape {
    int dims;
    int32_t shape[4];
} saved_shape;

static saved_shape save_shape(const nn_tensor* t)
{
    saved_shape s;
    s.dims = t->dims;
    memcpy(s.shape, t->shape, sizeof s.shape);
    return s;
}

static int restore_shape(nn_tensor* t, const saved_shape* s)
{
    return nn_tensor_reshape(t, s->dims, s->shape);
}

/* The shape right-aligned into four dimensions. */
static void pad_shape(const nn_tensor* t, int32_t out[4])
{
    int dims = t->dims;
    for (int i = 0; i < 4; ++i)
        out[i] = 1;
    for (int i = 0; i < dims; ++i)
        out[4 - dims + i] = t->shape[i];
}

static int broadcast_shape(const int32_t a[4], const int32_t b[4], int32_t out[4])
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

static void report_volume(int32_t volume, const int32_t* shape)
{
    fprintf(stderr, "output volume %d insufficient for shape [%d %d %d %d]\n", volume, shape[0],
            shape[1], shape[2], shape[3]);
}

static void report_broadcast(int a_dims, const int32_t* a, int b_dims, const int32_t* b)
{
    printf("unable broadcast using A(%d)=[%d %d %d %d] B(%d)=[%d %d %d %d]\n", a_dims, a[0], a[1],
           a[2], a[3], b_dims, b[0], b[1], b[2], b[3]);
    fflush(stdout);
}

static inline int32_t clampi(int32_t i, int32_t extent)
{
    return i < extent - 1 ? i : extent - 1;
}

static inline int64_t offset4(const int32_t* strides, int32_t n, int32_t h, int32_t w, int32_t c)
{
    return (int64_t)n * strides[0] + (int64_t)h * strides[1] + (int64_t)w * strides[2] +
           (int64_t)c * strides[3];
}

/* ---- FLOAT32 rows ------------------------------------------------------ */

static void f32_arrays(int op, float* o, int32_t n, const float* a, const float* b)
{
    switch (op) {
    case OP_ADD: kernel_bias_add_f32(o, n, a, b); break;
    case OP_SUBTRACT: kernel_subtract_f32(o, n, a, b); break;
    case OP_MULTIPLY: kernel_multiply_f32(o, n, a, b); break;
    default: kernel_divide_f32(o, n, a, b); break;
    }
}

static void f32_array_value(int op, float* o, int32_t n, const float* a, float v)
{
    switch (op) {
    case OP_ADD: kernel_add_scalar_f32(o, n, a, v); break;
    case OP_SUBTRACT: kernel_subtract_scalar_f32(o, n, a, v); break;
    case OP_MULTIPLY: kernel_multiply_scalar_f32(o, n, a, v); break;
    default: kernel_divide_scalar_f32(o, n, a, v); break;
    }
}

static inline float f32_op(int op, float a, float b)
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
static void f32_general(int op, nn_tensor* o, float* po, nn_tensor* a, const float* pa,
                        nn_tensor* b, const float* pb)
{
    const int32_t *so = o->shape, *sa = a->shape, *sb = b->shape;
    if (sa[3] == sb[3]) {
        for (int32_t n = 0; n < so[0]; ++n)
            for (int32_t h = 0; h < so[1]; ++h)
                for (int32_t w = 0; w < so[2]; ++w) {
                    int64_t oo = offset4(o->strides, n, h, w, 0);
                    int64_t ao = offset4(a->strides, clampi(n, sa[0]), clampi(h, sa[1]),
                                         clampi(w, sa[2]), 0);
                    int64_t bo = offset4(b->strides, clampi(n, sb[0]), clampi(h, sb[1]),
                                         clampi(w, sb[2]), 0);
                    f32_arrays(op, po + oo, sa[3], pa + ao, pb + bo);
                }
        return;
    }
    for (int32_t n = 0; n < so[0]; ++n)
        for (int32_t h = 0; h < so[1]; ++h)
            for (int32_t w = 0; w < so[2]; ++w)
                for (int32_t c = 0; c < so[3]; ++c) {
                    int64_t oo = offset4(o->strides, n, h, w, c);
                    int64_t ao = offset4(a->strides, clampi(n, sa[0]), clampi(h, sa[1]),
                                         clampi(w, sa[2]), clampi(c, sa[3]));
                    int64_t bo = offset4(b->strides, clampi(n, sb[0]), clampi(h, sb[1]),
                                         clampi(w, sb[2]), clampi(c, sb[3]));
                    po[oo] = f32_op(op, pa[ao], pb[bo]);
                }
}

static int quantise_back(nn_tensor* out, const float* values)
{
    if (out->type != NN_TYPE_I8 && out->type != NN_TYPE_U8)
        return 0;
    return nn_tensor_quantize_buffer(out, (size_t)nn_tensor_volume(out), values, 1);
}

/* The flat cases 2 to 6: one call of map_tensors and one run of kernels. */
static int f32_flat(int kase, int op, nn_tensor* o, nn_tensor* a, nn_tensor* b, int64_t start)
{
    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b);
    int32_t need = kase == CASE_A_SINGLE ? vb : kase == CASE_BOTH_SINGLE ? 1 : va;
    if (nn_tensor_volume(o) < need)
        return NN_ERROR_INVALID_SHAPE;
    float *po, *pa, *pb;
    int status = map_tensors(o, &po, a, &pa, b, &pb);
    if (status)
        return status;
    switch (kase) {
    case CASE_CHANNEL:
        for (int32_t r = 0; r < va / vb; ++r)
            f32_arrays(op, po + (int64_t)r * vb, vb, pa + (int64_t)r * vb, pb);
        break;
    case CASE_BOTH_SINGLE: f32_array_value(op, po, 1, pa, pb[0]); break;
    case CASE_A_SINGLE: binary_value_first_f32(op, po, vb, pa[0], pb); break;
    case CASE_B_SINGLE: f32_array_value(op, po, va, pa, pb[0]); break;
    default: f32_arrays(op, po, va, pa, pb); break;
    }
    status = quantise_back(o, po);
    op_store_time(o, start);
    unmap_tensors(o, a, b);
    return status;
}

/* Case 7: one operand varies along dimension 0 only. */
static int f32_first(int op, nn_tensor* o, nn_tensor* a, nn_tensor* b, int64_t start)
{
    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b), vo = nn_tensor_volume(o);
    int a_single = a->shape[0] == va;
    nn_tensor* big = a_single ? b : a;
    int32_t need = a_single ? vb : va;
    if (vo < need) {
        report_volume(vo, big->shape);
        return NN_ERROR_INVALID_SHAPE;
    }
    int32_t shape[4];
    memcpy(shape, big->shape, sizeof shape);
    int status = nn_tensor_reshape(o, big->dims, shape);
    if (status)
        return status;
    float *po, *pa, *pb;
    status = map_tensors(o, &po, a, &pa, b, &pb);
    if (status)
        return status;
    int32_t m = shape[1] * shape[2] * shape[3];
    for (int32_t i = 0; i < shape[0]; ++i) {
        int off = nn_tensor_offsetv(o, 1, i);
        if (a_single)
            binary_value_first_f32(op, po + off, m, pa[i], pb + off);
        else
            f32_array_value(op, po + off, m, pa + off, pb[i]);
    }
    status = quantise_back(o, po);
    op_store_time(o, start);
    unmap_tensors(o, a, b);
    return status;
}

/* ---- the quantised rows ------------------------------------------------ */

typedef void (*quant_array_fn)(void*, int32_t, const void*, const void*, const nn_quant_params*,
                               const nn_quant_params*, const nn_quant_params*);

static quant_array_fn quant_array(int op)
{
    switch (op) {
    case OP_ADD: return kernel_add_quant;
    case OP_SUBTRACT: return kernel_subtract_quant;
    case OP_MULTIPLY: return kernel_multiply_quant;
    default: return kernel_divide_quant;
    }
}

static quant_array_fn quant_scalar(int op)
{
    switch (op) {
    case OP_ADD: return kernel_add_scalar_quant;
    case OP_SUBTRACT: return kernel_subtract_scalar_quant;
    case OP_MULTIPLY: return kernel_multiply_scalar_quant;
    default: return kernel_divide_scalar_quant;
    }
}

/* Worker record of the quantised rows (case 2) and broadcast rows (case 8). */
typedef struct quant_rows_args {
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
} quant_rows_args;

static void quant_rows(const quant_rows_args* w)
{
    nn_row_range r = nn_thread_rows(w->rows);
    quant_array_fn fn = quant_array(w->op);
    for (int64_t i = r.begin; i < r.begin + r.count; ++i)
        fn(w->o + i * w->length * (int64_t)w->eo, w->length, w->a + i * w->length * (int64_t)w->ea,
           w->b, w->qa, w->qb, w->qo);
}

void add_quant_worker(const quant_rows_args* w);
void subtract_quant_worker(const quant_rows_args* w);
void multiply_quant_worker(const quant_rows_args* w);
void divide_quant_worker(const quant_rows_args* w);
void binary_quant_broadcast_worker(const quant_rows_args* w);

void add_quant_worker(const quant_rows_args* w)
{
    quant_rows(w);
}
void subtract_quant_worker(const quant_rows_args* w)
{
    quant_rows(w);
}
void multiply_quant_worker(const quant_rows_args* w)
{
    quant_rows(w);
}
void divide_quant_worker(const quant_rows_args* w)
{
    quant_rows(w);
}

/* Rows h of the broadcast shape's second extent for one first-extent index n:
 * for each w one array kernel over the innermost extent. */
void binary_quant_broadcast_worker(const quant_rows_args* w)
{
    nn_row_range r = nn_thread_rows(w->so[1]);
    quant_array_fn fn = quant_array(w->op);
    const int32_t n = w->n;
    for (int64_t h = r.begin; h < r.begin + r.count; ++h)
        for (int32_t x = 0; x < w->so[2]; ++x) {
            int64_t oo = offset4(w->to, n, (int32_t)h, x, 0);
            int64_t ao = offset4(w->ta, clampi(n, w->sa[0]), clampi((int32_t)h, w->sa[1]),
                                 clampi(x, w->sa[2]), 0);
            int64_t bo = offset4(w->tb, clampi(n, w->sb[0]), clampi((int32_t)h, w->sb[1]),
                                 clampi(x, w->sb[2]), 0);
            fn(w->o + oo * (int64_t)w->eo, w->so[3], w->a + ao * (int64_t)w->ea,
               w->b + bo * (int64_t)w->eb, w->qa, w->qb, w->qo);
        }
}

static void run_quant_rows(int op, quant_rows_args* args)
{
    void (*worker)(const quant_rows_args*) =
        op == OP_ADD        ? add_quant_worker
        : op == OP_SUBTRACT ? subtract_quant_worker
        : op == OP_MULTIPLY ? multiply_quant_worker
                            : divide_quant_worker;
#pragma omp parallel
    worker(args);
}

/* Case 8 of the quantised path, A, B and O already four-dimensional. */
static void quant_general(quant_rows_args* w, nn_tensor* o, nn_tensor* a, nn_tensor* b)
{
    memcpy(w->so, o->shape, sizeof w->so);
    memcpy(w->sa, a->shape, sizeof w->sa);
    memcpy(w->sb, b->shape, sizeof w->sb);
    memcpy(w->to, o->strides, sizeof w->to);
    memcpy(w->ta, a->strides, sizeof w->ta);
    memcpy(w->tb, b->strides, sizeof w->tb);
    if (w->sa[3] == w->sb[3]) {
        for (int32_t n = 0; n < w->so[0]; ++n) {
            w->n = n;
#pragma omp parallel
            binary_quant_broadcast_worker(w);
        }
        return;
    }
    quant_array_fn fn = quant_scalar(w->op);
    const int32_t *so = w->so, *sa = w->sa, *sb = w->sb;
    for (int32_t n = 0; n < so[0]; ++n)
        for (int32_t h = 0; h < so[1]; ++h)
            for (int32_t x = 0; x < so[2]; ++x)
                for (int32_t c = 0; c < so[3]; ++c) {
                    int64_t oo = offset4(w->to, n, h, x, c);
                    int64_t ao = offset4(w->ta, clampi(n, sa[0]), clampi(h, sa[1]),
                                         clampi(x, sa[2]), clampi(c, sa[3]));
                    int64_t bo = offset4(w->tb, clampi(n, sb[0]), clampi(h, sb[1]),
                                         clampi(x, sb[2]), clampi(c, sb[3]));
                    fn(w->o + oo * (int64_t)w->eo, 1, w->a + ao * (int64_t)w->ea,
                       w->b + bo * (int64_t)w->eb, w->qa, w->qb, w->qo);
                }
}

static int integer_type(uint32_t type)
{
    return type >= NN_TYPE_I8 && type <= NN_TYPE_U32;
}

/* ---- the drivers ------------------------------------------------------- */

/* Case 8 for both paths: reshape A and B to four dimensions, broadcast, run,
 * and give every tensor back its own dims and shape. */
static int general_case(int op, nn_tensor* o, nn_tensor* a, nn_tensor* b, int quant,
                        quant_rows_args* qargs, int64_t start)
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
        if (quant) {
            if (equal)
                quant_array(op)(qargs->o, va, qargs->a, qargs->b, qargs->qa, qargs->qb, qargs->qo);
            else
                quant_general(qargs, o, a, b);
        } else {
            float *po, *xa, *xb;
            status = map_tensors(o, &po, a, &xa, b, &xb);
            if (!status) {
                if (equal)
                    f32_arrays(op, po, va, xa, xb);
                else
                    f32_general(op, o, po, a, xa, b, xb);
                status = quantise_back(o, po);
                op_store_time(o, start);
                unmap_tensors(o, a, b);
            }
        }
    }
    int r1 = restore_shape(a, &keep_a);
    int r2 = restore_shape(b, &keep_b);
    int r3 = restore_shape(o, &keep_o);
    if (!status)
        status = r1 ? r1 : r2 ? r2 : r3;
    return status;
}

int nn_binary_op(nn_tensor* o, nn_tensor* a, nn_tensor* b, int op)
{
    if (!o || !a || !b || op < OP_ADD || op > OP_DIVIDE)
        return NN_ERROR_INVALID_PARAMETER;
    int status;
    if (engine_binary(o, a, b, op, &status))
        return status;
    int64_t start = clock_now_ns();
    int kase = classify(a, b);
    if (kase <= CASE_SAME)
        return f32_flat(kase, op, o, a, b, start);
    if (kase == CASE_FIRST)
        return f32_first(op, o, a, b, start);
    return general_case(op, o, a, b, 0, NULL, start);
}

int nn_binary_op_quant(nn_tensor* o, nn_tensor* a, nn_tensor* b, int op)
{
    if (!o || !a || !b || op < OP_ADD || op > OP_DIVIDE)
        return NN_ERROR_INVALID_PARAMETER;
    if (!integer_type(o->type) || !integer_type(a->type) || !integer_type(b->type))
        return NN_ERROR_TYPE_MISMATCH;
    int64_t start = clock_now_ns();
    char* po = (char*)nn_tensor_maprw(o);
    if (!po)
        return NN_ERROR_TENSOR_NO_DATA;
    const char* pa = (const char*)nn_tensor_mapro(a);
    if (!pa) {
        nn_tensor_unmap(o);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    const char* pb = (const char*)nn_tensor_mapro(b);
    if (!pb) {
        nn_tensor_unmap(a);
        nn_tensor_unmap(o);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    nn_quant_params qa, qb, qo;
    nn_tensor_quant_params(a, &qa);
    nn_tensor_quant_params(b, &qb);
    nn_tensor_quant_params(o, &qo);
    quant_rows_args w;
    memset(&w, 0, sizeof w);
    w.op = op;
    w.o = po;
    w.a = pa;
    w.b = pb;
    w.eo = nn_tensor_element_size(o);
    w.ea = nn_tensor_element_size(a);
    w.eb = nn_tensor_element_size(b);
    w.qo = &qo;
    w.qa = &qa;
    w.qb = &qb;

    int32_t va = nn_tensor_volume(a), vb = nn_tensor_volume(b), vo = nn_tensor_volume(o);
    int kase = classify(a, b);
    int status = 0;
    switch (kase) {
    case CASE_CHANNEL:
        if (vo < va) {
            status = NN_ERROR_INVALID_SHAPE;
            break;
        }
        w.rows = va / vb;
        w.length = vb;
        run_quant_rows(op, &w);
        break;
    case CASE_BOTH_SINGLE:
    case CASE_B_SINGLE:
        if (vo < va) {
            status = NN_ERROR_INVALID_SHAPE;
            break;
        }
        quant_scalar(op)(po, va, pa, pb, &qa, &qb, &qo);
        break;
    case CASE_A_SINGLE:
        if (vo < vb) {
            status = NN_ERROR_INVALID_SHAPE;
            break;
        }
        binary_scalar_quant(op, 1, po, vb, pb, pa, &qb, &qa, &qo);
        break;
    case CASE_SAME:
        if (vo < va) {
            status = NN_ERROR_INVALID_SHAPE;
            break;
        }
        quant_array(op)(po, va, pa, pb, &qa, &qb, &qo);
        break;
    case CASE_FIRST: {
        int a_single = a->shape[0] == va;
        nn_tensor* big = a_single ? b : a;
        if (vo < (a_single ? vb : va)) {
            report_volume(vo, big->shape);
            status = NN_ERROR_INVALID_SHAPE;
            break;
        }
        int32_t shape[4];
        memcpy(shape, big->shape, sizeof shape);
        status = nn_tensor_reshape(o, big->dims, shape);
        if (status)
            break;
        int32_t m = shape[1] * shape[2] * shape[3];
        for (int32_t i = 0; i < shape[0]; ++i) {
            int64_t off = nn_tensor_offsetv(o, 1, i);
            char* dst = po + off * (int64_t)w.eo;
            if (a_single)
                binary_scalar_quant(op, 1, dst, m, pb + off * (int64_t)w.eb,
                                    pa + (int64_t)i * w.ea, &qb, &qa, &qo);
            else
                quant_scalar(op)(dst, m, pa + off * (int64_t)w.ea, pb + (int64_t)i * w.eb, &qa,
                                 &qb, &qo);
        }
        break;
    }
    default: status = general_case(op, o, a, b, 1, &w, start); break;
    }
    op_store_time(o, start);
    nn_tensor_unmap(b);
    nn_tensor_unmap(a);
    nn_tensor_unmap(o);
    return status;
}

static int binary(nn_tensor* o, nn_tensor* a, nn_tensor* b, int op)
{
    if (!o || !a || !b)
        return NN_ERROR_INVALID_PARAMETER;
    if (o->type == NN_TYPE_F32)
        return nn_binary_op(o, a, b, op);
    return nn_binary_op_quant(o, a, b, op);
}

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

enum { U_ABS, U_SQRT, U_RSQRT, U_LOG, U_EXP };

static void abs_row(float* o, int32_t n, const float* x)
{
    for (int32_t i = 0; i < n; ++i)
        o[i] = fabsf(x[i]);
}

static int unary(nn_tensor* o, nn_tensor* in, int kind, const float* epsilon)
{
    if (!o || !in)
        return NN_ERROR_INVALID_PARAMETER;
    int status;
    if (kind == U_SQRT && engine_unary(o, in, NN_ACTIVATION_SQRT, &status))
        return status;
    int32_t n = nn_tensor_volume(in);
    if (nn_tensor_volume(o) < n)
        return NN_ERROR_SHAPE_MISMATCH;
    float *po, *px;
    status = map_tensors(o, &po, in, &px, NULL, NULL);
    if (status)
        return status;
    int64_t start = clock_now_ns();
    switch (kind) {
    case U_ABS: abs_row(po, n, px); break;
    case U_SQRT:
        for (int32_t i = 0; i < n; ++i)
            po[i] = sqrtf(px[i]);
        break;
    case U_RSQRT:
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
    case U_LOG:
        for (int32_t i = 0; i < n; ++i)
            po[i] = logf(fabsf(px[i]));
        break;
    default:
        for (int32_t i = 0; i < n; ++i)
            po[i] = expf(px[i]);
        break;
    }
    op_store_time(o, start);
    status = quantise_back(o, po);
    unmap_tensors(o, in, NULL);
    return status;
}

NN_API int nn_abs(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, U_ABS, NULL);
}
NN_API int nn_sqrt(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, U_SQRT, NULL);
}
NN_API int nn_rsqrt(nn_tensor* output, nn_tensor* input, const float* epsilon)
{
    return unary(output, input, U_RSQRT, epsilon);
}
NN_API int nn_log(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, U_LOG, NULL);
}
NN_API int nn_exp(nn_tensor* output, nn_tensor* input)
{
    return unary(output, input, U_EXP, NULL);
}
