/* Loading, unloading and release of compute-engine plug-in libraries. */
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrune/nn_engine_plugin.h"
#include "platform.h"
#include "resource.h"

#define ENGINE_PATH_MAX 1024

/* Relative names of existing files become absolute so that the dynamic loader
 * opens that file rather than searching its library path.  Returns false when
 * the resolved path does not fit the buffer. */
static bool resolve_engine_path(const char* path, char out[ENGINE_PATH_MAX])
{
    struct stat st;
    int n;
    if (path[0] == '/' || (path[0] != '\0' && path[1] == ':') || stat(path, &st) != 0) {
        n = snprintf(out, ENGINE_PATH_MAX, "%s", path);
    } else {
        char cwd[ENGINE_PATH_MAX];
        if (!getcwd(cwd, sizeof cwd))
            return false;
        n = snprintf(out, ENGINE_PATH_MAX, "%s/%s", cwd, path);
    }
    return n >= 0 && n < ENGINE_PATH_MAX;
}

NN_API int nn_engine_load(nn_engine* engine, const char* path)
{
    if (!engine)
        return NN_ERROR_INVALID_ENGINE;
    if (!path)
        return NN_ERROR_INVALID_PARAMETER;

    char resolved[ENGINE_PATH_MAX];
    if (!resolve_engine_path(path, resolved))
        return NN_ERROR_INVALID_PARAMETER;

    /* A record that holds a library already gives it up first (fini, close,
     * slots cleared), so that the old library is neither leaked nor left
     * filling slots beside the new one. */
    if (engine->handle)
        nn_engine_unload(engine);

    platform::UniqueLibrary library(dl_open(resolved));
    if (!library) {
        fprintf(stderr, "failed to load plugin %s: %s\n", resolved, dl_error());
        engine->handle = nullptr;
        return NN_ERROR_MISSING_RESOURCE;
    }

    /* The symbol is a function; the void* round trip is what dlsym offers. */
    void* init = dl_sym(library.get(), "nn_engine_plugin_init");
    engine->init = reinterpret_cast<nn_engine_init_fn>(init);
    if (!init) {
        engine->handle = nullptr;
        return NN_ERROR_INVALID_ENGINE;
    }
    engine->handle = library.release();
    /* A failing init leaves the library loaded: the caller releases it. */
    return engine->init(engine);
}

NN_API void nn_engine_unload(nn_engine* engine)
{
    if (!engine)
        return;
    if (engine->fini)
        engine->fini(engine);
    if (engine->handle) {
        dl_close(engine->handle);
        /* Every slot, name and version included, pointed into the library
         * that is now gone. */
        memset(engine, 0, NN_ENGINE_SLOT_COUNT * sizeof(void*));
    }
    engine->handle = NULL;
}

NN_API void nn_engine_release(nn_engine* engine)
{
    if (engine && engine->handle)
        nn_engine_unload(engine);
}
