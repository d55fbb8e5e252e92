/* The tensor record: lifecycle, shape, memory and mapping. */
#include <stdlib.h>
#include <string.h>

#include "core/engine_rule.h"
#include "core/types.h"
#include "kestrune/nn_engine_plugin.h"
#include "tensor/tensor_internal.h"

/* Sizes a CPU buffer may have: the allocator is handed a signed 32-bit count. */
#define NN_TENSOR_ALLOC_LIMIT ((uint64_t)INT32_MAX)

NN_API size_t nn_tensor_sizeof(void) { return NN_TENSOR_RECORD_SIZE; }

NN_API nn_tensor* nn_tensor_init(void* memory, nn_engine* engine)
{
    nn_tensor* t = (nn_tensor*)memory;
    if (t) {
        memset(t, 0, sizeof *t);
    } else {
        t = (nn_tensor*)calloc(1, sizeof *t);
        if (!t)
            return NULL;
        t->allocated = 1;
    }
    if (engine && engine->tensor_init) {
        t->engine = engine;
        nn_tensor* result = engine->tensor_init(t, engine);
        if (!result && t->allocated)
            free(t);
        return result;
    }
    return t;
}

/* ---- Accessors --------------------------------------------------------- */

NN_API nn_engine* nn_tensor_engine(const nn_tensor* t) { return t ? t->engine : NULL; }

NN_API nn_type nn_tensor_type(const nn_tensor* t) { return t ? (nn_type)t->type : NN_TYPE_RAW; }

NN_API size_t nn_tensor_element_size(const nn_tensor* t) { return t ? nn_type_size(t->type) : 0; }

NN_API int nn_tensor_dims(const nn_tensor* t) { return t ? t->dims : 0; }

NN_API const int32_t* nn_tensor_shape(const nn_tensor* t) { return t ? t->shape : NULL; }

NN_API const int32_t* nn_tensor_strides(const nn_tensor* t) { return t ? t->strides : NULL; }

/* Volume in 64 bits; the shape checks keep it within INT32_MAX for every
 * shape stored through them. */
static int64_t volume64(const nn_tensor* t)
{
    return (int64_t)t->shape[0] * t->shape[1] * t->shape[2] * t->shape[3];
}

NN_API int nn_tensor_volume(const nn_tensor* t) { return t ? (int)volume64(t) : 0; }

NN_API size_t nn_tensor_size(const nn_tensor* t)
{
    if (!t)
        return 0;
    int64_t volume = volume64(t);
    if (volume <= 0)
        return 0;
    return (size_t)volume * nn_type_size(t->type);
}

NN_API int nn_tensor_sync(nn_tensor* t)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    if (t->engine && t->engine->sync)
        return t->engine->sync(t);
    return NN_SUCCESS;
}

NN_API int64_t nn_tensor_time(nn_tensor* t)
{
    if (!t)
        return 0;
    int status = nn_tensor_sync(t);
    if (status != NN_SUCCESS)
        fprintf(stderr, "[ERROR] nn_tensor_sync failed: %s\n", nn_strerror(status));
    return (int64_t)t->time;
}

NN_API int64_t nn_tensor_io_time(const nn_tensor* t) { return t ? (int64_t)t->io_time : 0; }

NN_API void* nn_tensor_native_handle(const nn_tensor* t) { return t ? t->data : NULL; }

/* True when release would free the data buffer itself. */
static int runtime_owns_buffer(const nn_tensor* t)
{
    return t->owns_data && t->data && !(t->engine && t->engine->tensor_release);
}

NN_API void nn_tensor_set_native_handle(nn_tensor* t, void* handle)
{
    if (!t)
        return;
    if (runtime_owns_buffer(t) && t->data != handle) {
        /* The owned buffer is still handed out through a mapping: keep it. */
        if (t->map_ptr)
            return;
        free(t->data);
        t->owns_data = 0;
    }
    t->data = handle;
}

NN_API uint32_t nn_tensor_panel_size(const nn_tensor* t) { return t ? t->panel_size : 0; }

NN_API void nn_tensor_set_panel_size(nn_tensor* t, uint32_t panel_size)
{
    if (t)
        t->panel_size = panel_size;
}

/* ---- Shape and memory -------------------------------------------------- */

int nn_tensor_check_shape(uint32_t type, int dims, const int32_t* shape, int32_t out[4])
{
    if (dims < 0 || dims > 4 || (dims != 0 && !shape))
        return NN_ERROR_INVALID_SHAPE;
    int32_t extents[4] = {1, 1, 1, 1};
    uint64_t volume = 1;
    /* Product of the non-zero extents: bounds the volume and every stride,
     * even of a tensor whose volume is 0. */
    uint64_t bound = 1;
    for (int i = 0; i < dims; ++i) {
        if (shape[i] < 0)
            return NN_ERROR_INVALID_SHAPE;
        extents[i] = shape[i];
        if (shape[i] > 0)
            bound *= (uint64_t)shape[i];
        if (bound > (uint64_t)INT32_MAX)
            return NN_ERROR_INVALID_SHAPE;
        volume *= (uint64_t)shape[i];
    }
    if (volume * nn_type_size(type) > (uint64_t)UINT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    memcpy(out, extents, sizeof extents);
    return NN_SUCCESS;
}

void nn_tensor_store_shape(nn_tensor* t, uint32_t type, int dims, const int32_t extents[4])
{
    t->type = type;
    t->dims = dims;
    memcpy(t->shape, extents, sizeof t->shape);
    t->strides[3] = 1;
    t->strides[2] = extents[3];
    t->strides[1] = extents[2] * extents[3];
    t->strides[0] = extents[1] * extents[2] * extents[3];
}

/* A request's tensor and shape checked: the four extents into `extents`. */
static int check_request(const nn_tensor* t, nn_type type, int dims, const int32_t* shape,
                         int32_t extents[4])
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    return nn_tensor_check_shape(type, dims, shape, extents);
}

/* The common start of assign and alloc: the shape checked and stored, and
 * whether the buffer that follows is the tensor's own. */
static int store_checked_shape(nn_tensor* t, nn_type type, int dims, const int32_t* shape,
                               uint8_t owns_data)
{
    int32_t extents[4];
    int status = check_request(t, type, dims, shape, extents);
    if (status)
        return status;
    nn_tensor_store_shape(t, type, dims, extents);
    t->owns_data = owns_data;
    return NN_SUCCESS;
}

NN_API int nn_tensor_assign(nn_tensor* t, nn_type type, int dims, const int32_t* shape, void* data)
{
    int status = store_checked_shape(t, type, dims, shape, 0);
    if (status)
        return status;
    if (t->engine && t->engine->assign)
        return t->engine->assign(t, type, shape, dims, data);
    t->data = data;
    return NN_SUCCESS;
}

NN_API int nn_tensor_alloc(nn_tensor* t, nn_type type, int dims, const int32_t* shape)
{
    int status = store_checked_shape(t, type, dims, shape, 1);
    if (status)
        return status;
    if (t->engine && t->engine->alloc)
        return t->engine->alloc(t, type, shape, dims);
    size_t size = nn_tensor_size(t);
    if ((uint64_t)size >= NN_TENSOR_ALLOC_LIMIT + 1) {
        t->data = NULL;
        return NN_ERROR_OUT_OF_MEMORY;
    }
    /* A size of 0 still gets a (one-byte) buffer of its own. */
    t->data = calloc(size ? size : 1, 1);
    return t->data ? NN_SUCCESS : NN_ERROR_OUT_OF_MEMORY;
}

NN_API int nn_tensor_view(nn_tensor* t, nn_type type, int dims, const int32_t* shape,
                          nn_tensor* parent, int offset)
{
    int32_t extents[4];
    int status = check_request(t, type, dims, shape, extents);
    if (status)
        return status;
    /* Every outcome but a window outside the parent stores the shape. */
    auto store_view_shape = [&] {
        nn_tensor_store_shape(t, type, dims, extents);
        t->owns_data = 0;
    };
    nn_engine* parent_engine = parent ? parent->engine : nullptr;
    if (t->engine != parent_engine) {
        store_view_shape();
        fprintf(stderr, "cannot create tensorview using different engines.\n");
        return NN_ERROR_INVALID_ENGINE;
    }
    if (t->engine && t->engine->view) {
        store_view_shape();
        return t->engine->view(t, type, shape, dims, parent, offset);
    }
    kestrune::ReadWriteMap parent_map(parent);
    uint8_t* base = parent_map.as<uint8_t>();
    if (!base) {
        store_view_shape();
        return NN_ERROR_TENSOR_NO_DATA;
    }
    /* The window must lie inside the parent's buffer. */
    uint64_t size = (uint64_t)extents[0] * extents[1] * extents[2] * extents[3] * nn_type_size(type);
    if (offset < 0 || (uint64_t)offset + size > (uint64_t)nn_tensor_size(parent))
        return NN_ERROR_INVALID_SHAPE;
    store_view_shape();
    t->data = base + offset;
    return NN_SUCCESS;
}

/* ---- Mapping ----------------------------------------------------------- */

static void* map(nn_tensor* t, uint8_t mode, int sync)
{
    if (!t)
        return NULL;
    if (t->map_ptr) {
        /* Read-write admits every kind; read-only and write-only their own. */
        if ((t->map_mode & mode) != mode || t->map_count >= INT8_MAX)
            return NULL;
        ++t->map_count;
        return t->map_ptr;
    }
    if (volume64(t) <= 0)
        return NULL;
    if (sync)
        (void)nn_tensor_sync(t);
    void* ptr = t->data;
    nn_engine* e = t->engine;
    if (e) {
        nn_engine_map_fn slot = mode == NN_MAP_RO ? e->mapro : mode == NN_MAP_WO ? e->mapwo : e->maprw;
        if (slot)
            ptr = slot(t);
    }
    if (ptr) {
        t->map_ptr = ptr;
        t->map_mode = mode;
        t->map_count = 1;
    }
    return ptr;
}

NN_API const void* nn_tensor_mapro(nn_tensor* t) { return map(t, NN_MAP_RO, 1); }

NN_API void* nn_tensor_mapwo(nn_tensor* t) { return map(t, NN_MAP_WO, 0); }

NN_API void* nn_tensor_maprw(nn_tensor* t) { return map(t, NN_MAP_RW, 1); }

NN_API void nn_tensor_unmap(nn_tensor* t)
{
    if (!t || !t->map_ptr)
        return;
    if (--t->map_count > 0)
        return;
    if (t->engine && t->engine->unmap)
        t->engine->unmap(t, t->map_ptr);
    t->map_ptr = NULL;
    t->map_mode = NN_MAP_NONE;
    t->map_count = 0;
}

NN_API int nn_tensor_mapped(const nn_tensor* t) { return t && t->map_ptr ? t->map_count : 0; }

/* ---- Release ----------------------------------------------------------- */

NN_API void nn_tensor_release(nn_tensor* t)
{
    if (!t)
        return;
    while (t->map_ptr && t->map_count >= 1)
        nn_tensor_unmap(t);
    if (t->engine && t->engine->tensor_release) {
        /* Whatever an engine tensor holds is the engine's to free. */
        t->engine->tensor_release(t);
        t->engine = NULL;
        return;
    }
    if (t->data && t->owns_data) {
        free(t->data);
        t->data = NULL;
    }
    nn_tensor_aux_release(t);
    if (t->zeros && t->owns_zeros) {
        free(t->zeros);
        t->zeros = NULL;
    }
    if (t->scales && t->owns_scales) {
        free(t->scales);
        t->scales = NULL;
    }
    if (t->allocated)
        free(t);
}

/* ---- Printing ---------------------------------------------------------- */

NN_API void nn_tensor_printf(nn_tensor* t, bool data, FILE* out)
{
    if (!t) {
        fputs("NULL", out);
        return;
    }
    fputs("[ ", out);
    for (int i = 0; i < t->dims && i < 4; ++i)
        fprintf(out, "%d ", t->shape[i]);
    fputs("]", out);
    if (!data)
        return;
    kestrune::ReadMap values(t);
    if (!values) {
        fputs("NO DATA", out);
        return;
    }
    fputs(": ", out);
    /* Each element is read as its own type; types without a size have none. */
    size_t count = nn_type_size(t->type) ? (size_t)volume64(t) : 0;
    for (size_t i = 0; i < count; ++i)
        fprintf(out, "%.04f ", nn_element_to_double(t->type, values.data(), i));
}
