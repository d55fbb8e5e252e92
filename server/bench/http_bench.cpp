/* Timing program (not run by CI): the HTTP core on loopback TCP against a
 * bare TCP exchange of the same byte counts, measured in the same run.
 *   1. 2000 keep-alive requests with 1 KiB replies vs. a bare echo of the
 *      same request and reply sizes;
 *   2. one 16 MiB upload vs. a bare 16 MiB transfer.
 * Prints each ratio (bare time / HTTP time; 1.0 means as fast as bare). */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "http.h"
#include "platform.h"

#define REQUESTS 2000
#define REPLY 1024
#define UPLOAD (16u << 20)

static char reply_body[REPLY];

static int listen_any(int* port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0 || listen(fd, 4) != 0)
        exit(1);
    socklen_t l = sizeof a;
    getsockname(fd, (struct sockaddr*)&a, &l);
    *port = ntohs(a.sin_port);
    return fd;
}

static int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0)
        exit(1);
    return fd;
}

static int read_n(int fd, char* p, size_t n)
{
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0)
            return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static int write_n(int fd, const char* p, size_t n)
{
    while (n) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0)
            return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

/* ---- HTTP side: the reader, the writer and the loop's buffer growth ----- */

static int reply_handler(int sock, char* method, char* path, http_header* h, size_t n, char* body,
                         size_t len, void* user)
{
    (void)method, (void)path, (void)h, (void)n, (void)body, (void)len, (void)user;
    return http_respond(sock, 200, "application/octet-stream", REPLY, reply_body, 0,
                        (const char*)NULL);
}

struct server_arg {
    int listen_fd;
    int bare; /* 1: echo fixed sizes, 2: swallow UPLOAD bytes */
    size_t request_size, reply_size;
};

static void* http_server(void* p)
{
    struct server_arg* a = static_cast<server_arg*>(p);
    int fd = accept(a->listen_fd, NULL, NULL);
    http_route routes[] = {{"/", 1, NULL, reply_handler}, {NULL, 0, NULL, NULL}};
    /* like the serving loop, one buffer for every connection, only grown */
    static char* buf;
    static size_t cap = 4096;
    if (!buf)
        buf = static_cast<char*>(malloc(cap));
    size_t held = 0;
    http_read_state st = {};
    for (;;) {
        int r = http_read_request_ex(fd, buf, cap, &held, routes, &st);
        if (r == 0)
            continue;
        if (!st.dispatched && errno == ENOBUFS && cap < (32u << 20)) {
            cap *= 2;
            buf = static_cast<char*>(realloc(buf, cap));
            continue;
        }
        break;
    }
    close(fd);
    return NULL;
}

static void* bare_server(void* p)
{
    struct server_arg* a = static_cast<server_arg*>(p);
    int fd = accept(a->listen_fd, NULL, NULL);
    static char* buf;
    if (!buf)
        buf = static_cast<char*>(malloc(UPLOAD));
    if (a->bare == 2) {
        read_n(fd, buf, UPLOAD);
        write_n(fd, buf, a->reply_size);
    } else {
        while (read_n(fd, buf, a->request_size) == 0 && write_n(fd, buf, a->reply_size) == 0) {
        }
    }
    close(fd);
    return NULL;
}

static double run(void* (*server)(void*), struct server_arg* a, const char* request, size_t request_size,
                  size_t reply_size, int rounds)
{
    int port;
    a->listen_fd = listen_any(&port);
    pthread_t t;
    pthread_create(&t, NULL, server, a);
    int fd = connect_to(port);
    char* reply = static_cast<char*>(malloc(reply_size));
    int64_t t0 = clock_now_ns();
    for (int i = 0; i < rounds; ++i) {
        if (write_n(fd, request, request_size) != 0 || read_n(fd, reply, reply_size) != 0) {
            fprintf(stderr, "exchange failed\n");
            exit(1);
        }
    }
    int64_t t1 = clock_now_ns();
    close(fd);
    pthread_join(t, NULL);
    close(a->listen_fd);
    free(reply);
    return (double)(t1 - t0) / 1e9;
}

static size_t reply_bytes(size_t body)
{
    /* the head http_respond writes for a 200 with this type and length */
    char head[1024];
    int n = snprintf(head, sizeof head,
                     "HTTP/1.1 200 OK\r\n"
                     "Access-Control-Allow-Origin: *\r\n"
                     "Access-Control-Allow-Methods: GET, PUT, POST, HEAD, DELETE, OPTIONS\r\n"
                     "Access-Control-Expose-Headers: *\r\n"
                     "Access-Control-Max-Age: 86400\r\n"
                     "Content-Type: application/octet-stream\r\nContent-Length: %zu\r\n\r\n",
                     body);
    return (size_t)n + body;
}

int main(void)
{
    memset(reply_body, 'r', sizeof reply_body);

    /* 1. keep-alive requests */
    const char request[] = "GET /bench HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    size_t reply_size = reply_bytes(REPLY);
    struct server_arg bare = {0, 1, sizeof request - 1, reply_size};
    struct server_arg http = {0, 0, 0, 0};
    double bare_t = 1e9, http_t = 1e9;
    for (int pass = 0; pass < 3; ++pass) { /* best of three, alternating */
        double b = run(bare_server, &bare, request, sizeof request - 1, reply_size, REQUESTS);
        double h = run(http_server, &http, request, sizeof request - 1, reply_size, REQUESTS);
        bare_t = b < bare_t ? b : bare_t;
        http_t = h < http_t ? h : http_t;
    }
    printf("keep-alive: %d requests, 1 KiB replies: bare %.3f s, http %.3f s, ratio %.2f (need >= 0.20)\n",
           REQUESTS, bare_t, http_t, bare_t / http_t);

    /* 2. one 16 MiB upload */
    char head[128];
    int hn = snprintf(head, sizeof head, "PUT /up HTTP/1.1\r\nContent-Length: %u\r\n\r\n", UPLOAD);
    char* upload = static_cast<char*>(malloc((size_t)hn + UPLOAD));
    memcpy(upload, head, (size_t)hn);
    memset(upload + hn, 'u', UPLOAD);
    struct server_arg bare2 = {0, 2, 0, reply_size};
    double bare_u = 1e9, http_u = 1e9;
    for (int pass = 0; pass < 3; ++pass) {
        double b = run(bare_server, &bare2, upload + hn, UPLOAD, reply_size, 1);
        double h = run(http_server, &http, upload, (size_t)hn + UPLOAD, reply_size, 1);
        bare_u = b < bare_u ? b : bare_u;
        http_u = h < http_u ? h : http_u;
    }
    printf("upload: 16 MiB: bare %.3f s, http %.3f s, ratio %.2f (need >= 0.25)\n", bare_u, http_u,
           bare_u / http_u);
    free(upload);
    return 0;
}
