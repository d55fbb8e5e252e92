/* 2-D convolution: nn_conv and nn_conv_ex with their engine slot and variant
 * choice, the filter objects they keep ("filter_aux_dilated",
 * "filter_aux_panel", "filter_aux_unpacked"), and the 1x1 and cache-tiled
 * GEMM variants with their OpenMP workers. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "ops/conv_internal.h"
#include "ops/frame.h"
#include "platform.h"
#include "tensor/tensor_internal.h"
#include "tensor/tensor_record.h"

static const int32_t kNoPadding[8] = {0, 0, 0, 0, 0, 0, 0, 0};
static const int32_t kNoDilation[4] = {1, 1, 1, 1};

/* Process-wide: the insufficient-cache warning was printed. */
static int cache_warning_printed;

int conv_cache_warning_printed(void)
{
    return cache_warning_printed;
}

void conv_geom_read(conv_geom* g, const nn_tensor* output, const nn_tensor* input,
                    const nn_tensor* filter, const int32_t* strides, const int32_t* padding,
                    const int32_t* dilations)
{
    g->n = input->shape[0];
    g->h = input->shape[1];
    g->w = input->shape[2];
    g->cin = input->shape[3];
    g->oh = output->shape[1];
    g->ow = output->shape[2];
    g->cout = output->shape[3];
    g->kh = filter->shape[0];
    g->kw = filter->shape[1];
    g->sh = strides ? strides[1] : 1;
    g->sw = strides ? strides[2] : 1;
    g->top = padding ? padding[2] : 0;
    g->left = padding ? padding[4] : 0;
    g->right = padding ? padding[5] : 0;
    g->dh = dilations ? dilations[1] : 1;
    g->dw = dilations ? dilations[2] : 1;
}

int conv_reach_ok(int32_t count, int32_t stride, int32_t taps, int32_t dilation)
{
    const int64_t far = (int64_t)(count > 1 ? count - 1 : 0) * stride +
                        (int64_t)(taps > 1 ? taps - 1 : 0) * dilation;
    return far < INT32_MAX;
}

/* The output's rows and columns with the filter's taps, walked with these
 * strides and dilations, stay within 32-bit coordinates; and a dilated
 * window is no larger than the padded input (a larger one fits no output
 * position, and its gap-filled filter would cost memory and work out of
 * all proportion to the layer). */
static int check_reach(const nn_tensor* output, const nn_tensor* input, const nn_tensor* filter,
                       const int32_t* strides, const int32_t* padding, const int32_t* dilations)
{
    const int32_t dh = dilations ? dilations[1] : 1, dw = dilations ? dilations[2] : 1;
    if (!conv_reach_ok(output->shape[1], strides[1], filter->shape[0], dh) ||
        !conv_reach_ok(output->shape[2], strides[2], filter->shape[1], dw))
        return NN_ERROR_INVALID_PARAMETER;
    if (dh > 1 || dw > 1) {
        const int64_t span_h = (int64_t)(filter->shape[0] - 1) * dh + 1;
        const int64_t span_w = (int64_t)(filter->shape[1] - 1) * dw + 1;
        const int64_t room_h = (int64_t)input->shape[1] + (padding ? (int64_t)padding[2] + padding[3] : 0);
        const int64_t room_w = (int64_t)input->shape[2] + (padding ? (int64_t)padding[4] + padding[5] : 0);
        if (span_h > room_h || span_w > room_w)
            return NN_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

static int is_q8(uint32_t t)
{
    return t == NN_TYPE_I8 || t == NN_TYPE_U8;
}

static nn_tensor* tensor_by_name(const nn_tensor* t, const char* name, int* foreign)
{
    void* obj = nn_tensor_aux_object_by_name(t, name);
    *foreign = obj && nn_tensor_aux_free_by_name(t, name) != nn_aux_free_tensor;
    return *foreign ? NULL : (nn_tensor*)obj;
}

/* Attaches a tensor under a heap copy of the name; on failure the tensor is
 * released and 3 returned. */
static int attach_tensor(nn_tensor* t, const char* name, nn_tensor* object)
{
    size_t len = strlen(name) + 1;
    char* copy = (char*)malloc(len);
    if (!copy) {
        nn_tensor_release(object);
        return NN_ERROR_OUT_OF_MEMORY;
    }
    memcpy(copy, name, len);
    nn_tensor_set_aux_object_by_name(t, copy, object, nn_aux_free_tensor, true, true);
    if (nn_tensor_aux_object_by_name(t, name) != object) {
        free(copy);
        nn_tensor_release(object);
        return NN_ERROR_OUT_OF_MEMORY;
    }
    return 0;
}

/* Copies the quantisation of src to dst (owned copies). */
static int copy_quantisation(nn_tensor* dst, const nn_tensor* src)
{
    size_t nz = 0, ns = 0;
    const int32_t* z = nn_tensor_zeros(src, &nz);
    const float* s = nn_tensor_scales(src, &ns);
    if (z && nz) {
        int32_t* zc = (int32_t*)malloc(nz * sizeof *zc);
        if (!zc)
            return NN_ERROR_OUT_OF_MEMORY;
        memcpy(zc, z, nz * sizeof *zc);
        nn_tensor_set_zeros(dst, nz, zc, 1);
    }
    if (s && ns) {
        float* sc = (float*)malloc(ns * sizeof *sc);
        if (!sc)
            return NN_ERROR_OUT_OF_MEMORY;
        memcpy(sc, s, ns * sizeof *sc);
        nn_tensor_set_scales(dst, ns, sc, 1);
    }
    nn_tensor_set_axis(dst, (uint8_t)nn_tensor_axis(src));
    return 0;
}

/* ---- unpacked copy of a pre-packed filter ------------------------------ */

nn_tensor* conv_filter_unpacked(nn_tensor* filter, const char* label, int* status)
{
    const uint32_t w = filter->panel_size;
    if (w == 0)
        return filter;
    if (filter->shape[3] < 1 || filter->shape[3] % (int32_t)w != 0) {
        *status = NN_ERROR_NOT_IMPLEMENTED;
        return NULL;
    }
    int foreign = 0;
    nn_tensor* copy = tensor_by_name(filter, "filter_aux_unpacked", &foreign);
    if (copy && nn_tensor_volume(copy) == nn_tensor_volume(filter) && copy->type == filter->type)
        return copy;
    copy = nn_tensor_init(NULL, NULL);
    if (!copy) {
        fprintf(stderr, "%s unable to create auxiliary unpacked tensor for filter: out of memory\n",
                label);
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    int err = nn_tensor_alloc(copy, (nn_type)filter->type, 4, filter->shape);
    if (!err)
        err = copy_quantisation(copy, filter);
    if (err) {
        nn_tensor_release(copy);
        *status = err;
        return NULL;
    }
    const int64_t cout = filter->shape[3];
    const int64_t k = (int64_t)filter->shape[0] * filter->shape[1] * filter->shape[2];
    const size_t es = nn_tensor_element_size(filter);
    unsigned char* dst = (unsigned char*)nn_tensor_mapwo(copy);
    const unsigned char* src = (const unsigned char*)nn_tensor_mapro(filter);
    if (!dst || !src) {
        if (dst)
            nn_tensor_unmap(copy);
        if (src)
            nn_tensor_unmap(filter);
        nn_tensor_release(copy);
        *status = NN_ERROR_TENSOR_NO_DATA;
        return NULL;
    }
    /* Panel p holds columns p*w .. p*w+w-1 as k rows of w values. */
    for (int64_t co = 0; co < cout; ++co) {
        const int64_t p = co / w, lane = co % w;
        for (int64_t r = 0; r < k; ++r)
            memcpy(dst + (size_t)(r * cout + co) * es,
                   src + (size_t)(p * k * w + r * w + lane) * es, es);
    }
    nn_tensor_unmap(filter);
    nn_tensor_unmap(copy);
    err = attach_tensor(filter, "filter_aux_unpacked", copy);
    if (err) {
        *status = err;
        return NULL;
    }
    return copy;
}

/* ---- "filter_aux_dilated" ---------------------------------------------- */

static nn_tensor* dilated_filter(nn_tensor* output, nn_tensor* filter, const int32_t* dilations,
                                 int* status)
{
    const int32_t d1 = dilations[1], d2 = dilations[2];
    const int32_t kh = filter->shape[0], kw = filter->shape[1];
    const int32_t shape[4] = {(kh - 1) * d1 + 1, (kw - 1) * d2 + 1, filter->shape[2],
                              filter->shape[3]};
    int foreign = 0;
    nn_tensor* d = tensor_by_name(filter, "filter_aux_dilated", &foreign);
    if (d && d->type == filter->type && nn_tensor_shape_equal(d->shape, shape))
        return d;

    nn_tensor* src = conv_filter_unpacked(filter, "nn_conv_ex", status);
    if (!src)
        return NULL;
    d = nn_tensor_init(NULL, output->engine);
    if (!d) {
        fprintf(stderr, "%s unable to create auxiliary dilated tensor for filter: out of memory\n",
                "nn_conv_ex");
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    int err = nn_tensor_alloc(d, (nn_type)filter->type, 4, shape);
    if (err) {
        fprintf(stderr, "%s unable to alloc auxiliary dilated tensor ", "nn_conv_ex");
        nn_tensor_release(d);
        *status = err;
        return NULL;
    }
    unsigned char fill = 0;
    if (filter->type >= NN_TYPE_I8 && filter->type <= NN_TYPE_U64) {
        err = copy_quantisation(d, filter);
        if (err) {
            nn_tensor_release(d);
            *status = err;
            return NULL;
        }
        size_t nz = 0;
        const int32_t* z = nn_tensor_zeros(filter, &nz);
        if (z && nz)
            fill = (unsigned char)(z[0] & 0xff);
    }
    unsigned char* dst = (unsigned char*)nn_tensor_mapwo(d);
    const unsigned char* in = (const unsigned char*)nn_tensor_mapro(src);
    if (!dst || !in) {
        if (dst)
            nn_tensor_unmap(d);
        if (in)
            nn_tensor_unmap(src);
        nn_tensor_release(d);
        *status = NN_ERROR_TENSOR_NO_DATA;
        return NULL;
    }
    const size_t block = (size_t)shape[2] * (size_t)shape[3] * nn_tensor_element_size(filter);
    memset(dst, fill, block * (size_t)shape[0] * (size_t)shape[1]);
    for (int32_t i = 0; i < shape[0]; i += d1)
        for (int32_t j = 0; j < shape[1]; j += d2)
            memcpy(dst + ((size_t)i * (size_t)shape[1] + (size_t)j) * block,
                   in + ((size_t)(i / d1) * (size_t)kw + (size_t)(j / d2)) * block, block);
    nn_tensor_unmap(src);
    nn_tensor_unmap(d);
    err = attach_tensor(filter, "filter_aux_dilated", d);
    if (err) {
        *status = err;
        return NULL;
    }
    return d;
}

/* The dilated filter has the filter's output channels: it reads the
 * per-channel objects of the filter itself (borrowed, refreshed every call).
 * The column sums hold for it only when the gaps are zero. */
static void lend_channel_objects(nn_tensor* dilated, nn_tensor* filter)
{
    static const char* const names[3] = {"filter_multiplier", "filter_shifts",
                                         "filter_reducezero"};
    size_t nz = 0;
    const int32_t* z = nn_tensor_zeros(filter, &nz);
    const int zero_gaps = !z || !nz || (z[0] & 0xff) == 0;
    for (int i = 0; i < 3; ++i) {
        void* obj = nn_tensor_aux_object_by_name(filter, names[i]);
        if (i == 2 && !zero_gaps)
            obj = NULL;
        if (obj || nn_tensor_aux_object_by_name(dilated, names[i]))
            nn_tensor_set_aux_object_by_name(dilated, names[i], obj, NULL, false, false);
    }
}

/* ---- checks of the CPU path -------------------------------------------- */

/* Types: FLOAT32 throughout (FLOAT32 bias), or INT8/UINT8 input, filter and
 * output with an INT32 bias. */
static int check_types(const nn_tensor* output, const nn_tensor* input, const nn_tensor* filter,
                       const nn_tensor* bias)
{
    if (input->type == NN_TYPE_F32) {
        if (filter->type != NN_TYPE_F32 || output->type != NN_TYPE_F32 ||
            (bias && bias->type != NN_TYPE_F32))
            return NN_ERROR_TYPE_MISMATCH;
        return 0;
    }
    if (!is_q8(input->type) || !is_q8(filter->type) || !is_q8(output->type) ||
        (bias && bias->type != NN_TYPE_I32))
        return NN_ERROR_TYPE_MISMATCH;
    return 0;
}

static int all_positive(const nn_tensor* t)
{
    for (int i = 0; i < 4; ++i)
        if (t->shape[i] < 1)
            return 0;
    return 1;
}

/* An ordinary convolution: batches agree, filter [KH, KW, Cin, Cout], a bias
 * of at least Cout values. */
static int check_shapes(const nn_tensor* output, const nn_tensor* input, const nn_tensor* filter,
                        const nn_tensor* bias)
{
    if (!all_positive(output) || !all_positive(input) || !all_positive(filter))
        return NN_ERROR_INVALID_SHAPE;
    if (output->shape[0] != input->shape[0] || filter->shape[2] != input->shape[3] ||
        filter->shape[3] != output->shape[3])
        return NN_ERROR_SHAPE_MISMATCH;
    if (bias && nn_tensor_volume(bias) < output->shape[3])
        return NN_ERROR_SHAPE_MISMATCH;
    return 0;
}

/* The panel sizes the GEMM kernels take, dividing Cout. */
static int panel_ok(uint32_t w, const nn_tensor* output, const nn_tensor* input,
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

static int check_params(const int32_t* strides, const int32_t* padding,
                        const int32_t* dilations)
{
    if (!strides || strides[1] < 1 || strides[2] < 1)
        return NN_ERROR_INVALID_PARAMETER;
    if (padding && (padding[2] < 0 || padding[4] < 0 || padding[5] < 0))
        return NN_ERROR_INVALID_PARAMETER;
    if (dilations && (dilations[1] < 1 || dilations[2] < 1))
        return NN_ERROR_INVALID_PARAMETER;
    return 0;
}

/* Depthwise: filter [KH, KW, 1, CH], input, output and filter channels
 * equal; a channel multiplier is not implemented. */
static int check_depthwise(const nn_tensor* output, const nn_tensor* input,
                           const nn_tensor* filter, const nn_tensor* bias)
{
    if (!all_positive(output) || !all_positive(input) || !all_positive(filter))
        return NN_ERROR_INVALID_SHAPE;
    if (output->shape[0] != input->shape[0] || filter->shape[2] != 1)
        return NN_ERROR_SHAPE_MISMATCH;
    const int32_t ch = input->shape[3];
    if (output->shape[3] != ch || filter->shape[3] != ch) {
        if (filter->shape[3] == output->shape[3] && output->shape[3] > ch &&
            output->shape[3] % ch == 0)
            return NN_ERROR_NOT_IMPLEMENTED;
        return NN_ERROR_SHAPE_MISMATCH;
    }
    if (bias && nn_tensor_volume(bias) < ch)
        return NN_ERROR_SHAPE_MISMATCH;
    if (filter->panel_size != 0)
        return NN_ERROR_NOT_IMPLEMENTED;
    return 0;
}

/* The quantised kernels (GEMM and depthwise) fuse only RELU and RELU6: the
 * other codes are applied afterwards by their operators, as the direct
 * variant does. */
static int quantised_activation(nn_tensor* output, int32_t activation)
{
    switch (activation) {
    case NN_SIGMOID: return nn_sigmoid(output, output);
    case NN_SIGMOID_FAST: return nn_sigmoid_fast(output, output);
    case NN_TANH: return nn_tanh(output, output);
    default: return 0;
    }
}

/* The CPU part of nn_conv / nn_conv_ex after the engine step. */
static int conv_cpu(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                    nn_tensor* bias, const int32_t* strides, const int32_t* padding,
                    const int32_t* dilations, int depthwise, int32_t groups, int32_t activation)
{
    int status = check_types(output, input, filter, bias);
    if (status)
        return status;
    if (depthwise) {
        status = check_depthwise(output, input, filter, bias);
        if (status)
            return status;
        status = nn_conv_depthwise(output, cache, input, filter, bias, strides, padding,
                                   dilations, activation);
        if (!status && input->type != NN_TYPE_F32)
            status = quantised_activation(output, activation);
        return status;
    }
    status = check_shapes(output, input, filter, bias);
    if (status)
        return status;
    if (!panel_ok(filter->panel_size, output, input, filter))
        return NN_ERROR_NOT_IMPLEMENTED;
    conv_geom g;
    conv_geom_read(&g, output, input, filter, strides, padding, NULL);
    /* The 1x1 product reads N*OH*OW input rows: only when they are the input. */
    if (g.kh == 1 && g.kw == 1 && g.sh == 1 && g.sw == 1 && g.oh == g.h && g.ow == g.w &&
        g.top == 0 && g.left == 0)
        return nn_conv_1x1(output, input, filter, bias, activation);
    if (cache)
        return nn_conv_gemm(output, cache, input, filter, bias, strides, padding, kNoDilation,
                            groups, activation);
    return nn_conv2d_direct(output, input, filter, bias, strides, padding, activation);
}

NN_API int nn_conv(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                   nn_tensor* bias, const int32_t strides[4], int32_t groups, int32_t activation)
{
    if (!output || !input || !filter || !strides)
        return NN_ERROR_INVALID_PARAMETER;
    nn_engine* e = nn_shared_engine3(output, input, filter);
    if (e && e->conv)
        return e->conv(output, cache, input, filter, bias, strides, kNoPadding, groups,
                       activation);
    int status = check_params(strides, NULL, NULL);
    if (!status)
        status = check_reach(output, input, filter, strides, NULL, NULL);
    if (status)
        return status;
    const int64_t start = clock_now_ns();
    const int depthwise = groups == 0 || (groups == output->shape[3] && groups != 1);
    status = conv_cpu(output, cache, input, filter, bias, strides, kNoPadding, kNoDilation,
                      depthwise, groups, activation);
    op_store_time(output, start);
    return status;
}

NN_API int nn_conv_ex(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                      nn_tensor* bias, const int32_t strides[4], const int32_t padding[8],
                      const int32_t dilations[4], int32_t groups, int32_t activation)
{
    if (!output || !input || !filter || !strides || !padding || !dilations)
        return NN_ERROR_INVALID_PARAMETER;
    int status = check_params(strides, padding, dilations);
    if (!status)
        status = check_reach(output, input, filter, strides, padding, dilations);
    if (status)
        return status;
    const int64_t start = clock_now_ns();
    const int depthwise = groups == output->shape[3] && groups != 1;
    const int dilated = dilations[1] > 1 || dilations[2] > 1;

    if (depthwise) {
        if (output->engine) {
            nn_tensor* offered = filter;
            if (dilated) {
                offered = dilated_filter(output, filter, dilations, &status);
                if (!offered)
                    return status;
            }
            nn_engine* e = nn_shared_engine3(output, input, offered);
            if (e && e->conv) {
                status = e->conv(output, cache, input, offered, bias, strides, padding, groups,
                                 activation);
                if (status != NN_ERROR_NOT_IMPLEMENTED)
                    return status;
            }
        }
        status = conv_cpu(output, cache, input, filter, bias, strides, padding, dilations, 1,
                          groups, activation);
        op_store_time(output, start);
        return status;
    }

    nn_tensor* f = filter;
    if (dilated) {
        if (!all_positive(filter))
            return NN_ERROR_INVALID_SHAPE;
        f = dilated_filter(output, filter, dilations, &status);
        if (!f)
            return status;
    }
    nn_engine* e = nn_shared_engine3(output, input, f);
    if (e && e->conv)
        return e->conv(output, cache, input, f, bias, strides, padding, groups, activation);
    if (f != filter)
        lend_channel_objects(f, filter);
    status = conv_cpu(output, cache, input, f, bias, strides, padding, kNoDilation, 0, groups,
                      activation);
    op_store_time(output, start);
    return status;
}

/* ---- preparing B -------------------------------------------------------- */

typedef struct conv_b {
    const void* data;
    char layout;
    nn_tensor* mapped; /* unmapped by the caller */
} conv_b;

static int restore_filter(const char* label, nn_tensor* filter, const int32_t shape[4])
{
    int err = nn_tensor_reshape(filter, 4, shape);
    if (err)
        fprintf(stderr, "%s failed to restore filter shape [%d %d %d %d]: %s\n", label, shape[0],
                shape[1], shape[2], shape[3], nn_strerror(err));
    return err;
}

static int build_panel(const char* label, nn_tensor* filter, int32_t k, int32_t cout, int32_t w)
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
    nn_tensor* aux = nn_tensor_init(NULL, filter->engine);
    err = aux ? nn_tensor_alloc(aux, (nn_type)filter->type, 4, packed) : NN_ERROR_OUT_OF_MEMORY;
    if (err) {
        fprintf(stderr, "%s failed to create auxiliary tensor for filter cache: %s\n", label,
                nn_strerror(err));
        if (aux)
            nn_tensor_release(aux);
        restore_filter(label, filter, orig);
        return err;
    }
    static const int32_t order[4] = {0, 2, 1, 3};
    err = nn_tensor_shuffle(aux, filter, 4, order);
    if (err) {
        fprintf(stderr, "%s failed to shuffle auxiliary tensor for filter cache: %s\n", label,
                nn_strerror(err));
        nn_tensor_release(aux);
        restore_filter(label, filter, orig);
        return err;
    }
    err = restore_filter(label, filter, orig);
    if (err) {
        nn_tensor_release(aux);
        return err;
    }
    return attach_tensor(filter, "filter_aux_panel", aux);
}

/* The B operand of the GEMM: data, layout, and the tensor mapped for it.
 * rows is the GEMM's row count (OW for the tiled variant, M for 1x1). */
static int prepare_b(const char* label, nn_tensor* output, nn_tensor* input, nn_tensor* filter,
                     int32_t k, int32_t cout, int32_t rows, int have_reduce_zero, conv_b* b)
{
    b->mapped = NULL;
    if (filter->panel_size != 0) {
        b->layout = filter->panel_size == 1 ? 'T' : (char)filter->panel_size;
        b->data = nn_tensor_mapro(filter);
        if (!b->data)
            return NN_ERROR_TENSOR_NO_DATA;
        b->mapped = filter;
        return 0;
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
                b->data = nn_tensor_mapro(filter);
                if (!b->data)
                    return NN_ERROR_TENSOR_NO_DATA;
                b->mapped = filter;
                return 0;
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
        !panel_ok((uint32_t)w, output, input, filter))
        return NN_ERROR_NOT_IMPLEMENTED;
    b->layout = w == 1 ? 'T' : (char)w;
    b->data = nn_tensor_mapro(panel);
    if (!b->data) {
        fprintf(stderr, "%s failed to map auxiliary tensor for filter cache: %s\n", label,
                nn_strerror(NN_ERROR_TENSOR_NO_DATA));
        return NN_ERROR_TENSOR_NO_DATA;
    }
    b->mapped = panel;
    return 0;
}

/* ---- GEMM workers ------------------------------------------------------- */

typedef struct gemm_job {
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
} gemm_job;

static int32_t rows_per_tile(const gemm_job* j, int quantised)
{
    const int lay = (unsigned char)j->layout;
    if (j->m <= 4)
        return 1;
    if (j->m <= 8)
        return 2;
    if (!quantised)
        return lay == 'N' || lay == 8 || lay == 16 ? 4 : 2;
    return lay == 8 || lay == 16 ? 4 : 2;
}

/* The rows [*r0, *r1) of j that this thread multiplies: whole row tiles of
 * the static split. */
static void thread_gemm_rows(const gemm_job* j, int quantised, int32_t* r0, int32_t* r1)
{
    const int32_t rpt = rows_per_tile(j, quantised);
    const int64_t tiles = (j->m + rpt - 1) / rpt;
    nn_row_range r = nn_thread_rows(tiles);
    const int64_t b = r.begin * rpt, e = (r.begin + r.count) * rpt;
    *r0 = (int32_t)b;
    *r1 = (int32_t)(e < j->m ? e : j->m);
}

/* Rows [r0, r1) of j, one kernel call per row tile. */
static void gemm_f32_worker(const gemm_job* j, int32_t r0, int32_t r1)
{
    const int32_t rpt = rows_per_tile(j, 0);
    for (; r0 < r1; r0 += rpt) {
        const int32_t m = r1 - r0 < rpt ? r1 - r0 : rpt;
        kernel_gemm_f32((float*)j->c + (size_t)r0 * (size_t)j->n,
                        (const float*)j->a + (size_t)r0 * (size_t)j->k, 'N',
                        (const float*)j->b, j->layout, (const float*)j->bias, j->activation, m,
                        j->n, j->k);
    }
}

static void gemm_quant_worker(const gemm_job* j, int32_t r0, int32_t r1)
{
    const int32_t rpt = rows_per_tile(j, 1);
    for (; r0 < r1; r0 += rpt) {
        const int32_t m = r1 - r0 < rpt ? r1 - r0 : rpt;
        kernel_gemm_quant((unsigned char*)j->c + (size_t)r0 * (size_t)j->n * j->c_es,
                          (const unsigned char*)j->a + (size_t)r0 * (size_t)j->k * j->a_es, 'N',
                          j->b, j->layout, (const int32_t*)j->bias, j->activation, m, j->n,
                          j->k, j->out_q, j->in_q, j->w_q, j->bias_q, j->multipliers,
                          j->shifts, j->reduce_zero);
    }
}

static void gemm_worker(const gemm_job* j, int quantised, int32_t r0, int32_t r1)
{
    if (quantised)
        gemm_quant_worker(j, r0, r1);
    else
        gemm_f32_worker(j, r0, r1);
}

static void run_gemm(const gemm_job* j, int quantised)
{
#pragma omp parallel
    {
        int32_t r0, r1;
        thread_gemm_rows(j, quantised, &r0, &r1);
        gemm_worker(j, quantised, r0, r1);
    }
}

/* Mapped operands and quantisation of a GEMM-based variant. */
typedef struct gemm_operands {
    void* out;
    const void* in;
    const void* bias;
    nn_quant_params out_q, in_q, w_q, bias_q;
    const int32_t *multipliers, *shifts, *reduce_zero;
} gemm_operands;

static void unmap_operands(nn_tensor* output, nn_tensor* input, nn_tensor* bias,
                           const gemm_operands* o)
{
    if (o->out)
        nn_tensor_unmap(output);
    if (o->in)
        nn_tensor_unmap(input);
    if (o->bias)
        nn_tensor_unmap(bias);
}

static int map_operands(nn_tensor* output, nn_tensor* input, nn_tensor* bias, gemm_operands* o)
{
    memset(o, 0, sizeof *o);
    o->out = nn_tensor_maprw(output);
    o->in = o->out ? nn_tensor_mapro(input) : NULL;
    o->bias = o->in && bias ? nn_tensor_mapro(bias) : NULL;
    if (!o->out || !o->in || (bias && !o->bias)) {
        unmap_operands(output, input, bias, o);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    return 0;
}

static void read_quantisation(nn_tensor* output, nn_tensor* input, nn_tensor* filter,
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

static void fill_job(gemm_job* j, const gemm_operands* o, const conv_b* b, nn_tensor* input,
                     nn_tensor* output, nn_tensor* bias, int32_t activation, int32_t n,
                     int32_t k)
{
    memset(j, 0, sizeof *j);
    j->b = b->data;
    j->layout = b->layout;
    j->bias = o->bias;
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

/* ---- 1x1 ---------------------------------------------------------------- */

int nn_conv_1x1(nn_tensor* output, nn_tensor* input, nn_tensor* filter, nn_tensor* bias,
                int32_t activation)
{
    const int quantised = input->type != NN_TYPE_F32;
    const int32_t cin = input->shape[3], cout = output->shape[3];
    const int64_t m64 = (int64_t)output->shape[0] * output->shape[1] * output->shape[2];
    if (m64 > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    const int32_t m = (int32_t)m64;
    conv_b b;
    int status = prepare_b("nn_conv_1x1", output, input, filter, cin, cout, m,
                           nn_tensor_aux_object_by_name(filter, "filter_reducezero") != NULL, &b);
    if (status)
        return status;
    gemm_operands o;
    status = map_operands(output, input, bias, &o);
    if (status) {
        nn_tensor_unmap(b.mapped);
        return status;
    }
    if (quantised)
        read_quantisation(output, input, filter, bias, &o);
    gemm_job j;
    fill_job(&j, &o, &b, input, output, bias, activation, cout, cin);
    j.c = o.out;
    j.a = o.in;
    j.m = m;
    run_gemm(&j, quantised);
    unmap_operands(output, input, bias, &o);
    nn_tensor_unmap(b.mapped);
    return quantised ? quantised_activation(output, activation) : 0;
}

/* ---- cache-tiled GEMM ---------------------------------------------------- */

typedef struct im2col_job {
    unsigned char* cache;
    const unsigned char* in; /* this batch image */
    const conv_geom* g;
    size_t es;
    unsigned char fill;
    int32_t y, x0, cols, k;
} im2col_job;

/* Tile columns [c0, c1): each column's KH filter rows of KW taps, taps
 * outside the image filled with j->fill. */
static void im2col_worker(const im2col_job* j, int32_t c0, int32_t c1)
{
    const conv_geom* g = j->g;
    const size_t es = j->es;
    const size_t px = (size_t)g->cin * es;
    const size_t row = (size_t)j->k * es;
    const int32_t iy0 = j->y * g->sh - g->top;
    for (int32_t c = c0; c < c1; ++c) {
        const int32_t ix0 = (j->x0 + c) * g->sw - g->left;
        for (int32_t ky = 0; ky < g->kh; ++ky) {
            unsigned char* dst = j->cache + (size_t)c * row + (size_t)ky * (size_t)g->kw * px;
            const int32_t iy = iy0 + ky;
            if (iy < 0 || iy >= g->h) {
                memset(dst, j->fill, (size_t)g->kw * px);
                continue;
            }
            const unsigned char* src = j->in + (size_t)iy * (size_t)g->w * px;
            for (int32_t kx = 0; kx < g->kw; ++kx) {
                const int32_t ix = ix0 + kx;
                if (ix < 0 || ix >= g->w)
                    memset(dst + (size_t)kx * px, j->fill, px);
                else
                    memcpy(dst + (size_t)kx * px, src + (size_t)ix * px, px);
            }
        }
    }
}

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
    conv_b b;
    int status = prepare_b("nn_conv_gemm", output, input, filter, k, g.cout, g.ow,
                           nn_tensor_aux_object_by_name(filter, "filter_reducezero") != NULL, &b);
    if (status)
        return status;
    gemm_operands o;
    status = map_operands(output, input, bias, &o);
    unsigned char* tile = status ? NULL : (unsigned char*)nn_tensor_maprw(cache);
    if (!tile) {
        if (!status)
            unmap_operands(output, input, bias, &o);
        nn_tensor_unmap(b.mapped);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    unsigned char fill = 0;
    if (quantised) {
        read_quantisation(output, input, filter, bias, &o);
        fill = (unsigned char)(quant_zero(&o.in_q) & 0xff);
    }
    /* Columns per tile: OW (17 starts at 16), halved until the tile fits. */
    int32_t width = g.ow == 17 ? 16 : g.ow;
    while (width > 1 && (size_t)width * tile_row > cache_size)
        width /= 2;

    gemm_job j;
    fill_job(&j, &o, &b, input, output, bias, activation, g.cout, k);
    const size_t oes = nn_tensor_element_size(output);
    im2col_job ij = {tile, NULL, &g, es, fill, 0, 0, 0, k};
    for (int32_t n = 0; n < g.n; ++n) {
        ij.in = (const unsigned char*)o.in + (size_t)n * (size_t)g.h * (size_t)g.w * g.cin * es;
        for (int32_t y = 0; y < g.oh; ++y) {
            int32_t x = 0;
            for (int32_t w = width; w > 0; w /= 2)
                while (g.ow - x >= w) {
                    ij.y = y;
                    ij.x0 = x;
                    ij.cols = w;
                    j.a = tile;
                    j.m = w;
                    j.c = (unsigned char*)o.out +
                          (((size_t)n * (size_t)g.oh + (size_t)y) * (size_t)g.ow + (size_t)x) *
                              (size_t)g.cout * oes;
                    /* One region per tile.  Each thread fills the im2col
                     * rows of exactly the GEMM rows it multiplies, so no
                     * thread reads a row another one writes. */
#pragma omp parallel
                    {
                        int32_t r0, r1;
                        thread_gemm_rows(&j, quantised, &r0, &r1);
                        im2col_worker(&ij, r0, r1);
                        gemm_worker(&j, quantised, r0, r1);
                    }
                    x += w;
                }
        }
    }
    nn_tensor_unmap(cache);
    unmap_operands(output, input, bias, &o);
    nn_tensor_unmap(b.mapped);
    return quantised ? quantised_activation(output, activation) : 0;
}
