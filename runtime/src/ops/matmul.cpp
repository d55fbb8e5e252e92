/* General FLOAT32 matrix products: nn_matmul, and nn_matmul_cache, which
 * stages B transposed in a caller-given cache tensor when it fits so that
 * every product runs as dot products of contiguous rows. */
#include <stdio.h>
#include <string.h>

#include <optional>

#include "kernels/kernels.h"
#include "ops/dense_common.h"
#include "ops/frame.h"
#include "platform.h"

typedef struct matmul_dims {
    int32_t M, N, Ma, Ka, Kb, Nb;
} matmul_dims;

static int matmul_engine(nn_tensor* output, nn_tensor* a, nn_tensor* b, uint8_t ta, uint8_t tb,
                         int* status)
{
    nn_engine* e = nn_shared_engine3(output, a, b);
    if (!e || !e->matmul)
        return 0;
    *status = e->matmul(output, a, b, ta != 0, tb != 0);
    return 1;
}

/* Checks that come before any mapping: arguments, FLOAT32 operands, and
 * tensors that read as matrices. */
static int matmul_prepare(nn_tensor* output, nn_tensor* a, nn_tensor* b, uint8_t ta, uint8_t tb,
                          matmul_dims* d)
{
    if (!output || !a || !b)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(output) != NN_TYPE_F32 || nn_tensor_type(a) != NN_TYPE_F32 ||
        nn_tensor_type(b) != NN_TYPE_F32)
        return NN_ERROR_TYPE_MISMATCH;
    int32_t ar, ac, br, bc;
    if (!dense_matrix_dims(output, &d->M, &d->N) || !dense_matrix_dims(a, &ar, &ac) ||
        !dense_matrix_dims(b, &br, &bc))
        return NN_ERROR_INVALID_SHAPE;
    d->Ma = ta ? ac : ar;
    d->Ka = ta ? ar : ac;
    d->Kb = tb ? bc : br;
    d->Nb = tb ? br : bc;
    return NN_SUCCESS;
}

/* The product's validity test with its message on stderr. */
static int matmul_valid(const matmul_dims* d)
{
    if (d->M && d->N && d->Ma && d->Ka && d->Kb && d->Nb && d->M == d->Ma && d->N == d->Nb &&
        d->Ka == d->Kb)
        return 1;
    fprintf(stderr, "invalid gemm C[%d,%d] = A[%d,%d]*B[%d,%d]n", d->M, d->N, d->Ma, d->Ka, d->Kb,
            d->Nb);
    return 0;
}

namespace {

/* One call's dimensions and mappings (output write-only, A and B read-only),
 * given back when it ends. */
struct MatmulCall {
    matmul_dims d;
    kestrune::WriteMap out;
    kestrune::ReadMap a, b;
};

/* What both entries do first: the engine's slot, the shape checks and the
 * mappings.  The status when the call is answered there, none when the
 * portable path goes on with everything mapped. */
std::optional<int> matmul_start(nn_tensor* output, nn_tensor* a, nn_tensor* b,
                                uint8_t transpose_a, uint8_t transpose_b, MatmulCall& c)
{
    int status;
    if (output && a && b && matmul_engine(output, a, b, transpose_a, transpose_b, &status))
        return status;
    status = matmul_prepare(output, a, b, transpose_a, transpose_b, &c.d);
    if (status != NN_SUCCESS)
        return status;
    if (!c.out.map(output) || !c.a.map(a) || !c.b.map(b))
        return NN_ERROR_TENSOR_NO_DATA;
    return std::nullopt;
}

} // namespace

int nn_matmul(nn_tensor* output, nn_tensor* a, nn_tensor* b, uint8_t transpose_a,
              uint8_t transpose_b)
{
    MatmulCall c;
    if (auto answered = matmul_start(output, a, b, transpose_a, transpose_b, c))
        return *answered;
    const int64_t start = clock_now_ns();
    if (!matmul_valid(&c.d))
        return NN_ERROR_INVALID_SHAPE;
    kernel_gemm_f32(c.out.as<float>(), c.a.as<float>(), transpose_a ? 'T' : 'N', c.b.as<float>(),
                    transpose_b ? 'T' : 'N', nullptr, 0, c.d.M, c.d.N, c.d.Ka);
    op_store_time(output, start);
    return NN_SUCCESS;
}

int nn_matmul_cache(nn_tensor* output, nn_tensor* cache, nn_tensor* a, nn_tensor* b,
                    uint8_t transpose_a, uint8_t transpose_b)
{
    MatmulCall c;
    if (auto answered = matmul_start(output, a, b, transpose_a, transpose_b, c))
        return *answered;
    const matmul_dims& d = c.d;
    const float* pb = c.b.as<float>();

    const size_t cache_bytes = nn_tensor_size(cache);
    const size_t b_bytes = nn_tensor_size(b);
    const int64_t start = clock_now_ns();
    kestrune::ReadWriteMap staged_map;
    float* staged = nullptr;
    if (cache_bytes >= b_bytes) {
        staged = static_cast<float*>(staged_map.map(cache));
        if (!staged)
            return NN_ERROR_TENSOR_NO_DATA;
        if (!transpose_b) {
            /* cache[j·K + k] = B[k·N + j] */
            for (int32_t k = 0; k < d.Kb; ++k)
                for (int32_t j = 0; j < d.Nb; ++j)
                    staged[(size_t)j * (size_t)d.Kb + (size_t)k] =
                        pb[(size_t)k * (size_t)d.Nb + (size_t)j];
        } else {
            memcpy(staged, pb, b_bytes);
        }
    } else {
        printf("warning: insufficient cache (%dKB) for b matrix (%dKB)", (int)(cache_bytes / 1024),
               (int)(b_bytes / 1024));
    }

    if (!matmul_valid(&d))
        return NN_ERROR_INVALID_SHAPE;
    const int b_transposed = staged ? 1 : transpose_b != 0;
    kernel_gemm_f32(c.out.as<float>(), c.a.as<float>(), transpose_a ? 'T' : 'N',
                    staged ? staged : pb, b_transposed ? 'T' : 'N', nullptr, 0, d.M, d.N, d.Ka);
    op_store_time(output, start);
    return NN_SUCCESS;
}
