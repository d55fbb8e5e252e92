/* Helpers shared by the tensor functions and by every runtime file that sets
 * a tensor's shape or walks its auxiliary objects. */
#ifndef KESTRUNE_TENSOR_INTERNAL_H
#define KESTRUNE_TENSOR_INTERNAL_H

#include "tensor/tensor_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Checks a requested shape: dims 0-4, a shape array unless dims is 0, no
 * negative entry, a volume of at most INT32_MAX and a byte size of at most
 * UINT32_MAX for `type`.  On success writes the four extents (entries beyond
 * dims are 1) to `out` and returns 0; otherwise returns NN_ERROR_INVALID_SHAPE
 * and leaves `out` alone. */
int nn_tensor_check_shape(uint32_t type, int dims, const int32_t* shape, int32_t out[4]);

/* Stores type, dims, the four extents and the strides derived from them. */
void nn_tensor_store_shape(nn_tensor* t, uint32_t type, int dims, const int32_t extents[4]);

/* Frees the tensor's auxiliary objects of whichever form it holds, as release
 * does: the single object's free function is called with the tensor (the aux
 * field keeps its value), a named list is freed last node first (the aux
 * field is cleared).  Afterwards the tensor holds no auxiliary form. */
void nn_tensor_aux_release(nn_tensor* t);

/* Free function for a named object that is itself a tensor: releases it. */
void nn_aux_free_tensor(void* object);

/* Free function of the named node; NULL when absent. */
void (*nn_tensor_aux_free_by_name(const nn_tensor* t, const char* name))(void*);

/* Takes `node` out of the tensor's named list without freeing anything: its
 * neighbours are joined and the tensor's entry moves to a neighbour when it
 * pointed at the node. */
void nn_tensor_aux_unlink(nn_tensor* t, nn_aux_object* node);

/* Maps `out` read-write and then `in` read-only; NN_ERROR_TENSOR_NO_DATA, with
 * neither left mapped, when either gives NULL. */
static inline int nn_tensor_map_pair(nn_tensor* out, void** o, nn_tensor* in, const void** x)
{
    *o = nn_tensor_maprw(out);
    if (!*o)
        return NN_ERROR_TENSOR_NO_DATA;
    *x = nn_tensor_mapro(in);
    if (!*x) {
        nn_tensor_unmap(out);
        return NN_ERROR_TENSOR_NO_DATA;
    }
    return NN_SUCCESS;
}

static inline void nn_tensor_unmap_pair(nn_tensor* out, nn_tensor* in)
{
    nn_tensor_unmap(in);
    nn_tensor_unmap(out);
}

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include "core/scoped.h"

namespace kestrune {

/* The owning form of nn_tensor_map_pair: `out` mapped read-write, then `in`
 * read-only; false (neither left mapped) when either gives NULL.  At scope end
 * `in` is unmapped first, as nn_tensor_unmap_pair does. */
struct MappedPair {
    ReadWriteMap out;
    ReadMap in;

    MappedPair(nn_tensor* o, nn_tensor* i) noexcept
    {
        if (out.map(o) && !in.map(i))
            out.reset();
    }
    explicit operator bool() const noexcept { return out && in; }
};

} // namespace kestrune
#endif

#endif
