/* libFuzzer target: the request reader over a socketpair, with the serving
 * loop's buffer growth, on arbitrary client bytes. */
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "http.h"

static int handler(int sock, char* method, char* path, http_header* h, size_t n, char* body,
                   size_t len, void* user)
{
    (void)sock, (void)user;
    volatile size_t sum = strlen(method) + strlen(path);
    for (size_t i = 0; i < n; ++i)
        sum += (h[i].name ? h[i].name_len + (unsigned char)h[i].name[0] : 0) + h[i].value_len;
    if (body && len)
        sum += (unsigned char)body[0] + (unsigned char)body[len - 1];
    (void)sum;
    return 0;
}

static void drain(int fd)
{
    char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 60000)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    struct timeval tv = {0, 100000};
    setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sv[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int big = 1 << 18;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (send(sv[1], data, size, MSG_NOSIGNAL) != (ssize_t)size) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);
    http_route routes[] = {{"/", 1, nullptr, handler}, {nullptr, 0, nullptr, nullptr}};
    size_t cap = 64;
    char* buf = static_cast<char*>(malloc(cap));
    size_t held = 0;
    http_read_state st = {};
    int server_closed = 0;
    for (int i = 0; i < 10000; ++i) {
        int r = http_read_request_ex(sv[0], buf, cap, &held, routes, &st);
        drain(sv[1]);
        if (st.closed) {
            server_closed = 1;
            break;
        }
        if (r == 0)
            continue;
        if (!st.dispatched && errno == ENOBUFS && cap < (1u << 17)) {
            cap *= 2;
            char* grown = static_cast<char*>(realloc(buf, cap));
            if (!grown)
                break;
            buf = grown;
            continue;
        }
        break;
    }
    free(buf);
    if (!server_closed)
        close(sv[0]);
    close(sv[1]);
    return 0;
}
