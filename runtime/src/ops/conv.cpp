/* 2-D convolution: nn_conv and nn_conv_ex with their engine slot, checks and
 * variant choice, and the filter objects they keep ("filter_aux_dilated",
 * "filter_aux_unpacked").  The GEMM-based variants are in conv_gemm.cpp. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "ops/conv_internal.h"
#include "ops/frame.h"
#include "ops/prepared_quant.h"
#include "platform.h"
#include "tensor/tensor_internal.h"
#include "tensor/tensor_record.h"

using kestrune::ReadMap;
using kestrune::UniqueTensor;
using kestrune::WriteMap;

constexpr int32_t kNoPadding[8] = {0, 0, 0, 0, 0, 0, 0, 0};
constexpr int32_t kNoDilation[4] = {1, 1, 1, 1};

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

int conv_attach_tensor(nn_tensor* t, const char* name, nn_tensor* object)
{
    int err = aux_attach_named(t, name, object, nn_aux_free_tensor, 1);
    if (err)
        nn_tensor_release(object);
    return err;
}

namespace {

/* A malloc'ed copy of n values (NULL when the allocation fails). */
template <typename T>
T* heap_copy(const T* values, size_t n)
{
    T* copy = static_cast<T*>(malloc(n * sizeof *copy));
    if (copy)
        memcpy(copy, values, n * sizeof *copy);
    return copy;
}

} // namespace

/* Copies the quantisation of src to dst (owned copies). */
static int copy_quantisation(nn_tensor* dst, const nn_tensor* src)
{
    size_t nz = 0, ns = 0;
    const int32_t* z = nn_tensor_zeros(src, &nz);
    const float* s = nn_tensor_scales(src, &ns);
    if (z && nz) {
        int32_t* zc = heap_copy(z, nz);
        if (!zc)
            return NN_ERROR_OUT_OF_MEMORY;
        nn_tensor_set_zeros(dst, nz, zc, 1);
    }
    if (s && ns) {
        float* sc = heap_copy(s, ns);
        if (!sc)
            return NN_ERROR_OUT_OF_MEMORY;
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
    UniqueTensor made(nn_tensor_init(NULL, NULL));
    if (!made) {
        fprintf(stderr, "%s unable to create auxiliary unpacked tensor for filter: out of memory\n",
                label);
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    int err = nn_tensor_alloc(made.get(), (nn_type)filter->type, 4, filter->shape);
    if (!err)
        err = copy_quantisation(made.get(), filter);
    if (err) {
        *status = err;
        return NULL;
    }
    {
        WriteMap dst(made.get());
        ReadMap src(filter);
        if (!dst || !src) {
            *status = NN_ERROR_TENSOR_NO_DATA;
            return NULL;
        }
        const int64_t cout = filter->shape[3];
        const int64_t k = (int64_t)filter->shape[0] * filter->shape[1] * filter->shape[2];
        const size_t es = nn_tensor_element_size(filter);
        unsigned char* d = dst.as<unsigned char>();
        const unsigned char* p = src.as<unsigned char>();
        /* Panel p holds columns p*w .. p*w+w-1 as k rows of w values. */
        for (int64_t co = 0; co < cout; ++co) {
            const int64_t panel = co / w, lane = co % w;
            for (int64_t r = 0; r < k; ++r)
                memcpy(d + (size_t)(r * cout + co) * es,
                       p + (size_t)(panel * k * w + r * w + lane) * es, es);
        }
    }
    copy = made.release();
    err = conv_attach_tensor(filter, "filter_aux_unpacked", copy);
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
    UniqueTensor made(nn_tensor_init(NULL, output->engine));
    if (!made) {
        fprintf(stderr, "%s unable to create auxiliary dilated tensor for filter: out of memory\n",
                "nn_conv_ex");
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    int err = nn_tensor_alloc(made.get(), (nn_type)filter->type, 4, shape);
    if (err) {
        fprintf(stderr, "%s unable to alloc auxiliary dilated tensor ", "nn_conv_ex");
        *status = err;
        return NULL;
    }
    unsigned char fill = 0;
    if (filter->type >= NN_TYPE_I8 && filter->type <= NN_TYPE_U64) {
        err = copy_quantisation(made.get(), filter);
        if (err) {
            *status = err;
            return NULL;
        }
        size_t nz = 0;
        const int32_t* z = nn_tensor_zeros(filter, &nz);
        if (z && nz)
            fill = (unsigned char)(z[0] & 0xff);
    }
    {
        WriteMap dst(made.get());
        ReadMap in(src);
        if (!dst || !in) {
            *status = NN_ERROR_TENSOR_NO_DATA;
            return NULL;
        }
        unsigned char* o = dst.as<unsigned char>();
        const unsigned char* x = in.as<unsigned char>();
        const size_t block = (size_t)shape[2] * (size_t)shape[3] * nn_tensor_element_size(filter);
        memset(o, fill, block * (size_t)shape[0] * (size_t)shape[1]);
        for (int32_t i = 0; i < shape[0]; i += d1)
            for (int32_t j = 0; j < shape[1]; j += d2)
                memcpy(o + ((size_t)i * (size_t)shape[1] + (size_t)j) * block,
                       x + ((size_t)(i / d1) * (size_t)kw + (size_t)(j / d2)) * block, block);
    }
    d = made.release();
    err = conv_attach_tensor(filter, "filter_aux_dilated", d);
    if (err) {
        *status = err;
        return NULL;
    }
    return d;
}

/* The dilated filter has the filter's output channels: it reads the
 * per-channel objects of the filter itself and their record (borrowed,
 * refreshed every call).
 * The column sums hold for it only when the gaps are zero. */
static void lend_channel_objects(nn_tensor* dilated, nn_tensor* filter)
{
    static const char* const names[4] = {"filter_multiplier", "filter_shifts",
                                         "filter_reducezero", PREPARED_QUANT_NAME};
    size_t nz = 0;
    const int32_t* z = nn_tensor_zeros(filter, &nz);
    const int zero_gaps = !z || !nz || (z[0] & 0xff) == 0;
    for (int i = 0; i < 4; ++i) {
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

/* The parameters, then the reach of the window walk. */
static int check_call(const nn_tensor* output, const nn_tensor* input, const nn_tensor* filter,
                      const int32_t* strides, const int32_t* padding, const int32_t* dilations)
{
    int status = check_params(strides, padding, dilations);
    if (!status)
        status = check_reach(output, input, filter, strides, padding, dilations);
    return status;
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
int conv_quantised_activation(nn_tensor* output, int32_t activation)
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
    /* Multipliers and shifts the layer handler made for fewer channels
     * (for another layer sharing the filter) are not read past their end. */
    if (input->type != NN_TYPE_F32 && !prepared_quant_covers(filter, output->shape[3]))
        return NN_ERROR_INVALID_QUANTIZATION;
    if (depthwise) {
        status = check_depthwise(output, input, filter, bias);
        if (status)
            return status;
        status = nn_conv_depthwise(output, cache, input, filter, bias, strides, padding,
                                   dilations, activation);
        if (!status && input->type != NN_TYPE_F32)
            status = conv_quantised_activation(output, activation);
        return status;
    }
    status = check_shapes(output, input, filter, bias);
    if (status)
        return status;
    if (!conv_panel_ok(filter->panel_size, output, input, filter))
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
    int status = check_call(output, input, filter, strides, NULL, NULL);
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
    int status = check_call(output, input, filter, strides, padding, dilations);
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

