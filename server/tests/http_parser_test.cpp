#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "http.h"

namespace {

// Every parse reads from a heap block of exactly the input's size, so an
// over-read is caught by AddressSanitizer.
struct ExactBuffer {
    explicit ExactBuffer(const std::string& s) : size(s.size()), data(new char[s.size() ? s.size() : 1])
    {
        if (size)
            std::memcpy(data.get(), s.data(), size);
    }
    size_t size;
    std::unique_ptr<char[]> data;
};

struct Parsed {
    int result = 0;
    std::string method, path;
    int minor = -1;
    std::vector<std::pair<std::string, std::string>> headers; // name "<cont>" for continuations
};

Parsed parse_request(const std::string& text, size_t prev_len = 0, size_t capacity = HTTP_MAX_HEADERS)
{
    ExactBuffer b(text);
    const char *m = nullptr, *p = nullptr;
    size_t ml = 0, pl = 0;
    http_header hs[64];
    size_t n = capacity;
    Parsed r;
    r.result = http_parse_request(b.data.get(), b.size, &m, &ml, &p, &pl, &r.minor, hs, &n, prev_len);
    if (r.result > 0) {
        r.method.assign(m, ml);
        r.path.assign(p, pl);
        for (size_t i = 0; i < n; ++i)
            r.headers.emplace_back(hs[i].name ? std::string(hs[i].name, hs[i].name_len) : "<cont>",
                                   std::string(hs[i].value, hs[i].value_len));
    }
    return r;
}

const int kWhole = 1 << 30; // the whole text is the head

struct RequestCase {
    const char* label;
    std::string text;
    int result; // head length, -1 or -2
    const char* method;
    const char* path;
    int minor;
    std::vector<std::pair<std::string, std::string>> headers;
};

std::string headers_n(int n)
{
    std::string s = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < n; ++i)
        s += "H" + std::to_string(i) + ": v\r\n";
    return s + "\r\n";
}

std::vector<RequestCase> request_cases()
{
    std::string with_body = "POST /v1 HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\n";
    std::string h32 = headers_n(32);
    return {
        {"bare", "GET / HTTP/1.1\r\n\r\n", kWhole, "GET", "/", 1, {}},
        {"lf endings", "GET / HTTP/1.0\n\n", kWhole, "GET", "/", 0, {}},
        {"many spaces", "GET  /x   HTTP/1.0\r\n\r\n", kWhole, "GET", "/x", 0, {}},
        {"leading empty line", "\r\nGET / HTTP/1.1\r\n\r\n", kWhole, "GET", "/", 1, {}},
        {"leading lf", "\nGET / HTTP/1.1\r\n\r\n", kWhole, "GET", "/", 1, {}},
        {"head before body", with_body + "abc", (int)with_body.size(), "POST", "/v1", 1,
         {{"Host", "a"}, {"Content-Length", "3"}}},
        {"value blanks trimmed", "GET / HTTP/1.1\r\nA:  \t x y \t \r\n\r\n", kWhole, "GET", "/", 1, {{"A", "x y"}}},
        {"empty value", "GET / HTTP/1.1\r\nA:\r\n\r\n", kWhole, "GET", "/", 1, {{"A", ""}}},
        {"continuation", "GET / HTTP/1.1\r\nA: 1\r\n \t more  \r\nB: 2\r\n\r\n", kWhole, "GET", "/", 1,
         {{"A", "1"}, {"<cont>", " \t more"}, {"B", "2"}}},
        {"token marks", "GET / HTTP/1.1\r\n!#$%&'*+-.^_`|~09aZ: v\r\n\r\n", kWhole, "GET", "/", 1,
         {{"!#$%&'*+-.^_`|~09aZ", "v"}}},
        {"high bytes", "GET /\xc3\xa9 HTTP/1.1\r\nA: \xff\x80\r\n\r\n", kWhole, "GET", "/\xc3\xa9", 1,
         {{"A", "\xff\x80"}}},
        {"32 headers", h32, (int)h32.size(), "GET", "/", 1, {}},
        {"33 headers", headers_n(33), -1, nullptr, nullptr, -1, {}},
        {"http/2.0", "GET / HTTP/2.0\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"version letter", "GET / HTTP/1.x\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"cr without lf", "GET / HTTP/1.1\rX\r\n", -1, nullptr, nullptr, -1, {}},
        {"junk after version", "GET / HTTP/1.1 \r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"empty method", " / HTTP/1.1\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"control in method", "G\x01T / HTTP/1.1\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"del in path", "GET /\x7f HTTP/1.1\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"no path", "GET\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"space in name", "GET / HTTP/1.1\r\nA B: v\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"empty name", "GET / HTTP/1.1\r\n: v\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"first header continues", "GET / HTTP/1.1\r\n A: v\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"del in value", "GET / HTTP/1.1\r\nA: \x7f\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"control in value", "GET / HTTP/1.1\r\nA: a\x01\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"cr in value", "GET / HTTP/1.1\r\nA: a\rb\r\n\r\n", -1, nullptr, nullptr, -1, {}},
        {"bad empty line", "GET / HTTP/1.1\r\n\rX", -1, nullptr, nullptr, -1, {}},
        {"empty", "", -2, nullptr, nullptr, -1, {}},
        {"no end yet", "GET / HTTP/1.1\r\nHost: a\r\n", -2, nullptr, nullptr, -1, {}},
        {"short version", "GET / HTTP/1.", -2, nullptr, nullptr, -1, {}},
    };
}

TEST(HttpParseRequest, CaseTable)
{
    for (const RequestCase& c : request_cases()) {
        SCOPED_TRACE(c.label);
        Parsed r = parse_request(c.text);
        ASSERT_EQ(r.result, c.result == kWhole ? (int)c.text.size() : c.result);
        if (c.result <= 0)
            continue;
        EXPECT_EQ(r.method, c.method);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.minor, c.minor);
        if (!c.headers.empty()) {
            EXPECT_EQ(r.headers, c.headers);
        }
    }
}

TEST(HttpParseRequest, OutputsClearedOnFailure)
{
    const char text[] = "GET / HTTP/2.0\r\n\r\n";
    const char* m = "x";
    const char* p = "x";
    size_t ml = 9, pl = 9, n = 32;
    int minor = 5;
    http_header hs[32];
    EXPECT_EQ(http_parse_request(text, sizeof text - 1, &m, &ml, &p, &pl, &minor, hs, &n, 0), -1);
    EXPECT_EQ(minor, -1);
    EXPECT_EQ(n, 0u);
}

// Every split point of sample requests: each prefix is incomplete, the whole
// text parses the same, and the previous-length mode agrees at every step.
TEST(HttpParseRequest, EverySplitPoint)
{
    const std::vector<std::string> samples = {
        "POST /v1/model?run=1 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUser-Agent: t\r\n"
        "Content-Length: 4\r\n  folded\r\nAccept: */*\r\n\r\nbody",
        "\nGET /x HTTP/1.0\nA: b\n\n",
    };
    for (const std::string& s : samples) {
        Parsed whole = parse_request(s);
        ASSERT_GT(whole.result, 0);
        for (size_t k = 0; k < (size_t)whole.result; ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(parse_request(s.substr(0, k)).result, -2);
            // previous length k, then the whole text
            Parsed incremental = parse_request(s.substr(0, whole.result), k);
            EXPECT_EQ(incremental.result, whole.result);
            EXPECT_EQ(incremental.headers, whole.headers);
            // text grown from j to k bytes: still incomplete
            for (size_t j = 1; j < k; j += 7)
                EXPECT_EQ(parse_request(s.substr(0, k), j).result, -2);
        }
    }
}

TEST(HttpParseRequest, HeaderCapacityFromCaller)
{
    EXPECT_EQ(parse_request(headers_n(3), 0, 3).result, (int)headers_n(3).size());
    EXPECT_EQ(parse_request(headers_n(4), 0, 3).result, -1);
}

TEST(HttpTokenToEol, LongLinesAndEndings)
{
    struct Case {
        std::string text;
        int ret;        // 0 for found
        size_t length;  // of the token
        size_t consumed;
    };
    const std::string v17(17, 'a');
    const std::vector<Case> cases = {
        {v17 + "\r\n", 0, 17, 19},
        {v17 + "\n", 0, 17, 18},
        {v17, -2, 0, 0},
        {v17 + "\r", -2, 0, 0},
        {v17 + "\rx", -1, 0, 0},
        {std::string(9, 'b') + "\x7f" + "\r\n", -1, 0, 0},
        {std::string(3, 'c') + "\x1f" + std::string(8, 'c') + "\n", -1, 0, 0},
        {"\t\x80 x\n", 0, 4, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ExactBuffer b(c.text);
        const char* tok = nullptr;
        size_t len = 0;
        int ret = 0;
        const char* next = http_token_to_eol(b.data.get(), b.data.get() + b.size, &tok, &len, &ret);
        if (c.ret == 0) {
            ASSERT_NE(next, nullptr);
            EXPECT_EQ(tok, b.data.get());
            EXPECT_EQ(len, c.length);
            EXPECT_EQ((size_t)(next - b.data.get()), c.consumed);
        } else {
            EXPECT_EQ(next, nullptr);
            EXPECT_EQ(ret, c.ret);
        }
    }
}

TEST(HttpParseResponse, StatusLines)
{
    struct Case {
        std::string text;
        int result, minor, status;
        const char* reason;
        size_t headers;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", 25, 1, 200, "OK", 1},
        {"HTTP/1.0 502 \r\n\r\n", 17, 0, 502, "", 0},
        {"HTTP/1.1 204\r\n\r\n", 16, 1, 204, "", 0},
        {"HTTP/1.1 404 Not Found\n\n", 24, 1, 404, "Not Found", 0},
        {"HTTP/1.1 20x OK\r\n\r\n", -1, 0, 0, nullptr, 0},
        {"HTTP/2.0 200 OK\r\n\r\n", -1, 0, 0, nullptr, 0},
        {"HTTP/1.1 200OK\r\n\r\n", -1, 0, 0, nullptr, 0},
        {"HTTP/1.1 20", -2, 0, 0, nullptr, 0},
        {"HTTP/1.1 200 OK\r\n", -2, 0, 0, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ExactBuffer b(c.text);
        int minor, status;
        const char* reason;
        size_t reason_len, n = 8;
        http_header hs[8];
        int r = http_parse_response(b.data.get(), b.size, &minor, &status, &reason, &reason_len, hs, &n, 0);
        ASSERT_EQ(r, c.result);
        if (r > 0) {
            EXPECT_EQ(minor, c.minor);
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(std::string(reason, reason_len), c.reason);
            EXPECT_EQ(n, c.headers);
        }
    }
}

TEST(HttpParseHeaders, BlockAloneAndSplits)
{
    const std::string block = "A: 1\r\nB: two\r\n\r\nrest";
    const int head = 16;
    for (size_t k = 0; k < (size_t)head; ++k) {
        ExactBuffer b(block.substr(0, k));
        http_header hs[4];
        size_t n = 4;
        EXPECT_EQ(http_parse_headers(b.data.get(), b.size, hs, &n, 0), -2) << k;
    }
    ExactBuffer b(block);
    http_header hs[4];
    size_t n = 4;
    ASSERT_EQ(http_parse_headers(b.data.get(), b.size, hs, &n, 3), head);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(std::string(hs[1].value, hs[1].value_len), "two");
    ExactBuffer empty(std::string("\r\n"));
    n = 4;
    EXPECT_EQ(http_parse_headers(empty.data.get(), empty.size, hs, &n, 1), 2);
    EXPECT_EQ(n, 0u);
}

// Chunked decoding: the decoded bytes against the payload put in, fed whole
// and byte by byte.
TEST(HttpDecodeChunked, WholeAndByteByByte)
{
    struct Case {
        std::string encoded;
        int consume_trailer;
        std::string decoded;
        ssize_t left; // bytes after the body, -1 malformed
    };
    const std::vector<Case> cases = {
        {"5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\nNEXT", 1, "hello world", 4},
        {"a\nabcdefghij\n0\n\n", 1, "abcdefghij", 0},
        {"3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n", 1, "abc", 0},
        {"3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n", 0, "abc", 10},
        {"F\r\n0123456789abcde\r\n0\r\n\r\n", 1, "0123456789abcde", 0},
        {"g\r\n", 1, "", -1},
        {"3\r\nabcX\r\n", 1, "abc", -1},
        {"11111111111111111\r\n", 1, "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoded);
        // whole
        std::vector<char> buf(c.encoded.begin(), c.encoded.end());
        http_chunked_decoder d{};
        d.consume_trailer = (char)c.consume_trailer;
        size_t size = buf.size();
        ssize_t r = http_decode_chunked(&d, buf.data(), &size);
        ASSERT_EQ(r, c.left);
        if (r >= 0) {
            EXPECT_EQ(std::string(buf.data(), size), c.decoded);
            EXPECT_EQ(std::string(buf.data() + size, (size_t)r), c.encoded.substr(c.encoded.size() - r));
        }
        // byte by byte
        http_chunked_decoder d2{};
        d2.consume_trailer = (char)c.consume_trailer;
        std::string out;
        ssize_t last = -2;
        size_t i = 0;
        for (; i < c.encoded.size() && last == -2; ++i) {
            char one = c.encoded[i];
            size_t sz = 1;
            last = http_decode_chunked(&d2, &one, &sz);
            out.append(&one, sz);
        }
        if (c.left >= 0) {
            EXPECT_EQ(last, 0); // the byte that ends the body leaves nothing over
            EXPECT_EQ(out, c.decoded);
            EXPECT_EQ(c.encoded.size() - i, (size_t)c.left);
        } else {
            EXPECT_EQ(last, -1);
        }
    }
}

TEST(HttpDecodeChunked, InDataState)
{
    struct Step {
        const char* feed;
        int in_data;
    };
    const Step steps[] = {{"5", 0}, {"\r", 0}, {"\n", 1}, {"he", 1}, {"llo", 0}, {"\r\n", 0}};
    http_chunked_decoder d{};
    for (const Step& s : steps) {
        std::string f = s.feed;
        size_t sz = f.size();
        EXPECT_EQ(http_decode_chunked(&d, &f[0], &sz), -2) << s.feed;
        EXPECT_EQ(http_chunked_in_data(&d) != 0, s.in_data != 0) << s.feed;
    }
}

} // namespace
