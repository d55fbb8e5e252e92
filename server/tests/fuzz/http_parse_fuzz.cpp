/* libFuzzer target: the request parser on arbitrary bytes, whole and in the
 * previous-length mode, which must agree. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    /* exact size: over-reads are caught */
    std::unique_ptr<char[]> owner(new char[size ? size : 1]);
    char* buf = owner.get();
    memcpy(buf, data, size);
    const char *m, *p;
    size_t ml, pl, n = HTTP_MAX_HEADERS;
    int minor;
    http_header h[HTTP_MAX_HEADERS];
    int whole = http_parse_request(buf, size, &m, &ml, &p, &pl, &minor, h, &n, 0);
    if (whole > 0) {
        if ((size_t)whole > size || m < buf || p + pl > buf + size)
            abort();
        for (size_t i = 0; i < n; ++i)
            if (h[i].value + h[i].value_len > buf + size)
                abort();
        /* a split anywhere before the end of the head, then the rest */
        size_t split = size ? (size_t)data[0] % (size_t)whole : 0;
        size_t n2 = HTTP_MAX_HEADERS;
        if (http_parse_request(buf, (size_t)whole, &m, &ml, &p, &pl, &minor, h, &n2, split) != whole)
            abort();
        if (http_parse_request(buf, split, &m, &ml, &p, &pl, &minor, h, &n2, 0) != -2 && split < (size_t)whole)
            abort();
    }
    size_t n3 = HTTP_MAX_HEADERS;
    int status, mv;
    const char* reason;
    size_t rl;
    http_parse_response(buf, size, &mv, &status, &reason, &rl, h, &n3, 0);
    n3 = HTTP_MAX_HEADERS;
    http_parse_headers(buf, size, h, &n3, 0);
    http_chunked_decoder d = {};
    size_t sz = size;
    http_decode_chunked(&d, buf, &sz);
    return 0;
}
