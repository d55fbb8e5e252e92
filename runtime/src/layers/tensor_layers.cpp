/* Handlers of the tensor layers: pad (absorbed by a following conv2d or
 * pool2d), concat, slice and shuffle. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resource.h"
#include "core/scoped.h"
#include "layers/layer_common.h"
#include "layers/layers.h"
#include "model/model_internal.h"

#define CONCAT_MAX_INPUTS 16

/* A pad list read by position: nn_tensor_pad reads entries 1 and 2 (and an
 * engine all four), so at least 3 are required and the fourth is 0 when the
 * list stops short. */
static int pad_list(const layer_call* c, const char* key, int32_t out[4])
{
    return layer_required_list4(c, key, 3, 0, out);
}

int do_pad(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_pad");

    if (layer + 1 < ctx->layer_count) {
        layer_call next;
        layer_call_init(&next, ctx, layer + 1, "do_pad");
        const void* alt = layer_param(&next, "alt_input");
        if (alt) {
            int16_t value = 0;
            if (!param_int(alt, &value))
                return layer_missing_data(&next, "alt_input");
            if (layer_input_count(&c) < 1)
                return layer_missing_inputs(&c, 1);
            uint32_t in0 = layer_input_index(&c, 0);
            /* Sign-extended, as the next layer uses it. */
            if (value >= 0 && (uint32_t)value == in0)
                return NN_SUCCESS; /* the next layer pads while it reads in0 */
            printf("%s [%s] warning next layer has alt_input %zu which does not match our input "
                   "%zu\n",
                   c.label, c.name ? c.name : "", (size_t)(ptrdiff_t)value, (size_t)in0);
        }
    }

    int32_t head[4], tail[4];
    int status = pad_list(&c, "head", head);
    if (status == NN_SUCCESS)
        status = pad_list(&c, "tail", tail);
    if (status != NN_SUCCESS)
        return status;
    double value = param_real(layer_param(&c, "value"), 0.0f);
    nn_tensor* in[1];
    status = layer_inputs(&c, 1, in);
    if (status != NN_SUCCESS)
        return status;
    return nn_tensor_pad(step_output(ctx, layer), in[0], head, tail, value);
}

int do_concat(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_concat");
    const void* p = layer_param(&c, "axis");
    if (!p)
        return layer_missing(&c, "axis");
    int16_t axis = 0;
    if (!param_int(p, &axis))
        return layer_missing_data(&c, "axis");
    size_t count = layer_input_count(&c);
    if (count > CONCAT_MAX_INPUTS) {
        printf("%s [%s] requested %d tensors to concatenate but maximum is %d\n", c.label,
               c.name ? c.name : "", (int)count, CONCAT_MAX_INPUTS);
        return NN_ERROR_INVALID_PARAMETER;
    }
    nn_tensor* in[CONCAT_MAX_INPUTS];
    int status = count ? layer_inputs(&c, count, in) : NN_SUCCESS;
    if (status != NN_SUCCESS)
        return status;
    return nn_tensor_concat(step_output(ctx, layer), (int)count, in, axis);
}

/* A slice bound ("head" or "tail"): exactly n entries when it has a list; a
 * present one without a list only when n is 0.  *list is NULL when none is
 * given. */
static int slice_bound(const layer_call* c, const char* key, size_t n, const int32_t** list)
{
    *list = NULL;
    const void* p = layer_param(c, key);
    if (!p)
        return NN_SUCCESS;
    size_t m = 0;
    const int32_t* v = param_list(p, &m);
    if ((v && m == n) || (!v && n == 0)) {
        *list = v;
        return NN_SUCCESS;
    }
    fprintf(stderr, "%s [%s] n_axes %d requires %s to be null or matching\n", c->label,
            c->name ? c->name : "", (int)n, key);
    return NN_ERROR_INVALID_PARAMETER;
}

int do_slice(nn_context* ctx, size_t layer)
{
    layer_call c;
    layer_call_init(&c, ctx, layer, "do_slice");
    const void* p = layer_param(&c, "axes");
    if (!p)
        return layer_missing(&c, "axes");
    size_t n = 0;
    const int32_t* axes = param_list(p, &n);
    const int32_t *head, *tail;
    int status = slice_bound(&c, "head", n, &head);
    if (status == NN_SUCCESS)
        status = slice_bound(&c, "tail", n, &tail);
    if (status != NN_SUCCESS)
        return status;
    nn_tensor* in[1];
    status = layer_inputs(&c, 1, in);
    if (status != NN_SUCCESS)
        return status;
    /* The slice reads both bound arrays: an absent one is all zeros (from
     * the start, to the end of the extent). */
    int32_t zeros4[4] = {0, 0, 0, 0};
    int32_t* zeros = zeros4;
    platform::unique_malloc<int32_t[]> more_zeros;
    if ((!head || !tail) && n > 4) {
        more_zeros = platform::calloc_array<int32_t>(n);
        if (!more_zeros)
            return NN_ERROR_OUT_OF_MEMORY;
        zeros = more_zeros.get();
    }
    return nn_tensor_slice(step_output(ctx, layer), in[0], (int)n, axes, head ? head : zeros,
                           tail ? tail : zeros);
}

int do_shuffle(nn_context* ctx, size_t layer)
{
    return layer_axes_operator(ctx, layer, "do_shuffle", nn_tensor_shuffle);
}
