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
#include <unistd.h>

#include <algorithm>

#include "http.h"
#include "platform.h"
#include "resource.h"

namespace {

constexpr int requests = 2000;
constexpr size_t reply = 1024;
constexpr size_t upload = 16u << 20;

char reply_body[reply];

/* The servers' buffers, kept across runs: the HTTP one only grows, like the
 * serving loop's. */
platform::unique_malloc<char[]> http_buffer;
size_t http_capacity = 4096;
platform::unique_malloc<char[]> bare_buffer;

platform::UniqueFd listen_any(int* port)
{
    platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd.get(), 4) != 0)
        exit(1);
    socklen_t l = sizeof a;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &l);
    *port = ntohs(a.sin_port);
    return fd;
}

platform::UniqueFd connect_to(int port)
{
    platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        exit(1);
    return fd;
}

int read_n(int fd, char* p, size_t n)
{
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0)
            return -1;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

int write_n(int fd, const char* p, size_t n)
{
    while (n) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0)
            return -1;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

/* A thread joined when the owner ends. */
class JoinedThread {
public:
    JoinedThread(void* (*body)(void*), void* arg) { started_ = pthread_create(&thread_, nullptr, body, arg) == 0; }
    JoinedThread(const JoinedThread&) = delete;
    JoinedThread& operator=(const JoinedThread&) = delete;
    ~JoinedThread()
    {
        if (started_)
            pthread_join(thread_, nullptr);
    }

private:
    pthread_t thread_{};
    bool started_ = false;
};

/* ---- HTTP side: the reader, the writer and the loop's buffer growth ----- */

int reply_handler(int sock, char*, char*, http_header*, size_t, char*, size_t, void*)
{
    return http_respond(sock, 200, "application/octet-stream", reply, reply_body, 0,
                        static_cast<const char*>(nullptr));
}

struct ServerArg {
    int listen_fd;
    int bare; /* 1: echo fixed sizes, 2: swallow upload bytes */
    size_t request_size, reply_size;
};

void* http_server(void* p)
{
    auto* a = static_cast<ServerArg*>(p);
    platform::UniqueFd fd(accept(a->listen_fd, nullptr, nullptr));
    const http_route routes[] = {{"/", 1, nullptr, reply_handler}, {nullptr, 0, nullptr, nullptr}};
    if (!http_buffer)
        http_buffer = platform::malloc_array<char>(http_capacity);
    size_t held = 0;
    http_read_state st = {};
    for (;;) {
        int r = http_read_request_ex(fd.get(), http_buffer.get(), http_capacity, &held, routes, &st);
        if (r == 0)
            continue;
        if (!st.dispatched && errno == ENOBUFS && http_capacity < (32u << 20) &&
            platform::realloc_array(http_buffer, http_capacity * 2)) {
            http_capacity *= 2;
            continue;
        }
        break;
    }
    return nullptr;
}

void* bare_server(void* p)
{
    auto* a = static_cast<ServerArg*>(p);
    platform::UniqueFd fd(accept(a->listen_fd, nullptr, nullptr));
    if (!bare_buffer)
        bare_buffer = platform::malloc_array<char>(upload);
    char* buf = bare_buffer.get();
    if (a->bare == 2) {
        read_n(fd.get(), buf, upload);
        write_n(fd.get(), buf, a->reply_size);
    } else {
        while (read_n(fd.get(), buf, a->request_size) == 0 &&
               write_n(fd.get(), buf, a->reply_size) == 0) {
        }
    }
    return nullptr;
}

double run(void* (*server)(void*), ServerArg* a, const char* request, size_t request_size,
           size_t reply_size, int rounds)
{
    int port;
    platform::UniqueFd listener = listen_any(&port);
    a->listen_fd = listener.get();
    JoinedThread thread(server, a);
    platform::unique_malloc<char[]> reply_buf = platform::malloc_array<char>(reply_size);
    platform::UniqueFd fd = connect_to(port);
    int64_t t0 = clock_now_ns();
    for (int i = 0; i < rounds; ++i) {
        if (write_n(fd.get(), request, request_size) != 0 ||
            read_n(fd.get(), reply_buf.get(), reply_size) != 0) {
            fprintf(stderr, "exchange failed\n");
            exit(1);
        }
    }
    int64_t t1 = clock_now_ns();
    fd.reset(); /* the server sees the end, and the thread is joined */
    return static_cast<double>(t1 - t0) / 1e9;
}

size_t reply_bytes(size_t body)
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
    return static_cast<size_t>(n) + body;
}

} // namespace

int main(void)
{
    memset(reply_body, 'r', sizeof reply_body);

    /* 1. keep-alive requests */
    const char request[] = "GET /bench HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    size_t reply_size = reply_bytes(reply);
    ServerArg bare = {0, 1, sizeof request - 1, reply_size};
    ServerArg http = {0, 0, 0, 0};
    double bare_t = 1e9, http_t = 1e9;
    for (int pass = 0; pass < 3; ++pass) { /* best of three, alternating */
        bare_t = std::min(bare_t, run(bare_server, &bare, request, sizeof request - 1, reply_size, requests));
        http_t = std::min(http_t, run(http_server, &http, request, sizeof request - 1, reply_size, requests));
    }
    printf("keep-alive: %d requests, 1 KiB replies: bare %.3f s, http %.3f s, ratio %.2f (need >= 0.20)\n",
           requests, bare_t, http_t, bare_t / http_t);

    /* 2. one 16 MiB upload */
    char head[128];
    int hn = snprintf(head, sizeof head, "PUT /up HTTP/1.1\r\nContent-Length: %zu\r\n\r\n", upload);
    platform::unique_malloc<char[]> message = platform::malloc_array<char>(static_cast<size_t>(hn) + upload);
    char* body = message.get() + hn;
    memcpy(message.get(), head, static_cast<size_t>(hn));
    memset(body, 'u', upload);
    ServerArg bare2 = {0, 2, 0, reply_size};
    double bare_u = 1e9, http_u = 1e9;
    for (int pass = 0; pass < 3; ++pass) {
        bare_u = std::min(bare_u, run(bare_server, &bare2, body, upload, reply_size, 1));
        http_u = std::min(http_u, run(http_server, &http, message.get(), static_cast<size_t>(hn) + upload,
                                      reply_size, 1));
    }
    printf("upload: 16 MiB: bare %.3f s, http %.3f s, ratio %.2f (need >= 0.25)\n", bare_u, http_u,
           bare_u / http_u);
    return 0;
}
