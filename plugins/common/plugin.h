/* The plug-in side of the nn_plugin record, and the entry points that every
 * engine plug-in shares. Each plug-in's own `struct nn_server` begins with an
 * `nn_server_common` member; the shared entry points work on that member and
 * leave the rest of the layout to the plug-in. */
#ifndef BRINDLECAST_PLUGIN_H
#define BRINDLECAST_PLUGIN_H

#include <stdint.h>

#include "json.h"
#include "nn_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NN_PLUGIN_EXPORT __attribute__((visibility("default")))

#define NN_SERVER_MAX_LABELS 1024

typedef struct nn_server_common {
    uint8_t loaded;    /* a model is loaded and ready */
    char* input_name;  /* heap copies, "input" and "output" at start */
    char* output_name;
    json_buffer json;  /* reply buffer of the HTTP handler; only grows */
    int label_count;
    char* labels[NN_SERVER_MAX_LABELS];
} nn_server_common;

static inline nn_server_common* nn_server_common_of(nn_server* server)
{
    return (nn_server_common*)server;
}

/* ---- supplied by each plug-in ------------------------------------------- */

/* The engine name and version nn_plugin_init puts in the record. A plug-in
 * whose engine also exports its name or version as data defines those texts
 * with NN_PLUGIN_EXPORT (for example
 * `NN_PLUGIN_EXPORT const char engine_name[] = "ArmNN";`) and returns them. */
const char* plugin_engine_name(void);
const char* plugin_engine_version(void);

/* The twelve exported entry points. The framework defines nn_plugin_init,
 * nn_plugin_cleanup and nn_server_model_validated; nn_server_user_ops and
 * nn_server_unix_handler have defaults that a plug-in replaces by defining
 * its own; each plug-in defines the other seven. */
NN_PLUGIN_EXPORT int nn_plugin_init(nn_plugin* plugin);
NN_PLUGIN_EXPORT void nn_plugin_cleanup(nn_plugin* plugin);
NN_PLUGIN_EXPORT int nn_server_options(nn_server* server, const nn_plugin_options* options);
NN_PLUGIN_EXPORT nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size,
                                           void* cache, size_t max_model_size, void* model_buffer);
NN_PLUGIN_EXPORT void nn_server_release(nn_server* server);
NN_PLUGIN_EXPORT int nn_server_model_load(nn_server* server, const char* path, int map);
NN_PLUGIN_EXPORT void nn_server_model_unload(nn_server* server);
NN_PLUGIN_EXPORT int nn_server_http_handler(int socket, char* method, char* path, http_header* headers,
                                            size_t header_count, char* body, size_t body_len, void* user);
NN_PLUGIN_EXPORT int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer,
                                               uint8_t verbose, uint8_t io_time, uint8_t all_layers,
                                               const char* output_name, const char* export_path);
NN_PLUGIN_EXPORT uint8_t nn_server_model_validated(nn_server* server);
NN_PLUGIN_EXPORT int nn_server_user_ops(nn_server* server, const char* spec);
NN_PLUGIN_EXPORT void nn_server_unix_handler(nn_server* server, int socket);

/* ---- shared helpers ------------------------------------------------------- */

/* The defaults behind nn_server_user_ops (5, not implemented) and
 * nn_server_unix_handler (receives and drops one queued datagram, so that
 * the socket does not stay readable, warning once on stderr). */
int plugin_default_user_ops(nn_server* server, const char* spec);
void plugin_default_unix_handler(nn_server* server, int socket);

/* Sets the names to "input" and "output" and everything else to empty;
 * 0, or 3 (out of memory) with nothing held. */
int nn_server_common_init(nn_server_common* common);
/* Frees the names, the reply buffer and the labels. */
void nn_server_common_release(nn_server_common* common);

/* Free the old name and store a heap copy of `name`; return the copy. On a
 * NULL name or a failed copy the old name stays and NULL is returned. */
const char* nn_server_set_input_name(nn_server* server, const char* name);
const char* nn_server_set_output_name(nn_server* server, const char* name);
const char* nn_server_input_name(nn_server* server);
const char* nn_server_output_name(nn_server* server);

/* Frees the labels and clears their slots; returns the old count (a count of
 * 0 or less is returned unchanged). */
int labels_clear(nn_server* server);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_PLUGIN_H */
