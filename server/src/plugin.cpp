#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brindlecast.h"
#include "platform.h"
#include "resource.h"

namespace brindlecast {
namespace {

/* The runtime's status codes for these two failures. */
constexpr int status_missing_resource = 12;
constexpr int status_invalid_engine = 13;

/* A name that exists relative to the working directory is made absolute;
 * anything else goes to the loader unchanged.  false when it does not fit. */
bool resolve_path(const char* file, char* path, size_t size)
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
    return n >= 0 && static_cast<size_t>(n) < size;
}

} // namespace

nn_plugin* nn_plugin_alloc(nn_plugin* plugin)
{
    if (!plugin)
        return platform::calloc_one<nn_plugin>().release();
    memset(plugin, 0, sizeof *plugin);
    return plugin;
}

int nn_plugin_load(nn_plugin* plugin, const char* file)
{
    if (!plugin)
        return status_invalid_engine;
    if (!file) {
        fprintf(stderr, "failed to load plugin %s: %s\n", "(null)", strerror(EINVAL));
        return status_missing_resource;
    }
    char path[1024];
    if (!resolve_path(file, path, sizeof path)) {
        /* A cut path could name another file: refuse it. */
        fprintf(stderr, "failed to load plugin %s: %s\n", file, strerror(ENAMETOOLONG));
        return status_missing_resource;
    }
    platform::UniqueLibrary library(dl_open(path));
    if (!library) {
        const char* why = dl_error();
        fprintf(stderr, "failed to load plugin %s: %s\n", path, why ? why : "unknown error");
        return status_missing_resource;
    }
    void* init = dl_sym(library.get(), NN_PLUGIN_INIT_SYMBOL);
    if (!init)
        return status_invalid_engine;
    /* From here the record owns the library: nn_plugin_unload closes it. */
    plugin->library = library.release();
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
    plugin->library = nullptr;
    return result;
}

int nn_plugin_release(nn_plugin* plugin)
{
    if (!plugin || !plugin->library)
        return 0;
    return nn_plugin_unload(plugin);
}

const char* nn_plugin_name(const nn_plugin* plugin) { return plugin ? plugin->name : nullptr; }

const char* nn_plugin_version(const nn_plugin* plugin) { return plugin ? plugin->version : nullptr; }

} // namespace brindlecast
