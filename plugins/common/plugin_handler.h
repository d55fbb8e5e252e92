/* The request dispatch every engine plug-in's nn_server_http_handler does:
 * the reply buffer made ready, the method, the GET routes (model download,
 * model description, engine description) and the CORS pre-flight; the
 * engine's documents, upload and inference come in through hooks. */
#ifndef BRINDLECAST_PLUGIN_HANDLER_H
#define BRINDLECAST_PLUGIN_HANDLER_H

#include <stddef.h>
#include <stdint.h>

#include "http.h"
#include "json.h"
#include "nn_plugin.h"

/* The reply buffer holds at least this much before a request is handled. */
#define PLUGIN_MIN_REPLY_BUFFER 4096u
#define PLUGIN_KFM_MIME "application/vnd.kestrune.kfm"

namespace plugin {

/* Grows the reply buffer to at least `size` bytes (a new one starts as the
 * empty text); false when it cannot. */
bool reply_reserve(json_buffer& json, uint64_t size) noexcept;

struct HandlerHooks {
    void* user;
    /* The bytes a GET with Accept "application/vnd.kestrune.kfm" returns
     * while a model is loaded. */
    const void* model;
    uint64_t model_size;
    /* GET of a target beginning "/v1/model" while a model is loaded. */
    int (*model_description)(int socket, void* user);
    /* GET of any other target. */
    int (*engine_description)(int socket, void* user);
    int (*put)(int socket, void* user, http_header* headers, size_t header_count, char* body, size_t body_len);
    int (*post)(int socket, void* user, char* target, http_header* headers, size_t header_count, char* body,
                size_t body_len);
};

/* By the method, compared exactly: GET (the routes above, with 428 "No
 * Model Loaded" for a download and 428 {"status": "no model loaded"} for a
 * description without a model), PUT, POST, OPTIONS (204, no body); any
 * other 404 text/plain "Not Found".  Without a reply buffer of
 * PLUGIN_MIN_REPLY_BUFFER bytes: -1 with errno ENOMEM, no reply.  The
 * loaded flag is the server's nn_server_common one. */
int handle_request(int socket, const char* method, char* target, http_header* headers, size_t header_count,
                   char* body, size_t body_len, nn_server* server, const HandlerHooks& hooks) noexcept;

} // namespace plugin

#endif /* BRINDLECAST_PLUGIN_HANDLER_H */
