/* Test user-operation libraries, built twice: libuop_a.so exports user_op
 * (takes "negate": out = -in), libuop_b.so exports scale_handler (takes
 * "double": out = 2 in, and "negate" with the marker 777, which only shows
 * when the handlers are tried in the wrong order).  Everything else: 5. */
#include <stddef.h>
#include <string.h>

#include "kestrune/nn.h"

#define EXPORT __attribute__((visibility("default")))

/* out[i] = scale * in[i] + offset over the layer's first input. */
static int apply(nn_context* context, size_t layer, float scale, float offset)
{
    const uint32_t* inputs = NULL;
    if (nn_model_layer_inputs(nn_context_model(context), layer, &inputs) < 1 || !inputs)
        return 6;
    nn_tensor* in = nn_context_tensor_index(context, inputs[0]);
    nn_tensor* out = nn_context_tensor_index(context, layer);
    if (!in || !out || in == out || nn_tensor_volume(in) != nn_tensor_volume(out))
        return 6;
    size_t n = (size_t)nn_tensor_volume(in);
    const float* src = nn_tensor_mapro(in);
    if (!src)
        return 14;
    float* dst = nn_tensor_mapwo(out);
    if (!dst) {
        nn_tensor_unmap(in);
        return 14;
    }
    for (size_t i = 0; i < n; ++i)
        dst[i] = scale * src[i] + offset;
    nn_tensor_unmap(out);
    nn_tensor_unmap(in);
    return 0;
}

#ifdef UOP_A
EXPORT int user_op(nn_context* context, const char* operation, size_t layer)
{
    if (strcmp(operation, "negate") == 0)
        return apply(context, layer, -1.0f, 0.0f);
    if (strcmp(operation, "fortytwo") == 0)
        return 42; /* a status without a text */
    return 5;
}
#else
EXPORT int scale_handler(nn_context* context, const char* operation, size_t layer)
{
    if (strcmp(operation, "double") == 0)
        return apply(context, layer, 2.0f, 0.0f);
    if (strcmp(operation, "negate") == 0)
        return apply(context, layer, 0.0f, 777.0f);
    return 5;
}
#endif
