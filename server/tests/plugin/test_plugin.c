/* Stand-in engine plug-in for the program's tests.  Every entry call is
 * logged with its arguments on stderr as one "plugin: ..." line.  Variants
 * (compile definitions): NO_INIT, INIT_FAILS (7), SERVER_NULL,
 * USER_OPS_UNSUPPORTED (5), NO_CLEANUP. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "http.h"
#include "nn_plugin.h"

#define EXPORT __attribute__((visibility("default")))

struct nn_server {
    int compute;
    int unix_datagrams;
};

static uint32_t crc32_of(const unsigned char* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

EXPORT void nn_plugin_cleanup(nn_plugin* plugin);
EXPORT int nn_server_options(nn_server* server, const nn_plugin_options* options);
EXPORT nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size,
                                 void* cache, size_t max_model_size, void* model_buffer);
EXPORT void nn_server_release(nn_server* server);
EXPORT int nn_server_model_load(nn_server* server, const char* path, int map);
EXPORT void nn_server_model_unload(nn_server* server);
EXPORT int nn_server_http_handler(int socket, char* method, char* path, http_header* headers,
                                  size_t header_count, char* body, size_t body_len, void* user);
EXPORT int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer,
                                     uint8_t verbose, uint8_t io_time, uint8_t all_layers,
                                     const char* output_name, const char* export_path);
EXPORT uint8_t nn_server_model_validated(nn_server* server);
EXPORT int nn_server_user_ops(nn_server* server, const char* spec);
EXPORT void nn_server_unix_handler(nn_server* server, int socket);

#ifndef NO_INIT
EXPORT int nn_plugin_init(nn_plugin* plugin)
{
    fprintf(stderr, "plugin: nn_plugin_init server=%p library=%s reserved=%p init=%s\n",
            (void*)plugin->server, plugin->library ? "set" : "null", plugin->reserved,
            plugin->nn_plugin_init ? "set" : "null");
    plugin->name = "TestEngine";
    plugin->version = "9.8.7";
#ifndef NO_CLEANUP
    plugin->nn_plugin_cleanup = nn_plugin_cleanup;
#endif
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
#ifdef INIT_FAILS
    return 7;
#else
    return 0;
#endif
}
#endif

void nn_plugin_cleanup(nn_plugin* plugin)
{
    fprintf(stderr, "plugin: nn_plugin_cleanup\n");
    nn_server_release(plugin->server);
}

int nn_server_options(nn_server* server, const nn_plugin_options* o)
{
    fprintf(stderr, "plugin: nn_server_options server=%s threads=%d compute=%d opt_level=%d\n",
            server ? "set" : "null", o->threads, o->compute, o->opt_level);
    return 9; /* not looked at */
}

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size,
                          void* cache, size_t max_model_size, void* model_buffer)
{
    fprintf(stderr,
            "plugin: nn_server_init compute=%d mempool=%zd pool=%p cache=%zd cache_mem=%p "
            "max_model=%zd model=%p\n",
            compute, (ssize_t)mempool_size, mempool, (ssize_t)cache_size, cache,
            (ssize_t)max_model_size, model_buffer);
#ifdef SERVER_NULL
    return NULL;
#else
    nn_server* s = calloc(1, sizeof *s);
    if (s)
        s->compute = compute;
    return s;
#endif
}

void nn_server_release(nn_server* server)
{
    fprintf(stderr, "plugin: nn_server_release\n");
    free(server);
}

int nn_server_model_load(nn_server* server, const char* path, int map)
{
    (void)server;
    fprintf(stderr, "plugin: nn_server_model_load path=%s map=%d\n", path, map);
    if (strstr(path, "enoent")) {
        errno = ENOENT;
        return 18;
    }
    if (strstr(path, "invalid"))
        return 20;
    if (strstr(path, "status99"))
        return 99;
    return 0;
}

void nn_server_model_unload(nn_server* server)
{
    (void)server;
    fprintf(stderr, "plugin: nn_server_model_unload\n");
}

/* Answers 200 text/plain describing the request:
 * "<method> <path>\n<name>:<name length>:<value length>\n...body <length> <crc32 hex>\n" */
int nn_server_http_handler(int socket, char* method, char* path, http_header* headers,
                           size_t header_count, char* body, size_t body_len, void* user)
{
    char text[4096];
    int used = snprintf(text, sizeof text, "%s %s\n", method, path);
    for (size_t i = 0; i < header_count && used < (int)sizeof text; ++i) {
        /* names may be NULL (continuations): compare lengths first */
        used += snprintf(text + used, sizeof text - (size_t)used, "%.*s:%zu:%zu\n",
                         (int)headers[i].name_len, headers[i].name ? headers[i].name : "",
                         headers[i].name_len, headers[i].value_len);
    }
    if (used < (int)sizeof text)
        used += snprintf(text + used, sizeof text - (size_t)used, "body %zu %08x\n", body_len,
                         body ? crc32_of((const unsigned char*)body, body_len) : 0u);
    if (used >= (int)sizeof text)
        used = (int)sizeof text - 1;
    fprintf(stderr, "plugin: nn_server_http_handler %s %s headers=%zu body=%zu user=%s\n", method,
            path, header_count, body_len, user ? "set" : "null");
    /* /sized/<n> answers n bytes, for replies of a chosen size */
    if (strncmp(path, "/sized/", 7) == 0) {
        size_t n = (size_t)strtoul(path + 7, NULL, 10);
        if (n > (64u << 20))
            n = 64u << 20;
        char* reply = malloc(n ? n : 1);
        if (!reply)
            return -1;
        memset(reply, 'r', n);
        int r = http_respond(socket, 200, "application/octet-stream", n, reply, 0, (const char*)NULL);
        free(reply);
        return r;
    }
    if (strcmp(path, "/close") == 0) /* the reply ends the connection itself */
        return http_respond(socket, 200, "text/plain", (size_t)used, text, HTTP_CLOSE, (const char*)NULL);
    if (strcmp(path, "/fail") == 0) {
        errno = ENOBUFS; /* a handler failure: ends the connection, never grows the buffer */
        return -1;
    }
    return http_respond(socket, 200, "text/plain", (size_t)used, text, 0, (const char*)NULL);
}

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer,
                              uint8_t verbose, uint8_t io_time, uint8_t all_layers,
                              const char* output_name, const char* export_path)
{
    fprintf(stderr,
            "plugin: nn_server_model_benchmark server=%s iterations=%d pause=%d layer=%d verbose=%u "
            "io_time=%u all_layers=%u output=%s export=%s\n",
            server ? "set" : "null", iterations, pause_ms, layer, verbose, io_time, all_layers,
            output_name ? output_name : "(null)", export_path ? export_path : "(null)");
    return 3; /* not looked at */
}

uint8_t nn_server_model_validated(nn_server* server)
{
    (void)server;
    return 0;
}

int nn_server_user_ops(nn_server* server, const char* spec)
{
    (void)server;
    fprintf(stderr, "plugin: nn_server_user_ops spec=%s\n", spec);
#ifdef USER_OPS_UNSUPPORTED
    return 5;
#else
    return strcmp(spec, "bad:op") == 0 ? 6 : 0;
#endif
}

/* Reads one datagram and sends it back to a sender that has an address;
 * "close" closes the socket behind the program's back. */
void nn_server_unix_handler(nn_server* server, int socket)
{
    char buf[256];
    struct sockaddr_un from;
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(socket, buf, sizeof buf - 1, MSG_DONTWAIT, (struct sockaddr*)&from,
                         &from_len);
    buf[n > 0 ? n : 0] = '\0';
    server->unix_datagrams++;
    fprintf(stderr, "plugin: nn_server_unix_handler datagram=%s\n", buf);
    if (strcmp(buf, "close") == 0) {
        close(socket);
        return;
    }
    if (n > 0 && from_len > sizeof from.sun_family)
        sendto(socket, buf, (size_t)n, MSG_DONTWAIT, (struct sockaddr*)&from, from_len);
}
