/* What the engine plug-ins that serve KFM models (the runtime's and the
 * OpenVX one) describe of a model alike, from the runtime's model queries.
 * Header-only: the framework itself does not link the runtime. */
#ifndef BRINDLECAST_KFM_DESCRIBE_H
#define BRINDLECAST_KFM_DESCRIBE_H

#include "kestrune/nn.h"
#include "plugin_describe.h"

namespace plugin {

/* The labels of a KFM model (`model` is the list's user). */
inline LabelList kfm_labels(const void* model) noexcept
{
    return LabelList{const_cast<void*>(model), nn_model_label_count(model),
                     [](void* m, int index) { return nn_model_label(m, index); }};
}

/* Name, uuid, sizes, layer count and labels of a KFM model of `size` bytes. */
inline ModelSummary kfm_model_summary(const void* model, uint64_t size) noexcept
{
    return ModelSummary{nn_model_name(model),       nn_model_uuid(model),          size,
                        nn_model_memory_size(model), nn_model_layer_count(model), kfm_labels(model)};
}

} // namespace plugin

#endif
