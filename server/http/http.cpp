#include "http.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

/* ==== Parser ============================================================ */

/* The token characters of a header name: letters, digits and
 * ! # $ % & ' * + - . ^ _ ` | ~ */
static bool is_token_char(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
        return true;
    default:
        return false;
    }
}

/* Bytes that belong to a header value: 0x20-0x7E, tab and 0x80-0xFF. */
static inline bool is_value_char(unsigned char c)
{
    return (c >= 0x20 && c != 0x7F) || c == '\t';
}

const char* http_token_to_eol(const char* pos, const char* end, const char** token,
                              size_t* token_len, int* ret)
{
    const char* start = pos;
    /* Eight bytes per step while that many remain. */
    while (end - pos >= 8) {
        const unsigned char* p = (const unsigned char*)pos;
        if (!(is_value_char(p[0]) && is_value_char(p[1]) && is_value_char(p[2]) &&
              is_value_char(p[3]) && is_value_char(p[4]) && is_value_char(p[5]) &&
              is_value_char(p[6]) && is_value_char(p[7])))
            break;
        pos += 8;
    }
    for (;;) {
        if (pos == end) {
            *ret = -2;
            return NULL;
        }
        unsigned char c = (unsigned char)*pos;
        if (is_value_char(c)) {
            ++pos;
            continue;
        }
        if (c == '\r') {
            if (pos + 1 == end) {
                *ret = -2;
                return NULL;
            }
            if (pos[1] != '\n') {
                *ret = -1;
                return NULL;
            }
            *token = start;
            *token_len = (size_t)(pos - start);
            return pos + 2;
        }
        if (c == '\n') {
            *token = start;
            *token_len = (size_t)(pos - start);
            return pos + 1;
        }
        *ret = -1; /* 0x7F or another control byte */
        return NULL;
    }
}

/* An optional CR followed by LF; returns the position after it. */
static const char* parse_line_end(const char* pos, const char* end, int* ret)
{
    if (pos == end) {
        *ret = -2;
        return NULL;
    }
    if (*pos == '\r') {
        ++pos;
        if (pos == end) {
            *ret = -2;
            return NULL;
        }
        if (*pos != '\n') {
            *ret = -1;
            return NULL;
        }
        return pos + 1;
    }
    if (*pos == '\n')
        return pos + 1;
    *ret = -1;
    return NULL;
}

const char* http_parse_header_lines(const char* pos, const char* end, http_header* headers,
                                    size_t* count, size_t capacity, int* ret)
{
    for (;;) {
        if (pos == end) {
            *ret = -2;
            return NULL;
        }
        if (*pos == '\r' || *pos == '\n') /* the empty line that ends the head */
            return parse_line_end(pos, end, ret);
        if (*count >= capacity) {
            *ret = -1;
            return NULL;
        }
        http_header* h = &headers[*count];
        if (*count != 0 && (*pos == ' ' || *pos == '\t')) {
            h->name = NULL;
            h->name_len = 0;
        } else {
            const char* name = pos;
            for (;;) {
                if (pos == end) {
                    *ret = -2;
                    return NULL;
                }
                if (*pos == ':')
                    break;
                if (!is_token_char((unsigned char)*pos)) {
                    *ret = -1;
                    return NULL;
                }
                ++pos;
            }
            if (pos == name) {
                *ret = -1;
                return NULL;
            }
            h->name = name;
            h->name_len = (size_t)(pos - name);
            ++pos;
            while (pos != end && (*pos == ' ' || *pos == '\t'))
                ++pos;
        }
        const char* value;
        size_t value_len;
        pos = http_token_to_eol(pos, end, &value, &value_len, ret);
        if (!pos)
            return NULL;
        while (value_len != 0 && (value[value_len - 1] == ' ' || value[value_len - 1] == '\t'))
            --value_len;
        h->value = value;
        h->value_len = value_len;
        ++*count;
    }
}

/* True when an empty line (LF LF or LF CR LF) lies in buf[from-3 .. len). */
static bool has_head_end(const char* buf, size_t len, size_t prev_len)
{
    size_t i = prev_len > 3 ? prev_len - 3 : 0;
    while (i < len) {
        const char* lf = static_cast<const char*>(memchr(buf + i, '\n', len - i));
        if (!lf)
            return false;
        size_t at = (size_t)(lf - buf);
        if (at + 1 < len && buf[at + 1] == '\n')
            return true;
        if (at + 2 < len && buf[at + 1] == '\r' && buf[at + 2] == '\n')
            return true;
        i = at + 1;
    }
    return false;
}

/* One word of the request line: up to the next space.  Bytes below 0x20 and
 * 0x7F are errors, 0x80-0xFF are accepted. */
static const char* parse_word(const char* pos, const char* end, int* ret)
{
    for (;;) {
        if (pos == end) {
            *ret = -2;
            return NULL;
        }
        unsigned char c = (unsigned char)*pos;
        if (c == ' ')
            return pos;
        if (c < 0x20 || c == 0x7F) {
            *ret = -1;
            return NULL;
        }
        ++pos;
    }
}

/* A word of the request line that is not empty, and the spaces after it. */
static const char* parse_field(const char* pos, const char* end, const char** word,
                               size_t* word_len, int* ret)
{
    const char* start = pos;
    if (!(pos = parse_word(pos, end, ret)))
        return NULL;
    if (pos == start) {
        *ret = -1;
        return NULL;
    }
    *word = start;
    *word_len = (size_t)(pos - start);
    while (pos != end && *pos == ' ')
        ++pos;
    return pos;
}

int http_parse_request(const char* buf, size_t len, const char** method, size_t* method_len,
                       const char** path, size_t* path_len, int* minor_version,
                       http_header* headers, size_t* header_count, size_t prev_len)
{
    size_t capacity = *header_count;
    *method = NULL;
    *method_len = 0;
    *path = NULL;
    *path_len = 0;
    *minor_version = -1;
    *header_count = 0;

    if (prev_len != 0 && !has_head_end(buf, len, prev_len))
        return -2;

    const char* pos = buf;
    const char* end = buf + len;
    int ret = -2;

    if (pos == end)
        return -2;
    if (*pos == '\r' || *pos == '\n') { /* one empty line before the request line */
        pos = parse_line_end(pos, end, &ret);
        if (!pos)
            return ret;
    }

    if (!(pos = parse_field(pos, end, method, method_len, &ret)))
        return ret;
    if (!(pos = parse_field(pos, end, path, path_len, &ret)))
        return ret;

    if (end - pos < 9)
        return -2;
    if (memcmp(pos, "HTTP/1.", 7) != 0 || pos[7] < '0' || pos[7] > '9')
        return -1;
    *minor_version = pos[7] - '0';
    pos += 8;
    if (!(pos = parse_line_end(pos, end, &ret)))
        return ret;

    if (!(pos = http_parse_header_lines(pos, end, headers, header_count, capacity, &ret)))
        return ret;
    if (pos - buf > INT_MAX)
        return -1; /* the length would not fit the result */
    return (int)(pos - buf);
}

int http_parse_response(const char* buf, size_t len, int* minor_version, int* status,
                        const char** reason, size_t* reason_len, http_header* headers,
                        size_t* header_count, size_t prev_len)
{
    size_t capacity = *header_count;
    *minor_version = -1;
    *status = 0;
    *reason = NULL;
    *reason_len = 0;
    *header_count = 0;

    if (prev_len != 0 && !has_head_end(buf, len, prev_len))
        return -2;

    const char* pos = buf;
    const char* end = buf + len;
    int ret = -2;

    /* HTTP-version SP status-code SP reason-phrase CRLF */
    if (end - pos < 12)
        return -2;
    if (memcmp(pos, "HTTP/1.", 7) != 0 || pos[7] < '0' || pos[7] > '9' || pos[8] != ' ')
        return -1;
    *minor_version = pos[7] - '0';
    pos += 9;
    int code = 0;
    for (int i = 0; i < 3; ++i, ++pos) {
        if (*pos < '0' || *pos > '9')
            return -1;
        code = code * 10 + (*pos - '0');
    }
    *status = code;
    if (pos == end)
        return -2;
    if (*pos == ' ') {
        ++pos;
        if (!(pos = http_token_to_eol(pos, end, reason, reason_len, &ret)))
            return ret;
    } else if (*pos == '\r' || *pos == '\n') { /* an empty reason without its space */
        *reason = pos;
        if (!(pos = parse_line_end(pos, end, &ret)))
            return ret;
    } else {
        return -1;
    }

    if (!(pos = http_parse_header_lines(pos, end, headers, header_count, capacity, &ret)))
        return ret;
    return (int)(pos - buf);
}

int http_parse_headers(const char* buf, size_t len, http_header* headers, size_t* header_count,
                       size_t prev_len)
{
    size_t capacity = *header_count;
    *header_count = 0;
    if (prev_len != 0) {
        /* A block that is only the empty line has no LF before it. */
        bool bare_end = (len >= 1 && buf[0] == '\n') || (len >= 2 && buf[0] == '\r' && buf[1] == '\n');
        if (!bare_end && !has_head_end(buf, len, prev_len))
            return -2;
    }
    int ret = -2;
    const char* pos = http_parse_header_lines(buf, buf + len, headers, header_count, capacity, &ret);
    if (!pos)
        return ret;
    return (int)(pos - buf);
}

/* ---- Chunked bodies ---------------------------------------------------- */

enum {
    CHUNK_SIZE = 0,
    CHUNK_EXT,
    CHUNK_DATA,
    CHUNK_DATA_END,
    CHUNK_DATA_LF,
    CHUNK_TRAILER_HEAD,
    CHUNK_TRAILER_REST,
};

static int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

ssize_t http_decode_chunked(http_chunked_decoder* d, char* buf, size_t* bufsz)
{
    size_t n = *bufsz, src = 0, dst = 0;
    ssize_t ret = -2;

    for (;;) {
        switch (d->state) {
        case CHUNK_SIZE:
            for (;; ++src) {
                if (src == n)
                    goto out;
                int v = hex_value((unsigned char)buf[src]);
                if (v < 0) {
                    if (d->hex_count == 0) {
                        ret = -1;
                        goto out;
                    }
                    break;
                }
                if ((size_t)d->hex_count >= sizeof(size_t) * 2) {
                    ret = -1;
                    goto out;
                }
                d->bytes_left_in_chunk = d->bytes_left_in_chunk * 16 + (size_t)v;
                ++d->hex_count;
            }
            d->hex_count = 0;
            d->state = CHUNK_EXT;
            /* fall through */
        case CHUNK_EXT:
            /* chunk extensions are skipped up to the line end */
            for (;; ++src) {
                if (src == n)
                    goto out;
                unsigned char c = (unsigned char)buf[src];
                if (c == '\n')
                    break;
                if (c < 0x20 && c != '\t' && c != '\r') {
                    ret = -1;
                    goto out;
                }
            }
            ++src;
            if (d->bytes_left_in_chunk == 0) {
                if (d->consume_trailer) {
                    d->state = CHUNK_TRAILER_HEAD;
                    break;
                }
                goto complete;
            }
            d->state = CHUNK_DATA;
            /* fall through */
        case CHUNK_DATA: {
            size_t avail = n - src;
            if (avail == 0)
                goto out;
            size_t take = avail < d->bytes_left_in_chunk ? avail : d->bytes_left_in_chunk;
            if (dst != src)
                memmove(buf + dst, buf + src, take);
            src += take;
            dst += take;
            d->bytes_left_in_chunk -= take;
            if (d->bytes_left_in_chunk != 0)
                goto out;
            d->state = CHUNK_DATA_END;
        }
            /* fall through */
        case CHUNK_DATA_END:
            if (src == n)
                goto out;
            if (buf[src] == '\r')
                ++src;
            d->state = CHUNK_DATA_LF;
            /* fall through */
        case CHUNK_DATA_LF:
            if (src == n)
                goto out;
            if (buf[src] != '\n') {
                ret = -1;
                goto out;
            }
            ++src;
            d->state = CHUNK_SIZE;
            break;
        case CHUNK_TRAILER_HEAD:
            if (src == n)
                goto out;
            if (buf[src] == '\r')
                ++src;
            if (src == n)
                goto out; /* wait for the LF (a lone CR stays consumed) */
            if (buf[src] == '\n') {
                ++src;
                goto complete;
            }
            d->state = CHUNK_TRAILER_REST;
            /* fall through */
        case CHUNK_TRAILER_REST:
            for (;; ++src) {
                if (src == n)
                    goto out;
                if (buf[src] == '\n')
                    break;
            }
            ++src;
            d->state = CHUNK_TRAILER_HEAD;
            break;
        default:
            ret = -1;
            goto out;
        }
    }

complete:
    ret = (ssize_t)(n - src);
out:
    if (ret >= 0 && dst != src)
        memmove(buf + dst, buf + src, n - src);
    *bufsz = dst;
    return ret;
}

int http_chunked_in_data(const http_chunked_decoder* d)
{
    return d->state == CHUNK_DATA;
}

/* ==== Writer ============================================================ */

static const char cors_block[] =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, PUT, POST, HEAD, DELETE, OPTIONS\r\n"
    "Access-Control-Expose-Headers: *\r\n"
    "Access-Control-Max-Age: 86400\r\n";

static const char* status_phrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 428: return "Precondition Failed";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "";
    }
}

static int header_vappendf(char* buf, size_t capacity, size_t* used, const char* format,
                           va_list ap)
{
    if (*used >= capacity) {
        errno = ENOMEM;
        return -1;
    }
    size_t room = capacity - *used;
    int n = vsnprintf(buf + *used, room, format, ap);
    if (n < 0)
        return -1;
    if ((size_t)n >= room) {
        *used = capacity - 1;
        errno = ENOMEM;
        return -1;
    }
    *used += (size_t)n;
    return n;
}

int header_appendf(char* buf, size_t capacity, size_t* used, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = header_vappendf(buf, capacity, used, format, ap);
    va_end(ap);
    return n;
}

int header_append_pair(char* buf, size_t capacity, size_t* used, const char* name,
                       const char* value)
{
    return header_appendf(buf, capacity, used, "%s: %s\r\n", name, value);
}

/* Sends every byte, resuming after a signal and after short counts. */
static int send_all(int socket, const char* data, size_t len, int flags)
{
    while (len != 0) {
        ssize_t n = send(socket, data, len, flags | MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            len -= (size_t)n;
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
static bool status_has_no_body(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

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
    if (header_appendf(head, cap, &used, "HTTP/1.1 %d %s\r\n", status, status_phrase(status)) < 0 ||
        header_appendf(head, cap, &used, "%s", cors_block) < 0) {
        fprintf(stderr, "failed to write response code: %s\n", strerror(errno));
        return -1;
    }
    if (content_type &&
        header_appendf(head, cap, &used, "Content-Type: %s\r\n", content_type) < 0) {
        fprintf(stderr, "failed to write header Content-Type: %s\n", strerror(errno));
        return -1;
    }
    if ((content_length != 0 || !status_has_no_body(status)) &&
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
    if (send_all(socket, head, used, with_body ? MSG_MORE : 0) != 0)
        return -1;
    if (with_body && send_all(socket, (const char*)body, content_length, 0) != 0)
        return -1;

    if (flags & HTTP_CLOSE) {
        if (shutdown(socket, SHUT_WR) != 0) {
            fprintf(stderr, "failed to shutdown socket: %s\n", strerror(errno));
            return -1;
        }
        while (recv(socket, head, sizeof head, 0) < 0 && errno == EINTR) {
        }
        close(socket);
    }
    return 0;
}

/* ==== Router ============================================================ */

int http_dispatch(int socket, const http_route* routes, char* method, char* path,
                  http_header* headers, size_t header_count, char* body, size_t body_len)
{
    size_t path_len = strlen(path);
    for (const http_route* r = routes; r && r->path; ++r) {
        if (r->path_len > path_len || !r->handler)
            continue;
        if (memcmp(r->path, path, r->path_len) == 0)
            return r->handler(socket, method, path, headers, header_count, body, body_len,
                              r->user);
    }
    return http_respond(socket, 404, "text/plain", 12, "Invalid Path", 0, (const char*)NULL);
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

/* One receive, resumed after a signal.  0 bytes is the peer's close. */
static ssize_t recv_some(int socket, char* data, size_t len)
{
    for (;;) {
        ssize_t n = recv(socket, data, len, 0);
        if (n > 0)
            return n;
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        if (errno != EINTR)
            return -1;
    }
}

/* Content-Length: 1 to 31 decimal digits whose value fits 64 bits. */
static bool parse_content_length(const char* text, size_t len, uint64_t* out)
{
    if (len == 0 || len >= 32)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c < '0' || c > '9')
            return false;
        unsigned d = c - '0';
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

static bool name_is(const http_header* h, const char* word, size_t len)
{
    return h->name && h->name_len == len && memcmp(h->name, word, len) == 0;
}

static bool name_is_nocase(const http_header* h, const char* word, size_t len)
{
    return h->name && h->name_len == len && strncasecmp(h->name, word, len) == 0;
}

static int send_continue(int socket)
{
    return http_respond(socket, 100, NULL, 0, NULL, 0, (const char*)NULL);
}

int http_read_request_ex(int socket, char* buf, size_t capacity, size_t* held,
                         const http_route* routes, http_read_state* state)
{
    http_read_state local = {};
    if (!state)
        state = &local;
    state->dispatched = 0;
    state->closed = 0;

    const char* method;
    const char* path;
    size_t method_len, path_len, header_count;
    int minor;
    http_header headers[HTTP_MAX_HEADERS];
    int head_len;

    errno = 0;
    for (;;) {
        if (*held != 0) {
            header_count = HTTP_MAX_HEADERS;
            size_t prev = state->scanned < *held ? state->scanned : *held;
            head_len = http_parse_request(buf, *held, &method, &method_len, &path, &path_len,
                                          &minor, headers, &header_count, prev);
            if (head_len == -1) {
                fprintf(stderr, "invalid http request %.*s\n", (int)*held, buf);
                errno = EINVAL;
                return -1;
            }
            if (head_len > 0)
                break;
            state->scanned = *held;
            if (*held >= capacity) {
                errno = ENOBUFS;
                return -1;
            }
        }
        errno = 0;
        ssize_t n = recv_some(socket, buf + *held, capacity - *held);
        if (n < 0)
            return -1;
        *held += (size_t)n;
    }
    state->scanned = 0; /* the head is whole: a later call parses it afresh */

    bool expect = false, have_length = false, chunked = false;
    uint64_t length = 0;
    char* body = NULL;
    for (size_t i = 0; i < header_count; ++i) {
        const http_header* h = &headers[i];
        if (!h->name)
            continue;
        if (name_is(h, "Expect", 6)) {
            if (h->value_len != 12 || memcmp(h->value, "100-continue", 12) != 0) {
                fprintf(stderr, "Invalid Expect: %.*s\n", (int)h->value_len, h->value);
                errno = EINVAL;
                return -1;
            }
            expect = true;
        } else if (name_is_nocase(h, "Content-Length", 14)) {
            uint64_t v;
            if (!parse_content_length(h->value, h->value_len, &v) || (have_length && v != length)) {
                fprintf(stderr, "Invalid Content-Length: %.*s\n", (int)h->value_len, h->value);
                errno = EINVAL;
                return -1;
            }
            length = v;
            have_length = true;
            body = buf + head_len;
        } else if (name_is_nocase(h, "Transfer-Encoding", 17)) {
            chunked = true;
        }
    }

    if (chunked) {
        /* No framing but Content-Length is understood: refuse, and end the
         * connection since the body's end cannot be found. */
        *held = 0;
        if (http_respond(socket, 411, "text/plain", 15, "Length Required", HTTP_CLOSE,
                         (const char*)NULL) != 0)
            return -1;
        state->closed = 1;
        errno = 0;
        return -1;
    }

    size_t head = (size_t)head_len;
    /* The interim reply goes out as soon as the head is known, while the
     * client still holds the body back. */
    if (expect && length != 0 && *held == head && !state->continue_sent) {
        if (send_continue(socket) != 0)
            return -1;
        state->continue_sent = 1;
    }

    if (length != 0) {
        if (length > capacity - head) {
            errno = ENOBUFS;
            return -1;
        }
        size_t total = head + (size_t)length;
        while (*held < total) {
            ssize_t n = recv_some(socket, buf + *held, total - *held);
            if (n < 0)
                return -1;
            *held += (size_t)n;
        }
    }

    size_t total = head + (size_t)length;
    size_t surplus = *held - total;
    if (surplus != 0)
        printf("HTTP REQUEST %p CAPTURED %zu BYTES -- REQLEN: %d CONTENT: %zu REMAIN: %zu\n",
               (void*)(intptr_t)socket, *held, head_len, (size_t)length, surplus);

    if (expect && !state->continue_sent) {
        if (send_continue(socket) != 0)
            return -1;
    }
    state->continue_sent = 0;

    ((char*)method)[method_len] = '\0';
    ((char*)path)[path_len] = '\0';
    *held = 0;
    state->dispatched = 1;
    int result = http_dispatch(socket, routes, (char*)method, (char*)path, headers, header_count,
                               body, (size_t)length);
    if (surplus != 0) {
        /* A pipelined request: keep it for the next call. */
        memmove(buf, buf + total, surplus);
        *held = surplus;
    }
    return result;
}

int http_read_request(int socket, char* buf, size_t capacity, size_t* held,
                      const http_route* routes)
{
    return http_read_request_ex(socket, buf, capacity, held, routes, NULL);
}
