#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "brindlecast.h"
#include "resource.h"

namespace brindlecast {

volatile sig_atomic_t server_running = 1;

namespace {

/* The connection being served, as the writer's hooks see it. */
struct Served {
    int fd = -1;
    int watch[2] = {-1, -1}; /* the listening TCP socket and the UNIX socket, or -1 */
    bool ends = false;       /* its current reply carries "Connection: close" */
    bool closed = false;     /* the writer closed it */
};
Served served;

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* A client waits in the listen backlog or a datagram in the UNIX socket. */
bool others_waiting()
{
    pollfd p[2] = {{served.watch[0], POLLIN, 0}, {served.watch[1], POLLIN, 0}};
    int n;
    do
        n = poll(p, 2, 0);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

/* The one request buffer of every connection: only grown, up to
 * http_buffer_max. */
struct RequestBuffer {
    platform::unique_malloc<char[]> data;
    size_t capacity = http_buffer_initial;
};

} // namespace

int socket_set_blocking(int fd, int blocking)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        fprintf(stderr, "failed to get socket flags: %s\n", strerror(errno));
        return -1;
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) < 0) {
        fprintf(stderr, "failed to set socket non-blocking: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

void on_sigint(int signo)
{
    (void)signo;
    static const char message[] = "Terminating brindlecast...\n";
    ssize_t ignored = write(STDOUT_FILENO, message, sizeof message - 1);
    (void)ignored;
    server_running = 0;
}

int shutdown_handler(int socket, char* method, char* path, http_header* headers,
                     size_t header_count, char* body, size_t body_len, void* user)
{
    (void)method, (void)path, (void)headers, (void)header_count, (void)body, (void)body_len;
    (void)user;
    server_running = 0;
    return http_respond(socket, 200, "text/plain", 16, "Shutting down...", HTTP_CLOSE,
                        static_cast<const char*>(nullptr));
}

int parse_http_port(const char* text)
{
    if (!text || !*text)
        return 0;
    long port = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        port = port * 10 + (*p - '0');
        if (port > 65535)
            return 0;
    }
    return (int)port;
}

int open_http_listener(const char* port_text, int loopback)
{
    int port = parse_http_port(port_text);
    if (port == 0) {
        fprintf(stderr, "failed to parse http port '%s'\n", port_text);
        exit(1);
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fprintf(stderr, "failed to create socket: %s\n", strerror(errno));
        exit(1);
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        fprintf(stderr, "failed to set socket reusable: %s\n", strerror(errno));
    if (socket_set_blocking(fd, 0) != 0)
        exit(1);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
        fprintf(stderr, "failed to bind socket: %s\n", strerror(errno));
        exit(1);
    }
    if (listen(fd, 4096) != 0) {
        fprintf(stderr, "failed to listen on socket: %s\n", strerror(errno));
        exit(1);
    }
    return fd;
}

int open_unix_socket(const char* address)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) {
        fprintf(stderr, "failed to create UNIX socket: %s\n", strerror(errno));
        exit(1);
    }
    if (socket_set_blocking(fd, 0) != 0)
        exit(1);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = strlen(address);
    int pathname = address[0] == '/';
    if (pathname) {
        if (len > 107) {
            fprintf(stderr, "unix address too long (maximum: %zd)\n", (ssize_t)107);
            exit(1);
        }
        /* Only a stale socket is removed; any other file makes bind fail. */
        struct stat st;
        if (lstat(address, &st) == 0 && S_ISSOCK(st.st_mode))
            unlink(address);
        memcpy(addr.sun_path, address, len);
    } else {
        if (len > 106) {
            fprintf(stderr, "unix address too long (maximum: %zd)\n", (ssize_t)106);
            exit(1);
        }
        memcpy(addr.sun_path + 1, address, len);
    }
    socklen_t addr_len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + len + 1);
    if (bind(fd, (struct sockaddr*)&addr, addr_len) != 0) {
        fprintf(stderr, "failed to bind unix socket on %s %s: %s\n",
                pathname ? "path" : "abstract address", address, strerror(errno));
        exit(1);
    }
    return fd;
}

void install_signal_handlers(void)
{
    /* System V semantics: reset to the default when it runs (a second
     * SIGINT ends the process), and interrupted calls are not restarted. */
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    struct sigaction ign;
    memset(&ign, 0, sizeof ign);
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, NULL);
}

namespace {

enum class Wait { request, others, timeout, failed };

/* Waits for the next request on the served connection: Wait::request once it
 * has sent something (or closed), Wait::others when another client or a
 * datagram waits first, Wait::timeout after idle_wait_ms.  A new connection
 * has first_request_grace_ms for its first bytes before others count: its
 * request is usually right behind the accept.  A signal does not end the
 * wait; the connection's next request is still served. */
Wait wait_for_request(int fd, bool fresh)
{
    const int64_t start = now_ms();
    const int64_t idle_end = start + idle_wait_ms;
    const int64_t grace_end = fresh ? start + first_request_grace_ms : start;
    for (;;) {
        const int64_t now = now_ms();
        if (now >= idle_end)
            return Wait::timeout;
        const bool watch_others = now >= grace_end;
        pollfd p[3] = {{fd, POLLIN, 0},
                       {watch_others ? served.watch[0] : -1, POLLIN, 0},
                       {watch_others ? served.watch[1] : -1, POLLIN, 0}};
        const int64_t until = watch_others ? idle_end : grace_end;
        int n = poll(p, 3, static_cast<int>(until - now));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Wait::failed;
        }
        if (p[0].revents != 0)
            return Wait::request; /* data, a close or an error: the reader tells */
        if (n > 0)
            return Wait::others;
    }
}

void serve_connection(platform::UniqueFd connection, RequestBuffer& buffer, const http_route* routes)
{
    const int fd = connection.get();
    if (socket_set_blocking(fd, 1) != 0)
        return;
    /* The reader keeps its own time (request_time_limit_ms); a blocking
     * receive is left only to the writer, which waits for the peer's close
     * after a reply that ends the connection: that wait is kept short. */
    struct timeval linger = {close_linger_ms / 1000, (close_linger_ms % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &linger, sizeof linger) != 0) {
        fprintf(stderr, "failed to set socket recv timeout: %s\r\n", strerror(errno));
        return;
    }
    struct timeval tv = {5, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        fprintf(stderr, "failed to set socket send timeout: %s\r\n", strerror(errno));
        return;
    }

    size_t held = 0;
    http_read_state state = {};
    state.time_limit_ms = request_time_limit_ms;
    served.fd = fd;
    served.ends = false;
    served.closed = false;
    bool fresh = true;
    errno = 0;
    while (server_running) {
        if (held == 0) {
            Wait w = wait_for_request(fd, fresh);
            if (w == Wait::others)
                break; /* silently, as when the peer closes */
            if (w != Wait::request) {
                fprintf(stderr, "%s error: %s\n", "http_loop",
                        strerror(w == Wait::timeout ? EAGAIN : errno));
                break;
            }
        }
        fresh = false;
        int result = http_read_request_ex(fd, buffer.data.get(), buffer.capacity, &held, routes,
                                          &state);
        int err = errno;
        if (state.closed || served.closed) {
            connection.release(); /* the writer closed it already */
            break;
        }
        if (!server_running)
            break;
        if (result == 0 && served.ends)
            break; /* its last reply asked for the close the writer could not make */
        if (result == 0)
            continue;
        if (!state.dispatched && err == ENOBUFS) {
            size_t wanted = buffer.capacity * 2;
            if (wanted > http_buffer_max) {
                fprintf(stderr, "%s error: required buffer greater than maximum %zu\n", "http_loop",
                        http_buffer_max);
                break;
            }
            if (!platform::realloc_array(buffer.data, wanted)) {
                /* The rest of the request must not be read as new requests:
                 * keep the old buffer and end the connection. */
                fprintf(stderr, "%s error: insufficient memory to grow http buffer to %lu bytes.\n",
                        "http_loop", static_cast<unsigned long>(wanted));
                break;
            }
            buffer.capacity = wanted;
            continue;
        }
        if (err == ECONNRESET || err == 0)
            break;
        fprintf(stderr, "%s error: %s\n", "http_loop", strerror(err));
        break;
    }
    served.fd = -1;
}

/* A descriptor closed behind the loop's back (a plug-in may close the UNIX
 * socket) would fail every select: stop watching it. */
void drop_if_closed(int* fd, const char* what)
{
    if (*fd >= 0 && fcntl(*fd, F_GETFD) == -1 && errno == EBADF) {
        fprintf(stderr, "%s socket %d was closed, no longer serving it\n", what, *fd);
        *fd = -1;
    }
}

} // namespace

int serve(nn_plugin* plugin, int http_fd, int unix_fd)
{
    constexpr std::string_view shutdown_path = "/shutdown", root_path = "/";
    const http_route routes[] = {
        {shutdown_path.data(), shutdown_path.size(), plugin->server, shutdown_handler},
        {root_path.data(), root_path.size(), plugin->server, plugin->nn_server_http_handler},
        {nullptr, 0, nullptr, nullptr},
    };

    RequestBuffer buffer;
    if (http_fd >= 0) {
        buffer.data = platform::malloc_array<char>(buffer.capacity);
        if (!buffer.data) {
            fprintf(stderr, "Insufficient memory to create http buffers\n");
            return -1;
        }
    }

    while (server_running) {
        fd_set readable;
        FD_ZERO(&readable);
        int highest = -1;
        if (http_fd >= 0) {
            FD_SET(http_fd, &readable);
            highest = http_fd;
        }
        if (unix_fd >= 0) {
            FD_SET(unix_fd, &readable);
            if (unix_fd > highest)
                highest = unix_fd;
        }
        struct timeval timeout = {1, 0};
        int ready = select(highest + 1, &readable, NULL, NULL, &timeout);
        if (ready < 0) {
            int err = errno;
            if (err == EINTR)
                continue;
            fprintf(stderr, "select failed: %s\n", strerror(err));
            if (err == EBADF) {
                drop_if_closed(&http_fd, "HTTP");
                drop_if_closed(&unix_fd, "UNIX");
            }
            continue;
        }
        if (ready == 0)
            continue;
        if (http_fd >= 0 && FD_ISSET(http_fd, &readable)) {
            platform::UniqueFd connection(accept(http_fd, nullptr, nullptr));
            if (!connection) {
                fprintf(stderr, "failed to accept connection: %s\n", strerror(errno));
                continue;
            }
            served.watch[0] = http_fd;
            served.watch[1] = plugin->nn_server_unix_handler ? unix_fd : -1;
            serve_connection(std::move(connection), buffer, routes);
        }
        if (unix_fd >= 0 && FD_ISSET(unix_fd, &readable) && plugin->nn_server_unix_handler) {
            plugin->nn_server_unix_handler(plugin->server, unix_fd);
            drop_if_closed(&unix_fd, "UNIX");
        }
    }
    return 0;
}

} // namespace brindlecast

/* The writer's hooks (http.h): the served connection's reply ends it while
 * another client or a datagram waits, so clients are served in turn. */
extern "C" int http_connection_ends(int socket)
{
    brindlecast::Served& s = brindlecast::served;
    if (socket < 0 || socket != s.fd)
        return 0;
    if (!s.ends)
        s.ends = brindlecast::others_waiting();
    return s.ends;
}

extern "C" void http_connection_closed(int socket)
{
    brindlecast::Served& s = brindlecast::served;
    if (socket >= 0 && socket == s.fd) {
        s.closed = true;
        s.fd = -1;
    }
}

/* Long handlers end early once the program is told to stop (http.h). */
extern "C" int http_serving_stopped(void) { return !brindlecast::server_running; }
