#include "plugin.h"

int nn_plugin_init(nn_plugin* plugin)
{
    if (!plugin)
        return 6;
    /* The server, library, reserved and init fields are the program's. */
    plugin->name = plugin_engine_name();
    plugin->version = plugin_engine_version();
    plugin->nn_plugin_cleanup = nn_plugin_cleanup;
    plugin->nn_server_options = nn_server_options;
    plugin->nn_server_init = nn_server_init;
    plugin->nn_server_release = nn_server_release;
    plugin->nn_server_model_load = nn_server_model_load;
    plugin->nn_server_model_unload = nn_server_model_unload;
    plugin->nn_server_http_handler = nn_server_http_handler;
    plugin->nn_server_model_benchmark = nn_server_model_benchmark;
    plugin->nn_server_model_validated = nn_server_model_validated;
    plugin->nn_server_user_ops = nn_server_user_ops;
    plugin->nn_server_unix_handler = nn_server_unix_handler;
    return 0;
}

void nn_plugin_cleanup(nn_plugin* plugin)
{
    if (plugin && plugin->server)
        nn_server_release(plugin->server);
}
