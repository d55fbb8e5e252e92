#include <gtest/gtest.h>

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http.h"
#include "test_socket.h"

// The serving program's hooks, played by this test: the socket whose reply
// ends its connection, how often the writer asked, what it reported closed.
namespace hooks {
int ending_socket = -1;
int asked = 0;
std::vector<int> closed;
} // namespace hooks

extern "C" int http_connection_ends(int socket)
{
    ++hooks::asked;
    return socket == hooks::ending_socket;
}

extern "C" void http_connection_closed(int socket)
{
    hooks::closed.push_back(socket);
}

namespace {

const std::string kCors =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, PUT, POST, HEAD, DELETE, OPTIONS\r\n"
    "Access-Control-Expose-Headers: *\r\n"
    "Access-Control-Max-Age: 86400\r\n";

const char* const N = nullptr; // the list end, typed as the writer expects

struct ReplyCase {
    const char* label;
    int status;
    const char* type;
    size_t length;
    const char* body;
    std::string expected;
};

TEST(HttpRespond, ByteExactReplies)
{
    const std::vector<ReplyCase> cases = {
        {"204 empty type", 204, "", 0, nullptr, "HTTP/1.1 204 \r\n" + kCors + "Content-Type: \r\n\r\n"},
        {"100 continue", 100, nullptr, 0, nullptr, "HTTP/1.1 100 Continue\r\n" + kCors + "\r\n"},
        {"304 no length", 304, nullptr, 0, nullptr, "HTTP/1.1 304 \r\n" + kCors + "\r\n"},
        {"428", 428, "text/plain", 2, "no",
         "HTTP/1.1 428 Precondition Failed\r\n" + kCors + "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\nno"},
        {"412", 412, nullptr, 0, nullptr, "HTTP/1.1 412 Precondition Failed\r\n" + kCors + "Content-Length: 0\r\n\r\n"},
        {"502 empty phrase", 502, "text/plain", 3, "bad",
         "HTTP/1.1 502 \r\n" + kCors + "Content-Type: text/plain\r\nContent-Length: 3\r\n\r\nbad"},
        {"200 empty body gets a length", 200, "application/json", 0, "ignored",
         "HTTP/1.1 200 OK\r\n" + kCors + "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n"},
        {"431", 431, nullptr, 0, nullptr,
         "HTTP/1.1 431 Request Header Fields Too Large\r\n" + kCors + "Content-Length: 0\r\n\r\n"},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.label);
        testsock::Pair p;
        ASSERT_EQ(http_respond(p.server(), c.status, c.type, c.length, c.body, 0, N), 0);
        EXPECT_EQ(testsock::read_available(p.client()), c.expected);
        EXPECT_TRUE(testsock::fd_is_open(p.server()));
    }
}

TEST(HttpRespond, ExtraHeadersInOrderAndNoHeaderEnd)
{
    testsock::Pair p;
    ASSERT_EQ(http_respond(p.server(), 200, "text/plain", 1, "x", 0, "X-A", "1", "X-B", "two", N), 0);
    EXPECT_EQ(testsock::read_available(p.client()),
              "HTTP/1.1 200 OK\r\n" + kCors +
                  "Content-Type: text/plain\r\nContent-Length: 1\r\nX-A: 1\r\nX-B: two\r\n\r\nx");
    ASSERT_EQ(http_respond(p.server(), 200, nullptr, 0, nullptr, HTTP_NO_HEADER_END, "X-C", "3", N), 0);
    EXPECT_EQ(testsock::read_available(p.client()), "HTTP/1.1 200 OK\r\n" + kCors + "Content-Length: 0\r\nX-C: 3\r\n");
}

TEST(HttpRespond, CloseFlagShutsDownDrainsAndCloses)
{
    testsock::Pair p;
    ASSERT_TRUE(testsock::send_text(p.client(), "left over"));
    shutdown(p.client(), SHUT_WR);
    ASSERT_EQ(http_respond(p.server(), 200, "text/plain", 16, "Shutting down...", HTTP_CLOSE, N), 0);
    EXPECT_FALSE(testsock::fd_is_open(p.server()));
    p.forget_server();
    bool closed = false;
    EXPECT_EQ(testsock::read_available(p.client(), 500, &closed),
              "HTTP/1.1 200 OK\r\n" + kCors +
                  "Content-Type: text/plain\r\nContent-Length: 16\r\nConnection: close\r\n\r\nShutting down...");
    EXPECT_TRUE(closed);
}

// A final reply on the connection the program wants to end carries
// "Connection: close" and the writer closes the socket and says so; interim
// replies and other sockets are left alone, and a close asked by the flag is
// reported as well.
TEST(HttpRespond, ProgramHooksEndTheConnection)
{
    struct Case {
        const char* label;
        bool program_ends_it;
        int status;
        int flags;
        std::string expected;
        bool closed;
        int asked;
    };
    const std::string ok = "Content-Type: text/plain\r\nContent-Length: 2\r\n";
    const Case cases[] = {
        {"kept alive", false, 200, 0, "HTTP/1.1 200 OK\r\n" + kCors + ok + "\r\nok", false, 1},
        {"ended by the program", true, 200, 0,
         "HTTP/1.1 200 OK\r\n" + kCors + ok + "Connection: close\r\n\r\nok", true, 1},
        {"error reply ended by the program", true, 404, 0,
         "HTTP/1.1 404 Not Found\r\n" + kCors + ok + "Connection: close\r\n\r\nok", true, 1},
        {"interim reply never ends it", true, 100, 0, "HTTP/1.1 100 Continue\r\n" + kCors + ok + "\r\nok",
         false, 0},
        {"close flag", false, 200, HTTP_CLOSE,
         "HTTP/1.1 200 OK\r\n" + kCors + ok + "Connection: close\r\n\r\nok", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsock::Pair p;
        testsock::Pair other;
        hooks::ending_socket = c.program_ends_it ? p.server() : -1;
        hooks::asked = 0;
        hooks::closed.clear();
        const int fd = p.server();
        shutdown(p.client(), SHUT_WR); // so the writer's drain before a close returns at once
        ASSERT_EQ(http_respond(fd, c.status, "text/plain", 2, "ok", c.flags, N), 0);
        EXPECT_EQ(hooks::asked, c.asked);
        EXPECT_EQ(testsock::fd_is_open(fd), !c.closed);
        EXPECT_EQ(hooks::closed, c.closed ? std::vector<int>{fd} : std::vector<int>{});
        if (c.closed)
            p.forget_server();
        bool peer_closed = false;
        EXPECT_EQ(testsock::read_available(p.client(), 200, &peer_closed), c.expected);
        EXPECT_EQ(peer_closed, c.closed);
        // a reply on another connection keeps it
        ASSERT_EQ(http_respond(other.server(), 200, "text/plain", 2, "ok", 0, N), 0);
        EXPECT_TRUE(testsock::fd_is_open(other.server()));
        EXPECT_EQ(testsock::read_available(other.client()),
                  "HTTP/1.1 200 OK\r\n" + kCors + ok + "\r\nok");
    }
    hooks::ending_socket = -1;
    hooks::closed.clear();
}

TEST(HttpRespond, RefusalsSendNothing)
{
    testsock::Pair p;
    ::testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(http_respond(p.server(), 200, "text/plain", 1, "x", 0, "X-A", N, N), -1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "invalid header X-A missing value\n");

    errno = 0;
    EXPECT_EQ(http_respond(p.server(), 200, "text/plain", 10, nullptr, 0, N), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(testsock::read_available(p.client(), 50), "");
    EXPECT_TRUE(testsock::fd_is_open(p.server()));
}

// The whole head holds at most 1023 bytes.
TEST(HttpRespond, HeadLimit1023)
{
    const std::string fixed = "HTTP/1.1 200 OK\r\n" + kCors + "Content-Length: 0\r\nX: \r\n\r\n";
    for (size_t total : {size_t(1022), size_t(1023), size_t(1024), size_t(1100)}) {
        SCOPED_TRACE(total);
        testsock::Pair p;
        std::string value(total - fixed.size(), 'v');
        ::testing::internal::CaptureStderr();
        errno = 0;
        int r = http_respond(p.server(), 200, nullptr, 0, nullptr, 0, "X", value.c_str(), N);
        std::string err = ::testing::internal::GetCapturedStderr();
        std::string got = testsock::read_available(p.client(), 50);
        if (total <= 1023) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(got.size(), total);
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(got, "");
            EXPECT_NE(err.find("failed to write"), std::string::npos);
        }
    }
}

TEST(HeaderAppend, FitsOrFailsWithEnomem)
{
    char buf[16];
    size_t used = 0;
    EXPECT_EQ(header_appendf(buf, sizeof buf, &used, "%s", "0123456789"), 10);
    EXPECT_EQ(used, 10u);
    EXPECT_EQ(header_append_pair(buf, sizeof buf, &used, "a", ""), 5); // "a: \r\n" and its NUL fit
    EXPECT_EQ(used, 15u);
    EXPECT_EQ(std::string(buf, used), "0123456789a: \r\n");
    used = 10;
    errno = 0;
    EXPECT_EQ(header_append_pair(buf, sizeof buf, &used, "a", "b"), -1); // 6 + NUL > 6 free
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(used, 15u);
    used = 16;
    errno = 0;
    EXPECT_EQ(header_appendf(buf, sizeof buf, &used, "x"), -1);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(HttpRespond, PeerGoneGivesErrorNotSignal)
{
    testsock::Pair p;
    close(p.fd[1]);
    p.fd[1] = -1;
    ::testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(http_respond(p.server(), 200, "text/plain", 2, "hi", 0, N), -1);
    EXPECT_EQ(errno, EPIPE);
    ::testing::internal::GetCapturedStderr();
}

void on_alarm(int) {}

// A 4 MiB body through a tiny send buffer, with a timer signal interrupting
// the writer all along: short sends and EINTR must not cut the reply.
TEST(HttpRespond, LargeBodyArrivesWholeDespiteShortSends)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    int sfd = pair[0], cfd = pair[1];
    int small = 4096;
    setsockopt(sfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    testsock::set_timeouts(sfd, 5000);

    std::string body(4 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = (char)(i * 131 + (i >> 12));

    std::string received;
    std::thread reader([&] {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &s, nullptr);
        char buf[3000];
        while (received.size() < body.size() + 4096) { // room for the head
            // The alarm is blocked here, but an emulator may still deliver it
            // to this thread: an interrupted wait is not the end of the reply.
            pollfd pf{cfd, POLLIN, 0};
            int ready = poll(&pf, 1, 3000);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            ssize_t n = recv(cfd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            received.append(buf, (size_t)n);
            size_t head_end = received.find("\r\n\r\n");
            if (head_end != std::string::npos && received.size() >= head_end + 4 + body.size())
                break;
        }
    });

    struct sigaction sa {};
    sa.sa_handler = on_alarm; // no SA_RESTART: sends are interrupted
    sigaction(SIGALRM, &sa, nullptr);
    itimerval it{{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &it, nullptr);
    int r = http_respond(sfd, 200, "application/octet-stream", body.size(), body.data(), 0, N);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
    reader.join();
    EXPECT_EQ(r, 0);
    size_t head_end = received.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    EXPECT_NE(received.find("Content-Length: 4194304\r\n"), std::string::npos);
    ASSERT_EQ(received.size() - head_end - 4, body.size());
    EXPECT_TRUE(received.compare(head_end + 4, body.size(), body) == 0);
    close(sfd);
    close(cfd);
}

int record_handler(int, char* method, char* path, http_header*, size_t, char*, size_t, void* user)
{
    *static_cast<std::string*>(user) = std::string(method) + " " + path;
    return 7;
}

TEST(HttpDispatch, PrefixRoutesInOrderAnd404)
{
    std::string first, second;
    http_route routes[] = {
        {"/shutdown", 9, &first, record_handler},
        {"/", 1, &second, record_handler},
        {nullptr, 0, nullptr, nullptr},
    };
    struct Case {
        const char* path;
        int result;
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"/shutdownnow", 7, "PUT /shutdownnow", ""},
        {"/shutdown", 7, "PUT /shutdown", ""},
        {"/shut", 7, "", "PUT /shut"},
        {"/", 7, "", "PUT /"},
        {"*", 0, "", ""},
        {"x/", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        testsock::Pair p;
        first.clear();
        second.clear();
        char method[] = "PUT";
        std::string path = c.path;
        EXPECT_EQ(http_dispatch(p.server(), routes, method, &path[0], nullptr, 0, nullptr, 0), c.result);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(second, c.second);
        if (c.result == 0) {
            EXPECT_EQ(testsock::read_available(p.client()),
                      "HTTP/1.1 404 Not Found\r\n" + kCors +
                          "Content-Type: text/plain\r\nContent-Length: 12\r\n\r\nInvalid Path");
        }
    }
}

} // namespace
