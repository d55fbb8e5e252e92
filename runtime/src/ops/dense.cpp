/* Fully connected layers: nn_dense (FLOAT32 or quantised, weights [K, N]) and
 * nn_linear (FLOAT32, weights [N, K]).  Both run their kernel once on the
 * calling thread. */
#include <math.h>
#include <stddef.h>

#include <optional>

#include "kernels/fixed_point.h"
#include "kernels/gemm_f32.h"
#include "kernels/gemm_quant.h"
#include "kernels/kernels.h"
#include "ops/dense_common.h"
#include "ops/frame.h"
#include "ops/prepared_quant.h"
#include "platform.h"

int dense_matrix_dims(const nn_tensor* t, int32_t* rows, int32_t* cols)
{
    const int dims = nn_tensor_dims(t);
    const int32_t* shape = nn_tensor_shape(t);
    if (dims < 1 || !shape)
        return 0;
    const int32_t r = shape[0];
    const int32_t c = dims >= 2 ? shape[1] : 1;
    /* Further dimensions must be 1: the data are read as rows × cols. */
    if ((int64_t)r * (int64_t)c != (int64_t)nn_tensor_volume(t))
        return 0;
    *rows = r;
    *cols = c;
    return 1;
}

/* The slot when output, input, weights and (when given) bias share an engine
 * that has it; a NULL bias is not compared. */
static nn_engine_dense_fn dense_slot(nn_tensor* output, nn_tensor* input, nn_tensor* weights,
                                     nn_tensor* bias, int linear)
{
    nn_tensor* t[4] = {output, input, weights, bias};
    nn_engine* e = nn_shared_engine(t, bias ? 4 : 3);
    if (!e)
        return NULL;
    return linear ? e->linear : e->dense;
}

static int is_output_type(uint32_t t)
{
    return t == NN_TYPE_I8 || t == NN_TYPE_U8 || t == NN_TYPE_I16 || t == NN_TYPE_U16 ||
           t == NN_TYPE_I32 || t == NN_TYPE_U32;
}

static int is_8bit(uint32_t t)
{
    return t == NN_TYPE_I8 || t == NN_TYPE_U8;
}

/* A record the kernels can use: at least one scale, every scale a positive
 * finite number, and per-channel arrays (two or more entries) covering all n
 * columns. */
static int record_ok(const nn_quant_params* q, int32_t n)
{
    if (!q->scales || q->scales_count < 1)
        return 0;
    for (size_t i = 0; i < q->scales_count; ++i)
        if (!(q->scales[i] > 0.0f) || !isfinite(q->scales[i]))
            return 0;
    if (q->scales_count >= 2 && q->scales_count < (size_t)n)
        return 0;
    if (q->zeros && q->zeros_count >= 2 && q->zeros_count < (size_t)n)
        return 0;
    return 1;
}

/* Output [M, N] = input [M, K] times weights [K, N] (`transposed`: [N, K]),
 * every extent at least 1, and a bias of at least N values; 0 otherwise. */
static int dense_shapes(nn_tensor* output, nn_tensor* input, nn_tensor* weights,
                        nn_tensor* bias, int transposed, int32_t* M, int32_t* N, int32_t* K)
{
    int32_t Kw, Nw, Mo, No;
    if (!dense_matrix_dims(input, M, K) || !dense_matrix_dims(output, &Mo, &No))
        return 0;
    if (!(transposed ? dense_matrix_dims(weights, &Nw, &Kw) : dense_matrix_dims(weights, &Kw, &Nw)))
        return 0;
    *N = Nw;
    if (Mo != *M || Kw != *K || No != *N || *M < 1 || *N < 1 || *K < 1)
        return 0;
    return !bias || nn_tensor_volume(bias) >= *N;
}

namespace {

/* The output (OutMap: read-write for nn_dense, write-only for nn_linear),
 * then input, weights and bias read-only; every mapping given back when the
 * owner ends. */
template <typename OutMap>
struct DenseMaps {
    OutMap out;
    kestrune::ReadMap in, w, b;

    int map(nn_tensor* output, nn_tensor* input, nn_tensor* weights, nn_tensor* bias) noexcept
    {
        if (!out.map(output) || !in.map(input) || !w.map(weights) || (bias && !b.map(bias)))
            return NN_ERROR_TENSOR_NO_DATA;
        return NN_SUCCESS;
    }
};

/* What both entries do first: arguments, the engine's slot, the shapes.  The
 * status when the call is answered there, none when the CPU path goes on. */
std::optional<int> dense_start(nn_tensor* output, nn_tensor* input, nn_tensor* weights,
                               nn_tensor* bias, int activation, int linear, int32_t* M,
                               int32_t* N, int32_t* K)
{
    if (!output || !input || !weights)
        return NN_ERROR_INVALID_PARAMETER;
    nn_engine_dense_fn slot = dense_slot(output, input, weights, bias, linear);
    if (slot)
        return slot(output, input, weights, bias, activation);
    if (!dense_shapes(output, input, weights, bias, linear, M, N, K))
        return NN_ERROR_INVALID_SHAPE;
    return std::nullopt;
}

} // namespace

/* The quantised work of nn_dense on mapped data. */
static void dense_quant(nn_tensor* output, nn_tensor* input, nn_tensor* weights, nn_tensor* bias,
                        int activation, int32_t M, int32_t N, int32_t K, void* out,
                        const void* in, const void* w, const int32_t* b,
                        const nn_quant_params* qo, const nn_quant_params* qi,
                        const nn_quant_params* qw, const nn_quant_params* qb)
{
    (void)input;
    (void)output;
    const int32_t* multipliers =
        (const int32_t*)nn_tensor_aux_object_by_name(weights, "filter_multiplier");
    const int32_t* shifts = (const int32_t*)nn_tensor_aux_object_by_name(weights, "filter_shifts");
    int32_t* accumulators = (int32_t*)nn_tensor_aux_object_by_name(weights, "aux_accum_cache");
    if (accumulators && M == 1) {
        if (!kernel_dense_quant(out, in, w, b, activation, N, K, accumulators, qo, qi, qw,
                                bias ? qb : NULL))
            return; /* the requantising row kernel wrote the row itself */
        if (b)
            kernel_bias_add_i32(accumulators, N, accumulators, b);
        /* Without a bias the accumulators are INT32 values of scale input
         * scale × first weights scale around zero point 0. */
        const float acc_scale = quant_scale(qi) * quant_scale(qw);
        const int32_t acc_zero = 0;
        const nn_quant_params acc_q = {1, &acc_zero, 1, &acc_scale, 4, NN_TYPE_I32};
        requantize_accumulators(out, N, accumulators, activation, qo, bias ? qb : &acc_q,
                                multipliers, shifts);
        return;
    }
    kernel_gemm_quant(out, in, 'N', w, 'N', b, activation, M, N, K, qo, qi, qw, bias ? qb : NULL,
                      multipliers, shifts, NULL);
}

int nn_dense(nn_tensor* output, nn_tensor* input, nn_tensor* weights, nn_tensor* bias,
             int activation)
{
    int32_t M, N, K;
    if (auto answered = dense_start(output, input, weights, bias, activation, 0, &M, &N, &K))
        return *answered;

    const uint32_t ti = nn_tensor_type(input), tw = nn_tensor_type(weights);
    const uint32_t to = nn_tensor_type(output), tb = bias ? nn_tensor_type(bias) : 0;
    const int quantised = ti != NN_TYPE_F32;
    nn_quant_params qo, qi, qw, qb = {};
    if (!quantised) {
        if (tw != NN_TYPE_F32 || to != NN_TYPE_F32 || (bias && tb != NN_TYPE_F32))
            return NN_ERROR_TYPE_MISMATCH;
    } else {
        if (!is_8bit(ti) || !is_8bit(tw) || !is_output_type(to) || (bias && tb != NN_TYPE_I32))
            return NN_ERROR_TYPE_MISMATCH;
        nn_tensor_quant_params(output, &qo);
        nn_tensor_quant_params(input, &qi);
        nn_tensor_quant_params(weights, &qw);
        if (bias)
            nn_tensor_quant_params(bias, &qb);
        if (!record_ok(&qo, 1) || !record_ok(&qi, 1) || !record_ok(&qw, N) ||
            (bias && !record_ok(&qb, N)))
            return NN_ERROR_INVALID_QUANTIZATION;
        /* Multipliers and shifts the layer handler made for fewer columns
         * (for another layer sharing the weights) are not read past their
         * end. */
        if (!prepared_quant_covers(weights, N))
            return NN_ERROR_INVALID_QUANTIZATION;
    }

    const int64_t start = clock_now_ns();
    {
        DenseMaps<kestrune::ReadWriteMap> m;
        if (int status = m.map(output, input, weights, bias))
            return status;
        if (!quantised)
            kernel_gemm_f32(m.out.as<float>(), m.in.as<float>(), 'N', m.w.as<float>(), 'N',
                            m.b.as<float>(), activation, M, N, K);
        else
            dense_quant(output, input, weights, bias, activation, M, N, K, m.out.data(),
                        m.in.data(), m.w.data(), m.b.as<int32_t>(), &qo, &qi, &qw, &qb);
    }
    op_store_time(output, start);
    return NN_SUCCESS;
}

int nn_linear(nn_tensor* output, nn_tensor* input, nn_tensor* weights, nn_tensor* bias,
              int activation)
{
    int32_t M, N, K;
    if (auto answered = dense_start(output, input, weights, bias, activation, 1, &M, &N, &K))
        return *answered;
    if (nn_tensor_type(output) != NN_TYPE_F32 || nn_tensor_type(input) != NN_TYPE_F32 ||
        nn_tensor_type(weights) != NN_TYPE_F32 || (bias && nn_tensor_type(bias) != NN_TYPE_F32))
        return NN_ERROR_TYPE_MISMATCH;

    int64_t start;
    {
        DenseMaps<kestrune::WriteMap> m;
        if (int status = m.map(output, input, weights, bias))
            return status;
        start = clock_now_ns();
        kernel_gemm_f32(m.out.as<float>(), m.in.as<float>(), 'N', m.w.as<float>(), 'T',
                        m.b.as<float>(), activation, M, N, K);
    }
    op_store_time(output, start);
    return NN_SUCCESS;
}
