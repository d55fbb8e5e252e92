/* Internals of the serving program shared by its sources and tests. */
#ifndef BRINDLECAST_H
#define BRINDLECAST_H

#include <signal.h>
#include <stddef.h>

#include "http.h"
#include "nn_plugin.h"

namespace brindlecast {

constexpr char program_version[] = "2.1.4";
constexpr size_t http_buffer_initial = 4096;
constexpr size_t http_buffer_max = 33554432;
/* A request (head and body) must arrive within this time of its first byte. */
constexpr unsigned request_time_limit_ms = 5000;
/* A connection waits this long for its next request while nobody else waits. */
constexpr int idle_wait_ms = 5000;
/* What a new connection has for its first bytes before a waiting client or
 * datagram ends it. */
constexpr int first_request_grace_ms = 500;
/* How long the reply that ends a connection waits for the peer's close. */
constexpr int close_linger_ms = 1000;

/* ---- Plug-in binding ---------------------------------------------------- */

nn_plugin* nn_plugin_alloc(nn_plugin* plugin);
int nn_plugin_load(nn_plugin* plugin, const char* file);
int nn_plugin_unload(nn_plugin* plugin);
int nn_plugin_release(nn_plugin* plugin);
const char* nn_plugin_name(const nn_plugin* plugin);
const char* nn_plugin_version(const nn_plugin* plugin);

/* ---- Listeners and the serving loop ------------------------------------- */

extern volatile sig_atomic_t server_running;

int socket_set_blocking(int fd, int blocking);
void on_sigint(int signo);
int shutdown_handler(int socket, char* method, char* path, http_header* headers,
                     size_t header_count, char* body, size_t body_len, void* user);

/* Port text -> 1..65535, or 0 when it is not a port number. */
int parse_http_port(const char* text);

/* Each exits 1 with its message on failure; return the listening socket. */
int open_http_listener(const char* port_text, int loopback);
int open_unix_socket(const char* address);
void install_signal_handlers(void);

/* Runs the loop until server_running is cleared.  Returns 0, or -1 when the
 * request buffer could not be allocated. */
int serve(nn_plugin* plugin, int http_fd, int unix_fd);

} // namespace brindlecast

#endif
