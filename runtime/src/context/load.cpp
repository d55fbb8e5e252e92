/* Loading a verified KFM model into a context: one tensor per layer, laid out
 * in the memory pool, constants as views of the caller's buffer. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "context/context_internal.h"
#include "context/shape_check.h"
#include "core/types.h"
#include "kestrune/kfm_schema.h"
#include "model/model_internal.h"

/* Releases every layer tensor and the GRU state; the array keeps its size. */
static void release_layers(nn_context* ctx)
{
    for (size_t i = ctx->tensor_capacity; i-- > 0;) {
        if (ctx->tensors[i]) {
            nn_tensor_release(ctx->tensors[i]);
            ctx->tensors[i] = NULL;
        }
    }
    nn_gru_release(ctx->gru);
    ctx->gru = NULL;
    nn_tensor_release(ctx->gru_state);
    ctx->gru_state = NULL;
}

/* The context holds no model any more; its tensor slots stay allocated. */
static void forget_model(nn_context* ctx)
{
    release_layers(ctx);
    ctx->model = nullptr;
    ctx->model_size = 0;
    ctx->layers = nullptr;
    ctx->layer_count = 0;
}

NN_API void nn_context_model_unload(nn_context* ctx)
{
    if (!ctx || !ctx->model)
        return;
    forget_model(ctx);
}

/* Dimension count for the tensor calls: a shape longer than 4 stays invalid
 * (5) instead of being cut to an int. */
static int shape_dims(size_t n) { return n > 4 ? 5 : (int)n; }

/* Product of the shape entries in 64 bits, held at 2^40 once it passes that
 * (far beyond any tensor, and small enough to multiply by an element size),
 * -1 when an entry is negative or there are more than 4. */
static int64_t shape_volume(const int32_t* shape, size_t dims)
{
    const int64_t cap = (int64_t)1 << 40;
    if (dims > 4)
        return -1;
    int64_t v = 1;
    for (size_t i = 0; i < dims; ++i) {
        int32_t e = (int32_t)kfm_load_u32(shape + i);
        if (e < 0)
            return -1;
        v = e != 0 && v > cap / e ? cap : v * e;
    }
    return v;
}

static nn_type view_type(int datatype)
{
    return (datatype == NN_TYPE_I8 || datatype == NN_TYPE_U8) ? (nn_type)datatype : NN_TYPE_F32;
}

/* The tensor of input `k` of layer `i`, which must name an earlier layer
 * whose tensor already exists; NULL otherwise. */
static nn_tensor* created_input(nn_context* ctx, size_t i, const uint32_t* inputs, size_t count,
                                size_t k)
{
    if (k >= count)
        return NULL;
    uint32_t in = kfm_load_u32(inputs + k);
    if (in >= i || in >= ctx->tensor_capacity)
        return NULL;
    return ctx->tensors[in];
}

static int load_constant(nn_context* ctx, size_t i, nn_tensor* t, const char* name)
{
    const void* model = ctx->model;
    const void* param = nn_model_layer_parameter(model, i, "data");
    if (!param) {
        fprintf(stderr, "[ERROR] constant %s missing required data parameter\r\n", name);
        return NN_ERROR_INVALID_PARAMETER;
    }
    size_t dims = 0;
    const int32_t* shape = nn_model_parameter_shape(param, &dims);
    if (!shape) {
        fprintf(stderr, "[ERROR] constant %s missing data shape attribute\r\n", name);
        return NN_ERROR_INVALID_PARAMETER;
    }
    int datatype = nn_model_layer_datatype_id(model, i);
    const void* data = NULL;
    size_t count = 0;
    switch (datatype) {
    case NN_TYPE_I32:
        data = nn_model_parameter_data_i32(param, &count);
        break;
    case NN_TYPE_F32:
        data = nn_model_parameter_data_f32(param, &count);
        break;
    case NN_TYPE_I8:
    case NN_TYPE_U8:
        data = nn_model_parameter_data_i8(param, &count);
        break;
    default:
        fprintf(stderr, "[ERROR] constant %s unsupported data type: %s\r\n", name,
                nn_model_layer_datatype(model, i));
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    }
    /* Fewer elements than the shape holds would let readers run past the
     * vector; a shape the tensor refuses is reported by the assign below. */
    int64_t volume = shape_volume(shape, dims);
    if (!data || (volume >= 0 && (uint64_t)count < (uint64_t)volume)) {
        fprintf(stderr, "[ERROR] constant %s missing data contents\r\n", name);
        return NN_ERROR_INVALID_PARAMETER;
    }
    int status = nn_tensor_assign(t, (nn_type)datatype, shape_dims(dims), shape, (void*)data);
    if (status != NN_SUCCESS) {
        fprintf(stderr, "[ERROR] failed to assign memory %p for layer %s [%s]: %s\r\n", data, name,
                "constant", nn_strerror(status));
        return status;
    }
    const uint8_t* table = model_layer_table(model, i);
    if (kfm_field_present(table, KFM_LAYER_PANEL_SIZE))
        nn_tensor_set_panel_size(t, kfm_u32(table, KFM_LAYER_PANEL_SIZE, 0));
    return NN_SUCCESS;
}

/* reshape, copy and fill: views of the first input's tensor. */
static int load_view(nn_context* ctx, size_t i, nn_tensor* t, const char* name, int type_id,
                     const int32_t* shape, size_t dims)
{
    const uint32_t* inputs = NULL;
    size_t count = nn_model_layer_inputs(ctx->model, i, &inputs);
    const char* what = type_id == NN_LAYER_RESHAPE ? "reshape" : type_id == NN_LAYER_COPY ? "copy" : "fill";
    size_t needed = type_id == NN_LAYER_COPY ? 2 : 1;
    if (count < needed) {
        fprintf(stderr, "[ERROR] insufficient inputs for %s operation: %s\r\n", what, name);
        return NN_ERROR_INVALID_PARAMETER;
    }
    nn_tensor* in = created_input(ctx, i, inputs, count, 0);
    if (!in) {
        fprintf(stderr, "[ERROR] %s layer %s input %u is not an earlier layer\r\n", what, name,
                kfm_load_u32(inputs));
        return NN_ERROR_INVALID_PARAMETER;
    }
    nn_type type = type_id == NN_LAYER_RESHAPE ? view_type(nn_model_layer_datatype_id(ctx->model, i))
                                               : nn_tensor_type(in);
    int status = nn_tensor_view(t, type, shape_dims(dims), shape, in, 0);
    if (status != NN_SUCCESS) {
        fprintf(stderr,
                type_id == NN_LAYER_RESHAPE ? "[ERROR] failed to create %s memory view for layer %s: %s\r\n"
                                            : "[ERROR] failed to create %s memory view for layer %s: %s\n",
                what, name, nn_strerror(status));
    }
    return status;
}

/* Every other layer: a view into the pool at its stored offset, else memory
 * of its own. */
static int load_activation(nn_context* ctx, size_t i, nn_tensor* t, const char* name,
                           const int32_t* shape, size_t dims)
{
    const uint8_t* root = kfm_root(ctx->model);
    const uint8_t* table = model_layer_table(ctx->model, i);
    const char* type_name = nn_model_layer_type(ctx->model, i);
    if (ctx->mempool && kfm_field_present(table, KFM_LAYER_MEMPOOL_OFFSET)) {
        nn_type type = view_type(nn_model_layer_datatype_id(ctx->model, i));
        int64_t volume = shape_volume(shape, dims);
        if (volume < 0) {
            fprintf(stderr, "[ERROR] failed to create tensor view for layer %s [%s]: %s\r\n", name,
                    type_name, nn_strerror(NN_ERROR_INVALID_SHAPE));
            return NN_ERROR_INVALID_SHAPE;
        }
        /* 64-bit arithmetic: neither the offset nor offset + bytes may wrap
         * into a window that looks as if it were inside the pool. */
        uint64_t block = kfm_u32(root, KFM_MODEL_MEMORY_BLOCK_SIZE, 1);
        uint64_t offset = (uint64_t)kfm_u32(table, KFM_LAYER_MEMPOOL_OFFSET, 0) * block;
        uint64_t bytes = (uint64_t)volume * nn_type_size(type);
        uint64_t pool = nn_tensor_size(ctx->mempool);
        if (offset > (uint64_t)INT32_MAX || offset + bytes > pool) {
            fprintf(stderr, "[ERROR] tensor blocks surpass available memory pool for layer %s\r\n", name);
            return NN_ERROR_OUT_OF_MEMORY;
        }
        /* Elements at their own alignment: a FLOAT32 layer at an odd byte
         * offset would be read and written through misaligned pointers. */
        if (offset % nn_type_size(type) != 0) {
            fprintf(stderr, "[ERROR] failed to create tensor view for layer %s [%s]: %s\r\n", name,
                    type_name, nn_strerror(NN_ERROR_INVALID_PARAMETER));
            return NN_ERROR_INVALID_PARAMETER;
        }
        int status = nn_tensor_view(t, type, shape_dims(dims), shape, ctx->mempool, (int)offset);
        if (status != NN_SUCCESS)
            fprintf(stderr, "[ERROR] failed to create tensor view for layer %s [%s]: %s\r\n", name,
                    type_name, nn_strerror(status));
        return status;
    }
    int status = kestrune::count_unpooled_tensor(ctx, i, shape, dims);
    if (status != NN_SUCCESS)
        return status;
    status = nn_tensor_alloc(t, NN_TYPE_F32, shape_dims(dims), shape);
    if (status != NN_SUCCESS)
        fprintf(stderr, "[ERROR] failed to allocate tensor for layer %s [%s]: %s\r\n", name,
                type_name, nn_strerror(status));
    return status;
}

static int32_t last_extent(const nn_tensor* t)
{
    int dims = nn_tensor_dims(t);
    return nn_tensor_shape(t)[dims > 0 ? dims - 1 : 0];
}

static int load_gru(nn_context* ctx, size_t i, nn_tensor* t, const char* name)
{
    if (ctx->gru) {
        fprintf(stderr, "[ERROR] kfmx currently only supports a single gru layer per model\r\n");
        return NN_ERROR_INVALID_PARAMETER;
    }
    const uint32_t* inputs = NULL;
    size_t count = nn_model_layer_inputs(ctx->model, i, &inputs);
    if (count != 8) {
        fprintf(stderr, "[ERROR] %s [%s] missing 8 required inputs, has %zd\r\n", "load_layer", name,
                (ptrdiff_t)count);
        return NN_ERROR_INVALID_PARAMETER;
    }
    nn_tensor* input = created_input(ctx, i, inputs, count, 0);
    nn_tensor* gates = created_input(ctx, i, inputs, count, 2);
    if (!input || !gates) {
        fprintf(stderr, "[ERROR] gru layer %s input %u is not an earlier layer\r\n", name,
                kfm_load_u32(inputs + (input ? 2 : 0)));
        return NN_ERROR_INVALID_PARAMETER;
    }
    /* Input width I, gate width G and hidden width H: the last extents of
     * input 0, input 2 and the layer's own tensor. */
    int status = nn_gru_init(&ctx->gru, ctx->cache, nn_tensor_type(t), last_extent(input),
                             last_extent(gates), last_extent(t));
    if (status != NN_SUCCESS)
        fprintf(stderr, "[ERROR] failed to initialize gru context: %s\r\n", nn_strerror(status));
    return status;
}

/* The GRU cell rewrites its hidden state (input 1) on every step.  When the
 * model gives that state in its own bytes (a constant, or a view of one), the
 * context steps a copy of it instead: the caller's buffer stays unchanged and
 * may be a read-only mapping.  Runs once every layer has its tensor, since
 * input 1 may name any layer of the model. */
static int load_gru_state(nn_context* ctx)
{
    if (!ctx->gru)
        return NN_SUCCESS;
    for (size_t i = 0; i < ctx->layer_count; ++i) {
        if (nn_model_layer_type_id(ctx->model, i) != NN_LAYER_GRU)
            continue;
        const uint32_t* inputs = NULL;
        size_t count = nn_model_layer_inputs(ctx->model, i, &inputs);
        uint32_t in = count > 1 ? kfm_load_u32(inputs + 1) : UINT32_MAX;
        nn_tensor* h = in < ctx->tensor_capacity ? ctx->tensors[in] : NULL;
        if (!h || !context_model_bytes(ctx, h))
            return NN_SUCCESS;
        const char* name = nn_model_layer_name(ctx->model, i);
        nn_tensor* state = nn_tensor_init(NULL, ctx->engine);
        if (!state) {
            fprintf(stderr, "[ERROR] insufficient memory to create tensor for layer %s\r\n", name);
            return NN_ERROR_OUT_OF_MEMORY;
        }
        ctx->gru_state = state;
        int status = nn_tensor_alloc(state, nn_tensor_type(h), nn_tensor_dims(h), nn_tensor_shape(h));
        if (status == NN_SUCCESS)
            status = nn_tensor_copy(state, h);
        if (status != NN_SUCCESS)
            fprintf(stderr, "[ERROR] failed to allocate tensor for layer %s [%s]: %s\r\n", name,
                    "gru", nn_strerror(status));
        return status;
    }
    return NN_SUCCESS;
}

/* Layers whose operator writes its output while it still reads its inputs
 * (convolutions, pooling, matrix products) cannot have the output among
 * them: a layer that names itself as an input, or by "alt_input", is
 * refused with "[ERROR] layer %s reads its own output\r\n" and 19.  The
 * element-wise layers compute in place and are not refused. */
static int refuse_own_output(const void* model, size_t i, const char* name)
{
    switch (nn_model_layer_type_id(model, i)) {
    case NN_LAYER_CONV2D:
    case NN_LAYER_DECONV2D:
    case NN_LAYER_POOL2D:
    case NN_LAYER_DENSE:
    case NN_LAYER_LINEAR:
    case NN_LAYER_MATMUL:
        break;
    default:
        return NN_SUCCESS;
    }
    int own = 0;
    const uint32_t* inputs = NULL;
    size_t n_inputs = nn_model_layer_inputs(model, i, &inputs);
    for (size_t k = 0; k < n_inputs; ++k)
        own |= kfm_load_u32(inputs + k) == i;
    size_t n = 0;
    const void* alt = nn_model_layer_parameter(model, i, "alt_input");
    const int16_t* v = alt ? nn_model_parameter_data_i16(alt, &n) : NULL;
    if (v && n > 0) {
        const int16_t index = (int16_t)kfm_load_u16(v);
        own |= index >= 0 && (size_t)index == i;
    }
    if (!own)
        return NN_SUCCESS;
    fprintf(stderr, "[ERROR] layer %s reads its own output\r\n", name);
    return NN_ERROR_INVALID_LAYER;
}

static int load_layer(nn_context* ctx, size_t i, size_t layer_count)
{
    const void* model = ctx->model;
    const char* name = nn_model_layer_name(model, i);
    nn_tensor* t = nn_tensor_init(NULL, ctx->engine);
    if (!t) {
        fprintf(stderr, "[ERROR] insufficient memory to create tensor for layer %s\r\n", name);
        return NN_ERROR_OUT_OF_MEMORY;
    }
    ctx->tensors[i] = t;

    /* No entry of `inputs` may name a layer the model does not have. */
    const uint32_t* inputs = NULL;
    size_t n_inputs = nn_model_layer_inputs(model, i, &inputs);
    for (size_t k = 0; k < n_inputs; ++k) {
        uint32_t in = kfm_load_u32(inputs + k);
        if (in >= layer_count) {
            fprintf(stderr, "[ERROR] layer %s input %u is past the last layer\r\n", name, in);
            return NN_ERROR_INVALID_PARAMETER;
        }
    }

    /* Quantisation, borrowed from the buffer.  An empty list is none: to the
     * quantisation code a count of 0 means one pair, read from bytes that are
     * not the list's. */
    const uint8_t* table = model_layer_table(model, i);
    uint32_t n = 0;
    const uint8_t* v = kfm_vector(table, KFM_LAYER_SCALES, &n);
    if (v && n > 0)
        nn_tensor_set_scales(t, n, (float*)v, 0);
    if (kfm_field_present(table, KFM_LAYER_AXIS))
        nn_tensor_set_axis(t, (uint8_t)kfm_i8(table, KFM_LAYER_AXIS, 0));
    v = kfm_vector(table, KFM_LAYER_ZEROS, &n);
    if (v && n > 0)
        nn_tensor_set_zeros(t, n, (int32_t*)v, 0);

    size_t dims = 0;
    const int32_t* shape = nn_model_layer_shape(model, i, &dims);
    int type_id = nn_model_layer_type_id(model, i);
    int status = kestrune::check_layer_shape(ctx, i);
    if (status != NN_SUCCESS)
        return status;
    switch (type_id) {
    case NN_LAYER_CONSTANT:
        status = load_constant(ctx, i, t, name);
        break;
    case NN_LAYER_RESHAPE:
    case NN_LAYER_COPY:
    case NN_LAYER_FILL:
        status = load_view(ctx, i, t, name, type_id, shape, dims);
        break;
    default:
        status = load_activation(ctx, i, t, name, shape, dims);
        break;
    }
    if (status == NN_SUCCESS && type_id == NN_LAYER_GRU)
        status = load_gru(ctx, i, t, name);
    return status;
}

static int load(nn_context* ctx, size_t size, const void* buffer)
{
    ctx->model = buffer;
    ctx->model_size = size;
    ctx->first_layer = 0;
    ctx->unpooled_bytes = 0;
    if (ctx->engine && nn_model_layer_datatype_id(buffer, 0) != NN_TYPE_F32) {
        puts("Quantized KFM unsupported by opencl backend\r");
        return NN_ERROR_NOT_IMPLEMENTED;
    }
    const uint8_t* root = kfm_root(buffer);
    if (ctx->mempool && kfm_field_present(root, KFM_MODEL_MEMORY_BLOCKS)) {
        uint64_t required = nn_model_memory_size(buffer);
        uint64_t pool = nn_tensor_size(ctx->mempool);
        if (pool < required) {
            fprintf(stderr, "model requires %" PRIu64 " bytes but only %d bytes was provided.\n",
                    required, (int)pool);
            return NN_ERROR_OUT_OF_MEMORY;
        }
    }
    uint32_t count32 = 0;
    ctx->layers = kfm_vector(root, KFM_MODEL_LAYERS, &count32);
    ctx->layer_count = ctx->layers ? count32 : 0;
    size_t count = ctx->layer_count;
    if (count == 0)
        return NN_SUCCESS;
    if (ctx->tensor_capacity < count) {
        nn_tensor** grown = (nn_tensor**)realloc(ctx->tensors, count * sizeof *grown);
        if (!grown)
            return NN_ERROR_OUT_OF_MEMORY;
        memset(grown + ctx->tensor_capacity, 0, (count - ctx->tensor_capacity) * sizeof *grown);
        ctx->tensors = grown;
        ctx->tensor_capacity = count;
    }
    for (size_t i = 0; i < count; ++i) {
        int status = refuse_own_output(buffer, i, nn_model_layer_name(buffer, i));
        if (status != NN_SUCCESS)
            return status;
    }
    for (size_t i = 0; i < count; ++i) {
        int status = load_layer(ctx, i, count);
        if (status != NN_SUCCESS)
            return status;
    }
    int status = load_gru_state(ctx);
    if (status != NN_SUCCESS)
        return status;
    size_t first = 0;
    while (first < count) {
        int type = nn_model_layer_type_id(buffer, first);
        if (type != NN_LAYER_INPUT && type != NN_LAYER_CONSTANT && type != NN_LAYER_VARIABLE)
            break;
        ++first;
    }
    ctx->first_layer = first;
    return NN_SUCCESS;
}

NN_API int nn_context_model_load(nn_context* ctx, size_t size, const void* buffer)
{
    if (!ctx)
        return NN_ERROR_INVALID_PARAMETER;
    if (!buffer)
        return NN_ERROR_INTERNAL;
    int code = nn_model_validate(buffer, size);
    if (code != 0) {
        printf("model verification failed: %s\r\n", nn_model_validate_error(code));
        return NN_ERROR_INVALID_PARAMETER;
    }
    /* A model still loaded would leak its tensors. */
    nn_context_model_unload(ctx);
    int status = load(ctx, size, buffer);
    if (status != NN_SUCCESS) {
        /* Leave no half-made model behind: a later step would find layers
         * without tensors. */
        forget_model(ctx);
        ctx->first_layer = 0;
    }
    return status;
}
