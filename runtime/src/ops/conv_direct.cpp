/* The direct convolution variant and the transposed convolution: FLOAT32 work
 * on FLOAT32 views of quantised operands, then quantisation, bias addition and
 * activation by their operators. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kernels/conv_kernels.h"
#include "ops/conv_internal.h"
#include "ops/frame.h"
#include "platform.h"
#include "resource.h"
#include "tensor/tensor_internal.h"
#include "tensor/tensor_record.h"

static int is_q8(uint32_t t)
{
    return t == NN_TYPE_I8 || t == NN_TYPE_U8;
}

/* "filter_aux_f32": the dequantised copy of an INT8/UINT8 filter (given in
 * [KH, KW, Cin, Cout] order). */
static nn_tensor* filter_f32(nn_tensor* owner, nn_tensor* filter, const char* label,
                             int alloc_code, int* status)
{
    if (filter->type == NN_TYPE_F32)
        return filter;
    nn_tensor* f = (nn_tensor*)nn_tensor_aux_object_by_name(owner, "filter_aux_f32");
    if (f && nn_tensor_aux_free_by_name(owner, "filter_aux_f32") == nn_aux_free_tensor &&
        nn_tensor_volume(f) == nn_tensor_volume(filter))
        return f;
    kestrune::UniqueTensor made(nn_tensor_init(NULL, NULL));
    if (!made) {
        fprintf(stderr, "%s unable to create auxiliary f32 tensor for %s: out of memory\n",
                label, "filter");
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    (void)alloc_code;
    int err = nn_tensor_alloc(made.get(), NN_TYPE_F32, 4, filter->shape);
    if (!err)
        err = nn_tensor_dequantize(made.get(), filter);
    if (err) {
        *status = err;
        return NULL;
    }
    f = made.release();
    err = conv_attach_tensor(owner, "filter_aux_f32", f);
    if (err) {
        *status = err;
        return NULL;
    }
    return f;
}

namespace {

/* FLOAT32 views of the three operands of the direct and transposed variants;
 * the mappings are given back when the owner ends. */
struct f32_views {
    nn_tensor *out, *in, *filter;
    kestrune::ReadWriteMap o;
    kestrune::ReadMap i, f;
};

int make_views(nn_tensor* output, nn_tensor* input, nn_tensor* filter, const char* label,
               int alloc_code, f32_views* v)
{
    int status = 0;
    /* The work tensors are kept by name: the same tensor may also be the
     * filter (or the output an input), whose "filter_aux_f32" is attached
     * by name as well. */
    v->out = is_q8(output->type)
                 ? float_work_tensor(output, label, "output", alloc_code, 1, &status)
                 : output;
    if (!v->out)
        return status;
    v->in = input;
    if (is_q8(input->type)) {
        v->in = float_work_tensor(input, label, "input", alloc_code, 1, &status);
        if (!v->in)
            return status;
        status = nn_tensor_dequantize(v->in, input);
        if (status)
            return status;
    }
    nn_tensor* unpacked = conv_filter_unpacked(filter, label, &status);
    if (!unpacked)
        return status;
    v->filter = filter_f32(filter, unpacked, label, alloc_code, &status);
    if (!v->filter)
        return status;
    if (!v->o.map(v->out) || !v->i.map(v->in) || !v->f.map(v->filter))
        return NN_ERROR_TENSOR_NO_DATA;
    return 0;
}

/* Adds the real values of a quantised bias to every pixel of the FLOAT32 work
 * tensor. */
int add_bias_f32(nn_tensor* work, nn_tensor* bias, int32_t cout)
{
    auto b = platform::malloc_array<float>((size_t)nn_tensor_volume(bias));
    if (!b)
        return NN_ERROR_OUT_OF_MEMORY;
    int status = nn_tensor_dequantize_buffer(bias, (size_t)nn_tensor_volume(bias), b.get());
    if (status)
        return status;
    kestrune::ReadWriteMap map(work);
    if (!map)
        return NN_ERROR_TENSOR_NO_DATA;
    float* w = map.as<float>();
    const int64_t pixels = nn_tensor_volume(work) / cout;
    for (int64_t p = 0; p < pixels; ++p)
        kernel_bias_add_f32(w + p * cout, cout, w + p * cout, b.get());
    return 0;
}

/* Quantise back, add the bias and apply an activation (1..max_activation). */
int finish(nn_tensor* output, nn_tensor* work, nn_tensor* bias, int32_t activation,
                  int max_activation, int64_t start)
{
    if (work != output) {
        /* A quantised output takes the bias before it is quantised: one
         * rounding, and per-channel bias scales are honoured. */
        if (bias) {
            int status = add_bias_f32(work, bias, output->shape[3]);
            if (status)
                return status;
            bias = NULL;
        }
        int status = nn_tensor_quantize(output, work, 0);
        if (status)
            return status;
    }
    op_store_time(output, start);
    if (bias) {
        int status = nn_add(output, output, bias);
        if (status)
            return status;
    }
    if (activation < 1 || activation > max_activation)
        return 0;
    switch (activation) {
    case NN_RELU: return nn_relu(output, output);
    case NN_RELU6: return nn_relu6(output, output);
    case NN_SIGMOID: return nn_sigmoid(output, output);
    case NN_SIGMOID_FAST: return nn_sigmoid_fast(output, output);
    case NN_TANH: return nn_tanh(output, output);
    default: return 0;
    }
}

} // namespace

/* ---- direct ------------------------------------------------------------- */

typedef struct direct_job {
    const conv_geom* g;
    float* out;      /* this batch image */
    const float* in; /* this batch image */
    const float* filter;
} direct_job;

static void conv2d_direct_worker(const direct_job* j)
{
    const conv_geom* g = j->g;
    const size_t out_row = (size_t)g->ow * (size_t)g->cout;
    const size_t in_row = (size_t)g->w * (size_t)g->cin;
    const size_t f_row = (size_t)g->kw * (size_t)g->cin * (size_t)g->cout;
    nn_row_range r = nn_thread_rows(g->oh);
    for (int64_t y = r.begin; y < r.begin + r.count; ++y) {
        float* o = j->out + (size_t)y * out_row;
        const int32_t r0 = (int32_t)y * g->sh - g->top;
        /* Filter rows whose input row lies in [0, H). */
        const int32_t first = r0 < 0 ? -r0 : 0;
        const int32_t end = g->h - r0 < g->kh ? g->h - r0 : g->kh;
        const int32_t rows = end - first;
        if (rows <= 0) {
            memset(o, 0, out_row * sizeof(float));
            continue;
        }
        kernel_conv2d_direct_f32(g->ow, g->cout, o, g->w, g->cin, g->sw,
                                 j->in + (size_t)(r0 + first) * in_row, g->left, g->right, rows,
                                 g->kw, j->filter + (size_t)first * f_row);
    }
}

int nn_conv2d_direct(nn_tensor* output, nn_tensor* input, nn_tensor* filter, nn_tensor* bias,
                     const int32_t* strides, const int32_t* padding, int32_t activation)
{
    nn_tensor* work;
    int64_t start;
    {
        /* The views are given back before the output is finished. */
        f32_views v{};
        int status = make_views(output, input, filter, "nn_conv2d_direct", 0, &v);
        if (status)
            return status;
        conv_geom g;
        conv_geom_read(&g, output, input, v.filter, strides, padding, NULL);
        start = clock_now_ns();
        const size_t out_image = (size_t)g.oh * (size_t)g.ow * (size_t)g.cout;
        const size_t in_image = (size_t)g.h * (size_t)g.w * (size_t)g.cin;
        const int team = nn_team_for((int64_t)g.oh * g.ow * g.cout * g.kh * g.kw * g.cin,
                                     NN_GRAIN_GEMM_MACS);
        for (int32_t n = 0; n < g.n; ++n) {
            direct_job j = {&g, v.o.as<float>() + (size_t)n * out_image,
                            v.i.as<float>() + (size_t)n * in_image, v.f.as<float>()};
#pragma omp parallel num_threads(team)
            conv2d_direct_worker(&j);
        }
        work = v.out;
    }
    return finish(output, work, bias, activation, NN_TANH, start);
}

/* ---- transposed ----------------------------------------------------------- */

NN_API int nn_transpose_conv2d_ex(nn_tensor* output, nn_tensor* cache, nn_tensor* input,
                                  nn_tensor* filter, nn_tensor* bias, const int32_t strides[4],
                                  const int32_t padding[8], int32_t activation)
{
    (void)cache;
    if (!output || !input || !filter || !strides || !padding)
        return NN_ERROR_INVALID_PARAMETER;
    if (strides[1] < 1 || strides[2] < 1 || padding[2] < 0 || padding[4] < 0)
        return NN_ERROR_INVALID_PARAMETER;
    if (!conv_reach_ok(input->shape[1], strides[1], filter->shape[0], 1) ||
        !conv_reach_ok(input->shape[2], strides[2], filter->shape[1], 1))
        return NN_ERROR_INVALID_PARAMETER;
    const int64_t start = clock_now_ns();
    if (input->type == NN_TYPE_F32) {
        if (filter->type != NN_TYPE_F32 || output->type != NN_TYPE_F32)
            return NN_ERROR_TYPE_MISMATCH;
        if (bias && bias->type != NN_TYPE_F32)
            return NN_ERROR_TYPE_MISMATCH;
    } else if (!is_q8(input->type) || !is_q8(filter->type) || !is_q8(output->type) ||
               (bias && bias->type != NN_TYPE_I32)) {
        return NN_ERROR_TYPE_MISMATCH;
    }
    for (int i = 0; i < 4; ++i)
        if (output->shape[i] < 1 || input->shape[i] < 1 || filter->shape[i] < 1)
            return NN_ERROR_INVALID_SHAPE;
    if (output->shape[0] != input->shape[0] || filter->shape[2] != input->shape[3] ||
        filter->shape[3] != output->shape[3] ||
        (bias && nn_tensor_volume(bias) < output->shape[3]))
        return NN_ERROR_SHAPE_MISMATCH;

    nn_tensor* work;
    {
        f32_views v{};
        int status = make_views(output, input, filter, "nn_transpose_conv2d_direct", 1, &v);
        if (status)
            return status;
        kernel_transpose_conv2d_f32(output->shape, v.o.as<float>(), input->shape,
                                    v.i.as<float>(), v.filter->shape, v.f.as<float>(), padding[2],
                                    padding[4], strides[1], strides[2]);
        work = v.out;
    }
    const int status = finish(output, work, bias, activation, NN_SIGMOID, start);
    op_store_time(output, start);
    return status;
}
