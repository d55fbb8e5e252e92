/* libFuzzer target: datagrams from a hostile local client to the runtime
 * plug-in's RPC handler, with the demonstration model loaded
 * (KESTRUNE_FUZZ_MODEL names it; without it the datagrams meet a server
 * without a model).
 *
 * Input: one whole datagram, the 24-byte request header and its payload.
 * It is sent on one end of a SOCK_DGRAM socket pair, the handler serves it
 * from the other end, and the reply is read back and checked: exactly one
 * datagram, at least its 32-byte header, and an error reply carries at most
 * 255 bytes of text.  The tensor names a datagram sets are put back
 * afterwards, so every input meets the same names. */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "plugin.h"

static nn_server* server;
static int fds[2] = {-1, -1};

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    (void)argc, (void)argv;
    server = nn_server_init(0, 0, NULL, 0, NULL, 4u << 20, NULL);
    if (!server || socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0)
        abort();
    /* Room for the largest input and for a reply with a whole tensor. */
    int size = 4 << 20;
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    const char* model_path = getenv("KESTRUNE_FUZZ_MODEL");
    if (model_path && nn_server_model_load(server, model_path, 0) != 0)
        abort();
    return 0;
}

static uint32_t le32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (send(fds[1], data, size, 0) != (ssize_t)size)
        return 0; /* larger than the socket takes: not a datagram a peer can send */
    nn_server_unix_handler(server, fds[0]);

    static uint8_t reply[(4 << 20) + 64];
    ssize_t got = recv(fds[1], reply, sizeof reply, MSG_DONTWAIT);
    /* Every datagram received is answered, with at least the reply header. */
    if (got < 32)
        abort();
    if (le32(reply + 8) == 3 && got > 32 + 255)
        abort();
    if (recv(fds[1], reply, sizeof reply, MSG_DONTWAIT) >= 0)
        abort(); /* a second reply */
    /* The handler has taken the datagram off the queue. */
    if (recv(fds[0], reply, sizeof reply, MSG_DONTWAIT) >= 0)
        abort();

    nn_server_set_input_name(server, "input");
    nn_server_set_output_name(server, "output");
    return 0;
}
