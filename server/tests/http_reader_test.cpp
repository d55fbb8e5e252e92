#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "http.h"
#include "test_socket.h"

namespace {

// What the handler saw, copied out during the call.
struct Seen {
    int calls = 0;
    std::string method, path, body;
    bool body_null = true;
    std::vector<std::pair<std::string, std::string>> headers;
    int result = 0;
    int errno_to_set = 0;
};

int seen_handler(int sock, char* method, char* path, http_header* h, size_t n, char* body, size_t len,
                 void* user)
{
    Seen* s = static_cast<Seen*>(user);
    ++s->calls;
    s->method = method;
    s->path = path;
    s->body_null = body == nullptr;
    s->body.assign(body ? body : "", body ? len : 0);
    s->headers.clear();
    for (size_t i = 0; i < n; ++i)
        s->headers.emplace_back(h[i].name ? std::string(h[i].name, h[i].name_len) : "<cont>",
                                std::string(h[i].value, h[i].value_len));
    if (s->result != 0) {
        errno = s->errno_to_set;
        return s->result;
    }
    return http_respond(sock, 200, "text/plain", 2, "ok", 0, (const char*)nullptr);
}

struct Reader {
    Seen seen;
    http_route routes[2] = {{"/", 1, &seen, seen_handler}, {nullptr, 0, nullptr, nullptr}};
    std::vector<char> buf;
    size_t held = 0;
    http_read_state state{};
    explicit Reader(size_t capacity = 4096) : buf(capacity) {}
    int read(int sock)
    {
        return http_read_request_ex(sock, buf.data(), buf.size(), &held, routes, &state);
    }
};

const char kOk[] = "Content-Length: 2\r\n\r\nok";

bool replied_ok(const std::string& s)
{
    return s.find("HTTP/1.1 200 OK\r\n") != std::string::npos && s.size() >= sizeof kOk - 1 &&
           s.compare(s.size() - (sizeof kOk - 1), sizeof kOk - 1, kOk) == 0;
}

struct LengthCase {
    const char* label;
    std::string headers; // header lines after the request line
    std::string body_sent;
    int result;      // 0 served, -1 refused
    int err;         // errno for -1
    const char* body; // as seen by the handler
    bool message;    // "Invalid Content-Length" printed
};

TEST(HttpReadRequest, ContentLengthCases)
{
    const std::string d31 = std::string(30, '0') + "5";
    const std::string d32 = std::string(31, '0') + "5";
    const std::vector<LengthCase> cases = {
        {"plain", "Content-Length: 5\r\n", "hello", 0, 0, "hello", false},
        {"lower case name", "content-length: 5\r\n", "hello", 0, 0, "hello", false},
        {"leading zero is decimal", "Content-Length: 010\r\n", "0123456789", 0, 0, "0123456789", false},
        {"31 digits", "Content-Length: " + d31 + "\r\n", "hello", 0, 0, "hello", false},
        {"equal repeat", "Content-Length: 2\r\nContent-Length: 2\r\n", "hi", 0, 0, "hi", false},
        {"zero", "Content-Length: 0\r\n", "", 0, 0, "", false},
        {"hex", "Content-Length: 0x10\r\n", "", -1, EINVAL, nullptr, true},
        {"empty", "Content-Length:\r\n", "", -1, EINVAL, nullptr, true},
        {"negative", "Content-Length: -1\r\n", "", -1, EINVAL, nullptr, true},
        {"plus sign", "Content-Length: +5\r\n", "hello", -1, EINVAL, nullptr, true},
        {"trailing junk", "Content-Length: 5x\r\n", "hello", -1, EINVAL, nullptr, true},
        {"inner blank", "Content-Length: 5 5\r\n", "hello", -1, EINVAL, nullptr, true},
        {"letters", "Content-Length: abc\r\n", "", -1, EINVAL, nullptr, true},
        {"32 digits", "Content-Length: " + d32 + "\r\n", "hello", -1, EINVAL, nullptr, true},
        {"over 64 bits", "Content-Length: 18446744073709551616\r\n", "", -1, EINVAL, nullptr, true},
        {"differing repeat", "Content-Length: 2\r\nContent-Length: 3\r\n", "hi", -1, EINVAL, nullptr, true},
        {"64-bit maximum needs a bigger buffer", "Content-Length: 18446744073709551615\r\n", "", -1, ENOBUFS,
         nullptr, false},
        {"bad expect", "Expect: 100-Continue\r\nContent-Length: 2\r\n", "hi", -1, EINVAL, nullptr, false},
        {"empty expect", "Expect:\r\n", "", -1, EINVAL, nullptr, false},
        {"lower-case expect name is another header", "expect: nothing\r\n", "", 0, 0, nullptr, false},
        {"Content is not Content-Length", "Content: 5\r\n", "", 0, 0, nullptr, false},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.label);
        testsock::Pair p;
        Reader r;
        ASSERT_TRUE(testsock::send_text(p.client(), "POST /m HTTP/1.1\r\n" + c.headers + "\r\n" + c.body_sent));
        ::testing::internal::CaptureStderr();
        errno = 0;
        int res = r.read(p.server());
        int err = errno;
        std::string stderr_text = ::testing::internal::GetCapturedStderr();
        if (c.result == 0) {
            ASSERT_EQ(res, 0) << stderr_text;
            EXPECT_EQ(r.seen.calls, 1);
            EXPECT_EQ(r.seen.method, "POST");
            EXPECT_EQ(r.seen.path, "/m");
            EXPECT_EQ(r.seen.body_null, c.body == nullptr);
            if (c.body) {
                EXPECT_EQ(r.seen.body, c.body);
            }
            EXPECT_EQ(r.held, 0u);
            EXPECT_TRUE(replied_ok(testsock::read_available(p.client())));
        } else {
            EXPECT_EQ(res, -1);
            EXPECT_EQ(err, c.err);
            EXPECT_EQ(r.seen.calls, 0);
            EXPECT_FALSE(r.state.dispatched);
        }
        EXPECT_EQ(stderr_text.find("Invalid Content-Length: ") == 0, c.message) << stderr_text;
    }
}

TEST(HttpReadRequest, HeadersReachHandlerUntouched)
{
    testsock::Pair p;
    Reader r;
    ASSERT_TRUE(testsock::send_text(p.client(),
        "GET /a?b=1 HTTP/1.1\r\nHost: x\r\n folded\r\nContent-Length: 0\r\nExpect: 100-continue\r\n\r\n"));
    ASSERT_EQ(r.read(p.server()), 0);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Host", "x"}, {"<cont>", " folded"}, {"Content-Length", "0"}, {"Expect", "100-continue"}};
    EXPECT_EQ(r.seen.headers, expected);
    EXPECT_FALSE(r.seen.body_null);
    EXPECT_EQ(r.seen.path, "/a?b=1");
    // no body announced: the 100 follows the Part's order (after the body)
    std::string got = testsock::read_available(p.client());
    EXPECT_EQ(got.rfind("HTTP/1.1 100 Continue\r\n", 0), 0u);
    EXPECT_TRUE(replied_ok(got));
}

// The interim 100 goes out as soon as the head is read, before the client
// sends the body.
TEST(HttpReadRequest, ContinueBeforeBody)
{
    testsock::Pair p;
    Reader r;
    std::string client_saw;
    std::thread client([&] {
        testsock::send_text(p.client(), "PUT /up HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 6\r\n\r\n");
        client_saw = testsock::read_exact(p.client(), 23);
        if (client_saw == "HTTP/1.1 100 Continue\r\n")
            testsock::send_text(p.client(), "abcdef");
    });
    int res = r.read(p.server());
    client.join();
    EXPECT_EQ(client_saw, "HTTP/1.1 100 Continue\r\n");
    ASSERT_EQ(res, 0);
    EXPECT_EQ(r.seen.body, "abcdef");
    std::string rest = testsock::read_available(p.client());
    EXPECT_TRUE(replied_ok(rest));
    EXPECT_EQ(rest.find("100 Continue"), std::string::npos) << "sent once";
}

// A 5000-byte request in a 4096-byte buffer: ENOBUFS, then the grown buffer
// completes it with the bytes already held; the 100 is sent only once.
TEST(HttpReadRequest, GrowthKeepsHeldBytes)
{
    testsock::Pair p;
    Reader r;
    std::string head = "POST /big HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: ";
    std::string body;
    for (int i = 0; body.size() < 5000 - head.size() - 8; ++i)
        body += (char)('a' + i % 26);
    head += std::to_string(body.size()) + "\r\n\r\n";
    ASSERT_TRUE(testsock::send_text(p.client(), head + body));
    errno = 0;
    int res = r.read(p.server());
    EXPECT_EQ(res, -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_FALSE(r.state.dispatched);
    size_t held = r.held;
    EXPECT_GT(held, 0u);
    r.buf.resize(8192);
    res = r.read(p.server());
    ASSERT_EQ(res, 0);
    EXPECT_EQ(r.seen.body, body);
    std::string got = testsock::read_available(p.client());
    EXPECT_TRUE(replied_ok(got));
    EXPECT_EQ(got.find("100 Continue"), got.rfind("100 Continue"));
}

TEST(HttpReadRequest, HeadFillingBufferIsEnobufs)
{
    testsock::Pair p;
    Reader r(64);
    ASSERT_TRUE(testsock::send_text(p.client(), "GET / HTTP/1.1\r\nX: " + std::string(100, 'v') + "\r\n\r\n"));
    errno = 0;
    EXPECT_EQ(r.read(p.server()), -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(r.held, 64u);
    r.buf.resize(256);
    EXPECT_EQ(r.read(p.server()), 0);
    EXPECT_EQ(r.seen.headers.at(0).second, std::string(100, 'v'));
}

// Two requests in one packet: both answered, the second from held bytes
// without another receive.
TEST(HttpReadRequest, PipelinedRequestsBothServed)
{
    testsock::Pair p;
    Reader r;
    std::string one = "POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    std::string two = "GET /2 HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(testsock::send_text(p.client(), one + two));
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(r.read(p.server()), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.seen.path, "/1");
    EXPECT_EQ(r.seen.body, "abc");
    EXPECT_EQ(r.held, two.size());
    char expected_line[200];
    snprintf(expected_line, sizeof expected_line,
             "HTTP REQUEST %p CAPTURED %zu BYTES -- REQLEN: %d CONTENT: %zu REMAIN: %zu\n",
             (void*)(intptr_t)p.server(), one.size() + two.size(), (int)(one.size() - 3), (size_t)3, two.size());
    EXPECT_EQ(out, expected_line);
    shutdown(p.client(), SHUT_WR); // a further receive would see the close
    ASSERT_EQ(r.read(p.server()), 0);
    EXPECT_EQ(r.seen.path, "/2");
    EXPECT_TRUE(r.seen.body_null);
    EXPECT_EQ(r.held, 0u);
    errno = 0;
    EXPECT_EQ(r.read(p.server()), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(r.seen.calls, 2);
}

// The head arriving one byte at a time.
TEST(HttpReadRequest, DripFedHead)
{
    testsock::Pair p;
    Reader r;
    const std::string req = "GET /drip HTTP/1.1\nA: b\n\n";
    std::thread client([&] {
        for (char c : req) {
            send(p.client(), &c, 1, MSG_NOSIGNAL);
            usleep(1000);
        }
    });
    int res = r.read(p.server());
    client.join();
    ASSERT_EQ(res, 0);
    EXPECT_EQ(r.seen.path, "/drip");
}

TEST(HttpReadRequest, FailuresEndTheRequest)
{
    struct Case {
        const char* label;
        std::string sent;
        bool close_after;
        int err;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"closed before anything", "", true, ECONNRESET, ""},
        {"closed mid-head", "GET / HTTP/1.1\r\nHo", true, ECONNRESET, ""},
        {"closed mid-body", "PUT / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true, ECONNRESET, ""},
        {"malformed", "GET / HTTP/9.9\r\n\r\n", false, EINVAL, "invalid http request GET / HTTP/9.9\r\n\r\n\n"},
        {"receive timeout", "GET / HTTP/1.1\r\n", false, EAGAIN, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsock::Pair p;
        testsock::set_timeouts(p.server(), 200);
        Reader r;
        if (!c.sent.empty()) {
            ASSERT_TRUE(testsock::send_text(p.client(), c.sent));
        }
        if (c.close_after)
            shutdown(p.client(), SHUT_WR);
        ::testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(r.read(p.server()), -1);
        int err = errno;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
        EXPECT_TRUE(err == c.err || (c.err == EAGAIN && err == EWOULDBLOCK)) << strerror(err);
        EXPECT_EQ(r.seen.calls, 0);
    }
}

TEST(HttpReadRequest, ThirtyThreeHeadersAreMalformed)
{
    for (int n : {32, 33}) {
        testsock::Pair p;
        Reader r;
        std::string req = "GET / HTTP/1.1\r\n";
        for (int i = 0; i < n; ++i)
            req += "H" + std::to_string(i) + ": v\r\n";
        ASSERT_TRUE(testsock::send_text(p.client(), req + "\r\n"));
        ::testing::internal::CaptureStderr();
        errno = 0;
        int res = r.read(p.server());
        std::string err = ::testing::internal::GetCapturedStderr();
        if (n == 32) {
            EXPECT_EQ(res, 0);
            EXPECT_EQ(r.seen.headers.size(), 32u);
        } else {
            EXPECT_EQ(res, -1);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(err.rfind("invalid http request GET / HTTP/1.1\r\n", 0), 0u);
        }
    }
}

TEST(HttpReadRequest, TransferEncodingGets411AndClose)
{
    for (const char* te : {"Transfer-Encoding: chunked\r\n", "transfer-encoding: gzip\r\nContent-Length: 3\r\n"}) {
        SCOPED_TRACE(te);
        testsock::Pair p;
        Reader r;
        ASSERT_TRUE(testsock::send_text(p.client(), std::string("PUT /m HTTP/1.1\r\n") + te + "\r\n3\r\nabc\r\n0\r\n\r\n"));
        shutdown(p.client(), SHUT_WR);
        errno = 0;
        EXPECT_EQ(r.read(p.server()), -1);
        EXPECT_TRUE(r.state.closed);
        EXPECT_FALSE(r.state.dispatched);
        EXPECT_EQ(r.seen.calls, 0);
        EXPECT_FALSE(testsock::fd_is_open(p.server()));
        p.forget_server();
        std::string got = testsock::read_available(p.client());
        EXPECT_EQ(got.rfind("HTTP/1.1 411 Length Required\r\n", 0), 0u);
        const std::string tail = "Content-Type: text/plain\r\nContent-Length: 15\r\nConnection: close\r\n\r\nLength Required";
        ASSERT_GE(got.size(), tail.size());
        EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
    }
}

// A handler failing with ENOBUFS is told apart from the reader asking for a
// bigger buffer.
TEST(HttpReadRequest, HandlerResultMarkedDispatched)
{
    testsock::Pair p;
    Reader r;
    r.seen.result = -1;
    r.seen.errno_to_set = ENOBUFS;
    ASSERT_TRUE(testsock::send_text(p.client(), "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(r.read(p.server()), -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_TRUE(r.state.dispatched);
}

long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

// The whole request must arrive within the time limit of its first call,
// however the bytes come; the socket's own timeout (2 s) is longer than the
// limit, so only the reader's deadline can end these waits.
TEST(HttpReadRequest, TimeLimitCoversTheWholeRequest)
{
    struct Piece {
        int delay_ms; // before sending it
        std::string bytes;
    };
    struct Case {
        const char* label;
        std::vector<Piece> pieces;
        bool served;
    };
    const std::string head = "PUT /t HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
    auto drip = [](const std::string& text, int every_ms) {
        std::vector<Piece> v;
        for (char c : text)
            v.push_back({every_ms, std::string(1, c)});
        return v;
    };
    std::vector<Piece> body_trickle = {{0, head}};
    for (Piece p : drip("abcd", 150))
        body_trickle.push_back(p);
    const std::vector<Case> cases = {
        {"whole at once", {{0, head + "abcd"}}, true},
        {"head and body in pieces within the limit", {{0, "PUT /t HT"}, {60, "TP/1.1\r\nContent-Len"},
                                                      {60, "gth: 4\r\n\r\nab"}, {60, "cd"}}, true},
        {"head trickled past the limit", drip(head, 40), false},
        {"body trickled past the limit", body_trickle, false},
        {"silent after a first byte", {{0, "P"}}, false},
    };
    constexpr unsigned limit_ms = 400;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsock::Pair p;
        Reader r;
        r.state.time_limit_ms = limit_ms;
        std::atomic<bool> stop{false};
        // the first byte is there before the reader starts, as after the
        // serving loop's wait for a request
        ASSERT_TRUE(testsock::send_text(p.client(), c.pieces[0].bytes));
        std::thread client([&] {
            for (size_t i = 1; i < c.pieces.size() && !stop; ++i) {
                usleep((useconds_t)c.pieces[i].delay_ms * 1000);
                if (!testsock::send_text(p.client(), c.pieces[i].bytes))
                    break;
            }
        });
        auto t0 = std::chrono::steady_clock::now();
        errno = 0;
        int res = r.read(p.server());
        int err = errno;
        long took = elapsed_ms(t0);
        stop = true;
        client.join();
        if (c.served) {
            EXPECT_EQ(res, 0);
            EXPECT_EQ(r.seen.body, "abcd");
            EXPECT_LT(took, (long)limit_ms);
        } else {
            EXPECT_EQ(res, -1);
            EXPECT_TRUE(err == EAGAIN || err == EWOULDBLOCK) << strerror(err);
            EXPECT_EQ(r.seen.calls, 0);
            EXPECT_FALSE(r.state.dispatched);
            EXPECT_GE(took, (long)limit_ms - 10);
            EXPECT_LT(took, (long)limit_ms + 300);
        }
        EXPECT_EQ(r.state.deadline_ns, 0) << "the next request gets its own time";
    }
}

// A call that asks for a bigger buffer leaves the request's clock running:
// the call after the growth only has what is left.  A served request does
// not leave its deadline to the next one.
TEST(HttpReadRequest, TimeLimitSpansBufferGrowthNotRequests)
{
    {
        testsock::Pair p;
        Reader r(64);
        r.state.time_limit_ms = 300;
        ASSERT_TRUE(testsock::send_text(p.client(), "GET / HTTP/1.1\r\nX: " + std::string(100, 'v') + "\r\n"));
        errno = 0;
        EXPECT_EQ(r.read(p.server()), -1);
        EXPECT_EQ(errno, ENOBUFS);
        EXPECT_NE(r.state.deadline_ns, 0);
        usleep(350 * 1000);
        r.buf.resize(256);
        auto t0 = std::chrono::steady_clock::now();
        errno = 0;
        EXPECT_EQ(r.read(p.server()), -1); // the head never ends
        EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);
        EXPECT_LT(elapsed_ms(t0), 150) << "a new deadline was started after the growth";
    }
    {
        testsock::Pair p;
        Reader r;
        r.state.time_limit_ms = 300;
        ASSERT_TRUE(testsock::send_text(p.client(), "GET /1 HTTP/1.1\r\n\r\n"));
        ASSERT_EQ(r.read(p.server()), 0);
        usleep(350 * 1000);
        std::thread client([&] {
            testsock::send_text(p.client(), "GET /2 HTTP/1.1\r\n");
            usleep(100 * 1000);
            testsock::send_text(p.client(), "\r\n");
        });
        int res = r.read(p.server());
        client.join();
        EXPECT_EQ(res, 0) << strerror(errno);
        EXPECT_EQ(r.seen.path, "/2");
    }
}

TEST(HttpReadRequest, PlainEntryPointServes)
{
    testsock::Pair p;
    Seen seen;
    http_route routes[] = {{"/", 1, &seen, seen_handler}, {nullptr, 0, nullptr, nullptr}};
    char buf[256];
    size_t held = 0;
    ASSERT_TRUE(testsock::send_text(p.client(), "DELETE /x HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(http_read_request(p.server(), buf, sizeof buf, &held, routes), 0);
    EXPECT_EQ(seen.method, "DELETE");
}

} // namespace
