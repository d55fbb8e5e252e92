#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brindlecast.h"
#include "platform.h"

#define STATUS_MISSING_RESOURCE 12
#define STATUS_INVALID_ENGINE 13

nn_plugin* nn_plugin_alloc(nn_plugin* plugin)
{
    if (!plugin)
        return static_cast<nn_plugin*>(calloc(1, sizeof *plugin));
    memset(plugin, 0, sizeof *plugin);
    return plugin;
}

/* A name that exists relative to the working directory is made absolute;
 * anything else goes to the loader unchanged.  false when it does not fit. */
static int resolve_path(const char* file, char* path, size_t size)
{
    struct stat st;
    int n;
    if (file[0] == '/' || (file[0] != '\0' && file[1] == ':') || stat(file, &st) != 0) {
        n = snprintf(path, size, "%s", file);
    } else {
        char cwd[1024];
        if (getcwd(cwd, sizeof cwd))
            n = snprintf(path, size, "%s/%s", cwd, file);
        else
            n = snprintf(path, size, "%s", file);
    }
    return n >= 0 && (size_t)n < size;
}

int nn_plugin_load(nn_plugin* plugin, const char* file)
{
    if (!plugin)
        return STATUS_INVALID_ENGINE;
    if (!file) {
        fprintf(stderr, "failed to load plugin %s: %s\n", "(null)", strerror(EINVAL));
        return STATUS_MISSING_RESOURCE;
    }
    char path[1024];
    if (!resolve_path(file, path, sizeof path)) {
        /* A cut path could name another file: refuse it. */
        fprintf(stderr, "failed to load plugin %s: %s\n", file, strerror(ENAMETOOLONG));
        return STATUS_MISSING_RESOURCE;
    }
    plugin->library = dl_open(path);
    if (!plugin->library) {
        const char* why = dl_error();
        fprintf(stderr, "failed to load plugin %s: %s\n", path, why ? why : "unknown error");
        return STATUS_MISSING_RESOURCE;
    }
    void* init = dl_sym(plugin->library, NN_PLUGIN_INIT_SYMBOL);
    if (!init) {
        dl_close(plugin->library);
        plugin->library = NULL;
        return STATUS_INVALID_ENGINE;
    }
    memcpy(&plugin->nn_plugin_init, &init, sizeof init);
    return plugin->nn_plugin_init(plugin);
}

int nn_plugin_unload(nn_plugin* plugin)
{
    if (!plugin)
        return 0;
    if (plugin->nn_plugin_cleanup)
        plugin->nn_plugin_cleanup(plugin);
    int result = plugin->library ? dl_close(plugin->library) : 0;
    plugin->library = NULL;
    return result;
}

int nn_plugin_release(nn_plugin* plugin)
{
    if (!plugin || !plugin->library)
        return 0;
    return nn_plugin_unload(plugin);
}

const char* nn_plugin_name(const nn_plugin* plugin) { return plugin ? plugin->name : NULL; }

const char* nn_plugin_version(const nn_plugin* plugin) { return plugin ? plugin->version : NULL; }
