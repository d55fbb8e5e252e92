/* FLOAT32 views of element-wise operands: INT8 and UINT8 tensors are served by
 * one auxiliary FLOAT32 tensor each, kept on the tensor between calls. */
#include <stdio.h>

#include "ops/frame.h"
#include "tensor/tensor_record.h"

static int is_quantised(const nn_tensor* t)
{
    return t->type == NN_TYPE_I8 || t->type == NN_TYPE_U8;
}

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
    aux = nn_tensor_init(NULL, NULL);
    if (!aux) {
        fprintf(stderr, "%s unable to create auxiliary f32 tensor for %s: out of memory\n", label,
                role);
        *status = NN_ERROR_OUT_OF_MEMORY;
        return NULL;
    }
    int err = nn_tensor_alloc(aux, NN_TYPE_F32, 4, t->shape);
    if (err && alloc_code) {
        nn_tensor_release(aux);
        *status = err;
        return NULL;
    }
    nn_tensor_set_aux_object(t, aux, release_aux_tensor);
    return aux;
}

static nn_tensor* aux_tensor(nn_tensor* t, const char* role, int* status)
{
    return float_work_tensor(t, "map_tensors", role, 0, status);
}

nn_tensor* map_tensors_for(nn_tensor* t)
{
    if (!t)
        return NULL;
    if (is_quantised(t) && nn_tensor_aux_free(t) == release_aux_tensor)
        return (nn_tensor*)nn_tensor_aux_object(t);
    return t;
}

void unmap_tensors(nn_tensor* out, nn_tensor* a, nn_tensor* b)
{
    if (out)
        nn_tensor_unmap(map_tensors_for(out));
    if (a)
        nn_tensor_unmap(map_tensors_for(a));
    if (b)
        nn_tensor_unmap(map_tensors_for(b));
}

/* Maps input t read-only (dequantised into its auxiliary tensor first). */
static int map_input(nn_tensor* t, const char* role, float** data)
{
    nn_tensor* use = t;
    if (is_quantised(t)) {
        int status = 0;
        use = aux_tensor(t, role, &status);
        if (!use)
            return status;
        status = nn_tensor_dequantize(use, t);
        if (status)
            return status;
    }
    *data = (float*)nn_tensor_mapro(use);
    return *data ? 0 : NN_ERROR_TENSOR_NO_DATA;
}

int map_tensors(nn_tensor* out, float** out_data, nn_tensor* a, float** a_data, nn_tensor* b,
                float** b_data)
{
    if (!out || !out_data || (a_data && !a) || (b_data && !b))
        return NN_ERROR_INVALID_PARAMETER;
    if (!map_tensors_type_ok(out) || (a_data && !map_tensors_type_ok(a)) ||
        (b_data && !map_tensors_type_ok(b)))
        return NN_ERROR_TYPE_MISMATCH;

    int status = 0;
    nn_tensor* use = out;
    if (is_quantised(out)) {
        use = aux_tensor(out, "output", &status);
        if (!use)
            return status;
    }
    int inplace = (a_data && out == a) || (b_data && out == b);
    *out_data = (float*)(inplace ? nn_tensor_maprw(use) : nn_tensor_mapwo(use));
    if (!*out_data)
        return NN_ERROR_TENSOR_NO_DATA;

    if (a_data) {
        status = map_input(a, "input_a", a_data);
        if (status) {
            nn_tensor_unmap(use);
            return status;
        }
    }
    if (b_data) {
        status = map_input(b, "input_b", b_data);
        if (status) {
            if (a_data)
                nn_tensor_unmap(map_tensors_for(a));
            nn_tensor_unmap(use);
            return status;
        }
    }
    return 0;
}
