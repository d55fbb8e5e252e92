#include "plugin_handler.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "plugin.h"
#include "plugin_http.h"

namespace plugin {

bool reply_reserve(json_buffer& json, uint64_t size) noexcept
{
    if (json.capacity >= size)
        return true;
    if (size > SIZE_MAX)
        return false;
    char* text = static_cast<char*>(realloc(json.text, static_cast<size_t>(size)));
    if (!text)
        return false;
    if (json.capacity == 0)
        text[0] = '\0';
    json.text = text;
    json.capacity = size;
    return true;
}

namespace {

int get(int socket, const char* target, const http_header* headers, size_t header_count, bool loaded,
        const HandlerHooks& hooks)
{
    if (strncmp(target, "/v1/model", 9) != 0)
        return hooks.engine_description(socket, hooks.user);
    for (size_t i = 0; i < header_count; ++i) {
        if (!headers[i].name || !equals_nocase(header_name(headers[i]), "Accept") ||
            !equals_nocase(header_value(headers[i]), PLUGIN_KFM_MIME))
            continue;
        if (!loaded)
            return plugin_reply_text(socket, 428, "No Model Loaded");
        return http_respond(socket, 200, PLUGIN_KFM_MIME, static_cast<size_t>(hooks.model_size), hooks.model, 0,
                            (const char*)NULL);
    }
    if (!loaded)
        return plugin_reply_text(socket, 428, "{\"status\": \"no model loaded\"}");
    return hooks.model_description(socket, hooks.user);
}

} // namespace

int handle_request(int socket, const char* method, char* target, http_header* headers, size_t header_count,
                   char* body, size_t body_len, nn_server* server, const HandlerHooks& hooks) noexcept
{
    nn_server_common* common = server ? nn_server_common_of(server) : nullptr;
    if (!common || !reply_reserve(common->json, PLUGIN_MIN_REPLY_BUFFER)) {
        errno = ENOMEM;
        return -1;
    }
    if (strcmp(method, "GET") == 0)
        return get(socket, target, headers, header_count, common->loaded != 0, hooks);
    if (strcmp(method, "PUT") == 0)
        return hooks.put(socket, hooks.user, headers, header_count, body, body_len);
    if (strcmp(method, "POST") == 0)
        return hooks.post(socket, hooks.user, target, headers, header_count, body, body_len);
    if (strcmp(method, "OPTIONS") == 0)
        return http_respond(socket, 204, "", 0, NULL, 0, (const char*)NULL);
    return plugin_reply_text(socket, 404, "Not Found");
}

} // namespace plugin
