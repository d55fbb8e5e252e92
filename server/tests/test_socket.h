// Socket helpers for the HTTP tests: every wait is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace testsock {

inline void set_timeouts(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A connected stream pair; [0] is the server side, [1] the client side.
struct Pair {
    int fd[2] = {-1, -1};
    Pair()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) == 0) {
            set_timeouts(fd[0], 2000);
            set_timeouts(fd[1], 2000);
        }
    }
    ~Pair()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    int server() const { return fd[0]; }
    int client() const { return fd[1]; }
    // The server side was closed by the code under test.
    void forget_server() { fd[0] = -1; }
};

inline bool send_text(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

// Everything readable within `ms` of quiet, or until the peer closes.
inline std::string read_available(int fd, int ms = 200, bool* closed = nullptr)
{
    std::string out;
    char buf[65536];
    if (closed)
        *closed = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            if (closed)
                *closed = true;
            break;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            break;
        }
        out.append(buf, (size_t)n);
    }
    return out;
}

// Reads exactly `n` bytes (or fewer when the peer closes or 2 s pass).
inline std::string read_exact(int fd, size_t n)
{
    std::string out;
    char buf[65536];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        ssize_t r = recv(fd, buf, want, MSG_DONTWAIT);
        if (r <= 0) {
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        out.append(buf, (size_t)r);
    }
    return out;
}

inline bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

} // namespace testsock
