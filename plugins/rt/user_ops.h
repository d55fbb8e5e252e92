/* User operations and the datagram RPC of the runtime plug-in. */
#ifndef BRINDLECAST_RT_USER_OPS_H
#define BRINDLECAST_RT_USER_OPS_H

#include <stddef.h>
#include <sys/socket.h>

#include "kestrune/nn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The one callback registered with the runtime: offers `operation` to the
 * loaded handlers in load order and returns the first result other than 5;
 * 5 (with a message) when none takes it. */
int user_op_dispatch(nn_context* context, const char* operation, size_t layer);

/* Handlers loaded so far in this process. */
size_t rt_user_op_handler_count(void);

/* Prints `text` ("%.*s\n") on stderr and sends the error reply (flags 3)
 * with it to `peer`; `length` 0 means strlen(text); at most 255 bytes go. */
void unix_send_error(int socket, const struct sockaddr* peer, socklen_t peer_length, const char* text,
                     size_t length);

#ifdef __cplusplus
}
#endif

#endif
