/* HTTP/1.1 core shared by brindlecast and every engine plug-in: the in-place
 * request parser, the request reader, the response writer and the router. */
#ifndef BRINDLECAST_HTTP_H
#define BRINDLECAST_HTTP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One request header.  Name and value point into the request buffer and are
 * not terminated.  A continuation line has a NULL name and a name length of 0;
 * its value is the whole line from its first blank. */
typedef struct http_header {
    const char* name;
    size_t name_len;
    const char* value;
    size_t value_len;
} http_header;

/* Request handler: (socket, method, path, headers, header count, body or NULL,
 * body length, the route's user pointer).  Method and path are terminated;
 * the body is not, and the byte after it may start the next request.  A
 * handler may write terminators only inside the head and the body.  0 keeps
 * the connection open, anything else ends it (errno tells why). */
typedef int (*http_handler)(int socket, char* method, char* path, http_header* headers,
                            size_t header_count, char* body, size_t body_len, void* user);

/* Route table entry; a table ends with an entry whose path is NULL.  A route
 * matches every request path that begins with its path. */
typedef struct http_route {
    const char* path;
    size_t path_len;
    void* user;
    http_handler handler;
} http_route;

#define HTTP_MAX_HEADERS 32
#define HTTP_HEADER_BUFFER 1024

/* http_respond flags */
#define HTTP_NO_HEADER_END 1 /* do not write the empty line ending the head */
#define HTTP_CLOSE 2         /* "Connection: close", then close the socket */

/* ---- Parser (results: length of the head, -1 malformed, -2 incomplete) -- */

/* Parses a request line and its headers.  *header_count holds the capacity of
 * `headers` on entry and the number of headers on return.  A non-zero
 * prev_len says the first prev_len bytes were already looked at: the end of
 * the head is then searched only in what follows (from three bytes before). */
int http_parse_request(const char* buf, size_t len, const char** method, size_t* method_len,
                       const char** path, size_t* path_len, int* minor_version,
                       http_header* headers, size_t* header_count, size_t prev_len);

/* Parses header lines up to and including the empty line that ends them.
 * Returns the position after that line, or NULL with *ret set to -1 or -2. */
const char* http_parse_header_lines(const char* pos, const char* end, http_header* headers,
                                    size_t* count, size_t capacity, int* ret);

/* Scans one line: *token and *token_len give its text without the line end.
 * Returns the position after the line end, or NULL with *ret -1 or -2. */
const char* http_token_to_eol(const char* pos, const char* end, const char** token,
                              size_t* token_len, int* ret);

/* A status line and its headers. */
int http_parse_response(const char* buf, size_t len, int* minor_version, int* status,
                        const char** reason, size_t* reason_len, http_header* headers,
                        size_t* header_count, size_t prev_len);

/* A header block alone. */
int http_parse_headers(const char* buf, size_t len, http_header* headers, size_t* header_count,
                       size_t prev_len);

/* In-place decoder of a chunked message body; zero-fill before first use. */
typedef struct http_chunked_decoder {
    size_t bytes_left_in_chunk;
    char consume_trailer; /* set to 1 to have the trailer consumed as well */
    char hex_count;
    char state;
} http_chunked_decoder;

/* Decodes *bufsz bytes at buf in place; *bufsz becomes the decoded length.
 * Returns -1 on a malformed body, -2 when more data is needed, else the count
 * of undecoded bytes left after the body's end (they stay after the decoded
 * bytes at buf + *bufsz). */
ssize_t http_decode_chunked(http_chunked_decoder* decoder, char* buf, size_t* bufsz);

/* Non-zero while the decoder stands inside chunk data. */
int http_chunked_in_data(const http_chunked_decoder* decoder);

/* ---- Reader ------------------------------------------------------------ */

/* Reads one request from `socket` into buf (capacity bytes; *held bytes are
 * already there) and dispatches it.  Returns the handler's result, or -1 with
 * errno ECONNRESET (peer closed), EINVAL (malformed), ENOBUFS (buffer too
 * small: grow it and call again with the same *held) or the receive error.
 * Bytes that follow the request stay at the buffer start for the next call,
 * with *held set to their count. */
int http_read_request(int socket, char* buf, size_t capacity, size_t* held,
                      const http_route* routes);

/* What the reader keeps across calls for one connection; zero-fill it when
 * a connection starts.  With a time limit the whole request (head and body)
 * must arrive within time_limit_ms of the call that starts reading it (a
 * call that returns ENOBUFS leaves the request's clock running for the call
 * after the growth); when the limit is up the reader stops waiting and
 * returns -1 with errno EAGAIN, as a receive timeout does.  A limit of 0
 * leaves the waits to the socket's own receive timeout. */
typedef struct http_read_state {
    size_t scanned;        /* held bytes known not to hold the end of the head */
    int continue_sent;     /* the interim 100 of this request is out */
    int dispatched;        /* set on return when the result is a handler's */
    int closed;            /* set when the reader closed the socket itself */
    unsigned time_limit_ms; /* set by the caller; 0: no limit of the reader's own */
    int64_t deadline_ns;   /* the current request's end of time (monotonic), 0: none yet */
} http_read_state;

int http_read_request_ex(int socket, char* buf, size_t capacity, size_t* held,
                         const http_route* routes, http_read_state* state);

/* ---- Writer and router ------------------------------------------------- */

/* Writes one response: status line, the CORS block, Content-Type (when not
 * NULL), Content-Length, the extra name/value pairs (the list ends with a
 * null const char*; from C++ pass (const char*)nullptr) and the body.
 * 0 when everything was sent, -1 with errno set otherwise. */
int http_respond(int socket, int status, const char* content_type, size_t content_length,
                 const void* body, int flags, ...) __attribute__((sentinel));

/* Appends formatted text to a header buffer: the count appended, or -1 with
 * errno ENOMEM when it does not fit wholly with its terminating zero. */
int header_appendf(char* buf, size_t capacity, size_t* used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int header_append_pair(char* buf, size_t capacity, size_t* used, const char* name,
                       const char* value);

/* Calls the first route whose path begins the request path, else answers
 * 404 "Invalid Path". */
int http_dispatch(int socket, const http_route* routes, char* method, char* path,
                  http_header* headers, size_t header_count, char* body, size_t body_len);

/* ---- Connection hooks of a serving program ----------------------------- */

/* A program that serves connections may define these two functions, and
 * export them from its executable so that the writer of every plug-in it
 * loads binds to them too (each plug-in carries its own copy of this core).
 * Before a final reply (status 200 and up) sent without HTTP_CLOSE, every
 * copy of the writer asks http_connection_ends: non-zero makes the reply
 * carry "Connection: close" and the writer then closes the socket as with
 * HTTP_CLOSE.  After the writer has closed a socket it reports it to
 * http_connection_closed, so the program never closes it a second time.
 * Where they are not defined the writer only follows its flags. */
__attribute__((visibility("default"))) int http_connection_ends(int socket);
__attribute__((visibility("default"))) void http_connection_closed(int socket);

/* A serving program may also define http_serving_stopped: non-zero once it
 * has been told to stop (SIGINT or "/shutdown").  A handler doing a long
 * piece of work asks http_stop_requested between its steps and ends early;
 * where no program defines the hook the answer is 0. */
__attribute__((visibility("default"))) int http_serving_stopped(void);
int http_stop_requested(void);

ssize_t net_send(int socket, const void* data, size_t len, int flags);
ssize_t net_recv(int socket, void* data, size_t len, int flags);

/* Program and plug-ins are built apart and hand these records across. */
#ifdef __cplusplus
#define HTTP_STATIC_ASSERT static_assert
#else
#define HTTP_STATIC_ASSERT _Static_assert
#endif
HTTP_STATIC_ASSERT(sizeof(http_header) == 4 * sizeof(void*), "http_header has 4 fields");
HTTP_STATIC_ASSERT(offsetof(http_header, name_len) == sizeof(void*), "name_len is field 2");
HTTP_STATIC_ASSERT(offsetof(http_header, value) == 2 * sizeof(void*), "value is field 3");
HTTP_STATIC_ASSERT(offsetof(http_header, value_len) == 3 * sizeof(void*), "value_len is field 4");
HTTP_STATIC_ASSERT(sizeof(http_route) == 4 * sizeof(void*), "http_route has 4 fields");
HTTP_STATIC_ASSERT(offsetof(http_route, user) == 2 * sizeof(void*), "user is field 3");
HTTP_STATIC_ASSERT(offsetof(http_route, handler) == 3 * sizeof(void*), "handler is field 4");
#undef HTTP_STATIC_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_HTTP_H */
