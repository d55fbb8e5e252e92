/* The record shared by brindlecast and an engine plug-in.  The program
 * allocates it zero-filled, sets `server`, `library` and `nn_plugin_init`; the
 * plug-in's nn_plugin_init fills `name`, `version` and the other eleven entry
 * points.  The layout is fixed: program and plug-ins are built apart. */
#ifndef BRINDLECAST_NN_PLUGIN_H
#define BRINDLECAST_NN_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#include "http.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nn_plugin nn_plugin;
typedef struct nn_server nn_server; /* each plug-in's own, opaque here */

/* Handed by address to nn_server_options. */
typedef struct nn_plugin_options {
    int32_t threads;   /* default 4 */
    int32_t compute;   /* default 0 */
    int32_t opt_level; /* default 3 */
} nn_plugin_options;

typedef int (*nn_plugin_init_fn)(nn_plugin* plugin);
typedef void (*nn_plugin_cleanup_fn)(nn_plugin* plugin);
typedef int (*nn_server_options_fn)(nn_server* server, const nn_plugin_options* options);
/* (compute, memory-pool size, pool memory or NULL, cache size, cache memory or
 * NULL, maximum model size, model buffer or NULL) -> server, NULL on failure */
typedef nn_server* (*nn_server_init_fn)(int compute, size_t mempool_size, void* mempool,
                                        size_t cache_size, void* cache, size_t max_model_size,
                                        void* model_buffer);
typedef void (*nn_server_release_fn)(nn_server* server);
/* map: 1 maps the file.  Status 18 means errno holds the cause. */
typedef int (*nn_server_model_load_fn)(nn_server* server, const char* path, int map);
typedef void (*nn_server_model_unload_fn)(nn_server* server);
/* The route handler; its user pointer is the nn_server. */
typedef http_handler nn_server_http_handler_fn;
typedef int (*nn_server_model_benchmark_fn)(nn_server* server, int iterations, int pause_ms,
                                            int layer, uint8_t verbose, uint8_t io_time,
                                            uint8_t all_layers, const char* output_name,
                                            const char* export_path);
typedef uint8_t (*nn_server_model_validated_fn)(nn_server* server);
/* spec: "library:callback"; non-zero fails start-up, 5 means unsupported */
typedef int (*nn_server_user_ops_fn)(nn_server* server, const char* spec);
typedef void (*nn_server_unix_handler_fn)(nn_server* server, int socket);

struct nn_plugin {
    const char* name;    /* set by the plug-in, static */
    const char* version; /* set by the plug-in */
    nn_server* server;   /* set by the program after nn_server_init */
    void* library;       /* set by the program */
    void* reserved;      /* stays zero */
    nn_plugin_init_fn nn_plugin_init; /* set by the program */
    nn_plugin_cleanup_fn nn_plugin_cleanup;
    nn_server_options_fn nn_server_options;
    nn_server_init_fn nn_server_init;
    nn_server_release_fn nn_server_release;
    nn_server_model_load_fn nn_server_model_load;
    nn_server_model_unload_fn nn_server_model_unload;
    nn_server_http_handler_fn nn_server_http_handler;
    nn_server_model_benchmark_fn nn_server_model_benchmark;
    nn_server_model_validated_fn nn_server_model_validated;
    nn_server_user_ops_fn nn_server_user_ops;
    nn_server_unix_handler_fn nn_server_unix_handler;
};

#ifdef __cplusplus
#define NN_PLUGIN_STATIC_ASSERT static_assert
#else
#define NN_PLUGIN_STATIC_ASSERT _Static_assert
#endif
NN_PLUGIN_STATIC_ASSERT(sizeof(nn_plugin) == 17 * sizeof(void*), "nn_plugin has 17 fields");
NN_PLUGIN_STATIC_ASSERT(offsetof(nn_plugin, server) == 2 * sizeof(void*), "server is field 3");
NN_PLUGIN_STATIC_ASSERT(offsetof(nn_plugin, reserved) == 4 * sizeof(void*), "reserved is field 5");
NN_PLUGIN_STATIC_ASSERT(offsetof(nn_plugin, nn_plugin_init) == 5 * sizeof(void*), "init is field 6");
NN_PLUGIN_STATIC_ASSERT(offsetof(nn_plugin, nn_server_init) == 8 * sizeof(void*), "server_init is field 9");
NN_PLUGIN_STATIC_ASSERT(offsetof(nn_plugin, nn_server_http_handler) == 12 * sizeof(void*),
                        "http_handler is field 13");
NN_PLUGIN_STATIC_ASSERT(offsetof(nn_plugin, nn_server_unix_handler) == 16 * sizeof(void*),
                        "unix_handler is field 17");
NN_PLUGIN_STATIC_ASSERT(sizeof(nn_plugin_options) == 12, "three 32-bit ints");
#undef NN_PLUGIN_STATIC_ASSERT

/* Exported by every plug-in; the one symbol the program looks up. */
#define NN_PLUGIN_INIT_SYMBOL "nn_plugin_init"

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_NN_PLUGIN_H */
