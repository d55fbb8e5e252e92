/* libFuzzer target: requests from a hostile client to the runtime plug-in's
 * HTTP handler, with the demonstration model loaded (KESTRUNE_FUZZ_MODEL names
 * it; without it the requests meet a server without a model).
 *
 * Input: byte 0 picks the method (GET, PUT, POST, OPTIONS), then up to three
 * lines give the target, the Content-Type and the Accept value; the rest is
 * the body.  Replies go to one end of a socket pair and are thrown away.
 * After a PUT (which may replace the model with the fuzzer's bytes) the
 * demonstration model is loaded again, so every input meets the same state.
 * A request for more than 4 runs is skipped: a client may ask for n runs
 * of the model, and their cost is n runs. */
#include <ctype.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "plugin.h"

static nn_server* server;
static int fds[2] = {-1, -1};
static const char* model_path;

static void load_model(void)
{
    if (model_path)
        nn_server_model_load(server, model_path, 0);
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    (void)argc, (void)argv;
    server = nn_server_init(0, 0, NULL, 0, NULL, 4u << 20, NULL);
    if (!server || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    int size = 8 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    model_path = getenv("KESTRUNE_FUZZ_MODEL");
    load_model();
    return 0;
}

/* A "run" value above 4 anywhere in the target (keys are compared without
 * case, as the handler does). */
static int many_runs(const char* target)
{
    for (const char* p = target; *p; ++p) {
        if (tolower((unsigned char)p[0]) != 'r' || tolower((unsigned char)p[1]) != 'u' ||
            tolower((unsigned char)p[2]) != 'n' || p[3] != '=')
            continue;
        const char* v = p + 4;
        if (*v == '+' || *v == '-')
            ++v;
        long n = 0;
        while (isdigit((unsigned char)*v) && n <= 4)
            n = n * 10 + (*v++ - '0');
        if (n > 4)
            return 1;
    }
    return 0;
}

/* An exact heap copy (zero-terminated) so that over-reads are caught. */
static char* copy(const uint8_t* p, size_t n)
{
    char* s = static_cast<char*>(malloc(n + 1));
    if (!s)
        abort();
    memcpy(s, p, n);
    s[n] = '\0';
    return s;
}

/* The next line of [*p, end) (without its '\n'), or the rest when none. */
static char* next_line(const uint8_t** p, const uint8_t* end, size_t* length)
{
    const uint8_t* nl = static_cast<const uint8_t*>(memchr(*p, '\n', (size_t)(end - *p)));
    const uint8_t* stop = nl ? nl : end;
    *length = (size_t)(stop - *p);
    char* s = copy(*p, *length);
    *p = nl ? nl + 1 : end;
    return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const methods[] = {"GET", "PUT", "POST", "OPTIONS"};
    if (size < 1)
        return 0;
    const int m = data[0] % 4;
    const uint8_t* p = data + 1;
    const uint8_t* end = data + size;
    size_t target_len, type_len, accept_len;
    char* target = next_line(&p, end, &target_len);
    char* type = next_line(&p, end, &type_len);
    char* accept = next_line(&p, end, &accept_len);
    size_t body_len = (size_t)(end - p);
    char* body = body_len ? copy(p, body_len) : NULL;
    if (many_runs(target)) {
        free(target), free(type), free(accept), free(body);
        return 0;
    }
    char method[8];
    strcpy(method, methods[m]);

    http_header headers[2];
    size_t count = 0;
    if (type_len)
        headers[count++] = (http_header){"Content-Type", 12, type, type_len};
    if (accept_len)
        headers[count++] = (http_header){"Accept", 6, accept, accept_len};
    nn_server_http_handler(fds[0], method, target, headers, count, body, body_len, server);

    char sink[65536];
    while (recv(fds[1], sink, sizeof sink, 0) > 0)
        ;
    free(target);
    free(type);
    free(accept);
    free(body);
    if (m == 1)
        load_model();
    return 0;
}
