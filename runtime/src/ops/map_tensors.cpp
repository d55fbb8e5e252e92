/* FLOAT32 views of element-wise operands: INT8 and UINT8 tensors are served by
 * one auxiliary FLOAT32 tensor each, kept on the tensor between calls. */
#include <stdio.h>

#include "ops/frame.h"
#include "tensor/tensor_record.h"

namespace {

bool is_quantised(const nn_tensor* t)
{
    return t->type == NN_TYPE_I8 || t->type == NN_TYPE_U8;
}

nn_tensor* aux_tensor(nn_tensor* t, const char* role, int* status)
{
    return float_work_tensor(t, "map_tensors", role, 0, status);
}

/* The tensor that serves input t read-only: t, or its auxiliary tensor with
 * t dequantised into it. */
nn_tensor* input_view(nn_tensor* t, const char* role, int* status)
{
    if (!is_quantised(t))
        return t;
    nn_tensor* use = aux_tensor(t, role, status);
    if (use && (*status = nn_tensor_dequantize(use, t)) != 0)
        return nullptr;
    return use;
}

} // namespace

int map_tensors_type_ok(const nn_tensor* t)
{
    return t && (t->type == NN_TYPE_F32 || is_quantised(t));
}

nn_tensor* float_work_tensor(nn_tensor* t, const char* label, const char* role, int alloc_code,
                             int* status)
{
    nn_tensor* aux = NULL;
    if (nn_tensor_aux_free(t) == release_aux_tensor)
        aux = (nn_tensor*)nn_tensor_aux_object(t);
    if (aux && aux->type == NN_TYPE_F32 && nn_tensor_volume(aux) == nn_tensor_volume(t) &&
        aux->data)
        return aux;
    kestrune::UniqueTensor made(nn_tensor_init(NULL, NULL));
    if (!made) {
        fprintf(stderr, "%s unable to create auxiliary f32 tensor for %s: out of memory\n", label,
                role);
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    int err = nn_tensor_alloc(made.get(), NN_TYPE_F32, 4, t->shape);
    if (err && alloc_code) {
        *status = err;
        return NULL;
    }
    aux = made.release();
    nn_tensor_set_aux_object(t, aux, release_aux_tensor);
    return aux;
}

namespace kestrune {

int quantise_back(nn_tensor* out, const float* values) noexcept
{
    if (!is_quantised(out))
        return 0;
    return nn_tensor_quantize_buffer(out, (size_t)nn_tensor_volume(out), values, 1);
}

FrameMaps::FrameMaps(nn_tensor* out, nn_tensor* a, nn_tensor* b) noexcept
    : status_(map(out, a, b))
{
    if (status_) {
        b_.reset();
        a_.reset();
        out_rw_.reset();
        out_wo_.reset();
    }
}

int FrameMaps::map(nn_tensor* out, nn_tensor* a, nn_tensor* b) noexcept
{
    if (!out)
        return NN_ERROR_INVALID_PARAMETER;
    if (!map_tensors_type_ok(out) || (a && !map_tensors_type_ok(a)) ||
        (b && !map_tensors_type_ok(b)))
        return NN_ERROR_TYPE_MISMATCH;

    int status = 0;
    nn_tensor* use = is_quantised(out) ? aux_tensor(out, "output", &status) : out;
    if (!use)
        return status;
    const bool inplace = (a && out == a) || (b && out == b);
    if (!(inplace ? out_rw_.map(use) != nullptr : out_wo_.map(use) != nullptr))
        return NN_ERROR_TENSOR_NO_DATA;
    auto map_input = [](nn_tensor* t, const char* role, ReadMap& view) {
        int err = 0;
        nn_tensor* src = input_view(t, role, &err);
        if (!src)
            return err;
        return view.map(src) ? 0 : NN_ERROR_TENSOR_NO_DATA;
    };
    if (a && (status = map_input(a, "input_a", a_)) != 0)
        return status;
    if (b && (status = map_input(b, "input_b", b_)) != 0)
        return status;
    return 0;
}

} // namespace kestrune
