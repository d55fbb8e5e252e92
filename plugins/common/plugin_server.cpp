#include "plugin.h"

#include <stdlib.h>
#include <string.h>

uint8_t nn_server_model_validated(nn_server* server)
{
    return server ? nn_server_common_of(server)->loaded : 0;
}

int nn_server_common_init(nn_server_common* common)
{
    memset(common, 0, sizeof *common);
    common->input_name = strdup("input");
    common->output_name = strdup("output");
    if (!common->input_name || !common->output_name) {
        nn_server_common_release(common);
        return 3;
    }
    return 0;
}

void nn_server_common_release(nn_server_common* common)
{
    if (!common)
        return;
    free(common->input_name);
    free(common->output_name);
    free(common->json.text);
    common->input_name = common->output_name = NULL;
    common->json.text = NULL;
    common->json.capacity = 0;
    labels_clear((nn_server*)common);
}

static const char* set_name(char** slot, const char* name)
{
    if (!name)
        return NULL;
    char* copy = strdup(name);
    if (!copy)
        return NULL;
    free(*slot);
    *slot = copy;
    return copy;
}

const char* nn_server_set_input_name(nn_server* server, const char* name)
{
    return server ? set_name(&nn_server_common_of(server)->input_name, name) : NULL;
}

const char* nn_server_set_output_name(nn_server* server, const char* name)
{
    return server ? set_name(&nn_server_common_of(server)->output_name, name) : NULL;
}

const char* nn_server_input_name(nn_server* server)
{
    return server ? nn_server_common_of(server)->input_name : NULL;
}

const char* nn_server_output_name(nn_server* server)
{
    return server ? nn_server_common_of(server)->output_name : NULL;
}

int labels_clear(nn_server* server)
{
    if (!server)
        return 0;
    nn_server_common* common = nn_server_common_of(server);
    int count = common->label_count;
    if (count <= 0)
        return count;
    int held = count < NN_SERVER_MAX_LABELS ? count : NN_SERVER_MAX_LABELS;
    for (int i = 0; i < held; ++i) {
        free(common->labels[i]);
        common->labels[i] = NULL;
    }
    common->label_count = 0;
    return count;
}
