/* Activation operators. */
#include <math.h>
#include <stdalign.h>
#include <stdio.h>

#include "kernels/fixed_point.h"
#include "kernels/kernels.h"
#include "ops/frame.h"
#include "ops/ops.h"
#include "platform.h"
#include "tensor/tensor_internal.h"

#include <optional>

using kestrune::quantise_back;
using kestrune::run_on_views;

namespace {

bool quantised_8bit(const nn_tensor* t)
{
    return t->type == NN_TYPE_I8 || t->type == NN_TYPE_U8;
}

/* Arguments, then the engine's unary slot: the status when the call is
 * answered there, none when the CPU path is to run. */
std::optional<int> unary_start(nn_tensor* out, nn_tensor* in, int kind)
{
    if (!out || !in)
        return NN_ERROR_INVALID_PARAMETER;
    int status;
    if (engine_unary(out, in, kind, &status))
        return status;
    return std::nullopt;
}

} // namespace

typedef void (*unary_kernel)(float* out, int32_t count, const float* in);

/* sigmoid, fast sigmoid, tanh: FLOAT32 work through the frame's views. */
static int logistic_family(nn_tensor* out, nn_tensor* in, int kind, unary_kernel kernel)
{
    if (auto answered = unary_start(out, in, kind))
        return *answered;
    int64_t start = clock_now_ns();
    int32_t count = nn_tensor_volume(in);
    if (nn_tensor_volume(out) < count)
        return NN_ERROR_SHAPE_MISMATCH;
    return run_on_views(out, in, nullptr, start,
                        [&](float* o, const float* x, const float*) { kernel(o, count, x); });
}

NN_API int nn_sigmoid(nn_tensor* output, nn_tensor* input)
{
    return logistic_family(output, input, NN_ACTIVATION_SIGMOID, kernel_sigmoid_f32);
}

NN_API int nn_sigmoid_fast(nn_tensor* output, nn_tensor* input)
{
    return logistic_family(output, input, NN_ACTIVATION_SIGMOID_FAST, kernel_sigmoid_fast_f32);
}

NN_API int nn_tanh(nn_tensor* output, nn_tensor* input)
{
    return logistic_family(output, input, NN_ACTIVATION_TANH, kernel_tanh_f32);
}

static bool integer_type(uint32_t type)
{
    return type >= NN_TYPE_I8 && type <= NN_TYPE_U32;
}

namespace {

/* The pointwise activations with a FLOAT32 and a quantised form: FLOAT32
 * throughout, or integer output with an integer input (in_8bit: INT8 or
 * UINT8).  On the output mapped read-write and the input read-only runs
 * f32(out, in, count) or quant(out, in, count, out_q, in_q); then the time. */
template <typename F32, typename Quant>
int pointwise(nn_tensor* out, nn_tensor* in, bool in_8bit, int64_t start, F32&& f32_fn,
              Quant&& quant_fn)
{
    int32_t count = nn_tensor_volume(out);
    const bool f32 = out->type == NN_TYPE_F32;
    const bool in_ok = in_8bit ? quantised_8bit(in) : integer_type(in->type);
    if (f32 ? in->type != NN_TYPE_F32 : (!integer_type(out->type) || !in_ok))
        return NN_ERROR_TYPE_MISMATCH;
    if (nn_tensor_volume(in) < count)
        return NN_ERROR_SHAPE_MISMATCH;
    kestrune::OutInMaps maps(out, in);
    if (maps.status())
        return maps.status();
    if (f32) {
        f32_fn(maps.out.as<float>(), maps.in.as<float>(), count);
    } else {
        nn_quant_params oq, iq;
        nn_tensor_quant_params(out, &oq);
        nn_tensor_quant_params(in, &iq);
        quant_fn(maps.out.data(), maps.in.data(), count, &oq, &iq);
    }
    op_store_time(out, start);
    return 0;
}

} // namespace

static int rectifier(nn_tensor* out, nn_tensor* in, int code)
{
    if (auto answered = unary_start(out, in, code))
        return *answered;
    int64_t start = clock_now_ns();
    return pointwise(
        out, in, false, start,
        [&](float* o, const float* x, int32_t count) {
            if (code == NN_ACTIVATION_RELU)
                kernel_relu_f32(o, count, x);
            else
                kernel_relu6_f32(o, count, x);
        },
        [&](void* o, const void* x, int32_t count, const nn_quant_params* oq,
            const nn_quant_params* iq) {
            requantize_accumulators(o, count, x, code, oq, iq, nullptr, nullptr);
        });
}

NN_API int nn_relu(nn_tensor* output, nn_tensor* input)
{
    return rectifier(output, input, NN_ACTIVATION_RELU);
}

NN_API int nn_relu6(nn_tensor* output, nn_tensor* input)
{
    return rectifier(output, input, NN_ACTIVATION_RELU6);
}

/* swish and leaky relu: FLOAT32 kernels or the quantised entries. */
static int swish_or_leaky(nn_tensor* out, nn_tensor* in, int leaky, float alpha)
{
    if (!out || !in)
        return NN_ERROR_INVALID_PARAMETER;
    int64_t start = clock_now_ns();
    return pointwise(
        out, in, true, start,
        [&](float* o, const float* x, int32_t count) {
            if (leaky)
                kernel_leaky_relu_f32(o, count, x, alpha);
            else
                kernel_swish_f32(o, count, x);
        },
        [&](void* o, const void* x, int32_t count, const nn_quant_params* oq,
            const nn_quant_params* iq) {
            if (leaky)
                kernel_leaky_relu_quant(o, count, x, oq, iq, alpha);
            else
                kernel_swish_quant(o, count, x, oq, iq);
        });
}

NN_API int nn_swish(nn_tensor* output, nn_tensor* input)
{
    return swish_or_leaky(output, input, 0, 0.0f);
}

NN_API int nn_leaky_relu(nn_tensor* output, nn_tensor* input, float alpha)
{
    return swish_or_leaky(output, input, 1, alpha);
}

NN_API int nn_prelu(nn_tensor* output, nn_tensor* input, nn_tensor* slope)
{
    if (!output || !input || !slope)
        return NN_ERROR_INVALID_PARAMETER;
    int32_t v = nn_tensor_volume(input), k = nn_tensor_volume(slope);
    if (v != 0 && (k <= 0 || v % k != 0))
        return NN_ERROR_INVALID_SHAPE;
    if (nn_tensor_volume(output) < v)
        return NN_ERROR_SHAPE_MISMATCH;
    kestrune::FrameMaps maps(output, input, slope);
    if (maps.status())
        return maps.status();
    int64_t start = clock_now_ns();
    if (k > 0)
        kernel_prelu_f32(maps.out(), v / k, maps.a(), k, maps.b());
    int status = quantise_back(output, maps.out());
    op_store_time(output, start);
    return status;
}

/* Rows of the softmax: the axis is the last dimension from 1 on with an
 * extent above 1; every batch entry is normalised the same way. */
NN_API int nn_softmax(nn_tensor* output, nn_tensor* input)
{
    if (!output || !input)
        return NN_ERROR_INVALID_PARAMETER;
    const int dims = input->dims;
    const int32_t* shape = input->shape;
    int32_t length = 1, a = 1, b = 1;
    int axis = 0;
    for (int k = 1; k < dims; ++k)
        if (shape[k] > 1)
            axis = k;
    if (axis > 0) {
        length = shape[axis];
        int32_t ext[2] = {1, 1};
        int place = 1;
        for (int k = axis - 1; k >= 1 && place >= 0; --k)
            ext[place--] = shape[k];
        a = ext[0];
        b = ext[1];
    }
    const int32_t volume = nn_tensor_volume(input);
    if (nn_tensor_volume(output) < volume)
        return NN_ERROR_SHAPE_MISMATCH;
    int64_t rows_per_entry = (int64_t)a * b;
    int64_t entry = rows_per_entry * length;
    int64_t entries = entry > 0 ? volume / entry : 0;

    int64_t start = clock_now_ns();
    return run_on_views(output, input, nullptr, start, [&](float* o, const float* x, const float*) {
        for (int64_t r = 0; r < entries * rows_per_entry; ++r) {
            const float* in = x + r * length;
            float* row = o + r * length;
            float m = in[0];
            for (int32_t i = 1; i < length; ++i)
                if (in[i] > m)
                    m = in[i];
            double sum = 0.0;
            for (int32_t i = 0; i < length; ++i) {
                float e = expf(in[i] - m);
                row[i] = e;
                sum += e;
            }
            kernel_divide_scalar_f32(row, length, row, (float)sum);
        }
    });
}

NN_API int nn_batchnorm(nn_tensor* output, nn_tensor* scratch, nn_tensor* input, nn_tensor* mean,
                        nn_tensor* variance, nn_tensor* offset, nn_tensor* scale,
                        nn_tensor* epsilon)
{
    if (!output || !scratch || !input || !mean || !variance || !offset || !scale || !epsilon)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_size(scratch) < nn_tensor_size(variance))
        return NN_ERROR_OUT_OF_MEMORY;
    alignas(16) unsigned char memory[NN_TENSOR_RECORD_SIZE];
    /* A view record in place: released (not freed) when the owner ends. */
    kestrune::UniqueTensor view(nn_tensor_init(memory, nn_tensor_engine(output)));
    if (!view)
        return NN_ERROR_OUT_OF_MEMORY;
    nn_tensor* tmp = view.get();
    int status = nn_tensor_view(tmp, (nn_type)variance->type, variance->dims, variance->shape,
                                scratch, 0);
    if (!status)
        status = nn_add(tmp, variance, epsilon);
    if (!status)
        status = nn_sqrt(tmp, tmp);
    if (!status)
        status = nn_subtract(output, input, mean);
    if (!status)
        status = nn_multiply(output, output, scale);
    if (!status)
        status = nn_divide(output, output, tmp);
    if (!status)
        status = nn_add(output, output, offset);
    return status;
}
