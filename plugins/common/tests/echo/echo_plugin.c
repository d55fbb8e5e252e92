/* The echo engine plug-in: built on the framework and the HTTP core like
 * every engine plug-in, it runs no model and answers each request with what
 * it received, so that tests can see the framework end to end. It is named
 * like the runtime plug-in so that the program loads it by default. */
#include "http.h"
#include "json.h"
#include "json_alloc.h"
#include "multipart.h"
#include "plugin.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

struct nn_server {
    nn_server_common common; /* first: the shared entry points use it */
    void* model;
    size_t model_size;
};

const char* plugin_engine_name(void)
{
    return "Echo";
}

const char* plugin_engine_version(void)
{
    return "1.0.0";
}

int nn_server_options(nn_server* server, const nn_plugin_options* options)
{
    (void)server;
    (void)options;
    return 0;
}

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size, void* cache,
                          size_t max_model_size, void* model_buffer)
{
    (void)compute, (void)mempool_size, (void)mempool, (void)cache_size, (void)cache;
    (void)max_model_size, (void)model_buffer;
    nn_server* server = calloc(1, sizeof *server);
    if (!server)
        return NULL;
    if (nn_server_common_init(&server->common) != 0) {
        free(server);
        return NULL;
    }
    return server;
}

void nn_server_model_unload(nn_server* server)
{
    if (!server)
        return;
    if (server->model)
        munmap(server->model, server->model_size);
    server->model = NULL;
    server->model_size = 0;
    server->common.loaded = 0;
}

void nn_server_release(nn_server* server)
{
    if (!server)
        return;
    nn_server_model_unload(server);
    nn_server_common_release(&server->common);
    free(server);
}

int nn_server_model_load(nn_server* server, const char* path, int map)
{
    (void)map; /* the file is always mapped */
    if (!server || !path)
        return 6;
    nn_server_model_unload(server);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 18;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        int e = st.st_size <= 0 ? EINVAL : errno;
        close(fd);
        errno = e;
        return 18;
    }
    void* bytes = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    int e = errno;
    close(fd);
    if (bytes == MAP_FAILED) {
        errno = e;
        return 18;
    }
    server->model = bytes;
    server->model_size = (size_t)st.st_size;
    server->common.loaded = 1;
    return 0;
}

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer, uint8_t verbose,
                              uint8_t io_time, uint8_t all_layers, const char* output_name,
                              const char* export_path)
{
    (void)server, (void)iterations, (void)pause_ms, (void)layer, (void)verbose, (void)io_time;
    (void)all_layers, (void)output_name, (void)export_path;
    return 5;
}

#ifdef ECHO_OWN_USER_OPS
/* The variant that replaces the framework's defaults, as the runtime plug-in
 * does: its own definitions win over the weak ones. */
int nn_server_user_ops(nn_server* server, const char* spec)
{
    (void)server;
    return spec && strcmp(spec, "echo:accept") == 0 ? 0 : 6;
}

void nn_server_unix_handler(nn_server* server, int socket)
{
    (void)server;
    char byte;
    (void)recv(socket, &byte, sizeof byte, MSG_DONTWAIT); /* dropped without a warning */
}
#endif

/* A header's name or value (not terminated in the request) as a string. */
static char* put_counted(json_buffer* json, char* pos, const char* name, const char* text, size_t length)
{
    if (!pos)
        return NULL;
    char* copy = text ? strndup(text, length) : NULL;
    if (text && !copy)
        return NULL;
    pos = copy ? json_str(&json->text, &json->capacity, pos, name, copy)
               : json_null(&json->text, &json->capacity, pos, name);
    free(copy);
    return pos;
}

static char* echo_request(json_buffer* json, const char* method, const char* path, const http_header* headers,
                          size_t header_count, size_t body_len)
{
    char* pos = json->text;
    pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
    pos = pos ? json_str(&json->text, &json->capacity, pos, "method", method) : NULL;
    pos = pos ? json_str(&json->text, &json->capacity, pos, "target", path) : NULL;
    pos = pos ? json_arr_open(&json->text, &json->capacity, pos, "headers") : NULL;
    for (size_t i = 0; pos && i < header_count; ++i) {
        pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
        pos = put_counted(json, pos, "name", headers[i].name, headers[i].name_len);
        pos = put_counted(json, pos, "value", headers[i].value, headers[i].value_len);
        pos = pos ? json_obj_close(&json->text, &json->capacity, pos) : NULL;
    }
    pos = pos ? json_arr_close(&json->text, &json->capacity, pos) : NULL;
    pos = pos ? json_uint64(&json->text, &json->capacity, pos, "body_length", body_len) : NULL;
    pos = pos ? json_obj_close(&json->text, &json->capacity, pos) : NULL;
    return pos ? json_end(json->text, pos) : NULL;
}

static char* echo_parts(json_buffer* json, const char* body, size_t body_len)
{
    char* pos = json->text;
    pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
    pos = pos ? json_arr_open(&json->text, &json->capacity, pos, "parts") : NULL;
    uint64_t at = 0;
    while (pos && body && at < body_len) {
        multipart_part part;
        part.content_type[0] = '\0'; /* each part's own type */
        uint64_t next = multipart_next_part(body + at, body_len - at, part.name, part.filename,
                                            sizeof part.filename, part.content_type, sizeof part.content_type,
                                            &part.data, &part.length);
        if (next == 0)
            break;
        pos = json_obj_open(&json->text, &json->capacity, pos, NULL);
        pos = pos ? json_str(&json->text, &json->capacity, pos, "name", part.name) : NULL;
        pos = pos ? json_str(&json->text, &json->capacity, pos, "filename", part.filename) : NULL;
        pos = pos ? json_str(&json->text, &json->capacity, pos, "content_type", part.content_type) : NULL;
        pos = pos ? json_uint64(&json->text, &json->capacity, pos, "length", part.length) : NULL;
        pos = pos ? json_base64(&json->text, &json->capacity, pos, "data", part.data, part.length) : NULL;
        pos = pos ? json_obj_close(&json->text, &json->capacity, pos) : NULL;
        at += next;
    }
    pos = pos ? json_arr_close(&json->text, &json->capacity, pos) : NULL;
    pos = pos ? json_obj_close(&json->text, &json->capacity, pos) : NULL;
    return pos ? json_end(json->text, pos) : NULL;
}

/* "json_limit=N" in a target makes every reply-buffer growth above N bytes
 * fail during that request, starting from an empty buffer: tests use it to
 * reach the 500 reply of a writer failure. */
static size_t json_limit;

static int respond(int socket, const char* method, const char* path, const http_header* headers,
                   size_t header_count, const char* body, size_t body_len, json_buffer* json);

static void* limited_realloc(void* block, size_t size)
{
    return size > json_limit ? NULL : realloc(block, size);
}

int nn_server_http_handler(int socket, char* method, char* path, http_header* headers, size_t header_count,
                           char* body, size_t body_len, void* user)
{
    nn_server* server = user;
    json_buffer* json = &server->common.json;
    const char* limit = strstr(path, "json_limit=");
    if (limit) {
        json_limit = strtoull(limit + 11, NULL, 10);
        free(json->text);
        json->text = NULL;
        json->capacity = 0;
        json_set_realloc(limited_realloc);
    }
    int result = respond(socket, method, path, headers, header_count, body, body_len, json);
    if (limit)
        json_set_realloc(NULL);
    return result;
}

static int respond(int socket, const char* method, const char* path, const http_header* headers,
                   size_t header_count, const char* body, size_t body_len, json_buffer* json)
{
    char* end;
    if (strcmp(method, "OPTIONS") == 0)
        return http_respond(socket, 204, "", 0, NULL, 0, (const char*)NULL);
    if (strcmp(method, "GET") == 0)
        end = echo_request(json, method, path, headers, header_count, body_len);
    else if (strcmp(method, "PUT") == 0 || strcmp(method, "POST") == 0)
        end = echo_parts(json, body, body_len);
    else
        return http_respond(socket, 405, "text/plain", 18, "Method Not Allowed", 0, (const char*)NULL);
    if (!end)
        return http_respond(socket, 500, "text/plain", 23, "JSON Response Too Large", 0, (const char*)NULL);
    return http_respond(socket, 200, "application/json", (size_t)(end - json->text), json->text, 0,
                        (const char*)NULL);
}
