/* The label list of a plug-in whose engine has no labels of its own: up to
 * NN_SERVER_MAX_LABELS texts in its nn_server_common, replaced as a whole by
 * a request body of type "labels/...". */
#ifndef BRINDLECAST_PLUGIN_LABELS_H
#define BRINDLECAST_PLUGIN_LABELS_H

#include <stddef.h>
#include <stdint.h>

#include "plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest label kept: a longer line is cut to this many bytes. */
#define PLUGIN_LABEL_MAX 255

/* Frees the old labels (labels_clear), then stores a copy of each line of
 * `text`: lines end at '\n', one '\r' before it is dropped, a final '\n'
 * adds no empty label, at most NN_SERVER_MAX_LABELS lines are kept.
 * 0, or 3 (out of memory) with no labels left. */
int plugin_labels_load(nn_server* server, const char* text, size_t length);

/* plugin_labels_load, answered with 200 text/plain "Success" or 415
 * text/plain "Out of memory to load labels". */
int plugin_labels_upload(int socket, nn_server* server, const char* body, size_t length);

/* Label `index`, or NULL when there is none. */
const char* plugin_label(nn_server* server, int index);

/* The "text/plain" top-1 reply of a plug-in with a loaded label list: 404
 * text/plain "Labels not loaded" without labels, else plugin_reply_label
 * (the label of `index`, or the index when the list is shorter). */
int plugin_reply_top1(int socket, nn_server* server, int index, float score, int64_t timing);

#ifdef __cplusplus
}

namespace plugin {

/* The index of the largest of `count` values: the first of equal maxima,
 * 0 when there are none. */
template <typename T>
size_t top1(const T* values, size_t count) noexcept
{
    size_t best = 0;
    for (size_t i = 1; i < count; ++i)
        if (values[i] > values[best])
            best = i;
    return best;
}

} // namespace plugin
#endif

#endif /* BRINDLECAST_PLUGIN_LABELS_H */
