#include "plugin_labels.h"

#include <stdlib.h>
#include <string.h>

#include "plugin_http.h"

int plugin_labels_load(nn_server* server, const char* text, size_t length)
{
    labels_clear(server);
    nn_server_common* common = nn_server_common_of(server);
    if (!text)
        return 0;
    /* Each line goes through a bounded buffer: a longer one is cut there. */
    char line[PLUGIN_LABEL_MAX + 1];
    size_t pos = 0;
    while (pos < length && common->label_count < NN_SERVER_MAX_LABELS) {
        const char* start = text + pos;
        const char* newline = static_cast<const char*>(memchr(start, '\n', length - pos));
        size_t n = newline ? static_cast<size_t>(newline - start) : length - pos;
        pos += newline ? n + 1 : n;
        if (n > 0 && start[n - 1] == '\r')
            --n;
        if (n > PLUGIN_LABEL_MAX)
            n = PLUGIN_LABEL_MAX;
        memcpy(line, start, n);
        line[n] = '\0';
        char* copy = strdup(line);
        if (!copy) {
            labels_clear(server);
            return 3;
        }
        common->labels[common->label_count++] = copy;
    }
    return 0;
}

int plugin_labels_upload(int socket, nn_server* server, const char* body, size_t length)
{
    if (plugin_labels_load(server, body, length) != 0)
        return plugin_reply_text(socket, 415, "Out of memory to load labels");
    return plugin_reply_text(socket, 200, "Success");
}

const char* plugin_label(nn_server* server, int index)
{
    const nn_server_common* common = nn_server_common_of(server);
    if (index < 0 || index >= common->label_count || index >= NN_SERVER_MAX_LABELS)
        return NULL;
    return common->labels[index];
}

int plugin_reply_top1(int socket, nn_server* server, int index, float score, int64_t timing)
{
    nn_server_common* common = nn_server_common_of(server);
    if (common->label_count <= 0)
        return plugin_reply_text(socket, 404, "Labels not loaded");
    return plugin_reply_label(socket, &common->json, plugin_label(server, index), index, score, timing);
}
