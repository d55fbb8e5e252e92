/* The slot rule: an operation offers itself to the engine of its first tensor
 * only when that engine is set and every other tensor it compares belongs to
 * the same engine. */
#ifndef KESTRUNE_CORE_ENGINE_RULE_H
#define KESTRUNE_CORE_ENGINE_RULE_H

#include "kestrune/nn_engine_plugin.h"
#include "tensor/tensor_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The shared engine of tensors[0..count), or NULL when the first has none or
 * another differs.  NULL entries count as CPU tensors. */
static inline nn_engine* nn_shared_engine(nn_tensor* const* tensors, int count)
{
    if (count <= 0 || !tensors[0] || !tensors[0]->engine)
        return NULL;
    nn_engine* e = tensors[0]->engine;
    for (int i = 1; i < count; ++i)
        if (!tensors[i] || tensors[i]->engine != e)
            return NULL;
    return e;
}

static inline nn_engine* nn_shared_engine2(nn_tensor* a, nn_tensor* b)
{
    nn_tensor* t[2] = {a, b};
    return nn_shared_engine(t, 2);
}

static inline nn_engine* nn_shared_engine3(nn_tensor* a, nn_tensor* b, nn_tensor* c)
{
    nn_tensor* t[3] = {a, b, c};
    return nn_shared_engine(t, 3);
}

#ifdef __cplusplus
}
#endif

#endif
