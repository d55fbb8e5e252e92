/* Max and average pooling over NHWC tensors, one OpenMP region per image. */
#include <string.h>

#include "kernels/kernels.h"
#include "ops/frame.h"
#include "platform.h"
#include "tensor/tensor_internal.h"

typedef struct pool_args {
    const int32_t* ksize;
    const int32_t* strides;
    const int32_t* padding;
    int32_t oh, ow, ih, iw, ch;
    char* out;
    const char* in;
    int64_t in_row, out_row; /* elements per row */
    size_t element_size;
    uint32_t type;
    const nn_quant_params* in_q;
    const nn_quant_params* out_q;
} pool_args;

/* The window rows of output row oy inside the input, or 0 rows when the
 * window reaches more than the bottom padding below the input. */
static int32_t window_rows(const pool_args* w, int32_t oy, int32_t* first)
{
    int64_t iy0 = (int64_t)oy * w->strides[1] - w->padding[2];
    int64_t last = iy0 + w->ksize[1];
    if (last - w->ih > w->padding[3])
        return 0;
    int64_t r0 = iy0 < 0 ? 0 : iy0;
    int64_t r1 = last > w->ih ? w->ih : last;
    if (r1 <= r0)
        return 0;
    *first = (int32_t)r0;
    return (int32_t)(r1 - r0);
}

static void pool_rows(const pool_args* w, int average)
{
    nn_row_range r = nn_thread_rows(w->oh);
    for (int64_t oy = r.begin; oy < r.begin + r.count; ++oy) {
        char* out = w->out + oy * w->out_row * (int64_t)w->element_size;
        if (average)
            memset(out, 0, (size_t)w->out_row * w->element_size);
        int32_t first = 0;
        int32_t rows = window_rows(w, (int32_t)oy, &first);
        if (rows <= 0)
            continue;
        const char* in = w->in + first * w->in_row * (int64_t)w->element_size;
        int32_t sw = w->strides[2], pl = w->padding[4], pr = w->padding[5], kw = w->ksize[2];
        if (w->type == NN_TYPE_F32) {
            if (average)
                kernel_avgpool_f32(w->ow, w->ch, (float*)out, w->iw, sw, (const float*)in, pl, pr,
                                   rows, kw);
            else
                kernel_maxpool_f32(w->ow, w->ch, (float*)out, w->iw, sw, (const float*)in, pl, pr,
                                   rows, kw);
        } else if (w->type >= NN_TYPE_I8 && w->type <= NN_TYPE_U32) {
            if (average)
                kernel_avgpool_quant(w->ow, w->ch, out, w->iw, sw, in, pl, pr, rows, kw, w->in_q,
                                     w->out_q);
            else
                kernel_maxpool_quant(w->ow, w->ch, out, w->iw, sw, in, pl, pr, rows, kw, w->in_q);
        }
    }
}

void maxpool_worker(const pool_args* w);
void avgpool_worker(const pool_args* w);

void maxpool_worker(const pool_args* w)
{
    pool_rows(w, 0);
}

void avgpool_worker(const pool_args* w)
{
    pool_rows(w, 1);
}

static int pool(nn_tensor* out, nn_tensor* in, const int32_t* ksize, const int32_t* strides,
                const int32_t* padding, int average)
{
    if (!out || !in || !ksize || !strides || !padding)
        return NN_ERROR_INVALID_PARAMETER;
    int status;
    if (average ? engine_avgpool(out, in, ksize, strides, padding, &status)
                : engine_maxpool(out, in, ksize, strides, padding, &status))
        return status;
    /* The input is read by the output's batch, channels and element size. */
    if (out->shape[0] > in->shape[0] || out->shape[3] != in->shape[3])
        return NN_ERROR_SHAPE_MISMATCH;
    if (nn_tensor_element_size(out) != nn_tensor_element_size(in))
        return NN_ERROR_TYPE_MISMATCH;
    int64_t start = clock_now_ns();
    kestrune::OutInMaps maps(out, in);
    if (maps.status())
        return maps.status();
    char* o = maps.out.as<char>();
    const char* x = maps.in.as<char>();
    nn_quant_params iq, oq;
    memset(&iq, 0, sizeof iq);
    memset(&oq, 0, sizeof oq);
    if (in->type != NN_TYPE_F32) {
        nn_tensor_quant_params(in, &iq);
        if (average)
            nn_tensor_quant_params(out, &oq);
    }
    pool_args w;
    w.ksize = ksize;
    w.strides = strides;
    w.padding = padding;
    w.oh = out->shape[1];
    w.ow = out->shape[2];
    w.ch = out->shape[3];
    w.ih = in->shape[1];
    w.iw = in->shape[2];
    w.in_row = (int64_t)w.iw * w.ch;
    w.out_row = (int64_t)w.ow * w.ch;
    w.element_size = nn_tensor_element_size(out);
    w.type = in->type;
    w.in_q = &iq;
    w.out_q = &oq;
    const int team = nn_team_for(w.oh * w.out_row * (int64_t)w.element_size, NN_GRAIN_BYTES);
    for (int32_t n = 0; n < out->shape[0]; ++n) {
        w.out = o + (int64_t)n * w.oh * w.out_row * (int64_t)w.element_size;
        w.in = x + (int64_t)n * w.ih * w.in_row * (int64_t)w.element_size;
        if (average) {
#pragma omp parallel num_threads(team)
            avgpool_worker(&w);
        } else {
#pragma omp parallel num_threads(team)
            maxpool_worker(&w);
        }
    }
    op_store_time(out, start);
    return 0;
}

NN_API int nn_maxpool_ex(nn_tensor* output, nn_tensor* input, const int32_t* ksize,
                         const int32_t* strides, const int32_t* padding)
{
    return pool(output, input, ksize, strides, padding, 0);
}

NN_API int nn_avgpool_ex(nn_tensor* output, nn_tensor* input, nn_tensor* unused,
                         const int32_t* ksize, const int32_t* strides, const int32_t* padding)
{
    (void)unused;
    return pool(output, input, ksize, strides, padding, 1);
}

NN_API int nn_maxpool(nn_tensor* output, nn_tensor* input, const int32_t* ksize,
                      const int32_t* strides)
{
    static const int32_t none[8] = {};
    return nn_maxpool_ex(output, input, ksize, strides, none);
}

NN_API int nn_avgpool(nn_tensor* output, nn_tensor* input, const int32_t* ksize,
                      const int32_t* strides)
{
    static const int32_t none[8] = {};
    return nn_avgpool_ex(output, input, NULL, ksize, strides, none);
}
