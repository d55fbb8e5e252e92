/* Defaults of the two entry points that the runtime plug-in replaces. They
 * are weak, so that a plug-in's own definition wins without a clash. */
#include "plugin.h"

#include <errno.h>
#include <stdbool.h>
#include <stdio.h>
#include <sys/socket.h>

int plugin_default_user_ops(nn_server* server, const char* spec)
{
    (void)server;
    (void)spec;
    return 5;
}

void plugin_default_unix_handler(nn_server* server, int socket)
{
    static bool warned;
    (void)server;
    /* Left queued, the datagram would keep the socket readable and the
     * serving loop would spin: take it off and drop it. */
    char byte;
    ssize_t n = recv(socket, &byte, sizeof byte, MSG_DONTWAIT);
    if (!warned && (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))) {
        warned = true;
        fprintf(stderr, "[WARNING] %s: this engine has no datagram interface, datagram dropped\n",
                plugin_engine_name());
    }
}

__attribute__((weak)) int nn_server_user_ops(nn_server* server, const char* spec)
{
    return plugin_default_user_ops(server, spec);
}

__attribute__((weak)) void nn_server_unix_handler(nn_server* server, int socket)
{
    plugin_default_unix_handler(server, socket);
}
