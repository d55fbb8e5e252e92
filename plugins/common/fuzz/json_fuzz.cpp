/* libFuzzer harness: the JSON string and base64 writers over any bytes. The
 * document must parse back (with the in-place parser) to the input string
 * with invalid UTF-8 bytes as U+FFFD, the base64 must match a plain
 * bit-by-bit encoder, and the escaped-length counter must match the output. */
#include "json.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static size_t reference_base64(const uint8_t* in, size_t n, char* out)
{
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t bits = n * 8, o = 0;
    for (size_t b = 0; b < bits; b += 6) {
        unsigned v = 0;
        for (size_t k = 0; k < 6; ++k) {
            size_t bit = b + k;
            unsigned x = bit < bits ? (in[bit / 8] >> (7 - bit % 8)) & 1u : 0u;
            v = v << 1 | x;
        }
        out[o++] = a[v];
    }
    while (o % 4)
        out[o++] = '=';
    return o;
}

static int utf8_valid(const unsigned char* s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        size_t k;
        unsigned min;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            k = 1, min = 0x80;
            c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            k = 2, min = 0x800;
            c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            k = 3, min = 0x10000;
            c &= 0x07;
        } else {
            return 0;
        }
        if (i + k >= n)
            return 0;
        for (size_t j = 1; j <= k; ++j) {
            if ((s[i + j] & 0xC0) != 0x80)
                return 0;
            c = c << 6 | (s[i + j] & 0x3Fu);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return 0;
        i += k + 1;
    }
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* value = static_cast<char*>(malloc(size + 1));
    if (!value)
        return 0;
    memcpy(value, data, size);
    value[size] = 0;
    size_t text_length = strlen(value);

    char* doc = NULL;
    uint64_t capacity = 0;
    char* pos = json_arr_open(&doc, &capacity, NULL, NULL);
    pos = json_str(&doc, &capacity, pos, NULL, value);
    if (!pos)
        abort();
    const char* str_start = doc + 1;
    uint64_t escaped = json_escaped_length(value, SIZE_MAX);
    if ((uint64_t)(pos - str_start) != escaped + 3)
        abort();
    char* b64_start = pos;
    size_t b64_offset = (size_t)(b64_start - doc);
    pos = json_base64(&doc, &capacity, pos, NULL, data, size);
    if (!pos)
        abort();
    pos = json_arr_close(&doc, &capacity, pos);
    pos = json_end(doc, pos);
    size_t length = (size_t)(pos - doc);
    if (strlen(doc) != length || !utf8_valid((const unsigned char*)doc, length))
        abort();
    for (size_t i = 0; i < length; ++i)
        if ((unsigned char)doc[i] < 0x20)
            abort();

    char* expected = static_cast<char*>(malloc(size / 3 * 4 + 8));
    size_t n = reference_base64(data, size, expected);
    if (memcmp(doc + b64_offset + 1, expected, n) != 0 || doc[b64_offset + 1 + n] != '"')
        abort();

    json_token tokens[3];
    if (json_parse(doc, length, tokens, 3) != 3 || tokens[1].kind != JSON_STRING)
        abort();
    /* Every input byte that is not a valid sequence became three bytes. */
    if (tokens[1].length < text_length || tokens[2].length != n)
        abort();

    free(expected);
    free(doc);
    free(value);
    return 0;
}
