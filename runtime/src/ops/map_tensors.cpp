/* FLOAT32 views of element-wise operands: INT8 and UINT8 tensors are served by
 * one auxiliary FLOAT32 tensor each, kept on the tensor between calls; and
 * how that work tensor and the named objects of a tensor's other roles are
 * kept apart. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ops/frame.h"
#include "tensor/tensor_internal.h"
#include "tensor/tensor_record.h"

namespace {

bool is_quantised(const nn_tensor* t)
{
    return t->type == NN_TYPE_I8 || t->type == NN_TYPE_U8;
}

nn_tensor* aux_tensor(nn_tensor* t, const char* role, int* status)
{
    return float_work_tensor(t, "map_tensors", role, 0, 0, status);
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

namespace {

int valid_work(const nn_tensor* aux, const nn_tensor* t)
{
    return aux && aux->type == NN_TYPE_F32 && nn_tensor_volume(aux) == nn_tensor_volume(t) &&
           aux->data;
}

/* A heap copy of a name (NULL when the allocation fails). */
char* name_copy(const char* name)
{
    const size_t len = strlen(name) + 1;
    char* copy = static_cast<char*>(malloc(len));
    if (copy)
        memcpy(copy, name, len);
    return copy;
}

/* The work tensor held as t's single object moves into a named list under
 * FLOAT_WORK_NAME, alive and at its address; 3 when the node cannot be made
 * (t then holds it as before). */
int move_work_to_list(nn_tensor* t)
{
    nn_tensor* work = static_cast<nn_tensor*>(t->aux);
    char* name = name_copy(FLOAT_WORK_NAME);
    if (name) {
        /* Detached without its free function: nothing is freed. */
        t->aux = NULL;
        t->aux_free = NULL;
        t->aux_form = NN_AUX_NONE;
        nn_tensor_set_aux_object_by_name(t, name, work, nn_aux_free_tensor, true, true);
        if (nn_tensor_aux_object_by_name(t, FLOAT_WORK_NAME) == work)
            return 0;
        free(name);
        t->aux = work;
        t->aux_free = release_aux_tensor;
        t->aux_form = NN_AUX_SINGLE;
    }
    return NN_ERROR_OUT_OF_MEMORY;
}

int holds_single_work(const nn_tensor* t)
{
    return t->aux_form == NN_AUX_SINGLE && t->aux && t->aux_free == release_aux_tensor;
}

} // namespace

int aux_attach_named(nn_tensor* t, const char* name, void* object, void (*free_fn)(void*),
                     int owned)
{
    if (holds_single_work(t)) {
        int err = move_work_to_list(t);
        if (err)
            return err;
    }
    char* copy = name_copy(name);
    if (!copy)
        return NN_ERROR_OUT_OF_MEMORY;
    nn_tensor_set_aux_object_by_name(t, copy, object, owned ? free_fn : NULL, owned != 0, true);
    if (nn_tensor_aux_object_by_name(t, name) != object) {
        free(copy);
        return NN_ERROR_OUT_OF_MEMORY;
    }
    return 0;
}

nn_tensor* float_work_tensor(nn_tensor* t, const char* label, const char* role, int alloc_code,
                             int keyed, int* status)
{
    nn_tensor* aux = NULL;
    if (t->aux_form == NN_AUX_LIST) {
        if (nn_tensor_aux_free_by_name(t, FLOAT_WORK_NAME) == nn_aux_free_tensor)
            aux = (nn_tensor*)nn_tensor_aux_object_by_name(t, FLOAT_WORK_NAME);
    } else if (nn_tensor_aux_free(t) == release_aux_tensor) {
        aux = (nn_tensor*)nn_tensor_aux_object(t);
    }
    if (valid_work(aux, t)) {
        if (keyed && holds_single_work(t) && (*status = move_work_to_list(t)) != 0)
            return NULL;
        return aux;
    }
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
    if (keyed || t->aux_form == NN_AUX_LIST) {
        /* A stale work tensor under the name is replaced (and freed). */
        err = aux_attach_named(t, FLOAT_WORK_NAME, made.get(), nn_aux_free_tensor, 1);
        if (err) {
            *status = err;
            return NULL;
        }
        return made.release();
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
    auto map_input = [](nn_tensor* t, const char* role, ReadMap& view, nn_tensor** used) {
        int err = 0;
        nn_tensor* src = input_view(t, role, &err);
        if (!src)
            return err;
        *used = src;
        return view.map(src) ? 0 : NN_ERROR_TENSOR_NO_DATA;
    };
    nn_tensor* a_view = nullptr;
    nn_tensor* b_view = nullptr;
    if (a && (status = map_input(a, "input_a", a_, &a_view)) != 0)
        return status;
    /* One tensor as both inputs: one view, dequantised once (a second
     * dequantisation would write into the view already mapped for A). */
    if (b && b == a)
        return b_.map(a_view) ? 0 : NN_ERROR_TENSOR_NO_DATA;
    if (b && (status = map_input(b, "input_b", b_, &b_view)) != 0)
        return status;
    return 0;
}

} // namespace kestrune
