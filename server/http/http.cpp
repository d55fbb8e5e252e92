#include "http.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

/* ==== Parser ============================================================ */

namespace http {
namespace {

/* What a parsing step found; the values are the C interface's results. */
enum class Status : int { ok = 0, malformed = -1, incomplete = -2 };

constexpr int to_int(Status s) { return static_cast<int>(s); }

/* The token characters of a header name: letters, digits and
 * ! # $ % & ' * + - . ^ _ ` | ~ */
constexpr bool is_token_char(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

constexpr std::array<bool, 256> token_table = [] {
    std::array<bool, 256> t{};
    for (unsigned c = 0; c < 256; ++c)
        t[c] = is_token_char(static_cast<unsigned char>(c));
    return t;
}();

/* Bytes that belong to a header value: 0x20-0x7E, tab and 0x80-0xFF. */
constexpr bool is_value_char(unsigned char c)
{
    return (c >= 0x20 && c != 0x7F) || c == '\t';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }
constexpr bool is_line_end(char c) { return c == '\r' || c == '\n'; }

/* Each step below reads from the front of `in` and, on success, removes
 * what it consumed; on failure `in` is left where it was or partly read. */

/* The line at the front of some text: the length of its text and of the
 * whole line with its end, unless the status says it is not all there or
 * holds a byte no line may hold. */
struct Line {
    Status status;
    size_t text;
    size_t whole;
};

Line scan_line(std::string_view in)
{
    const size_t n = in.size();
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    size_t i = 0;
    /* Eight bytes per step while that many remain. */
    while (n - i >= 8 && is_value_char(p[i]) && is_value_char(p[i + 1]) &&
           is_value_char(p[i + 2]) && is_value_char(p[i + 3]) && is_value_char(p[i + 4]) &&
           is_value_char(p[i + 5]) && is_value_char(p[i + 6]) && is_value_char(p[i + 7]))
        i += 8;
    for (;; ++i) {
        if (i == n)
            return {Status::incomplete, 0, 0};
        if (is_value_char(p[i]))
            continue;
        if (p[i] == '\n')
            return {Status::ok, i, i + 1};
        if (p[i] != '\r')
            return {Status::malformed, 0, 0}; /* 0x7F or another control byte */
        if (i + 1 == n)
            return {Status::incomplete, 0, 0};
        if (p[i + 1] != '\n')
            return {Status::malformed, 0, 0};
        return {Status::ok, i, i + 2};
    }
}

/* One line: `token` is its text without the line end. */
Status token_to_eol(std::string_view& in, std::string_view& token)
{
    Line line = scan_line(in);
    if (line.status == Status::ok) {
        token = in.substr(0, line.text);
        in.remove_prefix(line.whole);
    }
    return line.status;
}

/* An optional CR followed by LF. */
Status line_end(std::string_view& in)
{
    size_t i = 0;
    if (i < in.size() && in[i] == '\r')
        ++i;
    if (i == in.size())
        return Status::incomplete;
    if (in[i] != '\n')
        return Status::malformed;
    in.remove_prefix(i + 1);
    return Status::ok;
}

bool begins_with_line_end(std::string_view in)
{
    return line_end(in) == Status::ok;
}

void skip_blanks(std::string_view& in)
{
    while (!in.empty() && is_blank(in.front()))
        in.remove_prefix(1);
}

/* Header lines up to and including the empty line that ends them; `count`
 * grows with every header stored. */
Status header_lines(std::string_view& in_out, http_header* headers, size_t& count, size_t capacity)
{
    /* Locals, which the stores into `headers` cannot alias. */
    std::string_view in = in_out;
    size_t n = count;
    auto done = [&](Status s) {
        in_out = in;
        count = n;
        return s;
    };
    for (;;) {
        if (in.empty())
            return done(Status::incomplete);
        if (is_line_end(in.front())) /* the empty line that ends the head */
            return done(line_end(in));
        if (n >= capacity)
            return done(Status::malformed);
        http_header& h = headers[n];
        if (n != 0 && is_blank(in.front())) {
            h.name = nullptr;
            h.name_len = 0;
        } else {
            size_t colon = 0;
            for (;; ++colon) {
                if (colon == in.size())
                    return done(Status::incomplete);
                if (in[colon] == ':')
                    break;
                if (!token_table[static_cast<unsigned char>(in[colon])])
                    return done(Status::malformed);
            }
            if (colon == 0)
                return done(Status::malformed);
            h.name = in.data();
            h.name_len = colon;
            in.remove_prefix(colon + 1);
            skip_blanks(in);
        }
        Line line = scan_line(in);
        if (line.status != Status::ok)
            return done(line.status);
        std::string_view value = in.substr(0, line.text);
        in.remove_prefix(line.whole);
        while (!value.empty() && is_blank(value.back()))
            value.remove_suffix(1);
        h.value = value.data();
        h.value_len = value.size();
        ++n;
    }
}

/* True when an empty line (LF LF or LF CR LF) lies in buf[prev_len-3 ..). */
bool has_head_end(std::string_view buf, size_t prev_len)
{
    for (size_t i = prev_len > 3 ? prev_len - 3 : 0;;) {
        size_t lf = buf.find('\n', i);
        if (lf == std::string_view::npos)
            return false;
        std::string_view after = buf.substr(lf + 1, 2);
        if ((!after.empty() && after[0] == '\n') || after == "\r\n")
            return true;
        i = lf + 1;
    }
}

/* A word of the request line that is not empty, and the spaces after it.
 * Bytes below 0x20 and 0x7F are errors, 0x80-0xFF are accepted. */
Status request_field(std::string_view& in, std::string_view& word)
{
    size_t i = 0;
    for (;; ++i) {
        if (i == in.size())
            return Status::incomplete;
        auto c = static_cast<unsigned char>(in[i]);
        if (c == ' ')
            break;
        if (c < 0x20 || c == 0x7F)
            return Status::malformed;
    }
    if (i == 0)
        return Status::malformed;
    word = in.substr(0, i);
    in.remove_prefix(i);
    while (!in.empty() && in.front() == ' ')
        in.remove_prefix(1);
    return Status::ok;
}

/* "HTTP/1." and the minor version digit at the front of at least 8 bytes. */
constexpr std::string_view version_prefix = "HTTP/1.";

bool version_at_front(std::string_view in, int* minor_version)
{
    if (in.substr(0, version_prefix.size()) != version_prefix || !is_digit(in[version_prefix.size()]))
        return false;
    *minor_version = in[version_prefix.size()] - '0';
    return true;
}

/* Runs `parse` over a whole head.  A non-zero prev_len says the first
 * prev_len bytes were already looked at: without an end of the head in what
 * follows the head is incomplete, parsed or not.  A head block with no
 * header has no LF before its empty line, which `empty_block` allows for.
 * The result is the head's length, -1 or -2. */
template <typename Parse>
int parse_head(const char* buf, size_t len, size_t prev_len, bool empty_block, Parse&& parse)
{
    std::string_view in(buf, len);
    if (prev_len != 0 && !(empty_block && begins_with_line_end(in)) && !has_head_end(in, prev_len))
        return to_int(Status::incomplete);
    if (Status s = parse(in); s != Status::ok)
        return to_int(s);
    size_t head = len - in.size();
    if (head > INT_MAX)
        return to_int(Status::malformed); /* the length would not fit the result */
    return static_cast<int>(head);
}

} // namespace
} // namespace http

using http::Status;

const char* http_token_to_eol(const char* pos, const char* end, const char** token,
                              size_t* token_len, int* ret)
{
    std::string_view in(pos, static_cast<size_t>(end - pos));
    std::string_view line;
    if (Status s = http::token_to_eol(in, line); s != Status::ok) {
        *ret = http::to_int(s);
        return nullptr;
    }
    *token = line.data();
    *token_len = line.size();
    return in.data();
}

const char* http_parse_header_lines(const char* pos, const char* end, http_header* headers,
                                    size_t* count, size_t capacity, int* ret)
{
    std::string_view in(pos, static_cast<size_t>(end - pos));
    if (Status s = http::header_lines(in, headers, *count, capacity); s != Status::ok) {
        *ret = http::to_int(s);
        return nullptr;
    }
    return in.data();
}

int http_parse_request(const char* buf, size_t len, const char** method, size_t* method_len,
                       const char** path, size_t* path_len, int* minor_version,
                       http_header* headers, size_t* header_count, size_t prev_len)
{
    size_t capacity = *header_count;
    *method = nullptr;
    *method_len = 0;
    *path = nullptr;
    *path_len = 0;
    *minor_version = -1;
    *header_count = 0;

    return http::parse_head(buf, len, prev_len, false, [&](std::string_view& in) {
        if (in.empty())
            return Status::incomplete;
        if (http::is_line_end(in.front())) { /* one empty line before the request line */
            if (Status s = http::line_end(in); s != Status::ok)
                return s;
        }
        std::string_view word;
        if (Status s = http::request_field(in, word); s != Status::ok)
            return s;
        *method = word.data();
        *method_len = word.size();
        if (Status s = http::request_field(in, word); s != Status::ok)
            return s;
        *path = word.data();
        *path_len = word.size();

        if (in.size() < 9)
            return Status::incomplete;
        if (!http::version_at_front(in, minor_version))
            return Status::malformed;
        in.remove_prefix(8);
        if (Status s = http::line_end(in); s != Status::ok)
            return s;
        return http::header_lines(in, headers, *header_count, capacity);
    });
}

int http_parse_response(const char* buf, size_t len, int* minor_version, int* status,
                        const char** reason, size_t* reason_len, http_header* headers,
                        size_t* header_count, size_t prev_len)
{
    size_t capacity = *header_count;
    *minor_version = -1;
    *status = 0;
    *reason = nullptr;
    *reason_len = 0;
    *header_count = 0;

    return http::parse_head(buf, len, prev_len, false, [&](std::string_view& in) {
        /* HTTP-version SP status-code SP reason-phrase CRLF */
        if (in.size() < 12)
            return Status::incomplete;
        int minor = -1;
        if (!http::version_at_front(in, &minor) || in[8] != ' ')
            return Status::malformed;
        *minor_version = minor;
        int code = 0;
        for (char c : in.substr(9, 3)) {
            if (!http::is_digit(c))
                return Status::malformed;
            code = code * 10 + (c - '0');
        }
        *status = code;
        in.remove_prefix(12);
        if (in.empty())
            return Status::incomplete;
        if (in.front() == ' ') {
            in.remove_prefix(1);
            std::string_view text;
            if (Status s = http::token_to_eol(in, text); s != Status::ok)
                return s;
            *reason = text.data();
            *reason_len = text.size();
        } else if (http::is_line_end(in.front())) { /* an empty reason without its space */
            *reason = in.data();
            if (Status s = http::line_end(in); s != Status::ok)
                return s;
        } else {
            return Status::malformed;
        }
        return http::header_lines(in, headers, *header_count, capacity);
    });
}

int http_parse_headers(const char* buf, size_t len, http_header* headers, size_t* header_count,
                       size_t prev_len)
{
    size_t capacity = *header_count;
    *header_count = 0;
    return http::parse_head(buf, len, prev_len, true, [&](std::string_view& in) {
        return http::header_lines(in, headers, *header_count, capacity);
    });
}

/* ---- Chunked bodies ---------------------------------------------------- */

namespace http {
namespace {

/* The decoder's state, kept in http_chunked_decoder::state. */
enum class Chunk : char {
    size = 0,
    ext,
    data,
    data_end,
    data_lf,
    trailer_head,
    trailer_rest,
};

/* What one state's step ended with. */
enum class Step { next, more, malformed, complete };

/* The buffer being decoded in place: bytes before `src` are read, decoded
 * bytes go to `dst` (never after src). */
struct InPlace {
    char* buf;
    size_t size;
    size_t src = 0;
    size_t dst = 0;

    bool at_end() const { return src == size; }
    unsigned char peek() const { return static_cast<unsigned char>(buf[src]); }
};

constexpr int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Runs the decoder's current state on `in`; a step that completes the body
 * leaves the state as it is. */
Step chunk_step(http_chunked_decoder& d, InPlace& in)
{
    auto go = [&d](Chunk next) {
        d.state = static_cast<char>(next);
        return Step::next;
    };
    switch (static_cast<Chunk>(d.state)) {
    case Chunk::size:
        for (;; ++in.src) {
            if (in.at_end())
                return Step::more;
            int v = hex_value(in.peek());
            if (v < 0)
                break;
            if (static_cast<size_t>(d.hex_count) >= sizeof(size_t) * 2)
                return Step::malformed;
            d.bytes_left_in_chunk = d.bytes_left_in_chunk * 16 + static_cast<size_t>(v);
            ++d.hex_count;
        }
        if (d.hex_count == 0)
            return Step::malformed;
        d.hex_count = 0;
        return go(Chunk::ext);
    case Chunk::ext:
        /* chunk extensions are skipped up to the line end */
        for (;; ++in.src) {
            if (in.at_end())
                return Step::more;
            unsigned char c = in.peek();
            if (c == '\n')
                break;
            if (c < 0x20 && c != '\t' && c != '\r')
                return Step::malformed;
        }
        ++in.src;
        if (d.bytes_left_in_chunk != 0)
            return go(Chunk::data);
        return d.consume_trailer ? go(Chunk::trailer_head) : Step::complete;
    case Chunk::data: {
        if (in.at_end())
            return Step::more;
        size_t take = std::min(in.size - in.src, d.bytes_left_in_chunk);
        if (in.dst != in.src)
            memmove(in.buf + in.dst, in.buf + in.src, take);
        in.src += take;
        in.dst += take;
        d.bytes_left_in_chunk -= take;
        return d.bytes_left_in_chunk != 0 ? Step::more : go(Chunk::data_end);
    }
    case Chunk::data_end:
        if (in.at_end())
            return Step::more;
        if (in.peek() == '\r')
            ++in.src;
        return go(Chunk::data_lf);
    case Chunk::data_lf:
        if (in.at_end())
            return Step::more;
        if (in.peek() != '\n')
            return Step::malformed;
        ++in.src;
        return go(Chunk::size);
    case Chunk::trailer_head:
        if (in.at_end())
            return Step::more;
        if (in.peek() == '\r')
            ++in.src;
        if (in.at_end())
            return Step::more; /* wait for the LF (a lone CR stays consumed) */
        if (in.peek() == '\n') {
            ++in.src;
            return Step::complete;
        }
        return go(Chunk::trailer_rest);
    case Chunk::trailer_rest:
        for (;; ++in.src) {
            if (in.at_end())
                return Step::more;
            if (in.peek() == '\n')
                break;
        }
        ++in.src;
        return go(Chunk::trailer_head);
    }
    return Step::malformed;
}

} // namespace
} // namespace http

ssize_t http_decode_chunked(http_chunked_decoder* d, char* buf, size_t* bufsz)
{
    http::InPlace in{buf, *bufsz};
    http::Step step;
    do
        step = http::chunk_step(*d, in);
    while (step == http::Step::next);

    ssize_t ret = -2;
    if (step == http::Step::malformed) {
        ret = -1;
    } else if (step == http::Step::complete) {
        /* what follows the body moves up behind the decoded bytes */
        ret = static_cast<ssize_t>(in.size - in.src);
        if (in.dst != in.src)
            memmove(buf + in.dst, buf + in.src, in.size - in.src);
    }
    *bufsz = in.dst;
    return ret;
}

int http_chunked_in_data(const http_chunked_decoder* d)
{
    return static_cast<http::Chunk>(d->state) == http::Chunk::data;
}

/* ==== Writer ============================================================ */

namespace http {
namespace {

constexpr char cors_block[] =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, PUT, POST, HEAD, DELETE, OPTIONS\r\n"
    "Access-Control-Expose-Headers: *\r\n"
    "Access-Control-Max-Age: 86400\r\n";

struct StatusText {
    int code;
    const char* phrase;
};

constexpr StatusText status_texts[] = {
    {100, "Continue"},
    {200, "OK"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {428, "Precondition Failed"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"},
};

/* The reason phrase of a status line; empty for a code not in the table. */
constexpr const char* status_phrase(int status)
{
    for (const StatusText& s : status_texts)
        if (s.code == status)
            return s.phrase;
    return "";
}

static_assert(std::string_view(status_phrase(404)) == "Not Found");
static_assert(std::string_view(status_phrase(299)).empty());

int header_vappendf(char* buf, size_t capacity, size_t* used, const char* format, va_list ap)
{
    if (*used >= capacity) {
        errno = ENOMEM;
        return -1;
    }
    size_t room = capacity - *used;
    int n = vsnprintf(buf + *used, room, format, ap);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) >= room) {
        *used = capacity - 1;
        errno = ENOMEM;
        return -1;
    }
    *used += static_cast<size_t>(n);
    return n;
}

/* Sends every byte, resuming after a signal and after short counts. */
int send_all(int socket, const char* data, size_t len, int flags)
{
    while (len != 0) {
        ssize_t n = send(socket, data, len, flags | MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno != 0)
            fprintf(stderr, "failed to send http response: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

/* Statuses whose replies never carry a body, so no Content-Length. */
constexpr bool status_has_no_body(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

} // namespace
} // namespace http

int header_appendf(char* buf, size_t capacity, size_t* used, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = http::header_vappendf(buf, capacity, used, format, ap);
    va_end(ap);
    return n;
}

int header_append_pair(char* buf, size_t capacity, size_t* used, const char* name,
                       const char* value)
{
    return header_appendf(buf, capacity, used, "%s: %s\r\n", name, value);
}

/* Weak references: a serving program defines the hooks, a plug-in loaded
 * into it binds to the program's definitions, any other user of this core
 * finds them null. */
extern "C" {
__attribute__((weak, visibility("default"))) int http_connection_ends(int socket);
__attribute__((weak, visibility("default"))) void http_connection_closed(int socket);
__attribute__((weak, visibility("default"))) int http_serving_stopped(void);
}

int http_stop_requested(void) { return http_serving_stopped ? http_serving_stopped() : 0; }

int http_respond(int socket, int status, const char* content_type, size_t content_length,
                 const void* body, int flags, ...)
{
    char head[HTTP_HEADER_BUFFER];
    size_t used = 0;
    const size_t cap = sizeof head;

    if (!body && content_length != 0) {
        errno = EINVAL; /* would promise bytes that never come */
        return -1;
    }
    /* An interim reply never ends its connection: the final one follows. */
    if (!(flags & HTTP_CLOSE) && status >= 200 && http_connection_ends &&
        http_connection_ends(socket))
        flags |= HTTP_CLOSE;
    if (header_appendf(head, cap, &used, "HTTP/1.1 %d %s\r\n", status,
                       http::status_phrase(status)) < 0 ||
        header_appendf(head, cap, &used, "%s", http::cors_block) < 0) {
        fprintf(stderr, "failed to write response code: %s\n", strerror(errno));
        return -1;
    }
    if (content_type &&
        header_appendf(head, cap, &used, "Content-Type: %s\r\n", content_type) < 0) {
        fprintf(stderr, "failed to write header Content-Type: %s\n", strerror(errno));
        return -1;
    }
    if ((content_length != 0 || !http::status_has_no_body(status)) &&
        header_appendf(head, cap, &used, "Content-Length: %zu\r\n", content_length) < 0) {
        fprintf(stderr, "failed to write header Content-Length: %s\n", strerror(errno));
        return -1;
    }
    if ((flags & HTTP_CLOSE) &&
        header_appendf(head, cap, &used, "Connection: close\r\n") < 0) {
        fprintf(stderr, "failed to write header Connection: %s\n", strerror(errno));
        return -1;
    }

    va_list ap;
    va_start(ap, flags);
    for (const char* name = va_arg(ap, const char*); name; name = va_arg(ap, const char*)) {
        const char* value = va_arg(ap, const char*);
        if (!value) {
            va_end(ap);
            fprintf(stderr, "invalid header %s missing value\n", name);
            errno = EINVAL;
            return -1;
        }
        if (header_append_pair(head, cap, &used, name, value) < 0) {
            va_end(ap);
            fprintf(stderr, "failed to write header %s: %s\n", name, strerror(errno));
            return -1;
        }
    }
    va_end(ap);

    if (!(flags & HTTP_NO_HEADER_END) && header_appendf(head, cap, &used, "\r\n") < 0) {
        fprintf(stderr, "failed to write end of headers: %s\n", strerror(errno));
        return -1;
    }

    bool with_body = body && content_length != 0;
    errno = 0;
    /* MSG_MORE keeps the head and the body in one segment when they fit, so a
     * kept-alive peer's delayed ACK does not stall the body. */
    if (http::send_all(socket, head, used, with_body ? MSG_MORE : 0) != 0)
        return -1;
    if (with_body &&
        http::send_all(socket, static_cast<const char*>(body), content_length, 0) != 0)
        return -1;

    if (flags & HTTP_CLOSE) {
        if (shutdown(socket, SHUT_WR) != 0) {
            fprintf(stderr, "failed to shutdown socket: %s\n", strerror(errno));
            return -1;
        }
        while (recv(socket, head, sizeof head, 0) < 0 && errno == EINTR) {
        }
        close(socket);
        if (http_connection_closed)
            http_connection_closed(socket);
    }
    return 0;
}

/* ==== Router ============================================================ */

int http_dispatch(int socket, const http_route* routes, char* method, char* path,
                  http_header* headers, size_t header_count, char* body, size_t body_len)
{
    const std::string_view target(path);
    for (const http_route* r = routes; r && r->path; ++r) {
        if (r->handler && target.substr(0, r->path_len) == std::string_view(r->path, r->path_len))
            return r->handler(socket, method, path, headers, header_count, body, body_len,
                              r->user);
    }
    return http_respond(socket, 404, "text/plain", 12, "Invalid Path", 0,
                        static_cast<const char*>(nullptr));
}

ssize_t net_send(int socket, const void* data, size_t len, int flags)
{
    return send(socket, data, len, flags);
}

ssize_t net_recv(int socket, void* data, size_t len, int flags)
{
    return recv(socket, data, len, flags);
}

/* ==== Reader ============================================================ */

namespace http {
namespace {

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* One receive, resumed after a signal.  0 bytes is the peer's close.  With a
 * deadline (not 0) it waits for data only until then, whatever the socket's
 * own timeout, and fails with EAGAIN when the time is up. */
ssize_t recv_some(int socket, char* data, size_t len, int64_t deadline_ns)
{
    const int flags = deadline_ns != 0 ? MSG_DONTWAIT : 0;
    for (;;) {
        ssize_t n = recv(socket, data, len, flags);
        if (n > 0)
            return n;
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (deadline_ns == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return -1;
        const int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) {
            errno = EAGAIN;
            return -1;
        }
        pollfd p = {socket, POLLIN, 0};
        const int64_t ms = std::min<int64_t>((left + 999999) / 1000000, INT_MAX);
        if (poll(&p, 1, static_cast<int>(ms)) < 0 && errno != EINTR)
            return -1;
    }
}

/* Content-Length: 1 to 31 decimal digits whose value fits 64 bits. */
std::optional<uint64_t> parse_content_length(std::string_view text)
{
    if (text.empty() || text.size() >= 32)
        return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (!is_digit(c))
            return std::nullopt;
        auto d = static_cast<unsigned>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::string_view name_of(const http_header& h)
{
    return h.name ? std::string_view(h.name, h.name_len) : std::string_view();
}

std::string_view value_of(const http_header& h)
{
    return std::string_view(h.value, h.value_len);
}

bool equals_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

/* How the head frames the request. */
struct Framing {
    bool expect = false;       /* "Expect: 100-continue" */
    bool have_length = false;  /* a Content-Length header */
    bool chunked = false;      /* a Transfer-Encoding header */
    uint64_t length = 0;
};

/* Reads the framing headers; false (with the complaint printed) when one is
 * invalid or two lengths disagree. */
bool read_framing(const http_header* headers, size_t count, Framing& f)
{
    for (const http_header* h = headers; h != headers + count; ++h) {
        std::string_view name = name_of(*h), value = value_of(*h);
        if (name == "Expect") {
            if (value != "100-continue") {
                fprintf(stderr, "Invalid Expect: %.*s\n", static_cast<int>(value.size()),
                        value.data());
                return false;
            }
            f.expect = true;
        } else if (equals_nocase(name, "Content-Length")) {
            std::optional<uint64_t> v = parse_content_length(value);
            if (!v || (f.have_length && *v != f.length)) {
                fprintf(stderr, "Invalid Content-Length: %.*s\n", static_cast<int>(value.size()),
                        value.data());
                return false;
            }
            f.length = *v;
            f.have_length = true;
        } else if (equals_nocase(name, "Transfer-Encoding")) {
            f.chunked = true;
        }
    }
    return true;
}

int send_continue(int socket)
{
    return http_respond(socket, 100, nullptr, 0, nullptr, 0, static_cast<const char*>(nullptr));
}

/* A parsed head: the request line's words and the headers. */
struct Head {
    const char* method;
    size_t method_len;
    const char* path;
    size_t path_len;
    int minor;
    http_header headers[HTTP_MAX_HEADERS];
    size_t header_count;
    size_t length; /* of the head itself */
};

/* Receives until the buffer holds a whole head: 0, or -1 with errno
 * EINVAL, ENOBUFS or the receive's error. */
int read_head(int socket, char* buf, size_t capacity, size_t* held, http_read_state& state,
              Head& head, int64_t deadline_ns)
{
    errno = 0;
    for (;;) {
        if (*held != 0) {
            head.header_count = HTTP_MAX_HEADERS;
            size_t prev = std::min(state.scanned, *held);
            int n = http_parse_request(buf, *held, &head.method, &head.method_len, &head.path,
                                       &head.path_len, &head.minor, head.headers,
                                       &head.header_count, prev);
            if (n == to_int(Status::malformed)) {
                fprintf(stderr, "invalid http request %.*s\n", static_cast<int>(*held), buf);
                errno = EINVAL;
                return -1;
            }
            if (n > 0) {
                head.length = static_cast<size_t>(n);
                state.scanned = 0; /* the head is whole: a later call parses it afresh */
                return 0;
            }
            state.scanned = *held;
            if (*held >= capacity) {
                errno = ENOBUFS;
                return -1;
            }
        }
        errno = 0;
        ssize_t n = recv_some(socket, buf + *held, capacity - *held, deadline_ns);
        if (n < 0)
            return -1;
        *held += static_cast<size_t>(n);
    }
}

} // namespace
} // namespace http

namespace http {
namespace {

int read_request(int socket, char* buf, size_t capacity, size_t* held, const http_route* routes,
                 http_read_state* state)
{
    const int64_t deadline = state->deadline_ns;
    http::Head h;
    if (http::read_head(socket, buf, capacity, held, *state, h, deadline) != 0)
        return -1;

    http::Framing f;
    if (!http::read_framing(h.headers, h.header_count, f)) {
        errno = EINVAL;
        return -1;
    }
    if (f.chunked) {
        /* No framing but Content-Length is understood: refuse, and end the
         * connection since the body's end cannot be found. */
        *held = 0;
        if (http_respond(socket, 411, "text/plain", 15, "Length Required", HTTP_CLOSE,
                         static_cast<const char*>(nullptr)) != 0)
            return -1;
        state->closed = 1;
        errno = 0;
        return -1;
    }

    /* The interim reply goes out as soon as the head is known, while the
     * client still holds the body back. */
    if (f.expect && f.length != 0 && *held == h.length && !state->continue_sent) {
        if (http::send_continue(socket) != 0)
            return -1;
        state->continue_sent = 1;
    }

    if (f.length > capacity - h.length) {
        errno = ENOBUFS;
        return -1;
    }
    const size_t total = h.length + static_cast<size_t>(f.length);
    while (*held < total) {
        ssize_t n = http::recv_some(socket, buf + *held, total - *held, deadline);
        if (n < 0)
            return -1;
        *held += static_cast<size_t>(n);
    }

    size_t surplus = *held - total;
    if (surplus != 0)
        printf("HTTP REQUEST %p CAPTURED %zu BYTES -- REQLEN: %d CONTENT: %zu REMAIN: %zu\n",
               reinterpret_cast<void*>(static_cast<intptr_t>(socket)), *held,
               static_cast<int>(h.length), static_cast<size_t>(f.length), surplus);

    if (f.expect && !state->continue_sent) {
        if (http::send_continue(socket) != 0)
            return -1;
    }
    state->continue_sent = 0;

    /* The head lies in the caller's writable buffer. */
    char* method = const_cast<char*>(h.method);
    char* path = const_cast<char*>(h.path);
    method[h.method_len] = '\0';
    path[h.path_len] = '\0';
    char* body = f.have_length ? buf + h.length : nullptr;
    *held = 0;
    state->dispatched = 1;
    int result = http_dispatch(socket, routes, method, path, h.headers, h.header_count, body,
                               static_cast<size_t>(f.length));
    if (surplus != 0) {
        /* A pipelined request: keep it for the next call. */
        memmove(buf, buf + total, surplus);
        *held = surplus;
    }
    return result;
}

} // namespace
} // namespace http

int http_read_request_ex(int socket, char* buf, size_t capacity, size_t* held,
                         const http_route* routes, http_read_state* state)
{
    http_read_state local = {};
    if (!state)
        state = &local;
    state->dispatched = 0;
    state->closed = 0;
    if (state->time_limit_ms == 0)
        state->deadline_ns = 0;
    else if (state->deadline_ns == 0)
        state->deadline_ns =
            http::monotonic_ns() + static_cast<int64_t>(state->time_limit_ms) * 1000000;

    int result = http::read_request(socket, buf, capacity, held, routes, state);
    /* Only a request waiting for a bigger buffer keeps its clock running. */
    if (!(result == -1 && errno == ENOBUFS && !state->dispatched))
        state->deadline_ns = 0;
    return result;
}

int http_read_request(int socket, char* buf, size_t capacity, size_t* held,
                      const http_route* routes)
{
    return http_read_request_ex(socket, buf, capacity, held, routes, nullptr);
}
