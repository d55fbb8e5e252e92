/* libFuzzer target: a model file from an untrusted source.  Bytes that pass
 * the verifier must be safe to query, to load into a context and to run;
 * bytes that fail it are never loaded (as every caller does).
 *
 * A model decides the sizes of its layers (each tensor up to 2 GiB), and the
 * work of a run grows with them: models whose layers hold more than
 * 1 Mi elements in all, or whose layers times their filters or weights pass
 * 2^26, are verified and queried only, so that every input stays quick and
 * small. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "kestrune/nn.h"

static void query(const void* model)
{
    size_t layers = nn_model_layer_count(model);
    (void)nn_model_name(model);
    (void)nn_model_uuid(model);
    int labels = nn_model_label_count(model);
    for (int i = -1; i <= labels && i < 64; ++i)
        (void)nn_model_label(model, i);
    size_t count = 0;
    (void)nn_model_inputs(model, &count);
    (void)nn_model_outputs(model, &count);
    for (size_t r = 0; r < nn_model_resource_count(model) && r < 16; ++r) {
        const void* res = nn_model_resource_at(model, r);
        size_t size = 0;
        (void)nn_model_resource_name(res);
        (void)nn_model_resource_mime(res);
        (void)nn_model_resource_data(res, &size);
    }
    for (size_t i = 0; i < layers && i < 256; ++i) {
        const char* name = nn_model_layer_name(model, i);
        (void)nn_model_layer_type(model, i);
        (void)nn_model_layer_datatype(model, i);
        size_t dims = 0;
        (void)nn_model_layer_shape(model, i, &dims);
        (void)nn_model_layer_zeros(model, i, &count);
        (void)nn_model_layer_scales(model, i, &count);
        const uint32_t* inputs = NULL;
        (void)nn_model_layer_inputs(model, i, &inputs);
        if (name)
            (void)nn_model_layer_lookup(model, name);
        const void* p = nn_model_layer_parameter(model, i, "strides");
        if (p) {
            (void)nn_model_parameter_shape(p, &count);
            (void)nn_model_parameter_data_f32(p, &count);
            (void)nn_model_parameter_data_str(p, 0);
        }
    }
}

/* Elements of layer i, saturating at 2^31. */
static uint64_t layer_volume(const void* model, size_t i)
{
    size_t dims = 0;
    const int32_t* shape = nn_model_layer_shape(model, i, &dims);
    uint64_t v = 1;
    for (size_t k = 0; shape && k < dims; ++k) {
        v *= shape[k] > 0 ? (uint64_t)shape[k] : 1;
        if (v > (1u << 31))
            return 1u << 31;
    }
    return v;
}

/* Elements over all layers, and a bound on the work of a run: each layer's
 * elements times those of its second input (a filter or weights), both
 * saturating. */
static void model_size(const void* model, uint64_t* elements, uint64_t* work)
{
    *elements = *work = 0;
    const size_t layers = nn_model_layer_count(model);
    for (size_t i = 0; i < layers; ++i) {
        const uint64_t v = layer_volume(model, i);
        *elements += v;
        const uint32_t* inputs = NULL;
        if (nn_model_layer_inputs(model, i, &inputs) >= 2 && inputs) {
            uint32_t w;
            memcpy(&w, inputs + 1, sizeof w);
            if (w < layers)
                *work += v * layer_volume(model, w);
        }
        *work += v;
        if (*elements > (1u << 30) || *work > ((uint64_t)1 << 40))
            return;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    /* A 16-byte aligned copy of exactly `size` bytes: over-reads are caught,
     * and the loader may view constants in place. */
    void* mem = NULL;
    if (posix_memalign(&mem, 16, size ? size : 1) != 0)
        return 0;
    uint8_t* buf = static_cast<uint8_t*>(mem);
    memcpy(buf, data, size);
    if (nn_model_validate(buf, size) == 0) {
        query(buf);
        uint64_t elements = 0, work = 0;
        model_size(buf, &elements, &work);
        if (elements > (1u << 20) || work > (1u << 26)) {
            free(buf);
            return 0;
        }
        /* With a cache, and without one: convolutions then take the direct
         * variant, which keeps FLOAT32 work copies of quantised operands
         * beside the filter's objects (one tensor may be both). */
        static const size_t caches[2] = {(size_t)1 << 20, 0};
        for (size_t cache : caches) {
            nn_context* ctx = nn_context_init(NULL, 1u << 20, NULL, cache, NULL);
            if (ctx && nn_context_model_load(ctx, size, buf) == 0)
                nn_context_run(ctx);
            nn_context_release(ctx);
        }
    }
    free(buf);
    return 0;
}
