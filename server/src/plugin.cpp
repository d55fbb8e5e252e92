#include <errno.h>
#include <stddef.h>
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

/* The record's layout as plug-ins built apart expect it: every field one
 * pointer wide, in declaration order; the options three 32-bit ints. */
constexpr size_t nn_plugin_offsets[] = {
    offsetof(nn_plugin, name),
    offsetof(nn_plugin, version),
    offsetof(nn_plugin, server),
    offsetof(nn_plugin, library),
    offsetof(nn_plugin, reserved),
    offsetof(nn_plugin, nn_plugin_init),
    offsetof(nn_plugin, nn_plugin_cleanup),
    offsetof(nn_plugin, nn_server_options),
    offsetof(nn_plugin, nn_server_init),
    offsetof(nn_plugin, nn_server_release),
    offsetof(nn_plugin, nn_server_model_load),
    offsetof(nn_plugin, nn_server_model_unload),
    offsetof(nn_plugin, nn_server_http_handler),
    offsetof(nn_plugin, nn_server_model_benchmark),
    offsetof(nn_plugin, nn_server_model_validated),
    offsetof(nn_plugin, nn_server_user_ops),
    offsetof(nn_plugin, nn_server_unix_handler),
};
constexpr bool nn_plugin_fields_in_order()
{
    for (size_t i = 0; i < sizeof nn_plugin_offsets / sizeof nn_plugin_offsets[0]; ++i)
        if (nn_plugin_offsets[i] != i * sizeof(void*))
            return false;
    return true;
}
static_assert(nn_plugin_fields_in_order(), "an nn_plugin field moved");
static_assert(sizeof(nn_plugin) == 17 * sizeof(void*), "nn_plugin has 17 fields");
static_assert(offsetof(nn_plugin_options, threads) == 0 && offsetof(nn_plugin_options, compute) == 4 &&
                  offsetof(nn_plugin_options, opt_level) == 8 && sizeof(nn_plugin_options) == 12,
              "nn_plugin_options is threads, compute, opt_level");

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
    plugin->library = nullptr; /* also after a failed load */
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
