/* The CPU depthwise convolution: one OpenMP region per batch image over the
 * output rows, each row by a whole-row 3x3 kernel or tap by tap. */
#include <stdlib.h>
#include <string.h>

#include "kernels/conv_kernels.h"
#include "kernels/fixed_point.h"
#include "ops/conv_internal.h"
#include "ops/frame.h"
#include "resource.h"
#include "tensor/tensor_record.h"

typedef struct depthwise_job {
    const conv_geom* g;
    void* out;            /* this batch image */
    const void* in;       /* this batch image */
    const void* filter;
    const void* bias;
    int32_t* acc;         /* OH*OW*CH accumulators (quantised filters) */
    int32_t activation;
    int32_t stage_activation; /* RELU and RELU6 only: as the 3x3 row kernels */
    int quantised;
    int rows3x3_f32;      /* float 3x3 row kernel */
    int rows3x3_quant;    /* quantised 3x3 stride-1 row kernel */
    int rows3x3_i8;       /* the INT8 3x3 row kernel of strides 1 and 2 */
    depthwise_i8_stage stage; /* its output stage */
    size_t in_es, out_es;
    const nn_quant_params *out_q, *in_q, *f_q, *acc_q;
    const int32_t *multipliers, *shifts;
} depthwise_job;

static void row_float(const depthwise_job* j, int32_t y, int32_t r0, int32_t skip, int32_t rows)
{
    const conv_geom* g = j->g;
    const size_t ch = (size_t)g->cin;
    const size_t in_row = (size_t)g->w * ch;
    float* out = (float*)j->out + (size_t)y * (size_t)g->ow * ch;
    const float* in = (const float*)j->in;
    const float* filter = (const float*)j->filter;
    const float* bias = (const float*)j->bias;
    if (j->rows3x3_f32 && rows > 0) {
        const int32_t edge = skip > 0 ? 1 : rows < 3 ? -1 : 0;
        kernel_depthwise_rows_f32(g->ow, g->cin, out, g->w, g->sw, g->left, g->right, rows, edge,
                                  in + (size_t)(r0 + skip) * in_row, filter, bias,
                                  j->activation);
        return;
    }
    memset(out, 0, (size_t)g->ow * ch * sizeof(float));
    for (int32_t t = skip; t < skip + rows; ++t) {
        if (t % g->dh != 0)
            continue;
        kernel_depthwise_f32(g->ow, g->cin, out, g->w, g->sw, in + (size_t)(r0 + t) * in_row,
                             g->left, g->right, g->kw, g->dw,
                             filter + (size_t)(t / g->dh) * (size_t)g->kw * ch);
    }
    if (bias)
        for (int32_t x = 0; x < g->ow; ++x)
            kernel_bias_add_f32(out + (size_t)x * ch, g->cin, out + (size_t)x * ch, bias);
    apply_activation(out, (uint32_t)g->ow * (uint32_t)ch, out, j->activation);
}

static void row_quant(const depthwise_job* j, int32_t y, int32_t r0, int32_t skip, int32_t rows)
{
    const conv_geom* g = j->g;
    const size_t ch = (size_t)g->cin;
    const size_t in_row = (size_t)g->w * ch;
    const size_t pixels = (size_t)g->ow;
    unsigned char* out = (unsigned char*)j->out + (size_t)y * pixels * ch * j->out_es;
    const unsigned char* in = (const unsigned char*)j->in;
    if (j->rows3x3_i8 && rows > 0) {
        const int32_t edge = skip > 0 ? 1 : rows < 3 ? -1 : 0;
        kernel_depthwise3x3_i8_rows(g->ow, g->cin, (int8_t*)out, g->w, g->sw, g->left, rows, edge,
                                    (const int8_t*)(in + (size_t)(r0 + skip) * in_row),
                                    (const int8_t*)j->filter, (const int32_t*)j->bias, &j->stage);
        return;
    }
    if (j->rows3x3_quant && rows > 0) {
        const int32_t edge = skip > 0 ? 1 : rows < 3 ? -1 : 0;
        kernel_depthwise_quant_rows(g->ow, g->cin, (int8_t*)out, g->w, g->left, g->right, rows,
                                    edge, (const int8_t*)(in + (size_t)(r0 + skip) * in_row),
                                    (const int8_t*)j->filter, (const int32_t*)j->bias,
                                    j->activation, j->out_q, j->in_q, j->f_q, j->multipliers,
                                    j->shifts);
        return;
    }
    int32_t* acc = j->acc + (size_t)y * pixels * ch;
    memset(acc, 0, pixels * ch * sizeof(int32_t));
    const unsigned char* filter = (const unsigned char*)j->filter;
    for (int32_t t = skip; t < skip + rows; ++t) {
        if (t % g->dh != 0)
            continue;
        kernel_depthwise_quant(g->ow, g->cin, acc, g->w, g->sw,
                               in + (size_t)(r0 + t) * in_row * j->in_es, g->left, g->right,
                               g->kw, g->dw, filter + (size_t)(t / g->dh) * (size_t)g->kw * ch,
                               j->in_q, j->f_q);
    }
    for (size_t x = 0; x < pixels; ++x) {
        int32_t* a = acc + x * ch;
        if (j->bias)
            kernel_bias_add_i32(a, g->cin, a, (const int32_t*)j->bias);
        requantize_accumulators(out + x * ch * j->out_es, g->cin, a, j->stage_activation,
                                j->out_q, j->acc_q, j->multipliers, j->shifts);
    }
}

static void conv_depthwise_worker(const depthwise_job* j)
{
    const conv_geom* g = j->g;
    const int32_t span = (g->kh - 1) * g->dh + 1;
    nn_row_range r = nn_thread_rows(g->oh);
    for (int64_t y = r.begin; y < r.begin + r.count; ++y) {
        const int32_t r0 = (int32_t)y * g->sh - g->top;
        const int32_t lo = r0 < 0 ? 0 : r0;
        const int32_t hi = r0 + span < g->h ? r0 + span : g->h;
        const int32_t skip = lo - r0;
        const int32_t rows = hi > lo ? hi - lo : 0;
        /* A window wholly outside the input sums to zero: the row still gets
         * its bias and activation. */
        if (j->quantised)
            row_quant(j, (int32_t)y, r0, skip, rows);
        else
            row_float(j, (int32_t)y, r0, skip, rows);
    }
}

int nn_conv_depthwise(nn_tensor* output, nn_tensor* cache, nn_tensor* input, nn_tensor* filter,
                      nn_tensor* bias, const int32_t* strides, const int32_t* padding,
                      const int32_t* dilations, int32_t activation)
{
    conv_geom g;
    conv_geom_read(&g, output, input, filter, strides, padding, dilations);
    kestrune::ReadWriteMap out_map(output);
    kestrune::ReadMap in_map(out_map ? input : nullptr);
    kestrune::ReadMap f_map(in_map ? filter : nullptr);
    kestrune::ReadMap b_map(f_map && bias ? bias : nullptr);
    if (!f_map || (bias && !b_map))
        return NN_ERROR_TENSOR_NO_DATA;
    void* out = out_map.data();
    const void* in = in_map.data();
    const int quantised = filter->type < NN_TYPE_I64;
    const size_t ch = (size_t)g.cin;
    const size_t acc_count = (size_t)g.oh * (size_t)g.ow * ch;
    /* The accumulators: the cache when it holds them, else a block of ours. */
    kestrune::ReadWriteMap acc_map;
    platform::unique_malloc<int32_t[]> acc_block;
    int32_t* acc = NULL;
    platform::unique_malloc<float[]> acc_scales;
    platform::unique_malloc<float[]> factors; /* the INT8 row kernel's, per channel */
    platform::unique_malloc<int32_t[]> bias_in; /* and its per-layer bias and blocks */
    platform::unique_malloc<uint8_t[]> narrow;
    int status = 0;
    if (quantised) {
        if (cache && nn_tensor_size(cache) >= acc_count * sizeof(int32_t)) {
            acc = static_cast<int32_t*>(acc_map.map(cache));
            if (!acc)
                status = NN_ERROR_TENSOR_NO_DATA;
        } else {
            acc_block = platform::malloc_array<int32_t>(acc_count);
            acc = acc_block.get();
            if (!acc)
                status = NN_ERROR_OUT_OF_MEMORY;
        }
    }

    nn_quant_params out_q, in_q, f_q, bias_q, acc_q;
    memset(&acc_q, 0, sizeof acc_q);
    depthwise_job j;
    memset(&j, 0, sizeof j);
    j.g = &g;
    j.filter = f_map.data();
    j.bias = b_map.data();
    j.acc = acc;
    j.activation = activation;
    j.stage_activation = activation == NN_RELU || activation == NN_RELU6 ? activation : 0;
    j.quantised = quantised;
    j.in_es = nn_tensor_element_size(input);
    j.out_es = nn_tensor_element_size(output);
    const int is3x3 = g.kh == 3 && g.kw == 3 && g.sh == g.sw && (g.sh == 1 || g.sh == 2) &&
                      g.dh == 1 && g.dw == 1;
    static const int32_t acc_zero = 0;
    if (!status && input->type != NN_TYPE_F32) {
        nn_tensor_quant_params(output, &out_q);
        nn_tensor_quant_params(input, &in_q);
        nn_tensor_quant_params(filter, &f_q);
        if (bias)
            nn_tensor_quant_params(bias, &bias_q);
        j.multipliers = (const int32_t*)nn_tensor_aux_object_by_name(filter, "filter_multiplier");
        j.shifts = (const int32_t*)nn_tensor_aux_object_by_name(filter, "filter_shifts");
        j.out_q = &out_q;
        j.in_q = &in_q;
        j.f_q = &f_q;
        /* The accumulators' record: the bias's, or without a bias (or one
         * without scales) INT32 of scale s_in * s_w around zero point 0. */
        if (bias && bias_q.scales && bias_q.scales_count) {
            j.acc_q = &bias_q;
        } else {
            const size_t n = f_q.scales_count > 1 ? ch : 1;
            acc_scales = platform::malloc_array<float>(n);
            if (!acc_scales) {
                status = NN_ERROR_OUT_OF_MEMORY;
            } else {
                for (size_t c = 0; c < n; ++c)
                    acc_scales[c] = quant_scale(&in_q) *
                                    (n > 1 ? quant_scale_at(&f_q, c) : quant_scale(&f_q));
                acc_q.zeros_count = 1;
                acc_q.zeros = &acc_zero;
                acc_q.scales_count = n;
                acc_q.scales = acc_scales.get();
                acc_q.element_size = 4;
                acc_q.type = NN_TYPE_I32;
                j.acc_q = &acc_q;
            }
        }
        j.rows3x3_quant = is3x3 && j.multipliers && j.shifts && input->type == NN_TYPE_I8 &&
                          filter->type == NN_TYPE_I8 && output->type == NN_TYPE_I8 &&
                          quant_zero(&f_q) == 0 && g.sh == 1 && g.h > 2 && g.w > 2;
        /* Where the INT8 row kernel of strides 1 and 2 has its vector body it
         * stands in for both earlier paths with their output rules: at stride
         * 1 the row kernel's (s_in * s_w[c] * (1 / s_out) when CH is a
         * multiple of 8, else the pairs), at stride 2 the accumulator stage's
         * (the accumulators' scales in blocks of 8, the pairs for the rest). */
        const int i8_rows = !status && j.acc_q && is3x3 && j.multipliers && j.shifts &&
                            input->type == NN_TYPE_I8 && filter->type == NN_TYPE_I8 &&
                            output->type == NN_TYPE_I8 && quant_zero(&f_q) == 0 && g.h > 2 &&
                            g.w > 2 && kernel_depthwise3x3_i8_rows_available();
        if (i8_rows) {
            factors = platform::malloc_array<float>(ch);
            if (!factors)
                status = NN_ERROR_OUT_OF_MEMORY;
        }
        if (i8_rows && factors) {
            const float inv = 1.0f / quant_scale(&out_q);
            int32_t float_channels = 0;
            if (g.sh == 1) {
                if (ch % 8 == 0) {
                    float_channels = (int32_t)ch;
                    for (size_t c = 0; c < ch; ++c) {
                        const float s_w = f_q.scales_count > 1 ? quant_scale_at(&f_q, c)
                                                               : quant_scale(&f_q);
                        factors[c] = quant_scale(&in_q) * s_w * inv;
                    }
                }
            } else {
                float_channels = (int32_t)(ch / 8 * 8);
                const int many = j.acc_q->scales_count > 1;
                for (size_t c = 0; c < ch; ++c)
                    factors[c] = (many ? quant_scale_at(j.acc_q, c) : quant_scale(j.acc_q)) * inv;
            }
            j.stage.factors = factors.get();
            j.stage.float_channels = float_channels;
            j.stage.multipliers = j.multipliers;
            j.stage.shifts = j.shifts;
            j.stage.z_in = quant_zero(&in_q);
            j.stage.z_out = quant_zero(&out_q);
            j.stage.q6 = kestrune::six_in_steps(&out_q);
            j.stage.activation = g.sh == 1 ? activation : j.stage_activation;
            if (kernel_depthwise3x3_i8_reads_prepared()) {
                bias_in = platform::malloc_array<int32_t>(ch);
                narrow = platform::malloc_array<uint8_t>(ch / 8 + 1);
                if (!bias_in || !narrow)
                    status = NN_ERROR_OUT_OF_MEMORY;
                else
                    kernel_depthwise3x3_i8_prepare(g.cin, (const int8_t*)j.filter,
                                                   (const int32_t*)j.bias, j.stage.z_in,
                                                   bias_in.get(), narrow.get());
                j.stage.bias_in = bias_in.get();
                j.stage.narrow = narrow.get();
            }
            j.rows3x3_i8 = 1;
        }
    } else if (!status) {
        j.rows3x3_f32 =
            is3x3 && g.sh <= kernel_depthwise_rows_f32_stride_max() && g.h > 2 && g.w > 2;
    }

    if (!status) {
        const size_t out_image = (size_t)g.oh * (size_t)g.ow * ch * j.out_es;
        const size_t in_image = (size_t)g.h * (size_t)g.w * ch * j.in_es;
        const int team = nn_team_for((int64_t)g.oh * g.ow * ch * g.kh * g.kw,
                                     NN_GRAIN_DEPTHWISE_MACS);
        for (int32_t n = 0; n < g.n; ++n) {
            j.out = (unsigned char*)out + (size_t)n * out_image;
            j.in = (const unsigned char*)in + (size_t)n * in_image;
#pragma omp parallel num_threads(team)
            conv_depthwise_worker(&j);
        }
    }

    return status;
}
