/* The GEMM-based convolution variants: the B operand (the filter, or its
 * panel-packed copy "filter_aux_panel", and for the INT8 dot product those
 * panels grouped by 4 k, "filter_aux_panel_dot"), the OpenMP row workers,
 * the 1x1 product and the cache-tiled im2col GEMM (on x86-64, FLOAT32 with
 * short filter rows reads the output pixels' inputs in place instead). */
#include <omp.h>
#include <stdio.h>
#include <string.h>

#include "kernels/fixed_point.h"
#include "kernels/gemm_quant.h"
#include "kernels/gemm_x86.h"
#include "kernels/kernels.h"
#include "ops/conv_internal.h"
#include "ops/frame.h"
#include "resource.h"
#include "tensor/tensor_internal.h"
#include "tensor/tensor_record.h"

using kestrune::ReadMap;
using kestrune::ReadWriteMap;
using kestrune::UniqueTensor;

namespace {

/* Process-wide: the insufficient-cache warning was printed. */
int cache_warning_printed;

} // namespace

int conv_cache_warning_printed(void)
{
    return cache_warning_printed;
}

int conv_panel_ok(uint32_t w, const nn_tensor* output, const nn_tensor* input,
                  const nn_tensor* filter)
{
    const int32_t cout = filter->shape[3];
    if (w == 0)
        return 1;
    if (cout % (int32_t)w != 0)
        return 0;
    if (filter->type == NN_TYPE_F32)
        return w == 1 || w == 4 || w == 8 || w == 16;
    return w == 1 || (w == 8 && output->type == NN_TYPE_I8 && input->type == NN_TYPE_I8 &&
                      filter->type == NN_TYPE_I8);
}

namespace {

/* ---- preparing B -------------------------------------------------------- */

/* The B operand: its layout and the mapping of the tensor that holds it. */
struct conv_b {
    ReadMap map;
    char layout;

    const void* data() const { return map.data(); }
};

int restore_filter(const char* label, nn_tensor* filter, const int32_t shape[4])
{
    int err = nn_tensor_reshape(filter, 4, shape);
    if (err)
        fprintf(stderr, "%s failed to restore filter shape [%d %d %d %d]: %s\n", label, shape[0],
                shape[1], shape[2], shape[3], nn_strerror(err));
    return err;
}

int build_panel(const char* label, nn_tensor* filter, int32_t k, int32_t cout, int32_t w)
{
    const int32_t orig[4] = {filter->shape[0], filter->shape[1], filter->shape[2],
                             filter->shape[3]};
    const int32_t packed[4] = {1, k, cout / w, w};
    int err = nn_tensor_reshape(filter, 4, packed);
    if (err) {
        fprintf(stderr, "%s failed to reshape filter tensor [%d %d %d %d]: %s\n", label,
                packed[0], packed[1], packed[2], packed[3], nn_strerror(err));
        return err;
    }
    UniqueTensor aux(nn_tensor_init(NULL, filter->engine));
    /* The panel is released and the filter's shape restored. */
    auto fail = [&](const char* step, int e) {
        fprintf(stderr, "%s failed to %s auxiliary tensor for filter cache: %s\n", label, step,
                nn_strerror(e));
        aux.reset();
        restore_filter(label, filter, orig);
        return e;
    };
    err = aux ? nn_tensor_alloc(aux.get(), (nn_type)filter->type, 4, packed)
              : NN_ERROR_OUT_OF_MEMORY;
    if (err)
        return fail("create", err);
    static const int32_t order[4] = {0, 2, 1, 3};
    err = nn_tensor_shuffle(aux.get(), filter, 4, order);
    if (err)
        return fail("shuffle", err);
    err = restore_filter(label, filter, orig);
    if (err)
        return err;
    return conv_attach_tensor(filter, "filter_aux_panel", aux.release());
}

/* The B operand of the GEMM: data, layout, and the tensor mapped for it.
 * rows is the GEMM's row count (OW for the tiled variant, M for 1x1). */
int prepare_b(const char* label, nn_tensor* output, nn_tensor* input, nn_tensor* filter,
                     int32_t k, int32_t cout, int32_t rows, int have_reduce_zero, conv_b* b)
{
    if (filter->panel_size != 0) {
        b->layout = filter->panel_size == 1 ? 'T' : (char)filter->panel_size;
        return b->map.map(filter) ? 0 : NN_ERROR_TENSOR_NO_DATA;
    }
    if (nn_tensor_aux_object_by_name(filter, "filter_aux_panel") &&
        nn_tensor_aux_free_by_name(filter, "filter_aux_panel") != nn_aux_free_tensor) {
        fprintf(stderr, "incompatible auxiliary object for conv2d\n");
        return NN_ERROR_INTERNAL;
    }
    nn_tensor* panel = (nn_tensor*)nn_tensor_aux_object_by_name(filter, "filter_aux_panel");
    if (!panel) {
        const int* widths = NULL;
        gemm_panel_widths(&widths);
        int32_t w = 0;
        for (const int* p = widths; *p; ++p)
            if (cout % *p == 0) {
                w = *p;
                break;
            }
        if (filter->type == NN_TYPE_F32) {
            if (w == 0) {
                b->layout = 'N';
                return b->map.map(filter) ? 0 : NN_ERROR_TENSOR_NO_DATA;
            }
        } else {
            const int all_i8 = input->type == NN_TYPE_I8 && filter->type == NN_TYPE_I8 &&
                               output->type == NN_TYPE_I8;
            w = all_i8 && w >= 8 &&
                        (k / cout <= 8 || (have_reduce_zero && rows >= 9 && rows <= 16))
                    ? 8
                    : 1;
        }
        int err = build_panel(label, filter, k, cout, w);
        if (err)
            return err;
        panel = (nn_tensor*)nn_tensor_aux_object_by_name(filter, "filter_aux_panel");
    }
    /* The width the stored panel was built with, whatever this call's rule. */
    const int32_t w = panel->shape[3];
    if (nn_tensor_volume(panel) != k * cout || w < 1 || cout % w != 0 ||
        !conv_panel_ok((uint32_t)w, output, input, filter))
        return NN_ERROR_NOT_IMPLEMENTED;
    b->layout = w == 1 ? 'T' : (char)w;
    if (!b->map.map(panel)) {
        fprintf(stderr, "%s failed to map auxiliary tensor for filter cache: %s\n", label,
                nn_strerror(NN_ERROR_TENSOR_NO_DATA));
        return NN_ERROR_TENSOR_NO_DATA;
    }
    return 0;
}

/* ---- GEMM workers ------------------------------------------------------- */

struct gemm_job {
    void* c;               /* first result row */
    const void* a;         /* first A row */
    const void* b;
    char layout;
    const void* bias;
    int32_t activation;
    int32_t m, n, k;
    size_t a_es, c_es;     /* element sizes of A and C */
    const nn_quant_params *out_q, *in_q, *w_q, *bias_q;
    const int32_t *multipliers, *shifts, *reduce_zero;
    const gemm_i8_columns* columns; /* the INT8 layout-8 column stage, or NULL */
};

int32_t rows_per_tile(const gemm_job* j, int quantised)
{
    const int lay = (unsigned char)j->layout;
    if (j->m <= 4)
        return 1;
    if (j->m <= 8)
        return 2;
    if (!quantised)
        return lay == 16 ? gemm_f32_panels16_rows() : lay == 'N' || lay == 8 ? 4 : 2;
    return lay == 8 || lay == 16 ? 4 : 2;
}

/* The rows [*r0, *r1) of j that this thread multiplies: whole row tiles of
 * the static split. */
void thread_gemm_rows(const gemm_job* j, int quantised, int32_t* r0, int32_t* r1)
{
    const int32_t rpt = rows_per_tile(j, quantised);
    const int64_t tiles = (j->m + rpt - 1) / rpt;
    nn_row_range r = nn_thread_rows(tiles);
    const int64_t b = r.begin * rpt, e = (r.begin + r.count) * rpt;
    *r0 = (int32_t)b;
    *r1 = (int32_t)(e < j->m ? e : j->m);
}

/* Rows [r0, r1) of j, one kernel call per row tile. */
template <bool quantised>
void gemm_rows(const gemm_job* j, int32_t r0, int32_t r1)
{
    /* The column-stage kernel takes 64 rows or more a call (its row tiles
     * are its own); on aarch64 the float kernel of 16-wide panels 64 rows (a
     * call per 4-row tile costs a quarter of the tile's own set-up at 64
     * input channels), on x86-64 a wide float panel tile all the rows at
     * once; the others one row tile. */
#if defined(__aarch64__)
    const bool many = quantised ? j->columns != NULL : (unsigned char)j->layout == 16;
    /* the column-stage kernel's call set-up weighs on small K: as many rows
     * as 16 KiB of A, at least 64 */
    const int32_t a_rows = quantised && j->k > 0 ? 16384 / j->k / 4 * 4 : 0;
    const int32_t many_rows = a_rows > 64 ? a_rows : 64;
    const int32_t rpt = many ? many_rows : rows_per_tile(j, quantised);
#else
    int32_t rpt = rows_per_tile(j, quantised);
    if (quantised && j->columns)
        rpt = 64;
    else if (!quantised && j->layout == 16 && gemm_f32_panels16_wide() && r1 > r0)
        rpt = r1 - r0;
#endif
    for (; r0 < r1; r0 += rpt) {
        const int32_t m = r1 - r0 < rpt ? r1 - r0 : rpt;
        if constexpr (quantised) {
            if (j->columns) {
                kernel_gemm_i8_panel8_columns(
                    (int8_t*)j->c + (size_t)r0 * (size_t)j->n,
                    (const int8_t*)j->a + (size_t)r0 * (size_t)j->k, (const int8_t*)j->b,
                    j->activation, m, j->n, j->k, j->columns);
                continue;
            }
            kernel_gemm_quant((unsigned char*)j->c + (size_t)r0 * (size_t)j->n * j->c_es,
                              (const unsigned char*)j->a + (size_t)r0 * (size_t)j->k * j->a_es,
                              'N', j->b, j->layout, (const int32_t*)j->bias, j->activation, m,
                              j->n, j->k, j->out_q, j->in_q, j->w_q, j->bias_q, j->multipliers,
                              j->shifts, j->reduce_zero);
        } else {
            kernel_gemm_f32((float*)j->c + (size_t)r0 * (size_t)j->n,
                            (const float*)j->a + (size_t)r0 * (size_t)j->k, 'N',
                            (const float*)j->b, j->layout, (const float*)j->bias, j->activation,
                            m, j->n, j->k);
        }
    }
}

void gemm_worker(const gemm_job* j, int quantised, int32_t r0, int32_t r1)
{
    if (quantised)
        gemm_rows<true>(j, r0, r1);
    else
        gemm_rows<false>(j, r0, r1);
}

/* Threads for the product of j: one grain of multiply-accumulates each. */
int gemm_team(const gemm_job* j)
{
    return nn_team_for((int64_t)j->m * j->n * j->k, NN_GRAIN_GEMM_MACS);
}

void run_gemm(const gemm_job* j, int quantised)
{
#pragma omp parallel num_threads(gemm_team(j))
    {
        int32_t r0, r1;
        thread_gemm_rows(j, quantised, &r0, &r1);
        gemm_worker(j, quantised, r0, r1);
    }
}

/* Mapped operands (output read-write, input and bias read-only, given back
 * when the owner ends) and quantisation of a GEMM-based variant. */
struct gemm_operands {
    ReadWriteMap out;
    ReadMap in, bias;
    nn_quant_params out_q, in_q, w_q, bias_q;
    const int32_t *multipliers, *shifts, *reduce_zero;

    int map(nn_tensor* output, nn_tensor* input, nn_tensor* b) noexcept
    {
        if (!out.map(output) || !in.map(input) || (b && !bias.map(b)))
            return NN_ERROR_TENSOR_NO_DATA;
        return 0;
    }
};

void read_quantisation(nn_tensor* output, nn_tensor* input, nn_tensor* filter,
                              nn_tensor* bias, gemm_operands* o)
{
    nn_tensor_quant_params(output, &o->out_q);
    nn_tensor_quant_params(input, &o->in_q);
    nn_tensor_quant_params(filter, &o->w_q);
    if (bias)
        nn_tensor_quant_params(bias, &o->bias_q);
    o->multipliers = (const int32_t*)nn_tensor_aux_object_by_name(filter, "filter_multiplier");
    o->shifts = (const int32_t*)nn_tensor_aux_object_by_name(filter, "filter_shifts");
    o->reduce_zero = (const int32_t*)nn_tensor_aux_object_by_name(filter, "filter_reducezero");
}

void fill_job(gemm_job* j, const gemm_operands* o, const conv_b* b, nn_tensor* input,
                     nn_tensor* output, nn_tensor* bias, int32_t activation, int32_t n,
                     int32_t k)
{
    memset(j, 0, sizeof *j);
    j->b = b->data();
    j->layout = b->layout;
    j->bias = o->bias.data();
    j->activation = activation;
    j->n = n;
    j->k = k;
    j->a_es = nn_tensor_element_size(input);
    j->c_es = nn_tensor_element_size(output);
    j->out_q = &o->out_q;
    j->in_q = &o->in_q;
    j->w_q = &o->w_q;
    j->bias_q = bias ? &o->bias_q : NULL;
    j->multipliers = o->multipliers;
    j->shifts = o->shifts;
    j->reduce_zero = o->reduce_zero;
}

/* "filter_aux_panel_dot": the filter's layout-8 panels as the dot-product
 * kernel groups them, made at the layer's first run where the CPU has the
 * instructions and kept with the filter; which panels and sizes it was made
 * from is kept in front of it. */
struct dot_panels_head {
    const void* source;
    int32_t n, k;
};

const int8_t* dot_panels(nn_tensor* filter, const gemm_job* j)
{
    static const char name[] = "filter_aux_panel_dot";
    const size_t bytes = gemm_i8_dot_packed_size(j->n, j->k);
    if (!gemm_i8_dot_available() || bytes == 0)
        return NULL;
    auto* head = (dot_panels_head*)nn_tensor_aux_object_by_name(filter, name);
    if (head) {
        const bool same = nn_tensor_aux_free_by_name(filter, name) == free_aux_buffer &&
                          head->source == j->b && head->n == j->n && head->k == j->k;
        return same ? (const int8_t*)(head + 1) : NULL;
    }
    platform::unique_malloc<unsigned char[]> made(
        platform::malloc_array<unsigned char>(sizeof(dot_panels_head) + bytes));
    if (!made)
        return NULL;
    head = (dot_panels_head*)made.get();
    *head = {j->b, j->n, j->k};
    gemm_i8_dot_pack((int8_t*)(head + 1), (const int8_t*)j->b, j->n, j->k);
    if (aux_attach_named(filter, name, made.get(), free_aux_buffer, 1))
        return NULL;
    made.release();
    return (const int8_t*)(head + 1);
}

/* The column stage of an INT8 product over layout-8 panels with the column
 * sums (the operands gemm_quant gives gemm_i8_panel8), made once per call
 * instead of once per row tile.  Without it (another product, or no memory
 * for its arrays) the job keeps the per-tile kernel. */
struct column_stage {
    platform::unique_malloc<float[]> factors;
    platform::unique_malloc<int32_t[]> init;
    gemm_i8_columns columns;

    void attach(gemm_job* j, nn_tensor* filter)
    {
        const nn_quant_params* q[3] = {j->out_q, j->in_q, j->w_q};
        if (j->layout != 8 || !j->reduce_zero || j->n < 1 || j->k < 1)
            return;
        for (const nn_quant_params* p : q)
            if (p->type != NN_TYPE_I8)
                return;
        if (!quant_zeros_all(j->w_q, 0))
            return;
        factors = platform::malloc_array<float>((size_t)j->n);
        init = platform::malloc_array<int32_t>((size_t)j->n);
        if (!factors || !init)
            return;
        const int32_t* bias = (const int32_t*)j->bias;
        gemm_i8_columns_fill(factors.get(), init.get(), j->n, bias, j->out_q, j->in_q, j->w_q,
                             j->bias_q, j->reduce_zero);
        columns = {factors.get(), init.get(), quant_zero(j->out_q), gemm_quant_q6(j->out_q),
                   gemm_i8_has_min((const int8_t*)j->b, (size_t)j->n * (size_t)j->k),
                   dot_panels(filter, j)};
        j->columns = &columns;
    }
};

/* ---- 1x1 ---------------------------------------------------------------- */

} // namespace

int nn_conv_1x1(nn_tensor* output, nn_tensor* input, nn_tensor* filter, nn_tensor* bias,
                int32_t activation)
{
    const int quantised = input->type != NN_TYPE_F32;
    const int32_t cin = input->shape[3], cout = output->shape[3];
    const int64_t m64 = (int64_t)output->shape[0] * output->shape[1] * output->shape[2];
    if (m64 > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    const int32_t m = (int32_t)m64;
    {
        /* Every mapping is given back before the activation operator runs. */
        conv_b b;
        int status = prepare_b("nn_conv_1x1", output, input, filter, cin, cout, m,
                               nn_tensor_aux_object_by_name(filter, "filter_reducezero") != NULL,
                               &b);
        if (status)
            return status;
        gemm_operands o{};
        status = o.map(output, input, bias);
        if (status)
            return status;
        if (quantised)
            read_quantisation(output, input, filter, bias, &o);
        gemm_job j;
        fill_job(&j, &o, &b, input, output, bias, activation, cout, cin);
        column_stage stage;
        if (quantised)
            stage.attach(&j, filter);
        j.c = o.out.data();
        j.a = o.in.data();
        j.m = m;
        run_gemm(&j, quantised);
    }
    return quantised ? conv_quantised_activation(output, activation) : 0;
}

namespace {

/* ---- cache-tiled GEMM ---------------------------------------------------- */

struct im2col_job {
    unsigned char* cache;
    const unsigned char* in; /* this batch image */
    const conv_geom* g;
    size_t es;
    unsigned char fill;
    int32_t y, x0, cols, k;
};

/* n bytes from src to dst; short runs (a few channels of a few taps) in
 * fixed-size pieces, the last one overlapping the one before, instead of a
 * call per run. */
inline void copy_run(unsigned char* dst, const unsigned char* src, size_t n)
{
    if (n >= 16) {
        if (n > 64) {
            memcpy(dst, src, n);
            return;
        }
        for (size_t i = 0; i + 16 < n; i += 16)
            memcpy(dst + i, src + i, 16);
        memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n >= 8) {
        memcpy(dst, src, 8);
        memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        memcpy(dst, src, 4);
        memcpy(dst + n - 4, src + n - 4, 4);
    } else {
        for (size_t i = 0; i < n; ++i)
            dst[i] = src[i];
    }
}

/* Tile columns [c0, c1): each column's KH filter rows of KW taps, taps
 * outside the image filled with j->fill.  A filter row wholly inside the
 * image is one run of the input row (its taps are neighbouring pixels). */
void im2col_worker(const im2col_job* j, int32_t c0, int32_t c1)
{
    const conv_geom* g = j->g;
    const size_t es = j->es;
    const size_t px = (size_t)g->cin * es;
    const size_t row = (size_t)j->k * es;
    const size_t taps = (size_t)g->kw * px;
    const int32_t iy0 = j->y * g->sh - g->top;
    for (int32_t c = c0; c < c1; ++c) {
        const int32_t ix0 = (j->x0 + c) * g->sw - g->left;
        const bool inside = ix0 >= 0 && (int64_t)ix0 + g->kw <= g->w;
        for (int32_t ky = 0; ky < g->kh; ++ky) {
            unsigned char* dst = j->cache + (size_t)c * row + (size_t)ky * taps;
            const int32_t iy = iy0 + ky;
            if (iy < 0 || iy >= g->h) {
                memset(dst, j->fill, taps);
                continue;
            }
            const unsigned char* src = j->in + (size_t)iy * (size_t)g->w * px;
            if (inside) {
                copy_run(dst, src + (size_t)ix0 * px, taps);
                continue;
            }
            for (int32_t kx = 0; kx < g->kw; ++kx) {
                const int32_t ix = ix0 + kx;
                if (ix < 0 || ix >= g->w)
                    memset(dst + (size_t)kx * px, j->fill, px);
                else
                    copy_run(dst + (size_t)kx * px, src + (size_t)ix * px, px);
            }
        }
    }
}

/* Short filter rows (few input channels) make the im2col copies cost as
 * much as the products: where the CPU has a wide panel tile that reads its A
 * rows in place, output pixels whose window lies inside the image are read
 * straight from the input, one segment per filter row inside it, and only
 * the columns at the left and right edges go through an im2col row. */
constexpr int32_t kInPlaceRunMax = 64; /* KW * Cin */

bool in_place_fits(const conv_geom& g, int quantised, char layout)
{
#if defined(__x86_64__)
    return !quantised && layout == 16 && (int64_t)g.kw * g.cin <= kInPlaceRunMax &&
           conv_f32_panels16_wide() != nullptr;
#else
    (void)g;
    (void)quantised;
    (void)layout;
    return false;
#endif
}

/* Output rows [r0, r1) (over all batch images) of a FLOAT32 convolution
 * with width-16 panels B, edge columns through `edge` (room for one im2col
 * row of K floats). */
void in_place_rows(const conv_geom& g, const float* in, float* out, const float* B,
                   const float* bias, int32_t activation, int32_t k, float* edge, int64_t r0,
                   int64_t r1)
{
    conv_f32_panels16_kernel* tile = conv_f32_panels16_wide();
    const size_t px = (size_t)g.cin;
    const size_t in_image = (size_t)g.h * (size_t)g.w * px;
    const int32_t run = g.kw * g.cin;
    /* columns [x0, x1) have every tap inside the row */
    int32_t x0 = (g.left + g.sw - 1) / g.sw;
    int32_t x1 = g.w >= g.kw ? (int32_t)(((int64_t)g.w - g.kw + g.left) / g.sw + 1) : 0;
    if (x1 > g.ow)
        x1 = g.ow;
    if (x0 > x1)
        x0 = x1 = g.ow;
    const float* seg[16];
    int32_t b_row[16];
    im2col_job ij = {(unsigned char*)edge, NULL, &g, sizeof(float), 0, 0, 0, 1, k};
    static const int32_t first_row = 0;
    for (int64_t r = r0; r < r1; ++r) {
        const int32_t n = (int32_t)(r / g.oh), y = (int32_t)(r % g.oh);
        const float* image = in + (size_t)n * in_image;
        float* row_out = out + (size_t)r * (size_t)g.ow * (size_t)g.cout;
        ij.in = (const unsigned char*)image;
        ij.y = y;
        const auto edge_columns = [&](int32_t from, int32_t to) {
            for (int32_t x = from; x < to; ++x) {
                ij.x0 = x;
                im2col_worker(&ij, 0, 1);
                const float* a = edge;
                tile(row_out + (size_t)x * (size_t)g.cout, &a, &first_row, 1, k, k, B, bias,
                     activation, 1, g.cout, k);
            }
        };
        edge_columns(0, x0);
        if (x0 < x1) {
            int segs = 0;
            for (int32_t ky = 0; ky < g.kh; ++ky) {
                const int32_t iy = y * g.sh - g.top + ky;
                if (iy < 0 || iy >= g.h)
                    continue;
                seg[segs] = image + ((size_t)iy * (size_t)g.w + (size_t)(x0 * g.sw - g.left)) * px;
                b_row[segs] = ky * run;
                ++segs;
            }
            /* no filter row inside: the bias alone, like an im2col row of 0 */
            tile(row_out + (size_t)x0 * (size_t)g.cout, seg, b_row, segs, run, g.sw * g.cin, B,
                 bias, activation, x1 - x0, g.cout, k);
        }
        edge_columns(x1 > x0 ? x1 : x0, g.ow);
        if (activation > NN_RELU6)
            apply_activation(row_out, (uint32_t)g.ow * (uint32_t)g.cout, row_out, activation);
    }
}

/* The tiles of nn_conv_gemm on mapped operands: each an im2col fill of the
 * cache and one GEMM, in one OpenMP region.  Every mapping is given back on
 * return, before the activation operator runs. */
int tiled_gemm(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
               nn_tensor* bias, const conv_geom& g, int32_t k, int32_t activation)
{
    const int quantised = input->type != NN_TYPE_F32;
    const size_t es = nn_tensor_element_size(input);
    const size_t tile_row = (size_t)k * es;
    const size_t cache_size = nn_tensor_size(cache);
    conv_b b;
    int status = prepare_b("nn_conv_gemm", output, input, filter, k, g.cout, g.ow,
                           nn_tensor_aux_object_by_name(filter, "filter_reducezero") != NULL, &b);
    if (status)
        return status;
    gemm_operands o{};
    ReadWriteMap tile_map;
    if (o.map(output, input, bias) || !tile_map.map(cache))
        return NN_ERROR_TENSOR_NO_DATA;
    unsigned char* tile = tile_map.as<unsigned char>();
    unsigned char fill = 0;
    if (quantised) {
        read_quantisation(output, input, filter, bias, &o);
        fill = (unsigned char)(quant_zero(&o.in_q) & 0xff);
    }
    /* The threads of the whole product, and each one's slice of the cache
     * where they share output rows. */
    const int64_t rows = (int64_t)g.n * g.oh;
    const int team = nn_team_for(rows * g.ow * (int64_t)g.cout * k, NN_GRAIN_GEMM_MACS);
    const size_t slice = cache_size / (size_t)team / 64 * 64;
    if (in_place_fits(g, quantised, b.layout) && g.kh <= 16) {
        if (tile_row <= slice) {
#pragma omp parallel num_threads(team)
            {
                const nn_row_range r = nn_thread_rows(rows);
                in_place_rows(g, o.in.as<float>(), o.out.as<float>(), (const float*)b.data(),
                              o.bias.as<float>(), activation, k,
                              (float*)(tile + (size_t)omp_get_thread_num() * slice), r.begin,
                              r.begin + r.count);
            }
            return 0;
        }
    }
    /* Columns per tile: OW (17 starts at 16), halved until the tile fits. */
    int32_t width = g.ow == 17 ? 16 : g.ow;
    while (width > 1 && (size_t)width * tile_row > cache_size)
        width /= 2;

    gemm_job j;
    fill_job(&j, &o, &b, input, output, bias, activation, g.cout, k);
    column_stage stage;
    if (quantised)
        stage.attach(&j, filter);
    const size_t oes = nn_tensor_element_size(output);
    im2col_job ij = {tile, NULL, &g, es, fill, 0, 0, 0, k};
    const unsigned char* in_base = o.in.as<unsigned char>();
    unsigned char* out_base = o.out.as<unsigned char>();
    const size_t in_image = (size_t)g.h * (size_t)g.w * g.cin * es;
    /* The tiles of output row y of batch image n, from the tile width
     * down; with `split` the threads share each tile's rows, else the
     * calling thread does them all. */
    auto walk_row = [&](gemm_job& jr, im2col_job& ir, int32_t n, int32_t y, int32_t top,
                        bool split) {
        ir.in = in_base + (size_t)n * in_image;
        int32_t x = 0;
        for (int32_t w = top; w > 0; w /= 2)
            while (g.ow - x >= w) {
                ir.y = y;
                ir.x0 = x;
                ir.cols = w;
                jr.a = ir.cache;
                jr.m = w;
                jr.c = out_base + (((size_t)n * (size_t)g.oh + (size_t)y) * (size_t)g.ow +
                                   (size_t)x) *
                                      (size_t)g.cout * oes;
                if (split) {
                    /* One region per tile.  Each thread fills the im2col
                     * rows of exactly the GEMM rows it multiplies, so no
                     * thread reads a row another one writes. */
#pragma omp parallel num_threads(gemm_team(&jr))
                    {
                        int32_t r0, r1;
                        thread_gemm_rows(&jr, quantised, &r0, &r1);
                        im2col_worker(&ir, r0, r1);
                        gemm_worker(&jr, quantised, r0, r1);
                    }
                } else {
                    im2col_worker(&ir, 0, w);
                    gemm_worker(&jr, quantised, 0, w);
                }
                x += w;
            }
    };

    /* Where one row's tiles are too little work for the team, the threads
     * share the output rows instead, each with its own tile in its own
     * slice of the cache (the same products, in fewer regions). */
    j.m = width;
    const int row_team = gemm_team(&j);
    int32_t slice_width = width;
    while (slice_width > 1 && (size_t)slice_width * tile_row > slice)
        slice_width /= 2;
    if (team > row_team && (size_t)slice_width * tile_row <= slice) {
#pragma omp parallel num_threads(team)
        {
            gemm_job jt = j;
            im2col_job it = ij;
            it.cache = tile + (size_t)omp_get_thread_num() * slice;
            const nn_row_range r = nn_thread_rows(rows);
            for (int64_t i = r.begin; i < r.begin + r.count; ++i)
                walk_row(jt, it, (int32_t)(i / g.oh), (int32_t)(i % g.oh), slice_width, false);
        }
        return 0;
    }
    for (int32_t n = 0; n < g.n; ++n)
        for (int32_t y = 0; y < g.oh; ++y)
            walk_row(j, ij, n, y, width, true);
    return 0;
}

} // namespace

int nn_conv_gemm(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                 nn_tensor* bias, const int32_t* strides, const int32_t* padding,
                 const int32_t* dilations, int32_t groups, int32_t activation)
{
    (void)dilations;
    (void)groups;
    conv_geom g;
    conv_geom_read(&g, output, input, filter, strides, padding, NULL);
    const int quantised = input->type != NN_TYPE_F32;
    const size_t es = nn_tensor_element_size(input);
    const int64_t k64 = (int64_t)g.kh * g.kw * g.cin;
    if (k64 > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    const int32_t k = (int32_t)k64;
    const size_t tile_row = (size_t)k * es;
    const size_t cache_size = nn_tensor_size(cache);
    if (tile_row >= cache_size) {
        if (!cache_warning_printed) {
            cache_warning_printed = 1;
            printf("warning: insufficient cache (%dB) for conv2d tile (%dB)\n", (int)cache_size,
                   (int)tile_row);
            fflush(stdout);
        }
        return nn_conv2d_direct(output, input, filter, bias, strides, padding, activation);
    }
    const int status = tiled_gemm(output, cache, input, filter, bias, g, k, activation);
    if (status)
        return status;
    return quantised ? conv_quantised_activation(output, activation) : 0;
}
